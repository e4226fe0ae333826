// The store of certificates the user trusts always.
#include "app/core/TrustStore.hpp"

#include "peer.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace app;

namespace {

const std::string kA = "AA:BB:CC";
const std::string kB = "DD:EE:FF";

TEST(TrustStore, LookupSaveAndLoad)
{
    testsupport::TempDir dir;
    const std::string path = (dir / kTrustStoreFileName).string();
    TTrustStore s(path);
    ASSERT_TRUE(s.Load()); // no file yet: empty
    s.Trust("Ftp.Example.org", "21", "aa:bb:cc");
    s.Trust("::1", "990", kB);
    s.Trust("bad host", "21", kA); // would not read back: refused
    ASSERT_TRUE(s.Save());
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Lines that do not parse are dropped on reading.
    testsupport::WriteFile(path, testsupport::ReadFile(path) + "junk\r\nonly two\r\n");
    TTrustStore t(path);
    ASSERT_TRUE(t.Load());
    EXPECT_EQ(t.Count(), 2u);
    struct Case {
        const char *host, *port;
        const std::string& fp;
        TTrustAnswer want;
    } cases[] = {
        {"ftp.example.org", "21", kA, trustTrusted},
        {"FTP.EXAMPLE.ORG", "21", kA, trustTrusted},
        {"ftp.example.org", "21", kB, trustChanged},
        {"ftp.example.org", "2121", kA, trustUnknown},
        {"other.example.org", "21", kA, trustUnknown},
        {"::1", "990", kB, trustTrusted},
        {"bad host", "21", kA, trustUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.Lookup(c.host, c.port, c.fp), c.want) << c.host << " " << c.port << " " << c.fp;

    // Trusting the new certificate replaces the old one; forgetting removes it.
    t.Trust("ftp.example.org", "21", kB);
    EXPECT_EQ(t.Lookup("ftp.example.org", "21", kA), trustChanged);
    t.Forget("ftp.example.org", "21");
    EXPECT_EQ(t.Lookup("ftp.example.org", "21", kB), trustUnknown);
}

} // namespace
