// Helpers of the socket-layer tests: run the loop until something happens,
// record events in order.
#pragma once

#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"

#include "peer.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nettest {

// Runs the calling thread's loop until pred() holds; false after limitMs.
template <class Pred> bool PumpUntil(Pred pred, int limitMs = 10000)
{
    const std::uint32_t start = platform::GetTickCount();
    while (!pred()) {
        if (platform::GetTickCount() - start > static_cast<std::uint32_t>(limitMs))
            return false;
        platform::ProcessMessages();
        if (!pred())
            platform::WaitMessage(20);
    }
    return true;
}

// Runs the loop for about ms milliseconds.
inline void PumpFor(int ms)
{
    const std::uint32_t start = platform::GetTickCount();
    while (platform::GetTickCount() - start < static_cast<std::uint32_t>(ms)) {
        platform::ProcessMessages();
        platform::WaitMessage(5);
    }
}

inline const char* StateName(net::TSocketState s)
{
    static const char* names[] = {"invalid", "opened", "bound", "connecting", "socksconnected",
                                  "connected", "accepting", "listening", "closed"};
    return s <= net::wsClosed ? names[s] : "?";
}

// Records the events of a socket as short texts, in order.
struct EventLog {
    std::vector<std::string> events;
    void Attach(net::TCustomWSocket& s, bool withData = false)
    {
        s.OnChangeState = [this](net::TCustomWSocket*, net::TSocketState o, net::TSocketState n) {
            events.push_back(std::string("state ") + StateName(o) + ">" + StateName(n));
        };
        s.OnSessionConnected = [this](net::TCustomWSocket*, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](net::TCustomWSocket*, std::uint16_t e) {
            events.push_back("datasent " + std::to_string(e));
        };
        if (withData)
            s.OnSendData = [this](net::TCustomWSocket*, int n) { events.push_back("senddata " + std::to_string(n)); };
    }
    bool Has(const std::string& e) const
    {
        for (auto& x : events)
            if (x == e)
                return true;
        return false;
    }
    std::string Joined() const
    {
        std::string r;
        for (auto& x : events)
            r += (r.empty() ? "" : " | ") + x;
        return r;
    }
};

// A listening TWSocket on 127.0.0.1 that adopts every connection into a
// fresh TWSocket (optionally set up by onAdopt first).
struct Server {
    net::TWSocket listener;
    std::vector<std::unique_ptr<net::TWSocket>> peers;
    std::function<void(net::TWSocket&)> onAdopt;
    int port = 0;

    Server()
    {
        port = testsupport::FreePort();
        listener.SetAddr("127.0.0.1");
        listener.SetPort(std::to_string(port));
        listener.OnSessionAvailable = [this](net::TCustomWSocket*, std::uint16_t) {
            auto p = std::make_unique<net::TWSocket>();
            if (onAdopt)
                onAdopt(*p);
            p->Dup(listener.Accept());
            peers.push_back(std::move(p));
        };
        listener.Listen();
    }
};

// A server whose peers send back everything they receive.
struct EchoServer : Server {
    EchoServer()
    {
        onAdopt = [](net::TWSocket& p) {
            p.OnDataAvailable = [](net::TCustomWSocket* s, std::uint16_t) {
                char buf[65536];
                int n = s->Receive(buf, sizeof buf);
                if (n > 0)
                    s->Send(buf, n);
            };
        };
    }
};

// A connected pair through the loop: client c and the server's adopted peer.
struct Pair {
    Server srv;
    net::TWSocket c;
    net::TWSocket& Peer() { return *srv.peers.at(0); }
    bool Connect()
    {
        bool up = false;
        c.OnSessionConnected = [&](net::TCustomWSocket*, std::uint16_t e) { up = e == 0; };
        c.SetAddr("127.0.0.1");
        c.SetPort(std::to_string(srv.port));
        c.Connect();
        bool ok = PumpUntil([&] { return up && srv.peers.size() == 1; });
        c.OnSessionConnected = nullptr;
        return ok;
    }
};

} // namespace nettest
