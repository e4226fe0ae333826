// The log's reading of the engine's display lines and the small rules of the
// session commands: decided without a window, so they are tested by tables.
#pragma once

#include <string>
#include <string_view>

namespace app {

// The log keeps at most this many lines.
inline constexpr int kLogLimit = 100;

// True when a display line reports a failure the user is warned about:
// 4xx and 5xx replies except 42x and 550, and engine notes "! 426";
// a line that mentions "bytes" never counts.
bool IsFailureLine(std::string_view line);

// The line as it is logged: anything that mentions "PASS" is masked.
std::string MaskedLine(std::string_view line);

// What a logged line tells the user besides itself.
struct LineNotes {
    const char* Note[4] = {};   // notes for the log, in order, nullptr ends
    const char* Status = nullptr; // status panel 0 text of the last match
    bool LoggedIn = false;        // "< 230" seen
};
LineNotes NotesFor(std::string_view loggedLine);

// The command hook: does the command start a file transfer?
bool IsTransferCommand(std::string_view command);

// Commands the program or the engine sends on its own initiative (options,
// features, keep-alive, the passive-mode probe, the size check): a refusal
// of one is logged, never a warning box.
bool IsOwnInitiativeCommand(std::string_view command);

// The last element of a path, after one trailing separator is dropped
// ('/pub/docs/' gives 'docs'); both separators count.
std::string_view LastPathElement(std::string_view path);

// The options dialog's upload filter: the boxes in their order (Pages, GIF,
// JPG, Multimedia, PERL, Applications, ZIP) and "All files". Filter and type
// keep their values when nothing is ticked.
void ApplyUploadChoice(const bool (&boxes)[7], bool allFiles, std::string& filter, int& type);

// The reconnection gives up after this many failed attempts in a row.
inline constexpr int kMaxReconnects = 10;

} // namespace app
