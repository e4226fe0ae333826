// Copies local files and folders into the local pane's folder (a paste or a
// drop): asks before replacing a file and never copies a folder into itself.
// One object per paste or drop, so that "All" and Cancel hold for that one
// action only. Blocking file operations on the caller's thread.
#pragma once

#include "app/core/Prompter.hpp"

#include <functional>
#include <string>

namespace app {

enum TLocalCopyResult : std::uint8_t {
    lcCopied,     // everything copied or skipped as answered
    lcFailed,     // something could not be copied (reported through OnNote)
    lcIntoItself, // the target is the source or lies inside it: nothing copied
    lcCancelled,  // Cancel was answered: nothing more is copied
};

class LocalCopy {
public:
    // A file exists where a copy would go. ansOK replaces it, ansAll this one
    // and every later one, ansIgnore skips it, ansCancel ends the action.
    std::function<TAnswer(const std::string& target)> OnExists;
    // A file that could not be copied, or a source that is gone.
    std::function<void(const std::string& note)> OnNote;

    // Copies source (a file, a link as the link, or a folder with all it
    // holds) to target. A folder is merged into an existing one.
    TLocalCopyResult Copy(const std::string& source, const std::string& target);
    bool Cancelled() const { return m_cancelled; }

private:
    bool CopyTree(const std::string& source, const std::string& target);
    bool MayReplace(const std::string& target);
    void Note(const std::string& text);

    bool m_all = false;
    bool m_cancelled = false;
};

// True when target is path itself or lies below it, with links and "..".
// resolved as far as they exist.
bool IsSameOrInside(const std::string& target, const std::string& path);

} // namespace app
