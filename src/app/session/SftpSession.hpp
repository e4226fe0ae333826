// SftpSession: RemoteSession over SSH. libssh blocks, so each session runs
// its connection on a worker thread of its own: an operation is handed to
// the worker and its result comes back as a message posted to the loop of
// the thread that made the session, so every callback runs later on that
// thread, never inside the call. Questions (a host key, a passphrase, a
// log-in prompt) cross the same way; the worker waits for the answer, the
// caller never waits for the worker.
//
// SFTP itself (version 3) is spoken here over the channel's "sftp"
// subsystem, so that reads and writes can both be pipelined.
//
// Destroying the session at any time is safe: the worker is told to stop,
// its socket is shut down, and the destructor joins it. No callback comes
// after destruction. Lives on the thread that runs the platform event loop.
#pragma once

#include "app/session/RemoteSession.hpp"
#include "platform/EventLoop.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace app {

struct SftpSettings {
    std::string Host;
    int Port = 22;
    // Empty: the user of ~/.ssh/config's entry for the host, else the
    // local user's name.
    std::string User;
    std::string Password;
    // The program's settings folder: its own known_hosts is kept there.
    std::string SettingsDir;
    // The user's ssh folder (config, known_hosts, id_* keys); empty: $HOME/.ssh.
    std::string SshDir;
    // The agent's socket; empty: $SSH_AUTH_SOCK. "none": no agent.
    std::string AgentSocket;
    // A host key fingerprint ("SHA256:...") the user accepted once for this
    // site in another session: it is not asked about again.
    std::string AcceptedKey;
    // Seconds a connection or a reply may take.
    int Timeout = 30;
    // The bytes a download asks for at once (64 such requests in flight).
    // A server that answers with less is asked again for the rest.
    std::uint32_t ReadSize = 128 * 1024;
};

class SftpSession : public RemoteSession {
public:
    explicit SftpSession(SftpSettings settings);
    ~SftpSession() override;
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    const SftpSettings& Settings() const { return m_settings; }
    // The fingerprint of the host key the last connection accepted once
    // ("Connect once"), for the settings of more sessions to the same site.
    const std::string& AcceptedKey() const { return m_acceptedKey; }

    std::string Protocol() const override { return "SFTP"; }
    bool IsConnected() const override { return m_connected; }
    bool Busy() const override { return bool(m_done); }
    std::uint32_t Generation() const override { return m_generation; }

    void Connect(SessionDone done) override;
    void CurrentFolder(std::function<void(const SessionResult&, const std::string&)> done) override;
    // The server resolves the path (REALPATH: "..", links) and it must be a
    // folder; entering a link to a folder lands in its target's path.
    void ChangeFolder(const std::string& folder, SessionDone done) override;
    // A link is a row with its own permissions ("lrwxrwxrwx") and its
    // target's type, size and time (one STAT per link, sent together): a
    // link to a folder is a folder row, so it can be entered; a broken link
    // is a file row.
    void List(const std::string& folder,
        std::function<void(const SessionResult&, std::vector<RemoteRow>)> done) override;
    void Get(const std::string& remote, const std::string& local, const TransferOptions& options,
        SessionDone done) override;
    void Put(const std::string& local, const std::string& remote, const TransferOptions& options,
        SessionDone done) override;
    void Delete(const std::string& path, SessionDone done) override;
    void RemoveFolder(const std::string& path, SessionDone done) override;
    void MakeFolder(const std::string& path, SessionDone done) override;
    void Rename(const std::string& from, const std::string& to, SessionDone done) override;
    void ChangeMode(const std::string& path, const std::string& mode, SessionDone done) override;
    void Size(const std::string& path, bool binary, SessionDone done) override;
    bool HasRawCommands() const override { return false; }
    void Raw(const std::string& command, SessionDone done) override;
    bool Abort() override;
    void Close(bool now) override;

    class Worker; // the connection, on the worker thread

private:
    friend class Worker;
    // Runs job on the worker; its result reaches done from the loop.
    void Run(std::function<SessionResult(Worker&)> job, SessionDone done, bool transfer = false);
    void Refuse(SessionDone done, const std::string& why);
    // Queues fn to run on the owner's thread (callable from any thread).
    void Post(std::function<void()> fn);
    void Drain();
    // The connection is gone: Closed, once.
    void Disconnected();
    void WorkerMain();

    SftpSettings m_settings;
    platform::HWND m_hwnd = 0;
    // Owner's thread.
    SessionDone m_done; // the operation in flight
    bool m_transfer = false; // ... and it is a transfer
    bool m_connected = false;
    std::uint32_t m_generation = 0;
    std::string m_acceptedKey;
    std::string m_folder; // the session's folder, as the worker last told it
    // Shared with the worker.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void(Worker&)>> m_jobs;
    std::deque<std::function<void()>> m_outbox;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_abort { false };
    std::atomic<int> m_fd { -1 }; // the connection's socket, to shut down on destruction
    std::unique_ptr<Worker> m_worker;
    std::thread m_thread;
};

} // namespace app
