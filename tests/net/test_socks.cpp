// SOCKS 4, 4A and 5 through real servers (dante, microsocks) started on
// loopback, and a scripted server for the reply codes and splits real servers
// do not produce.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"
#include "scripted_peer.hpp"
#include "socks_peers.hpp"

#include <gtest/gtest.h>

using namespace net;
using namespace nettest;

namespace {

std::string AuthName(TSocksAuthState s)
{
    static const char* n[] = {"begin", "ok", "failed", "skipped"};
    return n[s];
}

// A client socket that logs its SOCKS and session events and collects data.
struct SocksClient {
    TWSocket s;
    EventLog log;
    std::string data;
    std::string bound; // the local address while the session was up

    SocksClient(const std::string& level, int proxyPort, int destPort, const std::string& dest = "127.0.0.1")
    {
        log.Attach(s);
        s.OnChangeState = nullptr;
        s.OnSocksConnected = [this](TCustomWSocket* x, std::uint16_t e) {
            log.events.push_back("socksconnected " + std::to_string(e));
            bound = x->GetBoundAddr();
        };
        s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) { log.events.push_back("auth " + AuthName(a)); };
        s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
            log.events.push_back("sockserror " + std::to_string(e) + " " + m);
        };
        s.OnDataAvailable = [this](TCustomWSocket* x, std::uint16_t) {
            log.events.push_back("data " + std::to_string(x->RcvdCount()));
            data += x->ReceiveText();
        };
        s.SetAddr(dest);
        s.SetPort(std::to_string(destPort));
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(proxyPort));
        s.SetSocksLevel(level);
    }
    void UseAuth(const std::string& user, const std::string& pass)
    {
        s.SetSocksUsercode(user);
        s.SetSocksPassword(pass);
        s.SetSocksAuthentication(socksAuthenticateUsercode);
    }
    bool WaitFor(const std::string& event) { return PumpUntil([&] { return log.Has(event); }); }
};

std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// The SOCKS 5 connect request a client sends for 127.0.0.1:port.
int Socks5RequestLength(const std::string& host) { return 7 + static_cast<int>(host.size()); }

} // namespace

// One proxy, both levels it speaks, data both ways through the proxy. (dante
// has no 4A: it takes 0.0.0.1 literally; 4A is checked with the scripted peer.)
TEST(Socks, DanteWithoutAuthentication)
{
    testsupport::DanteServer dante;
    ASSERT_TRUE(dante.Start(false)) << dante.Log();
    EchoServer echo;
    for (std::string level : {"5", "4"}) {
        SCOPED_TRACE(level);
        SocksClient c(level, dante.Port(), echo.port);
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("connected 0")) << c.log.Joined() << dante.Log();
        EXPECT_EQ(c.log.events[0], "socksconnected 0");
        EXPECT_EQ(c.log.events[1], "connected 0");
        EXPECT_EQ(c.s.State(), wsConnected);
        c.s.SendText("through the proxy " + level);
        ASSERT_TRUE(PumpUntil([&] { return c.data == "through the proxy " + level; })) << c.log.Joined();
        if (level == "5") {
            EXPECT_FALSE(c.s.ProxyBoundPort().empty());
        }
        c.s.Close();
        // A close resets the SOCKS settings.
        EXPECT_EQ(c.s.SocksServer(), "");
        EXPECT_EQ(c.s.SocksLevel(), "5");
    }
}

TEST(Socks, DanteUserPasswordAcceptedAndRefused)
{
    testsupport::DanteServer dante;
    ASSERT_TRUE(dante.Start(true)) << dante.Log();
    EchoServer echo;
    {
        SocksClient c("5", dante.Port(), echo.port);
        c.UseAuth(testsupport::kSocksUser, testsupport::kSocksPassword);
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("datasent 0")) << c.log.Joined() << dante.Log();
        EXPECT_EQ(c.log.Joined(), "socksconnected 0 | auth begin | auth ok | connected 0 | data 0 | datasent 0");
        c.s.SendText("authenticated");
        ASSERT_TRUE(PumpUntil([&] { return c.data == "authenticated"; }));
    }
    {
        SocksClient c("5", dante.Port(), echo.port);
        c.UseAuth(testsupport::kSocksUser, "wrong password");
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("closed 20015")) << c.log.Joined() << dante.Log();
        EXPECT_EQ(c.log.Joined(), "socksconnected 0 | auth begin | sockserror 20015 socks authentication failed | "
                                  "connected 20015 | closed 20015");
    }
    {
        // No method the server accepts.
        SocksClient c("5", dante.Port(), echo.port);
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("closed 20003")) << c.log.Joined();
        EXPECT_EQ(c.log.events.front(), "socksconnected 0");
        EXPECT_TRUE(c.log.Has("sockserror 20003 authentification method not acceptable"));
    }
}

