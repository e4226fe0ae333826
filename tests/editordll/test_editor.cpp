// The editor through the three C functions, as the program uses it; its
// questions answered by a script instead of dialogs.
#include "editordll/EditorPrompts.hpp"
#include "editordll/editordll.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

class ScriptedPrompts : public editordll::Prompts {
public:
    QString saveAsPath;
    Answer answer = Answer::Cancel;
    int unsavedAsked = 0;
    QStringList errors;

    QString SaveAsPath(QWidget*, const QString&) override { return saveAsPath; }
    Answer AskUnsaved(QWidget*, const QString&) override
    {
        ++unsavedAsked;
        return answer;
    }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
};

QList<QMainWindow*> OpenWindows()
{
    QList<QMainWindow*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("EditorWindow") && w->isVisible())
            windows << qobject_cast<QMainWindow*>(w);
    return windows;
}

QMainWindow* Window()
{
    const auto windows = OpenWindows();
    return windows.size() == 1 ? windows.front() : nullptr;
}

QPlainTextEdit* Editor()
{
    return Window() ? Window()->findChild<QPlainTextEdit*>(QStringLiteral("editor")) : nullptr;
}

QAction* Action(const char* name)
{
    return Window() ? Window()->findChild<QAction*>(QLatin1String(name)) : nullptr;
}

void Append(const QString& text)
{
    Editor()->moveCursor(QTextCursor::End);
    Editor()->insertPlainText(text);
}

QString HeldName()
{
    char buffer[4096];
    const int n = textFileName(buffer, sizeof buffer);
    return n > 0 && n < int(sizeof buffer) ? QString::fromUtf8(buffer, n) : QString();
}

QByteArray Read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

int Open(const QString& path)
{
    return CallEditor(path.toUtf8().constData());
}

} // namespace

