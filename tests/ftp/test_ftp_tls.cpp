// Explicit TLS of the engine against real servers (vsftpd with session reuse
// required, pyftpdlib's TLS handler) with certificates made by the test, and
// against scripted servers for a refused AUTH and for what no real server
// does on purpose (a data stream cut or corrupted, refused PBSZ/PROT P,
// plaintext behind 234, a corrupted control record).
#include "ftp_peers.hpp"
#include "ftp_test_util.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace ftp;
using ftptest::Recorder;
using testsupport::Md5OfFile;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBig = 64ull << 20;

// One CA for the process: the socket layer reads the trust store once.
testsupport::TestCertificates* g_certs = nullptr;

class CertEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_certs = new testsupport::TestCertificates;
        ASSERT_TRUE(g_certs->Make()) << "openssl could not make the test certificates";
        ::setenv("SSL_CERT_FILE", g_certs->Ca().c_str(), 1);
        ::setenv("SSL_CERT_DIR", g_certs->Dir().c_str(), 1);
    }
    void TearDown() override
    {
        delete g_certs;
        g_certs = nullptr;
    }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new CertEnvironment);

void Login(TFtpClient& c, Recorder& r, int port, const std::string& user, const std::string& pass,
           TFtpTlsMode mode = ftpTlsRequire)
{
    r.Attach(c);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.SetUserName(user);
    c.SetPassWord(pass);
    c.SetTimeout(30);
    c.SetTlsMode(mode);
}

bool SentUser(const Recorder& r) { return r.Displayed("> USER"); }

std::string Dialogue(const Recorder& r)
{
    std::string s;
    for (const auto& d : r.display)
        s += "\n  " + d;
    return s;
}

// A real server with TLS required: vsftpd refuses a data connection that
// does not resume the control connection's session.
struct ServerCase {
    const char* name;
    bool vsftpd;
};

class FtpTlsServer : public ::testing::TestWithParam<ServerCase> {};

TEST_P(FtpTlsServer, LoginListingAndTransfersBothModes)
{
    testsupport::TempDir root, local;
    testsupport::WriteFile(root / "hello.txt", "over tls\n");
    std::unique_ptr<testsupport::Vsftpd> vs;
    std::unique_ptr<testsupport::PyFtpd> py;
    int port = 0;
    std::string user = "tls", pass = "pw";
    if (GetParam().vsftpd) {
        if (!testsupport::Vsftpd::Available())
            GTEST_SKIP() << "vsftpd or its test account missing (scripts/setup)";
        vs = std::make_unique<testsupport::Vsftpd>();
        vs->SetTls(g_certs->ServerCert(), g_certs->ServerKey());
        ASSERT_TRUE(vs->Start(root.path())) << vs->Log();
        port = vs->Port();
        user = testsupport::Vsftpd::kUser;
        pass = testsupport::Vsftpd::kPassword;
    } else {
        py = std::make_unique<testsupport::PyFtpd>();
        py->SetTls(g_certs->ServerCert(), g_certs->ServerKey());
        ASSERT_TRUE(py->Start({{user, pass, root.path()}})) << py->Log();
        port = py->Port();
    }
    Recorder r;
    TFtpClient c;
    Login(c, r, port, user, pass);
    int asked = 0;
    c.OnCertificateCheck = [&](TCustomFtpCli*, const net::TCertInfo&, bool&) { ++asked; };
    ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << (vs ? vs->Log() : py->Log());
    EXPECT_EQ(asked, 0); // signed by the trusted CA, for 127.0.0.1
    EXPECT_TRUE(c.DataProtected());
    EXPECT_EQ(c.TlsDescription().rfind("TLS 1.", 0), 0u) << c.TlsDescription();
    EXPECT_NE(c.TlsDescription().find(", "), std::string::npos);
    EXPECT_TRUE(r.Displayed("> PBSZ 0"));
    EXPECT_TRUE(r.Displayed("> PROT P"));
    ASSERT_TRUE(c.SendType());

    testsupport::MakePatternFile(local / "up.bin", kBig, 17);
    const std::string want = Md5OfFile(local / "up.bin");
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        c.SetPassive(passive);
        c.SetHostFileName("");
        c.SetLocalFileName((local / "list.txt").string());
        ASSERT_TRUE(c.Dir()) << c.ErrorMessage() << Dialogue(r);
        EXPECT_NE(testsupport::ReadFile(local / "list.txt").find("hello.txt"), std::string::npos);
        c.SetHostFileName("big.bin");
        c.SetLocalFileName((local / "up.bin").string());
        ASSERT_TRUE(c.Put()) << c.ErrorMessage() << Dialogue(r);
        EXPECT_EQ(c.ByteCount(), static_cast<std::int64_t>(kBig));
        EXPECT_EQ(Md5OfFile(root / "big.bin"), want);
        c.SetLocalFileName((local / "down.bin").string());
        ASSERT_TRUE(c.Get()) << c.ErrorMessage() << Dialogue(r);
        EXPECT_EQ(Md5OfFile(local / "down.bin"), want);
        fs::remove(local / "down.bin");
        fs::remove(root / "big.bin");
    }
    // The speed limit on encrypted data: 2 MiB at 2 MiB/s takes a second each way.
    auto limit = std::make_shared<net::TRateLimit>(2 << 20);
    c.SetRateLimits(limit, limit);
    c.SetPassive(true);
    testsupport::MakePatternFile(local / "lim.bin", 2 << 20, 18);
    for (bool put : { true, false }) {
        c.SetHostFileName("lim.bin");
        c.SetLocalFileName((local / (put ? "lim.bin" : "back.bin")).string());
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(put ? c.Put() : c.Get()) << c.ErrorMessage() << Dialogue(r);
        EXPECT_NEAR(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0, 0.15);
    }
    EXPECT_EQ(Md5OfFile(local / "back.bin"), Md5OfFile(local / "lim.bin"));
    EXPECT_TRUE(c.Quit());
}

