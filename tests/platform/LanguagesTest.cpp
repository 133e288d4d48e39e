#include "platform/Languages.h"

#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

using namespace harbolt;

namespace {

constexpr TLanguage kBoth[] = {TLanguage::German, TLanguage::English};

// The conversions of a template in order, e.g. "sd" for "...%s...%d...".
std::string Conversions(const std::string& text) {
    std::string found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == '%') {
            found += text[i + 1];
            ++i;
        }
    return found;
}

// Tests change the process-wide language and locale; both are put back however a test ends.
class LanguagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SavedLanguage = Language();
        const char* locale = std::setlocale(LC_ALL, nullptr);
        SavedLocale = locale != nullptr ? locale : "C";
    }
    void TearDown() override {
        std::setlocale(LC_ALL, SavedLocale.c_str());
        SetLanguage(SavedLanguage);
    }

    TLanguage SavedLanguage = TLanguage::English;
    std::string SavedLocale;
};

TEST_F(LanguagesTest, EveryIndexHasBothTexts) {
    for (int i = 0; i < kTextCount; ++i) {
        for (TLanguage language : kBoth) {
            const char* text = LanguageText(i, language);
            ASSERT_NE(text, nullptr) << i;
            // English 109 is the one empty text: its neighbour already says "every".
            if (!(i == 109 && language == TLanguage::English)) {
                EXPECT_GT(std::strlen(text), 0u) << i;
            }
        }
        // Both languages take the same arguments in the same order.
        EXPECT_EQ(Conversions(LanguageText(i, TLanguage::German)),
                  Conversions(LanguageText(i, TLanguage::English)))
            << i;
    }
    EXPECT_STREQ(LanguageText(kTextCount, TLanguage::German), "");
    EXPECT_STREQ(LanguageText(-1, TLanguage::English), "");
}

TEST_F(LanguagesTest, TextsAreKeptExactly) {
    const auto en = [](int i) { return std::string(LanguageText(i, TLanguage::English)); };
    const auto de = [](int i) { return std::string(LanguageText(i, TLanguage::German)); };
    EXPECT_EQ(en(56), "bad  IP-address");
    EXPECT_EQ(de(56), "ungueltige IP-Adresse");
    EXPECT_EQ(en(108), "Frequency: Check every");
    EXPECT_EQ(en(109), "");
    EXPECT_EQ(de(109), "alle");
    EXPECT_EQ(en(18), "%s is registrated in the local net; ");
    EXPECT_EQ(de(18), "%s ist im Netzwerk angemeldet; ");
    EXPECT_EQ(en(25), "Do you really want to close the Harbolt?");
    EXPECT_EQ(de(25), "Wollen Sie Harbolt wirklich beenden? Es werden dann keine Internet-Zugriffe "
                      "mehr aufgezeichnet.");
    EXPECT_EQ(en(80), "Remove");
    EXPECT_EQ(en(106), "Clear");
    EXPECT_EQ(de(80), "Löschen");
    EXPECT_EQ(de(106), "Löschen");
    EXPECT_EQ(en(50), "You a online, but the connection to the Internet has not been used for some "
                      "time. Do you want to disconnect from the Internet?");
    EXPECT_EQ(en(15), "inactiv, because %s will be a timemaster, too.");
    // The German caption of the connection list is the legacy key's bytes in Windows-1252.
    EXPECT_EQ(Utf8ToCp1252(de(8)), "DF\xDC-Verbindungen");
}

TEST_F(LanguagesTest, CurrentLanguageSelectsTheTable) {
    SetLanguage(TLanguage::German);
    EXPECT_STREQ(LanguageText(53), "WinSock nicht verfügbar");
    SetLanguage(TLanguage::English);
    EXPECT_STREQ(LanguageText(53), "WinSock not available");
}

TEST_F(LanguagesTest, OnlyTheExactGermanMonthNameMeansGerman) {
    EXPECT_EQ(LanguageForMonthName("M\xE4rz"), TLanguage::German);
    const std::vector<std::string> others = {
        "Maerz",       "M\xC4RZ", "m\xE4rz", "M\xE4rz ", "March", "mars", "marzo", "",
        "M\xC3\xA4rz", // UTF-8 bytes: the caller converts first
    };
    for (const std::string& name : others)
        EXPECT_EQ(LanguageForMonthName(name), TLanguage::English) << name;
}

TEST_F(LanguagesTest, ChooseLanguageInTheCLocaleGivesEnglish) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    SetLanguage(TLanguage::German);
    ChooseLanguage();
    EXPECT_EQ(Language(), TLanguage::English);
}

TEST_F(LanguagesTest, ChooseLanguageInGermanLocalesGivesGerman) {
    const char* const candidates[] = {"de_DE.UTF-8", "de_AT.UTF-8", "de_CH.UTF-8",
                                      "de_DE.ISO-8859-1", "de_DE@euro"};
    int tried = 0;
    for (const char* name : candidates) {
        if (std::setlocale(LC_ALL, name) == nullptr)
            continue;
        ++tried;
        SetLanguage(TLanguage::English);
        ChooseLanguage();
        EXPECT_EQ(Language(), TLanguage::German) << name;
    }
    if (tried == 0)
        GTEST_SKIP() << "no German locale installed";
}

TEST_F(LanguagesTest, FormatTextFillsArgumentsInOrder) {
    SetLanguage(TLanguage::English);
    EXPECT_EQ(FormatText(16, "Anna", "Office"), "(Anna online using Office)");
    EXPECT_EQ(FormatText(22, "Office", "Anna"), "Office (only Anna)");
    EXPECT_EQ(FormatText(51, "gopher"), "unknown protocol: gopher");
    // Numbers come as text and fill "%d" in their turn.
    EXPECT_EQ(FormatText(40, "30", "No"),
              "This Question will be answered automatically in 30 seconds with No.");
    EXPECT_EQ(FormatText(48, "line busy", "676"),
              "An error occurred on connecting to the Internet: line busy (676)");
    // An argument is inserted as it is, never read as a template itself.
    EXPECT_EQ(FormatText(16, "%s", "x"), "(%s online using x)");
    EXPECT_EQ(FormatText(16, "50%", "s"), "(50% online using s)");
    SetLanguage(TLanguage::German);
    EXPECT_EQ(FormatText(16, "Anna", "Office"), "(Anna online mit Office)");
    EXPECT_EQ(FormatText(47, "Office (nur Anna)"), "Übersicht über Office (nur Anna)");
}

} // namespace
