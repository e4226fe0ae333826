// Client-side TLS of the socket layer: the values its events carry. The
// machinery itself lives in TCustomWSocket (StartTls and friends) and is
// built on OpenSSL 3, whose headers stay out of the public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
// IP literal, "[::1]" and "host." accepted; never empty), the port (shown to
// the user) and, to resume and keep sessions, a slot.
//
// Trust anchors: the system store, which OpenSSL locates from SSL_CERT_FILE
// and SSL_CERT_DIR in the process environment, read once per process when
// the first connection starts TLS; plus, when given, CaFile (PEM, one or more
// certificates) and CaPath (a folder hashed as by "openssl rehash"). Each
// distinct CaFile/CaPath pair is loaded once per process.
struct TTlsParams {
    std::string Host;
    std::string Port;
    TTlsSessionSlot Sessions;
    std::string CaFile;
    std::string CaPath;
};

// Verification problems a certificate may show (OpenSSL's X509_V_ERR_* values).
constexpr int kCertOk = 0;
constexpr int kCertNotYetValid = 9;
constexpr int kCertExpired = 10;
constexpr int kCertSelfSigned = 18;
constexpr int kCertSelfSignedInChain = 19;
constexpr int kCertUnknownIssuer = 20;
constexpr int kCertUntrustedLeaf = 21;
constexpr int kCertHostMismatch = 62;
constexpr int kCertIpMismatch = 64;
// Not OpenSSL's: the server sent no certificate, or there was no name to check it against.
constexpr int kCertNoCertificate = -1;
constexpr int kCertNoHostName = -2;

// A server certificate that failed verification, as shown to the user.
struct TCertInfo {
    std::string Host;
    std::string Port;
    std::string Subject;     // "CN=example.org,O=Example"
    std::string Issuer;
    std::string NotBefore;   // "2026-01-31 12:00:00 UTC"
    std::string NotAfter;
    std::string Fingerprint; // SHA-256, upper-case hex pairs joined by ':'
    std::string Error;       // every problem in words, joined by "; "
    int ErrorCode = 0;       // the first problem (kCert*)
    // Every problem found: the chain's, then the name's, each once.
    std::vector<int> ErrorCodes;
    std::vector<std::string> Errors;
    // True for an FTP data connection's certificate (the control connection's was checked first).
    bool DataConnection = false;
    bool Has(int code) const
    {
        for (int c : ErrorCodes)
            if (c == code)
                return true;
        return false;
    }
};

// Error codes of OnTlsDone and of the session close that follows a failure.
constexpr std::uint16_t kTlsErrHandshake = 20100;   // the handshake failed
constexpr std::uint16_t kTlsErrCertificate = 20101; // the certificate was refused
// Why an established stream did not end soundly (TlsStreamErrorCode()).
constexpr std::uint16_t kTlsErrTruncated = 20102;   // closed without close_notify
constexpr std::uint16_t kTlsErrRecord = 20103;      // a record failed (tampered, bad alert)
// StartTls refused: plaintext bytes were already received and not yet read.
constexpr std::uint16_t kTlsErrPlaintext = 20104;

// Runs inside the socket's event, with the socket's notifications held: a
// handler may show a modal dialog. Accept is false on entry.
using TCertificateCheck = std::function<void(TCustomWSocket* Sender, const TCertInfo& Info, bool& Accept)>;
// 0 once the handshake is done and the certificate accepted, else an error
// code (the session then closes). TlsError() says why.
using TTlsDone = std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)>;

// "TLS 1.3" from OpenSSL's "TLSv1.3"; "AES-256-GCM" from a cipher's long name.
std::string TlsVersionText(const std::string& openSslVersion);

// True when text is an IPv4 or IPv6 literal, IPv6 with or without brackets
// (certificates name those as IP addresses).
bool TlsIsIpLiteral(const std::string& text);
// The name a certificate is checked against and sent as SNI: brackets of an
// IPv6 literal and one trailing dot removed.
std::string TlsCheckName(const std::string& host);

} // namespace net
