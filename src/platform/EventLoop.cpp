#include "platform/EventLoop.hpp"

#include "platform/LoopInternal.hpp"
#include "platform/Sockets.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {
namespace {

struct Window {
    HWND handle = 0;
    WindowProc proc;
};

// One socket registered with WSAAsyncSelect.
struct SelectEntry {
    int fd = -1;
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool datagram = false;
    bool listening = false;
    bool connected = false;
    bool connectPending = false;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeSent = false;
    bool eofDrained = false;  // peer closed and nothing left to read
    bool parked = false;      // finished: never polled again
    bool inEpoll = false;
    bool suspended = false;   // not polled; notifications wait in held
    std::vector<MSG> held;
    std::uint32_t registered = 0;  // interest currently given to epoll
};

class Loop {
public:
    Loop()
    {
        m_epfd = ::epoll_create1(EPOLL_CLOEXEC);
        m_evfd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_tfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_epfd < 0 || m_evfd < 0 || m_tfd < 0)
            throw std::runtime_error("event loop: cannot create descriptors");
        for (int fd : { m_evfd, m_tfd }) {
            epoll_event ev {};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ev);
        }
    }

    // Timers live in a list; the timer descriptor, watched with the sockets,
    // wakes the loop (and a toolkit watching it) at the earliest one.
    struct Timer {
        HWND hwnd = 0;
        std::uintptr_t id = 0;
        std::uint64_t interval = 0, due = 0; // ms of CLOCK_MONOTONIC
    };

    static std::uint64_t NowMs()
    {
        timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000u
            + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    }

    void SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t ms)
    {
        KillTimer(hwnd, id);
        m_timers.push_back(
            Timer { hwnd, id, std::max<std::uint64_t>(ms, 1), NowMs() + std::max<std::uint32_t>(ms, 1) });
        ArmTimers();
    }

    void KillTimer(HWND hwnd, std::uintptr_t id)
    {
        std::erase_if(m_timers,
            [&](const Timer& t) { return t.hwnd == hwnd && (t.id == id || id == ~std::uintptr_t(0)); });
        Purge([&](const MSG& m) {
            return m.hwnd == hwnd && m.message == WM_TIMER && (m.wParam == id || id == ~std::uintptr_t(0));
        });
        ArmTimers();
    }

    void FireTimers()
    {
        if (m_timers.empty())
            return;
        const std::uint64_t now = NowMs();
        bool fired = false;
        for (Timer& t : m_timers) {
            if (t.due > now)
                continue;
            t.due = now + t.interval;
            fired = true;
            bool pending = false;
            {
                std::lock_guard<std::mutex> lock(m_qmutex);
                for (const MSG& m : m_queue)
                    pending = pending || (m.hwnd == t.hwnd && m.message == WM_TIMER && m.wParam == t.id);
            }
            if (!pending)
                Push(MSG { t.hwnd, WM_TIMER, t.id, 0 });
        }
        if (fired || std::exchange(m_timerRead, false))
            ArmTimers();
    }

    void ArmTimers()
    {
        itimerspec when {};
        if (!m_timers.empty()) {
            std::uint64_t due = m_timers.front().due;
            for (const Timer& t : m_timers)
                due = std::min(due, t.due);
            when.it_value.tv_sec = static_cast<time_t>(due / 1000);
            when.it_value.tv_nsec = static_cast<long>(due % 1000) * 1000000L;
            if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
                when.it_value.tv_nsec = 1;
        }
        ::timerfd_settime(m_tfd, TFD_TIMER_ABSTIME, &when, nullptr);
    }
    ~Loop();

    // Posting side (any thread).
    void Push(const MSG& m)
    {
        std::lock_guard<std::mutex> lock(m_qmutex);
        m_queue.push_back(m);
        if (!m_signaled) {
            m_signaled = true;
            std::uint64_t one = 1;
            [[maybe_unused]] auto r = ::write(m_evfd, &one, sizeof one);
        }
    }

    bool Pop(MSG& out, bool remove)
    {
        std::lock_guard<std::mutex> lock(m_qmutex);
        if (m_queue.empty())
            return false;
        out = m_queue.front();
        if (remove) {
            m_queue.pop_front();
            if (m_queue.empty() && m_signaled) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(m_evfd, &v, sizeof v);
                m_signaled = false;
            }
        }
        return true;
    }

    bool HasMessages()
    {
        std::lock_guard<std::mutex> lock(m_qmutex);
        return !m_queue.empty();
    }

    template <class Pred> void Purge(Pred pred)
    {
        std::lock_guard<std::mutex> lock(m_qmutex);
        std::erase_if(m_queue, pred);
        if (m_queue.empty() && m_signaled) {
            std::uint64_t v;
            [[maybe_unused]] auto r = ::read(m_evfd, &v, sizeof v);
            m_signaled = false;
        }
    }

    // Turns socket readiness into queued notifications; waits up to timeoutMs.
    void Gather(int timeoutMs)
    {
        epoll_event events[64];
        if (!m_timers.empty() && timeoutMs != 0) {
            // A timer due before the time limit ends the wait then.
            std::uint64_t due = m_timers.front().due;
            for (const Timer& t : m_timers)
                due = std::min(due, t.due);
            const std::uint64_t now = NowMs();
            const int left = due <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(due - now, 1u << 30));
            if (timeoutMs < 0 || left < timeoutMs)
                timeoutMs = left;
        }
        int n = ::epoll_wait(m_epfd, events, 64, timeoutMs);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == m_tfd) {
                std::uint64_t expirations;
                [[maybe_unused]] auto r = ::read(m_tfd, &expirations, sizeof expirations);
                m_timerRead = true; // re-armed below whatever fires
                continue;
            }
            if (events[i].data.fd == m_evfd)
                continue;
            auto it = m_selects.find(events[i].data.fd);
            if (it != m_selects.end())
                HandleReady(it->second, events[i].events);
        }
        FireTimers();
    }

    void Notify(SelectEntry& e, long event, int error)
    {
        MSG m;
        m.hwnd = e.hwnd;
        m.message = e.msg;
        m.wParam = static_cast<WPARAM>(static_cast<unsigned>(e.fd));
        m.lParam = static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                                       static_cast<std::uint32_t>(event & 0xFFFF));
        if (e.suspended)
            e.held.push_back(m);
        else
            Push(m);
    }

    // Suspending moves the socket's queued notifications aside; resuming
    // queues them again, in order, before anything new.
    void Suspend(SelectEntry& e, bool on)
    {
        if (on == e.suspended)
            return;
        e.suspended = on;
        if (on) {
            WPARAM w = static_cast<WPARAM>(static_cast<unsigned>(e.fd));
            Purge([&](const MSG& m) {
                bool mine = m.hwnd == e.hwnd && m.message == e.msg && m.wParam == w;
                if (mine)
                    e.held.push_back(m);
                return mine;
            });
        } else {
            for (const MSG& m : e.held)
                Push(m);
            e.held.clear();
        }
        Apply(e, false);
    }

    static int SocketError(int fd)
    {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        return err;
    }

    static std::uint32_t Wanted(const SelectEntry& e)
    {
        std::uint32_t want = 0;
        if (e.listening) {
            if ((e.mask & FD_ACCEPT) && e.acceptArmed)
                want |= EPOLLIN;
            return want;
        }
        if (e.connectPending)
            return EPOLLOUT;
        if ((e.mask & FD_READ) && e.readArmed && !e.eofDrained)
            want |= EPOLLIN;
        if ((e.mask & FD_WRITE) && e.writeArmed)
            want |= EPOLLOUT;
        if (!e.datagram && !e.closeSent)
            want |= EPOLLRDHUP;
        return want;
    }

    static bool Active(const SelectEntry& e)
    {
        return !e.parked && !e.suspended && (e.datagram || e.listening || e.connected || e.connectPending);
    }

    // Brings the epoll registration in line; lazy=true only widens it.
    void Apply(SelectEntry& e, bool lazy)
    {
        bool active = Active(e);
        std::uint32_t want = Wanted(e);
        if (!active) {
            if (e.inEpoll) {
                ::epoll_ctl(m_epfd, EPOLL_CTL_DEL, e.fd, nullptr);
                e.inEpoll = false;
                e.registered = 0;
            }
            return;
        }
        if (lazy && e.inEpoll && (want & ~e.registered) == 0)
            return;
        if (e.inEpoll && want == e.registered)
            return;
        epoll_event ev{};
        ev.events = want;
        ev.data.fd = e.fd;
        if (e.inEpoll) {
            ::epoll_ctl(m_epfd, EPOLL_CTL_MOD, e.fd, &ev);
        } else if (::epoll_ctl(m_epfd, EPOLL_CTL_ADD, e.fd, &ev) == 0) {
            e.inEpoll = true;
        }
        e.registered = want;
    }

    void HandleReady(SelectEntry& e, std::uint32_t ev)
    {
        if (e.connectPending) {
            if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
                return;
            int err = SocketError(e.fd);
            e.connectPending = false;
            if (err == 0) {
                e.connected = true;
                e.writeArmed = true;
                if (e.mask & FD_CONNECT)
                    Notify(e, FD_CONNECT, 0);
            } else {
                if (e.mask & FD_CONNECT)
                    Notify(e, FD_CONNECT, WinsockErrorFromErrno(err));
                e.parked = true;
                Apply(e, false);
                return;
            }
        }
        if (e.listening) {
            if ((ev & EPOLLIN) && e.acceptArmed && (e.mask & FD_ACCEPT)) {
                Notify(e, FD_ACCEPT, 0);
                e.acceptArmed = false;
            }
        } else if (e.datagram) {
            if ((ev & EPOLLIN) && e.readArmed && (e.mask & FD_READ)) {
                Notify(e, FD_READ, 0);
                e.readArmed = false;
            }
            if ((ev & EPOLLOUT) && e.writeArmed && (e.mask & FD_WRITE)) {
                Notify(e, FD_WRITE, 0);
                e.writeArmed = false;
            }
        } else {
            bool hup = (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
            if ((ev & EPOLLIN) && e.readArmed && (e.mask & FD_READ) && !e.eofDrained) {
                bool post = true;
                if (hup) {
                    int avail = 0;
                    if (::ioctl(e.fd, FIONREAD, &avail) != 0 || avail <= 0) {
                        post = false;
                        e.eofDrained = true;
                    }
                }
                if (post) {
                    Notify(e, FD_READ, 0);
                    e.readArmed = false;
                }
            }
            if ((ev & EPOLLOUT) && e.writeArmed && (e.mask & FD_WRITE) && !(ev & (EPOLLHUP | EPOLLERR))) {
                Notify(e, FD_WRITE, 0);
                e.writeArmed = false;
            }
            if (hup && !e.closeSent) {
                int err = (ev & EPOLLERR) ? SocketError(e.fd) : 0;
                if (err == 0 && (ev & EPOLLHUP) && !(ev & EPOLLRDHUP))
                    err = ECONNRESET;
                e.closeSent = true;
                if (e.mask & FD_CLOSE)
                    Notify(e, FD_CLOSE, err ? WinsockErrorFromErrno(err) : 0);
            }
            if (e.closeSent && (ev & (EPOLLHUP | EPOLLERR)))
                e.parked = true;
        }
        if (e.parked) {
            Apply(e, false);
            return;
        }
        std::uint32_t want = Wanted(e);
        if (ev & ~want & static_cast<std::uint32_t>(EPOLLIN | EPOLLOUT | EPOLLRDHUP))
            Apply(e, false);
    }

    SelectEntry* Find(int fd)
    {
        auto it = m_selects.find(fd);
        return it == m_selects.end() ? nullptr : &it->second;
    }

    int Select(int fd, HWND hwnd, UINT msg, long events)
    {
        if (events == 0) {
            Forget(fd);
            return 0;
        }
        int type = 0;
        socklen_t len = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
            WSASetLastError(WinsockErrorFromErrno(errno));
            return SOCKET_ERROR;
        }
        auto [it, fresh] = m_selects.try_emplace(fd);
        SelectEntry& e = it->second;
        if (!fresh && (e.hwnd != hwnd || e.msg != msg)) {
            Forget(fd);
            return Select(fd, hwnd, msg, events);
        }
        e.mask = events;
        if (fresh) {
            e.fd = fd;
            e.hwnd = hwnd;
            e.msg = msg;
            e.datagram = type != SOCK_STREAM;
            int acc = 0;
            len = sizeof acc;
            e.listening = !e.datagram && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acc, &len) == 0 && acc;
            if (!e.datagram && !e.listening) {
                sockaddr_storage ss{};
                socklen_t sl = sizeof ss;
                e.connected = ::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0;
            }
            e.writeArmed = e.datagram || e.connected;
        }
        Apply(e, false);
        return 0;
    }

    void Forget(int fd)
    {
        auto it = m_selects.find(fd);
        if (it == m_selects.end())
            return;
        SelectEntry& e = it->second;
        if (e.inEpoll)
            ::epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
        HWND h = e.hwnd;
        UINT msg = e.msg;
        m_selects.erase(it);
        WPARAM w = static_cast<WPARAM>(static_cast<unsigned>(fd));
        Purge([&](const MSG& m) { return m.hwnd == h && m.message == msg && m.wParam == w; });
    }

    int Descriptor() const { return m_epfd; }

    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    bool quitSeen = false;

