// The settings file "language.txt": language, proxy host, passive mode, and
// after them the speed limits as "name=value" lines.
#pragma once

#include <string>
#include <string_view>

namespace app {

inline constexpr const char* kSettingsFileName = "language.txt";
inline constexpr const char* kLanguageEnglish = "ENGLISH";
inline constexpr const char* kLanguageTurkish = "TURKCE";
inline constexpr int kDefaultConnections = 2;
inline constexpr int kMaxConnections = 10;
// The speed limits in KiB/s: 0 is none; a larger value is cut to the largest.
inline constexpr int kMaxRateLimitKiB = 1048576;

struct Settings {
    std::string LanguageName = kLanguageEnglish;
    std::string ProxyName;          // empty: direct connection
    std::string PassiveMode = "NO"; // anything but "NO" means passive
    int DownloadLimitKiB = 0; // "download-limit=N" after the third line
    int UploadLimitKiB = 0; // "upload-limit=N"
    // Files moved side by side, each on a connection of its own (1 to 10):
    // "connections=N" when it is not the default. Older versions read past
    // these lines.
    int Connections = kDefaultConnections;
};

// The transfer choices the session and the queue use, typed and set once where
// the user makes them: passive mode from language.txt and the Proxy dialog's
// OK, the transfer type when the Options dialog closes. The passive-mode text
// is kept as given, so language.txt is written back as it was read.
class TransferSettings {
public:
    // TYPE I (true) or TYPE A; not saved: binary at every start.
    bool Binary() const { return m_binary; }
    void SetBinary(bool v) { m_binary = v; }
    // Passive data connections: every text but exactly "NO".
    bool Passive() const { return m_passive; }
    const std::string& PassiveMode() const { return m_passiveMode; }
    void SetPassiveMode(const std::string& text);

private:
    bool m_binary = true;
    bool m_passive = false;
    std::string m_passiveMode = "NO";
};

// Reads ProgramDir/language.txt. All or nothing: a missing or unreadable file,
// or one with fewer than three lines, gives all three defaults; of the further
// lines only the limits are read (an unreadable value is 0, no limit). Never
// fails; when the file exists but cannot be read, error (if given) receives
// the reason, so the caller can keep from replacing it.
Settings ReadSettings(const std::string& programDir, std::string* error = nullptr);

// The same rule applied to the file's contents.
Settings ParseSettings(std::string_view text);

// Writes the three values as CR LF lines, then each limit that is not 0, atomically. A value holding a line
// break is refused (it would shift the lines); the file is then left as it was.
bool WriteSettings(const std::string& programDir, const Settings& settings,
                   std::string* error = nullptr);

// Exactly "ENGLISH" (case-sensitive) is English; every other value is Turkish.
bool IsEnglish(std::string_view languageName);

// Every value except exactly "NO" switches passive mode on.
bool IsPassive(std::string_view passiveMode);

} // namespace app
