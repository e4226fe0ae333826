// The store of certificates the user trusts always.
#include "app/core/TrustStore.hpp"

#include "peer.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace app;

namespace {

const std::string kA = "AA:BB:CC";
const std::string kB = "DD:EE:FF";
const std::string kC = "11:22:33";

TEST(TrustStore, LookupSaveAndLoad)
{
    testsupport::TempDir dir;
    const std::string path = (dir / kTrustStoreFileName).string();
    TTrustStore s(path);
    ASSERT_TRUE(s.Load()); // no file yet: empty
    EXPECT_TRUE(s.Trust("Ftp.Example.org", "ftp", "aa:bb:cc"));
    EXPECT_TRUE(s.Trust("::1", "990", kB));
    EXPECT_TRUE(s.Trust("bad host\t%", "21", kA)); // escaped, not dropped
    EXPECT_TRUE(s.Trust("::1", "990", kC, true));  // a data connection's, beside
    EXPECT_FALSE(s.Trust("", "21", kA));
    EXPECT_FALSE(s.Trust("h", "21", ""));
    ASSERT_TRUE(s.Save());
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Lines that do not parse are dropped on reading.
    testsupport::WriteFile(path, testsupport::ReadFile(path) + "junk\r\nonly two\r\n");
    TTrustStore t(path);
    ASSERT_TRUE(t.Load());
    EXPECT_EQ(t.Count(), 4u);
    struct Case {
        const char *host, *port;
        const std::string& fp;
        TTrustAnswer want;
    } cases[] = {
        {"ftp.example.org", "21", kA, trustTrusted},
        {"FTP.EXAMPLE.ORG", "021", kA, trustTrusted},
        {"ftp.example.org", "ftp", kB, trustChanged},
        {"ftp.example.org", "2121", kA, trustUnknown},
        {"other.example.org", "21", kA, trustUnknown},
        {"::1", "990", kB, trustTrusted},
        {"::1", "990", kC, trustTrusted},
        {"::1", "990", kA, trustChanged},
        {"bad host\t%", "21", kA, trustTrusted},
        {"bad host", "21", kA, trustUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.Lookup(c.host, c.port, c.fp), c.want) << c.host << " " << c.port << " " << c.fp;
    // A pin does not outlive the certificate's validity.
    EXPECT_EQ(t.Lookup("::1", "990", kB, true), trustExpired);
    EXPECT_EQ(t.Lookup("::1", "990", kA, true), trustChanged);

    // Trusting the new certificate replaces the old ones; forgetting removes them.
    t.Trust("::1", "990", kA);
    EXPECT_EQ(t.Lookup("::1", "990", kB), trustChanged);
    t.Forget("ftp.example.org", "21");
    EXPECT_EQ(t.Lookup("ftp.example.org", "21", kA), trustUnknown);
}

// Two programs with the store open: each save keeps what the other saved.
TEST(TrustStore, SaveMergesWithTheFile)
{
    testsupport::TempDir dir;
    const std::string path = (dir / kTrustStoreFileName).string();
    TTrustStore first(path), second(path);
    ASSERT_TRUE(first.Load());
    ASSERT_TRUE(second.Load());
    first.Trust("one", "21", kA);
    ASSERT_TRUE(first.Save());
    second.Trust("two", "21", kB);
    second.Forget("one", "21"); // forgetting what it never saw is still its own change
    ASSERT_TRUE(second.Save());
    first.Trust("three", "21", kC);
    ASSERT_TRUE(first.Save());
    TTrustStore t(path);
    ASSERT_TRUE(t.Load());
    EXPECT_EQ(t.Lookup("one", "21", kA), trustUnknown);
    EXPECT_EQ(t.Lookup("two", "21", kB), trustTrusted);
    EXPECT_EQ(t.Lookup("three", "21", kC), trustTrusted);
    EXPECT_EQ(first.Lookup("two", "21", kB), trustTrusted); // adopted on save
}

} // namespace
