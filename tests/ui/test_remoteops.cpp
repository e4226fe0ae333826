// Rename onto a listed name and the change-mode walk through folder links,
// through the real window against pyftpdlib (physical PWD, MLSD listings, so
// that links to folders are listed as folders).
#include "app/core/Prompter.hpp"
#include "app/dirview.hpp"
#include "app/program.hpp"
#include "ftp_peers.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"

#include <QApplication>
#include <QHeaderView>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <filesystem>
#include <map>
#include <memory>

using namespace app;
using namespace windowtest;
namespace fs = std::filesystem;

class RemoteOpsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    testsupport::TempDir m_remote;
    testsupport::PyFtpd m_server;
    ScriptedPrompter m_prompter;
    std::unique_ptr<Tmainform> m_form;

    fs::path Remote() const { return m_remote.path(); }
    static int Mode(const fs::path& p) { return int(fs::symlink_status(p).permissions() & fs::perms::mask); }

private slots:
    void initTestCase()
    {
        qputenv("TALLOWIN_HOME", m_home.path().toUtf8());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toUtf8());
        m_server.SetPhysicalPwd(true);
        QVERIFY(m_server.Start({ { "alice", "pw", Remote() } }));
        QVERIFY(WriteSite(m_home.path(),
            { "py", "127.0.0.1", std::to_string(m_server.Port()), "alice", "pw", {}, {}, "listing=mlsd" }));
        m_form = std::make_unique<Tmainform>(m_prompter);
        m_form->Timer1().stop();
        m_form->SetPassiveMode("YES");
        m_form->btnConnectClick();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(m_form->LoggedIn(), 1);
    }
    void cleanupTestCase() { m_form.reset(); }
    void cleanup() { QCOMPARE(m_prompter.Pending(), std::size_t(0)); }

    void renameOntoAListedNameAsks()
    {
        testsupport::WriteFile(Remote() / "mine.txt", "mine");
        testsupport::WriteFile(Remote() / "theirs.txt", "theirs");
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        // By dialog: Cancel keeps both files.
        Select(*m_form, { "mine.txt" });
        m_prompter.ExpectInput("theirs.txt");
        m_prompter.ExpectConfirm(ansCancel);
        m_form->Rename1Click();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(testsupport::ReadFile(Remote() / "theirs.txt"), std::string("theirs"));
        QVERIFY(fs::exists(Remote() / "mine.txt"));
        QCOMPARE(m_prompter.ShownTexts().back(),
            std::string("\"theirs.txt\" already exists. Press OK to replace it with \"mine.txt\", CANCEL to cancel "
                        "the operation."));
        // In place: OK replaces it.
        m_prompter.ExpectConfirm(ansOK);
        QVERIFY(m_form->dirview().Model().setData(
            m_form->dirview().Model().index(RowOf(*m_form, "mine.txt"), 0), "theirs.txt", Qt::EditRole));
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(testsupport::ReadFile(Remote() / "theirs.txt"), std::string("mine"));
        QVERIFY(!fs::exists(Remote() / "mine.txt"));
        fs::remove(Remote() / "theirs.txt");
    }

    void modeWalkStaysInTheSelection()
    {
        // sel/loop leads back to sel; sel/jump into another tree, whose ".."
        // is not sel. Neither may take the walk out of sel.
        testsupport::WriteFile(Remote() / "outside.txt", "o");
        testsupport::WriteFile(Remote() / "other" / "o.txt", "o");
        testsupport::WriteFile(Remote() / "other" / "inner" / "i.txt", "i");
        testsupport::WriteFile(Remote() / "sel" / "in.txt", "i");
        fs::create_directory_symlink(".", Remote() / "sel" / "loop");
        fs::create_directory_symlink("../other/inner", Remote() / "sel" / "jump");
        for (const fs::path& p : { Remote() / "outside.txt", Remote() / "other" / "o.txt", Remote() / "other",
                 Remote() / "sel" / "in.txt", Remote() / "sel" })
            fs::permissions(p, fs::perms(0644) | (fs::is_directory(p) ? fs::perms(0111) : fs::perms::none));
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        QVERIFY(Find(*m_form, "sel") && Find(*m_form, "sel")->IsFolder());
        Select(*m_form, { "sel" });
        m_prompter.ExpectInput("700");
        m_prompter.ExpectConfirm(ansAll);
        m_form->ChMod1Click();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(Mode(Remote() / "sel" / "in.txt"), 0700);
        QCOMPARE(Mode(Remote() / "sel"), 0700);
        QCOMPARE(Mode(Remote() / "outside.txt"), 0644);
        QCOMPARE(Mode(Remote() / "other" / "o.txt"), 0644);
        QCOMPARE(Mode(Remote() / "other"), 0755);
        QVERIFY(LogHas(*m_form, "\"loop\" leads back to \"/sel\"; it is skipped."));
        QVERIFY(LogHas(*m_form,
            "\"..\" of \"/other/inner\" led to \"/other\", not back to \"/sel\"; \"jump\" keeps its mode."));
        QCOMPARE(m_form->CurrentRemoteDir(), std::string("/"));

        // The download walk: after "jump" it goes back to sel by its path, so
        // the folder after it is sel's own.
        testsupport::WriteFile(Remote() / "sel" / "zdir" / "z.txt", "z");
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        Select(*m_form, { "sel" });
        std::vector<RemoteRow> walked;
        QVERIFY(m_form->MakeSelectedList_Server("", walked));
        QVERIFY(WaitIdle(*m_form));
        QVERIFY(std::any_of(walked.begin(), walked.end(), [](const RemoteRow& r) { return r.name == "/sel/zdir/z.txt"; }));
        QVERIFY(LogHas(*m_form, "\"..\" of \"/sel/jump\" led to \"/other\"; the walk went back to \"/sel\"."));
    }

    // The download walk lists each folder once: back in a parent it only asks
    // where it stands. Both servers; the window ends as it started.
    void walkListsEachFolderOnce()
    {
        const auto walk = [](Tmainform& form, const fs::path& root, const QString& top) {
            for (const char* f : { "w/a/b/f1", "w/a/f2", "w/c/f3", "w/f4" })
                testsupport::WriteFile(root / f, "x");
            form.Refresh1Click();
            QVERIFY(WaitIdle(form));
            const std::string shown = form.CurrentRemoteDir();
            const QString label = form.Form().lblRemote->text();
            Select(form, { "w" });
            std::vector<RemoteRow> walked;
            QVERIFY(form.MakeSelectedList_Server(top.toStdString(), walked));
            QVERIFY(WaitIdle(form));
            QCOMPARE(walked.size(), std::size_t(8)); // four folders, four files
            std::map<QString, int> verbs;
            const QStringList log = form.LogLines(); // capped: counted from the walk's first command
            QVERIFY(log.lastIndexOf("> CWD w") >= 0);
            for (const QString& line : log.mid(log.lastIndexOf("> CWD w")))
                if (line.startsWith("> "))
                    ++verbs[line.mid(2).section(' ', 0, 0)];
            const int listings = verbs["LIST"] + verbs["MLSD"];
            QCOMPARE(listings, 4);
            QCOMPARE(verbs["CWD"], 8); // in and back out of each
            QCOMPARE(verbs["PWD"], 8);
            QCOMPARE(form.CurrentRemoteDir(), shown);
            QCOMPARE(form.Form().lblRemote->text(), label);
            fs::remove_all(root / "w");
        };
        walk(*m_form, Remote(), "");
        if (!testsupport::Vsftpd::Available())
            QSKIP("vsftpd or its account missing");
        testsupport::TempDir root;
        testsupport::Vsftpd server;
        QVERIFY(server.Start(root.path()));
        QVERIFY(WriteSite(m_home.path(),
            { "vs", "127.0.0.1", std::to_string(server.Port()), testsupport::Vsftpd::kUser,
                testsupport::Vsftpd::kPassword, {}, {} }));
        Tmainform form(m_prompter);
        QVERIFY(ConnectTo(form, "vs"));
        walk(form, root.path(), QString::fromStdString(form.CurrentRemoteDir()));
    }

    void sameFoldersFollowTheLocalListNotTheProcessFolder()
    {
        fs::create_directories(Remote() / "both");
        QTemporaryDir local, elsewhere;
        QVERIFY(QDir(local.path()).mkdir("both"));
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        m_form->Form().chkNavigating->setChecked(true);
        m_form->Form().LsFilelistView281->SetDirectory(local.path());
        // A Copy or a preview leaves the process somewhere else.
        QDir::setCurrent(elsewhere.path());
        m_form->dirview().SetFocusedRow(RowOf(*m_form, "both"));
        m_form->dirviewDblClick();
        QVERIFY(WaitIdle(*m_form));
        m_form->Form().chkNavigating->setChecked(false);
        QCOMPARE(QDir(m_form->Form().LsFilelistView281->Directory()).canonicalPath(),
            QDir(local.filePath("both")).canonicalPath());
        m_form->btnPreviousClick();
        QVERIFY(WaitIdle(*m_form));
    }

    void columnsFitTheListingUntilTheUserSizesThem()
    {
        // A 300 MiB size and "Directory" were cut at the first start's widths.
        testsupport::WriteFile(Remote() / "big.bin", "");
        fs::resize_file(Remote() / "big.bin", 314572800);
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        QTreeView* view = m_form->dirview().DetailsView();
        // The style keeps a margin on each side of a cell's text.
        const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
        const TRemoteModel& model = m_form->dirview().Model();
        for (int c = 1; c < 5; ++c)
            for (int r = 0; r < model.rowCount(); ++r) {
                const QString text = model.index(r, c).data().toString();
                QVERIFY2(view->columnWidth(c) >= view->fontMetrics().horizontalAdvance(text) + margins,
                    qPrintable(text));
            }
        // So do the other language's captions.
        m_form->Turkish1Click();
        for (int c = 1; c < 5; ++c)
            QVERIFY2(
                view->columnWidth(c) >= view->header()->sectionSizeHint(c), qPrintable(QString::number(c)));
        m_form->English1Click();
        // A width the user chose holds through the next listing.
        view->header()->resizeSection(1, 30);
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(view->columnWidth(1), 30);
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    RemoteOpsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_remoteops.moc"
