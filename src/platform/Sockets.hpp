// Non-blocking sockets with asynchronous-select notifications and
// asynchronous name look-ups, with Windows socket error numbers.
//
// Notification rules (per socket registered with WSAAsyncSelect):
//  - FD_READ once; another only after the next recv/recvfrom, if data remains;
//  - FD_WRITE once after the connect completes (or at registration of a
//    connected or datagram socket), then only after a send found the buffer full;
//  - FD_ACCEPT once; another only after the next accept;
//  - FD_CONNECT once, with the error of a failed connect;
//  - FD_CLOSE once; the data still buffered stays readable after it.
// The message carries the socket in wParam and event | (error << 16) in lParam.
// All calls below belong to the thread that registered the socket.
#pragma once

#include "platform/EventLoop.hpp"

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace platform {

using SOCKET = std::uint32_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;

constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

// Windows socket error numbers used by this code.
enum : int {
    WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014,
    WSAEINVAL = 10022, WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036, WSAEALREADY = 10037, WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043, WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046, WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048, WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051, WSAENETRESET = 10052, WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
    WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060, WSAECONNREFUSED = 10061, WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064, WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066, WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001, WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// The calling thread's last socket error (a Windows number).
int WSAGetLastError();
void WSASetLastError(int code);
// errno and getaddrinfo codes in Windows numbers.
int WinsockErrorFromErrno(int err);
int WinsockErrorFromResolver(int gaiErr);

// Every socket is created non-blocking and close-on-exec.
SOCKET socket(int af, int type, int protocol);
// Unregisters notifications (dropping queued ones) and closes.
int closesocket(SOCKET s);
// Non-blocking: in progress gives SOCKET_ERROR with WSAEWOULDBLOCK, and the
// outcome arrives as FD_CONNECT (also for a refusal the system reports at once).
int connect(SOCKET s, const sockaddr* addr, socklen_t len);
int bind(SOCKET s, const sockaddr* addr, socklen_t len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len);
// Sends never raise SIGPIPE; a full buffer re-arms FD_WRITE.
int send(SOCKET s, const void* buf, int len, int flags);
int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen);
int recv(SOCKET s, void* buf, int len, int flags);
int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int name, const void* val, socklen_t len);
int getsockopt(SOCKET s, int level, int name, void* val, socklen_t* len);
int getsockname(SOCKET s, sockaddr* addr, socklen_t* len);
int getpeername(SOCKET s, sockaddr* addr, socklen_t* len);
// FIONREAD only: bytes readable now.
int ioctlsocket_fionread(SOCKET s, unsigned long* count);

// Registers (events != 0) or removes (events == 0) notifications for s,
// delivered to hwnd as message msg. Re-registering keeps the arming state.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

// Holds (suspend = true) or releases the notifications of a registered
// socket. While held the socket is not polled, and notifications already
// queued or still due wait; the release queues them in their order, so a
// pending connect or read is neither lost nor repeated. SOCKET_ERROR with
// WSAEINVAL when s is not registered.
int SuspendSocketNotifications(SOCKET s, bool suspend);

// Asynchronous look-ups on worker threads. The completion is posted to hwnd
// as msg with wParam = handle and lParam = error << 16; the result is then
// taken with TakeHostEntry. A cancelled look-up posts nothing. 0 = failure.
using HANDLE = std::uint32_t;
struct HostEntry {
    std::string name;                  // official (canonical) name
    std::vector<std::uint32_t> addrs;  // IPv4 addresses, network order
    // IPv6 address texts, filled only when the name has no IPv4 address
    // (a name with both keeps resolving to its IPv4 address).
    std::vector<std::string> addrs6;
};
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const std::string& name);
HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, std::uint32_t addrNetOrder);
// 0 when the look-up was known: it posts nothing from now on (a completion
// already queued still arrives and must be ignored by handle). SOCKET_ERROR
// with WSAEINVAL for an unknown handle.
int WSACancelAsyncRequest(HANDLE h);
bool TakeHostEntry(HANDLE h, HostEntry& out);
// Look-ups started and not yet completed or cancelled (for tests).
int PendingLookups();
// Test hook: a name look-up whose name starts with prefix waits delayMs on its
// worker, then resolves the name without the prefix (a slow resolver, with
// no query leaving the machine for "slow:localhost"). Empty prefix: off.
void SetLookupDelayForTests(const std::string& prefix, int delayMs);

} // namespace platform
