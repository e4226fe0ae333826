// The site book: byte layout, format detection and conversion, the edit
// operations with slot reuse, and failures that must leave the file alone.
#include "app/core/SiteBook.hpp"
#include "app/core/SiteOptions.hpp"

#include "child.hpp"
#include "peer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>

using namespace app;
using apptest::ChildOptions;
using apptest::RunInChild;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

SiteRecord MakeRecord(const std::string& alias, const std::string& host, const std::string& user = "user",
                      const std::string& password = "secret", const std::string& port = "21",
                      const std::string& remoteDir = "", const std::string& localDir = "")
{
    SiteRecord r;
    EXPECT_TRUE(r.SetAlias(alias) && r.SetHostName(host) && r.SetUserName(user) && r.SetPassword(password) &&
                r.SetPort(port) && r.SetRemoteDir(remoteDir) && r.SetLocalDir(localDir));
    return r;
}

std::string Bytes(const SiteRecord& r) { return std::string(r.Raw().data(), r.Raw().size()); }

std::string LegacyBytes(const std::string& alias, const std::string& host, const std::string& user,
                        const std::string& password, const std::string& port)
{
    LegacySiteRecord r;
    EXPECT_TRUE(r.SetField(sfAlias, alias) && r.SetField(sfHostName, host) && r.SetField(sfUserName, user) &&
                r.SetField(sfPassword, password) && r.SetField(sfPort, port));
    return std::string(r.Raw().data(), r.Raw().size());
}

unsigned ModeOf(const fs::path& p)
{
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

// A test folder the unprivileged child may use.
fs::path ChildDir(const TempDir& tmp)
{
    chmod(tmp.path().c_str(), 0711);
    const fs::path dir = tmp / "home";
    fs::create_directory(dir);
    apptest::GiveToChild(dir);
    return dir;
}

std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(SiteRecordLayout, FieldsSitAtTheirOffsetsAndNeverSpill)
{
    const std::pair<std::size_t, std::size_t> expected[kSiteFieldCount] = {
        {0, 21}, {21, 51}, {72, 51}, {123, 51}, {174, 11}, {185, 513}, {698, 513}, {1211, 256}};
    ASSERT_EQ(sizeof(SiteRecord::Bytes), 1467u);
    SiteRecord r;
    for (int f = 0; f < kSiteFieldCount; ++f) {
        const auto field = static_cast<TSiteField>(f);
        ASSERT_EQ(SiteFieldSpan(field).Offset, expected[f].first);
        ASSERT_EQ(SiteFieldSpan(field).Width, expected[f].second);
        // Full capacity of each field: the terminator must stay in place.
        ASSERT_TRUE(r.SetField(field, std::string(expected[f].second - 1, char('a' + f))));
    }
    const std::string raw = Bytes(r);
    for (int f = 0; f < kSiteFieldCount; ++f) {
        const auto [offset, width] = expected[f];
        EXPECT_EQ(raw.substr(offset, width - 1), std::string(width - 1, char('a' + f))) << "field " << f;
        EXPECT_EQ(raw[offset + width - 1], '\0') << "terminator of field " << f;
    }
    // Too long by one byte, or holding a zero: refused, nothing changes.
    for (int f = 0; f < kSiteFieldCount; ++f) {
        const auto field = static_cast<TSiteField>(f);
        EXPECT_FALSE(r.SetField(field, std::string(expected[f].second, 'X')));
        EXPECT_FALSE(r.SetField(field, std::string("a\0b", 3)));
    }
    EXPECT_EQ(Bytes(r), raw);
    // A shorter value leaves nothing of the longer one behind.
    ASSERT_TRUE(r.SetPassword("pw"));
    EXPECT_EQ(Bytes(r).substr(123, 51), std::string("pw") + std::string(49, '\0'));
    EXPECT_EQ(r.Password(), "pw");
    EXPECT_EQ(r.UserName(), std::string(50, 'c'));
}

TEST(SiteRecordLayout, ReadersStopAtTerminatorOrFieldEnd)
{
    std::string raw(kSiteRecordSize, 'z');
    raw.replace(0, 5, std::string("abc\0q", 5)); // bytes after the zero mean nothing
    const SiteRecord r = SiteRecord::FromBytes(raw);
    EXPECT_EQ(r.Alias(), "abc");
    EXPECT_EQ(r.HostName(), std::string(51, 'z')); // unterminated: the field's width, not the next field
    EXPECT_EQ(r.Port(), std::string(11, 'z'));

    std::string legacyRaw(kLegacySiteRecordSize, 'y');
    legacyRaw.replace(0, 4, std::string("old\0", 4));
    const SiteRecord converted = LegacySiteRecord::FromBytes(legacyRaw).ToCurrent();
    EXPECT_EQ(converted.Alias(), "old");
    EXPECT_EQ(converted.HostName(), std::string(50, 'y')); // cut to what the field holds
    EXPECT_EQ(converted.Port(), std::string(10, 'y'));
    EXPECT_EQ(converted.RemoteDir(), "");
    EXPECT_EQ(converted.LocalDir(), "");
    EXPECT_EQ(converted.Reserved(), "");
}

TEST(SiteBookOpen, FirstStartCreatesAnEmptyPrivateBook)
{
    TempDir tmp;
    SiteBook book;
    std::string error;
    ASSERT_TRUE(book.Open(tmp.path().string(), &error)) << error;
    EXPECT_TRUE(book.Aliases().empty());
    EXPECT_EQ(fs::file_size(tmp / "sitelog.cvn"), 0u);
    EXPECT_EQ(ModeOf(tmp / "sitelog.cvn"), 0600u);
    EXPECT_FALSE(fs::exists(tmp / "sitelog1.cvn"));
}

TEST(SiteBookOpen, ConvertsTheTwoSiteLegacyExample)
{
    TempDir tmp;
    WriteFile(tmp / "sitelog.cvn",
              LegacyBytes("home", "ftp.example.org", "anna", "pw1", "21") +
                  LegacyBytes("!", "gone.example.org", "bob", "pw2", "2121"));
    ASSERT_EQ(fs::file_size(tmp / "sitelog.cvn"), 370u);
    SiteBook book;
    std::string error;
    ASSERT_TRUE(book.Open(tmp.path().string(), &error)) << error;
    EXPECT_EQ(book.Aliases(), std::vector<std::string>{"home"});
    const std::string disk = ReadFile(tmp / "sitelog.cvn");
    ASSERT_EQ(disk.size(), 1467u);
    EXPECT_EQ(disk, Bytes(MakeRecord("home", "ftp.example.org", "anna", "pw1", "21")));
    EXPECT_FALSE(fs::exists(tmp / "sitelog1.cvn"));
    EXPECT_EQ(ModeOf(tmp / "sitelog.cvn"), 0600u);
    // The next start leaves the converted book alone.
    book.Close();
    ASSERT_TRUE(book.Open(tmp.path().string(), &error)) << error;
    EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), disk);
}

