#include "ftp_peers.hpp"
#include "peer_start.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;

// ---- pyftpdlib ----

bool PyFtpd::Start(const std::vector<User>& users, const std::string& passivePorts, const std::string& host)
{
    std::vector<std::string> argv = {"/usr/bin/python3", (PeersDir() / "ftp" / "pyftpd.py").string()};
    return StartOnFreePort(m_port, [&](int port) {
        std::vector<std::string> a = argv;
        a.push_back("--port");
        a.push_back(std::to_string(port));
        for (const auto& u : users)
            a.push_back("--user=" + u.name + ":" + u.password + ":" + u.home.string());
        if (!passivePorts.empty())
            a.push_back("--passive-ports=" + passivePorts);
        if (!m_cert.empty())
            a.push_back("--tls=" + m_cert.string() + ":" + m_key.string());
        if (host != "127.0.0.1")
            a.push_back("--host=" + host);
        if (m_throttle > 0)
            a.push_back("--throttle=" + std::to_string(m_throttle));
        if (m_physicalPwd)
            a.push_back("--physical-pwd");
        return m_proc.StartAndWait(a, host, port);
    });
}

// ---- vsftpd ----

bool Vsftpd::Available()
{
    return !FindProgram("vsftpd").empty() && ::getpwnam(kUser) != nullptr && ::geteuid() == 0;
}

