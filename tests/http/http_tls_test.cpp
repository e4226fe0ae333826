// https through the socket layer's TLS: nginx with a certificate of the
// test's own CA, and with a self-signed one.
#include "http/HttpProt.hpp"
#include "ftp_peers.hpp"
#include "http_peers.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace http;

namespace {

testsupport::TestCertificates* g_certs = nullptr;

// One CA for the process: the socket layer reads the trust store once.
class CertEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_certs = new testsupport::TestCertificates;
        ASSERT_TRUE(g_certs->Make());
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

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

// A whole download, then its second half by range on the kept-alive
// encrypted connection.
TEST(HttpTls, DownloadAndResumeByRange)
{
    testsupport::NginxPeer nginx;
    nginx.SetTls(g_certs->ServerCert(), g_certs->ServerKey());
    ASSERT_TRUE(nginx.Start()) << nginx.Log();
    const std::string body = Pattern(300000);
    testsupport::WriteFile(nginx.Root() / "data.bin", body);

    THttpCli c;
    TMemoryStream out;
    c.SetBodyOutStream(&out);
    c.SetRequestVer("1.1");
    int asked = 0;
    c.OnCertificateCheck = [&](THttpCli*, const net::TCertInfo&, bool&) { ++asked; };
    c.SetURL(nginx.HttpsBase() + "/data.bin");
    c.Get();
    EXPECT_EQ(c.ReplyStatus(), 200);
    EXPECT_TRUE(out.Data() == body);
    EXPECT_EQ(c.TlsDescription().rfind("TLS 1.", 0), 0u) << c.TlsDescription();

    out.SetSize(0);
    c.SetContentRangeBegin("100000");
    c.Get();
    EXPECT_EQ(c.ReplyStatus(), 206);
    EXPECT_TRUE(out.Data() == body.substr(100000));
    EXPECT_EQ(asked, 0);
}

// A self-signed certificate: refused without a handler (a clear error, no
// request sent), accepted by one that is shown its fingerprint.
TEST(HttpTls, SelfSignedCertificate)
{
    testsupport::NginxPeer nginx;
    nginx.SetTls(g_certs->SelfCert(), g_certs->SelfKey());
    ASSERT_TRUE(nginx.Start()) << nginx.Log();
    testsupport::WriteFile(nginx.Root() / "s.txt", "self-signed body\n");
    const std::string url = nginx.HttpsBase() + "/s.txt";

    THttpCli refused;
    refused.SetURL(url);
    EXPECT_THROW(refused.Get(), EHttpException);
    EXPECT_NE(refused.ReplyText().find("certificate refused"), std::string::npos) << refused.ReplyText();
    EXPECT_EQ(testsupport::ReadFile(nginx.Root() / ".." / "nginx" / "logs" / "access.log").find("s.txt"),
              std::string::npos);

    THttpCli accepted;
    TMemoryStream out;
    accepted.SetBodyOutStream(&out);
    std::string fingerprint;
    accepted.OnCertificateCheck = [&](THttpCli*, const net::TCertInfo& info, bool& accept) {
        fingerprint = info.Fingerprint;
        accept = true;
    };
    accepted.SetURL(url);
    accepted.Get();
    EXPECT_EQ(out.Data(), "self-signed body\n");
    EXPECT_EQ(fingerprint, testsupport::TestCertificates::Fingerprint(g_certs->SelfCert()));
}

} // namespace
