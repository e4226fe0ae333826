// THttpCli: an HTTP/1.0 and 1.1 client driving one TWSocket through a
// request: look-up, connect (direct, through an HTTP proxy or a SOCKS proxy),
// request header and body, reply header, document body into a stream.
//
// Threading: everything runs on the thread that created the object, inside
// its event loop. Events fire from that loop; the synchronous operations
// (Get, Post, Put, Head) re-enter the loop until the request is over.
// Relocations (at most kMaxRelocations) and one Basic-auth retry for server
// and proxy happen inside one request.
//
// An exception escaping an event handler goes to CtrlSocket().OnBgException,
// whether the handler ran from a socket event or from the client's own
// messages; unless that handler clears CanClose the request is aborted.
#pragma once

#include "http/HttpParse.hpp"
#include "http/HttpStream.hpp"
#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace http {

class EHttpException : public std::exception {
public:
    EHttpException(std::string msg, int code) : m_msg(std::move(msg)), m_code(code) {}
    const char* what() const noexcept override { return m_msg.c_str(); }
    int ErrorCode() const { return m_code; }

private:
    std::string m_msg;
    int m_code;
};

enum THttpRequest : std::uint8_t { httpNone, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpState : std::uint8_t {
    httpReady = 0,
    httpStarting = 1,
    httpConnected = 2,
    httpLookingUp = 3,
    httpLookupDone = 4,
    httpWaitingHeader = 5,
    httpReceivingBody = 6,
    httpWaitingTunnel = 8,
    httpClosing = 9,
    httpAborting = 10,
};

enum THttpCliOption : std::uint8_t { httpoNoBasicAuth, httpoNoNTLMAuth };

class THttpCliOptions {
public:
    THttpCliOptions() = default;
    THttpCliOptions(std::initializer_list<THttpCliOption> opts)
    {
        for (auto o : opts)
            m_bits |= static_cast<std::uint8_t>(1u << o);
    }
    bool Has(THttpCliOption o) const { return (m_bits >> o) & 1u; }
    bool Empty() const { return m_bits == 0; }

private:
    std::uint8_t m_bits = 0;
};

// Authentication progress for server and proxy: not tried, sent, accepted.
enum THttpAuthState : std::uint8_t { authNone = 0, authSent = 1, authAccepted = 2 };

class THttpCli;

using TNotifyEvent = std::function<void(THttpCli* Sender)>;
using TErrorEvent = std::function<void(THttpCli* Sender, std::uint16_t ErrCode)>;
using TOnCommand = std::function<void(THttpCli* Sender, std::string& S)>;
using TDocDataEvent = std::function<void(THttpCli* Sender, const void* Buffer, std::int32_t Len)>;
using TCookieRcvdEvent = std::function<void(THttpCli* Sender, const std::string& Data, bool& Accept)>;
using THttpRequestDone = std::function<void(THttpCli* Sender, THttpRequest RqType, std::uint16_t ErrCode)>;
using TBeforeHeaderSendEvent =
    std::function<void(THttpCli* Sender, const std::string& Method, std::vector<std::string>& Headers)>;
using TStateChangeEvent = std::function<void(THttpCli* Sender)>;
using TCertificateCheckEvent = std::function<void(THttpCli* Sender, const net::TCertInfo& Info, bool& Accept)>;

class THttpCli {
public:
    static constexpr int kMaxRelocations = 20;
    static constexpr int kRcvBufSize = 8193; // 8190 usable for one header line
    // Window messages of the object's hidden window.
    static constexpr platform::UINT kMsgRequestDone = 0x401;
    static constexpr platform::UINT kMsgSetReady = 0x402;
    static constexpr platform::UINT kMsgStartConnect = 0x403;

    explicit THttpCli(std::string name = "HttpCli1");
    ~THttpCli();
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // Synchronous requests; they raise EHttpException for a final status
    // above 399 other than 401 and 407 (code = status).
    void Get() { RunRequest(httpGET); }
    void Post() { RunRequest(httpPOST); }
    void Put() { RunRequest(httpPUT); }
    void Head() { RunRequest(httpHEAD); }
    void RunRequest(THttpRequest rq);
    // Asynchronous start; OnRequestDone reports the end.
    void StartRequest(THttpRequest rq);
    void Abort();
    void Close() { StartRequest(httpCLOSE); }

