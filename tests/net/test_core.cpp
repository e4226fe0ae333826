// The socket core against in-process loopback peers: connect, refuse, accept
// and Dup, data both ways, the documented event orders.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"
#include "peer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netinet/tcp.h>

using namespace net;
using nettest::EventLog;
using nettest::PumpUntil;

using nettest::Pair;
using nettest::Server;

TEST(WSocketCore, ConnectAcceptDupAndTalk)
{
    Server srv;
    ASSERT_EQ(srv.listener.State(), wsListening);
    std::string got;
    srv.onAdopt = [&](TWSocket& p) {
        p.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
    };
    TWSocket c;
    EventLog log;
    log.Attach(c);
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(srv.port));
    c.Connect();
    EXPECT_EQ(c.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("datasent 0"); })) << log.Joined();
    EXPECT_EQ(log.Joined(), "state closed>opened | state opened>connecting | state connecting>connected | connected 0 | datasent 0");
    ASSERT_TRUE(PumpUntil([&] { return srv.peers.size() == 1; }));
    EXPECT_EQ(srv.peers[0]->State(), wsConnected);
    EXPECT_EQ(c.GetPeerPort(), std::to_string(srv.port));
    EXPECT_EQ(c.GetPeerAddr(), "127.0.0.1");
    EXPECT_EQ(srv.peers[0]->GetPeerPort(), c.GetBoundPort());
    EXPECT_EQ(c.SendText("hello"), 5);
    ASSERT_TRUE(PumpUntil([&] { return got == "hello"; }));
}

// An IPv6 listener and a client given "[::1]": the texts are IPv6 ones and a
// look-up of the literal answers at once.
TEST(WSocketCore, Ipv6ListenConnectAndTexts)
{
    if (!testsupport::HaveIPv6Loopback())
        GTEST_SKIP() << "no ::1 on this machine";
    TWSocket listener;
    std::unique_ptr<TWSocket> peer;
    const int port = testsupport::FreePort();
    listener.SetAddr("::1");
    listener.SetPort(std::to_string(port));
    listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) {
        peer = std::make_unique<TWSocket>();
        peer->Dup(listener.Accept());
    };
    listener.Listen();
    ASSERT_EQ(listener.State(), wsListening);
    EXPECT_TRUE(listener.AddrIsIPv6());
    EXPECT_EQ(listener.GetBoundAddr(), "::1");
    EXPECT_EQ(listener.GetBoundPort(), std::to_string(port));
    TWSocket c;
    c.SetAddr("[::1]");
    c.SetPort(std::to_string(port));
    c.Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.State() == wsConnected && peer; }));
    EXPECT_EQ(c.SocketFamily(), AF_INET6);
    EXPECT_EQ(c.GetPeerAddr(), "::1");
    EXPECT_EQ(c.GetPeerPort(), std::to_string(port));
    EXPECT_EQ(peer->GetPeerPort(), c.GetBoundPort());
    std::string got;
    peer->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
    EXPECT_EQ(c.SendText("six"), 3);
    ASSERT_TRUE(PumpUntil([&] { return got == "six"; }));

    int done = -1;
    c.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done = e; };
    c.DnsLookup("[::1]");
    EXPECT_EQ(done, 0); // a literal needs no worker
    EXPECT_EQ(c.DnsResult(), "::1");
}

TEST(WSocketCore, RefusedConnectReports10061ThenClose)
{
    TWSocket c;
    EventLog log;
    log.Attach(c);
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(testsupport::FreePort()));
    c.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); })) << log.Joined();
    EXPECT_EQ(log.Joined(), "state closed>opened | state opened>connecting | state connecting>connected | connected 10061 | state connected>closed | closed 0");
    EXPECT_EQ(c.State(), wsClosed);
}

namespace {

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

} // namespace

// Everything the peer sent before closing arrives before OnSessionClosed, also
// when each notification delivers only one small read.
class PeerCloseWithData : public ::testing::TestWithParam<bool> {};

