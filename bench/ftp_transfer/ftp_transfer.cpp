// Downloads and uploads a 1 GiB file over loopback from vsftpd with
// TFtpClient (blocking Get and Put, passive mode), with curl and with lftp
// against the same server and file, three rounds with the tools alternating,
// and prints the best MB/s of each, the ratios and our peak memory. The
// engine runs under the Qt pump as in the program, with a 10 ms QTimer; the
// largest gap between two of its ticks during the engine's transfers shows
// whether the window would stay responsive. The last line ends with
// "ratio R", R the lower of the two ratios.
//
//   ftp_transfer [--size MiB] [--part-blocks] [--blocks RECV,SEND]
// --part-blocks also measures the engine with 4096-byte reads and 1460-byte
// upload blocks.
#include "../support/engine_login.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "ui/pump/QtPump.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

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
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Runs a peer tool, returns the wall time or -1 on failure.
double RunTimed(const std::vector<std::string>& argv)
{
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto stop = Clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return Seconds(start, stop);
}

struct Figures {
    double down = 0, up = 0; // MB/s
    void KeepBest(const Figures& o)
    {
        down = std::max(down, o.down);
        up = std::max(up, o.up);
    }
};

// A 10 ms timer of the toolkit; it can tick only when the engine lets Qt run.
class TickGaps {
public:
    TickGaps()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            if (m_last >= 0)
                m_worst = std::max(m_worst, now - m_last);
            m_last = now;
        });
        m_clock.start();
    }
    void Start()
    {
        m_last = -1;
        m_timer.start(10);
    }
    void Stop() { m_timer.stop(); }
    qint64 Worst() const { return m_worst; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    qint64 m_worst = 0;
};

