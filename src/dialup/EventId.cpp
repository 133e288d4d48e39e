#include "dialup/EventId.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <cstdio>

namespace harbolt {

TEventID LastEventID;
std::mutex EventIDLock;

namespace {

constexpr std::string_view kNewMarker = "!New Connection!";
constexpr std::string_view kOnlineMarker = "!Online!";
constexpr std::string_view kDroppedMarker = "!Connection Dropped!";
constexpr std::string_view kDialCauseMarker = "!Dial Cause! ";
constexpr std::string_view kSince = " since ";
constexpr std::string_view kAfter = " after ";
constexpr std::string_view kSeconds = " seconds";

// Offsets of the name after the marker and its blank.
constexpr std::size_t kNewNameStart = kNewMarker.size() + 1;
constexpr std::size_t kOnlineNameStart = kOnlineMarker.size() + 1;
constexpr std::size_t kDroppedNameStart = kDroppedMarker.size() + 1;
// Names of New records have always been cut here; keep it so every peer reads the same name.
constexpr std::size_t kMaxNewNameLength = 1000;

constexpr std::size_t kShortIdLength = 20;
constexpr std::size_t kLongIdLength = 25;
constexpr std::size_t kSerialMarkOffset = 20;

struct TField {
    std::size_t Offset;
    std::size_t Width;
    std::int32_t Min;
    std::int32_t Max;
};

// Year, month, day, hour, minute, second. The ranges are deliberately loose (hour 24, second 60):
// they only have to tell record keys from other keys.
constexpr TField kDateTimeFields[6] = {
    {1, 4, 1980, 2200}, {6, 2, 1, 12},  {9, 2, 1, 31},
    {12, 2, 0, 24},     {15, 2, 0, 60}, {18, 2, 0, 60},
};
constexpr TField kSerialField = {21, 4, 0, 9999};

// A field reads only when it lies wholly inside the text and consists of decimal digits alone.
// Keys are always written zero-padded, so a sign ("+1", "-0") or a blank (" 1") never comes from
// a key we made; accepting them would let such a key sort out of time order among real ones.
bool ReadField(std::string_view text, const TField& field, std::int32_t& value) {
    if (field.Offset + field.Width > text.size())
        return false;
    std::int32_t result = 0;
    for (char c : text.substr(field.Offset, field.Width)) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    if (result < field.Min || result > field.Max)
        return false;
    value = result;
    return true;
}

bool HasSerial(std::string_view text) {
    return text.size() > kSerialMarkOffset && text[kSerialMarkOffset] == '#';
}

// The part of value from offset on, or "" when the value is shorter.
std::string_view Tail(std::string_view value, std::size_t offset) {
    return offset < value.size() ? value.substr(offset) : std::string_view();
}

// Online and Dropped values: "<marker> <name><separator><seconds> seconds". The name is cut at the
// last separator, not the first: a connection name may itself contain " since " or " after ",
// while the number that follows the real separator cannot.
TConnectionRecord ReadTimedRecord(std::string_view value, TConnectionRecordKind kind,
                                  std::size_t nameStart, std::string_view separator) {
    TConnectionRecord record;
    record.Recognised = true;
    record.Kind = kind;
    std::string_view secondsText;
    const std::size_t separatorAt = value.rfind(separator);
    if (separatorAt != std::string_view::npos) {
        if (separatorAt > nameStart)
            record.Name = std::string(value.substr(nameStart, separatorAt - nameStart));
        const std::size_t secondsStart = separatorAt + separator.size();
        const std::size_t secondsEnd = value.find(kSeconds, secondsStart);
        if (secondsEnd != std::string_view::npos)
            secondsText = value.substr(secondsStart, secondsEnd - secondsStart);
    }
    // A missing separator or unit leaves the seconds text empty, which fails to convert like any
    // other bad number.
    record.DurationMs = static_cast<std::int64_t>(StrToInt(secondsText)) * 1000;
    return record;
}

} // namespace

TEventID NewEventIDAt(const TSystemTime& now) {
    TEventID id;
    id.Year = now.Year;
    id.Month = now.Month;
    id.Day = now.Day;
    id.Hour = now.Hour;
    id.Minute = now.Minute;
    id.Second = now.Second;
    const std::lock_guard<std::mutex> lock(EventIDLock);
    if (id.Year == LastEventID.Year && id.Month == LastEventID.Month && id.Day == LastEventID.Day &&
        id.Hour == LastEventID.Hour && id.Minute == LastEventID.Minute &&
        id.Second == LastEventID.Second) {
        id.Serial = ++LastEventID.Serial;
    } else {
        LastEventID = id;
    }
    return id;
}

TEventID NewEventID() {
    return NewEventIDAt(GetLocalTime());
}

std::string EventIDToString(const TEventID& id) {
    // Wide enough for seven 32-bit values of any sign.
    char buffer[128];
    int length = std::snprintf(buffer, sizeof buffer, "$%.4d-%.2d-%.2d/%.2d:%.2d.%.2d", id.Year,
                               id.Month, id.Day, id.Hour, id.Minute, id.Second);
    std::string text(buffer, static_cast<std::size_t>(length));
    if (id.Serial > 0) {
        length = std::snprintf(buffer, sizeof buffer, "#%.4d", id.Serial);
        text.append(buffer, static_cast<std::size_t>(length));
    }
    return text;
}

bool IsEventID(std::string_view text) {
    if (text.empty() || text.front() != '$')
        return false;
    std::int32_t value = 0;
    for (const TField& field : kDateTimeFields)
        if (!ReadField(text, field, value))
            return false;
    if (text.size() <= kShortIdLength)
        return true;
    return HasSerial(text) && text.size() == kLongIdLength && ReadField(text, kSerialField, value);
}

TEventID StringToEventID(std::string_view text) {
    if (!IsEventID(text))
        throw EConvertError("Error in StringToEventID");
    TEventID id;
    std::int32_t* const targets[6] = {&id.Year, &id.Month,  &id.Day,
                                      &id.Hour, &id.Minute, &id.Second};
    for (std::size_t i = 0; i < 6; ++i)
        ReadField(text, kDateTimeFields[i], *targets[i]);
    if (HasSerial(text))
        ReadField(text, kSerialField, id.Serial);
    return id;
}

std::string NewConnectionRecord(std::string_view name) {
    std::string value(kNewMarker);
    value += ' ';
    value += name;
    return value;
}

std::string OnlineRecord(std::string_view name, std::int32_t seconds) {
    std::string value(kOnlineMarker);
    value += ' ';
    value += name;
    value += kSince;
    value += std::to_string(seconds);
    value += kSeconds;
    return value;
}

std::string DroppedRecord(std::string_view name, std::int32_t seconds) {
    std::string value(kDroppedMarker);
    value += ' ';
    value += name;
    value += kAfter;
    value += std::to_string(seconds);
    value += kSeconds;
    return value;
}

TConnectionRecord ParseConnectionRecord(std::string_view value) {
    if (value.starts_with(kNewMarker)) {
        TConnectionRecord record;
        record.Recognised = true;
        record.Kind = TConnectionRecordKind::New;
        record.Name = std::string(Tail(value, kNewNameStart).substr(0, kMaxNewNameLength));
        return record;
    }
    if (value.starts_with(kOnlineMarker))
        return ReadTimedRecord(value, TConnectionRecordKind::Online, kOnlineNameStart, kSince);
    if (value.starts_with(kDroppedMarker))
        return ReadTimedRecord(value, TConnectionRecordKind::Dropped, kDroppedNameStart, kAfter);
    return {};
}

std::string DialCauseText(std::string_view cause) {
    std::string text;
    for (const char c : cause.substr(0, kMaxDialCauseLength))
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return text;
}

std::string DialCauseRecord(std::string_view cause) {
    return std::string(kDialCauseMarker) + DialCauseText(cause);
}

std::optional<std::string> ParseDialCause(std::string_view value) {
    if (!value.starts_with(kDialCauseMarker))
        return std::nullopt;
    return std::string(value.substr(kDialCauseMarker.size()));
}

std::string DurationText(int minutes) {
    std::string text;
    if (minutes > 60) {
        text = std::to_string(minutes / 60) + " h";
        minutes %= 60;
    }
    if (minutes > 0) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(minutes) + " min";
    }
    return text;
}

} // namespace harbolt
