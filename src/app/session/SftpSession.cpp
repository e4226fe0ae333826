// SftpSession, the owner's side: operations handed to the worker thread as
// jobs, and what the worker posts back run from the owner's loop. The
// worker itself is in SftpWorker.hpp.
#include "app/session/SftpWorker.hpp"

#include <sys/socket.h>

namespace app {

using namespace sftpworker;

namespace {

constexpr platform::UINT kPosted = platform::WM_USER + 41;

} // namespace

SftpSession::SftpSession(SftpSettings settings)
    : m_settings(std::move(settings))
{
    m_hwnd = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == kPosted)
            Drain();
    });
    m_worker = std::make_unique<Worker>(*this);
    m_thread = std::thread([this] { WorkerMain(); });
}

SftpSession::~SftpSession()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        // A blocking read or write inside libssh ends at once.
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
    }
    m_wake.notify_all();
    m_thread.join();
    m_worker.reset();
    platform::DeallocateHWnd(m_hwnd);
}

void SftpSession::WorkerMain()
{
    for (;;) {
        std::function<void(Worker&)> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                break;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(*m_worker);
    }
    m_worker->Close();
}

void SftpSession::Post(std::function<void()> fn)
{
    {
        std::lock_guard lock(m_mutex);
        m_outbox.push_back(std::move(fn));
    }
    platform::PostMessage(m_hwnd, kPosted, 0, 0);
}

void SftpSession::Drain()
{
    // One item per message: an item may destroy the session.
    std::function<void()> fn;
    {
        std::lock_guard lock(m_mutex);
        if (m_outbox.empty())
            return;
        fn = std::move(m_outbox.front());
        m_outbox.pop_front();
    }
    fn();
}

void SftpSession::Refuse(SessionDone done, const std::string& why)
{
    Post([done = std::move(done), why] {
        SessionResult r;
        r.Refused = true;
        r.Message = why;
        if (done)
            done(r);
    });
}

void SftpSession::Run(std::function<SessionResult(Worker&)> job, SessionDone done, bool transfer)
{
    if (m_done)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_done = done ? std::move(done) : [](const SessionResult&) {};
    m_abort = false;
    m_transfer = transfer;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back([this, job = std::move(job)](Worker& w) {
            const SessionResult r = job(w);
            Post([this, r, folder = w.Folder()] {
                m_folder = folder;
                SessionDone d = std::move(m_done);
                m_done = nullptr;
                m_transfer = false;
                d(r);
            });
            w.Cleanup();
        });
    }
    m_wake.notify_all();
}

void SftpSession::Connect(SessionDone done)
{
    Run(
        [this](Worker& w) {
            if (w.Connected()) {
                w.Close();
                Post([this] { Disconnected(); });
            }
            SessionResult r = w.Connect();
            if (r.Ok)
                Post([this] {
                    m_connected = true;
                    ++m_generation;
                    if (m_events.Connected)
                        m_events.Connected();
                });
            return r;
        },
        std::move(done));
}

namespace {
// Operations other than Connect need the connection.
SessionResult NotConnected()
{
    SessionResult r;
    r.Refused = true;
    r.Message = "Not connected.";
    return r;
}
} // namespace

void SftpSession::CurrentFolder(std::function<void(const SessionResult&, const std::string&)> done)
{
    Run([](Worker& w) { return w.Connected() ? Success() : NotConnected(); },
        [this, done](const SessionResult& r) { done(r, r.Ok ? m_folder : std::string()); });
}

void SftpSession::ChangeFolder(const std::string& folder, SessionDone done)
{
    Run([folder](Worker& w) { return w.Connected() ? w.ChangeFolder(folder) : NotConnected(); },
        std::move(done));
}

void SftpSession::List(
    const std::string& folder, std::function<void(const SessionResult&, std::vector<RemoteRow>)> done)
{
    auto rows = std::make_shared<std::vector<RemoteRow>>();
    Run([folder, rows](Worker& w) { return w.Connected() ? w.List(folder, *rows) : NotConnected(); },
        [rows, done](
            const SessionResult& r) { done(r, r.Ok ? std::move(*rows) : std::vector<RemoteRow>()); });
}

void SftpSession::Get(
    const std::string& remote, const std::string& local, const TransferOptions& options, SessionDone done)
{
    Run([=](Worker& w) { return w.Connected() ? w.Get(remote, local, options) : NotConnected(); },
        std::move(done), true);
}

void SftpSession::Put(
    const std::string& local, const std::string& remote, const TransferOptions& options, SessionDone done)
{
    Run([=](Worker& w) { return w.Connected() ? w.Put(local, remote, options) : NotConnected(); },
        std::move(done), true);
}

void SftpSession::Delete(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkRemove, path, "Cannot delete") : NotConnected();
        },
        std::move(done));
}

void SftpSession::RemoveFolder(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkRmdir, path, "Cannot remove the folder") : NotConnected();
        },
        std::move(done));
}

void SftpSession::MakeFolder(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkMkdir, path, "Cannot make the folder") : NotConnected();
        },
        std::move(done));
}

void SftpSession::Rename(const std::string& from, const std::string& to, SessionDone done)
{
    Run([from, to](Worker& w) { return w.Connected() ? w.Rename(from, to) : NotConnected(); },
        std::move(done));
}

void SftpSession::ChangeMode(const std::string& path, const std::string& mode, SessionDone done)
{
    const auto bits = sftp::ParseOctalMode(mode);
    if (!bits)
        return Refuse(std::move(done), "\"" + mode + "\" is not a mode such as 755.");
    Run([path, m = *bits](Worker& w) { return w.Connected() ? w.ChangeMode(path, m) : NotConnected(); },
        std::move(done));
}

void SftpSession::Size(const std::string& path, bool, SessionDone done)
{
    Run([path](Worker& w) { return w.Connected() ? w.Size(path) : NotConnected(); }, std::move(done));
}

void SftpSession::Raw(const std::string&, SessionDone done)
{
    Refuse(std::move(done), "SFTP has no commands to send as typed.");
}

void SftpSession::Disconnected()
{
    if (!m_connected)
        return;
    m_connected = false;
    ++m_generation;
    if (m_events.Closed)
        m_events.Closed();
}

void SftpSession::Close(bool now)
{
    if (!m_connected)
        return;
    {
        std::lock_guard lock(m_mutex);
        // The operation in flight ends failed with its connection.
        if (now && m_done && m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        // Politely otherwise, after the operation in flight.
        m_jobs.push_back([this](Worker& w) {
            if (!w.Connected())
                return;
            w.Close();
            Post([this] { Disconnected(); });
        });
    }
    m_wake.notify_all();
}

bool SftpSession::Abort()
{
    if (!m_done || !m_transfer)
        return false;
    m_abort = true;
    return true;
}

} // namespace app
