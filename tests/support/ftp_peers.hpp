// FTP peers for tests: pyftpdlib, vsftpd and ftp-proxy on free loopback ports,
// and a scripted server that plays a table of replies and records what the
// client sent. Blocking, for test set-up only.
#pragma once

#include "peer.hpp"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Certificates made with the openssl tool for the TLS tests: a CA, a server
// certificate it signed for localhost and 127.0.0.1, and a self-signed one
// for 127.0.0.1 that no trust store knows. Files are PEM, in Dir().
class TestCertificates {
public:
    bool Make();
    std::filesystem::path Dir() const { return m_dir.path(); }
    std::filesystem::path Ca() const { return m_dir / "ca.pem"; }
    std::filesystem::path ServerCert() const { return m_dir / "server.pem"; }
    std::filesystem::path ServerKey() const { return m_dir / "server.key"; }
    std::filesystem::path SelfCert() const { return m_dir / "self.pem"; }
    std::filesystem::path SelfKey() const { return m_dir / "self.key"; }
    // Signed by the CA: subjectAltName DNS:f*.example.com (a partial wildcard) ...
    std::filesystem::path WildCert() const { return m_dir / "wild.pem"; }
    std::filesystem::path WildKey() const { return m_dir / "wild.key"; }
    // ... and CN=localhost with subjectAltName IP:127.0.0.1 only.
    std::filesystem::path CnCert() const { return m_dir / "cn.pem"; }
    std::filesystem::path CnKey() const { return m_dir / "cn.key"; }
    // SHA-256 of a certificate file as "AB:CD:...".
    static std::string Fingerprint(const std::filesystem::path& cert);

private:
    TempDir m_dir;
};

// pyftpdlib with named users (full rights in their folders).
class PyFtpd {
public:
    // Explicit TLS required on control and data connections (before Start).
    void SetTls(const std::filesystem::path& cert, const std::filesystem::path& key)
    {
        m_cert = cert;
        m_key = key;
    }
    // PWD names the folder with its links resolved (before Start).
    void SetPhysicalPwd(bool on) { m_physicalPwd = on; }
    struct User {
        std::string name, password;
        std::filesystem::path home;
    };
    // passivePorts "first-last" or empty; host 127.0.0.1 or ::1.
    bool Start(const std::vector<User>& users, const std::string& passivePorts = {},
               const std::string& host = "127.0.0.1");
    // Every data connection at most this fast (before Start); 0 is no limit.
    void SetThrottle(int bytesPerSecond) { m_throttle = bytesPerSecond; }
    int Port() const { return m_port; }
    std::string Log() const { return m_proc.Log(); }
    void Stop() { m_proc.Stop(); }

private:
    PeerProcess m_proc;
    int m_port = 0;
    int m_throttle = 0;
    std::filesystem::path m_cert, m_key;
    bool m_physicalPwd = false;
};

// vsftpd (run as root) with the local account made by scripts/setup.d/ftp-vsftpd.sh,
// serving ROOT (which is handed to that account).
class Vsftpd {
public:
    static constexpr const char* kUser = "tallowinftp";
    static constexpr const char* kPassword = "tallowin-test";
    // True when vsftpd and the account are there (else tests skip).
    static bool Available();
    // Explicit TLS required for log-ins and data, with session reuse (before Start).
    void SetTls(const std::filesystem::path& cert, const std::filesystem::path& key)
    {
        m_cert = cert;
        m_key = key;
    }
    bool Start(const std::filesystem::path& root);
    int Port() const { return m_port; }
    std::string Log() const;

private:
    TempDir m_conf;
    PeerProcess m_proc;
    int m_port = 0;
    std::filesystem::path m_cert, m_key;
};

// Debian's ftp-proxy in the foreground, relaying to 127.0.0.1:serverPort and
// accepting "user@host[:port]" log-in names.
class FtpProxy {
public:
    static bool Available();
    bool Start(int serverPort);
    int Port() const { return m_port; }
    std::string Log() const;

private:
    TempDir m_conf;
    PeerProcess m_proc;
    int m_port = 0;
};

// A server that answers each command from a table. A reply is a list of
// actions run in order; the dialogue (every line the client sent, without
// CR LF) is recorded. PASV opens a data listener on 127.0.0.1 and "{pasv}" in a
// reply text becomes its six numbers ("{pasvport}" only the port pair); PORT is answered 200 and the data
// connection is made to the given address when a data action needs it.
class ScriptedFtpServer {
public:
    enum ActionKind : std::uint8_t {
        actSend,        // write text on the control connection
        actSleep,       // wait ms
        actDataSend,    // write text on the data connection (made on demand)
        actDataClose,   // close the data connection
        actDataRecv,    // read the data connection until the client closes it
        actClose,       // close the control connection
    };
    struct Action {
        ActionKind kind;
        std::string text;
        int ms = 0;
    };
    using Reply = std::vector<Action>;

    // Helpers for the table.
    static Action Send(std::string text) { return {actSend, std::move(text), 0}; }
    static Action Sleep(int ms) { return {actSleep, {}, ms}; }
    static Action DataSend(std::string text) { return {actDataSend, std::move(text), 0}; }
    static Action DataClose() { return {actDataClose, {}, 0}; }
    static Action DataRecv() { return {actDataRecv, {}, 0}; }
    static Action Close() { return {actClose, {}, 0}; }

    ScriptedFtpServer();
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // What is played when a client connects (default "220 scripted\r\n").
    void SetBanner(Reply reply);
    // Reply to a verb (the command's first word, upper case). An empty reply
    // means the server stays silent. Verbs not in the table get "500 unknown".
    // Defaults: USER 331, PASS 230, TYPE 200, NOOP 200, PORT 200, EPRT |1| 200,
    // PASV 227 with {pasv}, EPSV 229 with {epsvport} (the port in decimal),
    // QUIT 221 and close.
    void On(const std::string& verb, Reply reply);

    // Starts listening on 127.0.0.1 (one client at a time, served in order).
    bool Start();
    int Port() const { return m_port; }
    // Lines the client sent, in order.
    std::vector<std::string> Dialogue() const;
    // Bytes the last actDataRecv read.
    std::string Received() const;
    // Waits until the dialogue holds at least n lines (bounded).
    bool WaitForLines(std::size_t n, int ms = 5000) const;

private:
    void Run();
    void Serve(int fd);
    bool Play(int fd, const Reply& reply);
    int DataConnection();
    void CloseData();

    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    Reply m_banner;
    std::map<std::string, Reply> m_table;
    std::vector<std::string> m_dialogue;
    std::string m_received;
    int m_pasvListen = -1;
    std::string m_portAddr;
    int m_portPort = 0;
    int m_data = -1;
};

// Lowercase hex MD5 of the bytes of a file (or of a string).
std::string Md5OfFile(const std::filesystem::path& path);
std::string Md5OfString(const std::string& bytes);

// A file of SIZE bytes with a repeatable pseudo-random content.
void MakePatternFile(const std::filesystem::path& path, std::uint64_t size, std::uint32_t seed = 1);

} // namespace testsupport
