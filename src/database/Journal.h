#pragma once

#include "database/Stream.h"
#include "platform/Exceptions.h"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace harbolt {

// Every format error of the database streams.
class EDataBase : public Exception {
public:
    using Exception::Exception;
};

// Opens the journal stream, every announcement datagram and every sync request.
constexpr std::int32_t kJournalId = 0x27021977;
constexpr std::int32_t kJournalVersion = 0x00010000;

// The one rule for boolean property values: "1", "ja", "j", "y", "yes" or "+", any case.
bool TextIsTrue(std::string_view text);

// A property value as attached to a key.
struct TStringObject {
    std::string Value;
};

// One journal entry, or one property in transit. An empty value means the key was deleted.
struct TKeyValueObject {
    std::string Key;
    std::string Value;

    bool operator==(const TKeyValueObject&) const = default;
};

inline TKeyValueObject CopyEntry(const TKeyValueObject& entry) {
    return entry;
}

// Numbered property changes of one computer. Entry i has the number JournalStart + i; a complete
// journal is a snapshot of all properties, which a receiver applies after deleting its own.
class TJournal {
public:
    std::deque<TKeyValueObject> Entries;
    std::int32_t JournalStart = 0;
    std::int32_t JournalEnd = 0;
    bool Complete = false;

    std::size_t Count() const { return Entries.size(); }

    void SaveToStream(TMemoryStream& stream) const;
    // Drops the held entries, then reads; raises EDataBase or EReadError. On failure the journal
    // keeps what was read so far.
    void LoadFromStream(TMemoryStream& stream);
};

} // namespace harbolt