TEST(Socks, MicrosocksWithAndWithoutAuthentication)
{
    EchoServer echo;
    testsupport::MicrosocksServer open;
    ASSERT_TRUE(open.Start()) << open.Log();
    {
        SocksClient c("5", open.Port(), echo.port);
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("connected 0")) << c.log.Joined();
        c.s.SendText("microsocks");
        ASSERT_TRUE(PumpUntil([&] { return c.data == "microsocks"; }));
    }
    testsupport::MicrosocksServer locked;
    ASSERT_TRUE(locked.Start(testsupport::kSocksUser, testsupport::kSocksPassword)) << locked.Log();
    {
        SocksClient c("5", locked.Port(), echo.port);
        c.UseAuth(testsupport::kSocksUser, testsupport::kSocksPassword);
        c.s.Connect();
        ASSERT_TRUE(c.WaitFor("datasent 0")) << c.log.Joined();
        EXPECT_EQ(c.log.Joined(), "socksconnected 0 | auth begin | auth ok | connected 0 | data 0 | datasent 0");
        c.s.SendText("locked");
        ASSERT_TRUE(PumpUntil([&] { return c.data == "locked"; }));
    }
}

TEST(Socks, SplitReplyAndSurplusBytesComeFirst)
{
    const std::string host = "127.0.0.1";
    // Method 0, then a connect reply in two pieces with 5 bytes of data behind
    // it, then more data that must come after those 5 bytes.
    ScriptedPeer peer({ReadN(3), Write(Bytes({5, 0})), ReadN(Socks5RequestLength(host)),
                       Write(Bytes({5, 0, 0, 1})), PauseMs(80),
                       Write(Bytes({127, 0, 0, 9, 0x12, 0x34}) + "HELLO"), PauseMs(80), Write("WORLD")});
    SocksClient c("5", peer.Port(), 2121, host);
    c.s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.data == "HELLOWORLD"; })) << c.log.Joined();
    EXPECT_EQ(c.log.events[0], "socksconnected 0");
    EXPECT_EQ(c.log.events[1], "connected 0");
    EXPECT_EQ(c.log.events[2], "data 5");
    EXPECT_EQ(c.s.ProxyBoundAddr(), "127.0.0.9");
    EXPECT_EQ(c.s.ProxyBoundPort(), std::to_string(0x1234));
    ASSERT_TRUE(PumpUntil([&] { return peer.Finished(); }));
    // The request as sent: greeting with no authentication, then CONNECT by name.
    std::string expect = Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + Bytes({2121 >> 8, 2121 & 0xFF});
    EXPECT_EQ(peer.Received(), expect);
}

TEST(Socks, ReplyWithBoundNameAndAuthSkipped)
{
    const std::string host = "127.0.0.1";
    std::string name(255, 'n');  // the longest name the length byte allows
    ScriptedPeer peer({ReadN(3), Write(Bytes({5, 0})), ReadN(Socks5RequestLength(host)),
                       Write(Bytes({5, 0, 0, 3, 255}) + name + Bytes({0, 21}))});
    SocksClient c("5", peer.Port(), 21, host);
    c.UseAuth("u", "p");
    c.s.Connect();
    ASSERT_TRUE(c.WaitFor("datasent 0")) << c.log.Joined();
    // The proxy's messages are no data of the caller's: OnDataSent only
    // follows the connect, as it does without a proxy.
    EXPECT_EQ(c.log.Joined(), "socksconnected 0 | auth skipped | connected 0 | data 0 | datasent 0");
    EXPECT_EQ(c.s.ProxyBoundAddr(), name);
    EXPECT_EQ(c.s.ProxyBoundPort(), "21");
}