    // Properties.
    const std::string& Name() const { return m_name; }
    const std::string& URL() const { return m_url; }
    void SetURL(const std::string& v) { m_url = v; }
    const std::string& LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const std::string& v) { m_localAddr = v; }
    const std::string& Proxy() const { return m_proxy; }
    void SetProxy(const std::string& v) { m_proxy = v; }
    const std::string& ProxyPort() const { return m_proxyPort; }
    void SetProxyPort(const std::string& v) { m_proxyPort = v; }
    const std::string& Sender() const { return m_sender; }
    void SetSender(const std::string& v) { m_sender = v; }
    const std::string& Agent() const { return m_agent; }
    void SetAgent(const std::string& v) { m_agent = v; }
    const std::string& Accept() const { return m_accept; }
    void SetAccept(const std::string& v) { m_accept = v; }
    const std::string& AcceptLanguage() const { return m_acceptLanguage; }
    void SetAcceptLanguage(const std::string& v) { m_acceptLanguage = v; }
    const std::string& Reference() const { return m_reference; }
    void SetReference(const std::string& v) { m_reference = v; }
    const std::string& Connection() const { return m_connection; }
    void SetConnection(const std::string& v) { m_connection = v; }
    const std::string& ProxyConnection() const { return m_proxyConnection; }
    void SetProxyConnection(const std::string& v) { m_proxyConnection = v; }
    const std::string& Username() const { return m_username; }
    void SetUsername(const std::string& v) { m_username = v; }
    const std::string& Password() const { return m_password; }
    void SetPassword(const std::string& v) { m_password = v; }
    const std::string& ProxyUsername() const { return m_proxyUsername; }
    void SetProxyUsername(const std::string& v) { m_proxyUsername = v; }
    const std::string& ProxyPassword() const { return m_proxyPassword; }
    void SetProxyPassword(const std::string& v) { m_proxyPassword = v; }
    bool NoCache() const { return m_noCache; }
    void SetNoCache(bool v) { m_noCache = v; }
    // Days since 30 December 1899 (see EncodeDateTime); 0 = not sent.
    double ModifiedSince() const { return m_modifiedSince; }
    void SetModifiedSince(double v) { m_modifiedSince = v; }
    const std::string& Cookie() const { return m_cookie; }
    void SetCookie(const std::string& v) { m_cookie = v; }
    const std::string& ContentTypePost() const { return m_contentTypePost; }
    void SetContentTypePost(const std::string& v) { m_contentTypePost = v; }
    // The range of the next request. A request takes and clears them, and
    // uses that range for all its attempts (relocations, auth retries). A
    // reply's Content-Range fills them again for the caller to read; values
    // filled that way are not sent with the next request.
    const std::string& ContentRangeBegin() const { return m_contentRangeBegin; }
    void SetContentRangeBegin(const std::string& v)
    {
        m_contentRangeBegin = v;
        m_rangeBeginFromReply = false;
    }
    const std::string& ContentRangeEnd() const { return m_contentRangeEnd; }
    void SetContentRangeEnd(const std::string& v)
    {
        m_contentRangeEnd = v;
        m_rangeEndFromReply = false;
    }
    const std::string& AcceptRanges() const { return m_acceptRanges; }
    bool MultiThreaded() const { return m_multiThreaded; }
    void SetMultiThreaded(bool v);
    const std::string& RequestVer() const { return m_requestVer; }
    void SetRequestVer(const std::string& v); // "1.0" or "1.1", else EHttpException code 5
    bool FollowRelocation() const { return m_followRelocation; }
    void SetFollowRelocation(bool v) { m_followRelocation = v; }
    THttpCliOptions Options() const { return m_options; }
    void SetOptions(THttpCliOptions v) { m_options = v; }
    const std::string& SocksServer() const { return m_socksServer; }
    void SetSocksServer(const std::string& v) { m_socksServer = v; }
    const std::string& SocksLevel() const { return m_socksLevel; }
    void SetSocksLevel(const std::string& v) { m_socksLevel = v; }
    const std::string& SocksPort() const { return m_socksPort; }
    void SetSocksPort(const std::string& v) { m_socksPort = v; }
    const std::string& SocksUsercode() const { return m_socksUsercode; }
    void SetSocksUsercode(const std::string& v) { m_socksUsercode = v; }
    const std::string& SocksPassword() const { return m_socksPassword; }
    void SetSocksPassword(const std::string& v) { m_socksPassword = v; }
    net::TSocksAuthentication SocksAuthentication() const { return m_socksAuthentication; }
    void SetSocksAuthentication(net::TSocksAuthentication v) { m_socksAuthentication = v; }

