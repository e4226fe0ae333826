// The event loop: posted messages across threads, dropped messages of
// destroyed windows, the asynchronous-select notification rules on raw
// platform sockets, look-ups, waits and the headless pump.
#include "platform/EventLoop.hpp"
#include "platform/Sockets.hpp"
#include "peer.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

using namespace platform;
namespace P = platform;

namespace {

constexpr UINT kMsg = WM_USER + 77;

// Pumps until pred() or the time limit.
template <class Pred> bool PumpUntil(Pred pred, int limitMs = 5000)
{
    const std::uint32_t start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > static_cast<std::uint32_t>(limitMs))
            return false;
        ProcessMessages();
        if (!pred())
            WaitMessage(20);
    }
    return true;
}

void PumpFor(int ms)
{
    const std::uint32_t start = GetTickCount();
    while (GetTickCount() - start < static_cast<std::uint32_t>(ms)) {
        ProcessMessages();
        WaitMessage(5);
    }
}

// Socket notifications of one window, counted by event.
struct Notes {
    HWND hwnd = 0;
    std::vector<std::pair<long, int>> seen;  // event, error
    Notes()
    {
        hwnd = AllocateHWnd([this](UINT msg, WPARAM, LPARAM l) {
            if (msg == kMsg)
                seen.emplace_back(l & 0xFFFF, static_cast<int>((static_cast<std::uint32_t>(l) >> 16) & 0xFFFF));
        });
    }
    ~Notes() { DeallocateHWnd(hwnd); }
    int Count(long ev) const
    {
        int n = 0;
        for (auto& [e, err] : seen)
            n += e == ev;
        return n;
    }
};

sockaddr_in Loopback(int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

struct Listener {
    SOCKET s = INVALID_SOCKET;
    int port = 0;
    Listener()
    {
        s = P::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = Loopback(0);
        P::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        P::listen(s, 8);
        socklen_t len = sizeof sa;
        P::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~Listener() { P::closesocket(s); }
};

// A connected pair: `a` registered for notifications, `b` plain.
struct Conn {
    Listener l;
    SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
    Conn(Notes& n, long mask)
    {
        a = P::socket(AF_INET, SOCK_STREAM, 0);
        P::WSAAsyncSelect(a, n.hwnd, kMsg, mask);
        sockaddr_in sa = Loopback(l.port);
        EXPECT_EQ(P::connect(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        PumpUntil([&] { return n.Count(FD_CONNECT) == 1; });
        b = P::accept(l.s, nullptr, nullptr);
        for (int i = 0; i < 100 && b == INVALID_SOCKET; ++i) {
            Sleep(5);
            b = P::accept(l.s, nullptr, nullptr);
        }
    }
    ~Conn()
    {
        if (a != INVALID_SOCKET)
            P::closesocket(a);
        if (b != INVALID_SOCKET)
            P::closesocket(b);
    }
};

} // namespace

TEST(Loop, PostedMessagesFromThreadsArriveInOrderPerThread)
{
    std::map<WPARAM, std::vector<LPARAM>> got;
    HWND h = AllocateHWnd([&](UINT msg, WPARAM w, LPARAM l) {
        if (msg == kMsg)
            got[w].push_back(l);
    });
    std::vector<std::thread> posters;
    for (WPARAM t = 0; t < 4; ++t)
        posters.emplace_back([h, t] {
            for (LPARAM i = 0; i < 2000; ++i)
                PostMessage(h, kMsg, t, i);
        });
    for (auto& t : posters)
        t.join();
    ASSERT_TRUE(PumpUntil([&] {
        std::size_t n = 0;
        for (auto& [k, v] : got)
            n += v.size();
        return n == 8000;
    }));
    for (auto& [k, v] : got)
        for (LPARAM i = 0; i < 2000; ++i)
            ASSERT_EQ(v[static_cast<std::size_t>(i)], i);
    DeallocateHWnd(h);
}

TEST(Loop, MessagesForADestroyedWindowAreDropped)
{
    int delivered = 0;
    HWND h = AllocateHWnd([&](UINT, WPARAM, LPARAM) { ++delivered; });
    HWND other = 0;
    int otherGot = 0;
    other = AllocateHWnd([&](UINT, WPARAM, LPARAM) {
        ++otherGot;
        DeallocateHWnd(other);  // destroying itself inside its own procedure
    });
    EXPECT_TRUE(PostMessage(h, kMsg, 0, 0));
    EXPECT_TRUE(PostMessage(other, kMsg, 0, 0));
    EXPECT_TRUE(PostMessage(other, kMsg, 0, 0));
    DeallocateHWnd(h);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessage(h, kMsg, 0, 0));
    PumpFor(30);
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(otherGot, 1);
    EXPECT_NE(AllocateHWnd(nullptr), h);  // handles are not reused
}

// Timers wake a wait with no limit, tick at their period, stop on KillTimer
// and go with their window.
TEST(Loop, TimersTickUntilKilledOrTheWindowGoes)
{
    std::vector<std::pair<WPARAM, std::uint32_t>> ticks;
    const std::uint32_t t0 = GetTickCount();
    HWND h = AllocateHWnd([&](UINT msg, WPARAM id, LPARAM) {
        if (msg == WM_TIMER)
            ticks.emplace_back(id, GetTickCount() - t0);
    });
    ASSERT_TRUE(SetTimer(h, 7, 40));
    EXPECT_TRUE(WaitMessage(-1)); // only the timer can end this wait
    ProcessMessages();
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0].first, 7u);
    EXPECT_GE(ticks[0].second, 39u);
    PumpFor(130);
    EXPECT_GE(ticks.size(), 3u);
    KillTimer(h, 7);
    const std::size_t killed = ticks.size();
    ASSERT_TRUE(SetTimer(h, 8, 20));
    DeallocateHWnd(h);
    PumpFor(80);
    EXPECT_EQ(ticks.size(), killed);
    EXPECT_FALSE(SetTimer(h, 9, 10));
}

