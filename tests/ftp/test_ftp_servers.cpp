// The engine against real servers on loopback: pyftpdlib, vsftpd, ftp-proxy.
#include "ftp_peers.hpp"
#include "socks_peers.hpp"
#include "ftp_test_util.hpp"
#include "ftp/FtpSrvT.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

using namespace ftp;
using ftptest::Recorder;
using testsupport::Md5OfFile;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBig = 64ull << 20;

// Puts local/up.bin as big.bin and gets it back into local/down.bin, passive
// then active; every copy (remoteBig is the server's) must hash to want.
void RoundTripBothModes(TFtpClient& c, const fs::path& local, const fs::path& remoteBig, const std::string& want)
{
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        c.SetPassive(passive);
        c.SetHostFileName("big.bin");
        c.SetLocalFileName((local / "up.bin").string());
        ASSERT_TRUE(c.Put()) << c.ErrorMessage();
        EXPECT_EQ(c.ByteCount(), static_cast<std::int64_t>(kBig));
        EXPECT_EQ(Md5OfFile(remoteBig), want);
        c.SetLocalFileName((local / "down.bin").string());
        ASSERT_TRUE(c.Get()) << c.ErrorMessage();
        EXPECT_EQ(c.ByteCount(), static_cast<std::int64_t>(kBig));
        EXPECT_EQ(Md5OfFile(local / "down.bin"), want);
        fs::remove(local / "down.bin");
    }
}

// Passive uploads with and without the data sent before the 150: every size
// arrives whole, the early form has bytes out by the time the 150 comes, and
// a refused STOR fails without spoiling the next one.
void EarlyUploadData(TFtpClient& c, const fs::path& local, const fs::path& remote)
{
    c.SetPassive(true);
    std::int64_t atGoAhead = -1;
    c.OnResponse = [&](TCustomFtpCli* s) {
        if (s->StatusCode() == 150 || s->StatusCode() == 125)
            atGoAhead = s->ByteCount();
    };
    for (bool early : { true, false })
        for (std::uint64_t size : { 0ull, 1ull, 4096ull, 3ull << 20 }) {
            SCOPED_TRACE(std::to_string(size) + (early ? " early" : " after 150"));
            c.SetEarlyUploadData(early);
            testsupport::MakePatternFile(local / "e.bin", size, static_cast<std::uint32_t>(size) + 1);
            c.SetHostFileName("e.bin");
            c.SetLocalFileName((local / "e.bin").string());
            atGoAhead = -1;
            ASSERT_TRUE(c.Put()) << c.ErrorMessage();
            EXPECT_EQ(Md5OfFile(remote / "e.bin"), Md5OfFile(local / "e.bin"));
            EXPECT_EQ(atGoAhead > 0, early && size > 0) << atGoAhead;
            c.SetHostFileName("no such folder/e.bin");
            EXPECT_FALSE(c.Put());
            EXPECT_GE(c.StatusCode(), 400) << c.LastResponse();
        }
    c.OnResponse = nullptr;
    fs::remove(remote / "e.bin");
}

class PyFtpdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_root = new testsupport::TempDir;
        s_server = new testsupport::PyFtpd;
        ASSERT_TRUE(s_server->Start({{"alice", "secret", s_root->path()}})) << s_server->Log();
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_root;
        s_server = nullptr;
        s_root = nullptr;
    }
    void SetUp() override
    {
        r.Attach(c);
        c.SetHostName("127.0.0.1");
        c.SetPort(std::to_string(s_server->Port()));
        c.SetUserName("alice");
        c.SetPassWord("secret");
        c.SetTimeout(20);
        ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << s_server->Log();
        // Get and Put send no TYPE; pyftpdlib starts in ASCII and would convert.
        ASSERT_TRUE(c.SendType());
    }
    void TearDown() override
    {
        if (c.Connected())
            c.Quit();
    }
    static fs::path Remote(const std::string& n) { return s_root->path() / n; }

    static testsupport::TempDir* s_root;
    static testsupport::PyFtpd* s_server;
    testsupport::TempDir local;
    Recorder r;
    TFtpClient c;
};
testsupport::TempDir* PyFtpdTest::s_root = nullptr;
testsupport::PyFtpd* PyFtpdTest::s_server = nullptr;

