// Moving files through the real window on the offscreen platform against
// pyftpdlib: the transfer queue both ways with its overwrite question and
// resume, a server killed mid-transfer and a restart that finishes the
// entry, the stop button, and the remote file operations, checked on the
// server's own files.
#include "app/SessionPool.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"
#include "app/options.hpp"
#include "app/program.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <set>
#include <sys/stat.h>

using namespace app;
using namespace windowtest;
namespace fs = std::filesystem;
using testsupport::Md5OfFile;

namespace {

// Path -> MD5 of every file below root, and "dir" for every folder.
std::map<std::string, std::string> Tree(const fs::path& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        tree[rel] = e.is_directory() ? "dir" : Md5OfFile(e.path());
    }
    return tree;
}

std::vector<std::string> QueueFileLines(const QString& home)
{
    std::vector<std::string> lines;
    ReadLines(home.toStdString() + "/queue.txt", lines);
    return lines;
}

} // namespace

class QueueTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<testsupport::TempDir> m_remote;
    std::unique_ptr<testsupport::PyFtpd> m_server;
    ScriptedPrompter m_prompter;

    fs::path Remote() const { return m_remote->path(); }

    std::unique_ptr<Tmainform> Connected()
    {
        auto form = std::make_unique<Tmainform>(m_prompter);
        form->Timer1().stop();
        form->SetPassiveMode("YES");
        form->btnConnectClick();
        WaitIdle(*form);
        if (form->LoggedIn() != 1)
            qWarning("%s", qPrintable(form->LogLines().join('\n')));
        return form;
    }

    void StartServer(const std::string& alias = "py")
    {
        m_server = std::make_unique<testsupport::PyFtpd>();
        QVERIFY(m_server->Start({ { "alice", "pw", Remote() } }));
        QVERIFY(WriteSite(m_home->path(), { alias, "127.0.0.1", std::to_string(m_server->Port()), "alice", "pw", {}, {} }));
    }

