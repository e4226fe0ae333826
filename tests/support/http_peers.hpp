// HTTP peers for tests and benchmarks, each on 127.0.0.1 and a free port,
// with all their files in a scratch folder that goes with the object.
#pragma once

#include "peer.hpp"

#include <filesystem>
#include <string>

namespace testsupport {

// Credentials of the Basic-auth area of nginx (/secret/) and of tinyproxy.
inline constexpr const char* kHttpAuthUser = "webuser";
inline constexpr const char* kHttpAuthPass = "webpass";

// nginx serving Root() (tests put files there before or after Start):
// ranges and keep-alive on every file, /secret/ behind Basic auth,
// /redir/abs, /redir/rel, /redir/twice (to /files/small.txt), /redir/loop,
// /echohost (answers "Host|Range|If-Modified-Since|User-Agent" as sent).
class NginxPeer {
public:
    // Also serve Root() with TLS on TlsPort() (before Start).
    void SetTls(const std::filesystem::path& cert, const std::filesystem::path& key)
    {
        m_cert = cert;
        m_key = key;
    }
    int TlsPort() const { return m_tlsPort; }
    std::string HttpsBase() const { return "https://127.0.0.1:" + std::to_string(m_tlsPort); }
    bool Start();
    int Port() const { return m_port; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::filesystem::path Root() const { return m_dir / "root"; }
    std::string Log() const;

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
    int m_tlsPort = 0;
    std::filesystem::path m_cert, m_key;
};

// Python's http.server speaking HTTP/1.0 over Root(); /stream/N answers N
// bytes (i % 251 pattern per 8192 block) without a length.
class PyHttpPeer {
public:
    bool Start();
    int Port() const { return m_port; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::filesystem::path Root() const { return m_dir / "root"; }

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
};

// tinyproxy as an HTTP proxy; with auth it requires kHttpAuthUser/kHttpAuthPass.
class TinyproxyPeer {
public:
    bool Start(bool auth);
    int Port() const { return m_port; }
    std::string Log() const;

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
};

// The scripted server of tests/peers/http/scripted.py on 127.0.0.1 and
// 127.0.0.2 (same port). RequestLog() holds every request received.
class ScriptedHttpPeer {
public:
    bool Start();
    int Port() const { return m_port; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::string RequestLog() const;
    void ClearLog() const;

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
};

} // namespace testsupport
