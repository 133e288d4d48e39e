#include "proxy/ProxyServices.h"

#include "database/Database.h"
#include "database/Journal.h"
#include "platform/CodePage.h"
#include "proxy/AccessRule.h"
#include "proxy/DnsForwarder.h"
#include "proxy/FtpProxy.h"
#include "proxy/Mapping.h"
#include "proxy/ProxyState.h"

#include <chrono>
#include <iostream>
#include <thread>

namespace harbolt {

namespace {

std::atomic<bool> Running{false};

std::shared_ptr<TAccessRule> AccessRuleFromSettings() {
    const std::string text = GetComputerProperty(OwnComputerName, "ProxyAllowedNetworks");
    if (text.empty())
        return std::make_shared<TAccessRule>();
    std::vector<std::string> errors;
    std::vector<TNetworkBlock> blocks = ParseNetworkList(text, &errors);
    for (const std::string& error : errors)
        std::cerr << "harbolt: ProxyAllowedNetworks: '" << Cp1252ToUtf8(error)
                  << "' is not an IPv4 network (a.b.c.d/n); ignored\n";
    if (blocks.empty())
        std::cerr << "harbolt: ProxyAllowedNetworks names no network; only this computer may "
                     "use its proxy ports\n";
    return std::make_shared<TAccessRule>(std::move(blocks));
}

} // namespace

void StartProxyServices() {
    RenewProxyStop(); // the threads of this run watch a stop of their own
    ResetOnlineAddressTime();
    SetMaxSessions(ParseMaxSessions(GetComputerProperty(OwnComputerName, "ProxyMaxSessions")));
    ProxyLogAll = TextIsTrue(GetComputerProperty(OwnComputerName, "ProxyServerLogAll"));
    SetProxyAccessRule(AccessRuleFromSettings());
    const std::string serverAddress = GetComputerProperty(OwnComputerName, "ProxyServerAddress");
    const std::string defaultHost = serverAddress.substr(0, serverAddress.find(':'));
    for (int index = 0; index < kMappingCount; ++index) {
        const std::string text = GetComputerProperty(OwnComputerName, MappingKey(index));
        if (!text.empty())
            StartClientListener(ParseMappingText(index, defaultHost, text));
    }
    StartServerListener(serverAddress);
    if (TextIsTrue(GetComputerProperty(OwnComputerName, "ProxyDnsServerEnabled")))
        StartDnsForwarders();
    Running = true;
}

void StopProxyServices() {
    // The raised stop stays with the threads of this run, which took it when they began: a
    // session that wakes up later still ends. Whoever asks from now on (a mail check waiting
    // for a dial while the proxy is off) gets a new one that no stop of the past concerns.
    RaiseProxyStop();
    while (!RegistryEmpty())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RenewProxyStop();
    Running = false;
}

bool ProxyServicesRunning() {
    return Running;
}

TProxyStatus ProxyStatus() {
    TProxyStatus status;
    status.Running = Running;
    status.Listeners = RegisteredListeners();
    const TOnlineAddress online = OnlineAddressState();
    status.OnlineAddress = online.Address;
    if (online.Time != 0)
        status.OnlineAddressAge = TicksSince(online.Time, ProxyClock().Now());
    status.Refused = RefusedConnections();
    status.LoopsRefused = LoopsRefused();
    status.OverCap = SessionsOverCap();
    status.FtpDataRefused = FtpDataRefused();
    status.DnsAnswersDropped = DnsAnswersDropped();
    status.OverShare = SessionsOverShare();
    if (const auto rule = ProxyAccessRule()) {
        status.NetworksConfigured = rule->Configured();
        for (const TNetworkBlock& block : rule->Blocks())
            status.AllowedNetworks.push_back(block.Text());
    }
    return status;
}

} // namespace harbolt
