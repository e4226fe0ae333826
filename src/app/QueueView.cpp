// QueueView: what the window shows of the queues and how a run begins and
// ends in the window.
#include "app/QueueView.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Settings.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"
#include "app/session/FtpSession.hpp"
#include "app/session/SftpSession.hpp"
#include "ftp/FtpCli.hpp"
#include "net/Tls.hpp"

#include "ui_mainform.h"

#include <QPlainTextEdit>
#include <QProgressBar>

#include <algorithm>
#include <utility>

namespace app {

QueueView::QueueView(Tmainform& form)
    : m_form(form)
    , m_pool(std::make_unique<SessionPool>([this]() -> RemoteSession& { return *m_form.m_session; },
          [this](int n) { return NewSiteSession(n); }))
{
}

namespace {

// An extra FTP connection with an engine of its own; the engine outlives
// the session that holds its events.
struct OwnEngine {
    std::unique_ptr<ftp::TFtpClient> Client = std::make_unique<ftp::TFtpClient>();
};

class PooledFtpSession : private OwnEngine, public FtpSession {
public:
    PooledFtpSession()
        : FtpSession(*Client)
    {
    }
    ~PooledFtpSession() override { Client->OnCertificateCheck = nullptr; }
};

} // namespace

std::unique_ptr<RemoteSession> QueueView::NewSiteSession(int n)
{
    Tmainform& w = m_form;
    const auto log = [this, n](const std::string& line) { m_form.AddList("[" + std::to_string(n) + "] " + line); };
    if (const auto* main = dynamic_cast<const SftpSession*>(w.m_session.get())) {
        SftpSettings settings = main->Settings();
        // The key the user accepted once for the main connection holds for these.
        if (!main->AcceptedKey().empty())
            settings.AcceptedKey = main->AcceptedKey();
        auto session = std::make_unique<SftpSession>(settings);
        session->SessionEvents().Log = log;
        session->SessionEvents().Ask = [this](const RemoteSession::Question& q, RemoteSession::Answer answer) {
            m_form.AskForSession(q, std::move(answer));
        };
        return session;
    }
    return NewFtpSession(log);
}

std::unique_ptr<RemoteSession> QueueView::NewFtpSession(std::function<void(const std::string&)> log)
{
    Tmainform& w = m_form;
    auto session = std::make_unique<PooledFtpSession>();
    ftp::TCustomFtpCli& engine = session->Engine();
    engine.CopyConnectionSettings(w.FtpSessionOf()->Engine());
    // The certificate the user accepted for the main connection holds for these.
    engine.OnCertificateCheck = [this](ftp::TCustomFtpCli*, const net::TCertInfo& info, bool& accept) {
        const std::string& accepted = m_form.FtpSessionOf()->Engine().AcceptedFingerprint();
        accept = (!accepted.empty() && info.Fingerprint == accepted) || m_form.CertificateCheck(info);
    };
    session->SessionEvents().Log = std::move(log);
    return session;
}

QueueView::~QueueView() = default;

bool QueueView::Run(
    TransferQueue& queue, int batch, bool answerAll, std::function<void(const TransferRunSummary&)> then)
{
    if (m_active)
        return false;
    Tmainform& w = m_form;
    m_active = &queue;
    m_busy.emplace(w.m_engine.Gate.Hold());
    // The keep-alive timer's NOOP would find the session busy.
    m_timerWasActive = w.m_timer1.isActive();
    w.m_timer1.stop();
    w.m_FtpClient1->SetPassive(w.m_settings.Transfer.Passive());
    queue.SetBinary(w.m_settings.Transfer.Binary());
    // The queue window's runs move files side by side; a scratch copy is one file.
    const std::vector<RemoteSession*> sessions = &queue == w.m_transfers.get()
        ? m_pool->Sessions(std::clamp(w.m_settings.Connections, 1, kMaxConnections))
        : std::vector<RemoteSession*> { w.m_session.get() };
    if (!queue.Start(sessions, batch, answerAll, std::move(then))) {
        m_active = nullptr;
        m_busy.reset();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- lbQueue

void QueueView::ShowAll()
{
    Tmainform& w = m_form;
    const TransferQueue& q = *w.m_transfers;
    const QString mark = QString::fromUtf8(FailedEntryMark(IsEnglish(w.m_settings.LanguageName)));
    QStringList lines;
    lines.reserve(qsizetype(q.Lines().size()));
    // With several connections each entry in flight shows the connection's number.
    const std::vector<QueueLines::Id> inFlight = q.InFlight();
    const auto connection = [&](QueueLines::Id id) {
        if (inFlight.size() < 2)
            return QString();
        for (std::size_t n = 0; n < inFlight.size(); ++n)
            if (inFlight[n] == id)
                return QStringLiteral("[%1] ").arg(n + 1);
        return QString();
    };
    for (std::size_t i = 0; i < q.Lines().size(); ++i)
        lines << connection(q.IdAt(i)) + (q.Failed(i) ? mark : QString()) + ShownText(q.Lines()[i]);
    m_adds.clear();
    m_drops = 0;
    m_dirty = false;
    w.m_ui->lbQueue->setPlainText(lines.join(QLatin1Char('\n')));
}

// Only the changes go in, in one edit: rebuilding or editing the box per
// entry cost more than the transfers of small files. A change other than
// entries added at the end or finished at the head (a failed mark, an entry
// finished behind a failed one) rebuilds it, at most ten times a second.
void QueueView::Flush()
{
    FlushPanel1();
    if (m_dirty) {
        ShowAll();
        return;
    }
    QPlainTextEdit& box = *m_form.m_ui->lbQueue;
    if (!m_adds.isEmpty())
        box.appendPlainText(m_adds.join(QLatin1Char('\n')));
    m_adds.clear();
    RemoveFirstLines(box, std::exchange(m_drops, 0));
}

void QueueView::Changed(bool rebuild)
{
    if (rebuild)
        m_dirty = true;
    if (!m_form.m_viewFlush.isActive())
        m_form.m_viewFlush.start();
}

void QueueView::LinesChanged(const std::vector<std::string>& added, std::size_t droppedAtHead, bool rebuild)
{
    for (const std::string& line : added)
        m_adds << ShownText(line);
    m_drops += int(droppedAtHead);
    Changed(rebuild);
}

// ---------------------------------------------------------------- progress

void QueueView::EntryStarted(const QueueEntry&, std::int64_t)
{
    m_lastProgressMs = -1000;
    // The queue window shows which connection moves what.
    if (m_active == m_form.m_transfers.get() && m_active->InFlight().size() > 1)
        Changed(true);
}

void QueueView::Progress(std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs)
{
    // At most ten updates a second: a fast transfer must not spend its time painting.
    // Several connections: the run's bytes and speed, not one file's.
    if (m_active && m_active->InFlight().size() > 1) {
        const std::int64_t ms = m_active->RunElapsedMs();
        if (ms - m_lastProgressMs < 100 && ms >= m_lastProgressMs)
            return;
        m_lastProgressMs = ms;
        const std::int64_t bytes = m_active->RunBytes();
        ShowProgress(bytes, m_active->RunSize(), bytes, ms);
        return;
    }
    if (elapsedMs - m_lastProgressMs < 100)
        return;
    m_lastProgressMs = elapsedMs;
    ShowProgress(count, size, moved, elapsedMs);
}

void QueueView::ShowProgress(std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs)
{
    Tmainform& w = m_form;
    const std::string text = ProgressFigures(count, size, moved, elapsedMs, IsEnglish(w.m_settings.LanguageName));
    m_panel1Due = false; // this text is newer than a finished file's figures
    w.SetStatusText(1, QString::fromStdString(text));
    const int total = m_active ? m_active->Total() : 0, remaining = m_active ? m_active->Remaining() : 0;
    w.m_ui->ProgressBar2->setMinimum(0);
    w.m_ui->ProgressBar2->setMaximum(std::max(total, 1));
    w.m_ui->ProgressBar2->setValue(total - remaining);
}

void QueueView::EntryEnded(bool ok, std::int64_t total, std::int64_t moved, std::int64_t elapsedMs)
{
    // The last progress text would say the transfer stopped short of its end.
    m_panel1Final.clear();
    if (ok)
        m_panel1Final
            = QString::fromStdString(FinalFigures(total, moved, elapsedMs, IsEnglish(m_form.m_settings.LanguageName)));
    // Shown with the log's next update: setting the label per file cost more
    // than moving a small file.
    m_panel1Due = true;
    Changed(false);
}

void QueueView::FlushPanel1()
{
    if (std::exchange(m_panel1Due, false))
        m_form.SetStatusText(1, m_panel1Final);
}

// ---------------------------------------------------------------- the run's voice

void QueueView::Note(const std::string& line)
{
    m_form.AddList(line);
}

void QueueView::SaveFailed(const std::string& error)
{
    m_form.AddList(error);
    m_form.Report(error);
}

void QueueView::Ask(TQueueQuestion, const std::string& text, TAnswers buttons)
{
    // Asked from the loop, not inside the queue's own call: the run waits
    // in its question state until the answer comes.
    TransferQueue* queue = m_active;
    QMetaObject::invokeMethod(
        &m_form,
        [this, queue, text, buttons] {
            if (queue != m_active || !queue->Asking())
                return;
            queue->Answer(m_form.m_life.Closing ? ansCancel : m_form.m_prompter.Confirm(text, buttons));
        },
        Qt::QueuedConnection);
}

void QueueView::RunFinished(const TransferRunSummary& summary)
{
    Tmainform& w = m_form;
    m_active = nullptr;
    w.m_engine.StopTransfer = false;
    w.m_ui->ProgressBar2->setValue(0);
    FlushPanel1();
    if (summary.Transferred + summary.Failed > 0) {
        const bool english = IsEnglish(w.m_settings.LanguageName);
        const std::string text = QueueRunSummary(summary.Transferred, summary.Failed, english);
        w.AddList(text);
        w.SetStatusText(0, QString::fromStdString(text));
        // Shown once the run is over, never in the middle of a reply; a
        // scratch copy's failure is told by the action that wanted it.
        if (summary.Failed > 0 && summary.Persisted && !w.m_life.Closing)
            w.m_prompter.ShowMessage(WarningPrefix(english) + text, mkWarning);
    }
    if (summary.ListAtEnd && !w.m_life.Closing)
        w.GetDir(w.dirview());
    if (m_timerWasActive && !w.m_life.Destroyed && !w.m_life.Closing)
        w.m_timer1.start();
    m_busy.reset();
    m_pool->RunEnded();
    if (std::exchange(w.m_life.CloseWhenIdle, false))
        QMetaObject::invokeMethod(&w, [&w] { w.close(); }, Qt::QueuedConnection);
}

} // namespace app
