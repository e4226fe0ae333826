// FtpSession: each operation is one of the engine's asynchronous requests (or
// two: a TYPE before a transfer that needs another one), ended by the
// engine's posted request-done message.
#include "app/session/FtpSession.hpp"

#include "app/core/SafeFile.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace app {

namespace {

constexpr platform::UINT kRefusedMessage = platform::WM_USER + 40;

} // namespace

struct FtpSession::Op {
    SessionDone Done;
    // Called on success instead of Done (a step of a longer operation).
    std::function<void(const SessionResult&)> Then;
    std::function<void(std::int64_t)> Progress;
    bool Transfer = false;
};

FtpSession::FtpSession(ftp::TCustomFtpCli& engine, std::string listingFile)
    : m_engine(engine)
    , m_listingFile(std::move(listingFile))
{
    m_engine.OnRequestDone = [this](ftp::TCustomFtpCli*, ftp::TFtpRequest request, std::uint16_t error) {
        RequestDone(request, error);
    };
    m_engine.OnProgress = [this](ftp::TCustomFtpCli*, std::int64_t count, bool& abort) {
        // An abort asked for before the data connection opened ends it at its first step.
        abort = m_abortRequested && m_op && m_op->Transfer;
        if (m_op && m_op->Transfer && m_op->Progress)
            m_op->Progress(count);
    };
    m_engine.OnSessionConnected = [this](ftp::TCustomFtpCli*, std::uint16_t) {
        ++m_generation;
        m_type = -1; // a new session starts in the server's default type
        if (m_events.Connected)
            m_events.Connected();
    };
    m_engine.OnSessionClosed = [this](ftp::TCustomFtpCli*, std::uint16_t) {
        ++m_generation;
        if (m_events.Closed)
            m_events.Closed();
    };
    m_engine.OnDisplay = [this](ftp::TCustomFtpCli*, const std::string& line) {
        if (m_events.Log)
            m_events.Log(line);
    };
    m_poster = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg != kRefusedMessage || m_refused.empty())
            return;
        auto [done, why] = std::move(m_refused.front());
        m_refused.erase(m_refused.begin());
        SessionResult r;
        r.Refused = true;
        r.Message = why;
        if (done)
            done(r);
    });
}

FtpSession::~FtpSession()
{
    m_engine.OnRequestDone = nullptr;
    m_engine.OnProgress = nullptr;
    m_engine.OnSessionConnected = nullptr;
    m_engine.OnSessionClosed = nullptr;
    m_engine.OnDisplay = nullptr;
    platform::DeallocateHWnd(m_poster);
}

bool FtpSession::IsConnected() const
{
    return m_engine.Connected();
}

void FtpSession::Refuse(SessionDone done, const std::string& why)
{
    m_refused.emplace_back(std::move(done), why);
    platform::PostMessage(m_poster, kRefusedMessage, 0, 0);
}

void FtpSession::Start(std::unique_ptr<Op> op, Begin begin)
{
    if (m_op) {
        Refuse(std::move(op->Done), "Another operation is in progress.");
        return;
    }
    // The engine's refusals (a missing value, a busy engine) come through
    // OnError while the call runs; the owner's handler is back afterwards.
    std::string refusal;
    auto previous = std::exchange(m_engine.OnError, [&refusal](ftp::TCustomFtpCli*, const std::string& message) {
        if (refusal.empty())
            refusal = message;
    });
    bool started = false;
    try {
        started = (m_engine.*begin)();
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    m_engine.OnError = std::move(previous);
    if (!started) {
        Refuse(std::move(op->Done), refusal.empty() ? "The FTP component was busy." : refusal);
        return;
    }
    m_abortRequested = false;
    m_op = std::move(op);
}

void FtpSession::RequestDone(ftp::TFtpRequest request, std::uint16_t error)
{
    // A blocking command of the owner posts its done message too. Only a
    // ready engine has ended the request this session started (a request
    // may change its type on the way: a restarted upload ends as a STOR).
    (void)request;
    if (!m_op || m_engine.State() != ftp::ftpStateReady)
        return;
    SessionResult r;
    r.Ok = error == 0 && m_engine.RequestResult() == 0;
    r.Aborted = m_abortRequested && m_op->Transfer;
    r.Value = m_op->Transfer ? m_engine.ByteCount() : -1;
    if (!r.Ok)
        r.Message = m_engine.ErrorMessage().empty() ? m_engine.LastResponse() : m_engine.ErrorMessage();
    Finish(std::move(r));
}

void FtpSession::Finish(SessionResult result)
{
    std::unique_ptr<Op> op = std::move(m_op);
    m_abortRequested = false;
    if (result.Ok && op->Then) {
        op->Then(result);
        return;
    }
    if (op->Done)
        op->Done(result);
}

void FtpSession::Connect(SessionDone done)
{
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginConnect);
}

void FtpSession::CurrentFolder(std::function<void(const SessionResult&, const std::string&)> done)
{
    auto op = std::make_unique<Op>();
    op->Done = [this, done](const SessionResult& r) { done(r, r.Ok ? m_engine.DirResult() : std::string()); };
    Start(std::move(op), &ftp::TCustomFtpCli::BeginPwd);
}

void FtpSession::ChangeFolder(const std::string& folder, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostDirName(folder);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginCwd);
}

