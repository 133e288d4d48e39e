#include "dialup/PhoneBook.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr std::string_view kWhitespace = " \t\r\f\v";
constexpr std::size_t kMaxInterfaceNameLength = 15; // IFNAMSIZ without its terminator

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

// Decimal digits only (no sign, no blanks), at most max.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool ValidInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxInterfaceNameLength || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F || c == '/';
    });
}

std::string Quoted(std::string_view utf8) {
    return "\"" + std::string(utf8) + "\"";
}

class TParser {
public:
    TPhoneBook Parse(std::string_view text) {
        // An editor's byte order mark is no part of the first line.
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        std::size_t lineNumber = 0;
        while (!text.empty()) {
            ++lineNumber;
            const auto end = text.find('\n');
            const std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            ParseLine(lineNumber, line);
        }
        return std::move(Book);
    }

private:
    enum class TSection { None, Entry, Skipped };

    void Report(std::size_t line, std::string message) {
        Book.Diagnostics.push_back({line, std::move(message)});
    }

    void ParseLine(std::size_t lineNumber, std::string_view raw) {
        if (raw.find('\0') != std::string_view::npos) {
            Report(lineNumber, "the line holds a NUL byte; it is ignored");
            return;
        }
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            return;
        if (line.front() == '[') {
            OpenSection(lineNumber, line);
            return;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            Report(lineNumber, "expected \"key = value\" or \"[Entry name]\"");
            return;
        }
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (Section == TSection::Skipped)
            return; // the section line was reported already
        if (Section == TSection::None) {
            Report(lineNumber, "\"" + std::string(key) + "\" outside of an [Entry name] section");
            return;
        }
        SetKey(lineNumber, AsciiLower(key), key, value);
    }

    void OpenSection(std::size_t lineNumber, std::string_view line) {
        Section = TSection::Skipped;
        if (line.back() != ']') {
            Report(lineNumber, "a section line must end with \"]\"; the section is ignored");
            return;
        }
        const std::string_view utf8Name = Trim(line.substr(1, line.size() - 2));
        const std::string name = Utf8ToCp1252(utf8Name);
        if (name.empty()) {
            Report(lineNumber, "empty entry name; the section is ignored");
            return;
        }
        if (HasControlCharacter(name)) {
            Report(lineNumber, "the entry name holds a control character; the section is ignored");
            return;
        }
        if (name.size() > kMaxEntryNameLength) {
            Report(lineNumber, "the entry name is longer than " +
                                   std::to_string(kMaxEntryNameLength) +
                                   " characters; the section is ignored");
            return;
        }
        if (const TPhoneBookEntry* first = FindPhoneBookEntry(Book, name)) {
            Report(lineNumber, "entry " + Quoted(utf8Name) + " is already defined in line " +
                                   std::to_string(first->Line) + "; this section is ignored");
            return;
        }
        if (Cp1252ToUtf8(name) != utf8Name)
            Report(lineNumber, "entry name " + Quoted(utf8Name) +
                                   " has characters outside Windows-1252 (or is not UTF-8); "
                                   "they read as \"?\"");
        TPhoneBookEntry entry;
        entry.Name = name;
        entry.Line = lineNumber;
        Book.Entries.push_back(std::move(entry));
        SeenKeys.clear();
        Section = TSection::Entry;
    }

    void SetKey(std::size_t lineNumber, const std::string& key, std::string_view writtenKey,
                std::string_view value) {
        TPhoneBookEntry& entry = Book.Entries.back();
        if (key.empty()) {
            Report(lineNumber, "a key is missing before \"=\"");
            return;
        }
        static const std::vector<std::string_view> known = {
            "dial", "hangup", "check", "interface", "connect-delay", "fail", "user", "password"};
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            Report(lineNumber, "unknown key " + Quoted(writtenKey));
            return;
        }
        const auto seen = SeenKeys.find(key);
        if (seen != SeenKeys.end()) {
            Report(lineNumber, Quoted(writtenKey) + " is given already in line " +
                                   std::to_string(seen->second) + "; the first one counts");
            return;
        }
        if ((key == "check" && SeenKeys.count("interface") > 0) ||
            (key == "interface" && SeenKeys.count("check") > 0)) {
            Report(lineNumber, "an entry has either check or interface, not both; this " +
                                   Quoted(writtenKey) + " is ignored");
            return;
        }

        if (key == "dial") {
            entry.Dial = value;
        } else if (key == "hangup") {
            entry.HangUp = value;
        } else if (key == "check") {
            entry.Check = value;
        } else if (key == "interface") {
            if (!ValidInterfaceName(value)) {
                Report(lineNumber, "interface " + Quoted(value) +
                                       " is no network interface name (1 to 15 characters, no "
                                       "blanks, no \"/\")");
                return;
            }
            entry.Interface = value;
        } else if (key == "connect-delay") {
            const auto seconds = ParseNumber(value, kMaxConnectDelaySeconds);
            if (!seconds) {
                Report(lineNumber, "connect-delay must be whole seconds from 0 to " +
                                       std::to_string(kMaxConnectDelaySeconds));
                return;
            }
            entry.ConnectDelaySeconds = *seconds;
        } else if (key == "fail") {
            const auto code = ParseNumber(value, std::numeric_limits<std::uint32_t>::max());
            if (!code || *code == 0) {
                Report(lineNumber, "fail must be an error code from 1 to 4294967295");
                return;
            }
            entry.FailCode = *code;
        } else if (key == "user") {
            entry.UserName = value;
        } else if (key == "password") {
            entry.Password = value;
            entry.PasswordStored = true;
        }
        SeenKeys.emplace(key, lineNumber);
    }

    TPhoneBook Book;
    TSection Section = TSection::None;
    std::map<std::string, std::size_t> SeenKeys; // key of the current section -> its line
};

} // namespace

