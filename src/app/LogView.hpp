// LogView: the log window's lines (listbox1) and the replies' side of the
// log. It owns the lines, most recent last and at most kLogLimit of them,
// and brings listbox1 up to date when the window flushes its views (at most
// ten times a second: laying out and painting the box once per reply cost
// more than the transfers of small files). Owned by the main window; lives
// on the GUI thread.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <string>
#include <vector>

class QPlainTextEdit;

namespace app {

class LogView {
public:
    // Which command the replies answer, and the warnings that wait until
    // the engine has handled the reply.
    struct ReplyWatch {
        bool RawCommand = false; // the command in flight was typed by the user
        std::string LastCommand; // the verb of the last command sent
        std::vector<std::string> PendingWarnings;
    };

    void SetView(QPlainTextEdit& box) { m_box = &box; }
    // Lines were added or dropped: the window schedules a Flush.
    std::function<void()> OnChanged;

    // A note line; the oldest lines go beyond the limit.
    void Add(const std::string& text);
    // A line of the session's dialogue; the oldest goes beyond the limit.
    void AddLine(const std::string& line);
    // Brings listbox1 up to date and scrolls it to the end.
    void Flush();
    void Clear();
    void ScrollToEnd();
    // The lines listbox1 shows, oldest first (after a Flush).
    QStringList Lines();
    int LineCount() const { return m_lineCount; }

    ReplyWatch Replies;

private:
    void Append(const std::string& text);
    void DropFirst();

    QPlainTextEdit* m_box = nullptr;
    std::deque<QString> m_lines;
    int m_adds = 0, m_drops = 0; // changes not yet in listbox1
    int m_lineCount = 0;
};

} // namespace app
