// SftpSession against OpenSSH's sshd started by the test on loopback, with
// no window: log-in methods, host keys, the folder operations, transfers
// (resume, 64 MiB, abort, lost connection, full disk) and the queue on two
// sessions. The test pumps the platform event loop itself.
#include "app/core/Queue.hpp"
#include "app/session/SftpPacket.hpp"
#include "app/session/SftpSession.hpp"
#include "app/transfer/TransferQueue.hpp"
#include "ftp_peers.hpp"
#include "loop_wait.hpp"
#include "platform/EventLoop.hpp"
#include "queue_check.hpp"
#include "ssh_peers.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sys/stat.h>

namespace fs = std::filesystem;
using app::RemoteSession;
using app::SessionResult;
using testsupport::MakePatternFile;
using testsupport::Md5OfFile;
using testsupport::Sshd;

using testsupport::PumpUntil;

namespace {

// A session with what it said and asked. Questions are answered from
// answers (button, text) inside Ask while there are any, else kept in
// pending for the test to answer later.
struct Client {
    app::SftpSession session;
    std::vector<RemoteSession::Question> asked;
    std::vector<std::pair<std::size_t, std::string>> answers;
    RemoteSession::Answer pending;
    std::string log;
    int closed = 0;

    explicit Client(app::SftpSettings settings)
        : session(std::move(settings))
    {
        auto& ev = session.SessionEvents();
        ev.Log = [this](const std::string& line) { log += line + "\n"; };
        ev.Closed = [this] { ++closed; };
        ev.Ask = [this](const RemoteSession::Question& q, RemoteSession::Answer answer) {
            asked.push_back(q);
            if (answers.empty())
                return void(pending = std::move(answer));
            auto [button, text] = answers.front();
            answers.erase(answers.begin());
            answer(button, text);
        };
    }
    // Starts an operation, checks that it did not end inside the call, and
    // pumps until it ends.
    SessionResult Wait(const std::function<void(app::SessionDone)>& start, std::uint32_t ms = 30000)
    {
        std::optional<SessionResult> result;
        start([&](const SessionResult& r) { result = r; });
        EXPECT_FALSE(result) << "the callback came inside the call";
        EXPECT_TRUE(PumpUntil([&] { return result.has_value(); }, ms));
        return result.value_or(SessionResult {});
    }
    SessionResult Connect()
    {
        return Wait([&](app::SessionDone d) { session.Connect(std::move(d)); });
    }
    std::vector<app::RemoteRow> List(const std::string& folder = {})
    {
        std::vector<app::RemoteRow> rows;
        const SessionResult r = Wait([&](app::SessionDone d) {
            session.List(folder, [&rows, d](const SessionResult& r, std::vector<app::RemoteRow> got) {
                rows = std::move(got);
                d(r);
            });
        });
        EXPECT_TRUE(r.Ok) << r.Message;
        return rows;
    }
    std::string Folder()
    {
        std::string folder;
        Wait([&](app::SessionDone d) {
            session.CurrentFolder([&folder, d](const SessionResult& r, const std::string& f) {
                folder = f;
                d(r);
            });
        });
        return folder;
    }
};

const app::RemoteRow* Find(const std::vector<app::RemoteRow>& rows, const std::string& name)
{
    for (const auto& r : rows)
        if (r.name == name)
            return &r;
    return nullptr;
}

class SftpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = Sshd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        fs::create_directories(root);
        fs::create_directories(sshDir);
        fs::create_directories(settingsDir);
    }
    // sshd with its own methods (empty: all) serving root.
    void StartServer(const std::string& methods = {})
    {
        sshd.SetAuthenticationMethods(methods);
        ASSERT_TRUE(sshd.Start(root)) << sshd.Log();
    }
    app::SftpSettings Settings(const std::string& password = Sshd::kPassword) const
    {
        app::SftpSettings s;
        s.Host = "127.0.0.1";
        s.Port = sshd.Port();
        s.User = Sshd::kUser;
        s.Password = password;
        s.SettingsDir = settingsDir.string();
        s.SshDir = sshDir.string();
        s.AgentSocket = "none";
        s.Timeout = 10;
        return s;
    }
    // The server's key in the program's own file: no question.
    void TrustServer() const
    {
        testsupport::WriteFile(settingsDir / "known_hosts", sshd.KnownHostsLine() + "\n");
    }
    // A client logged in with the password, in the served folder.
    std::unique_ptr<Client> LoggedIn()
    {
        TrustServer();
        auto c = std::make_unique<Client>(Settings());
        const SessionResult r = c->Connect();
        EXPECT_TRUE(r.Ok) << r.Message << "\n" << sshd.Log();
        return c;
    }

    testsupport::TempDir tmp;
    fs::path root = tmp / "served", sshDir = tmp / "ssh", settingsDir = tmp / "settings",
             local = tmp / "local";
    Sshd sshd;
};

