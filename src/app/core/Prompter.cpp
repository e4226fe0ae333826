#include "app/core/Prompter.hpp"

namespace app {
namespace {

const char* KindName(TPromptKind kind)
{
    switch (kind) {
    case pkMessage: return "message";
    case pkConfirm: return "confirmation";
    case pkInput: return "input query";
    case pkSave: return "save dialog";
    case pkChoose: return "choice";
    }
    return "prompt";
}

} // namespace

void ScriptedPrompter::ExpectConfirm(TAnswer answer) { m_script.push_back({pkConfirm, answer, std::nullopt}); }
void ScriptedPrompter::ExpectInput(std::string text) { m_script.push_back({pkInput, ansOK, std::move(text)}); }
void ScriptedPrompter::ExpectInputCancel() { m_script.push_back({pkInput, ansCancel, std::nullopt}); }
void ScriptedPrompter::ExpectSave(std::string path) { m_script.push_back({pkSave, ansOK, std::move(path)}); }
void ScriptedPrompter::ExpectSaveCancel() { m_script.push_back({pkSave, ansCancel, std::nullopt}); }
void ScriptedPrompter::ExpectChoice(std::size_t button) { m_script.push_back({pkChoose, ansOK, std::nullopt, button}); }

std::vector<std::string> ScriptedPrompter::ShownTexts() const
{
    std::vector<std::string> texts;
    texts.reserve(m_shown.size());
    for (const PromptRecord& record : m_shown)
        texts.push_back(record.Text);
    return texts;
}

ScriptedPrompter::Step ScriptedPrompter::Take(TPromptKind kind, const std::string& shownText)
{
    if (m_script.empty())
        throw PromptScriptError(std::string("unexpected ") + KindName(kind) + " (no answer prepared): \"" +
                                shownText + "\"");
    Step step = m_script.front();
    if (step.Kind != kind)
        throw PromptScriptError(std::string("a ") + KindName(kind) + " arrived but the script expected a " +
                                KindName(step.Kind) + ": \"" + shownText + "\"");
    m_script.pop_front();
    return step;
}

void ScriptedPrompter::ShowMessage(const std::string& text, TMessageKind kind)
{
    PromptRecord record{pkMessage, text, {}, {}, {}, kind};
    m_shown.push_back(record);
}

TAnswer ScriptedPrompter::Confirm(const std::string& text, TAnswers buttons)
{
    m_shown.push_back({pkConfirm, text, {}, {}, buttons, mkInformation});
    const Step step = Take(pkConfirm, text);
    if (!buttons.Has(step.Answer))
        throw PromptScriptError("the scripted answer is not one of the offered buttons: \"" + text + "\"");
    return step.Answer;
}

std::optional<std::string> ScriptedPrompter::InputQuery(const std::string& caption, const std::string& prompt,
                                                        const std::string& initial)
{
    m_shown.push_back({pkInput, prompt, caption, initial, {}, mkInformation});
    Step step = Take(pkInput, prompt);
    return step.Text;
}

std::optional<std::string> ScriptedPrompter::SecretQuery(const std::string& caption, const std::string& prompt)
{
    m_shown.push_back({pkInput, prompt, "(hidden) " + caption, {}, {}, mkInformation});
    Step step = Take(pkInput, prompt);
    return step.Text;
}

std::optional<std::string> ScriptedPrompter::SaveFileName(const std::string& proposedName,
                                                          const std::string& folder)
{
    m_shown.push_back({pkSave, proposedName, folder, {}, {}, mkInformation});
    Step step = Take(pkSave, proposedName);
    return step.Text;
}

std::size_t ScriptedPrompter::Choose(const std::string& text, const std::vector<std::string>& buttons)
{
    std::string names;
    for (const std::string& button : buttons)
        names += (names.empty() ? "" : "\n") + button;
    m_shown.push_back({pkChoose, text, {}, names, {}, mkInformation});
    const Step step = Take(pkChoose, text);
    if (step.Button >= buttons.size())
        throw PromptScriptError("the scripted choice is not one of the offered buttons: \"" + text + "\"");
    return step.Button;
}

} // namespace app
