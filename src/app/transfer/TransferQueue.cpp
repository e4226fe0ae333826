// TransferQueue: each entry is a short chain of session operations (SIZE,
// the overwrite question, the transfer); the run goes on from the end of
// each chain.
#include "app/transfer/TransferQueue.hpp"

#include "app/core/Paths.hpp"

#include <sys/stat.h>

#include <algorithm>
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

bool IsLocalFolderEntry(const QueueEntry& e)
{
    return e.Op == 'D' && e.Kind == "D";
}

} // namespace

TransferQueue::TransferQueue(TransferListener& listener, std::unique_ptr<QueueFile> file)
    : m_listener(listener)
    , m_file(std::move(file))
{
}

TransferQueue::~TransferQueue()
{
    *m_alive = false;
}

// ---------------------------------------------------------------- the entries

bool TransferQueue::Load(std::string* error)
{
    std::vector<std::string> lines;
    if (!m_file || !m_file->Load(lines, error))
        return false;
    m_lines.Assign(std::move(lines));
    return true;
}

bool TransferQueue::Save()
{
    if (!m_file)
        return true;
    std::string error;
    if (m_file->Save(m_lines.Lines(), &error))
        return true;
    m_listener.SaveFailed(error);
    return false;
}

void TransferQueue::Append(const std::vector<std::string>& lines, int batch)
{
    if (lines.empty())
        return;
    m_lines.Append(lines, batch);
    Save();
    if (m_file)
        m_listener.LinesChanged(lines, 0, false);
}

bool TransferQueue::Clear(std::string* error)
{
    // The entry in flight stays; the rest goes.
    if (m_running != 0)
        m_lines.KeepOnly(m_running);
    else
        m_lines.Clear();
    // A cleared queue must stay cleared: written now, not with the next finished entry.
    bool ok = Save() && (!m_file || m_file->Flush(error));
    if (m_file)
        m_listener.LinesChanged({}, 0, true);
    return ok;
}

void TransferQueue::DropHead()
{
    if (!m_lines.Empty() && m_lines.IdAt(0) != m_running)
        DropEntry(m_lines.IdAt(0));
    else
        Save();
}

void TransferQueue::DropEntry(QueueLines::Id id)
{
    const std::size_t at = m_lines.IndexOf(id);
    if (at != QueueLines::npos) {
        m_lines.Remove(at);
        if (m_file)
            m_listener.LinesChanged({}, at == 0 ? 1 : 0, at != 0);
    }
    Save();
}

// ---------------------------------------------------------------- the run

bool TransferQueue::Start(RemoteSession& session, int batch, bool answerAll,
    std::function<void(const TransferRunSummary&)> finished)
{
    if (m_session)
        return false;
    m_session = &session;
    m_batch = batch;
    m_all = answerAll;
    // All at a delete question answers delete questions only: an All given
    // to overwrite files never deletes anything unasked.
    m_deleteAll = false;
    m_finished = std::move(finished);
    m_summary = {};
    m_summary.Persisted = m_file != nullptr;
    // Entries that failed in an earlier run are tried again.
    if (m_lines.FailedCount() > 0) {
        m_lines.ClearFailed(batch);
        if (m_file)
            m_listener.LinesChanged({}, 0, true);
    }
    m_total = int(m_lines.Count(batch));
    m_remaining = m_total;
    Continue();
    return true;
}

void TransferQueue::Stop()
{
    m_stop = true;
    if (m_session && m_running != 0)
        m_session->Abort();
}

void TransferQueue::Continue()
{
    // An entry that ends at once (a local folder, a Cancel) must not start
    // the next one inside itself: a long queue would nest without end.
    if (m_stepping) {
        m_again = true;
        return;
    }
    m_stepping = true;
    do {
        m_again = false;
        if (StartNext())
            break;
    } while (m_again);
    m_stepping = false;
}

