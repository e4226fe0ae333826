// Small pieces the window's handler files share.
#pragma once

#include "app/core/Captions.hpp"

#include <QApplication>
#include <QString>

#include <string>

namespace app {

// A recursive walk of remote folders goes no deeper.
inline constexpr int kMaxWalkDepth = 64;

// The on-screen form of stored or server bytes.
inline QString ShownText(const std::string& bytes)
{
    return QString::fromUtf8(DisplayText(bytes));
}

// The hourglass for the life of a command, taken down on every way out.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace app