private:
    int m_epfd = -1;
    int m_evfd = -1;
    int m_tfd = -1;
    bool m_timerRead = false;
    std::vector<Timer> m_timers;
    std::mutex m_qmutex;
    std::deque<MSG> m_queue;
    bool m_signaled = false;
    std::unordered_map<int, SelectEntry> m_selects;
};

// Handle -> owning loop, for posting from any thread. Deliberately never
// destroyed: worker threads may still post while the process exits.
struct Registry {
    std::mutex mutex;
    std::unordered_map<HWND, Loop*> owners;
    HWND next = 0;
};
Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

Loop::~Loop()
{
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        for (auto& [h, w] : windows)
            registry().owners.erase(h);
    }
    ::close(m_tfd);
    ::close(m_evfd);
    ::close(m_epfd);
}

Loop& loop()
{
    thread_local std::unique_ptr<Loop> l = std::make_unique<Loop>();
    return *l;
}

class HeadlessPump final : public IApplicationPump {
public:
    void ProcessMessages() override { platform::ProcessMessages(); }
    void WaitMessage(int timeoutMs) override { platform::WaitMessage(timeoutMs); }
    bool Terminated() override { return QuitSeen(); }
};

HeadlessPump g_headless;
std::atomic<IApplicationPump*> g_pump{nullptr};

} // namespace

