// Fuzz target: reply header lines (status line, header fields, content
// length and range) and chunked bodies cut at a split point taken from the input.
#include "http/HttpParse.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t split = data[0];
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);

    // Header part: up to the first empty line, split at LF, CR removed.
    std::size_t pos = 0;
    bool first = true;
    while (pos < in.size()) {
        std::size_t lf = in.find('\n', pos);
        if (lf == std::string_view::npos)
            break;
        std::string_view line = in.substr(pos, lf - pos);
        pos = lf + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (first) {
            http::TStatusLine s;
            if (http::ParseStatusLine(line, s) && (s.Status < -1 || s.Status > 999))
                std::abort();
            first = false;
            continue;
        }
        std::string name, value, b, e;
        if (http::SplitHeaderLine(line, name, value)) {
            if (auto n = http::ParseContentLength(value); n && *n < 0)
                std::abort();
            http::ParseContentRange(value, b, e);
        }
        http::ParseURL(line);
        http::ResolveLocation("http://h/a/b", line);
        http::DocumentNameOf(line);
    }

    // Body part, chunked, fed in two pieces.
    std::string_view body = in.substr(pos);
    http::TChunkDecoder d;
    std::size_t cut = body.empty() ? 0 : split % (body.size() + 1);
    std::string_view pieces[2] = {body.substr(0, cut), body.substr(cut)};
    std::size_t total = 0;
    for (auto piece : pieces) {
        while (!piece.empty()) {
            std::size_t used = 0;
            const char* seg = nullptr;
            std::size_t segLen = 0;
            auto r = d.Next(piece.data(), piece.size(), used, seg, segLen);
            if (used > piece.size() || (r == http::TChunkDecoder::chData &&
                                        (seg < piece.data() || seg + segLen > piece.data() + piece.size())))
                std::abort();
            total += segLen;
            piece.remove_prefix(used);
            if (r == http::TChunkDecoder::chDone || r == http::TChunkDecoder::chError)
                break;
            if (r == http::TChunkDecoder::chNeedMore && !piece.empty())
                std::abort();
        }
    }
    if (total > body.size())
        std::abort();
    return 0;
}