bool TransferQueue::StartNext()
{
    if (!m_session || m_running != 0)
        return false;
    for (;;) {
        const std::size_t at = m_lines.Next(m_batch);
        if (at == QueueLines::npos) {
            FinishRun();
            return true;
        }
        m_remaining = int(m_lines.Count(m_batch));
        // Entries appended during the run count too.
        m_total = std::max(m_total, m_remaining);
        const std::string line = m_lines.Lines()[at];
        const QueueLines::Id id = m_lines.IdAt(at);
        const QueueEntry entry = SplitQueueLine(line);
        const bool blank = line.find_first_not_of(" \t\r\n") == std::string::npos;
        if (blank || (entry.Op != 'U' && entry.Op != 'D' && entry.Op != 'R')) {
            DropEntry(id);
            continue;
        }
        // Stopped, or without a session: the entry stays for the next run.
        if (m_stop || (!m_session->IsConnected() && !IsLocalFolderEntry(entry))) {
            m_summary.Interrupted = true;
            FinishRun();
            return true;
        }
        m_running = id;
        m_entry = entry;
        m_generation = m_session->Generation();
        RunEntry(entry);
        return false;
    }
}

SessionDone TransferQueue::Guarded(std::function<void(const SessionResult&)> then)
{
    // The queue may be gone (the window closed) when a session answers.
    return [alive = std::weak_ptr<bool>(m_alive), then = std::move(then)](const SessionResult& r) {
        if (const auto a = alive.lock(); a && *a)
            then(r);
    };
}

void TransferQueue::RunEntry(const QueueEntry& entry)
{
    if (entry.Op == 'U')
        Upload(entry);
    else if (entry.Op == 'D')
        Download(entry);
    else
        Remove(entry);
}

void TransferQueue::Upload(const QueueEntry& entry)
{
    if (IsFolder(entry.Local)) {
        // A folder that cannot be made (it may well exist) is no failure of
        // its own: the files that go into it say whether it is there. Only
        // absolute paths: a relative one depends on where the server stands.
        m_session->MakeFolder(entry.Remote, Guarded([this, remote = entry.Remote](const SessionResult& r) {
            if (r.Refused)
                return EndEntry(false, &r);
            if (r.Ok && !remote.empty() && remote.front() == '/')
                m_madeDirs.insert(FolderKey(remote));
            EndEntry(true, nullptr);
        }));
        return;
    }
    m_size = LocalSize(entry.Local);
    m_listener.EntryStarted(entry, m_size);
    // A folder this run made holds only what this run put there: no need to
    // ask the server whether the file exists.
    const bool fresh
        = m_madeDirs.count(FolderKey(ParentPath(entry.Remote))) != 0 && m_putPaths.insert(entry.Remote).second;
    if (m_all || fresh)
        return Transfer(false, entry, 0);
    m_session->Size(entry.Remote, m_binary, Guarded([this, entry](const SessionResult& r) {
        // A session gone meanwhile answers nothing about the file: no question, the entry stays.
        if (r.Refused || SessionEnded())
            return EndTransfer(false, &r);
        if (!r.Ok)
            return Transfer(false, entry, 0); // not there yet
        const std::int64_t sent = r.Value;
        Ask(qqOverwrite, kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll },
            [this, entry, sent](TAnswer answer) {
                switch (answer) {
                case ansAll:
                case ansOK:
                    return Transfer(false, entry, 0);
                case ansIgnore: {
                    // The server's file is the part already sent: go on from its end.
                    const std::int64_t local = LocalSize(entry.Local);
                    if (local >= 0 && sent >= local) {
                        m_listener.Note(
                            "\"" + entry.Remote + "\" is already complete (" + std::to_string(sent) + " bytes).");
                        return EndTransfer(true, nullptr);
                    }
                    return Transfer(false, entry, sent);
                }
                case ansCancel:
                    return EndEntryAs(erCancelDrop);
                }
            });
    }));
}

