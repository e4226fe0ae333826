// Throughput of the socket layer against the plain blocking loop, the limit
// of this machine. Prints both rates for receiving and for sending and their
// ratios; the last line ends with "ratio R", R the lower ratio.
#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t kTotal = 1LL << 30;
constexpr int kChunk = 256 * 1024;

using Clock = std::chrono::steady_clock;

double MiBps(std::int64_t bytes, Clock::duration d)
{
    double s = std::chrono::duration<double>(d).count();
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / s;
}

// A blocking listener on 127.0.0.1 and an ephemeral port.
int Listener(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0)
        throw std::runtime_error("listen failed");
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

int ConnectTo(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw std::runtime_error("connect failed");
    return fd;
}

void BlockingSend(int fd, std::int64_t total)
{
    std::vector<char> buf(kChunk, 'x');
    while (total > 0) {
        ssize_t n = ::send(fd, buf.data(), static_cast<size_t>(std::min<std::int64_t>(total, kChunk)), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        total -= n;
    }
    ::shutdown(fd, SHUT_WR);
}

std::int64_t BlockingReceive(int fd)
{
    std::vector<char> buf(kChunk);
    std::int64_t got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

// Plain blocking sender thread to a plain blocking receiver.
double PlainRate()
{
    int port;
    int lfd = Listener(port);
    std::thread sender([port] {
        int fd = ConnectTo(port);
        BlockingSend(fd, kTotal);
        ::close(fd);
    });
    int fd = ::accept(lfd, nullptr, nullptr);
    auto t0 = Clock::now();
    std::int64_t got = BlockingReceive(fd);
    auto t1 = Clock::now();
    sender.join();
    ::close(fd);
    ::close(lfd);
    if (got != kTotal)
        throw std::runtime_error("plain loop lost data");
    return MiBps(got, t1 - t0);
}

// Plain blocking sender thread to a TWSocket receiving through the loop.
double ReceiveRate()
{
    int port;
    int lfd = Listener(port);
    std::thread sender([lfd] {
        int fd = ::accept(lfd, nullptr, nullptr);
        BlockingSend(fd, kTotal);
        ::close(fd);
    });
    net::TWSocket s;
    std::vector<char> buf(kChunk);
    std::int64_t got = 0;
    bool closed = false;
    Clock::time_point t0{};
    s.OnSessionConnected = [&](net::TCustomWSocket*, std::uint16_t) { t0 = Clock::now(); };
    s.OnDataAvailable = [&](net::TCustomWSocket* x, std::uint16_t) {
        int n = x->Receive(buf.data(), kChunk);
        if (n > 0)
            got += n;
    };
    s.OnSessionClosed = [&](net::TCustomWSocket*, std::uint16_t) { closed = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    while (!closed) {
        platform::ProcessMessages();
        if (!closed)
            platform::WaitMessage(1000);
    }
    auto t1 = Clock::now();
    sender.join();
    ::close(lfd);
    if (got != kTotal)
        throw std::runtime_error("TWSocket receive lost data");
    return MiBps(got, t1 - t0);
}

// A TWSocket sending through the loop to a plain blocking receiver thread.
double SendRate()
{
    int port;
    int lfd = Listener(port);
    std::int64_t got = 0;
    Clock::time_point tEnd{};
    std::thread receiver([lfd, &got, &tEnd] {
        int fd = ::accept(lfd, nullptr, nullptr);
        got = BlockingReceive(fd);
        tEnd = Clock::now();
        ::close(fd);
    });
    net::TWSocket s;
    std::vector<char> buf(kChunk, 'y');
    std::int64_t left = kTotal;
    bool done = false;
    Clock::time_point t0{};
    s.OnSessionConnected = [&](net::TCustomWSocket*, std::uint16_t) { t0 = Clock::now(); };
    s.OnDataSent = [&](net::TCustomWSocket* x, std::uint16_t) {
        if (left > 0) {
            int n = static_cast<int>(std::min<std::int64_t>(left, kChunk));
            left -= n;
            x->Send(buf.data(), n);
        } else if (!done) {
            done = true;
            x->Close();
        }
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    while (!done) {
        platform::ProcessMessages();
        if (!done)
            platform::WaitMessage(1000);
    }
    receiver.join();
    ::close(lfd);
    if (got != kTotal)
        throw std::runtime_error("TWSocket send lost data");
    return MiBps(got, tEnd - t0);
}

} // namespace

int main()
{
    try {
        // The plain loop runs before and after; its better run is the limit.
        double plain = PlainRate();
        double recv = ReceiveRate();
        double send = SendRate();
        plain = std::max(plain, PlainRate());
        double rr = recv / plain, sr = send / plain;
        std::printf("plain blocking loop: %.0f MiB/s (1 GiB, %d KiB buffers)\n", plain, kChunk / 1024);
        std::printf("TWSocket receive:    %.0f MiB/s, ratio %.2f\n", recv, rr);
        std::printf("TWSocket send:       %.0f MiB/s, ratio %.2f\n", send, sr);
        std::printf("lower of the two: ratio %.2f\n", std::min(rr, sr));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "socket_throughput: %s\n", e.what());
        return 1;
    }
}
