// What a pasted address's reply does to the local file it resumes: decided
// from the status alone, so that no reply but a whole or a matching partial
// document ever touches what is already on disk. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace app {

enum THttpResume : std::uint8_t {
    hrRewrite,  // 200: the whole document, written from the start
    hrAppend,   // 206 starting where the local file ends
    hrComplete, // 416 and the local file already has the full size
    hrKeep,     // anything else: the file stays as it was, the status is shown
};

// status: the reply's status; have: the local file's size (0 when none);
// contentRange: the reply's Content-Range value ("bytes 100-199/200",
// "bytes */200"), empty when it sent none.
THttpResume HttpResumeAction(int status, std::int64_t have, std::string_view contentRange);

// The full size a Content-Range names after its '/' ("bytes */200" and
// "bytes 0-9/200" give 200); nullopt for "*" or anything unreadable.
std::optional<std::int64_t> ContentRangeTotal(std::string_view contentRange);

// The first byte a Content-Range names ("bytes 100-199/200" gives 100).
std::optional<std::int64_t> ContentRangeFirst(std::string_view contentRange);

} // namespace app