// 271,395 bytes is both 185 current records and 1467 legacy ones.
TEST(SiteBookOpen, AmbiguousSizesAreToldApartBothWays)
{
    std::mt19937 rng(7);
    auto noise = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(rng());
        return s;
    };
    // Current books: a rich one (long directories, deleted slots, junk after
    // the terminators) and a sparse one (one-letter texts, all zeros).
    std::string rich, sparse, noAliases;
    for (int i = 0; i < 185; ++i) {
        SiteRecord r = MakeRecord(i % 7 == 3 ? "!" : "site" + std::to_string(i), "host" + std::to_string(i) + ".test",
                                  "u", "p", i % 2 ? "21" : "", std::string(static_cast<std::size_t>(i) * 2, 'd'),
                                  "/home/x/" + std::string(static_cast<std::size_t>(i) % 40, 'l'));
        std::string raw = Bytes(r);
        const std::size_t junkAt = 1211 + 1; // reserved text is empty; its padding is junk
        raw.replace(junkAt, 100, noise(100));
        rich += raw;
        sparse += Bytes(MakeRecord("a", "h", "", "", ""));
        // Edited sites may lose their alias; long host names then line up
        // as legacy records at some offsets.
        noAliases += Bytes(MakeRecord("", std::string(50, 'h'), std::string(50, 'u'), "", ""));
    }
    std::string legacy;
    for (int i = 0; i < 1467; ++i)
        legacy += LegacyBytes(i % 5 == 0 ? "!" : "s" + std::to_string(i), "h" + std::to_string(i), "user", "pw", "21");
    std::string sparseLegacy;
    for (int i = 0; i < 1467; ++i)
        sparseLegacy += LegacyBytes("a", "h", "", "", "");
    ASSERT_EQ(rich.size(), 271395u);
    ASSERT_EQ(legacy.size(), 271395u);

    for (const std::string* current : {&rich, &sparse, &noAliases}) {
        TempDir tmp;
        WriteFile(tmp / "sitelog.cvn", *current);
        SiteBook book;
        ASSERT_TRUE(book.Open(tmp.path().string()));
        EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), *current) << "a current book must come through unchanged";
    }
    EXPECT_EQ(ListSiteAliases(rich).size(), 185u - 26u);

    for (const std::string* old : {&legacy, &sparseLegacy}) {
        TempDir tmp;
        WriteFile(tmp / "sitelog.cvn", *old);
        SiteBook book;
        ASSERT_TRUE(book.Open(tmp.path().string()));
        const std::size_t live = old == &legacy ? 1467u - 294u : 1467u;
        EXPECT_EQ(fs::file_size(tmp / "sitelog.cvn"), live * kSiteRecordSize);
        const std::vector<std::string> aliases = book.Aliases();
        ASSERT_EQ(aliases.size(), live);
        EXPECT_EQ(aliases[0], old == &legacy ? "s1" : "a");
        EXPECT_EQ(aliases.back(), old == &legacy ? "s1466" : "a");
    }
}

