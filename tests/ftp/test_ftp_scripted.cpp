// The engine against a scripted server: each case is the server's replies
// plus the exact dialogue the client must send, for what real servers will
// not do on purpose.
#include "ftp_peers.hpp"
#include "ftp_test_util.hpp"
#include "ftp/FtpSrvT.hpp"
#include "platform/Sockets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

using namespace ftp;
using testsupport::ScriptedFtpServer;
using S = ScriptedFtpServer;
using ftptest::Recorder;

namespace {

struct DialogueCase {
    const char* name;
    std::function<void(ScriptedFtpServer&)> serve;
    std::function<bool(TFtpClient&, Recorder&, const testsupport::TempDir&)> run;
    bool ok;
    std::vector<std::string> dialogue;
    std::string error; // prefix of ErrorMessage when not empty
    std::function<void(TFtpClient&, Recorder&, const testsupport::TempDir&, ScriptedFtpServer&)> check;
};

bool Login(TFtpClient& c)
{
    c.SetUserName("u");
    c.SetPassWord("p");
    return c.Connect();
}

const std::vector<std::string> kLogin = {"USER u", "PASS p"};

std::vector<std::string> With(std::vector<std::string> head, std::initializer_list<std::string> tail)
{
    head.insert(head.end(), tail);
    return head;
}

std::string File(const testsupport::TempDir& t, const char* n) { return (t / n).string(); }

// Points the client, recorded, at the scripted server.
void Aim(TFtpClient& c, Recorder& r, const ScriptedFtpServer& server)
{
    r.Attach(c);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server.Port()));
}

// A passive reply naming a loopback port nobody listens on.
std::string RefusedPasv()
{
    int p = testsupport::FreePort();
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256) + ")\r\n";
}

// A passive Get of "f" or Put of "up" (holding "data") after logging in.
bool PassiveTransfer(TFtpClient& c, const testsupport::TempDir& t, bool put)
{
    c.SetPassive(true);
    c.SetHostFileName(put ? "up" : "f");
    if (put)
        testsupport::WriteFile(t / "up", "data");
    c.SetLocalFileName(File(t, put ? "up" : "f"));
    return Login(c) && (put ? c.Put() : c.Get());
}

