#pragma once

#include "platform/Clock.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Event IDs (the keys of dial-up records) and the values of the records. Keys and values are
// Windows-1252 texts, stored as properties of the own computer and replicated to every peer, so
// their formats must not change.
namespace harbolt {

// A moment in local time plus a serial that tells apart the IDs made within one second.
struct TEventID {
    std::int32_t Year = 0;
    std::int32_t Month = 0;
    std::int32_t Day = 0;
    std::int32_t Hour = 0;
    std::int32_t Minute = 0;
    std::int32_t Second = 0;
    std::int32_t Serial = 0;

    bool operator==(const TEventID&) const = default;
};

// The last ID handed out; read and written only under EventIDLock.
extern TEventID LastEventID;
extern std::mutex EventIDLock;

// A fresh ID for the current local time: Serial 0 for the first ID of a second, then 1, 2, 3...
TEventID NewEventID();
// The same for a given local time; NewEventID passes GetLocalTime. Shares LastEventID with it.
TEventID NewEventIDAt(const TSystemTime& now);

// "$YYYY-MM-DD/hh:mm.ss" (20 characters), with "#nnnn" appended when Serial is above 0.
std::string EventIDToString(const TEventID& id);

// Whether a text has the form of an event ID, so that record keys can be told from settings.
// Safe on any text.
bool IsEventID(std::string_view text);

// Raises EConvertError "Error in StringToEventID" when IsEventID is false.
TEventID StringToEventID(std::string_view text);

enum class TConnectionRecordKind { New, Online, Dropped };

struct TConnectionRecord {
    bool Recognised = false;
    TConnectionRecordKind Kind = TConnectionRecordKind::New;
    std::string Name;
    // Milliseconds; 64 bits, since an Online record of a connection up for weeks holds more
    // seconds than 32-bit milliseconds can count.
    std::int64_t DurationMs = 0;
};

// The three record values the monitor writes.
std::string NewConnectionRecord(std::string_view name);
std::string OnlineRecord(std::string_view name, std::int32_t seconds);
std::string DroppedRecord(std::string_view name, std::int32_t seconds);

// Reads a record value back. Values that start with none of the three markers are not recognised;
// a recognised Online or Dropped value whose seconds are no integer raises EConvertError.
TConnectionRecord ParseConnectionRecord(std::string_view value);

// Why a dial on demand happened, kept as a record of its own under an event-ID key: "!Dial
// Cause! " and who asked for what ("10.0.0.5 HTTP PROXY www.example.com:80"). It is none of the
// three connection records, so the statistics and older peers pass over it. Control characters
// become '?' and the text is cut at kMaxDialCauseLength bytes: it may carry names from the
// network.
constexpr std::size_t kMaxDialCauseLength = 200;
std::string DialCauseRecord(std::string_view cause);
// The cause as such a record keeps it: cut, control characters made '?'. Also what a request
// line may carry of it.
std::string DialCauseText(std::string_view cause);
// The cause of such a record; nullopt for any other value.
std::optional<std::string> ParseDialCause(std::string_view value);

// Minutes as "2 h, 5 min"; 60 stays "60 min", 0 gives "". The units are the same in both languages.
std::string DurationText(int minutes);

} // namespace harbolt