TEST_F(PyFtpdTest, DirectoryAndFileOperations)
{
    ASSERT_TRUE(c.Pwd());
    EXPECT_EQ(c.DirResult(), "/");
    c.SetHostFileName("ops dir");
    ASSERT_TRUE(c.Mkd()) << c.ErrorMessage();
    EXPECT_EQ(c.DirResult(), "/ops dir");
    EXPECT_TRUE(fs::is_directory(Remote("ops dir")));
    c.SetHostDirName("ops dir");
    ASSERT_TRUE(c.Cwd());
    ASSERT_TRUE(c.Pwd());
    EXPECT_EQ(c.DirResult(), "/ops dir");

    testsupport::WriteFile(local / "small.txt", "hello\r\nworld\n");
    c.SetPassive(true);
    c.SetHostFileName("small.txt");
    c.SetLocalFileName((local / "small.txt").string());
    ASSERT_TRUE(c.Put()) << c.ErrorMessage();
    EXPECT_EQ(testsupport::ReadFile(Remote("ops dir/small.txt")), "hello\r\nworld\n");

    ASSERT_TRUE(c.Size());
    EXPECT_EQ(c.SizeResult(), 13);

    c.SetHostFileName("");
    c.SetLocalFileName((local / "ftpdir.txt").string());
    ASSERT_TRUE(c.Dir()) << c.ErrorMessage();
    EXPECT_NE(testsupport::ReadFile(local / "ftpdir.txt").find("small.txt"), std::string::npos);

    // NLST and MLSD (asynchronous forms only) into OnDisplayFile.
    c.SetDisplayFileFlag(true);
    ASSERT_TRUE(c.BeginNameList());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    EXPECT_EQ(r.displayFile, std::vector<std::string>{"small.txt"});
    r.displayFile.clear();
    ASSERT_TRUE(c.BeginMlsd());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    EXPECT_EQ(r.done.back(), std::make_pair(ftpRqMlsd, std::uint16_t{0}));
    ASSERT_EQ(r.displayFile.size(), 1u);
    EXPECT_NE(r.displayFile[0].find("size=13;"), std::string::npos) << r.displayFile[0];
    c.SetDisplayFileFlag(false);

    c.SetHostFileName("small.txt");
    c.SetLocalFileName("renamed.txt");
    ASSERT_TRUE(c.Rename()) << c.ErrorMessage();
    EXPECT_TRUE(fs::exists(Remote("ops dir/renamed.txt")));

    c.SetHostFileName("renamed.txt");
    c.SetChmodMode("640");
    ASSERT_TRUE(c.SiteChmod()) << c.ErrorMessage();
    EXPECT_EQ(fs::status(Remote("ops dir/renamed.txt")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // FEAT, MLST and MDTM through their asynchronous forms.
    ASSERT_TRUE(c.BeginFeat());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    EXPECT_TRUE(c.SupportedExtensions().Contains(ftpFeatMdtm));
    EXPECT_TRUE(c.SupportedExtensions().Contains(ftpFeatSize));
    EXPECT_TRUE(c.SupportedExtensions().Contains(ftpFeatMlst));
    EXPECT_NE(c.MlstFacts().find("size"), std::string::npos);
    ASSERT_TRUE(c.BeginMlst());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    EXPECT_NE(c.RemoteFacts().find("size=13;"), std::string::npos) << c.RemoteFacts();
    ::utime(Remote("ops dir/renamed.txt").c_str(), nullptr);
    struct stat st{};
    ::stat(Remote("ops dir/renamed.txt").c_str(), &st);
    ASSERT_TRUE(c.BeginMdtm());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    EXPECT_NEAR(static_cast<double>(DateTimeToUnix(c.RemoteFileDateTime())), static_cast<double>(st.st_mtime), 1.0);

    ASSERT_TRUE(c.Dele());
    EXPECT_FALSE(fs::exists(Remote("ops dir/renamed.txt")));
    EXPECT_FALSE(c.Size()); // 550 for a missing file
    EXPECT_EQ(c.SizeResult(), 0);
    EXPECT_EQ(c.StatusCode(), 550);

    ASSERT_TRUE(c.BeginCdUp());
    ASSERT_TRUE(ftptest::WaitDone(r, r.done.size() + 1));
    c.SetHostFileName("ops dir");
    ASSERT_TRUE(c.Rmd());
    EXPECT_FALSE(fs::exists(Remote("ops dir")));
    ASSERT_TRUE(c.Quit());
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(r.sessionClosed, 1);
}

// 64 MiB up and down in both modes, checked by hash.
TEST_F(PyFtpdTest, IntegrityBothModes)
{
    testsupport::MakePatternFile(local / "up.bin", kBig, 7);
    ASSERT_NO_FATAL_FAILURE(RoundTripBothModes(c, local.path(), Remote("big.bin"), Md5OfFile(local / "up.bin")));
    fs::remove(Remote("big.bin"));
}

// Two downloads share one limit and an upload has its own, all at once: each
// way takes size/limit to within 10 %, without a busy loop; then a zero rate
// moves the same bytes at full speed.
TEST_F(PyFtpdTest, SpeedLimitsHoldOverSharedEngines)
{
    constexpr std::int64_t kRate = 1 << 20, kFile = 5 << 20; // 10 s each way
    testsupport::MakePatternFile(Remote("lim1.bin"), kFile, 3);
    testsupport::MakePatternFile(Remote("lim2.bin"), kFile, 4);
    testsupport::MakePatternFile(local / "up.bin", 2 * kFile, 5);
    auto down = std::make_shared<net::TRateLimit>(kRate), up = std::make_shared<net::TRateLimit>(kRate);
    TFtpClient b, u;
    Recorder rb, ru;
    for (auto [e, rec] : { std::pair { &b, &rb }, std::pair { &u, &ru } }) {
        rec->Attach(*e);
        e->SetHostName("127.0.0.1");
        e->SetPort(std::to_string(s_server->Port()));
        e->SetUserName("alice");
        e->SetPassWord("secret");
        ASSERT_TRUE(e->Connect() && e->SendType()) << e->ErrorMessage();
    }
    struct Job {
        TFtpClient* engine;
        Recorder* rec;
        std::string remote, local;
        bool get;
        double seconds = 0;
    };
    std::vector<Job> jobs { { &c, &r, "lim1.bin", (local / "d1.bin").string(), true },
        { &b, &rb, "lim2.bin", (local / "d2.bin").string(), true },
        { &u, &ru, "up.bin", (local / "up.bin").string(), false } };
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    for (Job& j : jobs) {
        j.engine->SetRateLimits(down, up);
        j.engine->SetPassive(true);
        j.engine->SetHostFileName(j.remote);
        j.engine->SetLocalFileName(j.local);
        const std::size_t was = j.rec->done.size();
        ASSERT_TRUE(j.get ? j.engine->BeginGet() : j.engine->BeginPut());
        j.seconds = -double(was); // done count to wait past
    }
    for (std::size_t left = jobs.size(); left > 0;) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        platform::WaitMessage(100);
        platform::ProcessMessages();
        for (Job& j : jobs)
            if (j.seconds <= 0 && double(j.rec->done.size()) > -j.seconds) {
                ASSERT_EQ(j.rec->done.back().second, 0) << j.engine->ErrorMessage();
                j.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                --left;
            }
    }
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    const auto cpu = [](const rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
            + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    const double wall = std::max({ jobs[0].seconds, jobs[1].seconds, jobs[2].seconds });
    EXPECT_NEAR(std::max(jobs[0].seconds, jobs[1].seconds), 10.0, 1.0) << "two downloads under one limit";
    EXPECT_NEAR(jobs[2].seconds, 10.0, 1.0) << "the upload under its limit";
    EXPECT_LT(cpu(after) - cpu(before), 0.3 * wall) << "waiting must not spin";
    EXPECT_EQ(Md5OfFile(local / "d1.bin"), Md5OfFile(Remote("lim1.bin")));
    EXPECT_EQ(Md5OfFile(local / "d2.bin"), Md5OfFile(Remote("lim2.bin")));
    EXPECT_EQ(Md5OfFile(Remote("up.bin")), Md5OfFile(local / "up.bin"));

    down->SetRate(0);
    up->SetRate(0);
    const auto again = std::chrono::steady_clock::now();
    c.SetHostFileName("lim1.bin");
    c.SetLocalFileName((local / "d1.bin").string());
    ASSERT_TRUE(c.Get()) << c.ErrorMessage();
    c.SetHostFileName("up2.bin");
    c.SetLocalFileName((local / "up.bin").string());
    ASSERT_TRUE(c.Put()) << c.ErrorMessage();
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(3)) << "no limit: full speed";

    // A stop while the bucket is empty ends the transfer at once; the session stays.
    down->SetRate(64 << 10);
    c.SetHostFileName("lim1.bin");
    c.SetLocalFileName((local / "d1.bin").string());
    const std::size_t was = r.done.size();
    ASSERT_TRUE(c.BeginGet());
    ftptest::Pump(300);
    ASSERT_TRUE(c.AbortTransfer());
    ASSERT_TRUE(ftptest::WaitDone(r, was + 1, 2000));
    EXPECT_EQ(r.done.back().second, 426);
    EXPECT_TRUE(c.Pwd()) << c.ErrorMessage();
    for (const char* n : { "lim1.bin", "lim2.bin", "up.bin", "up2.bin" })
        fs::remove(Remote(n));
}

TEST_F(PyFtpdTest, EarlyUploadData)
{
    EarlyUploadData(c, local.path(), s_root->path());
}

TEST_F(PyFtpdTest, RestartGetAndRestartPut)
{
    testsupport::MakePatternFile(Remote("r.bin"), 1 << 20, 3);
    const std::string want = Md5OfFile(Remote("r.bin"));
    // A partial local copy: its size becomes the REST offset.
    {
        std::ifstream in(Remote("r.bin"), std::ios::binary);
        std::string head(300000, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        testsupport::WriteFile(local / "r.bin", head);
    }
    c.SetPassive(true);
    c.SetHostFileName("r.bin");
    c.SetLocalFileName((local / "r.bin").string());
    c.OnProgress = [this](TCustomFtpCli*, std::int64_t n, bool&) { r.progress.push_back(n); };
    ASSERT_TRUE(c.RestartGet()) << c.ErrorMessage();
    EXPECT_TRUE(r.Displayed("> REST 300000"));
    ASSERT_FALSE(r.progress.empty());
    EXPECT_GE(r.progress.front(), 300000);
    EXPECT_EQ(c.ByteCount(), (1 << 20) - 300000);
    EXPECT_EQ(c.ResumeAt(), 0);
    EXPECT_EQ(Md5OfFile(local / "r.bin"), want);

    // No local file: REST is skipped and the whole file comes.
    fs::remove(local / "r.bin");
    r.display.clear();
    ASSERT_TRUE(c.RestartGet()) << c.ErrorMessage();
    EXPECT_FALSE(r.Displayed("> REST"));
    EXPECT_EQ(Md5OfFile(local / "r.bin"), want);

    // Upload resumed at the size the server already has.
    fs::resize_file(Remote("r.bin"), 123456);
    ASSERT_TRUE(c.Size());
    c.SetResumeAt(c.SizeResult());
    ASSERT_TRUE(c.RestartPut()) << c.ErrorMessage();
    EXPECT_EQ(c.ByteCount(), (1 << 20) - 123456);
    // The done event names the request begun: an asynchronous owner waits for that one.
    ASSERT_FALSE(r.done.empty());
    EXPECT_EQ(r.done.back().first, ftpRqRestartPut);
    EXPECT_EQ(Md5OfFile(Remote("r.bin")), want);
    fs::remove(Remote("r.bin"));
}

// Offsets past 4 GiB on sparse files: the bytes at the end must be right.
TEST_F(PyFtpdTest, ResumeBeyond4GiB)
{
    const std::int64_t size = (4ll << 30) + 70000;
    const std::int64_t partial = (4ll << 30) + 1000;
    testsupport::MakePatternFile(local / "tail", 69000, 11);
    const std::string tail = testsupport::ReadFile(local / "tail");
    auto makeSparse = [&](const fs::path& p, std::int64_t len, bool withTail) {
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, len), 0);
        if (withTail) {
            ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), partial), static_cast<ssize_t>(tail.size()));
        }
        ::close(fd);
    };
    auto readTail = [&](const fs::path& p) {
        std::string got(tail.size(), '\0');
        int fd = ::open(p.c_str(), O_RDONLY);
        ssize_t n = ::pread(fd, got.data(), got.size(), partial);
        ::close(fd);
        return n == static_cast<ssize_t>(got.size()) ? got : std::string();
    };
    makeSparse(Remote("huge.bin"), size, true);
    makeSparse(local / "huge.bin", partial, false);
    c.SetPassive(true);
    c.SetHostFileName("huge.bin");
    ASSERT_TRUE(c.Size());
    EXPECT_EQ(c.SizeResult(), size);
    c.SetLocalFileName((local / "huge.bin").string());
    ASSERT_TRUE(c.RestartGet()) << c.ErrorMessage();
    EXPECT_TRUE(r.Displayed("> REST " + std::to_string(partial)));
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(local / "huge.bin")), size);
    EXPECT_TRUE(readTail(local / "huge.bin") == tail);

    // And upward: the server has the partial file, the local file is whole.
    makeSparse(Remote("huge.bin"), partial, false);
    makeSparse(local / "huge.bin", size, true);
    c.SetResumeAt(partial);
    ASSERT_TRUE(c.RestartPut()) << c.ErrorMessage();
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(Remote("huge.bin"))), size);
    EXPECT_TRUE(readTail(Remote("huge.bin")) == tail);
    fs::remove(Remote("huge.bin"));
}

