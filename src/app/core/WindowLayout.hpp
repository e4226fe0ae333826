// The main window's size and place, its splitters and both lists' column
// widths, kept between runs in "window.txt" in the settings folder
// ("key=value" lines). Pure functions apart from the file's read and write.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kWindowFileName = "window.txt";

struct WindowRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const WindowRect&) const = default;
};

struct WindowLayout {
    WindowRect geometry;     // the window's normal (not maximised) place and size
    bool maximized = false;
    int paneShare = 500;     // the local pane's share of the width, in thousandths
    std::vector<int> rows;   // the heights of the panes, the log and the queue
    std::vector<int> columns; // the remote list's column widths
    bool columnsSet = false; // the user sized them: they are not fitted to a listing
    std::vector<int> localColumns; // the local list's column widths
    bool operator==(const WindowLayout&) const = default;
};

// nullopt when the text has no usable geometry line; any other line that is
// missing or unreadable keeps its default (an empty list: left as it is).
std::optional<WindowLayout> ParseWindowLayout(std::string_view text);
std::string FormatWindowLayout(const WindowLayout& layout);

// nullopt when the file is missing or unreadable.
std::optional<WindowLayout> ReadWindowLayout(const std::string& programDir);
// Written atomically; false with *error when it could not be.
bool WriteWindowLayout(const std::string& programDir, const WindowLayout& layout, std::string* error = nullptr);

// True when the window's top edge lies on one of the screens far enough to
// take hold of it (a saved place on a screen that is gone is not).
bool OnSomeScreen(const WindowRect& window, const std::vector<WindowRect>& screens);

// The first start's size on a screen of this free size: most of it, with
// room around, no less than the window's minimum and no more than it uses well.
WindowRect DefaultWindowSize(int screenWidth, int screenHeight);

} // namespace app
