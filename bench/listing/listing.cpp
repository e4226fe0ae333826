// Lists folders of 10,000 and 100,000 entries from vsftpd into the main
// window's remote list (GetDir through Refresh1Click, on the offscreen
// platform), then the same folders with lftp's "cls -l" (parsed and printed)
// and curl (raw LIST, no parsing: the floor). Each run is its own process so
// its peak memory can be read; best time of 3 rounds, the tools alternating.
// The last line ends with "ratio R", R = our time / lftp's at 100,000 entries.
//
//   listing                      the whole bench
//   listing --worker PORT DIR    one GetDir of DIR; prints "seconds paint list rows"
//   listing --serve              makes the folders, serves them, prints the
//                                port and waits for end of input (to profile
//                                a worker by hand)
#include "../support/child_run.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"
#include "app/program.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "ui/pump/QtPump.hpp"

#include <QApplication>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// ---------------------------------------------------------------- the folders

constexpr std::array<const char*, 40> kExtensions = {
    "txt", "TXT", "jpg", "JPG", "jpeg", "png", "gif", "bmp", "svg", "pdf",
    "doc", "docx", "xls", "xlsx", "odt", "html", "htm", "css", "js", "json",
    "xml", "csv", "c", "cpp", "h", "py", "sh", "zip", "gz", "tar",
    "7z", "iso", "mp3", "wav", "flac", "mp4", "mkv", "avi", "log", "md"};

constexpr std::array<const char*, 12> kStems = {
    "report", "IMG_", "photo", "Backup copy ", "notes", "data-", "track", "Invoice ",
    "draft_", "Scan ", "build.", "My Document "};

// COUNT entries: one in 200 a folder, the rest files, mostly empty, a few
// sparse ones with a size; a third dated over a year back so both date forms
// of LIST appear.
bool MakeFolder(const fs::path& dir, int count)
{
    fs::create_directories(dir);
    const std::time_t now = std::time(nullptr);
    char name[96];
    for (int i = 0; i < count; ++i) {
        const char* stem = kStems[(i * 7) % kStems.size()];
        if (i % 200 == 0) {
            std::snprintf(name, sizeof name, "%s%05d folder", stem, i);
            if (::mkdir((dir / name).c_str(), 0755) != 0)
                return false;
            continue;
        }
        if (i % 97 == 0)
            std::snprintf(name, sizeof name, "%s%06d", stem, i); // no extension
        else
            std::snprintf(name, sizeof name, "%s%06d.%s", stem, i, kExtensions[(i * 13) % kExtensions.size()]);
        const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        if (i % 10 == 3 && ::ftruncate(fd, static_cast<off_t>(i) * 7919 % 50'000'000) != 0) {
            ::close(fd);
            return false;
        }
        const std::time_t when = i % 3 == 0 ? now - 400L * 86400 - i : now - (i % 5000) * 60L;
        const timespec times[2] = {{when, 0}, {when, 0}};
        ::futimens(fd, times);
        ::close(fd);
    }
    return true;
}

// ---------------------------------------------------------------- our side

