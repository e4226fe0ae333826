#include "peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

std::filesystem::path PeersDir() { return TALLOWIN_PEERS_DIR; }
std::filesystem::path SourceDir() { return TALLOWIN_SOURCE_DIR; }

int FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

bool PortOpen6(const std::string& host, int port)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    bool ok = ::inet_pton(AF_INET6, host.c_str(), &sa.sin6_addr) == 1 &&
              ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

bool HaveIPv6Loopback()
{
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

bool PortOpen(const std::string& host, int port)
{
    if (host.find(':') != std::string::npos)
        return PortOpen6(host, port);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

bool WaitForPort(const std::string& host, int port, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (PortOpen(host, port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string FindProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream ss(path);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty())
            continue;
        std::string full = dir + "/" + name;
        if (::access(full.c_str(), X_OK) == 0)
            return full;
    }
    return {};
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "tallowin-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

PeerProcess::~PeerProcess()
{
    Stop();
    if (!m_log.empty())
        ::unlink(m_log.c_str());
}

bool PeerProcess::Start(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env,
                        const std::filesystem::path& workdir)
{
    Stop();
    if (argv.empty())
        return false;
    std::string program = FindProgram(argv[0]);
    if (program.empty())
        return false;
    char logName[] = "/tmp/tallowin-peer-XXXXXX";
    int logFd = ::mkstemp(logName);
    if (logFd < 0)
        return false;
    m_log = logName;

    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args[0] = program.data();
    args.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(logFd);
        return false;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        // A test that crashes or is killed by its time limit must not leave the peer behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        for (const auto& [k, v] : env)
            ::setenv(k.c_str(), v.c_str(), 1);
        if (!workdir.empty() && ::chdir(workdir.c_str()) != 0)
            ::_exit(126);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }
    ::close(logFd);
    ::setpgid(pid, pid);
    m_pid = pid;
    return true;
}

bool PeerProcess::StartAndWait(const std::vector<std::string>& argv, const std::string& host, int port,
                               const std::map<std::string, std::string>& env,
                               const std::filesystem::path& workdir)
{
    if (!Start(argv, env, workdir))
        return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        if (PortOpen(host, port))
            return true;
        if (!Running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

bool PeerProcess::Running() const
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    return ::waitpid(m_pid, &status, WNOHANG) == 0;
}

void PeerProcess::Stop()
{
    if (m_pid <= 0)
        return;
    ::kill(-m_pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (i == 50)
            ::kill(-m_pid, SIGKILL);
    }
    ::kill(-m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, WNOHANG);
    m_pid = -1;
}

std::string PeerProcess::Log() const { return m_log.empty() ? std::string() : ReadFile(m_log); }

void WriteFile(const std::filesystem::path& path, const std::string& bytes)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace testsupport
