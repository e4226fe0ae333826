#include "ssh_peers.hpp"

#include "peer_start.hpp"

#include <chrono>
#include <csignal>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// Runs a tool to its end (at most 10 s); true when it ended.
bool RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {})
{
    PeerProcess p;
    if (!p.Start(argv, env))
        return false;
    for (int i = 0; i < 400 && p.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return !p.Running();
}

std::string FirstLine(const fs::path& path)
{
    std::string text = ReadFile(path);
    const std::size_t nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

} // namespace

bool MakeSshKey(const fs::path& path, const std::string& type, const std::string& passphrase)
{
    std::error_code ec;
    fs::remove(path, ec);
    fs::remove(path.string() + ".pub", ec);
    std::vector<std::string> argv
        = { "ssh-keygen", "-q", "-t", type, "-N", passphrase, "-C", "test", "-f", path.string() };
    if (type == "rsa")
        argv.insert(argv.end(), { "-b", "2048" });
    return RunToEnd(argv) && fs::exists(path) && fs::exists(path.string() + ".pub");
}

std::string Sshd::Unavailable()
{
    if (::geteuid() != 0)
        return "sshd tests need root (sshd serves another account)";
    if (!fs::exists("/usr/sbin/sshd"))
        return "sshd (openssh-server) is not installed";
    if (!::getpwnam(kUser))
        return std::string("the account ") + kUser + " is missing (scripts/setup makes it)";
    return {};
}

void GiveToSshUser(const fs::path& path)
{
    const passwd* pw = ::getpwnam(Sshd::kUser);
    if (!pw)
        return;
    // The account must reach the folder through its parents.
    for (fs::path p = path.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st { };
        if (::stat(p.c_str(), &st) == 0 && (st.st_mode & 0005) != 0005)
            ::chmod(p.c_str(), st.st_mode | 0755);
    }
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        return;
    if (fs::is_directory(path))
        for (const auto& e : fs::recursive_directory_iterator(path))
            (void)::lchown(e.path().c_str(), pw->pw_uid, pw->pw_gid);
}

void Sshd::Authorize(const fs::path& pub)
{
    const fs::path keys = m_dir / "authorized_keys";
    WriteFile(keys, (fs::exists(keys) ? ReadFile(keys) : std::string()) + FirstLine(pub) + "\n");
    ::chmod(keys.c_str(), 0644);
}

bool Sshd::Start(const fs::path& root)
{
    if (!Unavailable().empty())
        return false;
    // sshd refuses to start without its privilege separation folder.
    std::error_code ec;
    fs::create_directories("/run/sshd", ec);
    ::chmod(m_dir.path().c_str(), 0755);
    const fs::path key = m_dir / "host_ed25519";
    if (!fs::exists(key) && !MakeSshKey(key, "ed25519"))
        return false;
    if (!fs::exists(m_dir / "authorized_keys"))
        WriteFile(m_dir / "authorized_keys", "");
    ::chmod((m_dir / "authorized_keys").c_str(), 0644);
    GiveToSshUser(root);
    return StartOnFreePort(m_port, [&](int port) {
        std::ostringstream c;
        c << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << key.string() << "\nPidFile none\n"
          << "UsePAM yes\nKbdInteractiveAuthentication yes\nPasswordAuthentication yes\nPubkeyAuthentication "
             "yes\n"
          << "PermitRootLogin no\nStrictModes no\nAuthorizedKeysFile " << (m_dir / "authorized_keys").string()
          << "\n"
          << "MaxAuthTries 20\nMaxStartups 100\nMaxSessions 50\nLogLevel DEBUG1\n"
          << "Subsystem sftp internal-sftp -d " << root.string() << "\n";
        if (!m_methods.empty())
            c << "AuthenticationMethods " << m_methods << "\n";
        const fs::path conf = m_dir / "sshd_config";
        WriteFile(conf, c.str());
        return m_proc.StartAndWait({ "/usr/sbin/sshd", "-f", conf.string(), "-D", "-e" }, "127.0.0.1", port);
    });
}

void Sshd::KillConnections()
{
    // The listener's descendants, found by their parents in /proc.
    std::map<int, int> parentOf;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat;
        try {
            stat = ReadFile(e.path() / "stat");
        } catch (...) {
            continue;
        }
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        parentOf[std::stoi(name)] = ppid;
    }
    for (const auto& [pid, ppid] : parentOf) {
        for (int up = ppid, hops = 0; up > 1 && hops < 8; ++hops) {
            if (up == m_proc.Pid()) {
                ::kill(pid, SIGKILL);
                break;
            }
            const auto it = parentOf.find(up);
            up = it == parentOf.end() ? 0 : it->second;
        }
    }
}

std::string Sshd::HostKey() const
{
    const std::string line = FirstLine(m_dir / "host_ed25519.pub");
    // "type base64 comment" -> "type base64"
    const std::size_t sp = line.find(' ', line.find(' ') + 1);
    return line.substr(0, sp);
}

std::string Sshd::KnownHostsLine() const
{
    return "[127.0.0.1]:" + std::to_string(m_port) + " " + HostKey();
}

bool SshAgent::Start()
{
    ::chmod(m_dir.path().c_str(), 0700);
    if (!m_proc.Start({ "ssh-agent", "-D", "-a", Socket() }))
        return false;
    for (int i = 0; i < 200 && !fs::exists(Socket()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fs::exists(Socket());
}

bool SshAgent::Add(const fs::path& key)
{
    return RunToEnd({ "ssh-add", key.string() }, { { "SSH_AUTH_SOCK", Socket() } });
}

} // namespace testsupport
