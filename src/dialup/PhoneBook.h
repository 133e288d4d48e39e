#pragma once

#include "dialup/RasBackend.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// phonebook.conf: the dial-up entries of this computer, one section per entry.
//
//     # comment            ; comment too (whole lines only: commands may hold # and ;)
//     [Entry name]
//     dial = pon provider
//     hangup = poff provider
//     interface = ppp0     (or: check = a command whose exit status 0 means connected)
//
// The file is UTF-8; entry names become Windows-1252 like every name the program handles.
namespace harbolt {

// Longest entry name the enumeration of connections has room for.
constexpr std::size_t kMaxEntryNameLength = 256;
// Longest connect-delay the simulated line accepts.
constexpr std::uint32_t kMaxConnectDelaySeconds = 3600;
// A larger file is no phone book; it is reported and read as empty.
constexpr std::size_t kMaxPhoneBookSize = 1024 * 1024;

struct TPhoneBookEntry {
    std::string Name;     // Windows-1252
    std::size_t Line = 0; // line of its [section] header
    std::string Dial;     // shell commands, as written in the file
    std::string HangUp;
    std::string Check;
    std::string Interface; // network interface that is up while connected
    std::uint32_t ConnectDelaySeconds = 1;
    std::uint32_t FailCode = 0; // 0: a simulated dial succeeds
    std::string UserName;       // stored credentials, as written in the file (UTF-8)
    std::string Password;
    bool PasswordStored = false; // the entry has a password key
};

struct TPhoneBookDiagnostic {
    std::size_t Line = 0; // 1-based; 0 for the file as a whole
    std::string Message;  // UTF-8

    bool operator==(const TPhoneBookDiagnostic&) const = default;
};

struct TPhoneBook {
    std::vector<TPhoneBookEntry> Entries; // file order, names unique ignoring case
    std::vector<TPhoneBookDiagnostic> Diagnostics;
};

// Never throws; whatever is wrong with a line is a diagnostic and the line is left out.
TPhoneBook ParsePhoneBook(std::string_view text);

// The entry of that name (Windows-1252, ignoring case), or nullptr.
const TPhoneBookEntry* FindPhoneBookEntry(const TPhoneBook& book, std::string_view name);

// The phone book as a backend sees it: the file read at the first use and read again whenever it
// changes (time stamp, size or identity), so edits take effect without a restart. Each reading
// reports its diagnostics once through the sink. Handles stay the same per entry name for the
// whole run, also across readings. Thread-safe.
class TPhoneBookFile {
public:
    // One finished diagnostic line, "PATH:LINE: message".
    using TDiagnosticSink = std::function<void(const std::string& line)>;
    // Further diagnostics of a backend about a parsed book.
    using TReview = std::function<void(const TPhoneBook&, std::vector<TPhoneBookDiagnostic>&)>;

    struct TSnapshot {
        TPhoneBook Book;
        std::vector<TRasHandle> Handles; // Handles[i] belongs to Book.Entries[i]

        // Index into Book.Entries, or nullopt.
        std::optional<std::size_t> IndexOf(std::string_view name) const;
        std::optional<std::size_t> IndexOf(TRasHandle handle) const;
    };

    // defaultEntry: when non-empty, the name of an entry (with default settings) that stands in
    // when the file has none.
    TPhoneBookFile(std::string path, TDiagnosticSink sink, TReview review = {},
                   std::string defaultEntry = {});

    const std::string& Path() const { return FilePath; }

    // The current book, read again first when the file changed.
    std::shared_ptr<const TSnapshot> Current();

    // What both backends answer alike: the entry names, and an entry's stored credentials
    // (Windows-1252; false for an unknown entry).
    std::vector<std::string> EntryNames();
    bool StoredCredentials(const std::string& entry, std::string& userName, std::string& password,
                           bool& passwordStored);

private:
    struct TFileStamp {
        bool Exists = false;
        unsigned long long Device = 0, Inode = 0, Size = 0;
        long long Seconds = 0, Nanoseconds = 0;
        bool operator==(const TFileStamp&) const = default;
    };

    TFileStamp Stamp() const;
    TPhoneBook Read(std::vector<TPhoneBookDiagnostic>& fileDiagnostics) const;
    TRasHandle HandleFor(const std::string& name);

    const std::string FilePath;
    const TDiagnosticSink Sink;
    const TReview Review;
    const std::string DefaultEntry;

    std::mutex Lock; // guards everything below
    std::optional<TFileStamp> LoadedStamp;
    std::shared_ptr<const TSnapshot> Loaded;
    std::vector<std::string> HandleNames; // HandleNames[h - 1] got handle h
};

// The diagnostic sink of the program: standard error.
void WriteDiagnosticLine(const std::string& line);

} // namespace harbolt
