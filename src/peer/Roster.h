#pragma once

#include "peer/Datagram.h"
#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/TimeSetter.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace harbolt {

// A computer is alive while its presence datagrams arrive, online while its online datagrams do;
// both lapse after this long without one.
constexpr std::uint32_t kRosterTimeoutMs = 10000;

// One computer known to this instance.
struct TInfo {
    std::uint32_t LastSeen = 0;
    bool Online = false;
    std::uint32_t LastOnline = 0;
    std::string ConnectionName;
    bool Changed = true;
    bool Alive = false;
    // A presence datagram of this name came in this run (entries read from the database at
    // start-up have not been heard). Only heard computers are asked for their journals.
    bool Heard = false;
    // Alive at some time in this run.
    bool EverAlive = false;
};

// Computers the roster holds at most: a flood of invented names must not grow it without end.
constexpr std::size_t kRosterLimit = 1024;
// Names ignored because the roster was full are reported at most this often.
constexpr std::uint32_t kRosterFullReportMs = 60000;

// Lines about computers (alive, gone, online, offline) at most this many a minute: anyone on the
// LAN can announce invented names.
constexpr std::size_t kRosterLinesPerMinute = 30;

// The name as its tab shows it: first character kept, every further letter A-Z lowered.
std::string DisplayName(std::string_view name);

// Computer names in sorted order (case-insensitive, duplicates ignored), each with its TInfo.
// TPeerProtocol keeps it within kRosterLimit by dropping entries nobody needs.
class TRoster {
public:
    TInfo* Find(std::string_view name);
    const TInfo* Find(std::string_view name) const;
    // Adds name when no entry of that name exists; returns the entry either way.
    TInfo& Add(const std::string& name, const TInfo& info);
    // Removes the entry of that name; false when there is none.
    bool Remove(std::string_view name);
    // The first entry, in roster order, that is online; nullptr when none is.
    const std::pair<std::string, TInfo>* OnlineComputer() const;

    std::vector<std::pair<std::string, TInfo>>& Entries() { return FEntries; }
    const std::vector<std::pair<std::string, TInfo>>& Entries() const { return FEntries; }

private:
    std::vector<std::pair<std::string, TInfo>> FEntries;
};

// What the main window does when the roster changes; the headless instance leaves most of it
// empty, the GUI draws.
class TRosterView {
public:
    virtual ~TRosterView() = default;
    virtual void RefreshOnlineState() {}
    virtual void RefreshStatusLine() {}
    virtual void RefreshConnectionList() {}
    // A computer announced itself for the first time; its tab goes at the end of the row.
    virtual void AddTab(const std::string& displayName) { (void)displayName; }
    // The roster dropped a computer to make room; its tab goes.
    virtual void RemoveTab(const std::string& displayName) { (void)displayName; }
};

// Links to subsystems that come later or live elsewhere; each may stay empty.
struct TPeerLinks {
    // Queues a datagram for broadcasting (the listening thread also hands it back to us).
    std::function<void(const TDatagram&)> SendDatagram;
    // Name of the own active dial-up connection; empty when there is none.
    std::function<std::string()> ActiveConnectionName;
    // A heard computer announced a journal end beyond what we hold: fetch its journal from
    // syncAddress. UpdateRunning of its entry is already set; the session clears it (also when
    // none can start, so that the next data info tries again).
    std::function<void(const std::string& syncAddress, const std::string& computer)>
        StartUpdatingSession;
    // The online computer's proxy address, handed to the proxy core; OnlineAddressFresh tells
    // whether it was handed over less than 1001 ms ago.
    std::function<void(const std::string& proxyAddress)> SetOnlineProxyAddress;
    std::function<bool()> OnlineAddressFresh;
};

// The announcements this instance sends and how it reads those of every computer (its own
// included, which come back through the incoming queue). Main thread only.
class TPeerProtocol {
public:
    TPeerProtocol(const TTickClock& clock, TTimeSetter& timeSetter, TRosterView& view,
                  TPeerLinks links);

    // Start-up: one entry per computer of the database, not alive and offline (within
    // kRosterLimit like every other entry).
    void FillFromDatabase();

    // Presence every 333 ms; online datagram too while a dial-up connection is up.
    void FrequentSendTimerProc();
    // Data info every 1000 ms; the time too when the own computer is a time master.
    void OccasionalSendTimerProc();
    // Every 1000 ms: drain the incoming queue, age the roster, refresh the status line.
    void ReceiveTimerProc();
    // Every 5000 ms: re-evaluate the online display for changed entries.
    void RefreshChangedEntries();
    // The own computer went online (or offline) by its own dial.
    void OnlineStateMessage(bool online, const std::string& connectionName);

    // Handles one element of the incoming queue.
    void Dispatch(const TIncomingDatagram& incoming);

    TRoster Roster;

private:
    void Presence(const TAnnouncement& announcement);
    void DataInfo(const TAnnouncement& announcement);
    void Time(const TAnnouncement& announcement);
    void Online(const TAnnouncement& announcement);
    // The events line of a time master's setting, when it tells something new.
    void NoteTimeSetting(const TAnnouncement& announcement);
    // Whether the computer of that name is known here and its data makes it time master.
    bool KnownTimeMaster(const std::string& name) const;
    void Age();
    void RefreshOnlineState();
    void Send(const TDatagram& datagram);
    // Adds a new name, first dropping an entry when the roster is full; nullptr (and the name
    // counted as ignored) when no entry may be dropped.
    TInfo* AddBounded(const std::string& name, const TInfo& info);
    bool DropOneEntry();
    // At most one line a minute on standard error; ageing also reports what the last ones left.
    void ReportIgnoredNames();

    const TTickClock& Clock;
    TTimeSetter& TimeSetter;
    TRosterView& View;
    TPeerLinks Links;
    bool OnlineStateRefreshed = false;
    TEventRateLimit EventLines;
    std::string LastTimeMaster; // whose time was set last
    bool FarOffReported = false;
    std::string LastIgnoredTime; // whose time datagram was ignored last (said once per sender)

    // Entries that may be dropped, best last; rebuilt after each ageing pass (only ageing makes
    // an entry droppable) and after a journal was applied (a copy may have gained data). Each is
    // checked again for life when its turn comes.
    std::vector<std::string> DropCandidates;
    bool DropCandidatesFresh = false;
    std::uint64_t DropCandidatesJournals = 0;
    // Names ignored since the last report, and when that report was made.
    std::size_t IgnoredNames = 0;
    bool IgnoredReported = false;
    std::uint32_t LastIgnoredReport = 0;
};

// Whether the own computer is a time master ("Zeitmeister" or "Timemaster" true).
bool IsOwnTimeMaster();

} // namespace harbolt
