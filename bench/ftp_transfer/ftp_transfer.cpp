// Downloads and uploads a 1 GiB file over loopback from vsftpd with
// TFtpClient (blocking Get and Put, passive mode), then with curl and lftp
// against the same server and file, and prints MB/s, the ratios and our peak
// memory. The last line ends with "ratio R", R the lower of the two ratios.
//
//   ftp_transfer [--size MiB] [--part-blocks] [--blocks RECV,SEND]
// --part-blocks also measures the engine with 4096-byte reads and 1460-byte
// upload blocks.
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"

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
};

bool EngineRun(int port, const fs::path& root, const fs::path& tmp, std::uint64_t size, int recvBlock,
               int sendBlock, Figures& out)
{
    ftp::TFtpClient c;
    c.SetTransferBlockSizes(recvBlock, sendBlock);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.SetUserName(testsupport::Vsftpd::kUser);
    c.SetPassWord(testsupport::Vsftpd::kPassword);
    c.SetTimeout(60);
    c.SetPassive(true);
    if (!c.Connect() || !c.SendType()) {
        std::fprintf(stderr, "connect failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    c.SetHostFileName("bench.bin");
    c.SetLocalFileName((tmp / "engine-down.bin").string());
    auto t0 = Clock::now();
    bool ok = c.Get();
    auto t1 = Clock::now();
    if (!ok || c.ByteCount() != static_cast<std::int64_t>(size)) {
        std::fprintf(stderr, "get failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    c.SetHostFileName("engine-up.bin");
    auto t2 = Clock::now();
    ok = c.Put();
    auto t3 = Clock::now();
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

    Figures engine;
    if (!EngineRun(server.Port(), root.path(), tmp.path(), size, recvBlock, sendBlock, engine))
        return 1;
    std::printf("TFtpClient download %.1f MB/s, upload %.1f MB/s\n", engine.down, engine.up);
    struct rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    const double peakMb = ru.ru_maxrss / 1024.0;

    if (partBlocks) {
        Figures part;
        if (EngineRun(server.Port(), root.path(), tmp.path(), size, 4096, 1460, part))
            std::printf("TFtpClient with 4096/1460-byte blocks: download %.1f MB/s, upload %.1f MB/s\n",
                        part.down, part.up);
    }

    Figures curl, lftp;
    double t = RunTimed({"curl", "-s", "--ftp-pasv", "-o", local, url + "bench.bin"});
    curl.down = t > 0 ? size / 1e6 / t : 0;
    t = RunTimed({"curl", "-s", "--ftp-pasv", "-T", local, url + "curl-up.bin"});
    curl.up = t > 0 ? size / 1e6 / t : 0;
    fs::remove(local);
    fs::remove(root / "curl-up.bin");
    std::printf("curl download %.1f MB/s, upload %.1f MB/s\n", curl.down, curl.up);

    const std::string login = std::string(testsupport::Vsftpd::kUser) + "," + testsupport::Vsftpd::kPassword;
    const std::string port = std::to_string(server.Port());
    t = RunTimed({"lftp", "-u", login, "-p", port, "-e",
                  "set ftp:passive-mode on; set xfer:clobber on; get bench.bin -o " + local + "; bye",
                  "127.0.0.1"});
    lftp.down = t > 0 ? size / 1e6 / t : 0;
    t = RunTimed({"lftp", "-u", login, "-p", port, "-e",
                  "set ftp:passive-mode on; put " + local + " -o lftp-up.bin; bye", "127.0.0.1"});
    lftp.up = t > 0 ? size / 1e6 / t : 0;
    fs::remove(local);
    fs::remove(root / "lftp-up.bin");
    fs::remove(root / "bench.bin");
    std::printf("lftp download %.1f MB/s, upload %.1f MB/s\n", lftp.down, lftp.up);

    const double bestDown = std::max(curl.down, lftp.down);
    const double bestUp = std::max(curl.up, lftp.up);
    const double rDown = bestDown > 0 ? engine.down / bestDown : 0;
    const double rUp = bestUp > 0 ? engine.up / bestUp : 0;
    std::printf("peak memory of this process: %.1f MB\n", peakMb);
    std::printf("download ratio %.2f (of the faster peer), upload ratio %.2f\n", rDown, rUp);
    std::printf("TFtpClient against the faster peer: ratio %.2f\n", std::min(rDown, rUp));
    return 0;
}
