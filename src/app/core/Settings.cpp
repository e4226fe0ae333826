#include "app/core/Settings.hpp"

#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"

namespace app {

bool IsEnglish(std::string_view languageName) { return languageName == kLanguageEnglish; }

bool IsPassive(std::string_view passiveMode) { return passiveMode != "NO"; }

Settings ParseSettings(std::string_view text)
{
    const std::vector<std::string> lines = SplitLines(text);
    if (lines.size() < 3)
        return Settings{};
    Settings settings;
    settings.LanguageName = lines[0];
    settings.ProxyName = lines[1];
    settings.PassiveMode = lines[2];
    return settings;
}

Settings ReadSettings(const std::string& programDir)
{
    std::string bytes;
    if (!ReadWholeFile(JoinPath(programDir, kSettingsFileName), bytes))
        return Settings{};
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
    return WriteFileAtomic(path, JoinLinesCrLf({settings.LanguageName, settings.ProxyName, settings.PassiveMode}),
                           kKeepMode, error);
}

} // namespace app