HWND AllocateHWnd(WindowProc proc)
{
    Loop& l = loop();
    auto w = std::make_shared<Window>();
    w->proc = std::move(proc);
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        Registry& r = registry();
        do {
            ++r.next;
        } while (r.next == 0 || r.owners.count(r.next));
        w->handle = r.next;
        r.owners[w->handle] = &l;
    }
    l.windows[w->handle] = w;
    return w->handle;
}

void DeallocateHWnd(HWND hwnd)
{
    if (hwnd == 0)
        return;
    Loop& l = loop();
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        auto it = registry().owners.find(hwnd);
        if (it == registry().owners.end() || it->second != &l)
            return;
        registry().owners.erase(it);
    }
    l.windows.erase(hwnd);
    l.KillTimer(hwnd, ~std::uintptr_t(0));
    l.Purge([hwnd](const MSG& m) { return m.hwnd == hwnd; });
}

bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t ms)
{
    Loop& l = loop();
    if (!l.windows.count(hwnd))
        return false;
    l.SetTimer(hwnd, id, ms);
    return true;
}

void KillTimer(HWND hwnd, std::uintptr_t id)
{
    loop().KillTimer(hwnd, id);
}

bool IsWindow(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().owners.count(hwnd) != 0;
}

int HiddenWindowCount()
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    return static_cast<int>(registry().owners.size());
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().owners.find(hwnd);
    if (it == registry().owners.end())
        return false;
    it->second->Push(MSG{hwnd, msg, wParam, lParam});
    return true;
}