TEST(SiteBookOpen, MultiplesOf185ThatAreNotWholeCurrentBooks)
{
    // One current record plus a 13-byte fragment: 1480 bytes, also eight
    // legacy records. It is a current book with a torn tail.
    const std::string torn = Bytes(MakeRecord("kept", "h.test", "u", "p", "21", "/pub")) + std::string(13, '\0');
    EXPECT_EQ(DetectSiteBookFormat(torn), sbfCurrent);
    // Eight real legacy records of the same size are converted.
    std::string eight;
    for (int i = 0; i < 8; ++i)
        eight += LegacyBytes("s" + std::to_string(i), "h", "u", "p", "21");
    EXPECT_EQ(DetectSiteBookFormat(eight), sbfLegacy);
    EXPECT_EQ(ListSiteAliases(ConvertLegacySiteBook(eight)).size(), 8u);
    // Shorter than one current record: legacy; not a multiple of 185: current.
    EXPECT_EQ(DetectSiteBookFormat(std::string(185, '\0')), sbfLegacy);
    EXPECT_EQ(DetectSiteBookFormat(std::string(1467 + 1, 'x')), sbfCurrent);
    EXPECT_EQ(DetectSiteBookFormat(""), sbfCurrent);
}

TEST(SiteBookOpen, RecoversFromAnInterruptedConversion)
{
    const std::string current = Bytes(MakeRecord("one", "h1")) + Bytes(MakeRecord("two", "h2"));
    {   // The book was deleted before the rename: the temporary file is the book.
        TempDir tmp;
        WriteFile(tmp / "sitelog1.cvn", current);
        SiteBook book;
        ASSERT_TRUE(book.Open(tmp.path().string()));
        EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), current);
        EXPECT_FALSE(fs::exists(tmp / "sitelog1.cvn"));
    }
    {   // An empty book beside a complete temporary file: the same.
        TempDir tmp;
        WriteFile(tmp / "sitelog.cvn", "");
        WriteFile(tmp / "sitelog1.cvn", current);
        SiteBook book;
        ASSERT_TRUE(book.Open(tmp.path().string()));
        EXPECT_EQ(book.Aliases().size(), 2u);
    }
    {   // The legacy book is intact and the temporary file half written: convert again.
        TempDir tmp;
        WriteFile(tmp / "sitelog.cvn", LegacyBytes("old", "h", "u", "p", "21") + LegacyBytes("b", "h", "u", "p", "21"));
        WriteFile(tmp / "sitelog1.cvn", current.substr(0, 700));
        SiteBook book;
        ASSERT_TRUE(book.Open(tmp.path().string()));
        EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"old", "b"}));
        EXPECT_FALSE(fs::exists(tmp / "sitelog1.cvn"));
    }
}

