// The process-wide binding (not public): every platform call of the socket
// layer goes through here, so the first one binds and the count of living
// socket objects decides when the binding is released.
#pragma once

#include "platform/Sockets.hpp"

namespace net::detail {

void EnsureBound();
void ObjectCreated();
void ObjectDestroyed();
bool Bound();
std::uint8_t& RequestedLow();
std::uint8_t& RequestedHigh();

} // namespace net::detail

namespace net::wsk {

#define TALLOWIN_WSK(ret, name, params, args) \
    inline ret name params                     \
    {                                          \
        ::net::detail::EnsureBound();          \
        return ::platform::name args;          \
    }

using platform::SOCKET;
TALLOWIN_WSK(SOCKET, socket, (int af, int type, int proto), (af, type, proto))
TALLOWIN_WSK(int, closesocket, (SOCKET s), (s))
TALLOWIN_WSK(int, connect, (SOCKET s, const sockaddr* a, socklen_t l), (s, a, l))
TALLOWIN_WSK(int, bind, (SOCKET s, const sockaddr* a, socklen_t l), (s, a, l))
TALLOWIN_WSK(int, listen, (SOCKET s, int b), (s, b))
TALLOWIN_WSK(SOCKET, accept, (SOCKET s, sockaddr* a, socklen_t* l), (s, a, l))
TALLOWIN_WSK(int, send, (SOCKET s, const void* b, int l, int f), (s, b, l, f))
TALLOWIN_WSK(int, sendto, (SOCKET s, const void* b, int l, int f, const sockaddr* t, socklen_t tl), (s, b, l, f, t, tl))
TALLOWIN_WSK(int, recv, (SOCKET s, void* b, int l, int f), (s, b, l, f))
TALLOWIN_WSK(int, recvfrom, (SOCKET s, void* b, int l, int f, sockaddr* a, socklen_t* al), (s, b, l, f, a, al))
TALLOWIN_WSK(int, shutdown, (SOCKET s, int h), (s, h))
TALLOWIN_WSK(int, setsockopt, (SOCKET s, int lv, int n, const void* v, socklen_t l), (s, lv, n, v, l))
TALLOWIN_WSK(int, getsockopt, (SOCKET s, int lv, int n, void* v, socklen_t* l), (s, lv, n, v, l))
TALLOWIN_WSK(int, getsockname, (SOCKET s, sockaddr* a, socklen_t* l), (s, a, l))
TALLOWIN_WSK(int, getpeername, (SOCKET s, sockaddr* a, socklen_t* l), (s, a, l))
TALLOWIN_WSK(int, ioctlsocket_fionread, (SOCKET s, unsigned long* c), (s, c))
TALLOWIN_WSK(int, SuspendSocketNotifications, (SOCKET s, bool on), (s, on))
TALLOWIN_WSK(int, WSAAsyncSelect, (SOCKET s, platform::HWND h, platform::UINT m, long e), (s, h, m, e))
TALLOWIN_WSK(platform::HANDLE, WSAAsyncGetHostByName, (platform::HWND h, platform::UINT m, const std::string& n), (h, m, n))
TALLOWIN_WSK(platform::HANDLE, WSAAsyncGetHostByAddr, (platform::HWND h, platform::UINT m, std::uint32_t a), (h, m, a))
TALLOWIN_WSK(int, WSACancelAsyncRequest, (platform::HANDLE h), (h))

#undef TALLOWIN_WSK

} // namespace net::wsk
