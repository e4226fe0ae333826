// TransferQueue: the queue's entries, its file (queue.txt), and running them
// on a RemoteSession: the run state, the per-run caches (folders made, paths
// put, sizes known from a listing), the progress and the answers (the
// overwrite question's "All", Stop).
//
// A run never waits: each entry is a chain of the session's operations, and
// the run goes on from their callbacks. A question is a state the run waits
// in: the listener's Ask shows it, and Answer (now or later) goes on. The
// listener hears everything the owner shows: lines added and finished, an
// entry started, its progress, its end, notes for the log, the end of the run.
// Lives on the thread that runs the session's event loop; no Qt.
#pragma once

#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/session/RemoteSession.hpp"

#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace app {

enum TQueueQuestion : std::uint8_t { qqOverwrite, qqDelete };

// How a run ended.
struct TransferRunSummary {
    std::size_t Transferred = 0; // files moved
    std::size_t Failed = 0;      // entries that failed and stay, marked
    bool Interrupted = false;    // it ended before its last entry: Stop, Cancel, the session gone
    bool KeptRefused = false;    // the last entry kept was refused by a busy session
    bool ListAtEnd = true;       // the remote folder may have changed: worth listing again
    bool Persisted = false;      // the queue's entries are kept in its file
};

class TransferListener {
public:
    virtual ~TransferListener() = default;
    // added: lines appended at the end; droppedAtHead: entries finished at
    // the head; rebuild: any other change (a failed mark, an entry finished
    // behind a failed one, a clear).
    virtual void LinesChanged(const std::vector<std::string>& added, std::size_t droppedAtHead, bool rebuild)
    {
        (void)added, (void)droppedAtHead, (void)rebuild;
    }
    // A file transfer starts; size -1 when unknown.
    virtual void EntryStarted(const QueueEntry& entry, std::int64_t size) { (void)entry, (void)size; }
    // count: the file's bytes so far; moved: those this transfer moved.
    virtual void Progress(std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs)
    {
        (void)count, (void)size, (void)moved, (void)elapsedMs;
    }
    // A file transfer ended (ok: the whole file is there).
    virtual void EntryEnded(bool ok, std::int64_t total, std::int64_t moved, std::int64_t elapsedMs)
    {
        (void)ok, (void)total, (void)moved, (void)elapsedMs;
    }
    virtual void Note(const std::string& line) { (void)line; }
    // The run waits until Answer is called (here or later).
    virtual void Ask(TQueueQuestion question, const std::string& text, TAnswers buttons) = 0;
    virtual void SaveFailed(const std::string& error) { (void)error; }
    virtual void RunFinished(const TransferRunSummary& summary) { (void)summary; }
};

class TransferQueue {
public:
    // file: where the entries are kept; none for a queue of scratch copies,
    // which is never written.
    explicit TransferQueue(TransferListener& listener, std::unique_ptr<QueueFile> file = nullptr);
    ~TransferQueue();
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    // ---- the entries
    // Reads the file (an unreadable one is false with *error, nothing loaded).
    bool Load(std::string* error);
    const std::vector<std::string>& Lines() const { return m_lines.Lines(); }
    bool Empty() const { return m_lines.Empty(); }
    bool Failed(std::size_t index) const { return m_lines.Failed(index); }
    QueueLines::Id IdAt(std::size_t index) const { return m_lines.IdAt(index); }
    // Entries a run of batch has before it (0: the whole queue).
    std::size_t Count(int batch) const { return m_lines.Count(batch); }
    // Appended and saved at once: new entries are on disk before anything is done with them.
    void Append(const std::vector<std::string>& lines, int batch = 0);
    // Drops everything but the entry in flight, and writes the file now.
    bool Clear(std::string* error);
    // Drops the head entry unless it is in flight, and saves.
    void DropHead();
    // A number no other action's batch has.
    int NewBatch() { return m_nextBatch++; }
    QueueFile* File() { return m_file.get(); }
    // Saves the lines; a failure goes to the listener.
    bool Save();
    // A remote file's size from a listing: a download without a local copy asks no SIZE.
    void NoteListedSize(const std::string& remote, std::int64_t size) { m_listedSizes[remote] = size; }

