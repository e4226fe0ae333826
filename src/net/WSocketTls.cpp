// Client-side TLS of the socket class chain, on OpenSSL 3. The record layer
// reads and writes through the platform's own calls (a BIO of ours), so the
// loop's notifications are armed exactly as for a plain socket; the handshake
// is a step run from those notifications.
#include "net/Binding.hpp"
#include "net/WSocket.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

namespace net {

enum TTlsPhase : std::uint8_t { tlsHandshake, tlsChecking, tlsOpen, tlsFailed };

struct TTlsState {
    SSL* ssl = nullptr;
    TTlsPhase phase = tlsHandshake;
    TTlsParams params;
    bool closeNotifySent = false;
    bool closeNotifyReceived = false;
    bool writeWantsRead = false;
    bool readWantsWrite = false;
    // Problems the chain verification met, in order, each once.
    std::vector<int> chainErrors;
    ~TTlsState()
    {
        if (ssl)
            SSL_free(ssl);
    }
};

namespace {

// -- the BIO over the platform socket ------------------------------------------

struct TBioData {
    platform::SOCKET socket;
    // The peer's end of the stream was read: OpenSSL asks (BIO_eof) to tell
    // a close without close_notify from an error of its own.
    bool eof = false;
};

TBioData* Data(BIO* b) { return static_cast<TBioData*>(BIO_get_data(b)); }

int BioWrite(BIO* b, const char* data, int len)
{
    BIO_clear_retry_flags(b);
    int n = wsk::send(Data(b)->socket, data, len, 0);
    if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK)
        BIO_set_retry_write(b);
    return n;
}

int BioRead(BIO* b, char* data, int len)
{
    BIO_clear_retry_flags(b);
    int n = wsk::recv(Data(b)->socket, data, len, 0);
    if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK)
        BIO_set_retry_read(b);
    else if (n <= 0)
        Data(b)->eof = true; // an end or a reset: no more bytes will come
    return n;
}

long BioCtrl(BIO* b, int cmd, long, void*)
{
    switch (cmd) {
    case BIO_CTRL_FLUSH: return 1;
    case BIO_CTRL_EOF: return Data(b) && Data(b)->eof ? 1 : 0;
    default: return 0;
    }
}

int BioDestroy(BIO* b)
{
    delete Data(b);
    BIO_set_data(b, nullptr);
    return 1;
}

BIO_METHOD* BioMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tallowin socket");
        if (!m)
            return m;
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_destroy(m, BioDestroy);
        return m;
    }();
    return method;
}

// -- the context ----------------------------------------------------------------

// A session the server handed out; kept only by connections that asked.
int NewSession(SSL* ssl, SSL_SESSION* session)
{
    auto* st = static_cast<TTlsState*>(SSL_get_app_data(ssl));
    if (!st || !st->params.Sessions)
        return 0;
    *st->params.Sessions = TTlsSessionRef(session, SSL_SESSION_free);
    return 1;
}

// Every problem of the chain is noted and verification goes on, so the user
// sees all of them; the verdict is given after the handshake.
int VerifyNote(int ok, X509_STORE_CTX* store)
{
    if (ok)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* st = ssl ? static_cast<TTlsState*>(SSL_get_app_data(ssl)) : nullptr;
    const int err = X509_STORE_CTX_get_error(store);
    if (st && err != X509_V_OK) {
        bool seen = false;
        for (int e : st->chainErrors)
            seen = seen || e == err;
        if (!seen)
            st->chainErrors.push_back(err);
    }
    return 1;
}

// A context per set of trust anchors: the system's store, and the CA file or
// folder the caller added; TLS 1.2 at least. An end of the stream without
// close_notify is reported as such (a truncated transfer must not pass as
// whole).
SSL_CTX* Context(const std::string& caFile, const std::string& caPath, std::string& why)
{
    // Released at exit; a session still alive then holds its own reference.
    struct Contexts : std::map<std::pair<std::string, std::string>, SSL_CTX*> {
        ~Contexts()
        {
            for (auto& [key, ctx] : *this)
                SSL_CTX_free(ctx);
        }
    };
    static std::mutex lock;
    static Contexts contexts;
    std::lock_guard<std::mutex> hold(lock);
    auto it = contexts.find({caFile, caPath});
    if (it != contexts.end())
        return it->second;
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (!c) {
        why = "cannot create a TLS context";
        return c;
    }
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(c);
    if ((!caFile.empty() || !caPath.empty()) &&
        SSL_CTX_load_verify_locations(c, caFile.empty() ? nullptr : caFile.c_str(),
                                      caPath.empty() ? nullptr : caPath.c_str()) != 1) {
        ERR_clear_error();
        SSL_CTX_free(c);
        why = "cannot read the CA certificates " + (caFile.empty() ? caPath : caFile);
        return nullptr;
    }
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, VerifyNote);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(c, NewSession);
    contexts[{caFile, caPath}] = c;
    return c;
}

