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

// Drops the first count lines of a text box (the log, the queue window) in one edit.
inline void RemoveFirstLines(QPlainTextEdit& box, int count)
{
    QTextDocument* doc = box.document();
    if (count <= 0 || doc->isEmpty())
        return;
    if (count >= doc->blockCount()) {
        box.clear();
        return;
    }
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
    cursor.removeSelectedText();
}

} // namespace app
