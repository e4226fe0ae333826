// EngineCalls: the window's calls into the engine and what is known of them.
// It owns the action gate (one action at a time), the count of blocking
// engine calls on the stack, the Stop and close requests that wait for them,
// the controls disabled while busy, what the engine refused during the
// last call, and the speed limits every engine of the window shares. Owned by the main window; lives on the GUI thread.
#pragma once

#include "app/core/ActionGate.hpp"
#include "net/RateLimit.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QObject;

namespace app {

struct EngineCalls {
    ActionGate Gate;
    int EngineWaits = 0;        // blocking engine calls on the stack
    bool StopTransfer = false;  // Stop: the file transfer in flight ends at its next progress
    bool ClosedPending = false; // closed while busy: Closed waits for the stack to unwind
    int Stops = 0;              // Stop presses, to tell a stale grace period from the current one
    std::vector<std::pair<QObject*, TActionPolicy>> Controls; // disabled while busy
    std::string Error;          // what the engine refused during the call in flight
    bool Refused = false;       // the last call was refused
    std::uint32_t Refusals = 0; // counted up by every refusal
    bool Listing = false;       // a listing of the shown folder is on its way
    std::vector<std::function<void()>> ListingWaiters; // asked for another meanwhile: they share it
    // Download and upload limits over all connections together.
    std::shared_ptr<net::TRateLimit> DownLimit = std::make_shared<net::TRateLimit>();
    std::shared_ptr<net::TRateLimit> UpLimit = std::make_shared<net::TRateLimit>();

    // The engine's first refusal of the call in flight is the one reported.
    void NoteError(const std::string& message)
    {
        if (Error.empty())
            Error = message;
    }
    void Refuse()
    {
        Refused = true;
        ++Refusals;
    }
    // Enables the gated buttons and menu items, or disables them while busy.
    void EnableControls(bool enabled) const;
};

} // namespace app
