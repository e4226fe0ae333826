// An SFTP site through the real window against OpenSSH's sshd on loopback:
// the host key question, browsing and the one-off commands, a tree down and
// up through the queue on two connections, and a download stopped and
// resumed.
#include "app/core/Prompter.hpp"
#include "app/dirview.hpp"
#include "app/program.hpp"
#include "ftp_peers.hpp"
#include "queue_check.hpp"
#include "ssh_peers.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

using namespace app;
using namespace windowtest;
namespace fs = std::filesystem;
using testsupport::Md5OfFile;
using testsupport::Sshd;

class SftpWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    testsupport::TempDir m_remote;
    Sshd m_server;
    ScriptedPrompter m_prompter;
    std::unique_ptr<Tmainform> m_form;

    fs::path Remote() const { return m_remote.path(); }
    fs::path Home() const { return m_home.path().toStdString(); }

private slots:
    void initTestCase()
    {
        if (const std::string why = Sshd::Unavailable(); !why.empty())
            QSKIP(why.c_str());
        qputenv("TALLOWIN_HOME", m_home.path().toUtf8());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toUtf8());
        // No keys or known hosts of the machine's user: the window asks.
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("SSH_AUTH_SOCK");
        // Every file type goes up, as in the other queue tests.
        testsupport::WriteFile(Home() / "language.txt", "ENGLISH\r\n\r\nNO\r\n");
        testsupport::WriteFile(Remote() / "readme.txt", "hello");
        testsupport::WriteFile(Remote() / "docs" / "ğüş.txt", "utf-8 name");
        QVERIFY(m_server.Start(Remote()));
        QVERIFY(WriteSite(m_home.path(),
            { "ssh", "127.0.0.1", std::to_string(m_server.Port()), Sshd::kUser, Sshd::kPassword, {}, {},
                "protocol=sftp" }));
        m_form = std::make_unique<Tmainform>(m_prompter);
        m_form->Timer1().stop();
        // An unknown key: asked about with its fingerprint; "Connect once" keeps no file.
        m_prompter.ExpectChoice(0);
        QVERIFY2(ConnectTo(*m_form, "ssh"), qPrintable(m_form->LogLines().join('\n')));
        const PromptRecord& asked = m_prompter.Shown().back();
        QCOMPARE(int(asked.Kind), int(pkChoose));
        QVERIFY2(asked.Text.find("SHA256:") != std::string::npos, asked.Text.c_str());
        QVERIFY(!fs::exists(Home() / "known_hosts"));
        QVERIFY(!fs::exists(Home() / ".ssh" / "known_hosts"));
        QCOMPARE(m_form->CurrentRemoteDir(), fs::canonical(Remote()).string());
        QVERIFY(Find(*m_form, "docs") && Find(*m_form, "docs")->IsFolder());
        QCOMPARE(Find(*m_form, "readme.txt")->size, std::string("5"));
    }
    void cleanupTestCase() { m_form.reset(); }
    void cleanup()
    {
        QDir::setCurrent(QDir::tempPath());
        QCOMPARE(m_prompter.Pending(), std::size_t(0));
    }

    void commandsOnTheServer()
    {
        Tmainform& f = *m_form;
        // New folder, rename, change mode, delete: each as the user gives it, checked on disk.
        m_prompter.ExpectInput("made");
        f.btnNewFolderClick();
        QVERIFY(WaitIdle(f));
        QVERIFY(fs::is_directory(Remote() / "made"));
        Select(f, { "readme.txt" });
        m_prompter.ExpectInput("renamed.txt");
        f.Rename1Click();
        QVERIFY(WaitIdle(f));
        f.Refresh1Click();
        QVERIFY(WaitIdle(f));
        QCOMPARE(testsupport::ReadFile(Remote() / "renamed.txt"), std::string("hello"));
        Select(f, { "renamed.txt" });
        m_prompter.ExpectInput("600");
        f.ChMod1Click();
        QVERIFY(WaitIdle(f));
        QCOMPARE(int(fs::status(Remote() / "renamed.txt").permissions() & fs::perms::mask), 0600);
        Select(f, { "made" });
        f.Delete1Click();
        QVERIFY(WaitIdle(f));
        QVERIFY(!fs::exists(Remote() / "made"));
        // Into a folder with a name in UTF-8 and back out.
        Select(f, { "docs" });
        f.dirview().SetFocusedRow(RowOf(f, "docs"));
        f.dirviewDblClick();
        QVERIFY(WaitIdle(f));
        QVERIFY(Find(f, "ğüş.txt"));
        f.btnPreviousClick();
        QVERIFY(WaitIdle(f));
        QVERIFY(Find(f, "docs"));
        // SFTP has no raw commands: refused at once, nothing asked.
        f.mnuCommandClick();
        QVERIFY(f.StatusText(0).contains("SFTP"));
    }

    void treeDownAndUpThroughTheQueue()
    {
        Tmainform& f = *m_form;
        const fs::path tree = Remote() / "tree";
        testsupport::MakePatternFile(tree / "a.bin", 300000, 1);
        testsupport::MakePatternFile(tree / "sub" / "b.bin", 3 << 20, 2);
        testsupport::WriteFile(tree / "sub" / "deep" / "c.txt", "c");
        fs::create_directories(tree / "empty");
        testsupport::GiveToSshUser(tree);
        f.Refresh1Click();
        QVERIFY(WaitIdle(f));
        QTemporaryDir down;
        f.Form().LsFilelistView281->SetDirectory(down.path());
        Select(f, { "tree" });
        f.QueueforDownload();
        QVERIFY(WaitIdle(f));
        f.ProcessQueue(); // two connections (the default): the second one is made like the first, unasked
        QVERIFY(WaitIdle(f));
        QVERIFY(f.Queue().empty());
        const fs::path local = fs::path(down.path().toStdString()) / "tree";
        QCOMPARE(testsupport::Tree(local), testsupport::Tree(tree));
        QVERIFY(f.LogLines().filter(QRegularExpression("^\\[2\\] ")).size() > 0);

        f.QueueUpload("tree", "back");
        f.ProcessQueue();
        QVERIFY(WaitIdle(f));
        QVERIFY(f.Queue().empty());
        QCOMPARE(testsupport::Tree(Remote() / "back"), testsupport::Tree(tree));
        QVERIFY(Find(f, "back")); // listed again at the end
    }

    void stoppedDownloadResumes()
    {
        Tmainform& f = *m_form;
        testsupport::MakePatternFile(Remote() / "big.bin", 64 << 20, 9);
        testsupport::GiveToSshUser(Remote() / "big.bin");
        f.Refresh1Click();
        QVERIFY(WaitIdle(f));
        QTemporaryDir down;
        const fs::path part = fs::path(down.path().toStdString()) / "big.bin";
        f.Form().LsFilelistView281->SetDirectory(down.path());
        Select(f, { "big.bin" });
        f.QueueforDownload();
        QVERIFY(WaitIdle(f));
        // Stop once some of it has arrived: the entry stays, the part too.
        QTimer stop;
        connect(&stop, &QTimer::timeout, this, [&] {
            std::error_code ec;
            if (f.QueueRunning() && fs::file_size(part, ec) > (1 << 20) && !f.StopRequested())
                f.Form().chkStop->click();
        });
        stop.start(1);
        f.btnQueueClick();
        QVERIFY(WaitIdle(f, 10000));
        stop.stop();
        QCOMPARE(f.Queue().size(), std::size_t(1));
        const auto kept = fs::file_size(part);
        QVERIFY2(kept < (64u << 20), qPrintable(QString::number(kept)));
        // Run again: Ignore resumes from the part, and the whole file arrives.
        if (kept > 0)
            m_prompter.ExpectConfirm(ansIgnore);
        f.btnQueueClick();
        QVERIFY(WaitIdle(f));
        QVERIFY(f.Queue().empty());
        QCOMPARE(Md5OfFile(part), Md5OfFile(Remote() / "big.bin"));
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    SftpWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sftp.moc"
