// The transfer queue without a window: the entry format, the builders that
// turn local folders and walked remote rows into entries, and the queue file.
// No thread affinity; the builders run on the caller's thread and call back
// only through the pump they are given.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Entry markers: operation letter, ':', kind, ';'.
inline constexpr const char* kUploadFile = "U:F;";   // Put local to remote
inline constexpr const char* kUploadDir = "U:D;";    // Mkd remote
inline constexpr const char* kDownloadFile = "D:F;"; // Get remote to local
inline constexpr const char* kDownloadDir = "D:D;";  // create local with its parents
inline constexpr const char* kDeleteFile = "R:F;";   // Dele remote
inline constexpr const char* kDeleteDir = "R:D;";    // Rmd remote

// One queue line taken apart. Remote has every '\' turned into '/'.
struct QueueEntry {
    char Op = 0;        // 0 for an empty line
    std::string Kind;   // from the third character up to the line's first ';'
    std::string Local;  // from the fifth character up to the next ';'
    std::string Remote; // the rest
};

// Splits a line by the entry rule. An 'R' entry has no local part: Local is
// empty and Remote is everything from the fifth character, ';' included.
// Short or malformed lines give empty parts, never an error.
QueueEntry SplitQueueLine(std::string_view line);

// Appends the upload entries for the local file or folder `local` (relative
// to cwd, or absolute) to be stored under the name `remote`. Every path
// written is absolute on both sides, so no entry depends on where the process
// or the server stands when it runs:
//  - a file (or a path that does not exist): "U:F;" absolute local ";" currentRemoteDir/remote
//  - a folder: "U:D;" absolute local ";" currentRemoteDir/remote first, then
//    for every entry of it not beginning with '.', in the order the folder is
//    read: a subfolder as "U:D;" absolute local/name ";"
//    currentRemoteDir/remote/name followed by its own entries, a file as
//    "U:F;" absolute local/name ";" currentRemoteDir/remote/name.
// A symbolic link to a folder inside the walk gets its absolute "U:D;" entry
// only and is not followed, so a link loop cannot make the walk endless.
// Skipped with a line in *notes (when given): folders that cannot be read,
// broken links, devices, pipes and sockets, and names the queue cannot carry
// (a ';' in the local path, a line break, a '\' that would turn into '/' on
// the server). pump (may be empty) is called after each file entry so the
// window can handle its events.
void BuildUploadEntries(const std::string& local, const std::string& remote, const std::string& cwd,
    const std::string& currentRemoteDir, std::vector<std::string>& out, std::vector<std::string>* notes,
    const std::function<void()>& pump);

// One row of a recursive remote walk: a bare name for a selected file, or a
// path beginning with '/' for the entries of a selected folder.
struct WalkedRow {
    std::string Caption;
    bool Folder = false;
};

// Appends "D:D;" (folder) or "D:F;" (file) + base + caption + ";" +
// JoinRemote(currentRemoteDir, caption) for each row, in order. base is the local
// target folder ending in '/'. A row whose local path would not stay inside
// base (a ".." element, a NUL, an empty caption) or that the queue cannot
// carry (';' in the local path, a line break) is left out with a line in *notes.
void BuildDownloadEntries(const std::string& base, const std::string& currentRemoteDir,
    const std::vector<WalkedRow>& rows, std::vector<std::string>& out, std::vector<std::string>* notes);

// Appends "R:F;" / "R:D;" + remote path for rows walked in pre-order, last
// row first, so every folder's contents come before the folder. A bare
// caption (a selected file) is joined to currentRemoteDir, so the entry
// deletes that file whatever folder is current when it runs. A caption with
// a line break or NUL is left out with a line in *notes.
void BuildDeleteEntries(const std::string& currentRemoteDir, const std::vector<WalkedRow>& rows,
    std::vector<std::string>& out, std::vector<std::string>* notes = nullptr);

// folder + "/" + name, without doubling a slash that folder ends in.
std::string JoinRemote(const std::string& folder, const std::string& name);

// The queue's lines and what this process knows of each: an id that stays
// with the line while others come and go, the action (batch) that appended
// it, and whether the last run that tried it failed. Only the lines reach
// the queue file; marks and batches live as long as the process, so a failed
// entry is kept and a later run tries it again.
// GUI thread only, like the window that owns it.
class QueueLines {
public:
    using Id = std::uint64_t;
    static constexpr std::size_t npos = std::size_t(-1);

    const std::vector<std::string>& Lines() const { return m_lines; }
    std::size_t Size() const { return m_lines.size(); }
    bool Empty() const { return m_lines.empty(); }

    // Replaces everything (a loaded queue file): no marks, batch 0.
    void Assign(std::vector<std::string> lines);
    // batch 0 is the queue at large; an action's own batch is any other number.
    void Append(const std::vector<std::string>& lines, int batch = 0);

    // The entry a run of batch performs next: the first one not marked
    // failed and, unless batch is 0, appended for batch. npos when none.
    std::size_t Next(int batch) const;
    // How many entries a run of batch still has before it.
    std::size_t Count(int batch) const;

