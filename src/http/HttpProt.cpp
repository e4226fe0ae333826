#include "http/HttpProt.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

namespace http {

namespace {

const char* MethodName(THttpRequest rq)
{
    switch (rq) {
    case httpPOST: return "POST";
    case httpPUT: return "PUT";
    case httpHEAD: return "HEAD";
    default: return "GET";
    }
}

std::string ErrorText(int code) { return net::SocketErrorText(code) + " (Error #" + std::to_string(code) + ")"; }

constexpr std::size_t kHeaderUsable = THttpCli::kRcvBufSize - 3; // 8190
constexpr std::size_t kBodyBufSize = 256 * 1024;
constexpr std::int64_t kSendBlock = 64 * 1024;

} // namespace

THttpCli::THttpCli(std::string name) : m_name(std::move(name)), m_socket(std::make_unique<net::TWSocket>(this))
{
    m_hwnd = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        WndProc(msg, w, l);
    });
    m_socket->SetName(m_name + ".CtrlSocket");
    m_socket->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { SocketSessionClosed(e); };
    m_socket->OnDataAvailable = [this](net::TCustomWSocket*, std::uint16_t e) { SocketDataAvailable(e); };
    m_socket->OnSessionConnected = [this](net::TCustomWSocket*, std::uint16_t e) { SocketSessionConnected(e); };
    m_socket->OnDataSent = [this](net::TCustomWSocket*, std::uint16_t e) { SocketDataSent(e); };
    m_socket->OnDnsLookupDone = [this](net::TCustomWSocket*, std::uint16_t e) { SocketDnsLookupDone(e); };
    m_socket->OnError = [this](net::TCustomWSocket*) { SocketError(); };
    m_socket->OnTlsDone = [this](net::TCustomWSocket*, std::uint16_t e) { SocketTlsDone(e); };
    m_socket->OnCertificateCheck = [this](net::TCustomWSocket*, const net::TCertInfo& i, bool& a) {
        a = false;
        if (OnCertificateCheck)
            OnCertificateCheck(this, i, a);
    };
    m_socket->OnSocksConnected = [this](net::TCustomWSocket* s, std::uint16_t e) {
        if (OnSocksConnected)
            OnSocksConnected(s, e);
    };
    m_socket->OnSocksAuthState = [this](net::TCustomWSocket* s, net::TSocksAuthState st) {
        if (OnSocksAuthState)
            OnSocksAuthState(s, st);
    };
    m_socket->OnSocksError = [this](net::TCustomWSocket* s, int code, const std::string& msg) {
        m_socksErrorText = msg + " (Error #" + std::to_string(code) + ")";
        if (OnSocksError)
            OnSocksError(s, code, msg);
    };
}

THttpCli::~THttpCli()
{
    // No event of the socket may reach this object while it goes.
    m_socket->OnSessionClosed = nullptr;
    m_socket->OnDataAvailable = nullptr;
    m_socket->OnSessionConnected = nullptr;
    m_socket->OnDataSent = nullptr;
    m_socket->OnDnsLookupDone = nullptr;
    m_socket->OnError = nullptr;
    m_socket->OnTlsDone = nullptr;
    m_socket->OnCertificateCheck = nullptr;
    m_socket->OnSocksConnected = nullptr;
    m_socket->OnSocksAuthState = nullptr;
    m_socket->OnSocksError = nullptr;
    try {
        m_socket->Abort();
    } catch (...) {
    }
    m_socket.reset();
    if (m_hwnd)
        platform::DeallocateHWnd(m_hwnd);
}

void THttpCli::SetMultiThreaded(bool v)
{
    m_multiThreaded = v;
    m_socket->SetMultiThreaded(v);
}

void THttpCli::SetRequestVer(const std::string& v)
{
    if (v != "1.0" && v != "1.1")
        throw EHttpException("Insupported HTTP version", 5);
    m_requestVer = v;
}

void THttpCli::SetState(THttpState s)
{
    if (s == m_state)
        return;
    m_state = s;
    if (OnStateChange)
        OnStateChange(this);
}

void THttpCli::Post(platform::UINT msg)
{
    if (msg == kMsgRequestDone) {
        m_donePending = true;
        platform::PostMessage(m_hwnd, msg, m_requestType, m_errorCode);
        return;
    }
    platform::PostMessage(m_hwnd, msg, m_serial, 0);
}

void THttpCli::WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam)
{
    try {
        HandleMessage(msg, wParam, lParam);
    } catch (const std::exception& e) {
        HandleBgException(e);
    } catch (...) {
        HandleBgException(EHttpException("Unknown exception in an event handler", 0));
    }
}