// A whole session as one asynchronous sequence, and the blocking wait driven
// by a caller-supplied pump.
TEST_F(PyFtpdTest, FullGetSequenceAndMessagePump)
{
    fs::create_directory(Remote("seq"));
    testsupport::WriteFile(Remote("seq/a.txt"), "sequence");
    ASSERT_TRUE(c.Quit());
    Recorder fr;
    TFtpClient f;
    fr.Attach(f);
    f.SetHostName("127.0.0.1");
    f.SetPort(std::to_string(s_server->Port()));
    f.SetUserName("alice");
    f.SetPassWord("secret");
    f.SetHostDirName("seq");
    f.SetHostFileName("a.txt");
    f.SetLocalFileName((local / "a.txt").string());
    f.SetPassive(true);
    ASSERT_TRUE(f.BeginFullGet());
    ASSERT_TRUE(ftptest::WaitDone(fr, 1));
    EXPECT_EQ(fr.done[0], std::make_pair(ftpRqFullGet, std::uint16_t{0}));
    EXPECT_EQ(testsupport::ReadFile(local / "a.txt"), "sequence");
    EXPECT_TRUE(fr.Displayed("> CWD seq"));
    EXPECT_TRUE(fr.Displayed("> TYPE I"));
    EXPECT_TRUE(fr.Displayed("> QUIT"));
    EXPECT_FALSE(f.Connected());

    int pumps = 0;
    f.SetMultiThreaded(true);
    f.OnMessagePump = [&pumps](TCustomFtpCli*) {
        ++pumps;
        platform::ProcessMessages();
    };
    ASSERT_TRUE(f.Connect()) << f.ErrorMessage();
    EXPECT_GT(pumps, 0);
    EXPECT_TRUE(f.Quit());
    fs::remove_all(Remote("seq"));
}

