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

// The path an entry writes or removes: the local one for a download.
const std::string& Target(const QueueEntry& e)
{
    return e.Op == 'D' ? e.Local : e.Remote;
}

bool MakesFolder(const QueueEntry& e)
{
    return (e.Op == 'U' && e.Kind == "D") || IsLocalFolderEntry(e);
}

bool Inside(const std::string& folder, const std::string& path)
{
    return !folder.empty() && path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0
        && (folder.back() == '/' || path[folder.size()] == '/');
}

// later must wait while earlier is unfinished: what goes into a folder
// waits for the folder, a folder's removal for its contents, and one target
// is never written by two sessions at once.
bool Waits(const QueueEntry& earlier, const QueueEntry& later)
{
    const std::string &a = Target(earlier), &b = Target(later);
    if (a == b)
        return true;
    if (earlier.Op == later.Op && MakesFolder(earlier) && Inside(a, b))
        return true;
    return later.Op == 'R' && later.Kind == "D" && earlier.Op == 'R' && Inside(b, a);
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
    if (!m_workers.empty() && (m_batch == 0 || batch == m_batch))
        for (const std::string& line : lines)
            AddToRunSize(line);
    if (m_file)
        m_listener.LinesChanged(lines, 0, false);
}

bool TransferQueue::Clear(std::string* error)
{
    // The entries in flight stay; the rest goes.
    std::vector<QueueLines::Id> running;
    for (const Worker& w : m_workers)
        if (w.Running != 0)
            running.push_back(w.Running);
    if (!running.empty())
        m_lines.KeepOnly(running);
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
    const auto inFlight = InFlight();
    if (!m_lines.Empty() && std::find(inFlight.begin(), inFlight.end(), m_lines.IdAt(0)) == inFlight.end())
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

bool TransferQueue::Start(const std::vector<RemoteSession*>& sessions, int batch, bool answerAll,
    std::function<void(const TransferRunSummary&)> finished)
{
    if (!m_workers.empty() || sessions.empty() || !sessions.front())
        return false;
    for (RemoteSession* s : sessions) {
        Worker w;
        w.Session = s;
        m_workers.push_back(w);
    }
    m_batch = batch;
    m_all = answerAll;
    // All at a delete question answers delete questions only: an All given
    // to overwrite files never deletes anything unasked.
    m_deleteAll = false;
    m_ending = false;
    m_finished = std::move(finished);
    m_summary = {};
    m_summary.Persisted = m_file != nullptr;
    m_runBytes = 0;
    m_runStarted = std::chrono::steady_clock::now();
    // Entries that failed in an earlier run are tried again.
    if (m_lines.FailedCount() > 0) {
        m_lines.ClearFailed(batch);
        if (m_file)
            m_listener.LinesChanged({}, 0, true);
    }
    m_total = int(m_lines.Count(batch));
    m_remaining = m_total;
    m_runSize = 0;
    for (std::size_t i = 0; i < m_lines.Size(); ++i)
        if (m_lines.InBatch(i, batch))
            AddToRunSize(m_lines.Lines()[i]);
    Continue();
    return true;
}

void TransferQueue::AddToRunSize(const std::string& line)
{
    // For the time left with several connections: an upload's size is the
    // local file's, a download's the listing's.
    const QueueEntry e = SplitQueueLine(line);
    if (m_runSize < 0 || (e.Op != 'U' && e.Op != 'D') || e.Kind == "D")
        return;
    std::int64_t size = -1;
    if (e.Op == 'U')
        size = LocalSize(e.Local);
    else if (const auto listed = m_listedSizes.find(e.Remote); listed != m_listedSizes.end())
        size = listed->second;
    m_runSize = size < 0 ? -1 : m_runSize + size;
}

std::vector<QueueLines::Id> TransferQueue::InFlight() const
{
    std::vector<QueueLines::Id> ids;
    for (const Worker& w : m_workers)
        ids.push_back(w.Running);
    return ids;
}

std::int64_t TransferQueue::RunBytes() const
{
    std::int64_t bytes = m_runBytes;
    for (const Worker& w : m_workers)
        if (w.Running != 0)
            bytes += std::max<std::int64_t>(w.Count - w.Offset, 0);
    return bytes;
}

std::int64_t TransferQueue::RunElapsedMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_runStarted)
        .count();
}