// Handlers run from our own messages escape to where those of the socket's
// events go: the socket's OnBgException, then, unless it says otherwise, the
// request is aborted (or, between requests, the connection).
void THttpCli::HandleBgException(const std::exception& e)
{
    bool canClose = true;
    if (m_socket->OnBgException) {
        try {
            m_socket->OnBgException(m_socket.get(), e, canClose);
        } catch (...) {
        }
    }
    if (!canClose)
        return;
    try {
        if (m_state != httpReady) {
            // The request ends whichever step the handler broke off, even
            // one that had already ended it.
            m_requestEnded = false;
            if (m_state != httpAborting)
                Abort();
            FinishRequest();
        } else if (m_socket->State() != net::wsClosed) {
            m_socket->Abort();
        }
    } catch (...) {
    }
}

void THttpCli::HandleMessage(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam)
{
    switch (msg) {
    case kMsgRequestDone:
        m_donePending = false;
        if (OnRequestDone)
            OnRequestDone(this, static_cast<THttpRequest>(wParam), static_cast<std::uint16_t>(lParam));
        break;
    case kMsgSetReady:
        if (wParam == m_serial && m_requestEnded && m_state != httpReady) {
            if (AuthRetry())
                return;
            SetState(httpReady);
            Post(kMsgRequestDone);
        }
        break;
    case kMsgStartConnect:
        if (wParam == m_serial && m_state != httpReady && m_state != httpAborting)
            ConnectPhase();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- starting

void THttpCli::RunRequest(THttpRequest rq)
{
    StartRequest(rq);
    auto& pump = platform::ApplicationPump();
    while (m_state != httpReady || m_donePending) {
        if (m_multiThreaded) {
            m_socket->PumpMessages();
            platform::WaitMessage(10);
        } else {
            pump.WaitMessage(1000);
            pump.ProcessMessages();
            if (pump.Terminated()) {
                Abort();
                break;
            }
        }
    }
    if (m_replyStatus > 399 && m_replyStatus != 401 && m_replyStatus != 407)
        throw EHttpException(m_replyText, m_replyStatus);
}

void THttpCli::StartRequest(THttpRequest rq)
{
    if (rq == httpCLOSE) {
        m_requestType = httpCLOSE;
        ++m_serial;
        m_replyStatus = 200;
        m_replyText = "OK";
        m_errorCode = 0;
        m_requestEnded = false;
        SetState(httpClosing);
        if (m_socket->State() == net::wsClosed)
            FinishRequest();
        else
            m_socket->CloseLater();
        return;
    }
    if (m_state != httpReady)
        throw EHttpException("HTTP component " + m_name + " is busy", 1);
    if ((rq == httpPOST || rq == httpPUT) && !m_bodyInStream)
        throw EHttpException("HTTP component has nothing to post or put", 2);

    m_requestType = rq;
    m_requestRangeBegin = m_rangeBeginFromReply ? std::string() : m_contentRangeBegin;
    m_requestRangeEnd = m_rangeEndFromReply ? std::string() : m_contentRangeEnd;
    m_contentRangeBegin.clear();
    m_contentRangeEnd.clear();
    m_rangeBeginFromReply = m_rangeEndFromReply = false;
    m_relocations = 0;
    m_reusedConnection = false;
    m_bodySent = 0;
    ResetReplyState();
    m_rcvCount = 0;
    m_currentLocation = m_url;
    PrepareTarget(m_url);

    if (m_socket->State() == net::wsConnected) {
        if (!CanReuseConnection())
            m_socket->Abort();
    } else if (m_socket->State() != net::wsClosed) {
        m_socket->Abort();
    }
    SetState(httpStarting);
    ConnectPhase();
}

void THttpCli::ResetReplyState()
{
    ++m_serial; // messages posted for the previous attempt are dropped
    m_replyHeaderLines.clear();
    m_challenges.clear();
    m_errorCode = 0;
    m_replyStatus = 0;
    m_replyText.clear();
    m_replyVersion.clear();
    m_bodyBytesRead = 0;
    m_bodyLength = -1;
    m_bodyType.clear();
    m_transferEncoding.clear();
    m_closeAfterReply = m_requestVer == "1.0";
    m_relocationPending = false;
    m_chunked = false;
    m_chunks.Reset();
    m_headerBegun = false;
    m_headerEnded = false;
    m_firstLine = true;
    m_docBegun = false;
    m_docEnded = false;
    m_bytesWritten = 0;
    m_sendingBody = false;
    m_requestEnded = false;
    m_failed = false;
    m_socksErrorText.clear();
}

void THttpCli::PrepareTarget(const std::string& url)
{
    TUrlParts p = ParseURL(url);
    m_targetProto = p.Proto.empty() ? "http" : p.Proto;
    if (!p.User.empty()) {
        m_username = p.User;
        m_password = p.Pass;
    }
    m_targetHost = p.Host;
    m_targetPort = !p.Port.empty() ? p.Port : (m_targetProto == "https" ? "443" : "80");
    m_targetPath = p.Path.empty() ? "/" : p.Path;
    if (m_proxy.empty()) {
        m_requestPath = m_targetPath;
        m_connectHost = m_targetHost;
        m_connectPort = m_targetPort;
    } else {
        m_requestPath = m_targetProto + "://" + m_targetHost + (p.Port.empty() ? "" : ":" + p.Port) + m_targetPath;
        TUrlParts proxy = ParseURL(m_proxy);
        m_connectHost = proxy.Host;
        m_connectPort = proxy.Port.empty() ? m_proxyPort : proxy.Port;
    }
    m_documentName = DocumentNameOf(m_targetPath);
}

// ---------------------------------------------------------------- connecting

void THttpCli::ConnectPhase()
{
    if (m_socket->State() == net::wsConnected) {
        m_reusedConnection = true;
        SocketSessionConnected(0);
        return;
    }
    SetState(httpLookingUp);
    try {
        m_socket->SetLocalAddr(m_localAddr);
        m_socket->DnsLookup(m_connectHost);
    } catch (const std::exception& e) {
        Fail(404, e.what());
        FinishRequest();
    }
}

void THttpCli::SocketDnsLookupDone(std::uint16_t err)
{
    if (m_state == httpAborting) {
        // Abort during the look-up ends the request like a close.
        SocketSessionClosed(0);
        return;
    }
    if (m_state != httpLookingUp)
        return;
    if (err != 0) {
        Fail(404, "can't resolve hostname to IP address");
        m_errorCode = err;
        FinishRequest();
        return;
    }
    SetState(httpLookupDone);
    if (m_authBasicState == authAccepted)
        m_authBasicState = authNone;
    if (m_proxyAuthBasicState == authAccepted)
        m_proxyAuthBasicState = authNone;

    if (m_targetProto != "http" && m_targetProto != "https") {
        m_socket->Close();
        Fail(501, "Protocol \"" + m_targetProto + "\" not implemented");
        FinishRequest();
        return;
    }
    m_connectError = false;
    m_inConnect = true;
    bool failed = false;
    try {
        m_socket->SetAddr(m_socket->DnsResult());
        m_socket->SetLocalAddr(m_localAddr);
        m_socket->SetPort(m_connectPort);
        m_socket->SetProto("tcp");
        m_socket->SetSocksServer(m_socksServer);
        if (!m_socksServer.empty()) {
            m_socket->SetSocksLevel(m_socksLevel);
            m_socket->SetSocksPort(m_socksPort);
        }
        m_socket->SetSocksUsercode(m_socksUsercode);
        m_socket->SetSocksPassword(m_socksPassword);
        m_socket->SetSocksAuthentication(m_socksAuthentication);
        m_connHost = m_connectHost;
        m_connPort = m_connectPort;
        m_connProto = m_targetProto;
        m_tunnelEstablished = false;
        m_tunnelTlsPending = false;
        m_reusedConnection = false;
        m_socket->Connect();
    } catch (const std::exception&) {
        failed = true;
    }
    m_inConnect = false;
    // With OnError set the socket reports instead of raising; a connect that
    // got nowhere leaves the socket closed.
    if (failed || (m_connectError && m_socket->State() == net::wsClosed)) {
        int code = m_socket->LastError();
        Fail(404, "can't connect: " + ErrorText(code));
        m_errorCode = static_cast<std::uint16_t>(code);
        m_socket->Abort();
        FinishRequest();
    }
}

void THttpCli::SocketError()
{
    if (m_inConnect)
        m_connectError = true;
    Trigger(OnSocketError);
}

void THttpCli::SocketSessionConnected(std::uint16_t err)
{
    if (err != 0) {
        m_errorCode = err;
        Fail(404, m_socksErrorText.empty() ? ErrorText(err) : m_socksErrorText);
        if (OnSessionConnected)
            OnSessionConnected(this, err);
        return; // the socket closes next and the request ends there
    }
    if (m_state == httpAborting || m_state == httpReady)
        return;
    SetState(httpConnected);
    if (OnSessionConnected)
        OnSessionConnected(this, 0);
    if (m_state != httpConnected)
        return;
    m_rcvCount = 0;
    // A direct https connection speaks TLS first; a kept-alive one already does.
    if (m_proxy.empty() && m_targetProto == "https" && !m_socket->TlsActive()) {
        StartTargetTls();
        return;
    }
    if (m_proxy.empty() || m_targetProto != "https" || m_tunnelEstablished) {
        SetState(httpWaitingHeader);
        SendRequestHeader();
    } else {
        SetState(httpWaitingTunnel);
        SendTunnelRequest();
    }
}

// TLS with the target's own name, directly or inside the proxy's tunnel.
void THttpCli::StartTargetTls()
{
    std::string why;
    auto savedOnError = m_socket->OnError;
    m_socket->OnError = nullptr;
    try {
        if (!m_socket->StartTls({m_targetHost, m_targetPort, nullptr, m_caFile, m_caPath}))
            why = m_socket->TlsError();
    } catch (const std::exception& e) {
        why = m_socket->TlsError().empty() ? e.what() : m_socket->TlsError();
    }
    m_socket->OnError = savedOnError;
    if (!why.empty()) {
        m_errorCode = net::kTlsErrHandshake;
        ProtocolFailure("TLS could not start: " + why);
    }
}

void THttpCli::SocketTlsDone(std::uint16_t err)
{
    if (err != 0) {
        // The socket closes next and the request ends there.
        m_errorCode = err;
        Fail(404, "TLS negotiation failed: " + m_socket->TlsError());
        return;
    }
    if (m_state != httpConnected)
        return;
    SetState(httpWaitingHeader);
    SendRequestHeader();
}

// ---------------------------------------------------------------- request

std::string THttpCli::AuthLine(const char* name, const std::string& user, const std::string& pass) const
{
    return std::string(name) + ": Basic " + Base64Encode(user + ":" + pass);
}

void THttpCli::SendRequestHeader()
{
    Trigger(OnRequestHeaderBegin);
    TRequestHeaderFields f;
    f.Method = MethodName(m_requestType);
    f.Path = m_tunnelEstablished ? m_targetPath : m_requestPath;
    f.Version = m_requestVer;
    f.Sender = m_sender;
    f.Accept = m_accept;
    f.Reference = m_reference;
    f.Connection = m_connection;
    f.ProxyConnection = m_proxyConnection;
    f.AcceptLanguage = m_acceptLanguage;
    f.ContentType = m_contentTypePost;
    f.Agent = m_agent;
    f.Host = m_targetHost;
    f.Port = m_targetPort;
    f.NoCache = m_noCache;
    const bool hasBody = (m_requestType == httpPOST || m_requestType == httpPUT) && m_bodyInStream;
    if (hasBody)
        f.ContentLength = std::max<std::int64_t>(0, m_bodyInStream->Size() - m_bodyInStream->Position());
    f.ModifiedSince = m_modifiedSince;
    f.Cookie = m_cookie;
    f.RangeBegin = m_requestRangeBegin;
    f.RangeEnd = m_requestRangeEnd;
    std::vector<std::string> lines = BuildRequestHeaderLines(f);
    // Credentials go with every request once sent, for server and proxy alike,
    // so a reused connection and a proxied server login both keep working.
    auto insertAt = std::find_if(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.rfind("Cookie: ", 0) == 0 || l.rfind("Range: ", 0) == 0; });
    if (m_proxyAuthBasicState != authNone && !m_tunnelEstablished)
        insertAt = lines.insert(insertAt, AuthLine("Proxy-Authorization", m_proxyUsername, m_proxyPassword));
    if (m_authBasicState != authNone)
        lines.insert(insertAt, AuthLine("Authorization", m_username, m_password));
    m_acceptRanges.clear();

    if (OnBeforeHeaderSend)
        OnBeforeHeaderSend(this, f.Method, lines);
    std::string header;
    for (auto& line : lines) {
        if (OnCommand)
            OnCommand(this, line);
        header += line;
        header += "\r\n";
    }
    Trigger(OnRequestHeaderEnd);
    header += "\r\n";
    m_socket->Send(header.data(), static_cast<int>(header.size()));
    if (hasBody) {
        m_sendingBody = true;
        m_bodySent = 0;
        Trigger(OnSendBegin);
        SendBodyBlock();
    }
}

void THttpCli::SendTunnelRequest()
{
    std::string req = "CONNECT " + m_targetHost + ":" + m_targetPort + " HTTP/" + m_requestVer + "\r\n";
    if (m_proxyAuthBasicState != authNone)
        req += AuthLine("Proxy-Authorization", m_proxyUsername, m_proxyPassword) + "\r\n";
    req += "\r\n";
    m_socket->Send(req.data(), static_cast<int>(req.size()));
}

void THttpCli::SendBodyBlock()
{
    if (!m_sendingBody || !m_bodyInStream)
        return;
    std::vector<char> buf(kSendBlock);
    std::int64_t n = m_bodyInStream->Read(buf.data(), kSendBlock);
    if (n > 0) {
        m_bodySent += n;
        m_socket->Send(buf.data(), static_cast<int>(n));
        if (OnSendData)
            OnSendData(this, buf.data(), static_cast<std::int32_t>(n));
    }
    if (n < kSendBlock) {
        m_sendingBody = false;
        Trigger(OnSendEnd);
    }
}

void THttpCli::SocketDataSent(std::uint16_t err)
{
    if (err == 0 && m_sendingBody)
        SendBodyBlock();
}

// ---------------------------------------------------------------- reply

void THttpCli::SocketDataAvailable(std::uint16_t)
{
    if (m_requestEnded) {
        // The reply is complete; anything more is not part of it.
        char tmp[4096];
        if (m_socket->Receive(tmp, sizeof tmp) > 0)
            Trigger(OnDataPush);
        return;
    }
    if (m_state == httpWaitingHeader || m_state == httpWaitingTunnel) {
        if (m_rcvCount >= kHeaderUsable) {
            ProtocolFailure("Reply header line too long");
            return;
        }
        int n = m_socket->Receive(m_rcvBuf + m_rcvCount, static_cast<int>(kHeaderUsable - m_rcvCount));
        if (n <= 0)
            return;
        m_rcvCount += static_cast<std::size_t>(n);
        ProcessHeaderBytes();
        return;
    }
    if (m_state == httpReceivingBody) {
        if (m_bodyBuf.empty())
            m_bodyBuf.resize(kBodyBufSize);
        int n = m_socket->Receive(m_bodyBuf.data(), static_cast<int>(m_bodyBuf.size()));
        if (n > 0)
            HandleBodyBytes(m_bodyBuf.data(), static_cast<std::size_t>(n));
        else if (n < 0 && m_socket->TlsActive() && m_socket->TlsStreamErrorCode() == net::kTlsErrRecord) {
            m_errorCode = net::kTlsErrRecord;
            ProtocolFailure("TLS error: " + m_socket->TlsStreamError());
        }
        return;
    }
    // Outside a reply: nothing is expected; drain it.
    char tmp[4096];
    if (m_socket->Receive(tmp, sizeof tmp) > 0)
        Trigger(OnDataPush);
}

void THttpCli::DeliverReceived(const char* data, std::size_t len)
{
    while (len > 0 && !m_requestEnded) {
        if (m_state == httpWaitingHeader || m_state == httpWaitingTunnel) {
            if (m_rcvCount >= kHeaderUsable) {
                ProtocolFailure("Reply header line too long");
                return;
            }
            std::size_t n = std::min(len, kHeaderUsable - m_rcvCount);
            std::memcpy(m_rcvBuf + m_rcvCount, data, n);
            m_rcvCount += n;
            data += n;
            len -= n;
            ProcessHeaderBytes();
        } else if (m_state == httpReceivingBody) {
            HandleBodyBytes(data, len);
            return;
        } else {
            return;
        }
    }
}

void THttpCli::ProcessHeaderBytes()
{
    std::size_t start = 0;
    while (!m_requestEnded && (m_state == httpWaitingHeader || m_state == httpWaitingTunnel)) {
        const char* base = m_rcvBuf + start;
        const void* lf = std::memchr(base, '\n', m_rcvCount - start);
        if (!lf)
            break;
        std::size_t full = static_cast<const char*>(lf) - base + 1;
        std::size_t len = full - 1;
        if (len > 0 && base[len - 1] == '\r')
            --len;
        const THttpState before = m_state;
        ProcessHeaderLine(base, len, full);
        start += full;
        if (m_tunnelTlsPending) {
            m_tunnelTlsPending = false;
            const bool surplus = start < m_rcvCount;
            m_rcvCount = 0;
            // Bytes behind the proxy's reply came in clear: not the target's.
            if (surplus)
                ProtocolFailure("The proxy sent data after its reply to CONNECT");
            else
                StartTargetTls();
            return;
        }
        if (m_state == httpReceivingBody && before != httpReceivingBody) {
            // The rest of the reception is body.
            std::string rest = start < m_rcvCount ? std::string(m_rcvBuf + start, m_rcvCount - start) : std::string();
            m_rcvCount = 0;
            if (!rest.empty())
                HandleBodyBytes(rest.data(), rest.size());
            return;
        }
    }
    if (m_requestEnded || (m_state != httpWaitingHeader && m_state != httpWaitingTunnel)) {
        m_rcvCount = 0;
        return;
    }
    if (start > 0) {
        std::memmove(m_rcvBuf, m_rcvBuf + start, m_rcvCount - start);
        m_rcvCount -= start;
    }
    if (m_rcvCount >= kHeaderUsable)
        ProtocolFailure("Reply header line too long");
}

void THttpCli::ProcessHeaderLine(const char* line, std::size_t len, std::size_t full)
{
    std::string_view l(line, len);
    if (m_firstLine && len == 0)
        return; // stray line ends before a status line
    if (!m_headerBegun) {
        m_headerBegun = true;
        Trigger(OnHeaderBegin);
        if (m_state != httpWaitingHeader && m_state != httpWaitingTunnel)
            return;
        if (StartsWithNoCase(l, "<HTML>")) {
            // No header at all: the line, with its line end, is body.
            if (m_bodyType.empty())
                m_bodyType = "text/html";
            m_firstLine = false;
            m_headerEnded = true;
            SetState(httpReceivingBody);
            Trigger(OnHeaderEnd);
            m_docBegun = true;
            Trigger(OnDocBegin);
            std::string first(line, full);
            HandleBodyBytes(first.data(), first.size());
            return;
        }
    }
    if (len == 0) {
        HeaderComplete();
        return;
    }
    m_lastResponse.assign(line, len);
    m_replyHeaderLines.push_back(m_lastResponse);
    if (m_firstLine) {
        m_firstLine = false;
        TStatusLine s;
        if (ParseStatusLine(l, s)) {
            if (s.Status < 0) {
                ProtocolFailure("Invalid reply status line: " + m_lastResponse.substr(0, 100));
                return;
            }
            m_replyVersion = s.Version;
            m_replyStatus = s.Status;
            m_replyText = s.Text;
        } else {
            Trigger(OnDataPush2);
        }
        Trigger(OnHeaderData);
        return;
    }
    std::string name, value;
    if (SplitHeaderLine(l, name, value)) {
        if (name == "location") {
            if (m_requestType != httpPUT && m_followRelocation) {
                m_relocationPending = true;
                m_currentLocation = ResolveLocation(m_currentLocation, value);
            }
        } else if (name == "content-length") {
            auto n = ParseContentLength(value);
            if (!n) {
                ProtocolFailure("Invalid Content-Length in reply: " + value.substr(0, 100));
                return;
            }
            m_bodyLength = *n;
        } else if (name == "transfer-encoding") {
            m_transferEncoding = value;
            m_chunked = LowerCase(value).find("chunked") != std::string::npos;
        } else if (name == "content-range") {
            if (ParseContentRange(value, m_contentRangeBegin, m_contentRangeEnd))
                m_rangeBeginFromReply = m_rangeEndFromReply = true;
        } else if (name == "accept-ranges") {
            m_acceptRanges = value;
        } else if (name == "content-type") {
            m_bodyType = LowerCase(value);
        } else if (name == "www-authenticate" || name == "proxy-authenticate") {
            m_challenges.push_back(value);
        } else if (name == "set-cookie") {
            bool accept = true;
            if (OnCookie)
                OnCookie(this, value, accept);
        } else if (name == "connection" || name == "proxy-connection") {
            std::string v = LowerCase(value);
            if (v == "close")
                m_closeAfterReply = true;
            else if (v == "keep-alive")
                m_closeAfterReply = false;
        }
    }
    Trigger(OnHeaderData);
}

void THttpCli::HeaderComplete()
{
    if (m_replyVersion == "1.1" && m_replyStatus == 100) {
        // Interim reply: the real one follows.
        m_replyHeaderLines.clear();
        m_headerBegun = false;
        m_firstLine = true;
        return;
    }
    // Any other reply to CONNECT is the proxy's own word, in clear: its body
    // is not the document and its Location is not the target's. A 407 still
    // goes through the credentials' retry.
    if (m_state == httpWaitingTunnel && (m_replyStatus < 200 || m_replyStatus > 299) && m_replyStatus != 407) {
        const std::string refusal = "The proxy did not open the tunnel to " + m_targetHost + ":" + m_targetPort +
                                    ": " + std::to_string(m_replyStatus) + " " + m_replyText;
        Fail(m_replyStatus >= 400 ? m_replyStatus : 502, refusal);
        m_closeAfterReply = true;
        m_socket->Abort(); // the rest of its reply is not read
        FinishRequest();
        return;
    }
    if (m_state == httpWaitingTunnel && m_replyStatus != 407) {
        m_tunnelEstablished = true;
        m_tunnelHost = m_targetHost;
        m_tunnelPort = m_targetPort;
        ResetReplyState();
        // The tunnel carries https: the request goes out only once TLS with
        // the target is up (ProcessHeaderBytes starts it).
        SetState(httpConnected);
        m_tunnelTlsPending = true;
        return;
    }
    m_headerEnded = true;
    Trigger(OnHeaderEnd);
    if (m_state != httpWaitingHeader && m_state != httpWaitingTunnel)
        return;
    if (m_chunked)
        m_bodyLength = -1; // the chunks say where the body ends
    const int st = m_replyStatus;
    // 1xx, 204 and 304 never carry a body, whatever length they announce:
    // waiting for one would stall a kept-alive connection.
    const bool noBody = m_requestType == httpHEAD || m_bodyLength == 0 || st < 200 || st == 204 || st == 304 ||
                        (m_bodyLength == -1 && !m_chunked && (st == 301 || st == 302));
    if (!noBody) {
        std::string ext;
        if (auto dot = m_documentName.rfind('.'); dot != std::string::npos)
            ext = LowerCase(m_documentName.substr(dot));
        if ((ext == ".exe" || ext.empty()) && m_bodyType == "text/html") {
            if (ext.empty())
                m_documentName += ".htm";
            else
                m_documentName.replace(m_documentName.size() - ext.size(), ext.size(), ".htm");
        }
        SetState(httpReceivingBody);
        m_docBegun = true;
        Trigger(OnDocBegin);
        return;
    }
    if (m_relocationPending) {
        ProceedRelocation();
        return;
    }
    if (m_closeAfterReply) {
        if (m_requestType == httpHEAD)
            SetState(httpReceivingBody); // what still comes is dropped
        m_socket->CloseLater();
        return;
    }
    FinishRequest();
}

void THttpCli::HandleBodyBytes(const char* data, std::size_t len)
{
    if (m_docEnded || m_requestType == httpHEAD)
        return;
    if (m_chunked) {
        while (len > 0) {
            std::size_t used = 0;
            const char* seg = nullptr;
            std::size_t segLen = 0;
            auto r = m_chunks.Next(data, len, used, seg, segLen);
            data += used;
            len -= used;
            if (r == TChunkDecoder::chData) {
                if (!WriteBody(seg, segLen))
                    return;
            } else if (r == TChunkDecoder::chDone) {
                DocumentEnd();
                return;
            } else if (r == TChunkDecoder::chError) {
                ProtocolFailure(m_chunks.Error());
                return;
            } else {
                break;
            }
        }
        return;
    }
    if (m_bodyLength >= 0) {
        // Bytes beyond the announced length never reach the document.
        std::int64_t left = m_bodyLength - m_bodyBytesRead;
        std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(len)));
        if (n > 0 && !WriteBody(data, n))
            return;
        if (m_bodyBytesRead >= m_bodyLength)
            DocumentEnd();
        return;
    }
    WriteBody(data, len);
}

