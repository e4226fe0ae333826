#include "app/core/DesktopEntries.hpp"

#include "app/core/SafeFile.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace app {

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> SplitList(std::string_view value)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == ';') {
            if (i > start)
                items.emplace_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    return items;
}

// Splits a command line: blanks separate arguments, double quotes group,
// and inside quotes a backslash escapes ", `, $ and itself.
bool SplitArguments(std::string_view line, std::vector<std::string>& args)
{
    std::string current;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < line.size()) {
                current += line[++i];
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                args.push_back(std::move(current));
            current.clear();
            inWord = false;
        } else {
            current += c;
            inWord = true;
        }
    }
    if (quoted)
        return false;
    if (inWord)
        args.push_back(std::move(current));
    return !args.empty();
}

std::string FileUrl(const std::string& path)
{
    static const char* hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::string_view("/-._~").find(char(c)) != std::string_view::npos) {
            url += char(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

} // namespace

bool ParseDesktopEntry(std::string_view text, DesktopApp& app)
{
    bool inGroup = false, application = false, hidden = false;
    app.Name.clear();
    app.Exec.clear();
    app.MimeTypes.clear();
    for (const std::string& raw : SplitLines(text)) {
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!inGroup || eq == std::string_view::npos)
            continue;
        const std::string_view key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "Type")
            application = value == "Application";
        else if (key == "Name")
            app.Name = value;
        else if (key == "Exec")
            app.Exec = value;
        else if (key == "MimeType")
            app.MimeTypes = SplitList(value);
        else if ((key == "Hidden" || key == "NoDisplay") && value == "true")
            hidden = true;
    }
    return application && !hidden && !app.Exec.empty() && !app.Name.empty();
}

std::vector<std::string> ExpandExec(std::string_view exec, const std::string& file)
{
    std::vector<std::string> words;
    if (!SplitArguments(exec, words))
        return {};
    std::vector<std::string> args;
    bool placed = false;
    for (const std::string& word : words) {
        // A code standing alone for a list of files takes the one file.
        if (word == "%F" || word == "%U" || word == "%f" || word == "%u") {
            args.push_back(word[1] == 'u' || word[1] == 'U' ? FileUrl(file) : file);
            placed = true;
            continue;
        }
        std::string out;
        bool dropped = false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (word[i] != '%' || i + 1 == word.size()) {
                out += word[i];
                continue;
            }
            const char code = word[++i];
            if (code == '%') {
                out += '%';
            } else if (code == 'f' || code == 'F') {
                out += file;
                placed = true;
            } else if (code == 'u' || code == 'U') {
                out += FileUrl(file);
                placed = true;
            } else if (out.empty() && i + 1 == word.size()) {
                dropped = true; // %i, %c, %k and the rest name nothing here
            }
        }
        if (!dropped)
            args.push_back(std::move(out));
    }
    if (args.empty())
        return {};
    if (!placed)
        args.push_back(file);
    return args;
}

std::vector<std::string> ExpandCommandLine(std::string_view line, const std::string& file)
{
    std::vector<std::string> args;
    if (!SplitArguments(line, args))
        return {};
    args.push_back(file);
    return args;
}

std::vector<DesktopApp> AppsForMimeType(const std::vector<std::string>& dataDirs, const std::string& mimeType)
{
    namespace fs = std::filesystem;
    std::vector<DesktopApp> apps;
    std::set<std::string> seen;
    for (const std::string& dir : dataDirs) {
        std::error_code ec;
        const fs::path folder = fs::path(dir) / "applications";
        if (!fs::is_directory(folder, ec))
            continue;
        std::vector<fs::path> entries;
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() == ".desktop")
                entries.push_back(it->path());
        }
        std::sort(entries.begin(), entries.end());
        for (const fs::path& path : entries) {
            // Entries in sub-folders are named with '-' for the folder separator.
            std::string id = fs::relative(path, folder, ec).string();
            std::replace(id.begin(), id.end(), '/', '-');
            if (!seen.insert(id).second)
                continue;
            std::string text;
            DesktopApp app;
            if (!ReadWholeFile(path.string(), text) || !ParseDesktopEntry(text, app))
                continue;
            if (std::find(app.MimeTypes.begin(), app.MimeTypes.end(), mimeType) == app.MimeTypes.end())
                continue;
            app.Id = id;
            apps.push_back(std::move(app));
        }
    }
    std::sort(apps.begin(), apps.end(), [](const DesktopApp& a, const DesktopApp& b) { return a.Name < b.Name; });
    return apps;
}

} // namespace app
