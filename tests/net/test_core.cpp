// The socket core against in-process loopback peers: connect, refuse, accept
// and Dup, data both ways, the documented event orders.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"
#include "peer.hpp"

#include <gtest/gtest.h>

#include <memory>

using namespace net;
using nettest::EventLog;
using nettest::PumpUntil;

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
