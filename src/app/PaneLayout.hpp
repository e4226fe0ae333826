// PaneLayout: how the window divides its room, as far as the widgets do not
// keep it themselves: the local pane's share of the width (kept when the
// user moves the splitter), the saved heights of panes, log and queue until
// the window is shown, whether the user sized the remote list's columns, and
// the local list's item last selected (what a double-click opens). Owned by
// the main window; lives on the GUI thread.
#pragma once

#include <QString>

#include <algorithm>
#include <vector>

namespace app {

struct PaneLayout {
    int PaneShare = 500;          // the local pane's share of the width, in thousandths
    std::vector<int> PendingRows; // saved heights of panes, log and queue, set once shown
    bool ColumnsSet = false;      // the user sized the remote list's columns
    bool SizingColumns = false;   // the window sizes them itself: not the user's doing
    QString SelectedLocalItem;

    // The user moved the splitter to left pixels of width: rounded up, so
    // that LeftWidth gives this width back at this window width.
    void KeepShare(int left, int width)
    {
        if (width > 0)
            PaneShare = std::clamp((left * 1000 + width - 1) / width, 1, 999);
    }
    int LeftWidth(int width) const { return width * PaneShare / 1000; }
};

} // namespace app
