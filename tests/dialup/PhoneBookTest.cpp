#include "dialup/PhoneBook.h"

#include "BackendTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <utime.h>

using namespace harbolt;
using namespace harbolt::test;
using namespace std::string_literals;

namespace {

std::vector<std::size_t> DiagnosticLines(const TPhoneBook& book) {
    std::vector<std::size_t> lines;
    for (const TPhoneBookDiagnostic& diagnostic : book.Diagnostics)
        lines.push_back(diagnostic.Line);
    return lines;
}

std::vector<std::string> Names(const TPhoneBook& book) {
    std::vector<std::string> names;
    for (const TPhoneBookEntry& entry : book.Entries)
        names.push_back(entry.Name);
    return names;
}

TEST(PhoneBookParse, ReadsSectionsKeysCommentsAndWhitespace) {
    const TPhoneBook book = ParsePhoneBook("# pppd and a script\n"
                                           "; another comment\n"
                                           "\n"
                                           "[ Provider ]\n"
                                           "  dial   =  pon provider  \n"
                                           "\thangup=poff provider\r\n"
                                           "Interface = ppp0\n"
                                           "USER = anna\n"
                                           "password = se=cret # not a comment\n"
                                           "\n"
                                           "[Script]\n"
                                           "password =\n"
                                           "check = test -e /run/up; exit $?\n"
                                           "connect-delay = 0\n"
                                           "fail = 691\n"
                                           "[Bare]\n"
                                           "user = bob\n");
    EXPECT_TRUE(book.Diagnostics.empty());
    ASSERT_EQ(book.Entries.size(), 3u);

    const TPhoneBookEntry& provider = book.Entries[0];
    EXPECT_EQ(provider.Name, "Provider");
    EXPECT_EQ(provider.Line, 4u);
    EXPECT_EQ(provider.Dial, "pon provider");
    EXPECT_EQ(provider.HangUp, "poff provider");
    EXPECT_EQ(provider.Interface, "ppp0");
    EXPECT_EQ(provider.Check, "");
    EXPECT_EQ(provider.UserName, "anna");
    EXPECT_EQ(provider.Password, "se=cret # not a comment");
    EXPECT_TRUE(provider.PasswordStored);
    EXPECT_EQ(provider.ConnectDelaySeconds, 1u);
    EXPECT_EQ(provider.FailCode, 0u);

    const TPhoneBookEntry& script = book.Entries[1];
    EXPECT_EQ(script.Check, "test -e /run/up; exit $?");
    EXPECT_EQ(script.ConnectDelaySeconds, 0u);
    EXPECT_EQ(script.FailCode, 691u);
    EXPECT_TRUE(script.PasswordStored); // an empty one is stored too
    EXPECT_EQ(script.Password, "");
    EXPECT_FALSE(book.Entries[2].PasswordStored);
}

TEST(PhoneBookParse, NamesBecomeWindows1252) {
    const TPhoneBook book = ParsePhoneBook("\xEF\xBB\xBF[B\xC3\xBCro \xE2\x82\xAC]\n" // Büro €
                                           "[\xC5\x81\xC3\xB3\x64\xC5\xBA]\n");       // Łódź
    ASSERT_EQ(book.Entries.size(), 2u);
    EXPECT_EQ(book.Entries[0].Name, "B\xFCro \x80");
    EXPECT_EQ(book.Entries[1].Name, "?\xF3\x64?");
    // The byte order mark belongs to no name; the lossy name is accepted but reported.
    EXPECT_EQ(DiagnosticLines(book), (std::vector<std::size_t>{2}));
}

TEST(PhoneBookParse, ReportsEachFaultWithItsLine) {
    const TPhoneBook book = ParsePhoneBook("dial = too early\n"              // 1 outside a section
                                           "[Good]\n"                        // 2
                                           "just words\n"                    // 3 no "="
                                           "colour = blue\n"                 // 4 unknown key
                                           "connect-delay = soon\n"          // 5 not a number
                                           "connect-delay = 3601\n"          // 6 too long
                                           "fail = 0\n"                      // 7 no failure code
                                           "fail = -5\n"                     // 8 not a number
                                           "interface = ../../etc\n"         // 9 no interface name
                                           "interface = averyverylongname\n" // 10 too long
                                           " = value\n"                      // 11 no key
                                           "[Unclosed\n"                     // 12
                                           "dial = ignored with it\n"        // 13 (not reported)
                                           "[   ]\n"                         // 14 empty name
                                           "[Ctl\x01]\n"                     // 15 control character
                                           "nul\0byte = x\n"                 // 16 NUL
                                           "[Last]\n"                        // 17
                                           "fail = 4294967296\n"             // 18 too large
                                           "fail = 4294967295\n"s);          // 19 fine
    EXPECT_EQ(DiagnosticLines(book),
              (std::vector<std::size_t>{1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15, 16, 18}));
    ASSERT_EQ(Names(book), (std::vector<std::string>{"Good", "Last"}));
    const TPhoneBookEntry& good = book.Entries[0];
    EXPECT_EQ(good.ConnectDelaySeconds, 1u);
    EXPECT_EQ(good.FailCode, 0u);
    EXPECT_EQ(good.Interface, "");
    EXPECT_EQ(book.Entries[1].FailCode, 4294967295u);
}

TEST(PhoneBookParse, DuplicatesKeepTheFirst) {
    const TPhoneBook book = ParsePhoneBook("[Home]\n"         // 1
                                           "dial = first\n"   // 2
                                           "dial = second\n"  // 3 key given twice
                                           "check = true\n"   // 4
                                           "interface = lo\n" // 5 check and interface
                                           "[HOME]\n"         // 6 same entry
                                           "dial = from the copy\n"
                                           "user = intruder\n"
                                           "[\xC3\x9C\x62\x65r]\n" // 9 Über
                                           "[\xC3\xBC\x62\x65R]\n" // 10 über: same, ignoring case
    );
    EXPECT_EQ(DiagnosticLines(book), (std::vector<std::size_t>{3, 5, 6, 10}));
    ASSERT_EQ(book.Entries.size(), 2u);
    EXPECT_EQ(book.Entries[0].Name, "Home");
    EXPECT_EQ(book.Entries[0].Dial, "first");
    EXPECT_EQ(book.Entries[0].Check, "true");
    EXPECT_EQ(book.Entries[0].Interface, "");
    EXPECT_EQ(book.Entries[0].UserName, "");
    EXPECT_NE(book.Diagnostics[2].Message.find("line 1"), std::string::npos);
    EXPECT_EQ(book.Entries[1].Name, "\xDC\x62\x65r");
}

TEST(PhoneBookParse, NameLengthIsLimited) {
    const std::string longest(kMaxEntryNameLength, 'n');
    const TPhoneBook book = ParsePhoneBook("[" + longest + "]\n[" + longest + "x]\n");
    EXPECT_EQ(Names(book), (std::vector<std::string>{longest}));
    EXPECT_EQ(DiagnosticLines(book), (std::vector<std::size_t>{2}));
}

class PhoneBookFileTest : public ::testing::Test {
protected:
    // Rewrites the file with a time stamp of its own, so the change shows even within one tick
    // of the file system's clock.
    void Rewrite(const std::string& text) {
        Dir.Write("phonebook.conf", text);
        ++Stamp;
        const utimbuf times{Stamp, Stamp};
        ASSERT_EQ(utime(Dir.File("phonebook.conf").c_str(), &times), 0);
    }

