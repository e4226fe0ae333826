// Starting a peer on a port from FreePort().
#pragma once

#include "peer.hpp"

namespace testsupport {

// A free port can be taken by someone else before the peer binds it; try a
// few. start(port) starts the peer on port and says whether it came up.
// port is 0 when no attempt succeeded.
template <typename StartFn>
bool StartOnFreePort(int& port, StartFn start)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = FreePort();
        if (start(port))
            return true;
    }
    port = 0;
    return false;
}

} // namespace testsupport