bool THttpCli::WriteBody(const char* data, std::size_t len)
{
    m_bodyBytesRead += static_cast<std::int64_t>(len);
    if (m_bodyOutStream) {
        std::int64_t w = m_bodyOutStream->Write(data, static_cast<std::int64_t>(len));
        if (w > 0)
            m_bytesWritten += w;
        if (w != static_cast<std::int64_t>(len)) {
            ProtocolFailure("Can't write the document to its output stream");
            return false;
        }
    }
    if (OnDocData)
        OnDocData(this, data, static_cast<std::int32_t>(len));
    return m_state == httpReceivingBody;
}

void THttpCli::DocumentEnd()
{
    if (m_docEnded)
        return;
    m_docEnded = true;
    Trigger(OnDocEnd);
    if (m_state != httpReceivingBody)
        return;
    if (m_closeAfterReply)
        m_socket->CloseLater(); // a pending relocation continues from the close
    else if (m_relocationPending)
        ProceedRelocation();
    else
        FinishRequest();
}

// ---------------------------------------------------------------- relocation

void THttpCli::ProceedRelocation()
{
    TUrlParts p = ParseURL(m_currentLocation);
    std::string proto = p.Proto.empty() ? "http" : p.Proto;
    std::string host = m_proxy.empty() ? p.Host : m_connectHost;
    std::string port = m_proxy.empty() ? (!p.Port.empty() ? p.Port : (proto == "https" ? "443" : "80"))
                                       : m_connectPort;
    const bool sameConnection = host == m_connHost && port == m_connPort && proto == m_connProto;
    if (m_socket->State() == net::wsConnected && (!sameConnection || m_closeAfterReply)) {
        m_socket->CloseLater(); // the new request starts from the close
        return;
    }
    StartRelocated();
}