INSTANTIATE_TEST_SUITE_P(Ftp, FtpTlsServer,
                         ::testing::Values(ServerCase{"vsftpd", true}, ServerCase{"pyftpdlib", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A certificate no trust store knows: the check is asked once with what the
// user must see; refusing (or having no handler) ends the connection before
// the log-in, accepting carries over to the data connections.
TEST(FtpTls, SelfSignedCertificateIsAskedAbout)
{
    testsupport::TempDir root, local;
    testsupport::WriteFile(root / "a.txt", "self-signed");
    testsupport::PyFtpd server;
    server.SetTls(g_certs->SelfCert(), g_certs->SelfKey());
    ASSERT_TRUE(server.Start({{"u", "p", root.path()}})) << server.Log();
    const std::string fp = testsupport::TestCertificates::Fingerprint(g_certs->SelfCert());
    ASSERT_EQ(fp.size(), 95u) << fp;

    struct Case {
        const char* name;
        bool handler, accept;
    };
    for (const Case& k : {Case{"no handler", false, false}, Case{"refused", true, false}, Case{"accepted", true, true}}) {
        SCOPED_TRACE(k.name);
        Recorder r;
        TFtpClient c;
        Login(c, r, server.Port(), "u", "p");
        std::vector<net::TCertInfo> seen;
        if (k.handler)
            c.OnCertificateCheck = [&](TCustomFtpCli*, const net::TCertInfo& info, bool& accept) {
                seen.push_back(info);
                // A user slower than the time limit: the blocking wait
                // starts again after the answer.
                ftptest::Pump(k.accept ? 2500 : 100);
                accept = k.accept;
            };
        c.SetTimeout(2);
        const bool ok = c.Connect();
        c.SetTimeout(30);
        EXPECT_EQ(ok, k.accept) << c.ErrorMessage();
        if (k.handler) {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].Fingerprint, fp);
            EXPECT_EQ(seen[0].Host, "127.0.0.1");
            EXPECT_EQ(seen[0].Subject, "CN=Self Signed Test");
            EXPECT_EQ(seen[0].Issuer, "CN=Self Signed Test");
            EXPECT_FALSE(seen[0].Error.empty());
            EXPECT_EQ(seen[0].NotAfter.size(), 23u) << seen[0].NotAfter;
        }
        if (!k.accept) {
            EXPECT_FALSE(SentUser(r));
            EXPECT_NE(c.ErrorMessage().find("certificate refused"), std::string::npos) << c.ErrorMessage();
            EXPECT_EQ(c.RequestResult(), net::kTlsErrCertificate);
            continue;
        }
        ASSERT_TRUE(c.SendType());
        for (bool passive : {true, false}) {
            c.SetPassive(passive);
            c.SetHostFileName("a.txt");
            c.SetLocalFileName((local / "a.txt").string());
            ASSERT_TRUE(c.Get()) << c.ErrorMessage();
            EXPECT_EQ(testsupport::ReadFile(local / "a.txt"), "self-signed");
        }
        EXPECT_EQ(seen.size(), 1u); // not asked again for the data connections
        c.Quit();
    }
}

// AUTH TLS refused: "Require" ends the connection and sends nothing more,
// "if available" goes on in clear.
TEST(FtpTls, RefusedAuth)
{
    for (TFtpTlsMode mode : {ftpTlsRequire, ftpTlsIfAvailable}) {
        SCOPED_TRACE(mode == ftpTlsRequire ? "require" : "if available");
        testsupport::ScriptedFtpServer server;
        server.On("AUTH", {testsupport::ScriptedFtpServer::Send("502 no tls here\r\n")});
        ASSERT_TRUE(server.Start());
        Recorder r;
        TFtpClient c;
        Login(c, r, server.Port(), "user", "secret", mode);
        const bool ok = c.Connect();
        ftptest::Pump(100);
        const auto dialogue = server.Dialogue();
        if (mode == ftpTlsRequire) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(dialogue, std::vector<std::string>{"AUTH TLS"});
            EXPECT_NE(c.ErrorMessage().find("refused AUTH TLS"), std::string::npos) << c.ErrorMessage();
            EXPECT_FALSE(c.Connected());
        } else {
            EXPECT_TRUE(ok) << c.ErrorMessage();
            EXPECT_EQ(dialogue, (std::vector<std::string>{"AUTH TLS", "USER user", "PASS secret"}));
            EXPECT_FALSE(c.DataProtected());
            EXPECT_EQ(c.TlsDescription(), "");
        }
    }
}