    TTempDir Dir;
    TDiagnosticLog Diagnostics;
    time_t Stamp = 1000000000;
};

TEST_F(PhoneBookFileTest, MissingFileIsAnEmptyBookWithoutComplaint) {
    TPhoneBookFile file(Dir.File("phonebook.conf"), Diagnostics.Sink());
    EXPECT_TRUE(file.Current()->Book.Entries.empty());
    EXPECT_TRUE(Diagnostics.Taken().empty());

    TPhoneBookFile withDefault(Dir.File("phonebook.conf"), Diagnostics.Sink(), {}, "SimLine");
    EXPECT_EQ(Names(withDefault.Current()->Book), (std::vector<std::string>{"SimLine"}));
    EXPECT_EQ(withDefault.Current()->Handles, (std::vector<TRasHandle>{1}));
}

TEST_F(PhoneBookFileTest, ReportsOncePerReadingWithPathAndLine) {
    Rewrite("[A]\nbogus = 1\n");
    TPhoneBookFile file(Dir.File("phonebook.conf"), Diagnostics.Sink());
    file.Current();
    file.Current();
    const auto lines = Diagnostics.Taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(Dir.File("phonebook.conf") + ":2: ", 0), 0u) << lines[0];

    Rewrite("[A]\nbogus = 2\nworse\n");
    file.Current();
    EXPECT_EQ(Diagnostics.Taken().size(), 2u);
}

TEST_F(PhoneBookFileTest, FollowsEditsAndKeepsHandlesPerName) {
    Rewrite("[One]\n[Two]\n");
    TPhoneBookFile file(Dir.File("phonebook.conf"), Diagnostics.Sink());
    auto book = file.Current();
    EXPECT_EQ(book->Handles, (std::vector<TRasHandle>{1, 2}));

    Rewrite("[Three]\n[two]\n");
    book = file.Current();
    EXPECT_EQ(Names(book->Book), (std::vector<std::string>{"Three", "two"}));
    EXPECT_EQ(book->Handles, (std::vector<TRasHandle>{3, 2}));
    EXPECT_EQ(book->IndexOf(TRasHandle{2}), 1u);
    EXPECT_FALSE(book->IndexOf(TRasHandle{1}));
    EXPECT_FALSE(book->IndexOf(TRasHandle{0}));
    EXPECT_EQ(book->IndexOf("THREE"), 0u);

    Rewrite("[One]\n");
    EXPECT_EQ(file.Current()->Handles, (std::vector<TRasHandle>{1}));

    ASSERT_EQ(std::remove(Dir.File("phonebook.conf").c_str()), 0);
    EXPECT_TRUE(file.Current()->Book.Entries.empty());
    EXPECT_TRUE(Diagnostics.Taken().empty());
}

TEST_F(PhoneBookFileTest, UnreadableFileIsReportedAndEmpty) {
    // A directory in the file's place cannot be read as a file.
    std::filesystem::create_directory(Dir.File("phonebook.conf"));
    TPhoneBookFile file(Dir.File("phonebook.conf"), Diagnostics.Sink());
    EXPECT_TRUE(file.Current()->Book.Entries.empty());
    const auto lines = Diagnostics.Taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot read"), std::string::npos) << lines[0];
}

} // namespace
