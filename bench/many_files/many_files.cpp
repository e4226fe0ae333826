// Moves a tree of 1,000 files of 4 KiB in 20 folders down and up through the
// main window's real queue (QueueforDownload or QueueUpload, then
// ProcessQueue, on the offscreen platform), and the same tree with lftp's
// mirror and mirror -R on one connection, against the same vsftpd in the same
// run. Best of 3 rounds, the tools alternating; every transferred tree is
// checked (file count and a hash of all names and contents). With --big it
// also moves one 1 GiB file each way through the queue and with a bare
// TFtpClient in the same process (followed by the listing a queue run ends
// with), and prints the queue's share of the engine's rate. The last line ends with "ratio R", R = our time / lftp's for
// the small files, both directions added up.
//
//   many_files [--big | --big-mib N] [--files N] [--rounds R]
//   many_files --serve [--files N]   makes the tree, serves it, prints the port
//                                    and waits for end of input (to profile a
//                                    worker by hand)
//   many_files --worker PORT LOCALDOWN LOCALSRC REMOTEUP
//       downloads "tree" into LOCALDOWN, then uploads LOCALSRC as REMOTEUP;
//       prints "walk down, build up, run up" seconds, then one line per
//       command verb
//   many_files --big-worker PORT ROOT SCRATCH ROUNDS BYTES
//       big.bin through the queue and the engine; prints the best seconds
#include "../support/child_run.hpp"
#include "../support/engine_login.hpp"
#include "../support/file_tree.hpp"
#include "../support/queue_window.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"

#include <QDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::kTreeFolders;
using bench::kTreeFileSize;
using bench::TreeSum;
using bench::Window;
using bench::OpenWindow;
using bench::RunQueue;
using bench::SelectOnly;
using bench::LocalFolder;
std::uint64_t g_bigSize = 1ull << 30; // --big-mib

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------- our side

// Counts the commands the engine sends by verb, and the time from each one
// to the next: what follows a command until the next is sent (its reply, the
// data, and the window's own work after it) is charged to it.
class VerbClock {
public:
    explicit VerbClock(ftp::TFtpClient& c) : m_client(c), m_previous(c.OnCommand)
    {
        c.OnCommand = [this](ftp::TCustomFtpCli* sender, std::string& cmd) {
            Charge(Clock::now());
            m_verb = cmd.substr(0, cmd.find(' '));
            m_since = Clock::now();
            if (m_previous)
                m_previous(sender, cmd);
        };
    }
    ~VerbClock() { m_client.OnCommand = m_previous; }
    void Start() { m_verb.clear(), m_stats.clear(); }
    // Ends the phase: the last command is charged up to now.
    std::map<std::string, std::pair<int, double>> Stop()
    {
        Charge(Clock::now());
        m_verb.clear();
        return m_stats;
    }

private:
    void Charge(Clock::time_point now)
    {
        if (m_verb.empty())
            return;
        auto& [count, seconds] = m_stats[m_verb];
        ++count;
        seconds += Seconds(m_since, now);
    }
    ftp::TFtpClient& m_client;
    ftp::TFtpCommand m_previous;
    std::string m_verb;
    Clock::time_point m_since;
    std::map<std::string, std::pair<int, double>> m_stats;
};

void PrintVerbs(char phase, const std::map<std::string, std::pair<int, double>>& stats)
{
    for (const auto& [verb, s] : stats)
        std::printf("%c %s %d %.6f\n", phase, verb.c_str(), s.first, s.second);
}