void THttpCli::StartRelocated()
{
    m_relocationPending = false;
    if (++m_relocations > kMaxRelocations) {
        Fail(404, "Too many relocations (more than " + std::to_string(kMaxRelocations) + ")");
        FinishRequest();
        return;
    }
    Trigger(OnLocationChange);
    CutBackStreams();
    if (m_requestType == httpPOST)
        m_requestType = httpGET;
    std::string location = m_currentLocation;
    const std::string oldHost = m_targetHost, oldPort = m_targetPort;
    ResetReplyState();
    m_currentLocation = location;
    PrepareTarget(m_currentLocation);
    // Server credentials are not carried to another server.
    if (m_targetHost != oldHost || m_targetPort != oldPort)
        m_authBasicState = authNone;
    SetState(httpStarting); // nothing more is read as this reply's body
    if (m_socket->State() == net::wsConnected && !CanReuseConnection())
        m_socket->Abort();
    Post(kMsgStartConnect);
}

// The open connection serves the current target: same host, port and
// protocol, and a proxy tunnel only to the server it was opened for.
bool THttpCli::CanReuseConnection() const
{
    if (m_connectHost != m_connHost || m_connectPort != m_connPort || m_targetProto != m_connProto)
        return false;
    return !m_tunnelEstablished || (m_targetHost == m_tunnelHost && m_targetPort == m_tunnelPort);
}

