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

namespace net {

enum TTlsPhase : std::uint8_t { tlsHandshake, tlsChecking, tlsOpen, tlsFailed };

struct TTlsState {
    SSL* ssl = nullptr;
    TTlsPhase phase = tlsHandshake;
    TTlsParams params;
    bool closeNotifySent = false;
    bool closeNotifyReceived = false;
    bool writeWantsRead = false;
    ~TTlsState()
    {
        if (ssl)
            SSL_free(ssl);
    }
};

namespace {

// -- the BIO over the platform socket ------------------------------------------

platform::SOCKET BioSocket(BIO* b)
{
    return static_cast<platform::SOCKET>(reinterpret_cast<std::uintptr_t>(BIO_get_data(b)));
}

int BioWrite(BIO* b, const char* data, int len)
{
    BIO_clear_retry_flags(b);
    int n = wsk::send(BioSocket(b), data, len, 0);
    if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK)
        BIO_set_retry_write(b);
    return n;
}

int BioRead(BIO* b, char* data, int len)
{
    BIO_clear_retry_flags(b);
    int n = wsk::recv(BioSocket(b), data, len, 0);
    if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK)
        BIO_set_retry_read(b);
    return n;
}

long BioCtrl(BIO*, int cmd, long, void*)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* BioMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tallowin socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
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

// One context for the process: the system's trust store (SSL_CERT_FILE and
// SSL_CERT_DIR are honoured), TLS 1.2 at least. Verification results are
// judged after the handshake, so a failure can be shown to the user.
SSL_CTX* Context()
{
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (!c)
            return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(c);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        // A transfer's end is confirmed by the server's reply on the
        // protected control connection, not by the data connection's alert.
        SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(c, NewSession);
        return c;
    }();
    return ctx;
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
    unsigned char buf[16];
    return ::inet_pton(AF_INET, text.c_str(), buf) == 1 || ::inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

// -- the public side ---------------------------------------------------------------

void TCustomWSocket::StartTls(const TTlsParams& Params)
{
    if (m_state != wsConnected || m_hSocket == INVALID_SOCKET) {
        ReportError("StartTls: socket not connected");
        return;
    }
    if (m_tls) {
        ReportError("StartTls: TLS already started");
        return;
    }
    SSL_CTX* ctx = Context();
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl) {
        ReportError("StartTls: cannot create a TLS session");
        return;
    }
    auto st = std::make_shared<TTlsState>();
    st->ssl = ssl;
    st->params = Params;
    BIO* bio = BIO_new(BioMethod());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::uintptr_t>(m_hSocket)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, st.get());
    SSL_set_connect_state(ssl);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const std::string& host = Params.Host;
    if (TlsIsIpLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else if (!host.empty()) {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
    }
    if (Params.Sessions && *Params.Sessions)
        SSL_set_session(ssl, Params.Sessions->get());
    m_tls = std::move(st);
    m_tlsError.clear();
    // The first step runs from the loop, like every later one.
    platform::PostMessage(m_window, MsgSocketEvent, m_hSocket, platform::FD_WRITE);
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
    long verify = SSL_get_verify_result(keep->ssl);
    X509* cert = SSL_get0_peer_certificate(keep->ssl);
    if (verify != X509_V_OK || !cert) {
        TCertInfo info;
        info.Host = keep->params.Host;
        info.Port = keep->params.Port;
        info.ErrorCode = static_cast<int>(verify);
        info.Error = cert ? X509_verify_cert_error_string(verify) : "the server sent no certificate";
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
    case tlsOpen: return false;
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
        if (total > 0)
            break;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            platform::WSASetLastError(platform::WSAEWOULDBLOCK);
            return -1;
        }
        if (e == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0)
            return 0; // the raw end of the stream
        m_tlsError = FailureText(t.ssl, r);
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
