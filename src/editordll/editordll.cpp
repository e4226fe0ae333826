// The C face of the editor: one window at a time, owned by the library.
#include "editordll/editordll.h"

#include "editordll/EditorWindow.hpp"

#include <QApplication>
#include <QPointer>
#include <QThread>

#include <cstring>
#include <limits>
#include <string>

using editordll::EditorWindow;

namespace {

QPointer<EditorWindow> g_window; // null while no window is open
std::string g_path;              // UTF-8; outlives the window for textFileName

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
    if (g_path.empty() || g_path.size() >= static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return 0;
    const int length = static_cast<int>(g_path.size());
    if (buffer && size > length)
        std::memcpy(buffer, g_path.c_str(), g_path.size() + 1);
    return length;
}
