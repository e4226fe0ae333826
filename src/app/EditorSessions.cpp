#include "app/EditorSessions.hpp"

#include "app/core/Queue.hpp"
#include "editordll/editordll.h"

#include <sys/stat.h>

namespace app {

FileStamp StampOf(const std::string& path)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return { true, st.st_ino, std::int64_t(st.st_size),
        std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec };
}

std::array<std::int64_t, 4> StampKey(const std::string& path)
{
    const FileStamp s = StampOf(path);
    return { s.Exists ? 1 : 0, std::int64_t(s.Inode), s.Size, s.ChangedNs };
}

namespace {

std::string EditorFileName(int handle)
{
    const int length = editorWindowFileName(handle, nullptr, 0);
    if (length <= 0)
        return {};
    std::string name(std::size_t(length) + 1, '\0');
    editorWindowFileName(handle, name.data(), length + 1);
    name.resize(std::size_t(length));
    return name;
}

} // namespace

EditorSessions::EditorSessions()
{
    m_timer.setInterval(200);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Watch(); });
}

bool EditorSessions::Raise(const std::string& remote) const
{
    for (const Session& e : m_sessions) {
        if (e.Remote == remote && !editorWindowClosed(e.Handle)) {
            raiseEditorWindow(e.Handle);
            return true;
        }
    }
    return false;
}

void EditorSessions::Add(
    int handle, const std::string& remote, const std::string& local, const std::string& name, int batch)
{
    m_sessions.push_back({ handle, remote, local, name, StampKey(local), batch });
    m_timer.start();
}

// The editors are watched, not waited for: each save queues an upload of
// the saved file to the remote path fixed when editing began, and runs it
// as a batch of its own once nothing else runs.
void EditorSessions::Watch()
{
    if (m_watching)
        return;
    m_watching = true;
    for (std::size_t i = 0; i < m_sessions.size();) {
        Session* e = &m_sessions[i];
        const bool closed = editorWindowClosed(e->Handle) != 0;
        const std::string path = EditorFileName(e->Handle);
        const auto stamp = StampKey(path);
        if (!path.empty() && stamp[0] && (path != e->Local || stamp != e->Stamp)) {
            e->Local = path;
            e->Stamp = stamp;
            e->Saved = e->Due = true;
            if (path.find(';') != std::string::npos || path.find_first_of("\r\n") != std::string::npos) {
                m_uploads.Note(
                    "\"" + path + "\" cannot be written in the queue (a ';' or a line break); it is not uploaded.");
                e->Due = false;
            } else {
                m_uploads.Queue(std::string(kUploadFile) + path + ";" + e->Remote, e->Batch);
            }
        }
        if (e->Due && m_uploads.Idle()) {
            e->Due = false;
            const int batch = e->Batch;
            // The run ends later; what it leaves waits in the queue, and is said then.
            m_uploads.Run(batch, "\"" + e->Name + "\" waits in the transfer queue for its upload to \"" + e->Remote + "\".");
        }
        if (closed && !e->Due) {
            if (!e->Saved)
                m_uploads.Note("\"" + e->Name + "\" was not saved; nothing is uploaded.");
            m_sessions.erase(m_sessions.begin() + std::ptrdiff_t(i));
            continue;
        }
        ++i;
    }
    if (m_sessions.empty())
        m_timer.stop();
    m_watching = false;
}

bool EditorSessions::CloseAll()
{
    for (const Session& e : m_sessions) {
        if (!closeEditorWindow(e.Handle))
            return false; // the user stays in that editor
    }
    Watch();
    return true;
}

} // namespace app