    // ---- the run
    // Runs the entries of batch (0: every entry) on sessions, from the loop:
    // up to one entry per session at once. The first session is the one
    // the owner browses with; the others are connected when the run needs
    // them. Entries whose order matters wait for those they depend on (a
    // folder is made before what goes into it, a folder's contents are
    // deleted before it, one target is never written twice at once).
    // answerAll: the overwrite question is not asked. finished, when given,
    // is called after the listener's RunFinished. False when a run is in
    // progress (the entries wait for it or a later one).
    bool Start(const std::vector<RemoteSession*>& sessions, int batch, bool answerAll,
        std::function<void(const TransferRunSummary&)> finished = {});
    bool Start(RemoteSession& session, int batch, bool answerAll,
        std::function<void(const TransferRunSummary&)> finished = {})
    {
        return Start(std::vector<RemoteSession*> { &session }, batch, answerAll, std::move(finished));
    }
    bool Running() const { return !m_workers.empty(); }
    // The transfer type of the runs to come.
    void SetBinary(bool binary) { m_binary = binary; }
    // Breaks off the transfers in flight and ends the run; their entries stay.
    void Stop();
    // A new action's run is not ended by an earlier Stop.
    void ClearStop() { m_stop = false; }
    bool StopRequested() const { return m_stop; }
    // The answer to the question asked; ignored when none waits.
    void Answer(TAnswer answer);
    bool Asking() const { return m_asking; }
    // "All" was answered in this run (or it started with answerAll).
    bool AnswerAll() const { return m_all; }
    // The entries this run has had, and those still before it.
    int Total() const { return m_total; }
    int Remaining() const { return m_remaining; }
    const TransferRunSummary& LastRun() const { return m_summary; }
    // The entry each session of the run works on (0: none), by session.
    std::vector<QueueLines::Id> InFlight() const;
    // The bytes the run's transfers have moved, the bytes its files hold
    // (-1 when a size is unknown), and the time since it began.
    std::int64_t RunBytes() const;
    std::int64_t RunSize() const { return m_runSize; }
    std::int64_t RunElapsedMs() const;

private:
    enum TEntryResult : std::uint8_t { erDone, erFailed, erKept, erCancelDrop, erCancelKeep };
    struct Worker {
        RemoteSession* Session = nullptr;
        QueueLines::Id Running = 0; // the entry in flight, 0 when idle
        QueueEntry Entry;
        std::uint32_t Generation = 0; // the session's, when the entry started
        bool Retired = false;         // its session is gone: it takes nothing more in this run
        bool Connecting = false;
        // The file transfer in flight.
        std::int64_t Size = -1, Offset = 0, Count = 0;
        std::chrono::steady_clock::time_point Started;
    };
    struct Question {
        std::size_t Worker;
        TQueueQuestion Kind;
        std::string Text;
        TAnswers Buttons;
        std::function<void(TAnswer)> Then;
    };
    // Starts entries on the idle sessions until each waits for its session
    // or a question; the chains that end from the loop come back here.
    void Continue();
    bool Dispatch();
    // The next entry worker w may start, npos when none may start now.
    std::size_t NextFor(std::size_t w) const;
    void RunEntry(std::size_t w);
    void Upload(std::size_t w);
    void Download(std::size_t w);
    void Remove(std::size_t w);
    void Transfer(std::size_t w, bool get, std::int64_t offset);
    // A file transfer's end: the listener hears it, then the entry ends.
    void EndTransfer(std::size_t w, bool ok, const SessionResult* result);
    std::int64_t ElapsedMs(const Worker& worker) const;
    // The session the entry started on closed or was replaced.
    bool SessionEnded(const Worker& worker) const;
    void Ask(std::size_t w, TQueueQuestion question, const std::string& text, TAnswers buttons,
        std::function<void(TAnswer)> then);
    void AskNext();
    // The entry in flight ended: ok, or the session's result when it failed.
    void EndEntry(std::size_t w, bool ok, const SessionResult* failure);
    void EndEntryAs(std::size_t w, TEntryResult result);
    void FinishRun();
    void DropEntry(QueueLines::Id id);
    SessionDone Guarded(std::function<void(const SessionResult&)> then);

    TransferListener& m_listener;
    std::unique_ptr<QueueFile> m_file;
    QueueLines m_lines;
    int m_nextBatch = 1;
    std::unordered_map<std::string, std::int64_t> m_listedSizes; // remote path -> listed size

    // The run in progress; no workers between runs.
    std::vector<Worker> m_workers;
    int m_batch = 0;
    bool m_all = false, m_deleteAll = false, m_stop = false, m_binary = true;
    bool m_ending = false; // a Cancel or a lost session: nothing new starts
    std::function<void(const TransferRunSummary&)> m_finished;
    TransferRunSummary m_summary;
    int m_total = 0, m_remaining = 0;
    std::set<std::string> m_madeDirs, m_putPaths;
    std::deque<Question> m_questions; // asked one at a time, in order
    std::function<void(TAnswer)> m_answer; // the open question's continuation
    bool m_asking = false;
    std::size_t m_current = 0; // the session whose question is open
    bool m_stepping = false, m_again = false;
    std::int64_t m_runBytes = 0; // moved by the run's finished transfers
    std::int64_t m_runSize = 0;  // the files' sizes, -1 when one is unknown
    void AddToRunSize(const std::string& line);
    std::chrono::steady_clock::time_point m_runStarted;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace app
