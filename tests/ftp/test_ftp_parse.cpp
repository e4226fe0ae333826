// Table tests of the reply grammar and the time stamps.
#include "ftp/FtpReply.hpp"
#include "ftp/FtpSrvT.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace ftp;

TEST(FtpReplyLine, FinalLineRule)
{
    struct Case {
        const char* line;
        bool digit;
        int code;
        bool final;
    } cases[] = {
        {"230-Welcome", true, 230, false},
        {"   more text", false, 0, false},
        {"230 done", true, 230, true},
        {"123 inside a 230 reply", true, 123, true},
        {"220", true, 220, true},
        {"2", true, 2, true},
        {"-230 x", false, 0, false},
        {"", false, 0, false},
        {"99999999999999 big", true, 2147483647, true},
        {"250-", true, 250, false},
    };
    for (const auto& c : cases) {
        int code = 0;
        bool final = false;
        EXPECT_EQ(ReadReplyCode(c.line, code, final), c.digit) << c.line;
        if (c.digit) {
            EXPECT_EQ(code, c.code) << c.line;
            EXPECT_EQ(final, c.final) << c.line;
        }
        EXPECT_EQ(IsFinalLine(c.line), c.digit && c.final) << c.line;
    }
}

TEST(FtpReplyLine, LineEnds)
{
    EXPECT_EQ(FindLineEnd("220 x\r\nrest", true), 7u);
    EXPECT_EQ(FindLineEnd("220 x\nrest", true), 6u);
    EXPECT_EQ(FindLineEnd("220 x\nrest", false), 0u);
    EXPECT_EQ(FindLineEnd("220 x\n220 y\r\n", false), 13u);
    EXPECT_EQ(FindLineEnd("220 x\r", true), 0u);
    EXPECT_EQ(TrimLineEnd("220 x\r\r\n"), "220 x");
}

TEST(FtpReplyPasv, Parses)
{
    std::string addr;
    std::uint16_t port = 0;
    ASSERT_TRUE(ParsePasvReply("227 Entering Passive Mode (192,168,1,2,19,137)", addr, port));
    EXPECT_EQ(addr, "192.168.1.2");
    EXPECT_EQ(port, 5001);
    ASSERT_TRUE(ParsePasvReply("227 Entering Passive Mode (127,0,0,1,255,255).", addr, port));
    EXPECT_EQ(port, 65535);
    ASSERT_TRUE(ParsePasvReply("227 =127,0,0,2,4,1", addr, port));
    EXPECT_EQ(addr, "127.0.0.2");
    EXPECT_EQ(port, 1025);
    ASSERT_TRUE(ParsePasvReply("227 ( 10, 0, 0, 1, 0, 21 )", addr, port));
    EXPECT_EQ(port, 21);

    const char* bad[] = {"227 Entering Passive Mode", "227 (1,2,3,4,5)", "227 (1,2,3,4,5,x)",
                         "227 (256,0,0,1,1,1)", "227 (1,2,3,4,5,999999999999)", "227 ()", ""};
    for (const char* b : bad) {
        addr = "unchanged";
        EXPECT_FALSE(ParsePasvReply(b, addr, port)) << b;
        EXPECT_EQ(addr, "unchanged") << b;
    }
}

TEST(FtpReplyEpsv, StrictForm)
{
    const std::pair<const char*, int> cases[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 ok (!!!1!) trailing text", 1},
        {"229 (|||65535|)", 65535},
        {"229 (|||65536|)", -1},
        {"229 (|||0|)", -1},
        {"229 (|||000021|)", -1},
        {"229 (||||)", -1},
        {"229 (|||80)", -1},
        {"229 (|||80|", -1},
        {"229 (|!|80|)", -1},
        {"229 (111801)", -1},
        {"229 (|1|127.0.0.2|80|)", -1}, // an address is never taken from the reply
        {"229 (   80 )", -1},
        {"229 |||80|", -1},
        {"229 (", -1},
    };
    for (const auto& [reply, want] : cases) {
        std::uint16_t port = 7;
        EXPECT_EQ(ParseEpsvReply(reply, port), want >= 0) << reply;
        EXPECT_EQ(port, want >= 0 ? want : 7) << reply;
    }
    EXPECT_EQ(EprtCommand("::1", 5000), "EPRT |2|::1|5000|");
    EXPECT_EQ(EprtCommand("127.0.0.1", 21), "EPRT |1|127.0.0.1|21|");
}

