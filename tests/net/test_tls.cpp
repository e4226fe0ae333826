// TLS of the socket layer against Python's ssl module: line mode on the
// decrypted stream, a reply sent during the handshake, the peer's
// close_notify and close, and a refused certificate; peers that cut or
// corrupt the stream or send plaintext before the handshake; the name check.
#include "net/WSocket.hpp"
#include "net_test_util.hpp"

#include "ftp_peers.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

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


std::unique_ptr<testsupport::PeerProcess> StartFaultPeer(const std::string& mode, int& port,
                                                         const std::filesystem::path& cert,
                                                         const std::filesystem::path& key)
{
    auto peer = std::make_unique<testsupport::PeerProcess>();
    port = testsupport::FreePort();
    EXPECT_TRUE(peer->StartAndWait({"/usr/bin/python3", (testsupport::PeersDir() / "net" / "tls_faults.py").string(),
                                    mode, std::to_string(port), cert.string(), key.string()},
                                   "127.0.0.1", port));
    return peer;
}

// The end of an encrypted stream is its data's end only with close_notify;
// plaintext received before the handshake is never delivered.
TEST(TlsFaults, StreamEndsAndPlaintextBeforeTheHandshake)
{
    // The environment's store is read once per process: this CA comes as a file.
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.Make());
    struct Case {
        const char* mode;
        std::size_t bytes;      // decrypted bytes delivered
        std::uint16_t stream;   // TlsStreamErrorCode() at the close
        bool refused;           // StartTls refused (plaintext held)
    };
    const Case cases[] = {
        {"clean", 200000, 0, false},
        {"truncate", 120000, kTlsErrTruncated, false},
        {"tamper", 6, kTlsErrRecord, false},
        {"starttls", 7, 0, false},    // "234 go" alone: StartTls from its line's handler
        {"plain-lines", 0, 0, true}, // "EVIL" behind "234 go", in the line buffer
        {"socks", 0, 0, true},       // "INJECTED" behind the SOCKS 5 reply
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.mode);
        int port = 0;
        auto peer = StartFaultPeer(k.mode, port, certs.ServerCert(), certs.ServerKey());
        const std::string mode = k.mode;
        TWSocket s;
        std::string data, errors;
        bool closed = false, started = false, startResult = true;
        std::uint16_t stream = 0xFFFF;
        if (mode == "socks") {
            s.SetSocksServer("127.0.0.1");
            s.SetSocksPort(std::to_string(port));
            s.SetAddr("127.0.0.1");
            s.SetPort("1");
        } else {
            s.SetAddr("127.0.0.1");
            s.SetPort(std::to_string(port));
        }
        const bool lines = mode == "plain-lines" || mode == "starttls";
        s.SetLineMode(lines);
        s.OnError = [&](TCustomWSocket*) { errors += "error;"; };
        const auto start = [&](TCustomWSocket* x) {
            started = true;
            startResult = x->StartTls({"127.0.0.1", std::to_string(port), nullptr, certs.Ca().string()});
        };
        s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t e) {
            if (e == 0 && !lines)
                start(x);
        };
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            if (lines) {
                const std::string line = x->ReceiveText();
                if (!started && line == "234 go\r\n")
                    start(x);
                else if (x->TlsActive())
                    data += line;
                return;
            }
            char buf[65536];
            int n = x->Receive(buf, sizeof buf);
            if (n > 0 && x->TlsActive())
                data.append(buf, n);
        };
        s.OnSessionClosed = [&](TCustomWSocket* x, std::uint16_t) {
            closed = true;
            stream = x->TlsStreamErrorCode();
        };
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return closed || !startResult; }));
        EXPECT_EQ(!startResult, k.refused);
        EXPECT_FALSE(s.TlsActive() && k.refused);
        if (k.refused) {
            EXPECT_EQ(s.LastError(), kTlsErrPlaintext);
            EXPECT_EQ(errors, "error;");
        }
        EXPECT_EQ(data.size(), k.bytes) << data.substr(0, 40);
        if (!k.refused)
            EXPECT_EQ(stream, k.stream);
        EXPECT_EQ(data.find("EVIL"), std::string::npos);
        EXPECT_EQ(data.find("INJECTED"), std::string::npos);
    }
}

// The name is checked on its own, by OpenSSL's rules without partial
// wildcards or the subject's CN; every problem reaches the handler. The
// name sent as SNI has no trailing dot and is never an IP literal.
TEST(TlsFaults, NameChecksEveryProblemAndSni)
{
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.Make());
    struct Case {
        std::filesystem::path cert, key;
        const char* host;
        std::vector<int> problems; // empty: accepted without a question
        const char* sni;           // "-": none sent
    };
    const Case cases[] = {
        {certs.ServerCert(), certs.ServerKey(), "localhost.", {}, "localhost"},
        {certs.ServerCert(), certs.ServerKey(), "[127.0.0.1]", {}, "-"},
        {certs.ServerCert(), certs.ServerKey(), "[::1]", {kCertIpMismatch}, "-"},
        {certs.ServerCert(), certs.ServerKey(), "", {kCertNoHostName}, "-"},
        {certs.WildCert(), certs.WildKey(), "foo.example.com", {kCertHostMismatch}, "foo.example.com"},
        {certs.CnCert(), certs.CnKey(), "localhost", {kCertHostMismatch}, "localhost"},
        {certs.SelfCert(), certs.SelfKey(), "localhost", {kCertSelfSigned, kCertHostMismatch}, "localhost"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.host) + " " + k.cert.filename().string());
        int port = 0;
        auto peer = StartFaultPeer("sni", port, k.cert, k.key);
        TWSocket s;
        std::vector<TCertInfo> asked;
        std::string data;
        bool closed = false;
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port));
        s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t) {
            x->StartTls({k.host, std::to_string(port), nullptr, certs.Ca().string()});
        };
        s.OnCertificateCheck = [&](TCustomWSocket*, const TCertInfo& i, bool& accept) {
            asked.push_back(i);
            accept = true; // to see what the server was told
        };
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            char buf[256];
            int n = x->Receive(buf, sizeof buf);
            if (n > 0)
                data.append(buf, n);
        };
        s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { closed = true; };
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return closed; }));
        ASSERT_EQ(asked.size(), k.problems.empty() ? 0u : 1u);
        if (!asked.empty()) {
            EXPECT_EQ(asked[0].ErrorCodes, k.problems) << asked[0].Error;
            EXPECT_EQ(asked[0].Errors.size(), k.problems.size());
        }
        EXPECT_EQ(data, "sni=" + std::string(k.sni) + "\r\n");
    }
}

} // namespace