// One GetDir of DIR through the real window. Prints the seconds of
// Refresh1Click, of the first event pass after it (the view lays out and
// paints), of a bare LIST into a file by the same engine just before (the
// server's and the transfer's share of GetDir), and the row count.
int Worker(int port, const std::string& dir)
{
    testsupport::TempDir home;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TALLOWIN_HOME", home.path().c_str(), 1);
    int qargc = 1;
    char arg0[] = "listing";
    char* qargv[] = {arg0, nullptr};
    QApplication application(qargc, qargv);
    app::SetUpApplication();
    ui::TQtPump pump;
    {
        app::SiteBook book;
        if (!book.Open(home.path().string()))
            return 1;
        app::SiteRecord r;
        r.SetAlias("bench");
        r.SetHostName("127.0.0.1");
        r.SetPort(std::to_string(port));
        r.SetUserName(testsupport::Vsftpd::kUser);
        r.SetPassword(testsupport::Vsftpd::kPassword);
        if (!book.Add(r))
            return 1;
        book.Close();
    }
    app::ScriptedPrompter prompter;
    app::Tmainform form(prompter);
    form.show();
    form.SetPassiveMode("YES");
    // The served root holds only the two bench folders: the listing made on
    // connecting is small, and the timed one is the only big one.
    const auto waitIdle = [&form] {
        while (form.Gate().Busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    };
    form.btnConnectClick();
    waitIdle();
    if (form.LoggedIn() != 1) {
        std::fprintf(stderr, "worker: no log-in\n%s\n", qPrintable(form.LogLines().join('\n')));
        return 1;
    }
    form.FtpClient1().SetHostDirName(dir);
    if (!form.FtpClient1().Cwd()) {
        std::fprintf(stderr, "worker: CWD %s failed\n", dir.c_str());
        return 1;
    }
    QApplication::processEvents();

    ftp::TFtpClient& c = form.FtpClient1();
    c.SetHostDirName(".");
    c.SetHostFileName({});
    c.SetLocalFileName((home / "bare-list.txt").string());
    const auto l0 = Clock::now();
    if (!c.Dir()) {
        std::fprintf(stderr, "worker: LIST failed\n");
        return 1;
    }
    const double list = Seconds(l0, Clock::now());

    const auto t0 = Clock::now();
    form.Refresh1Click();
    waitIdle(); // the listing goes on from the event loop
    const auto t1 = Clock::now();
    QApplication::processEvents();
    const auto t2 = Clock::now();
    std::printf("%.6f %.6f %.6f %d\n", Seconds(t0, t1), Seconds(t1, t2), list, form.dirview().Model().rowCount());
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- running tools

using bench::Run;
using bench::RunChild;

std::size_t Lines(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Best {
    double seconds = 1e9; // best time
    double paint = 0;     // ours: the event pass after the best GetDir
    double list = 1e9;    // ours: best bare LIST into a file
    double parse = 1e9;   // ours: best GetDir less the bare LIST of the same run
    double wall = 1e9;    // ours: best whole-process time
    double peakMb = 0;    // highest peak over the rounds
    bool failed = false;
    void Take(double s, double mb)
    {
        seconds = std::min(seconds, s);
        peakMb = std::max(peakMb, mb);
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && !std::strcmp(argv[1], "--worker"))
        return Worker(std::atoi(argv[2]), argv[3]);

    if (!testsupport::Vsftpd::Available()) {
        std::fprintf(stderr, "listing: needs root, vsftpd and the account of scripts/setup.d/ftp-vsftpd.sh\n");
        return 2;
    }
    const std::array<int, 2> sizes = {10'000, 100'000};
    testsupport::TempDir root, scratch;
    const auto made = Clock::now();
    for (int n : sizes)
        if (!MakeFolder(root / ("e" + std::to_string(n)), n)) {
            std::fprintf(stderr, "listing: cannot make the entries\n");
            return 1;
        }
    std::printf("folders of %d and %d entries made in %.1f s; vsftpd on 127.0.0.1, passive mode\n", sizes[0],
                sizes[1], Seconds(made, Clock::now()));
    testsupport::Vsftpd server;
    if (!server.Start(root.path())) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Log().c_str());
        return 1;
    }
    const std::string port = std::to_string(server.Port());
    if (argc == 2 && !std::strcmp(argv[1], "--serve")) {
        std::printf("port %s\n", port.c_str());
        std::fflush(stdout);
        while (std::getchar() != EOF)
            ;
        return 0;
    }
    const std::string user = testsupport::Vsftpd::kUser, pass = testsupport::Vsftpd::kPassword;
    auto lftpArgs = [&](const std::string& dir) {
        return std::vector<std::string>{
            "lftp", "-c",
            "set ftp:passive-mode on; open -u " + user + "," + pass + " -p " + port + " 127.0.0.1; cls -l " + dir};
    };
    auto curlArgs = [&](const std::string& dir) {
        return std::vector<std::string>{"curl", "-s", "--ftp-pasv",
                                        "ftp://" + user + ":" + pass + "@127.0.0.1:" + port + "/" + dir + "/"};
    };

    // The peers must see every entry, or their times mean nothing.
    for (int n : sizes) {
        const std::string dir = "e" + std::to_string(n);
        const Run l = RunChild(lftpArgs(dir), true), c = RunChild(curlArgs(dir), true);
        if (!l.ok || Lines(l.out) != std::size_t(n) || !c.ok || Lines(c.out) != std::size_t(n)) {
            std::fprintf(stderr, "listing: %s: lftp gave %zu lines, curl %zu, expected %d\n", dir.c_str(),
                         Lines(l.out), Lines(c.out), n);
            return 1;
        }
    }

    std::array<Best, 2> ours, lftp, curl;
    for (int round = 0; round < 3; ++round)
        for (std::size_t k = 0; k < sizes.size(); ++k) {
            const std::string dir = "e" + std::to_string(sizes[k]);
            const std::string errFile = (scratch / "worker.err").string();
            const Run w = RunChild({"/proc/self/exe", "--worker", port, dir}, true, errFile);
            double s = 0, paint = 0, list = 0;
            int rows = -1;
            if (!w.ok || std::sscanf(w.out.c_str(), "%lf %lf %lf %d", &s, &paint, &list, &rows) != 4
                || rows != sizes[k]) {
                std::fprintf(stderr, "listing: our run on %s failed (%d rows)\n", dir.c_str(), rows);
                std::system(("cat '" + errFile + "' >&2").c_str());
                return 1;
            }
            ours[k].list = std::min(ours[k].list, list);
            ours[k].parse = std::min(ours[k].parse, s - list);
            if (s < ours[k].seconds)
                ours[k].paint = paint;
            ours[k].Take(s, w.peakMb);
            ours[k].wall = std::min(ours[k].wall, w.seconds);
            const Run l = RunChild(lftpArgs(dir), false);
            lftp[k].Take(l.seconds, l.peakMb);
            lftp[k].failed |= !l.ok;
            const Run c = RunChild(curlArgs(dir), false);
            curl[k].Take(c.seconds, c.peakMb);
            curl[k].failed |= !c.ok;
        }
    if (lftp[1].failed || curl[1].failed || lftp[0].failed || curl[0].failed) {
        std::fprintf(stderr, "listing: a peer run failed\n");
        return 1;
    }

    std::printf("(peer times are whole runs: start, log-in, LIST, output; ours is Refresh1Click alone)\n");
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        std::printf("%6d entries  Tmainform GetDir %.3f s (bare LIST %.3f s; parse and show %.3f s; "
                    "then first paint %.3f s; whole process %.3f s), peak %.1f MB\n",
                    sizes[k], ours[k].seconds, ours[k].list, ours[k].parse, ours[k].paint,
                    ours[k].wall, ours[k].peakMb);
        std::printf("%6d entries  lftp cls -l      %.3f s, peak %.1f MB\n", sizes[k], lftp[k].seconds,
                    lftp[k].peakMb);
        std::printf("%6d entries  curl raw LIST    %.3f s, peak %.1f MB\n", sizes[k], curl[k].seconds,
                    curl[k].peakMb);
    }
    const double growth = ours[1].seconds / ours[0].seconds;
    const double ratio = ours[1].seconds / lftp[1].seconds;
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("growth from 10,000 to 100,000 entries: GetDir %.1f x (target at most 12 x: %s), "
                "parse and show %.1f x\n",
                growth, verdict(growth <= 12), ours[1].parse / ours[0].parse);
    const double parse = ours[1].parse;
    std::printf("100,000 entries: GetDir %.3f s against lftp %.3f s (target at most 0.5 x lftp: %s); "
                "parse and show %.3f s (target under 1 s: %s)\n",
                ours[1].seconds, lftp[1].seconds, verdict(ratio <= 0.5), parse, verdict(parse < 1));
    std::printf("peak memory with 100,000 rows: %.1f MB (target under 100 MB: %s)\n", ours[1].peakMb,
                verdict(ours[1].peakMb < 100));
    std::printf("Tmainform GetDir of 100,000 entries against lftp cls -l: ratio %.2f\n", ratio);
    return 0;
}
