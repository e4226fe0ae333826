// Moves a tree of 200 files of 4 KiB in 20 folders down and up through the
// latency relay (25 ms each way by default, a 50 ms round trip) against
// vsftpd: the main window's real queue on N connections and lftp's mirror and
// mirror -R with --parallel=N, for N = 1, 2, 4, 8, in one run, one round
// each. Every transferred tree is checked byte for byte. Each run has a relay
// of its own, whose counts give the data connections and commands per file.
// Then one 256 MiB file down and up through the queue, the relay capped at
// 100 Mbit/s. The last line ends with "ratio R", R = the queue's time /
// lftp's at N = 4, both directions added up.
//
//   wan_many_files [--files N] [--delay MS] [--big-mib N]   (--big-mib 0: no big file)
//   wan_many_files --worker PORT N down|up LOCAL REMOTE
//       one queue run through the relay on PORT: down fetches "tree" into
//       LOCAL; up sends the folder LOCAL as REMOTE; prints the seconds
//   wan_many_files --big-worker PORT LOCAL LIMIT_KIB
//       big.bin down into LOCAL, then up again as big-up.bin; prints the seconds
#include "../support/child_run.hpp"
#include "../support/file_tree.hpp"
#include "../support/latency_relay.hpp"
#include "../support/queue_window.hpp"
#include "ftp_peers.hpp"


#include <QTimer>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kConnections[] = {1, 2, 4, 8};
constexpr double kLinkMbit = 100;
double g_delayMs = 25;

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}


// ---------------------------------------------------------------- workers

int Worker(int port, int n, bool down, const fs::path& local, const std::string& remote)
{
    bench::Window w;
    if (!bench::OpenWindow(w, port) || !bench::SetQueueConnections(w.form.get(), n))
        return 1;
    app::Tmainform& form = *w.form;
    Clock::time_point t0;
    if (down) {
        if (!bench::SelectOnly(form, "tree") || !bench::LocalFolder(form, local))
            return 1;
        t0 = Clock::now();
        form.QueueforDownload();
    } else {
        if (!bench::LocalFolder(form, local.parent_path()))
            return 1;
        t0 = Clock::now();
        form.QueueUpload(local.filename().string(), remote);
    }
    bench::RunQueue(form);
    const double seconds = Seconds(t0, Clock::now());
    if (!form.Queue().empty()) {
        std::fprintf(stderr, "worker: %zu entries left\n", form.Queue().size());
        return 1;
    }
    QDir::setCurrent(QDir::tempPath());
    std::printf("%.6f\n", seconds);
    return 0;
}


int BigWorker(int port, const fs::path& local, int limitKiB)
{
    bench::Window w;
    if (!bench::OpenWindow(w, port) || !bench::SetQueueConnections(w.form.get(), 1)
        || !bench::SetSpeedLimits(*w.form, limitKiB))
        return 1;
    app::Tmainform& form = *w.form;
    if (!bench::SelectOnly(form, "big.bin") || !bench::LocalFolder(form, local))
        return 1;
    auto t0 = Clock::now();
    form.QueueforDownload();
    bench::RunQueue(form);
    const double down = Seconds(t0, Clock::now());
    t0 = Clock::now();
    form.QueueUpload("big.bin", "big-up.bin");
    bench::RunQueue(form);
    const double up = Seconds(t0, Clock::now());
    if (!form.Queue().empty()) {
        std::fprintf(stderr, "worker: %zu entries left\n", form.Queue().size());
        return 1;
    }
    QDir::setCurrent(QDir::tempPath());
    std::printf("%.6f %.6f\n", down, up);
    return 0;
}

// ---------------------------------------------------------------- one run

struct Timed {
    bool ok = false;
    double seconds = 0;
    std::string out; // a worker's output
    bench::RelayCounts counts;
};

