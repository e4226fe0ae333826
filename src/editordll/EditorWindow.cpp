#include "editordll/EditorWindow.hpp"

#include "editordll/EditorPrompts.hpp"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTextDocument>

namespace editordll {

EditorWindow::EditorWindow()
    : m_edit(new QPlainTextEdit(this))
    , m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("EditorWindow"));
    m_edit->setObjectName(QStringLiteral("editor"));
    m_edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    setCentralWidget(m_edit);
    statusBar()->addWidget(m_status, 1);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    m_save = file->addAction(tr("&Save"), this, [this] { Save(); });
    m_save->setObjectName(QStringLiteral("actionSave"));
    m_save->setShortcut(QKeySequence::Save);
    m_saveAs = file->addAction(tr("Save &As..."), this, [this] { SaveAs(); });
    m_saveAs->setObjectName(QStringLiteral("actionSaveAs"));
    m_saveAs->setShortcut(QKeySequence::SaveAs);
    file->addSeparator();
    QAction* close = file->addAction(tr("&Close"), this, &QWidget::close);
    close->setObjectName(QStringLiteral("actionClose"));
    close->setShortcut(QKeySequence::Close);

    connect(m_edit->document(), &QTextDocument::modificationChanged, this, &QWidget::setWindowModified);
    resize(720, 560);
}

bool EditorWindow::Load(const QString& path)
{
    QByteArray bytes;
    const bool exists = QFileInfo::exists(path);
    if (exists) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            CurrentPrompts().ShowError(this, tr("Cannot open %1: %2").arg(path, file.errorString()));
            return false;
        }
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            CurrentPrompts().ShowError(this, tr("Cannot read %1: %2").arg(path, file.errorString()));
            return false;
        }
    }

    // Stateless, so that a sequence cut off at the end counts as an error too.
    QStringDecoder utf8(QStringConverter::Utf8,
        QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    m_latin1 = utf8.hasError();
    if (m_latin1)
        text = QString::fromLatin1(bytes); // every byte has its own character, so it goes back unchanged
    m_crlf = bytes.contains("\r\n");
    m_path = path;
    m_onDisk = exists;
    m_edit->setPlainText(text);

    // The text widget folds some things (lone carriage returns, mixed line
    // breaks); a file it would change is shown but not saved.
    QByteArray again;
    QString error;
    const bool exact = Serialize(&again, &error) && again == bytes;
    SetReadOnly(!exact,
        tr("Read only: saving would change bytes of this file that the editor cannot show (mixed line breaks or "
           "similar)."));
    m_edit->document()->setModified(false);
    setWindowModified(false);
    UpdateTitle();
    emit PathChanged(m_path);
    return true;
}

bool EditorWindow::MayLeave()
{
    if (!m_edit->document()->isModified())
        return true;
    switch (CurrentPrompts().AskUnsaved(this, QFileInfo(m_path).fileName())) {
    case Prompts::Answer::Save:
        return Save();
    case Prompts::Answer::Discard:
        return true;
    case Prompts::Answer::Cancel:
        break;
    }
    return false;
}

bool EditorWindow::Save()
{
    if (m_edit->isReadOnly())
        return false;
    // Unchanged: leave the file's bytes and time alone.
    if (m_onDisk && !m_edit->document()->isModified())
        return true;
    return WriteTo(m_path);
}

bool EditorWindow::SaveAs()
{
    if (m_edit->isReadOnly())
        return false;
    const QString target = CurrentPrompts().SaveAsPath(this, m_path);
    if (target.isEmpty() || !WriteTo(target))
        return false;
    m_path = target;
    UpdateTitle();
    emit PathChanged(m_path);
    return true;
}

void EditorWindow::closeEvent(QCloseEvent* event)
{
    if (!MayLeave()) {
        event->ignore();
        return;
    }
    event->accept();
    emit Closed();
}

bool EditorWindow::WriteTo(const QString& path)
{
    QByteArray bytes;
    QString error;
    if (!Serialize(&bytes, &error)) {
        CurrentPrompts().ShowError(this, error);
        return false;
    }
    // A temporary file beside the target, renamed over it: a failed save
    // never leaves half a file. It takes over the old file's permissions.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        CurrentPrompts().ShowError(this, tr("Cannot save %1: %2").arg(path, file.errorString()));
        return false;
    }
    m_onDisk = true;
    m_edit->document()->setModified(false);
    return true;
}

bool EditorWindow::Serialize(QByteArray* bytes, QString* error) const
{
    // toPlainText would turn no-break spaces into spaces; the raw text keeps them.
    QString text = m_edit->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    if (m_crlf)
        text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    if (!m_latin1) {
        *bytes = text.toUtf8();
        return true;
    }
    for (const QChar c : text) {
        if (c.unicode() > 0xff) {
            *error = tr("This file is not UTF-8 and is saved byte for byte as Latin-1, which has no \"%1\".")
                         .arg(c.isSurrogate() ? QStringLiteral("?") : QString(c));
            return false;
        }
    }
    *bytes = text.toLatin1();
    return true;
}

void EditorWindow::SetReadOnly(bool readOnly, const QString& why)
{
    m_edit->setReadOnly(readOnly);
    m_save->setEnabled(!readOnly);
    m_saveAs->setEnabled(!readOnly);
    if (readOnly)
        m_status->setText(why);
    else if (m_latin1)
        m_status->setText(tr("Not UTF-8: shown as Latin-1 and saved back the same way"));
    else
        m_status->setText(m_crlf ? tr("UTF-8, CR LF line breaks") : tr("UTF-8"));
}

void EditorWindow::UpdateTitle()
{
    setWindowTitle(tr("%1[*] - Editor").arg(QFileInfo(m_path).fileName()));
}

} // namespace editordll
