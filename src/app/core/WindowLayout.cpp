#include "app/core/WindowLayout.hpp"

#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"

#include <algorithm>
#include <charconv>

namespace app {

namespace {

constexpr int kMaxExtent = 100000;
constexpr std::size_t kMaxListed = 16;

// Comma-separated whole numbers; nullopt on anything else.
std::optional<std::vector<int>> Numbers(std::string_view text, bool allowNegative)
{
    std::vector<int> values;
    while (values.size() <= kMaxListed) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        int value = 0;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
        if (item.empty() || ec != std::errc() || end != item.data() + item.size() || value > kMaxExtent
            || value < (allowNegative ? -kMaxExtent : 0))
            return std::nullopt;
        values.push_back(value);
        if (comma == std::string_view::npos)
            return values;
        text.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

std::string Join(const std::vector<int>& values)
{
    std::string text;
    for (int v : values)
        text += (text.empty() ? "" : ",") + std::to_string(v);
    return text;
}

} // namespace

std::optional<WindowLayout> ParseWindowLayout(std::string_view text)
{
    WindowLayout layout;
    bool placed = false;
    for (const std::string& line : SplitLines(text)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string_view key = std::string_view(line).substr(0, eq);
        const std::string_view value = std::string_view(line).substr(eq + 1);
        if (key == "geometry") {
            const auto g = Numbers(value, true);
            if (!g || g->size() != 4 || (*g)[2] <= 0 || (*g)[3] <= 0)
                return std::nullopt;
            layout.geometry = { (*g)[0], (*g)[1], (*g)[2], (*g)[3] };
            placed = true;
        } else if (key == "maximized") {
            layout.maximized = value == "1";
        } else if (key == "panes") {
            const auto share = Numbers(value, false);
            if (share && share->size() == 1 && share->front() > 0 && share->front() < 1000)
                layout.paneShare = share->front();
        } else if (key == "rows") {
            layout.rows = Numbers(value, false).value_or(std::vector<int>());
        } else if (key == "columns") {
            layout.columns = Numbers(value, false).value_or(std::vector<int>());
        } else if (key == "columnsset") {
            layout.columnsSet = value == "1";
        } else if (key == "localcolumns") {
            layout.localColumns = Numbers(value, false).value_or(std::vector<int>());
        }
    }
    if (!placed)
        return std::nullopt;
    return layout;
}

std::string FormatWindowLayout(const WindowLayout& layout)
{
    const WindowRect& g = layout.geometry;
    std::vector<std::string> lines = { "geometry=" + Join({ g.x, g.y, g.width, g.height }),
        std::string("maximized=") + (layout.maximized ? "1" : "0"), "panes=" + std::to_string(layout.paneShare) };
    if (!layout.rows.empty())
        lines.push_back("rows=" + Join(layout.rows));
    if (!layout.columns.empty())
        lines.push_back("columns=" + Join(layout.columns));
    if (layout.columnsSet)
        lines.push_back("columnsset=1");
    if (!layout.localColumns.empty())
        lines.push_back("localcolumns=" + Join(layout.localColumns));
    return JoinLinesCrLf(lines);
}

std::optional<WindowLayout> ReadWindowLayout(const std::string& programDir)
{
    std::string text;
    if (!ReadWholeFile(JoinPath(programDir, kWindowFileName), text))
        return std::nullopt;
    return ParseWindowLayout(text);
}

bool WriteWindowLayout(const std::string& programDir, const WindowLayout& layout, std::string* error)
{
    return WriteFileAtomic(JoinPath(programDir, kWindowFileName), FormatWindowLayout(layout), kKeepMode, error);
}

bool OnSomeScreen(const WindowRect& window, const std::vector<WindowRect>& screens)
{
    // The strip of the top edge where a window is taken hold of.
    constexpr int kGrip = 30;
    for (const WindowRect& s : screens) {
        const long left = std::max<long>(window.x, s.x);
        const long right = std::min<long>(long(window.x) + window.width, long(s.x) + s.width);
        const bool topInside = window.y >= s.y && long(window.y) + kGrip <= long(s.y) + s.height;
        if (topInside && right - left >= std::min(100, window.width))
            return true;
    }
    return false;
}

WindowRect DefaultWindowSize(int screenWidth, int screenHeight)
{
    // Never smaller than the layout's own size (where the screen has the room),
    // so that every strip shows whole; beyond that wider lists help little.
    constexpr int kLaidOutWidth = 843, kLaidOutHeight = 508, kMaxWidth = 1600, kMaxHeight = 1000;
    WindowRect r;
    r.width = std::min(std::clamp(screenWidth * 9 / 10, kLaidOutWidth, kMaxWidth), std::max(screenWidth, 550));
    r.height = std::min(std::clamp(screenHeight * 9 / 10, kLaidOutHeight, kMaxHeight), std::max(screenHeight, 400));
    r.x = std::max(0, (screenWidth - r.width) / 2);
    r.y = std::max(0, (screenHeight - r.height) / 2);
    return r;
}

} // namespace app
