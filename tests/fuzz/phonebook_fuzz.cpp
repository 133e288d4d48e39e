// phonebook.conf is written by hand. Whatever it holds, reading it must not crash, every entry it
// accepts must be usable as the program expects, and what it accepts must read back the same
// once written out again.
#include "dialup/PhoneBook.h"

#include "FuzzCheck.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

using namespace harbolt;

namespace {

bool NameIsUsable(const std::string& name) {
    return !name.empty() && name.size() <= kMaxEntryNameLength &&
           std::none_of(name.begin(), name.end(), [](char c) {
               const auto b = static_cast<unsigned char>(c);
               return b < 0x20 || b == 0x7F;
           });
}

bool ValueIsOneLine(const std::string& value) {
    return value.find('\n') == std::string::npos && value.find('\0') == std::string::npos;
}

// The file that says the same as the entries.
std::string WriteOut(const TPhoneBook& book) {
    std::string text;
    const auto key = [&text](const char* name, const std::string& value) {
        if (!value.empty())
            text += std::string(name) + " = " + value + "\n";
    };
    for (const TPhoneBookEntry& entry : book.Entries) {
        text += "[" + Cp1252ToUtf8(entry.Name) + "]\n";
        key("dial", entry.Dial);
        key("hangup", entry.HangUp);
        key("check", entry.Check);
        key("interface", entry.Interface);
        key("connect-delay", std::to_string(entry.ConnectDelaySeconds));
        if (entry.FailCode != 0)
            key("fail", std::to_string(entry.FailCode));
        key("user", entry.UserName);
        if (entry.PasswordStored)
            text += "password = " + entry.Password + "\n";
    }
    return text;
}

bool SameEntries(const TPhoneBook& a, const TPhoneBook& b) {
    return std::equal(a.Entries.begin(), a.Entries.end(), b.Entries.begin(), b.Entries.end(),
                      [](const TPhoneBookEntry& x, const TPhoneBookEntry& y) {
                          return x.Name == y.Name && x.Dial == y.Dial && x.HangUp == y.HangUp &&
                                 x.Check == y.Check && x.Interface == y.Interface &&
                                 x.ConnectDelaySeconds == y.ConnectDelaySeconds &&
                                 x.FailCode == y.FailCode && x.UserName == y.UserName &&
                                 x.Password == y.Password && x.PasswordStored == y.PasswordStored;
                      });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TPhoneBook book = ParsePhoneBook(text);

    const std::size_t lines =
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    std::size_t previous = 0;
    for (const TPhoneBookDiagnostic& diagnostic : book.Diagnostics) {
        FUZZ_CHECK(diagnostic.Line >= 1 && diagnostic.Line <= lines);
        FUZZ_CHECK(diagnostic.Line >= previous); // reported in file order
        FUZZ_CHECK(!diagnostic.Message.empty());
        previous = diagnostic.Line;
    }

    previous = 0;
    for (std::size_t i = 0; i < book.Entries.size(); ++i) {
        const TPhoneBookEntry& entry = book.Entries[i];
        FUZZ_CHECK(NameIsUsable(entry.Name));
        FUZZ_CHECK(entry.Line > previous && entry.Line <= lines);
        previous = entry.Line;
        // Names are unique ignoring case, so a look-up finds each entry itself.
        FUZZ_CHECK(FindPhoneBookEntry(book, entry.Name) == &entry);
        FUZZ_CHECK(entry.ConnectDelaySeconds <= kMaxConnectDelaySeconds);
        FUZZ_CHECK(entry.Check.empty() || entry.Interface.empty());
        FUZZ_CHECK(entry.Interface.size() <= 15 && entry.Interface.find('/') == std::string::npos);
        for (const std::string* value : {&entry.Dial, &entry.HangUp, &entry.Check, &entry.Interface,
                                         &entry.UserName, &entry.Password})
            FUZZ_CHECK(ValueIsOneLine(*value));
        FUZZ_CHECK(entry.PasswordStored || entry.Password.empty());
    }

    const TPhoneBook again = ParsePhoneBook(WriteOut(book));
    FUZZ_CHECK(again.Diagnostics.empty());
    FUZZ_CHECK(SameEntries(book, again));
    return 0;
}
