#include "platform/Sockets.hpp"

#include "platform/LoopInternal.hpp"

#include <netdb.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace platform {
namespace {

thread_local int t_lastError = 0;

int fail()
{
    t_lastError = WinsockErrorFromErrno(errno);
    return SOCKET_ERROR;
}

int fdOf(SOCKET s) { return static_cast<int>(s); }

bool validFd(SOCKET s)
{
    if (s == INVALID_SOCKET || s > 0x7FFFFFFFu) {
        t_lastError = WSAENOTSOCK;
        return false;
    }
    return true;
}

} // namespace

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int code) { t_lastError = code; }

int WinsockErrorFromErrno(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
#endif
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    default: return WSAEINVAL;
    }
}

int WinsockErrorFromResolver(int gaiErr)
{
    switch (gaiErr) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_SYSTEM: return WinsockErrorFromErrno(errno);
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
    }
}

SOCKET socket(int af, int type, int protocol)
{
    int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        fail();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

namespace {

// A linger time makes close() wait until the peer has taken the unsent
// bytes or the time is up.
bool closeWouldLinger(int fd)
{
    linger li{};
    socklen_t len = sizeof li;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &li, &len) != 0 || !li.l_onoff || li.l_linger <= 0)
        return false;
    int unsent = 0;
    return ::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0;
}

} // namespace

int closesocket(SOCKET s)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    detail::SocketClosing(fdOf(s));
    // That wait belongs on a worker, never on the caller's loop. The
    // descriptor stays taken until the worker closes it, so its number
    // cannot be reused meanwhile; the peer sees what a blocking close gives.
    if (closeWouldLinger(fdOf(s))) {
        try {
            std::thread([fd = fdOf(s)] { ::close(fd); }).detach();
            return 0;
        } catch (const std::system_error&) {
        }
    }
    if (::close(fdOf(s)) != 0 && errno != EINTR)
        return fail();
    return 0;
}

int connect(SOCKET s, const sockaddr* addr, socklen_t len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    int r = ::connect(fdOf(s), addr, len);
    int err = r == 0 ? 0 : errno;
    if (r == 0 || err == EINPROGRESS || err == EINTR) {
        if (detail::SocketConnectStarted(fdOf(s), 0) || r != 0) {
            t_lastError = WSAEWOULDBLOCK;
            return SOCKET_ERROR;
        }
        return 0;
    }
    // Refusals the system knows at once still arrive as FD_CONNECT, as they
    // would for any other non-blocking connect.
    if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT) {
        if (detail::SocketConnectStarted(fdOf(s), err)) {
            t_lastError = WSAEWOULDBLOCK;
            return SOCKET_ERROR;
        }
    }
    errno = err;
    return fail();
}

int bind(SOCKET s, const sockaddr* addr, socklen_t len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    return ::bind(fdOf(s), addr, len) == 0 ? 0 : fail();
}

int listen(SOCKET s, int backlog)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    if (::listen(fdOf(s), backlog) != 0)
        return fail();
    detail::SocketListening(fdOf(s));
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len)
{
    if (!validFd(s))
        return INVALID_SOCKET;
    int fd = ::accept4(fdOf(s), addr, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    detail::SocketAccepted(fdOf(s));
    if (fd < 0) {
        errno = err;
        fail();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    if (len < 0) {
        t_lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    ssize_t n = ::sendto(fdOf(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, tolen);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            detail::SocketSendBlocked(fdOf(s));
        errno = err;
        return fail();
    }
    return static_cast<int>(n);
}

int send(SOCKET s, const void* buf, int len, int flags)
{
    int n = sendto(s, buf, len, flags, nullptr, 0);
    // A short send means the buffer is full: wake the sender when it drains.
    if (n != SOCKET_ERROR && n < len)
        detail::SocketSendBlocked(fdOf(s));
    return n;
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    if (len < 0) {
        t_lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    ssize_t n = ::recvfrom(fdOf(s), buf, static_cast<size_t>(len), flags, from, fromlen);
    int err = errno;
    detail::SocketRead(fdOf(s));
    if (n < 0) {
        errno = err;
        return fail();
    }
    return static_cast<int>(n);
}

// A connected socket's recv is recvfrom without the source address.
int recv(SOCKET s, void* buf, int len, int flags) { return recvfrom(s, buf, len, flags, nullptr, nullptr); }

int shutdown(SOCKET s, int how)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(fdOf(s), h) == 0 ? 0 : fail();
}

int setsockopt(SOCKET s, int level, int name, const void* val, socklen_t len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    return ::setsockopt(fdOf(s), level, name, val, len) == 0 ? 0 : fail();
}

int getsockopt(SOCKET s, int level, int name, void* val, socklen_t* len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    return ::getsockopt(fdOf(s), level, name, val, len) == 0 ? 0 : fail();
}

int getsockname(SOCKET s, sockaddr* addr, socklen_t* len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    return ::getsockname(fdOf(s), addr, len) == 0 ? 0 : fail();
}

int getpeername(SOCKET s, sockaddr* addr, socklen_t* len)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    return ::getpeername(fdOf(s), addr, len) == 0 ? 0 : fail();
}

int ioctlsocket_fionread(SOCKET s, unsigned long* count)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    int n = 0;
    if (::ioctl(fdOf(s), FIONREAD, &n) != 0)
        return fail();
    *count = n < 0 ? 0 : static_cast<unsigned long>(n);
    return 0;
}

int SuspendSocketNotifications(SOCKET s, bool suspend)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    if (!detail::SocketSuspend(fdOf(s), suspend)) {
        t_lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events)
{
    if (!validFd(s))
        return SOCKET_ERROR;
    if (events != 0 && !IsWindow(hwnd)) {
        t_lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    return detail::SocketSelect(fdOf(s), hwnd, msg, events);
}

} // namespace platform