TEST(Loop, WaitTickSleepQuitAndHeadlessPump)
{
    std::uint32_t t0 = GetTickCount();
    EXPECT_FALSE(WaitMessage(60));
    EXPECT_GE(GetTickCount() - t0, 55u);
    t0 = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - t0, 19u);

    int n = 0;
    HWND h = AllocateHWnd([&](UINT, WPARAM, LPARAM) { ++n; });
    std::thread late([h] {
        Sleep(50);
        PostMessage(h, kMsg, 0, 0);
    });
    EXPECT_TRUE(WaitMessage(2000));  // woken by a post from another thread
    late.join();
    ApplicationPump().ProcessMessages();
    EXPECT_EQ(n, 1);

    PostMessage(h, kMsg, 0, 0);
    PostQuitMessage(0);
    PostMessage(h, kMsg, 0, 0);
    EXPECT_FALSE(ApplicationPump().Terminated());
    ProcessMessages();
    EXPECT_EQ(n, 2);  // stops at the quit message
    EXPECT_TRUE(ApplicationPump().Terminated());
    ClearQuitSeen();
    ProcessMessages();
    EXPECT_EQ(n, 3);
    DeallocateHWnd(h);
}

TEST(AsyncSelect, ReadOnceUntilReceiveAndConnectOnce)
{
    Notes n;
    Conn c(n, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    ASSERT_NE(c.b, INVALID_SOCKET);
    EXPECT_EQ(n.seen.at(0), (std::pair<long, int>{FD_CONNECT, 0}));
    ASSERT_TRUE(PumpUntil([&] { return n.Count(FD_WRITE) == 1; }));
    for (int i = 0; i < 3; ++i) {
        P::send(c.b, "abcd", 4, 0);
        PumpFor(20);
    }
    EXPECT_EQ(n.Count(FD_READ), 1);
    char buf[4];
    EXPECT_EQ(P::recv(c.a, buf, 4, 0), 4);  // data remains: another notification
    ASSERT_TRUE(PumpUntil([&] { return n.Count(FD_READ) == 2; }));
    char all[64];
    EXPECT_EQ(P::recv(c.a, all, static_cast<int>(sizeof all), 0), 8);
    PumpFor(30);
    EXPECT_EQ(n.Count(FD_READ), 2);  // nothing left, nothing more
    EXPECT_EQ(n.Count(FD_CONNECT), 1);
    EXPECT_EQ(n.Count(FD_WRITE), 1);
}

TEST(AsyncSelect, WriteAgainOnlyAfterAFullBuffer)
{
    Notes n;
    Conn c(n, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    ASSERT_TRUE(PumpUntil([&] { return n.Count(FD_WRITE) == 1; }));
    std::vector<char> chunk(65536, 'w');
    EXPECT_EQ(P::send(c.a, chunk.data(), 100, 0), 100);
    PumpFor(30);
    EXPECT_EQ(n.Count(FD_WRITE), 1);
    int guard = 0;
    while (P::send(c.a, chunk.data(), static_cast<int>(chunk.size()), 0) > 0 && ++guard < 10000) {
    }
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    PumpFor(30);
    EXPECT_EQ(n.Count(FD_WRITE), 1);
    // The peer drains: room again.
    std::vector<char> sink(1 << 20);
    std::thread drain([&] {
        for (int i = 0; i < 400; ++i)
            if (::recv(static_cast<int>(c.b), sink.data(), sink.size(), MSG_DONTWAIT) <= 0)
                Sleep(2);
    });
    bool ok = PumpUntil([&] { return n.Count(FD_WRITE) == 2; });
    drain.join();
    EXPECT_TRUE(ok);
}

TEST(AsyncSelect, AcceptOnceUntilAcceptAndCloseOnceWithDataLeft)
{
    Notes n;
    Listener l;
    ASSERT_EQ(P::WSAAsyncSelect(l.s, n.hwnd, kMsg, FD_ACCEPT | FD_READ | FD_CLOSE), 0);
    SOCKET c1 = P::socket(AF_INET, SOCK_STREAM, 0), c2 = P::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(l.port);
    P::connect(c1, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    P::connect(c2, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    PumpFor(50);
    EXPECT_EQ(n.Count(FD_ACCEPT), 1);
    SOCKET a1 = P::accept(l.s, nullptr, nullptr);
    ASSERT_NE(a1, INVALID_SOCKET);
    ASSERT_TRUE(PumpUntil([&] { return n.Count(FD_ACCEPT) == 2; }));
    SOCKET a2 = P::accept(l.s, nullptr, nullptr);
    ASSERT_NE(a2, INVALID_SOCKET);

    Notes m;
    ASSERT_EQ(P::WSAAsyncSelect(a1, m.hwnd, kMsg, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(PumpUntil([&] { return m.Count(FD_WRITE) == 1; }));  // accepted: writable once
    P::send(c1, "tail", 4, 0);
    P::shutdown(c1, 1);
    ASSERT_TRUE(PumpUntil([&] { return m.Count(FD_CLOSE) == 1; }));
    PumpFor(30);
    EXPECT_EQ(m.Count(FD_CLOSE), 1);
    EXPECT_EQ(m.seen.back(), (std::pair<long, int>{FD_CLOSE, 0}));
    char buf[16];
    EXPECT_EQ(P::recv(a1, buf, static_cast<int>(sizeof buf), 0), 4);  // still readable after the close note
    EXPECT_EQ(P::recv(a1, buf, static_cast<int>(sizeof buf), 0), 0);
    PumpFor(30);
    EXPECT_EQ(m.Count(FD_CLOSE), 1);
    for (SOCKET s : std::vector<SOCKET>{c1, c2, a1, a2})
        P::closesocket(s);
}

TEST(AsyncSelect, RefusedConnectCarriesTheError)
{
    Notes n;
    SOCKET s = P::socket(AF_INET, SOCK_STREAM, 0);
    P::WSAAsyncSelect(s, n.hwnd, kMsg, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    sockaddr_in sa = Loopback(testsupport::FreePort());
    EXPECT_EQ(P::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return !n.seen.empty(); }));
    PumpFor(30);
    ASSERT_EQ(n.seen.size(), 1u);
    EXPECT_EQ(n.seen[0], (std::pair<long, int>{FD_CONNECT, WSAECONNREFUSED}));
    P::closesocket(s);
}

TEST(AsyncSelect, ClosingDropsQueuedNotifications)
{
    Notes n;
    Conn c(n, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    P::send(c.b, "x", 1, 0);
    Sleep(20);
    n.seen.clear();
    MSG peek;
    PeekMessage(peek, false);  // turns readiness into queued notifications
    P::closesocket(c.a);
    c.a = INVALID_SOCKET;
    PumpFor(30);
    EXPECT_TRUE(n.seen.empty());
}

TEST(Lookup, CompletesOnTheLoopAndCancelPostsNothing)
{
    std::vector<std::pair<WPARAM, int>> done;
    HWND h = AllocateHWnd([&](UINT, WPARAM w, LPARAM l) {
        done.emplace_back(w, static_cast<int>((static_cast<std::uint32_t>(l) >> 16) & 0xFFFF));
    });
    HANDLE a = WSAAsyncGetHostByName(h, kMsg, "localhost");
    ASSERT_NE(a, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done[0], (std::pair<WPARAM, int>{a, 0}));
    HostEntry e;
    ASSERT_TRUE(TakeHostEntry(a, e));
    ASSERT_FALSE(e.addrs.empty());
    EXPECT_EQ(e.addrs[0], htonl(INADDR_LOOPBACK));

    SetLookupDelayForTests("slow:", 200);
    HANDLE b = WSAAsyncGetHostByName(h, kMsg, "slow:localhost");
    EXPECT_EQ(PendingLookups(), 1);
    EXPECT_EQ(WSACancelAsyncRequest(b), 0);
    EXPECT_EQ(WSACancelAsyncRequest(b), SOCKET_ERROR);
    HANDLE r = WSAAsyncGetHostByAddr(h, kMsg, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(PumpUntil([&] { return done.size() == 2; }));
    EXPECT_EQ(done[1].first, r);
    PumpFor(300);
    EXPECT_EQ(done.size(), 2u);
    EXPECT_EQ(PendingLookups(), 0);
    // The delayed name itself resolves once the delay is over.
    HANDLE late = WSAAsyncGetHostByName(h, kMsg, "slow:localhost");
    ASSERT_TRUE(PumpUntil([&] { return done.size() == 3; }));
    EXPECT_EQ(done[2], (std::pair<WPARAM, int>{late, 0}));
    SetLookupDelayForTests("", 0);
    DeallocateHWnd(h);
}