TEST(SiteBookEdit, AddDeleteAndSlotReuse)
{
    TempDir tmp;
    SiteBook book;
    ASSERT_TRUE(book.Open(tmp.path().string()));
    EXPECT_EQ(book.Add(MakeRecord("A", "a.test")), 0u);
    EXPECT_EQ(book.Add(MakeRecord("B", "b.test", "bob", "bobs-password")), 1u);
    EXPECT_EQ(book.Add(MakeRecord("C", "c.test")), 2u);

    EXPECT_EQ(book.Delete("B"), sbrDone);
    EXPECT_EQ(book.Delete("B"), sbrNotFound);
    EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"A", "C"}));
    const std::vector<SiteEntry> live = book.LiveEntries();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].Position, 0u);
    EXPECT_EQ(live[1].Position, 2u); // the deleted slot still counts
    EXPECT_EQ(live[1].Record.HostName(), "c.test");
    const std::string disk = ReadFile(tmp / "sitelog.cvn");
    ASSERT_EQ(disk.size(), 3 * kSiteRecordSize);
    // Only the alias changed; the password stays until the slot is reused.
    EXPECT_EQ(SiteRecord::FromBytes(disk.substr(kSiteRecordSize, kSiteRecordSize)).Password(), "bobs-password");
    EXPECT_EQ(disk.substr(kSiteRecordSize + 21, kSiteRecordSize - 21),
              Bytes(MakeRecord("B", "b.test", "bob", "bobs-password")).substr(21));

    EXPECT_EQ(book.Add(MakeRecord("D", "d.test")), 1u);
    EXPECT_EQ(fs::file_size(tmp / "sitelog.cvn"), 3 * kSiteRecordSize);
    EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"A", "D", "C"}));
    EXPECT_EQ(book.Find("D")->Record.Password(), "secret");

    // Edit in place keeps the position.
    ASSERT_TRUE(book.Rewrite(2, MakeRecord("C2", "c.test", "u", "p", "2121")));
    EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"A", "D", "C2"}));
    EXPECT_EQ(ModeOf(tmp / "sitelog.cvn"), 0600u);
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"sitelog.cvn"}); // no temporary files left
}

TEST(SiteBookEdit, BangAliasDuplicatesAndCase)
{
    TempDir tmp;
    SiteBook book;
    ASSERT_TRUE(book.Open(tmp.path().string()));
    ASSERT_TRUE(book.Add(MakeRecord("x", "first.test")));
    ASSERT_TRUE(book.Add(MakeRecord("X", "upper.test")));
    ASSERT_TRUE(book.Add(MakeRecord("x", "second.test")));
    EXPECT_EQ(book.Find("x")->Record.HostName(), "first.test");
    EXPECT_EQ(book.Find("X")->Record.HostName(), "upper.test");
    EXPECT_FALSE(book.Find("x "));
    EXPECT_EQ(book.Delete("x"), sbrDone);
    EXPECT_EQ(book.Find("x")->Position, 2u);

    // A site added with the alias "!" is written but counts as deleted.
    EXPECT_EQ(book.Add(MakeRecord("!", "hidden.test")), 0u);
    EXPECT_EQ(book.RecordCount(), 3u);
    EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"X", "x"}));
    EXPECT_EQ(book.Add(MakeRecord("y", "y.test")), 0u);
}