void PostQuitMessage(int exitCode)
{
    loop().Push(MSG{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0});
}

bool PeekMessage(MSG& msg, bool remove)
{
    Loop& l = loop();
    if (!l.HasMessages())
        l.Gather(0);
    return l.Pop(msg, remove);
}

void DispatchMessage(const MSG& msg)
{
    if (msg.message == WM_QUIT || msg.hwnd == 0)
        return;
    Loop& l = loop();
    auto it = l.windows.find(msg.hwnd);
    if (it == l.windows.end())
        return;
    std::shared_ptr<Window> keep = it->second;  // survives DeallocateHWnd inside the proc
    if (keep->proc)
        keep->proc(msg.message, msg.wParam, msg.lParam);
}

bool WaitMessage(int timeoutMs)
{
    Loop& l = loop();
    if (l.HasMessages())
        return true;
    l.Gather(0);
    if (l.HasMessages() || timeoutMs == 0)
        return l.HasMessages();
    // Each wake-up may bring only readiness that turns into nothing (a
    // disarmed socket), so keep waiting for the rest of the time.
    std::uint32_t start = GetTickCount();
    for (;;) {
        int left = -1;
        if (timeoutMs > 0) {
            std::uint32_t spent = GetTickCount() - start;
            if (spent >= static_cast<std::uint32_t>(timeoutMs))
                return false;
            left = timeoutMs - static_cast<int>(spent);
        }
        l.Gather(left);
        if (l.HasMessages())
            return true;
    }
}

