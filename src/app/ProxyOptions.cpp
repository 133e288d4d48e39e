#include "app/ProxyOptions.h"

#include "app/Instance.h"
#include "database/ComputerData.h"
#include "database/Journal.h"
#include "dialup/Dialer.h"
#include "net/SocketLayer.h"
#include "platform/CodePage.h"
#include "proxy/Mapping.h"
#include "proxy/ProxyServices.h"

#include <arpa/inet.h>
#include <charconv>

namespace harbolt {

namespace {

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

// For keys the dialog deletes rather than writing "no".
const char* YesOrDeleted(bool value) {
    return value ? "yes" : "";
}

} // namespace

bool IsPortNumber(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() && port >= 1 &&
           port <= 65535;
}

std::string TProxyOptions::Get(const char* key) const {
    return Instance.OwnComputer().GetProperty(key);
}

void TProxyOptions::Set(const std::string& key, const std::string& value) {
    Instance.OwnComputer().SetProperty(key, value);
}

bool TProxyOptions::ProxyEnabled() const {
    return TextIsTrue(Get("ProxyEnabled"));
}

void TProxyOptions::SetProxyEnabled(bool enabled) {
    Set("ProxyEnabled", YesNo(enabled));
}

bool TProxyOptions::DialEnabled() const {
    return TextIsTrue(Get("AutoDialEnabled"));
}

void TProxyOptions::SetDialEnabled(bool enabled) {
    Set("AutoDialEnabled", YesNo(enabled));
}

TProxyDialogFields TProxyOptions::Read() const {
    TProxyDialogFields fields;
    fields.ProxyActive = ProxyEnabled();
    const std::string address = Cp1252ToUtf8(Get("ProxyServerAddress"));
    fields.AddressStored = !address.empty();
    if (fields.AddressStored) {
        const std::size_t colon = address.find(':');
        fields.LocalHost = address.substr(0, colon);
        fields.LocalPort = colon == std::string::npos ? std::string() : address.substr(colon + 1);
    }
    fields.DialEnabled = DialEnabled();
    fields.PhoneBookEntry = Cp1252ToUtf8(Get("AutoDialPhoneBookEntry"));
    fields.Username = Cp1252ToUtf8(Get("AutoDialUsername"));
    fields.Password = Cp1252ToUtf8(ScramblePassword(Get("AutoDialPassword")));
    const std::string disconnect = Get("AutoDialDisconnectAfter");
    fields.DisconnectAfter = disconnect.empty() ? "0" : Cp1252ToUtf8(disconnect);
    fields.AskBeforeDialing = TextIsTrue(Get("AutoDialAskBeforeDialing"));
    fields.AskBeforeHangingUp = TextIsTrue(Get("AutoDialAskBeforeHangingUp"));
    fields.LogAll = TextIsTrue(Get("ProxyServerLogAll"));
    fields.DnsEnabled = TextIsTrue(Get("ProxyDnsServerEnabled"));
    fields.DnsDial = TextIsTrue(Get("ProxyDnsServerDial"));
    fields.DnsServer = Cp1252ToUtf8(Get("ProxyDnsServer"));
    return fields;
}

void TProxyOptions::Apply(const TProxyDialogFields& fields) {
    Set("ProxyServerAddress",
        fields.ProxyActive ? Utf8ToCp1252(fields.LocalHost + ":" + fields.LocalPort) : "");
    // The services read their settings only when they start.
    StopProxyServices();
    const auto dialKey = [&](const char* key, const std::string& value) {
        Set(key, fields.DialEnabled ? value : std::string());
    };
    Set("AutoDialEnabled", YesNo(fields.DialEnabled));
    dialKey("AutoDialPhoneBookEntry", Utf8ToCp1252(fields.PhoneBookEntry));
    dialKey("AutoDialUsername", Utf8ToCp1252(fields.Username));
    dialKey("AutoDialPassword", ScramblePassword(Utf8ToCp1252(fields.Password)));
    dialKey("AutoDialDisconnectAfter", Utf8ToCp1252(fields.DisconnectAfter));
    dialKey("AutoDialAskBeforeDialing", YesNo(fields.AskBeforeDialing));
    dialKey("AutoDialAskBeforeHangingUp", YesNo(fields.AskBeforeHangingUp));
    Set("ProxyDnsServerEnabled", YesOrDeleted(fields.DnsEnabled));
    Set("ProxyDnsServerDial", YesOrDeleted(fields.DnsDial));
    Set("ProxyDnsServer", Utf8ToCp1252(fields.DnsServer));
    Set("ProxyServerLogAll", YesOrDeleted(fields.LogAll));
    if (fields.ProxyActive)
        StartProxyServices();
}

std::vector<TMappingLine> TProxyOptions::Mappings() const {
    std::vector<TMappingLine> lines;
    for (int index = 0; index < kMappingCount; ++index) {
        const std::string text = Instance.OwnComputer().GetProperty(MappingKey(index));
        if (!text.empty())
            lines.push_back({index, Cp1252ToUtf8(text)});
    }
    return lines;
}

namespace {

bool StillStored(TInstance& instance, const TMappingLine& line) {
    return line.Index >= 0 && line.Index < kMappingCount &&
           Cp1252ToUtf8(instance.OwnComputer().GetProperty(MappingKey(line.Index))) == line.Text;
}

} // namespace

std::optional<int> TProxyOptions::StoreMapping(const std::optional<TMappingLine>& replacing,
                                               const std::string& text) {
    std::optional<int> index;
    if (replacing && StillStored(Instance, *replacing))
        index = replacing->Index;
    for (int free = 0; free < kMappingCount && !index; ++free)
        if (Instance.OwnComputer().GetProperty(MappingKey(free)).empty())
            index = free;
    if (!index)
        return std::nullopt;
    Set(MappingKey(*index), Utf8ToCp1252(text));
    return index;
}

bool TProxyOptions::RemoveMapping(const TMappingLine& line) {
    if (!StillStored(Instance, line))
        return false;
    Set(MappingKey(line.Index), "");
    return true;
}

std::vector<std::string> TProxyOptions::PhoneBookEntries() const {
    return Instance.PhoneBookEntries();
}

std::string TProxyOptions::LocalHostName() const {
    if (!HostName)
        HostName = Instance.LocalHostName();
    return *HostName;
}

TAddressReach TProxyOptions::ReachOf(const std::string& host) const {
    TAddressReach reach;
    in_addr dotted{};
    std::uint32_t address = kInaddrNone;
    if (inet_aton(host.c_str(), &dotted) != 0)
        address = dotted.s_addr;
    else if (!host.empty() && SameTextAscii(host, LocalHostName()))
        address = ResolveAddress(Utf8ToCp1252(host));
    if (address == kInaddrNone || !IsLoopbackAddress(address))
        return reach;
    reach.LoopbackAddress = AddressToDotted(address);
    for (const std::uint32_t other : LocalInterfaceAddresses())
        reach.LanAddresses.push_back(AddressToDotted(other));
    return reach;
}

bool TProxyOptions::OwnDialConnected() const {
    return Instance.Dialer().OwnDialConnected();
}

void TProxyOptions::DialNow() {
    if (OwnDialConnected())
        Instance.Dialer().HangUp();
    else
        Instance.Dialer().RequestDial();
}

} // namespace harbolt