    // Run-time state.
    THttpRequest RequestType() const { return m_requestType; }
    THttpState State() const { return m_state; }
    TStream* BodyOutStream() const { return m_bodyOutStream; }
    void SetBodyOutStream(TStream* s) { m_bodyOutStream = s; }
    TStream* BodyInStream() const { return m_bodyInStream; }
    void SetBodyInStream(TStream* s) { m_bodyInStream = s; }
    std::int32_t ReplyStatus() const { return m_replyStatus; }
    const std::string& ReplyText() const { return m_replyText; }
    const std::string& ReplyVersion() const { return m_replyVersion; }
    std::int64_t BodyLength() const { return m_bodyLength; }
    const std::string& BodyType() const { return m_bodyType; }
    const std::string& TransferEncoding() const { return m_transferEncoding; }
    std::int64_t BodyBytesRead() const { return m_bodyBytesRead; }
    const std::string& DocumentName() const { return m_documentName; }
    const std::string& CurrentLocation() const { return m_currentLocation; }
    const std::vector<std::string>& ReplyHeaderLines() const { return m_replyHeaderLines; }
    const std::vector<std::string>& Challenges() const { return m_challenges; }
    bool CloseAfterReply() const { return m_closeAfterReply; }
    bool RelocationPending() const { return m_relocationPending; }
    THttpAuthState AuthBasicState() const { return m_authBasicState; }
    THttpAuthState ProxyAuthBasicState() const { return m_proxyAuthBasicState; }
    std::uint16_t LastErrorCode() const { return m_errorCode; }
    net::TWSocket& CtrlSocket() { return *m_socket; }

    // Events (empty slots are skipped).
    TNotifyEvent OnTrace;
    TErrorEvent OnSessionConnected;
    TErrorEvent OnSessionClosed;
    TNotifyEvent OnHeaderData;
    TOnCommand OnCommand;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TStateChangeEvent OnStateChange;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnLocationChange;
    TCookieRcvdEvent OnCookie;
    TNotifyEvent OnDataPush;
    TNotifyEvent OnDataPush2;
    net::TSessionConnected OnSocksConnected;
    net::TSocksAuthStateEvent OnSocksAuthState;
    net::TSocksErrorEvent OnSocksError;
    TNotifyEvent OnSocketError;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;
    // An https server's certificate that failed verification. Accept is
    // false on entry; no handler: refused, and the request fails.
    // The request's ErrorCode then tells net::kTlsErrCertificate (refused)
    // from net::kTlsErrHandshake (the handshake failed); an https body that
    // ended without close_notify or with a failed record fails with
    // net::kTlsErrTruncated or net::kTlsErrRecord. Through a proxy, TLS
    // starts with the target's name once the CONNECT tunnel is up; a reply to
    // CONNECT other than 2xx or 407 fails the request (its body is not the
    // document, its Location is not followed).
    TCertificateCheckEvent OnCertificateCheck;
    // Trust anchors besides the system store (see net::TTlsParams).
    const std::string& CaFile() const { return m_caFile; }
    void SetCaFile(const std::string& v) { m_caFile = v; }
    const std::string& CaPath() const { return m_caPath; }
    void SetCaPath(const std::string& v) { m_caPath = v; }
    // "TLS 1.3, AES-256-GCM" while the connection is encrypted, else empty.
    std::string TlsDescription() const
    {
        return m_socket->TlsEstablished() ? m_socket->TlsVersion() + ", " + m_socket->TlsCipher() : std::string();
    }

    // The last header line received (valid inside OnHeaderData).
    const std::string& LastResponse() const { return m_lastResponse; }

private:
    friend class THttpCliTestAccess; // feeds reply bytes without a socket (fuzzing)

