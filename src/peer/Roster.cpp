#include "peer/Roster.h"

#include "database/Database.h"
#include "platform/CodePage.h"
#include "platform/Languages.h"

#include <algorithm>

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

const std::pair<std::string, TInfo>* TRoster::OnlineComputer() const {
    for (const auto& entry : FEntries)
        if (entry.second.Online)
            return &entry;
    return nullptr;
}

bool IsOwnTimeMaster() {
    return TextIsTrue(GetComputerProperty(OwnComputerName, "Zeitmeister")) ||
           TextIsTrue(GetComputerProperty(OwnComputerName, "Timemaster"));
}

TPeerProtocol::TPeerProtocol(const TTickClock& clock, TTimeSetter& timeSetter, TRosterView& view,
                             TPeerLinks links)
    : Clock(clock), TimeSetter(timeSetter), View(view), Links(std::move(links)) {}

void TPeerProtocol::FillFromDatabase() {
    if (TheDatabase == nullptr)
        return;
    std::vector<std::string> names;
    TheDatabase->GetNames(names);
    const std::uint32_t now = Clock.Now();
    for (const std::string& name : names) {
        TInfo info;
        // Not heard yet: the first ageing pass must not take them for alive.
        info.LastSeen = now - kRosterTimeoutMs - 1;
        info.LastOnline = now;
        Roster.Add(DisplayName(name), info);
        View.AddTab(DisplayName(name));
    }
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
        return;
    }
    TInfo info;
    info.LastSeen = now;
    info.LastOnline = now;
    info.Alive = true;
    Roster.Add(name, info);
    View.AddTab(name);
    View.RefreshConnectionList();
}

void TPeerProtocol::DataInfo(const TAnnouncement& announcement) {
    if (TheDatabase == nullptr)
        return;
    TComputerData& computer = TheDatabase->FindComputer(announcement.Name);
    if (computer.GetJournalEnd() >= announcement.JournalEnd) {
        computer.Touch();
        return;
    }
    if (computer.UpdateRunning)
        return;
    computer.UpdateRunning = true;
    if (Links.StartUpdatingSession)
        Links.StartUpdatingSession(announcement.SyncAddress, announcement.Name);
}

void TPeerProtocol::Time(const TAnnouncement& announcement) {
    if (SameTextAscii(announcement.Name, OwnComputerName) || TheDatabase == nullptr)
        return;
    TComputerData& own = TheDatabase->FindComputer(OwnComputerName);
    if (!TextIsTrue(own.GetProperty("Zeitmeister")) && !TextIsTrue(own.GetProperty("Timemaster"))) {
        TimeSetter.SetLocalTime(announcement.Time);
        return;
    }
    // Two time masters: this one gives way and says to whom.
    own.SetProperty("Zeitmeister", "");
    own.SetProperty("Timemaster", Utf8ToCp1252(FormatText(15, Cp1252ToUtf8(announcement.Name))));
}

void TPeerProtocol::Online(const TAnnouncement& announcement) {
    const std::string name = DisplayName(announcement.Name);
    TInfo* info = Roster.Find(name);
    if (info == nullptr)
        return;
    const std::uint32_t now = Clock.Now();
    info->Online = true;
    info->LastOnline = now;
    info->LastSeen = now;
    info->ConnectionName = announcement.ConnectionName;
    info->Changed = true;
    info->Alive = true;
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
            info.Alive = false;
            if (info.Online) {
                info.Online = false;
                info.Changed = true;
                RefreshOnlineState();
            }
        } else {
            info.Alive = true;
            if (info.Online && TicksSince(info.LastOnline, now) > kRosterTimeoutMs) {
                info.Online = false;
                info.Changed = true;
                RefreshOnlineState();
            }
        }
    }
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
        own->Online = online;
        own->ConnectionName = online ? connectionName : std::string();
    }
    OnlineStateRefreshed = false;
    ReceiveTimerProc();
    if (!OnlineStateRefreshed)
        RefreshOnlineState();
}

} // namespace harbolt