TEST_P(PeerCloseWithData, AllDataBeforeSessionClosed)
{
    const bool noLoop = GetParam();
    const std::string payload = Pattern(300000);
    Pair p;
    p.srv.onAdopt = [&](TWSocket& s) {
        bool sent = false;
        s.OnDataSent = [&payload, sent](TCustomWSocket* x, std::uint16_t) mutable {
            if (!sent) {
                sent = true;
                x->Send(payload.data(), static_cast<int>(payload.size()));
            } else {
                x->Close();
            }
        };
    };
    std::string got;
    std::size_t atClose = 0;
    bool closed = false;
    if (noLoop)
        p.c.SetComponentOptions({wsoNoReceiveLoop});
    p.c.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
        char buf[1000];
        int n = x->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    };
    p.c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
        closed = true;
        atClose = got.size();
    };
    ASSERT_TRUE(p.Connect());
    // Let the peer's data and its close pile up before the client reads on.
    p.c.Pause();
    nettest::PumpFor(100);
    p.c.Resume();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_EQ(atClose, payload.size());
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(p.c.State(), wsClosed);
}

INSTANTIATE_TEST_SUITE_P(ReceiveLoop, PeerCloseWithData, ::testing::Values(false, true));

TEST(WSocketCore, SendDataInsideSendAndDataSentLater)
{
    Pair p;
    ASSERT_TRUE(p.Connect());
    nettest::PumpFor(30);  // the first writable notification after connect
    EventLog log;
    log.Attach(p.c, true);
    p.c.OnChangeState = nullptr;
    EXPECT_EQ(p.c.SendText("abc"), 3);
    EXPECT_EQ(log.Joined(), "senddata 3");
    ASSERT_TRUE(PumpUntil([&] { return log.Has("datasent 0"); }));
    EXPECT_EQ(log.Joined(), "senddata 3 | datasent 0");
}

// A handler that sends again from OnSendData, both from the direct send
// inside Send (call 1) and from the queue drained later (call 2): every byte
// arrives once, in order.
TEST(WSocketCore, SendFromOnSendDataKeepsTheStreamIntact)
{
    for (int sendOnCall = 1; sendOnCall <= 2; ++sendOnCall) {
        SCOPED_TRACE(sendOnCall);
        Server srv;
        std::string got;
        srv.onAdopt = [&](TWSocket& s) {
            s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
                char buf[65536];
                int n = x->Receive(buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<std::size_t>(n));
            };
        };
        TWSocket c;
        bool up = false;
        c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { up = e == 0; };
        c.SetAddr("127.0.0.1");
        c.SetPort(std::to_string(srv.port));
        c.Connect();
        ASSERT_TRUE(PumpUntil([&] { return up && srv.peers.size() == 1; }));
        // More than the platform takes at once, so part of it is queued.
        std::string data(32 << 20, '\0');
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
        int calls = 0;
        c.OnSendData = [&](TCustomWSocket* x, int) {
            if (++calls == sendOnCall)
                x->SendText("TAIL");
        };
        c.Send(data.data(), static_cast<int>(data.size()));
        ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size() + 4; }, 20000)) << got.size();
        nettest::PumpFor(20);
        ASSERT_GE(calls, 2);
        ASSERT_EQ(got.size(), data.size() + 4);
        EXPECT_TRUE(got.compare(0, data.size(), data) == 0);
        EXPECT_EQ(got.substr(data.size()), "TAIL");
    }
}

