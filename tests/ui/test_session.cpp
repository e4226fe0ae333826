// Connecting and browsing through the real window on the offscreen platform,
// against pyftpdlib, vsftpd, ftp-proxy and a scripted server on loopback:
// what the user sees in the rows, the log and the status bar.
#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"
#include "app/program.hpp"
#include "app/proxy1.hpp"
#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"
#include "window_test_util.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"

#include "ui_mainform.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>

using namespace app;
using testsupport::ScriptedFtpServer;
namespace fs = std::filesystem;

using namespace windowtest;

class SessionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    ScriptedPrompter m_prompter;
    testsupport::TempDir m_tree;
    testsupport::PyFtpd m_pyftpd;

    void WriteSite(const Site& s) { QVERIFY(windowtest::WriteSite(m_home->path(), s)); }

    Site Pyftpd(const std::string& dir = {}) const
    {
        return { "py", "127.0.0.1", std::to_string(m_pyftpd.Port()), "alice", "pw", dir, {} };
    }

    std::unique_ptr<Tmainform> NewForm()
    {
        auto form = std::make_unique<Tmainform>(m_prompter);
        new QAbstractItemModelTester(&form->dirview().Model(), QAbstractItemModelTester::FailureReportingMode::Fatal,
            form.get());
        form->show();
        return form;
    }

    // Answers the proxy dialog that the next Proxy1Click opens.
    void AnswerProxy(Tmainform& form, const QString& name, bool passive, bool ok)
    {
        QTimer::singleShot(0, &form, [=, &form] {
            auto* dlg = form.findChild<TOKBottomDlg*>();
            QVERIFY(dlg);
            dlg->Edit1()->setText(name);
            dlg->chkPassive()->setChecked(passive);
            (ok ? dlg->OKBtn() : dlg->CancelBtn())->click();
        });
        form.Proxy1Click();
    }

