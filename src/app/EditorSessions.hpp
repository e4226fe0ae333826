// EditorSessions: the files open in editor windows. It owns one session per
// file (its editor window, the remote path fixed when editing began, the
// local copy and what it looked like when last seen, the batch its uploads
// run in) and the timer that watches them: each save queues an upload of the
// saved copy, run as a batch of its own once nothing else runs. The queue is
// the window's: the sessions reach it through the Uploads calls. Owned by the
// main window; lives on the GUI thread.
#pragma once

#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace app {

// What tells a saved file from an untouched one: a save writes a new file
// (new inode) or at least a new time or size.
struct FileStamp {
    bool Exists = false; // a plain file (not a link)
    ino_t Inode = 0;
    std::int64_t Size = 0;
    std::int64_t ChangedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);
std::array<std::int64_t, 4> StampKey(const std::string& path);

class EditorSessions {
public:
    // How the sessions use the window's transfer queue.
    struct Uploads {
        // Appends a queue line to batch.
        std::function<void(const std::string& line, int batch)> Queue;
        // Nothing runs: a batch may start now.
        std::function<bool()> Idle;
        // Starts a run of batch's entries; left is logged if any of them
        // is still in the queue when the run has ended.
        std::function<void(int batch, const std::string& left)> Run;
        // A note for the log.
        std::function<void(const std::string& line)> Note;
    };

    EditorSessions();
    EditorSessions(const EditorSessions&) = delete;
    EditorSessions& operator=(const EditorSessions&) = delete;

    Uploads& Calls() { return m_uploads; }
    std::size_t Count() const { return m_sessions.size(); }
    // Brings remote's editor window to the front; false when none is open.
    bool Raise(const std::string& remote) const;
    // A file now open in editor window handle; watching starts.
    void Add(int handle, const std::string& remote, const std::string& local, const std::string& name,
        int batch);
    // Picks up saves and closed windows.
    void Watch();
    // Closes every editor window, each asking about unsaved text; false when
    // the user stays in one. What was saved on the way out goes up now.
    bool CloseAll();
    void StopWatching() { m_timer.stop(); }

private:
    struct Session {
        int Handle;
        std::string Remote, Local, Name;
        std::array<std::int64_t, 4> Stamp; // what the copy looked like when last seen
        int Batch;
        bool Saved = false, Due = false; // an upload was queued / is still to run
    };

    Uploads m_uploads;
    std::vector<Session> m_sessions;
    QTimer m_timer;
    bool m_watching = false; // an upload lets events run, this timer's among them
};

} // namespace app