TEST(WSocketCore, AddressSettersAndReconnectRules)
{
    Pair p;
    ASSERT_TRUE(p.Connect());
    const std::string port = p.c.Port();
    p.c.SetPort(port);  // the same value is accepted silently
    try {
        p.c.SetPort("1");
        FAIL() << "port changed while connected";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
    }
    // Each of the three setters names its own property.
    for (auto [set, text] : {std::pair{&TCustomWSocket::SetAddr, "Cannot change Addr if not closed"},
                             std::pair{&TCustomWSocket::SetProto, "Cannot change Proto if not closed"}}) {
        try {
            (p.c.*set)("udp");
            ADD_FAILURE() << text;
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
    EXPECT_THROW(p.c.SetLocalPort("1234"), ESocketException);
    int errors = 0;
    p.c.OnError = [&](TCustomWSocket*) { ++errors; };
    p.c.SetProto("udp");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(p.c.Proto(), "tcp");
    p.c.OnError = nullptr;
    p.c.Close();
    // After a close Addr and Port must be assigned again.
    try {
        p.c.Connect();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
    }
    p.c.SetPort(port);
    try {
        p.c.Connect();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No IP Address Specified");
    }
    // A local bind reads back the port actually bound.
    p.c.SetLocalAddr("");
    EXPECT_EQ(p.c.LocalAddr(), "0.0.0.0");
    p.c.SetLocalAddr("127.0.0.1");
    p.c.SetAddr("127.0.0.1");
    p.c.Connect();
    EXPECT_NE(p.c.LocalPort(), "0");
    ASSERT_TRUE(PumpUntil([&] { return p.c.State() == wsConnected; }));
    EXPECT_EQ(p.c.LocalPort(), p.c.GetBoundPort());
}

TEST(WSocketCore, MisuseIsReportedWithTheDocumentedTexts)
{
    TWSocket s;
    try {
        s.Send("x", 1);
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(std::string(e.what()), "Error 10057 in function Send\r\nSocket is not connected");
    }
    EXPECT_EQ(s.LastError(), 10057);
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.Accept(), INVALID_SOCKET);
    s.Dup(INVALID_SOCKET);
    EXPECT_EQ(errors, 3);
    EXPECT_EQ(s.GetPeerAddr(), "error");
    EXPECT_EQ(errors, 3);
    // A port in use: reported, and nothing is left open.
    Server srv;
    TWSocket second;
    second.SetAddr("127.0.0.1");
    second.SetPort(std::to_string(srv.port));
    try {
        second.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(std::string(e.what()), "Error 10048 in function Bind\r\nAddress already in use");
    }
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(second.HSocket(), INVALID_SOCKET);
    // Receive-all mode does not exist here: the refusal names the function.
    TWSocket raw;
    raw.SetAddr("127.0.0.1");
    raw.SetPort("0");
    raw.SetProto("raw_icmp");
    raw.SetComponentOptions({wsoSIO_RCVALL});
    try {
        raw.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        std::string m = e.what();
        EXPECT_TRUE(m.find("in function WSAIoctl(SIO_RCVALL)") != std::string::npos ||
                    m.find("in function socket") != std::string::npos) << m;
    }
    EXPECT_EQ(raw.HSocket(), INVALID_SOCKET);
}

TEST(WSocketCore, LookupsDottedAsyncReverseCancelAndDestroy)
{
    TWSocket s;
    std::vector<int> done;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("10.0.0.1");
    ASSERT_EQ(done.size(), 1u);  // inside the call
    EXPECT_EQ(done[0], 0);
    EXPECT_EQ(s.DnsResult(), "10.0.0.1");

    s.DnsLookup("localhost");
    EXPECT_EQ(done.size(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return done.size() == 2; }));
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");

    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return done.size() == 3; }));
    EXPECT_EQ(done[2], 0);
    EXPECT_EQ(s.DnsResult(), "localhost");

    s.OnError = [](TCustomWSocket*) {};
    s.DnsLookup("");
    EXPECT_EQ(done.back(), 10022);

    // A slow look-up is cancelled, and it never holds up a second one.
    platform::SetLookupDelayForTests("slow:", 1500);
    done.clear();
    s.DnsLookup("slow:localhost");
    TWSocket other;
    std::vector<int> otherDone;
    other.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { otherDone.push_back(e); };
    const std::uint32_t t0 = platform::GetTickCount();
    other.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return !otherDone.empty(); }));
    EXPECT_LT(platform::GetTickCount() - t0, 1000u);
    EXPECT_TRUE(done.empty());
    s.CancelLookup();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], 10004);
    {
        auto gone = std::make_unique<TWSocket>();
        bool fired = false;
        gone->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { fired = true; };
        gone->DnsLookup("slow:localhost");
        gone.reset();
        EXPECT_FALSE(fired);
    }
    nettest::PumpFor(1700);
    EXPECT_EQ(done.size(), 1u);
    platform::SetLookupDelayForTests("", 0);
}

