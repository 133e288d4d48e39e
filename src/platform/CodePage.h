#pragma once

#include <string>
#include <string_view>

// Every text on the wire and in the data files is a Windows-1252 byte string; everything shown to
// a person is UTF-8. These convert between the two.
namespace harbolt {

// Bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D have no character in Windows-1252; they map to the C1
// control of the same number so that a round trip keeps every byte.
std::string Cp1252ToUtf8(std::string_view cp1252);

// Characters without a Windows-1252 byte become '?'; malformed UTF-8 sequences become '?' too.
std::string Utf8ToCp1252(std::string_view utf8);

// The system's locale-aware lower-casing of an ANSI text: A-Z and the accented capitals.
char AnsiLowerChar(char c);
std::string AnsiLowerCase(std::string_view text);

// Case-insensitive comparison of ANSI texts (property keys): <0, 0 or >0.
int AnsiCompareText(std::string_view a, std::string_view b);

// The text without the blanks and tabs at its ends.
std::string_view TrimBlanks(std::string_view text);

// The value of a hexadecimal digit in either case; -1 for any other character.
int HexDigitValue(char c);

// ASCII-only case-insensitive equality (computer names).
bool SameTextAscii(std::string_view a, std::string_view b);

struct AnsiCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        return AnsiCompareText(a, b) < 0;
    }
};

} // namespace harbolt
