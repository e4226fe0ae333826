// The clipboard on both panes, drops, a pasted web address, Edit through the
// editor library and the preview, through the real window against pyftpdlib,
// nginx and Python's HTTP server.
#include "app/core/Paths.hpp"
#include "app/dirview.hpp"
#include "app/core/Prompter.hpp"
#include "app/program.hpp"
#include "app/untimage.hpp"
#include "editordll/EditorPrompts.hpp"
#include "ftp_peers.hpp"
#include "http_peers.hpp"
#include "ui/FileDropFormats.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"
#include "window_test_util.hpp"

#include "ui_mainform.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QMainWindow>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <memory>

using namespace app;
using namespace windowtest;
namespace fs = std::filesystem;

class DragDropTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    testsupport::TempDir m_remote;
    testsupport::PyFtpd m_server;
    ScriptedPrompter m_prompter;
    std::unique_ptr<Tmainform> m_form;

    fs::path Remote() const { return m_remote.path(); }

    struct EditorPrompts : editordll::Prompts {
        Answer answer = Answer::Cancel;
        int unsavedAsked = 0;
        Answer AskUnsaved(QWidget*, const QString&) override
        {
            ++unsavedAsked;
            return answer;
        }
    } m_editorPrompts;

    static QList<QMainWindow*> EditorWindows()
    {
        QList<QMainWindow*> windows;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("EditorWindow") && w->isVisible())
                windows << static_cast<QMainWindow*>(w);
        return windows;
    }

    // Replaces the editor's text as typing would (so it counts as modified).
    static void Type(QMainWindow& editor, const QString& text, bool save)
    {
        auto* box = editor.findChild<QPlainTextEdit*>("editor");
        box->selectAll();
        box->insertPlainText(text);
        if (save)
            editor.findChild<QAction*>("actionSave")->trigger();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_home.filePath("config")));
        qputenv("TALLOWIN_HOME", m_home.filePath("config").toUtf8());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toUtf8());
        testsupport::WriteFile(Remote() / "one.txt", "first");
        testsupport::WriteFile(Remote() / "two.txt", "second");
        testsupport::WriteFile(Remote() / "edit.txt", "old text");
        QVERIFY(m_server.Start({ { "alice", "pw", Remote() } }));
        QVERIFY(WriteSite(m_home.filePath("config"),
            { "py", "127.0.0.1", std::to_string(m_server.Port()), "alice", "pw", {}, {} }));
        m_form = std::make_unique<Tmainform>(m_prompter);
        m_form->Timer1().stop();
        m_form->SetPassiveMode("YES");
        m_form->show();
    }
    void cleanupTestCase() { m_form.reset(); }
    void cleanup()
    {
        // A run a test started (an editor's save) ends before the next test.
        QVERIFY(!m_form || WaitIdle(*m_form));
        QDir::setCurrent(QDir::tempPath());
        QCOMPARE(m_prompter.Pending(), std::size_t(0));
    }

    void notConnectedAndNotAnAddress()
    {
        m_form->PasteServerClick();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(m_form->StatusText(0), QString("Not connected yet."));
        QVERIFY(LogHas(*m_form, "NOT CONNECTED YET. PLEASE CLICK ON CONNECT BUTTON TO ESTABLISH CONNECTION."));
        m_form->btnConnectClick();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(m_form->LoggedIn(), 1);
        QGuiApplication::clipboard()->setText("ftp://example.invalid/x");
        m_form->Turkish1Click();
        m_form->HTTPReceive("no address here");
        QCOMPARE(m_form->StatusText(0), QString::fromUtf8("HTTP dosyası değil"));
        m_form->English1Click();
    }

    void remoteCopyLocalPasteAndBack()
    {
        QTemporaryDir local;
        testsupport::WriteFile(local.filePath("two.txt").toStdString(), "stale");
        m_form->Form().LsFilelistView281->SetDirectory(local.path());
        Select(*m_form, { "one.txt", "two.txt" });
        m_form->Copy1Click();
        QVERIFY(WaitIdle(*m_form));
        bool move = false;
        const QStringList copied = ui::ReadFileList(*QGuiApplication::clipboard()->mimeData(), &move);
        QCOMPARE(copied, QStringList({ QString::fromStdString(ScratchDir() + "/one.txt"),
                             QString::fromStdString(ScratchDir() + "/two.txt") }));
        QVERIFY(move);
        m_prompter.ExpectConfirm(ansOK); // "two.txt" is there: replaced when asked
        m_form->Paste3Click();
        QCOMPARE(testsupport::ReadFile(local.filePath("one.txt").toStdString()), std::string("first"));
        QCOMPARE(testsupport::ReadFile(local.filePath("two.txt").toStdString()), std::string("second"));

        // Files a file manager copied paste onto the server under their names.
        testsupport::WriteFile(local.filePath("up.txt").toStdString(), "from the desktop");
        auto* data = new QMimeData;
        ui::WriteFileList(*data, { local.filePath("up.txt") }, false);
        QGuiApplication::clipboard()->setMimeData(data);
        m_form->PasteServerClick();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(testsupport::ReadFile(Remote() / "up.txt"), std::string("from the desktop"));
        QCOMPARE(m_form->StatusText(0), QString("Done."));
        QVERIFY(RowOf(*m_form, "up.txt") >= 0);
        // Cancel at the question for the first file cancels the whole paste.
        testsupport::WriteFile(local.filePath("later.txt").toStdString(), "later");
        ui::WriteFileList(
            *(data = new QMimeData), { local.filePath("up.txt"), local.filePath("later.txt") }, false);
        QGuiApplication::clipboard()->setMimeData(data);
        m_prompter.ExpectConfirm(ansCancel);
        m_form->PasteServerClick();
        QVERIFY(WaitIdle(*m_form));
        QVERIFY(!fs::exists(Remote() / "later.txt"));
        QVERIFY(m_form->StatusText(0) != QString("Done."));

        // Dropped from a file manager on the window: uploaded too.
        testsupport::WriteFile(local.filePath("dropped.txt").toStdString(), "dropped");
        m_form->ShellFilesDropped({ local.filePath("dropped.txt") });
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(testsupport::ReadFile(Remote() / "dropped.txt"), std::string("dropped"));
        // One item leaves a bar, not a busy indicator that runs on.
        QVERIFY(m_form->Form().ProgressBar1->maximum() > m_form->Form().ProgressBar1->minimum());

        // Rows of the remote list dropped on the local list download there.
        QTemporaryDir down;
        m_form->Form().LsFilelistView281->SetDirectory(down.path());
        Select(*m_form, { "one.txt" });
        m_form->LsFilelistView281DragDrop();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(testsupport::ReadFile(down.filePath("one.txt").toStdString()), std::string("first"));
        QVERIFY(LogHas(*m_form, "Files were downloaded."));
        // Cancelled at the overwrite question: nothing claims a download.
        Select(*m_form, { "one.txt" });
        m_prompter.ExpectConfirm(ansCancel);
        m_form->LsFilelistView281DragDrop();
        QVERIFY(WaitIdle(*m_form));
        QCOMPARE(m_form->LogLines().back(), QString("Download is stopped."));
        m_form->Clear1Click();

        // Rows dragged onto a file manager: offered as files, downloaded only
        // when the drop target asks for them.
        const QString scratchCopy = QString::fromStdString(ScratchDir() + "/two.txt");
        QFile::remove(scratchCopy);
        Select(*m_form, { "two.txt" });
        TRemoteModel& model = m_form->Form().dirview->Model();
        const int row = RowOf(*m_form, "two.txt");
        std::unique_ptr<QMimeData> drag(model.mimeData({ model.index(row, 0) }));
        QVERIFY(drag->hasUrls());
        QVERIFY(!QFile::exists(scratchCopy));
        QCOMPARE(drag->urls(), QList<QUrl>({ QUrl::fromLocalFile(scratchCopy) }));
        QCOMPARE(testsupport::ReadFile(scratchCopy.toStdString()), std::string("second"));
        QCOMPARE(drag->urls().size(), 1); // fetched once
    }

    // Files of a file manager dropped on the local list (copied there once the drag has ended).
    void DropOnLocalList(const QStringList& paths)
    {
        QMimeData data;
        ui::WriteFileList(data, paths, false);
        QWidget* target = m_form->Form().LsFilelistView281->viewport();
        // A drop goes to the widget that took the drag's entry.
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        QTest::qWait(50);
    }

    void localPasteAndDropAskBeforeReplacing()
    {
        QTemporaryDir from, into;
        QStringList sources;
        for (const char* name : { "a", "b", "c", "d" }) {
            testsupport::WriteFile(from.filePath(name).toStdString(), "new");
            testsupport::WriteFile(into.filePath(name).toStdString(), "old");
            sources << from.filePath(name);
        }
        auto contents = [&] {
            std::string all;
            for (const char* name : { "a", "b", "c", "d" })
                all += testsupport::ReadFile(into.filePath(name).toStdString()) + " ";
            return all;
        };
        m_form->Form().LsFilelistView281->SetDirectory(into.path());
        // OK replaces, Ignore skips, All replaces this one and the rest without asking.
        auto* data = new QMimeData;
        ui::WriteFileList(*data, sources, false);
        QGuiApplication::clipboard()->setMimeData(data);
        for (TAnswer answer : { ansOK, ansIgnore, ansAll })
            m_prompter.ExpectConfirm(answer);
        m_prompter.ClearShown();
        m_form->Paste3Click();
        QCOMPARE(contents(), std::string("new old new new "));
        QVERIFY(LogHas(*m_form, "Files were downloaded."));
        QVERIFY(m_prompter.ShownTexts().front().starts_with("\"" + into.filePath("a").toStdString() + "\" already exists."));
        // Cancel on a drop ends it: nothing after it is copied or asked about.
        for (const char* name : { "a", "b" })
            testsupport::WriteFile(into.filePath(name).toStdString(), "old");
        m_prompter.ExpectConfirm(ansCancel);
        DropOnLocalList({ from.filePath("a"), from.filePath("b") });
        QCOMPARE(contents(), std::string("old old new new "));
        // A folder dropped into its own sub-folder is refused, not nested.
        QVERIFY(QDir(from.path()).mkdir("sub"));
        m_form->Form().LsFilelistView281->SetDirectory(from.filePath("sub"));
        m_prompter.ClearShown();
        DropOnLocalList({ from.path() });
        QVERIFY(!fs::exists(fs::path(from.filePath("sub").toStdString()) / fs::path(from.path().toStdString()).filename()));
        QCOMPARE(m_prompter.ShownTexts(),
            std::vector<std::string>({ "\"" + from.path().toStdString()
                + "\" cannot be copied into itself or its own sub-folder." }));
        // Pasted there, the refusal is not reported as a finished copy.
        ui::WriteFileList(*(data = new QMimeData), { from.path() }, false);
        QGuiApplication::clipboard()->setMimeData(data);
        m_form->Paste3Click();
        QCOMPARE(m_form->LogLines().back(), QString("Not every file was copied."));
    }

    void pastedAddressResumesOrRestarts()
    {
        const std::string body(300000, 'z');
        testsupport::TestCertificates certs;
        QVERIFY(certs.Make());
        testsupport::NginxPeer nginx;
        nginx.SetTls(certs.SelfCert(), certs.SelfKey());
        QVERIFY(nginx.Start());
        testsupport::WriteFile(nginx.Root() / "doc.bin", body);
        testsupport::PyHttpPeer plain; // answers a range with the whole document
        QVERIFY(plain.Start());
        testsupport::WriteFile(plain.Root() / "doc.bin", body);
        QTemporaryDir local;
        const std::string target = local.filePath("doc.bin").toStdString();
        const struct {
            std::string base;
            const char* what;
        } servers[] = { { nginx.Base(), "range honoured" }, { plain.Base(), "range ignored" },
            { nginx.HttpsBase(), "https, range honoured" } };
        for (const auto& s : servers) {
            testsupport::WriteFile(target, body.substr(0, 1000));
            m_prompter.ExpectSave(target);
            if (s.base.rfind("https:", 0) == 0)
                m_prompter.ExpectChoice(1); // a self-signed certificate: Always trust
            QGuiApplication::clipboard()->setText(QString::fromStdString(s.base + "/doc.bin"));
            m_form->PasteServerClick();
            QVERIFY(WaitIdle(*m_form));
            QVERIFY2(testsupport::ReadFile(target) == body, s.what);
        }
        QCOMPARE(m_form->StatusText(0), QString("Done."));
        // A cancelled save dialog downloads nothing and says nothing of success.
        m_prompter.ExpectSaveCancel();
        m_form->HTTPReceive(nginx.Base() + "/doc.bin");
        QVERIFY2(m_form->StatusText(0).isEmpty(), qPrintable(m_form->StatusText(0)));
        // A missing document shows the server's answer, not success, and
        // makes no file. (over https, with the certificate now trusted: no question)
        m_prompter.ExpectSave(local.filePath("gone.bin").toStdString());
        m_form->HTTPReceive(nginx.HttpsBase() + "/gone.bin");
        QVERIFY2(m_form->StatusText(0).startsWith("404"), qPrintable(m_form->StatusText(0)));
        QVERIFY(!QFile::exists(local.filePath("gone.bin")));
        // A file that cannot be made is a failure, not a finished download
        // (and the client, aborted in the middle, serves the next one).
        m_prompter.ExpectSave(local.filePath("no/such/folder/doc.bin").toStdString());
        m_form->HTTPReceive(nginx.Base() + "/doc.bin");
        QVERIFY2(m_form->StatusText(0).startsWith("Cannot open"), qPrintable(m_form->StatusText(0)));
        // Any reply but a whole or a matching partial document leaves the file as it was.
        const struct {
            std::string url, before;
            QString status;
        } kept[] = { { nginx.Base() + "/doc.bin", body, "Download Complete" }, // 416 naming our size
            { nginx.Base() + "/doc.bin", body + "tail", "416" },               // 416 naming another size
            { nginx.Base() + "/gone.bin", "partial", "404" } };
        for (const auto& k : kept) {
            testsupport::WriteFile(target, k.before);
            m_prompter.ExpectSave(target);
            m_form->HTTPReceive(k.url);
            QVERIFY2(m_form->StatusText(0).startsWith(k.status), qPrintable(m_form->StatusText(0)));
            QVERIFY2(testsupport::ReadFile(target) == k.before, qPrintable(k.status));
        }
    }

    // Edit returns at once; each save goes up to the path fixed when the
    // editing began, one window per file, and a failed download opens nothing.
    void editUploadsToWhereTheFileCameFrom()
    {
        editordll::SetPrompts(&m_editorPrompts);
        testsupport::WriteFile(Remote() / "sub" / "edit.txt", "sub text");
        testsupport::WriteFile(Remote() / "gone.txt", "gone");
        m_form->btnConnectClick();
        QVERIFY(WaitIdle(*m_form));
        const auto edit = [&](const std::string& name) {
            QVERIFY(WaitIdle(*m_form)); // an upload still ending would refuse it
            m_form->dirview().SetFocusedRow(RowOf(*m_form, name));
            m_form->Edit1Click();
            QVERIFY(WaitIdle(*m_form));
        };
        // Closed without saving: nothing goes back.
        edit("edit.txt");
        QCOMPARE(EditorWindows().size(), 1);
        EditorWindows().front()->close();
        QVERIFY(WaitFor([&] { return LogHas(*m_form, "\"edit.txt\" was not saved; nothing is uploaded."); }));
        QCOMPARE(m_form->EditSessions(), std::size_t(0));

        // Gone from the server since the listing: reported, no editor.
        fs::remove(Remote() / "gone.txt");
        edit("gone.txt");
        QVERIFY(EditorWindows().isEmpty());
        QVERIFY(m_prompter.ShownTexts().back().find("could not be downloaded") != std::string::npos);

        // sub/edit.txt, saved after browsing back up: it goes to sub, not
        // over the top folder's file of that name.
        m_form->EnterRemoteFolder("sub");
        QVERIFY(WaitIdle(*m_form));
        edit("edit.txt");
        edit("edit.txt"); // the same file again: its window comes forward, no second one
        QCOMPARE(EditorWindows().size(), 1);
        m_form->EnterRemoteFolder("..");
        QVERIFY(WaitIdle(*m_form));
        Type(*EditorWindows().front(), "new sub text", true);
        QVERIFY(WaitFor([&] { return testsupport::ReadFile(Remote() / "sub" / "edit.txt") == "new sub text"; }));
        QCOMPARE(testsupport::ReadFile(Remote() / "edit.txt"), std::string("old text"));

        // A second file in a window of its own, saved: only it changes.
        edit("edit.txt");
        QCOMPARE(EditorWindows().size(), 2);
        QMainWindow *top = nullptr, *sub = nullptr;
        for (QMainWindow* w : EditorWindows())
            (w->findChild<QPlainTextEdit*>("editor")->toPlainText() == "old text" ? top : sub) = w;
        QVERIFY(top && sub);
        Type(*top, "new top text", true);
        QVERIFY(WaitFor([&] { return testsupport::ReadFile(Remote() / "edit.txt") == "new top text"; }));
        QCOMPARE(testsupport::ReadFile(Remote() / "sub" / "edit.txt"), std::string("new sub text"));
        top->close();
        Type(*sub, "typed, not saved", false);
    }

    // Opening a file is a batch of its own: the pending entries stay as they are.
    void aScratchCopyTouchesNoOtherEntry()
    {
        QTemporaryDir local;
        const std::string mine = local.filePath("two.txt").toStdString();
        testsupport::WriteFile(mine, "mine");
        m_form->Clear1Click();
        const std::vector<std::string> pending = { "R:F;/one.txt", "D:F;" + mine + ";/two.txt" };
        m_form->AppendQueue(pending);
        std::string opened;
        m_form->OnOpenFile = [&](const std::string& path) { opened = path; };
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        Select(*m_form, { "two.txt" });
        m_form->dirview().SetFocusedRow(RowOf(*m_form, "two.txt"));
        m_prompter.ExpectConfirm(ansOK); // the scratch copy of the Copy above is replaced
        m_form->dirviewDblClick();
        QVERIFY(WaitIdle(*m_form));
        m_form->OnOpenFile = nullptr;
        QCOMPARE(opened, ScratchDir() + "/two.txt");
        QCOMPARE(m_form->Queue(), pending);
        // Gone from the server: the failed download opens nothing, least of all the old copy.
        fs::rename(Remote() / "two.txt", Remote() / "two.moved");
        opened.clear();
        m_form->OnOpenFile = [&](const std::string& path) { opened = path; };
        Select(*m_form, { "two.txt" });
        m_form->dirview().SetFocusedRow(RowOf(*m_form, "two.txt"));
        m_prompter.ExpectConfirm(ansOK);
        m_form->dirviewDblClick();
        QVERIFY(WaitIdle(*m_form));
        m_form->OnOpenFile = nullptr;
        fs::rename(Remote() / "two.moved", Remote() / "two.txt");
        QCOMPARE(opened, std::string());
        QCOMPARE(m_form->Queue(), pending);
        QVERIFY(fs::exists(Remote() / "one.txt"));
        QCOMPARE(testsupport::ReadFile(mine), std::string("mine"));
        m_form->Clear1Click();
    }

    void previewOnClickUsesTheCache()
    {
        QTemporaryDir pictures;
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString jpeg = pictures.filePath("photo.jpg");
        if (!image.save(jpeg, "JPG"))
            QSKIP("no JPEG writer in this Qt");
        fs::copy_file(jpeg.toStdString(), Remote() / "photo.jpg");
        m_form->Refresh1Click();
        QVERIFY(WaitIdle(*m_form));
        m_form->Form().chkPreview->setChecked(true);
        m_form->dirview().SetFocusedRow(RowOf(*m_form, "photo.jpg"));
        Select(*m_form, { "photo.jpg" });
        m_form->dirviewClick();
        QVERIFY(WaitIdle(*m_form));
        QVERIFY(m_form->frmImage().isVisible());
        QVERIFY(LogHas(*m_form, "> RETR /photo.jpg"));
        m_form->frmImage().hide();
        const int retrieved = m_form->LogLines().count("> RETR /photo.jpg");
        // The listing after the download cleared the focus; a click sets it again.
        m_form->dirview().SetFocusedRow(RowOf(*m_form, "photo.jpg"));
        m_form->dirviewClick(); // "Use cached files": no second download
        QVERIFY(WaitIdle(*m_form));
        QVERIFY(m_form->frmImage().isVisible());
        QCOMPARE(m_form->LogLines().count("> RETR /photo.jpg"), retrieved);
    }

    // Closing the main window closes the editors, asking about unsaved text
    // as the editor does; what is saved on the way out goes up. (Last: the
    // window is closed after it.)
    void closingTheWindowClosesTheEditor()
    {
        QCOMPARE(EditorWindows().size(), 1);
        m_editorPrompts.answer = editordll::Prompts::Answer::Cancel;
        QVERIFY(!m_form->close()); // stayed in the editor: the window stays too
        QCOMPARE(EditorWindows().size(), 1);
        m_editorPrompts.answer = editordll::Prompts::Answer::Save;
        m_form->Form().chkStop->click(); // an earlier Stop is not meant for this upload
        m_form->close(); // the save goes up first, then the window closes
        QVERIFY(WaitFor([&] { return !m_form->isVisible(); }));
        QVERIFY(EditorWindows().isEmpty());
        QCOMPARE(m_editorPrompts.unsavedAsked, 2);
        QCOMPARE(testsupport::ReadFile(Remote() / "sub" / "edit.txt"), std::string("typed, not saved"));
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    ui::TQtPump pump;
    DragDropTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dragdrop.moc"