TEST(Socks, Level4ARequestCarriesTheNameAndUserId)
{
    const std::string host = "ftp.example.invalid";
    const std::string user = "someone";
    ScriptedPeer peer({ReadN(8 + static_cast<int>(user.size()) + 1 + static_cast<int>(host.size()) + 1),
                       Write(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "220 hi")});
    SocksClient c("4A", peer.Port(), 21, host);
    c.s.SetSocksUsercode(user);
    c.s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.data == "220 hi"; })) << c.log.Joined();
    EXPECT_EQ(c.log.events[0], "socksconnected 0");
    EXPECT_EQ(c.log.events[1], "connected 0");
    ASSERT_TRUE(PumpUntil([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(), Bytes({4, 1, 0, 21, 0, 0, 0, 1}) + user + std::string(1, '\0') + host + std::string(1, '\0'));
}

// Every failure ends in OnSocksError, OnSessionConnected and OnSessionClosed
// with the same code.
TEST(Socks, FailureCodesAndTexts)
{
    struct Case {
        std::string level;
        std::vector<Step> steps;
        int code;
        std::string text;
    };
    const std::string host = "127.0.0.1";
    auto v5 = [&](int reply) {
        return std::vector<Step>{ReadN(3), Write(Bytes({5, 0})), ReadN(Socks5RequestLength(host)),
                                 Write(Bytes({5, reply, 0, 1, 0, 0, 0, 0, 0, 0}))};
    };
    auto v4 = [&](int status) {
        return std::vector<Step>{ReadN(9), Write(Bytes({0, status, 0, 0, 0, 0, 0, 0}))};
    };
    std::vector<Case> cases = {
        {"5", {ReadN(3), Write(Bytes({5, 255}))}, 20003, "authentification method not acceptable"},
        {"5", {ReadN(3), Write(Bytes({4, 0}))}, 20002, "socks version error"},
        {"5", v5(1), 20004, "general SOCKS server failure"},
        {"5", v5(2), 20005, "connection not allowed by ruleset"},
        {"5", v5(3), 20006, "network unreachable"},
        {"5", v5(4), 20007, "host unreachable"},
        {"5", v5(5), 20008, "connection refused"},
        {"5", v5(6), 20009, "time to live expired"},
        {"5", v5(7), 20010, "command not supported"},
        {"5", v5(8), 20011, "address type not supported"},
        {"5", v5(9), 20012, "unassigned error #9"},
        {"5", {ReadN(3), Write(Bytes({5, 0})), ReadN(Socks5RequestLength(host)), Write(Bytes({5, 0, 0, 4, 0}))},
         20011, "address type not supported"},
        {"4", v4(91), 20016, "request rejected or failed"},
        {"4", v4(92), 20008, "connection refused"},
        {"4", v4(93), 20015, "authentification failed"},
        {"4", v4(95), 20012, "unassigned error #95"},
        {"4", {ReadN(9), Write(Bytes({4, 90, 0, 0, 0, 0, 0, 0}))}, 20002, "socks version error"},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.text);
        ScriptedPeer peer(k.steps);
        SocksClient c(k.level, peer.Port(), 21, host);
        c.s.Connect();
        std::string closed = "closed " + std::to_string(k.code);
        ASSERT_TRUE(c.WaitFor(closed)) << c.log.Joined();
        EXPECT_EQ(c.log.Joined(), "socksconnected 0 | sockserror " + std::to_string(k.code) + " " + k.text +
                                      " | connected " + std::to_string(k.code) + " | " + closed);
        EXPECT_EQ(c.s.State(), wsClosed);
    }
}

// The auth reply status byte arriving on its own is awaited, not taken as success.
TEST(Socks, AuthReplyInTwoPiecesIsAwaited)
{
    ScriptedPeer peer({ReadN(3), Write(Bytes({5, 2})), ReadN(1 + 1 + 1 + 1 + 1), Write(Bytes({1})), PauseMs(100),
                       Write(Bytes({1}))});
    SocksClient c("5", peer.Port(), 21);
    c.UseAuth("u", "p");
    c.s.Connect();
    ASSERT_TRUE(c.WaitFor("closed 20015")) << c.log.Joined();
    EXPECT_FALSE(c.log.Has("auth ok"));
}