// ---- the packet codec

TEST(SftpPacket, WritesAndReadsFieldsAndRefusesShortPackets)
{
    app::sftp::Attrs a;
    a.flags = a.kSize | a.kPermissions | a.kTimes;
    a.size = 0x123456789aULL;
    a.permissions = 0100644;
    a.mtime = 1700000000;
    app::sftp::Writer w;
    const std::string bytes = w.Begin(app::sftp::pkAttrs, 7).Attr(a).Str("x; y").Bytes();
    ASSERT_EQ(app::sftp::PacketLength(bytes), bytes.size() - 4);
    app::sftp::Reader r(std::string_view(bytes).substr(4));
    EXPECT_EQ(r.U8(), app::sftp::pkAttrs);
    EXPECT_EQ(r.U32(), 7u);
    const app::sftp::Attrs b = r.Attr();
    EXPECT_EQ(b.size, a.size);
    EXPECT_EQ(b.permissions, a.permissions);
    EXPECT_EQ(b.mtime, a.mtime);
    EXPECT_EQ(r.Str(), "x; y");
    EXPECT_TRUE(r.Ok());
    // Every cut of the packet reads safely and says so.
    for (std::size_t cut = 4; cut < bytes.size(); ++cut) {
        app::sftp::Reader s(std::string_view(bytes).substr(4, cut - 4));
        s.U8(), s.U32(), s.Attr(), s.Str();
        EXPECT_FALSE(s.Ok()) << cut;
    }
    // A string longer than the packet.
    const std::string tooLong("\xff\xff\xff\xf0zz", 6);
    app::sftp::Reader big(tooLong);
    EXPECT_EQ(big.Str(), "");
    EXPECT_FALSE(big.Ok());

    const struct {
        std::uint32_t mode;
        const char* text;
    } modes[] = { { 040755, "drwxr-xr-x" }, { 0120777, "lrwxrwxrwx" }, { 0100640, "-rw-r-----" },
        { 0104755, "-rwsr-xr-x" }, { 041777, "drwxrwxrwt" }, { 0102644, "-rw-r-Sr--" } };
    for (const auto& m : modes)
        EXPECT_EQ(app::sftp::ModeText(m.mode), m.text);
    EXPECT_EQ(app::sftp::ParseOctalMode("755"), 0755u);
    EXPECT_EQ(app::sftp::ParseOctalMode("4750"), 04750u);
    for (const char* bad : { "", "8", "77777", "rwx", "-1" })
        EXPECT_EQ(app::sftp::ParseOctalMode(bad), std::nullopt) << bad;
}

// ---- log-in

