// The remote listing: GetDir through the listing file, the icons of file
// types, sorting, the view styles, navigation on both panes and the
// recursive walk of remote folders (their state is RemotePane's).
#include "app/ftp_main.hpp"

#include "app/core/Captions.hpp"
#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"
#include "app/core/SessionLog.hpp"
#include "app/core/Settings.hpp"
#include "app/WindowHelpers.hpp"
#include "app/dirview.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"
#include "ui/ImageList.hpp"
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>

#include <algorithm>

#include <cstdio>

namespace app {

namespace {

// A long listing still lets the window repaint and take the stop button.
constexpr int kEventSliceMs = 20;

} // namespace

TDirView& Tmainform::dirview()
{
    return *m_ui->dirview;
}

void Tmainform::ConnectPane()
{
    RemotePane::Server& server = m_pane.Callbacks();
    server.ChangeFolder = [this](const std::string& folder) {
        m_FtpClient1->SetHostDirName(folder);
        return Run(&ftp::TFtpClient::Cwd);
    };
    server.ListFolder = [this](std::vector<RemoteRow>& rows) { GetDir(rows); };
    server.ListShownFolder = [this] {
        GetDir(dirview());
        AddList("DIRECTORY LISTING IS FINISHED.");
    };
    server.CurrentFolder = [this] { return m_conn.CurrentRemoteDir; };
    server.LearnFolder = [this] {
        // The label follows as a listing would move it, so a walk ends
        // showing the folder it started in.
        m_conn.CurrentRemoteDir = Run(&ftp::TFtpClient::Pwd) ? m_FtpClient1->DirResult() : std::string();
        if (!m_conn.CurrentRemoteDir.empty())
            m_ui->lblRemote->setText(ShownText(m_conn.CurrentRemoteDir));
    };
    server.ChangeMode = [this](const std::string& name, const std::string& mode) {
        m_FtpClient1->SetHostFileName(name);
        m_FtpClient1->SetChmodMode(mode);
        Run(&ftp::TFtpClient::SiteChmod);
    };
    server.Note = [this](const std::string& line) { AddList(line); };
    server.Stopped = [this] { return StopRequested(); };
}

bool Tmainform::FetchListing(std::vector<RemoteRow>& rows)
{
    if (m_conn.LoggedIn == 0) {
        SetStatusText(0, QString::fromUtf8(Message(msgFailedToConnect, m_settings.English())));
        return false;
    }
    // The parse below lets the window run between slices.
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    WaitCursor hourglass;
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    ftp::TFtpClient& c = *m_FtpClient1;
    const auto refused = [&] {
        // Not allowed to use the engine now: the rows shown stay as they are.
        if (timerWasActive && !m_life.Destroyed && !m_life.Closing)
            m_timer1.start();
        return false;
    };
    if (!Run(&ftp::TFtpClient::Pwd) && m_engine.Refused)
        return refused();
    m_conn.CurrentRemoteDir = c.DirResult();
    const std::string listingFile = JoinPath(m_settings.ProgramDir, "ftpdir.txt");
    c.SetHostDirName(".");
    c.SetHostFileName({});
    c.SetLocalFileName(listingFile);
    c.SetPassive(m_settings.Transfer.Passive());
    // MLSD only when the site asks for it and the server offers it.
    const bool mlsd = c.MlsdInForce();
    if (!Run(mlsd ? &ftp::TFtpClient::Mlsd : &ftp::TFtpClient::Dir) && m_engine.Refused)
        return refused();

    std::string text;
    if (!ReadWholeFile(listingFile, text))
        text.clear();
    std::remove(listingFile.c_str());

    m_ui->lblRemote->setText(ShownText(m_conn.CurrentRemoteDir));
    m_ui->lblLocal->setText(m_ui->LsFilelistView281->Directory());
    SetStatusText(0, QString());

    ListParser parser(Today());
    rows.clear();
    rows.reserve(std::size_t(std::count(text.begin(), text.end(), '\n')) + 1);
    QElapsedTimer slice;
    slice.start();
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = end + 1;
        ++lines;
        if (std::optional<RemoteRow> row = mlsd ? ParseMlsdLine(line) : parser.ParseLine(line)) {
            if (!row->iconKey.empty()) {
                const int icon = m_pane.IconIndex(row->iconKey);
                if (icon >= 0)
                    row->image = icon;
            }
            rows.push_back(std::move(*row));
        }
        if (slice.elapsed() >= kEventSliceMs) {
            platform::ApplicationPump().ProcessMessages();
            slice.restart();
        }
    }
    // The text is not needed any more; the sort needs the room.
    std::string().swap(text);
    SortListing(rows);
    if (parser.Unreadable() > 0)
        AddList(std::to_string(parser.Unreadable()) + " of " + std::to_string(lines)
            + " listing lines could not be read; they show only a name.");
    else if (rows.empty() && lines > 0)
        AddList("The listing could not be read (" + std::to_string(lines) + " lines in an unknown format).");
    if (timerWasActive && !m_life.Destroyed)
        m_timer1.start();
    return true;
}

void Tmainform::GetDir(TDirView& view)
{
    std::vector<RemoteRow> rows;
    if (FetchListing(rows)) {
        view.Model().SetRows(std::move(rows));
        if (&view == &dirview())
            FitRemoteColumns();
    }
}

