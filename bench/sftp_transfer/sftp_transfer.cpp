// SFTP against OpenSSH's sshd on loopback, everything in one run against the
// same server and files:
//  - one file (1 GiB by default) down and up with our SftpSession (under the
//    Qt pump, as in the program), OpenSSH's `sftp -b`, `curl sftp://` and
//    `lftp sftp://`; best of 3 rounds, the tools alternating; every copy is
//    checked by size and MD5; the page cache is written back before each;
//  - 1,000 files of 4 KiB in 20 folders down and up through the main
//    window's real queue (an SFTP site, offscreen) against `sftp` get -r and
//    put -r; best of 3 rounds, every tree checked.
// The last line ends with "ratio R": our speed over the fastest peer's, the
// smaller of download and upload.
//
//   sftp_transfer [--size-mib N] [--files N] [--rounds R] [--no-small]
#include "../support/child_run.hpp"
#include "../support/file_tree.hpp"
#include "../support/queue_window.hpp"
#include "app/session/SftpSession.hpp"
#include "ftp_peers.hpp"
#include "ssh_peers.hpp"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testsupport::Sshd;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

struct Best {
    double down = 0, up = 0; // MB/s
    void Keep(double d, double u)
    {
        down = std::max(down, d);
        up = std::max(up, u);
    }
};

// What the peers and our session need to log in without asking: a key the
// server takes, the server's key in a known_hosts file.
struct Access {
    fs::path key, knownHosts, sshDir, settingsDir;
    int port = 0;
    std::vector<std::string> SshOptions() const
    {
        return { "-i", key.string(), "-o", "UserKnownHostsFile=" + knownHosts.string(), "-o",
            "StrictHostKeyChecking=yes", "-o", "BatchMode=yes", "-o", "IdentitiesOnly=yes" };
    }
};

// ---------------------------------------------------------------- our side