void THttpCli::CutBackStreams()
{
    if (m_bodyOutStream && m_bytesWritten > 0) {
        const bool atEnd = m_bodyOutStream->Position() == m_bodyOutStream->Size();
        std::int64_t pos = std::max<std::int64_t>(0, m_bodyOutStream->Position() - m_bytesWritten);
        m_bodyOutStream->SetPosition(pos);
        if (atEnd)
            m_bodyOutStream->SetSize(pos);
    }
    m_bytesWritten = 0;
    if (m_bodyInStream && m_bodySent > 0)
        m_bodyInStream->SetPosition(std::max<std::int64_t>(0, m_bodyInStream->Position() - m_bodySent));
    m_bodySent = 0;
}

// ---------------------------------------------------------------- ending

void THttpCli::Fail(int status, const std::string& text)
{
    m_replyStatus = status;
    m_replyText = text;
    m_failed = true;
    m_relocationPending = false;
}

void THttpCli::ProtocolFailure(const std::string& text)
{
    // The connection is in an unknown state: drop it.
    Fail(404, text);
    m_closeAfterReply = true;
    if (m_socket->State() != net::wsClosed)
        m_socket->Abort(); // ends the request through the close
    FinishRequest();
}

void THttpCli::FinishRequest()
{
    if (m_requestEnded)
        return;
    m_requestEnded = true;
    Post(kMsgSetReady);
}

