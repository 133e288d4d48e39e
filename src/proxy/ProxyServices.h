#pragma once

#include "proxy/Listeners.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Start and stop of all proxy listeners, from the own computer's settings.
namespace harbolt {

// Reads the settings once ("ProxyServerAddress", the mappings, "ProxyServerLogAll",
// "ProxyAllowedNetworks", "ProxyDnsServerEnabled", "ProxyMaxSessions") and starts a new run
// (CurrentProxyStop) with a listener per mapping, the server
// listener and, when enabled, the DNS forwarders on port 53. Problems with
// "ProxyAllowedNetworks" are reported on standard error. Main thread.
void StartProxyServices();
// Raises the run's stop and returns once every listener has left the registry. Sessions are not
// waited for; they end when they see the stop. Main thread.
void StopProxyServices();
bool ProxyServicesRunning();

struct TProxyStatus {
    bool Running = false;
    std::vector<TListenerInfo> Listeners;
    std::string OnlineAddress;                     // empty: nobody announced yet
    std::optional<std::uint32_t> OnlineAddressAge; // milliseconds since it was announced
    std::uint64_t Refused = 0;                     // connections the access rule closed
    std::uint64_t LoopsRefused = 0;           // tunnels to one of the own listening ports, not made
    std::uint64_t OverCap = 0;                // connections closed because of "ProxyMaxSessions"
    std::uint64_t FtpDataRefused = 0;         // FTP data connections refused (FtpDataRefused())
    std::uint64_t DnsAnswersDropped = 0;      // forged or stray DNS answers (UDP forwarder)
    std::uint64_t OverShare = 0;              // closed: their source had its share running
    bool NetworksConfigured = false;          // "ProxyAllowedNetworks" in use
    std::vector<std::string> AllowedNetworks; // "a.b.c.d/n"
};
TProxyStatus ProxyStatus();

} // namespace harbolt
