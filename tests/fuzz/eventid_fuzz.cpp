// Record keys and values arrive from peers and from the data file; whatever they hold, reading
// them must neither crash nor give answers that disagree with what the writers produce.
#include "dialup/EventId.h"

#include "platform/Exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using namespace harbolt;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool HasUsualSeparators(std::string_view key) {
    return key[5] == '-' && key[8] == '-' && key[11] == '/' && key[14] == ':' && key[17] == '.';
}

void CheckKey(std::string_view text) {
    if (!IsEventID(text)) {
        try {
            StringToEventID(text);
            Check(false);
        } catch (const EConvertError&) {
        }
        return;
    }
    Check(text.size() == 20 || text.size() == 25);
    const TEventID id = StringToEventID(text);
    const std::string again = EventIDToString(id);
    Check(IsEventID(again));
    Check(StringToEventID(again) == id);
    // A key written the usual way comes back byte for byte (a serial of 0000 is written short).
    if (HasUsualSeparators(text) && (text.size() == 20 || id.Serial > 0))
        Check(again == text);
}

void CheckRecord(std::string_view text) {
    TConnectionRecord record;
    try {
        record = ParseConnectionRecord(text);
    } catch (const EConvertError&) {
        return;
    }
    if (!record.Recognised) {
        Check(record.Name.empty() && record.DurationMs == 0);
        return;
    }
    Check(record.Name.size() <= text.size());
    Check(record.DurationMs % 1000 == 0);
    const auto seconds = static_cast<std::int32_t>(record.DurationMs / 1000);
    std::string rebuilt;
    switch (record.Kind) {
    case TConnectionRecordKind::New:
        Check(record.DurationMs == 0);
        rebuilt = NewConnectionRecord(record.Name);
        break;
    case TConnectionRecordKind::Online:
        rebuilt = OnlineRecord(record.Name, seconds);
        break;
    case TConnectionRecordKind::Dropped:
        rebuilt = DroppedRecord(record.Name, seconds);
        break;
    }
    // What the monitor would write for the same connection reads back the same.
    const TConnectionRecord reread = ParseConnectionRecord(rebuilt);
    Check(reread.Recognised && reread.Kind == record.Kind && reread.Name == record.Name &&
          reread.DurationMs == record.DurationMs);
}

void CheckDuration(const std::uint8_t* data, std::size_t size) {
    std::int32_t minutes = 0;
    if (size > 0)
        std::memcpy(&minutes, data, size < sizeof minutes ? size : sizeof minutes);
    const std::string text = DurationText(minutes);
    Check(text.empty() == (minutes <= 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckKey(text);
    CheckRecord(text);
    CheckDuration(data, size);
    return 0;
}
