#include "editordll/EditorPrompts.hpp"

#include <QFileDialog>
#include <QMessageBox>

namespace editordll {

namespace {
Prompts g_qtPrompts;
Prompts* g_prompts = nullptr;
} // namespace

Prompts::~Prompts() = default;

QString Prompts::SaveAsPath(QWidget* parent, const QString& current)
{
    return QFileDialog::getSaveFileName(parent, QObject::tr("Save As"), current);
}

Prompts::Answer Prompts::AskUnsaved(QWidget* parent, const QString& name)
{
    const auto button = QMessageBox::warning(parent, QObject::tr("Editor"),
        QObject::tr("\"%1\" has unsaved changes. Save them?").arg(name),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    if (button == QMessageBox::Save)
        return Answer::Save;
    if (button == QMessageBox::Discard)
        return Answer::Discard;
    return Answer::Cancel;
}

void Prompts::ShowError(QWidget* parent, const QString& text)
{
    QMessageBox::warning(parent, QObject::tr("Editor"), text);
}

void SetPrompts(Prompts* prompts)
{
    g_prompts = prompts;
}

Prompts& CurrentPrompts()
{
    return g_prompts ? *g_prompts : g_qtPrompts;
}

} // namespace editordll
