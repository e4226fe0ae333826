// Local pane operations, and the remote commands that hand a file to a
// local program: Make Default Dir, Go to Desktop, the folder of a file,
// Open With on both sides, and the double-click in the local list.
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SessionLog.hpp"
#include "app/dirview.hpp"
#include "app/openwith.hpp"
#include "app/untimage.hpp"
#include "editordll/editordll.h"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>

namespace app {

QString DesktopFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QDir(desktop).exists() ? desktop : QDir::homePath();
}

void Tmainform::MakeDefaultDir2Click()
{
    const int index = m_ui->ComboBox1->currentIndex();
    if (index < 0 || std::size_t(index) >= m_siteAliases.size())
        return;
    QString dir = m_ui->LsFilelistView281->Directory();
    if (dir == ui::TLsFilelistView28::kDrives)
        return;
    if (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    std::string error;
    if (m_book.UpdateLocalDir(m_siteAliases[std::size_t(index)], dir.toStdString(), &error) == sbrFailed)
        Report(error);
}

void Tmainform::GotoDesktop1Click()
{
    const QString desktop = DesktopFolder();
    m_ui->LsDirTreeCombo281->SetSelectedPath(desktop);
    m_ui->LsFilelistView281->SetDirectory(desktop);
}

void Tmainform::Openthedirectoryofthefile1Click()
{
    const ui::TLsFilelistView28& files = *m_ui->LsFilelistView281;
    if (files.Selected().isEmpty() || files.Directory() == ui::TLsFilelistView28::kDrives)
        return;
    OpenLocalFile(files.Directory().toStdString());
}

bool Tmainform::StartProgram(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return false;
    if (OnStartProgram)
        return OnStartProgram(argv);
    QStringList args;
    for (std::size_t i = 1; i < argv.size(); ++i)
        args << QString::fromStdString(argv[i]);
    if (QProcess::startDetached(QString::fromStdString(argv[0]), args))
        return true;
    AddList("\"" + argv[0] + "\" could not be started.");
    return false;
}

void Tmainform::OpenWithDialog(const std::string& file)
{
    TOpenWithDlg dialog(file, this);
    if (dialog.exec() == QDialog::Accepted)
        StartProgram(dialog.Command());
}

void Tmainform::OpenwithNotepad1Click()
{
    const ui::TLsFilelistView28& files = *m_ui->LsFilelistView281;
    if (files.Selected().isEmpty())
        return;
    const QString path = files.SelectedPath();
    if (QFileInfo(path).isFile())
        OpenWithDialog(path.toStdString());
}

void Tmainform::LsFilelistView281DblClick()
{
    const QString path = m_selectedLocalItem;
    if (path.isEmpty())
        return;
    if (!QFileInfo(path).isDir()) {
        OpenLocalFile(path.toStdString());
        return;
    }
    m_ui->lblLocal->setText(path);
    LocalDirChange(path.toStdString());
    m_ui->lblLocal->setText(QDir::currentPath());
    if (!m_ui->chkNavigating->isChecked())
        return;
    const std::string name(LastPathElement(path.toStdString()));
    const TRemoteModel& model = dirview().Model();
    for (int i = 0; i < model.rowCount(); ++i) {
        if (model.Row(i).name != name)
            continue;
        dirview().SetFocusedRow(i);
        const RemoteRow row = model.Row(i);
        RemoteDirChange(row);
        break;
    }
}

void Tmainform::OpenWith1Click()
{
    const int focused = dirview().FocusedRow();
    if (focused < 0)
        return;
    const RemoteRow row = dirview().Model().Row(focused);
    const std::string name = CommandName(row);
    if (row.IsFolder()) {
        EnterRemoteFolder(name);
        return;
    }
    m_AnswerAll = false;
    DownloadToTemp();
    if (IsWalkableName(name))
        OpenWithDialog(JoinPath(ScratchDir(), name));
}

namespace {

// What tells a saved file from an untouched one: a save writes a new file
// (new inode) or at least a new time or size.
struct FileStamp {
    bool Exists = false;
    ino_t Inode = 0;
    std::int64_t Size = 0;
    std::int64_t ChangedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return { true, st.st_ino, std::int64_t(st.st_size),
        std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec };
}

std::string EditorFileName()
{
    const int length = textFileName(nullptr, 0);
    if (length <= 0)
        return {};
    std::string name(std::size_t(length) + 1, '\0');
    textFileName(name.data(), length + 1);
    name.resize(std::size_t(length));
    return name;
}

} // namespace

void Tmainform::dirviewClick()
{
    if (!m_ui->chkPreview->isChecked())
        return;
    const int focused = dirview().FocusedRow();
    if (focused < 0)
        return;
    const std::string name = CommandName(dirview().Model().Row(focused));
    if (!IsWalkableName(name) || QFileInfo(QString::fromStdString(name)).suffix().toUpper() != QLatin1String("JPG"))
        return;
    const std::string scratch = ScratchDir();
    const std::string file = JoinPath(scratch, name);
    if (!m_frmImage->chkImageCache->isChecked() || !StampOf(file).Exists) {
        m_AnswerAll = true;
        DownloadToTemp();
        m_AnswerAll = false;
    }
    m_frmImage->ShowImagePreview(file, scratch);
}

void Tmainform::Edit1Click()
{
    const int focused = dirview().FocusedRow();
    if (focused < 0 || dirview().Model().Row(focused).IsFolder())
        return;
    const std::string name = CommandName(dirview().Model().Row(focused));
    if (!IsWalkableName(name))
        return;
    // The download and the upload after editing overwrite without asking.
    const bool answerAll = m_AnswerAll;
    m_AnswerAll = true;
    DownloadToTemp();
    const std::string file = JoinPath(ScratchDir(), name);
    // A link in the scratch folder could lead anywhere: only a plain file is edited.
    const FileStamp before = StampOf(file);
    if (before.Exists && CallEditor(file.c_str()) == 0) {
        {
            // Waiting for the editor is not the engine's business: other actions may run.
            ActionGate::Lull lull(m_gate);
            while (!isClosed()) {
                platform::ApplicationPump().WaitMessage(100);
                platform::ApplicationPump().ProcessMessages();
            }
        }
        const std::string saved = EditorFileName();
        // Closed without saving: nothing goes back to the server.
        const bool changed = !saved.empty() && (saved != file || !(StampOf(file) == before));
        if (changed && StampOf(saved).Exists) {
            QueueUpload(saved, name);
            ProcessQueue();
        } else {
            AddList("\"" + name + "\" was not saved; nothing is uploaded.");
        }
    }
    m_AnswerAll = answerAll;
}

} // namespace app