    void SetState(THttpState s);
    void Trigger(const TNotifyEvent& ev) { if (ev) ev(this); }
    // Runs HandleMessage; an escaping exception goes to HandleBgException.
    void WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void HandleMessage(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void HandleBgException(const std::exception& e);
    void Post(platform::UINT msg);

    void PrepareTarget(const std::string& url);
    void ResetReplyState();
    void ConnectPhase();
    void FinishRequest();              // state 0 through kMsgSetReady
    void Fail(int status, const std::string& text);
    void ProtocolFailure(const std::string& text);
    void StartTargetTls();
    void SendRequestHeader();
    void SendTunnelRequest();
    void SendBodyBlock();
    void ProcessHeaderBytes();
    void ProcessHeaderLine(const char* line, std::size_t len, std::size_t lineBytes);
    void HeaderComplete();
    void HandleBodyBytes(const char* data, std::size_t len);
    bool WriteBody(const char* data, std::size_t len);
    void DocumentEnd();
    void ProceedRelocation();
    void StartRelocated();
    void CutBackStreams();
    bool CanReuseConnection() const;
    void RestartSameLocation();
    bool AuthRetry();
    std::string AuthLine(const char* name, const std::string& user, const std::string& pass) const;

    // Socket handlers.
    void SocketDataAvailable(std::uint16_t err);
    void DeliverReceived(const char* data, std::size_t len); // as if received
    void SocketSessionConnected(std::uint16_t err);
    void SocketSessionClosed(std::uint16_t err);
    void SocketDataSent(std::uint16_t err);
    void SocketDnsLookupDone(std::uint16_t err);
    void SocketError();
    void SocketTlsDone(std::uint16_t err);

    std::string m_name;
    std::unique_ptr<net::TWSocket> m_socket;
    platform::HWND m_hwnd = 0;

    std::string m_url;
    std::string m_localAddr = "0.0.0.0";
    std::string m_proxy;
    std::string m_proxyPort = "80";
    std::string m_sender;
    std::string m_agent = "Mozilla/3.0 (compatible)";
    std::string m_accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string m_acceptLanguage;
    std::string m_reference;
    std::string m_connection;
    std::string m_proxyConnection;
    std::string m_username;
    std::string m_password;
    std::string m_proxyUsername;
    std::string m_proxyPassword;
    bool m_noCache = false;
    double m_modifiedSince = 0;
    std::string m_cookie;
    std::string m_contentTypePost = "application/x-www-form-urlencoded";
    std::string m_contentRangeBegin;
    std::string m_contentRangeEnd;
    bool m_rangeBeginFromReply = false;
    bool m_rangeEndFromReply = false;
    std::string m_requestRangeBegin; // the range of the request in progress
    std::string m_requestRangeEnd;
    std::string m_acceptRanges;
    bool m_multiThreaded = false;
    std::string m_requestVer = "1.0";
    bool m_followRelocation = true;
    THttpCliOptions m_options;
    std::string m_socksServer;
    std::string m_socksLevel = "5";
    std::string m_socksPort;
    std::string m_socksUsercode;
    std::string m_socksPassword;
    net::TSocksAuthentication m_socksAuthentication = net::socksNoAuthentication;

    THttpRequest m_requestType = httpNone;
    THttpState m_state = httpReady;
    TStream* m_bodyOutStream = nullptr;
    TStream* m_bodyInStream = nullptr;
    std::int32_t m_replyStatus = 0;
    std::string m_replyText;
    std::string m_replyVersion;
    std::int64_t m_bodyLength = -1;
    std::string m_bodyType;
    std::string m_transferEncoding;
    std::int64_t m_bodyBytesRead = 0;
    std::string m_documentName;
    std::string m_currentLocation;
    std::vector<std::string> m_replyHeaderLines;
    std::vector<std::string> m_challenges;
    std::string m_lastResponse;
    bool m_closeAfterReply = true;
    bool m_relocationPending = false;
    int m_relocations = 0;
    THttpAuthState m_authBasicState = authNone;
    THttpAuthState m_proxyAuthBasicState = authNone;
    std::uint16_t m_errorCode = 0;

    // The target of the current request.
    std::string m_targetProto;   // "http" when the URL has none
    std::string m_targetHost;
    std::string m_targetPort;    // explicit or default
    std::string m_targetPath;    // path with query, "/" when empty
    std::string m_requestPath;   // what goes into the request line
    std::string m_connectHost;
    std::string m_connectPort;
    // The open connection, for reuse.
    std::string m_connHost;
    std::string m_connPort;
    std::string m_connProto;
    bool m_tunnelEstablished = false;
    std::string m_tunnelHost;        // where the established tunnel leads
    bool m_tunnelTlsPending = false; // the proxy said yes: TLS starts next
    std::string m_caFile;
    std::string m_caPath;
    std::string m_tunnelPort;
    bool m_reusedConnection = false; // this attempt went out on a kept-alive connection

    // Reply parsing.
    char m_rcvBuf[kRcvBufSize];
    std::size_t m_rcvCount = 0;
    std::vector<char> m_bodyBuf; // large receives while in the body
    bool m_headerBegun = false;
    bool m_headerEnded = false;
    bool m_firstLine = true;
    bool m_chunked = false;
    TChunkDecoder m_chunks;
    bool m_docBegun = false;
    bool m_docEnded = false;
    std::int64_t m_bytesWritten = 0; // to BodyOutStream for this reply
    std::int64_t m_bodySent = 0;     // from BodyInStream for this request
    bool m_sendingBody = false;
    bool m_inConnect = false;
    bool m_connectError = false;
    bool m_donePending = false;      // kMsgRequestDone posted, not yet delivered
    bool m_requestEnded = false;     // FinishRequest already called for this request
    bool m_failed = false;           // the request ends with an error of ours
    std::string m_socksErrorText;
    platform::WPARAM m_serial = 0;   // attempt number carried by posted messages
};

} // namespace http
