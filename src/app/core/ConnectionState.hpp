// ConnectionState: what the window knows of its session with the server:
// the site it went to (a reconnection goes back there), whether the user
// ended it or a reconnection is due and into which folder, the remote folder
// shown, the log-in, the keep-alive count, the kind of the last command, and
// a serial that every session start and end counts up. Owned by the main
// window; lives on the GUI thread.
#pragma once

#include "app/core/SiteBook.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace app {

struct ConnectionState {
    std::optional<SiteRecord> SessionSite; // the site of the session
    bool Reconnecting = false;    // the timer's reconnection is connecting
    bool DisplaySwitched = false; // the engine's replies go to the log (after the first connect)
    int ReconnectFailures = 0;    // reconnections in a row without a log-in
    bool UserDisconnect = true;   // the session ended (or is to end) at the user's wish
    bool ReconnectPending = false;
    std::string ReconnectDir;     // the folder a reconnection goes back to
    std::string CurrentRemoteDir; // the remote folder as the last listing found it
    int LoggedIn = 0;
    std::int32_t IdleTicks = 119; // timer ticks while the engine was ready; a NOOP every 30
    bool TransferCommand = false; // the last command sent moves a file
    // Counted up by every session start and end (and, with the engine's
    // refusals, makes sure an entry is finished only by its own session).
    std::uint32_t SessionSerial = 0;

    // The session ends as the user's doing: no reconnection follows.
    void EndByUser()
    {
        UserDisconnect = true;
        ReconnectPending = false;
    }
};

} // namespace app
