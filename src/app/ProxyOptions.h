#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the proxy settings dialog reads and writes: this computer's proxy, DNS forwarder and
// dial-on-demand settings, all properties of the own computer. The dialog only shows them; every
// read and write goes through here, on the instance's main thread. Texts are UTF-8.
namespace harbolt {

class TInstance;

// One stored mapping: its index 0 to 99 and its text as stored.
struct TMappingLine {
    int Index = 0;
    std::string Text;
};

// The fields the dialog stores only on OK.
struct TProxyDialogFields {
    bool ProxyActive = false;
    bool AddressStored = false; // "ProxyServerAddress" is set (read only)
    std::string LocalHost;      // ProxyServerAddress = host ":" port
    std::string LocalPort;
    bool DialEnabled = false;
    std::string PhoneBookEntry;
    std::string Username;
    std::string Password; // in clear; stored scrambled
    std::string DisconnectAfter = "0";
    bool AskBeforeDialing = false;
    bool AskBeforeHangingUp = false;
    bool LogAll = false;
    bool DnsEnabled = false;
    bool DnsDial = false;
    std::string DnsServer;
};

// What the other computers would reach at an address typed as this computer's own.
struct TAddressReach {
    std::string LoopbackAddress;           // dotted; empty unless it reaches only this computer
    std::vector<std::string> LanAddresses; // this computer's other addresses, dotted
};

// Whether a port field holds a port: a decimal number from 1 to 65535.
bool IsPortNumber(std::string_view text);

class TProxyOptions {
public:
    explicit TProxyOptions(TInstance& instance) : Instance(instance) {}

    bool ProxyEnabled() const;
    // "ProxyEnabled" := "yes" or "no", at once.
    void SetProxyEnabled(bool enabled);
    bool DialEnabled() const;
    // "AutoDialEnabled" := "yes" or "no", at once.
    void SetDialEnabled(bool enabled);

    // The stored fields; the local address only when "ProxyServerAddress" is set, the disconnect
    // time "0" when it is empty.
    TProxyDialogFields Read() const;
    // OK: the address, a stop of the proxy services, the dial keys (all deleted but
    // "AutoDialEnabled" = "no" when dial on demand is off), the DNS keys, and the start again when
    // the proxy is active.
    void Apply(const TProxyDialogFields& fields);

    // The stored mappings in index order.
    std::vector<TMappingLine> Mappings() const;
    // Stores a mapping in place of the one shown as replacing, or at the lowest free index when
    // there is none or it has changed meanwhile (`ctl` may change mappings while a dialog shows
    // them); nullopt when all 100 are taken (nothing is stored).
    std::optional<int> StoreMapping(const std::optional<TMappingLine>& replacing,
                                    const std::string& text);
    // Deletes the mapping when it is still stored as shown; false otherwise.
    bool RemoveMapping(const TMappingLine& line);

    std::vector<std::string> PhoneBookEntries() const;
    std::string LocalHostName() const;
    // Looks up only dotted addresses and the own host name (which the hosts file holds; Debian
    // maps it to 127.0.1.1): a name server may be slow, and this runs at every keystroke.
    TAddressReach ReachOf(const std::string& host) const;

    // Whether this program's own dial holds the link ("Hangup now" rather than "Dial now").
    bool OwnDialConnected() const;
    // Hangs up the own dial, or requests a dial with the stored settings; at once.
    void DialNow();

private:
    std::string Get(const char* key) const;
    void Set(const std::string& key, const std::string& value);

    TInstance& Instance;
    mutable std::optional<std::string> HostName; // looked up once
};

} // namespace harbolt
