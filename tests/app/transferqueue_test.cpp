// TransferQueue on an FtpSession against pyftpdlib, with no window: the test
// pumps the platform event loop itself between Start and the end of the run.
#include "app/core/Queue.hpp"
#include "app/session/FtpSession.hpp"
#include "app/transfer/TransferQueue.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "loop_wait.hpp"
#include "platform/EventLoop.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;
using testsupport::MakePatternFile;
using testsupport::Md5OfFile;
using testsupport::PumpUntil;

namespace {

void Pump(std::uint32_t ms)
{
    PumpUntil([] { return false; }, ms);
}

// Relative path -> "dir" or the file's MD5: two trees compare byte for byte.
std::map<std::string, std::string> Tree(const fs::path& root)
{
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out[fs::relative(e.path(), root).string()] = e.is_directory() ? "dir" : Md5OfFile(e.path());
    return out;
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Prefix(const fs::path& path, std::size_t n)
{
    std::ifstream in(path, std::ios::binary);
    std::string s(n, '\0');
    in.read(s.data(), std::streamsize(n));
    s.resize(std::size_t(in.gcount()));
    return s;
}

std::vector<std::string> OnDisk(const fs::path& file)
{
    std::vector<std::string> lines;
    app::QueueFile(file.string()).Load(lines);
    return lines;
}

// Records what the queue tells its owner; answers questions from a script,
// inside Ask while the script has answers, else the test answers later.
struct Listener : app::TransferListener {
    app::TransferQueue* queue = nullptr;
    std::deque<app::TAnswer> answers;
    std::vector<app::TQueueQuestion> questions;
    std::vector<std::string> notes;
    struct Ended {
        bool ok;
        std::int64_t total, moved;
    };
    std::vector<Ended> ended;
    std::int64_t lastCount = 0;
    std::function<void(std::int64_t)> onProgress;
    int finished = 0;
    app::TransferRunSummary summary;

    void Ask(app::TQueueQuestion q, const std::string&, app::TAnswers) override
    {
        questions.push_back(q);
        if (!answers.empty()) {
            const app::TAnswer a = answers.front();
            answers.pop_front();
            queue->Answer(a);
        }
    }
    void Progress(std::int64_t count, std::int64_t, std::int64_t, std::int64_t) override
    {
        lastCount = count;
        if (onProgress)
            onProgress(count);
    }
    void EntryEnded(bool ok, std::int64_t total, std::int64_t moved, std::int64_t) override
    {
        ended.push_back({ ok, total, moved });
    }
    void Note(const std::string& line) override { notes.push_back(line); }
    void RunFinished(const app::TransferRunSummary& s) override
    {
        ++finished;
        summary = s;
    }
    bool Noted(const std::string& part) const
    {
        for (const auto& n : notes)
            if (n.find(part) != std::string::npos)
                return true;
        return false;
    }
};

// One engine, its session and a queue with its file, logged in to a server.
struct Client {
    testsupport::TempDir dir;
    ftp::TFtpClient engine;
    app::FtpSession session { engine, (dir / "listing.txt").string() };
    Listener heard;
    app::TransferQueue queue { heard, std::make_unique<app::QueueFile>(QueueTxt().string()) };

    explicit Client(int port)
    {
        heard.queue = &queue;
        engine.SetHostName("127.0.0.1");
        engine.SetPort(std::to_string(port));
        engine.SetUserName("u");
        engine.SetPassWord("p");
        engine.SetTimeout(20);
        bool done = false;
        session.Connect([&](const app::SessionResult& r) {
            done = true;
            EXPECT_TRUE(r.Ok) << r.Message;
        });
        EXPECT_TRUE(PumpUntil([&] { return done; }));
    }
    fs::path QueueTxt() const { return dir / "queue.txt"; }
    // Starts a run (it must not be over when Start returns: nothing waits
    // inside it) and pumps until it finished.
    void Run(bool answerAll = false)
    {
        const int before = heard.finished;
        ASSERT_TRUE(queue.Start(session, 0, answerAll));
        ASSERT_EQ(heard.finished, before) << "the run ended inside Start";
        ASSERT_TRUE(PumpUntil([&] { return heard.finished > before; }));
    }
};

class TransferQueueTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_root = new testsupport::TempDir;
        s_server = new testsupport::PyFtpd;
        ASSERT_TRUE(s_server->Start({ { "u", "p", s_root->path() } })) << s_server->Log();
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_root;
    }
    static fs::path Remote(const std::string& name) { return s_root->path() / name; }
    static inline testsupport::TempDir* s_root = nullptr;
    static inline testsupport::PyFtpd* s_server = nullptr;
    testsupport::TempDir local;
};

