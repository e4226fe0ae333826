// The remote listing: GetDir through the session, sorting, the view styles,
// navigation on both panes and the recursive walk of remote folders (their
// state is RemotePane's). The commands on the server start here and end in
// the session's callbacks; the busy gate is held in between.
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

TDirView& Tmainform::dirview()
{
    return *m_ui->dirview;
}

void Tmainform::ConnectPane()
{
    RemotePane::Server& server = m_pane.Callbacks();
    server.Learned = [this](const std::string& folder) {
        // The label follows the server, so a walk ends showing the folder it started in.
        m_conn.CurrentRemoteDir = folder;
        if (!folder.empty())
            m_ui->lblRemote->setText(ShownText(folder));
    };
    server.CurrentFolder = [this] { return m_conn.CurrentRemoteDir; };
    server.Shown = [this](const SessionResult&) {
        m_ui->lblRemote->setText(ShownText(m_conn.CurrentRemoteDir));
        m_ui->lblLocal->setText(m_ui->LsFilelistView281->Directory());
        SetStatusText(0, QString());
        FitRemoteColumns();
    };
    server.Note = [this](const std::string& line) { AddList(line); };
    server.Stopped = [this] { return StopRequested(); };
}

bool Tmainform::RemoteBusy()
{
    // Something got past the gate while a command or a walk runs: the
    // session belongs to it.
    if (m_engine.EngineWaits == 0 && !m_session->Busy() && !m_pane.Walking() && !m_life.Closing)
        return false;
    if (!m_life.Closing)
        SetStatusText(0, QString::fromUtf8(Message(msgBusyRefused, m_settings.English())));
    return true;
}

std::function<void()> Tmainform::HoldGate()
{
    // Held until the returned function is called or dropped, whichever comes first.
    auto scope = std::make_shared<ActionGate::Scope>(m_engine.Gate.Hold());
    return [scope] { *scope = ActionGate::Scope(); };
}

void Tmainform::CommandDone(const SessionResult& result)
{
    m_log.Replies.RawCommand = false;
    m_engine.StopTransfer = false;
    ShowPendingWarnings();
    if (result.Refused && !result.Message.empty() && !m_life.Closing)
        Report(result.Message);
}

void Tmainform::GetDir(TDirView& view, std::function<void()> then)
{
    (void)view; // the remote list is the one view a listing goes to
    if (m_conn.LoggedIn == 0) {
        SetStatusText(0, QString::fromUtf8(Message(msgFailedToConnect, m_settings.English())));
        if (then)
            then();
        return;
    }
    if (m_engine.Listing) {
        // The listing on its way is the one asked for (a run's own at its
        // end and the refresh of the action that started the run).
        if (then)
            m_engine.ListingWaiters.push_back(std::move(then));
        return;
    }
    if (RemoteBusy()) {
        if (then)
            then();
        return;
    }
    m_engine.Listing = true;
    m_FtpClient1->SetPassive(m_settings.Transfer.Passive()); // as chosen now, also after a connect
    m_pane.ListShown([this, release = HoldGate(), then](const SessionResult& r) {
        m_engine.Listing = false;
        const std::vector<std::function<void()>> waiters = std::exchange(m_engine.ListingWaiters, {});
        CommandDone(r);
        if (then)
            then();
        for (const std::function<void()>& waiter : waiters)
            waiter();
        release();
    });
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
    if (RemoteBusy())
        return;
    m_FtpClient1->SetPassive(m_settings.Transfer.Passive());
    m_pane.EnterFolder(name, [this, release = HoldGate()](const SessionResult& r) {
        if (!r.Refused)
            AddList("DIRECTORY LISTING IS FINISHED.");
        CommandDone(r);
        release();
    });
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
    if (m_session->IsConnected())
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

bool Tmainform::MakeSelectedList_Server(const std::string& base, std::vector<RemoteRow>& view, std::function<void()> then)
{
    // One walk at a time: the walk's folder stack and hidden list are shared.
    // A command in flight refuses the walk's own steps (its folders are
    // skipped with a note); a selection of files needs none.
    if (m_pane.Walking()) {
        SetStatusText(0, QString::fromUtf8(Message(msgBusyRefused, m_settings.English())));
        return false;
    }
    if (!m_session->Busy())
        m_FtpClient1->SetPassive(m_settings.Transfer.Passive());
    return m_pane.MakeSelectedList(base, view, [this, release = HoldGate(), then] {
        m_engine.StopTransfer = false;
        if (then)
            then();
        release();
    });
}

} // namespace app
