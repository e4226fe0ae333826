// IPv6 addressing of the socket layer. IPv4 stays the first choice
// everywhere: IPv6 is used for a literal IPv6 address or for a name that
// has IPv6 addresses only.
#include "net/WSocket.hpp"

#include "net/Binding.hpp"
#include "platform/Sockets.hpp"
#include "platform/Text.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace net {

namespace {

std::string stripBrackets(const std::string& text)
{
    std::string t = platform::Trim(text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    return t;
}

bool firstAddr6(const std::string& name, int flags, sockaddr_in6& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0)
        return false;
    bool found = false;
    for (addrinfo* a = res; a && !found; a = a->ai_next) {
        if (a->ai_family == AF_INET6 && a->ai_addr && a->ai_addrlen <= sizeof out) {
            std::memcpy(&out, a->ai_addr, a->ai_addrlen);
            out.sin6_port = 0;
            found = true;
        }
    }
    ::freeaddrinfo(res);
    return found;
}

} // namespace

bool WSocketParseIPv6(const std::string& text, sockaddr_in6& out)
{
    std::string t = stripBrackets(text);
    // An IPv6 text always has a colon; that keeps every IPv4 text out.
    if (t.empty() || t.size() > 256 || t.find(':') == std::string::npos)
        return false;
    sockaddr_in6 a{};
    if (!firstAddr6(t, AI_NUMERICHOST, a))
        return false;
    out = a;
    return true;
}

bool WSocketResolveHost6(const std::string& host, sockaddr_in6& out)
{
    if (WSocketParseIPv6(host, out))
        return true;
    std::string t = platform::Trim(host);
    if (t.empty() || t.size() > 256 || t.find_first_not_of("0123456789.") == std::string::npos)
        return false;
    sockaddr_in6 a{};
    if (!firstAddr6(t, 0, a))
        return false;
    out = a;
    return true;
}

std::string WSocketAddrText(const sockaddr* addr)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (addr->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
    else if (addr->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof text);
    return text;
}

void TCustomWSocket::ResolveDestinationAddr()
{
    sockaddr_in6 a6{};
    m_ipv6 = false;
    if (WSocketParseIPv6(m_addrStr, a6)) {
        m_ipv6 = true;
    } else {
        try {
            m_sin.sin_addr.s_addr = WSocketResolveHost(m_addrStr);
        } catch (const ESocketException&) {
            // Only a name without any IPv4 address gets here.
            if (!WSocketResolveHost6(m_addrStr, a6))
                throw;
            m_ipv6 = true;
        }
    }
    if (m_ipv6) {
        a6.sin6_port = m_sin.sin_port;
        m_sin6 = a6;
    }
}

int TCustomWSocket::SocketFamily()
{
    if (m_hSocket == INVALID_SOCKET)
        return 0;
    sockaddr_storage sa{};
    int len = sizeof sa;
    if (GetLocalSockAddr6(sa, len) != 0)
        return 0;
    return sa.ss_family;
}

int TCustomWSocket::GetLocalSockAddr6(sockaddr_storage& Addr, int& AddrLen)
{
    socklen_t len = static_cast<socklen_t>(AddrLen);
    int r = wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&Addr), &len);
    AddrLen = static_cast<int>(len);
    return r;
}

int TCustomWSocket::GetPeerSockAddr6(sockaddr_storage& Addr, int& AddrLen)
{
    if (m_state != wsConnected)
        return -1;
    socklen_t len = static_cast<socklen_t>(AddrLen);
    int r = wsk::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&Addr), &len);
    AddrLen = static_cast<int>(len);
    return r;
}

void TCustomWSocket::BindLocal6()
{
    sockaddr_in6 la{};
    la.sin6_family = AF_INET6;
    la.sin6_addr = in6addr_any;
    if (platform::Trim(m_localAddr) != "0.0.0.0" && !WSocketResolveHost6(m_localAddr, la)) {
        ReportError("winsock.bind failed: local address '" + m_localAddr + "' is not an IPv6 address");
        return;
    }
    la.sin6_port = htons(m_localPortNum);
    if (wsk::bind(m_hSocket, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", platform::WSAGetLastError());
        return;
    }
    socklen_t len = sizeof la;
    if (wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&la), &len) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", platform::WSAGetLastError());
        return;
    }
    m_localPortNum = ntohs(la.sin6_port);
    m_localPortStr = std::to_string(m_localPortNum);
}

} // namespace net