private slots:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        qputenv("TALLOWIN_HOME", m_home->path().toUtf8());
        qputenv("XDG_CACHE_HOME", m_home->filePath("cache").toUtf8());
        m_remote = std::make_unique<testsupport::TempDir>();
        m_prompter = ScriptedPrompter();
        // One connection: these cases follow one entry after another.
        testsupport::WriteFile(fs::path(m_home->filePath("language.txt").toStdString()), "ENGLISH\r\n\r\nNO\r\nconnections=1\r\n");
        StartServer();
    }
    void cleanup()
    {
        // The tests' folders go; the process must not stay in one.
        QDir::setCurrent(QDir::tempPath());
        QCOMPARE(m_prompter.Pending(), std::size_t(0));
        m_server.reset();
    }

    void uploadThenDownloadATree()
    {
        QTemporaryDir local;
        const fs::path src = fs::path(local.path().toStdString()) / "top";
        fs::create_directories(src / "sub");
        testsupport::MakePatternFile(src / "a.txt", 1000);
        testsupport::MakePatternFile(src / "sub" / "b.bin", 2 << 20, 2);
        testsupport::WriteFile(src / "sub" / "deep" / "c.txt", "c");
        testsupport::WriteFile(src / ".hidden", "h");
        auto form = Connected();
        // The process stands in the scratch folder (after a Copy): it decides nothing.
        QDir::setCurrent(QString::fromStdString(ScratchDir()));
        form->Form().LsFilelistView281->SetDirectory(local.path());
        form->QueueUpload("top", "top");
        const std::vector<std::string> queued = form->Queue();
        const std::string abs = src.string();
        QCOMPARE(queued.front(), "U:D;" + abs + ";/top"); // absolute on both sides
        const std::set<std::string> lines(queued.begin(), queued.end());
        // The server's working folder is "/": one slash, never "//".
        for (const std::string& expected : { "U:F;" + abs + "/a.txt;/top/a.txt", "U:D;" + abs + "/sub;/top/sub",
                 "U:F;" + abs + "/sub/b.bin;/top/sub/b.bin", "U:F;" + abs + "/sub/deep/c.txt;/top/sub/deep/c.txt" })
            QVERIFY2(lines.count(expected), expected.c_str());
        QCOMPARE(QueueFileLines(m_home->path()), queued); // on disk before anything runs
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->Queue().empty());
        QVERIFY(QueueFileLines(m_home->path()).empty());
        fs::remove(src / ".hidden");
        QCOMPARE(Tree(Remote() / "top"), Tree(src));
        QVERIFY(RowOf(*form, "top") >= 0); // listed again at the end
        // One MKD per folder, by its absolute path, none refused.
        QCOMPARE(form->LogLines().filter(QRegularExpression("^> MKD /top")).size(), 3);
        QVERIFY(form->LogLines().filter(QRegularExpression("^(> MKD [^/]|< 550)")).isEmpty());

        // Back down into another folder: folders are created, files hash-equal.
        QTemporaryDir down;
        form->Form().LsFilelistView281->SetDirectory(down.path());
        Select(*form, { "top" });
        form->QueueforDownload();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(QString::fromStdString(form->Queue().front()), "D:D;" + down.path() + "//top;/top"); // the local side as built
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->Queue().empty());
        QCOMPARE(Tree(fs::path(down.path().toStdString()) / "top"), Tree(src));

        // A folder dragged from the local list is the list's, even with a
        // folder of that name where the process stands.
        fs::create_directories(fs::path(ScratchDir()) / "top" / "decoy");
        form->Form().LsFilelistView281->SetDirectory(local.path());
        fs::remove_all(Remote() / "top");
        form->dirviewDragDrop({ "top" });
        QVERIFY(WaitIdle(*form));
        QCOMPARE(Tree(Remote() / "top"), Tree(src));
    }

    // The Options dialog's Binary/Ascii choice is the one the queue transfers
    // with, also when Cancel closed the dialog; pyftpdlib sends CR LF lines in ASCII.
    void transferTypeFromTheOptionsDialog()
    {
        testsupport::WriteFile(Remote() / "lines.txt", "a\nb\n");
        auto form = Connected();
        QTemporaryDir local;
        const fs::path got = fs::path(local.path().toStdString()) / "lines.txt";
        form->Form().LsFilelistView281->SetDirectory(local.path());
        const struct { bool ascii, ok; const char* expected; } steps[] = {
            { true, false, "a\r\nb\r\n" }, { false, true, "a\nb\n" } };
        for (const auto& step : steps) {
            QTimer::singleShot(0, form.get(), [&] {
                Ui::TPagesDlg& d = form->PagesDlg().Form();
                (step.ascii ? d.rdbAscii : d.rdbBinary)->setChecked(true);
                (step.ok ? d.OKBtn : d.CancelBtn)->click();
            });
            form->Options1Click();
            fs::remove(got);
            Select(*form, { "lines.txt" });
            form->QueueforDownload();
            QVERIFY(WaitIdle(*form));
            form->ProcessQueue();
            QVERIFY(WaitIdle(*form));
            QCOMPARE(testsupport::ReadFile(got), std::string(step.expected));
        }
    }

    // The Options dialog's limits: Cancel keeps the ones in force, OK puts
    // them on the window's engine at once and into language.txt, and the
    // queue then moves at the limit.
    void speedLimitsFromTheOptionsDialog()
    {
        testsupport::MakePatternFile(Remote() / "slow.bin", 300 << 10, 9);
        auto form = Connected();
        const auto options = [&](int down, int up, bool ok) {
            QTimer::singleShot(0, form.get(), [&, down, up, ok] {
                Ui::TPagesDlg& d = form->PagesDlg().Form();
                QCOMPARE(d.spnDownloadLimit->value(), form->DownloadLimit()->Rate() / 1024); // as in force
                d.spnDownloadLimit->setValue(down);
                d.spnUploadLimit->setValue(up);
                (ok ? d.OKBtn : d.CancelBtn)->click();
            });
            form->Options1Click();
        };
        options(100, 7, true);
        options(5, 5, false);
        options(100, 7, true);
        QCOMPARE(form->UploadLimit()->Rate(), std::int64_t(7 * 1024));
        QTemporaryDir local;
        QElapsedTimer clock;
        clock.start();
        form->AppendQueue({ "D:F;" + local.filePath("slow.bin").toStdString() + ";/slow.bin" });
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(Md5OfFile(local.filePath("slow.bin").toStdString()), Md5OfFile(Remote() / "slow.bin"));
        QVERIFY2(
            clock.elapsed() > 2700 && clock.elapsed() < 4500, qPrintable(QString::number(clock.elapsed())));
        form.reset();
        QVERIFY(QString::fromStdString(testsupport::ReadFile(m_home->filePath("language.txt").toStdString()))
                    .endsWith("download-limit=100\r\nupload-limit=7\r\n"));
        form = Connected();
        QCOMPARE(form->DownloadLimit()->Rate(), std::int64_t(100 * 1024));
    }

    void overwriteQuestionAnswers()
    {
        testsupport::MakePatternFile(Remote() / "r.bin", 300000, 7);
        testsupport::MakePatternFile(Remote() / "s.bin", 1000, 8);
        const std::string whole = testsupport::ReadFile(Remote() / "r.bin");
        QTemporaryDir local;
        const std::string r = local.filePath("r.bin").toStdString(), s = local.filePath("s.bin").toStdString();
        auto form = Connected();
        const auto download = [&](const std::string& name, const std::string& to) {
            form->AppendQueue({ "D:F;" + to + ";/" + name });
            form->ProcessQueue();
            QVERIFY(WaitIdle(*form));
        };
        // Cancel: the entry stays in the queue and on disk; the local file is untouched.
        testsupport::WriteFile(r, "mine");
        m_prompter.ExpectConfirm(ansCancel);
        download("r.bin", r);
        QCOMPARE(form->Queue().size(), std::size_t(1));
        QCOMPARE(QueueFileLines(m_home->path()), form->Queue());
        QCOMPARE(testsupport::ReadFile(r), std::string("mine"));
        form->Clear1Click();
        QVERIFY(QueueFileLines(m_home->path()).empty());
        // Ignore resumes a partial file byte-exact; on a whole file it sends no REST.
        testsupport::WriteFile(r, whole.substr(0, 123457));
        m_prompter.ExpectConfirm(ansIgnore);
        download("r.bin", r);
        QCOMPARE(testsupport::ReadFile(r), whole);
        QVERIFY(LogHas(*form, "> REST 123457"));
        // At the end panel 1 holds the final figures: the whole size and the average speed.
        QVERIFY2(QRegularExpression("^293.0 KiB(, [0-9.]+ (bytes|KiB|MiB|GiB)/s average)?$")
                     .match(form->StatusText(1))
                     .hasMatch(),
            qPrintable(form->StatusText(1)));
        m_prompter.ExpectConfirm(ansIgnore);
        download("r.bin", r);
        QVERIFY(LogHas(*form, QString::fromStdString("\"" + r + "\" is already complete (300000 bytes).")));
        // OK overwrites.
        testsupport::WriteFile(r, "mine");
        m_prompter.ExpectConfirm(ansOK);
        download("r.bin", r);
        QCOMPARE(testsupport::ReadFile(r), whole);
        // Upload resume: the server holds the first part.
        testsupport::WriteFile(Remote() / "up.bin", whole.substr(0, 1000));
        testsupport::WriteFile(local.filePath("up.bin").toStdString(), whole);
        m_prompter.ExpectConfirm(ansIgnore);
        form->AppendQueue({ "U:F;" + local.filePath("up.bin").toStdString() + ";/up.bin" });
        form->ProcessQueue();
        QVERIFY2(WaitIdle(*form, 5000), qPrintable(form->LogLines().mid(form->LogLines().size() - 25).join("|")));
        QCOMPARE(testsupport::ReadFile(Remote() / "up.bin"), whole);
        // All: one question for the whole run.
        testsupport::WriteFile(r, "mine");
        testsupport::WriteFile(s, "mine");
        m_prompter.ExpectConfirm(ansAll);
        form->AppendQueue({ "D:F;" + r + ";/r.bin", "D:F;" + s + ";/s.bin" });
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(Md5OfFile(s), Md5OfFile(Remote() / "s.bin"));
        QCOMPARE(testsupport::ReadFile(r), whole);
        // That All ended with its run, and never answers a delete question.
        QVERIFY(!form->AnswerAll());
        m_prompter.ExpectConfirm(ansAll);
        m_prompter.ExpectConfirm(ansCancel);
        form->AppendQueue({ "D:F;" + r + ";/r.bin", "R:F;/s.bin" });
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QVERIFY(fs::exists(Remote() / "s.bin"));
        // A refused download leaves no empty file behind; the entry stays, failed.
        form->AppendQueue({ "D:F;" + local.filePath("none.bin").toStdString() + ";/none.bin" });
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QVERIFY(!QFile::exists(local.filePath("none.bin")));
        QCOMPARE(form->Queue().size(), std::size_t(1));
        QVERIFY(form->QueueEntryFailed(0));
        QCOMPARE(m_prompter.ShownTexts().back(), std::string("Warning: 0 files transferred, 1 failed"));
        form->Clear1Click();
    }

    // Failed entries stay in the queue, in order and marked; the run goes on
    // with the rest and ends with the counts; a later run tries them again.
    void failedEntriesStayMarkedAndTheRunGoesOn()
    {
        testsupport::WriteFile(Remote() / "good.txt", "good");
        fs::create_directories(Remote() / "afolder");
        QTemporaryDir local;
        const std::string l = local.path().toStdString();
        testsupport::WriteFile(l + "/up.txt", "up");
        auto form = Connected();
        const std::vector<std::string> failing = {
            "D:F;" + l + "/missing.txt;/missing.txt",       // RETR of a missing file
            "D:F;" + l + "/no/such/folder/x.txt;/good.txt", // a local file that cannot be created
            "U:F;" + l + "/up.txt;/afolder",                // STOR onto a folder
        };
        form->AppendQueue({ failing[0], failing[1], "D:F;" + l + "/good.txt;/good.txt", failing[2] });
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(testsupport::ReadFile(l + "/good.txt"), std::string("good"));
        QCOMPARE(form->Queue(), failing);
        QCOMPARE(QueueFileLines(m_home->path()), failing);
        for (std::size_t i = 0; i < failing.size(); ++i)
            QVERIFY(form->QueueEntryFailed(i));
        QVERIFY(LogHas(*form, "1 files transferred, 3 failed"));
        QCOMPARE(m_prompter.ShownTexts().back(), std::string("Warning: 1 files transferred, 3 failed"));
        QTRY_VERIFY(form->Form().lbQueue->toPlainText().startsWith("FAILED: D:F;"));
        // Panel 1 ends on the last transfer's final figures, not on a progress text.
        QVERIFY2(!form->StatusText(1).contains(" of "), qPrintable(form->StatusText(1)));

        testsupport::WriteFile(Remote() / "missing.txt", "m");
        form->btnQueueClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(testsupport::ReadFile(l + "/missing.txt"), std::string("m"));
        QCOMPARE(form->Queue(), (std::vector<std::string> { failing[1], failing[2] }));
        QVERIFY(LogHas(*form, "1 files transferred, 2 failed"));
        form->Clear1Click();
    }

    // An entry is finished only by its own session's answer: a refusal of
    // the busy engine or a Disconnect in the middle of it keeps it.
    void theEntryInFlightStaysWhenRefusedOrReconnected()
    {
        testsupport::MakePatternFile(Remote() / "big.bin", 64 << 20, 3);
        testsupport::WriteFile(Remote() / "small.txt", "small");
        QTemporaryDir local;
        const std::string big = local.filePath("big.bin").toStdString();
        auto form = Connected();
        const std::vector<std::string> bigEntry = { "D:F;" + big + ";/big.bin" };
        // Disconnect while the file comes down (Connect waits for the run: the busy tests).
        bool acted = false;
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            struct stat st { };
            if (!acted && ::stat(big.c_str(), &st) == 0 && st.st_size > 0) {
                acted = true;
                form->btnDisconnectClick();
            }
        });
        during.start(1);
        form->AppendQueue(bigEntry);
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        during.stop();
        QVERIFY(acted);
        QCOMPARE(form->LoggedIn(), 0);
        QCOMPARE(form->Queue(), bigEntry);
        QCOMPARE(QueueFileLines(m_home->path()), bigEntry);
        form->Clear1Click();

        // The queue started while the engine logs in: refused, so kept.
        const std::vector<std::string> small = { "D:F;" + local.filePath("small.txt").toStdString() + ";/small.txt" };
        form->AppendQueue(small);
        bool tried = false;
        ftp::TFtpClient& c = form->FtpClient1();
        // After each command of the log-in, once the loop runs while the engine waits for the reply.
        const auto windowCommand = c.OnCommand;
        c.OnCommand = [&](ftp::TCustomFtpCli* sender, std::string& command) {
            windowCommand(sender, command);
            QMetaObject::invokeMethod(this, [&] {
                if (!tried && c.Connected() && c.State() != ftp::ftpStateReady) {
                    tried = true;
                    form->btnQueueClick();
                }
            }, Qt::QueuedConnection);
        };
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        c.OnCommand = windowCommand;
        QVERIFY(tried);
        QVERIFY(LogHas(*form, "\"" + local.filePath("small.txt") + "\" stays in the queue: the FTP component was busy."));
        QCOMPARE(form->Queue(), small);
        QVERIFY(!QFile::exists(local.filePath("small.txt")));
        m_prompter.ClearShown();
        form->btnQueueClick();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->Queue().empty());
        QCOMPARE(testsupport::ReadFile(local.filePath("small.txt").toStdString()), std::string("small"));
    }

    void anUnreadableQueueFileIsSetAside()
    {
        const QString queue = m_home->filePath("queue.txt");
        QVERIFY(QDir().mkpath(queue + "/inside"));
        auto form = std::make_unique<Tmainform>(m_prompter);
        form->Timer1().stop();
        const QStringList aside = QDir(m_home->path()).entryList({ "queue.txt.unreadable-*" });
        QCOMPARE(aside.size(), 1);
        QVERIFY(QDir(m_home->filePath(aside.front())).exists("inside")); // moved whole, not replaced
        QVERIFY2(form->LogLines().join('\n').contains(aside.front()), qPrintable(form->LogLines().join('\n')));
        form->AppendQueue({ "R:F;/x" });
        QCOMPARE(QueueFileLines(m_home->path()), std::vector<std::string> { "R:F;/x" });
    }

    void serverKilledMidTransferThenRestartFinishes()
    {
        testsupport::MakePatternFile(Remote() / "big.bin", 192 << 20, 9);
        QTemporaryDir local;
        const std::string target = local.filePath("big.bin").toStdString();
        {
            auto form = Connected();
            // Kill the server as soon as bytes arrive.
            QTimer watch;
            connect(&watch, &QTimer::timeout, this, [&] {
                struct stat st { };
                if (::stat(target.c_str(), &st) == 0 && st.st_size > 0)
                    m_server->Stop();
            });
            watch.start(5);
            form->AppendQueue({ "D:F;" + target + ";/big.bin" });
            form->ProcessQueue();
            QVERIFY(WaitIdle(*form));
            watch.stop();
            QCOMPARE(form->Queue().size(), std::size_t(1));
            QCOMPARE(QueueFileLines(m_home->path()), form->Queue());
            form->btnDisconnectClick();
        }
        QVERIFY(fs::file_size(target) < fs::file_size(Remote() / "big.bin"));
        // The next start finds the entry; a new server on another port takes it.
        StartServer("py2");
        auto form = std::make_unique<Tmainform>(m_prompter);
        QCOMPARE(form->Queue().size(), std::size_t(1));
        form->Timer1().stop();
        form->SetPassiveMode("YES");
        form->Form().ComboBox1->setCurrentIndex(1);
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 1);
        m_prompter.ExpectConfirm(ansIgnore);
        form->UploadQueue1Click();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->Queue().empty());
        QCOMPARE(Md5OfFile(target), Md5OfFile(Remote() / "big.bin"));
    }

    void stopButtonAndASecondActionWhileRunning()
    {
        QTemporaryDir local;
        for (const char* name : { "1.bin", "2.bin", "3.bin", "late.bin" })
            testsupport::MakePatternFile(local.filePath(name).toStdString(), 8 << 20);
        auto form = Connected();
        form->Form().LsFilelistView281->SetDirectory(local.path());
        form->QueueUpload("1.bin", "1.bin");
        form->QueueUpload("2.bin", "2.bin");
        form->QueueUpload("3.bin", "3.bin");
        // While the first file moves: another upload is dropped (it only
        // appends) and a second run is asked for (it does nothing).
        bool once = false;
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (once || !form->QueueRunning())
                return;
            once = true;
            form->QueueUpload("late.bin", "late.bin");
            form->btnQueueClick();
        });
        during.start(1);
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        QVERIFY(once);
        for (const char* name : { "1.bin", "2.bin", "3.bin", "late.bin" })
            QCOMPARE(Md5OfFile(Remote() / name), Md5OfFile(local.filePath(name).toStdString()));

        // Two remote rows dragged down while the queue runs are queued once
        // each, and the run in progress downloads them.
        form->QueueUpload("3.bin", "again3.bin");
        QTemporaryDir down;
        form->Form().LsFilelistView281->SetDirectory(down.path());
        Select(*form, { "1.bin", "2.bin" });
        bool dragged = false;
        QTimer drag;
        connect(&drag, &QTimer::timeout, this, [&] {
            if (dragged || !form->QueueRunning())
                return;
            dragged = true;
            form->LsFilelistView281DragDrop();
            form->Copy1Click(); // a scratch copy waits for nothing: refused with a message
        });
        drag.start(1);
        form->ProcessQueue();
        QVERIFY(WaitIdle(*form));
        drag.stop();
        QVERIFY(dragged);
        QVERIFY(form->Queue().empty());
        QVERIFY(LogHas(*form, "The transfer queue is running; try again when it has finished."));
        QVERIFY(!fs::exists(ScratchDir() + "/1.bin"));
        for (const char* name : { "1.bin", "2.bin" }) {
            QCOMPARE(form->LogLines().count(QString("> RETR /") + name), 1);
            QCOMPARE(Md5OfFile(fs::path(down.path().toStdString()) / name), Md5OfFile(Remote() / name));
        }

        // The stop button breaks off the entry in progress, which stays, and ends the run.
        form->Form().LsFilelistView281->SetDirectory(local.path());
        form->QueueUpload("1.bin", "again1.bin");
        form->QueueUpload("2.bin", "again2.bin");
        QTimer stop;
        connect(&stop, &QTimer::timeout, this, [&] {
            if (form->QueueRunning())
                form->Form().chkStop->click();
        });
        stop.start(1);
        form->UploadQueue1Click();
        QVERIFY(WaitIdle(*form));
        stop.stop();
        QVERIFY(form->StopRequested());
        QCOMPARE(form->Queue().size(), std::size_t(2));
        QVERIFY(!fs::exists(Remote() / "again2.bin"));
        // The queue menu runs them later, the Stop of that run forgotten
        // (a broken-off part removed, so that nothing asks about it).
        fs::remove(Remote() / "again1.bin");
        form->UploadQueue1Click();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->Queue().empty());
        QVERIFY(fs::exists(Remote() / "again2.bin"));
    }

    // Three connections: a tree goes up and comes back with folders made
    // before their files, the overwrite questions come one at a time while
    // the other connections go on, and a recursive delete removes contents
    // before their folders.
    void severalConnections()
    {
        testsupport::WriteFile(fs::path(m_home->filePath("language.txt").toStdString()),
            "ENGLISH\r\n\r\nNO\r\nconnections=3\r\n");
        QTemporaryDir local;
        const fs::path src = fs::path(local.path().toStdString()) / "wide";
        for (int i = 0; i < 24; ++i) {
            const fs::path dir = src / ("d" + std::to_string(i % 4)) / ("n" + std::to_string(i % 3));
            fs::create_directories(dir);
            testsupport::MakePatternFile(dir / ("f" + std::to_string(i) + ".bin"), 3000 + i * 17, std::uint32_t(i + 3));
        }
        const auto run = [&](Tmainform& form, const fs::path& remote, bool slow) {
            form.Form().LsFilelistView281->SetDirectory(local.path());
            form.QueueUpload("wide", "wide");
            form.ProcessQueue();
            QVERIFY(WaitIdle(form));
            QVERIFY2(form.Queue().empty(), qPrintable(form.LogLines().join("\n")));
            QCOMPARE(Tree(remote / "wide"), Tree(src));
            const auto onOthers = [&](const QString& verb) {
                int n = 0;
                for (const QString& line : form.LogLines())
                    n += (line.startsWith("[2] > " + verb) || line.startsWith("[3] > " + verb)) ? 1 : 0;
                return n;
            };
            // On a slow server the other connections surely get files of their own.
            QVERIFY(!slow || onOthers("STOR") > 0);

            // Down into a folder holding two of the files: two questions, one at a time.
            QTemporaryDir down;
            const fs::path base = fs::path(down.path().toStdString()) / "wide" / "d0" / "n0";
            // Parts of the real files: OK and Ignore both end whole, whichever comes first.
            for (const char* name : { "f0.bin", "f12.bin" })
                testsupport::WriteFile(base / name, testsupport::ReadFile(src / "d0" / "n0" / name).substr(0, 100));
            form.Form().LsFilelistView281->SetDirectory(down.path());
            Select(form, { "wide" });
            m_prompter.ExpectConfirm(ansOK);
            m_prompter.ExpectConfirm(ansIgnore);
            form.QueueforDownload();
            QVERIFY(WaitIdle(form));
            form.ProcessQueue();
            QVERIFY(WaitIdle(form));
            QVERIFY(form.Queue().empty());
            QCOMPARE(Tree(fs::path(down.path().toStdString()) / "wide"), Tree(src));

            // Delete it all: every RMD finds its folder empty.
            Select(form, { "wide" });
            m_prompter.ExpectConfirm(ansAll);
            form.Delete2Click();
            QVERIFY(WaitIdle(form));
            QVERIFY(!fs::exists(remote / "wide"));
            QVERIFY(form.Queue().empty());
        };
        {
            testsupport::PyFtpd slow;
            slow.SetThrottle(64 << 10);
            QVERIFY(slow.Start({ { "alice", "pw", Remote() } }));
            QVERIFY(WriteSite(m_home->path(), { "slow", "127.0.0.1", std::to_string(slow.Port()), "alice", "pw", {}, {} }));
            Tmainform form(m_prompter);
            QVERIFY(ConnectTo(form, "slow"));
            form.Pool().SetIdleClose(300);
            run(form, Remote(), true);
            // Without a run the other connections leave after the idle time (QUIT);
            // the browsing one stays.
            QVERIFY(WaitFor([&] { return form.Pool().Open() == 0; }, 5000));
            QVERIFY(form.FtpClient1().Connected());
            QVERIFY(!form.LogLines().filter(QRegularExpression("^\\[[23]\\] > QUIT$")).isEmpty());
        }
        if (!testsupport::Vsftpd::Available())
            QSKIP("vsftpd or its account missing");
        testsupport::TempDir root;
        testsupport::Vsftpd server;
        QVERIFY(server.Start(root.path()));
        QVERIFY(WriteSite(m_home->path(),
            { "vs", "127.0.0.1", std::to_string(server.Port()), testsupport::Vsftpd::kUser,
                testsupport::Vsftpd::kPassword, {}, {} }));
        Tmainform form(m_prompter);
        QVERIFY(ConnectTo(form, "vs"));
        run(form, root.path(), false); // vsftpd stands in the root's own path
    }

    void remoteOperations()
    {
        testsupport::WriteFile(Remote() / "old" / "a.txt", "a");
        testsupport::WriteFile(Remote() / "old" / "sub" / "b.txt", "b");
        testsupport::WriteFile(Remote() / "perm" / "x.txt", "x");
        testsupport::WriteFile(Remote() / "perm" / "sub" / "y.txt", "y");
        testsupport::WriteFile(Remote() / "name.txt", "n");
        testsupport::WriteFile(Remote() / "keep1.txt", "k");
        testsupport::WriteFile(Remote() / "keep2.txt", "k");
        auto form = Connected();

        // Cancel at the first question cancels the whole delete: no entry
        // is left for a later run to ask about (or an All to take along).
        Select(*form, { "keep1.txt", "keep2.txt" });
        m_prompter.ExpectConfirm(ansCancel);
        form->Delete2Click();
        QVERIFY(WaitIdle(*form));
        QVERIFY(fs::exists(Remote() / "keep1.txt") && fs::exists(Remote() / "keep2.txt"));
        QVERIFY(form->Queue().empty());

        // Delete key: the tree, contents before folders, one question answered All.
        Select(*form, { "old" });
        m_prompter.ExpectConfirm(ansAll);
        QTest::keyClick(form->Form().dirview->DetailsView(), Qt::Key_Delete);
        QVERIFY(WaitIdle(*form));
        QVERIFY(!fs::exists(Remote() / "old"));
        QVERIFY(LogHas(*form, "> DELE /old/a.txt"));
        QCOMPARE(RowOf(*form, "old"), -1);

        // Change mode: a bad text sends nothing; All walks the tree.
        Select(*form, { "perm" });
        m_prompter.ExpectInput("8x9");
        form->ChMod1Click();
        QVERIFY(WaitIdle(*form));
        QVERIFY(m_prompter.ShownTexts().back().find("is not a mode") != std::string::npos);
        m_prompter.ExpectInput("750");
        m_prompter.ExpectConfirm(ansAll);
        form->ChMod1Click();
        QVERIFY(WaitIdle(*form));
        for (const fs::path& p : { Remote() / "perm", Remote() / "perm" / "x.txt", Remote() / "perm" / "sub",
                 Remote() / "perm" / "sub" / "y.txt" })
            QCOMPARE(int(fs::status(p).permissions() & fs::perms::mask), 0750);
        QCOMPARE(form->CurrentRemoteDir(), std::string("/"));

        // Rename by dialog (F2), then in place.
        Select(*form, { "name.txt" });
        form->dirview().SetFocusedRow(RowOf(*form, "name.txt"));
        m_prompter.ExpectInput("renamed.txt");
        QTest::keyClick(form->Form().dirview->DetailsView(), Qt::Key_F2);
        QVERIFY(WaitIdle(*form));
        QVERIFY(fs::exists(Remote() / "renamed.txt"));
        QVERIFY(RowOf(*form, "name.txt") >= 0); // the old name shows until the next listing
        form->Refresh1Click();
        QVERIFY(WaitIdle(*form));
        QVERIFY(form->dirview().Model().setData(
            form->dirview().Model().index(RowOf(*form, "renamed.txt"), 0), "in place.txt", Qt::EditRole));
        QVERIFY(WaitIdle(*form));
        QVERIFY(fs::exists(Remote() / "in place.txt"));
        QVERIFY(RowOf(*form, "in place.txt") >= 0);

        // A double-click on a file opens its copy in the scratch folder.
        std::string opened;
        form->OnOpenFile = [&](const std::string& path) { opened = path; };
        Select(*form, { "in place.txt" });
        form->dirview().SetFocusedRow(RowOf(*form, "in place.txt"));
        form->dirviewDblClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(QString::fromStdString(opened), QString::fromStdString(ScratchDir() + "/in place.txt"));
        QCOMPARE(testsupport::ReadFile(opened), std::string("n"));

        // New folder, then Make Default Dir inside it.
        m_prompter.ExpectInput("made");
        form->btnNewFolderClick();
        QVERIFY(WaitIdle(*form));
        QVERIFY(fs::is_directory(Remote() / "made"));
        form->dirview().SetFocusedRow(RowOf(*form, "made"));
        form->dirviewDblClick();
        QVERIFY(WaitIdle(*form));
        form->MakeDefaultDir1Click();
        QVERIFY(WaitIdle(*form));
        SiteBook book;
        QVERIFY(book.Open(m_home->path().toStdString()));
        QCOMPARE(book.Find("py")->Record.RemoteDir(), std::string("/made"));
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    QueueTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_queue.moc"