TEST(SiteBookEdit, TwoInstancesSeeEachOthersChanges)
{
    TempDir tmp;
    SiteBook first, second;
    ASSERT_TRUE(first.Open(tmp.path().string()));
    ASSERT_TRUE(second.Open(tmp.path().string()));
    ASSERT_TRUE(first.Add(MakeRecord("a", "h")));
    EXPECT_EQ(second.Aliases(), std::vector<std::string>{"a"});
    ASSERT_TRUE(second.Add(MakeRecord("b", "h")));
    EXPECT_EQ(first.UpdateRemoteDir("a", "/pub"), sbrDone);
    EXPECT_EQ((second.Aliases()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(second.Find("a")->Record.RemoteDir(), "/pub");
}

TEST(SiteBookEdit, TrailingFragmentIsIgnoredAndOverwrittenByAdd)
{
    TempDir tmp;
    WriteFile(tmp / "sitelog.cvn", Bytes(MakeRecord("a", "h")) + std::string(500, 'q'));
    SiteBook book;
    ASSERT_TRUE(book.Open(tmp.path().string()));
    EXPECT_EQ(book.Aliases(), std::vector<std::string>{"a"});
    EXPECT_EQ(book.RecordCount(), 1u);
    EXPECT_EQ(book.Add(MakeRecord("b", "h")), 1u);
    EXPECT_EQ(fs::file_size(tmp / "sitelog.cvn"), 2 * kSiteRecordSize);
    EXPECT_EQ((book.Aliases()), (std::vector<std::string>{"a", "b"}));
}

TEST(SiteBookEdit, DefaultDirUpdatesChangeOnlyTheirField)
{
    TempDir tmp;
    SiteBook book;
    ASSERT_TRUE(book.Open(tmp.path().string()));
    ASSERT_TRUE(book.Add(MakeRecord("a", "h", "u", "p", "21", "/old", "/home/old")));
    ASSERT_TRUE(book.Add(MakeRecord("b", "h")));
    const std::string before = ReadFile(tmp / "sitelog.cvn");

    EXPECT_EQ(book.UpdateRemoteDir("a", "/pub/new"), sbrDone);
    std::string after = ReadFile(tmp / "sitelog.cvn");
    std::string expected = before;
    expected.replace(185, 513, std::string("/pub/new") + std::string(505, '\0'));
    EXPECT_EQ(after, expected);

    EXPECT_EQ(book.UpdateLocalDir("a", "/home/new"), sbrDone);
    EXPECT_EQ(book.Find("a")->Record.LocalDir(), "/home/new");
    EXPECT_EQ(book.Find("a")->Record.RemoteDir(), "/pub/new");

    after = ReadFile(tmp / "sitelog.cvn");
    EXPECT_EQ(book.UpdateRemoteDir("nobody", "/x"), sbrNotFound);
    EXPECT_EQ(book.UpdateLocalDir("", "/x"), sbrNotFound);
    std::string error;
    EXPECT_EQ(book.UpdateRemoteDir("a", std::string(513, 'd'), &error), sbrFailed);
    EXPECT_NE(error.find("512"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), after);
}

TEST(SiteBookFailure, UnwritableFolderOrFileLeavesTheBookAsItWas)
{
    TempDir tmp;
    const fs::path dir = ChildDir(tmp);
    const std::string current = Bytes(MakeRecord("a", "h")) + Bytes(MakeRecord("b", "h"));
    WriteFile(dir / "sitelog.cvn", current);
    apptest::GiveToChild((dir / "sitelog.cvn").string());
    chmod(dir.c_str(), 0500);
    const int code = RunInChild([&] {
        SiteBook book;
        std::string error;
        if (!book.Open(dir.string(), &error))
            return 1;
        if (book.Aliases().size() != 2)
            return 2;
        if (book.Add(MakeRecord("c", "h"), &error) || error.find("sitelog.cvn") == std::string::npos)
            return 3;
        error.clear();
        if (book.Delete("a", &error) != sbrFailed || error.empty())
            return 4;
        return 0;
    }, ChildOptions{true});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(dir / "sitelog.cvn"), current);

    // A read-only book in a writable folder is listed but never replaced.
    chmod(dir.c_str(), 0700);
    chmod((dir / "sitelog.cvn").c_str(), 0400);
    EXPECT_EQ(RunInChild([&] {
        SiteBook book;
        std::string error;
        if (!book.Open(dir.string(), &error) || book.Aliases().size() != 2)
            return 1;
        return book.UpdateRemoteDir("a", "/x", &error) == sbrFailed && !error.empty() ? 0 : 2;
    }, ChildOptions{true}), 0);
    EXPECT_EQ(ReadFile(dir / "sitelog.cvn"), current);
}

TEST(SiteBookFailure, LegacyBookInUnwritableFolderIsNotTouched)
{
    TempDir tmp;
    const fs::path dir = ChildDir(tmp);
    const std::string legacy = LegacyBytes("old", "h", "u", "p", "21") + LegacyBytes("two", "h", "u", "p", "21");
    WriteFile(dir / "sitelog.cvn", legacy);
    apptest::GiveToChild((dir / "sitelog.cvn").string());
    chmod(dir.c_str(), 0500);
    EXPECT_EQ(RunInChild([&] {
        SiteBook book;
        std::string error;
        if (book.Open(dir.string(), &error))
            return 1;
        return error.find("sitelog1.cvn") != std::string::npos ? 0 : 2;
    }, ChildOptions{true}), 0);
    EXPECT_EQ(ReadFile(dir / "sitelog.cvn"), legacy);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"sitelog.cvn"});
    chmod(dir.c_str(), 0700); // so the folder can be removed
}