const DialogueCase kCases[] = {
    {"MultiLineReplyEndsOnLastLine",
     [](S& s) { s.On("PASS", {S::Send("230-Welcome\r\n   more text\r\n230 done\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, true, kLogin, "",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         ASSERT_GE(r.responses.size(), 3u);
         auto n = r.responses.size();
         EXPECT_EQ(r.responses[n - 3].first, "230-Welcome");
         EXPECT_EQ(r.responses[n - 3].second, 230); // the code is known from the first line on
         EXPECT_EQ(r.responses[n - 2].first, "   more text");
         EXPECT_EQ(r.responses[n - 1].first, "230 done");
         EXPECT_EQ(c.LastMultiResponse(), "230-Welcome\r\n   more text\r\n230 done\r\n");
     }},
    {"OtherCodeInsideMultiLineEndsReply",
     [](S& s) { s.On("PASS", {S::Send("230-Hi\r\n123 early end\r\n230 rest\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, false, kLogin, "123 early end",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.RequestResult(), 123); }},
    {"Welcome421ClosesAndFails",
     [](S& s) { s.SetBanner({S::Send("421 Too many users\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, false, {}, "421 Too many users",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         EXPECT_EQ(c.RequestResult(), 421);
         EXPECT_FALSE(c.Connected());
         EXPECT_EQ(r.sessionConnected, 0);
     }},
    {"RepliesSplitAcrossReceives",
     [](S& s) {
         s.SetBanner({S::Send("22"), S::Sleep(80), S::Send("0 hel"), S::Sleep(80), S::Send("lo\r\n")});
         s.On("USER", {S::Send("331-need\r"), S::Sleep(80), S::Send("\n331 pass"), S::Sleep(80), S::Send("word\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, true, kLogin, "",
     [](TFtpClient&, Recorder& r, auto&, S&) {
         EXPECT_TRUE(r.Displayed("< 220 hello"));
         EXPECT_TRUE(r.Displayed("< 331 password"));
     }},
    {"TwoLinesInOneReceive",
     [](S& s) { s.SetBanner({S::Send("220-a\r\n220 b\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, true, kLogin, "", nullptr},
    {"BareLfAcceptedByDefault",
     [](S& s) {
         s.SetBanner({S::Send("220 unix style\n")});
         s.On("USER", {S::Send("331 pw\n")});
         s.On("PASS", {S::Send("230 in\n")});
     },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, true, kLogin, "", nullptr},
    {"BareLfWaitsWithoutAcceptLF",
     [](S& s) { s.SetBanner({S::Send("220 unix style\n")}); },
     [](TFtpClient& c, Recorder&, auto&) {
         c.SetOptions({});
         c.SetTimeout(1);
         return Login(c);
     },
     false, {}, "426 Timeout",
     [](TFtpClient&, Recorder& r, auto&, S&) {
         ftptest::Pump(50);
         ASSERT_FALSE(r.done.empty());
         EXPECT_EQ(r.done.back(), std::make_pair(ftpRqConnect, std::uint16_t{426})); // sequence aborted
     }},
    {"Transfer226BeforeDataClose",
     [](S& s) {
         s.On("RETR", {S::Send("150 go\r\n"), S::DataSend("abc"), S::Send("226 done\r\n"),
                       S::Sleep(150), S::DataClose()});
     },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, false); },
     true, With(kLogin, {"PASV", "RETR f"}), "",
     [](TFtpClient& c, Recorder& r, auto& t, S&) {
         EXPECT_EQ(testsupport::ReadFile(t / "f"), "abc");
         EXPECT_EQ(c.ByteCount(), 3);
         EXPECT_TRUE(r.Displayed("! 3 bytes received/sent in "));
     }},
    {"Transfer226AfterDataClose",
     [](S& s) {
         s.On("RETR", {S::Send("150 go\r\n"), S::DataSend("abcdef"), S::DataClose(), S::Sleep(150),
                       S::Send("226 done\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, false); },
     true, With(kLogin, {"PASV", "RETR f"}), "",
     [](TFtpClient&, Recorder&, auto& t, S&) { EXPECT_EQ(testsupport::ReadFile(t / "f"), "abcdef"); }},
    {"Reply125InsteadOf150Active",
     [](S& s) {
         s.On("RETR", {S::Send("125 already open\r\n"), S::DataSend("xyz"), S::DataClose(),
                       S::Send("226 done\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto& t) {
         c.SetPassive(false);
         c.SetHostFileName("f");
         c.SetLocalFileName(File(t, "f"));
         return Login(c) && c.Get();
     },
     true, {}, "",
     [](TFtpClient&, Recorder&, auto& t, S& s) {
         EXPECT_EQ(testsupport::ReadFile(t / "f"), "xyz");
         auto d = s.Dialogue();
         ASSERT_EQ(d.size(), 4u);
         EXPECT_EQ(d[2].rfind("PORT 127,0,0,1,", 0), 0u) << d[2];
         EXPECT_EQ(d[3], "RETR f");
     }},
    {"UploadEmptyFileWith125",
     [](S& s) { s.On("STOR", {S::Send("125 go\r\n"), S::DataRecv(), S::Send("226 stored\r\n")}); },
     [](TFtpClient& c, Recorder&, auto& t) {
         testsupport::WriteFile(t / "empty", "");
         c.SetPassive(true);
         c.SetHostFileName("up");
         c.SetLocalFileName(File(t, "empty"));
         return Login(c) && c.Put();
     },
     true, With(kLogin, {"PASV", "STOR up"}), "",
     [](TFtpClient& c, Recorder&, auto&, S& s) {
         EXPECT_EQ(s.Received(), "");
         EXPECT_EQ(c.ByteCount(), 0);
     }},
    {"UserAnswered230SkipsPassAndAcct",
     [](S& s) { s.On("USER", {S::Send("230 no password needed\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, true, {"USER u"}, "", nullptr},
    {"PassAnswered332SendsAcct",
     [](S& s) {
         s.On("PASS", {S::Send("332 account please\r\n")});
         s.On("ACCT", {S::Send("230 ok\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto&) {
         c.SetAccount("acc");
         return Login(c);
     },
     true, With(kLogin, {"ACCT acc"}), "", nullptr},
    {"AcctNeededButEmptyFails",
     [](S& s) { s.On("PASS", {S::Send("332 account please\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c); }, false, kLogin, "500 Account empty!",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         EXPECT_EQ(r.errors, std::vector<std::string>{"Account empty!"});
         EXPECT_EQ(c.State(), ftpStateReady);
     }},
    {"RetrRefusedInSequenceSkipsQuit",
     [](S& s) { s.On("RETR", {S::Send("550 no such file\r\n")}); },
     [](TFtpClient& c, Recorder& r, auto& t) {
         c.SetUserName("u");
         c.SetPassWord("p");
         c.SetPassive(true);
         c.SetHostFileName("missing");
         c.SetLocalFileName(File(t, "m"));
         c.BeginFullGet();
         return ftptest::WaitDone(r, 1) && r.done[0].second == 0;
     },
     false, With(kLogin, {"TYPE I", "PASV", "RETR missing"}), "550 no such file",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         EXPECT_EQ(r.done[0].first, ftpRqFullGet);
         EXPECT_EQ(r.done[0].second, 550);
         EXPECT_TRUE(c.Connected()); // left open as the failing step left it
     }},
    {"ServerNeverAnswersTimesOut",
     [](S& s) { s.On("PWD", {}); },
     [](TFtpClient& c, Recorder&, auto&) {
         if (!Login(c))
             return true;
         c.SetTimeout(1);
         return c.Pwd();
     },
     false, With(kLogin, {"PWD"}), "426 Timeout",
     [](TFtpClient& c, Recorder&, auto&, S&) {
         EXPECT_EQ(c.StatusCode(), 426);
         EXPECT_EQ(c.State(), ftpStateReady);
         EXPECT_FALSE(c.Connected());
     }},
    {"TooLongReplyLineClosesWithError",
     [](S& s) { s.On("PWD", {S::Send("257 \"" + std::string(6000, 'x') + "\"\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c) && c.Pwd(); }, false,
     With(kLogin, {"PWD"}), "500 Reply line too long",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_FALSE(c.Connected()); }},
    {"LineBreakInParameterSendsNothing",
     nullptr,
     [](TFtpClient& c, Recorder&, auto& t) {
         if (!Login(c))
             return true;
         c.SetHostFileName("a\r\nDELE b");
         bool dele = c.Dele();
         c.SetLocalFileName("NOOP\nRMD y");
         bool quote = c.Quote();
         c.SetPassive(true);
         c.SetHostFileName("f\rDELE g");
         c.SetLocalFileName(File(t, "f"));
         bool get = c.Get();
         return dele || quote || get;
     },
     false, With(kLogin, {"PASV"}), "500 Command refused",
     [](TFtpClient&, Recorder& r, auto&, S&) { EXPECT_EQ(r.errors.size(), 3u); }},
    {"PasvNamingOtherHostIsNotFollowed",
     [](S& s) {
         s.On("PASV", {S::Send("227 Entering Passive Mode (127,0,0,2,{pasvport})\r\n")});
         s.On("RETR", {S::Send("150 go\r\n"), S::DataSend("safe"), S::DataClose(), S::Send("226 ok\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, false); },
     true, With(kLogin, {"PASV", "RETR f"}), "",
     [](TFtpClient&, Recorder& r, auto& t, S&) {
         EXPECT_EQ(testsupport::ReadFile(t / "f"), "safe");
         EXPECT_TRUE(r.Displayed("! Passive reply names 127.0.0.2"));
     }},
    {"PasvWithoutNumbersFailsCleanly",
     [](S& s) { s.On("PASV", {S::Send("227 Entering Passive Mode\r\n")}); },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, false); },
     false, With(kLogin, {"PASV"}), "550 Unusable passive mode reply",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.State(), ftpStateReady); }},
    {"RenameStopsWhenRnfrRefused",
     [](S& s) { s.On("RNFR", {S::Send("550 no file\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) {
         c.SetHostFileName("old");
         c.SetLocalFileName("new");
         return Login(c) && c.Rename();
     },
     false, With(kLogin, {"RNFR old"}), "550 no file", nullptr},
    {"QuoteAcceptsAnyCodeBelow500",
     [](S& s) { s.On("SITE", {S::Send("214 help text\r\n")}); },
     [](TFtpClient& c, Recorder&, auto&) {
         c.SetLocalFileName("SITE HELP");
         return Login(c) && c.Quote();
     },
     true, With(kLogin, {"SITE HELP"}), "", nullptr},
    {"CwdEmptyRefusedWithoutSending",
     nullptr,
     [](TFtpClient& c, Recorder&, auto&) { return Login(c) && c.Cwd(); }, false, kLogin, "",
     [](TFtpClient&, Recorder& r, auto&, S&) {
         EXPECT_EQ(r.errors, std::vector<std::string>{"HostDirName empty"});
     }},
    {"ListIntoDisplayFile",
     [](S& s) {
         s.On("LIST", {S::Send("150 here\r\n"), S::DataSend("\r\nline one\r\nline two\n"), S::DataClose(),
                       S::Send("226 ok\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto&) {
         c.SetPassive(true);
         c.SetDisplayFileFlag(true);
         return Login(c) && c.Dir();
     },
     true, With(kLogin, {"PASV", "LIST"}), "",
     [](TFtpClient&, Recorder& r, auto& t, S&) {
         EXPECT_EQ(r.displayFile, (std::vector<std::string>{"", "line one", "line two"}));
         EXPECT_TRUE(std::filesystem::is_empty(t.path()));
     }},
    {"ProgressAbortEndsWithServerReply",
     [](S& s) {
         s.On("RETR", {S::Send("150 go\r\n"), S::DataSend(std::string(200000, 'z')), S::Sleep(200),
                       S::DataSend("more"), S::DataClose(), S::Send("426 aborted\r\n")});
     },
     [](TFtpClient& c, Recorder& r, auto& t) {
         c.SetPassive(true);
         c.SetHostFileName("big");
         c.SetLocalFileName(File(t, "big"));
         c.OnProgress = [&r](TCustomFtpCli*, std::int64_t n, bool& abort) {
             r.progress.push_back(n);
             abort = n > 0;
         };
         return Login(c) && c.Get();
     },
     false, With(kLogin, {"PASV", "RETR big"}), "426 aborted",
     [](TFtpClient&, Recorder& r, auto&, S&) { EXPECT_TRUE(r.Displayed("! Abort requested")); }},
    // Stop from outside the data path: the rest never reaches the file, and
    // a server that had sent everything and says 226 does not make it a success.
    {"AbortTransferFailsEvenOn226",
     [](S& s) {
         s.On("RETR", {S::Send("150 go\r\n"), S::DataSend(std::string(200000, 'z')), S::Sleep(300),
                       S::DataSend("more"), S::DataClose(), S::Send("226 ok\r\n")});
     },
     [](TFtpClient& c, Recorder& r, auto& t) {
         c.SetPassive(true);
         c.SetHostFileName("big");
         c.SetLocalFileName(File(t, "big"));
         c.OnProgress = [&r](TCustomFtpCli*, std::int64_t n, bool&) { r.progress.push_back(n); };
         c.SetMultiThreaded(true);
         c.OnMessagePump = [&r](TCustomFtpCli* s) {
             if (!r.progress.empty())
                 s->AbortTransfer();
             platform::ProcessMessages();
         };
         return Login(c) && c.Get();
     },
     false, With(kLogin, {"PASV", "RETR big"}), "426 Transfer aborted.",
     [](TFtpClient& c, Recorder& r, auto& t, S&) {
         EXPECT_TRUE(r.Displayed("! Abort requested"));
         EXPECT_LT(std::filesystem::file_size(File(t, "big")), 200004u);
         EXPECT_TRUE(c.Connected());
     }},
    {"CloseWithoutReplyFailsTheCommand",
     [](S& s) { s.On("PWD", {S::Close()}); },
     [](TFtpClient& c, Recorder&, auto&) { return Login(c) && c.Pwd(); }, false,
     With(kLogin, {"PWD"}), "500 Control connection closed.",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         EXPECT_FALSE(c.Connected());
         EXPECT_EQ(r.sessionClosed, 1);
     }},
    {"StorRefusedClosesData",
     [](S& s) { s.On("STOR", {S::Send("553 not allowed\r\n")}); },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, true); },
     false, With(kLogin, {"PASV", "STOR up"}), "553 not allowed",
     [](TFtpClient& c, Recorder&, auto&, S&) {
         EXPECT_EQ(c.DataSocket()->State(), net::wsClosed);
         EXPECT_EQ(c.State(), ftpStateReady);
     }},
    {"LocalFileCannotBeCreated",
     nullptr,
     [](TFtpClient& c, Recorder&, auto& t) {
         c.SetPassive(true);
         c.SetHostFileName("f");
         c.SetLocalFileName(File(t, "no/such/dir/f"));
         return Login(c) && c.Get();
     },
     false, With(kLogin, {"PASV"}), "Unable to open local file ",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.StatusCode(), 550); }},
    // The error paths shared by downloads and uploads keep each side's codes.
    {"PassiveDataRefusedFailsGet",
     [](S& s) {
         s.On("PASV", {S::Send(RefusedPasv())});
         s.On("RETR", {});
     },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, false); }, false, {},
     "Unable to establish data connection, error #",
     [](TFtpClient& c, Recorder&, auto&, S&) {
         EXPECT_EQ(c.StatusCode(), 550);
         EXPECT_EQ(c.State(), ftpStateReady);
     }},
    {"PassiveDataRefusedFailsPut",
     [](S& s) { s.On("PASV", {S::Send(RefusedPasv())}); },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, true); }, false,
     With(kLogin, {"PASV"}), "Unable to establish data connection, error #",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.StatusCode(), 550); }},
    {"PutWithUnusablePasvFailsWith550",
     [](S& s) { s.On("PASV", {S::Send("227 Entering Passive Mode\r\n")}); },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, true); }, false,
     With(kLogin, {"PASV"}), "550 Unusable passive mode reply",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.RequestResult(), 550); }},
    {"PutWithoutLocalFileFailsWith426",
     nullptr,
     [](TFtpClient& c, Recorder&, auto& t) {
         c.SetPassive(true);
         c.SetHostFileName("up");
         c.SetLocalFileName(File(t, "missing"));
         return Login(c) && c.Put();
     },
     false, {}, "426 Unable to open local file ",
     [](TFtpClient& c, Recorder&, auto&, S&) { EXPECT_EQ(c.RequestResult(), 426); }},
    {"StorFailingAfterDataReportsIt",
     [](S& s) { s.On("STOR", {S::Send("150 go\r\n"), S::DataRecv(), S::Send("451 disk full\r\n")}); },
     [](TFtpClient& c, Recorder&, auto& t) { return PassiveTransfer(c, t, true); }, false,
     With(kLogin, {"PASV", "STOR up"}), "451 disk full",
     [](TFtpClient& c, Recorder& r, auto&, S& s) {
         EXPECT_EQ(s.Received(), "data");
         EXPECT_TRUE(r.Displayed("! STOR Failed"));
         EXPECT_EQ(c.RequestResult(), 451);
     }},
    // A restart that fails leaves no offset behind for the next plain upload.
    {"FailedRestartLeavesNoOffset",
     [](S& s) {
         s.On("REST", {S::Send("502 no restart\r\n")});
         s.On("STOR", {S::Send("150 go\r\n"), S::DataRecv(), S::Send("226 stored\r\n")});
     },
     [](TFtpClient& c, Recorder&, auto& t) {
         testsupport::WriteFile(t / "f", "abc");
         c.SetPassive(true);
         c.SetHostFileName("f");
         c.SetLocalFileName(File(t, "f"));
         if (!Login(c) || c.RestartGet() || c.ResumeAt() != 0)
             return false;
         testsupport::WriteFile(t / "up", "0123456789");
         c.SetHostFileName("up");
         c.SetLocalFileName(File(t, "up"));
         return c.Put();
     },
     true, With(kLogin, {"PASV", "REST 3", "PASV", "STOR up"}), "",
     [](TFtpClient& c, Recorder&, auto&, S& s) {
         EXPECT_EQ(s.Received(), "0123456789");
         EXPECT_EQ(c.ByteCount(), 10);
     }},
    {"OpenQuitServerClosesBeforeWelcome",
     [](S& s) { s.SetBanner({S::Close()}); },
     [](TFtpClient& c, Recorder& r, auto&) {
         c.BeginOpenQuit();
         return ftptest::WaitDone(r, 1) && r.done[0].second == 0;
     },
     false, {}, "500 Control connection closed.",
     [](TFtpClient& c, Recorder& r, auto&, S&) {
         ASSERT_FALSE(r.done.empty());
         EXPECT_EQ(r.done[0], std::make_pair(ftpRqOpenQuit, std::uint16_t{500}));
         EXPECT_EQ(c.State(), ftpStateReady);
     }},
    {"SizeAndMd5Interpretation",
     [](S& s) {
         s.On("SIZE", {S::Send("213 6442450944\r\n")});
         s.On("MD5", {S::Send("251 \"a b\" 0cc175b9c0f1b6a831c399e269772661\r\n")});
         s.On("MDTM", {S::Send("213 20240229123456\r\n")});
     },
     [](TFtpClient& c, Recorder& r, auto&) {
         c.SetHostFileName("a b");
         if (!Login(c) || !c.Size())
             return false;
         c.BeginMd5();
         if (!ftptest::WaitDone(r, 3))
             return false;
         c.BeginMdtm();
         return ftptest::WaitDone(r, 4) && r.done[3].second == 0;
     },
     true, With(kLogin, {"SIZE a b", "MD5 a b", "MDTM a b"}), "",
     [](TFtpClient& c, Recorder&, auto&, S&) {
         EXPECT_EQ(c.SizeResult(), 6442450944LL);
         EXPECT_EQ(c.DirResult(), "a b");
         EXPECT_EQ(c.Md5Result(), "0cc175b9c0f1b6a831c399e269772661");
         EXPECT_EQ(DateTimeToMdtm(c.RemoteFileDateTime()), "20240229123456");
     }},
};

void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }

class ScriptedDialogue : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(ScriptedDialogue, Run)
{
    const DialogueCase& tc = GetParam();
    ScriptedFtpServer server;
    if (tc.serve)
        tc.serve(server);
    ASSERT_TRUE(server.Start());
    testsupport::TempDir tmp;
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetTimeout(10);
    bool ok = tc.run(c, r, tmp);
    EXPECT_EQ(ok, tc.ok);
    if (!tc.error.empty()) {
        EXPECT_EQ(c.ErrorMessage().rfind(tc.error, 0), 0u) << c.ErrorMessage();
    }
    if (!tc.dialogue.empty() || !tc.check) {
        server.WaitForLines(tc.dialogue.size(), 1000);
        EXPECT_EQ(server.Dialogue(), tc.dialogue);
    }
    if (tc.check)
        tc.check(c, r, tmp, server);
    ftptest::Pump(20);
}

INSTANTIATE_TEST_SUITE_P(Ftp, ScriptedDialogue, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Active mode with a port range: a busy first port moves to the next, the
// next transfer starts at the port after the last one used, and a range with
// every port busy fails with the documented message.
TEST(FtpScripted, ActivePortRange)
{
    auto bindPort = [](int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 1) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    // Two adjacent free ports, below the range the system hands out for
    // connections: next to an ephemeral one the neighbour is often taken
    // while other tests run.
    int first = 0, busy = -1;
    for (int attempt = 0; attempt < 200 && busy < 0; ++attempt) {
        first = 20000 + (static_cast<int>(::getpid()) * 7 + attempt * 2) % 12000;
        int probe = bindPort(first + 1);
        if (probe < 0)
            continue;
        ::close(probe);
        busy = bindPort(first);
    }
    ASSERT_GE(busy, 0);

    ScriptedFtpServer server;
    server.On("RETR", {S::Send("150 go\r\n"), S::DataSend("x"), S::DataClose(), S::Send("226 ok\r\n")});
    ASSERT_TRUE(server.Start());
    testsupport::TempDir tmp;
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetTimeout(10);
    c.SetDataPortRangeStart(static_cast<unsigned>(first));
    c.SetDataPortRangeEnd(static_cast<unsigned>(first + 1));
    c.SetHostFileName("f");
    c.SetLocalFileName((tmp / "f").string());
    ASSERT_TRUE(Login(c));
    auto portOf = [](const std::string& cmd) {
        unsigned h[6] = {};
        std::sscanf(cmd.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]);
        return static_cast<int>(h[4] * 256 + h[5]);
    };
    ASSERT_TRUE(c.Get()) << c.ErrorMessage();
    EXPECT_EQ(portOf(server.Dialogue()[2]), first + 1);
    ::close(busy);
    ASSERT_TRUE(c.Get()) << c.ErrorMessage();
    EXPECT_EQ(portOf(server.Dialogue()[4]), first); // wrapped to the start

    int b1 = bindPort(first), b2 = bindPort(first + 1);
    ASSERT_GE(b1, 0);
    ASSERT_GE(b2, 0);
    r.errors.clear();
    EXPECT_FALSE(c.Get());
    ASSERT_FALSE(r.errors.empty());
    EXPECT_EQ(r.errors.back(), "All ports in DataPortRange are in use");
    EXPECT_EQ(c.ErrorMessage().rfind("500 All ports in DataPortRange are in use", 0), 0u);
    ::close(b1);
    ::close(b2);

    c.SetDataPortRangeEnd(70000); // refused, keeps its value
    EXPECT_EQ(c.DataPortRangeEnd(), static_cast<unsigned>(first + 1));
    EXPECT_EQ(r.errors.back(), "DataPortRangeEnd must be in the range 0..65535");
}

// An exception escaping a handler run from the engine's window goes to
// OnBgException; by default the session is then aborted.
TEST(FtpScripted, BackgroundExceptionAborts)
{
    ScriptedFtpServer server;
    server.On("PWD", {S::Send("257 \"/\"\r\n")});
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    ASSERT_TRUE(Login(c));
    ASSERT_TRUE(ftptest::WaitDone(r, 1));
    std::string seen;
    c.OnRequestDone = [](TCustomFtpCli*, TFtpRequest, std::uint16_t) { throw std::runtime_error("boom"); };
    c.OnBgException = [&seen](TCustomFtpCli*, const std::exception& e, bool& canClose) {
        seen = e.what();
        EXPECT_TRUE(canClose);
    };
    ASSERT_TRUE(c.Pwd());
    ftptest::Pump(100);
    EXPECT_EQ(seen, "boom");
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.State(), ftpStateReady);
}

// The local abort sends nothing and ends an outstanding command as a failure;
// a refused TCP connect reports the socket error with its number.
TEST(FtpScripted, LocalAbortAndRefusedConnect)
{
    ScriptedFtpServer server;
    server.On("PWD", {});
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    ASSERT_TRUE(Login(c));
    ASSERT_TRUE(ftptest::WaitDone(r, 1));
    ASSERT_TRUE(c.BeginPwd());
    ftptest::Pump(100);
    EXPECT_FALSE(c.Abort());
    EXPECT_EQ(c.State(), ftpStateReady);
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.ErrorMessage(), "426 Operation aborted.");
    ASSERT_TRUE(ftptest::WaitDone(r, 2));
    EXPECT_EQ(r.done[1], std::make_pair(ftpRqPwd, std::uint16_t{426}));
    server.WaitForLines(3, 1000);
    EXPECT_EQ(server.Dialogue(), With(kLogin, {"PWD"}));

    // Nothing listens on this port.
    c.SetPort(std::to_string(testsupport::FreePort()));
    EXPECT_FALSE(c.Connect());
    EXPECT_EQ(c.ErrorMessage().rfind("500 ", 0), 0u) << c.ErrorMessage();
    EXPECT_NE(c.ErrorMessage().find(" (Winsock error #10061)"), std::string::npos) << c.ErrorMessage();
    EXPECT_EQ(c.StatusCode(), 500);
    EXPECT_EQ(c.State(), ftpStateReady);
    EXPECT_FALSE(c.Connected());
    ASSERT_TRUE(ftptest::WaitDone(r, 3));
    EXPECT_EQ(r.done[2], std::make_pair(ftpRqConnect, std::uint16_t{10061}));
    EXPECT_EQ(r.sessionConnected, 1);
}

// An operation takes its names when it starts: setters called while it waits
// for PASV reach neither its RETR nor its local file, only the next operation.
TEST(FtpScripted, NamesSetDuringAnOperationWaitForTheNext)
{
    testsupport::TempDir t;
    ScriptedFtpServer server;
    server.On("PASV", {S::Sleep(300), S::Send("227 ok ({pasv})\r\n")});
    server.On("RETR", {S::Send("150 go\r\n"), S::DataSend("abc"), S::DataClose(), S::Send("226 done\r\n")});
    server.On("SIZE", {S::Send("213 3\r\n")});
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetPassive(true);
    ASSERT_TRUE(Login(c));
    c.SetHostFileName("wanted.txt");
    c.SetLocalFileName(File(t, "wanted.txt"));
    ASSERT_TRUE(c.BeginGet());
    ftptest::Pump(100);
    c.SetHostFileName("HELP");
    c.SetLocalFileName(File(t, "HELP"));
    c.SetHostDirName("elsewhere");
    EXPECT_EQ(c.HostFileName(), "HELP"); // the property reads as set
    ASSERT_TRUE(ftptest::WaitDone(r, 2));
    EXPECT_EQ(r.done[1], std::make_pair(ftpRqGet, std::uint16_t{0}));
    EXPECT_EQ(testsupport::ReadFile(t / "wanted.txt"), "abc");
    EXPECT_FALSE(std::filesystem::exists(t / "HELP"));
    EXPECT_TRUE(c.Size());
    server.WaitForLines(5, 1000);
    EXPECT_EQ(server.Dialogue(), With(kLogin, {"PASV", "RETR wanted.txt", "SIZE HELP"}));
}

// An abort while the host name is looked up ends the request like any other
// abort and leaves nothing armed: a later Open only opens.
TEST(FtpScripted, AbortDuringLookup)
{
    ScriptedFtpServer server;
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetUserName("u");
    c.SetPassWord("p");
    platform::SetLookupDelayForTests("slow.", 5000);
    c.SetHostName("slow.localhost");
    // The abort comes from the wait's own pump, as a click would.
    c.SetMultiThreaded(true);
    c.OnMessagePump = [](TCustomFtpCli* s) {
        if (s->State() == ftpStateResolving)
            s->Abort();
        platform::ProcessMessages();
    };
    EXPECT_FALSE(c.Connect());
    platform::SetLookupDelayForTests("", 0);
    EXPECT_EQ(c.RequestResult(), 426);
    EXPECT_EQ(c.ErrorMessage(), "426 Operation aborted.");
    ASSERT_TRUE(ftptest::WaitDone(r, 1));
    EXPECT_EQ(r.done[0], std::make_pair(ftpRqConnect, std::uint16_t{426}));

    c.OnMessagePump = nullptr;
    c.SetHostName("127.0.0.1");
    ASSERT_TRUE(c.BeginOpen());
    ASSERT_TRUE(ftptest::WaitDone(r, 2));
    EXPECT_EQ(r.done[1], std::make_pair(ftpRqOpen, std::uint16_t{0}));
    EXPECT_TRUE(c.Quit());
    server.WaitForLines(1, 1000);
    EXPECT_EQ(server.Dialogue(), std::vector<std::string>{"QUIT"});
}

// Property rules that need a live session: no connection-type change while
// connected; proxy and SOCKS types force passive mode.
TEST(FtpScripted, ConnectionTypeRules)
{
    ScriptedFtpServer server;
    server.On("CWD", {S::Sleep(300), S::Send("250 ok\r\n")});
    ASSERT_TRUE(server.Start());
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetConnectionType(ftpSocks4A);
    c.SetSocksServer("127.0.0.1");
    c.SetSocksUserCode("who");
    for (auto* s : {c.ControlSocket(), c.DataSocket()}) {
        EXPECT_EQ(s->SocksLevel(), "4A");
        EXPECT_EQ(s->SocksServer(), "127.0.0.1");
        EXPECT_EQ(s->SocksAuthentication(), net::socksAuthenticateUsercode);
    }
    c.SetConnectionType(ftpProxy);
    EXPECT_EQ(c.ControlSocket()->SocksServer(), ""); // no SOCKS for the other types
    c.SetPassive(false);
    EXPECT_TRUE(c.Passive());
    c.SetConnectionType(ftpDirect);
    c.SetPassive(false);
    EXPECT_FALSE(c.Passive());
    ASSERT_TRUE(Login(c));
    c.SetConnectionType(ftpSocks5);
    EXPECT_EQ(c.ConnectionType(), ftpDirect);
    EXPECT_EQ(r.errors, std::vector<std::string>{"FTP component connected"});
    // A second request while one is outstanding is refused.
    c.SetHostDirName("/x");
    ASSERT_TRUE(c.BeginCwd());
    EXPECT_FALSE(c.BeginPwd());
    EXPECT_EQ(r.errors.back(), "FTP component not ready");
    ASSERT_TRUE(ftptest::WaitDone(r, 2));
    EXPECT_EQ(r.done.back(), std::make_pair(ftpRqCwd, std::uint16_t{0}));
    EXPECT_TRUE(c.Quit());
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(r.sessionClosed, 1);
}

} // namespace

// The trace of a passive listing: the engine's state machine as it runs, one
// line per state change or step. The PASV reply is a state of its own.
TEST(FtpScripted, TraceOfAListing)
{
    ScriptedFtpServer server;
    server.On("LIST", {S::Send("150 here\r\n"), S::DataSend("a\r\n"), S::DataClose(), S::Send("226 ok\r\n")});
    ASSERT_TRUE(server.Start());
    testsupport::TempDir t;
    Recorder r;
    TFtpClient c;
    Aim(c, r, server);
    c.SetPassive(true);
    c.SetLocalFileName(File(t, "dir.txt"));
    ASSERT_TRUE(Login(c)) << c.ErrorMessage();
    std::vector<std::string> trace;
    c.OnTrace = [&trace](TCustomFtpCli*, const std::string& line) { trace.push_back(line); };
    ASSERT_TRUE(c.Dir()) << c.ErrorMessage();
    EXPECT_EQ(trace, (std::vector<std::string>{
                         "step PASV/PORT", "state Ready -> AwaitReply", "state AwaitReply -> PassiveReady",
                         "step LIST", "state PassiveReady -> AwaitReply", "state AwaitReply -> StepReady",
                         "state StepReady -> Ready"}));
}