TEST_F(SftpTest, LogInWithEachMethodTheServerOffers)
{
    ASSERT_TRUE(testsupport::MakeSshKey(tmp / "agentkey", "ed25519"));
    ASSERT_TRUE(testsupport::MakeSshKey(tmp / "otherkey", "ecdsa"));
    testsupport::SshAgent agent;
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(agent.Add(tmp / "agentkey"));
    sshd.Authorize(tmp / "agentkey.pub");

    struct Case {
        const char* name;
        std::string methods; // sshd's AuthenticationMethods
        std::string keyFile; // made in the ssh folder ("" none)
        std::string keyType, passphrase;
        bool agent;
        std::string password; // the site's
        std::vector<std::pair<std::size_t, std::string>> answers;
        const char* loggedWith; // in the log's "Logged in with" line; "" when it must be refused
        std::size_t questions;
        bool config
            = false; // reached through an alias of the ssh config (HostName, Port, User, IdentityFile)
    };
    const Case cases[] = {
        { "password", "password", "", "", "", false, Sshd::kPassword, {}, "password", 0 },
        { "agent key", "publickey", "", "", "", true, "", {}, "public key (the agent; key files: none)", 0 },
        { "key file with a passphrase", "publickey", "id_ed25519", "ed25519", "s3cret", false, "",
            { { 0, "s3cret" } }, "public key (no agent; key files: id_ed25519)", 1 },
        { "rsa key file (rsa-sha2)", "publickey", "id_rsa", "rsa", "", false, "", {},
            "public key (no agent; key files: id_rsa)", 0 },
        { "config alias", "publickey", "custom", "ed25519", "", false, "", {}, "public key (no agent", 0,
            true },
        { "keyboard-interactive prompt asked", "keyboard-interactive", "", "", "", false, "",
            { { 0, Sshd::kPassword } }, "keyboard-interactive", 1 },
        { "keyboard-interactive with the site's password", "keyboard-interactive", "", "", "", false,
            Sshd::kPassword, {}, "keyboard-interactive", 0 },
        // The unknown key (ecdsa) is not accepted; the passphrase is never asked for.
        { "refused", "", "id_ecdsa", "ecdsa", "pp", false, "wrong", { { 1, "" }, { 1, "" } }, "", 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sshd.Stop();
        fs::remove_all(sshDir);
        fs::create_directories(sshDir);
        if (!c.keyFile.empty()) {
            ASSERT_TRUE(testsupport::MakeSshKey(sshDir / c.keyFile, c.keyType, c.passphrase));
            if (c.keyType != "ecdsa")
                sshd.Authorize(sshDir / (c.keyFile + ".pub"));
        }
        StartServer(c.methods);
        TrustServer();
        app::SftpSettings s = Settings(c.password);
        if (c.config) {
            // The site names the alias with the default port and no user: the config fills them in.
            testsupport::WriteFile(sshDir / "config",
                "Host elsewhere\n    Port 1\nHost tallowin-alias\n"
                "    HostName 127.0.0.1\n    Port "
                    + std::to_string(sshd.Port()) + "\n    User " + Sshd::kUser + "\n    IdentityFile "
                    + (sshDir / "custom").string() + "\n");
            s.Host = "tallowin-alias";
            s.Port = 22;
            s.User.clear();
        }
        if (c.agent)
            s.AgentSocket = agent.Socket();
        Client client(s);
        client.answers = c.answers;
        const SessionResult r = client.Connect();
        if (*c.loggedWith) {
            EXPECT_TRUE(r.Ok) << r.Message << "\n" << client.log;
            const std::size_t line = client.log.find("Logged in with");
            ASSERT_NE(line, std::string::npos) << client.log;
            EXPECT_NE(client.log.substr(line, client.log.find('\n', line) - line).find(c.loggedWith),
                std::string::npos)
                << client.log;
            EXPECT_TRUE(client.session.IsConnected());
        } else {
            EXPECT_FALSE(r.Ok);
            EXPECT_FALSE(client.session.IsConnected());
            // Every method tried is named.
            for (const char* m : { "public keys", "id_ecdsa", "keyboard-interactive", "password" })
                EXPECT_NE(r.Message.find(m), std::string::npos) << m << " in " << r.Message;
        }
        EXPECT_EQ(client.asked.size(), c.questions);
        for (const auto& q : client.asked) {
            EXPECT_TRUE(q.Input);
            EXPECT_FALSE(q.Echo); // passphrases and passwords are not shown
        }
    }
}

// ---- host keys

TEST_F(SftpTest, HostKeyIsAskedForBeforeAnythingIsSentAndKeptOnlyWhenTrusted)
{
    ASSERT_TRUE(testsupport::MakeSshKey(tmp / "otherhost", "ed25519"));
    const std::string other = testsupport::ReadFile(tmp / "otherhost.pub");
    std::string wrongLine;
    const fs::path own = settingsDir / "known_hosts", users = sshDir / "known_hosts";

    enum Known { none, userPlain, userHashed, userChanged, ownChanged };
    struct Case {
        const char* name;
        Known known;
        std::optional<std::size_t> answer; // nullopt: no question expected
        bool ok;
        bool ownWritten;
    };
    const Case cases[] = {
        { "unknown, cancelled", none, 2, false, false },
        { "unknown, connect once", none, 0, true, false },
        { "unknown, always trust", none, 1, true, true },
        { "user's file", userPlain, std::nullopt, true, false },
        { "user's hashed file", userHashed, std::nullopt, true, false },
        { "changed, default answer", userChanged, 2, false, false },
        // Trusted again for good: the program's own line is replaced.
        { "changed in the own file, always trust", ownChanged, 1, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sshd.Stop();
        StartServer("password");
        fs::remove(own);
        fs::remove(users);
        if (c.known == userPlain || c.known == userHashed)
            testsupport::WriteFile(users, sshd.KnownHostsLine() + "\n");
        if (c.known == userHashed) {
            testsupport::PeerProcess keygen;
            ASSERT_TRUE(keygen.Start({ "ssh-keygen", "-q", "-H", "-f", users.string() }));
            ASSERT_TRUE(PumpUntil([&] { return !keygen.Running(); }, 5000));
            ASSERT_EQ(testsupport::ReadFile(users).rfind("|1|", 0), 0u) << testsupport::ReadFile(users);
        }
        wrongLine = "[127.0.0.1]:" + std::to_string(sshd.Port()) + " " + other.substr(0, other.find(" test"));
        if (c.known == userChanged)
            testsupport::WriteFile(users, wrongLine + "\n");
        if (c.known == ownChanged)
            testsupport::WriteFile(own, wrongLine + "\n");
        Client client(Settings());
        std::optional<SessionResult> result;
        client.session.Connect([&](const SessionResult& r) { result = r; });
        if (c.answer) {
            ASSERT_TRUE(PumpUntil([&] { return bool(client.pending) || result; }));
            ASSERT_EQ(client.asked.size(), 1u);
            const auto& q = client.asked[0];
            EXPECT_NE(q.Text.find("SHA256:"), std::string::npos) << q.Text;
            EXPECT_NE(q.Text.find("ssh-ed25519"), std::string::npos) << q.Text;
            EXPECT_EQ(q.Buttons, (std::vector<std::string> { "Connect once", "Always trust", "Cancel" }));
            const bool changed = c.known == userChanged || c.known == ownChanged;
            EXPECT_EQ(q.Warning, changed);
            if (changed) {
                EXPECT_EQ(q.Default, 2u);
            }
            // While the question is open the server has seen no log-in attempt.
            PumpUntil([] { return false; }, 300);
            EXPECT_EQ(sshd.Log().find("userauth-request"), std::string::npos);
            client.pending(*c.answer, {});
        }
        ASSERT_TRUE(PumpUntil([&] { return result.has_value(); }));
        EXPECT_EQ(result->Ok, c.ok) << result->Message;
        EXPECT_EQ(client.asked.size(), c.answer ? 1u : 0u);
        // Only a connection that went on logged in.
        EXPECT_EQ(sshd.Log().find("userauth-request") != std::string::npos, c.ok);
        EXPECT_EQ(fs::exists(own), c.ownWritten || c.known == ownChanged);
        if (c.ownWritten) {
            EXPECT_FALSE(fs::exists(users)); // the user's file is read, never written
            EXPECT_EQ(testsupport::ReadFile(own), sshd.KnownHostsLine() + "\n");
            EXPECT_EQ(fs::status(own).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
            Client again(Settings());
            EXPECT_TRUE(again.Connect().Ok);
            EXPECT_TRUE(again.asked.empty());
        }
        if (c.known == none && c.answer == 0u) {
            // A second connection to the site, told the key accepted once, asks nothing.
            ASSERT_EQ(client.session.AcceptedKey().rfind("SHA256:", 0), 0u);
            app::SftpSettings s = Settings();
            s.AcceptedKey = client.session.AcceptedKey();
            Client second(s);
            EXPECT_TRUE(second.Connect().Ok);
            EXPECT_TRUE(second.asked.empty());
        }
        if (c.known == none && !c.ok) {
            EXPECT_NE(result->Message.find("not trusted"), std::string::npos) << result->Message;
        }
    }
}

// ---- folders and files

TEST_F(SftpTest, FolderOperationsAndListingRows)
{
    fs::create_directories(root / "sub" / "inner");
    testsupport::WriteFile(root / "sub" / "in.txt", "in");
    testsupport::WriteFile(root / "Report Final.TAR.gz", std::string(1234, 'x'));
    testsupport::WriteFile(root / "a; b \xc3\xa7", "c");
    fs::create_directory_symlink("sub", root / "link");
    fs::create_symlink("Report Final.TAR.gz", root / "filelink");
    StartServer();
    auto c = LoggedIn();
    const std::string home = fs::canonical(root).string();
    EXPECT_EQ(c->Folder(), home);

    auto rows = c->List();
    ASSERT_EQ(rows.size(), 5u);
    // Folders first, then by name.
    EXPECT_EQ(rows[0].name, "link");
    EXPECT_EQ(rows[1].name, "sub");
    const app::RemoteRow* report = Find(rows, "Report Final.TAR.gz");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->type, app::kTypeFile);
    EXPECT_EQ(report->size, "1234");
    EXPECT_EQ(report->bytes, 1234u);
    EXPECT_EQ(report->perms, "-rw-r--r--");
    EXPECT_EQ(report->iconKey, ".tar.gz");
    EXPECT_EQ(report->image, 1);
    EXPECT_EQ(report->subItems, 4);
    EXPECT_TRUE(report->exactName);
    EXPECT_TRUE(std::regex_match(report->changed, std::regex(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d)")))
        << report->changed;
    ASSERT_TRUE(Find(rows, "a; b \xc3\xa7"));
    // A link to a folder is a folder row with the link's permissions; to a file, a file row.
    EXPECT_TRUE(rows[0].IsFolder());
    EXPECT_EQ(rows[0].image, 0);
    EXPECT_EQ(rows[0].perms, "lrwxrwxrwx");
    ASSERT_TRUE(Find(rows, "filelink"));
    EXPECT_EQ(Find(rows, "filelink")->type, app::kTypeFile);
    EXPECT_EQ(Find(rows, "filelink")->bytes, 1234u);

    // Into the link, and back.
    auto ok = [&](const std::function<void(app::SessionDone)>& op) {
        const SessionResult r = c->Wait(op);
        EXPECT_TRUE(r.Ok) << r.Message;
        return r;
    };
    ok([&](app::SessionDone d) { c->session.ChangeFolder("link", d); });
    EXPECT_EQ(c->Folder(), home + "/sub");
    rows = c->List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "inner");
    ok([&](app::SessionDone d) { c->session.ChangeFolder("..", d); });
    EXPECT_EQ(c->Folder(), home);

    // Relative paths are the session's folder's.
    ok([&](app::SessionDone d) { c->session.MakeFolder("made", d); });
    EXPECT_TRUE(fs::is_directory(root / "made"));
    ok([&](app::SessionDone d) { c->session.Rename("a; b \xc3\xa7", "made/moved", d); });
    EXPECT_EQ(testsupport::ReadFile(root / "made" / "moved"), "c");
    ok([&](app::SessionDone d) { c->session.ChangeMode(home + "/made/moved", "640", d); });
    EXPECT_EQ(fs::status(root / "made" / "moved").permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(ok([&](app::SessionDone d) { c->session.Size("Report Final.TAR.gz", true, d); }).Value, 1234);
    ok([&](app::SessionDone d) { c->session.Delete("made/moved", d); });
    ok([&](app::SessionDone d) { c->session.RemoveFolder("made", d); });
    EXPECT_FALSE(fs::exists(root / "made"));

    // Failures say what and why; a busy session refuses.
    const struct {
        std::function<void(app::SessionDone)> op;
        const char* says;
    } failures[] = {
        { [&](app::SessionDone d) { c->session.Delete("missing", d); }, "No such file" },
        { [&](app::SessionDone d) { c->session.RemoveFolder("sub", d); }, "sub" },
        { [&](app::SessionDone d) { c->session.ChangeFolder("Report Final.TAR.gz", d); }, "not a folder" },
        { [&](app::SessionDone d) { c->session.ChangeMode("sub", "9z", d); }, "9z" },
        { [&](app::SessionDone d) { c->session.Size("nothing-here", true, d); }, "No such file" },
    };
    for (const auto& f : failures) {
        const SessionResult r = c->Wait(f.op);
        EXPECT_FALSE(r.Ok);
        EXPECT_NE(r.Message.find(f.says), std::string::npos) << r.Message;
    }
    EXPECT_FALSE(c->session.HasRawCommands());
    EXPECT_TRUE(c->Wait([&](app::SessionDone d) { c->session.Raw("SITE X", d); }).Refused);
    std::optional<SessionResult> first, second;
    c->session.Size("sub/in.txt", true, [&](const SessionResult& r) { first = r; });
    EXPECT_TRUE(c->session.Busy());
    c->session.Delete("sub/in.txt", [&](const SessionResult& r) { second = r; });
    ASSERT_TRUE(PumpUntil([&] { return first && second; }));
    EXPECT_EQ(first->Value, 2);
    EXPECT_TRUE(second->Refused);
    EXPECT_TRUE(fs::exists(root / "sub" / "in.txt"));
}

// ---- transfers

TEST_F(SftpTest, TransfersWholeResumedAbortedAndFailed)
{
    constexpr std::int64_t kBig = 64 << 20;
    fs::create_directories(local);
    MakePatternFile(root / "big.bin", kBig, 5);
    MakePatternFile(local / "up.bin", kBig, 6);
    StartServer();
    auto c = LoggedIn();
    const std::string downMd5 = Md5OfFile(root / "big.bin"), upMd5 = Md5OfFile(local / "up.bin");

    // Whole, each way; progress only grows and ends at the size.
    for (bool get : { true, false }) {
        SCOPED_TRACE(get ? "download" : "upload");
        std::vector<std::int64_t> seen;
        app::TransferOptions o;
        o.Progress = [&](std::int64_t n) { seen.push_back(n); };
        const SessionResult r = c->Wait([&](app::SessionDone d) {
            get ? c->session.Get("big.bin", (local / "big.bin").string(), o, d)
                : c->session.Put((local / "up.bin").string(), "up.bin", o, d);
        });
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Value, kBig);
        EXPECT_EQ(Md5OfFile(get ? local / "big.bin" : root / "up.bin"), get ? downMd5 : upMd5);
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), kBig);
    }

    // A server that answers each read with less than asked (internal-sftp
    // sends at most 255 KiB): the rest of each range is asked for again.
    {
        app::SftpSettings s = Settings();
        s.ReadSize = 256 * 1024;
        Client shortReads(s);
        ASSERT_TRUE(shortReads.Connect().Ok);
        const SessionResult r = shortReads.Wait([&](app::SessionDone d) {
            shortReads.session.Get("big.bin", (local / "short.bin").string(), {}, d);
        });
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(Md5OfFile(local / "short.bin"), downMd5);
    }

    // Aborted early: ended within a second, the partial file kept, the
    // connection still usable; then resumed from the partial file's size.
    for (bool get : { true, false }) {
        SCOPED_TRACE(get ? "abort download" : "abort upload");
        const fs::path target = get ? local / "part.bin" : root / "part.bin";
        fs::remove(target);
        std::optional<SessionResult> result;
        std::optional<std::chrono::steady_clock::time_point> abortedAt;
        app::TransferOptions o;
        o.Progress = [&](std::int64_t n) {
            if (n > 0 && !abortedAt) {
                abortedAt = std::chrono::steady_clock::now();
                EXPECT_TRUE(c->session.Abort());
            }
        };
        const auto done = [&](const SessionResult& r) { result = r; };
        get ? c->session.Get("big.bin", target.string(), o, done)
            : c->session.Put((local / "up.bin").string(), "part.bin", o, done);
        ASSERT_TRUE(PumpUntil([&] { return result.has_value(); }));
        ASSERT_TRUE(abortedAt);
        EXPECT_LT(std::chrono::steady_clock::now() - *abortedAt, std::chrono::seconds(1));
        EXPECT_TRUE(result->Aborted);
        EXPECT_FALSE(result->Ok);
        EXPECT_FALSE(c->session.Abort()); // nothing runs now
        ASSERT_EQ(c->List().size() > 0, true);
        const std::int64_t have = std::int64_t(fs::file_size(target));
        EXPECT_LT(have, kBig);

        app::TransferOptions resume;
        resume.Offset = have;
        const SessionResult r = c->Wait([&](app::SessionDone d) {
            get ? c->session.Get("big.bin", target.string(), resume, d)
                : c->session.Put((local / "up.bin").string(), "part.bin", resume, d);
        });
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(Md5OfFile(target), get ? downMd5 : upMd5);
    }

    // Resume from a known offset of a file whose head differs: only the tail moves.
    testsupport::WriteFile(local / "head.bin", std::string(1000, 'h'));
    app::TransferOptions at1000;
    at1000.Offset = 1000;
    testsupport::WriteFile(root / "tail.txt", std::string(1000, 't') + "TAIL");
    testsupport::GiveToSshUser(root / "tail.txt");
    ASSERT_TRUE(c->Wait([&](app::SessionDone d) {
                     c->session.Get("tail.txt", (local / "head.bin").string(), at1000, d);
                 }).Ok);
    EXPECT_EQ(testsupport::ReadFile(local / "head.bin"), std::string(1000, 'h') + "TAIL");

    // A refused path and a full local disk fail with a clear message.
    const SessionResult missing = c->Wait(
        [&](app::SessionDone d) { c->session.Get("no/such.bin", (local / "x.bin").string(), {}, d); });
    EXPECT_FALSE(missing.Ok);
    EXPECT_NE(missing.Message.find("No such file"), std::string::npos) << missing.Message;
    const SessionResult full
        = c->Wait([&](app::SessionDone d) { c->session.Get("big.bin", "/dev/full", {}, d); });
    EXPECT_FALSE(full.Ok);
    EXPECT_NE(full.Message.find("No space left on device"), std::string::npos) << full.Message;
    EXPECT_TRUE(c->List().size() > 0); // still connected after each

    // The server gone mid-transfer: failed, Closed told, never Ok.
    std::optional<SessionResult> lost;
    app::TransferOptions o;
    bool killed = false;
    o.Progress = [&](std::int64_t n) {
        if (n > 0 && !killed) {
            killed = true;
            sshd.KillConnections();
        }
    };
    // Large enough (and sparse, so cheap) not to be over before the kill lands.
    {
        std::ofstream(root / "huge.bin").close();
        fs::resize_file(root / "huge.bin", std::uintmax_t(1) << 30);
        testsupport::GiveToSshUser(root / "huge.bin");
    }
    c->session.Get("huge.bin", (local / "lost.bin").string(), o, [&](const SessionResult& r) { lost = r; });
    ASSERT_TRUE(PumpUntil([&] { return lost.has_value(); }));
    EXPECT_FALSE(lost->Ok);
    EXPECT_NE(lost->Message.find("connection was lost"), std::string::npos) << lost->Message;
    EXPECT_EQ(c->closed, 1);
    EXPECT_FALSE(c->session.IsConnected());
    EXPECT_TRUE(c->Wait([&](app::SessionDone d) { c->session.Delete("big.bin", d); }).Refused);
}

// Destroying a session mid-transfer or while its question is open returns
// at once and calls nothing after; a late answer is harmless.
TEST_F(SftpTest, DestroyedMidTransferOrMidQuestion)
{
    MakePatternFile(root / "big.bin", 64 << 20, 9);
    fs::create_directories(local);
    StartServer();
    auto c = LoggedIn();
    bool called = false, progressed = false;
    app::TransferOptions o;
    o.Progress = [&](std::int64_t n) { progressed = progressed || n > 0; };
    c->session.Get("big.bin", (local / "big.bin").string(), o, [&](const SessionResult&) { called = true; });
    ASSERT_TRUE(PumpUntil([&] { return progressed || called; }));
    ASSERT_FALSE(called);
    const auto before = std::chrono::steady_clock::now();
    c.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(called);

    fs::remove(settingsDir / "known_hosts");
    auto asking = std::make_unique<Client>(Settings());
    asking->session.Connect([&](const SessionResult&) { called = true; });
    ASSERT_TRUE(PumpUntil([&] { return bool(asking->pending); }));
    const RemoteSession::Answer late = asking->pending;
    const auto start = std::chrono::steady_clock::now();
    asking.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    late(0, {});
    PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(called);
}

// ---- the queue on two SFTP sessions

struct QueueListener : app::TransferListener {
    int finished = 0;
    app::TransferRunSummary summary;
    std::vector<std::string> notes;
    void Ask(app::TQueueQuestion, const std::string&, app::TAnswers) override { ADD_FAILURE() << "asked"; }
    void Note(const std::string& line) override { notes.push_back(line); }
    void RunFinished(const app::TransferRunSummary& s) override
    {
        ++finished;
        summary = s;
    }
};

TEST_F(SftpTest, TreeGoesUpAndComesBackThroughTheQueueOnTwoConnections)
{
    const fs::path src = local / "tree";
    fs::create_directories(src / "sub" / "deeper");
    fs::create_directories(src / "empty");
    testsupport::WriteFile(src / "a.txt", "line one\r\nline two\n");
    testsupport::WriteFile(src / "zero.bin", "");
    for (int i = 0; i < 6; ++i)
        MakePatternFile(src / "sub" / ("f" + std::to_string(i) + ".bin"), 300000 + i, std::uint32_t(i));
    MakePatternFile(src / "sub" / "deeper" / "c.bin", 3 << 20, 3);
    StartServer();
    auto c = LoggedIn();
    app::SftpSession other(Settings());
    QueueListener heard;
    app::TransferQueue queue(heard);
    const std::string home = c->Folder();

    std::vector<std::string> up;
    app::BuildUploadEntries(src.string(), "tree", local.string(), home, up, nullptr, {});
    queue.Append(up);
    ASSERT_TRUE(queue.Start({ &c->session, &other }, 0, false));
    ASSERT_TRUE(PumpUntil([&] { return heard.finished == 1; }, 60000));
    EXPECT_EQ(heard.summary.Failed, 0u) << testing::PrintToString(heard.notes) << testing::PrintToString(up);
    EXPECT_EQ(heard.summary.Transferred, 9u);
    EXPECT_TRUE(other.IsConnected()); // the second connection took part
    EXPECT_EQ(testsupport::Tree(root / "tree"), testsupport::Tree(src));

    // Walked rows are named from the session's folder.
    std::vector<app::WalkedRow> rows { { "tree", true } };
    for (const auto& e : fs::recursive_directory_iterator(root / "tree"))
        rows.push_back({ fs::relative(e.path(), root).string(), e.is_directory() });
    const fs::path dst = local / "down";
    std::vector<std::string> down;
    app::BuildDownloadEntries(dst.string() + "/", home, rows, down, nullptr);
    queue.Append(down);
    ASSERT_TRUE(queue.Start({ &c->session, &other }, 0, false));
    ASSERT_TRUE(PumpUntil([&] { return heard.finished == 2; }, 60000));
    ASSERT_EQ(heard.summary.Failed, 0u)
        << testing::PrintToString(heard.notes) << testing::PrintToString(down);
    EXPECT_EQ(testsupport::Tree(dst / "tree"), testsupport::Tree(src));
    EXPECT_TRUE(queue.Empty());
}

} // namespace
