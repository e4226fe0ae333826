// One action at a time, through the real window against a throttled
// pyftpdlib: what a second action does while a transfer, a listing or a
// walk is in flight (waits for its turn, or is refused), the controls while
// busy, and Stop, Disconnect and closing during a transfer.
#include "app/core/Captions.hpp"
#include "app/program.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <filesystem>

using namespace app;
using namespace windowtest;
using testsupport::ScriptedFtpServer;
namespace fs = std::filesystem;

namespace {

// Lets a test look at the window at the moment a message box would open.
class WatchingPrompter : public ScriptedPrompter {
public:
    std::function<void(const std::string&)> OnMessage;
    void ShowMessage(const std::string& text, TMessageKind kind) override
    {
        if (OnMessage)
            OnMessage(text);
        ScriptedPrompter::ShowMessage(text, kind);
    }
};

constexpr std::uint64_t kBig = 160 * 1024, kHuge = 640 * 1024; // about 5 s and 20 s at the throttle

QString Busy(TMessageId id)
{
    return QString::fromUtf8(Message(id, true));
}

} // namespace

class BusyTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    testsupport::TempDir m_remote;
    testsupport::PyFtpd m_server;
    WatchingPrompter m_prompter;

    fs::path Remote() const { return m_remote.path(); }

    std::unique_ptr<Tmainform> Connected()
    {
        auto form = std::make_unique<Tmainform>(m_prompter);
        form->Timer1().stop();
        form->SetPassiveMode("YES");
        form->show();
        form->Clear1Click();
        form->btnConnectClick();
        WaitIdle(*form);
        return form;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_home.filePath("config")));
        qputenv("TALLOWIN_HOME", m_home.filePath("config").toUtf8());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toUtf8());
        testsupport::MakePatternFile(Remote() / "big.bin", kBig);
        testsupport::MakePatternFile(Remote() / "huge.bin", kHuge);
        testsupport::WriteFile(Remote() / "sub" / "a.txt", "a");
        // A listing of about 85 KB: a walk into it takes a second or two.
        for (int i = 0; i < 1200; ++i)
            testsupport::WriteFile(Remote() / "many" / ("file-" + std::to_string(i) + ".txt"), "x");
        m_server.SetThrottle(32768);
        QVERIFY(m_server.Start({ { "alice", "pw", Remote() } }));
        QVERIFY(WriteSite(m_home.filePath("config"),
            { "py", "127.0.0.1", std::to_string(m_server.Port()), "alice", "pw", {}, {}, {} }));
    }
    void cleanup()
    {
        m_prompter.OnMessage = nullptr;
        QCOMPARE(m_prompter.Pending(), std::size_t(0));
    }

    // During a download: controls disabled; keys, a double-click and a drop
    // get through the views and are deferred (once) or refused; the
    // deferred ones run after the download, in the order they came.
    void secondActionsDuringADownload()
    {
        auto form = Connected();
        Ui::Tmainform& f = form->Form();
        QCOMPARE(form->LoggedIn(), 1);
        QTemporaryDir down, up;
        f.LsFilelistView281->SetDirectory(down.path());
        testsupport::WriteFile(up.filePath("up.txt").toStdString(), "uploaded");
        testsupport::WriteFile(up.filePath("local.txt").toStdString(), "local");
        Select(*form, { "big.bin" });

        QString refused, deferred;
        QTimer::singleShot(400, form.get(), [&] {
            for (QObject* off :
                std::initializer_list<QObject*> { f.btnConnect, f.ToolButton7, f.btnCopy, f.mnuCommand })
                QVERIFY2(!off->property("enabled").toBool(), qPrintable(off->objectName()));
            QVERIFY(f.btnDisconnect->isEnabled() && f.chkStop->isEnabled());
            QTreeView* view = f.dirview->DetailsView();
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(view, Qt::Key_F5);
            deferred = form->StatusText(0);
            f.dirview->SetFocusedRow(RowOf(*form, "sub"));
            QTest::keyClick(view, Qt::Key_Return);
            refused = form->StatusText(0);
            auto* data = new QMimeData;
            data->setUrls({ QUrl::fromLocalFile(up.filePath("up.txt")) });
            // Qt hands a drop only to the widget that took the drag's entry.
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, data, Qt::LeftButton, {});
            QApplication::sendEvent(view->viewport(), &enter);
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, {}, QEvent::Drop);
            QApplication::sendEvent(view->viewport(), &drop);
            // On the local list, a file manager's files wait too: the run writes there.
            data->setUrls({ QUrl::fromLocalFile(up.filePath("local.txt")) });
            QWidget* local = f.LsFilelistView281->viewport();
            QDragEnterEvent enterLocal(QPoint(5, 5), Qt::CopyAction, data, Qt::LeftButton, {});
            QApplication::sendEvent(local, &enterLocal);
            QDropEvent dropLocal(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, {}, QEvent::Drop);
            QApplication::sendEvent(local, &dropLocal);
            delete data;
            QTest::mouseClick(f.btnConnect, Qt::LeftButton); // disabled: nothing happens
        });
        bool copiedDuringTheRun = false;
        QTimer::singleShot(800, form.get(), [&] {
            copiedDuringTheRun
                = fs::exists(down.filePath("local.txt").toStdString()) || !form->QueueRunning();
        });
        form->LsFilelistView281DragDrop();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(deferred, Busy(msgBusyDeferred));
        QCOMPARE(refused, Busy(msgBusyRefused));
        QCOMPARE(fs::file_size(down.filePath("big.bin").toStdString()), kBig);
        QVERIFY(WaitFor([&] {
            return fs::exists(Remote() / "up.txt") && !form->Gate().Busy() && !form->Gate().Waiting();
        }));
        QVERIFY(!copiedDuringTheRun);
        QCOMPARE(testsupport::ReadFile(down.filePath("local.txt").toStdString()), std::string("local"));
        const QStringList log = form->LogLines();
        const auto line = [&log](const char* command, const char* name) {
            return int(std::find_if(log.begin(), log.end(), [&](const QString& l) {
                return l.startsWith(command) && l.endsWith(name);
            }) - log.begin());
        };
        const int retr = line("> RETR ", "big.bin"), stor = line("> STOR ", "up.txt");
        QVERIFY(retr < stor && stor < log.size());
        // Between them: the queue's own listing and the refresh, once.
        QCOMPARE(log.mid(retr, stor - retr).count("> LIST"), 2);
        QVERIFY(!log.contains("> CWD sub"));
        QVERIFY(f.btnConnect->isEnabled());
    }

    // Stop ends the transfer in flight and keeps the session; Disconnect ends
    // both; neither waits for the transfer.
    void stopAndDisconnectDuringATransfer()
    {
        auto form = Connected();
        Ui::Tmainform& f = form->Form();
        QTemporaryDir down;
        f.LsFilelistView281->SetDirectory(down.path());
        for (QAbstractButton* button :
            std::initializer_list<QAbstractButton*> { f.chkStop, f.btnDisconnect }) {
            const bool stop = button == f.chkStop;
            Select(*form, { "huge.bin" });
            QFile::remove(down.filePath("huge.bin"));
            QTimer::singleShot(400, form.get(), [button] { QTest::mouseClick(button, Qt::LeftButton); });
            QElapsedTimer t;
            t.start();
            form->LsFilelistView281DragDrop();
            QVERIFY(WaitIdle(*form));
            QVERIFY(t.elapsed() < 6000);
            QVERIFY(fs::file_size(down.filePath("huge.bin").toStdString()) < kHuge);
            QCOMPARE(form->FtpClient1().Connected(), stop);
            QCOMPARE(form->LoggedIn(), stop ? 1 : 0);
            QVERIFY(!form->Gate().Busy() && f.btnConnect->isEnabled());
        }
        QVERIFY(!form->ReconnectPending());
        QVERIFY(LogHas(*form, "Disconnected"));
    }

    // A second walk while one runs (a drag of the rows to a file manager) is
    // refused and leaves the first whole; closing the window during a
    // transfer ends it, and Closed comes once the call has returned.
    void secondWalkAndClosingDuringATransfer()
    {
        auto form = Connected();
        Select(*form, { "many" });
        bool fired = false;
        QTimer::singleShot(300, form.get(), [&] {
            fired = form->Form().dirview->Model().OnFetchDragFiles().isEmpty()
                && form->StatusText(0) == Busy(msgBusyRefused);
            std::vector<RemoteRow> other;
            QVERIFY(!form->MakeSelectedList_Server("", other)); // what got past the gate is caught too
        });
        form->QueueforDownload();
        QVERIFY(WaitIdle(*form));
        QVERIFY(fired);
        QCOMPARE(form->Queue().size(), std::size_t(1201)); // the folder and its files, each once

        form->Clear1Click();
        QTemporaryDir down;
        form->Form().LsFilelistView281->SetDirectory(down.path());
        Select(*form, { "huge.bin" });
        QSignalSpy closed(form.get(), &Tmainform::Closed);
        bool closedWhileBusy = false;
        connect(form.get(), &Tmainform::Closed, this, [&] { closedWhileBusy = form->Gate().Busy(); });
        QTimer::singleShot(400, form.get(), [&] {
            form->close();
            QCOMPARE(closed.count(), 0);
        });
        QElapsedTimer t;
        t.start();
        form->LsFilelistView281DragDrop();
        // Closed comes once the run has ended, not before.
        QVERIFY(WaitFor([&] { return closed.count() > 0; }, 6000));
        QVERIFY(t.elapsed() < 6000 && !closedWhileBusy);
        QTest::qWait(50);
        QCOMPARE(closed.count(), 1);
        QVERIFY(!form->FtpClient1().Connected());
        form.reset();
    }

    // A listing that takes seconds (the big folder at the throttle) runs
    // while the window does: the double-click returns at once; meanwhile a
    // refresh waits for its turn (once) and a rename is refused. Stop ends a
    // walk at the listing in flight; closing during a listing ends it, and
    // Closed comes once the gate is free.
    void actionsDuringAnAsynchronousListingAndWalk()
    {
        auto form = Connected();
        Ui::Tmainform& f = form->Form();
        QTreeView* view = f.dirview->DetailsView();
        form->dirview().SetFocusedRow(RowOf(*form, "many"));
        QElapsedTimer t;
        t.start();
        form->dirviewDblClick();
        QVERIFY(t.elapsed() < 500);
        QVERIFY(form->Gate().Busy() && !f.btnConnect->isEnabled() && !f.ToolButton7->isEnabled());
        for (int i = 0; i < 2; ++i)
            QTest::keyClick(view, Qt::Key_F5);
        QCOMPARE(form->StatusText(0), Busy(msgBusyDeferred));
        QTest::keyClick(view, Qt::Key_F2); // no question is asked
        QCOMPARE(form->StatusText(0), Busy(msgBusyRefused));
        QVERIFY(WaitFor([&] { return !form->Gate().Busy() && !form->Gate().Waiting(); }));
        QVERIFY(t.elapsed() > 1000);
        QCOMPARE(form->CurrentRemoteDir(), std::string("/many"));
        QCOMPARE(form->dirview().Model().rowCount(), 1200);
        QVERIFY(f.btnConnect->isEnabled());
        const QStringList log = form->LogLines();
        QCOMPARE(log.mid(log.lastIndexOf("> CWD many")).count("> LIST"), 2);

        form->Clear1Click();
        form->btnPreviousClick();
        QVERIFY(WaitIdle(*form));
        Select(*form, { "many" });
        QTimer::singleShot(300, form.get(), [&] { f.chkStop->click(); });
        t.restart();
        form->QueueforDownload();
        QVERIFY(t.elapsed() < 300);
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->Queue().size(), std::size_t(1)); // the folder; none of its files
        form->Clear1Click();

        form->Refresh1Click();
        QSignalSpy closed(form.get(), &Tmainform::Closed);
        bool closedWhileBusy = true;
        connect(form.get(), &Tmainform::Closed, this, [&] { closedWhileBusy = form->Gate().Busy(); });
        form->close();
        QVERIFY(WaitFor([&] { return closed.count() > 0; }, 6000));
        QVERIFY(!closedWhileBusy && !form->FtpClient1().Connected());
    }

    // A failure reply's box opens once the engine has handled the reply; a
    // lost session reconnects to the site that was connected, not to the
    // one selected since; Stop against a server gone silent ends the session
    // after a grace period.
    void warningReconnectAndStopAgainstSilence()
    {
        QTemporaryDir home;
        qputenv("TALLOWIN_HOME", home.path().toUtf8());
        using S = ScriptedFtpServer;
        S first, second;
        first.On("PWD", { S::Send("257 \"/\"\r\n") });
        first.On("CWD", { S::Send("250 ok\r\n") });
        first.On("LIST",
            { S::Send("150 here\r\n"), S::DataSend("-rw-r--r-- 1 u g 5 Jan 01 2020 f\r\n"), S::DataClose(),
                S::Send("226 done\r\n") });
        first.On("XRF", { S::Send("553 refused\r\n") });
        first.On("NOOP", { S::Close() });
        first.On("RETR", { S::Send("150 go\r\n"), S::Sleep(6500) }); // then silence
        QVERIFY(first.Start() && second.Start());
        QVERIFY(WriteSite(
            home.path(), { "first", "127.0.0.1", std::to_string(first.Port()), "u", "p", {}, {}, {} }));
        QVERIFY(WriteSite(
            home.path(), { "second", "127.0.0.1", std::to_string(second.Port()), "u", "p", {}, {}, {} }));
        auto form = std::make_unique<Tmainform>(m_prompter);
        qputenv("TALLOWIN_HOME", m_home.filePath("config").toUtf8());
        form->Timer1().stop();
        form->SetPassiveMode("YES");
        form->Form().ComboBox1->setCurrentIndex(form->Form().ComboBox1->findText("first"));
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 1);

        bool afterTheReply = false;
        m_prompter.OnMessage = [&](const std::string& text) {
            afterTheReply = text == "Warning: < 553 refused"
                && form->FtpClient1().State() == ftp::ftpStateReady && LogHas(*form, "< 553 refused");
        };
        m_prompter.ExpectInput("XRF");
        form->mnuCommandClick();
        QVERIFY(WaitIdle(*form));
        QVERIFY(afterTheReply);

        form->Form().ComboBox1->setCurrentIndex(form->Form().ComboBox1->findText("second"));
        form->Timer1().setInterval(5);
        form->Timer1().start();
        QVERIFY(WaitFor([&] {
            const auto d = first.Dialogue();
            return std::count(d.begin(), d.end(), "USER u") >= 2 && form->LoggedIn() == 1;
        }));
        form->Timer1().stop();
        QVERIFY(WaitIdle(*form));
        QVERIFY(second.Dialogue().empty());

        QTemporaryDir down;
        form->Form().LsFilelistView281->SetDirectory(down.path());
        Select(*form, { "f" });
        QTimer::singleShot(300, form.get(), [&] { form->Form().chkStop->click(); });
        QElapsedTimer t;
        t.start();
        form->LsFilelistView281DragDrop();
        QVERIFY(WaitIdle(*form));
        QVERIFY(t.elapsed() < 6500);
        QVERIFY(LogHas(*form, "The server did not end the operation; the connection is closed."));
        QVERIFY(!form->FtpClient1().Connected() && !form->ReconnectPending());
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    BusyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_busy.moc"
