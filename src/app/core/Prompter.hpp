// Every modal question the windows ask goes through one Prompter, so the
// program shows Qt dialogs while tests answer from a script. Calls are made
// on the user-interface thread and block until answered (the Qt form runs a
// nested event loop).
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace app {

enum TAnswer : std::uint8_t { ansOK, ansAll, ansIgnore, ansCancel };

// A small set of answers: the buttons a confirmation offers.
class TAnswers {
public:
    constexpr TAnswers() = default;
    constexpr TAnswers(std::initializer_list<TAnswer> answers)
    {
        for (TAnswer a : answers)
            m_bits = static_cast<std::uint8_t>(m_bits | (1u << a));
    }
    constexpr bool Has(TAnswer a) const { return (m_bits >> a) & 1u; }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr std::uint8_t Bits() const { return m_bits; }

private:
    std::uint8_t m_bits = 0;
};

enum TMessageKind : std::uint8_t { mkInformation, mkWarning, mkError };

class Prompter {
public:
    virtual ~Prompter() = default;

    // A message box with the single button OK.
    virtual void ShowMessage(const std::string& text, TMessageKind kind = mkInformation) = 0;

    // A confirmation offering the given buttons (in the order OK, Cancel,
    // Ignore, All). Returns the button pressed; closing the box is ansCancel.
    virtual TAnswer Confirm(const std::string& text, TAnswers buttons) = 0;

    // A single-line query (caption, prompt, initial text). The entered text
    // on OK, nothing on Cancel.
    virtual std::optional<std::string> InputQuery(const std::string& caption,
                                                  const std::string& prompt,
                                                  const std::string& initial) = 0;

    // The save dialog with a proposed file name (and the folder it opens
    // in, empty for the current one). The chosen full path, nothing on Cancel.
    virtual std::optional<std::string> SaveFileName(const std::string& proposedName,
                                                    const std::string& folder) = 0;
    // As InputQuery, but what is typed is not shown (a passphrase, an
    // answer to a server's log-in prompt). A prompter that cannot ask
    // answers Cancel.
    virtual std::optional<std::string> SecretQuery(const std::string& caption, const std::string& prompt)
    {
        (void)caption, (void)prompt;
        return std::nullopt;
    }
    // A question with buttons of its own (the last one is the cancel button).
    // Returns the index of the button pressed; closing the box is the last.
    // A prompter that cannot ask answers with the last.
    virtual std::size_t Choose(const std::string& text, const std::vector<std::string>& buttons)
    {
        (void)text;
        return buttons.empty() ? 0 : buttons.size() - 1;
    }
};

enum TPromptKind : std::uint8_t { pkMessage, pkConfirm, pkInput, pkSave, pkChoose };

// What a prompt showed, as the ScriptedPrompter records it.
struct PromptRecord {
    TPromptKind Kind;
    std::string Text;    // message, confirmation text, input prompt, proposed name
    std::string Caption; // input caption, save folder
    std::string Initial; // input initial text; the buttons of a choice, one a line
    TAnswers Buttons;    // confirmations
    TMessageKind MessageKind = mkInformation;
};

// Thrown by ScriptedPrompter when a prompt arrives that the script did not
// prepare (none left, or one of another kind, or a button not offered).
class PromptScriptError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Answers prompts from a queue prepared by a test and records every prompt.
// Message boxes need no answer: they are only recorded.
class ScriptedPrompter : public Prompter {
public:
    void ExpectConfirm(TAnswer answer);
    void ExpectInput(std::string text);     // OK with this text
    void ExpectInputCancel();
    void ExpectSave(std::string path);      // the user chose this path
    void ExpectSaveCancel();
    void ExpectChoice(std::size_t button); // the index of the button pressed

    // Prepared answers not used yet.
    std::size_t Pending() const { return m_script.size(); }
    const std::vector<PromptRecord>& Shown() const { return m_shown; }
    // Texts of every prompt shown, in order.
    std::vector<std::string> ShownTexts() const;
    void ClearShown() { m_shown.clear(); }

    void ShowMessage(const std::string& text, TMessageKind kind = mkInformation) override;
    TAnswer Confirm(const std::string& text, TAnswers buttons) override;
    std::optional<std::string> InputQuery(const std::string& caption, const std::string& prompt,
                                          const std::string& initial) override;
    std::optional<std::string> SaveFileName(const std::string& proposedName,
                                            const std::string& folder) override;
    std::size_t Choose(const std::string& text, const std::vector<std::string>& buttons) override;
    // Answered from ExpectInput / ExpectInputCancel; shown with Caption "(hidden) " before the caption.
    std::optional<std::string> SecretQuery(const std::string& caption, const std::string& prompt) override;

private:
    struct Step {
        TPromptKind Kind;
        TAnswer Answer;
        std::optional<std::string> Text;
        std::size_t Button = 0;
    };
    Step Take(TPromptKind kind, const std::string& shownText);

    std::deque<Step> m_script;
    std::vector<PromptRecord> m_shown;
};

} // namespace app