bool EngineRun(int port, const fs::path& root, const fs::path& tmp, std::uint64_t size, int recvBlock,
               int sendBlock, TickGaps& gaps, Figures& out)
{
    ftp::TFtpClient c;
    c.SetTransferBlockSizes(recvBlock, sendBlock);
    if (!bench::LogInToVsftpd(c, port)) {
        std::fprintf(stderr, "connect failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    c.SetHostFileName("bench.bin");
    c.SetLocalFileName((tmp / "engine-down.bin").string());
    gaps.Start();
    auto t0 = Clock::now();
    bool ok = c.Get();
    auto t1 = Clock::now();
    gaps.Stop();
    if (!ok || c.ByteCount() != static_cast<std::int64_t>(size)) {
        std::fprintf(stderr, "get failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    c.SetHostFileName("engine-up.bin");
    gaps.Start();
    auto t2 = Clock::now();
    ok = c.Put();
    auto t3 = Clock::now();
    gaps.Stop();
    if (!ok || fs::file_size(root / "engine-up.bin") != size) {
        std::fprintf(stderr, "put failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    c.Quit();
    out.down = size / 1e6 / Seconds(t0, t1);
    out.up = size / 1e6 / Seconds(t2, t3);
    fs::remove(tmp / "engine-down.bin");
    fs::remove(root / "engine-up.bin");
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint64_t mib = 1024;
    bool partBlocks = false;
    int recvBlock = 0, sendBlock = 0; // 0: the engine's defaults
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--blocks") && i + 1 < argc) {
            std::sscanf(argv[++i], "%d,%d", &recvBlock, &sendBlock);
            continue;
        }
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc)
            mib = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--part-blocks"))
            partBlocks = true;
    }
    if (!testsupport::Vsftpd::Available()) {
        std::fprintf(stderr, "ftp_transfer: needs root, vsftpd and the account of scripts/setup.d/ftp-vsftpd.sh\n");
        return 2;
    }
    const std::uint64_t size = mib << 20;
    testsupport::TempDir root, tmp;
    std::printf("file: %llu MiB, server vsftpd on 127.0.0.1, passive mode\n",
                static_cast<unsigned long long>(mib));
    testsupport::MakePatternFile(root / "bench.bin", size, 42);
    testsupport::Vsftpd server;
    if (!server.Start(root.path())) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Log().c_str());
        return 1;
    }
    const std::string url = "ftp://" + std::string(testsupport::Vsftpd::kUser) + ":" +
                            testsupport::Vsftpd::kPassword + "@127.0.0.1:" + std::to_string(server.Port()) + "/";
    const std::string local = (tmp / "peer.bin").string();

    QCoreApplication app(argc, argv);
    ui::TQtPump pump;
    TickGaps gaps;
    const std::string login = std::string(testsupport::Vsftpd::kUser) + "," + testsupport::Vsftpd::kPassword;
    const std::string port = std::to_string(server.Port());

    // One round runs each tool once; the tools alternate and the best of
    // three rounds counts, so a disturbance hits one run, not one tool.
    Figures engine, part, curl, lftp;
    double peakMb = 0;
    for (int round = 0; round < 3; ++round) {
        Figures f;
        if (!EngineRun(server.Port(), root.path(), tmp.path(), size, recvBlock, sendBlock, gaps, f))
            return 1;
        engine.KeepBest(f);
        struct rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        peakMb = ru.ru_maxrss / 1024.0;
        if (partBlocks && EngineRun(server.Port(), root.path(), tmp.path(), size, 4096, 1460, gaps, f))
            part.KeepBest(f);

        double t = RunTimed({"curl", "-s", "--ftp-pasv", "-o", local, url + "bench.bin"});
        f.down = t > 0 ? size / 1e6 / t : 0;
        t = RunTimed({"curl", "-s", "--ftp-pasv", "-T", local, url + "curl-up.bin"});
        f.up = t > 0 ? size / 1e6 / t : 0;
        curl.KeepBest(f);
        fs::remove(local);
        fs::remove(root / "curl-up.bin");

        t = RunTimed({"lftp", "-u", login, "-p", port, "-e",
                      "set ftp:passive-mode on; set xfer:clobber on; get bench.bin -o " + local + "; bye",
                      "127.0.0.1"});
        f.down = t > 0 ? size / 1e6 / t : 0;
        t = RunTimed({"lftp", "-u", login, "-p", port, "-e",
                      "set ftp:passive-mode on; put " + local + " -o lftp-up.bin; bye", "127.0.0.1"});
        f.up = t > 0 ? size / 1e6 / t : 0;
        lftp.KeepBest(f);
        fs::remove(local);
        fs::remove(root / "lftp-up.bin");
    }
    fs::remove(root / "bench.bin");
    std::printf("best of 3 rounds, tools alternating\n");
    std::printf("TFtpClient download %.1f MB/s, upload %.1f MB/s\n", engine.down, engine.up);
    if (partBlocks)
        std::printf("TFtpClient with 4096/1460-byte blocks: download %.1f MB/s, upload %.1f MB/s\n", part.down,
                    part.up);
    std::printf("curl download %.1f MB/s, upload %.1f MB/s\n", curl.down, curl.up);
    std::printf("lftp download %.1f MB/s, upload %.1f MB/s\n", lftp.down, lftp.up);
    std::printf("largest gap between ticks of a 10 ms timer during TFtpClient's transfers: %lld ms\n",
                static_cast<long long>(gaps.Worst()));

    const double bestDown = std::max(curl.down, lftp.down);
    const double bestUp = std::max(curl.up, lftp.up);
    const double rDown = bestDown > 0 ? engine.down / bestDown : 0;
    const double rUp = bestUp > 0 ? engine.up / bestUp : 0;
    std::printf("peak memory of this process: %.1f MB\n", peakMb);
    std::printf("download ratio %.2f (of the faster peer), upload ratio %.2f\n", rDown, rUp);
    std::printf("TFtpClient against the faster peer: ratio %.2f\n", std::min(rDown, rUp));
    return 0;
}