TEST(WSocketCore, DatagramsOnLoopback)
{
    TWSocket server;
    bool serverUp = false;
    server.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { serverUp = e == 0; };
    int port = testsupport::FreePort();
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort(std::to_string(port));
    server.Listen();
    EXPECT_TRUE(serverUp);  // inside the call
    EXPECT_EQ(server.State(), wsConnected);
    std::string serverGot;
    server.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
        char buf[512];
        sockaddr_in from{};
        int len = sizeof from;
        int n = x->ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0) {
            serverGot.assign(buf, static_cast<std::size_t>(n));
            x->SendTo(from, len, "pong", 4);
        }
    };
    TWSocket client;
    EventLog log;
    log.Attach(client);
    client.OnChangeState = nullptr;
    std::string clientGot;
    client.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { clientGot += x->ReceiveText(); };
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(std::to_string(port));
    client.Connect();
    EXPECT_EQ(log.Joined(), "connected 0");
    EXPECT_EQ(client.SendText("ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return clientGot == "pong"; }));
    EXPECT_EQ(serverGot, "ping");
    EXPECT_TRUE(log.Has("datasent 0"));
    EXPECT_EQ(client.GetPeerAddr(), "127.0.0.1");

    // A handler may destroy its socket from OnSendData after SendTo.
    const int before = WSocketLivingObjects();
    auto* once = new TWSocket;
    once->SetProto("udp");
    once->SetAddr("127.0.0.1");
    once->SetPort(std::to_string(port));
    once->Connect();
    once->OnSendData = [](TCustomWSocket* x, int) { delete x; };
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<std::uint16_t>(port));
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(once->SendTo(dest, sizeof dest, "bye", 3), 3);
    EXPECT_EQ(WSocketLivingObjects(), before);
    ASSERT_TRUE(PumpUntil([&] { return serverGot == "bye"; }));
}

TEST(WSocketCore, BackgroundExceptionAbortsUnlessKept)
{
    for (bool keep : {false, true}) {
        Pair p;
        ASSERT_TRUE(p.Connect());
        std::string seen;
        p.c.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
            seen = e.what();
            canClose = !keep;
        };
        p.c.PostTestException();
        ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
        EXPECT_EQ(seen, "Test exception in WSocket");
        EXPECT_EQ(p.c.State(), keep ? wsConnected : wsClosed);
        // An exception from a data handler takes the same path.
        seen.clear();
        p.c.OnDataAvailable = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("handler failed"); };
        if (keep) {
            p.Peer().SendText("x");
            ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
            EXPECT_EQ(seen, "handler failed");
        }
    }
}

TEST(WSocketCore, BindingFollowsTheLivingObjects)
{
    ASSERT_EQ(WSocketLivingObjects(), 0);
    EXPECT_FALSE(WSocketIsBound());
    const int before = WSocketBindCount();
    {
        TWSocket s;
        EXPECT_EQ(WSocketLivingObjects(), 1);
        s.DnsLookup("127.0.0.1");
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(testsupport::FreePort()));
        s.Connect();
        EXPECT_TRUE(WSocketIsBound());
        EXPECT_EQ(WSocketBindCount(), before + 1);
        try {
            s.SetReqVerLow(2);
            FAIL();
        } catch (const ESocketException& e) {
            EXPECT_NE(std::string(e.what()).find("SetReqVerLow: WinSock version can't be changed now"), std::string::npos);
        }
        s.SetReqVerLow(1);  // the current value is no change
    }
    EXPECT_FALSE(WSocketIsBound());
    {
        auto s = new TWSocket;
        s->SetAddr("127.0.0.1");
        s->SetPort("1");
        s->SetProto("udp");
        s->Connect();
        EXPECT_EQ(WSocketBindCount(), before + 2);
        s->ReleaseLater();
        ASSERT_TRUE(PumpUntil([] { return WSocketLivingObjects() == 0; }));
    }
    EXPECT_FALSE(WSocketIsBound());
}

