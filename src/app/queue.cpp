// The transfer queue: its lines, the queue file, running it entry by entry
// with the overwrite question and resume, the builders that append uploads
// and downloads, the download into the scratch folder, and the progress.
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Settings.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"

#include <QDesktopServices>
#include <QDir>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace app {

namespace {

constexpr const char* kOverwriteQuestion
    = "Press OK to Overwrite the file, ALL to overwrite all, IGNORE to Resume it, CANCEL to cancel the operation";

std::int64_t LocalSize(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? std::int64_t(st.st_size) : -1;
}

bool IsFolder(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// "/a//b/" and "/a/b" name the same folder.
std::string FolderKey(const std::string& path)
{
    std::string key;
    for (char ch : path) {
        if (ch != '/' || key.empty() || key.back() != '/')
            key += ch;
    }
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

} // namespace

// ---------------------------------------------------------------- the queue's lines

void Tmainform::ShowQueue()
{
    const QString mark = QString::fromUtf8(FailedEntryMark(m_settings.English()));
    QStringList lines;
    lines.reserve(qsizetype(m_queue.Size()));
    for (std::size_t i = 0; i < m_queue.Size(); ++i)
        lines << (m_queue.Failed(i) ? mark : QString()) + ShownText(m_queue.Lines()[i]);
    m_queueViewAdds.clear();
    m_queueViewDrops = 0;
    m_queueViewDirty = false;
    m_ui->lbQueue->setPlainText(lines.join(QLatin1Char('\n')));
}

// Only the changes go in, in one edit: rebuilding or editing the box per
// entry cost more than the transfers of small files. A change other than
// entries added at the end or finished at the head (a failed mark, an entry
// finished behind a failed one) rebuilds it, at most ten times a second.
void Tmainform::FlushQueueView()
{
    if (m_queueViewDirty) {
        ShowQueue();
        return;
    }
    QPlainTextEdit& box = *m_ui->lbQueue;
    if (!m_queueViewAdds.isEmpty())
        box.appendPlainText(m_queueViewAdds.join(QLatin1Char('\n')));
    m_queueViewAdds.clear();
    RemoveFirstLines(box, std::exchange(m_queueViewDrops, 0));
}

void Tmainform::QueueViewChanged(bool rebuild)
{
    if (rebuild)
        m_queueViewDirty = true;
    if (!m_viewFlush.isActive())
        m_viewFlush.start();
}

bool Tmainform::SaveQueue()
{
    std::string error;
    if (m_queueFile->Save(m_queue.Lines(), &error))
        return true;
    AddList(error);
    Report(error);
    return false;
}

void Tmainform::AppendQueue(const std::vector<std::string>& lines)
{
    AppendQueue(lines, 0);
}

void Tmainform::AppendQueue(const std::vector<std::string>& lines, int batch)
{
    if (lines.empty())
        return;
    m_queue.Append(lines, batch);
    // New entries are on disk before anything is done with them.
    SaveQueue();
    for (const std::string& line : lines)
        m_queueViewAdds << ShownText(line);
    QueueViewChanged(false);
}

bool Tmainform::FinishQueueEntry()
{
    const bool connected = Connected();
    if (connected && !m_queue.Empty())
        DropEntry(m_queue, m_queue.IdAt(0), true);
    else
        SaveQueue();
    return connected;
}

void Tmainform::DropEntry(QueueLines& q, QueueLines::Id id, bool persist)
{
    const std::size_t at = q.IndexOf(id);
    if (at != QueueLines::npos) {
        q.Remove(at);
        if (persist) {
            if (at == 0)
                ++m_queueViewDrops;
            QueueViewChanged(at != 0);
        }
    }
    if (persist)
        SaveQueue();
}

void Tmainform::Clear1Click()
{
    if (m_queueRunning && m_run.InQueue) {
        // The running entry stays; the rest goes.
        m_queue.KeepOnly(m_run.Running);
    } else {
        m_queue.Clear();
    }
    // A cleared queue must stay cleared: written now, not with the next finished entry.
    std::string error;
    if (SaveQueue() && !m_queueFile->Flush(&error))
        Report(error);
    ShowQueue();
}

void Tmainform::btnQueueClick()
{
    m_StopRequested = false;
    ProcessQueue();
}

void Tmainform::UploadQueue1Click()
{
    // As the Queue button: a Stop of an earlier run would end this one at once.
    m_StopRequested = false;
    ProcessQueue();
}

// ---------------------------------------------------------------- running it

void Tmainform::ProcessQueue()
{
    // A second action while the queue runs only appends: the run in
    // progress performs the new entries, and the head is never done twice.
    if (m_queueRunning)
        return;
    DriveQueue(m_queue, 0, true, m_AnswerAll);
}

void Tmainform::ProcessBatch(int batch)
{
    // While another run goes on, the entries wait in the queue: a run of the
    // whole queue performs them, otherwise the caller asks again later.
    if (m_queueRunning)
        return;
    bool answerAll = true;
    DriveQueue(m_queue, batch, true, answerAll);
}

bool Tmainform::RunScratchBatch(const std::vector<std::string>& lines, bool answerAll,
    std::vector<std::string>* notDone)
{
    if (m_queueRunning) {
        RefuseWhileRunning();
        return false;
    }
    m_scratch.Clear();
    m_scratch.Append(lines);
    bool all = answerAll;
    DriveQueue(m_scratch, 0, false, all);
    // Whatever is left failed, was stopped or cancelled: scratch copies are
    // not queued work, so they do not stay.
    for (const std::string& line : m_scratch.Lines()) {
        if (notDone)
            notDone->push_back(SplitQueueLine(line).Local);
    }
    const bool whole = m_scratch.Empty();
    m_scratch.Clear();
    return whole;
}

void Tmainform::RefuseWhileRunning()
{
    const char* text = Message(msgQueueRunning, m_settings.English());
    SetStatusText(0, QString::fromUtf8(text));
    AddList(text);
}

void Tmainform::DriveQueue(QueueLines& q, int batch, bool persist, bool& answerAll)
{
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    m_queueRunning = true;
    m_run.InQueue = persist;
    m_run.All = &answerAll;
    // All at a delete question answers delete questions only: an All given
    // to overwrite files never deletes anything unasked.
    m_run.DeleteAll = false;
    m_run.Transferred = m_run.Failed = 0;
    m_run.Interrupted = false;
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    const bool listAtEnd = RunQueue(q, batch, persist);
    m_queueRunning = false;
    m_run.Running = 0;
    // An "All" holds for the run of the action that was asked, not beyond.
    answerAll = false;
    m_run.All = nullptr;
    m_run.DeleteAll = false;
    m_madeDirs.clear();
    m_putPaths.clear();
    m_listedSizes.clear();
    // The disk flush is left to the idle timer.
    std::string error;
    if (persist && !m_queueFile->WriteOut(&error))
        Report(error);
    m_ui->ProgressBar2->setValue(0);
    FlushPanel1();
    if (m_run.Transferred + m_run.Failed > 0) {
        const bool english = m_settings.English();
        const std::string summary = QueueRunSummary(m_run.Transferred, m_run.Failed, english);
        AddList(summary);
        SetStatusText(0, QString::fromStdString(summary));
        // Shown once the run is over, never in the middle of a reply; a
        // scratch copy's failure is told by the action that wanted it.
        if (m_run.Failed > 0 && persist && !m_life.Closing)
            m_prompter.ShowMessage(WarningPrefix(english) + summary, mkWarning);
    }
    if (listAtEnd && !m_life.Closing)
        GetDir(dirview());
    if (timerWasActive && !m_life.Destroyed)
        m_timer1.start();
}

bool Tmainform::RunQueue(QueueLines& q, int batch, bool persist)
{
    // Entries that failed in an earlier run are tried again.
    if (q.FailedCount() > 0) {
        q.ClearFailed(batch);
        if (persist)
            QueueViewChanged(true);
    }
    m_QueueTotal = int(q.Count(batch));
    for (;;) {
        const std::size_t at = q.Next(batch);
        if (at == QueueLines::npos)
            break;
        m_QueueRemaining = int(q.Count(batch));
        // Entries appended during the run count too.
        m_QueueTotal = std::max(m_QueueTotal, m_QueueRemaining);
        const std::string line = q.Lines()[at];
        const QueueLines::Id id = q.IdAt(at);
        const QueueEntry entry = SplitQueueLine(line);
        const bool blank = QString::fromStdString(line).trimmed().isEmpty();
        if (blank || (entry.Op != 'U' && entry.Op != 'D' && entry.Op != 'R')) {
            DropEntry(q, id, persist);
            continue;
        }
        // Stopped, or without a session: the entry stays for the next run.
        if (m_StopRequested || m_life.Closing || (!Connected() && !(entry.Op == 'D' && entry.Kind == "D"))) {
            m_run.Interrupted = true;
            break;
        }
        m_run.Running = id;
        const TEntryResult result = RunEntry(entry);
        m_run.Running = 0;
        switch (result) {
        case erDone:
            if (entry.Op != 'R' && !(entry.Op == 'D' && entry.Kind == "D") && !(entry.Op == 'U' && IsFolder(entry.Local)))
                ++m_run.Transferred;
            DropEntry(q, id, persist);
            break;
        case erFailed:
            ++m_run.Failed;
            if (const std::size_t now = q.IndexOf(id); now != QueueLines::npos) {
                q.MarkFailed(now);
                if (persist)
                    QueueViewChanged(true);
            }
            break;
        case erKept:
            m_run.Interrupted = true;
            // Refused by a busy engine: listing now would be refused as well.
            return !m_run.KeptRefused;
        case erCancelDrop:
            m_run.Interrupted = true;
            DropEntry(q, id, persist);
            // Cancel at a delete question cancels the whole delete.
            if (entry.Op == 'R' && batch != 0)
                for (std::size_t rest; (rest = q.Next(batch)) != QueueLines::npos;)
                    DropEntry(q, q.IdAt(rest), persist);
            return false;
        case erCancelKeep:
            m_run.Interrupted = true;
            return false;
        }
        platform::ApplicationPump().ProcessMessages();
    }
    return true;
}

Tmainform::TEntryResult Tmainform::RunEntry(const QueueEntry& entry)
{
    ftp::TFtpClient& c = *m_FtpClient1;
    const std::uint32_t session = m_conn.SessionSerial, refusals = m_engine.Refusals;
    bool ok = true;
    const bool binary = m_settings.Transfer.Binary();
    if (entry.Op == 'U') {
        if (IsFolder(entry.Local)) {
            c.SetHostFileName(entry.Remote);
            // A folder that cannot be made (it may well exist) is no failure
            // of its own: the files that go into it say whether it is there.
            // Only absolute paths: a relative one depends on where the server stands.
            if (Run(&ftp::TFtpClient::Mkd) && !entry.Remote.empty() && entry.Remote.front() == '/')
                m_madeDirs.insert(FolderKey(entry.Remote));
        } else {
            c.SetPassive(m_settings.Transfer.Passive());
            SendTypeFor(binary);
            c.SetHostDirName({});
            c.SetHostFileName(entry.Remote);
            c.SetLocalFileName(entry.Local);
            StartProgress(LocalSize(entry.Local));
            // A folder this run made holds only what this run put there:
            // no need to ask the server whether the file exists.
            const bool fresh = m_madeDirs.count(FolderKey(ParentPath(entry.Remote))) != 0
                && m_putPaths.insert(entry.Remote).second;
            if (*m_run.All || fresh) {
                ok = Run(&ftp::TFtpClient::Put);
            } else if (Run(&ftp::TFtpClient::Size)) {
                switch (AskOverwrite()) {
                case ansAll:
                case ansOK:
                    ok = Run(&ftp::TFtpClient::Put);
                    break;
                case ansIgnore:
                    ok = ResumeUpload(entry);
                    break;
                case ansCancel:
                    return erCancelDrop;
                }
            } else if (m_engine.Refusals == refusals) {
                ok = Run(&ftp::TFtpClient::Put);
            }
            EndProgress(ok);
        }
    } else if (entry.Op == 'D') {
        if (entry.Kind == "D") {
            std::string error;
            if (entry.Local.empty() || !MakeDirs(entry.Local, 0777, &error)) {
                AddList(entry.Local.empty() ? std::string("Unable to create directory") : error);
                ok = false;
            }
        } else {
            switch (Download(entry)) {
            case 1:
                break;
            case 0:
                ok = false;
                break;
            default:
                return erCancelKeep; // Cancel: the entry stays, nothing is listed
            }
        }
    } else {
        c.SetHostFileName(entry.Remote);
        if (!m_run.DeleteAll) {
            const TAnswer answer
                = m_prompter.Confirm(std::string(entry.Kind == "D" ? "Press OK to Delete the directory "
                                                                   : "Press OK to Delete the file ")
                        + "\"" + entry.Remote + "\", All to delete all you have selected",
                    { ansOK, ansCancel, ansAll });
            if (answer == ansCancel)
                return erCancelDrop;
            if (answer == ansAll)
                m_run.DeleteAll = true;
        }
        ok = Run(entry.Kind == "D" ? &ftp::TFtpClient::Rmd : &ftp::TFtpClient::Dele);
    }
    // An entry is finished only by its own session's answer: a refusal of
    // a busy engine, a session closed or replaced meanwhile (Disconnect,
    // Connect, the server gone), a stop that aborted it or the window
    // closing keep it in the queue as it was.
    m_run.KeptRefused = m_engine.Refusals != refusals;
    const bool sessionGone = m_conn.SessionSerial != session || ((entry.Op != 'D' || entry.Kind != "D") && !Connected());
    if (m_run.KeptRefused || sessionGone || (!ok && (m_StopRequested || m_life.Closing))) {
        AddList("\"" + (entry.Op == 'R' ? entry.Remote : entry.Local) + "\" stays in the queue: "
            + (m_run.KeptRefused ? "the FTP component was busy."
                    : sessionGone ? "the session ended before it was done."
                                  : "it was stopped."));
        return erKept;
    }
    if (!ok) {
        std::string why = c.ErrorMessage().empty() ? c.LastResponse() : c.ErrorMessage();
        if (entry.Op == 'D' && entry.Kind == "D")
            why = "the folder cannot be created";
        AddList("Failed: " + std::string(entry.Op == 'U' ? "upload of \"" + entry.Local + "\" to \"" + entry.Remote
                                          : entry.Op == 'D' ? "download of \"" + entry.Remote + "\" to \"" + entry.Local
                                                            : "delete of \"" + entry.Remote)
            + "\"" + (why.empty() ? std::string() : " (" + why + ")") + "; it stays in the queue.");
        return erFailed;
    }
    return erDone;
}

void Tmainform::SendTypeFor(bool binary)
{
    // TYPE only when it changes: one per file doubled the round trips of small files.
    if (m_typeSent == int(binary))
        return;
    m_FtpClient1->SetBinary(binary);
    m_typeSent = Run(&ftp::TFtpClient::SendType) ? int(binary) : -1;
}

TAnswer Tmainform::AskOverwrite()
{
    const TAnswer answer = m_prompter.Confirm(kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll });
    // All answers this question and every later one of the same run.
    if (answer == ansAll)
        *m_run.All = true;
    return answer;
}

bool Tmainform::ResumeUpload(const QueueEntry& entry)
{
    // The server's file is the part already sent: go on from its end.
    ftp::TFtpClient& c = *m_FtpClient1;
    const std::int64_t sent = c.SizeResult(), local = LocalSize(entry.Local);
    if (local >= 0 && sent >= local) {
        AddList("\"" + entry.Remote + "\" is already complete (" + std::to_string(sent) + " bytes).");
        return true;
    }
    c.SetResumeAt(sent);
    return Run(&ftp::TFtpClient::RestartPut);
}

int Tmainform::Download(const QueueEntry& entry)
{
    ftp::TFtpClient& c = *m_FtpClient1;
    c.SetHostDirName({});
    c.SetHostFileName(entry.Remote);
    c.SetLocalFileName(entry.Local);
    c.SetPassive(m_settings.Transfer.Passive());
    SendTypeFor(m_settings.Transfer.Binary());
    const std::int64_t localSize = LocalSize(entry.Local);
    // Without a local file the listing's size is enough for the progress;
    // a resume needs the server's own.
    const auto listed = localSize < 0 ? m_listedSizes.find(entry.Remote) : m_listedSizes.end();
    std::int64_t remoteSize = -1;
    if (listed != m_listedSizes.end())
        remoteSize = listed->second;
    else if (Run(&ftp::TFtpClient::Size))
        remoteSize = c.SizeResult();
    StartProgress(remoteSize);
    bool ok = true;
    if (*m_run.All || localSize < 0) {
        ok = Run(&ftp::TFtpClient::Get);
        EndProgress(ok);
        return ok ? 1 : 0;
    }
    switch (AskOverwrite()) {
    case ansAll:
    case ansOK:
        ok = Run(&ftp::TFtpClient::Get);
        break;
    case ansIgnore:
        // A REST at or past the end would fail or append garbage: the file is whole.
        if (remoteSize >= 0 && localSize >= remoteSize)
            AddList("\"" + entry.Local + "\" is already complete (" + std::to_string(localSize) + " bytes).");
        else
            ok = Run(&ftp::TFtpClient::RestartGet);
        break;
    case ansCancel:
        return -1;
    }
    EndProgress(ok);
    return ok ? 1 : 0;
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
    if (timerWasActive && !m_life.Destroyed)
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

std::vector<std::string> Tmainform::SelectionEntries(std::string base)
{
    if (base.empty() || base.back() != '/')
        base += '/';
    if (!MakeSelectedList_Server("", m_pane.ListView1()))
        return {};
    std::vector<WalkedRow> rows;
    rows.reserve(m_pane.ListView1().size());
    for (const RemoteRow& row : m_pane.ListView1()) {
        rows.push_back({ row.name, row.IsFolder() });
        // A link's listed size is the link's own.
        if (row.type == kTypeFile && (row.perms.empty() || row.perms[0] != 'l'))
            m_listedSizes[JoinRemote(m_conn.CurrentRemoteDir, row.name)] = std::int64_t(row.bytes);
    }
    std::vector<std::string> lines, notes;
    BuildDownloadEntries(base, m_conn.CurrentRemoteDir, rows, lines, &notes);
    for (const std::string& note : notes)
        AddList(note);
    return lines;
}

void Tmainform::QueueforDownload()
{
    AppendQueue(SelectionEntries(LocalListFolder()));
}

void Tmainform::DownloadToTemp(bool answerAll)
{
    // A scratch copy is a batch of its own: it runs none of the queue's
    // entries, and while the queue runs it waits for nothing, it is refused.
    if (m_queueRunning) {
        RefuseWhileRunning();
        m_DropFiles.clear();
        return;
    }
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    m_StopRequested = false;
    while (m_FtpClient1->State() >= ftp::ftpStateResolving) {
        platform::ApplicationPump().ProcessMessages();
        platform::Sleep(1);
    }
    m_DropFiles.clear();
    std::string error;
    const std::string scratch = ScratchDir(&error);
    if (!error.empty()) {
        Report(error);
        return;
    }
    std::vector<std::string> names;
    for (int row : dirview().SelectedRows())
        names.push_back(CommandName(dirview().Model().Row(row)));
    std::vector<std::string> notDone;
    RunScratchBatch(SelectionEntries(scratch), answerAll, &notDone);
    for (const std::string& name : names) {
        if (!IsWalkableName(name))
            continue;
        const std::string path = JoinPath(scratch, name);
        // Only what came down whole in this batch: never a stale copy.
        const bool missing = std::any_of(notDone.begin(), notDone.end(),
            [&](const std::string& local) { return StaysInside(path, local); });
        if (!missing && (LocalSize(path) >= 0 || IsFolder(path)))
            m_DropFiles.push_back(path);
        else
            AddList("\"" + name + "\" could not be downloaded to the scratch folder.");
    }
}

// ---------------------------------------------------------------- progress

void Tmainform::StartProgress(std::int64_t size)
{
    m_transferSize = size;
    m_transferClock.start();
    m_lastProgressMs = -1000;
}

void Tmainform::EndProgress(bool ok)
{
    // The last progress text would say the transfer stopped short of its end.
    m_panel1Final.clear();
    if (ok && m_transferClock.isValid()) {
        const std::int64_t moved = m_FtpClient1->ByteCount();
        const std::int64_t total = m_transferSize >= 0 ? m_transferSize : moved;
        m_panel1Final = QString::fromStdString(
            FinalFigures(total, moved, m_transferClock.elapsed(), m_settings.English()));
    }
    // Shown with the log's next update: setting the label per file cost more
    // than moving a small file.
    m_panel1Due = true;
    if (!m_viewFlush.isActive())
        m_viewFlush.start();
}

void Tmainform::FlushPanel1()
{
    if (std::exchange(m_panel1Due, false))
        SetStatusText(1, m_panel1Final);
}

void Tmainform::FtpClient1Progress(std::int64_t Count, bool& Abort)
{
    // Stop ends a file transfer whose data connection was still opening;
    // a listing is let finish, as half of one would show files missing.
    Abort = m_engine.StopTransfer && m_conn.TransferCommand;
    if (!m_conn.TransferCommand)
        return;
    const qint64 now = m_transferClock.isValid() ? m_transferClock.elapsed() : 0;
    // At most ten updates a second: a fast transfer must not spend its time painting.
    if (now - m_lastProgressMs < 100)
        return;
    m_lastProgressMs = now;
    const std::string text = ProgressFigures(
        Count, m_transferSize, Count - m_FtpClient1->ResumeAt(), now, m_settings.English());
    m_panel1Due = false; // this text is newer than a finished file's figures
    SetStatusText(1, QString::fromStdString(text));
    m_ui->ProgressBar2->setMinimum(0);
    m_ui->ProgressBar2->setMaximum(std::max(m_QueueTotal, 1));
    m_ui->ProgressBar2->setValue(m_QueueTotal - m_QueueRemaining);
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
