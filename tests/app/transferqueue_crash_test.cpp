// The queue under SIGKILL, with no window: transferqueue_worker runs an upload
// queue of a few hundred small files against pyftpdlib or sshd and is killed at a
// random moment, over and over, on FTP and on SFTP. After every kill the queue file must be whole
// lines, exactly the original queue without some of its head, and every entry
// that left it must be done on the server. A last worker runs to the end:
// empty queue, and the server's tree equal to the source.
// TALLOWIN_CRASH_SEED repeats a run.
#include "app/core/Queue.hpp"
#include "ftp_peers.hpp"
#include "queue_check.hpp"
#include "ssh_peers.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

namespace fs = std::filesystem;
using testsupport::Md5OfFile;

namespace {

constexpr int kKills = 80;
constexpr auto kBudget = std::chrono::seconds(25);

struct Worker {
    pid_t pid = -1;
    int ready = -1; // read end of the pipe the worker says "R" on
    fs::path log;
};

// The server the workers upload to: its port, log-in and, for SFTP, the
// folder with its known_hosts.
struct Server {
    int port = 0;
    std::string user, password;
    fs::path sshDir; // empty: FTP
};

Worker Spawn(const fs::path& queueFile, const Server& server, const fs::path& log)
{
    Worker w;
    w.log = log;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return w;
    // Everything is made before fork: only exec-safe calls after it.
    const fs::path self = fs::read_symlink("/proc/self/exe");
    std::vector<std::string> args = { (self.parent_path() / "transferqueue_worker").string(),
        queueFile.string(), std::to_string(server.port), server.user, server.password, "3" };
    if (!server.sshDir.empty())
        args.insert(args.end(), { "sftp", server.sshDir.string() });
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::dup2(fds[1], 3) < 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(fds[1]);
    w.ready = fds[0];
    w.pid = pid;
    return w;
}

bool WaitReady(const Worker& w)
{
    pollfd p { w.ready, POLLIN, 0 };
    char c = 0;
    return ::poll(&p, 1, 30000) == 1 && ::read(w.ready, &c, 1) == 1 && c == 'R';
}

// The exit status; a worker past the limit is killed and gives -1.
int WaitEnd(Worker& w, int limitMs = 120000)
{
    ::close(w.ready);
    int status = 0;
    for (int waited = 0; ::waitpid(w.pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited > limitMs) {
            ::kill(w.pid, SIGKILL);
            ::waitpid(w.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

std::string Describe(int status, const Worker& w)
{
    std::string what = status == -1 ? "did not end in time"
        : WIFEXITED(status)         ? "exited " + std::to_string(WEXITSTATUS(status))
        : WIFSIGNALED(status)       ? "killed by signal " + std::to_string(WTERMSIG(status))
                                    : "status " + std::to_string(status);
    return what + "\n" + testsupport::ReadFile(w.log);
}


void StartOver(const fs::path& remote, const fs::path& queueFile, const std::vector<std::string>& original,
    std::size_t* remaining)
{
    for (const auto& e : fs::directory_iterator(remote))
        fs::remove_all(e.path());
    ASSERT_TRUE(app::QueueFile(queueFile.string()).Save(original));
    *remaining = original.size();
}

class TransferQueueCrash : public ::testing::TestWithParam<bool> { };

TEST_P(TransferQueueCrash, KilledWorkersOnlyEverDropTheHead)
{
    const bool sftp = GetParam();
    if (sftp && !testsupport::Sshd::Unavailable().empty())
        GTEST_SKIP() << testsupport::Sshd::Unavailable();
    std::uint64_t seed = std::random_device {}();
    if (const char* s = std::getenv("TALLOWIN_CRASH_SEED"))
        seed = std::strtoull(s, nullptr, 10);
    std::printf("seed %llu (TALLOWIN_CRASH_SEED repeats this run)\n", (unsigned long long)seed);
    std::mt19937_64 rng(seed);

    // 300 files of 1-8 KiB in 15 folders, some nested (one with a space).
    testsupport::TempDir local, remote, home;
    const fs::path src = local / "src";
    const std::vector<std::string> folders
        = { "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "a/x", "a/x/y", "c/z", "f/one two", "j/deep" };
    for (const std::string& folder : folders)
        fs::create_directories(src / folder);
    std::mt19937 sizes(7);
    for (int i = 0; i < 300; ++i)
        testsupport::MakePatternFile(
            src / folders[std::size_t(i) % folders.size()] / ("f" + std::to_string(i) + ".bin"),
            1024 + sizes() % (7 * 1024 + 1), std::uint32_t(i + 1));
    // SFTP starts in the served folder but takes absolute paths as the
    // machine's: the entries name the served folder in full.
    const std::string remoteBase = sftp ? remote.path().string() : "/";
    const fs::path remoteRoot = sftp ? fs::path("/") : remote.path();
    std::vector<std::string> original;
    app::BuildUploadEntries(src.string(), "src", local.path().string(), remoteBase, original, nullptr, {});
    ASSERT_EQ(std::count_if(original.begin(), original.end(),
                  [](const std::string& l) { return l.starts_with("U:F;"); }),
        300);

    testsupport::PyFtpd ftpd;
    testsupport::Sshd sshd;
    Server server;
    if (sftp) {
        testsupport::GiveToSshUser(remote.path());
        ASSERT_TRUE(sshd.Start(remote.path())) << sshd.Log();
        server = { sshd.Port(), testsupport::Sshd::kUser, testsupport::Sshd::kPassword, home / "ssh" };
        fs::create_directories(server.sshDir);
        testsupport::WriteFile(server.sshDir / "known_hosts", sshd.KnownHostsLine() + "\n");
    } else {
        ASSERT_TRUE(ftpd.Start({ { "u", "p", remote.path() } })) << ftpd.Log();
        server = { ftpd.Port(), "u", "p", {} };
    }
    const fs::path queueFile = home / "queue.txt";
    std::size_t remaining = 0;
    StartOver(remote.path(), queueFile, original, &remaining);

    // Kill, check, again: mostly while the queue runs, some while the worker
    // is still logging in; a queue that finishes starts over.
    int kills = 0, shortened = 0, midway = 0, passes = 1;
    const auto began = std::chrono::steady_clock::now();
    while (kills < kKills && std::chrono::steady_clock::now() - began < kBudget) {
        if (remaining == 0) {
            StartOver(remote.path(), queueFile, original, &remaining);
            ++passes;
        }
        Worker w = Spawn(queueFile, server, home / "worker.log");
        ASSERT_GT(w.pid, 0);
        if (rng() % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
        } else {
            if (!WaitReady(w))
                FAIL() << "the worker ended before it was logged in: " << Describe(WaitEnd(w), w);
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 100));
        }
        ::kill(w.pid, SIGKILL);
        const int status = WaitEnd(w);
        ++kills;
        ASSERT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0)
            || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
            << Describe(status, w);
        const std::size_t before = remaining;
        const std::string why = testsupport::CheckQueueFile(queueFile, original, &remaining, {}, remoteRoot);
        ASSERT_EQ(why, "") << "after kill " << kills;
        shortened += remaining < before;
        midway += remaining > 0 && remaining < original.size();
    }
    std::printf("%d kills, %d shortened the queue, %d passes over it\n", kills, shortened, passes);
    // The kills must have hit a running queue, or nothing was tested.
    EXPECT_GT(shortened, 0);
    EXPECT_GT(midway, 0);

    // The last worker runs from wherever the kills left the queue to its end.
    if (remaining == 0)
        StartOver(remote.path(), queueFile, original, &remaining);
    Worker last = Spawn(queueFile, server, home / "last.log");
    ASSERT_TRUE(WaitReady(last)) << Describe(WaitEnd(last), last);
    const int status = WaitEnd(last);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status, last);
    EXPECT_EQ(testsupport::CheckQueueFile(queueFile, original, &remaining, {}, remoteRoot), "");
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(fs::file_size(queueFile), 0u);
    EXPECT_EQ(testsupport::Tree(remote / "src"), testsupport::Tree(src));
}

INSTANTIATE_TEST_SUITE_P(Protocols, TransferQueueCrash, ::testing::Bool(),
    [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Sftp" : "Ftp"; });

} // namespace
