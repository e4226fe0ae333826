#include "socks_peers.hpp"
#include "peer_start.hpp"

namespace testsupport {
namespace {

std::string replaceAll(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

} // namespace

bool DanteServer::Start(bool requireAuth)
{
    std::string program = FindProgram("danted");
    if (program.empty())
        program = FindProgram("sockd");
    if (program.empty())
        return false;
    std::string conf = ReadFile(PeersDir() / "socks" / "danted.conf.in");
    if (conf.empty())
        return false;
    return StartOnFreePort(m_port, [&](int port) {
        std::string text = replaceAll(conf, "@PORT@", std::to_string(port));
        text = replaceAll(text, "@METHOD@", requireAuth ? "username" : "none");
        text = replaceAll(text, "@LOG@", (m_dir / "danted.log").string());
        WriteFile(m_dir / "danted.conf", text);
        return m_proc.StartAndWait({program, "-f", (m_dir / "danted.conf").string(), "-N", "1", "-p",
                                    (m_dir / "danted.pid").string()},
                                   "127.0.0.1", port);
    });
}

std::string DanteServer::Log() const
{
    return m_proc.Log() + ReadFile(m_dir / "danted.log");
}

bool MicrosocksServer::Start(const std::string& user, const std::string& password)
{
    std::string program = FindProgram("microsocks");
    if (program.empty())
        return false;
    return StartOnFreePort(m_port, [&](int port) {
        std::vector<std::string> argv{program, "-i", "127.0.0.1", "-p", std::to_string(port)};
        if (!user.empty())
            argv.insert(argv.end(), {"-u", user, "-P", password});
        return m_proc.StartAndWait(argv, "127.0.0.1", port);
    });
}

} // namespace testsupport
