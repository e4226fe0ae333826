// One action at a time. The engine's blocking calls let the window run
// while they wait, so every user action that would use the engine, the
// queue or the remote list comes through Gated: while something is in
// flight it waits for its turn or is refused. The controls that start such
// actions are disabled meanwhile. Stop, Disconnect and closing the window
// are never gated: they end what is in flight.
#include "app/ftp_main.hpp"

#include "app/core/Captions.hpp"
#include "app/core/Settings.hpp"
#include "ftp/FtpCli.hpp"

#include "ui_mainform.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QTimer>

namespace app {

namespace {

constexpr int kStopGraceMs = 5000;

struct HandlerPolicy {
    void (Tmainform::*Handler)();
    TActionPolicy Policy;
    const char* Key; // one key per action, whichever control starts it
};

// Handlers not listed are free: local commands, dialogs, Stop, Disconnect.
const HandlerPolicy kPolicies[] = {
    { &Tmainform::btnConnectClick, apDefer, "connect" },
    { &Tmainform::ToolButton7Click, apDefer, "refresh" },
    { &Tmainform::Refresh1Click, apDefer, "refresh" },
    { &Tmainform::PasteServerClick, apDefer, "paste-server" },
    { &Tmainform::Paste3Click, apDefer, "paste-local" },
    { &Tmainform::btnQueueClick, apDefer, "queue" },
    { &Tmainform::UploadQueue1Click, apDefer, "queue" },
    { &Tmainform::btnPreviousClick, apRefuse, "parent" },
    { &Tmainform::Copy1Click, apRefuse, "copy" },
    { &Tmainform::btnNewFolderClick, apRefuse, "mkdir" },
    { &Tmainform::NewFolder3Click, apRefuse, "mkdir" },
    { &Tmainform::Delete1Click, apRefuse, "delete" },
    { &Tmainform::Delete2Click, apRefuse, "delete" },
    { &Tmainform::ChMod1Click, apRefuse, "chmod" },
    { &Tmainform::RenameClick, apRefuse, "rename" },
    { &Tmainform::mnuCommandClick, apRefuse, "command" },
    { &Tmainform::OpenWith1Click, apRefuse, "open-with" },
    { &Tmainform::Edit1Click, apRefuse, "edit" },
    // Local navigation moves the remote side too when the panes are coupled.
    { &Tmainform::btnCliPreviousClick, apFree, "local-parent" },
};

} // namespace

TActionPolicy Tmainform::PolicyOf(void (Tmainform::*handler)(), std::string& key) const
{
    for (const HandlerPolicy& row : kPolicies) {
        if (row.Handler != handler)
            continue;
        key = row.Key;
        if (handler == &Tmainform::btnCliPreviousClick)
            return m_ui->chkNavigating->isChecked() ? apRefuse : apFree;
        return row.Policy;
    }
    key.clear();
    return apFree;
}

void Tmainform::GateControl(QObject* control, void (Tmainform::*handler)())
{
    std::string key;
    const TActionPolicy policy = PolicyOf(handler, key);
    if (policy != apFree)
        m_engine.Controls.emplace_back(control, policy);
}

TGateVerdict Tmainform::Gated(const std::string& key, TActionPolicy policy, std::function<void()> action)
{
    // After the close only what ends things still runs.
    if (m_life.Closing && policy != apFree)
        return gvRefused;
    const TGateVerdict verdict = m_engine.Gate.Submit(key, policy, std::move(action));
    if (verdict != gvRan) {
        const bool english = m_settings.English();
        SetStatusText(
            0, QString::fromUtf8(Message(verdict == gvRefused ? msgBusyRefused : msgBusyDeferred, english)));
    }
    return verdict;
}

void Tmainform::BusyChanged(bool busy)
{
    m_engine.EnableControls(!busy);
    if (busy)
        return;
    // Whatever waits runs from the event loop, never inside the call that
    // just ended, and one at a time: each turns the gate busy again.
    if (m_engine.ClosedPending) {
        m_engine.ClosedPending = false;
        QMetaObject::invokeMethod(
            this, [this] { emit Closed(); }, Qt::QueuedConnection);
    } else if (m_engine.Gate.Waiting() > 0) {
        QMetaObject::invokeMethod(
            this, [this] { RunDeferredActions(); }, Qt::QueuedConnection);
    }
}

void Tmainform::RunDeferredActions()
{
    ActionGate::Deferred next;
    if (m_life.Closing || !m_engine.Gate.TakeNext(next))
        return;
    Gated(next.Key, apDefer, std::move(next.Action));
}

void Tmainform::ShowPendingWarnings()
{
    if (m_log.Replies.PendingWarnings.empty())
        return;
    const std::vector<std::string> warnings = std::exchange(m_log.Replies.PendingWarnings, {});
    m_log.Flush();
    for (const std::string& warning : warnings)
        m_prompter.ShowMessage(warning, mkWarning);
}

void Tmainform::AbortInFlight()
{
    ftp::TFtpClient& c = *m_FtpClient1;
    if (m_life.Closing && m_engine.Gate.Busy() && Connected()) {
        // Closed between two calls of an action: the session ends all the
        // same, so that nothing the action does afterwards counts as done.
        m_conn.EndByUser();
        m_engine.StopTransfer = true;
        EndSessionNow();
        return;
    }
    const auto inFlight
        = [this] { return m_engine.EngineWaits > 0 || QueueRunning() || m_session->Busy() || m_pane.Walking(); };
    if (!inFlight())
        return;
    // Connecting, or the window going away: the whole session ends now.
    if (m_life.Closing || m_conn.LoggedIn == 0 || (FtpSessionOf() && c.State() == ftp::ftpStateResolving)) {
        m_conn.EndByUser();
        m_engine.StopTransfer = true;
        EndSessionNow();
        return;
    }
    // A file transfer ends now (or at its first progress step, when its
    // data connection is still opening); the session stays. The queue's
    // transfer was broken off by its Stop.
    m_engine.StopTransfer = true;
    if (m_conn.TransferCommand && m_engine.EngineWaits > 0)
        c.AbortTransfer();
    else if (!QueueRunning())
        m_session->Abort(); // a one-off command's transfer, if any
    // A server that neither sends nor answers would keep Stop waiting:
    // after a grace period the session ends as Disconnect ends it.
    const int stop = ++m_engine.Stops;
    QTimer::singleShot(kStopGraceMs, this, [this, stop, inFlight] {
        if (!m_engine.StopTransfer || stop != m_engine.Stops || !inFlight())
            return;
        AddList("The server did not end the operation; the connection is closed.");
        m_conn.EndByUser();
        EndSessionNow();
    });
}

} // namespace app
