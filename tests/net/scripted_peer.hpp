// A scripted TCP peer on its own thread with blocking sockets: it accepts one
// connection and plays a list of steps (read n bytes, write bytes, pause,
// close). Only for replies that real servers will not produce.
#pragma once

#include "peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

struct Step {
    enum Kind { Read, Write, Pause, Close } kind;
    int count = 0;       // Read: bytes; Pause: milliseconds
    std::string bytes;   // Write
};
inline Step ReadN(int n) { return {Step::Read, n, {}}; }
inline Step Write(std::string b) { return {Step::Write, 0, std::move(b)}; }
inline Step PauseMs(int ms) { return {Step::Pause, ms, {}}; }
inline Step CloseNow() { return {Step::Close, 0, {}}; }

class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<Step> steps) : m_steps(std::move(steps))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = testsupport::FreePort();
            sa.sin_port = htons(static_cast<uint16_t>(m_port));
            if (::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
                break;
            m_port = 0;
        }
        if (m_port == 0 || ::listen(m_listen, 4) != 0)
            throw std::runtime_error("scripted peer: cannot listen");
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedPeer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    int Port() const { return m_port; }
    // Everything the peer read, available once Finished().
    std::string Received() const { return m_received; }
    bool Finished() const { return m_finished.load(); }
    bool Accepted() const { return m_accepted.load(); }

private:
    void Run()
    {
        timeval tv{5, 0};
        ::setsockopt(m_listen, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int fd = ::accept(m_listen, nullptr, nullptr);
        if (fd < 0) {
            m_finished = true;
            return;
        }
        m_accepted = true;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string got;
        for (const Step& s : m_steps) {
            bool stop = false;
            switch (s.kind) {
            case Step::Read: {
                int left = s.count;
                while (left > 0) {
                    char buf[4096];
                    ssize_t n = ::recv(fd, buf, std::min<int>(left, sizeof buf), 0);
                    if (n <= 0) {
                        stop = true;
                        break;
                    }
                    got.append(buf, static_cast<std::size_t>(n));
                    left -= static_cast<int>(n);
                }
                break;
            }
            case Step::Write:
                ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
                break;
            case Step::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(s.count));
                break;
            case Step::Close:
                stop = true;
                break;
            }
            if (stop)
                break;
        }
        // Linger a little so the client reads everything before the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::close(fd);
        m_received = got;
        m_finished = true;
    }

    std::vector<Step> m_steps;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::string m_received;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_accepted{false};
};

} // namespace nettest