TEST_F(TransferQueueTest, TreeGoesUpAndComesBackByteForByte)
{
    const fs::path src = local / "tree";
    fs::create_directories(src / "sub" / "deeper");
    fs::create_directories(src / "empty-folder");
    WriteBytes(src / "a.txt", "line one\r\nline two\n");
    WriteBytes(src / "zero.bin", "");
    MakePatternFile(src / "big.bin", 1 << 20, 7);
    WriteBytes(src / "sub" / "b.txt", "b");
    MakePatternFile(src / "sub" / "deeper" / "c.bin", 70000, 3);

    Client c(s_server->Port());
    std::vector<std::string> up;
    app::BuildUploadEntries(src.string(), "tree", local.path().string(), "/", up, nullptr, {});
    c.queue.Append(up);
    EXPECT_EQ(OnDisk(c.QueueTxt()), up); // on disk before anything ran
    c.Run();
    EXPECT_EQ(Tree(Remote("tree")), Tree(src));
    // The run's size, for the time left: the local files' bytes.
    EXPECT_EQ(c.queue.RunSize(), 19 + (1 << 20) + 1 + 70000);
    EXPECT_EQ(c.queue.RunBytes(), c.queue.RunSize());
    EXPECT_EQ(c.heard.summary.Transferred, 5u);
    EXPECT_EQ(c.heard.summary.Failed, 0u);
    EXPECT_TRUE(c.heard.questions.empty());
    EXPECT_TRUE(c.queue.Empty());
    EXPECT_TRUE(OnDisk(c.QueueTxt()).empty());

    // Down again, from rows walked on the server's side.
    std::vector<app::WalkedRow> rows { { "/tree", true } };
    for (const auto& e : fs::recursive_directory_iterator(Remote("tree")))
        rows.push_back({ "/" + fs::relative(e.path(), s_root->path()).string(), e.is_directory() });
    const fs::path dst = local / "down";
    std::vector<std::string> down;
    app::BuildDownloadEntries(dst.string() + "/", "/", rows, down, nullptr);
    c.queue.Append(down);
    c.Run();
    EXPECT_EQ(c.queue.RunSize(), -1); // no listing told the sizes
    EXPECT_EQ(Tree(dst / "tree"), Tree(src));
    EXPECT_EQ(c.heard.summary.Transferred, 5u);
    EXPECT_EQ(c.heard.summary.Failed, 0u);
    EXPECT_TRUE(OnDisk(c.QueueTxt()).empty());
}

