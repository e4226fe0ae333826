// The transfer queue under SIGKILL: a worker copy of this program (the real
// window on the offscreen platform) runs an upload queue of a few hundred
// small files against pyftpdlib and is killed at a random moment, over and
// over. After every kill the queue file must be whole lines, exactly the
// original queue without some of its head, and every entry that left it must
// be done on the server. A last worker runs to the end: empty queue, and the
// server's tree equal to the source.
//
//   tallowin_ui_queue_crash                           the test (seed: TALLOWIN_CRASH_SEED)
//   tallowin_ui_queue_crash --build <home> <name>     queues the upload of ./<name>, runs nothing
//   tallowin_ui_queue_crash --worker <home> <fd>      runs the queue; writes "R" on fd once connected
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/ftp_main.hpp"
#include "app/program.hpp"
#include "ftp_peers.hpp"
#include "queue_check.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using testsupport::Md5OfFile;

namespace {

constexpr int kKills = 200;
// The kills and the last worker's run share this. On a loaded machine an entry
// can take twenty times longer than on an idle one, so the loop stops short of
// kKills when the last worker's projected run would not fit any more.
constexpr double kBudgetMs = 170000;

// ---------------------------------------------------------------- worker

// Answers every overwrite question with All; anything else it is asked is a
// fault the parent must see, so it is printed and counted.
class AllPrompter : public app::Prompter {
public:
    int Unexpected = 0;