// One child through a relay of its own. A worker prints its own seconds; a
// tool is timed whole.
Timed ThroughRelay(int serverPort, double rateMbit, const std::vector<std::string>& argv, bool worker,
                   const std::string& errFile, const std::string& portMark = "{port}")
{
    Timed t;
    bench::LatencyRelay relay;
    if (!relay.Start(serverPort, g_delayMs, rateMbit)) {
        std::fprintf(stderr, "wan_many_files: the relay did not start: %s\n", relay.Log().c_str());
        return t;
    }
    std::vector<std::string> args;
    for (std::string a : argv) {
        for (std::size_t at; (at = a.find(portMark)) != std::string::npos;)
            a.replace(at, portMark.size(), std::to_string(relay.Port()));
        args.push_back(a);
    }
    const bench::Run r = bench::RunChild(args, worker, errFile);
    t.counts = relay.Stop();
    t.ok = r.ok && (!worker || std::sscanf(r.out.c_str(), "%lf", &t.seconds) == 1);
    t.out = r.out;
    if (!worker)
        t.seconds = r.seconds;
    if (!t.ok)
        std::system(("cat '" + errFile + "' >&2").c_str());
    return t;
}

// "conn+cmd" per file from a run's counts.
std::string PerFile(const bench::RelayCounts& c, int files)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f+%.2f", double(c.data) / files, double(c.Commands()) / files);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && !std::strcmp(argv[1], "--worker"))
        return Worker(std::atoi(argv[2]), std::atoi(argv[3]), !std::strcmp(argv[4], "down"), argv[5], argv[6]);
    if (argc == 5 && !std::strcmp(argv[1], "--big-worker"))
        return BigWorker(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));

    int files = 200;
    std::uint64_t bigMib = 256;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--files") && i + 1 < argc)
            files = std::max(bench::kTreeFolders, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--delay") && i + 1 < argc)
            g_delayMs = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--big-mib") && i + 1 < argc)
            bigMib = std::strtoull(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: wan_many_files [--files N] [--delay MS] [--big-mib N]\n");
            return 2;
        }
    }
    if (!testsupport::Vsftpd::Available() || testsupport::FindProgram("lftp").empty()) {
        std::fprintf(stderr, "wan_many_files: needs root, vsftpd with the account of "
                             "scripts/setup.d/ftp-vsftpd.sh, and lftp\n");
        return 2;
    }
    testsupport::TempDir root, scratch;
    const fs::path localSrc = bench::MakeTreeAndLocalCopy(root.path(), scratch.path(), files);
    const bench::TreeSum expected = bench::SumOf(root / "tree");
    if (expected.files != std::size_t(files)) {
        std::fprintf(stderr, "wan_many_files: cannot make the tree\n");
        return 1;
    }
    const std::uint64_t bigSize = bigMib << 20;
    if (bigSize)
        testsupport::MakePatternFile(root / "big.bin", bigSize, 42);
    testsupport::Vsftpd server;
    if (!server.Start(root.path())) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Log().c_str());
        return 1;
    }
    const int port = server.Port();
    std::printf("%d files of %llu bytes in %d folders; vsftpd through the latency relay at %.0f ms each way "
                "(one round trip more per connection), passive mode; one round each\n",
                files, static_cast<unsigned long long>(bench::kTreeFileSize), bench::kTreeFolders, g_delayMs);
    std::printf("(per file: data connections + commands, from the relay's counts of the whole run, log-in "
                "included; ours are QueueforDownload or QueueUpload plus the run, the listing at its end "
                "included; lftp's are whole runs with its log-in)\n");
    std::fflush(stdout);

    const std::string errFile = (scratch / "child.err").string();
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    auto check = [&](const std::string& what, const fs::path& tree) {
        const bool ok = bench::CheckTree("wan_many_files", what, tree, expected);
        fs::remove_all(tree);
        return ok;
    };
    auto lftpOpen = [&](int n) {
        return "set ftp:passive-mode on; set ftp:ssl-allow no; set net:connection-limit " + std::to_string(n) +
               "; open -u " + testsupport::Vsftpd::kUser + "," + testsupport::Vsftpd::kPassword +
               " -p {port} 127.0.0.1; ";
    };
    {
        const Timed login = ThroughRelay(port, 0, {"lftp", "-c", lftpOpen(1) + "quote NOOP"}, false, errFile);
        std::printf("lftp's log-in and one NOOP through the relay: %.2f s (in each of lftp's times below)\n",
                    login.seconds);
    }

    std::map<int, double> oursBoth, lftpBoth;
    for (const int n : kConnections) {
        const std::string tag = std::to_string(n);
        std::string ours = "queue n/a";
        if (bench::SetQueueConnections(nullptr, n)) {
            const fs::path down = scratch / ("ours-down-" + tag);
            fs::create_directories(down);
            const Timed d = ThroughRelay(port, 0, {self, "--worker", "{port}", tag, "down", down.string(), "-"},
                                         true, errFile);
            const Timed u = ThroughRelay(
                port, 0, {self, "--worker", "{port}", tag, "up", localSrc.string(), "ours-up-" + tag}, true,
                errFile);
            if (!d.ok || !u.ok || !check("our download", down / "tree") ||
                !check("our upload", root / ("ours-up-" + tag)))
                return 1;
            oursBoth[n] = d.seconds + u.seconds;
            char text[256];
            std::snprintf(text, sizeof text, "queue down %6.2f s, up %6.2f s (per file %s down, %s up)", d.seconds,
                          u.seconds, PerFile(d.counts, files).c_str(), PerFile(u.counts, files).c_str());
            ours = text;
        }
        const fs::path lDown = scratch / ("lftp-down-" + tag);
        const std::string lUp = "lftp-up-" + tag;
        const std::string parallel = " --parallel=" + tag + " ";
        const Timed ld = ThroughRelay(port, 0, {"lftp", "-c", lftpOpen(n) + "mirror" + parallel + "tree " + lDown.string()},
                                      false, errFile);
        if (!ld.ok || !check("lftp's download", lDown))
            return 1;
        const Timed lu = ThroughRelay(
            port, 0, {"lftp", "-c", lftpOpen(n) + "mirror -R" + parallel + localSrc.string() + " " + lUp}, false,
            errFile);
        if (!lu.ok || !check("lftp's upload", root / lUp))
            return 1;
        lftpBoth[n] = ld.seconds + lu.seconds;
        std::printf("N=%d: %s; lftp --parallel=%d down %6.2f s, up %6.2f s (per file %s down, %s up)\n", n,
                    ours.c_str(), n, ld.seconds, lu.seconds, PerFile(ld.counts, files).c_str(),
                    PerFile(lu.counts, files).c_str());
        std::fflush(stdout);
    }

    if (bigSize) {
        // The whole link, then a speed limit of half of it in the Options dialog.
        const int halfKiB = int(kLinkMbit * 1e6 / 8 / 2 / 1024);
        for (const int limit : { 0, halfKiB }) {
            const fs::path local = scratch / ("big-" + std::to_string(limit));
            fs::create_directories(local);
            const Timed b = ThroughRelay(port, kLinkMbit,
                { self, "--big-worker", "{port}", local.string(), std::to_string(limit) }, true, errFile);
            double down = 0, up = 0;
            if (!b.ok || std::sscanf(b.out.c_str(), "%lf %lf", &down, &up) != 2)
                return 1;
            const std::string md5 = testsupport::Md5OfFile(root / "big.bin");
            if (testsupport::Md5OfFile(local / "big.bin") != md5
                || testsupport::Md5OfFile(root / "big-up.bin") != md5) {
                std::fprintf(stderr, "wan_many_files: the big file differs after the queue's download or upload\n");
                return 1;
            }
            fs::remove_all(local);
            // The time for the bytes alone, at the link's speed or the limit's.
            const double rate = limit ? double(limit) * 1024 : kLinkMbit * 1e6 / 8;
            const double ideal = double(bigSize) / rate, margin = limit ? 0.10 : 0.05;
            auto within = [&](double t) { return std::fabs(t - ideal) <= margin * ideal ? "yes" : "no"; };
            std::printf("%llu MiB through the relay capped at %.0f Mbit/s%s: queue down %.2f s, up %.2f s; within "
                        "%.0f %% of %.1f s: down %s, up %s\n",
                static_cast<unsigned long long>(bigMib), kLinkMbit,
                limit ? (", speed limit " + std::to_string(limit) + " KiB/s").c_str() : "", down, up, margin * 100,
                ideal, within(down), within(up));
            std::fflush(stdout);
        }
    }

    const int n = 4;
    const double ours = oursBoth.at(n), lftp = lftpBoth.at(n);
    std::printf("%d small files both ways through the relay at %.0f ms, N=%d queue %.2f s against lftp "
                "--parallel=%d %.2f s: ratio %.2f%s\n",
                files, g_delayMs, n, ours, n, lftp, ours / lftp, "");
    return 0;
}
