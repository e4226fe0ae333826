// Fetches a 1 GiB file from a local nginx with THttpCli into a file, then
// the same file with curl, and prints both rates and their ratio.
//   http_download [MiB]   (default 1024)
#include "http/HttpProt.hpp"
#include "http_peers.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool MakeFile(const std::filesystem::path& path, std::int64_t size)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 + i / 4096);
    for (std::int64_t left = size; left > 0; left -= static_cast<std::int64_t>(block.size()))
        out.write(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, block.size())));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const std::int64_t size = mib * 1024 * 1024;
    testsupport::NginxPeer nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "http_download: nginx did not start\n%s", nginx.Log().c_str());
        return 1;
    }
    testsupport::TempDir work;
    std::filesystem::create_directories(nginx.Root());
    if (!MakeFile(nginx.Root() / "big.bin", size)) {
        std::fprintf(stderr, "http_download: cannot write the test file\n");
        return 1;
    }
    const std::string url = nginx.Base() + "/big.bin";
    std::printf("file: %lld MiB from %s\n", static_cast<long long>(mib), url.c_str());

    // Warm the page cache so both runs read the same way.
    {
        std::ifstream in(nginx.Root() / "big.bin", std::ios::binary);
        std::vector<char> buf(1 << 20);
        while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())))
            ;
    }

    // Each tool runs twice, alternating; the better run of each counts.
    double ours = 1e30;
    double theirs = 1e30;
    for (int round = 0; round < 2; ++round) {
        {
            const auto target = (work / "tallowin.bin").string();
            http::TFileStream out(target, http::TFileStream::fmCreate);
            http::THttpCli cli;
            cli.SetBodyOutStream(&out);
            cli.SetURL(url);
            auto t0 = std::chrono::steady_clock::now();
            cli.Get();
            ours = std::min(ours, Seconds(t0));
            if (cli.BodyBytesRead() != size || out.Size() != size) {
                std::fprintf(stderr, "http_download: THttpCli got %lld bytes\n", static_cast<long long>(out.Size()));
                return 1;
            }
            std::filesystem::remove(target);
        }
        {
            const auto target = (work / "curl.bin").string();
            const std::string cmd = "curl -s -S -o '" + target + "' '" + url + "'";
            auto t0 = std::chrono::steady_clock::now();
            int rc = std::system(cmd.c_str());
            theirs = std::min(theirs, Seconds(t0));
            if (rc != 0 || std::filesystem::file_size(target) != static_cast<std::uintmax_t>(size)) {
                std::fprintf(stderr, "http_download: curl failed\n");
                return 1;
            }
            std::filesystem::remove(target);
        }
    }
    std::filesystem::remove(nginx.Root() / "big.bin");
    const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf("THttpCli: %.1f MiB/s (%.2f s)\n", mb / ours, ours);
    std::printf("curl:     %.1f MiB/s (%.2f s)\n", mb / theirs, theirs);
    std::printf("THttpCli/curl ratio %.2f\n", theirs / ours);
    return 0;
}