bool THttpCli::AuthRetry()
{
    if (m_options.Has(httpoNoBasicAuth) || m_failed)
        return false;
    auto basicChallenge = [this] {
        return std::any_of(m_challenges.begin(), m_challenges.end(),
                           [](const std::string& c) { return StartsWithNoCase(c, "basic"); });
    };
    auto step = [&](THttpAuthState& state, int code, const std::string& user, const std::string& pass,
                    const char* what) {
        switch (state) {
        case authNone:
            if (m_replyStatus == code && basicChallenge() && !user.empty() && !pass.empty()) {
                state = authSent;
                return true;
            }
            return false;
        case authSent:
            // Rejected credentials end the retries.
            state = m_replyStatus == code ? authNone : authAccepted;
            return false;
        case authAccepted:
            if (m_replyStatus == code)
                state = authNone;
            return false;
        }
        throw EHttpException(std::string("Unexpected ") + what, 6);
    };
    bool retry = step(m_authBasicState, 401, m_username, m_password, "AuthBasicState");
    if (!retry)
        retry = step(m_proxyAuthBasicState, 407, m_proxyUsername, m_proxyPassword, "ProxyAuthBasicState");
    if (!retry)
        return false;
    RestartSameLocation();
    return true;
}

// Sends the request again to the current location on a new connection.
void THttpCli::RestartSameLocation()
{
    CutBackStreams();
    std::string location = m_currentLocation;
    ResetReplyState();
    m_currentLocation = location;
    PrepareTarget(m_currentLocation);
    SetState(httpStarting);
    Post(kMsgStartConnect);
}

