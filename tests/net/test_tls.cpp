// TLS of the socket layer against Python's ssl module: line mode on the
// decrypted stream, a reply sent during the handshake, the peer's
// close_notify and close, and a refused certificate.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"

#include "ftp_peers.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace net;
using namespace nettest;

namespace {

TEST(Tls, LineModeOnTheDecryptedStream)
{
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.Make());
    // Read once per process, when the first TLS session starts.
    ::setenv("SSL_CERT_FILE", certs.Ca().c_str(), 1);
    testsupport::PeerProcess peer;
    const int port = testsupport::FreePort();
    ASSERT_TRUE(peer.StartAndWait({"/usr/bin/python3", (testsupport::PeersDir() / "net" / "tls_lines.py").string(),
                                   std::to_string(port), certs.ServerCert().string(), certs.ServerKey().string()},
                                  "127.0.0.1", port));

    struct Case {
        const char* host;
        bool trusted;
    };
    // 127.0.0.1 is named in the certificate; 127.0.0.2 is not.
    for (const Case& k : {Case{"127.0.0.1", true}, Case{"127.0.0.2", false}}) {
        SCOPED_TRACE(k.host);
        TWSocket s;
        std::vector<std::string> lines, events;
        std::vector<TCertInfo> asked;
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port));
        s.SetLineMode(true);
        s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t) {
            x->StartTls({k.host, std::to_string(port), nullptr});
            s.SendLine("hello"); // waits for the handshake
        };
        s.OnCertificateCheck = [&](TCustomWSocket*, const TCertInfo& i, bool&) { asked.push_back(i); };
        s.OnTlsDone = [&](TCustomWSocket* x, std::uint16_t e) {
            events.push_back("tls " + std::to_string(e) + " " + x->TlsVersion());
        };
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            std::string l = x->ReceiveText();
            if (!l.empty())
                lines.push_back(l);
        };
        s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { events.push_back("closed " + std::to_string(e)); };
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back().rfind("closed", 0) == 0; }));
        if (k.trusted) {
            EXPECT_TRUE(asked.empty());
            ASSERT_EQ(events.size(), 2u);
            EXPECT_EQ(events[0].rfind("tls 0 TLS 1.", 0), 0u) << events[0];
            EXPECT_EQ(events[1], "closed 0");
            EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n", "got: hello\r\n"}));
        } else {
            ASSERT_EQ(asked.size(), 1u);
            EXPECT_EQ(asked[0].Host, "127.0.0.2");
            EXPECT_NE(asked[0].Error.find("IP address mismatch"), std::string::npos) << asked[0].Error;
            EXPECT_EQ(events, (std::vector<std::string>{"tls " + std::to_string(kTlsErrCertificate) + " ",
                                                        "closed " + std::to_string(kTlsErrCertificate)}));
            EXPECT_TRUE(lines.empty());
        }
    }
}

} // namespace