// True when the failure of the last call is the peer's end of the stream
// without a close_notify (OpenSSL reports it as an error of its own).
bool UnexpectedEof(int sslError)
{
    unsigned long code = ERR_peek_last_error();
    if (sslError == SSL_ERROR_SYSCALL && code == 0)
        return true;
    return sslError == SSL_ERROR_SSL && ERR_GET_LIB(code) == ERR_LIB_SSL &&
           ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

std::string CertErrorText(int code)
{
    switch (code) {
    case kCertNoCertificate: return "the server sent no certificate";
    case kCertNoHostName: return "there is no host name to check the certificate against";
    default: return X509_verify_cert_error_string(code);
    }
}

std::string BioText(BIO* b)
{
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    return n > 0 ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

std::string NameText(const X509_NAME* name)
{
    BIO* b = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(b, name, 0, XN_FLAG_RFC2253);
    std::string s = BioText(b);
    BIO_free(b);
    return s;
}

std::string TimeText(const ASN1_TIME* t)
{
    std::tm tm{};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1)
        return {};
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string Fingerprint(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!X509_digest(cert, EVP_sha256(), md, &n))
        return {};
    std::string s;
    char hex[4];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
        s += hex;
    }
    return s;
}

// The reason of a failed TLS call, in words.
std::string FailureText(SSL* ssl, int ret)
{
    int e = SSL_get_error(ssl, ret);
    unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        ERR_clear_error();
        // "error:0A000102:SSL routines::unsupported protocol" -> the last part.
        std::string s = buf;
        auto colon = s.rfind(':');
        return colon != std::string::npos && colon + 1 < s.size() ? s.substr(colon + 1) : s;
    }
    if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN)
        return "the connection was closed during the TLS handshake";
    return "TLS error " + std::to_string(e);
}

} // namespace

std::string TlsVersionText(const std::string& v)
{
    if (v.rfind("TLSv", 0) == 0)
        return "TLS " + v.substr(4);
    return v;
}

bool TlsIsIpLiteral(const std::string& text)
{
    std::string t = text;
    if (t.size() > 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    unsigned char buf[16];
    return ::inet_pton(AF_INET, t.c_str(), buf) == 1 || ::inet_pton(AF_INET6, t.c_str(), buf) == 1;
}

std::string TlsCheckName(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    if (host.size() > 1 && host.back() == '.' && !TlsIsIpLiteral(host))
        return host.substr(0, host.size() - 1);
    return host;
}

static_assert(kCertNotYetValid == X509_V_ERR_CERT_NOT_YET_VALID && kCertExpired == X509_V_ERR_CERT_HAS_EXPIRED &&
              kCertSelfSigned == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT &&
              kCertSelfSignedInChain == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN &&
              kCertUnknownIssuer == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY &&
              kCertUntrustedLeaf == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE &&
              kCertHostMismatch == X509_V_ERR_HOSTNAME_MISMATCH && kCertIpMismatch == X509_V_ERR_IP_ADDRESS_MISMATCH);

// -- the public side ---------------------------------------------------------------

bool TCustomWSocket::StartTls(const TTlsParams& Params)
{
    if (m_state != wsConnected || m_hSocket == INVALID_SOCKET) {
        ReportError("StartTls: socket not connected");
        return false;
    }
    if (m_tls) {
        ReportError("StartTls: TLS already started");
        return false;
    }
    m_tlsStreamError.clear();
    m_tlsStreamCode = 0;
    // Bytes that came in clear before the handshake are nobody's word: a
    // man in the middle could prepend them to the encrypted stream.
    if (PlaintextHeldCount() > 0) {
        m_tlsError = "unencrypted data was received before the TLS handshake";
        m_lastError = kTlsErrPlaintext;
        ReportError("StartTls: " + m_tlsError);
        return false;
    }
    std::string why = "cannot create a TLS session";
    SSL_CTX* ctx = Context(Params.CaFile, Params.CaPath, why);
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    BIO* bio = ssl && BioMethod() ? BIO_new(BioMethod()) : nullptr;
    if (!bio) {
        if (ssl)
            SSL_free(ssl);
        m_tlsError = why;
        ReportError("StartTls: " + why);
        return false;
    }
    auto st = std::make_shared<TTlsState>();
    st->ssl = ssl;
    st->params = Params;
    BIO_set_data(bio, new TBioData{static_cast<platform::SOCKET>(m_hSocket)});
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, st.get());
    SSL_set_connect_state(ssl);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The name is checked after the handshake, on its own (TlsEstablishedStep);
    // an IP literal is never sent as SNI.
    const std::string name = TlsCheckName(Params.Host);
    if (!name.empty() && !TlsIsIpLiteral(name))
        SSL_set_tlsext_host_name(ssl, name.c_str());
    if (Params.Sessions && *Params.Sessions)
        SSL_set_session(ssl, Params.Sessions->get());
    m_tls = std::move(st);
    m_tlsError.clear();
    // The first step runs from the loop, like every later one.
    platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
    return true;
}