void THttpCli::SocketSessionClosed(std::uint16_t err)
{
    if (err != 0 && m_errorCode == 0)
        m_errorCode = err;
    const bool inRequest = m_state != httpReady;
    if (m_state == httpStarting) {
        // A restart (relocation, auth retry) is posted; it connects anew.
        if (OnSessionClosed)
            OnSessionClosed(this, err);
        return;
    }
    if (m_state == httpClosing) {
        if (OnSessionClosed)
            OnSessionClosed(this, err);
        FinishRequest();
        return;
    }
    if ((m_state == httpWaitingHeader || m_state == httpWaitingTunnel) && m_headerBegun && !m_headerEnded) {
        m_headerEnded = true;
        Trigger(OnHeaderEnd);
        if (!m_relocationPending && !m_failed)
            Fail(404, "Connection closed before the end of the reply header");
    }
    if (m_docBegun && !m_docEnded) {
        m_docEnded = true;
        Trigger(OnDocEnd);
        const bool cut = (m_chunked && !m_chunks.Done()) || (!m_chunked && m_bodyLength >= 0 && m_bodyBytesRead < m_bodyLength);
        // A body that ends with the connection is whole over TLS only when
        // the server said so with close_notify.
        const std::uint16_t tlsEnd = m_connProto == "https" ? m_socket->TlsStreamErrorCode() : 0;
        if (cut && !m_relocationPending && !m_failed && m_requestType != httpHEAD)
            Fail(404, "Connection closed before the end of the document");
        else if (tlsEnd != 0 && !m_relocationPending && !m_failed && m_requestType != httpHEAD) {
            m_errorCode = tlsEnd;
            Fail(404, "The document may be incomplete: " + m_socket->TlsStreamError());
        }
    }
    if (m_relocationPending && inRequest && m_state != httpAborting) {
        StartRelocated();
        return;
    }
    if (inRequest && m_reusedConnection && !m_headerBegun && !m_failed && m_state != httpAborting &&
        (m_state == httpWaitingHeader || m_state == httpConnected)) {
        // The server dropped the kept-alive connection before our request
        // reached it: once more on a new connection.
        m_reusedConnection = false;
        RestartSameLocation();
        return;
    }
    if (OnSessionClosed)
        OnSessionClosed(this, err);
    if (inRequest) {
        if (!m_headerBegun && !m_failed && m_state != httpAborting)
            Fail(404, "Connection closed without a reply");
        FinishRequest();
    }
}

void THttpCli::Abort()
{
    if (m_state == httpReady) {
        if (m_socket->State() != net::wsClosed)
            m_socket->Abort();
        m_replyStatus = 200;
        m_replyText = "OK";
        m_errorCode = 0;
        if (OnStateChange)
            OnStateChange(this);
        if (OnRequestDone)
            OnRequestDone(this, m_requestType, 0);
        return;
    }
    if (m_state == httpAborting)
        return;
    const bool lookingUp = m_state == httpLookingUp;
    SetState(httpAborting);
    Fail(404, "Connection aborted on request");
    m_errorCode = 3;
    m_sendingBody = false;
    if (lookingUp)
        m_socket->CancelLookup(); // its completion ends the request
    else if (m_socket->State() != net::wsClosed)
        m_socket->Abort();
    FinishRequest();
}

} // namespace http