TEST(WSocketCore, PeerThatDisappearsEndsTheSessionNotTheProcess)
{
    Pair p;
    ASSERT_TRUE(p.Connect());
    std::vector<int> closes;
    p.c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closes.push_back(e); };
    p.Peer().Abort();
    const std::string chunk(65536, 'z');
    // Keep sending into the reset connection: the close path, never SIGPIPE.
    bool ok = PumpUntil([&] {
        if (p.c.State() == wsConnected)
            p.c.Send(chunk.data(), static_cast<int>(chunk.size()));
        return !closes.empty();
    }, 5000);
    ASSERT_TRUE(ok);
    EXPECT_EQ(closes.size(), 1u);
    EXPECT_EQ(p.c.State(), wsClosed);
}

TEST(WSocketCore, WaitsFlushAndWaitUntilClosed)
{
    Pair p;
    std::size_t peerGot = 0;
    p.srv.onAdopt = [&](TWSocket& s) {
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            char buf[65536];
            int n = x->Receive(buf, sizeof buf);
            if (n > 0)
                peerGot += static_cast<std::size_t>(n);
        };
    };
    ASSERT_TRUE(p.Connect());
    const std::string big = Pattern(8 << 20);
    p.c.Send(big.data(), static_cast<int>(big.size()));
    p.c.Flush();
    EXPECT_TRUE(p.c.AllSent());
    ASSERT_TRUE(PumpUntil([&] { return peerGot == big.size(); }));

    std::string got;
    p.c.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { got += x->ReceiveText(); };
    p.Peer().SendText("bye");
    p.Peer().CloseLater();
    p.c.WaitUntilClosed();
    PumpUntil([&] { return p.c.State() == wsClosed; }, 2000);
    EXPECT_EQ(got, "bye");
    EXPECT_EQ(p.c.State(), wsClosed);

    // Paused and without a data handler, the waiting bytes are dropped and
    // the wait still sees the close (a watchdog ends the process if it hangs).
    Pair q;
    ASSERT_TRUE(q.Connect());
    q.c.Pause();
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!returned) {
            std::fprintf(stderr, "WaitUntilClosed hung with unread data\n");
            std::_Exit(1);
        }
    });
    q.Peer().SendText("unread");
    q.Peer().CloseLater();
    q.c.WaitUntilClosed();
    returned = true;
    watchdog.join();
    q.c.Resume();
    EXPECT_TRUE(PumpUntil([&] { return q.c.State() == wsClosed; }, 2000));
}

