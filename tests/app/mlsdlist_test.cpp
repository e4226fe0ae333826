// MLSD lines to rows with the LIST columns.
#include "app/core/RemoteList.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace app;

namespace {

struct MlsdCase {
    const char* what;
    const char* line;
    const char* name; // nullptr: no row
    const char* size = "";
    const char* type = "";
    const char* changed = "";
    const char* perms = "";
};

// Local time is UTC+3 all year (set below), so 21:30 UTC shows as 00:30 the next day.
const MlsdCase kCases[] = {
    {"pyftpdlib file", "type=file;size=1234;modify=20240131213005;unix.mode=0644;unique=1; a.txt", "a.txt", "1234",
     "File", "2024.02.01 00:30", "-rw-r--r--"},
    {"folder with perm only", "type=dir;sizd=4096;modify=20231231000000.123;perm=flcdmpe; Docs", "Docs", "4096",
     "Directory", "2023.12.31 03:00", "flcdmpe"},
    {"facts in other case, CRLF", "Type=File;Size=7;Modify=20240101120000;UNIX.mode=4755; run\r", "run", "7", "File",
     "2024.01.01 15:00", "-rwsr-xr-x"},
    {"leading blanks kept", "type=file;size=1;   two blanks", "  two blanks", "1", "File"},
    {"arrow is part of the name", "type=file;size=2; a -> b", "a -> b", "2", "File"},
    {"odd bytes kept", "type=file;size=3; \xfe\xff name", "\xfe\xff name", "3", "File"},
    {"fact value with a blank", "type=file;UNIX.owner=John Doe;size=5; f", "f", "5", "File"},
    {"symlink", "type=OS.unix=slink:/etc/x;unix.mode=0777; ln", "ln", "", "File", "", "lrwxrwxrwx"},
    {"sticky folder", "type=dir;unix.mode=1777; tmp", "tmp", "", "Directory", "", "drwxrwxrwt"},
    {"no facts", " bare name", "bare name", "", "File"},
    {"bad date and mode give empty columns", "type=file;modify=2024013;unix.mode=9z; x", "x", "", "File"},
    {"month 13 is no date", "type=file;modify=20241301000000; y", "y", "", "File"},
    {"pdir named .. is the parent row", "type=pdir;unix.mode=0755; ..", "..", "", "Directory", "", "drwxr-xr-x"},
    {"pdir with a path is skipped", "type=pdir; /home/u", nullptr},
    {"cdir is skipped", "type=cdir;unix.mode=0755; .", nullptr},
    {"cdir with a path is skipped", "type=cdir; /home/u/pub", nullptr},
    {"a plain . entry is skipped", "type=dir; .", nullptr},
    {"no separator", "type=file;size=1;name", nullptr},
    {"empty name", "type=file; ", nullptr},
};

class MlsdLines : public ::testing::TestWithParam<MlsdCase> {
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC-3", 1);
        tzset();
    }
};

TEST_P(MlsdLines, Row)
{
    const MlsdCase& c = GetParam();
    std::optional<RemoteRow> row = ParseMlsdLine(c.line);
    if (!c.name) {
        EXPECT_FALSE(row) << row->name;
        return;
    }
    ASSERT_TRUE(row);
    EXPECT_EQ(row->name, c.name);
    EXPECT_EQ(row->size, c.size);
    EXPECT_EQ(row->type, c.type);
    EXPECT_EQ(row->changed, c.changed);
    EXPECT_EQ(row->perms, c.perms);
    EXPECT_EQ(row->subItems, 4);
    // Commands use the exact name, whatever the permissions say.
    EXPECT_EQ(CommandName(*row), c.name);
}

INSTANTIATE_TEST_SUITE_P(Table, MlsdLines, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string n;
    for (const char* p = info.param.what; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
});

TEST(MlsdListing, CountsOnlyUnreadableLines)
{
    int unreadable = -1;
    auto rows = ParseMlsdListing("type=cdir; .\r\ntype=file;size=1; a\r\n\r\ngarbage\ntype=dir; b", &unreadable);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "a");
    EXPECT_EQ(rows[1].name, "b");
    EXPECT_EQ(unreadable, 1);
}

} // namespace
