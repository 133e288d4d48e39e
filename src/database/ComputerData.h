#pragma once

#include "database/Journal.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace harbolt {

// The own computer's network name; set once at start-up before any thread runs.
extern std::string OwnComputerName;

constexpr std::int32_t kComputerDataId = 0x00270277;
constexpr std::int32_t kComputerDataVersion = 0x00010002;

// One computer's name, properties and journal. Only the own computer's properties are set by
// local code; every other entry is a copy brought up to date by applying that computer's journal.
// Every operation holds the entry's lock for its whole run.
class TComputerData {
public:
    using TPropertyList = std::vector<std::pair<std::string, std::string>>;

    TComputerData() = default;
    TComputerData(const TComputerData&) = delete;
    TComputerData& operator=(const TComputerData&) = delete;

    std::string Name() const;
    void SetName(std::string name);
    bool IsOwn() const;
    void SetOwn(bool own);
    bool Modified() const;
    void SetModified(bool modified);
    TSystemTime LastUpdate() const;

    bool IsEmpty() const;
    std::string GetProperty(std::string_view key) const;
    void SetProperty(const std::string& key, const std::string& value);
    void ClearProperties();
    void Reset();
    void Touch();
    std::int32_t GetJournalEnd() const;
    TJournal GetSnapshot() const;
    TJournal GetJournalSince(std::int32_t start) const;
    void ApplyJournal(const TJournal& journal);

    void LoadFromStream(TMemoryStream& stream);
    // Both end with the entry unmodified.
    void SaveToStream(TMemoryStream& stream);

    // Keeps a display list current without rebuilding it: lines of "key=value" in key order,
    // dial-up record keys only when showAll is set. Lines already shown stay where they are.
    void ListProperties(std::vector<std::string>& lines, bool showAll) const;

    // Copies for display and inspection.
    TPropertyList Properties() const;
    TJournal Journal() const;

    // Next entry of the database's chain; linked once under the database lock.
    std::unique_ptr<TComputerData> Next;

    // A sync session for this computer runs; set by the main thread, cleared by the session.
    std::atomic<bool> UpdateRunning{false};

    // Re-entrant: operations that call each other hold it once more.
    mutable std::recursive_mutex Lock;

private:
    using TLock = std::lock_guard<std::recursive_mutex>;

    std::string FName;
    std::map<std::string, TStringObject, AnsiCaseLess> FProperties;
    TJournal FJournal;
    bool FIsOwn = true;
    bool FModified = false;
    TSystemTime FLastUpdate;
};

} // namespace harbolt