TEST(Socks, SettersAndRefusals)
{
    TWSocket s;
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    try {
        s.SetSocksLevel("3");
        FAIL() << "level 3 accepted";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    s.SetSocksPort("1080");
    s.SetAddr("127.0.0.1");
    s.SetPort("21");
    s.SetProto("udp");
    try {
        s.Connect();
        FAIL() << "udp through socks accepted";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
    }
    try {
        s.Listen();
        FAIL() << "listen through socks accepted";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Listening is not supported thru socks server");
    }
}

// Names and credentials that do not fit the one-byte length fields are
// refused before anything is sent.
TEST(Socks, OverlongFieldsAreRefusedBeforeSending)
{
    ScriptedPeer peer({ReadN(3)});
    for (int variant = 0; variant < 3; ++variant) {
        TWSocket s;
        s.SetAddr(variant == 0 ? std::string(256, 'a') : "127.0.0.1");
        s.SetPort("21");
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(peer.Port()));
        if (variant == 1) {
            s.SetSocksUsercode(std::string(256, 'u'));
            s.SetSocksAuthentication(socksAuthenticateUsercode);
        }
        if (variant == 2) {
            s.SetSocksLevel("4");
            s.SetSocksUsercode(std::string("a\0b", 3));
        }
        EXPECT_THROW(s.Connect(), ESocketException);
        EXPECT_EQ(s.State(), wsClosed);
    }
    PumpFor(50);
    EXPECT_FALSE(peer.Accepted());
}

// Names Connect needs (a proxy given by name, a SOCKS 4 destination name, a
// local address name) are looked up on a worker: Connect returns while the
// look-up runs, and the connection follows when it completes.
TEST(Socks, NamesAreLookedUpWithoutBlockingConnect)
{
    platform::SetLookupDelayForTests("slow:", 500);
    const std::string slow = "slow:localhost";
    struct Case {
        std::string what;
        bool nameIsProxy, nameIsDest, nameIsLocal;
    };
    const std::vector<Case> cases = {{"proxy by name", true, false, false},
                                     {"SOCKS 4 destination by name", false, true, false},
                                     {"local address by name", false, false, true}};
    for (auto& k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedPeer peer({ReadN(9), Write(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hi")});
        SocksClient c("4", peer.Port(), 21, k.nameIsDest ? slow : "127.0.0.1");
        if (k.nameIsProxy)
            c.s.SetSocksServer(slow);
        if (k.nameIsLocal)
            c.s.SetLocalAddr(slow);
        const int before = platform::PendingLookups();
        c.s.Connect();
        EXPECT_EQ(platform::PendingLookups(), before + 1);  // still looking it up
        EXPECT_NE(c.s.State(), wsConnected);
        ASSERT_TRUE(PumpUntil([&] { return c.data == "hi"; })) << c.log.Joined();
        EXPECT_EQ(c.log.events.at(0), "socksconnected 0");
        EXPECT_EQ(c.log.events.at(1), "connected 0");
        ASSERT_TRUE(PumpUntil([&] { return peer.Finished(); }));
        EXPECT_EQ(peer.Received(), Bytes({4, 1, 0, 21, 127, 0, 0, 1, 0}));
        if (k.nameIsLocal) {
            // Read while connected: the peer may have closed by now.
            EXPECT_EQ(c.bound, "127.0.0.1");
        }
    }
    // A name that does not resolve ends the attempt from the loop. (A label
    // longer than 63 bytes fails in the resolver without any query.)
    const std::string bad = "slow:" + std::string(70, 'x') + ".invalid";
    {
        SocksClient c("5", 1, 21);
        c.s.SetSocksServer(bad);
        c.s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return c.log.Has("closed 11001"); })) << c.log.Joined();
        EXPECT_EQ(c.log.Joined(), "connected 11001 | closed 11001");
        EXPECT_EQ(c.s.State(), wsClosed);
    }
    {
        SocksClient c("4", 1, 21, bad);
        c.s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return c.log.Has("closed 20017"); })) << c.log.Joined();
        EXPECT_EQ(c.log.Joined(), "sockserror 20017 ESocketException WSocketResolveHost: Cannot convert host "
                                  "address '" + bad + "', Error #11001 | closed 20017");
    }
    platform::SetLookupDelayForTests("", 0);
}