    Id IdAt(std::size_t i) const { return m_marks[i].id; }
    // The entry at i belongs to a run of batch (0: every entry).
    bool InBatch(std::size_t i, int batch) const { return batch == 0 || m_marks[i].batch == batch; }
    // npos when the entry is gone (finished or cleared meanwhile).
    std::size_t IndexOf(Id id) const;
    bool Failed(std::size_t i) const { return m_marks[i].failed; }
    std::size_t FailedCount() const { return m_failed; }
    void MarkFailed(std::size_t i);
    // A new run of batch tries its failed entries again.
    void ClearFailed(int batch);

    void Remove(std::size_t i);
    // Keeps only the entry with id (the one in flight), or nothing at all.
    void KeepOnly(Id id);
    // Keeps only the entries with these ids (those in flight).
    void KeepOnly(const std::vector<Id>& ids);
    void Clear();

private:
    struct Mark {
        Id id;
        int batch;
        bool failed;
    };
    std::vector<std::string> m_lines;
    std::vector<Mark> m_marks;
    std::size_t m_failed = 0; // marks set: a run over a long queue asks for counts per entry
    Id m_nextId = 1;
};

// A size as a person reads it: bytes under 1 KiB, else KiB, MiB or GiB with
// one decimal ("900 bytes", "1.5 KiB", "300.0 MiB"; "900 bayt" in Turkish).
std::string HumanSize(std::int64_t bytes, bool english = true);

// What status panel 1 shows while a transfer runs: count of size (when
// known), the speed of the bytes moved in elapsedMs and the time left
// ("88.0 MiB of 300.0 MiB, 95.2 MiB/s, 0:02 left").
std::string ProgressFigures(
    std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs, bool english = true);

// What status panel 1 shows when a transfer has ended: the file's size and
// the average speed of the bytes moved in elapsedMs ("300.0 MiB, 95.2 MiB/s
// average"); the speed is left out when nothing moved or no time passed.
std::string FinalFigures(std::int64_t total, std::int64_t moved, std::int64_t elapsedMs, bool english = true);

// The name an unreadable file is moved to: path + ".unreadable-" + the local
// date and time as YYYYMMDD-HHMMSS.
std::string SetAsideName(const std::string& path, std::time_t when);

// True when path, after "." and ".." are resolved lexically (no file system
// access), is folder or lies below it. A relative path is never inside an
// absolute folder, nor the other way round.
bool StaysInside(const std::string& folder, const std::string& path);

// A change-mode text: three or four octal digits ("755", "0644").
bool IsValidModeText(std::string_view text);

// The queue file: one entry per line, CR LF line ends, nothing else.
//
// Every save replaces the file atomically (a temporary file beside it,
// renamed over it), so a crash or a kill at any moment leaves the old or the
// new queue, never a cut or empty one.
//
// Durability: a save that adds or changes entries is flushed to disk (file
// and folder) before Save returns, because a lost entry is lost work. A save
// that only drops entries from the head of the last saved queue (a finished
// entry, a cleared queue) is renamed without a flush, so a run of 1,000 small
// files does not cost 1,000 disk flushes. Such a save is flushed by the first
// save at least a second after the last flush, or by Flush(): the owner calls
// Flush() while FlushPending() from its one-second timer, and when a run ends.
// After a power cut the queue is then at most one second old: entries
// finished in that second run again; none is lost. (This relies on the file
// system writing a file's data before a rename over another file, as ext4,
// xfs and btrfs do by default; a crash of the program needs no such help.)
//
// Not thread-safe; one object per file and process.
class QueueFile {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // clock is for tests; empty means std::chrono::steady_clock::now.
    explicit QueueFile(std::string path, Clock clock = {});

    const std::string& Path() const { return m_path; }

    // Reads the queue. A missing file is an empty queue (true); an unreadable
    // one is false with *error, and lines is left empty.
    bool Load(std::vector<std::string>& lines, std::string* error = nullptr);

    // Replaces the file with lines. A line holding a line break is refused
    // (false, file unchanged), as it would come back as two entries. Added
    // or changed entries reach the disk before Save returns. When lines only
    // drop finished entries (from the head, or behind failed ones kept at
    // the head), the write may wait for a quarter
    // of a second (up to the next Save, WriteOut or Flush) and the disk flush
    // for the next Flush: a power cut may bring finished entries back, never
    // lose one.
    bool Save(const std::vector<std::string>& lines, std::string* error = nullptr);

    // Writes a waiting save, without waiting for the disk.
    bool WriteOut(std::string* error = nullptr);

    // Writes a waiting save and makes the last save durable now; true at once
    // when nothing is pending.
    bool Flush(std::string* error = nullptr);

    // True while a save has not been flushed.
    bool FlushPending() const { return m_pending || m_hasUnwritten; }

private:
    std::chrono::steady_clock::time_point Now() const;
    bool Write(const std::vector<std::string>& lines, bool flush, std::string* error);

    std::string m_path;
    Clock m_clock;
    std::vector<std::string> m_saved; // what the file holds
    std::vector<std::string> m_unwritten; // a waiting save (m_hasUnwritten)
    bool m_hasUnwritten = false;
    bool m_known = false;             // m_saved reflects the file (after Load or Save)
    bool m_pending = false;
    std::chrono::steady_clock::time_point m_lastFlush {};
    std::chrono::steady_clock::time_point m_lastWrite {};
};

} // namespace app
