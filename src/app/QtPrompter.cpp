#include "app/QtPrompter.hpp"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace app {

namespace {
QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}
} // namespace

void QtPrompter::ShowMessage(const std::string& text, TMessageKind kind)
{
    const QMessageBox::Icon icon = kind == mkError ? QMessageBox::Critical
        : kind == mkWarning                        ? QMessageBox::Warning
                                                   : QMessageBox::Information;
    QMessageBox box(icon, QApplication::applicationDisplayName(), Q(text), QMessageBox::Ok, m_parent);
    box.exec();
}

TAnswer QtPrompter::Confirm(const std::string& text, TAnswers buttons)
{
    QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(), Q(text),
        QMessageBox::NoButton, m_parent);
    // Buttons in the order OK, Cancel, Ignore, All.
    struct Choice {
        TAnswer Answer;
        QMessageBox::StandardButton Button;
        const char* Text;
    };
    static constexpr Choice kChoices[]
        = { { ansOK, QMessageBox::Ok, "OK" }, { ansCancel, QMessageBox::Cancel, "Cancel" },
              { ansIgnore, QMessageBox::Ignore, "Ignore" }, { ansAll, QMessageBox::YesToAll, "All" } };
    for (const Choice& c : kChoices)
        if (buttons.Has(c.Answer))
            box.addButton(c.Button)->setText(QString::fromLatin1(c.Text));
    if (buttons.Has(ansCancel))
        box.setEscapeButton(QMessageBox::Cancel);
    box.exec();
    for (const Choice& c : kChoices)
        if (box.clickedButton() == box.button(c.Button))
            return c.Answer;
    return ansCancel;
}

std::size_t QtPrompter::Choose(const std::string& text, const std::vector<std::string>& buttons)
{
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), Q(text), QMessageBox::NoButton,
        m_parent);
    std::vector<QPushButton*> pushed;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        const bool last = i + 1 == buttons.size();
        pushed.push_back(box.addButton(Q(buttons[i]), last ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    }
    if (!pushed.empty()) {
        box.setEscapeButton(pushed.back());
        box.setDefaultButton(pushed.back());
    }
    box.exec();
    for (std::size_t i = 0; i < pushed.size(); ++i)
        if (box.clickedButton() == pushed[i])
            return i;
    return buttons.empty() ? 0 : buttons.size() - 1;
}

std::optional<std::string> QtPrompter::InputQuery(
    const std::string& caption, const std::string& prompt, const std::string& initial)
{
    bool ok = false;
    const QString text
        = QInputDialog::getText(m_parent, Q(caption), Q(prompt), QLineEdit::Normal, Q(initial), &ok);
    if (!ok)
        return std::nullopt;
    return text.toStdString();
}

std::optional<std::string> QtPrompter::SecretQuery(const std::string& caption, const std::string& prompt)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, Q(caption), Q(prompt), QLineEdit::Password, {}, &ok);
    if (!ok)
        return std::nullopt;
    return text.toStdString();
}

std::optional<std::string> QtPrompter::SaveFileName(
    const std::string& proposedName, const std::string& folder)
{
    const QString start = QDir(folder.empty() ? QDir::currentPath() : Q(folder)).filePath(Q(proposedName));
    const QString path = QFileDialog::getSaveFileName(m_parent, QString(), start);
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}

} // namespace app