int ProcessMessages()
{
    Loop& l = loop();
    int count = 0;
    const std::uint32_t start = GetTickCount();
    MSG m;
    for (;;) {
        // Look at the sockets every so often, not only when the queue runs dry,
        // so a stream of posted messages cannot starve them.
        if ((count & 15) == 0 || !l.HasMessages())
            l.Gather(0);
        if (!l.Pop(m, true))
            break;
        if (m.message == WM_QUIT) {
            l.quitSeen = true;
            break;
        }
        DispatchMessage(m);
        ++count;
        if (GetTickCount() - start >= kDispatchSliceMs)
            break;
    }
    return count;
}

bool QuitSeen() { return loop().quitSeen; }
void ClearQuitSeen() { loop().quitSeen = false; }

int LoopDescriptor() { return loop().Descriptor(); }

std::uint32_t GetTickCount()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void Sleep(std::uint32_t ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

IApplicationPump& ApplicationPump()
{
    IApplicationPump* p = g_pump.load();
    return p ? *p : static_cast<IApplicationPump&>(g_headless);
}

void SetApplicationPump(IApplicationPump* pump) { g_pump.store(pump); }

namespace detail {

void SocketRead(int fd)
{
    Loop& l = loop();
    if (SelectEntry* e = l.Find(fd); e && !e->readArmed) {
        e->readArmed = true;
        l.Apply(*e, true);
    }
}

void SocketSendBlocked(int fd)
{
    Loop& l = loop();
    if (SelectEntry* e = l.Find(fd); e && !e->writeArmed) {
        e->writeArmed = true;
        l.Apply(*e, true);
    }
}

void SocketAccepted(int fd)
{
    Loop& l = loop();
    if (SelectEntry* e = l.Find(fd); e && !e->acceptArmed) {
        e->acceptArmed = true;
        l.Apply(*e, true);
    }
}

bool SocketConnectStarted(int fd, int immediateError)
{
    Loop& l = loop();
    SelectEntry* e = l.Find(fd);
    if (!e)
        return false;
    e->connected = false;
    e->writeArmed = false;
    e->closeSent = false;
    e->eofDrained = false;
    if (immediateError != 0) {
        if (e->mask & FD_CONNECT)
            l.Notify(*e, FD_CONNECT, WinsockErrorFromErrno(immediateError));
        e->connectPending = false;
        e->parked = true;
    } else {
        e->connectPending = true;
        e->parked = false;
    }
    l.Apply(*e, false);
    return true;
}

void SocketListening(int fd)
{
    Loop& l = loop();
    if (SelectEntry* e = l.Find(fd)) {
        e->listening = true;
        e->datagram = false;
        l.Apply(*e, false);
    }
}

void SocketClosing(int fd) { loop().Forget(fd); }

bool SocketSuspend(int fd, bool suspend)
{
    Loop& l = loop();
    SelectEntry* e = l.Find(fd);
    if (!e)
        return false;
    l.Suspend(*e, suspend);
    return true;
}

int SocketSelect(int fd, unsigned hwnd, unsigned msg, long events)
{
    return loop().Select(fd, hwnd, msg, events);
}

} // namespace detail
} // namespace platform
