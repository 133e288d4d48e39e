#pragma once

#include <string>
#include <string_view>

// The two text tables and the one-time language choice. Texts are UTF-8 here; a text is converted
// to Windows-1252 where it enters a property or the wire.
namespace harbolt {

enum class TLanguage { German, English };

constexpr int kTextCount = 118;

// Decides the language from the long name of March as the locale gives it (Windows-1252 bytes):
// German exactly when it is "März", byte for byte.
TLanguage LanguageForMonthName(std::string_view marchCp1252);

// Reads the locale (setlocale must have run) and sets the process-wide language once.
void ChooseLanguage();

// For start-up code and tests that know the language already.
void SetLanguage(TLanguage language);
TLanguage Language();

// The text of index 0..117 in the current language; indices outside the table give "".
const char* LanguageText(int index);
const char* LanguageText(int index, TLanguage language);

// printf-style formatting of a table text with "%s" and "%d" arguments.
std::string FormatText(int index, const std::string& a);
std::string FormatText(int index, const std::string& a, const std::string& b);
std::string FormatText(int index, const std::string& a, const std::string& b, const std::string& c);

} // namespace harbolt
