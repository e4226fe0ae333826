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
        m_FtpClient1->SetHostDirName(name);
        Run(&ftp::TFtpClient::Cwd);
        GetDir(dirview());
        AddList("DIRECTORY LISTING IS FINISHED.");
        return;
    }
    m_AnswerAll = false;
    DownloadToTemp();
    if (IsWalkableName(name))
        OpenWithDialog(JoinPath(ScratchDir(), name));
}

} // namespace app
