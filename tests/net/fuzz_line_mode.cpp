// Fuzzes line mode: marker, editing, echo and the limit come from the first
// bytes, the rest arrives in receptions of fuzzed sizes, and the handler reads
// in fuzzed sizes and may switch line mode off and on.
#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class FuzzSocket : public net::TWSocket {
public:
    using net::TWSocket::LineFeedForTests;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    const std::uint8_t flags = data[0];
    const int markerLen = 1 + data[1] % 3;
    if (size < 3u + static_cast<std::size_t>(markerLen))
        return 0;
    std::string marker(reinterpret_cast<const char*>(data + 2), static_cast<std::size_t>(markerLen));
    std::size_t pos = 2 + static_cast<std::size_t>(markerLen);
    const bool edit = flags & 1, echo = flags & 2, limit = flags & 4, toggles = flags & 8;
    std::size_t fed = 0, delivered = 0;
    {
        FuzzSocket s;
        s.OnError = [](net::TCustomWSocket*) {};  // echo on an unconnected socket is reported
        s.SetLineMode(true);
        s.SetLineEnd(marker);
        s.SetLineEdit(edit);
        s.SetLineEcho(echo);
        s.SetLineLimit(limit ? 64 : 0);
        int readSize = 1 + (flags >> 4);
        int calls = 0;
        s.OnDataAvailable = [&](net::TCustomWSocket* x, std::uint16_t) {
            char buf[32];
            int n = x->Receive(buf, std::min<int>(readSize, sizeof buf));
            if (n > 0)
                delivered += static_cast<std::size_t>(n);
            if (toggles && ++calls % 5 == 0)
                s.SetLineMode(!s.LineMode());
        };
        while (pos < size) {
            std::size_t chunk = 1 + data[pos++] % 64;
            if (chunk > size - pos)
                chunk = size - pos;
            std::string piece(reinterpret_cast<const char*>(data + pos), chunk);
            pos += chunk;
            fed += chunk;
            s.LineFeedForTests(piece.data(), static_cast<int>(piece.size()));
            platform::ProcessMessages();
        }
        // Nothing is delivered that was not received (editing and the limit
        // only ever shrink it, except tabs which expand).
        if (!edit && delivered + static_cast<std::size_t>(s.LineBufferedCount()) > fed)
            std::abort();
    }
    platform::ProcessMessages();
    return 0;
}
