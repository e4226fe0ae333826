// The extensions a site asks for, against real servers: IPv6 with EPSV and
// EPRT, MLSD beside LIST, UTF-8 names; and the EPSV fallback after a refused
// PASV against the scripted server.
#include "ftp_peers.hpp"
#include "ftp_test_util.hpp"
#include "app/core/RemoteList.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

using namespace ftp;
using ftptest::Recorder;
using testsupport::Md5OfFile;
namespace fs = std::filesystem;

namespace {

bool Sent(const Recorder& r, const std::string& prefix) { return r.Displayed("> " + prefix); }

// Up and down again in the current mode; both copies must match the original.
void SmallRoundTrip(TFtpClient& c, const fs::path& local, const fs::path& remoteDir, const std::string& name)
{
    const fs::path up = local / "up.bin";
    testsupport::MakePatternFile(up, 70000, 7);
    const std::string want = Md5OfFile(up);
    c.SetHostFileName(name);
    c.SetLocalFileName(up.string());
    ASSERT_TRUE(c.Put()) << c.ErrorMessage();
    EXPECT_EQ(Md5OfFile(remoteDir / name), want);
    c.SetLocalFileName((local / "down.bin").string());
    ASSERT_TRUE(c.Get()) << c.ErrorMessage();
    EXPECT_EQ(Md5OfFile(local / "down.bin"), want);
    fs::remove(local / "down.bin");
}

std::string Listing(TFtpClient& c, const fs::path& file, bool (TFtpClient::*list)())
{
    c.SetHostFileName({});
    c.SetLocalFileName(file.string());
    EXPECT_TRUE((c.*list)()) << c.ErrorMessage();
    return testsupport::ReadFile(file);
}

class ExtServer : public ::testing::Test {
protected:
    bool Start(const std::string& host)
    {
        if (!server.Start({{"alice", "secret", root.path()}}, {}, host))
            return false;
        r.Attach(c);
        c.SetHostName(host == "::1" ? "[::1]" : host);
        c.SetPort(std::to_string(server.Port()));
        c.SetUserName("alice");
        c.SetPassWord("secret");
        c.SetTimeout(20);
        return true;
    }
    void TearDown() override
    {
        if (c.Connected())
            c.Quit();
    }

    testsupport::TempDir root, local;
    testsupport::PyFtpd server;
    Recorder r;
    TFtpClient c;
};

TEST_F(ExtServer, Ipv6WithEpsvAndEprt)
{
    if (!testsupport::HaveIPv6Loopback())
        GTEST_SKIP() << "no ::1 on this machine";
    ASSERT_TRUE(Start("::1")) << server.Log();
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage();
    EXPECT_TRUE(c.ControlIsIPv6());
    EXPECT_EQ(c.DnsResult(), "::1");
    EXPECT_EQ(c.ControlSocket()->PeerAddr(), "::1");
    ASSERT_TRUE(c.SendType());
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "EPSV" : "EPRT");
        c.SetPassive(passive);
        SmallRoundTrip(c, local.path(), root.path(), passive ? "p.bin" : "a.bin");
        const std::string list = Listing(c, local.path() / "list.txt", &TFtpClient::Dir);
        EXPECT_NE(list.find(passive ? " p.bin" : " a.bin"), std::string::npos) << list;
    }
    EXPECT_TRUE(Sent(r, "EPSV"));
    EXPECT_TRUE(Sent(r, "EPRT |2|::1|"));
    EXPECT_FALSE(Sent(r, "PASV") || Sent(r, "PORT ") || Sent(r, "FEAT"));
}

