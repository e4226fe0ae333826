#include "http_peers.hpp"
#include "peer_start.hpp"

namespace testsupport {

namespace {

std::string Script(const char* name) { return (PeersDir() / "http" / name).string(); }

} // namespace

bool NginxPeer::Start()
{
    std::filesystem::create_directories(Root());
    return StartOnFreePort(m_port, [&](int port) {
        std::vector<std::string> argv = {"/bin/sh", Script("nginx.sh"), (m_dir / "nginx").string(),
                                         std::to_string(port), Root().string(), kHttpAuthUser, kHttpAuthPass};
        if (!m_cert.empty()) {
            m_tlsPort = FreePort();
            argv.insert(argv.end(), {std::to_string(m_tlsPort), m_cert.string(), m_key.string()});
        }
        return m_proc.StartAndWait(argv, "127.0.0.1", port) &&
               (m_cert.empty() || WaitForPort("127.0.0.1", m_tlsPort));
    });
}

std::string NginxPeer::Log() const { return m_proc.Log() + ReadFile(m_dir / "nginx" / "logs" / "error.log"); }

bool PyHttpPeer::Start()
{
    std::filesystem::create_directories(Root());
    return StartOnFreePort(m_port, [&](int port) {
        return m_proc.StartAndWait({"/usr/bin/python3", Script("pyhttp.py"), std::to_string(port), Root().string()},
                                   "127.0.0.1", port);
    });
}

bool TinyproxyPeer::Start(bool auth)
{
    return StartOnFreePort(m_port, [&](int port) {
        std::vector<std::string> argv = {"/bin/sh", Script("tinyproxy.sh"), (m_dir / "tp").string(),
                                         std::to_string(port)};
        if (auth) {
            argv.push_back(kHttpAuthUser);
            argv.push_back(kHttpAuthPass);
        }
        return m_proc.StartAndWait(argv, "127.0.0.1", port);
    });
}

std::string TinyproxyPeer::Log() const { return m_proc.Log() + ReadFile(m_dir / "tp" / "tinyproxy.log"); }

bool ScriptedHttpPeer::Start()
{
    return StartOnFreePort(m_port, [&](int port) {
        return m_proc.StartAndWait({"/usr/bin/python3", Script("scripted.py"), std::to_string(port),
                                    (m_dir / "requests.log").string()},
                                   "127.0.0.1", port) &&
               WaitForPort("127.0.0.2", port);
    });
}

std::string ScriptedHttpPeer::RequestLog() const { return ReadFile(m_dir / "requests.log"); }

void ScriptedHttpPeer::ClearLog() const { WriteFile(m_dir / "requests.log", ""); }

} // namespace testsupport
