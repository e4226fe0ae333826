// Program folders, crash-safe file writes and the settings file.
#include "app/core/AppSettings.hpp"
#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"
#include "app/core/Settings.hpp"

#include "peer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

using namespace app;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

unsigned ModeOf(const fs::path& p)
{
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

// Sets environment variables for one test and restores them afterwards.
class EnvGuard {
public:
    void Set(const char* name, const char* value)
    {
        if (!m_saved.count(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard()
    {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

} // namespace

TEST(Paths, ProgramAndScratchFoldersFollowTheEnvironment)
{
    TempDir tmp;
    EnvGuard env;
    env.Set("TALLOWIN_HOME", (tmp.path() / "own" / "").c_str());
    EXPECT_EQ(ProgramDir(), (tmp / "own").string());
    EXPECT_TRUE(fs::is_directory(tmp / "own"));

    env.Set("TALLOWIN_HOME", nullptr);
    env.Set("XDG_CONFIG_HOME", (tmp / "cfg").c_str());
    EXPECT_EQ(ProgramDir(), (tmp / "cfg" / "tallowin").string());
    EXPECT_TRUE(fs::is_directory(tmp / "cfg" / "tallowin"));

    env.Set("XDG_CONFIG_HOME", "relative/is/ignored");
    env.Set("HOME", (tmp / "home").c_str());
    EXPECT_EQ(ProgramDir(), (tmp / "home" / ".config" / "tallowin").string());

    env.Set("XDG_CACHE_HOME", nullptr);
    const std::string scratch = ScratchDir();
    EXPECT_EQ(scratch, (tmp / "home" / ".cache" / "tallowin" / "temp112233").string());
    EXPECT_EQ(ModeOf(scratch), 0700u);
    chmod(scratch.c_str(), 0755); // found too open: closed again
    env.Set("XDG_CACHE_HOME", (tmp / "home" / ".cache").c_str());
    EXPECT_EQ(ScratchDir(), scratch);
    EXPECT_EQ(ModeOf(scratch), 0700u);

    EXPECT_EQ(JoinPath("/", "a"), "/a");
    EXPECT_EQ(JoinPath("/d/", "a"), "/d/a");
    EXPECT_EQ(JoinPath("/d", "a"), "/d/a");
    EXPECT_EQ(JoinPath("", "a"), "a");
}

TEST(SafeFile, LinesSplitAtCrLfOrLf)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitLines("a\r\nb\r\n"), (V{"a", "b"}));
    EXPECT_EQ(SplitLines("a\nb"), (V{"a", "b"}));
    EXPECT_EQ(SplitLines("a\r\n\r\n"), (V{"a", ""}));
    EXPECT_EQ(SplitLines("\r\n"), (V{""}));
    EXPECT_EQ(SplitLines(""), V{});
    EXPECT_EQ(SplitLines("a\rb\r"), (V{"a\rb\r"}));
    EXPECT_EQ(JoinLinesCrLf({"x", "", "z"}), "x\r\n\r\nz\r\n");
}

TEST(SafeFile, AtomicWriteSetsOrKeepsTheMode)
{
    TempDir tmp;
    const fs::path p = tmp / "f";
    std::string error;
    ASSERT_TRUE(WriteFileAtomic(p.string(), "one", 0600, &error)) << error;
    EXPECT_EQ(ModeOf(p), 0600u);
    chmod(p.c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomic(p.string(), "two", kKeepMode, &error)) << error;
    EXPECT_EQ(ReadFile(p), "two");
    EXPECT_EQ(ModeOf(p), 0640u);
    // Through a symbolic link the target is replaced and the link stays.
    fs::create_symlink(p, tmp / "link");
    ASSERT_TRUE(WriteFileAtomic((tmp / "link").string(), "three", kKeepMode, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(tmp / "link"));
    EXPECT_EQ(ReadFile(p), "three");

    std::string bytes;
    EXPECT_FALSE(ReadWholeFile((tmp / "missing").string(), bytes, &error));
    EXPECT_NE(error.find("missing"), std::string::npos);
    EXPECT_FALSE(WriteFileAtomic((tmp / "no" / "such").string(), "x", kKeepMode, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(Settings, AllOrNothingDefaults)
{
    struct Case {
        std::optional<std::string> file; // nullopt: no file
        std::string language, proxy, passive;
    };
    const Case cases[] = {
        {std::nullopt, "ENGLISH", "", "NO"},
        {"", "ENGLISH", "", "NO"},
        {"ENGLISH", "ENGLISH", "", "NO"},
        {"TURKCE\r\nproxy.test\r\n", "ENGLISH", "", "NO"},      // two lines lose both
        {"TURKCE\r\nproxy.test\r\nYES\r\n", "TURKCE", "proxy.test", "YES"},
        {"english\r\n\r\nNO", "english", "", "NO"},             // not exactly ENGLISH: Turkish
        {"ENGLISH\nfw\nmaybe\nextra\nlines\n", "ENGLISH", "fw", "maybe"},
        {"\r\n\r\n\r\n", "", "", ""},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        if (c.file)
            WriteFile(tmp / "language.txt", *c.file);
        const Settings s = ReadSettings(tmp.path().string());
        const std::string label = c.file ? *c.file : "(missing)";
        EXPECT_EQ(s.LanguageName, c.language) << label;
        EXPECT_EQ(s.ProxyName, c.proxy) << label;
        EXPECT_EQ(s.PassiveMode, c.passive) << label;
    }
    EXPECT_TRUE(IsEnglish("ENGLISH"));
    EXPECT_FALSE(IsEnglish("english"));
    EXPECT_FALSE(IsEnglish(""));
    EXPECT_FALSE(IsPassive("NO"));
    EXPECT_TRUE(IsPassive("no"));
    EXPECT_TRUE(IsPassive(""));
}

TEST(Settings, UnreadableFileIsToldApartFromAMissingOne)
{
    TempDir tmp;
    std::string error;
    ReadSettings(tmp.path().string(), &error);
    EXPECT_EQ(error, ""); // missing: the first start
    fs::create_directory(tmp / "language.txt");
    const Settings s = ReadSettings(tmp.path().string(), &error);
    EXPECT_EQ(s.LanguageName, "ENGLISH");
    EXPECT_NE(error.find("language.txt"), std::string::npos) << error;
}

TEST(Settings, WindowSettingsKeepAnUnreadableFileAndSplitTheProxy)
{
    TempDir tmp;
    AppSettings settings;
    settings.ProgramDir = tmp.path().string();
    fs::create_directory(tmp / "language.txt");
    std::string error;
    settings.Read(&error);
    EXPECT_TRUE(settings.KeepSettingsFile);
    settings.LanguageName = "TURKCE";
    EXPECT_TRUE(settings.Write(&error));
    EXPECT_TRUE(fs::is_directory(tmp / "language.txt")); // left as it was

    const struct {
        const char* Name;
        const char* Host;
        const char* Port;
    } proxies[] = { { "proxy.test", "proxy.test", "ftp" }, { "proxy.test:2121", "proxy.test", "2121" },
        { "proxy.test:", "proxy.test:", "ftp" }, { "proxy.test:ftp", "proxy.test:ftp", "ftp" },
        { "[::1]:21", "[::1]", "21" } };
    for (const auto& p : proxies) {
        settings.ProxyName = p.Name;
        EXPECT_EQ(settings.ProxyHost(), p.Host) << p.Name;
        EXPECT_EQ(settings.ProxyPort(), p.Port) << p.Name;
    }
}

// The number of connections rides after the three lines; anything but 1
// to 10 leaves the default, and the default writes the three lines alone.
TEST(Settings, ConnectionsLine)
{
    const struct {
        const char* text;
        int connections;
    } rows[] = { { "E\r\n\r\nNO\r\n", kDefaultConnections }, { "E\r\n\r\nNO\r\nconnections=4\r\n", 4 },
        { "E\r\n\r\nNO\r\nother\r\nconnections=10\r\n", 10 }, { "E\r\n\r\nNO\r\nconnections=0\r\n", kDefaultConnections },
        { "E\r\n\r\nNO\r\nconnections=11\r\n", kDefaultConnections },
        { "E\r\n\r\nNO\r\nconnections=3x\r\n", kDefaultConnections },
        { "E\r\n\r\nNO\r\nconnections=\r\n", kDefaultConnections },
        { "E\r\nconnections=4\r\n", kDefaultConnections } };
    for (const auto& row : rows)
        EXPECT_EQ(ParseSettings(row.text).Connections, row.connections) << row.text;
    TempDir tmp;
    Settings s;
    s.Connections = 7;
    ASSERT_TRUE(WriteSettings(tmp.path().string(), s));
    EXPECT_EQ(ReadFile(tmp / "language.txt"), "ENGLISH\r\n\r\nNO\r\nconnections=7\r\n");
    EXPECT_EQ(ReadSettings(tmp.path().string()).Connections, 7);
}

TEST(Settings, WrittenAsCrLfLinesAndRefusedWhenUnsafe)
{
    TempDir tmp;
    Settings s;
    s.LanguageName = "TURKCE";
    s.ProxyName = "proxy.test";
    std::string error;
    ASSERT_TRUE(WriteSettings(tmp.path().string(), s, &error)) << error;
    EXPECT_EQ(ReadFile(tmp / "language.txt"), "TURKCE\r\nproxy.test\r\nNO\r\n");
    const Settings back = ReadSettings(tmp.path().string());
    EXPECT_EQ(back.LanguageName, "TURKCE");
    EXPECT_EQ(back.ProxyName, "proxy.test");
    EXPECT_EQ(back.PassiveMode, "NO");

    // An empty proxy still gives three lines, so the next start keeps them.
    s.ProxyName.clear();
    s.PassiveMode = "YES";
    ASSERT_TRUE(WriteSettings(tmp.path().string(), s));
    EXPECT_EQ(ReadSettings(tmp.path().string()).PassiveMode, "YES");

    Settings bad = s;
    bad.ProxyName = "a\nb";
    EXPECT_FALSE(WriteSettings(tmp.path().string(), bad, &error));
    EXPECT_NE(error.find("line break"), std::string::npos);
    EXPECT_EQ(ReadFile(tmp / "language.txt"), "TURKCE\r\n\r\nYES\r\n");
}

TEST(Settings, SpeedLimitLinesAfterTheThird)
{
    const struct {
        const char* text;
        int down, up;
    } cases[] = {
        { "ENGLISH\r\n\r\nNO\r\nupload-limit=7\r\ndownload-limit=100\r\n", 100, 7 },
        { "ENGLISH\r\n\r\nNO\r\ndownload-limit=-5\r\nupload-limit=1x\r\nOther=3\r\n", 0, 0 },
        { "ENGLISH\r\n\r\nNO\r\ndownload-limit=99999999999\r\nupload-limit=\r\n", kMaxRateLimitKiB, 0 },
        { "download-limit=100\r\nupload-limit=7\r\n", 0, 0 }, // too short: all defaults
    };
    for (const auto& c : cases) {
        const Settings s = ParseSettings(c.text);
        EXPECT_EQ(s.DownloadLimitKiB, c.down) << c.text;
        EXPECT_EQ(s.UploadLimitKiB, c.up) << c.text;
    }
    TempDir tmp;
    Settings s;
    s.UploadLimitKiB = 250;
    ASSERT_TRUE(WriteSettings(tmp.path().string(), s));
    EXPECT_EQ(ReadFile(tmp / "language.txt"), "ENGLISH\r\n\r\nNO\r\nupload-limit=250\r\n"); // no line for 0
    EXPECT_EQ(ReadSettings(tmp.path().string()).UploadLimitKiB, 250);
}