// A download the server refuses changes nothing on the local disk; an
// accepted one empties an existing file even when no data comes.
TEST_F(PyFtpdTest, RefusedDownloadLeavesLocalFilesAlone)
{
    testsupport::WriteFile(Remote("empty.txt"), "");
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        c.SetPassive(passive);
        testsupport::WriteFile(local / "keep.txt", "precious");
        c.SetHostFileName("missing.txt");
        c.SetLocalFileName((local / "keep.txt").string());
        EXPECT_FALSE(c.Get());
        EXPECT_EQ(c.StatusCode(), 550);
        EXPECT_EQ(testsupport::ReadFile(local / "keep.txt"), "precious");
        c.SetLocalFileName((local / "new.txt").string());
        EXPECT_FALSE(c.Get());
        EXPECT_FALSE(fs::exists(local / "new.txt"));

        c.SetHostFileName("empty.txt");
        c.SetLocalFileName((local / "keep.txt").string());
        ASSERT_TRUE(c.Get()) << c.ErrorMessage();
        EXPECT_EQ(fs::file_size(local / "keep.txt"), 0u);
        c.SetLocalFileName((local / "new.txt").string());
        ASSERT_TRUE(c.Get()) << c.ErrorMessage();
        EXPECT_TRUE(fs::exists(local / "new.txt"));
        fs::remove(local / "new.txt");
    }
    fs::remove(Remote("empty.txt"));
}

