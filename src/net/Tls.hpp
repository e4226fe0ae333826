// Client-side TLS of the socket layer: the values its events carry. The
// machinery itself lives in TCustomWSocket (StartTls and friends) and is
// built on OpenSSL 3, whose headers stay out of the public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct ssl_session_st;

namespace net {

class TCustomWSocket;

// A resumable session.
using TTlsSessionRef = std::shared_ptr<ssl_session_st>;
// Where connections keep the newest session the server handed out and take
// the one they resume: an FTP session's control and data connections share
// one, as a server may take each session only once.
using TTlsSessionSlot = std::shared_ptr<TTlsSessionRef>;

// What StartTls needs: the name the certificate must carry (a host name or an
// IP literal), the port (shown to the user) and, to resume and keep
// sessions, a slot.
struct TTlsParams {
    std::string Host;
    std::string Port;
    TTlsSessionSlot Sessions;
};

// A server certificate that failed verification, as shown to the user.
struct TCertInfo {
    std::string Host;
    std::string Port;
    std::string Subject;     // "CN=example.org,O=Example"
    std::string Issuer;
    std::string NotBefore;   // "2026-01-31 12:00:00 UTC"
    std::string NotAfter;
    std::string Fingerprint; // SHA-256, upper-case hex pairs joined by ':'
    std::string Error;       // the verification error in words
    int ErrorCode = 0;       // X509_V_ERR_*
};

// Error codes of OnTlsDone and of the session close that follows a failure.
constexpr std::uint16_t kTlsErrHandshake = 20100;   // the handshake failed
constexpr std::uint16_t kTlsErrCertificate = 20101; // the certificate was refused

// Runs inside the socket's event, with the socket's notifications held: a
// handler may show a modal dialog. Accept is false on entry.
using TCertificateCheck = std::function<void(TCustomWSocket* Sender, const TCertInfo& Info, bool& Accept)>;
// 0 once the handshake is done and the certificate accepted, else an error
// code (the session then closes). TlsError() says why.
using TTlsDone = std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)>;

// "TLS 1.3" from OpenSSL's "TLSv1.3"; "AES-256-GCM" from a cipher's long name.
std::string TlsVersionText(const std::string& openSslVersion);

// True when text is an IPv4 or IPv6 literal (certificates name those as IP addresses).
bool TlsIsIpLiteral(const std::string& text);

} // namespace net
