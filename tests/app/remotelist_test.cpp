// LIST lines to rows, the two sort orders and the walk's name rules.
#include "app/core/RemoteList.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

using namespace app;

namespace {

constexpr CivilDate kToday{2004, 6, 15};

// One line and the row it must give. name nullptr: no row. type "": a row
// with only its name, counted as unreadable. before: a line the same parser
// reads first (to set the listing's mode).
struct LineCase {
    const char* what;
    const char* line;
    const char* name;
    const char* size = "";
    const char* type = "";
    const char* changed = "";
    const char* perms = "";
    const char* iconKey = "";
    const char* before = nullptr;
};

const LineCase kLines[] = {
    // vsftpd, pyftpdlib and GNU ls styles
    {"vsftpd folder", "drwxr-xr-x    2 1000     1000         4096 Jan 15 10:30 pub", "pub", "4096", "Directory",
     "2004.01.15 10:30", "drwxr-xr-x"},
    {"vsftpd old file", "-rw-r--r--    1 1000     1000        12345 Mar 03  2001 notes.txt", "notes.txt", "12345",
     "File", "2001.03.03 00:00", "-rw-r--r--", ".txt"},
    {"pyftpdlib 5 GiB", "-rw-r--r--   1 user     group  5368709120 Feb 29 23:59 disk.img", "disk.img",
     "5368709120", "File", "2004.02.29 23:59", "-rw-r--r--", ".img"},
    {"4 GiB is not 0", "-rw-r--r--   1 u g 4294967296 Jun 15 08:00 four.gib", "four.gib", "4294967296", "File",
     "2004.06.15 08:00", "-rw-r--r--", ".gib"},
    {"year-less date after today is last year's", "-rw-r--r--   1 user     group         512 Dec 24 18:00 xmas.txt",
     "xmas.txt", "512", "File", "2003.12.24 18:00", "-rw-r--r--", ".txt"},
    {"tomorrow is last year's too", "-rw-r--r--   1 u g 1 Jun 16 00:01 t", "t", "1", "File", "2003.06.16 00:01",
     "-rw-r--r--"},
    {"ls: space-padded day", "-rw-r--r--   1 u g 0 Mar  3  2001 empty.txt", "empty.txt", "", "File",
     "2001.03.03 00:00", "-rw-r--r--", ".txt"},
    {"folder with blanks", "drwxr-xr-x   2 user group     4096 Jan 15 10:30 My Docs", "My Docs", "4096",
     "Directory", "2004.01.15 10:30", "drwxr-xr-x"},
    {"CRLF", "drwxr-xr-x   2 u g 4096 Jan 15 10:30 crlf\r", "crlf", "4096", "Directory", "2004.01.15 10:30",
     "drwxr-xr-x"},
    {"total line", "total 12", nullptr},
    {"banner line", "Listing of /pub:", nullptr},
    {"the . entry", "drwxr-xr-x   2 u g 4096 Jan 15 10:30 .", nullptr},
    {"the .. entry", "drwxr-xr-x   5 u g 4096 Jan 15 10:30 ..", "..", "4096", "Directory", "2004.01.15 10:30",
     "drwxr-xr-x"},
    {"symbolic link", "lrwxrwxrwx   1 u g 6 Jan 15 10:30 link -> target", "link -> target", "6", "File",
     "2004.01.15 10:30", "lrwxrwxrwx"},
    // icon keys
    {"upper-case extension", "-rw-r--r--   1 u g 9 Jan 15 10:30 b.TXT", "b.TXT", "9", "File", "2004.01.15 10:30",
     "-rw-r--r--", ".txt"},
    {"key from the first dot", "-rw-r--r--   1 u g 9 Jan 15 10:30 a.b.c", "a.b.c", "9", "File", "2004.01.15 10:30",
     "-rw-r--r--", ".b.c"},
    {"folder gets no key", "drwxr-xr-x   2 u g 9 Jan 15 10:30 x.y", "x.y", "9", "Directory", "2004.01.15 10:30",
     "drwxr-xr-x"},
    {"name bytes kept", "-rw-r--r--   1 u g 9 Jan 15 10:30 \xFC\xE7 R\xC9.Gz", "\xFC\xE7 R\xC9.Gz", "9", "File",
     "2004.01.15 10:30", "-rw-r--r--", ".gz"},
    // hostile names: rows are made; the walk refuses them (IsWalkableName)
    {"parent path", "-rw-r--r--   1 u g 9 Jan 15 10:30 ../x", "../x", "9", "File", "2004.01.15 10:30", "-rw-r--r--",
     "../x"},
    {"slash in name", "drwxr-xr-x   2 u g 9 Jan 15 10:30 a/b", "a/b", "9", "Directory", "2004.01.15 10:30",
     "drwxr-xr-x"},
    {"leading blanks are padding", "-rw-r--r--   1 u g 9 Jan 15 10:30    spaced", "spaced", "9", "File",
     "2004.01.15 10:30", "-rw-r--r--"},
    {"trailing blanks kept", "-rw-r--r--   1 u g 9 Jan 15 10:30 tail  ", "tail  ", "9", "File",
     "2004.01.15 10:30", "-rw-r--r--"},
    // DOS style
    {"DOS folder", "01-15-04  03:45PM       <DIR>          Sub Dir", "Sub Dir", "", "Directory", "2004.01.15 15:45",
     "01-15-04"},
    {"DOS grouped size, midnight", "02-03-04  12:05AM            1,234,567 setup.exe", "setup.exe", "1234567", "File",
     "2004.02.03 00:05", "02-03-04", ".exe"},
    {"DOS 5 GiB, 19xx, noon", "12-31-99  12:30PM           5368709120 big.iso", "big.iso", "5368709120", "File",
     "1999.12.31 12:30", "12-31-99", ".iso"},
    {"DOS four-digit year", "02-03-2004  09:10               0 zero.dat", "zero.dat", "", "File",
     "2004.02.03 09:10", "02-03-2004", ".dat"},
    {"DOS folder named x.y", "01-15-04  03:45PM       <DIR>          x.y", "x.y", "", "Directory",
     "2004.01.15 15:45", "01-15-04"},
    {"DOS unknown size field", "01-15-04  03:45PM       <JUNCTION>     jct", "jct"},
    {"UNIX line in a DOS listing", "-rw-r--r--   1 0 0   5 Nov 08 12:00 after.txt", "after.txt", "5", "File",
     "2003.11.08 12:00", "-rw-r--r--", ".txt", "01-15-04  03:45PM       <DIR>          Sub Dir"},
    // lines the fixed token positions misread
    {"extra blanks after the size", "-rw-r--r--   1 u g 1234  Jan 15 10:30 a.txt", "a.txt", "1234", "File",
     "2004.01.15 10:30", "-rw-r--r--", ".txt"},
    {"owner without group", "-rw-r--r--   1 owner     1234 Jan 15 10:30 report.pdf", "report.pdf", "1234", "File",
     "2004.01.15 10:30", "-rw-r--r--", ".pdf"},
    {"domain field", "-rw-r--r--   1 owner  staff  CORP  2048 Jan 15 10:30 memo.doc", "memo.doc", "2048", "File",
     "2004.01.15 10:30", "-rw-r--r--", ".doc"},
    {"several numbers", "drwxr-xr-x   3 500 500 0 1 2048 Jan 15  2002 bin", "bin", "2048", "Directory",
     "2002.01.15 00:00", "drwxr-xr-x"},
    {"one leading blank", " drwxr-xr-x   2 user group     4096 Jan 15 10:30 My Docs", "My Docs", "4096",
     "Directory", "2004.01.15 10:30", "drwxr-xr-x"},
    {"one leading blank, numeric group", " -rw-r--r-- 1 1000 1000 77 Jan 15 10:30 n", "n", "77", "File",
     "2004.01.15 10:30", "-rw-r--r--"},
    {"one-digit day, one blank", "-rw-r--r-- 1 ftp ftp 100 Mar 3 10:30 d.txt", "d.txt", "100", "File",
     "2004.03.03 10:30", "-rw-r--r--", ".txt"},
    {"ISO date and time", "-rw-r--r--   1 owner group 1234 2002-10-08 09:47 iso.txt", "iso.txt", "1234", "File",
     "2002.10.08 09:47", "-rw-r--r--", ".txt"},
    {"slashed date", "-rw-r--r-- 1 owner group 1234 2002/10/08 slash file", "slash file", "1234", "File",
     "2002.10.08 00:00", "-rw-r--r--"},
    {"day first, dashes", "-rw-r--r-- 1 owner group 1234 08-10-2002 dmy.txt", "dmy.txt", "1234", "File",
     "2002.10.08 00:00", "-rw-r--r--", ".txt"},
    {"month name with comma", "-rw-r--r-- 1 owner group 1234 Oct 08, 2002 09:47 comma.txt", "comma.txt", "1234",
     "File", "2002.10.08 09:47", "-rw-r--r--", ".txt"},
    {"time-like name after a year", "-rw-r--r-- 1 owner group 5 2002-10-08 10:30", "10:30", "5", "File",
     "2002.10.08 00:00", "-rw-r--r--"},
    {"size with a unit", "-rw-r--r-- 1 owner group 33.5k Jan 15 10:30 big.bin", "big.bin", "", "File",
     "2004.01.15 10:30", "-rw-r--r--", ".bin"},
    {"bracketed rights, folder", "d [R----F--] supervisor            512       Jan 16 18:53    login", "login", "512",
     "Directory", "2004.01.16 18:53", "d [R----F--]"},
    {"bracketed rights, file", "- [RWCEAFMS] rhesus              214059       Oct 20 15:27    cx.exe", "cx.exe",
     "214059", "File", "2003.10.20 15:27", "- [RWCEAFMS]", ".exe"},
    {"bracketed line without a date", "d [R----F--] supervisor 512 login", nullptr},
    // dates servers write their own way: read by structure
    {"German day, month and time", "-rw-r--r--   1 owner group   17 26. Juli, 20:10 juli.txt", "juli.txt", "17",
     "File", "2003.07.26 20:10", "-rw-r--r--", ".txt"},
    {"German short month and year", "drwxr-xr-x   2 owner group 4096 2.   Okt.  2003 okt", "okt", "4096",
     "Directory", "2003.10.02 00:00", "drwxr-xr-x"},
    {"German dotted month and comma", "-rw-r--r--   1 owner group  512 30. Jan., 12:40 jan.txt", "jan.txt", "512",
     "File", "2004.01.30 12:40", "-rw-r--r--", ".txt"},
    {"Japanese date", "drwxr-xr-x   2 owner group 4096 4\xE6\x9C\x88 18\xE6\x97\xA5 2003\xE5\xB9\xB4 folder one",
     "folder one", "4096", "Directory", "2003.04.18 00:00", "drwxr-xr-x"},
    {"Korean date", "-rw-r--r--   1 owner group 1024 2005\xEB\x85\x84  1\xEC\x9B\x94  6\xEC\x9D\xBC k file.txt",
     "k file.txt", "1024", "File", "2005.01.06 00:00", "-rw-r--r--", ".txt"},
    {"day first, lower-case month", "-rw-r--r--   1 owner group 100 01 oct 2004 dayfirst.txt", "dayfirst.txt",
     "100", "File", "2004.10.01 00:00", "-rw-r--r--", ".txt"},
    {"month and day as numbers", "drwxr-xr-x   2 owner group 4096 3 29 03:26 numeric", "numeric", "4096",
     "Directory", "2004.03.29 03:26", "drwxr-xr-x"},
    {"month-day and year", "-rw-r--r--   1 owner group 100 09-26 2000 some file", "some file", "100", "File",
     "2000.09.26 00:00", "-rw-r--r--"},
    {"month-day and time", "drwxr-xr-x   2 owner group 4096 09-26 13:45 my folder", "my folder", "4096",
     "Directory", "2003.09.26 13:45", "drwxr-xr-x"},
    // still unreadable: only the name at its fixed position
    {"size is not a number", "-rw-r--r--   1 u g abc Jan 15 10:30 x.txt", "x.txt"},
    {"unknown month", "-rw-r--r--   1 u g 1234 Foo 15 10:30 y", "y"},
    {"no date at all", "-rw-r--r-- 1 u g 1 2 3 4 z", "z"},
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class ListLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ListLine, GivesItsRow)
{
    const LineCase& c = GetParam();
    ListParser parser(kToday);
    if (c.before) {
        ASSERT_TRUE(parser.ParseLine(c.before));
    }
    const std::optional<RemoteRow> row = parser.ParseLine(c.line);
    if (!c.name) {
        EXPECT_FALSE(row) << row->name;
        EXPECT_EQ(parser.Unreadable(), 0);
        return;
    }
    ASSERT_TRUE(row);
    EXPECT_EQ(row->name, c.name);
    EXPECT_EQ(row->size, c.size);
    EXPECT_EQ(row->type, c.type);
    EXPECT_EQ(row->changed, c.changed);
    EXPECT_EQ(row->perms, c.perms);
    EXPECT_EQ(row->iconKey, c.iconKey);
    EXPECT_EQ(row->image, row->IsFolder() ? 0 : 1);
    EXPECT_EQ(row->size, row->bytes ? std::to_string(row->bytes) : "");
    const bool complete = *c.type != '\0';
    EXPECT_EQ(row->subItems, complete ? 4 : 0);
    EXPECT_EQ(parser.Unreadable(), complete ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Lines, ListLine, ::testing::ValuesIn(kLines),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                             std::string name;
                             for (const char* p = info.param.what; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

RemoteRow Row(const char* name, const char* type, const char* size = "", const char* perms = "")
{
    RemoteRow r;
    r.name = name;
    r.type = type;
    r.size = size;
    r.perms = perms;
    return r;
}

std::vector<std::string> Names(const std::vector<RemoteRow>& rows)
{
    std::vector<std::string> names;
    for (const RemoteRow& r : rows)
        names.push_back(r.name);
    return names;
}

} // namespace

TEST(RemoteList, WholeListingKeepsModeAndSortsFoldersFirst)
{
    const std::string text = "total 3\r\n"
                             "-rw-r--r-- 1 u g 5368709120 Jan 15 10:30 b.iso\r\n"
                             "drwxr-xr-x 2 u g 4096 Jan 15 10:30 Zeta\r\n"
                             "-rw-r--r-- 1 u g 10 Jan 15 10:30 A.txt\r\n"
                             "-rw-r--r-- 1 u g ??? Jan 15 10:30 broken\r\n"
                             "drwxr-xr-x 2 u g 4096 Jan 15 10:30 alpha\n"
                             "-rw-r--r-- 1 u g 10 Jan 15 10:30 a.txt"; // no final newline
    int unreadable = -1;
    std::vector<RemoteRow> rows = ParseListing(text, kToday, &unreadable);
    EXPECT_EQ(unreadable, 1);
    ASSERT_EQ(rows.size(), 6u);
    SortListing(rows);
    // The unreadable row has no type and so sorts before the folders; equal
    // names ignoring case keep their file order.
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"broken", "alpha", "Zeta", "A.txt", "a.txt", "b.iso"}));

