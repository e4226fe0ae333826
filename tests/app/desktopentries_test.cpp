// Desktop entries: which are shown applications, and their command lines
// made ready for one file.
#include "app/core/DesktopEntries.hpp"
#include "peer.hpp"

#include <gtest/gtest.h>

using namespace app;
using Args = std::vector<std::string>;

TEST(DesktopEntries, ParseAndExpand)
{
    DesktopApp app;
    EXPECT_TRUE(ParseDesktopEntry("[Desktop Entry]\nType=Application\nName=Viewer\nName[tr]=Görüntüleyici\n"
                                  "Exec=viewer --open %U\nMimeType=image/jpeg;image/png;\n[Desktop Action x]\n"
                                  "Exec=other\n",
        app));
    EXPECT_EQ(app.Name, "Viewer");
    EXPECT_EQ(app.Exec, "viewer --open %U");
    EXPECT_EQ(app.MimeTypes, Args({ "image/jpeg", "image/png" }));
    EXPECT_FALSE(ParseDesktopEntry("[Desktop Entry]\nType=Application\nName=X\nExec=x\nNoDisplay=true\n", app));
    EXPECT_FALSE(ParseDesktopEntry("[Desktop Entry]\nType=Link\nName=X\nExec=x\n", app));
    EXPECT_FALSE(ParseDesktopEntry("[Other]\nType=Application\nName=X\nExec=x\n", app));

    const std::string file = "/tmp/a b/ç#1.txt";
    const struct {
        const char* exec;
        Args args;
    } cases[] = {
        { "edit %f", { "edit", file } },
        { "edit %F --x", { "edit", file, "--x" } },
        { "view %U", { "view", "file:///tmp/a%20b/%C3%A7%231.txt" } },
        { "tool --file=%f", { "tool", "--file=" + file } },
        { "tool %i %c 100%%", { "tool", "100%", file } },
        { "\"/opt/my app/run\" \"a \\\"q\\\"\"", { "/opt/my app/run", "a \"q\"", file } }, // no code: the file goes last
        { "broken \"quote", {} },
        { "", {} },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpandExec(c.exec, file), c.args) << c.exec;
    EXPECT_EQ(ExpandCommandLine("gedit --new-window", file), Args({ "gedit", "--new-window", file }));
    EXPECT_TRUE(ExpandCommandLine("  ", file).empty());
}

TEST(DesktopEntries, AppsForATypeFirstIdWins)
{
    testsupport::TempDir home, system;
    testsupport::WriteFile(home / "applications" / "viewer.desktop",
        "[Desktop Entry]\nType=Application\nName=My Viewer\nExec=mine %f\nMimeType=image/jpeg;\n");
    testsupport::WriteFile(system / "applications" / "viewer.desktop",
        "[Desktop Entry]\nType=Application\nName=Viewer\nExec=theirs %f\nMimeType=image/jpeg;\n");
    testsupport::WriteFile(system / "applications" / "kde" / "paint.desktop",
        "[Desktop Entry]\nType=Application\nName=Paint\nExec=paint %f\nMimeType=image/png;image/jpeg\n");
    testsupport::WriteFile(system / "applications" / "text.desktop",
        "[Desktop Entry]\nType=Application\nName=Text\nExec=text %f\nMimeType=text/plain;\n");
    const std::vector<DesktopApp> apps = AppsForMimeType({ home.path().string(), system.path().string() }, "image/jpeg");
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].Name, "My Viewer"); // the user's entry hides the system's of the same id
    EXPECT_EQ(apps[1].Id, "kde-paint.desktop");
}
