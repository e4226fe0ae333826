// Reply assembly: bytes cut into lines as the engine does, each line judged
// by the final-line rule. Checks the invariants the engine relies on.
#include "ftp/FtpReply.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool acceptLF = data[0] & 1;
    std::string buffer(reinterpret_cast<const char*>(data) + 1, size - 1);
    while (!buffer.empty()) {
        std::size_t used = ftp::FindLineEnd(buffer, acceptLF);
        if (used == 0)
            break;
        if (used > buffer.size())
            std::abort();
        std::string_view line = ftp::TrimLineEnd(std::string_view(buffer).substr(0, used));
        int code = -1;
        bool final = false;
        bool digit = ftp::ReadReplyCode(line, code, final);
        if (digit && code < 0)
            std::abort();
        if (ftp::IsFinalLine(line) != (digit && final))
            std::abort();
        std::uint16_t port = 0;
        if (ftp::ParseEpsvReply(line, port) && port == 0)
            std::abort();
        buffer.erase(0, used);
    }
    return 0;
}