    // The first digit line switches to DOS mode for the listing's digit lines.
    ListParser parser(kToday);
    EXPECT_FALSE(parser.DosMode());
    EXPECT_TRUE(parser.ParseLine("-rw-r--r-- 1 u g 1 Jan 15 10:30 u"));
    EXPECT_FALSE(parser.DosMode());
    EXPECT_TRUE(parser.ParseLine("01-15-04  03:45PM  12 d"));
    EXPECT_TRUE(parser.DosMode());
    // A UNIX line is still read by its structure, and the mode holds.
    EXPECT_EQ(parser.ParseLine("-rw-r--r-- 1 u g 1 Jan 15 10:30 u")->subItems, 4);
    EXPECT_TRUE(parser.DosMode());
    EXPECT_EQ(parser.ParseLine("01-15-04  03:45PM  12 <odd> d")->name, "<odd> d");
}

TEST(RemoteList, ComparisonAndColumnClickOrders)
{
    const RemoteRow big = Row("big", "File", "5368709120", "-rw");
    const RemoteRow small = Row("Small", "File", "4294967295", "drw");
    const RemoteRow none = Row("none", "File", "x1", "lrw");
    EXPECT_GT(CompareRows(big, small, 1), 0); // 64-bit, not truncated
    EXPECT_LT(CompareRows(big, small, -1), 0);
    EXPECT_LT(CompareRows(none, small, 1), 0); // not a number: 0
    EXPECT_LT(CompareRows(big, small, 0), 0);  // ignoring case
    EXPECT_EQ(CompareRows(big, small, 7), 0);

    const std::vector<RemoteRow> rows = {big, small, none};
    auto sorted = [&](int column, int direction) {
        std::vector<RemoteRow> r = rows;
        std::stable_sort(r.begin(), r.end(), [&](const RemoteRow& a, const RemoteRow& b) {
            return ColumnClickLess(a, b, column, direction);
        });
        return Names(r);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(sorted(0, 1), (V{"big", "none", "Small"}));
    EXPECT_EQ(sorted(0, 0), (V{"Small", "none", "big"}));
    EXPECT_EQ(sorted(1, 1), (V{"big", "Small", "none"})); // the largest first
    EXPECT_EQ(sorted(1, 0), (V{"none", "Small", "big"}));
    EXPECT_EQ(sorted(4, 1), (V{"big", "Small", "none"}));
    EXPECT_EQ(sorted(2, 1), (V{"big", "Small", "none"})); // all equal: file order
}

TEST(RemoteList, CommandAndWalkNames)
{
    EXPECT_EQ(CommandName(Row("link -> target", "File", "", "lrwxrwxrwx")), "link");
    EXPECT_EQ(CommandName(Row("a -> b -> c", "File", "", "lrwxrwxrwx")), "a");
    EXPECT_EQ(CommandName(Row("not -> link", "File", "", "-rw-r--r--")), "not -> link");
    EXPECT_EQ(CommandName(Row("lonely", "File", "", "lrwxrwxrwx")), "lonely");

    for (const char* bad : {"", ".", "..", "../x", "a/b", "/"})
        EXPECT_FALSE(IsWalkableName(bad)) << bad;
    EXPECT_FALSE(IsWalkableName(std::string_view("a\0b", 3)));
    for (const char* good : {"...", ".hidden", " x", "My Docs", "a\\b"})
        EXPECT_TRUE(IsWalkableName(good)) << good;
}