// Runs one session operation to its end from the event loop.
bool Wait(const std::function<void(app::SessionDone)>& start, app::SessionResult& result)
{
    bool done = false;
    start([&](const app::SessionResult& r) {
        result = r;
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return result.Ok;
}

std::optional<std::pair<double, double>> OursBig(const Access& a, const fs::path& scratch, std::uint64_t size)
{
    app::SftpSettings s;
    s.Host = "127.0.0.1";
    s.Port = a.port;
    s.User = Sshd::kUser;
    s.Password = Sshd::kPassword;
    s.SshDir = a.sshDir.string();
    s.SettingsDir = a.settingsDir.string();
    s.AgentSocket = "none";
    app::SftpSession session(s);
    app::SessionResult r;
    if (!Wait([&](app::SessionDone d) { session.Connect(std::move(d)); }, r)) {
        std::fprintf(stderr, "sftp_transfer: our log-in failed: %s\n", r.Message.c_str());
        return std::nullopt;
    }
    const fs::path down = scratch / "ours-down.bin";
    app::TransferOptions options;
    ::sync();
    const auto t0 = Clock::now();
    const bool got = Wait([&](app::SessionDone d) { session.Get("big.bin", down.string(), options, std::move(d)); }, r);
    const auto t1 = Clock::now();
    if (!got || fs::file_size(down) != size) {
        std::fprintf(stderr, "sftp_transfer: our download failed: %s\n", r.Message.c_str());
        return std::nullopt;
    }
    ::sync();
    const auto t2 = Clock::now();
    const bool put = Wait([&](app::SessionDone d) { session.Put(down.string(), "ours-up.bin", options, std::move(d)); }, r);
    const auto t3 = Clock::now();
    if (!put) {
        std::fprintf(stderr, "sftp_transfer: our upload failed: %s\n", r.Message.c_str());
        return std::nullopt;
    }
    return std::make_pair(size / 1e6 / Seconds(t0, t1), size / 1e6 / Seconds(t2, t3));
}

// ---------------------------------------------------------------- the peers

// Every timed transfer starts with the page cache written back: none pays
// for the writes of the one before it.
double Timed(const std::vector<std::string>& argv, const fs::path& errFile)
{
    ::sync();
    const bench::Run r = bench::RunChild(argv, false, errFile.string());
    return r.ok ? r.seconds : -1;
}

// One tool's round: down to scratch/NAME-down.bin, up as NAME-up.bin.
struct Tool {
    const char* name;
    std::vector<std::string> (*down)(const Access&, const fs::path& root, const fs::path& local);
    std::vector<std::string> (*up)(const Access&, const fs::path& root, const fs::path& local);
};

std::string WriteBatch(const fs::path& file, const std::string& text)
{
    std::ofstream(file) << text;
    return file.string();
}

std::vector<std::string> SftpArgs(const Access& a, const std::string& batch)
{
    std::vector<std::string> argv = { "sftp", "-q", "-P", std::to_string(a.port), "-b", batch };
    for (const std::string& o : a.SshOptions())
        argv.push_back(o);
    argv.push_back(std::string(Sshd::kUser) + "@127.0.0.1");
    return argv;
}

std::vector<std::string> SftpDown(const Access& a, const fs::path&, const fs::path& local)
{
    return SftpArgs(a, WriteBatch(local.string() + ".batch", "get big.bin " + local.string() + "\n"));
}
std::vector<std::string> SftpUp(const Access& a, const fs::path&, const fs::path& local)
{
    return SftpArgs(a, WriteBatch(local.string() + ".batch", "put " + local.string() + " sftp-up.bin\n"));
}

std::vector<std::string> CurlArgs(const Access& a)
{
    // -k: curl would read the user's own known_hosts; the key is the test server's.
    return { "curl", "-s", "-S", "-k", "--key", a.key.string(), "--pubkey", a.key.string() + ".pub", "-u",
        std::string(Sshd::kUser) + ":" };
}
std::vector<std::string> CurlDown(const Access& a, const fs::path& root, const fs::path& local)
{
    std::vector<std::string> argv = CurlArgs(a);
    argv.insert(argv.end(), { "-o", local.string(),
        "sftp://127.0.0.1:" + std::to_string(a.port) + (root / "big.bin").string() });
    return argv;
}
std::vector<std::string> CurlUp(const Access& a, const fs::path& root, const fs::path& local)
{
    std::vector<std::string> argv = CurlArgs(a);
    argv.insert(argv.end(), { "-T", local.string(),
        "sftp://127.0.0.1:" + std::to_string(a.port) + (root / "curl-up.bin").string() });
    return argv;
}

std::string LftpOpen(const Access& a)
{
    std::string ssh = "ssh -a -x";
    for (const std::string& o : a.SshOptions())
        ssh += " " + o;
    return "set sftp:connect-program \"" + ssh + "\"; set net:max-retries 1; open -u " + Sshd::kUser
        + ", sftp://127.0.0.1:" + std::to_string(a.port) + "; ";
}
std::vector<std::string> LftpDown(const Access& a, const fs::path&, const fs::path& local)
{
    return { "lftp", "-c", LftpOpen(a) + "get big.bin -o " + local.string() };
}
std::vector<std::string> LftpUp(const Access& a, const fs::path&, const fs::path& local)
{
    return { "lftp", "-c", LftpOpen(a) + "put " + local.string() + " -o lftp-up.bin" };
}

const Tool kTools[] = {
    { "sftp", SftpDown, SftpUp },
    { "curl", CurlDown, CurlUp },
    { "lftp", LftpDown, LftpUp },
};

bool SameAs(const fs::path& file, std::uint64_t size, const std::string& md5, const char* who)
{
    std::error_code ec;
    if (fs::file_size(file, ec) == size && testsupport::Md5OfFile(file) == md5)
        return true;
    std::fprintf(stderr, "sftp_transfer: %s: %s differs from the original\n", who, file.filename().c_str());
    return false;
}

// ---------------------------------------------------------------- small files

// The window on an SFTP site, logged in; the server's key is in the
// program's own known_hosts, so nothing is asked.
bool OpenSftpWindow(bench::Window& w, const Access& a)
{
    fs::copy_file(a.knownHosts, w.home / "known_hosts", fs::copy_options::overwrite_existing);
    // One connection, as sftp's get -r and put -r use.
    return bench::OpenWindow(w, a.port, "protocol=sftp", Sshd::kUser, Sshd::kPassword)
        && bench::SetQueueConnections(w.form.get(), 1);
}

double QueueDown(bench::Window& w, const fs::path& into)
{
    app::Tmainform& f = *w.form;
    fs::create_directories(into);
    if (!bench::LocalFolder(f, into) || !bench::SelectOnly(f, "tree"))
        return -1;
    const auto t0 = Clock::now();
    f.QueueforDownload();
    bench::RunQueue(f);
    return f.Queue().empty() ? Seconds(t0, Clock::now()) : -1;
}

double QueueUp(bench::Window& w, const fs::path& from, const std::string& as)
{
    app::Tmainform& f = *w.form;
    if (!bench::LocalFolder(f, from.parent_path()))
        return -1;
    const auto t0 = Clock::now();
    f.QueueUpload(from.filename().string(), as);
    bench::RunQueue(f);
    return f.Queue().empty() ? Seconds(t0, Clock::now()) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint64_t size = 1ull << 30;
    int files = 1000, rounds = 3;
    bool small = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size-mib") && i + 1 < argc)
            size = std::strtoull(argv[++i], nullptr, 10) << 20;
        else if (!std::strcmp(argv[i], "--files") && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--no-small"))
            small = false;
        else {
            std::fprintf(stderr, "usage: sftp_transfer [--size-mib N] [--files N] [--rounds R] [--no-small]\n");
            return 2;
        }
    }
    if (const std::string why = Sshd::Unavailable(); !why.empty()) {
        std::fprintf(stderr, "sftp_transfer: %s\n", why.c_str());
        return 1;
    }
    ::unsetenv("SSH_AUTH_SOCK");
    bench::Window w; // its QApplication runs the pump for every part
    if (!bench::StartApplication(w))
        return 1;

    testsupport::TempDir root, scratch, keys;
    Access a;
    a.sshDir = keys / "ssh";
    a.settingsDir = keys / "settings";
    fs::create_directories(a.sshDir);
    fs::create_directories(a.settingsDir);
    a.key = keys / "id_ed25519";
    if (!testsupport::MakeSshKey(a.key, "ed25519")) {
        std::fprintf(stderr, "sftp_transfer: ssh-keygen failed\n");
        return 1;
    }
    testsupport::MakePatternFile(root / "big.bin", size, 42);
    const std::string md5 = testsupport::Md5OfFile(root / "big.bin");
    const fs::path localTree = bench::MakeTreeAndLocalCopy(root.path(), scratch.path(), files);
    const bench::TreeSum expected = bench::SumOf(root / "tree");
    Sshd sshd;
    sshd.Authorize(a.key.string() + ".pub");
    if (!sshd.Start(root.path())) {
        std::fprintf(stderr, "sftp_transfer: sshd did not start\n%s\n", sshd.Log().c_str());
        return 1;
    }
    a.port = sshd.Port();
    a.knownHosts = keys / "known_hosts";
    std::ofstream(a.knownHosts) << sshd.KnownHostsLine() << "\n";
    fs::copy_file(a.knownHosts, a.sshDir / "known_hosts");

    std::printf("sftp_transfer: %.0f MiB down and up, best of %d rounds, sshd on 127.0.0.1:%d\n",
        size / 1048576.0, rounds, a.port);
    Best ours;
    std::vector<Best> peers(std::size(kTools));
    for (int round = 1; round <= rounds; ++round) {
        const auto figures = OursBig(a, scratch.path(), size);
        if (!figures || !SameAs(scratch / "ours-down.bin", size, md5, "ours")
            || !SameAs(root / "ours-up.bin", size, md5, "ours"))
            return 1;
        ours.Keep(figures->first, figures->second);
        std::printf("round %d: tallowin %.0f / %.0f MB/s", round, figures->first, figures->second);
        fs::remove(scratch / "ours-down.bin");
        fs::remove(root / "ours-up.bin");
        for (std::size_t t = 0; t < std::size(kTools); ++t) {
            const Tool& tool = kTools[t];
            const fs::path local = scratch / (std::string(tool.name) + "-down.bin");
            const fs::path err = scratch / (std::string(tool.name) + ".err");
            const double d = Timed(tool.down(a, root.path(), local), err);
            if (d < 0 || !SameAs(local, size, md5, tool.name)) {
                std::fprintf(stderr, "sftp_transfer: %s download failed: %s\n", tool.name,
                    testsupport::ReadFile(err).c_str());
                return 1;
            }
            const fs::path remote = root / (std::string(tool.name) + "-up.bin");
            const double u = Timed(tool.up(a, root.path(), local), err);
            if (u < 0 || !SameAs(remote, size, md5, tool.name)) {
                std::fprintf(stderr, "sftp_transfer: %s upload failed: %s\n", tool.name,
                    testsupport::ReadFile(err).c_str());
                return 1;
            }
            peers[t].Keep(size / 1e6 / d, size / 1e6 / u);
            std::printf(", %s %.0f / %.0f", tool.name, size / 1e6 / d, size / 1e6 / u);
            fs::remove(local);
            fs::remove(remote);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    double fastestDown = 0, fastestUp = 0;
    for (std::size_t t = 0; t < std::size(kTools); ++t) {
        std::printf("%s: down %.0f MB/s, up %.0f MB/s\n", kTools[t].name, peers[t].down, peers[t].up);
        fastestDown = std::max(fastestDown, peers[t].down);
        fastestUp = std::max(fastestUp, peers[t].up);
    }
    std::printf("tallowin: down %.0f MB/s, up %.0f MB/s\n", ours.down, ours.up);
    fs::remove(root / "big.bin");

    if (small) {
        if (!OpenSftpWindow(w, a))
            return 1;
        double bestOurs = 1e9, bestSftp = 1e9;
        for (int round = 1; round <= rounds; ++round) {
            const fs::path down = scratch / ("down" + std::to_string(round));
            const double d = QueueDown(w, down);
            if (d < 0 || !bench::CheckTree("sftp_transfer", "queue download", down / "tree", expected))
                return 1;
            const std::string as = "up" + std::to_string(round);
            const double u = QueueUp(w, localTree, as);
            if (u < 0 || !bench::CheckTree("sftp_transfer", "queue upload", root / as, expected))
                return 1;
            const fs::path peerDown = scratch / ("sftp" + std::to_string(round));
            fs::create_directories(peerDown);
            const fs::path err = scratch / "sftp-r.err";
            const std::string peerAs = "sftpup" + std::to_string(round);
            const double pd = Timed(SftpArgs(a, WriteBatch(scratch / "r.batch",
                                       "get -r tree " + (peerDown / "tree").string() + "\n")),
                err);
            const double pu = Timed(SftpArgs(a, WriteBatch(scratch / "r.batch",
                                       "put -r " + localTree.string() + " " + peerAs + "\n")),
                err);
            if (pd < 0 || pu < 0 || !bench::CheckTree("sftp_transfer", "sftp get -r", peerDown / "tree", expected)
                || !bench::CheckTree("sftp_transfer", "sftp put -r", root / peerAs, expected)) {
                std::fprintf(stderr, "sftp_transfer: sftp -r failed: %s\n", testsupport::ReadFile(err).c_str());
                return 1;
            }
            std::printf("small round %d: tallowin %.2f + %.2f s, sftp %.2f + %.2f s\n", round, d, u, pd, pu);
            std::fflush(stdout);
            bestOurs = std::min(bestOurs, d + u);
            bestSftp = std::min(bestSftp, pd + pu);
            for (const fs::path& p : { down, peerDown, root / as, root / peerAs })
                fs::remove_all(p);
        }
        std::printf("%d files of 4 KiB down and up: tallowin %.2f s, sftp %.2f s, %.2f x sftp\n", files, bestOurs,
            bestSftp, bestOurs / bestSftp);
    }
    const double ratio = std::min(ours.down / fastestDown, ours.up / fastestUp);
    std::printf("sftp_transfer: tallowin down %.0f MB/s (fastest peer %.0f), up %.0f MB/s (fastest peer %.0f), "
                "ratio %.2f\n",
        ours.down, fastestDown, ours.up, fastestUp, ratio);
    return 0;
}