void TransferQueue::Stop()
{
    m_stop = true;
    for (Worker& w : m_workers)
        if (w.Running != 0)
            w.Session->Abort();
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
        if (Dispatch())
            break;
    } while (m_again);
    m_stepping = false;
}

std::size_t TransferQueue::NextFor(std::size_t w) const
{
    // What is in flight, and what waits before a candidate, may hold it back.
    std::vector<QueueEntry> before;
    for (const Worker& other : m_workers)
        if (other.Running != 0)
            before.push_back(other.Entry);
    const bool connected = m_workers[w].Session->IsConnected();
    const std::size_t end = m_lines.Size();
    // A look ahead of a few entries finds work for the other sessions
    // without scanning a long queue per entry.
    for (std::size_t i = 0, looked = 0; i < end && looked < 64; ++i) {
        if (m_lines.Failed(i) || !m_lines.InBatch(i, m_batch))
            continue;
        const QueueLines::Id id = m_lines.IdAt(i);
        bool running = false;
        for (const Worker& other : m_workers)
            running = running || other.Running == id;
        if (running)
            continue;
        ++looked;
        const QueueEntry e = SplitQueueLine(m_lines.Lines()[i]);
        bool waits = false;
        for (const QueueEntry& earlier : before)
            waits = waits || Waits(earlier, e);
        // A session still to connect takes no local folder: the first one does.
        if (!waits && (connected || !IsLocalFolderEntry(e) || w == 0))
            return i;
        before.push_back(e);
        // With one session the order is the queue's, as it always was.
        if (m_workers.size() == 1)
            return QueueLines::npos;
    }
    return QueueLines::npos;
}

bool TransferQueue::Dispatch()
{
    if (m_workers.empty())
        return true;
    bool busy = false;
    for (std::size_t w = 0; w < m_workers.size(); ++w) {
        Worker& worker = m_workers[w];
        if (worker.Running != 0 || worker.Connecting) {
            busy = true;
            continue;
        }
        if (worker.Retired || m_ending || m_stop)
            continue;
        std::size_t at = NextFor(w);
        QueueEntry entry;
        // Lines that are no entries go as they come up.
        for (; at != QueueLines::npos; at = NextFor(w)) {
            const std::string& line = m_lines.Lines()[at];
            entry = SplitQueueLine(line);
            const bool blank = line.find_first_not_of(" \t\r\n") == std::string::npos;
            if (!blank && (entry.Op == 'U' || entry.Op == 'D' || entry.Op == 'R'))
                break;
            DropEntry(m_lines.IdAt(at));
        }
        if (at == QueueLines::npos)
            continue;
        if (!worker.Session->IsConnected() && !IsLocalFolderEntry(entry)) {
            // The first session is the user's: without it the run ends, the
            // entries stay. Another one logs in like it first.
            if (w == 0) {
                worker.Retired = true;
                m_ending = true;
                m_summary.Interrupted = true;
                continue;
            }
            worker.Connecting = true;
            busy = true;
            worker.Session->Connect(Guarded([this, w](const SessionResult& r) {
                Worker& c = m_workers[w];
                c.Connecting = false;
                if (!r.Ok || !c.Session->IsConnected()) {
                    c.Retired = true;
                    m_listener.Note("Connection " + std::to_string(w + 1) + " could not log in"
                        + (r.Message.empty() ? std::string() : " (" + r.Message + ")") + ".");
                }
                Continue();
            }));
            continue;
        }
        m_remaining = int(m_lines.Count(m_batch));
        // Entries appended during the run count too.
        m_total = std::max(m_total, m_remaining);
        worker.Running = m_lines.IdAt(at);
        worker.Entry = entry;
        worker.Generation = worker.Session->Generation();
        worker.Count = worker.Offset = 0;
        busy = true;
        RunEntry(w);
        // The entry may have ended at once and changed the workers.
        if (m_workers.empty())
            return true;
    }
    if (busy || m_asking)
        return false;
    // Nothing in flight and nothing that may start: the run is over, and
    // interrupted when entries are left (kept by lost sessions, or stopped).
    m_summary.Interrupted = m_summary.Interrupted || m_lines.Next(m_batch) != QueueLines::npos;
    FinishRun();
    return true;
}