bool Vsftpd::Start(const fs::path& root)
{
    const passwd* pw = ::getpwnam(kUser);
    if (!pw)
        return false;
    // The account must reach and own the served folder.
    for (fs::path p = root; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st{};
        if (::stat(p.c_str(), &st) == 0 && (st.st_mode & 0005) != 0005 && p != root)
            ::chmod(p.c_str(), st.st_mode | 0755);
    }
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (::chown(e.path().c_str(), pw->pw_uid, pw->pw_gid) != 0)
            return false;
    if (::chown(root.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        return false;
    return StartOnFreePort(m_port, [&](int port) {
        std::ostringstream c;
        c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port << "\n"
          << "background=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
          << "local_umask=022\nlocal_root=" << root.string() << "\n"
          << "secure_chroot_dir=/var/run/vsftpd/empty\npam_service_name=vsftpd\n"
          << "seccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
          << "pasv_address=127.0.0.1\nxferlog_enable=NO\nuse_localtime=NO\n"
          << "max_per_ip=0\nmax_clients=0\nidle_session_timeout=120\n"
          << "data_connection_timeout=120\nhide_ids=NO\n"
          << "vsftpd_log_file=" << (m_conf.path() / "vsftpd.log").string() << "\n";
        if (!m_cert.empty())
            c << "ssl_enable=YES\nrsa_cert_file=" << m_cert.string() << "\nrsa_private_key_file="
              << m_key.string() << "\nssl_ciphers=HIGH\nrequire_ssl_reuse=YES\n"
              << "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\nallow_anon_ssl=NO\n";
        WriteFile(m_conf / "vsftpd.conf", c.str());
        return m_proc.StartAndWait({FindProgram("vsftpd"), (m_conf / "vsftpd.conf").string()}, "127.0.0.1",
                                   port);
    });
}

std::string Vsftpd::Log() const { return m_proc.Log(); }

// ---- certificates ----

namespace {
bool RunQuiet(const std::vector<std::string>& argv, const fs::path& dir)
{
    PeerProcess p;
    if (!p.Start(argv, {}, dir))
        return false;
    for (int i = 0; i < 200 && p.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return !p.Running();
}
} // namespace

bool TestCertificates::Make()
{
    const std::string openssl = FindProgram("openssl");
    if (openssl.empty())
        return false;
    const fs::path d = m_dir.path();
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto req = [&](std::vector<std::string> more) {
        std::vector<std::string> a = {openssl, "req"};
        a.insert(a.end(), ec.begin(), ec.end());
        a.insert(a.end(), more.begin(), more.end());
        return RunQuiet(a, d);
    };
    WriteFile(d / "server.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    WriteFile(d / "wild.ext", "subjectAltName=DNS:f*.example.com\n");
    WriteFile(d / "cn.ext", "subjectAltName=IP:127.0.0.1\n");
    auto signedBy = [&](const std::string& name, const std::string& cn) {
        return req({"-subj", "/CN=" + cn, "-keyout", name + ".key", "-out", name + ".csr"}) &&
               RunQuiet({openssl, "x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-days", "30", "-extfile", name + ".ext", "-out", name + ".pem"},
                        d);
    };
    return req({"-x509", "-days", "30", "-subj", "/CN=Tallowin Test CA", "-keyout", "ca.key", "-out", "ca.pem"}) &&
           req({"-subj", "/CN=localhost", "-keyout", "server.key", "-out", "server.csr"}) &&
           RunQuiet({openssl, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                     "-CAcreateserial", "-days", "30", "-extfile", "server.ext", "-out", "server.pem"},
                    d) &&
           req({"-x509", "-days", "30", "-subj", "/CN=Self Signed Test", "-addext",
                "subjectAltName=IP:127.0.0.1", "-keyout", "self.key", "-out", "self.pem"}) &&
           signedBy("wild", "Wildcard Test") && signedBy("cn", "localhost") &&
           fs::exists(d / "server.pem") && fs::exists(d / "self.pem");
}

std::string TestCertificates::Fingerprint(const fs::path& cert)
{
    TempDir tmp;
    const fs::path out = tmp / "fp.txt";
    RunQuiet({"/bin/sh", "-c", "openssl x509 -noout -fingerprint -sha256 -in '" + cert.string() + "' > '" +
                                   out.string() + "'"},
             tmp.path());
    std::string text = ReadFile(out);
    auto eq = text.find('=');
    if (eq == std::string::npos)
        return {};
    text = text.substr(eq + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// ---- ftp-proxy ----

bool FtpProxy::Available() { return !FindProgram("ftp-proxy").empty() && ::geteuid() == 0; }

bool FtpProxy::Start(int serverPort)
{
    return StartOnFreePort(m_port, [&](int port) {
        std::ostringstream c;
        c << "[-Global-]\nDestinationAddress 127.0.0.1\nDestinationPort " << serverPort << "\n"
          << "AllowMagicUser yes\nListen 127.0.0.1\nPort " << port << "\n"
          << "ServerType standalone\nUser nobody\nGroup nogroup\n"
          << "PidFile " << (m_conf.path() / "ftp-proxy.pid").string() << "\n"
          << "LogDestination |/bin/cat\nLogLevel INF\n";
        WriteFile(m_conf / "ftp-proxy.conf", c.str());

        return m_proc.StartAndWait({FindProgram("ftp-proxy"), "-d", "-n", "-f", (m_conf / "ftp-proxy.conf").string()},
                                   "127.0.0.1", port);
    });
}

std::string FtpProxy::Log() const { return m_proc.Log(); }

// ---- scripted server ----

namespace {

bool WriteAll(int fd, const std::string& s)
{
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

int ListenLoopback(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

} // namespace

ScriptedFtpServer::ScriptedFtpServer()
{
    m_banner = {Send("220 scripted\r\n")};
    m_table["USER"] = {Send("331 password please\r\n")};
    m_table["PASS"] = {Send("230 logged in\r\n")};
    m_table["TYPE"] = {Send("200 type set\r\n")};
    m_table["NOOP"] = {Send("200 ok\r\n")};
    m_table["PORT"] = {Send("200 port ok\r\n")};
    m_table["EPRT"] = {Send("200 eprt ok\r\n")};
    m_table["PASV"] = {Send("227 Entering Passive Mode ({pasv})\r\n")};
    m_table["EPSV"] = {Send("229 Entering Extended Passive Mode (|||{epsvport}|)\r\n")};
    m_table["QUIT"] = {Send("221 bye\r\n"), Close()};
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    m_stop = true;
    if (m_listen >= 0)
        ::shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0)
        ::close(m_listen);
    CloseData();
    if (m_pasvListen >= 0)
        ::close(m_pasvListen);
}

void ScriptedFtpServer::SetBanner(Reply reply) { m_banner = std::move(reply); }
void ScriptedFtpServer::On(const std::string& verb, Reply reply) { m_table[verb] = std::move(reply); }

bool ScriptedFtpServer::Start()
{
    m_listen = ListenLoopback(m_port);
    if (m_listen < 0)
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

std::vector<std::string> ScriptedFtpServer::Dialogue() const
{
    std::lock_guard lock(m_mutex);
    return m_dialogue;
}

std::string ScriptedFtpServer::Received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

bool ScriptedFtpServer::WaitForLines(std::size_t n, int ms) const
{
    std::unique_lock lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_dialogue.size() >= n; });
}

void ScriptedFtpServer::Run()
{
    while (!m_stop) {
        if (!WaitReadable(m_listen, 100))
            continue;
        int fd = ::accept(m_listen, nullptr, nullptr);
        if (fd < 0)
            continue;
        Serve(fd);
        ::close(fd);
        CloseData();
    }
}

void ScriptedFtpServer::Serve(int fd)
{
    if (!Play(fd, m_banner))
        return;
    std::string buf;
    char chunk[4096];
    while (!m_stop) {
        std::size_t lf = buf.find('\n');
        if (lf == std::string::npos) {
            if (!WaitReadable(fd, 100))
                continue;
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            buf.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        std::string line = buf.substr(0, lf);
        buf.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string verb = line.substr(0, line.find(' '));
        std::transform(verb.begin(), verb.end(), verb.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        {
            std::lock_guard lock(m_mutex);
            m_dialogue.push_back(line);
        }
        m_cond.notify_all();
        if (verb == "PASV" || verb == "EPSV") {
            CloseData();
            if (m_pasvListen >= 0)
                ::close(m_pasvListen);
            int port = 0;
            m_pasvListen = ListenLoopback(port);
            m_portAddr.clear();
            std::string nums = "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
            Reply r = m_table[verb];
            const std::string portNums = std::to_string(port / 256) + "," + std::to_string(port % 256);
            for (auto& a : r) {
                std::size_t p = a.text.find("{pasv}");
                if (p != std::string::npos)
                    a.text.replace(p, 6, nums);
                p = a.text.find("{pasvport}");
                if (p != std::string::npos)
                    a.text.replace(p, 10, portNums);
                p = a.text.find("{epsvport}");
                if (p != std::string::npos)
                    a.text.replace(p, 10, std::to_string(port));
            }
            if (!Play(fd, r))
                return;
            continue;
        }
        if (verb == "PORT") {
            int h[6] = {};
            if (std::sscanf(line.c_str() + 5, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) == 6) {
                m_portAddr = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." +
                             std::to_string(h[2]) + "." + std::to_string(h[3]);
                m_portPort = h[4] * 256 + h[5];
            }
        }
        if (verb == "EPRT") {
            char addr[64] = {};
            int port = 0;
            if (std::sscanf(line.c_str() + 5, "|1|%63[0-9.]|%d|", addr, &port) == 2) {
                m_portAddr = addr;
                m_portPort = port;
            }
        }
        auto it = m_table.find(verb);
        Reply r = it != m_table.end() ? it->second : Reply{Send("500 unknown\r\n")};
        if (!Play(fd, r))
            return;
    }
}

int ScriptedFtpServer::DataConnection()
{
    if (m_data >= 0)
        return m_data;
    if (!m_portAddr.empty()) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(m_portPort));
        ::inet_pton(AF_INET, m_portAddr.c_str(), &sa.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            return -1;
        }
        m_data = fd;
    } else if (m_pasvListen >= 0) {
        if (!WaitReadable(m_pasvListen, 5000))
            return -1;
        m_data = ::accept(m_pasvListen, nullptr, nullptr);
    }
    return m_data;
}

void ScriptedFtpServer::CloseData()
{
    if (m_data >= 0)
        ::close(m_data);
    m_data = -1;
}

bool ScriptedFtpServer::Play(int fd, const Reply& reply)
{
    for (const auto& a : reply) {
        switch (a.kind) {
        case actSend:
            if (!WriteAll(fd, a.text))
                return false;
            break;
        case actSleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(a.ms));
            break;
        case actDataSend: {
            int d = DataConnection();
            if (d >= 0)
                WriteAll(d, a.text);
            break;
        }
        case actDataClose:
            CloseData();
            break;
        case actDataRecv: {
            int d = DataConnection();
            std::string got;
            char chunk[8192];
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (d >= 0 && std::chrono::steady_clock::now() < end) {
                if (!WaitReadable(d, 100))
                    continue;
                ssize_t n = ::recv(d, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                got.append(chunk, static_cast<std::size_t>(n));
            }
            CloseData();
            std::lock_guard lock(m_mutex);
            m_received = got;
            break;
        }
        case actClose:
            return false;
        }
    }
    return true;
}

// ---- hashing and pattern files ----

namespace {

// The checks hash hundreds of MiB; keep that fast in the debug sanitizer build.
#if defined(__GNUC__) && !defined(__clang__)
#define FAST_HELPER __attribute__((optimize("O2"), no_sanitize("address", "undefined")))
#elif defined(__clang__)
#define FAST_HELPER __attribute__((no_sanitize("address", "undefined")))
#else
#define FAST_HELPER
#endif

class Md5 {
public:
    FAST_HELPER void Update(const unsigned char* p, std::size_t n)
    {
        m_len += n;
        while (n > 0) {
            std::size_t take = std::min(n, 64 - m_fill);
            std::memcpy(m_buf + m_fill, p, take);
            m_fill += take;
            p += take;
            n -= take;
            if (m_fill == 64) {
                Block(m_buf);
                m_fill = 0;
            }
        }
    }
    std::string Hex()
    {
        std::uint64_t bits = m_len * 8;
        unsigned char pad = 0x80;
        Update(&pad, 1);
        unsigned char zero = 0;
        while (m_fill != 56)
            Update(&zero, 1);
        unsigned char lenBytes[8];
        for (int i = 0; i < 8; ++i)
            lenBytes[i] = static_cast<unsigned char>(bits >> (8 * i));
        Update(lenBytes, 8);
        static const char* hex = "0123456789abcdef";
        std::string out;
        for (std::uint32_t v : m_h)
            for (int i = 0; i < 4; ++i) {
                unsigned char b = static_cast<unsigned char>(v >> (8 * i));
                out += hex[b >> 4];
                out += hex[b & 15];
            }
        return out;
    }

private:
    FAST_HELPER static std::uint32_t Rol(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }
    FAST_HELPER void Block(const unsigned char* p)
    {
        static const std::uint32_t K[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = p[i * 4] | (p[i * 4 + 1] << 8) | (p[i * 4 + 2] << 16) |
                   (static_cast<std::uint32_t>(p[i * 4 + 3]) << 24);
        std::uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) { f = (b & c) | (~b & d); g = i; }
            else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) % 16; }
            else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) % 16; }
            else { f = c ^ (b | ~d); g = (7 * i) % 16; }
            std::uint32_t t = d;
            d = c;
            c = b;
            b = b + Rol(a + f + K[i] + w[g], R[i]);
            a = t;
        }
        m_h[0] += a; m_h[1] += b; m_h[2] += c; m_h[3] += d;
    }
    std::uint32_t m_h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    unsigned char m_buf[64];
    std::size_t m_fill = 0;
    std::uint64_t m_len = 0;
};

} // namespace

std::string Md5OfFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    Md5 md5;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        md5.Update(reinterpret_cast<unsigned char*>(buf.data()), static_cast<std::size_t>(in.gcount()));
    }
    return md5.Hex();
}

std::string Md5OfString(const std::string& bytes)
{
    Md5 md5;
    md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return md5.Hex();
}

namespace {
FAST_HELPER void FillPattern(std::vector<std::uint32_t>& buf, std::uint32_t& x)
{
    for (auto& v : buf) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = x;
    }
}
} // namespace

void MakePatternFile(const fs::path& path, std::uint64_t size, std::uint32_t seed)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint32_t> buf(1 << 18);
    std::uint32_t x = seed * 2654435761u + 1;
    while (size > 0) {
        FillPattern(buf, x);
        std::uint64_t n = std::min<std::uint64_t>(size, buf.size() * 4);
        out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(n));
        size -= n;
    }
}

} // namespace testsupport
