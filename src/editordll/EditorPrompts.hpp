// The questions the editor window asks. Qt's dialogs by default; tests
// install their own answers so that no dialog ever waits for a person.
#pragma once

#include "editordll/editordll.h"

#include <QString>

class QWidget;

namespace editordll {

class EDITORDLL_API Prompts {
public:
    enum class Answer { Save, Discard, Cancel };

    virtual ~Prompts();
    // The path to save to; empty when the user cancelled.
    virtual QString SaveAsPath(QWidget* parent, const QString& current);
    // Unsaved changes to the file called name: save them, drop them, or stay.
    virtual Answer AskUnsaved(QWidget* parent, const QString& name);
    virtual void ShowError(QWidget* parent, const QString& text);
};

// Replaces the prompts; nullptr brings Qt's dialogs back. Not owned: it must
// outlive its use.
EDITORDLL_API void SetPrompts(Prompts* prompts);
Prompts& CurrentPrompts();

} // namespace editordll