    void ShowMessage(const std::string& text, app::TMessageKind) override
    {
        std::fprintf(stderr, "unexpected message: %s\n", text.c_str());
        ++Unexpected;
    }
    app::TAnswer Confirm(const std::string& text, app::TAnswers buttons) override
    {
        if (buttons.Has(app::ansAll))
            return app::ansAll;
        std::fprintf(stderr, "unexpected question: %s\n", text.c_str());
        ++Unexpected;
        return app::ansCancel;
    }
    std::optional<std::string> InputQuery(
        const std::string&, const std::string& prompt, const std::string&) override
    {
        std::fprintf(stderr, "unexpected input query: %s\n", prompt.c_str());
        ++Unexpected;
        return std::nullopt;
    }
    std::optional<std::string> SaveFileName(const std::string& name, const std::string&) override
    {
        std::fprintf(stderr, "unexpected save dialog: %s\n", name.c_str());
        ++Unexpected;
        return std::nullopt;
    }
};

int RunWorker(int argc, char** argv)
{
    const std::string mode = argv[1];
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s --build <home> <name> | --worker <home> <fd>\n", argv[0]);
        return 2;
    }
    ::setenv("TALLOWIN_HOME", argv[2], 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    AllPrompter prompter;
    app::Tmainform form(prompter);
    form.Timer1().stop();
    form.SetPassiveMode("YES");
    form.btnConnectClick();
    windowtest::WaitIdle(form);
    if (form.LoggedIn() != 1) {
        std::fprintf(stderr, "not logged in:\n%s\n", qPrintable(form.LogLines().join('\n')));
        return 3;
    }
    if (mode == "--build") {
        form.QueueUpload(argv[3], argv[3]);
        return form.Queue().empty() || prompter.Unexpected ? 4 : 0;
    }
    const int ready = std::atoi(argv[3]);
    if (::write(ready, "R", 1) != 1)
        return 5;
    ::close(ready);
    form.UploadQueue1Click();
    // The run goes on from the event loop until its last entry.
    while (form.QueueRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!form.Queue().empty() || prompter.Unexpected) {
        std::fprintf(stderr, "queue left with %zu entries:\n%s\n", form.Queue().size(),
            qPrintable(form.LogLines().join('\n')));
        return 6;
    }
    return 0;
}

// ---------------------------------------------------------------- parent

std::string SelfPath()
{
    return fs::read_symlink("/proc/self/exe").string();
}

// A worker started with its output in a log file and, for --worker, the
// write end of a pipe on which it says it is connected.
struct Child {
    pid_t pid = -1;
    int ready = -1; // read end, -1 for --build
    std::string log;
};

Child Spawn(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& log, bool withReady)
{
    Child child;
    child.log = log.string();
    int pipeFds[2] = { -1, -1 };
    if (withReady && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return child;
    // Everything the child needs is made before fork: only exec-safe calls after it.
    std::vector<std::string> all = { SelfPath() };
    all.insert(all.end(), args.begin(), args.end());
    if (withReady)
        all.push_back("3");
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string dir = cwd.string();
    const int out = ::open(child.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (out < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0
            || (withReady && ::dup2(pipeFds[1], 3) < 0))
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (out >= 0)
        ::close(out);
    if (withReady) {
        ::close(pipeFds[1]);
        child.ready = pipeFds[0];
    }
    child.pid = pid;
    return child;
}

// Waits for the worker's "connected" byte: false when it ended first.
bool WaitReady(Child& child)
{
    pollfd p { child.ready, POLLIN, 0 };
    // Generous: a loaded machine may take long to start a window, but never this long.
    if (::poll(&p, 1, 60000) != 1)
        return false;
    char c = 0;
    return ::read(child.ready, &c, 1) == 1 && c == 'R';
}

// Waits for the end; a worker past the limit is killed and counts as failed.
int WaitEnd(Child& child, int limitMs = 120000)
{
    if (child.ready >= 0)
        ::close(child.ready);
    child.ready = -1;
    int status = 0;
    QElapsedTimer t;
    t.start();
    while (::waitpid(child.pid, &status, WNOHANG) == 0) {
        if (t.elapsed() > limitMs) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

std::string Describe(int status)
{
    if (status == -1)
        return "did not end in time";
    if (WIFEXITED(status))
        return "exited " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Path -> MD5 of every file below root, and "dir" for every folder.
void EmptyFolder(const fs::path& dir)
{
    for (const auto& e : fs::directory_iterator(dir))
        fs::remove_all(e.path());
}

std::size_t TempFilesIn(const fs::path& dir)
{
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        n += name.starts_with(".queue.txt.") && name.ends_with(".tmp");
    }
    return n;
}

} // namespace

class QueueCrashTest : public QObject {
    Q_OBJECT

private slots:
    void killedWorkersOnlyEverDropDoneEntries()
    {
        std::uint64_t seed = std::random_device {}();
        if (const char* s = std::getenv("TALLOWIN_CRASH_SEED"))
            seed = std::strtoull(s, nullptr, 10);
        qInfo("seed %llu (TALLOWIN_CRASH_SEED=%llu repeats this run)", (unsigned long long)seed,
            (unsigned long long)seed);
        std::mt19937_64 rng(seed);

        // 300 files of 1-8 KiB in 15 folders, some nested; the same tree every run.
        testsupport::TempDir local, remote, logs;
        QTemporaryDir homeDir;
        const fs::path home = homeDir.path().toStdString(), src = local / "src";
        const std::vector<std::string> folders = { "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "a/x",
            "a/x/y", "c/z", "f/one two", "j/deep" };
        for (const std::string& folder : folders)
            fs::create_directories(src / folder);
        std::mt19937 sizes(7);
        for (int i = 0; i < 300; ++i)
            testsupport::MakePatternFile(
                src / folders[std::size_t(i) % folders.size()] / ("f" + std::to_string(i) + ".bin"),
                1024 + sizes() % (7 * 1024 + 1), std::uint32_t(i + 1));

        testsupport::PyFtpd server;
        QVERIFY(server.Start({ { "alice", "pw", remote.path() } }));
        // Four connections, so entries finish out of order and any of them may be cut.
        testsupport::WriteFile(home / "language.txt", "ENGLISH\r\n\r\nNO\r\nconnections=4\r\n");
        QVERIFY(windowtest::WriteSite(homeDir.path(),
            { "py", "127.0.0.1", std::to_string(server.Port()), "alice", "pw", {}, local.path().string() }));

        // The window builds the queue itself, from the site's local folder as a user would.
        Child build = Spawn({ "--build", home.string(), "src" }, local.path(), logs / "build.log", false);
        QVERIFY(build.pid > 0);
        const int built = WaitEnd(build);
        QVERIFY2(WIFEXITED(built) && WEXITSTATUS(built) == 0,
            (Describe(built) + "\n" + testsupport::ReadFile(build.log)).c_str());
        const fs::path queueFile = home / "queue.txt";
        const std::string originalBytes = testsupport::ReadFile(queueFile);
        std::vector<std::string> original;
        for (std::size_t at = 0; at < originalBytes.size();) {
            const std::size_t end = originalBytes.find("\r\n", at);
            QVERIFY(end != std::string::npos);
            original.push_back(originalBytes.substr(at, end - at));
            at = end + 2;
        }
        const auto files = std::count_if(
            original.begin(), original.end(), [](const std::string& l) { return l.starts_with("U:F;"); });
        QCOMPARE(files, std::ptrdiff_t(300));
        QVERIFY(original.size() > 300 + folders.size()); // and every folder, src too
        std::size_t remaining = original.size();

        // Kill, check, again. A kill lands mostly while the queue runs, some
        // while the window is still starting; a queue that finishes starts over.
        int kills = 0, passes = 1, shortened = 0, midway = 0, finishedFirst = 0;
        // Time given to connected workers and the entries they finished in it:
        // a pessimistic pace (killed entries are redone) for the last run.
        double runMs = 0;
        std::size_t entriesDone = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        const auto msPerEntry = [&] { return runMs / double(std::max<std::size_t>(entriesDone, 1)); };
        const auto projectedLastMs = [&] { return entriesDone ? double(remaining) * msPerEntry() : 0.0; };
        while (kills < kKills && double(elapsed.elapsed()) + 2 * projectedLastMs() < kBudgetMs) {
            if (remaining == 0) {
                EmptyFolder(remote.path());
                testsupport::WriteFile(queueFile, originalBytes);
                remaining = original.size();
                ++passes;
            }
            Child w = Spawn({ "--worker", home.string() }, local.path(), logs / "worker.log", true);
            QVERIFY(w.pid > 0);
            const bool duringStart = rng() % 8 == 0;
            if (duringStart) {
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));
            } else {
                if (!WaitReady(w)) {
                    const int status = WaitEnd(w);
                    QFAIL(("the worker ended before it was connected: " + Describe(status) + "\n"
                        + testsupport::ReadFile(w.log))
                              .c_str());
                }
                // 5-150 ms, longer when entries take longer (a loaded
                // machine), so that kills still land between entries too.
                const int delay
                    = 5 + int(rng() % std::max<std::uint64_t>(146, std::uint64_t(3 * msPerEntry())));
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                runMs += delay;
            }
            ::kill(w.pid, SIGKILL);
            const int status = WaitEnd(w);
            ++kills;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                ++finishedFirst;
            else
                QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                    (Describe(status) + "\n" + testsupport::ReadFile(w.log)).c_str());
            const std::size_t before = remaining;
            const std::string why
                = testsupport::CheckQueueFile(queueFile, original, &remaining, local.path(), remote.path());
            QVERIFY2(why.empty(), ("after kill " + std::to_string(kills) + ": " + why).c_str());
            shortened += remaining < before;
            if (!duringStart)
                entriesDone += before - remaining;
            midway += remaining > 0 && remaining < original.size();
        }
        qInfo("%d kills in %lld s, %d passes over the queue, %d shortened it, %d workers finished before the "
              "kill, "
              "%zu temporary queue files left behind",
            kills, (long long)(elapsed.elapsed() / 1000), passes, shortened, finishedFirst,
            TempFilesIn(home));
        if (kills < kKills)
            qWarning("only %d of %d kills within the time budget", kills, kKills);
        // The kills must have hit a running queue, or nothing was tested.
        QVERIFY(shortened > 0);
        QVERIFY(midway > 0);

        // The last worker from wherever the kills left the queue, to its end.
        if (remaining == 0) {
            EmptyFolder(remote.path());
            testsupport::WriteFile(queueFile, originalBytes);
            remaining = original.size();
        }
        Child last = Spawn({ "--worker", home.string() }, local.path(), logs / "last.log", true);
        QVERIFY(last.pid > 0);
        QVERIFY(WaitReady(last)); // before its pipe is closed, or the "R" would meet SIGPIPE
        QElapsedTimer lastRun;
        lastRun.start();
        const int status = WaitEnd(last, 240000);
        qInfo("the last worker did %zu entries in %lld ms (%.0f ms projected)", remaining,
            (long long)lastRun.elapsed(), projectedLastMs());
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0,
            (Describe(status) + "\n" + testsupport::ReadFile(last.log)).c_str());
        const std::string why = testsupport::CheckQueueFile(queueFile, original, &remaining, local.path(), remote.path());
        QVERIFY2(why.empty(), why.c_str());
        QCOMPARE(remaining, std::size_t(0));
        QCOMPARE(fs::file_size(queueFile), std::uintmax_t(0));
        QCOMPARE(testsupport::Tree(remote / "src"), testsupport::Tree(src));
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--worker") == 0 || std::strcmp(argv[1], "--build") == 0))
        return RunWorker(argc, argv);
    QCoreApplication application(argc, argv);
    QueueCrashTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_queue_crash.moc"
