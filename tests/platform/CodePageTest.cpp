#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace harbolt;

namespace {

// Malformed input must come out as plain '?' marks: never a stray high byte, never a character
// that was not written.
void ExpectOnlyQuestionMarks(const std::string& utf8) {
    const std::string out = Utf8ToCp1252(utf8);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.find_first_not_of('?'), std::string::npos) << out;
}

} // namespace

TEST(CodePageTest, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string utf8 = Cp1252ToUtf8(one);
        EXPECT_EQ(Utf8ToCp1252(utf8), one) << "byte " << b;
        all += one;
    }
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

TEST(CodePageTest, KnownCharacters) {
    // The legacy key of the connection list.
    EXPECT_EQ(Utf8ToCp1252("DFÜ-Verbindungen"), "\x44\x46\xDC\x2D"
                                                "Verbindungen");
    EXPECT_EQ(Cp1252ToUtf8("DF\xDC-Verbindungen"), "DFÜ-Verbindungen");
    EXPECT_EQ(Utf8ToCp1252("€"), "\x80");
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "€");
    EXPECT_EQ(Utf8ToCp1252("„Š™Ÿ“"), "\x84\x8A\x99\x9F\x93");
    EXPECT_EQ(Cp1252ToUtf8("\xE4\xF6\xFC\xDF"), "äöüß");
    // Unassigned bytes travel as the C1 control of the same number.
    EXPECT_EQ(Cp1252ToUtf8("\x81"), "\xC2\x81");
    EXPECT_EQ(Cp1252ToUtf8(std::string(1, '\0')), std::string(1, '\0'));
}

TEST(CodePageTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToCp1252("a→b"), "a?b");    // U+2192, three bytes
    EXPECT_EQ(Utf8ToCp1252("Ā"), "?");        // U+0100, just past Latin-1
    EXPECT_EQ(Utf8ToCp1252("x😀y"), "x?y");    // four bytes, one mark
    EXPECT_EQ(Utf8ToCp1252("\xC2\x80"), "?"); // U+0080 is not what 0x80 stands for
    EXPECT_EQ(Utf8ToCp1252("\xC2\xA0"), "\xA0");
}

TEST(CodePageTest, MalformedInputIsMarkedNotTrusted) {
    ExpectOnlyQuestionMarks("\x80");             // continuation without lead
    ExpectOnlyQuestionMarks("\xFF");             // never valid
    ExpectOnlyQuestionMarks("\xC3");             // cut after the lead
    ExpectOnlyQuestionMarks("\xE2\x82");         // cut inside
    ExpectOnlyQuestionMarks("\xF0\x9F\x98");     //
    ExpectOnlyQuestionMarks("\xC0\xAF");         // overlong '/'
    ExpectOnlyQuestionMarks("\xC0\xAC");         // overlong ','
    ExpectOnlyQuestionMarks("\xC0\x80");         // overlong NUL
    ExpectOnlyQuestionMarks("\xE0\x83\x9C");     // overlong 'Ü'
    ExpectOnlyQuestionMarks("\xF0\x80\x82\xAC"); // overlong '€'
    ExpectOnlyQuestionMarks("\xED\xA0\x80");     // surrogate half
    // The text around a bad sequence stays.
    EXPECT_EQ(Utf8ToCp1252("a\xC3(b"), "a?(b");
    const std::string out = Utf8ToCp1252("ok\xE2\x82");
    EXPECT_EQ(out.substr(0, 2), "ok");
}

TEST(CodePageTest, LowerCaseCoversAccentedCapitals) {
    EXPECT_EQ(AnsiLowerCase("ABC xyz 09_"), "abc xyz 09_");
    EXPECT_EQ(AnsiLowerCase("\xC4\xD6\xDC"), "\xE4\xF6\xFC");         // ÄÖÜ
    EXPECT_EQ(AnsiLowerCase("\xC0\xC9\xD1\xDE"), "\xE0\xE9\xF1\xFE"); // ÀÉÑÞ
    EXPECT_EQ(AnsiLowerCase("\x8A\x8C\x8E\x9F"), "\x9A\x9C\x9E\xFF"); // ŠŒŽŸ
    // Neither the multiplication sign nor sharp s has a case partner here.
    EXPECT_EQ(AnsiLowerCase("\xD7\xDF"), "\xD7\xDF");
    EXPECT_EQ(AnsiLowerCase("\xE4\xFF"), "\xE4\xFF");
}

TEST(CodePageTest, CompareTextIgnoresCaseAndOrders) {
    EXPECT_EQ(AnsiCompareText("DF\xDC-Verbindungen", "df\xFC-VERBINDUNGEN"), 0);
    EXPECT_EQ(AnsiCompareText("Zeitmeister", "zeitmeister"), 0);
    EXPECT_EQ(AnsiCompareText("", ""), 0);
    EXPECT_LT(AnsiCompareText("a", "B"), 0);
    EXPECT_GT(AnsiCompareText("B", "a"), 0);
    EXPECT_LT(AnsiCompareText("ProxyMapping01", "proxymapping02"), 0);
    EXPECT_LT(AnsiCompareText("Proxy", "proxyEnabled"), 0);
    EXPECT_GT(AnsiCompareText("proxyEnabled", "Proxy"), 0);
    EXPECT_LT(AnsiCompareText("", "a"), 0);
    // Bytes compare unsigned: accented letters after ASCII.
    EXPECT_LT(AnsiCompareText("z", "\xE4"), 0);
}

TEST(CodePageTest, CaseLessKeysCollapseInAMap) {
    std::map<std::string, int, AnsiCaseLess> keys;
    keys["AutoDialEnabled"] = 1;
    keys["autodialenabled"] = 2;
    keys["DF\xDC-Verbindungen"] = 3;
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys.at("AUTODIALENABLED"), 2);
    ASSERT_NE(keys.find(std::string_view("df\xFC-verbindungen")), keys.end());
}

TEST(CodePageTest, SameTextAsciiFoldsOnlyLetters) {
    EXPECT_TRUE(SameTextAscii("Home", "HOME"));
    EXPECT_TRUE(SameTextAscii("", ""));
    EXPECT_FALSE(SameTextAscii("Home", "Homes"));
    EXPECT_FALSE(SameTextAscii("J\xC4GER", "j\xE4ger")); // accented letters stay apart
    // Pairs 32 apart that are not letters.
    EXPECT_FALSE(SameTextAscii("[", "{"));
    EXPECT_FALSE(SameTextAscii("@", "`"));
    EXPECT_FALSE(SameTextAscii("^", "~"));
}
