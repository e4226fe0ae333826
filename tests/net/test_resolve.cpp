// The resolvers' rules and texts, the error-text table and the send-queue block.
#include "net/WSockBuf.hpp"
#include "net/WSocket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace net;

namespace {

std::string ErrorOf(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(Resolve, HostRules)
{
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("  127.0.0.1  "), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("010.000.000.001"), htonl(0x0A000001));
    EXPECT_TRUE(WSocketIsDottedIP("1.2.3.4"));
    for (const char* no : {"1.2.3", "1.2.3.256", ".1.2.3", "1..2.3", "1.2.3.4.", "1.2.3.4x", "a.b.c.d"})
        EXPECT_FALSE(WSocketIsDottedIP(no)) << no;
    // Not dotted: they go to the host-name lookup, which fails.
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost("1.2.3"); }).rfind("WSocketResolveHost: Cannot convert host address '1.2.3', Error #", 0), 0u);
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost("1.2.3.256"); }).rfind("WSocketResolveHost: Cannot convert host address '1.2.3.256'", 0), 0u);
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(std::string(257, 'h')); }), "WSocketResolveHost: '" + std::string(257, 'h') + "' Invalid Hostname.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(" 255.255.255.255"); }), "WSocketResolveHost: ' 255.255.255.255' Invalid IP address.");
}

TEST(Resolve, PortAndProtocolRules)
{
    EXPECT_EQ(WSocketResolvePort("99999", "tcp"), 99999u);
    EXPECT_EQ(WSocketResolvePort("99999", "tcp") & 0xFFFF, 99999u & 0xFFFF);
    EXPECT_EQ(WSocketResolvePort("21abc", "tcp"), 21u);
    EXPECT_EQ(WSocketResolvePort(" ftp ", "tcp"), 21u);
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("21", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("nosuchservice", "tcp"); }).rfind("WSocketResolvePort: Cannot convert port 'nosuchservice', Error #", 0), 0u);
    EXPECT_EQ(WSocketResolveProto("TCP "), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17x"), 17);
    EXPECT_EQ(WSocketResolveProto("icmp"), 1);
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto("nosuchproto"); }).rfind("WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #", 0), 0u);
}

TEST(Resolve, SocketErrorTextTable)
{
    const std::pair<int, const char*> table[] = {
        {0, "No Error"}, {10004, "Interrupted system call"}, {10013, "Permission denied"},
        {10022, "Invalid argument"}, {10035, "Operation would block"}, {10048, "Address already in use"},
        {10053, "Connection aborted"}, {10054, "Connection reset by peer"}, {10057, "Socket is not connected"},
        {10060, "Connection timed out"}, {10061, "Connection refused"}, {10065, "No route to host"},
        {10093, "WinSock not initialized"}, {11001, "Host not found"}, {11004, "No Data"},
        {12345, "Not a WinSock error"}, {-1, "Not a WinSock error"}, {10001, "Not a WinSock error"},
    };
    for (auto& [code, text] : table)
        EXPECT_EQ(SocketErrorText(code), text) << code;
}

TEST(SendBuffer, BlockCountsAndReuse)
{
    TBuffer b(0);
    EXPECT_EQ(b.Capacity(), 1514);
    TBuffer s(10);
    EXPECT_EQ(s.AppendData("abcdefghijkl", 12), 10);
    EXPECT_EQ(s.AppendData("z", 1), 0);
    int n = 0;
    const std::uint8_t* p = s.PeekData(n);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 3), "abc");
    EXPECT_EQ(s.ConsumeData(4), 4);
    p = s.PeekData(n);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(*p, 'e');
    s.SetCapacity(20);  // keeps the unsent bytes
    p = s.PeekData(n);
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 6), "efghij");
    EXPECT_EQ(s.ConsumeData(100), 6);
    // Drained: both counts back to 0, the block is reused from its start.
    EXPECT_EQ(s.WriteCount(), 0);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.PeekData(n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(s.AppendData("x", 1), 1);
    EXPECT_EQ(s.FreeSpace(), 19);
}

TEST(Resolve, Ipv6Literals)
{
    for (const char* yes : {"::1", "[::1]", " ::1 ", "2001:db8::7", "[fe80::1]", "::ffff:127.0.0.1"}) {
        sockaddr_in6 a{};
        EXPECT_TRUE(WSocketParseIPv6(yes, a)) << yes;
        EXPECT_EQ(a.sin6_family, AF_INET6) << yes;
    }
    sockaddr_in6 a{};
    ASSERT_TRUE(WSocketParseIPv6("[::1]", a));
    EXPECT_EQ(WSocketAddrText(reinterpret_cast<sockaddr*>(&a)), "::1");
    // IPv4 texts and names never read as IPv6 literals.
    for (const char* no : {"", "127.0.0.1", "[127.0.0.1]", "localhost", "::g", "[::1", "1:2:3:4:5:6:7:8:9", "[]"})
        EXPECT_FALSE(WSocketParseIPv6(no, a)) << no;
    EXPECT_FALSE(WSocketResolveHost6("1.2.3.4", a));
}
