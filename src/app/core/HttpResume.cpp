#include "app/core/HttpResume.hpp"

#include <charconv>

namespace app {

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> Number(std::string_view s)
{
    s = Trim(s);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < 0)
        return std::nullopt;
    return value;
}

// The part after the unit: "100-199/200" or "*/200".
std::optional<std::string_view> RangeText(std::string_view contentRange)
{
    contentRange = Trim(contentRange);
    constexpr std::string_view unit = "bytes";
    if (contentRange.size() <= unit.size())
        return std::nullopt;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        const char c = contentRange[i];
        if ((c >= 'A' && c <= 'Z' ? char(c + 32) : c) != unit[i])
            return std::nullopt;
    }
    return Trim(contentRange.substr(unit.size()));
}

} // namespace

std::optional<std::int64_t> ContentRangeTotal(std::string_view contentRange)
{
    const std::optional<std::string_view> range = RangeText(contentRange);
    const std::size_t slash = range ? range->find('/') : std::string_view::npos;
    if (slash == std::string_view::npos)
        return std::nullopt;
    return Number(range->substr(slash + 1));
}

std::optional<std::int64_t> ContentRangeFirst(std::string_view contentRange)
{
    const std::optional<std::string_view> range = RangeText(contentRange);
    const std::size_t dash = range ? range->find('-') : std::string_view::npos;
    if (dash == std::string_view::npos)
        return std::nullopt;
    return Number(range->substr(0, dash));
}

THttpResume HttpResumeAction(int status, std::int64_t have, std::string_view contentRange)
{
    switch (status) {
    case 200:
        return hrRewrite;
    case 206:
        // A part that starts anywhere else would put bytes in the wrong place.
        return ContentRangeFirst(contentRange) == have ? hrAppend : hrKeep;
    case 416:
        // Past the end of what the server has: done only if that end is ours.
        return have > 0 && ContentRangeTotal(contentRange) == have ? hrComplete : hrKeep;
    default:
        return hrKeep;
    }
}

} // namespace app