// A local file that cannot be written or read fails the transfer, whatever
// the server replies, and the session goes on in step.
TEST_F(PyFtpdTest, LocalFileFailuresFailTheTransfer)
{
    testsupport::MakePatternFile(Remote("w.bin"), 1 << 20, 9);
    const std::string want = Md5OfFile(Remote("w.bin"));
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        c.SetPassive(passive);
        c.SetHostFileName("w.bin");
        if (fs::exists("/dev/full")) {
            c.SetShareMode(ftpShareCompat); // no lock on a file every process shares
            c.SetLocalFileName("/dev/full");
            EXPECT_FALSE(c.Get());
            EXPECT_EQ(c.ErrorMessage().rfind("550 Error writing local file /dev/full", 0), 0u) << c.ErrorMessage();
            EXPECT_TRUE(r.Displayed("! Error writing local file"));
        }
        // A folder opens for reading but cannot be read: nothing is stored.
        c.SetHostFileName("short.bin");
        c.SetLocalFileName(local.path().string());
        EXPECT_FALSE(c.Put());
        EXPECT_EQ(c.ErrorMessage().rfind("426 Error reading local file", 0), 0u) << c.ErrorMessage();
        EXPECT_FALSE(fs::exists(Remote("short.bin")));

        c.SetHostFileName("w.bin");
        c.SetLocalFileName((local / "w.bin").string());
        ASSERT_TRUE(c.Get()) << c.ErrorMessage();
        EXPECT_EQ(Md5OfFile(local / "w.bin"), want);
    }
    fs::remove(Remote("w.bin"));
    fs::remove(Remote("short.bin"));
}

