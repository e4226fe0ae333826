// The C face of the editor: one window at a time, owned by the library.
#include "editordll/editordll.h"

#include "editordll/EditorWindow.hpp"

#include <QApplication>
#include <QPointer>
#include <QThread>

#include <cstring>
#include <limits>
#include <map>
#include <string>

using editordll::EditorWindow;

namespace {

QPointer<EditorWindow> g_window; // null while no window is open
std::string g_path;              // UTF-8; outlives the window for textFileName

// The windows of OpenEditorWindow, by handle; an entry outlives its window.
struct Session {
    QPointer<EditorWindow> window;
    std::string path;
};
std::map<int, Session> g_sessions;
int g_nextHandle = 1;

int CopyPath(const std::string& path, char* buffer, int size)
{
    if (path.empty() || path.size() >= static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return 0;
    const int length = static_cast<int>(path.size());
    if (buffer && size > length)
        std::memcpy(buffer, path.c_str(), path.size() + 1);
    return length;
}

EditorWindow* SessionWindow(int handle)
{
    const auto it = g_sessions.find(handle);
    return it == g_sessions.end() ? nullptr : it->second.window.data();
}

bool OnGuiThread()
{
    const auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
}

} // namespace

extern "C" int CallEditor(const char* path)
{
    if (!path || !*path || !OnGuiThread())
        return -1;
    EditorWindow* window = g_window;
    const bool fresh = !window;
    if (fresh) {
        window = new EditorWindow;
        window->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(window, &EditorWindow::PathChanged, [](const QString& now) { g_path = now.toStdString(); });
        // Cleared at once: the window itself goes only with the next event loop turn.
        QObject::connect(window, &EditorWindow::Closed, [] { g_window = nullptr; });
    } else if (!window->MayLeave()) {
        window->raise();
        window->activateWindow();
        return -1;
    }
    if (!window->Load(QString::fromUtf8(path))) {
        if (fresh)
            delete window;
        return -1;
    }
    g_window = window;
    window->show();
    window->raise();
    window->activateWindow();
    return 0;
}

extern "C" int isClosed(void)
{
    return g_window.isNull() ? 1 : 0;
}

extern "C" int textFileName(char* buffer, int size)
{
    return CopyPath(g_path, buffer, size);
}

extern "C" int OpenEditorWindow(const char* path)
{
    if (!path || !*path || !OnGuiThread())
        return -1;
    auto* window = new EditorWindow;
    if (!window->Load(QString::fromUtf8(path))) {
        delete window;
        return -1;
    }
    const int handle = g_nextHandle++;
    window->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(window, &EditorWindow::PathChanged,
        [handle](const QString& now) { g_sessions[handle].path = now.toStdString(); });
    QObject::connect(window, &EditorWindow::Closed, [handle] { g_sessions[handle].window = nullptr; });
    g_sessions[handle] = { window, path };
    window->show();
    window->raise();
    window->activateWindow();
    return handle;
}

extern "C" int editorWindowClosed(int handle)
{
    return SessionWindow(handle) ? 0 : 1;
}

extern "C" int editorWindowFileName(int handle, char* buffer, int size)
{
    const auto it = g_sessions.find(handle);
    return it == g_sessions.end() ? 0 : CopyPath(it->second.path, buffer, size);
}

extern "C" int closeEditorWindow(int handle)
{
    EditorWindow* window = SessionWindow(handle);
    return !window || window->close() ? 1 : 0;
}

extern "C" void raiseEditorWindow(int handle)
{
    if (EditorWindow* window = SessionWindow(handle)) {
        window->raise();
        window->activateWindow();
    }
}
