#include "app/program.hpp"

#include "ui/HintWindow.hpp"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {
int g_signalPipe[2] = { -1, -1 };

void OnSignal(int signo)
{
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

void SetUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("tallowin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tallowin"));
    // Desktops without an icon theme still get file-type icons.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    ui::HintWindow::Install();
}

bool CatchCloseSignals()
{
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

void CloseOnSignals(QWidget* window)
{
    if (g_signalPipe[0] < 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
    QPointer<QWidget> target = window;
    QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
        char buffer[64];
        while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) { }
        if (target)
            target->close();
    });
}

} // namespace app
