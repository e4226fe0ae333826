// The local pane's commands and the remote commands that hand a file to a
// local program, through the real window against pyftpdlib.
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/openwith.hpp"
#include "app/program.hpp"
#include "ftp_peers.hpp"
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

using namespace app;
using namespace windowtest;
namespace fs = std::filesystem;

class LocalOpsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    testsupport::TempDir m_remote;
    testsupport::PyFtpd m_server;
    ScriptedPrompter m_prompter;

    // Answers the next Open With dialog with a typed command line, once it is
    // shown (the remote side downloads first, running the event loop).
    void AnswerOpenWith(Tmainform& form, const QString& command)
    {
        auto* poll = new QTimer(&form);
        connect(poll, &QTimer::timeout, &form, [&form, command, poll] {
            auto* dlg = form.findChild<TOpenWithDlg*>();
            if (!dlg || !dlg->isVisible())
                return;
            poll->stop();
            poll->deleteLater();
            dlg->edtCommand()->setText(command);
            dlg->OKBtn()->click();
        });
        poll->start(10);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_home.filePath("config")));
        qputenv("TALLOWIN_HOME", m_home.filePath("config").toUtf8());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toUtf8());
        testsupport::WriteFile(m_remote.path() / "www" / "index.html", "<p>");
        testsupport::WriteFile(m_remote.path() / "notes.txt", "remote notes");
        QVERIFY(m_server.Start({ { "alice", "pw", m_remote.path() } }));
        QVERIFY(WriteSite(m_home.filePath("config"),
            { "py", "127.0.0.1", std::to_string(m_server.Port()), "alice", "pw", {}, {} }));
    }
    void cleanup()
    {
        QDir::setCurrent(QDir::tempPath());
        QCOMPARE(m_prompter.Pending(), std::size_t(0));
    }

    void desktopDoubleClickDefaultDirAndOpenWith()
    {
        const QString desktop = QDir::home().filePath("Desktop");
        QVERIFY(QDir().mkpath(desktop));
        QTemporaryDir local;
        QVERIFY(QDir(local.path()).mkpath("www"));
        QVERIFY(QDir(local.path()).mkpath("elsewhere"));
        testsupport::WriteFile(fs::path(local.path().toStdString()) / "mine.txt", "local");

        auto form = std::make_unique<Tmainform>(m_prompter);
        Ui::Tmainform& f = form->Form();
        form->Timer1().stop();
        std::vector<std::string> started, opened;
        form->OnStartProgram = [&](const std::vector<std::string>& argv) {
            started = argv;
            return true;
        };
        form->OnOpenFile = [&](const std::string& path) { opened.push_back(path); };
        // The pane starts on the desktop; Go to Desktop comes back to it.
        QCOMPARE(f.LsFilelistView281->Directory(), desktop + "/");
        f.LsFilelistView281->SetDirectory(local.path());
        form->GotoDesktop1Click();
        QCOMPARE(f.LsFilelistView281->Directory(), desktop + "/");

        form->SetPassiveMode("YES");
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 1);
        f.LsFilelistView281->SetDirectory(local.path());
        f.chkNavigating->setChecked(true);
        // A local folder with a remote twin: both panes enter it.
        f.LsFilelistView281->setCurrentItem(f.LsFilelistView281->FindItem("www"));
        form->LsFilelistView281DblClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(f.LsFilelistView281->Directory(), local.filePath("www") + "/");
        QCOMPARE(f.lblRemote->text(), QString("/www"));
        // Without a twin only the local pane moves.
        f.LsFilelistView281->SetDirectory(local.path());
        f.LsFilelistView281->setCurrentItem(f.LsFilelistView281->FindItem("elsewhere"));
        form->LsFilelistView281DblClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(f.LsFilelistView281->Directory(), local.filePath("elsewhere") + "/");
        QCOMPARE(f.lblRemote->text(), QString("/www"));
        // A file opens with its application.
        f.LsFilelistView281->SetDirectory(local.path());
        f.LsFilelistView281->setCurrentItem(f.LsFilelistView281->FindItem("mine.txt"));
        form->LsFilelistView281DblClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(QString::fromStdString(opened.back()), local.filePath("mine.txt"));
        form->Openthedirectoryofthefile1Click();
        QCOMPARE(QString::fromStdString(opened.back()), local.path() + "/");

        // Make Default Dir stores the local folder; the next connection opens there.
        form->MakeDefaultDir2Click();
        SiteBook book;
        QVERIFY(book.Open(m_home.filePath("config").toStdString()));
        QCOMPARE(QString::fromStdString(book.Find("py")->Record.LocalDir()), local.path());
        book.Close();
        form->GotoDesktop1Click();
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(f.LsFilelistView281->Directory(), local.path() + "/");

        // Open With: a typed command gets the file at its end.
        f.LsFilelistView281->setCurrentItem(f.LsFilelistView281->FindItem("mine.txt"));
        AnswerOpenWith(*form, "mytool --flag");
        form->OpenwithNotepad1Click();
        QCOMPARE(started, std::vector<std::string>({ "mytool", "--flag", local.filePath("mine.txt").toStdString() }));
        // On a remote file it works on the scratch copy.
        form->dirview().SetFocusedRow(RowOf(*form, "notes.txt"));
        Select(*form, { "notes.txt" });
        AnswerOpenWith(*form, "viewer");
        form->OpenWith1Click();
        QVERIFY(WaitIdle(*form));
        const std::string copy = ScratchDir() + "/notes.txt";
        QCOMPARE(started, std::vector<std::string>({ "viewer", copy }));
        QCOMPARE(testsupport::ReadFile(copy), std::string("remote notes"));
    }
};

int main(int argc, char** argv)
{
    // A home of its own, so the desktop folder is the test's.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    LocalOpsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_localops.moc"
