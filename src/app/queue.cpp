// The transfer queue in the window: the handlers of the Queue buttons and
// menu, the builders that append uploads and downloads, and the downloads
// into the scratch folder. The entries and the runs are TransferQueue's;
// what the window shows of them is QueueView's.
#include "app/ftp_main.hpp"

#include "app/QueueView.hpp"
#include "app/WindowHelpers.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "app/session/FtpSession.hpp"
#include "app/transfer/TransferQueue.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace app {

namespace {

bool Exists(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

} // namespace

// ---------------------------------------------------------------- the queue's lines

const std::vector<std::string>& Tmainform::Queue() const
{
    return m_transfers->Lines();
}

bool Tmainform::QueueEntryFailed(std::size_t index) const
{
    return m_transfers->Failed(index);
}

SessionPool& Tmainform::Pool()
{
    return m_queueView->Pool();
}

bool Tmainform::QueueRunning() const
{
    return m_queueView->Active() != nullptr;
}

bool Tmainform::AnswerAll() const
{
    const TransferQueue* active = m_queueView->Active();
    return active && active->AnswerAll();
}

bool Tmainform::StopRequested() const
{
    return m_transfers->StopRequested();
}

void Tmainform::chkStopClick()
{
    m_transfers->Stop();
    m_scratch->Stop();
    AbortInFlight();
}

void Tmainform::ClearStop()
{
    m_transfers->ClearStop();
    m_scratch->ClearStop();
}

void Tmainform::ShowQueue()
{
    m_queueView->ShowAll();
}

bool Tmainform::SaveQueue()
{
    return m_transfers->Save();
}

void Tmainform::AppendQueue(const std::vector<std::string>& lines)
{
    AppendQueue(lines, 0);
}

void Tmainform::AppendQueue(const std::vector<std::string>& lines, int batch)
{
    m_transfers->Append(lines, batch);
}

int Tmainform::NewBatch()
{
    return m_transfers->NewBatch();
}

bool Tmainform::FinishQueueEntry()
{
    const bool connected = Connected();
    if (connected)
        m_transfers->DropHead();
    else
        m_transfers->Save();
    return connected;
}

void Tmainform::Clear1Click()
{
    std::string error;
    if (!m_transfers->Clear(&error) && !error.empty())
        Report(error);
    ShowQueue();
}

void Tmainform::btnQueueClick()
{
    ClearStop();
    ProcessQueue();
}

void Tmainform::UploadQueue1Click()
{
    // As the Queue button: a Stop of an earlier run would end this one at once.
    ClearStop();
    ProcessQueue();
}

// ---------------------------------------------------------------- running it

void Tmainform::ProcessQueue()
{
    ProcessQueue({});
}

void Tmainform::ProcessQueue(std::function<void(const TransferRunSummary&)> then)
{
    // A second action while the queue runs only appends: the run in
    // progress performs the new entries, and the head is never done twice.
    m_queueView->Run(*m_transfers, 0, false, std::move(then));
}

void Tmainform::ProcessBatch(int batch, std::function<void(const TransferRunSummary&)> then)
{
    // While another run goes on, the entries wait in the queue: a run of the
    // whole queue performs them, otherwise the caller asks again later.
    m_queueView->Run(*m_transfers, batch, true, std::move(then));
}

bool Tmainform::RunScratchBatch(const std::vector<std::string>& lines, bool answerAll,
    std::function<void(bool whole, const std::vector<std::string>& notDone)> then)
{
    if (QueueRunning()) {
        RefuseWhileRunning();
        return false;
    }
    std::string error;
    m_scratch->Clear(&error);
    m_scratch->Append(lines);
    return m_queueView->Run(*m_scratch, 0, answerAll, [this, then = std::move(then)](const TransferRunSummary&) {
        // Whatever is left failed, was stopped or cancelled: scratch copies
        // are not queued work, so they do not stay.
        std::vector<std::string> notDone;
        for (const std::string& line : m_scratch->Lines())
            notDone.push_back(SplitQueueLine(line).Local);
        const bool whole = m_scratch->Empty();
        std::string ignored;
        m_scratch->Clear(&ignored);
        if (then)
            then(whole, notDone);
    });
}

void Tmainform::RefuseWhileRunning()
{
    const char* text = Message(msgQueueRunning, m_settings.English());
    SetStatusText(0, QString::fromUtf8(text));
    AddList(text);
}

// ---------------------------------------------------------------- builders

void Tmainform::QueueUpload(const std::string& local, const std::string& remote)
{
    const ActionGate::Scope busy = m_engine.Gate.Hold(); // the walk of a big folder lets the window run
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    std::vector<std::string> lines, notes;
    // A relative path is the local list's, never the process's current folder.
    BuildUploadEntries(local, remote, LocalListFolder(), m_conn.CurrentRemoteDir, lines, &notes,
        [] { platform::ApplicationPump().ProcessMessages(); });
    for (const std::string& note : notes)
        AddList(note);
    AppendQueue(lines);
    if (timerWasActive && !m_life.Destroyed && !QueueRunning())
        m_timer1.start();
}

std::string Tmainform::LocalListFolder() const
{
    QString dir = m_ui->LsFilelistView281->Directory();
    if (dir.isEmpty() || dir == ui::TLsFilelistView28::kDrives)
        dir = QDir::homePath();
    if (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir.toStdString();
}

bool Tmainform::SelectionEntries(
    std::string base, TransferQueue& queue, std::function<void(const std::vector<std::string>& lines)> then)
{
    if (base.empty() || base.back() != '/')
        base += '/';
    return MakeSelectedList_Server("", m_pane.ListView1(), [this, base, &queue, then] {
        std::vector<WalkedRow> rows;
        rows.reserve(m_pane.ListView1().size());
        for (const RemoteRow& row : m_pane.ListView1()) {
            rows.push_back({ row.name, row.IsFolder() });
            // A link's listed size is the link's own.
            if (row.type == kTypeFile && (row.perms.empty() || row.perms[0] != 'l'))
                queue.NoteListedSize(JoinRemote(m_conn.CurrentRemoteDir, row.name), std::int64_t(row.bytes));
        }
        std::vector<std::string> lines, notes;
        BuildDownloadEntries(base, m_conn.CurrentRemoteDir, rows, lines, &notes);
        for (const std::string& note : notes)
            AddList(note);
        then(lines);
    });
}

void Tmainform::QueueforDownload()
{
    SelectionEntries(
        LocalListFolder(), *m_transfers, [this](const std::vector<std::string>& lines) { AppendQueue(lines); });
}

void Tmainform::DownloadToTemp(bool answerAll, std::function<void(const std::vector<std::string>& paths)> then)
{
    // A scratch copy is a batch of its own: it runs none of the queue's
    // entries, and while the queue runs it waits for nothing, it is refused.
    if (QueueRunning()) {
        RefuseWhileRunning();
        return;
    }
    ClearStop();
    std::string error;
    const std::string scratch = ScratchDir(&error);
    if (!error.empty()) {
        Report(error);
        return;
    }
    std::vector<std::string> names;
    for (int row : dirview().SelectedRows())
        names.push_back(CommandName(dirview().Model().Row(row)));
    const auto copied = [this, names, scratch, then = std::move(then)](bool, const std::vector<std::string>& notDone) {
        std::vector<std::string> paths;
        for (const std::string& name : names) {
            if (!IsWalkableName(name))
                continue;
            const std::string path = JoinPath(scratch, name);
            // Only what came down whole in this batch: never a stale copy.
            const bool missing = std::any_of(notDone.begin(), notDone.end(),
                [&](const std::string& local) { return StaysInside(path, local); });
            if (!missing && Exists(path))
                paths.push_back(path);
            else
                AddList("\"" + name + "\" could not be downloaded to the scratch folder.");
        }
        if (then)
            then(paths);
    };
    SelectionEntries(scratch, *m_scratch, [this, answerAll, copied](const std::vector<std::string>& lines) {
        RunScratchBatch(lines, answerAll, copied);
    });
}

// ---------------------------------------------------------------- progress

void Tmainform::FtpClient1Progress(std::int64_t Count, bool& Abort)
{
    // Stop ends a file transfer whose data connection was still opening;
    // a listing is let finish, as half of one would show files missing.
    Abort = m_engine.StopTransfer && m_conn.TransferCommand;
    if (m_conn.TransferCommand)
        m_queueView->ShowProgress(Count, -1, Count - m_FtpClient1->ResumeAt(), 0);
}

void Tmainform::OpenLocalFile(const std::string& path)
{
    if (OnOpenFile) {
        OnOpenFile(path);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))))
        AddList("No application opens \"" + path + "\".");
}

} // namespace app
