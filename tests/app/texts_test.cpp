// Caption tables and the scripted prompter.
#include "app/core/Captions.hpp"
#include "app/core/Prompter.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

using namespace app;

namespace {

bool ValidUtf8(const char* s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        int extra = *p < 0x80 ? 0 : (*p & 0xe0) == 0xc0 ? 1 : (*p & 0xf0) == 0xe0 ? 2 : (*p & 0xf8) == 0xf0 ? 3 : -1;
        if (extra < 0 || (extra == 1 && *p < 0xc2))
            return false;
        ++p;
        for (int i = 0; i < extra; ++i, ++p)
            if ((*p & 0xc0) != 0x80)
                return false;
    }
    return true;
}

const CaptionRow* Row(const char* component, const char* property = "caption")
{
    for (const CaptionRow& r : MainCaptions())
        if (std::strcmp(r.Component, component) == 0 && std::strcmp(r.Property, property) == 0)
            return &r;
    return nullptr;
}

} // namespace

TEST(Captions, TablesAreCompleteAndWellFormed)
{
    ASSERT_EQ(MainCaptions().size(), 39u);
    std::set<std::pair<std::string, std::string>> keys;
    for (const CaptionRow& r : MainCaptions()) {
        EXPECT_TRUE(keys.emplace(r.Component, r.Property).second) << r.Component << " " << r.Property;
        EXPECT_TRUE(ValidUtf8(r.English) && ValidUtf8(r.Turkish)) << r.Component;
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Row("dirview", ("column" + std::to_string(i)).c_str())) << i;
    // The pop-up menu and the main menu spell the Turkish plural differently.
    EXPECT_STREQ(Row("mnu_view_big")->Turkish, "Büyük Sembollar");
    EXPECT_STREQ(Row("BigSymbols1")->Turkish, "Büyük Semboller");

    const char* controls[] = {"edtAlias", "edtHost", "edtUser", "edtPassword", "cmbProtocol", "edtPort", "edtTimeOut", "cmbVendor",
        "cmbEncryption", "cmbListing"};
    ASSERT_EQ(SiteDialogLabels().size(), std::size(controls));
    for (std::size_t i = 0; i < std::size(controls); ++i) {
        EXPECT_STREQ(SiteDialogLabels()[i].Control, controls[i]);
        EXPECT_TRUE(ValidUtf8(SiteDialogLabels()[i].Turkish));
    }

    std::set<std::string> seen;
    for (int id = 0; id < kMessageCount; ++id) {
        for (bool english : {true, false}) {
            const char* text = Message(static_cast<TMessageId>(id), english);
            EXPECT_TRUE(ValidUtf8(text));
            EXPECT_TRUE(seen.insert(text).second) << text;
        }
    }
}

TEST(ScriptedPrompter, AnswersInOrderAndRecordsEveryPrompt)
{
    ScriptedPrompter p;
    p.ExpectConfirm(ansIgnore);
    p.ExpectInput("new name");
    p.ExpectInputCancel();
    p.ExpectSave("/tmp/x.bin");
    p.ShowMessage("hello", mkWarning); // needs no answer
    EXPECT_EQ(p.Confirm("Overwrite?", {ansOK, ansCancel, ansIgnore, ansAll}), ansIgnore);
    EXPECT_EQ(p.InputQuery("Rename", "Enter new file name", "old"), "new name");
    EXPECT_EQ(p.InputQuery("Make Directory", "Directory Name:", ""), std::nullopt);
    EXPECT_EQ(p.SaveFileName("x.bin", ""), "/tmp/x.bin");
    EXPECT_EQ(p.Pending(), 0u);
    EXPECT_EQ(p.ShownTexts(),
              (std::vector<std::string>{"hello", "Overwrite?", "Enter new file name", "Directory Name:", "x.bin"}));
    EXPECT_EQ(p.Shown()[0].MessageKind, mkWarning);
    EXPECT_EQ(p.Shown()[2].Initial, "old");
    EXPECT_TRUE(p.Shown()[1].Buttons.Has(ansAll));
}

TEST(ScriptedPrompter, UnpreparedPromptsFailLoudly)
{
    ScriptedPrompter p;
    EXPECT_THROW(p.Confirm("Delete?", {ansOK, ansCancel}), PromptScriptError);
    p.ExpectInput("x");
    EXPECT_THROW(p.Confirm("Delete?", {ansOK, ansCancel}), PromptScriptError); // wrong kind
    EXPECT_EQ(p.Pending(), 1u);
    EXPECT_EQ(p.InputQuery("c", "p", ""), "x");
    p.ExpectConfirm(ansIgnore);
    EXPECT_THROW(p.Confirm("Delete?", {ansOK, ansCancel, ansAll}), PromptScriptError); // not offered
    EXPECT_EQ(p.Shown().size(), 4u);
}

TEST(Texts, DisplayTextReadsWhatIsNotUtf8AsTurkishCodePage)
{
    EXPECT_EQ(DisplayText("plain"), "plain");
    EXPECT_EQ(DisplayText("\xC5\x9F"), "\xC5\x9F"); // UTF-8 "ş" stays
    EXPECT_EQ(DisplayText("\xDE\xFE\xDD\xFD\xD0\xF0"), "ŞşİıĞğ");
    EXPECT_EQ(DisplayText("\x80 \xE9"), "€ é");
    EXPECT_EQ(DisplayText("\xC5"), "Å"); // a cut-off sequence is not UTF-8
    EXPECT_EQ(DisplayText("\xED\xA0\x80"), "í\xC2\xA0\xE2\x82\xAC"); // no surrogates
}