// The overwrite question is a state the run waits in: answered inside Ask
// or after the loop ran a while, with each answer's own outcome.
TEST_F(TransferQueueTest, OverwriteQuestionAnswers)
{
    constexpr std::size_t kSize = 300000, kPart = 100000;
    struct Case {
        const char* name;
        bool upload;
        int files;
        app::TAnswer answer;
        bool later;
        bool garbage; // the local part is not the file's head
        int dropped; // entries gone from the queue's head at the end
        bool resumed; // only the missing bytes moved
    } const cases[] = {
        { "ignore", false, 1, app::ansIgnore, false, false, 1, true },
        { "ignore later", false, 1, app::ansIgnore, true, false, 1, true },
        { "ok", false, 1, app::ansOK, false, true, 1, false },
        { "all", false, 3, app::ansAll, false, true, 3, false },
        // Cancel ends the run: a download's entry stays, an upload's goes.
        { "cancel later", false, 2, app::ansCancel, true, true, 0, false },
        { "ignore upload", true, 1, app::ansIgnore, true, false, 1, true },
        { "ok upload", true, 1, app::ansOK, false, true, 1, false },
        { "cancel upload", true, 2, app::ansCancel, false, true, 1, false },
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Client c(s_server->Port());
        std::vector<std::string> lines;
        std::vector<std::pair<fs::path, fs::path>> files; // the whole file, its partial copy
        for (int i = 0; i < k.files; ++i, ++n) {
            const std::string name = "ow" + std::to_string(n) + ".bin";
            const fs::path mine = local / name;
            const fs::path from = k.upload ? mine : Remote(name), to = k.upload ? Remote(name) : mine;
            MakePatternFile(from, kSize, n);
            WriteBytes(to, k.garbage ? std::string(kPart, 'x') : Prefix(from, kPart));
            files.emplace_back(from, to);
            lines.push_back((k.upload ? app::kUploadFile : app::kDownloadFile) + mine.string() + ";/" + name);
        }
        const std::string fromBefore = Md5OfFile(files[0].first), toBefore = Md5OfFile(files[0].second);
        c.queue.Append(lines);
        if (!k.later)
            c.heard.answers.push_back(k.answer);
        ASSERT_TRUE(c.queue.Start(c.session, 0, false));
        if (k.later) {
            ASSERT_TRUE(PumpUntil([&] { return c.queue.Asking(); }));
            Pump(300);
            EXPECT_TRUE(c.queue.Asking());
            EXPECT_EQ(c.heard.finished, 0);
            c.queue.Answer(k.answer);
        }
        ASSERT_TRUE(PumpUntil([&] { return c.heard.finished > 0; }));
        EXPECT_EQ(c.heard.questions.size(), 1u); // All and Cancel answer the rest of the run
        EXPECT_EQ(c.queue.Lines(), std::vector<std::string>(lines.begin() + k.dropped, lines.end()));
        EXPECT_EQ(OnDisk(c.QueueTxt()), c.queue.Lines());
        if (k.answer == app::ansCancel) {
            EXPECT_EQ(Md5OfFile(files[0].first), fromBefore);
            EXPECT_EQ(Md5OfFile(files[0].second), toBefore);
            EXPECT_TRUE(c.heard.summary.Interrupted);
            continue;
        }
        for (const auto& [from, to] : files)
            EXPECT_EQ(Md5OfFile(to), Md5OfFile(from));
        ASSERT_EQ(c.heard.ended.size(), files.size());
        EXPECT_EQ(c.heard.ended[0].moved, std::int64_t(k.resumed ? kSize - kPart : kSize));
        EXPECT_EQ(c.heard.summary.Transferred, files.size());
    }
}

TEST_F(TransferQueueTest, FailedEntryStaysAndTheRunGoesOn)
{
    MakePatternFile(Remote("there.bin"), 5000, 9);
    Client c(s_server->Port());
    const std::vector<std::string> lines {
        app::kDownloadFile + (local / "missing.bin").string() + ";/missing.bin",
        app::kDownloadFile + (local / "there.bin").string() + ";/there.bin",
    };
    c.queue.Append(lines);
    c.Run();
    EXPECT_EQ(c.heard.summary.Failed, 1u);
    EXPECT_EQ(c.heard.summary.Transferred, 1u);
    EXPECT_EQ(Md5OfFile(local / "there.bin"), Md5OfFile(Remote("there.bin")));
    ASSERT_EQ(c.queue.Lines(), std::vector<std::string> { lines[0] });
    EXPECT_TRUE(c.queue.Failed(0));
    EXPECT_TRUE(
        c.heard.Noted("Failed: download of \"/missing.bin\" to \"" + (local / "missing.bin").string()));
    EXPECT_EQ(OnDisk(c.QueueTxt()), c.queue.Lines());
}

// A slow server's big file (eight seconds at 1 MiB/s): the run can be broken
// off while it moves.
constexpr std::int64_t kSlowSize = 8 << 20;

