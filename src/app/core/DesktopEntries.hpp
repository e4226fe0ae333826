// The applications a desktop offers for a type of file: read from the
// .desktop entries under the data folders, and their command lines made
// ready to run on one file. No Qt; no process is started here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

struct DesktopApp {
    std::string Id;   // file name of the entry ("org.example.Viewer.desktop")
    std::string Name; // the untranslated Name
    std::string Exec; // the command line with its field codes
    std::vector<std::string> MimeTypes;
};

// Reads the [Desktop Entry] group of one entry. False for anything that is
// not a shown application with a command (Hidden, NoDisplay, no Exec).
bool ParseDesktopEntry(std::string_view text, DesktopApp& app);

// The program and its arguments for Exec run on file: the line is split as
// the entry format quotes it, %f %F %u %U become the file (a URL for %u %U),
// %% a percent sign, other field codes go. The file is added at the end when
// the line names no place for it. Empty when the line cannot be read.
std::vector<std::string> ExpandExec(std::string_view exec, const std::string& file);

// The same for a command line the user typed (no field codes needed).
std::vector<std::string> ExpandCommandLine(std::string_view line, const std::string& file);

// Applications of the entries under <dir>/applications for every dir, the
// first entry of an Id winning, that declare mimeType; sorted by name.
std::vector<DesktopApp> AppsForMimeType(const std::vector<std::string>& dataDirs, const std::string& mimeType);

} // namespace app