bool TCustomWSocket::TlsEstablished() const { return m_tls && m_tls->phase == tlsOpen; }

std::string TCustomWSocket::TlsVersion() const
{
    return TlsEstablished() ? TlsVersionText(SSL_get_version(m_tls->ssl)) : std::string();
}

std::string TCustomWSocket::TlsCipher() const
{
    if (!TlsEstablished())
        return {};
    const SSL_CIPHER* c = SSL_get_current_cipher(m_tls->ssl);
    int nid = c ? SSL_CIPHER_get_cipher_nid(c) : NID_undef;
    const char* ln = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
    std::string s = ln ? ln : (c ? SSL_CIPHER_get_name(c) : "");
    for (char& ch : s)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

bool TCustomWSocket::TlsSessionReused() const { return TlsEstablished() && SSL_session_reused(m_tls->ssl) == 1; }

TTlsSessionRef TCustomWSocket::TlsSession() const
{
    return m_tls && m_tls->params.Sessions ? *m_tls->params.Sessions : TTlsSessionRef();
}

// -- the steps -------------------------------------------------------------------------

void TCustomWSocket::TlsStep()
{
    auto keep = m_tls;
    if (!keep || keep->phase != tlsHandshake)
        return;
    ERR_clear_error();
    int r = SSL_do_handshake(keep->ssl);
    if (r == 1) {
        TlsEstablishedStep();
        return;
    }
    int e = SSL_get_error(keep->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return; // the loop's next notification brings the next step
    TlsFail(kTlsErrHandshake, FailureText(keep->ssl, r));
}

void TCustomWSocket::TlsEstablishedStep()
{
    auto keep = m_tls;
    auto alive = m_alive;
    X509* cert = SSL_get0_peer_certificate(keep->ssl);
    std::vector<int> problems;
    if (!cert) {
        problems.push_back(kCertNoCertificate);
    } else {
        problems = keep->chainErrors;
        const long verify = SSL_get_verify_result(keep->ssl);
        if (verify != X509_V_OK && problems.empty())
            problems.push_back(static_cast<int>(verify));
        // The name on its own: a chain problem must not hide a mismatch.
        // No partial wildcards, and no subject CN when there are names.
        const std::string name = TlsCheckName(keep->params.Host);
        const unsigned flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
        if (name.empty())
            problems.push_back(kCertNoHostName);
        else if (TlsIsIpLiteral(name)) {
            if (X509_check_ip_asc(cert, name.c_str(), flags) != 1)
                problems.push_back(kCertIpMismatch);
        } else if (X509_check_host(cert, name.data(), name.size(), flags, nullptr) != 1) {
            problems.push_back(kCertHostMismatch);
        }
    }
    if (!problems.empty()) {
        TCertInfo info;
        info.Host = keep->params.Host;
        info.Port = keep->params.Port;
        info.ErrorCodes = problems;
        info.ErrorCode = problems.front();
        for (int code : problems) {
            info.Errors.push_back(CertErrorText(code));
            info.Error += (info.Error.empty() ? "" : "; ") + info.Errors.back();
        }
        if (cert) {
            info.Subject = NameText(X509_get_subject_name(cert));
            info.Issuer = NameText(X509_get_issuer_name(cert));
            info.NotBefore = TimeText(X509_get0_notBefore(cert));
            info.NotAfter = TimeText(X509_get0_notAfter(cert));
            info.Fingerprint = Fingerprint(cert);
        }
        bool accept = false;
        if (cert && OnCertificateCheck && !m_destroying) {
            // The handler may run a modal loop: nothing of this socket runs meanwhile.
            keep->phase = tlsChecking;
            Pause();
            OnCertificateCheck(this, info, accept);
            if (!*alive || m_tls != keep)
                return; // closed or destroyed while the user decided
            Resume();
            keep->phase = tlsHandshake;
        }
        if (!accept) {
            TlsFail(kTlsErrCertificate, "certificate refused: " + info.Error);
            return;
        }
    }
    keep->phase = tlsOpen;
    // Decrypted bytes already held, and bytes queued during the handshake,
    // go on from the loop as after a plain connect.
    if (SSL_pending(keep->ssl) > 0)
        platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_READ);
    platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
    Fire(OnTlsDone, std::uint16_t{0});
}

void TCustomWSocket::TlsFail(std::uint16_t Code, const std::string& Why)
{
    auto keep = m_tls;
    auto alive = m_alive;
    keep->phase = tlsFailed;
    m_tlsError = Why;
    m_lastError = Code;
    Fire(OnTlsDone, Code);
    if (!*alive || m_tls != keep || m_state == wsClosed)
        return;
    DoClose(true, Code);
}

bool TCustomWSocket::TlsReadEvent(std::uint16_t)
{
    switch (m_tls->phase) {
    case tlsHandshake: TlsStep(); return true;
    case tlsOpen:
        if (m_tls->writeWantsRead) {
            m_tls->writeWantsRead = false;
            platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
        }
        return false;
    default: return true;
    }
}

bool TCustomWSocket::TlsWriteEvent(std::uint16_t)
{
    switch (m_tls->phase) {
    case tlsHandshake: TlsStep(); return true;
    case tlsOpen:
        // A read that had to write (a key update) goes on now.
        if (m_tls->readWantsWrite) {
            m_tls->readWantsWrite = false;
            platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_READ);
        }
        return false;
    default: return true;
    }
}