// Active mode from another local address: PORT names the address listened on.
TEST_F(PyFtpdTest, ActiveModeFromAnotherLocalAddress)
{
    testsupport::WriteFile(Remote("port.txt"), "active from .2");
    ASSERT_TRUE(c.Quit());
    Recorder lr;
    TFtpClient l;
    lr.Attach(l);
    l.SetHostName("127.0.0.1");
    l.SetPort(std::to_string(s_server->Port()));
    l.SetUserName("alice");
    l.SetPassWord("secret");
    l.SetLocalAddr("127.0.0.2");
    l.SetTimeout(20);
    ASSERT_TRUE(l.Connect()) << l.ErrorMessage();
    l.SetPassive(false);
    l.SetHostFileName("port.txt");
    l.SetLocalFileName((local / "port.txt").string());
    ASSERT_TRUE(l.Get()) << l.ErrorMessage();
    EXPECT_TRUE(lr.Displayed("> PORT 127,0,0,2,"));
    EXPECT_EQ(testsupport::ReadFile(local / "port.txt"), "active from .2");
    EXPECT_TRUE(l.Quit());
    fs::remove(Remote("port.txt"));
}

// vsftpd: listings and replies of another kind, transfers checked by hash.
TEST(FtpVsftpd, SessionAndIntegrity)
{
    if (!testsupport::Vsftpd::Available())
        GTEST_SKIP() << "vsftpd or its test account missing (scripts/setup)";
    testsupport::TempDir root, local;
    testsupport::WriteFile(root / "hello.txt", "from vsftpd\n");
    testsupport::Vsftpd server;
    ASSERT_TRUE(server.Start(root.path())) << server.Log();
    Recorder r;
    TFtpClient c;
    r.Attach(c);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server.Port()));
    c.SetUserName(testsupport::Vsftpd::kUser);
    c.SetPassWord(testsupport::Vsftpd::kPassword);
    c.SetTimeout(20);
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << server.Log();
    ASSERT_TRUE(c.SendType());
    ASSERT_TRUE(c.Pwd());
    EXPECT_EQ(c.DirResult(), root.path().string());

    c.SetPassive(true);
    c.SetLocalFileName((local / "list.txt").string());
    ASSERT_TRUE(c.Dir()) << c.ErrorMessage();
    EXPECT_NE(testsupport::ReadFile(local / "list.txt").find("hello.txt"), std::string::npos);

    testsupport::MakePatternFile(local / "up.bin", kBig, 5);
    ASSERT_NO_FATAL_FAILURE(RoundTripBothModes(c, local.path(), root / "big.bin", Md5OfFile(local / "up.bin")));
    c.SetHostFileName("big.bin");
    ASSERT_TRUE(c.Size());
    EXPECT_EQ(c.SizeResult(), static_cast<std::int64_t>(kBig));
    ASSERT_TRUE(c.Dele());
    ASSERT_NO_FATAL_FAILURE(EarlyUploadData(c, local.path(), root.path()));
    c.SetHostFileName("missing.bin");
    c.SetLocalFileName((local / "missing.bin").string());
    EXPECT_FALSE(c.Get());
    EXPECT_EQ(c.StatusCode(), 550);
    ASSERT_TRUE(c.Quit());
}