struct FaultCase {
    const char* mode;
    TFtpTlsMode tls;
    bool connects, downloads;
    std::int64_t kept;  // bytes in the local file after the download (-1: not tried)
    const char* logged; // a line the user sees
    bool uploads = true; // an upload of 8 MiB after the download
};

class FtpTlsFaults : public ::testing::TestWithParam<FaultCase> {};

// The download's outcome is the data stream's, whatever the final reply;
// a refused data protection is never silent; no clear byte passes for the
// server's after 234.
TEST_P(FtpTlsFaults, ScriptedServer)
{
    const FaultCase& k = GetParam();
    testsupport::TempDir local;
    testsupport::PeerProcess peer;
    const int port = testsupport::FreePort();
    ASSERT_TRUE(peer.StartAndWait({"/usr/bin/python3", (testsupport::PeersDir() / "ftp" / "ftps_faults.py").string(),
                                   k.mode, std::to_string(port), g_certs->ServerCert().string(),
                                   g_certs->ServerKey().string()},
                                  "127.0.0.1", port));
    Recorder r;
    TFtpClient c;
    Login(c, r, port, "user", "secret", k.tls);
    c.SetPassive(true);
    ASSERT_EQ(c.Connect(), k.connects) << c.ErrorMessage() << Dialogue(r);
    EXPECT_TRUE(r.Displayed(k.logged)) << Dialogue(r);
    if (!k.connects) {
        EXPECT_FALSE(c.Connected());
        EXPECT_EQ(SentUser(r), std::string(k.mode) != "inject234") << Dialogue(r);
        return;
    }
    if (std::string(k.mode) == "tamper-control") {
        const std::uint32_t start = platform::GetTickCount();
        EXPECT_FALSE(c.Pwd());
        EXPECT_LT(platform::GetTickCount() - start, 5000u) << "ended by the error, not the time limit";
        EXPECT_NE(c.ErrorMessage().find("TLS error on the control connection"), std::string::npos)
            << c.ErrorMessage();
        EXPECT_FALSE(c.Connected());
        return;
    }
    c.SetHostFileName("file.bin");
    c.SetLocalFileName((local / "file.bin").string());
    EXPECT_EQ(c.Get(), k.downloads) << c.ErrorMessage() << Dialogue(r);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(local / "file.bin")), k.kept);
    if (!k.downloads) {
        EXPECT_EQ(c.RequestResult(), 426);
        EXPECT_NE(c.ErrorMessage().find("Download incomplete"), std::string::npos) << c.ErrorMessage();
    }
    // A data connection dropped by the far end mid-upload is a failed upload, whatever the 226 says.
    testsupport::WriteFile(local / "up.bin", std::string(8 << 20, 'u'));
    c.SetHostFileName("up.bin");
    c.SetLocalFileName((local / "up.bin").string());
    EXPECT_EQ(c.Put(), k.uploads) << c.ErrorMessage() << Dialogue(r);
    EXPECT_TRUE(c.Quit()) << c.ErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(
    Ftp, FtpTlsFaults,
    ::testing::Values(
        FaultCase{"clean", ftpTlsRequire, true, true, 200000, "! Encrypted: TLS 1."},
        FaultCase{"truncate", ftpTlsRequire, true, false, 120000, "! Encrypted: TLS 1."},
        FaultCase{"tamper", ftpTlsRequire, true, false, 60000, "! Encrypted: TLS 1."},
        FaultCase{"refuse-pbsz", ftpTlsRequire, false, false, -1, "! 500 The server refused PBSZ"},
        FaultCase{"refuse-prot", ftpTlsRequire, false, false, -1, "! 536 The server refused PROT P"},
        FaultCase{"refuse-prot", ftpTlsIfAvailable, true, true, 200000, "! The server refused PROT P"},
        FaultCase{"inject234", ftpTlsRequire, false, false, -1, "! 500 TLS could not start: unencrypted data"},
        FaultCase{"tamper-control", ftpTlsRequire, true, false, -1, "! TLS negotiated"},
        FaultCase{"upload-cut", ftpTlsRequire, true, true, 200000, "! Encrypted: TLS 1.", false}),
    [](const auto& info) {
        std::string n = std::string(info.param.mode) + (info.param.tls == ftpTlsRequire ? "_require" : "_ifavailable");
        for (char& ch : n)
            if (ch == '-')
                ch = '_';
        return n;
    });