SessionDone TransferQueue::Guarded(std::function<void(const SessionResult&)> then)
{
    // The queue may be gone (the window closed) when a session answers.
    return [alive = std::weak_ptr<bool>(m_alive), then = std::move(then)](const SessionResult& r) {
        if (const auto a = alive.lock(); a && *a)
            then(r);
    };
}

void TransferQueue::RunEntry(std::size_t w)
{
    const char op = m_workers[w].Entry.Op;
    if (op == 'U')
        Upload(w);
    else if (op == 'D')
        Download(w);
    else
        Remove(w);
}

void TransferQueue::Upload(std::size_t w)
{
    Worker& worker = m_workers[w];
    const QueueEntry entry = worker.Entry;
    if (IsFolder(entry.Local)) {
        // A folder that cannot be made (it may well exist) is no failure of
        // its own: the files that go into it say whether it is there. Only
        // absolute paths: a relative one depends on where the server stands.
        worker.Session->MakeFolder(entry.Remote, Guarded([this, w, remote = entry.Remote](const SessionResult& r) {
            if (r.Refused)
                return EndEntry(w, false, &r);
            if (r.Ok && !remote.empty() && remote.front() == '/')
                m_madeDirs.insert(FolderKey(remote));
            EndEntry(w, true, nullptr);
        }));
        return;
    }
    worker.Size = LocalSize(entry.Local);
    m_listener.EntryStarted(entry, worker.Size);
    // A folder this run made holds only what this run put there: no need to
    // ask the server whether the file exists.
    const bool fresh
        = m_madeDirs.count(FolderKey(ParentPath(entry.Remote))) != 0 && m_putPaths.insert(entry.Remote).second;
    if (m_all || fresh)
        return Transfer(w, false, 0);
    worker.Session->Size(entry.Remote, m_binary, Guarded([this, w, entry](const SessionResult& r) {
        // A session gone meanwhile answers nothing about the file: no question, the entry stays.
        if (r.Refused || SessionEnded(m_workers[w]))
            return EndTransfer(w, false, &r);
        if (!r.Ok)
            return Transfer(w, false, 0); // not there yet
        const std::int64_t sent = r.Value;
        Ask(w, qqOverwrite, kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll },
            [this, w, entry, sent](TAnswer answer) {
                switch (answer) {
                case ansAll:
                case ansOK:
                    return Transfer(w, false, 0);
                case ansIgnore: {
                    // The server's file is the part already sent: go on from its end.
                    const std::int64_t local = LocalSize(entry.Local);
                    if (local >= 0 && sent >= local) {
                        m_listener.Note(
                            "\"" + entry.Remote + "\" is already complete (" + std::to_string(sent) + " bytes).");
                        return EndTransfer(w, true, nullptr);
                    }
                    return Transfer(w, false, sent);
                }
                case ansCancel:
                    return EndEntryAs(w, erCancelDrop);
                }
            });
    }));
}

void TransferQueue::Download(std::size_t w)
{
    Worker& worker = m_workers[w];
    const QueueEntry entry = worker.Entry;
    if (entry.Kind == "D") {
        std::string error;
        if (entry.Local.empty() || !MakeDirs(entry.Local, 0777, &error)) {
            m_listener.Note(entry.Local.empty() ? std::string("Unable to create directory") : error);
            return EndEntry(w, false, nullptr);
        }
        return EndEntry(w, true, nullptr);
    }
    const std::int64_t localSize = LocalSize(entry.Local);
    const auto go = [this, w, entry, localSize](std::int64_t remoteSize) {
        m_workers[w].Size = remoteSize;
        m_listener.EntryStarted(entry, remoteSize);
        if (m_all || localSize < 0)
            return Transfer(w, true, 0);
        Ask(w, qqOverwrite, kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll },
            [this, w, entry, localSize, remoteSize](TAnswer answer) {
                switch (answer) {
                case ansAll:
                case ansOK:
                    return Transfer(w, true, 0);
                case ansIgnore:
                    // A REST at or past the end would fail or append garbage: the file is whole.
                    if (remoteSize >= 0 && localSize >= remoteSize) {
                        m_listener.Note("\"" + entry.Local + "\" is already complete (" + std::to_string(localSize)
                            + " bytes).");
                        return EndTransfer(w, true, nullptr);
                    }
                    return Transfer(w, true, localSize);
                case ansCancel:
                    return EndEntryAs(w, erCancelKeep); // the entry stays, nothing is listed
                }
            });
    };
    // Without a local file the listing's size is enough for the progress;
    // a resume needs the server's own.
    if (localSize < 0) {
        if (const auto listed = m_listedSizes.find(entry.Remote); listed != m_listedSizes.end())
            return go(listed->second);
    }
    worker.Session->Size(entry.Remote, m_binary, Guarded([this, w, go](const SessionResult& r) {
        if (r.Refused || SessionEnded(m_workers[w]))
            return EndEntry(w, false, &r);
        go(r.Ok ? r.Value : -1);
    }));
}