TEST(WSocketCore, MulticastAndBroadcastOptionsOnLoopback)
{
    const int port = testsupport::FreePort();
    const std::string group = "239.255.77.1";
    TWSocket listener;
    listener.SetProto("udp");
    listener.SetAddr("127.0.0.1");  // the interface that joins the group
    listener.SetPort(std::to_string(port));
    listener.SetMultiCast(true);
    listener.SetMultiCastAddrStr(group);
    listener.SetReuseAddr(true);
    std::string got;
    listener.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { got += x->ReceiveText(); };
    listener.Listen();
    ASSERT_EQ(listener.State(), wsConnected);

    TWSocket sender;
    sender.SetProto("udp");
    sender.SetAddr(group);
    sender.SetPort(std::to_string(port));
    sender.SetLocalAddr("127.0.0.1");  // sends the group's datagrams through loopback
    sender.SetMultiCast(true);
    sender.SetMultiCastIpTTL(2);
    sender.Connect();
    unsigned char ttl = 0;
    socklen_t len = sizeof ttl;
    ASSERT_EQ(::getsockopt(static_cast<int>(sender.HSocket()), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
    EXPECT_EQ(ttl, 2);
    sender.SendText("to the group");
    ASSERT_TRUE(PumpUntil([&] { return got == "to the group"; }, 3000));

    // The broadcast address switches the option on; nothing is sent.
    TWSocket bc;
    bc.SetProto("udp");
    bc.SetAddr("255.255.255.255");
    bc.SetPort(std::to_string(port));
    bc.SetLocalAddr("127.0.0.1");
    bc.Connect();
    int on = 0;
    len = sizeof on;
    ASSERT_EQ(::getsockopt(static_cast<int>(bc.HSocket()), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(WSocketCore, KeepAliveNoDelayAndLinger)
{
    Pair p;
    p.c.SetComponentOptions({wsoTcpNoDelay});
    ASSERT_TRUE(p.Connect());
    const int fd = static_cast<int>(p.c.HSocket());
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &len), 0);
    EXPECT_NE(v, 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);
    linger li{};
    len = sizeof li;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &li, &len), 0);
    EXPECT_EQ(li.l_onoff, 1);
    EXPECT_EQ(li.l_linger, 0);
    // Abort turns linger off before closing a connected TCP socket.
    p.c.Abort();
    EXPECT_EQ(p.c.State(), wsClosed);
}

// A handler may destroy its own socket; nothing touches it afterwards.
TEST(WSocketCore, HandlersMayDeleteTheirSocket)
{
    for (int where = 0; where < 4; ++where) {
        SCOPED_TRACE(where);
        Server srv;
        srv.onAdopt = [](TWSocket& s) {
            s.OnDataSent = [](TCustomWSocket* x, std::uint16_t) {
                x->SendText("line one\r\nline two\r\n");
                x->CloseLater();
            };
        };
        auto* c = new TWSocket;
        bool gone = false;
        auto kill = [&](TCustomWSocket* x) {
            if (!gone) {
                gone = true;
                delete x;
            }
        };
        if (where == 0)
            c->OnSessionClosed = [&](TCustomWSocket* x, std::uint16_t) { kill(x); };
        if (where == 1)
            c->OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { kill(x); };
        if (where == 2) {
            c->SetLineMode(true);
            c->OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { kill(x); };
        }
        if (where == 3)
            c->OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t) { kill(x); };
        c->SetAddr("127.0.0.1");
        c->SetPort(std::to_string(where == 3 ? testsupport::FreePort() : srv.port));
        c->Connect();
        ASSERT_TRUE(PumpUntil([&] { return gone; }));
        nettest::PumpFor(30);
    }
    EXPECT_EQ(WSocketLivingObjects(), 0);
}

// A socket made on a worker thread lives on that thread's own loop; its
// waits pump that loop (MultiThreaded) while the main loop serves the peer.
TEST(WSocketCore, SocketOnAWorkerThreadWithItsOwnLoop)
{
    nettest::EchoServer echo;
    std::atomic<int> result{-1};
    std::atomic<bool> finished{false};
    std::string got;
    std::thread worker([&] {
        TWSocket s;
        s.SetMultiThreaded(true);
        bool flag = false;
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            got += x->ReceiveText();
            flag = got == "from a worker";
        };
        s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t e) {
            if (e == 0)
                x->SendText("from a worker");
        };
        s.SetWaitTimeout(10000);
        result = s.RunAndWait(flag, [&] {
            s.SetAddr("127.0.0.1");
            s.SetPort(std::to_string(echo.port));
            s.Connect();
        });
        finished = true;
    });
    bool ok = PumpUntil([&] { return finished.load(); }, 15000);
    worker.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(got, "from a worker");
}

