// Small pieces the window's handler files share.
#pragma once

#include "app/core/Captions.hpp"

#include <QApplication>
#include <QPlainTextEdit>
#include <QString>
#include <QTextCursor>

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

// Drops the first line of a text box (the log, the queue window).
inline void RemoveFirstLine(QPlainTextEdit& box)
{
    QTextCursor cursor(box.document());
    cursor.movePosition(QTextCursor::Start);
    if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor))
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

} // namespace app
