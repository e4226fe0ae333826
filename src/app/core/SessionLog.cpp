#include "app/core/SessionLog.hpp"

namespace app {

namespace {
bool Starts(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}
bool Has(std::string_view s, std::string_view part)
{
    return s.find(part) != std::string_view::npos;
}
} // namespace

bool IsFailureLine(std::string_view line)
{
    // Each later test overrides the earlier ones.
    bool failure = false;
    if (Starts(line, "< 2"))
        failure = false;
    if (Starts(line, "< 4") || Starts(line, "< 5") || Starts(line, "! 426"))
        failure = true;
    if (Starts(line, "< 550") || Starts(line, "< 42"))
        failure = false;
    if (Has(line, "bytes"))
        failure = false;
    return failure;
}

std::string MaskedLine(std::string_view line)
{
    return Has(line, "PASS") ? std::string("> PASS ********") : std::string(line);
}

LineNotes NotesFor(std::string_view line)
{
    static constexpr struct {
        const char* Part;
        const char* Note;
        const char* Status;
        bool LogsIn;
    } kTable[] = {
        { "< 331", "PASSWORD IS REQUIRED", "Password is required.", false },
        { "< 230", "CONNECTED.", nullptr, true },
        { "< 530", "LOGIN INCORRECT.", "Login incorrect..", false },
        { "> LIST", "PLEASE WAIT WHILE FILES LIST APPEARS AT THE RIGHT SIDE", "Building list...", false },
    };
    LineNotes notes;
    int n = 0;
    for (const auto& row : kTable) {
        if (!Has(line, row.Part))
            continue;
        notes.Note[n++] = row.Note;
        if (row.Status)
            notes.Status = row.Status;
        notes.LoggedIn = notes.LoggedIn || row.LogsIn;
    }
    return notes;
}

bool IsTransferCommand(std::string_view command)
{
    return Has(command, "GET") || Has(command, "RETR") || Has(command, "STOR");
}

bool IsOwnInitiativeCommand(std::string_view command)
{
    const std::string_view verb = command.substr(0, command.find(' '));
    for (const char* own : { "OPTS", "FEAT", "NOOP", "EPSV", "EPRT", "SYST", "SIZE" })
        if (verb == own)
            return true;
    return false;
}

std::string_view LastPathElement(std::string_view path)
{
    if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
        path.remove_suffix(1);
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

void ApplyUploadChoice(const bool (&boxes)[7], bool allFiles, std::string& filter, int& type)
{
    if (allFiles) {
        filter = ".";
        type = 2;
        return;
    }
    static constexpr struct {
        const char* Filter;
        int Type;
    } kChoices[7] = { { ".HTM", 1 }, { ".GIF", 2 }, { ".JP", 2 }, { ".MP", 2 }, { ".PL", 1 }, { ".EXE", 2 },
        { ".ZIP", 2 } };
    for (int i = 0; i < 7; ++i) {
        if (boxes[i]) {
            filter = kChoices[i].Filter;
            type = kChoices[i].Type;
        }
    }
}

} // namespace app
