// Name and address look-ups, each on its own worker thread so a slow one
// never holds up the loop or another look-up.
#include "platform/Sockets.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {
namespace {

struct Request {
    HWND hwnd = 0;
    UINT msg = 0;
    bool done = false;       // worker finished and posted
    HostEntry result;
};

// Never destroyed: detached workers may finish while the process exits.
struct Lookups {
    std::mutex mutex;
    std::unordered_map<HANDLE, Request> requests;
    HANDLE next = 0;
    std::string delayPrefix;
    int delayMs = 0;
};
Lookups& lookups()
{
    static Lookups* l = new Lookups;
    return *l;
}

void finish(HANDLE h, int error, HostEntry entry)
{
    Lookups& l = lookups();
    std::lock_guard<std::mutex> lock(l.mutex);
    auto it = l.requests.find(h);
    if (it == l.requests.end())
        return;  // cancelled
    it->second.done = true;
    it->second.result = std::move(entry);
    LPARAM lp = static_cast<LPARAM>(static_cast<std::uint32_t>(error & 0xFFFF) << 16);
    if (!PostMessage(it->second.hwnd, it->second.msg, h, lp))
        l.requests.erase(it);  // the window is gone: nobody will take it
}

// The test hook: a name with the prefix waits, then the rest is resolved.
std::string maybeDelay(const std::string& name)
{
    int ms = 0;
    std::string rest = name;
    {
        Lookups& l = lookups();
        std::lock_guard<std::mutex> lock(l.mutex);
        if (!l.delayPrefix.empty() && name.rfind(l.delayPrefix, 0) == 0) {
            ms = l.delayMs;
            rest = name.substr(l.delayPrefix.size());
        }
    }
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return rest;
}

// Asked only when the name has no IPv4 address, so a name with both keeps
// the address it always had and the query for it stays the same.
bool byName6(const std::string& name, HostEntry& entry)
{
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0)
        return false;
    for (addrinfo* a = res; a; a = a->ai_next) {
        if (a->ai_family != AF_INET6 || !a->ai_addr)
            continue;
        if (entry.name.empty() && a->ai_canonname)
            entry.name = a->ai_canonname;
        char text[NI_MAXHOST] = {};
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        bool seen = false;
        for (const auto& x : entry.addrs6)
            seen = seen || x == text;
        if (!seen)
            entry.addrs6.emplace_back(text);
    }
    ::freeaddrinfo(res);
    return !entry.addrs6.empty();
}

void byName(HANDLE h, std::string name)
{
    name = maybeDelay(name);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    HostEntry entry;
    int error = 0;
    if (rc != 0) {
        error = WinsockErrorFromResolver(rc);
    } else {
        for (addrinfo* a = res; a; a = a->ai_next) {
            if (a->ai_family != AF_INET || !a->ai_addr)
                continue;
            if (entry.name.empty() && a->ai_canonname)
                entry.name = a->ai_canonname;
            std::uint32_t addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            bool seen = false;
            for (auto x : entry.addrs)
                seen = seen || x == addr;
            if (!seen)
                entry.addrs.push_back(addr);
        }
        ::freeaddrinfo(res);
        if (entry.addrs.empty())
            error = WSANO_DATA;
    }
    if (error != 0 && error != WSATRY_AGAIN && byName6(name, entry))
        error = 0;
    finish(h, error, std::move(entry));
}

void byAddr(HANDLE h, std::uint32_t addr)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr ia{};
    ia.s_addr = addr;
    ::inet_ntop(AF_INET, &ia, text, sizeof text);
    maybeDelay(text);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST] = {};
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    HostEntry entry;
    int error = 0;
    if (rc != 0) {
        error = WinsockErrorFromResolver(rc);
    } else {
        entry.name = host;
        entry.addrs.push_back(addr);
    }
    finish(h, error, std::move(entry));
}

template <class Fn> HANDLE start(HWND hwnd, UINT msg, Fn&& work)
{
    if (!IsWindow(hwnd)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    Lookups& l = lookups();
    HANDLE h;
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        do {
            ++l.next;
        } while (l.next == 0 || l.requests.count(l.next));
        h = l.next;
        l.requests[h] = Request{hwnd, msg, false, {}};
    }
    try {
        std::thread(std::forward<Fn>(work), h).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(l.mutex);
        l.requests.erase(h);
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
    return h;
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const std::string& name)
{
    return start(hwnd, msg, [name](HANDLE h) { byName(h, name); });
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, std::uint32_t addrNetOrder)
{
    return start(hwnd, msg, [addrNetOrder](HANDLE h) { byAddr(h, addrNetOrder); });
}

int WSACancelAsyncRequest(HANDLE h)
{
    Lookups& l = lookups();
    std::lock_guard<std::mutex> lock(l.mutex);
    auto it = l.requests.find(h);
    if (it == l.requests.end()) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    // A completion already queued then carries a handle its owner no longer
    // expects, and is ignored there.
    l.requests.erase(it);
    return 0;
}

bool TakeHostEntry(HANDLE h, HostEntry& out)
{
    Lookups& l = lookups();
    std::lock_guard<std::mutex> lock(l.mutex);
    auto it = l.requests.find(h);
    if (it == l.requests.end() || !it->second.done)
        return false;
    out = std::move(it->second.result);
    l.requests.erase(it);
    return true;
}

int PendingLookups()
{
    Lookups& l = lookups();
    std::lock_guard<std::mutex> lock(l.mutex);
    int n = 0;
    for (auto& [h, r] : l.requests)
        n += r.done ? 0 : 1;
    return n;
}

void SetLookupDelayForTests(const std::string& prefix, int delayMs)
{
    Lookups& l = lookups();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.delayPrefix = prefix;
    l.delayMs = delayMs;
}

} // namespace platform