private slots:
    void initTestCase()
    {
        const fs::path t = m_tree.path();
        testsupport::WriteFile(t / "My Docs" / "inner.txt", "inner");
        testsupport::WriteFile(t / "sub" / "deep" / "x.bin", "xx");
        testsupport::WriteFile(t / "sub" / "s.txt", "s");
        testsupport::WriteFile(t / "a.txt", "abcde");
        testsupport::WriteFile(t / "B file.TXT", "b");
        // A sparse 5 GiB file: its size must show and sort as 64 bits.
        { std::ofstream(t / "big.iso"); }
        fs::resize_file(t / "big.iso", 5ull << 30);
        QVERIFY(m_pyftpd.Start({ { "alice", "pw", t } }));
    }

    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("TALLOWIN_HOME", m_home->path().toUtf8());
        m_prompter = ScriptedPrompter();
    }
    void cleanup() { QCOMPARE(m_prompter.Pending(), std::size_t(0)); }

    void connectListBrowseAndSort()
    {
        QTemporaryDir local;
        QVERIFY(QDir(local.path()).mkdir("My Docs"));
        WriteSite(Pyftpd());
        auto form = NewForm();
        Ui::Tmainform& f = form->Form();
        form->btnConnectClick(); // active mode: the settings' default
        QVERIFY2(form->LoggedIn() == 1, qPrintable(form->LogLines().join('\n')));
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->StatusText(0), QString("Connected."));
        QVERIFY(LogHas(*form, "CONNECTED."));
        QVERIFY(LogHas(*form, "> PASS ********"));
        QVERIFY(LogHas(*form, "DIRECTORY LISTING IS FINISHED."));
        QCOMPARE(f.lblRemote->text(), QString("/"));
        QVERIFY(!QFile::exists(m_home->filePath("ftpdir.txt")));
        // Folders first, each group by name ignoring case.
        QCOMPARE(Names(*form), QStringList({ "My Docs", "sub", "a.txt", "B file.TXT", "big.iso" }));
        const RemoteRow* big = Find(*form, "big.iso");
        QCOMPARE(big->size, std::string("5368709120"));
        QCOMPARE(big->type, std::string("File"));
        QCOMPARE(Find(*form, "My Docs")->type, std::string("Directory"));
        QCOMPARE(Find(*form, "My Docs")->image, 0);
        QVERIFY(Find(*form, "a.txt")->perms.rfind("-rw", 0) == 0);
        // What a screen reader reads from a row.
        const QModelIndex sizeCell = form->dirview().Model().index(RowOf(*form, "a.txt"), 1);
        QCOMPARE(sizeCell.data(Qt::AccessibleTextRole).toString(), QString("5"));

        // Size header: largest first on the first click, then the reverse.
        QTest::mouseClick(f.dirview->DetailsView()->header()->viewport(), Qt::LeftButton, {},
            QPoint(f.dirview->DetailsView()->header()->sectionViewportPosition(1) + 5, 5));
        QCOMPARE(Names(*form).first(), QString("big.iso"));
        form->dirviewColumnClick(1);
        QCOMPARE(Names(*form).last(), QString("big.iso"));

        // Enter on a folder opens it; with the coupling box the local pane follows.
        f.LsFilelistView281->SetDirectory(local.path());
        f.chkNavigating->setChecked(true);
        QTreeView* details = f.dirview->DetailsView();
        details->setFocus();
        form->dirview().SetFocusedRow(RowOf(*form, "My Docs"));
        QTest::keyClick(details, Qt::Key_Return);
        QVERIFY(WaitIdle(*form));
        QCOMPARE(f.lblRemote->text(), QString("/My Docs"));
        QCOMPARE(Names(*form), QStringList({ "inner.txt" }));
        QCOMPARE(f.LsFilelistView281->Directory(), local.filePath("My Docs") + "/");
        // Backspace goes up on both sides (their last folder names match).
        QTest::keyClick(details, Qt::Key_Backspace);
        QVERIFY(WaitIdle(*form));
        QCOMPARE(f.lblRemote->text(), QString("/"));
        QCOMPARE(f.LsFilelistView281->Directory(), local.path() + "/");

        // F5 shows what changed on the server; the new listing is sorted by the built-in rule.
        testsupport::WriteFile(m_tree.path() / "new.txt", "n");
        QTest::keyClick(details, Qt::Key_F5);
        QVERIFY(WaitIdle(*form));
        QCOMPARE(Names(*form), QStringList({ "My Docs", "sub", "a.txt", "B file.TXT", "big.iso", "new.txt" }));
        fs::remove(m_tree.path() / "new.txt");

        // The four styles are views of the same rows and selection.
        form->dirview().SelectRow(RowOf(*form, "a.txt"));
        f.mnu_view_big->trigger();
        QCOMPARE(form->dirview().CurrentView(), static_cast<QAbstractItemView*>(f.dirview->IconView()));
        QCOMPARE(f.dirview->IconView()->viewMode(), QListView::IconMode);
        QCOMPARE(form->dirview().SelectedRows(), std::vector<int>({ RowOf(*form, "a.txt") }));
        f.List1->trigger();
        QCOMPARE(f.dirview->IconView()->viewMode(), QListView::ListMode);
        f.Details1->trigger();
        QCOMPARE(form->dirview().CurrentView(), static_cast<QAbstractItemView*>(details));

        // The recursive selection: folders walked in pre-order, files with bare names.
        form->dirview().Selection()->clearSelection();
        form->dirview().SelectRow(RowOf(*form, "sub"));
        form->dirview().SelectRow(RowOf(*form, "a.txt"));
        std::vector<RemoteRow> list;
        form->MakeSelectedList_Server("", list);
        QVERIFY(WaitIdle(*form));
        QStringList walked;
        for (const RemoteRow& row : list)
            walked << QString::fromStdString(row.name + "|" + row.type);
        QCOMPARE(walked,
            QStringList({ "/sub|Directory", "/sub/deep|Directory", "/sub/deep/x.bin|File", "/sub/s.txt|File",
                "a.txt|File" }));
        QCOMPARE(form->CurrentRemoteDir(), std::string("/"));

        // Disconnect: the rows stay, the log says so.
        form->btnDisconnectClick();
        QVERIFY(!form->FtpClient1().Connected());
        QVERIFY(LogHas(*form, "Disconnected"));
        QCOMPARE(form->StatusText(0), QString("Disconnected."));
    }

    void siteAskingForMlsdAndUtf8()
    {
        // The same folder through LIST (a site without options) and MLSD.
        WriteSite(Pyftpd());
        Site mlsd = Pyftpd();
        mlsd.alias = "pymlsd";
        mlsd.reserved = "listing=mlsd;utf8=yes";
        WriteSite(mlsd);
        auto form = NewForm();
        QStringList rows[2];
        for (int site : { 0, 1 }) {
            form->Form().ComboBox1->setCurrentIndex(site);
            form->btnConnectClick();
            QVERIFY(WaitIdle(*form));
            QVERIFY2(form->LoggedIn() == 1, qPrintable(form->LogLines().join('\n')));
            for (const RemoteRow& row : form->dirview().Model().Rows())
                rows[site] << QString::fromStdString(row.name + "|" + row.size + "|" + row.type);
            QCOMPARE(LogHas(*form, "In force: MLSD, UTF-8"), site == 1);
            QCOMPARE(LogHas(*form, "> FEAT"), site == 1);
            form->btnDisconnectClick();
        }
        QCOMPARE(rows[1], rows[0]);
        QVERIFY(rows[0].contains("big.iso|5368709120|File"));
        // pyftpdlib refuses OPTS UTF8 ON (and speaks UTF-8 anyway): the
        // program sent it on its own, so the refusal is only logged.
        QVERIFY(LogHas(*form, "> OPTS UTF8 ON"));
        for (const std::string& shown : m_prompter.ShownTexts())
            QVERIFY2(shown.rfind("Warning: ", 0) != 0, shown.c_str());
    }

    // Two connections to an encrypted site: the second one logs in over TLS too,
    // with PROT P, and takes the certificate accepted once for this session
    // without asking again. (Passive from the start: the test server drops a
    // new connection whose descriptor an active data connection just left.)
    void tlsSiteWithTwoConnections()
    {
        testsupport::TestCertificates certs;
        QVERIFY(certs.Make());
        testsupport::PyFtpd tls;
        tls.SetTls(certs.SelfCert(), certs.SelfKey());
        tls.SetThrottle(1 << 20); // each file takes a while: the second connection gets its share
        QVERIFY(tls.Start({ { "alice", "pw", m_tree.path() } }));
        Site site = Pyftpd();
        site.port = std::to_string(tls.Port());
        site.reserved = "encryption=tls-required";
        WriteSite(site);
        auto form = NewForm();
        form->SetPassiveMode("YES");
        m_prompter.ExpectChoice(0); // Connect once
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 1);
        const std::size_t asked = m_prompter.Shown().size();
        QTemporaryDir up;
        std::vector<std::string> lines;
        for (const char* name : { "t1.txt", "t2.txt", "t3.txt", "t4.txt" }) {
            testsupport::WriteFile(up.filePath(name).toStdString(), std::string(300000, name[1]));
            lines.push_back("U:F;" + up.filePath(name).toStdString() + ";/" + name);
        }
        form->AppendQueue(lines);
        form->ProcessQueue();
        QVERIFY(WaitFor([&] { return !form->QueueRunning(); }));
        QVERIFY(form->Queue().empty());
        QCOMPARE(m_prompter.Shown().size(), asked);
        QVERIFY(form->LogLines().contains("[2] > PROT P"));
        QVERIFY(!form->LogLines().filter(QRegularExpression("^\\[2\\] > STOR /t.\\.txt$")).isEmpty());
        for (const char* name : { "t1.txt", "t2.txt", "t3.txt", "t4.txt" })
            QCOMPARE(testsupport::ReadFile(m_tree.path() / name), std::string(300000, name[1]));
        form->btnDisconnectClick();
        for (const char* name : { "t1.txt", "t2.txt", "t3.txt", "t4.txt" })
            fs::remove(m_tree.path() / name);
    }

    void tlsSiteAndTheCertificatePrompt()
    {
        testsupport::TestCertificates certs;
        QVERIFY(certs.Make());
        testsupport::PyFtpd tls;
        tls.SetTls(certs.SelfCert(), certs.SelfKey());
        QVERIFY(tls.Start({ { "alice", "pw", m_tree.path() } }));
        Site site = Pyftpd();
        site.port = std::to_string(tls.Port());
        site.reserved = "encryption=tls-required";
        WriteSite(site);
        const std::string fingerprint = testsupport::TestCertificates::Fingerprint(certs.SelfCert());
        const auto inForce = [](Tmainform& form) {
            for (const QString& line : form.LogLines())
                if (line.startsWith("In force: TLS 1.")) // version and cipher follow
                    return true;
            return false;
        };
        auto form = NewForm();
        // Connect once, then Always trust; afterwards no question at all.
        for (std::size_t answer : { 0, 1, 99 }) {
            const std::size_t shown = m_prompter.Shown().size();
            if (answer != 99)
                m_prompter.ExpectChoice(answer);
            form->btnConnectClick();
            QVERIFY(WaitIdle(*form));
            QVERIFY2(form->LoggedIn() == 1, qPrintable(form->LogLines().join('\n')));
            QVERIFY(inForce(*form));
            QVERIFY(RowOf(*form, "a.txt") >= 0); // the listing came over an encrypted data connection
            QCOMPARE(m_prompter.Shown().size(), shown + (answer != 99 ? 1 : 0));
            if (answer != 99) {
                const std::string text = m_prompter.Shown().back().Text;
                QVERIFY2(text.find("could not be verified") != std::string::npos
                        && text.find(fingerprint) != std::string::npos,
                    text.c_str());
            }
            form->btnDisconnectClick();
        }
        const QString trusted = m_home->filePath("trusted.txt");
        struct stat st { };
        QCOMPARE(::stat(trusted.toUtf8().constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);

        // Another certificate for the same host and port is shown as changed; Cancel stops there.
        QFile file(trusted);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll().replace(QByteArray::fromStdString(fingerprint), "AA:BB");
        file.close();
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        form = NewForm();
        m_prompter.ExpectChoice(2);
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 0);
        QVERIFY(m_prompter.Shown().back().Text.find("is not the one you chose to trust") != std::string::npos);
        QVERIFY(!LogHas(*form, "> USER alice"));

        // Required against a server without TLS: nothing is sent after the refused AUTH.
        site = Pyftpd();
        site.alias = "plain-but-required";
        site.reserved = "encryption=tls-required";
        WriteSite(site);
        form = NewForm();
        form->Form().ComboBox1->setCurrentIndex(form->Form().ComboBox1->findText("plain-but-required"));
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 0);
        QVERIFY(LogHas(*form, "> AUTH TLS"));
        QVERIFY(!LogHas(*form, "> USER alice"));

        // An encryption setting this version cannot read is not plain FTP:
        // no connection at all, and the user is told why.
        site.alias = "misspelt";
        site.reserved = "encryption=tls-requried; listing=mlsd";
        WriteSite(site);
        form = NewForm();
        form->Form().ComboBox1->setCurrentIndex(form->Form().ComboBox1->findText("misspelt"));
        const std::size_t before = m_prompter.Shown().size();
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 0);
        QVERIFY(!LogHas(*form, "> USER alice"));
        QCOMPARE(m_prompter.Shown().size(), before + 1);
        QVERIFY(m_prompter.Shown().back().Text.find("\"tls-requried\" cannot be read") != std::string::npos);
        m_prompter.ClearShown();
    }

    void wrongPasswordAndTurkishTexts()
    {
        Site site = Pyftpd();
        site.password = "wrong";
        WriteSite(site);
        auto form = NewForm();
        form->Turkish1Click();
        // Controls without text of their own are named for screen readers, in Turkish now.
        QCOMPARE(form->Form().dirview->DetailsView()->accessibleName(), QString::fromUtf8("Uzak dosyalar"));
        QCOMPARE(form->Form().listbox1->accessibleName(), QString::fromUtf8("Günlük"));
        QCOMPARE(form->Form().btnPrevious->accessibleName(), QString::fromUtf8("Önceki Klasör"));
        QCOMPARE(form->Form().chkStop->accessibleName(), QString::fromUtf8("Durdur"));
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 0);
        QVERIFY(form->StatusText(0) != QString("Connected."));
        QVERIFY(LogHas(*form, "Action not taken. Please notice the error displayed below."));
        QVERIFY(LogHas(*form, "LOGIN INCORRECT."));
        const auto shown = m_prompter.ShownTexts();
        QVERIFY(std::any_of(shown.begin(), shown.end(), [](const std::string& t) { return t.rfind("Warning: < 530", 0) == 0; }));
        // A listing without a log-in says so in the language chosen.
        if (form->FtpClient1().State() == ftp::ftpStateReady) {
            form->Refresh1Click();
            QVERIFY(WaitIdle(*form));
            QCOMPARE(form->StatusText(0), QString::fromUtf8("Bağlantı kurulamadı."));
        }
        form->btnDisconnectClick();
        QVERIFY(WaitFor([&] { return !form->FtpClient1().Connected(); }));
        QVERIFY(WaitFor([&] { return LogHas(*form, QString::fromUtf8("Bağlantı Kesildi")); }));
    }

    void vsftpdPassiveThroughTheProxyDialog()
    {
        if (!testsupport::Vsftpd::Available())
            QSKIP("vsftpd or its account missing");
        testsupport::TempDir root;
        testsupport::WriteFile(root.path() / "pub" / "readme.txt", "hello");
        testsupport::Vsftpd server;
        QVERIFY(server.Start(root.path()));
        WriteSite({ "vs", "127.0.0.1", std::to_string(server.Port()), testsupport::Vsftpd::kUser,
            testsupport::Vsftpd::kPassword, "pub", {} });
        auto form = NewForm();
        // Cancel keeps the old values; OK takes the new ones.
        AnswerProxy(*form, "ignored", true, false);
        QCOMPARE(form->PassiveMode(), std::string("NO"));
        AnswerProxy(*form, "", true, true);
        QCOMPARE(form->PassiveMode(), std::string("YES"));
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QVERIFY2(form->LoggedIn() == 1, qPrintable(form->LogLines().join('\n') + QString::fromStdString(server.Log())));
        QVERIFY(form->FtpClient1().Passive());
        QCOMPARE(Names(*form), QStringList({ "readme.txt" }));
        QCOMPARE(Find(*form, "readme.txt")->size, std::string("5"));
        QVERIFY(form->CurrentRemoteDir().size() >= 4);
        QCOMPARE(form->CurrentRemoteDir().substr(form->CurrentRemoteDir().size() - 4), std::string("/pub"));
    }

    void loginThroughFtpProxy()
    {
        if (!testsupport::FtpProxy::Available())
            QSKIP("ftp-proxy missing");
        testsupport::FtpProxy proxy;
        QVERIFY(proxy.Start(m_pyftpd.Port()));
        WriteSite(Pyftpd("sub"));
        auto form = NewForm();
        form->SetProxyName("127.0.0.1:" + std::to_string(proxy.Port()));
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QVERIFY2(form->LoggedIn() == 1, qPrintable(form->LogLines().join('\n') + QString::fromStdString(proxy.Log())));
        QCOMPARE(form->FtpClient1().ConnectionType(), ftp::ftpProxy);
        QCOMPARE(Names(*form), QStringList({ "deep", "s.txt" }));
    }

    // Replies no real server gives on purpose: 553 and 421 to a typed
    // command, a listing with hostile names, and a folder that leads back
    // to itself. Then the keep-alive, and an unexpected close followed by
    // the reconnection into the same folder.
    void warningsHostileNamesLoopsKeepAliveAndReconnect()
    {
        ScriptedFtpServer server;
        server.On("PWD", { ScriptedFtpServer::Send("257 \"/same\"\r\n") });
        server.On("CWD", { ScriptedFtpServer::Send("250 ok\r\n") });
        server.On("LIST",
            { ScriptedFtpServer::Send("150 here\r\n"),
                ScriptedFtpServer::DataSend("drwxr-xr-x 2 u g 0 Jan 01 2020 again\r\n"
                                            "-rw-r--r-- 1 u g 5 Jan 01 2020 ../evil\r\n"
                                            "-rw-r--r-- 1 u g 5 Jan 01 2020 fine.txt\r\n"),
                ScriptedFtpServer::DataClose(), ScriptedFtpServer::Send("226 done\r\n") });
        server.On("XRF", { ScriptedFtpServer::Send("553 refused\r\n") });
        server.On("XBY", { ScriptedFtpServer::Send("425 no data connection\r\n") });
        server.On("XBT", { ScriptedFtpServer::Send("500 5 bytes too many\r\n") });
        server.On("NOOP", { ScriptedFtpServer::Close() });
        QVERIFY(server.Start());
        WriteSite({ "s", "127.0.0.1", std::to_string(server.Port()), "u", "p", {}, {} });
        auto form = NewForm();
        form->Timer1().stop();
        form->btnConnectClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(form->LoggedIn(), 1);
        QCOMPARE(Names(*form), QStringList({ "again", "../evil", "fine.txt" })); // shown, never walked

        m_prompter.ClearShown();
        for (const char* command : { "XRF", "XBY", "XBT" }) {
            m_prompter.ExpectInput(command);
            form->mnuCommandClick();
            QVERIFY(WaitIdle(*form));
        }
        QCOMPARE(m_prompter.ShownTexts(),
            std::vector<std::string>({ "Enter Command", "Warning: < 553 refused", "Enter Command", "Enter Command" }));
        // Cancel sends nothing.
        const std::size_t before = server.Dialogue().size();
        m_prompter.ExpectInputCancel();
        form->mnuCommandClick();
        QVERIFY(WaitIdle(*form));
        QCOMPARE(server.Dialogue().size(), before);

        form->dirview().SelectRow(RowOf(*form, "again"));
        form->dirview().SelectRow(RowOf(*form, "../evil"));
        std::vector<RemoteRow> list;
        form->MakeSelectedList_Server("", list);
        QVERIFY(WaitIdle(*form));
        QStringList walked;
        for (const RemoteRow& row : list)
            walked << QString::fromStdString(row.name);
        QCOMPARE(walked, QStringList({ "/again", "/again/again", "/again/fine.txt" }));
        QVERIFY(LogHas(*form, "\"../evil\" is not a usable name; it is skipped."));
        QVERIFY(LogHas(*form, "\"/again/again\" leads back to \"/same\"; it is skipped."));

        // The log keeps 100 lines: a note that arrives at a full log leaves 99.
        for (int i = 0; i < 150 || form->LogLines().size() < 100; ++i)
            form->AddList("note " + std::to_string(i));
        QCOMPARE(form->LogLines().size(), 100);
        form->AddList("last");
        QCOMPARE(form->LogLines().size(), 99);
        QCOMPARE(form->LogLines().last(), QString("last"));

        // Keep-alive every 30 idle ticks; this server then closes, and the
        // next tick logs in again and returns to the folder.
        const auto start = server.Dialogue();
        const long users = std::count(start.begin(), start.end(), "USER u");
        form->Timer1().setInterval(5);
        form->Timer1().start();
        QVERIFY(WaitFor([&] {
            const auto d = server.Dialogue();
            return std::count(d.begin(), d.end(), "USER u") > users
                && std::find(d.begin(), d.end(), "CWD /same") != d.end();
        }));
        form->Timer1().stop();
        const auto d = server.Dialogue();
        QVERIFY(std::find(d.begin(), d.end(), "NOOP") != d.end());
        QVERIFY(LogHas(*form, "Disconnected"));
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    SessionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_session.moc"
