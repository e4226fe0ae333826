// The log's reading of engine lines and the small session rules, by table.
#include "app/core/SessionLog.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace app;

TEST(SessionLog, FailureLines)
{
    const struct {
        const char* line;
        bool failure;
    } cases[] = {
        { "< 230 Login successful.", false },
        { "< 530 Login incorrect.", true },
        { "< 553 Could not create file.", true },
        { "< 550 No such file.", false },      // 550 is only logged
        { "< 421 Timeout.", false },           // 42x too
        { "< 425 Can't open data connection.", false },
        { "! 426 Operation aborted.", true },  // the engine's own note
        { "! 500 Control connection closed.", false },
        { "< 500 5 bytes too many", false },   // "bytes" wins
        { "> RETR x", false },
        { "<5", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsFailureLine(c.line), c.failure) << c.line;
}

TEST(SessionLog, MaskAndNotes)
{
    EXPECT_EQ(MaskedLine("> PASS secret"), "> PASS ********");
    EXPECT_EQ(MaskedLine("< 230 PASSED ok"), "> PASS ********"); // any line with PASS, and it escapes the 230 note
    EXPECT_EQ(MaskedLine("< 331 Password please"), "< 331 Password please");

    const struct {
        const char* line;
        const char* note;
        const char* status;
        bool loggedIn;
    } cases[] = {
        { "< 331 Password please", "PASSWORD IS REQUIRED", "Password is required.", false },
        { "< 230 Welcome", "CONNECTED.", nullptr, true },
        { "< 530 Login incorrect.", "LOGIN INCORRECT.", "Login incorrect..", false },
        { "> LIST", "PLEASE WAIT WHILE FILES LIST APPEARS AT THE RIGHT SIDE", "Building list...", false },
        { "< 250 ok", nullptr, nullptr, false },
    };
    for (const auto& c : cases) {
        const LineNotes n = NotesFor(c.line);
        EXPECT_STREQ(n.Note[0] ? n.Note[0] : "", c.note ? c.note : "") << c.line;
        EXPECT_STREQ(n.Status ? n.Status : "", c.status ? c.status : "") << c.line;
        EXPECT_EQ(n.LoggedIn, c.loggedIn) << c.line;
    }
    // All four tests are made: a line may carry two notes.
    const LineNotes both = NotesFor("< 331 then < 530");
    EXPECT_STREQ(both.Note[1], "LOGIN INCORRECT.");
    EXPECT_STREQ(both.Status, "Login incorrect..");
}

TEST(SessionLog, CommandPathAndUploadRules)
{
    EXPECT_TRUE(IsTransferCommand("RETR a"));
    EXPECT_TRUE(IsTransferCommand("STOR a"));
    EXPECT_FALSE(IsTransferCommand("retr a")); // case-sensitive
    EXPECT_FALSE(IsTransferCommand("LIST"));

    EXPECT_EQ(LastPathElement("/pub/docs"), "docs");
    EXPECT_EQ(LastPathElement("/home/me/docs/"), "docs");
    EXPECT_EQ(LastPathElement("C:\\x\\y"), "y");
    EXPECT_EQ(LastPathElement("/"), "");

    std::string filter = "keep";
    int type = 7;
    ApplyUploadChoice({ false, false, false, false, false, false, false }, false, filter, type);
    EXPECT_EQ(filter, "keep");
    EXPECT_EQ(type, 7);
    ApplyUploadChoice({ true, true, false, false, true, false, false }, false, filter, type); // the last one wins
    EXPECT_EQ(filter, ".PL");
    EXPECT_EQ(type, 1);
    ApplyUploadChoice({ true, false, false, false, false, false, true }, true, filter, type);
    EXPECT_EQ(filter, ".");
    EXPECT_EQ(type, 2);
}
