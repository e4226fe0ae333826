// QueueView: the window's side of the transfer queues. It listens to them
// (TransferListener) and owns what the window shows of a run: the queue
// window (lbQueue, brought up to date at most ten times a second), status
// panel 1 and the progress bar, the questions, the log lines and the run's
// end (its summary, the listing, the busy gate held while it runs).
// GUI thread only.
#pragma once

#include "app/SessionPool.hpp"
#include "app/core/ActionGate.hpp"
#include "app/transfer/TransferQueue.hpp"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace app {

class Tmainform;

class QueueView : public TransferListener {
public:
    explicit QueueView(Tmainform& form);
    ~QueueView() override;
    // The queue's extra connections.
    SessionPool& Pool() { return *m_pool; }

    // Runs batch of queue on the window's session; then runs afterwards,
    // once the window has done with the run's end. False (nothing runs)
    // when a run is in progress.
    bool Run(TransferQueue& queue, int batch, bool answerAll,
        std::function<void(const TransferRunSummary&)> then = {});
    // The window goes: a run in flight is forgotten, its gate scope let go.
    void Abandon()
    {
        m_active = nullptr;
        m_busy.reset();
    }
    // The queue whose run is in progress, or none.
    TransferQueue* Active() const { return m_active; }

    // lbQueue shows the lines of the window's queue again.
    void ShowAll();
    // Brings lbQueue and status panel 1 up to date (the view timer).
    void Flush();
    void Changed(bool rebuild);
    // The progress figures of a transfer in flight.
    void ShowProgress(std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs);

    // TransferListener
    void LinesChanged(const std::vector<std::string>& added, std::size_t droppedAtHead, bool rebuild) override;
    void EntryStarted(const QueueEntry& entry, std::int64_t size) override;
    void Progress(std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs) override;
    void EntryEnded(bool ok, std::int64_t total, std::int64_t moved, std::int64_t elapsedMs) override;
    void Note(const std::string& line) override;
    void Ask(TQueueQuestion question, const std::string& text, TAnswers buttons) override;
    void SaveFailed(const std::string& error) override;
    void RunFinished(const TransferRunSummary& summary) override;

private:
    // An extra connection (numbered n in the log) set up as the window's.
    std::unique_ptr<RemoteSession> NewSiteSession(int n);
    std::unique_ptr<RemoteSession> NewFtpSession(std::function<void(const std::string&)> log);
    void FlushPanel1();

    Tmainform& m_form;
    std::unique_ptr<SessionPool> m_pool;
    // The run in progress.
    TransferQueue* m_active = nullptr;
    std::optional<ActionGate::Scope> m_busy;
    bool m_timerWasActive = false;
    // lbQueue's changes not shown yet.
    QStringList m_adds;
    int m_drops = 0;
    bool m_dirty = false;
    // A finished transfer's figures for status panel 1, shown with the next update.
    QString m_panel1Final;
    bool m_panel1Due = false;
    std::int64_t m_lastProgressMs = -1000;
};

} // namespace app