// A data connection showing another certificate than the control
// connection's is asked about as a data connection's; refused, the transfer
// fails as a refused certificate, not as a failed handshake.
TEST(FtpTls, DataConnectionWithAnotherCertificate)
{
    testsupport::PeerProcess peer;
    const int port = testsupport::FreePort();
    ASSERT_TRUE(peer.StartAndWait({"/usr/bin/python3", (testsupport::PeersDir() / "ftp" / "ftps_faults.py").string(),
                                   "data-cert", std::to_string(port), g_certs->ServerCert().string(),
                                   g_certs->ServerKey().string(), g_certs->SelfCert().string(),
                                   g_certs->SelfKey().string()},
                                  "127.0.0.1", port));
    testsupport::TempDir local;
    for (bool accept : {false, true}) {
        SCOPED_TRACE(accept ? "accepted" : "refused");
        Recorder r;
        TFtpClient c;
        Login(c, r, port, "user", "secret");
        c.SetPassive(true);
        std::vector<bool> asked; // DataConnection of each certificate shown
        c.OnCertificateCheck = [&](TCustomFtpCli*, const net::TCertInfo& info, bool& a) {
            asked.push_back(info.DataConnection);
            a = accept;
        };
        ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << Dialogue(r);
        c.SetHostFileName("file.bin");
        c.SetLocalFileName((local / "file.bin").string());
        EXPECT_EQ(c.Get(), accept) << c.ErrorMessage() << Dialogue(r);
        EXPECT_EQ(asked, std::vector<bool>{true});
        if (!accept) {
            EXPECT_EQ(c.RequestResult(), net::kTlsErrCertificate) << c.ErrorMessage();
            EXPECT_NE(c.ErrorMessage().find("Certificate refused"), std::string::npos) << c.ErrorMessage();
        }
        EXPECT_TRUE(c.Quit()) << c.ErrorMessage() << Dialogue(r);
    }
}

// Under "TLS required" the single-step USER, PASS and ACCT never go out in clear.
TEST(FtpTls, CredentialsWaitForTls)
{
    testsupport::ScriptedFtpServer server;
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Login(c, r, server.Port(), "user", "secret", ftpTlsRequire);
    ASSERT_TRUE(c.BeginOpen());
    ASSERT_TRUE(ftptest::WaitDone(r, 1));
    ASSERT_TRUE(c.Connected());
    EXPECT_FALSE(c.BeginUser());
    EXPECT_FALSE(c.BeginPass());
    c.SetAccount("billing");
    EXPECT_FALSE(c.BeginAcct());
    ftptest::Pump(100);
    EXPECT_TRUE(server.Dialogue().empty());
    EXPECT_EQ(r.errors.size(), 3u);
}

} // namespace
