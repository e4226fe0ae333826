// The remote listing without a window: LIST lines to rows, the rows' sort
// orders and the name rules of the recursive walk. Pure functions and a
// small per-listing parser; no thread affinity, no message processing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kTypeDirectory = "Directory";
inline constexpr const char* kTypeFile = "File";

// One row of the remote list. All texts are the server's bytes.
struct RemoteRow {
    std::string name;        // caption; a link keeps "link -> target"
    std::string size;        // Size text, "" when 0 or unknown
    std::string type;        // "Directory", "File", or "" for a line that could not be read
    std::string changed;     // Last changed, "yyyy.mm.dd hh:nn"
    std::string perms;       // Permissions
    int subItems = 0;        // sub-items received: 4, or 0 for a row that has only its name
    int image = 1;           // 0 folder, 1 file (extension icons are assigned by the window)
    std::uint64_t bytes = 0; // numeric size
    std::string iconKey;     // lower-case extension from the first '.' ('.tar.gz'), "" when none
    bool exactName = false;  // the name is the file's own (MLSD): never cut at " -> "
    bool IsFolder() const { return type == kTypeDirectory; }
};

// The name commands use on the server: for a link row (perms start with 'l')
// of a LIST listing the text before " -> ", else the caption.
std::string CommandName(const RemoteRow& row);

// False for names a recursive walk must skip: "", ".", "..", names holding
// '/' or a NUL byte (a server must not steer the walk out of its folder).
bool IsWalkableName(std::string_view name);

struct CivilDate {
    int year;
    int month; // 1..12
    int day;   // 1..31
};
// The local date now. Injected into the parser so that year-less dates are
// decided against a known day.
CivilDate Today();

// Reads the lines of one listing in order. A listing starts in UNIX mode;
// the first accepted line that begins with a digit switches it to DOS mode
// for the rest of the listing (a line that does not begin with a digit is
// still read by its structure), so use one parser per listing.
class ListParser {
public:
    explicit ListParser(CivilDate today);

    // nullopt: the line makes no row (a "total" line, a line that is not a
    // listing entry, the "." entry). A trailing CR is ignored.
    std::optional<RemoteRow> ParseLine(std::string_view line);

    // Lines that made a row with only its name (for a note in the log).
    int Unreadable() const { return m_unreadable; }
    bool DosMode() const { return m_dos; }

private:
    struct Span {
        std::size_t begin;
        std::size_t end;
    };
    bool ReadFixed(std::string_view line, RemoteRow& row) const;
    bool ReadStructure(std::string_view line, RemoteRow& row);
    bool ReadDate(std::string_view line, std::size_t i, int& year, int& month, int& day, int& hour, int& minute,
                  bool& hasYear, std::size_t& next) const;
    bool ReadDos(std::string_view line, RemoteRow& row) const;
    std::string DateText(int year, int month, int day, int hour, int minute, bool hasYear) const;

    CivilDate m_today;
    int m_yearAgo; // the year of the day 365 days before m_today
    bool m_dos = false;
    int m_unreadable = 0;
    std::vector<Span> m_tokens; // scratch of ReadStructure, kept to avoid allocating per line
};

// A whole listing (LF or CRLF lines) to rows in file order.
std::vector<RemoteRow> ParseListing(std::string_view text, CivilDate today, int* unreadable = nullptr);

// One MLSD line ("fact=value;...; name") to a row with the LIST columns:
// type, size, modify (UTC, shown in local time as "yyyy.mm.dd hh:nn") and
// unix.mode as "drwxr-xr-x" (else the perm fact). The name is everything
// after the first "; " (or the leading blank of a line without facts),
// exact. nullopt for cdir, for pdir unless it is named "..", for ".", and
// for a line without a name. A trailing CR is ignored.
std::optional<RemoteRow> ParseMlsdLine(std::string_view line);

// A whole MLSD listing to rows in file order; unreadable counts the
// non-empty lines that made no row and were not cdir, pdir or ".".
std::vector<RemoteRow> ParseMlsdListing(std::string_view text, int* unreadable = nullptr);

// The Permissions column: the type letter, then the mode's bits as
// "rwxr-xr-x", with setuid, setgid and sticky shown as ls shows them.
std::string PermissionsText(char kind, unsigned mode);

// The built-in comparison: column 0 name (upper-cased, ordinal), 1 size
// (numeric), 2 type, 3 Last changed (ordinal); any other column is equal.
// A negative column compares column -column reversed. Returns <0, 0, >0.
int CompareRows(const RemoteRow& a, const RemoteRow& b, int column);

// The order of a new listing: stable by name, then stable by type, so folders
// come first and each group is ordered by name ignoring case.
void SortListing(std::vector<RemoteRow>& rows);

// The order after a click on a column header (0 name, 1 size, 2 type,
// 3 Last changed, 4 permissions). Direction 1: text ascending and the largest
// size first; 0 the reverse. A strict weak order, for std::stable_sort.
bool ColumnClickLess(const RemoteRow& a, const RemoteRow& b, int column, int direction);

} // namespace app
