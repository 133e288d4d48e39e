#include "peer/Roster.h"

#include "database/Database.h"
#include "peer/Sync.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "platform/Languages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>

namespace harbolt {

std::string DisplayName(std::string_view name) {
    std::string shown(name);
    for (std::size_t i = 1; i < shown.size(); ++i)
        if (shown[i] >= 'A' && shown[i] <= 'Z')
            shown[i] = static_cast<char>(shown[i] + ('a' - 'A'));
    return shown;
}

namespace {
auto Position(std::vector<std::pair<std::string, TInfo>>& entries, std::string_view name) {
    return std::lower_bound(entries.begin(), entries.end(), name,
                            [](const std::pair<std::string, TInfo>& entry, std::string_view key) {
                                return AnsiCompareText(entry.first, key) < 0;
                            });
}
} // namespace

TInfo* TRoster::Find(std::string_view name) {
    const auto it = Position(FEntries, name);
    return it != FEntries.end() && AnsiCompareText(it->first, name) == 0 ? &it->second : nullptr;
}

const TInfo* TRoster::Find(std::string_view name) const {
    return const_cast<TRoster*>(this)->Find(name);
}

TInfo& TRoster::Add(const std::string& name, const TInfo& info) {
    auto it = Position(FEntries, name);
    if (it != FEntries.end() && AnsiCompareText(it->first, name) == 0)
        return it->second;
    return FEntries.insert(it, {name, info})->second;
}

bool TRoster::Remove(std::string_view name) {
    const auto it = Position(FEntries, name);
    if (it == FEntries.end() || AnsiCompareText(it->first, name) != 0)
        return false;
    FEntries.erase(it);
    return true;
}

const std::pair<std::string, TInfo>* TRoster::OnlineComputer() const {
    for (const auto& entry : FEntries)
        if (entry.second.Online)
            return &entry;
    return nullptr;
}

namespace {

// Names of the database entries that hold properties. Looking up one by one through FindComputer
// would create the entries that are missing.
std::set<std::string, AnsiCaseLess> NamesWithData() {
    std::set<std::string, AnsiCaseLess> names;
    const std::lock_guard<std::recursive_mutex> guard(DatabaseLock);
    if (TheDatabase == nullptr)
        return names;
    for (const TComputerData* entry = TheDatabase->First.get(); entry != nullptr;
         entry = entry->Next.get())
        if (!entry->IsEmpty())
            names.insert(entry->Name());
    return names;
}

bool IsOwnName(std::string_view name) {
    return AnsiCompareText(name, DisplayName(OwnComputerName)) == 0;
}

// The own computer's presence comes back to it all the time: only the others join and leave.
void SetAlive(TEventRateLimit& lines, const std::string& name, TInfo& info, bool alive) {
    if (info.Alive != alive && !IsOwnName(name))
        lines.Log(TEventLevel::Info,
                  "computer " + Cp1252ToUtf8(name) + (alive ? " is alive" : " is gone"));
    info.Alive = alive;
}

void SetOnline(TEventRateLimit& lines, const std::string& name, TInfo& info, bool online,
               const std::string& connection) {
    if (online && (!info.Online || !SameTextAscii(info.ConnectionName, connection)))
        lines.Log(TEventLevel::Info, "computer " + Cp1252ToUtf8(name) + " is online using \"" +
                                         Cp1252ToUtf8(connection) + "\"");
    else if (!online && info.Online)
        lines.Log(TEventLevel::Info, "computer " + Cp1252ToUtf8(name) + " is offline");
    info.Online = online;
}

// Seconds between two local times; a time mktime cannot place counts as far off.
double SecondsApart(const TSystemTime& a, const TSystemTime& b) {
    std::tm ta = ToTm(a);
    std::tm tb = ToTm(b);
    const std::time_t sa = std::mktime(&ta);
    const std::time_t sb = std::mktime(&tb);
    if (sa == static_cast<std::time_t>(-1) || sb == static_cast<std::time_t>(-1))
        return HUGE_VAL;
    return std::fabs(std::difftime(sa, sb));
}

// Alive, or heard since the last ageing pass.
bool AliveNow(const TInfo& info, std::uint32_t now) {
    return info.Alive || TicksSince(info.LastSeen, now) <= kRosterTimeoutMs;
}

} // namespace

bool IsOwnTimeMaster() {
    return TextIsTrue(GetComputerProperty(OwnComputerName, "Zeitmeister")) ||
           TextIsTrue(GetComputerProperty(OwnComputerName, "Timemaster"));
}

TPeerProtocol::TPeerProtocol(const TTickClock& clock, TTimeSetter& timeSetter, TRosterView& view,
                             TPeerLinks links)
    : Clock(clock), TimeSetter(timeSetter), View(view), Links(std::move(links)),
      EventLines(clock, kRosterLinesPerMinute, "lines about computers") {}

void TPeerProtocol::FillFromDatabase() {
    if (TheDatabase == nullptr)
        return;
    std::vector<std::string> names;
    TheDatabase->GetNames(names);
    // Beyond the limit the own computer and those with data come first.
    const auto withData = NamesWithData();
    std::stable_partition(names.begin(), names.end(), [&withData](const std::string& name) {
        return SameTextAscii(name, OwnComputerName) || withData.count(name) != 0;
    });
    std::stable_partition(names.begin(), names.end(), [](const std::string& name) {
        return SameTextAscii(name, OwnComputerName);
    });
    const std::uint32_t now = Clock.Now();
    for (const std::string& name : names) {
        const std::string shown = DisplayName(name);
        if (Roster.Find(shown) != nullptr)
            continue;
        if (Roster.Entries().size() >= kRosterLimit) {
            ++IgnoredNames;
            continue;
        }
        TInfo info;
        // Not heard yet: the first ageing pass must not take them for alive.
        info.LastSeen = now - kRosterTimeoutMs - 1;
        info.LastOnline = now;
        Roster.Add(shown, info);
        View.AddTab(shown);
    }
    ReportIgnoredNames();
}

TInfo* TPeerProtocol::AddBounded(const std::string& name, const TInfo& info) {
    if (Roster.Entries().size() >= kRosterLimit && !DropOneEntry()) {
        ++IgnoredNames;
        ReportIgnoredNames();
        return nullptr;
    }
    return &Roster.Add(name, info);
}

// Only an entry that is not alive and holds no data goes, never the own computer; those never
// alive in this run first, then the longest unheard.
bool TPeerProtocol::DropOneEntry() {
    const std::uint32_t now = Clock.Now();
    if (!DropCandidatesFresh || DropCandidatesJournals != AppliedJournalCount()) {
        DropCandidatesFresh = true;
        DropCandidatesJournals = AppliedJournalCount();
        DropCandidates.clear();
        const auto withData = NamesWithData();
        std::vector<const std::pair<std::string, TInfo>*> found;
        for (const auto& entry : Roster.Entries())
            if (!AliveNow(entry.second, now) && !IsOwnName(entry.first) &&
                withData.count(entry.first) == 0)
                found.push_back(&entry);
        // Best last.
        std::sort(found.begin(), found.end(), [now](const auto* a, const auto* b) {
            if (a->second.EverAlive != b->second.EverAlive)
                return a->second.EverAlive;
            return TicksSince(a->second.LastSeen, now) < TicksSince(b->second.LastSeen, now);
        });
        for (const auto* entry : found)
            DropCandidates.push_back(entry->first);
    }
    while (!DropCandidates.empty()) {
        const std::string name = std::move(DropCandidates.back());
        DropCandidates.pop_back();
        const TInfo* info = Roster.Find(name);
        if (info == nullptr || AliveNow(*info, now))
            continue;
        Roster.Remove(name);
        View.RemoveTab(name);
        return true;
    }
    return false;
}

void TPeerProtocol::ReportIgnoredNames() {
    if (IgnoredNames == 0)
        return;
    const std::uint32_t now = Clock.Now();
    if (IgnoredReported && TicksSince(LastIgnoredReport, now) < kRosterFullReportMs)
        return;
    std::fprintf(stderr,
                 "harbolt: the list of computers is full (%zu); %zu new name(s) ignored since "
                 "the last report\n",
                 kRosterLimit, IgnoredNames);
    IgnoredNames = 0;
    IgnoredReported = true;
    LastIgnoredReport = now;
}

void TPeerProtocol::Send(const TDatagram& datagram) {
    if (Links.SendDatagram)
        Links.SendDatagram(datagram);
}

void TPeerProtocol::FrequentSendTimerProc() {
    Send(PresenceDatagram(OwnComputerName));
    const std::string connection = Links.ActiveConnectionName ? Links.ActiveConnectionName() : "";
    if (!connection.empty())
        Send(OnlineDatagram(OwnComputerName, connection));
}

void TPeerProtocol::OccasionalSendTimerProc() {
    TComputerData* own =
        TheDatabase != nullptr ? &TheDatabase->FindComputer(OwnComputerName) : nullptr;
    if (own == nullptr)
        return;
    Send(DataInfoDatagram(OwnComputerName, own->GetJournalEnd(),
                          own->GetProperty("ProxyServerAddress")));
    if (IsOwnTimeMaster())
        Send(TimeDatagram(OwnComputerName, GetLocalTime()));
}

void TPeerProtocol::ReceiveTimerProc() {
    TIncomingDatagram incoming;
    while (TakeIncomingDatagram(incoming))
        Dispatch(incoming);
    Age();
    View.RefreshStatusLine();
}

void TPeerProtocol::Dispatch(const TIncomingDatagram& incoming) {
    const TAnnouncement announcement = ParseAnnouncement(incoming);
    switch (announcement.Type) {
    case kPresenceDatagram:
        Presence(announcement);
        break;
    case kDataInfoDatagram:
        DataInfo(announcement);
        break;
    case kTimeDatagram:
        Time(announcement);
        break;
    case kOnlineDatagram:
        Online(announcement);
        break;
    default:
        break; // unknown types come from newer peers; nothing to do
    }
}

void TPeerProtocol::Presence(const TAnnouncement& announcement) {
    const std::string name = DisplayName(announcement.Name);
    const std::uint32_t now = Clock.Now();
    if (TInfo* info = Roster.Find(name)) {
        info->LastSeen = now;
        info->Heard = true;
        return;
    }
    TInfo info;
    info.LastSeen = now;
    info.LastOnline = now;
    info.Heard = true;
    info.EverAlive = true;
    TInfo* added = AddBounded(name, info);
    if (added == nullptr)
        return;
    SetAlive(EventLines, name, *added, true);
    View.AddTab(name);
    View.RefreshConnectionList();
}

void TPeerProtocol::DataInfo(const TAnnouncement& announcement) {
    if (TheDatabase == nullptr)
        return;
    // Anyone can send a data info. Only a computer that announces its presence is asked for its
    // journal, and only then does it get a database entry.
    const TInfo* info = Roster.Find(DisplayName(announcement.Name));
    if (info == nullptr || !info->Heard)
        return;
    TComputerData& computer = TheDatabase->FindComputer(announcement.Name);
    if (computer.GetJournalEnd() >= announcement.JournalEnd) {
        computer.Touch();
        return;
    }
    if (computer.UpdateRunning.exchange(true))
        return;
    if (Links.StartUpdatingSession)
        Links.StartUpdatingSession(announcement.SyncAddress, announcement.Name);
}

void TPeerProtocol::Time(const TAnnouncement& announcement) {
    if (SameTextAscii(announcement.Name, OwnComputerName) || TheDatabase == nullptr)
        return;
    const std::lock_guard lock(DatabaseLock);
    // Any host on the LAN can send a time datagram: only a computer whose own data, as it has
    // reached us, makes it time master may set the clock or unseat a master here.
    if (!KnownTimeMaster(announcement.Name)) {
        // Once per sender in a row, and within the roster's lines a minute: a stream of names
        // must not flood the log.
        if (!SameTextAscii(announcement.Name, LastIgnoredTime))
            EventLines.Log(TEventLevel::Warning,
                           "ignored the time sent by " + Cp1252ToUtf8(announcement.Name) +
                               ": its data here does not make it time master");
        LastIgnoredTime = announcement.Name;
        return;
    }
    TComputerData& own = TheDatabase->FindComputer(OwnComputerName);
    if (!TextIsTrue(own.GetProperty("Zeitmeister")) && !TextIsTrue(own.GetProperty("Timemaster"))) {
        NoteTimeSetting(announcement);
        TimeSetter.SetLocalTime(announcement.Time);
        return;
    }
    // Two time masters: this one gives way and says to whom.
    own.SetProperty("Zeitmeister", "");
    own.SetProperty("Timemaster", Utf8ToCp1252(FormatText(15, Cp1252ToUtf8(announcement.Name))));
}

bool TPeerProtocol::KnownTimeMaster(const std::string& name) const {
    std::vector<std::string> names;
    TheDatabase->GetNames(names); // looked up, not made: an unknown sender gets no entry
    for (const std::string& known : names) {
        if (!SameTextAscii(known, name))
            continue;
        const TComputerData& computer = TheDatabase->FindComputer(known);
        return TextIsTrue(computer.GetProperty("Zeitmeister")) ||
               TextIsTrue(computer.GetProperty("Timemaster"));
    }
    return false;
}

void TPeerProtocol::NoteTimeSetting(const TAnnouncement& announcement) {
    // The master sends its time every second: a line when a master takes over, and when the
    // clock was far off (once, until it is right again: a clock that cannot be set stays off).
    constexpr double kFarOff = 60;
    const bool farOff = SecondsApart(GetLocalTime(), announcement.Time) > kFarOff;
    const bool newMaster = !SameTextAscii(announcement.Name, LastTimeMaster);
    if (newMaster || (farOff && !FarOffReported))
        LogEvent(TEventLevel::Info, "time master " + Cp1252ToUtf8(announcement.Name) +
                                        ": setting the clock to " +
                                        SystemTimeText(announcement.Time));
    LastTimeMaster = announcement.Name;
    FarOffReported = farOff;
}

void TPeerProtocol::Online(const TAnnouncement& announcement) {
    const std::string name = DisplayName(announcement.Name);
    TInfo* info = Roster.Find(name);
    if (info == nullptr)
        return;
    const std::uint32_t now = Clock.Now();
    SetOnline(EventLines, name, *info, true, announcement.ConnectionName);
    info->LastOnline = now;
    info->LastSeen = now;
    info->ConnectionName = announcement.ConnectionName;
    info->Changed = true;
    SetAlive(EventLines, name, *info, true);
    info->EverAlive = true;
    if (Links.OnlineAddressFresh && Links.OnlineAddressFresh())
        return;
    if (Links.SetOnlineProxyAddress)
        // By the name as sent: looking it up may create the entry, which keeps that spelling.
        Links.SetOnlineProxyAddress(GetComputerProperty(announcement.Name, "ProxyServerAddress"));
}

void TPeerProtocol::RefreshOnlineState() {
    OnlineStateRefreshed = true;
    View.RefreshOnlineState();
}

void TPeerProtocol::Age() {
    const std::uint32_t now = Clock.Now();
    for (auto& [name, info] : Roster.Entries()) {
        if (TicksSince(info.LastSeen, now) > kRosterTimeoutMs) {
            SetAlive(EventLines, name, info, false);
            if (info.Online) {
                SetOnline(EventLines, name, info, false, {});
                info.Changed = true;
                RefreshOnlineState();
            }
        } else {
            SetAlive(EventLines, name, info, true);
            info.EverAlive = true;
            if (info.Online && TicksSince(info.LastOnline, now) > kRosterTimeoutMs) {
                SetOnline(EventLines, name, info, false, {});
                info.Changed = true;
                RefreshOnlineState();
            }
        }
    }
    // Entries that lapsed may make room now.
    DropCandidatesFresh = false;
    EventLines.Tick();
    ReportIgnoredNames();
}

void TPeerProtocol::RefreshChangedEntries() {
    for (const auto& entry : Roster.Entries())
        if (entry.second.Changed)
            RefreshOnlineState();
}

void TPeerProtocol::OnlineStateMessage(bool online, const std::string& connectionName) {
    ReceiveTimerProc();
    TInfo* own = Roster.Find(DisplayName(OwnComputerName));
    if (own != nullptr) {
        const std::uint32_t now = Clock.Now();
        own->LastSeen = now;
        own->LastOnline = now;
        SetOnline(EventLines, DisplayName(OwnComputerName), *own, online, connectionName);
        own->ConnectionName = online ? connectionName : std::string();
    }
    OnlineStateRefreshed = false;
    ReceiveTimerProc();
    if (!OnlineStateRefreshed)
        RefreshOnlineState();
}

} // namespace harbolt
