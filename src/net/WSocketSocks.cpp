// The SOCKS 4, 4A and 5 client negotiation of the socket class chain.
#include "net/Socks.hpp"
#include "net/WSocket.hpp"
#include "platform/Text.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace net {

using platform::Lower;
using platform::Trim;

TCustomSocksWSocket::TCustomSocksWSocket(void* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    m_socksState = socksStateReady;
    m_socksServer.clear();
    m_socksPort.clear();
    m_socksLevel.assign(1, '5');  // (a string literal here trips a false -Wrestrict in GCC 12)
    m_surplusCnt = 0;
    m_surplusPos = 0;
    m_rcvCnt = 0;
    m_socksServerAssigned = false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& v)
{
    if (m_state != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    m_socksServer = Trim(v);
    m_socksServerAssigned = !m_socksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& v)
{
    if (m_state != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    m_socksPort = Trim(v);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& v)
{
    if (m_state != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (v != "4" && v != "5" && v != "4A" && v != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    m_socksLevel = v == "4a" ? "4A" : v;
}

// Checked before anything is sent: a field the request cannot carry whole is
// refused, never cut.
bool TCustomSocksWSocket::SocksRefuseLongFields()
{
    std::string out, why;
    bool ok;
    if (m_socksLevel == "5") {
        ok = socks::BuildSocks5Request(Addr(), 0, out, why);
        if (ok && m_socksAuthentication == socksAuthenticateUsercode)
            ok = socks::BuildAuthRequest(m_socksUsercode, m_socksPassword, out, why);
    } else {
        ok = socks::BuildSocks4Request(m_socksLevel == "4A", 0, 0, m_socksUsercode, Addr(), out, why);
    }
    if (!ok)
        ReportError("connect: " + why);
    return !ok;
}

void TCustomSocksWSocket::Connect()
{
    if (!m_socksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(Proto()) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    if (m_addrAssigned && SocksRefuseLongFields())
        return;
    if (m_state == wsClosed && m_hSocket == INVALID_SOCKET && !ConnectNamesReady())
        return;  // Connect runs again when the names are known
    try {
        if (!m_portResolved) {
            m_sin.sin_port = htons(static_cast<std::uint16_t>(WSocketResolvePort(m_socksPort, Proto()) & 0xFFFF));
            m_portResolved = true;
        }
        if (!m_addrResolved) {
            m_sin.sin_addr.s_addr = ResolveConnectName(m_socksServer);
            m_ipv6 = false; // SOCKS servers are reached over IPv4 only
            m_addrResolved = true;
        }
        m_destPort = static_cast<std::uint16_t>(WSocketResolvePort(Port(), Proto()) & 0xFFFF);
    } catch (const ESocketException& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    m_socksState = socksStateNegotiating;
    m_rcvCnt = 0;
    m_surplusCnt = 0;
    m_surplusPos = 0;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (m_socksServerAssigned) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::RcvdCount()
{
    if (m_surplusCnt > 0)
        return m_surplusCnt;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int Len, int Flags)
{
    if (m_surplusCnt > 0 && !(Flags & MSG_PEEK)) {
        int n = std::min(Len, m_surplusCnt);
        if (n > 0)
            std::memcpy(Buffer, m_rcvBuf + m_surplusPos, static_cast<std::size_t>(n));
        m_surplusPos += n;
        m_surplusCnt -= n;
        return n;
    }
    if (m_surplusCnt > 0 && Len > 0) {
        std::memcpy(Buffer, m_rcvBuf + m_surplusPos, 1);
        return 1;
    }
    return TCustomWSocket::RecvRaw(Buffer, Len, Flags);
}

void TCustomSocksWSocket::NotifySocksConnected(std::uint16_t Error)
{
    if (OnSocksConnected && !Destroying())
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::NotifySocksError(int Error, const std::string& Msg)
{
    if (OnSocksError && !Destroying())
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::NotifyConnectedStep(std::uint16_t Error)
{
    if (m_socksState != socksStateNegotiating) {
        TCustomWSocket::NotifyConnectedStep(Error);
        return;
    }
    NotifySocksConnected(Error);
    if (Error != 0) {
        m_socksState = socksStateReady;
        TCustomWSocket::NotifyConnectedStep(Error);
        return;
    }
    if (m_socksLevel[0] == '4') {
        SocksSendRequest();
    } else {
        m_socksMethod = m_socksAuthentication == socksAuthenticateUsercode ? 2 : 0;
        SocksSendGreeting();
    }
}

// The proxy by name, and a SOCKS 4 destination, which is resolved here.
void TCustomSocksWSocket::ConnectNames(std::vector<std::string>& names)
{
    if (m_socksServerAssigned) {
        if (!m_addrResolved)
            names.push_back(m_socksServer);
        if (m_socksLevel == "4")
            names.push_back(Addr());
    }
    TCustomWSocket::ConnectNames(names);
}

void TCustomSocksWSocket::ConnectLookupFailed(const std::string& name, int error)
{
    if (!m_socksServerAssigned || m_socksLevel != "4" || name != Addr() || name == m_socksServer) {
        TCustomWSocket::ConnectLookupFailed(name, error);
        return;
    }
    // As when the request is built: a SOCKS error, then the session closes.
    auto alive = m_alive;
    NotifySocksError(20017, "ESocketException WSocketResolveHost: Cannot convert host address '" + Addr() +
                                "', Error #" + std::to_string(error));
    if (*alive)
        NotifySessionClosed(20017);
    if (*alive && m_hSocket == INVALID_SOCKET)
        ResetToDefaults();
}

// The proxy's own messages are not the caller's data: a handler sending
// from OnDataSent would write into the negotiation.
void TCustomSocksWSocket::NotifyDataSent(std::uint16_t Error)
{
    if (m_socksState == socksStateReady)
        TCustomWSocket::NotifyDataSent(Error);
}

void TCustomSocksWSocket::NotifySessionClosed(std::uint16_t Error)
{
    if (m_socksState == socksStateAuthenticating && OnSocksAuthState && !Destroying())
        OnSocksAuthState(this, socksAuthFailed);
    TCustomWSocket::NotifySessionClosed(Error);
}

void TCustomSocksWSocket::SocksFail(int Code, const std::string& Msg)
{
    auto alive = m_alive;
    NotifySocksError(Code, Msg);
    if (!*alive)
        return;
    m_socksState = socksStateReady;
    NotifyConnectedStep(static_cast<std::uint16_t>(Code));
    if (*alive)
        DoClose(true, Code);
}

// Queued and sent without the writable notification Send posts: the
// negotiation's writes end in no OnDataSent. Send errors are not reported.
void TCustomSocksWSocket::SocksSend(const std::string& req)
{
    try {
        QueueSendData(req.data(), static_cast<int>(req.size()));
        TryToSend();
    } catch (...) {
    }
}

void TCustomSocksWSocket::SocksSendGreeting()
{
    std::string req;
    socks::BuildGreeting(m_socksMethod, req);
    SocksSend(req);
}

void TCustomSocksWSocket::SocksSendAuth()
{
    m_socksState = socksStateAuthenticating;
    if (OnSocksAuthState)
        OnSocksAuthState(this, socksAuthBegin);
    std::string req, why;
    if (!socks::BuildAuthRequest(m_socksUsercode, m_socksPassword, req, why)) {
        SocksFail(20015, why);
        return;
    }
    SocksSend(req);
}

void TCustomSocksWSocket::SocksSendRequest()
{
    m_socksState = socksStateConnecting;
    m_rcvCnt = 0;
    std::string req, why;
    bool ok;
    if (m_socksLevel[0] == '4') {
        std::uint32_t addr = 0;
        bool is4A = m_socksLevel == "4A";
        if (!is4A) {
            try {
                addr = ResolveConnectName(Addr());
            } catch (const std::exception& e) {
                NotifySocksError(20017, std::string("ESocketException ") + e.what());
                m_socksState = socksStateReady;
                DoClose(true, 20017);
                return;
            }
        }
        ok = socks::BuildSocks4Request(is4A, m_destPort, addr, m_socksUsercode, Addr(), req, why);
    } else {
        ok = socks::BuildSocks5Request(Addr(), m_destPort, req, why);
    }
    if (!ok) {
        SocksFail(20001, why);
        return;
    }
    SocksSend(req);
}

int TCustomSocksWSocket::SocksReceive(int maxTotal)
{
    int room = std::min(maxTotal, static_cast<int>(sizeof m_rcvBuf) - 1) - m_rcvCnt;
    if (room <= 0)
        return 0;
    int n = Receive(m_rcvBuf + m_rcvCnt, room);
    if (n > 0)
        m_rcvCnt += n;
    return n;
}

bool TCustomSocksWSocket::NotifyDataAvailable(std::uint16_t Error)
{
    if (m_socksState == socksStateReady)
        return TCustomWSocket::NotifyDataAvailable(Error);
    if (Error != 0) {
        SocksFail(Error, "data receive error");
        return false;
    }
    const int bufMax = static_cast<int>(sizeof m_rcvBuf) - 1;
    switch (m_socksState) {
    case socksStateNegotiating: {
        if (SocksReceive(bufMax) <= 0)
            return true;
        if (m_socksLevel[0] == '4') {
            SocksFail(20001, "TWSocket logic error");
            return true;
        }
        socks::Reply r = socks::ParseMethodReply(m_rcvBuf, m_rcvCnt);
        if (r.kind == socks::Reply::Incomplete)
            return true;
        m_rcvCnt = 0;
        if (r.kind == socks::Reply::Failed) {
            SocksFail(r.code, r.text);
        } else if (r.code == 0) {
            if (m_socksMethod == 2 && OnSocksAuthState)
                OnSocksAuthState(this, socksAuthSkipped);
            SocksSendRequest();
        } else {
            SocksSendAuth();
        }
        return true;
    }
    case socksStateAuthenticating: {
        if (SocksReceive(bufMax) <= 0)
            return true;
        socks::Reply r = socks::ParseAuthReply(m_rcvBuf, m_rcvCnt);
        if (r.kind == socks::Reply::Failed) {
            SocksFail(r.code, r.text);
        } else if (r.kind == socks::Reply::Done) {
            m_rcvCnt = 0;
            if (OnSocksAuthState)
                OnSocksAuthState(this, socksAuthOk);
            SocksSendRequest();
        }
        return true;
    }
    case socksStateConnecting: {
        if (m_socksLevel[0] == '4') {
            if (SocksReceive(8) <= 0)
                return true;
            socks::Reply r = socks::ParseSocks4Reply(m_rcvBuf, m_rcvCnt);
            if (r.kind == socks::Reply::Failed) {
                SocksFail(r.code, r.text);
            } else if (r.kind == socks::Reply::Done) {
                SocksConnected();
            }
            return true;
        }
        if (SocksReceive(bufMax) <= 0)
            return true;
        socks::Reply r = socks::ParseSocks5Reply(m_rcvBuf, m_rcvCnt);
        if (r.kind == socks::Reply::Failed) {
            SocksFail(r.code, r.text);
        } else if (r.kind == socks::Reply::Done) {
            m_boundAddr = r.boundAddr;
            m_boundPort = std::to_string(r.boundPort);
            m_surplusCnt = std::max(0, m_rcvCnt - r.length);
            m_surplusPos = r.length;
            SocksConnected();
        }
        return true;
    }
    default:
        SocksFail(20013, "internal error");
        return false;
    }
}

// The proxy has connected us: the session is ours, and bytes that came with
// the reply are delivered as data.
void TCustomSocksWSocket::SocksConnected()
{
    m_socksState = socksStateReady;
    m_rcvCnt = 0;
    auto alive = m_alive;
    TCustomWSocket::NotifyConnectedStep(0);
    if (!*alive || m_state != wsConnected)
        return;
    // Writable now, as after a direct connect: OnDataSent follows from the loop.
    if (m_allSent)
        platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
    NotifyDataAvailable(0);
}

} // namespace net