TEST(FtpReplyInterp, QuotedPathSizeMd5)
{
    EXPECT_EQ(ParseQuotedPath("257 \"/home/a\" is current"), "/home/a");
    EXPECT_EQ(ParseQuotedPath("257 \"/say \"\"hi\"\"\" created"), "/say \"hi\"");
    EXPECT_EQ(ParseQuotedPath("257   \"/x"), "/x");
    EXPECT_EQ(ParseQuotedPath("250 CWD ok"), "");
    EXPECT_EQ(ParseQuotedPath("257"), "");

    EXPECT_EQ(ParseSizeReply("213 12345"), 12345);
    EXPECT_EQ(ParseSizeReply("213 6442450944"), 6442450944LL); // above 4 GiB
    EXPECT_EQ(ParseSizeReply("213 "), 0);
    EXPECT_EQ(ParseSizeReply("213 99999999999999999999999"), 0);

    std::string name, hash;
    ParseMd5Reply("251 \"my file.txt\" 0123abcd", name, hash);
    EXPECT_EQ(name, "my file.txt");
    EXPECT_EQ(hash, "0123abcd");
    ParseMd5Reply("251 file.bin ffee", name, hash);
    EXPECT_EQ(name, "file.bin");
    EXPECT_EQ(hash, "ffee");
    ParseMd5Reply("251 \"unterminated", name, hash);
    EXPECT_EQ(name, "unterminated");
    EXPECT_EQ(hash, "");
}

TEST(FtpReplyInterp, FeatAndMlst)
{
    TFtpFeatures f;
    std::string facts;
    for (const char* line : {"211-Features:", " MDTM", " SIZE ", " REST STREAM", " MFMT", " MD5",
                             " MLST type*;size*;modify*;", " UTF8", "211 End"})
        ParseFeatLine(line, f, facts);
    EXPECT_TRUE(f.Contains(ftpFeatMdtm));
    EXPECT_FALSE(f.Contains(ftpFeatMdtmTz));
    EXPECT_TRUE(f.Contains(ftpFeatSize));
    EXPECT_TRUE(f.Contains(ftpFeatRestStream));
    EXPECT_TRUE(f.Contains(ftpFeatMfmt));
    EXPECT_TRUE(f.Contains(ftpFeatMd5));
    EXPECT_TRUE(f.Contains(ftpFeatMlst));
    EXPECT_EQ(facts, "type*;size*;modify*;");

    TFtpFeatures g;
    std::string none = "kept";
    ParseFeatLine("MDTM YYYYMMDDHHMMSS[+-TZ];filename", g, none);
    ParseFeatLine("MLST", g, none); // too short for facts
    ParseFeatLine("REST", g, none);
    EXPECT_TRUE(g.Contains(ftpFeatMdtmTz));
    EXPECT_TRUE(g.Contains(ftpFeatMlst));
    EXPECT_FALSE(g.Contains(ftpFeatRestStream));
    EXPECT_EQ(none, "kept");

    std::string mf;
    EXPECT_TRUE(ParseMlstLine(" type=file;size=3; a.txt", mf));
    EXPECT_EQ(mf, "type=file;size=3; a.txt");
    EXPECT_FALSE(ParseMlstLine("250-Listing a.txt", mf));
    EXPECT_FALSE(ParseMlstLine(" ab ", mf));
}

TEST(FtpSrvT, MdtmWords)
{
    double v = MdtmToDateTime("20240229123456");
    ASSERT_GT(v, 0);
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(v, y, mo, d, h, mi, s, ms);
    EXPECT_EQ(y, 2024); EXPECT_EQ(mo, 2); EXPECT_EQ(d, 29);
    EXPECT_EQ(h, 12); EXPECT_EQ(mi, 34); EXPECT_EQ(s, 56); EXPECT_EQ(ms, 0);
    EXPECT_EQ(DateTimeToMdtm(v), "20240229123456");

    DecodeDateTime(MdtmToDateTime("20240101000000.250"), y, mo, d, h, mi, s, ms);
    EXPECT_EQ(ms, 250);
    DecodeDateTime(MdtmToDateTime("20240101000000.2"), y, mo, d, h, mi, s, ms);
    EXPECT_EQ(ms, 0); // fraction only counts with three digits

    EXPECT_EQ(MdtmToDateTime("2024010100000"), 0);   // 13 characters
    EXPECT_EQ(MdtmToDateTime("20241301000000"), 0);  // month 13
    EXPECT_EQ(MdtmToDateTime("20240132000000"), 0);  // day 32
    EXPECT_EQ(MdtmToDateTime("2024x101000000"), 0);
    EXPECT_EQ(MdtmToDateTime("20230229000000"), -1); // not a leap year
    EXPECT_EQ(MdtmToDateTime("20240101250000"), -1); // hour 25
    EXPECT_EQ(ParseMdtmReply("213 19700101000000"), 25569.0);
    EXPECT_EQ(DateTimeToUnix(ParseMdtmReply("213 20000101000000 extra")), 946684800);
    EXPECT_EQ(DateTimeToMdtm(UnixToDateTime(946684800 + 86399)), "20000101235959");
}

TEST(FtpReplyInterp, LineBreaksInParameters)
{
    EXPECT_TRUE(HasLineBreak("a\r\nDELE x"));
    EXPECT_TRUE(HasLineBreak("a\nb"));
    EXPECT_TRUE(HasLineBreak(std::string("a\0b", 3)));
    EXPECT_FALSE(HasLineBreak("name with spaces ü"));
}