class TestEditor : public QObject {
    Q_OBJECT

private:
    ScriptedPrompts m_prompts;
    QTemporaryDir m_dir;
    QString Path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        editordll::SetPrompts(&m_prompts);
    }

    void init() { m_prompts = ScriptedPrompts(); }

    void cleanup()
    {
        if (QMainWindow* w = Window()) {
            m_prompts.answer = editordll::Prompts::Answer::Discard;
            w->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(isClosed());
    }

    // Runs first: nothing has been opened yet.
    void closedBeforeAnyCall()
    {
        QVERIFY(isClosed());
        char buffer[8] = "keep";
        QCOMPARE(textFileName(buffer, sizeof buffer), 0);
        QCOMPARE(QByteArray(buffer), QByteArray("keep"));
        QCOMPARE(CallEditor(nullptr), -1);
        QCOMPARE(CallEditor(""), -1);
        QVERIFY(isClosed());
    }

    void saveWritesInPlaceKeepingTheMode()
    {
        const QString file = Path("notes.txt");
        Write(file, "one\ntwo\n");
        QCOMPARE(chmod(QFile::encodeName(file).constData(), 0640), 0);

        QCOMPARE(Open(file), 0);
        QVERIFY(!isClosed());
        QVERIFY(Window());
        QVERIFY(Window()->windowTitle().contains(QLatin1String("notes.txt")));
        QCOMPARE(Editor()->toPlainText(), QStringLiteral("one\ntwo\n"));
        QVERIFY(!Window()->isWindowModified());

        Append(QStringLiteral("three"));
        QVERIFY(Window()->isWindowModified());
        QCOMPARE(Action("actionSave")->shortcut(), QKeySequence(QKeySequence::Save));
        Action("actionSave")->trigger();

        QCOMPARE(Read(file), QByteArray("one\ntwo\nthree"));
        QVERIFY(!Window()->isWindowModified());
        struct stat st {};
        QCOMPARE(stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0640));
        // the temporary file went into the rename
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"notes.txt"});
        QVERIFY(m_prompts.errors.isEmpty());
    }

    void saveAsReportsTheNewName()
    {
        const QString first = Path("a.txt");
        const QString second = Path("yeni ş.txt");
        Write(first, "alpha\n");
        QCOMPARE(Open(first), 0);
        QCOMPARE(HeldName(), first);

        Append(QStringLiteral("beta\n"));
        m_prompts.saveAsPath = second;
        Action("actionSaveAs")->trigger();

        QCOMPARE(Read(second), QByteArray("alpha\nbeta\n"));
        QCOMPARE(Read(first), QByteArray("alpha\n"));
        QCOMPARE(HeldName(), second);
        QVERIFY(Window()->windowTitle().contains(QStringLiteral("yeni ş.txt")));

        // too small a buffer: the length, and the buffer untouched
        char small[4] = "xyz";
        QCOMPARE(textFileName(small, sizeof small), int(second.toUtf8().size()));
        QCOMPARE(QByteArray(small), QByteArray("xyz"));

        Action("actionClose")->trigger();
        QCOMPARE(m_prompts.unsavedAsked, 0);
        QVERIFY(isClosed());
        QCOMPARE(HeldName(), second); // still there for the caller after closing
    }

    void closingWithChangesAsks()
    {
        const QString file = Path("ask.txt");
        Write(file, "original\n");
        QCOMPARE(Open(file), 0);
        Append(QStringLiteral("changed"));

        m_prompts.answer = editordll::Prompts::Answer::Cancel;
        QVERIFY(!Window()->close());
        QCOMPARE(m_prompts.unsavedAsked, 1);
        QVERIFY(!isClosed());

        m_prompts.answer = editordll::Prompts::Answer::Discard;
        QVERIFY(Window()->close());
        QCOMPARE(m_prompts.unsavedAsked, 2);
        QVERIFY(isClosed());
        QCOMPARE(Read(file), QByteArray("original\n"));

        // and answered Save, the changes are written
        QCOMPARE(Open(file), 0);
        Append(QStringLiteral("kept"));
        m_prompts.answer = editordll::Prompts::Answer::Save;
        QVERIFY(Window()->close());
        QVERIFY(isClosed());
        QCOMPARE(Read(file), QByteArray("original\nkept"));
    }

    void anotherFileReplacesTheOpenOne()
    {
        const QString first = Path("first.txt");
        const QString second = Path("second.txt");
        Write(first, "1");
        Write(second, "2");
        QCOMPARE(Open(first), 0);
        Append(QStringLiteral("+"));

        m_prompts.answer = editordll::Prompts::Answer::Cancel;
        QCOMPARE(Open(second), -1);
        QCOMPARE(HeldName(), first);
        QCOMPARE(Editor()->toPlainText(), QStringLiteral("1+"));

        m_prompts.answer = editordll::Prompts::Answer::Save;
        QCOMPARE(Open(second), 0);
        QCOMPARE(Read(first), QByteArray("1+"));
        QCOMPARE(OpenWindows().size(), 1);
        QCOMPARE(HeldName(), second);
        QCOMPARE(Editor()->toPlainText(), QStringLiteral("2"));
        QVERIFY(!Window()->isWindowModified());
    }

    // Windows of their own: each keeps its file, Save As moves only its own
    // path, and closing one by handle asks about its unsaved text.
    void windowsByHandleKeepTheirOwnFiles()
    {
        const QString a = Path("a.txt"), b = Path("b.txt"), moved = Path("moved.txt");
        Write(a, "a");
        Write(b, "b");
        const int first = OpenEditorWindow(a.toUtf8().constData());
        const int second = OpenEditorWindow(b.toUtf8().constData());
        QVERIFY(first > 0 && second > 0 && first != second);
        QCOMPARE(OpenWindows().size(), 2);
        QVERIFY(isClosed()); // CallEditor's window is another matter
        const auto held = [](int handle) {
            char buffer[4096];
            const int n = editorWindowFileName(handle, buffer, sizeof buffer);
            return n > 0 && n < int(sizeof buffer) ? QString::fromUtf8(buffer, n) : QString();
        };
        QMainWindow* secondWindow = nullptr;
        for (QMainWindow* w : OpenWindows())
            if (w->findChild<QPlainTextEdit*>(QStringLiteral("editor"))->toPlainText() == QLatin1String("b"))
                secondWindow = w;
        QVERIFY(secondWindow);
        m_prompts.saveAsPath = moved;
        secondWindow->findChild<QAction*>(QStringLiteral("actionSaveAs"))->trigger();
        QCOMPARE(held(first), a);
        QCOMPARE(held(second), moved);

        secondWindow->findChild<QPlainTextEdit*>(QStringLiteral("editor"))->insertPlainText(QStringLiteral("+"));
        m_prompts.answer = editordll::Prompts::Answer::Cancel;
        QCOMPARE(closeEditorWindow(second), 0);
        QCOMPARE(editorWindowClosed(second), 0);
        m_prompts.answer = editordll::Prompts::Answer::Save;
        QCOMPARE(closeEditorWindow(second), 1);
        QCOMPARE(editorWindowClosed(second), 1);
        QCOMPARE(Read(moved), QByteArray("+b"));
        QCOMPARE(held(second), moved); // still known after the close
        QCOMPARE(editorWindowClosed(first), 0);
        QCOMPARE(closeEditorWindow(first), 1);
        QCOMPARE(editorWindowClosed(12345), 1);
    }

    void notUtf8IsKeptByteForByte()
    {
        QByteArray bytes("caf\xe9 na\xefve\r\nnbsp[\xa0] nel[\x85]\r\n");
        for (int c = 0x80; c <= 0xff; ++c)
            bytes += char(c);
        bytes += "\r\n";
        const QString file = Path("latin.txt");
        Write(file, bytes);

        QCOMPARE(Open(file), 0);
        QVERIFY(!Editor()->isReadOnly());
        QVERIFY(Editor()->toPlainText().startsWith(QStringLiteral("café naïve\n")));

        Append(QStringLiteral("end"));
        Action("actionSave")->trigger();
        QCOMPARE(Read(file), bytes + "end");

        // a character Latin-1 cannot hold is refused, the file left as it was
        Append(QStringLiteral("€"));
        Action("actionSave")->trigger();
        QCOMPARE(m_prompts.errors.size(), 1);
        QCOMPARE(Read(file), bytes + "end");
        QVERIFY(Window()->isWindowModified());
    }

    void utf8KeepsItsMarkAndSpaces()
    {
        const QByteArray bytes("\xef\xbb\xbf" "a\xc2\xa0" "b\r\n\xc5\x9f\r\n");
        const QString file = Path("bom.txt");
        Write(file, bytes);
        QCOMPARE(Open(file), 0);
        QVERIFY(!Editor()->isReadOnly());
        Append(QStringLiteral("ğ"));
        Action("actionSave")->trigger();
        QCOMPARE(Read(file), bytes + "\xc4\x9f");
    }

    void mixedLineBreaksAreReadOnly()
    {
        const QByteArray bytes("a\r\nb\nc\rd");
        const QString file = Path("mixed.txt");
        Write(file, bytes);
        QCOMPARE(Open(file), 0);
        QVERIFY(Editor()->isReadOnly());
        QVERIFY(!Action("actionSave")->isEnabled());
        QVERIFY(!Action("actionSaveAs")->isEnabled());
        QVERIFY(Window()->close());
        QCOMPARE(m_prompts.unsavedAsked, 0);
        QCOMPARE(Read(file), bytes);
    }

    void aFolderIsRefused()
    {
        QCOMPARE(Open(m_dir.path()), -1);
        QCOMPARE(m_prompts.errors.size(), 1);
        QVERIFY(isClosed());
    }
};

QTEST_MAIN(TestEditor)
#include "test_editor.moc"
