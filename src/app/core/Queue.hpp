// The transfer queue without a window: the entry format, the builders that
// turn local folders and walked remote rows into entries, and the queue file.
// No thread affinity; the builders run on the caller's thread and call back
// only through the pump they are given.
#pragma once

#include <chrono>
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
// to cwd, or absolute) to be stored under the name `remote`:
//  - a file (or a path that does not exist): "U:F;" absolute local ";" currentRemoteDir/remote
//  - a folder: "U:D;" local/ ";" remote/ first, then for every entry of it
//    not beginning with '.', in the order the folder is read: a subfolder as
//    "U:D;" absolute local/name ";" currentRemoteDir/remote/name followed by
//    its own entries (with local/name and remote/name), a file as
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
// currentRemoteDir + "/" + caption for each row, in order. base is the local
// target folder ending in '/'. A row whose local path would not stay inside
// base (a ".." element, a NUL, an empty caption) or that the queue cannot
// carry (';' in the local path, a line break) is left out with a line in *notes.
void BuildDownloadEntries(const std::string& base, const std::string& currentRemoteDir,
    const std::vector<WalkedRow>& rows, std::vector<std::string>& out, std::vector<std::string>* notes);

// Appends "R:F;" / "R:D;" + caption for rows walked in pre-order, last row
// first, so every folder's contents come before the folder. A caption with a
// line break or NUL is left out with a line in *notes.
void BuildDeleteEntries(const std::vector<WalkedRow>& rows, std::vector<std::string>& out,
    std::vector<std::string>* notes = nullptr);

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
    // (false, file unchanged), as it would come back as two entries. When
    // lines only drop finished entries from the head, the write may wait for
    // a quarter of a second (up to the next Save or Flush).
    bool Save(const std::vector<std::string>& lines, std::string* error = nullptr);

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