void TCustomWSocket::TlsCloseEvent(std::uint16_t& Error)
{
    if (m_tls->phase == tlsHandshake) {
        TlsFail(Error ? Error : kTlsErrHandshake, "the server closed the connection during the TLS handshake");
        return;
    }
    // After the peer's close_notify the stream ended whole: a reset that our
    // answering alert drew from a peer already gone loses nothing.
    if (m_tls->closeNotifyReceived)
        Error = 0;
}

void TCustomWSocket::TlsStreamFailed(std::uint16_t Code, const std::string& Why)
{
    if (m_tlsStreamCode != 0)
        return; // the first failure is the cause
    m_tlsStreamCode = Code;
    m_tlsStreamError = Why;
}

// After the peer's close: were the bytes read the whole stream? A peer that
// closes without close_notify may have been cut off by anyone on the path.
void TCustomWSocket::TlsCheckEnd()
{
    TTlsState& t = *m_tls;
    if (t.phase != tlsOpen || t.closeNotifyReceived || m_tlsStreamCode != 0)
        return;
    char c;
    ERR_clear_error();
    const int r = SSL_peek(t.ssl, &c, 1);
    if (r > 0)
        return; // data the reader left: its own reads will meet the end
    const int e = SSL_get_error(t.ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
        t.closeNotifyReceived = true;
        TlsCloseNotify();
    } else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        if (UnexpectedEof(e)) {
            ERR_clear_error();
            TlsStreamFailed(kTlsErrTruncated, "the connection was closed without a TLS close_notify");
        } else {
            TlsStreamFailed(kTlsErrRecord, FailureText(t.ssl, r));
        }
    }
}

