// The transfer queue's entry format, its builders and the queue file.
#include "app/core/Captions.hpp"
#include "app/core/Queue.hpp"
#include "app/core/SafeFile.hpp"

#include "child.hpp"
#include "peer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace app;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

bool Contains(const Lines& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(),
        [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// A scratch folder that an unprivileged child may walk.
struct OpenTempDir : TempDir {
    OpenTempDir() { chmod(path().c_str(), 0755); }
};

} // namespace

TEST(QueueEntry, SplitByTheEntryRule)
{
    struct Case {
        const char* line;
        char op;
        const char* kind;
        const char* local;
        const char* remote;
    };
    const Case cases[] = {
        {"U:F;/home/u/a.txt;/pub/a.txt", 'U', "F", "/home/u/a.txt", "/pub/a.txt"},
        {"U:D;photos/2004/;photos\\2004/", 'U', "D", "photos/2004/", "photos/2004/"},
        {"D:F;/dl//docs/a.txt;/pub//docs/a.txt", 'D', "F", "/dl//docs/a.txt", "/pub//docs/a.txt"},
        {"D:D;/dl/docs;/pub/docs", 'D', "D", "/dl/docs", "/pub/docs"},
        {"R:F;old.log", 'R', "F", "", "old.log"},
        {"R:D;/pub/old\\sub", 'R', "D", "", "/pub/old/sub"},
        // a deleted name with ';' stays whole rather than losing its head to a local part
        {"R:F;/pub/a;b.txt", 'R', "F", "", "/pub/a;b.txt"},
        {"U:F;/home/u/a.txt;/pub/x;y.txt", 'U', "F", "/home/u/a.txt", "/pub/x;y.txt"},
        {"D:FX;/l;/r", 'D', "FX", "", "/l;/r"}, // the local part starts at the fifth character all the same
        {"", 0, "", "", ""},
        {"X", 'X', "", "", ""},
        {"U:F;", 'U', "F", "", ""},
        {";;;;;", ';', "", "", ""},
    };
    for (const Case& c : cases) {
        const QueueEntry e = SplitQueueLine(c.line);
        EXPECT_EQ(e.Op, c.op) << c.line;
        EXPECT_EQ(e.Kind, c.kind) << c.line;
        EXPECT_EQ(e.Local, c.local) << c.line;
        EXPECT_EQ(e.Remote, c.remote) << c.line;
    }
}

TEST(QueueEntry, ModeTextAndContainment)
{
    for (const char* good : {"777", "000", "0644"})
        EXPECT_TRUE(IsValidModeText(good)) << good;
    for (const char* bad : {"", "77", "78", "12345", "rwx", " 755", "-755"})
        EXPECT_FALSE(IsValidModeText(bad)) << bad;

    struct Case {
        const char* folder;
        const char* path;
        bool inside;
    };
    const Case cases[] = {
        {"/dl/", "/dl//docs/a.txt", true},
        {"/dl", "/dl", true},
        {"/dl/", "/dl/./a/../b", true},
        {"/dl/", "/dl//../../etc/x", false},
        {"/dl/", "/dl//a/../../b", false},
        {"/dl/", "/dlx/a", false},
        {"/", "/../../x", true},
        {"dl", "dl/../../a", false},
        {"dl", "/dl/a", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StaysInside(c.folder, c.path), c.inside) << c.folder << " " << c.path;
}

TEST(QueueBuild, UploadOfAFileAndOfAFolderTree)
{
    TempDir tmp;
    const std::string cwd = (tmp / "work").string();
    WriteFile(tmp / "work" / "a.txt", "a");
    WriteFile(tmp / "work" / "photos" / "x.jpg", "x");
    WriteFile(tmp / "work" / "photos" / "2004" / "y.jpg", "y");
    WriteFile(tmp / "work" / "photos" / ".hidden", "h");
    WriteFile(tmp / "work" / "photos" / ".cache" / "z", "z");
    int pumps = 0;
    const auto pump = [&] { ++pumps; };

    Lines out, notes;
    BuildUploadEntries("a.txt", "a.txt", cwd, "/pub", out, &notes, pump);
    EXPECT_EQ(out, Lines{"U:F;" + cwd + "/a.txt;/pub/a.txt"});
    EXPECT_EQ(pumps, 1);

    out.clear();
    pumps = 0;
    BuildUploadEntries("photos", "photos", cwd, "/pub", out, &notes, pump);
    // The folder's own entry comes first, absolute on both sides like every
    // other; a subfolder's entry precedes its contents. Siblings come in the
    // folder's own order.
    Lines folderFirst = {
        "U:D;" + cwd + "/photos;/pub/photos",
        "U:D;" + cwd + "/photos/2004;/pub/photos/2004",
        "U:F;" + cwd + "/photos/2004/y.jpg;/pub/photos/2004/y.jpg",
        "U:F;" + cwd + "/photos/x.jpg;/pub/photos/x.jpg",
    };
    Lines fileFirst = folderFirst;
    std::rotate(fileFirst.begin() + 1, fileFirst.end() - 1, fileFirst.end());
    EXPECT_TRUE(out == fileFirst || out == folderFirst) << testing::PrintToString(out);
    EXPECT_EQ(pumps, 2);
    EXPECT_EQ(notes, Lines{});

    // An absolute local path and ".." in it give the same absolute entries.
    out.clear();
    BuildUploadEntries(cwd + "/photos/2004/../2004/y.jpg", "y.jpg", "/elsewhere", "/pub", out, &notes, {});
    EXPECT_EQ(out, Lines{"U:F;" + cwd + "/photos/2004/y.jpg;/pub/y.jpg"});
}

TEST(QueueBuild, UploadSkipsWhatCannotBeWalkedOrWritten)
{
    OpenTempDir tmp;
    const std::string cwd = tmp.path().string();
    const fs::path top = tmp / "top";
    WriteFile(top / "sub" / "f", "f");
    for (const char* odd : {"semi;colon", "back\\slash", "line\nbreak"})
        WriteFile(top / odd, "x");
    fs::create_directory_symlink("..", top / "sub" / "up"); // a loop back to top
    fs::create_symlink("missing", top / "dangling");
    ASSERT_EQ(mkfifo((top / "pipe").c_str(), 0644), 0);

    Lines out, notes;
    BuildUploadEntries("top", "top", cwd, "/pub", out, &notes, {});
    std::sort(out.begin(), out.end());
    const std::string abs = "U:D;" + cwd + "/top/";
    // The link to a folder is created once and not walked.
    EXPECT_EQ(out,
        (Lines{
            abs + "sub/up;/pub/top/sub/up",
            abs + "sub;/pub/top/sub",
            "U:D;" + cwd + "/top;/pub/top",
            "U:F;" + cwd + "/top/sub/f;/pub/top/sub/f",
        }));
    EXPECT_EQ(notes.size(), 5u) << testing::PrintToString(notes);
    for (const char* skipped : {"semi;colon", "back\\slash", "line\nbreak", "dangling", "pipe"})
        EXPECT_TRUE(Contains(notes, skipped)) << skipped;

    // Unprivileged, so the locked folder is really unreadable: created, its contents noted.
    WriteFile(top / "locked" / "secret", "s");
    chmod((top / "locked").c_str(), 0);
    const int code = apptest::RunInChild(
        [&] {
            Lines out, notes;
            BuildUploadEntries("top", "top", cwd, "/pub", out, &notes, {});
            if (!Contains(out, "U:D;" + cwd + "/top/locked;/pub/top/locked") || Contains(out, "secret"))
                return 1;
            return Contains(notes, "locked\" cannot be read") ? 0 : 2;
        },
        {.Unprivileged = true});
    chmod((top / "locked").c_str(), 0755);
    EXPECT_EQ(code, 0);
}

TEST(QueueBuild, DownloadRefusesPathsLeavingTheBase)
{
    const std::vector<WalkedRow> rows = {
        {"a.txt", false},
        {"/docs", true},
        {"/docs/b.txt", false},
        {"/../../etc/x", false},
        {"/a/../../b", false},
        {"..", true},
        {"/docs/..", true},
        {"", false},
        {std::string("/x\0y", 4), false},
        {"/semi;colon", false},
        {"/line\nbreak", false},
    };
    Lines out, notes;
    BuildDownloadEntries("/dl/", "/pub", rows, out, &notes);
    EXPECT_EQ(out,
        (Lines{
            "D:F;/dl/a.txt;/pub/a.txt",
            "D:D;/dl//docs;/pub/docs",
            "D:F;/dl//docs/b.txt;/pub/docs/b.txt",
        }));
    EXPECT_EQ(notes.size(), rows.size() - out.size());
}

TEST(QueueBuild, DeleteEntriesPutContentsBeforeTheirFolder)
{
    // The walk lists each folder sorted folders first.
    const std::vector<WalkedRow> walked = {
        {"/pub/old", true},
        {"/pub/old/sub", true},
        {"/pub/old/sub/b.txt", false},
        {"/pub/old/a.txt", false},
        {"/pub/old/x\ny", false},
        {"top.txt", false}, // a selected file: held with its folder
    };
    Lines out = {"D:F;/dl/q;/pub/q"}, notes;
    BuildDeleteEntries("/pub", walked, out, &notes);
    EXPECT_EQ(out,
        (Lines{
            "D:F;/dl/q;/pub/q",
            "R:F;/pub/top.txt",
            "R:F;/pub/old/a.txt",
            "R:F;/pub/old/sub/b.txt",
            "R:D;/pub/old/sub",
            "R:D;/pub/old",
        }));
    EXPECT_EQ(notes.size(), 1u);
}

TEST(QueueFileTest, SavesCrLfLinesAndReadsThemBack)
{
    TempDir tmp;
    const std::string path = (tmp / "queue.txt").string();
    QueueFile file(path);
    Lines lines;
    std::string error;
    ASSERT_TRUE(file.Load(lines, &error)) << error; // missing: empty queue
    EXPECT_EQ(lines, Lines{});

    const Lines queue = {"U:F;/w/a;/pub/a", "", "R:F;/pub/x\\y;z\r"};
    ASSERT_TRUE(file.Save(queue, &error)) << error;
    EXPECT_EQ(ReadFile(path), "U:F;/w/a;/pub/a\r\n\r\nR:F;/pub/x\\y;z\r\r\n");
    QueueFile again(path);
    ASSERT_TRUE(again.Load(lines, &error));
    EXPECT_EQ(lines, queue);

    EXPECT_FALSE(file.Save({"R:F;a\nR:D;/"}, &error));
    EXPECT_NE(error.find("line break"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(path), "U:F;/w/a;/pub/a\r\n\r\nR:F;/pub/x\\y;z\r\r\n");

    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(again.Load(lines, &error));
    EXPECT_NE(error.find("queue.txt"), std::string::npos) << error;
}

TEST(QueueFileTest, OnlyDroppingTheHeadMayWaitForTheWriteAndTheFlush)
{
    TempDir tmp;
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    QueueFile file((tmp / "queue.txt").string(), [&] { return now; });
    Lines lines;
    ASSERT_TRUE(file.Load(lines));
    struct Step {
        Lines save;
        int advanceMs;
        bool pending;
        const char* onDisk;
    };
    const Step steps[] = {
        {{"a", "b", "c", "d"}, 0, false, "a b c d"}, // adds: written and flushed
        {{"b", "c", "d"}, 100, true, "a b c d"},     // the head finished: waits
        {{"c", "d"}, 100, true, "a b c d"},
        {{"d"}, 300, true, "d"},                     // a quarter second on: written, not flushed
        {{}, 600, true, ""},
        {{"e"}, 10, false, "e"},                     // adds again
        {{"e"}, 10, false, "e"},                     // the same lines: nothing to do
        {{}, 10, true, "e"},
        {{"k", "m", "n"}, 300, false, "k m n"},
        {{"k", "n"}, 10, true, "k m n"},             // finished behind a failed entry kept at the head
        {{"n", "k"}, 10, false, "n k"},              // reordered is changed
        {{"g"}, 300, false, "g"},                    // the waiting save is replaced
        {{"f"}, 10, false, "f"},                     // a changed entry is not a finished one
        {{"x", "f"}, 10, false, "x f"},              // put in front
        {{"f"}, 10, true, "x f"},
    };
    for (const Step& step : steps) {
        now += std::chrono::milliseconds(step.advanceMs);
        ASSERT_TRUE(file.Save(step.save));
        EXPECT_EQ(file.FlushPending(), step.pending) << testing::PrintToString(step.save);
        std::string expected = step.onDisk;
        std::replace(expected.begin(), expected.end(), ' ', '\n');
        if (!expected.empty())
            expected += '\n';
        std::string disk = ReadFile(tmp / "queue.txt");
        disk.erase(std::remove(disk.begin(), disk.end(), '\r'), disk.end());
        EXPECT_EQ(disk, expected) << testing::PrintToString(step.save);
    }
    EXPECT_TRUE(file.WriteOut());
    EXPECT_EQ(ReadFile(tmp / "queue.txt"), "f\r\n");
    EXPECT_TRUE(file.FlushPending());
    EXPECT_TRUE(file.Flush());
    EXPECT_FALSE(file.FlushPending());
}

TEST(QueueFileTest, FailedSaveKeepsTheOldQueue)
{
    OpenTempDir tmp;
    const fs::path dir = tmp / "ro";
    fs::create_directory(dir);
    const std::string path = (dir / "queue.txt").string();
    QueueFile file(path);
    ASSERT_TRUE(file.Save({"U:F;/w/a;/pub/a"}));
    chmod(dir.c_str(), 0555);
    const int code = apptest::RunInChild(
        [&] {
            QueueFile child(path);
            std::string error;
            if (child.Save({"U:F;/w/b;/pub/b"}, &error))
                return 1;
            return error.find("queue.txt") != std::string::npos ? 0 : 2;
        },
        {.Unprivileged = true});
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(path), "U:F;/w/a;/pub/a\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(QueueFileTest, KilledWhileSavingLeavesOneWholeQueue)
{
    TempDir tmp;
    const std::string path = (tmp / "queue.txt").string();
    // b is a's tail, so the loop alternates flushed and unflushed saves.
    Lines a;
    for (int i = 0; i < 400; ++i)
        a.push_back("U:F;/home/u/" + std::to_string(i) + ".jpg;/pub/" + std::to_string(i) + ".jpg");
    const Lines b(a.begin() + 150, a.end());
    const std::string textA = JoinLinesCrLf(a), textB = JoinLinesCrLf(b);

    for (int round = 0; round < 50; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            QueueFile file(path);
            Lines loaded;
            file.Load(loaded);
            for (long i = 0; i < 10000000; ++i) {
                if (!file.Save(i % 2 ? b : a) || (i == 0 && write(ready[1], "r", 1) != 1))
                    _exit(3);
            }
            _exit(0);
        }
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
        usleep(static_cast<useconds_t>(500 + 150 * round)); // lands at a different point of a save each round
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the save loop ended on its own: " << status;
        const std::string now = ReadFile(path);
        ASSERT_TRUE(now == textA || now == textB) << "round " << round << ": " << now.size() << " bytes";
    }
}

// A run works through the entries of its batch that have not failed in it;
// failed ones stay where they are for the next run, and ids follow their
// line while others leave.
TEST(QueueLinesTest, RunsSkipFailedEntriesAndBatchesKeepToTheirOwn)
{
    QueueLines q;
    q.Assign({ "a", "b" });
    q.Append({ "e1", "e2" }, 7);
    q.Append({ "c" });
    const QueueLines::Id c = q.IdAt(4);
    struct Step {
        int batch;
        std::size_t next, count;
    };
    EXPECT_EQ(q.Next(0), 0u);
    EXPECT_EQ(q.Next(7), 2u);
    q.MarkFailed(0);
    q.MarkFailed(2);
    for (const Step& s : { Step { 0, 1, 3 }, Step { 7, 3, 1 }, Step { 9, QueueLines::npos, 0 } }) {
        EXPECT_EQ(q.Next(s.batch), s.next) << s.batch;
        EXPECT_EQ(q.Count(s.batch), s.count) << s.batch;
    }
    q.Remove(1);
    EXPECT_EQ(q.Lines(), (Lines { "a", "e1", "e2", "c" }));
    EXPECT_EQ(q.IndexOf(c), 3u);
    EXPECT_EQ(q.FailedCount(), 2u);
    q.ClearFailed(7); // a new run of batch 7 tries e1 again; "a" stays marked
    EXPECT_EQ(q.Next(7), 1u);
    EXPECT_TRUE(q.Failed(0));
    EXPECT_EQ(q.FailedCount(), 1u);
    EXPECT_EQ(q.Count(0), 3u);
    q.KeepOnly(c);
    EXPECT_EQ(q.Lines(), Lines { "c" });
    EXPECT_EQ(q.IdAt(0), c);
    q.KeepOnly(12345);
    EXPECT_TRUE(q.Empty());
}

TEST(QueueFigures, SizesAsPeopleReadThemAndTheSetAsideName)
{
    const std::pair<std::int64_t, const char*> sizes[] = {
        { 0, "0 bytes" }, { 900, "900 bytes" }, { 1023, "1023 bytes" }, { 1024, "1.0 KiB" },
        { 1536, "1.5 KiB" }, { 1048575, "1.0 MiB" }, { 314572800, "300.0 MiB" },
        { 286720000, "273.4 MiB" }, { 5LL << 40, "5120.0 GiB" },
    };
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(HumanSize(bytes), text) << bytes;
    EXPECT_EQ(FinalFigures(314572800, 314572800, 2000), "300.0 MiB, 150.0 MiB/s average");
    EXPECT_EQ(FinalFigures(3000, 2048, 1000), "2.9 KiB, 2.0 KiB/s average"); // resumed: the speed of what moved
    EXPECT_EQ(FinalFigures(900, 900, 0), "900 bytes");
    EXPECT_EQ(FinalFigures(314572800, 314572800, 2000, false), "300.0 MiB, ortalama 150.0 MiB/s");
    EXPECT_EQ(FinalFigures(900, 900, 0, false), "900 bayt");
    EXPECT_EQ(
        ProgressFigures(92274688, 314572800, 92274688, 1000), "88.0 MiB of 300.0 MiB, 88.0 MiB/s, 0:02 left");
    EXPECT_EQ(ProgressFigures(92274688, 314572800, 92274688, 1000, false),
        "88.0 MiB / 300.0 MiB, 88.0 MiB/s, 0:02 kaldı");
    EXPECT_EQ(ProgressFigures(500, -1, 0, 0), "500 bytes"); // size unknown, nothing moved yet
    std::tm t {};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 10, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5, t.tm_isdst = -1;
    EXPECT_EQ(SetAsideName("/h/queue.txt", std::mktime(&t)), "/h/queue.txt.unreadable-20261210-030405");
    EXPECT_EQ(QueueRunSummary(3, 1, true), "3 files transferred, 1 failed");
    EXPECT_EQ(QueueRunSummary(3, 1, false), "3 dosya aktarıldı, 1 başarısız");
    EXPECT_EQ(JoinRemote("/", "a"), "/a");
    EXPECT_EQ(JoinRemote("/pub", "a"), "/pub/a");
    EXPECT_EQ(JoinRemote("/", "/docs/a"), "/docs/a"); // a walked caption at the root
    EXPECT_EQ(JoinRemote("/pub/", "/docs"), "/pub/docs");
}