int Worker(int port, const fs::path& localDown, const fs::path& localSrc, const std::string& remoteUp)
{
    Window w;
    // One connection, as lftp's mirror uses by default.
    if (!OpenWindow(w, port) || !bench::SetQueueConnections(w.form.get(), 1))
        return 1;
    app::Tmainform& form = *w.form;
    VerbClock verbs(form.FtpClient1());

    if (!SelectOnly(form, "tree") || !LocalFolder(form, localDown))
        return 1;
    verbs.Start();
    const auto t0 = Clock::now();
    form.QueueforDownload();
    bench::WaitIdle(form); // the walk goes on from the event loop
    const auto t1 = Clock::now();
    RunQueue(form);
    const auto t2 = Clock::now();
    const auto down = verbs.Stop();
    if (!form.Queue().empty()) {
        std::fprintf(stderr, "worker: %zu entries left after the download\n", form.Queue().size());
        return 1;
    }

    if (!LocalFolder(form, localSrc.parent_path()))
        return 1;
    verbs.Start();
    const auto t3 = Clock::now();
    form.QueueUpload(localSrc.filename().string(), remoteUp);
    const auto t4 = Clock::now();
    RunQueue(form);
    const auto t5 = Clock::now();
    const auto up = verbs.Stop();
    if (!form.Queue().empty()) {
        std::fprintf(stderr, "worker: %zu entries left after the upload\n", form.Queue().size());
        return 1;
    }
    QDir::setCurrent(QDir::tempPath());
    std::printf("%.6f %.6f %.6f %.6f\n", Seconds(t0, t1), Seconds(t1, t2), Seconds(t3, t4), Seconds(t4, t5));
    PrintVerbs('D', down);
    PrintVerbs('U', up);
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- one big file

bool SizeIs(const fs::path& p, std::uint64_t size)
{
    std::error_code ec;
    const auto s = fs::file_size(p, ec);
    if (ec || s != size) {
        std::fprintf(stderr, "worker: %s has %llu bytes\n", p.c_str(), ec ? 0ull : (unsigned long long)s);
        return false;
    }
    return true;
}

// big.bin of ROOT down and up through the queue and through a bare engine;
// prints the best seconds "queue down, engine down, queue up, engine up".
// The order of queue and engine alternates by round, and dirty pages are
// written out before each timed transfer, so neither pays for the other's
// writeback. The queue's copies are checked against the MD5 of big.bin once.
int BigWorker(int port, const fs::path& root, const fs::path& scratch, int rounds)
{
    Window w;
    // One connection, as lftp's mirror uses by default.
    if (!OpenWindow(w, port) || !bench::SetQueueConnections(w.form.get(), 1))
        return 1;
    app::Tmainform& form = *w.form;
    ftp::TFtpClient engine;
    if (!bench::LogInToVsftpd(engine, port)) {
        std::fprintf(stderr, "worker: engine log-in failed: %s\n", engine.ErrorMessage().c_str());
        return 1;
    }
    const std::string md5 = testsupport::Md5OfFile(root / "big.bin");
    const fs::path q = scratch / "queue", local = q / "big.bin";
    double qDown = 1e9, eDown = 1e9, qUp = 1e9, eUp = 1e9;
    auto timed = [](double& best, auto&& transfer) {
        ::sync();
        const auto t0 = Clock::now();
        if (!transfer())
            return false;
        best = std::min(best, Seconds(t0, Clock::now()));
        return true;
    };
    for (int round = 0; round < rounds; ++round) {
        fs::create_directories(q);
        if (!LocalFolder(form, q))
            return 1;
        const bool check = round == 0;
        auto queueDown = [&] {
            if (!SelectOnly(form, "big.bin"))
                return false;
            form.QueueforDownload();
            RunQueue(form);
            return form.Queue().empty() && SizeIs(local, g_bigSize);
        };
        // A queue run ends by listing the folder again, and that listing waits
        // until the server has finished with the file: the engine does the same.
        auto listAfter = [&] {
            engine.SetHostDirName(".");
            engine.SetHostFileName({});
            engine.SetLocalFileName((scratch / "listing.txt").string());
            return engine.Pwd() && engine.Dir();
        };
        auto engineDown = [&] {
            engine.SetHostDirName({});
            engine.SetHostFileName("big.bin");
            engine.SetLocalFileName((scratch / "engine.bin").string());
            if (!engine.Get() || !listAfter()) {
                std::fprintf(stderr, "worker: engine get failed: %s\n", engine.ErrorMessage().c_str());
                return false;
            }
            return SizeIs(scratch / "engine.bin", g_bigSize);
        };
        const std::string qName = "queue-up-" + std::to_string(round) + ".bin";
        auto queueUp = [&] {
            form.QueueUpload("big.bin", qName);
            RunQueue(form);
            return form.Queue().empty() && SizeIs(root / qName, g_bigSize);
        };
        auto engineUp = [&] {
            engine.SetHostDirName({});
            engine.SetHostFileName("engine-up.bin");
            engine.SetLocalFileName(local.string());
            if (!engine.Put() || !listAfter()) {
                std::fprintf(stderr, "worker: engine put failed: %s\n", engine.ErrorMessage().c_str());
                return false;
            }
            return SizeIs(root / "engine-up.bin", g_bigSize);
        };
        // The queue's download is the upload's source, so it comes first
        // when the engine's would.
        const bool queueFirst = round % 2 == 0;
        if (queueFirst ? !timed(qDown, queueDown) || !timed(eDown, engineDown)
                       : !timed(eDown, engineDown) || !timed(qDown, queueDown))
            return 1;
        if (check && testsupport::Md5OfFile(local) != md5) {
            std::fprintf(stderr, "worker: the queue's download differs\n");
            return 1;
        }
        fs::remove(scratch / "engine.bin");
        if (queueFirst ? !timed(qUp, queueUp) || !timed(eUp, engineUp)
                       : !timed(eUp, engineUp) || !timed(qUp, queueUp))
            return 1;
        if (check && testsupport::Md5OfFile(root / qName) != md5) {
            std::fprintf(stderr, "worker: the queue's upload differs\n");
            return 1;
        }
        fs::remove(root / qName);
        fs::remove(root / "engine-up.bin");
        QDir::setCurrent(QDir::tempPath());
        fs::remove_all(q);
    }
    engine.Quit();
    std::printf("%.6f %.6f %.6f %.6f\n", qDown, eDown, qUp, eUp);
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- running tools

using bench::Run;
using bench::RunChild;

bool Check(const char* what, const fs::path& tree, const TreeSum& expected)
{
    return bench::CheckTree("many_files", what, tree, expected);
}

void ShowErrors(const std::string& errFile)
{
    std::system(("cat '" + errFile + "' >&2").c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && !std::strcmp(argv[1], "--worker"))
        return Worker(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
    if (argc == 7 && !std::strcmp(argv[1], "--big-worker")) {
        g_bigSize = std::strtoull(argv[6], nullptr, 10);
        return BigWorker(std::atoi(argv[2]), argv[3], argv[4], std::atoi(argv[5]));
    }

    bool big = false, serve = false;
    int files = 1000, rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--big"))
            big = true;
        else if (!std::strcmp(argv[i], "--serve"))
            serve = true;
        else if (!std::strcmp(argv[i], "--big-mib") && i + 1 < argc)
            big = true, g_bigSize = std::strtoull(argv[++i], nullptr, 10) << 20;
        else if (!std::strcmp(argv[i], "--files") && i + 1 < argc)
            files = std::max(kTreeFolders, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: many_files [--big | --big-mib N] [--files N] [--rounds R] [--serve]\n");
            return 2;
        }
    }
    if (!testsupport::Vsftpd::Available()) {
        std::fprintf(stderr, "many_files: needs root, vsftpd and the account of scripts/setup.d/ftp-vsftpd.sh\n");
        return 2;
    }
    testsupport::TempDir root, scratch;
    const fs::path localSrc = bench::MakeTreeAndLocalCopy(root.path(), scratch.path(), files);
    const TreeSum expected = bench::SumOf(root / "tree");
    if (expected.files != std::size_t(files)) {
        std::fprintf(stderr, "many_files: cannot make the tree\n");
        return 1;
    }
    if (big)
        testsupport::MakePatternFile(root / "big.bin", g_bigSize, 42);
    testsupport::Vsftpd server;
    if (!server.Start(root.path())) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Log().c_str());
        return 1;
    }
    const std::string port = std::to_string(server.Port());
    if (serve) {
        std::printf("port %s; local copy of the tree in %s\n", port.c_str(), localSrc.c_str());
        std::fflush(stdout);
        while (std::getchar() != EOF)
            ;
        return 0;
    }
    std::printf("%d files of %llu bytes in %d folders; vsftpd on 127.0.0.1, passive mode; best of %d rounds, "
                "tools alternating\n",
                files, static_cast<unsigned long long>(kTreeFileSize), kTreeFolders, rounds);
    std::fflush(stdout);

    const std::string open = "set ftp:passive-mode on; set net:connection-limit 1; "
                             "set mirror:parallel-transfer-count 1; open -u " +
                             std::string(testsupport::Vsftpd::kUser) + "," + testsupport::Vsftpd::kPassword +
                             " -p " + port + " 127.0.0.1; ";
    const std::string errFile = (scratch / "worker.err").string();
    double oursDown = 1e9, oursUp = 1e9, lftpDown = 1e9, lftpUp = 1e9, walk = 1e9, build = 1e9;
    double oursPeak = 0, lftpPeak = 0;
    std::string verbLines;
    for (int round = 0; round < rounds; ++round) {
        const std::string n = std::to_string(round);
        const fs::path down = scratch / ("ours-down-" + n);
        fs::create_directories(down);
        const std::string upName = "ours-up-" + n;
        const Run w = RunChild({"/proc/self/exe", "--worker", port, down.string(), localSrc.string(), upName}, true,
                               errFile);
        double wd = 0, rd = 0, bu = 0, ru = 0;
        if (!w.ok || std::sscanf(w.out.c_str(), "%lf %lf %lf %lf", &wd, &rd, &bu, &ru) != 4) {
            std::fprintf(stderr, "many_files: our run failed\n");
            ShowErrors(errFile);
            return 1;
        }
        if (!Check("our download", down / "tree", expected) || !Check("our upload", root / upName, expected))
            return 1;
        fs::remove_all(down);
        fs::remove_all(root / upName);
        if (wd + rd < oursDown)
            verbLines = w.out.substr(w.out.find('\n') + 1);
        oursDown = std::min(oursDown, wd + rd);
        oursUp = std::min(oursUp, bu + ru);
        walk = std::min(walk, wd);
        build = std::min(build, bu);
        oursPeak = std::max(oursPeak, w.peakMb);

        const fs::path lDown = scratch / ("lftp-down-" + n);
        const std::string lUp = "lftp-up-" + n;
        const Run ld = RunChild({"lftp", "-c", open + "mirror tree " + lDown.string()}, false, errFile);
        if (!ld.ok || !Check("lftp's download", lDown, expected)) {
            ShowErrors(errFile);
            return 1;
        }
        const Run lu = RunChild({"lftp", "-c", open + "mirror -R " + localSrc.string() + " " + lUp}, false, errFile);
        if (!lu.ok || !Check("lftp's upload", root / lUp, expected)) {
            ShowErrors(errFile);
            return 1;
        }
        fs::remove_all(lDown);
        fs::remove_all(root / lUp);
        lftpDown = std::min(lftpDown, ld.seconds);
        lftpUp = std::min(lftpUp, lu.seconds);
        lftpPeak = std::max({lftpPeak, ld.peakMb, lu.peakMb});
    }

    std::printf("(lftp's times are whole runs with its log-in; ours are QueueforDownload or QueueUpload plus "
                "ProcessQueue, the listing at the end included)\n");
    std::printf("%d files: queue down %.3f s (remote walk %.3f s), up %.3f s (local walk %.3f s), peak %.1f MB; "
                "lftp mirror down %.3f s, mirror -R %.3f s, peak %.1f MB\n",
                files, oursDown, walk, oursUp, build, oursPeak, lftpDown, lftpUp, lftpPeak);
    std::printf("per command in our best download and upload (count, seconds until the next command):\n");
    {
        std::istringstream in(verbLines);
        char phase;
        std::string verb;
        int count;
        double s;
        std::string text[2];
        while (in >> phase >> verb >> count >> s) {
            char item[96];
            std::snprintf(item, sizeof item, " %s %d %.3f", verb.c_str(), count, s);
            text[phase == 'U'] += item;
        }
        std::printf("  down:%s\n  up:  %s\n", text[0].c_str(), text[1].c_str());
    }
    std::fflush(stdout);

    if (big) {
        const Run b = RunChild({"/proc/self/exe", "--big-worker", port, root.path().string(),
                                scratch.path().string(), "3", std::to_string(g_bigSize)},
                               true, errFile);
        double qd = 0, ed = 0, qu = 0, eu = 0;
        if (!b.ok || std::sscanf(b.out.c_str(), "%lf %lf %lf %lf", &qd, &ed, &qu, &eu) != 4) {
            std::fprintf(stderr, "many_files: the 1 GiB run failed\n");
            ShowErrors(errFile);
            return 1;
        }
        const double mb = g_bigSize / 1e6;
        std::printf("%llu MiB, best of 3: queue down %.2f s (%.0f MB/s), engine Get + listing %.2f s (%.0f MB/s): %.2f of the "
                    "engine's rate; queue up %.2f s (%.0f MB/s), engine Put + listing %.2f s (%.0f MB/s): %.2f "
                    "(target at least 0.9)\n",
                    static_cast<unsigned long long>(g_bigSize >> 20), qd, mb / qd, ed, mb / ed, ed / qd, qu, mb / qu, eu, mb / eu, eu / qu);
    }

    const double ours = oursDown + oursUp, lftp = lftpDown + lftpUp;
    std::printf("%d small files both ways, Tmainform queue %.3f s against lftp mirror %.3f s (target at most "
                "1.0): ratio %.2f\n",
                files, ours, lftp, ours / lftp);
    return 0;
}
