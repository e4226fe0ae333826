// RemoteSession: how the window and the transfer queue talk to a server,
// with nothing of one protocol in the interface. Every operation starts at
// once and ends with its callback, which is always called later from the
// event loop, never inside the call that started it. One operation at a
// time per session: a second one while the first runs ends Refused.
//
// Implementations live on the thread that runs the platform event loop (the
// GUI thread in the program). One that blocks (a library without an
// asynchronous interface) runs its work on a thread of its own and posts its
// results to that loop. Several sessions to one site may exist side by side;
// each has its own connection and its own state.
#pragma once

#include "app/core/RemoteList.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace app {

struct SessionResult {
    bool Ok = false;
    // Not started: another operation runs, there is no connection, or a
    // value was missing. Nothing was sent.
    bool Refused = false;
    // Ended by Abort.
    bool Aborted = false;
    // The server's reply or the library's text when it failed.
    std::string Message;
    // Size's answer, a transfer's byte count; -1 when none.
    std::int64_t Value = -1;
    // A listing's lines as received, and how many of them made a row with
    // only its name; both 0 where the protocol sends no text.
    std::size_t Lines = 0;
    std::size_t Unreadable = 0;
};

using SessionDone = std::function<void(const SessionResult&)>;

struct TransferOptions {
    bool Binary = true;
    // Where the transfer starts: 0 for the whole file, else the bytes the
    // target already holds (a resume).
    std::int64_t Offset = 0;
    // The bytes moved so far, offset included; called at most as often as
    // the data arrives.
    std::function<void(std::int64_t count)> Progress;
};

class RemoteSession {
public:
    // A question only the user can answer (a server's key or certificate
    // to trust, a passphrase): Buttons in order, the last one cancels.
    struct Question {
        std::string Text;
        std::vector<std::string> Buttons;
        // Shown as a warning (a server key that changed), not a question.
        bool Warning = false;
        // The button Enter picks.
        std::size_t Default = 0;
        // A text field under the text (a passphrase, a log-in prompt): its
        // first contents, and whether what is typed is shown.
        bool Input = false;
        bool Echo = true;
        std::string InputText;
    };
    // The button chosen and, for a question with a text field, its text.
    using Answer = std::function<void(std::size_t button, const std::string& text)>;
    // What the session tells its owner outside any operation. Ask is
    // answered through answer, once, now or later, also after the session
    // is gone; the session waits meanwhile. Without an Ask handler every
    // question is answered with its last button.
    struct Events {
        std::function<void()> Connected;
        std::function<void()> Closed;
        std::function<void(const std::string& line)> Log;
        std::function<void(const Question& question, Answer answer)> Ask;
    };

    virtual ~RemoteSession() = default;

    Events& SessionEvents() { return m_events; }

    // A short name for the log ("FTP", "SFTP").
    virtual std::string Protocol() const = 0;
    virtual bool IsConnected() const = 0;
    // An operation is in flight.
    virtual bool Busy() const = 0;
    // Counted up by every connection and every close: an answer that comes
    // under another generation than its question's is not this session's.
    virtual std::uint32_t Generation() const = 0;

    // Connects and logs in with the settings the session was made with.
    virtual void Connect(SessionDone done) = 0;
    virtual void CurrentFolder(std::function<void(const SessionResult&, const std::string& folder)> done) = 0;
    virtual void ChangeFolder(const std::string& folder, SessionDone done) = 0;
    // The rows of folder ("" for the current one), sorted as the list shows
    // them; Lines and Unreadable of the result count the listing's text.
    virtual void List(const std::string& folder,
        std::function<void(const SessionResult&, std::vector<RemoteRow> rows)> done) = 0;
    virtual void Get(const std::string& remote, const std::string& local, const TransferOptions& options,
        SessionDone done) = 0;
    virtual void Put(const std::string& local, const std::string& remote, const TransferOptions& options,
        SessionDone done) = 0;
    virtual void Delete(const std::string& path, SessionDone done) = 0;
    virtual void RemoveFolder(const std::string& path, SessionDone done) = 0;
    virtual void MakeFolder(const std::string& path, SessionDone done) = 0;
    virtual void Rename(const std::string& from, const std::string& to, SessionDone done) = 0;
    virtual void ChangeMode(const std::string& path, const std::string& mode, SessionDone done) = 0;
    // Value: the size in bytes, as a transfer of that type would count it.
    virtual void Size(const std::string& path, bool binary, SessionDone done) = 0;
    // A command as the user typed it; false when the protocol has none.
    virtual bool HasRawCommands() const = 0;
    virtual void Raw(const std::string& command, SessionDone done) = 0;
    // Ends the transfer in flight now; the connection stays. False when no
    // transfer runs.
    virtual bool Abort() = 0;
    // Ends the connection: politely (the protocol's goodbye) when nothing
    // runs; with now, also in the middle of an operation, which then ends
    // failed. Closed follows once the connection is gone.
    virtual void Close(bool now) = 0;

protected:
    Events m_events;
};

} // namespace app
