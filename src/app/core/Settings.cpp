#include "app/core/Settings.hpp"

#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"

#include <sys/stat.h>

#include <algorithm>

namespace app {

bool IsEnglish(std::string_view languageName) { return languageName == kLanguageEnglish; }

bool IsPassive(std::string_view passiveMode) { return passiveMode != "NO"; }

void TransferSettings::SetPassiveMode(const std::string& text)
{
    m_passiveMode = text;
    m_passive = IsPassive(text);
}

namespace {

// Digits only; more than the largest limit is the largest.
int ParseRateLimit(const std::string& value)
{
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    if (value.size() > 9)
        return kMaxRateLimitKiB;
    return std::min(std::stoi(value), kMaxRateLimitKiB);
}

} // namespace

Settings ParseSettings(std::string_view text)
{
    const std::vector<std::string> lines = SplitLines(text);
    if (lines.size() < 3)
        return Settings{};
    Settings settings;
    settings.LanguageName = lines[0];
    settings.ProxyName = lines[1];
    settings.PassiveMode = lines[2];
    for (std::size_t i = 3; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t eq = line.find('=');
        const std::string name = line.substr(0, eq),
                          value = eq == std::string::npos ? "" : line.substr(eq + 1);
        int* limit = name == "download-limit" ? &settings.DownloadLimitKiB
            : name == "upload-limit"          ? &settings.UploadLimitKiB
                                              : nullptr;
        if (limit)
            *limit = ParseRateLimit(value);
        if (name == "connections") {
            // Anything but a number in range leaves the default.
            int n = 0;
            for (char ch : value)
                n = ch >= '0' && ch <= '9' && n <= kMaxConnections ? n * 10 + (ch - '0') : -1;
            if (!value.empty() && n >= 1 && n <= kMaxConnections)
                settings.Connections = n;
        }
    }
    return settings;
}

Settings ReadSettings(const std::string& programDir, std::string* error)
{
    const std::string path = JoinPath(programDir, kSettingsFileName);
    std::string bytes;
    std::string readError;
    if (!ReadWholeFile(path, bytes, &readError)) {
        // A missing file is the first start; one that is there but cannot be
        // read still holds the user's settings.
        struct stat st {};
        if (error && lstat(path.c_str(), &st) == 0)
            *error = readError;
        return Settings{};
    }
    return ParseSettings(bytes);
}

bool WriteSettings(const std::string& programDir, const Settings& settings, std::string* error)
{
    const std::string path = JoinPath(programDir, kSettingsFileName);
    for (const std::string* value : {&settings.LanguageName, &settings.ProxyName, &settings.PassiveMode}) {
        if (value->find_first_of("\r\n") != std::string::npos) {
            if (error)
                *error = "Cannot write \"" + path + "\": a setting contains a line break";
            return false;
        }
    }
    std::vector<std::string> lines { settings.LanguageName, settings.ProxyName, settings.PassiveMode };
    // The default leaves the file as the three lines it always was.
    if (settings.Connections != kDefaultConnections)
        lines.push_back("connections=" + std::to_string(settings.Connections));
    if (settings.DownloadLimitKiB > 0)
        lines.push_back("download-limit=" + std::to_string(settings.DownloadLimitKiB));
    if (settings.UploadLimitKiB > 0)
        lines.push_back("upload-limit=" + std::to_string(settings.UploadLimitKiB));
    return WriteFileAtomic(path, JoinLinesCrLf(lines), kKeepMode, error);
}

} // namespace app