void Tmainform::GetDir(std::vector<RemoteRow>& view)
{
    FetchListing(view);
}

// ---------------------------------------------------------------- sorting and styles

void Tmainform::dirviewColumnClick(int column)
{
    m_pane.ColumnClick(column);
}

void Tmainform::mnu_viewClick(QObject* Sender)
{
    const Ui::Tmainform& f = *m_ui;
    if (Sender == f.mnu_view_big || Sender == f.BigSymbols1)
        dirview().SetViewStyle(vsIcon);
    else if (Sender == f.mnu_view_small || Sender == f.SmallSymbols1)
        dirview().SetViewStyle(vsSmallIcon);
    else if (Sender == f.mnu_view_list || Sender == f.List1)
        dirview().SetViewStyle(vsList);
    else if (Sender == f.mnu_view_details || Sender == f.Details1)
        dirview().SetViewStyle(vsReport);
}

// ---------------------------------------------------------------- navigation

void Tmainform::dirviewDblClick()
{
    const int focused = dirview().FocusedRow();
    if (focused < 0)
        return;
    const RemoteRow row = dirview().Model().Row(focused);
    RemoteDirChange(row);
    if (m_ui->chkNavigating->isChecked())
        LocalDirChange(CommandName(row));
}

void Tmainform::EnterRemoteFolder(const std::string& name)
{
    m_FtpClient1->SetHostDirName(name);
    Run(&ftp::TFtpClient::Cwd);
    GetDir(dirview());
    AddList("DIRECTORY LISTING IS FINISHED.");
}

void Tmainform::RemoteDirChange(const RemoteRow& row)
{
    if (row.IsFolder()) {
        EnterRemoteFolder(CommandName(row));
        return;
    }
    // A file opens through its copy in the scratch folder, fresh from this
    // download: a failed one opens nothing, never an older copy. The copy's
    // batch has an All of its own; the queue's is left alone.
    const std::string name = CommandName(row);
    DownloadToTemp(false, [this, name](const std::vector<std::string>& paths) {
        const std::string copy = IsWalkableName(name) ? JoinPath(ScratchDir(), name) : std::string();
        if (!copy.empty() && std::find(paths.begin(), paths.end(), copy) != paths.end())
            OpenLocalFile(copy);
    });
}

void Tmainform::RemoteDirPrevious()
{
    EnterRemoteFolder("..");
}

void Tmainform::LocalDirChange(const std::string& name)
{
    platform::ApplicationPump().ProcessMessages();
    // A name is taken in the folder the local list shows, never in the
    // process's current folder (which another action may have moved).
    const QString shown = m_ui->LsFilelistView281->Directory();
    const QString target
        = name.empty() ? shown : QDir::cleanPath(QDir(shown).filePath(QString::fromUtf8(DisplayText(name))));
    if (!QFileInfo(target).isDir())
        return;
    QDir::setCurrent(target);
    m_ui->LsDirTreeCombo281->SetSelectedPath(target);
    m_ui->LsFilelistView281->SetDirectory(target);
}

void Tmainform::LocalDirPrevious()
{
    m_ui->LsFilelistView281->OneLevelUp();
}

namespace {
// Both panes show the same folder when their last path elements match.
bool SameLastElement(const QString& remote, const QString& local)
{
    return LastPathElement(remote.toStdString()) == LastPathElement(local.toStdString());
}
} // namespace

void Tmainform::btnPreviousClick()
{
    if (m_ui->chkNavigating->isChecked() && SameLastElement(m_ui->lblRemote->text(), m_ui->lblLocal->text()))
        LocalDirPrevious();
    RemoteDirPrevious();
}

void Tmainform::btnCliPreviousClick()
{
    if (m_ui->chkNavigating->isChecked() && SameLastElement(m_ui->lblRemote->text(), m_ui->lblLocal->text()))
        RemoteDirPrevious();
    LocalDirPrevious();
}

void Tmainform::Refresh1Click()
{
    if (m_FtpClient1->State() == ftp::ftpStateReady)
        GetDir(dirview());
}

void Tmainform::ToolButton7Click()
{
    Refresh1Click();
}

void Tmainform::LsDirTreeCombo281PathChange()
{
    m_ui->lblLocal->setText(m_ui->LsFilelistView281->Directory());
}

void Tmainform::LsFilelistView281ItemChange(const QString& item)
{
    m_ui->lblLocal->setText(m_ui->LsFilelistView281->Directory());
    m_layout.SelectedLocalItem = item;
}

// ---------------------------------------------------------------- recursive walk

void Tmainform::ListDir(const std::string& path, const std::string& folder, std::vector<RemoteRow>& view)
{
    m_pane.ListDir(path, folder, view);
}

bool Tmainform::MakeSelectedList_Server(const std::string& base, std::vector<RemoteRow>& view)
{
    // One walk at a time: the walk's folder stack and hidden list are shared.
    if (m_pane.Walking()) {
        SetStatusText(0, QString::fromUtf8(Message(msgBusyRefused, m_settings.English())));
        return false;
    }
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    m_pane.MakeSelectedList(base, view);
    return true;
}

} // namespace app