void TransferQueue::Download(const QueueEntry& entry)
{
    if (entry.Kind == "D") {
        std::string error;
        if (entry.Local.empty() || !MakeDirs(entry.Local, 0777, &error)) {
            m_listener.Note(entry.Local.empty() ? std::string("Unable to create directory") : error);
            return EndEntry(false, nullptr);
        }
        return EndEntry(true, nullptr);
    }
    const std::int64_t localSize = LocalSize(entry.Local);
    const auto go = [this, entry, localSize](std::int64_t remoteSize) {
        m_size = remoteSize;
        m_listener.EntryStarted(entry, remoteSize);
        if (m_all || localSize < 0)
            return Transfer(true, entry, 0);
        Ask(qqOverwrite, kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll },
            [this, entry, localSize, remoteSize](TAnswer answer) {
                switch (answer) {
                case ansAll:
                case ansOK:
                    return Transfer(true, entry, 0);
                case ansIgnore:
                    // A REST at or past the end would fail or append garbage: the file is whole.
                    if (remoteSize >= 0 && localSize >= remoteSize) {
                        m_listener.Note("\"" + entry.Local + "\" is already complete (" + std::to_string(localSize)
                            + " bytes).");
                        return EndTransfer(true, nullptr);
                    }
                    return Transfer(true, entry, localSize);
                case ansCancel:
                    return EndEntryAs(erCancelKeep); // the entry stays, nothing is listed
                }
            });
    };
    // Without a local file the listing's size is enough for the progress;
    // a resume needs the server's own.
    if (localSize < 0) {
        if (const auto listed = m_listedSizes.find(entry.Remote); listed != m_listedSizes.end())
            return go(listed->second);
    }
    m_session->Size(entry.Remote, m_binary, Guarded([this, go](const SessionResult& r) {
        if (r.Refused || SessionEnded())
            return EndEntry(false, &r);
        go(r.Ok ? r.Value : -1);
    }));
}

void TransferQueue::Remove(const QueueEntry& entry)
{
    const auto remove = [this, entry] {
        const auto done = Guarded([this](const SessionResult& r) { EndEntry(r.Ok, &r); });
        if (entry.Kind == "D")
            m_session->RemoveFolder(entry.Remote, done);
        else
            m_session->Delete(entry.Remote, done);
    };
    if (m_deleteAll)
        return remove();
    Ask(qqDelete,
        std::string(entry.Kind == "D" ? "Press OK to Delete the directory " : "Press OK to Delete the file ") + "\""
            + entry.Remote + "\", All to delete all you have selected",
        { ansOK, ansCancel, ansAll }, [this, remove](TAnswer answer) {
            if (answer == ansCancel)
                return EndEntryAs(erCancelDrop);
            if (answer == ansAll)
                m_deleteAll = true;
            remove();
        });
}

void TransferQueue::Transfer(bool get, const QueueEntry& entry, std::int64_t offset)
{
    // A Stop while SIZE or a question ran: the transfer does not start.
    if (m_stop)
        return EndTransfer(false, nullptr);
    m_offset = offset;
    m_started = std::chrono::steady_clock::now();
    TransferOptions options;
    options.Binary = m_binary;
    options.Offset = offset;
    options.Progress = [this, alive = std::weak_ptr<bool>(m_alive)](std::int64_t count) {
        if (alive.expired())
            return;
        m_listener.Progress(count, m_size, count - m_offset, ElapsedMs());
    };
    const auto done = Guarded([this](const SessionResult& r) { EndTransfer(r.Ok, &r); });
    if (get)
        m_session->Get(entry.Remote, entry.Local, options, done);
    else
        m_session->Put(entry.Local, entry.Remote, options, done);
}

std::int64_t TransferQueue::ElapsedMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_started)
        .count();
}

void TransferQueue::EndTransfer(bool ok, const SessionResult* result)
{
    const std::int64_t moved = result && result->Value >= 0 ? result->Value : 0;
    m_listener.EntryEnded(ok, m_size >= 0 ? m_size : moved, moved, ElapsedMs());
    EndEntry(ok, result && !result->Ok ? result : nullptr);
}

bool TransferQueue::SessionEnded() const
{
    return m_session->Generation() != m_generation || !m_session->IsConnected();
}

void TransferQueue::Ask(
    TQueueQuestion question, const std::string& text, TAnswers buttons, std::function<void(TAnswer)> then)
{
    m_waiting = [this, question, then = std::move(then)](TAnswer answer) {
        // All answers this question and every later one of the same run.
        if (question == qqOverwrite && answer == ansAll)
            m_all = true;
        then(answer);
    };
    m_listener.Ask(question, text, buttons);
}