void TCustomWSocket::TlsCloseNotify()
{
    if (m_tls->phase != tlsOpen || m_tls->closeNotifySent)
        return;
    m_tls->closeNotifySent = true;
    ERR_clear_error();
    SSL_shutdown(m_tls->ssl); // one alert out; the peer's answer is not awaited
}

int TCustomWSocket::TlsPendingCount() const
{
    return m_tls && m_tls->phase == tlsOpen ? SSL_pending(m_tls->ssl) : 0;
}

// Fills the buffer from as many records as are there, so one notification
// moves as much as a plain receive would.
int TCustomWSocket::TlsRecv(void* Buffer, int Len, int Flags)
{
    TTlsState& t = *m_tls;
    if (t.phase != tlsOpen) {
        platform::WSASetLastError(t.phase == tlsFailed ? platform::WSAECONNABORTED : platform::WSAEWOULDBLOCK);
        return -1;
    }
    auto* out = static_cast<char*>(Buffer);
    int total = 0;
    while (total < Len) {
        ERR_clear_error();
        int r = (Flags & MSG_PEEK) ? SSL_peek(t.ssl, out, Len) : SSL_read(t.ssl, out + total, Len - total);
        if (r > 0) {
            total += r;
            if (Flags & MSG_PEEK)
                break;
            continue;
        }
        int e = SSL_get_error(t.ssl, r);
        // The peer's close_notify is answered at once: some servers wait
        // for ours before they close the connection and send their reply.
        if (e == SSL_ERROR_ZERO_RETURN && !(Flags & MSG_PEEK)) {
            t.closeNotifyReceived = true;
            TlsCloseNotify();
            // Nothing after the alert is data; bytes left would keep a
            // receive loop finding "more to read" for ever.
            char junk[4096];
            for (int i = 0; i < 256 && wsk::recv(m_hSocket, junk, sizeof junk, 0) > 0; ++i) {
            }
        }
        if (e == SSL_ERROR_WANT_WRITE && !(Flags & MSG_PEEK))
            t.readWantsWrite = true;
        const bool wouldBlock = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
        // Anything else ends the stream unsoundly: an end without
        // close_notify, or a record that failed. Neither is an end of data.
        // Noted now, while OpenSSL still says which: bytes read before it
        // are delivered first, and the next receive fails.
        const bool failed = !wouldBlock && e != SSL_ERROR_ZERO_RETURN;
        if (failed && UnexpectedEof(e)) {
            ERR_clear_error();
            TlsStreamFailed(kTlsErrTruncated, "the connection was closed without a TLS close_notify");
        } else if (failed) {
            TlsStreamFailed(kTlsErrRecord, FailureText(t.ssl, r));
        }
        if (total > 0)
            break;
        if (wouldBlock) {
            platform::WSASetLastError(platform::WSAEWOULDBLOCK);
            return -1;
        }
        if (e == SSL_ERROR_ZERO_RETURN)
            return 0;
        platform::WSASetLastError(platform::WSAECONNRESET);
        return -1;
    }
    // Decrypted bytes left behind raise no notification of their own.
    if (!(Flags & MSG_PEEK) && SSL_pending(t.ssl) > 0)
        platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_READ);
    return total;
}

// Writes record after record until the platform would block; what is not
// taken stays in the caller's queue and is offered again, as OpenSSL wants.
int TCustomWSocket::TlsSend(const void* Data, int Len)
{
    TTlsState& t = *m_tls;
    if (t.phase != tlsOpen) {
        platform::WSASetLastError(t.phase == tlsFailed ? platform::WSAECONNABORTED : platform::WSAEWOULDBLOCK);
        return -1;
    }
    const auto* p = static_cast<const char*>(Data);
    int total = 0;
    while (total < Len) {
        ERR_clear_error();
        int r = SSL_write(t.ssl, p + total, Len - total);
        if (r > 0) {
            total += r;
            continue;
        }
        int e = SSL_get_error(t.ssl, r);
        if (e == SSL_ERROR_WANT_READ)
            t.writeWantsRead = true;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (total > 0)
                return total;
            platform::WSASetLastError(platform::WSAEWOULDBLOCK);
            return -1;
        }
        if (total > 0)
            return total;
        m_tlsError = FailureText(t.ssl, r);
        platform::WSASetLastError(platform::WSAECONNRESET);
        return -1;
    }
    return total;
}

} // namespace net
