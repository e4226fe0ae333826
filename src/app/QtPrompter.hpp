// The program's prompter: Qt message boxes, input queries and the save
// dialog, modal to the window given by SetParentWidget.
#pragma once

#include "app/core/Prompter.hpp"

#include <QPointer>
#include <QWidget>

namespace app {

class QtPrompter : public Prompter {
public:
    explicit QtPrompter(QWidget* parent = nullptr)
        : m_parent(parent)
    { }
    void SetParentWidget(QWidget* parent) { m_parent = parent; }

    void ShowMessage(const std::string& text, TMessageKind kind = mkInformation) override;
    TAnswer Confirm(const std::string& text, TAnswers buttons) override;
    std::size_t Choose(const std::string& text, const std::vector<std::string>& buttons) override;
    std::optional<std::string> InputQuery(
        const std::string& caption, const std::string& prompt, const std::string& initial) override;
    std::optional<std::string> SecretQuery(const std::string& caption, const std::string& prompt) override;
    std::optional<std::string> SaveFileName(
        const std::string& proposedName, const std::string& folder) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace app