void TransferQueue::Answer(TAnswer answer)
{
    if (!m_waiting)
        return;
    const auto then = std::exchange(m_waiting, nullptr);
    // The session ended while the question was open: nothing of the entry
    // runs on another one.
    if (m_session->Generation() != m_generation && answer != ansCancel)
        return EndEntry(false, nullptr);
    then(answer);
}

void TransferQueue::EndEntry(bool ok, const SessionResult* failure)
{
    const QueueEntry& entry = m_entry;
    // An entry is finished only by its own session's answer: a refusal of a
    // busy session, a session closed or replaced meanwhile, or a stop that
    // broke it off keep it in the queue as it was.
    m_summary.KeptRefused = failure && failure->Refused;
    const bool sessionGone = m_session->Generation() != m_generation
        || (!IsLocalFolderEntry(entry) && !m_session->IsConnected());
    if (m_summary.KeptRefused || sessionGone || (!ok && m_stop)) {
        m_listener.Note("\"" + (entry.Op == 'R' ? entry.Remote : entry.Local) + "\" stays in the queue: "
            + (m_summary.KeptRefused ? "the FTP component was busy."
                    : sessionGone    ? "the session ended before it was done."
                                     : "it was stopped."));
        return EndEntryAs(erKept);
    }
    if (!ok) {
        std::string why = failure ? failure->Message : std::string();
        if (IsLocalFolderEntry(entry))
            why = "the folder cannot be created";
        m_listener.Note("Failed: "
            + std::string(entry.Op == 'U'     ? "upload of \"" + entry.Local + "\" to \"" + entry.Remote
                    : entry.Op == 'D' ? "download of \"" + entry.Remote + "\" to \"" + entry.Local
                                      : "delete of \"" + entry.Remote)
            + "\"" + (why.empty() ? std::string() : " (" + why + ")") + "; it stays in the queue.");
        return EndEntryAs(erFailed);
    }
    EndEntryAs(erDone);
}

void TransferQueue::EndEntryAs(TEntryResult result)
{
    const QueueLines::Id id = std::exchange(m_running, 0);
    const QueueEntry entry = m_entry;
    switch (result) {
    case erDone:
        if (entry.Op != 'R' && !IsLocalFolderEntry(entry) && !(entry.Op == 'U' && IsFolder(entry.Local)))
            ++m_summary.Transferred;
        DropEntry(id);
        break;
    case erFailed:
        ++m_summary.Failed;
        if (const std::size_t now = m_lines.IndexOf(id); now != QueueLines::npos) {
            m_lines.MarkFailed(now);
            if (m_file)
                m_listener.LinesChanged({}, 0, true);
        }
        break;
    case erKept:
        m_summary.Interrupted = true;
        // Refused by a busy session: listing now would be refused as well.
        m_summary.ListAtEnd = !m_summary.KeptRefused;
        return FinishRun();
    case erCancelDrop:
        m_summary.Interrupted = true;
        m_summary.ListAtEnd = false;
        DropEntry(id);
        // Cancel at a delete question cancels the whole delete.
        if (entry.Op == 'R' && m_batch != 0)
            for (std::size_t rest; (rest = m_lines.Next(m_batch)) != QueueLines::npos;)
                DropEntry(m_lines.IdAt(rest));
        return FinishRun();
    case erCancelKeep:
        m_summary.Interrupted = true;
        m_summary.ListAtEnd = false;
        return FinishRun();
    }
    Continue();
}

void TransferQueue::FinishRun()
{
    if (!m_session)
        return;
    m_session = nullptr;
    m_running = 0;
    m_waiting = nullptr;
    // An "All" holds for the run of the action that was asked, not beyond.
    m_all = false;
    m_deleteAll = false;
    m_madeDirs.clear();
    m_putPaths.clear();
    m_listedSizes.clear();
    // The disk flush is left to the owner's timer.
    std::string error;
    if (m_file && !m_file->WriteOut(&error))
        m_listener.SaveFailed(error);
    const TransferRunSummary summary = m_summary;
    const auto finished = std::exchange(m_finished, nullptr);
    const std::weak_ptr<bool> alive = m_alive;
    m_listener.RunFinished(summary);
    if (finished && !alive.expired())
        finished(summary);
}

} // namespace app