void TransferQueue::Remove(std::size_t w)
{
    const QueueEntry entry = m_workers[w].Entry;
    const auto remove = [this, w, entry] {
        const auto done = Guarded([this, w](const SessionResult& r) { EndEntry(w, r.Ok, &r); });
        if (entry.Kind == "D")
            m_workers[w].Session->RemoveFolder(entry.Remote, done);
        else
            m_workers[w].Session->Delete(entry.Remote, done);
    };
    if (m_deleteAll)
        return remove();
    Ask(w, qqDelete,
        std::string(entry.Kind == "D" ? "Press OK to Delete the directory " : "Press OK to Delete the file ") + "\""
            + entry.Remote + "\", All to delete all you have selected",
        { ansOK, ansCancel, ansAll }, [this, w, remove](TAnswer answer) {
            if (answer == ansCancel)
                return EndEntryAs(w, erCancelDrop);
            if (answer == ansAll)
                m_deleteAll = true;
            remove();
        });
}

void TransferQueue::Transfer(std::size_t w, bool get, std::int64_t offset)
{
    // A Stop while SIZE or a question ran: the transfer does not start.
    if (m_stop)
        return EndTransfer(w, false, nullptr);
    Worker& worker = m_workers[w];
    worker.Offset = worker.Count = offset;
    worker.Started = std::chrono::steady_clock::now();
    TransferOptions options;
    options.Binary = m_binary;
    options.Offset = offset;
    options.Progress = [this, w, alive = std::weak_ptr<bool>(m_alive)](std::int64_t count) {
        if (alive.expired() || w >= m_workers.size())
            return;
        Worker& moving = m_workers[w];
        moving.Count = count;
        m_listener.Progress(count, moving.Size, count - moving.Offset, ElapsedMs(moving));
    };
    const auto done = Guarded([this, w](const SessionResult& r) { EndTransfer(w, r.Ok, &r); });
    if (get)
        worker.Session->Get(worker.Entry.Remote, worker.Entry.Local, options, done);
    else
        worker.Session->Put(worker.Entry.Local, worker.Entry.Remote, options, done);
}

std::int64_t TransferQueue::ElapsedMs(const Worker& worker) const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - worker.Started)
        .count();
}

void TransferQueue::EndTransfer(std::size_t w, bool ok, const SessionResult* result)
{
    Worker& worker = m_workers[w];
    const std::int64_t moved = result && result->Value >= 0 ? result->Value : 0;
    m_runBytes += std::max<std::int64_t>(moved - worker.Offset, 0);
    worker.Count = worker.Offset = 0;
    m_listener.EntryEnded(ok, worker.Size >= 0 ? worker.Size : moved, moved, ElapsedMs(worker));
    EndEntry(w, ok, result && !result->Ok ? result : nullptr);
}

bool TransferQueue::SessionEnded(const Worker& worker) const
{
    return worker.Session->Generation() != worker.Generation || !worker.Session->IsConnected();
}

void TransferQueue::Ask(std::size_t w, TQueueQuestion question, const std::string& text, TAnswers buttons,
    std::function<void(TAnswer)> then)
{
    // One question at a time; the other sessions go on with what needs none.
    m_questions.push_back({ w, question, text, buttons, std::move(then) });
    if (!m_asking)
        AskNext();
}