TPhoneBook ParsePhoneBook(std::string_view text) {
    return TParser().Parse(text);
}

const TPhoneBookEntry* FindPhoneBookEntry(const TPhoneBook& book, std::string_view name) {
    for (const TPhoneBookEntry& entry : book.Entries)
        if (AnsiCompareText(entry.Name, name) == 0)
            return &entry;
    return nullptr;
}

std::optional<std::size_t> TPhoneBookFile::TSnapshot::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < Book.Entries.size(); ++i)
        if (AnsiCompareText(Book.Entries[i].Name, name) == 0)
            return i;
    return std::nullopt;
}

std::optional<std::size_t> TPhoneBookFile::TSnapshot::IndexOf(TRasHandle handle) const {
    const auto found = std::find(Handles.begin(), Handles.end(), handle);
    if (handle == 0 || found == Handles.end())
        return std::nullopt;
    return static_cast<std::size_t>(found - Handles.begin());
}

TPhoneBookFile::TPhoneBookFile(std::string path, TDiagnosticSink sink, TReview review,
                               std::string defaultEntry)
    : FilePath(std::move(path)), Sink(std::move(sink)), Review(std::move(review)),
      DefaultEntry(std::move(defaultEntry)) {}

TPhoneBookFile::TFileStamp TPhoneBookFile::Stamp() const {
    struct stat status {};
    TFileStamp stamp;
    if (stat(FilePath.c_str(), &status) != 0)
        return stamp;
    stamp.Exists = true;
    stamp.Device = status.st_dev;
    stamp.Inode = status.st_ino;
    stamp.Size = static_cast<unsigned long long>(status.st_size);
    stamp.Seconds = status.st_mtim.tv_sec;
    stamp.Nanoseconds = status.st_mtim.tv_nsec;
    return stamp;
}

TPhoneBook TPhoneBookFile::Read(std::vector<TPhoneBookDiagnostic>& fileDiagnostics) const {
    const int descriptor = open(FilePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno != ENOENT)
            fileDiagnostics.push_back({0, std::string("cannot read: ") + std::strerror(errno)});
        return {};
    }
    std::string text;
    char buffer[8192];
    bool failed = false;
    for (;;) {
        const ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fileDiagnostics.push_back({0, std::string("cannot read: ") + std::strerror(errno)});
            failed = true;
            break;
        }
        if (got == 0)
            break;
        if (text.size() + static_cast<std::size_t>(got) > kMaxPhoneBookSize) {
            fileDiagnostics.push_back(
                {0, "larger than " + std::to_string(kMaxPhoneBookSize) + " bytes; not read"});
            failed = true;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(descriptor);
    if (failed)
        return {};
    return ParsePhoneBook(text);
}

TRasHandle TPhoneBookFile::HandleFor(const std::string& name) {
    for (std::size_t i = 0; i < HandleNames.size(); ++i)
        if (AnsiCompareText(HandleNames[i], name) == 0)
            return i + 1;
    HandleNames.push_back(name);
    return HandleNames.size();
}

std::shared_ptr<const TPhoneBookFile::TSnapshot> TPhoneBookFile::Current() {
    const std::lock_guard<std::mutex> guard(Lock);
    const TFileStamp stamp = Stamp();
    if (Loaded && LoadedStamp == stamp)
        return Loaded;

    std::vector<TPhoneBookDiagnostic> diagnostics;
    auto snapshot = std::make_shared<TSnapshot>();
    snapshot->Book = Read(diagnostics);
    diagnostics.insert(diagnostics.end(), snapshot->Book.Diagnostics.begin(),
                       snapshot->Book.Diagnostics.end());
    if (Review)
        Review(snapshot->Book, diagnostics);
    if (snapshot->Book.Entries.empty() && !DefaultEntry.empty()) {
        TPhoneBookEntry entry;
        entry.Name = DefaultEntry;
        snapshot->Book.Entries.push_back(std::move(entry));
    }
    for (const TPhoneBookEntry& entry : snapshot->Book.Entries)
        snapshot->Handles.push_back(HandleFor(entry.Name));
    if (Sink)
        for (const TPhoneBookDiagnostic& diagnostic : diagnostics)
            Sink(FilePath + ":" +
                 (diagnostic.Line > 0 ? std::to_string(diagnostic.Line) + ":" : "") + " " +
                 diagnostic.Message);

    LoadedStamp = stamp;
    Loaded = std::move(snapshot);
    return Loaded;
}

void WriteDiagnosticLine(const std::string& line) {
    std::fprintf(stderr, "harbolt: %s\n", line.c_str());
}

std::vector<std::string> TPhoneBookFile::EntryNames() {
    std::vector<std::string> names;
    for (const TPhoneBookEntry& entry : Current()->Book.Entries)
        names.push_back(entry.Name);
    return names;
}

bool TPhoneBookFile::StoredCredentials(const std::string& entry, std::string& userName,
                                       std::string& password, bool& passwordStored) {
    const auto book = Current();
    const auto index = book->IndexOf(entry);
    if (!index)
        return false;
    const TPhoneBookEntry& found = book->Book.Entries[*index];
    userName = Utf8ToCp1252(found.UserName);
    password = Utf8ToCp1252(found.Password);
    passwordStored = found.PasswordStored;
    return true;
}

} // namespace harbolt
