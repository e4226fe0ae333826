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
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace app {

QString DesktopFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QDir(desktop).exists() ? desktop : QDir::homePath();
}

void Tmainform::MakeDefaultDir2Click()
{
    const std::string* alias = m_sites.SelectedAlias();
    if (!alias)
        return;
    QString dir = m_ui->LsFilelistView281->Directory();
    if (dir == ui::TLsFilelistView28::kDrives)
        return;
    if (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    std::string error;
    if (m_sites.Book().UpdateLocalDir(*alias, dir.toStdString(), &error) == sbrFailed)
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
    const QString path = m_layout.SelectedLocalItem;
    if (path.isEmpty())
        return;
    if (!QFileInfo(path).isDir()) {
        OpenLocalFile(path.toStdString());
        return;
    }
    m_ui->lblLocal->setText(path);
    LocalDirChange(path.toStdString());
    m_ui->lblLocal->setText(m_ui->LsFilelistView281->Directory());
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
    DownloadToTemp(false, [this, name](const std::vector<std::string>& paths) {
        const std::string copy = IsWalkableName(name) ? JoinPath(ScratchDir(), name) : std::string();
        if (!copy.empty() && std::find(paths.begin(), paths.end(), copy) != paths.end())
            OpenWithDialog(copy);
    });
}

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
        // The copy is replaced without a question; the queue's own "All" is left alone.
        DownloadToTemp(true, [this, file, scratch](const std::vector<std::string>& paths) {
            if (std::find(paths.begin(), paths.end(), file) != paths.end())
                m_frmImage->ShowImagePreview(file, scratch);
        });
        return;
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
    // The target is fixed now: browsing elsewhere while editing changes nothing.
    const std::string remote = JoinRemote(m_conn.CurrentRemoteDir, name);
    // One editing session per file.
    if (m_editors.Raise(remote))
        return;
    if (QueueRunning()) {
        RefuseWhileRunning();
        return;
    }
    std::string error;
    const std::string scratch = ScratchDir(&error);
    // A folder of its own per session: two files of one name from two
    // folders never share a copy, nor does an upload still queued from an
    // earlier run.
    const std::string folder = JoinPath(scratch,
        "edit-" + std::to_string(QDateTime::currentMSecsSinceEpoch()) + "-" + std::to_string(m_editors.Count()));
    const std::string local = JoinPath(folder, name);
    if (!error.empty() || !MakeDirs(folder, 0700, &error)) {
        Report(error);
        return;
    }
    if (local.find(';') != std::string::npos || remote.find_first_of("\r\n") != std::string::npos) {
        AddList("\"" + name + "\" cannot be written in the queue (a ';' or a line break); it is not edited.");
        return;
    }
    // Never a stale copy: only what this download brings is opened.
    ::unlink(local.c_str());
    ClearStop();
    RunScratchBatch({ std::string(kDownloadFile) + local + ";" + remote }, true,
        [this, local, remote, name](bool fetched, const std::vector<std::string>&) {
            // A link in the scratch folder could lead anywhere: only a plain file is edited.
            if (!fetched || !StampOf(local).Exists) {
                const std::string text = "\"" + remote + "\" could not be downloaded; it is not opened in the editor.";
                AddList(text);
                m_prompter.ShowMessage(text, mkWarning);
                return;
            }
            const int handle = OpenEditorWindow(local.c_str());
            if (handle < 0) {
                AddList("The editor could not open \"" + local + "\".");
                return;
            }
            m_editors.Add(handle, remote, local, name, NewBatch());
        });
}

} // namespace app
