// 64 MiB through the socket layer in each direction, directly and through
// SOCKS 5 proxies, checked with a hash of the stream.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"
#include "socks_peers.hpp"

#include <gtest/gtest.h>

#include <cstring>

using namespace net;
using namespace nettest;

namespace {

constexpr std::int64_t kTotal = 64LL << 20;

struct Hash {
    std::uint64_t h = 1469598103934665603ULL;
    void Add(const char* p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= static_cast<unsigned char>(p[i]);
            h *= 1099511628211ULL;
        }
    }
};

// A deterministic byte stream with chunks of varying size.
struct Source {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    std::int64_t left = kTotal;
    int turn = 0;
    Hash hash;
    std::string Next(int size)
    {
        int n = static_cast<int>(std::min<std::int64_t>(left, size));
        std::string s(static_cast<std::size_t>(n), '\0');
        for (int i = 0; i < n; i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(s.data() + i, &state, static_cast<std::size_t>(std::min(8, n - i)));
        }
        left -= n;
        hash.Add(s.data(), s.size());
        return s;
    }
};

// Drives `from` to send the whole stream (two sends per writable notification
// so the queue is used) and `to` to hash what arrives.
void Transfer(TWSocket& from, TWSocket& to, Hash& received, std::int64_t& got, Source& src)
{
    static const int sizes[] = {65536, 1460, 200000, 7, 131072};
    from.OnDataSent = [&src](TCustomWSocket* x, std::uint16_t) {
        for (int k = 0; k < 2 && src.left > 0; ++k)
            x->SendText(src.Next(sizes[src.turn++ % 5]));
    };
    to.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
        char buf[131072];
        int n = x->Receive(buf, sizeof buf);
        if (n > 0) {
            received.Add(buf, static_cast<std::size_t>(n));
            got += n;
        }
    };
    // Start the stream: the first writable notification may be long gone.
    from.SendText(src.Next(65536));
}

void BothDirections(Pair& p)
{
    for (int direction = 0; direction < 2; ++direction) {
        SCOPED_TRACE(direction == 0 ? "client to server" : "server to client");
        TWSocket& from = direction == 0 ? p.c : p.Peer();
        TWSocket& to = direction == 0 ? p.Peer() : p.c;
        Source src;
        Hash received;
        std::int64_t got = 0;
        Transfer(from, to, received, got, src);
        ASSERT_TRUE(PumpUntil([&] { return got >= kTotal; }, 60000)) << got;
        EXPECT_EQ(got, kTotal);
        EXPECT_EQ(received.h, src.hash.h);
        from.OnDataSent = nullptr;
        to.OnDataAvailable = nullptr;
    }
}

} // namespace

TEST(Bulk, SixtyFourMiBEachWayDirect)
{
    Pair p;
    ASSERT_TRUE(p.Connect());
    BothDirections(p);
}

TEST(Bulk, SixtyFourMiBEachWayThroughSocks5)
{
    testsupport::DanteServer dante;
    ASSERT_TRUE(dante.Start(true)) << dante.Log();
    testsupport::MicrosocksServer micro;
    ASSERT_TRUE(micro.Start());
    for (int which = 0; which < 2; ++which) {
        SCOPED_TRACE(which == 0 ? "dante" : "microsocks");
        Pair p;
        p.c.SetSocksServer("127.0.0.1");
        p.c.SetSocksPort(std::to_string(which == 0 ? dante.Port() : micro.Port()));
        if (which == 0) {
            p.c.SetSocksUsercode(testsupport::kSocksUser);
            p.c.SetSocksPassword(testsupport::kSocksPassword);
            p.c.SetSocksAuthentication(socksAuthenticateUsercode);
        }
        ASSERT_TRUE(p.Connect());
        BothDirections(p);
    }
}