// Debian's ftp-proxy: the log-in name carries the server as user@host:port.
TEST(FtpProxyServer, LoginThroughProxy)
{
    if (!testsupport::FtpProxy::Available())
        GTEST_SKIP() << "ftp-proxy missing";
    testsupport::TempDir root, local;
    testsupport::WriteFile(root / "via-proxy.txt", "proxied bytes");
    testsupport::PyFtpd server;
    ASSERT_TRUE(server.Start({{"bob", "pw", root.path()}}));
    testsupport::FtpProxy proxy;
    ASSERT_TRUE(proxy.Start(server.Port())) << proxy.Log();
    Recorder r;
    TFtpClient c;
    r.Attach(c);
    c.SetConnectionType(ftpProxy);
    c.SetProxyServer("127.0.0.1");
    c.SetProxyPort(std::to_string(proxy.Port()));
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server.Port()));
    c.SetUserName("bob");
    c.SetPassWord("pw");
    c.SetTimeout(20);
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << proxy.Log();
    EXPECT_TRUE(r.Displayed("> USER bob@127.0.0.1:" + std::to_string(server.Port())));
    EXPECT_TRUE(c.Passive());
    ASSERT_TRUE(c.SendType());
    c.SetHostFileName("via-proxy.txt");
    c.SetLocalFileName((local / "via-proxy.txt").string());
    ASSERT_TRUE(c.Get()) << c.ErrorMessage() << proxy.Log();
    EXPECT_EQ(testsupport::ReadFile(local / "via-proxy.txt"), "proxied bytes");
    EXPECT_FALSE(r.Displayed("! Passive reply names")); // the proxy's own address
    ASSERT_TRUE(c.Quit());
}

// SOCKS connection types through dante: control and data connections both go
// through the proxy (a wrong SOCKS port makes the log-in fail).
struct SocksCase {
    TFtpConnectionType type;
    bool auth;
    const char* name;
};

class FtpSocks : public ::testing::TestWithParam<SocksCase> {};

TEST_P(FtpSocks, SessionThroughDante)
{
    const SocksCase& sc = GetParam();
    testsupport::TempDir root, local;
    testsupport::WriteFile(root / "s.txt", "through socks");
    testsupport::PyFtpd server;
    ASSERT_TRUE(server.Start({{"carol", "pw", root.path()}}));
    testsupport::DanteServer dante;
    if (!dante.Start(sc.auth))
        GTEST_SKIP() << "dante did not start: " << dante.Log();
    Recorder r;
    TFtpClient c;
    r.Attach(c);
    c.SetConnectionType(sc.type);
    c.SetSocksServer("127.0.0.1");
    c.SetSocksPort(std::to_string(testsupport::FreePort())); // nobody there yet
    c.SetSocksUserCode(sc.auth ? testsupport::kSocksUser : "");
    c.SetSocksPassword(sc.auth ? testsupport::kSocksPassword : "");
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server.Port()));
    c.SetUserName("carol");
    c.SetPassWord("pw");
    c.SetTimeout(20);
    EXPECT_FALSE(c.Connect());
    EXPECT_TRUE(c.Passive());
    c.SetSocksPort(std::to_string(dante.Port()));
    EXPECT_EQ(c.SocksPort(), std::to_string(dante.Port()));
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << dante.Log();
    ASSERT_TRUE(c.SendType());
    c.SetHostFileName("s.txt");
    c.SetLocalFileName((local / "s.txt").string());
    ASSERT_TRUE(c.Get()) << c.ErrorMessage() << dante.Log();
    EXPECT_EQ(testsupport::ReadFile(local / "s.txt"), "through socks");
    c.SetHostFileName("back.txt");
    ASSERT_TRUE(c.Put()) << c.ErrorMessage() << dante.Log();
    EXPECT_EQ(testsupport::ReadFile(root / "back.txt"), "through socks");
    EXPECT_FALSE(r.Displayed("! Passive reply names"));
    // Later data connections still go through the proxy: without it they fail.
    dante.Stop();
    c.SetHostFileName("again.txt");
    EXPECT_FALSE(c.Put());
    EXPECT_FALSE(fs::exists(root / "again.txt"));
}

INSTANTIATE_TEST_SUITE_P(Ftp, FtpSocks,
                         // dante has no 4A (it takes 0.0.0.1 literally).
                         ::testing::Values(SocksCase{ftpSocks4, false, "Socks4"},
                                           SocksCase{ftpSocks5, false, "Socks5"},
                                           SocksCase{ftpSocks5, true, "Socks5Auth"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
