// Runs the platform event loop of the calling thread in tests that have no
// window: until a condition holds, or for a while.
#pragma once

#include "platform/EventLoop.hpp"

#include <cstdint>

namespace testsupport {

// Pumps the loop until done() or ms passed; true when done() held.
template <class Pred> bool PumpUntil(Pred done, std::uint32_t ms = 20000)
{
    const std::uint32_t start = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - start > ms)
            return false;
        platform::WaitMessage(20);
        platform::ProcessMessages();
    }
    return true;
}

} // namespace testsupport
