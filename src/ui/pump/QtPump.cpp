#include "ui/pump/QtPump.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace ui {

TQtPump::TQtPump(QObject* parent) : QObject(parent)
{
    m_notifier = new QSocketNotifier(platform::LoopDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    if (auto* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { m_quitting = true; });
    }
    platform::SetApplicationPump(this);
}

TQtPump::~TQtPump()
{
    if (&platform::ApplicationPump() == this)
        platform::SetApplicationPump(nullptr);
    if (auto* app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

void TQtPump::Drain()
{
    // A quit message ends the Qt application as it would end the message loop.
    platform::ProcessMessages();
    if (platform::QuitSeen() && !m_quitting) {
        m_quitting = true;
        QCoreApplication::quit();
    }
}

void TQtPump::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    Drain();
}

void TQtPump::WaitMessage(int timeoutMs)
{
    platform::MSG peek;
    if (platform::PeekMessage(peek, false))
        return;
    QAbstractEventDispatcher* d = QThread::currentThread()->eventDispatcher();
    if (!d) {
        platform::WaitMessage(timeoutMs);
        return;
    }
    // The notifier wakes the dispatcher for loop events, the timer bounds the wait.
    QTimer limit;
    limit.setSingleShot(true);
    if (timeoutMs >= 0)
        limit.start(timeoutMs);
    d->processEvents(QEventLoop::WaitForMoreEvents);
}

bool TQtPump::Terminated()
{
    return m_quitting || platform::QuitSeen() || QCoreApplication::closingDown();
}

bool TQtPump::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance())
        m_quitting = true;
    return QObject::eventFilter(watched, event);
}

} // namespace ui
