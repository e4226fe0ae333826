// FtpSession: RemoteSession over the FTP engine, on the engine's
// asynchronous (Begin*) operations and its request-done event.
//
// It takes the engine's OnRequestDone, OnProgress, OnSessionConnected,
// OnSessionClosed and OnDisplay for itself; the owner listens through
// SessionEvents(). A certificate to trust is asked through the engine's
// OnCertificateCheck, which the owner sets with its trust store; Ask is not
// used. The engine's other settings (host, log-in, TLS, passive
// mode, proxies) are the owner's, set before Connect. The TYPE in force is
// this session's own: sent only when a transfer needs another one.
// Lives on the thread that runs the engine's event loop.
#pragma once

#include "app/session/RemoteSession.hpp"
#include "platform/EventLoop.hpp"

#include <memory>

namespace ftp {
class TCustomFtpCli;
enum TFtpRequest : std::uint8_t;
} // namespace ftp

namespace app {

class FtpSession : public RemoteSession {
public:
    // listingFile: where listings are received (removed after each).
    explicit FtpSession(ftp::TCustomFtpCli& engine, std::string listingFile = {});
    void SetListingFile(std::string path) { m_listingFile = std::move(path); }
    ~FtpSession() override;
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    ftp::TCustomFtpCli& Engine() { return m_engine; }
    // The window's blocking commands use the same engine: a new session, or
    // a TYPE sent behind this session's back, makes the type unknown again.
    void ForgetType() { m_type = -1; }

    std::string Protocol() const override { return "FTP"; }
    bool IsConnected() const override;
    bool Busy() const override { return bool(m_op); }
    std::uint32_t Generation() const override { return m_generation; }

    void Connect(SessionDone done) override;
    void CurrentFolder(std::function<void(const SessionResult&, const std::string&)> done) override;
    void ChangeFolder(const std::string& folder, SessionDone done) override;
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
    bool HasRawCommands() const override { return true; }
    void Close(bool now) override;
    void Raw(const std::string& command, SessionDone done) override;
    bool Abort() override;

private:
    using Begin = bool (ftp::TCustomFtpCli::*)();
    struct Op;
    // Starts begin on the engine for op; a refusal ends op from the loop.
    void Start(std::unique_ptr<Op> op, Begin begin);
    void RequestDone(ftp::TFtpRequest request, std::uint16_t error);
    void Finish(SessionResult result);
    // Ends done from the event loop with a refusal.
    void Refuse(SessionDone done, const std::string& why);
    // Runs then once the TYPE for binary is in force (or could not be set:
    // the command goes ahead as before).
    void WithType(bool binary, SessionDone done, std::function<void(SessionDone)> then);
    void Transfer(bool get, const std::string& local, const std::string& remote, const TransferOptions& options,
        SessionDone done);

    ftp::TCustomFtpCli& m_engine;
    std::string m_listingFile;
    std::unique_ptr<Op> m_op; // the operation in flight
    std::uint32_t m_generation = 0;
    int m_type = -1;          // the TYPE in force: -1 unknown, 0 ASCII, 1 binary
    bool m_abortRequested = false;
    platform::HWND m_poster = 0; // the hidden window refusals are posted through
    std::vector<std::pair<SessionDone, std::string>> m_refused; // refusals still to be told
};

} // namespace app
