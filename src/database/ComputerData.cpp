#include "database/ComputerData.h"

#include "dialup/EventId.h"

#include <unordered_map>

namespace harbolt {

std::string OwnComputerName = "unknown";

std::string TComputerData::Name() const {
    TLock guard(Lock);
    return FName;
}

void TComputerData::SetName(std::string name) {
    TLock guard(Lock);
    FName = std::move(name);
}

bool TComputerData::IsOwn() const {
    TLock guard(Lock);
    return FIsOwn;
}

void TComputerData::SetOwn(bool own) {
    TLock guard(Lock);
    FIsOwn = own;
}

bool TComputerData::Modified() const {
    TLock guard(Lock);
    return FModified;
}

void TComputerData::SetModified(bool modified) {
    TLock guard(Lock);
    FModified = modified;
}

TSystemTime TComputerData::LastUpdate() const {
    TLock guard(Lock);
    return FLastUpdate;
}

bool TComputerData::IsEmpty() const {
    TLock guard(Lock);
    return FProperties.empty();
}

std::string TComputerData::GetProperty(std::string_view key) const {
    TLock guard(Lock);
    const auto it = FProperties.find(key);
    return it == FProperties.end() ? std::string() : it->second.Value;
}

void TComputerData::SetProperty(const std::string& key, const std::string& value) {
    TLock guard(Lock);
    const auto it = FProperties.find(key);
    if (it != FProperties.end()) {
        if (it->second.Value == value)
            return;
        if (value.empty())
            FProperties.erase(it);
        else
            it->second.Value = value;
    } else {
        if (value.empty())
            return;
        FProperties.emplace(key, TStringObject{value});
    }
    if (FIsOwn) {
        FJournal.Entries.push_back(TKeyValueObject{key, value});
        ++FJournal.JournalEnd;
        // A peer further behind than the property count gets a snapshot instead of the history.
        while (FProperties.size() < FJournal.Entries.size()) {
            FJournal.Entries.pop_front();
            ++FJournal.JournalStart;
        }
    }
    FModified = true;
}

void TComputerData::ClearProperties() {
    TLock guard(Lock);
    FProperties.clear();
    FModified = true;
}

void TComputerData::Reset() {
    TLock guard(Lock);
    ClearProperties();
    const bool complete = FJournal.Complete;
    FJournal = TJournal();
    FJournal.Complete = complete;
}

void TComputerData::Touch() {
    TLock guard(Lock);
    FLastUpdate = GetLocalTime();
}

std::int32_t TComputerData::GetJournalEnd() const {
    TLock guard(Lock);
    return FJournal.JournalEnd;
}

TJournal TComputerData::GetSnapshot() const {
    TLock guard(Lock);
    TJournal snapshot;
    for (const auto& [key, value] : FProperties)
        snapshot.Entries.push_back(TKeyValueObject{key, value.Value});
    snapshot.JournalStart = 0;
    snapshot.JournalEnd = FJournal.JournalEnd;
    snapshot.Complete = true;
    return snapshot;
}

TJournal TComputerData::GetJournalSince(std::int32_t start) const {
    TLock guard(Lock);
    if (start < FJournal.JournalStart)
        return GetSnapshot();
    TJournal since;
    // Entry i holds number JournalStart + i; compute in 64 bits so no start number overflows.
    const std::int64_t first = static_cast<std::int64_t>(start) - FJournal.JournalStart;
    for (std::int64_t i = first; i < static_cast<std::int64_t>(FJournal.Entries.size()); ++i)
        since.Entries.push_back(CopyEntry(FJournal.Entries[static_cast<std::size_t>(i)]));
    since.JournalStart = start;
    since.JournalEnd = FJournal.JournalEnd;
    since.Complete = false;
    return since;
}

void TComputerData::ApplyJournal(const TJournal& journal) {
    TLock guard(Lock);
    if (FIsOwn)
        throw EDataBase("internal error 0 in TComputerData.ApplyJournal");
    if (journal.JournalEnd < FJournal.JournalEnd)
        return;
    if (journal.Complete)
        ClearProperties();
    for (const TKeyValueObject& entry : journal.Entries)
        SetProperty(entry.Key, entry.Value);
    FJournal.JournalEnd = journal.JournalEnd;
    FJournal.JournalStart = journal.JournalEnd;
    Touch();
    if (!journal.Entries.empty())
        FModified = true;
}

void TComputerData::SaveToStream(TMemoryStream& stream) {
    TLock guard(Lock);
    stream.WriteInt32(kComputerDataId);
    stream.WriteInt32(kComputerDataVersion);
    const std::uint16_t time[8] = {
        FLastUpdate.Year, FLastUpdate.Month,  FLastUpdate.DayOfWeek, FLastUpdate.Day,
        FLastUpdate.Hour, FLastUpdate.Minute, FLastUpdate.Second,    FLastUpdate.Milliseconds};
    for (std::uint16_t field : time) {
        const unsigned char b[2] = {static_cast<unsigned char>(field),
                                    static_cast<unsigned char>(field >> 8)};
        stream.WriteBuffer(b, 2);
    }
    stream.WriteText(FName);
    stream.WriteInt32(FIsOwn ? 1 : 0);
    stream.WriteInt32(static_cast<std::int32_t>(FProperties.size()));
    for (const auto& [key, value] : FProperties) {
        stream.WriteText(key);
        stream.WriteText(value.Value);
    }
    FJournal.SaveToStream(stream);
    FModified = false;
}

void TComputerData::LoadFromStream(TMemoryStream& stream) {
    TLock guard(Lock);
    ClearProperties();
    FJournal.Entries.clear();
    if (stream.ReadInt32() != kComputerDataId)
        throw EDataBase("bad ID in ComputerData");
    const std::int32_t version = stream.ReadInt32();
    if (version > kComputerDataVersion)
        throw EDataBase("bad version in ComputerData");
    if (version >= 0x00010001) {
        unsigned char b[16];
        stream.ReadBuffer(b, 16);
        std::uint16_t f[8];
        for (int i = 0; i < 8; ++i)
            f[i] = static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8));
        FLastUpdate = TSystemTime{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
    }
    FName = stream.ReadText();
    stream.SetPlace("computer " + QuotedName(FName), "header");
    if (version >= 0x00010002)
        FIsOwn = stream.ReadInt32() != 0;
    else
        FIsOwn = SameTextAscii(FName, OwnComputerName);
    stream.SetSection("properties");
    // Each property takes at least its two length words.
    const std::int32_t count = stream.ReadCount(8);
    for (std::int32_t i = 0; i < count; ++i) {
        std::string key = stream.ReadText();
        // The dial-up records sort first; a damage among them is named so.
        stream.SetSection(IsEventID(key) ? "dial-up records" : "properties");
        std::string value = stream.ReadText();
        FProperties.emplace(std::move(key), TStringObject{std::move(value)});
    }
    stream.SetSection("journal");
    FJournal.LoadFromStream(stream);
    FModified = false;
}