class SlowTransferTest : public TransferQueueTest {
protected:
    void SetUp() override
    {
        slow.SetThrottle(1 << 20);
        ASSERT_TRUE(slow.Start({ { "u", "p", s_root->path() } })) << slow.Log();
        MakePatternFile(Remote("slow.bin"), kSlowSize, 11);
        MakePatternFile(Remote("small.bin"), 1000, 12);
    }
    testsupport::PyFtpd slow;
};

TEST_F(SlowTransferTest, StopAndClearKeepTheEntryInFlightAndItResumes)
{
    Client c(slow.Port());
    const fs::path part = local / "slow.bin";
    const std::vector<std::string> lines {
        app::kDownloadFile + part.string() + ";/slow.bin",
        app::kDownloadFile + (local / "small.bin").string() + ";/small.bin",
    };
    c.queue.Append(lines);
    ASSERT_TRUE(c.queue.Start(c.session, 0, false));
    ASSERT_TRUE(PumpUntil([&] { return c.heard.lastCount > 100000; }));

    // Clear keeps the entry in flight, on disk at once; an appended one is there at once too.
    std::string error;
    ASSERT_TRUE(c.queue.Clear(&error)) << error;
    EXPECT_EQ(OnDisk(c.QueueTxt()), std::vector<std::string> { lines[0] });
    c.queue.Append({ lines[1] });
    EXPECT_EQ(OnDisk(c.QueueTxt()), lines);

    const std::uint32_t stopped = platform::GetTickCount();
    c.queue.Stop();
    ASSERT_TRUE(PumpUntil([&] { return c.heard.finished > 0; }, 5000));
    // The run waits for the server's 426, which comes after its throttle's
    // pause (about two seconds); the whole file would take eight.
    EXPECT_LT(platform::GetTickCount() - stopped, 3500u);
    EXPECT_TRUE(c.heard.Noted("stays in the queue: it was stopped."));
    EXPECT_EQ(c.queue.Lines(), lines);
    EXPECT_EQ(OnDisk(c.QueueTxt()), lines);
    const auto partial = std::int64_t(fs::file_size(part));
    ASSERT_GT(partial, 0);
    ASSERT_LT(partial, kSlowSize);
    EXPECT_EQ(Md5OfFile(part), testsupport::Md5OfString(Prefix(Remote("slow.bin"), std::size_t(partial))));

    // The next run, on a server at full speed, resumes it.
    Client fast(s_server->Port());
    fs::copy_file(c.QueueTxt(), fast.QueueTxt());
    ASSERT_TRUE(fast.queue.Load(&error)) << error;
    fast.heard.answers.push_back(app::ansIgnore);
    fast.Run();
    EXPECT_EQ(Md5OfFile(part), Md5OfFile(Remote("slow.bin")));
    ASSERT_FALSE(fast.heard.ended.empty());
    EXPECT_EQ(fast.heard.ended[0].moved, kSlowSize - partial);
    EXPECT_TRUE(fast.queue.Empty());
    EXPECT_TRUE(OnDisk(fast.QueueTxt()).empty());
}

TEST_F(SlowTransferTest, ServerGoneMidQueueKeepsTheEntryInFlight)
{
    Client c(slow.Port());
    const std::vector<std::string> lines {
        app::kDownloadFile + (local / "small.bin").string() + ";/small.bin",
        app::kDownloadFile + (local / "slow.bin").string() + ";/slow.bin",
        app::kDownloadFile + (local / "after.bin").string() + ";/small.bin",
    };
    c.queue.Append(lines);
    bool killed = false;
    c.heard.onProgress = [&](std::int64_t count) {
        if (count > 100000 && !killed) {
            killed = true;
            slow.Stop();
        }
    };
    c.Run();
    EXPECT_TRUE(killed);
    EXPECT_TRUE(c.heard.Noted("\"" + (local / "slow.bin").string()
        + "\" stays in the queue: the session ended before it was done."));
    EXPECT_EQ(c.heard.summary.Transferred, 1u);
    EXPECT_EQ(c.heard.summary.Failed, 0u);
    EXPECT_TRUE(c.heard.summary.Interrupted);
    const std::vector<std::string> rest(lines.begin() + 1, lines.end());
    EXPECT_EQ(c.queue.Lines(), rest);
    EXPECT_EQ(OnDisk(c.QueueTxt()), rest);
}

