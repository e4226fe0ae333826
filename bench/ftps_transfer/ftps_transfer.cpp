// Downloads and uploads a 1 GiB file over loopback from vsftpd with explicit
// TLS (AUTH TLS, PROT P, session reuse required) with TFtpClient (blocking
// Get and Put, passive mode) and with curl --ssl-reqd against the same server
// and file, three rounds with the tools alternating, and prints the best MB/s
// of each and the ratios. The last line ends with "ratio R", R the lower of
// the two ratios (ours / curl).
//
//   ftps_transfer [--size MiB]
#include "../support/engine_login.hpp"
#include "../support/child_run.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "ui/pump/QtPump.hpp"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Figures {
    double down = 0, up = 0; // MB/s
    void KeepBest(const Figures& o)
    {
        down = std::max(down, o.down);
        up = std::max(up, o.up);
    }
};

bool EngineRun(int port, const fs::path& root, const fs::path& tmp, std::uint64_t size, Figures& out,
               std::string& tls)
{
    ftp::TFtpClient c;
    c.SetTlsMode(ftp::ftpTlsRequire);
    if (!bench::LogInToVsftpd(c, port)) {
        std::fprintf(stderr, "connect failed: %s\n", c.ErrorMessage().c_str());
        return false;
    }
    tls = c.TlsDescription();
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
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc)
            mib = std::strtoull(argv[++i], nullptr, 10);
    if (!testsupport::Vsftpd::Available()) {
        std::fprintf(stderr, "ftps_transfer: needs root, vsftpd and the account of scripts/setup.d/ftp-vsftpd.sh\n");
        return 2;
    }
    testsupport::TestCertificates certs;
    if (!certs.Make()) {
        std::fprintf(stderr, "ftps_transfer: openssl could not make the certificates\n");
        return 1;
    }
    // Our engine verifies against the bench's CA; curl is told -k.
    ::setenv("SSL_CERT_FILE", certs.Ca().c_str(), 1);
    const std::uint64_t size = mib << 20;
    testsupport::TempDir root, tmp;
    testsupport::MakePatternFile(root / "bench.bin", size, 42);
    testsupport::Vsftpd server;
    server.SetTls(certs.ServerCert(), certs.ServerKey());
    if (!server.Start(root.path())) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Log().c_str());
        return 1;
    }
    const std::string url = "ftp://" + std::string(testsupport::Vsftpd::kUser) + ":" +
                            testsupport::Vsftpd::kPassword + "@127.0.0.1:" + std::to_string(server.Port()) + "/";
    const std::string local = (tmp / "peer.bin").string();

    QCoreApplication app(argc, argv);
    ui::TQtPump pump;

    Figures engine, curl;
    std::string tls;
    for (int round = 0; round < 3; ++round) {
        Figures f;
        if (!EngineRun(server.Port(), root.path(), tmp.path(), size, f, tls))
            return 1;
        engine.KeepBest(f);

        bench::Run r = bench::RunChild({"curl", "-s", "--ssl-reqd", "-k", "--ftp-pasv", "-o", local, url + "bench.bin"}, false);
        f.down = r.ok ? size / 1e6 / r.seconds : 0;
        r = bench::RunChild({"curl", "-s", "--ssl-reqd", "-k", "--ftp-pasv", "-T", local, url + "curl-up.bin"}, false);
        f.up = r.ok ? size / 1e6 / r.seconds : 0;
        curl.KeepBest(f);
        fs::remove(local);
        fs::remove(root / "curl-up.bin");
    }
    fs::remove(root / "bench.bin");
    std::printf("file: %llu MiB, server vsftpd on 127.0.0.1 with explicit TLS (%s), passive mode\n",
                static_cast<unsigned long long>(mib), tls.c_str());
    std::printf("best of 3 rounds, tools alternating\n");
    std::printf("TFtpClient download %.1f MB/s, upload %.1f MB/s\n", engine.down, engine.up);
    std::printf("curl --ssl-reqd download %.1f MB/s, upload %.1f MB/s\n", curl.down, curl.up);
    const double rDown = curl.down > 0 ? engine.down / curl.down : 0;
    const double rUp = curl.up > 0 ? engine.up / curl.up : 0;
    std::printf("download ratio %.2f, upload ratio %.2f\n", rDown, rUp);
    std::printf("TFtpClient against curl: ratio %.2f\n", std::min(rDown, rUp));
    return 0;
}