void TComputerData::ListProperties(std::vector<std::string>& lines, bool showAll) const {
    TLock guard(Lock);
    std::vector<bool> current(lines.size(), false);
    // Lines compare without regard to letter case; index them once instead of scanning per key.
    std::unordered_map<std::string, std::size_t> shown;
    for (std::size_t i = 0; i < lines.size(); ++i)
        shown.emplace(AnsiLowerCase(lines[i]), i);
    for (const auto& [key, value] : FProperties) {
        if (!showAll && IsEventID(key))
            continue;
        std::string line = key + "=" + value.Value;
        const auto it = shown.find(AnsiLowerCase(line));
        if (it != shown.end()) {
            current[it->second] = true;
        } else {
            shown.emplace(AnsiLowerCase(line), lines.size());
            lines.push_back(std::move(line));
            current.push_back(true);
        }
    }
    for (std::size_t i = lines.size(); i-- > 0;)
        if (!current[i])
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
}

TComputerData::TPropertyList TComputerData::Properties() const {
    TLock guard(Lock);
    TPropertyList list;
    list.reserve(FProperties.size());
    for (const auto& [key, value] : FProperties)
        list.emplace_back(key, value.Value);
    return list;
}

TJournal TComputerData::Journal() const {
    TLock guard(Lock);
    return FJournal;
}

} // namespace harbolt
