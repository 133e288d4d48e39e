#include "database/Journal.h"

#include "platform/CodePage.h"

namespace harbolt {

bool TextIsTrue(std::string_view text) {
    const std::string lower = AnsiLowerCase(text);
    return lower == "1" || lower == "ja" || lower == "j" || lower == "y" || lower == "yes" ||
           lower == "+";
}

void TJournal::SaveToStream(TMemoryStream& stream) const {
    stream.WriteInt32(kJournalId);
    stream.WriteInt32(kJournalVersion);
    stream.WriteInt32(JournalStart);
    stream.WriteInt32(JournalEnd);
    stream.WriteInt32(Complete ? 1 : 0);
    stream.WriteInt32(static_cast<std::int32_t>(Entries.size()));
    for (const TKeyValueObject& entry : Entries) {
        stream.WriteText(entry.Key);
        stream.WriteText(entry.Value);
    }
}

void TJournal::LoadFromStream(TMemoryStream& stream) {
    Entries.clear();
    if (stream.ReadInt32() != kJournalId)
        throw EDataBase("bad ID in Journal");
    if (stream.ReadInt32() != kJournalVersion)
        throw EDataBase("bad version in Journal");
    JournalStart = stream.ReadInt32();
    JournalEnd = stream.ReadInt32();
    Complete = (stream.ReadInt32() & 1) != 0;
    // Each entry takes at least its two length words.
    const std::int32_t count = stream.ReadCount(8);
    for (std::int32_t i = 0; i < count; ++i) {
        TKeyValueObject entry;
        entry.Key = stream.ReadText();
        entry.Value = stream.ReadText();
        Entries.push_back(std::move(entry));
    }
}

} // namespace harbolt