void FtpSession::List(const std::string& folder,
    std::function<void(const SessionResult&, std::vector<RemoteRow>)> done)
{
    if (m_op)
        return Refuse([done](const SessionResult& r) { done(r, {}); }, "Another operation is in progress.");
    const bool mlsd = m_engine.MlsdInForce();
    m_engine.SetHostDirName(folder.empty() ? "." : folder);
    m_engine.SetHostFileName({});
    m_engine.SetLocalFileName(m_listingFile);
    auto op = std::make_unique<Op>();
    op->Done = [this, mlsd, done](const SessionResult& r) {
        std::string text;
        if (!ReadWholeFile(m_listingFile, text))
            text.clear();
        std::remove(m_listingFile.c_str());
        std::vector<RemoteRow> rows;
        SessionResult listed = r;
        if (r.Ok) {
            int unreadable = 0;
            rows = mlsd ? ParseMlsdListing(text) : ParseListing(text, Today(), &unreadable);
            listed.Lines = std::size_t(std::count(text.begin(), text.end(), '\n'))
                + (!text.empty() && text.back() != '\n' ? 1 : 0);
            listed.Unreadable = std::size_t(unreadable);
            // The text is not needed any more; the sort needs the room.
            std::string().swap(text);
            SortListing(rows);
        }
        done(listed, std::move(rows));
    };
    Start(std::move(op), mlsd ? &ftp::TCustomFtpCli::BeginMlsd : &ftp::TCustomFtpCli::BeginDir);
}

void FtpSession::Transfer(bool get, const std::string& local, const std::string& remote,
    const TransferOptions& options, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    const auto start = [this, get, local, remote, options](SessionDone finished) {
        m_engine.SetHostDirName({});
        m_engine.SetHostFileName(remote);
        m_engine.SetLocalFileName(local);
        m_engine.SetResumeAt(options.Offset > 0 ? options.Offset : 0);
        auto op = std::make_unique<Op>();
        op->Done = std::move(finished);
        op->Progress = options.Progress;
        op->Transfer = true;
        const bool resume = options.Offset > 0;
        Start(std::move(op),
            get ? (resume ? &ftp::TCustomFtpCli::BeginRestartGet : &ftp::TCustomFtpCli::BeginGet)
                : (resume ? &ftp::TCustomFtpCli::BeginRestartPut : &ftp::TCustomFtpCli::BeginPut));
    };
    WithType(options.Binary, std::move(done), start);
}

void FtpSession::WithType(bool binary, SessionDone done, std::function<void(SessionDone)> then)
{
    // TYPE only when it changes: one per file doubled the round trips of small files.
    if (m_type == int(binary))
        return then(std::move(done));
    m_engine.SetBinary(binary);
    auto op = std::make_unique<Op>();
    const int wanted = int(binary);
    // A refused TYPE leaves the type unknown; the command goes ahead as before.
    op->Done = [this, then, done](const SessionResult& r) {
        if (r.Refused)
            return done(r);
        m_type = -1;
        then(done);
    };
    op->Then = [this, then, done, wanted](const SessionResult&) {
        m_type = wanted;
        then(done);
    };
    Start(std::move(op), &ftp::TCustomFtpCli::BeginSendType);
}

void FtpSession::Get(const std::string& remote, const std::string& local, const TransferOptions& options,
    SessionDone done)
{
    Transfer(true, local, remote, options, std::move(done));
}

void FtpSession::Put(const std::string& local, const std::string& remote, const TransferOptions& options,
    SessionDone done)
{
    Transfer(false, local, remote, options, std::move(done));
}

void FtpSession::Delete(const std::string& path, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostFileName(path);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginDele);
}

void FtpSession::RemoveFolder(const std::string& path, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostFileName(path);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginRmd);
}

void FtpSession::MakeFolder(const std::string& path, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostFileName(path);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginMkd);
}

void FtpSession::Rename(const std::string& from, const std::string& to, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostFileName(from);
    m_engine.SetLocalFileName(to);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginRename);
}

void FtpSession::ChangeMode(const std::string& path, const std::string& mode, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetHostFileName(path);
    m_engine.SetChmodMode(mode);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginSiteChmod);
}

void FtpSession::Size(const std::string& path, bool binary, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    // Some servers answer SIZE only in binary mode: the type goes first.
    WithType(binary, std::move(done), [this, path](SessionDone finished) {
        m_engine.SetHostFileName(path);
        auto op = std::make_unique<Op>();
        op->Done = [this, finished](const SessionResult& r) {
            SessionResult sized = r;
            sized.Value = r.Ok ? m_engine.SizeResult() : -1;
            finished(sized);
        };
        Start(std::move(op), &ftp::TCustomFtpCli::BeginSize);
    });
}

void FtpSession::Raw(const std::string& command, SessionDone done)
{
    if (m_op)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_engine.SetLocalFileName(command);
    auto op = std::make_unique<Op>();
    op->Done = std::move(done);
    Start(std::move(op), &ftp::TCustomFtpCli::BeginQuote);
    // A raw TYPE would change the type behind this session's back.
    m_type = -1;
}

bool FtpSession::Abort()
{
    if (!m_op || !m_op->Transfer)
        return false;
    m_abortRequested = true;
    m_engine.AbortTransfer();
    return true;
}

void FtpSession::Close(bool now)
{
    if (!IsConnected())
        return;
    bool quitting = false;
    if (!Busy()) {
        // QUIT, answered or not: the engine closes the connection with it.
        try {
            quitting = m_engine.BeginQuit();
        } catch (const std::exception&) {
        }
    }
    if (!quitting && now)
        m_engine.Abort();
}

} // namespace app