void TransferQueue::AskNext()
{
    while (!m_asking && !m_questions.empty()) {
        Question q = std::move(m_questions.front());
        m_questions.pop_front();
        const std::size_t w = q.Worker;
        // A Cancel or a lost session meanwhile: the entry stays as it was.
        if (m_ending || m_stop || SessionEnded(m_workers[w])) {
            EndEntry(w, false, nullptr);
            continue;
        }
        // An All given meanwhile answers the questions still waiting.
        if ((q.Kind == qqOverwrite && m_all) || (q.Kind == qqDelete && m_deleteAll)) {
            q.Then(ansAll);
            continue;
        }
        m_asking = true;
        m_answer = [this, kind = q.Kind, then = std::move(q.Then)](TAnswer answer) {
            // All answers this question and every later one of the same run.
            if (kind == qqOverwrite && answer == ansAll)
                m_all = true;
            then(answer);
        };
        m_current = w;
        m_listener.Ask(q.Kind, q.Text, q.Buttons);
    }
}

void TransferQueue::Answer(TAnswer answer)
{
    if (!m_asking)
        return;
    const auto then = std::exchange(m_answer, nullptr);
    const std::size_t w = m_current;
    m_asking = false;
    // The session ended while the question was open: nothing of the entry
    // runs on another one.
    if (SessionEnded(m_workers[w]) && answer != ansCancel)
        EndEntry(w, false, nullptr);
    else
        then(answer);
    AskNext();
}

void TransferQueue::EndEntry(std::size_t w, bool ok, const SessionResult* failure)
{
    const QueueEntry entry = m_workers[w].Entry;
    // An entry is finished only by its own session's answer: a refusal of a
    // busy session, a session closed or replaced meanwhile, or a stop that
    // broke it off keep it in the queue as it was.
    const bool refused = failure && failure->Refused;
    const bool sessionGone = SessionEnded(m_workers[w]) && !IsLocalFolderEntry(entry);
    if (refused || sessionGone || (!ok && (m_stop || m_ending))) {
        m_summary.KeptRefused = refused;
        m_listener.Note("\"" + (entry.Op == 'R' ? entry.Remote : entry.Local) + "\" stays in the queue: "
            + (refused            ? "the FTP component was busy."
                    : sessionGone ? "the session ended before it was done."
                                  : "it was stopped."));
        return EndEntryAs(w, erKept);
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
        return EndEntryAs(w, erFailed);
    }
    EndEntryAs(w, erDone);
}

void TransferQueue::EndEntryAs(std::size_t w, TEntryResult result)
{
    Worker& worker = m_workers[w];
    const QueueLines::Id id = std::exchange(worker.Running, 0);
    const QueueEntry entry = worker.Entry;
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
        // The entry is back in the queue: another session may take it. The
        // user's own session ends the run, as Stop does.
        worker.Retired = true;
        if (w == 0 || m_stop) {
            m_ending = true;
            m_summary.Interrupted = true;
            // Refused by a busy session: listing now would be refused as well.
            m_summary.ListAtEnd = !m_summary.KeptRefused;
        }
        break;
    case erCancelDrop:
        m_summary.Interrupted = true;
        m_summary.ListAtEnd = false;
        m_ending = true;
        DropEntry(id);
        // Cancel at a delete question cancels the whole delete.
        if (entry.Op == 'R' && m_batch != 0) {
            const auto inFlight = InFlight();
            for (std::size_t i = m_lines.Size(); i-- > 0;)
                if (m_lines.InBatch(i, m_batch)
                    && std::find(inFlight.begin(), inFlight.end(), m_lines.IdAt(i)) == inFlight.end())
                    DropEntry(m_lines.IdAt(i));
        }
        break;
    case erCancelKeep:
        m_summary.Interrupted = true;
        m_summary.ListAtEnd = false;
        m_ending = true;
        break;
    }
    Continue();
}

void TransferQueue::FinishRun()
{
    if (m_workers.empty())
        return;
    m_workers.clear();
    m_questions.clear();
    m_answer = nullptr;
    m_asking = false;
    // An "All" holds for the run of the action that was asked, not beyond.
    m_all = false;
    m_deleteAll = false;
    m_ending = false;
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
