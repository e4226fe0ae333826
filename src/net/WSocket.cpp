#include "net/WSocket.hpp"

#include "net/Binding.hpp"
#include "platform/Sockets.hpp"
#include "platform/Text.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace net {

using platform::WSAGetLastError;
using platform::WSASetLastError;

// ---------------------------------------------------------------------------
// The binding and its living-object count.
namespace detail {
namespace {
std::mutex g_bindMutex;
std::atomic<bool> g_bound{false};
int g_bindCount = 0;
int g_living = 0;
std::uint8_t g_reqLow = 1;
std::uint8_t g_reqHigh = 1;
} // namespace

void EnsureBound()
{
    if (g_bound.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(g_bindMutex);
    if (!g_bound.load(std::memory_order_relaxed)) {
        ++g_bindCount;
        g_bound.store(true, std::memory_order_release);
    }
}

void ObjectCreated()
{
    std::lock_guard<std::mutex> lock(g_bindMutex);
    ++g_living;
}

void ObjectDestroyed()
{
    std::lock_guard<std::mutex> lock(g_bindMutex);
    if (--g_living < 1) {
        g_living = 0;
        g_bound.store(false, std::memory_order_release);
    }
}

bool Bound() { return g_bound.load(std::memory_order_acquire); }
std::uint8_t& RequestedLow() { return g_reqLow; }
std::uint8_t& RequestedHigh() { return g_reqHigh; }

} // namespace detail

bool WSocketIsBound() { return detail::Bound(); }
int WSocketBindCount()
{
    std::lock_guard<std::mutex> lock(detail::g_bindMutex);
    return detail::g_bindCount;
}
int WSocketLivingObjects()
{
    std::lock_guard<std::mutex> lock(detail::g_bindMutex);
    return detail::g_living;
}

// ---------------------------------------------------------------------------
// Error texts and resolvers.
namespace {

std::string format(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

using platform::Trim;
using platform::Lower;

// Parses a dotted address by the resolver's rules; false when it is not one.
bool parseDotted(const std::string& text, std::uint32_t& netOrder)
{
    std::size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    std::uint32_t parts[4];
    for (int g = 0; g < 4; ++g) {
        if (g > 0) {
            if (i >= n || text[i] != '.')
                return false;
            ++i;
        }
        if (i >= n || !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        std::uint32_t v = 0;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
            v = v * 10 + static_cast<std::uint32_t>(text[i] - '0');
            if (v > 255)
                return false;
            ++i;
        }
        parts[g] = v;
    }
    while (i < n && text[i] == ' ')
        ++i;
    if (i != n)
        return false;
    std::uint32_t host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
    netOrder = htonl(host);
    return true;
}

std::string dottedText(std::uint32_t netOrder)
{
    in_addr a{};
    a.s_addr = netOrder;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::uint16_t portOf(const sockaddr_storage& sa)
{
    if (sa.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&sa)->sin_port);
}

bool onlyDigitsAndDots(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c != '.' && !std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

std::string SocketErrorText(int code)
{
    switch (code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
    }
}

bool WSocketIsDottedIP(const std::string& text)
{
    std::uint32_t a;
    return parseDotted(text, a);
}

std::uint32_t WSocketResolveHost(const std::string& host)
{
    detail::EnsureBound();
    if (host.empty() || host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    std::uint32_t addr;
    if (parseDotted(host, addr)) {
        if (addr == 0xFFFFFFFFu && host != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return addr;
    }
    std::string name = Trim(host);
    int err = platform::WSAHOST_NOT_FOUND;
    // A text of digits and dots that is no dotted address names no host.
    if (!name.empty() && !onlyDigitsAndDots(name)) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
        if (rc == 0) {
            for (addrinfo* a = res; a; a = a->ai_next) {
                if (a->ai_family == AF_INET && a->ai_addr) {
                    std::uint32_t v = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
                    ::freeaddrinfo(res);
                    return v;
                }
            }
            ::freeaddrinfo(res);
            err = platform::WSANO_DATA;
        } else {
            err = platform::WinsockErrorFromResolver(rc);
        }
    }
    WSASetLastError(err);
    throw ESocketException(format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", host.c_str(), err));
}

std::uint32_t WSocketResolvePort(const std::string& port, const std::string& proto)
{
    detail::EnsureBound();
    if (port.empty() || port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (std::isdigit(static_cast<unsigned char>(port[0]))) {
        std::uint32_t v = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                break;
            v = v * 10 + static_cast<std::uint32_t>(c - '0');
        }
        return v;
    }
    std::string p = Trim(port), pr = Trim(proto);
    servent se{};
    servent* res = nullptr;
    char buf[4096];
    if (::getservbyname_r(p.c_str(), pr.c_str(), &se, buf, sizeof buf, &res) == 0 && res)
        return ntohs(static_cast<std::uint16_t>(res->s_port));
    WSASetLastError(platform::WSANO_DATA);
    throw ESocketException(format("WSocketResolvePort: Cannot convert port '%s', Error #%d", port.c_str(), platform::WSANO_DATA));
}

int WSocketResolveProto(const std::string& proto)
{
    detail::EnsureBound();
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    if (std::isdigit(static_cast<unsigned char>(proto[0]))) {
        int v = 0;
        for (char c : proto) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                break;
            v = v * 10 + (c - '0');
            if (v > 0xFFFF)
                v = 0xFFFF;
        }
        return v;
    }
    std::string p = Lower(Trim(proto));
    if (p == "tcp")
        return IPPROTO_TCP;
    if (p == "udp")
        return IPPROTO_UDP;
    if (p == "raw")
        return IPPROTO_RAW;
    protoent pe{};
    protoent* res = nullptr;
    char buf[4096];
    if (::getprotobyname_r(p.c_str(), &pe, buf, sizeof buf, &res) == 0 && res)
        return res->p_proto;
    WSASetLastError(platform::WSANO_DATA);
    throw ESocketException(format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", proto.c_str(), platform::WSANO_DATA));
}

// ---------------------------------------------------------------------------
// TCustomWSocket

namespace {
bool isFatalSendError(int code)
{
    return code == 10022 || code == 10038 || code == 10053 || code == 10054 || code == 10057;
}
constexpr long kMaskConnect = 59;  // read, write, accept, connect, close
constexpr long kMaskListen = 43;   // read, write, accept, close
constexpr long kMaskDup = 51;      // read, write, connect, close
constexpr int kMaxQueueBlock = 1 << 20;
} // namespace

TCustomWSocket::TCustomWSocket(void* AOwner) : m_owner(AOwner)
{
    CreateHiddenWindow();
    m_bufSize = 1460;
    m_multiCastIpTTL = 1;
    m_listenBacklog = 5;
    ResetToDefaults();
    detail::ObjectCreated();
}

TCustomWSocket::~TCustomWSocket()
{
    *m_alive = false;
    m_destroying = true;
    CancelConnectLookup();
    try {
        CancelLookup();
    } catch (...) {
    }
    if (m_state != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (m_hSocket != INVALID_SOCKET) {
        platform::closesocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
    detail::ObjectDestroyed();
    DiscardSendQueue();
    DestroyHiddenWindow();
}

void TCustomWSocket::CreateHiddenWindow()
{
    m_window = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        HandleMessage(msg, w, l);
    });
    if (m_window == 0)
        ReportError("Cannot create a hidden window for TWSocket");
}

void TCustomWSocket::DestroyHiddenWindow()
{
    if (m_window) {
        platform::DeallocateHWnd(m_window);
        m_window = 0;
    }
}

void TCustomWSocket::ResetToDefaults()
{
    std::memset(&m_sin, 0, sizeof m_sin);
    m_sin.sin_family = AF_INET;
    std::memset(&m_sin6, 0, sizeof m_sin6);
    m_sin6.sin6_family = AF_INET6;
    m_ipv6 = false;
    m_addrAssigned = false;
    m_addrResolved = false;
    m_portAssigned = false;
    m_portResolved = false;
    m_protoAssigned = true;
    m_protoResolved = false;
    m_localPortResolved = false;
    m_protoStr = "tcp";
    m_proto = IPPROTO_TCP;
    m_type = SOCK_STREAM;
    m_localPortStr = "0";
    m_localAddr = "0.0.0.0";
    m_lingerOnOff = wsLingerOn;
    m_lingerTimeout = 0;
    m_hSocket = INVALID_SOCKET;
    m_tls.reset();
    m_selectMask = 0;
    m_state = wsClosed;
    m_allSent = true;
    m_paused = false;
    m_readCount = 0;
    m_closeNotified = false;
    m_flushTimeout = 60;
}

std::uint8_t TCustomWSocket::ReqVerLow() const { return detail::RequestedLow(); }
std::uint8_t TCustomWSocket::ReqVerHigh() const { return detail::RequestedHigh(); }

void TCustomWSocket::SetReqVerLow(std::uint8_t v)
{
    if (v == detail::RequestedLow())
        return;
    if (detail::Bound()) {
        RaiseSocketError("SetReqVerLow: WinSock version can't be changed now");
        return;
    }
    detail::RequestedLow() = v;
}

void TCustomWSocket::SetReqVerHigh(std::uint8_t v)
{
    if (v == detail::RequestedHigh())
        return;
    if (detail::Bound()) {
        RaiseSocketError("SetReqVerHigh: WinSock version can't be changed now");
        return;
    }
    detail::RequestedHigh() = v;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags v)
{
    if (v != wsSendNormal && v != wsSendUrgent) {
        ReportError("Invalid SendFlags");
        return;
    }
    m_sendFlags = v;
}

// -- addressing -------------------------------------------------------------

// Addr, Port and Proto change only while closed; a new value needs resolving again.
void TCustomWSocket::SetEndpointPart(const std::string& v, std::string& str, bool& assigned, bool& resolved,
                                     const char* whatError)
{
    std::string t = Trim(v);
    if (assigned && t == str)
        return;
    if (m_state != wsClosed) {
        ReportError(whatError);
        return;
    }
    str = t;
    assigned = !t.empty();
    resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& v)
{
    SetEndpointPart(v, m_addrStr, m_addrAssigned, m_addrResolved, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string& v)
{
    SetEndpointPart(v, m_portStr, m_portAssigned, m_portResolved, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& v)
{
    SetEndpointPart(v, m_protoStr, m_protoAssigned, m_protoResolved, "Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalAddr(const std::string& v)
{
    std::string value = v.empty() ? "0.0.0.0" : v;
    if (value == m_localAddr)
        return;
    if (m_state != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    m_localAddr = value;
}

void TCustomWSocket::SetLocalPort(const std::string& v)
{
    if (v == m_localPortStr)
        return;
    if (m_state != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    m_localPortStr = v;
    m_localPortResolved = false;
}

// -- reporting ----------------------------------------------------------------

void TCustomWSocket::ReportError(const std::string& Msg)
{
    if (OnError) {
        NotifyError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const char* Fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, Fmt);
    std::vsnprintf(buf, sizeof buf, Fmt, ap);
    va_end(ap);
    ReportError(buf);
}

void TCustomWSocket::RaiseSocketError(const std::string& FuncName)
{
    int code = WSAGetLastError();
    std::string text = "Error " + std::to_string(code) + " in function " + FuncName + "\r\n" + SocketErrorText(code);
    if (code == platform::WSAECONNRESET || code == platform::WSAENOTCONN) {
        if (m_hSocket != INVALID_SOCKET) {
            wsk::closesocket(m_hSocket);
            m_hSocket = INVALID_SOCKET;
        }
        if (m_state != wsClosed) {
            if (!m_closeNotified && !m_destroying) {
                auto alive = m_alive;
                m_closeNotified = true;
                NotifySessionClosed(static_cast<std::uint16_t>(code));
                if (!*alive)
                    return;
            }
            ChangeState(wsClosed);
        }
    }
    m_lastError = code;
    ReportError(text);
}

void TCustomWSocket::HandleEventException(const std::exception& E)
{
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

template <class Fn> void TCustomWSocket::Guarded(Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        HandleEventException(e);
    } catch (...) {
        HandleEventException(ESocketException("Unknown exception in an event handler"));
    }
}

// -- notifications --------------------------------------------------------------

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = m_state;
    m_state = NewState;
    if (old != NewState)
        NotifyChangeState(old, NewState);
}

// While the object is being destroyed no handler runs: its receivers may
// already be half gone.
void TCustomWSocket::NotifyChangeState(TSocketState OldState, TSocketState NewState)
{
    Fire(OnChangeState, OldState, NewState);
}

bool TCustomWSocket::NotifyDataAvailable(std::uint16_t Error)
{
    if (!OnDataAvailable || m_destroying)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::NotifySessionAvailable(std::uint16_t Error)
{
    Fire(OnSessionAvailable, Error);
}

void TCustomWSocket::NotifyConnectedStep(std::uint16_t Error) { NotifySessionConnected(Error); }

void TCustomWSocket::NotifySessionConnected(std::uint16_t Error)
{
    Fire(OnSessionConnected, Error);
}

void TCustomWSocket::NotifySessionClosed(std::uint16_t Error)
{
    Fire(OnSessionClosed, Error);
}

void TCustomWSocket::NotifyDataSent(std::uint16_t Error)
{
    Fire(OnDataSent, Error);
}

void TCustomWSocket::NotifyDnsLookupDone(std::uint16_t Error)
{
    Fire(OnDnsLookupDone, Error);
}

void TCustomWSocket::NotifyError()
{
    if (OnError)
        OnError(this);
}

// -- messages -------------------------------------------------------------------

void TCustomWSocket::HandleMessage(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam)
{
    switch (Msg) {
    case MsgSocketEvent:
        Guarded([&] { SocketEvent(WParam, LParam); });
        break;
    case MsgLookupDone:
    case MsgReverseLookupDone:
        Guarded([&] { LookupDone(Msg, WParam, LParam); });
        break;
    case MsgConnectLookupDone:
        Guarded([&] { ConnectLookupDone(WParam, LParam); });
        break;
    case MsgCloseLater:
        Guarded([&] { Close(); });
        break;
    case MsgReleaseLater:
        delete this;
        break;
    case MsgTestException:
        Guarded([] { throw ESocketException("Test exception in WSocket"); });
        break;
    default:
        break;
    }
}

void TCustomWSocket::PostTestException() { platform::PostMessage(m_window, MsgTestException, 0, 0); }

void TCustomWSocket::SocketEvent(platform::WPARAM WParam, platform::LPARAM LParam)
{
    TSocket s = static_cast<TSocket>(WParam);
    if (s != m_hSocket || m_paused)
        return;
    int events = static_cast<int>(LParam & 0xFFFF);
    auto error = static_cast<std::uint16_t>((static_cast<std::uint32_t>(LParam) >> 16) & 0xFFFF);
    // Fixed order: connect, read, write, accept, close; a step that closed
    // the socket ends the rest.
    static constexpr int order[] = {platform::FD_CONNECT, platform::FD_READ, platform::FD_WRITE,
                                    platform::FD_ACCEPT, platform::FD_CLOSE};
    auto alive = m_alive;
    for (int bit : order) {
        if (!*alive)
            return;
        if (!(events & bit))
            continue;
        if (s != m_hSocket)
            break;
        m_currentEvent = bit;
        switch (bit) {
        case platform::FD_CONNECT: HandleConnectEvent(error); break;
        case platform::FD_READ: HandleReadEvent(error); break;
        case platform::FD_WRITE: HandleWriteEvent(error); break;
        case platform::FD_ACCEPT: HandleAcceptEvent(error); break;
        case platform::FD_CLOSE: HandleCloseEvent(error); break;
        }
    }
    if (*alive)
        m_currentEvent = 0;
}

void TCustomWSocket::HandleConnectEvent(std::uint16_t Error)
{
    if (m_state == wsConnected)
        return;
    auto alive = m_alive;
    ChangeState(wsConnected);
    if (!*alive)
        return;
    NotifyConnectedStep(Error);
    if (*alive && Error != 0 && m_state != wsClosed)
        Close();
}

void TCustomWSocket::HandleReadEvent(std::uint16_t Error)
{
    if (m_state != wsConnected) {
        auto alive = m_alive;
        ChangeState(wsConnected);
        if (*alive)
            NotifyConnectedStep(Error);
        if (!*alive)
            return;
    }
    if (m_tls && TlsReadEvent(Error))
        return;
    DrainReceive(Error, m_options, true);
}

void TCustomWSocket::HandleWriteEvent(std::uint16_t Error)
{
    if (m_tls && TlsWriteEvent(Error))
        return;
    auto alive = m_alive;
    TryToSend();
    if (*alive && m_allSent)
        NotifyDataSent(Error);
}

void TCustomWSocket::HandleAcceptEvent(std::uint16_t Error) { NotifySessionAvailable(Error); }

void TCustomWSocket::HandleCloseEvent(std::uint16_t Error)
{
    if (m_state == wsConnecting)
        return;
    auto alive = m_alive;
    if (m_tls) {
        TlsCloseEvent(Error);
        if (!*alive || m_state == wsClosed)
            return;
    }
    TWSocketOptions opts = m_options;
    opts.Exclude(wsoNoReceiveLoop);
    DrainReceive(0, opts);
    // A handler that closed the socket while draining was told of the close
    // then; telling it again would leave the flag set for the next connection,
    // whose close would then go untold.
    if (!*alive || m_state == wsClosed)
        return;
    if (m_tls)
        TlsCheckEnd();
    if (!m_closeNotified) {
        m_closeNotified = true;
        NotifySessionClosed(Error);
        if (!*alive)
            return;
    }
    if (m_state != wsClosed)
        Close();
}

void TCustomWSocket::DrainReceive(std::uint16_t Error, TWSocketOptions Options, bool Sliced)
{
    TSocket s = m_hSocket;
    auto alive = m_alive;
    const std::uint32_t start = platform::GetTickCount();
    for (;;) {
        m_lastError = 0;
        bool handled = NotifyDataAvailable(Error);
        if (!*alive)
            return;
        if (!handled) {
            std::uint8_t junk[1024];
            if (Receive(junk, sizeof junk) < 0) {
                if (m_lastError == platform::WSAEWOULDBLOCK) {
                    m_lastError = 0;
                    break;
                }
            }
        }
        if (Options.Contains(wsoNoReceiveLoop))
            break;
        if (m_lastError != 0) {
            if (m_lastError == -1)
                m_lastError = 0;
            break;
        }
        if (m_hSocket == INVALID_SOCKET || m_hSocket != s)
            break;
        unsigned long n = 0;
        if (wsk::ioctlsocket_fionread(m_hSocket, &n) != 0) {
            m_lastError = WSAGetLastError();
            break;
        }
        // Bytes a subclass holds (a SOCKS reply's surplus) are data too.
        if (n == 0 && LocalPendingCount() == 0 && (!m_tls || TlsPendingCount() == 0))
            break;
        // A peer faster than the reader would otherwise keep the thread here.
        if (Sliced && n > 0 && platform::GetTickCount() - start >= platform::kDispatchSliceMs)
            break;
    }
}

// -- connect, listen, accept ------------------------------------------------------

void TCustomWSocket::ResolveDestination(bool forListen)
{
    if (!m_protoResolved) {
        if (forListen && m_protoStr.size() >= 4 && Lower(m_protoStr.substr(0, 4)) == "raw_") {
            m_type = SOCK_RAW;
            m_proto = WSocketResolveProto(m_protoStr.substr(4, 10));
        } else {
            m_proto = WSocketResolveProto(m_protoStr);
            if (m_proto == IPPROTO_TCP)
                m_type = SOCK_STREAM;
            else if (m_proto == IPPROTO_UDP)
                m_type = SOCK_DGRAM;
            else
                m_type = forListen ? SOCK_STREAM : SOCK_RAW;
        }
        m_protoResolved = true;
    }
    if (!m_portResolved) {
        m_portNum = static_cast<std::uint16_t>(WSocketResolvePort(m_portStr, m_protoStr) & 0xFFFF);
        m_sin.sin_port = htons(m_portNum);
        m_sin6.sin6_port = m_sin.sin_port;
        m_portResolved = true;
    }
    if (!forListen && !m_localPortResolved) {
        m_localPortNum = static_cast<std::uint16_t>(WSocketResolvePort(m_localPortStr, m_protoStr) & 0xFFFF);
        m_localPortResolved = true;
    }
    if (!m_addrResolved) {
        ResolveDestinationAddr();
        m_addrResolved = true;
    }
}

void TCustomWSocket::Connect() { ConnectCore(); }

void TCustomWSocket::ConnectCore()
{
    if ((m_hSocket != INVALID_SOCKET && m_state != wsClosed) || m_connectLookup != 0) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!m_portAssigned) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!m_addrAssigned) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!m_protoAssigned) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    if (!ConnectNamesReady())
        return;
    try {
        ResolveDestination(false);
    } catch (const ESocketException& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    DiscardSendQueue();
    m_tlsStreamError.clear();
    m_tlsStreamCode = 0;
    m_hSocket = wsk::socket(m_ipv6 ? AF_INET6 : AF_INET, m_type, m_proto);
    if (m_hSocket == INVALID_SOCKET) {
        RaiseSocketError("Connect (socket)");
        return;
    }
    socklen_t optlen = sizeof m_sndBufSize;
    if (wsk::getsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &m_sndBufSize, &optlen) != 0) {
        RaiseSocketError("getsockopt(SO_SNDBUF)");
        return;
    }
    ChangeState(wsOpened);
    if (m_state != wsOpened) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    int on = 1;
    if (m_type == SOCK_DGRAM) {
        BindLocal();
        if (m_hSocket == INVALID_SOCKET)
            return;
        if (m_multiCast) {
            if (m_multiCastIpTTL != 1) {
                unsigned char ttl = static_cast<unsigned char>(m_multiCastIpTTL);
                if (wsk::setsockopt(m_hSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
                    RaiseSocketError("setsockopt(IP_MULTICAST_TTL)");
                    return;
                }
            }
            if (m_localAddr != "0.0.0.0") {
                in_addr ifaddr{};
                try {
                    ifaddr.s_addr = ResolveConnectName(m_localAddr);
                } catch (const ESocketException& e) {
                    ReportError(std::string("connect: ") + e.what());
                    return;
                }
                if (wsk::setsockopt(m_hSocket, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr) != 0) {
                    RaiseSocketError("setsockopt(IP_MULTICAST_IF)");
                    return;
                }
            }
        }
        if (m_sin.sin_addr.s_addr == INADDR_BROADCAST) {
            if (wsk::setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
                RaiseSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (wsk::setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            RaiseSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (m_options.Contains(wsoTcpNoDelay) && m_type == SOCK_STREAM &&
            wsk::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            RaiseSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        ApplyLinger();
        if (m_hSocket == INVALID_SOCKET)
            return;
        if (wsk::setsockopt(m_hSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
            RaiseSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (m_localPortNum != 0 || m_localAddr != "0.0.0.0") {
            BindLocal();
            if (m_hSocket == INVALID_SOCKET)
                return;
        }
    }
    m_selectMask = kMaskConnect;
    if (wsk::WSAAsyncSelect(m_hSocket, m_window, MsgSocketEvent, m_selectMask) != 0) {
        RaiseSocketError("WSAAsyncSelect");
        return;
    }
    if (m_type == SOCK_DGRAM) {
        ChangeState(wsConnected);
        NotifyConnectedStep(0);
        return;
    }
    int rc = m_ipv6 ? wsk::connect(m_hSocket, reinterpret_cast<sockaddr*>(&m_sin6), sizeof m_sin6)
                    : wsk::connect(m_hSocket, reinterpret_cast<sockaddr*>(&m_sin), sizeof m_sin);
    if (rc != 0) {
        int err = WSAGetLastError();
        if (err != platform::WSAEWOULDBLOCK) {
            m_lastError = err;
            RaiseSocketError("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

void TCustomWSocket::BindLocal()
{
    if (m_ipv6) {
        BindLocal6();
        return;
    }
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = htons(m_localPortNum);
    la.sin_addr.s_addr = ResolveConnectName(m_localAddr);
    if (wsk::bind(m_hSocket, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", WSAGetLastError());
        return;
    }
    socklen_t len = sizeof la;
    if (wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&la), &len) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", WSAGetLastError());
        return;
    }
    m_localPortNum = ntohs(la.sin_port);
    m_localPortStr = std::to_string(m_localPortNum);
}

void TCustomWSocket::ApplyLinger()
{
    if (m_lingerOnOff == wsLingerNoSet)
        return;
    if (m_hSocket == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    linger li{};
    li.l_onoff = m_lingerOnOff == wsLingerOn ? 1 : 0;
    li.l_linger = static_cast<std::uint16_t>(m_lingerTimeout);
    if (wsk::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &li, sizeof li) != 0)
        RaiseSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Listen()
{
    if (!m_portAssigned) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("listen: port not assigned");
        return;
    }
    if (!m_protoAssigned) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("listen: protocol not assigned");
        return;
    }
    if (!m_addrAssigned) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("listen: address not assigned");
        return;
    }
    try {
        ResolveDestination(true);
    } catch (const ESocketException& e) {
        ReportError(std::string("listen: ") + e.what());
        return;
    }
    m_hSocket = wsk::socket(m_ipv6 ? AF_INET6 : AF_INET, m_type, m_type == SOCK_STREAM ? 0 : m_proto);
    if (m_hSocket == INVALID_SOCKET) {
        RaiseSocketError("socket");
        return;
    }
    // Reports a failed step and closes the socket, also when the report
    // raises, so no descriptor is left behind.
    auto failAndClose = [this](const char* name) {
        int code = WSAGetLastError();
        struct Closer {
            TCustomWSocket* s;
            ~Closer()
            {
                try {
                    if (s->m_state != wsClosed) {
                        s->DoClose(false, 0);
                    } else if (s->m_hSocket != INVALID_SOCKET) {
                        wsk::closesocket(s->m_hSocket);
                        s->ResetToDefaults();
                    }
                } catch (...) {
                }
            }
        } closer{this};
        WSASetLastError(code);
        RaiseSocketError(name);
    };
    int on = 1;
    if (m_type == SOCK_DGRAM && m_reuseAddr &&
        wsk::setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        failAndClose("setsockopt(SO_REUSEADDR)");
        return;
    }
    // Here a datagram reaches a socket bound to its destination address or
    // to any address, never one bound to the interface: a multicast
    // listener binds to its group and joins it on the interface from Addr.
    sockaddr_in bindAddr = m_sin;
    std::uint32_t group = INADDR_NONE;
    if (m_type == SOCK_DGRAM && m_multiCast && parseDotted(m_multiCastAddrStr, group))
        bindAddr.sin_addr.s_addr = group;
    int bound = m_ipv6 ? wsk::bind(m_hSocket, reinterpret_cast<sockaddr*>(&m_sin6), sizeof m_sin6)
                       : wsk::bind(m_hSocket, reinterpret_cast<sockaddr*>(&bindAddr), sizeof bindAddr);
    if (bound != 0) {
        failAndClose("Bind");
        return;
    }
    ChangeState(wsBound);
    if (m_type == SOCK_STREAM) {
        if (wsk::listen(m_hSocket, m_listenBacklog) != 0) {
            failAndClose("Listen");
            return;
        }
        ChangeState(wsListening);
    } else if (m_type == SOCK_DGRAM) {
        if (m_multiCast && !m_ipv6) {
            ip_mreq mreq{};
            mreq.imr_multiaddr.s_addr = group;
            mreq.imr_interface.s_addr = m_sin.sin_addr.s_addr;
            if (wsk::setsockopt(m_hSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
                failAndClose("setsockopt(IP_ADD_MEMBERSHIP)");
                return;
            }
        }
        ChangeState(wsListening);
        ChangeState(wsConnected);
        NotifyConnectedStep(0);
    } else if (m_type == SOCK_RAW) {
        if (m_options.Contains(wsoSIO_RCVALL)) {
            // The receive-all switch has no equivalent here: refused.
            WSASetLastError(platform::WSAEOPNOTSUPP);
            failAndClose("WSAIoctl(SIO_RCVALL)");
            return;
        }
        ChangeState(wsListening);
        ChangeState(wsConnected);
        NotifyConnectedStep(0);
    } else {
        RaiseSocketError("Listen: unexpected protocol.");
        return;
    }
    if (m_hSocket == INVALID_SOCKET)
        return;
    m_selectMask = kMaskListen;
    if (wsk::WSAAsyncSelect(m_hSocket, m_window, MsgSocketEvent, m_selectMask) != 0)
        RaiseSocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept()
{
    if (m_state != wsListening) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    socklen_t len = m_ipv6 ? sizeof m_sin6 : sizeof m_sin;
    TSocket h = m_ipv6 ? wsk::accept(m_hSocket, reinterpret_cast<sockaddr*>(&m_sin6), &len)
                       : wsk::accept(m_hSocket, reinterpret_cast<sockaddr*>(&m_sin), &len);
    if (h == INVALID_SOCKET) {
        RaiseSocketError("Accept");
        return INVALID_SOCKET;
    }
    m_lastAccepted = h;
    return h;
}

void TCustomWSocket::Dup(TSocket NewHSocket)
{
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSASetLastError(platform::WSAEINVAL);
        RaiseSocketError("Dup");
        return;
    }
    if (m_state != wsClosed) {
        if (m_hSocket != INVALID_SOCKET && wsk::closesocket(m_hSocket) != 0) {
            RaiseSocketError("Dup (closesocket)");
            return;
        }
        m_hSocket = INVALID_SOCKET;
        ChangeState(wsClosed);
    }
    m_hSocket = NewHSocket;
    m_tls.reset();
    m_tlsStreamError.clear();
    m_tlsStreamCode = 0;
    socklen_t optlen = sizeof m_sndBufSize;
    if (wsk::getsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &m_sndBufSize, &optlen) != 0) {
        RaiseSocketError("getsockopt(SO_SNDBUF)");
        return;
    }
    ApplyLinger();
    m_selectMask = kMaskDup;
    if (wsk::WSAAsyncSelect(m_hSocket, m_window, MsgSocketEvent, m_selectMask) != 0) {
        RaiseSocketError("WSAAsyncSelect");
        return;
    }
    AdoptedConnected();
}

void TCustomWSocket::AdoptedConnected() { ChangeState(wsConnected); }

// -- closing --------------------------------------------------------------------

void TCustomWSocket::DoClose(bool Shut, int Error)
{
    CancelConnectLookup();
    if (m_hSocket == INVALID_SOCKET) {
        if (m_state != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (m_state == wsClosed)
        return;
    if (Shut) {
        Shutdown(1);
        // A graceful close delivers what was sent: an abortive linger
        // (on, 0 seconds) would throw the unsent bytes away with a reset.
        if (m_type == SOCK_STREAM && m_lingerOnOff == wsLingerOn && m_lingerTimeout == 0) {
            linger li{};
            platform::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &li, sizeof li);
        }
    }
    for (;;) {
        if (wsk::closesocket(m_hSocket) == 0)
            break;
        int err = WSAGetLastError();
        m_lastError = err;
        if (err == platform::WSAEWOULDBLOCK) {
            PumpMessages();
            continue;
        }
        if (err == platform::WSANOTINITIALISED)
            break;
        m_hSocket = INVALID_SOCKET;
        RaiseSocketError("Disconnect (closesocket)");
        return;
    }
    m_hSocket = INVALID_SOCKET;
    m_tls.reset();
    ChangeState(wsClosed);
    if (!m_destroying && !m_closeNotified) {
        auto alive = m_alive;
        m_closeNotified = true;
        NotifySessionClosed(static_cast<std::uint16_t>(Error));
        if (!*alive)
            return;
    }
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::DoAbort(int Error)
{
    CancelLookup();
    DiscardSendQueue();
    if (m_state == wsConnected && m_proto == IPPROTO_TCP) {
        m_lingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, Error);
}

void TCustomWSocket::Abort() { DoAbort(0); }

void TCustomWSocket::CloseLater() { platform::PostMessage(m_window, MsgCloseLater, 0, 0); }
void TCustomWSocket::ReleaseLater() { platform::PostMessage(m_window, MsgReleaseLater, 0, 0); }

void TCustomWSocket::Shutdown(int How)
{
    if (m_tls && How != 0)
        TlsCloseNotify();
    if (m_hSocket != INVALID_SOCKET)
        wsk::shutdown(m_hSocket, How);
}

// The registration stays while paused: dropping it would lose a pending
// connect and leave queued notifications behind for a reused descriptor.
void TCustomWSocket::Pause()
{
    m_paused = true;
    if (m_hSocket != INVALID_SOCKET && m_selectMask != 0)
        wsk::SuspendSocketNotifications(m_hSocket, true);
}

void TCustomWSocket::Resume()
{
    m_paused = false;
    if (m_hSocket != INVALID_SOCKET && m_selectMask != 0)
        wsk::SuspendSocketNotifications(m_hSocket, false);
}

// -- sending ----------------------------------------------------------------------

std::int64_t TCustomWSocket::BufferedByteCount() const
{
    std::int64_t n = 0;
    for (const auto& b : m_bufList)
        n += b->WriteCount() - b->ReadCount();
    return n;
}

void TCustomWSocket::DiscardSendQueue() { m_bufList.clear(); }

void TCustomWSocket::QueueSendData(const void* Data, int Len)
{
    if (!Data || Len <= 0)
        return;
    const auto* p = static_cast<const std::uint8_t*>(Data);
    // A TLS write that would block must be offered again with at least the
    // record it began (16 KiB at most): the front block holds one whole.
    if (m_bufList.empty())
        m_bufList.push_back(std::make_unique<TBuffer>(m_tls ? std::max(m_bufSize, 16384) : m_bufSize));
    int n = m_bufList.back()->AppendData(p, Len);
    p += n;
    Len -= n;
    while (Len > 0) {
        // Large writes get one large block instead of many small ones.
        int cap = std::max(m_bufSize, std::min(Len, kMaxQueueBlock));
        m_bufList.push_back(std::make_unique<TBuffer>(cap));
        n = m_bufList.back()->AppendData(p, Len);
        p += n;
        Len -= n;
    }
    m_allSent = false;
}

int TCustomWSocket::SendBlock(const void* Data, int Len)
{
    int flags;
    switch (m_sendFlags) {
    case wsSendNormal: flags = 0; break;
    case wsSendUrgent: flags = MSG_OOB; break;
    default:
        ReportError("Invalid internal SendFlags");
        return -1;
    }
    if (m_tls)
        return TlsSend(Data, Len);
    if ((m_type == SOCK_DGRAM || m_type == SOCK_RAW) && m_ipv6)
        return wsk::sendto(m_hSocket, Data, Len, flags, reinterpret_cast<sockaddr*>(&m_sin6), sizeof m_sin6);
    if (m_type == SOCK_DGRAM || m_type == SOCK_RAW)
        return wsk::sendto(m_hSocket, Data, Len, flags, reinterpret_cast<sockaddr*>(&m_sin), sizeof m_sin);
    return wsk::send(m_hSocket, Data, Len, flags);
}

// One platform send of the bytes at p: the count sent (> 0), 0 when the
// platform took nothing (would block), or -1 when the send ended the session
// or was reported (the caller stops). The queue is brought up to date before
// OnSendData, so a handler that sends again neither repeats nor reorders bytes.
template <class Taken> int TCustomWSocket::SendChunk(const std::uint8_t* p, int count, Taken&& taken)
{
    TSocket s = m_hSocket;
    int n = SendBlock(p, count);
    if (n > 0) {
        taken(n);
        if (OnSendData && !m_destroying) {
            auto alive = m_alive;
            OnSendData(this, n);
            if (!*alive)
                return -1;
        }
        // The handler may have closed or aborted the socket.
        return m_hSocket == s ? n : -1;
    }
    if (n == 0)
        return 0;
    int err = WSAGetLastError();
    if (err == platform::WSAEWOULDBLOCK)
        return 0;
    if (isFatalSendError(err)) {
        auto alive = m_alive;
        m_closeNotified = true;
        Close();
        if (*alive)
            NotifySessionClosed(static_cast<std::uint16_t>(err));
        return -1;
    }
    RaiseSocketError("TryToSend failed");
    return -1;
}

void TCustomWSocket::TryToSend()
{
    if (m_hSocket == INVALID_SOCKET)
        return;
    if (m_bufList.empty()) {
        m_allSent = true;
        return;
    }
    for (;;) {
        TBuffer& b = *m_bufList.front();
        int count = 0;
        const std::uint8_t* p = b.PeekData(count);
        if (count > 0) {
            int n = SendChunk(p, count, [&b](int sent) { b.ConsumeData(sent); });
            if (n <= 0 || n < count || m_bufList.empty())
                return;
            continue;
        }
        if (m_bufList.size() > 1) {
            m_bufList.pop_front();
            continue;
        }
        m_allSent = true;
        return;
    }
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (m_state != wsConnected && m_state != wsSocksConnected) {
        WSASetLastError(platform::WSAENOTCONN);
        RaiseSocketError("Send");
        return -1;
    }
    m_allSent = false;
    if (Len <= 0) {
        Len = 0;
    } else if (m_hSocket != INVALID_SOCKET && m_type == SOCK_STREAM &&
               (m_bufList.empty() || (m_bufList.size() == 1 && m_bufList.front()->Empty()))) {
        // Nothing queued: hand the caller's bytes to the platform directly and
        // queue only what it did not take.
        const auto* p = static_cast<const std::uint8_t*>(Data);
        int n = SendChunk(p, Len, [&](int sent) { QueueSendData(p + sent, Len - sent); });
        if (n < 0)
            return Len;
        if (n == 0)
            QueueSendData(p, Len);
        if (m_bufList.empty() || (m_bufList.size() == 1 && m_bufList.front()->Empty()))
            m_allSent = true;
    } else {
        QueueSendData(Data, Len);
    }
    TryToSend();
    if (m_allSent && m_hSocket != INVALID_SOCKET)
        platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
    return Len;
}

int TCustomWSocket::SendText(const std::string& Str)
{
    if (Str.empty())
        return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    int r = wsk::sendto(m_hSocket, Data, Len, m_sendFlags == wsSendUrgent ? MSG_OOB : 0,
                        reinterpret_cast<const sockaddr*>(&Dest), static_cast<socklen_t>(DestLen));
    if (r > 0) {
        if (OnSendData && !m_destroying) {
            auto alive = m_alive;
            OnSendData(this, r);
            if (!*alive)
                return r;  // the handler destroyed the socket
        }
        if (m_hSocket != INVALID_SOCKET && m_type == SOCK_DGRAM && BufferedByteCount() == 0)
            platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
    }
    return r;
}

void TCustomWSocket::Flush()
{
    while (m_hSocket != INVALID_SOCKET && !m_allSent) {
        TryToSend();
        PumpMessages();
        if (m_hSocket != INVALID_SOCKET && !m_allSent) {
            if (m_multiThreaded)
                platform::WaitMessage(50);
            else
                platform::ApplicationPump().WaitMessage(50);
        }
    }
}

// -- receiving ----------------------------------------------------------------------

int TCustomWSocket::RecvRaw(void* Buffer, int Len, int Flags)
{
    if (m_tls)
        return TlsRecv(Buffer, Len, Flags);
    return wsk::recv(m_hSocket, Buffer, Len, Flags);
}

int TCustomWSocket::RecvFromRaw(void* Buffer, int Len, int Flags, sockaddr_in& From, int& FromLen)
{
    socklen_t fl = static_cast<socklen_t>(FromLen);
    int r = wsk::recvfrom(m_hSocket, Buffer, Len, Flags, reinterpret_cast<sockaddr*>(&From), &fl);
    FromLen = static_cast<int>(fl);
    return r;
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int n = RecvRaw(Buffer, BufferSize, 0);
    if (n > 0)
        m_readCount += n;
    else if (n < 0)
        m_lastError = WSAGetLastError();
    return n;
}

std::string TCustomWSocket::ReceiveText()
{
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string s(static_cast<std::size_t>(n), '\0');
    int r = Receive(s.data(), n);
    if (r <= 0)
        return {};
    s.resize(static_cast<std::size_t>(r));
    return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    int n = RecvFromRaw(Buffer, BufferSize, 0, From, FromLen);
    if (n > 0)
        m_readCount += n;
    else if (n < 0)
        m_lastError = WSAGetLastError();
    return n;
}

int TCustomWSocket::RcvdCount()
{
    if (m_hSocket == INVALID_SOCKET)
        return -1;
    unsigned long n = 0;
    if (wsk::ioctlsocket_fionread(m_hSocket, &n) != 0)
        return -1;
    // Decrypted bytes are never more than the raw ones plus those held.
    if (m_tls)
        n += static_cast<unsigned long>(TlsPendingCount());
    return static_cast<int>(std::min<unsigned long>(n, 0x7FFFFFFF));
}

void TCustomWSocket::WaitUntilClosed()
{
    while (m_hSocket != INVALID_SOCKET && m_state != wsClosed) {
        PumpMessages();
        if (m_hSocket == INVALID_SOCKET || m_state == wsClosed)
            break;
        // Peek one byte: data waiting, the peer's close, or nothing yet.
        char c;
        int r = RecvRaw(&c, 1, MSG_PEEK);
        if (r > 0) {
            auto alive = m_alive;
            if (NotifyDataAvailable(0) || !*alive) {
                if (!*alive)
                    return;
                continue;
            }
            // Nobody reads: the bytes are thrown away as the receive loop
            // does, or the peek would find them for ever.
            std::uint8_t junk[1024];
            Receive(junk, sizeof junk);
            continue;
        }
        if (r == 0 || WSAGetLastError() != platform::WSAEWOULDBLOCK)
            break;
        if (m_multiThreaded)
            platform::WaitMessage(50);
        else
            platform::ApplicationPump().WaitMessage(50);
    }
}

// -- look-ups ------------------------------------------------------------------------

// A new look-up replaces a pending one and its results.
void TCustomWSocket::StartNewLookup()
{
    if (m_dnsLookupHandle) {
        wsk::WSACancelAsyncRequest(m_dnsLookupHandle);
        m_dnsLookupHandle = 0;
    }
    m_dnsResult.clear();
    m_dnsResultList.clear();
}

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        NotifyDnsLookupDone(platform::WSAEINVAL);
        return;
    }
    StartNewLookup();
    std::uint32_t addr;
    if (parseDotted(HostName, addr) && addr != 0xFFFFFFFFu) {
        m_dnsResult = dottedText(addr);
        m_dnsResultList.push_back(m_dnsResult);
        NotifyDnsLookupDone(0);
        return;
    }
    sockaddr_in6 a6{};
    if (WSocketParseIPv6(HostName, a6)) {
        m_dnsResult = WSocketAddrText(reinterpret_cast<sockaddr*>(&a6));
        m_dnsResultList.push_back(m_dnsResult);
        NotifyDnsLookupDone(0);
        return;
    }
    if (!m_window) {
        ReportError("DnsLookup: Window not assigned");
        return;
    }
    bool early = m_earlyLookupStored;
    platform::MSG earlyMsg = m_earlyLookupMsg;
    m_earlyLookupStored = false;
    platform::HANDLE h = wsk::WSAAsyncGetHostByName(m_window, MsgLookupDone, Trim(HostName));
    if (h == 0) {
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSAGetLastError());
        return;
    }
    m_dnsLookupHandle = h;
    if (early && earlyMsg.wParam == h)
        LookupDone(earlyMsg.message, earlyMsg.wParam, earlyMsg.lParam);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr)
{
    if (HostAddr.empty() || HostAddr.size() > 256) {
        ReportError("ReverseDnsLookup: Invalid host name.");
        NotifyDnsLookupDone(platform::WSAEINVAL);
        return;
    }
    StartNewLookup();
    std::uint32_t addr;
    if (!parseDotted(HostAddr, addr))
        addr = INADDR_NONE;
    if (!m_window) {
        ReportError("ReverseDnsLookup: Window not assigned");
        return;
    }
    m_earlyLookupStored = false;
    platform::HANDLE h = wsk::WSAAsyncGetHostByAddr(m_window, MsgReverseLookupDone, addr);
    if (h == 0) {
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), WSAGetLastError());
        return;
    }
    m_dnsLookupHandle = h;
}

void TCustomWSocket::LookupDone(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam)
{
    if (m_dnsLookupHandle == 0) {
        m_earlyLookupMsg = platform::MSG{m_window, Msg, WParam, LParam};
        m_earlyLookupStored = true;
        return;
    }
    if (WParam != m_dnsLookupHandle)
        return;
    m_dnsLookupHandle = 0;
    auto error = static_cast<std::uint16_t>((static_cast<std::uint32_t>(LParam) >> 16) & 0xFFFF);
    platform::HostEntry entry;
    bool got = platform::TakeHostEntry(static_cast<platform::HANDLE>(WParam), entry);
    if (error == 0) {
        if (!got) {
            error = platform::WSANO_RECOVERY;
        } else if (Msg == MsgLookupDone) {
            for (auto a : entry.addrs)
                m_dnsResultList.push_back(dottedText(a));
            for (const auto& a : entry.addrs6)
                m_dnsResultList.push_back(a);
            if (!m_dnsResultList.empty())
                m_dnsResult = m_dnsResultList.front();
        } else {
            m_dnsResult = entry.name;
            m_dnsResultList.push_back(entry.name);
        }
    }
    NotifyDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup()
{
    if (m_dnsLookupHandle == 0)
        return;
    if (wsk::WSACancelAsyncRequest(m_dnsLookupHandle) != 0) {
        m_dnsLookupHandle = 0;
        RaiseSocketError("WSACancelAsyncRequest");
        return;
    }
    m_dnsLookupHandle = 0;
    if (!m_destroying)
        NotifyDnsLookupDone(platform::WSAEINTR);
}

// -- Connect's own look-ups ---------------------------------------------------------
// A name given for the proxy or the local interface must not stop the thread
// in the blocking resolver.

void TCustomWSocket::ConnectNames(std::vector<std::string>& names)
{
    if (Trim(m_localAddr) != "0.0.0.0")
        names.push_back(m_localAddr);
}

bool TCustomWSocket::ConnectNamesReady()
{
    std::vector<std::string> names;
    ConnectNames(names);
    for (const auto& n : names) {
        std::string name = Trim(n);
        // Texts the blocking resolver answers without a query stay with it.
        if (name.empty() || name.size() > 256 || WSocketIsDottedIP(name) || onlyDigitsAndDots(name))
            continue;
        bool known = false;
        for (const auto& [k, a] : m_connectAddrs)
            known = known || k == name;
        if (known)
            continue;
        platform::HANDLE h = wsk::WSAAsyncGetHostByName(m_window, MsgConnectLookupDone, name);
        if (h == 0)
            continue;  // no worker: the blocking resolver answers instead
        m_connectLookup = h;
        m_connectLookupName = name;
        return false;
    }
    return true;
}

std::uint32_t TCustomWSocket::ResolveConnectName(const std::string& name)
{
    std::string t = Trim(name);
    for (const auto& [k, a] : m_connectAddrs)
        if (k == t)
            return a;
    return WSocketResolveHost(name);
}

void TCustomWSocket::CancelConnectLookup()
{
    if (m_connectLookup != 0)
        wsk::WSACancelAsyncRequest(m_connectLookup);
    m_connectLookup = 0;
    m_connectLookupName.clear();
    m_connectAddrs.clear();
}

void TCustomWSocket::ConnectLookupDone(platform::WPARAM WParam, platform::LPARAM LParam)
{
    if (m_connectLookup == 0 || WParam != m_connectLookup)
        return;  // cancelled
    m_connectLookup = 0;
    std::string name = std::move(m_connectLookupName);
    m_connectLookupName.clear();
    int error = static_cast<int>((static_cast<std::uint32_t>(LParam) >> 16) & 0xFFFF);
    platform::HostEntry entry;
    bool got = platform::TakeHostEntry(static_cast<platform::HANDLE>(WParam), entry);
    if (error == 0 && (!got || entry.addrs.empty()))
        error = platform::WSANO_DATA;
    if (error != 0) {
        m_connectAddrs.clear();
        m_lastError = error;
        ConnectLookupFailed(name, error);
        return;
    }
    m_connectAddrs.emplace_back(name, entry.addrs.front());
    Connect();
}

// Ends the attempt as a connect that failed; the socket was never opened.
void TCustomWSocket::ConnectLookupFailed(const std::string&, int error)
{
    auto alive = m_alive;
    NotifySessionConnected(static_cast<std::uint16_t>(error));
    if (*alive)
        NotifySessionClosed(static_cast<std::uint16_t>(error));
    if (*alive && m_connectLookup == 0 && m_hSocket == INVALID_SOCKET)
        ResetToDefaults();
}

// -- addresses -------------------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr()
{
    if (m_state != wsConnected)
        return "error";
    if (m_type != SOCK_STREAM)
        return m_ipv6 ? WSocketAddrText(reinterpret_cast<sockaddr*>(&m_sin6)) : dottedText(m_sin.sin_addr.s_addr);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (wsk::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        RaiseSocketError("GetPeerAddr");
        return "error";
    }
    return WSocketAddrText(reinterpret_cast<sockaddr*>(&sa));
}

std::string TCustomWSocket::GetPeerPort()
{
    if (m_state != wsConnected)
        return "error";
    if (m_type != SOCK_STREAM)
        return std::to_string(ntohs(m_ipv6 ? m_sin6.sin6_port : m_sin.sin_port));
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (wsk::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        RaiseSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(portOf(sa));
}

int TCustomWSocket::GetPeerSockAddr(sockaddr_in& Addr, int& AddrLen)
{
    if (m_state != wsConnected)
        return -1;
    socklen_t len = static_cast<socklen_t>(AddrLen);
    int r = wsk::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&Addr), &len);
    AddrLen = static_cast<int>(len);
    return r;
}

std::string TCustomWSocket::GetBoundAddr()
{
    if (m_state != wsBound && m_state != wsConnected && m_state != wsListening)
        return "error";
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return "error";
    return WSocketAddrText(reinterpret_cast<sockaddr*>(&sa));
}

std::string TCustomWSocket::GetBoundPort()
{
    if (m_state != wsBound && m_state != wsConnected && m_state != wsListening)
        return "error";
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return "error";
    return std::to_string(portOf(sa));
}

int TCustomWSocket::GetLocalSockAddr(sockaddr_in& Addr, int& AddrLen)
{
    socklen_t len = static_cast<socklen_t>(AddrLen);
    int r = wsk::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&Addr), &len);
    AddrLen = static_cast<int>(len);
    return r;
}

// -- pumping ------------------------------------------------------------------------------

void TCustomWSocket::PumpMessages()
{
    if (!m_multiThreaded) {
        platform::ApplicationPump().ProcessMessages();
        return;
    }
    platform::MSG msg;
    while (platform::PeekMessage(msg, true)) {
        if (msg.message == platform::WM_QUIT) {
            m_terminated = true;
            break;
        }
        platform::DispatchMessage(msg);
    }
}

bool TCustomWSocket::TimevalIsSet(const Timeval& tv) const { return tv.tv_sec != 0 || tv.tv_usec != 0; }
void TCustomWSocket::TimevalClear(Timeval& tv) const { tv.tv_sec = tv.tv_usec = 0; }
bool TCustomWSocket::TimevalEqual(const Timeval& a, const Timeval& b, bool equal) const
{
    bool same = a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
    return equal ? same : !same;
}

} // namespace net