TEST(SiteBookFailure, FullDiskLeavesTheBookAsItWas)
{
    TempDir tmp;
    const std::string current = Bytes(MakeRecord("a", "h")) + Bytes(MakeRecord("b", "h"));
    WriteFile(tmp / "sitelog.cvn", current);
    // Writes beyond 3000 bytes fail as on a full disk: the new book (4401
    // bytes) cannot be completed.
    EXPECT_EQ(RunInChild([&] {
        SiteBook book;
        std::string error;
        if (!book.Open(tmp.path().string(), &error))
            return 1;
        if (book.Add(MakeRecord("c", "h"), &error))
            return 2;
        return error.empty() ? 3 : 0;
    }, ChildOptions{false, 3000}), 0);
    EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), current);
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"sitelog.cvn"});

    // The same during a conversion: the legacy book survives, no sitelog1.cvn stays.
    const std::string legacy = LegacyBytes("old", "h", "u", "p", "21");
    WriteFile(tmp / "sitelog.cvn", legacy);
    EXPECT_EQ(RunInChild([&] {
        SiteBook book;
        return book.Open(tmp.path().string()) ? 1 : 0;
    }, ChildOptions{false, 1000}), 0);
    EXPECT_EQ(ReadFile(tmp / "sitelog.cvn"), legacy);
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"sitelog.cvn"});
}

TEST(SiteOptionsTest, ReservedFieldTexts)
{
    struct Case {
        const char* reserved;
        SiteOptions parsed;
        const char* written; // what the parsed options write back
    };
    const Case cases[] = {
        {"", SiteOptions{}, ""},
        {"encryption=tls-required;listing=mlsd;utf8=yes", SiteOptions{seTlsRequired, true, true},
            "encryption=tls-required;listing=mlsd;utf8=yes"},
        {"utf8=yes;encryption=tls-if-available", SiteOptions{seTlsIfAvailable, false, true},
            "encryption=tls-if-available;utf8=yes"},
        {"encryption=none;listing=list;utf8=no", SiteOptions{}, ""},
        {"listing=mlsd;", SiteOptions{seNone, true, false}, "listing=mlsd"},
        // Blanks and empty items are skipped: the encryption is still read.
        {"encryption=tls-required;;", SiteOptions{seTlsRequired}, "encryption=tls-required"},
        {" encryption = tls-required ", SiteOptions{seTlsRequired}, "encryption=tls-required"},
        {"Encryption=TLS-Required;UTF8=Yes", SiteOptions{seTlsRequired, false, true}, "encryption=tls-required;utf8=yes"},
        // Unknown keys and notes are kept, and do not cost the keys known.
        {"color=blue;encryption=tls-required", SiteOptions{seTlsRequired, false, false, "color=blue"},
            "encryption=tls-required;color=blue"},
        {"some notes of an older build", SiteOptions{seNone, false, false, "some notes of an older build"},
            "some notes of an older build"},
        // An encryption that cannot be read is not "none".
        {"encryption=ssl;utf8=yes", SiteOptions{seNone, false, true, "", true, "ssl"}, "encryption=ssl;utf8=yes"},
        {"encryption=", SiteOptions{seNone, false, false, "", true, ""}, "encryption="},
        // The protocol: SFTP is written first, FTP is no key at all, and a
        // value that cannot be read is kept and not taken for FTP.
        {"utf8=yes;Protocol=SFTP", SiteOptions{seNone, false, true, "", false, "", true}, "protocol=sftp;utf8=yes"},
        {"protocol=ftp", SiteOptions{}, ""},
        {"protocol=scp", SiteOptions{seNone, false, false, "", false, "", false, true, "scp"}, "protocol=scp"},
    };
    for (const Case& c : cases) {
        const SiteOptions parsed = ParseSiteOptions(c.reserved);
        EXPECT_EQ(parsed, c.parsed) << c.reserved;
        EXPECT_EQ(FormatSiteOptions(parsed), c.written) << c.reserved;
    }
    SiteRecord record;
    ASSERT_TRUE(record.SetField(sfReserved, FormatSiteOptions({seTlsRequired, true, true})));
    EXPECT_EQ(ParseSiteOptions(record.Reserved()), (SiteOptions{seTlsRequired, true, true}));
}
