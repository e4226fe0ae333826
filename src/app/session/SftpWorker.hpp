// SftpSession's worker: the SSH connection and the SFTP client that run on
// the session's own thread. Private to the session's sources: the
// connection and log-in in SftpLogin.cpp, the SFTP operations in
// SftpWorker.cpp. Nothing here is touched from the owner's thread except
// through SftpSession's job queue and outbox.
#pragma once

#include "app/session/SftpPacket.hpp"
#include "app/session/SftpSession.hpp"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <cctype>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace app {

namespace sftpworker {

// Downloads keep this many reads in flight; the channel's receive window
// is kept as large as what they may bring.
inline constexpr std::size_t kMaxReads = 64;
inline constexpr std::uint32_t kMaxReadSize = 256 * 1024;
inline constexpr std::uint32_t kReadWindow = 128 * 1024 * kMaxReads;
// ... and ask for more when this many have come back.
inline constexpr std::size_t kReadBatch = 8;
// Uploads: writes under the servers' 256 KiB packet limit.
inline constexpr std::uint32_t kWriteSize = 128 * 1024;
inline constexpr std::size_t kMaxWrites = 64;
// Progress at most this often.
inline constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// The slice a wait for the server is cut into, so that Abort and
// destruction are seen.
inline constexpr int kSliceMs = 100;

using Clock = std::chrono::steady_clock;

inline SessionResult Success()
{
    SessionResult r;
    r.Ok = true;
    return r;
}

inline std::string Lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace sftpworker

class SftpSession::Worker {
public:
    explicit Worker(SftpSession& owner)
        : o(owner)
    { }
    ~Worker() { Close(); }

    SessionResult Connect();
    void Close();
    // Tells the owner the connection's socket, so destruction can shut it down.
    void PublishSocket();
    bool Connected() const { return m_channel != nullptr; }
    const std::string& Folder() const { return m_cwd; }

    SessionResult ChangeFolder(const std::string& folder);
    SessionResult List(const std::string& folder, std::vector<RemoteRow>& rows);
    SessionResult Get(const std::string& remote, const std::string& local, const TransferOptions& options);
    SessionResult Put(const std::string& local, const std::string& remote, const TransferOptions& options);
    SessionResult Simple(sftp::TPacket type, const std::string& path, const std::string& what);
    SessionResult Rename(const std::string& from, const std::string& to);
    SessionResult ChangeMode(const std::string& path, std::uint32_t mode);
    SessionResult Size(const std::string& path);

    // What a transfer left to tidy after its result went out: replies still
    // in flight, the handle to close.
    void Cleanup();

private:
    struct Pending {
        std::uint64_t offset;
        std::uint32_t length;
    };
    enum TNext { nxPacket, nxAborted, nxFailed };

    void Log(const std::string& line);
    // Asks the owner's user; the last button when nobody answers.
    std::pair<std::size_t, std::string> Ask(RemoteSession::Question q);
    SessionResult Fail(const std::string& message);
    // The connection broke: closed, the owner told, message returned.
    SessionResult Lost(const std::string& message);

    bool CheckHostKey(std::string& error);
    void TrustForGood(const std::string& type);
    bool LogIn(std::string& error);
    int KeyAuth();
    int Passphrase(char* buf, std::size_t len);
    int KeyboardAuth(bool& usedPassword);
    int PasswordAuth();
    bool OpenSftp(std::string& error);

    std::string Abs(const std::string& path) const;
    bool Send(const std::string& bytes);
    // The next whole packet's body into m_body. nxAborted only when
    // abortable and Abort was asked for.
    TNext Next(bool abortable);
    // Sends the request in m_w and reads until the reply with its id.
    bool Call(std::uint32_t id);
    // Call, with error set when the connection went.
    bool Exchange(std::uint32_t id, std::string& error);
    // The reply to an OPEN or OPENDIR sent under id: its handle, or failure and the server's reason.
    bool HandleReply(std::uint32_t id, const std::string& failure, std::string& handle, std::string& error);
    std::uint32_t NewId() { return m_nextId++; }
    // The status reply in m_body as a result ("what: text" when it failed).
    SessionResult StatusResult(const std::string& what);
    bool OpenHandle(const std::string& path, std::uint32_t flags, std::string& handle, std::string& error);
    bool OpenDir(const std::string& path, std::string& handle, std::string& error);
    void CloseHandle(const std::string& handle);
    bool Stat(const std::string& path, sftp::Attrs& attrs, std::string& error, bool follow = true);
    bool RealPath(const std::string& path, std::string& out, std::string& error);
    // Reads the replies of the requests in m_pending and drops them.
    bool DrainPending();
    void Progress(const TransferOptions& options, std::int64_t count, bool force);

    SftpSession& o;
    ssh_session m_ssh = nullptr;
    ssh_channel m_channel = nullptr;
    std::string m_host; // as the log names it
    std::string m_sshDir;
    std::string m_keysTried; // for the refusal's text
    std::set<std::string> m_passphraseAsked; // key files asked for in this log-in
    ssh_callbacks_struct m_callbacks {};
    std::string m_cwd;
    std::uint32_t m_nextId = 1;
    bool m_posixRename = false;
    sftp::Writer m_w;
    std::vector<char> m_in; // received bytes
    std::size_t m_inBegin = 0, m_inEnd = 0;
    std::string_view m_body; // the last packet read (points into m_in)
    std::map<std::uint32_t, Pending> m_pending; // requests whose replies are still due
    std::string m_openHandle; // a transfer's handle still to close
    sftpworker::Clock::time_point m_lastProgress;
    bool m_movedTold = false; // the transfer's first bytes were told
};

} // namespace app