// Two connections: the second one drops in the middle of its file; its entry
// goes back to the queue and the first connection takes it up (resuming the
// partial file) with the rest.
TEST_F(SlowTransferTest, ASecondConnectionLostMidRunKeepsItsEntryAndTheOtherGoesOn)
{
    MakePatternFile(Remote("two-a.bin"), 2 << 20, 21);
    MakePatternFile(Remote("two-b.bin"), 2 << 20, 22);
    Client c(slow.Port());
    ftp::TFtpClient second;
    second.CopyConnectionSettings(c.engine);
    app::FtpSession other(second);
    std::vector<std::string> lines;
    for (const char* name : { "two-a.bin", "two-b.bin", "small.bin" })
        lines.push_back(app::kDownloadFile + (local / name).string() + ";/" + name);
    lines.push_back(app::kDownloadFile + (local / "again.bin").string() + ";/small.bin");
    c.queue.Append(lines);
    c.heard.answers.push_back(app::ansIgnore); // the partial file the lost connection left
    ASSERT_TRUE(c.queue.Start({ &c.session, &other }, 0, false));
    ASSERT_TRUE(PumpUntil([&] { return second.ByteCount() > 100000 || c.heard.finished > 0; }));
    ASSERT_EQ(c.heard.finished, 0);
    second.ftp::TCustomFtpCli::Abort(); // the connection is gone
    ASSERT_TRUE(PumpUntil([&] { return c.heard.finished > 0; }));
    EXPECT_TRUE(c.heard.Noted("stays in the queue: the session ended before it was done."));
    EXPECT_EQ(c.heard.questions.size(), 1u);
    EXPECT_FALSE(c.heard.summary.Interrupted);
    EXPECT_EQ(c.heard.summary.Transferred, 4u);
    EXPECT_TRUE(c.queue.Empty());
    EXPECT_TRUE(OnDisk(c.QueueTxt()).empty());
    for (const std::string& line : lines) {
        const app::QueueEntry e = app::SplitQueueLine(line);
        EXPECT_EQ(Md5OfFile(e.Local), Md5OfFile(Remote(e.Remote.substr(1)))) << line;
    }
}

// A server that stops answering holds the run (there is no time limit, as in
// the window); a local abort of the engine, as Disconnect does, ends it with
// the entry kept and no question about a file the session can no longer see.
TEST(TransferQueueSilentServer, LocalAbortEndsTheRunAndKeepsTheEntry)
{
    for (const char* marker : { app::kDownloadFile, app::kUploadFile }) {
        SCOPED_TRACE(marker);
        testsupport::ScriptedFtpServer server;
        server.On("SIZE", {}); // never answered
        ASSERT_TRUE(server.Start());
        Client c(server.Port());
        testsupport::TempDir local;
        WriteBytes(local / "x.bin", "abc"); // a local copy: SIZE is asked first
        const std::vector<std::string> lines { marker + (local / "x.bin").string() + ";/x.bin" };
        c.queue.Append(lines);
        ASSERT_TRUE(c.queue.Start(c.session, 0, false));
        ASSERT_TRUE(PumpUntil([&] { return server.Dialogue().size() >= 4; })); // USER, PASS, TYPE, SIZE
        Pump(200);
        EXPECT_EQ(c.heard.finished, 0);
        c.engine.Abort();
        ASSERT_TRUE(PumpUntil([&] { return c.heard.finished > 0; }, 3000));
        EXPECT_TRUE(c.heard.questions.empty());
        EXPECT_TRUE(c.heard.Noted("stays in the queue: the session ended before it was done."));
        EXPECT_EQ(c.queue.Lines(), lines);
    }
}

} // namespace