TEST_F(ExtServer, MlsdRowsMatchListRows)
{
    // pyftpdlib writes LIST times in UTC; local time UTC makes both comparable.
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_TRUE(Start("127.0.0.1")) << server.Log();
    fs::create_directories(root.path() / "sub" / "inner");
    testsupport::WriteFile(root.path() / "sub" / "one.txt", "1");
    testsupport::MakePatternFile(root.path() / "sub" / "big.bin", 5000001);
    testsupport::WriteFile(root.path() / "sub" / "a -> b", "arrow");
    testsupport::WriteFile(root.path() / "sub" / "two words.txt", "22");
    c.SetUseMlsd(true);
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage();
    EXPECT_TRUE(Sent(r, "FEAT"));
    EXPECT_FALSE(Sent(r, "OPTS"));
    EXPECT_TRUE(c.HasFeature("mlst"));
    EXPECT_TRUE(c.MlsdInForce());
    EXPECT_EQ(c.ExtensionsInForce(), "MLSD");
    c.SetHostDirName("sub");
    ASSERT_TRUE(c.Cwd());
    c.SetPassive(true);
    const auto list = app::ParseListing(Listing(c, local.path() / "list.txt", &TFtpClient::Dir), app::Today());
    int unreadable = -1;
    const auto mlsd = app::ParseMlsdListing(Listing(c, local.path() / "mlsd.txt", &TFtpClient::Mlsd), &unreadable);
    EXPECT_EQ(unreadable, 0);
    ASSERT_EQ(mlsd.size(), 5u);
    std::map<std::string, app::RemoteRow> byName;
    for (const auto& row : list)
        byName[app::CommandName(row)] = row;
    for (const auto& m : mlsd) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(byName.count(m.name), 1u);
        const app::RemoteRow& l = byName[m.name];
        EXPECT_EQ(m.IsFolder(), l.IsFolder());
        EXPECT_EQ(m.changed, l.changed);
        if (!m.IsFolder()) {
            EXPECT_EQ(m.size, l.size);
        }
        EXPECT_FALSE(m.perms.empty()); // pyftpdlib gives perm, not unix.mode
    }
}

TEST_F(ExtServer, Utf8NameBothWays)
{
    ASSERT_TRUE(Start("127.0.0.1")) << server.Log();
    c.SetUseUtf8(true);
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage();
    EXPECT_TRUE(Sent(r, "FEAT"));
    EXPECT_TRUE(Sent(r, "OPTS UTF8 ON"));
    EXPECT_TRUE(c.Utf8InForce());
    EXPECT_FALSE(c.MlsdInForce()); // offered, not asked for
    EXPECT_EQ(c.ExtensionsInForce(), "UTF-8");
    ASSERT_TRUE(c.SendType());
    c.SetPassive(true);
    const std::string name = "\xC5\x9F\xC4\x9F\xC3\xBC\xC4\xB0.txt"; // şğüİ.txt
    SmallRoundTrip(c, local.path(), root.path(), name);
    const auto rows = app::ParseListing(Listing(c, local.path() / "list.txt", &TFtpClient::Dir), app::Today());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, name);
}

// A server that refuses PASV (PORT): the default keeps today's failure; with
// the fallback EPSV (EPRT |1|) follows, and EPSV's port is joined to the
// control connection's address.
TEST(ExtScripted, RefusedPasvOrPortFallsBack)
{
    using S = testsupport::ScriptedFtpServer;
    for (bool passive : {true, false}) {
        for (bool fallback : {false, true}) {
            SCOPED_TRACE(std::string(passive ? "passive" : "active") + (fallback ? " fallback" : " default"));
            const char* plain = passive ? "PASV" : "PORT";
            S s;
            s.On(plain, {S::Send("502 not here\r\n")});
            s.On("RETR", {S::Send("150 go\r\n"), S::DataSend("data"), S::DataClose(), S::Send("226 ok\r\n")});
            ASSERT_TRUE(s.Start());
            testsupport::TempDir t;
            TFtpClient c;
            Recorder r;
            r.Attach(c);
            c.SetHostName("127.0.0.1");
            c.SetPort(std::to_string(s.Port()));
            c.SetUserName("u");
            c.SetPassWord("p");
            c.SetEpsvFallback(fallback);
            c.SetPassive(passive);
            c.SetHostFileName("f");
            c.SetLocalFileName((t / "f").string());
            ASSERT_TRUE(c.Connect());
            const bool got = c.Get();
            s.WaitForLines(fallback ? 5 : 3);
            const auto d = s.Dialogue();
            if (!fallback) {
                EXPECT_FALSE(got);
                EXPECT_EQ(c.ErrorMessage(), "502 not here");
                ASSERT_EQ(d.size(), 3u);
                EXPECT_EQ(d[2].substr(0, 4), plain);
                continue;
            }
            EXPECT_TRUE(got) << c.ErrorMessage();
            EXPECT_EQ(testsupport::ReadFile(t / "f"), "data");
            ASSERT_EQ(d.size(), 5u);
            EXPECT_EQ(d[2].substr(0, 4), plain);
            const std::string want = passive ? "EPSV" : "EPRT |1|127.0.0.1|";
            EXPECT_EQ(d[3].rfind(want, 0), 0u) << d[3];
            EXPECT_EQ(d[4], "RETR f");
        }
    }
}

} // namespace
