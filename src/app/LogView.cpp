#include "app/LogView.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/SessionLog.hpp"

#include <QPlainTextEdit>
#include <QTextBlock>

namespace app {

void LogView::Append(const std::string& text)
{
    m_lines.push_back(ShownText(text));
    ++m_adds;
    if (OnChanged)
        OnChanged();
}

void LogView::DropFirst()
{
    if (m_lines.empty())
        return;
    m_lines.pop_front();
    ++m_drops;
}

void LogView::Add(const std::string& text)
{
    m_lineCount = m_lines.empty() ? 1 : int(m_lines.size()) + 1;
    Append(text);
    while (m_lineCount > kLogLimit) {
        DropFirst();
        m_lineCount = int(m_lines.size()) + 1;
    }
}

void LogView::AddLine(const std::string& line)
{
    Append(line);
    if (++m_lineCount > kLogLimit)
        DropFirst();
}

void LogView::Flush()
{
    if (m_adds == 0 && m_drops == 0)
        return;
    QPlainTextEdit* log = m_box;
    const int shown = log->document()->isEmpty() ? 0 : log->document()->blockCount();
    if (m_drops >= shown || m_adds > kLogLimit) {
        QStringList lines(m_lines.begin(), m_lines.end());
        log->setPlainText(lines.join(QLatin1Char('\n')));
    } else {
        QStringList added(m_lines.end() - m_adds, m_lines.end());
        if (!added.isEmpty())
            log->appendPlainText(added.join(QLatin1Char('\n')));
        RemoveFirstLines(*log, m_drops);
    }
    m_adds = m_drops = 0;
    log->moveCursor(QTextCursor::End);
    log->ensureCursorVisible();
}

void LogView::Clear()
{
    m_lines.clear();
    m_adds = m_drops = 0;
    m_box->clear();
    m_lineCount = 0;
}

void LogView::ScrollToEnd()
{
    Flush();
    m_box->moveCursor(QTextCursor::End);
    m_box->ensureCursorVisible();
}

QStringList LogView::Lines()
{
    Flush();
    QStringList lines;
    const QTextDocument* doc = m_box->document();
    if (doc->isEmpty())
        return lines;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}

} // namespace app
