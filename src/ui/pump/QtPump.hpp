// Drives the platform event loop from Qt: one QSocketNotifier watches the
// loop's descriptor, so socket notifications and posted messages are
// dispatched by Qt's own loop, its nested loops (modal dialogs) included.
// Installed as the application pump, so the socket layer's waits also run
// Qt's events. Create one on the GUI thread after QCoreApplication exists.
#pragma once

#include "platform/EventLoop.hpp"

#include <QObject>

class QSocketNotifier;

namespace ui {

class TQtPump : public QObject, public platform::IApplicationPump {
    Q_OBJECT
public:
    explicit TQtPump(QObject* parent = nullptr);
    ~TQtPump() override;

    void ProcessMessages() override;
    void WaitMessage(int timeoutMs) override;
    bool Terminated() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Drain();

    QSocketNotifier* m_notifier = nullptr;
    bool m_quitting = false;
};

} // namespace ui
