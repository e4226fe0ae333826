// https through the socket layer's TLS: nginx with a certificate of the
// test's own CA, and with a self-signed one; through tinyproxy's tunnel; a
// body that ends at the close, with and without close_notify.
#include "http/HttpProt.hpp"
#include "ftp_peers.hpp"
#include "http_peers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Through a proxy the tunnel carries TLS with the target's name: the
// request never goes out in clear; a kept-alive tunnel serves its own
// server again; a proxy asking for credentials gets them on the CONNECT.
TEST(HttpTls, ThroughTheProxyTunnel)
{
    testsupport::NginxPeer nginx;
    nginx.SetTls(g_certs->ServerCert(), g_certs->ServerKey());
    ASSERT_TRUE(nginx.Start()) << nginx.Log();
    testsupport::WriteFile(nginx.Root() / "t.txt", "through the tunnel\n");
    for (bool auth : {false, true}) {
        SCOPED_TRACE(auth ? "proxy with credentials" : "open proxy");
        testsupport::TinyproxyPeer proxy;
        ASSERT_TRUE(proxy.Start(auth));
        THttpCli c;
        TMemoryStream out;
        c.SetBodyOutStream(&out);
        c.SetRequestVer("1.1");
        c.SetProxy("127.0.0.1");
        c.SetProxyPort(std::to_string(proxy.Port()));
        if (auth) {
            c.SetProxyUsername(testsupport::kHttpAuthUser);
            c.SetProxyPassword(testsupport::kHttpAuthPass);
        }
        std::vector<std::string> sent;
        c.OnCommand = [&](THttpCli*, std::string& line) { sent.push_back(line); };
        int asked = 0;
        c.OnCertificateCheck = [&](THttpCli*, const net::TCertInfo&, bool&) { ++asked; };
        c.SetURL(nginx.HttpsBase() + "/t.txt");
        c.Get();
        EXPECT_EQ(c.ReplyStatus(), 200) << c.ReplyText() << proxy.Log();
        EXPECT_EQ(out.Data(), "through the tunnel\n");
        EXPECT_EQ(c.TlsDescription().rfind("TLS 1.", 0), 0u) << c.TlsDescription();
        EXPECT_EQ(asked, 0); // checked for 127.0.0.1, the target, not the proxy
        const std::string tunnelPort = c.CtrlSocket().GetBoundPort();
        out.SetSize(0);
        c.Get();
        EXPECT_EQ(out.Data(), "through the tunnel\n");
        EXPECT_EQ(c.CtrlSocket().GetBoundPort(), tunnelPort) << "same server: the tunnel is reused";
        EXPECT_NE(std::find(sent.begin(), sent.end(), "GET /t.txt HTTP/1.1"), sent.end());
    }
}

// A proxy that answers CONNECT with anything but a tunnel speaks for itself:
// its body is not the https document and its Location is not followed.
TEST(HttpTls, ProxyReplyInsteadOfTunnel)
{
    testsupport::ScriptedHttpPeer proxy;
    ASSERT_TRUE(proxy.Start());
    for (const char* host : {"forged.test", "moved.test"}) {
        SCOPED_TRACE(host);
        proxy.ClearLog();
        THttpCli c;
        TMemoryStream out;
        c.SetBodyOutStream(&out);
        c.SetRequestVer("1.1");
        c.SetProxy("127.0.0.1");
        c.SetProxyPort(std::to_string(proxy.Port()));
        c.SetURL(std::string("https://") + host + "/doc");
        EXPECT_THROW(c.Get(), EHttpException);
        EXPECT_EQ(out.Data(), "");
        EXPECT_EQ(c.ReplyText().rfind("The proxy", 0), 0u) << c.ReplyText();
        EXPECT_EQ(proxy.RequestLog().find("/target"), std::string::npos) << proxy.RequestLog();
    }
}

// A body without length ends at the close: whole only with close_notify.
// The CA comes as a file, beside the environment's store.
TEST(HttpTls, BodyEndingAtTheClose)
{
    struct Case {
        const char* mode;
        std::uint16_t error; // ErrorCode; 0: the request succeeds
    };
    for (const Case& k : {Case{"http-clean", 0}, Case{"http-truncate", net::kTlsErrTruncated}}) {
        SCOPED_TRACE(k.mode);
        testsupport::PeerProcess peer;
        const int port = testsupport::FreePort();
        ASSERT_TRUE(peer.StartAndWait({"/usr/bin/python3", (testsupport::PeersDir() / "net" / "tls_faults.py").string(),
                                       k.mode, std::to_string(port), g_certs->ServerCert().string(),
                                       g_certs->ServerKey().string()},
                                      "127.0.0.1", port));
        THttpCli c;
        TMemoryStream out;
        c.SetBodyOutStream(&out);
        c.SetCaFile(g_certs->Ca().string());
        c.SetURL("https://127.0.0.1:" + std::to_string(port) + "/x");
        bool threw = false;
        try {
            c.Get();
        } catch (const EHttpException&) {
            threw = true;
        }
        EXPECT_EQ(threw, k.error != 0) << c.ReplyText();
        EXPECT_EQ(c.LastErrorCode(), k.error) << c.ReplyText();
        EXPECT_EQ(out.Data().size(), 100000u); // what came is kept; only the verdict differs
        if (k.error) {
            EXPECT_NE(c.ReplyText().find("close_notify"), std::string::npos) << c.ReplyText();
        }
    }
}

} // namespace