namespace {
// A raw listener whose accept queue is full, so the next connect to it stays
// pending (its SYN is dropped and retried) until Admit() makes room.
struct FullBacklog {
    int lfd = -1, filler = -1, port = 0;
    FullBacklog()
    {
        lfd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(lfd, 0);
        socklen_t len = sizeof a;
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    void Admit() { ::close(::accept(lfd, nullptr, nullptr)); }
    ~FullBacklog()
    {
        ::close(filler);
        ::close(lfd);
    }
};
} // namespace

// Pause holds the socket's notifications, a pending connect included; Resume
// delivers them in order, whether the connect completed meanwhile or not.
TEST(WSocketCore, PauseWhileConnectingKeepsTheConnect)
{
    const std::string order = "state closed>opened | state opened>connecting | state connecting>connected | "
                              "connected 0 | datasent 0";
    {
        SCOPED_TRACE("completes while paused");
        Server srv;
        TWSocket c;
        EventLog log;
        log.Attach(c);
        c.SetAddr("127.0.0.1");
        c.SetPort(std::to_string(srv.port));
        c.Connect();
        c.Pause();
        ASSERT_TRUE(PumpUntil([&] { return srv.peers.size() == 1; }));
        nettest::PumpFor(50);
        EXPECT_EQ(c.State(), wsConnecting);
        EXPECT_FALSE(log.Has("datasent 0")) << log.Joined();
        c.Resume();
        ASSERT_TRUE(PumpUntil([&] { return log.Has("datasent 0"); })) << log.Joined();
        EXPECT_EQ(log.Joined(), order);
    }
    {
        SCOPED_TRACE("resumed before it completes");
        FullBacklog full;
        TWSocket c;
        EventLog log;
        log.Attach(c);
        c.SetAddr("127.0.0.1");
        c.SetPort(std::to_string(full.port));
        c.Connect();
        c.Pause();
        nettest::PumpFor(20);
        c.Resume();
        nettest::PumpFor(20);
        EXPECT_EQ(c.State(), wsConnecting);
        full.Admit();
        ASSERT_TRUE(PumpUntil([&] { return log.Has("datasent 0"); }, 20000)) << log.Joined();
        EXPECT_EQ(log.Joined(), order);
    }
}

// A writable notification that Send posted while paused goes with the
// descriptor: the next connection, which gets the same number, never sees it.
TEST(WSocketCore, NotificationsOfAClosedDescriptorAreDropped)
{
    Pair p;
    ASSERT_TRUE(p.Connect());
    const TSocket first = p.c.HSocket();
    p.c.Pause();
    p.c.SendText("x");
    p.c.Close();
    EventLog log;
    log.Attach(p.c);
    p.c.SetAddr("127.0.0.1");
    p.c.SetPort(std::to_string(p.srv.port));
    p.c.Connect();
    ASSERT_EQ(p.c.HSocket(), first);  // the descriptor number is reused
    ASSERT_TRUE(PumpUntil([&] { return log.Has("datasent 0"); })) << log.Joined();
    EXPECT_EQ(log.Joined(), "state closed>opened | state opened>connecting | state connecting>connected | "
                            "connected 0 | datasent 0");
}

// Close with a linger time returns at once against a peer that does not read;
// the peer still gets the bytes the system held and then a clean end.
TEST(WSocketCore, LingeringCloseDoesNotBlockTheThread)
{
    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lfd, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    TWSocket c;
    bool up = false;
    c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { up = e == 0; };
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(ntohs(a.sin_port)));
    c.SetLingerOnOff(wsLingerOn);
    c.SetLingerTimeout(10);
    c.Connect();
    ASSERT_TRUE(PumpUntil([&] { return up; }));
    const int peer = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const std::string block(1 << 20, 'L');
    for (int i = 0; i < 64 && c.BufferedByteCount() == 0; ++i)
        c.Send(block.data(), static_cast<int>(block.size()));
    ASSERT_GT(c.BufferedByteCount(), 0);  // the system's buffers are full
    const std::uint32_t t0 = platform::GetTickCount();
    c.Close();
    EXPECT_LT(platform::GetTickCount() - t0, 5000u);  // the linger time is 10 s
    EXPECT_EQ(c.State(), wsClosed);
    timeval tv{20, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<char> buf(1 << 20);
    long total = 0;
    ssize_t n;
    while ((n = ::recv(peer, buf.data(), buf.size(), 0)) > 0)
        total += n;
    EXPECT_EQ(n, 0) << "errno " << errno;  // an orderly end, no reset
    EXPECT_GT(total, 0);
    ::close(peer);
    ::close(lfd);
}
