#include "proxy/AccessRule.h"

#include "database/Database.h"
#include "net/SocketLayer.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "proxy/ProxyState.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <charconv>
#include <memory>

namespace harbolt {

namespace {

constexpr TNetworkBlock kLoopback{0x7F000000u, 0xFF000000u};

std::uint32_t MaskOfLength(int length) {
    return length == 0 ? 0u : ~0u << (32 - length);
}

std::string HostOf(const std::string& endpoint) {
    return endpoint.substr(0, endpoint.find(':'));
}

std::mutex RuleLock;
std::shared_ptr<TAccessRule> Rule;
std::atomic<std::uint64_t> Refused{0};

// Never destroyed: listener threads may still refuse a connection while the program ends.
TEventRateLimit& RefusedLines() {
    static TEventRateLimit* const limit =
        new TEventRateLimit(FollowingProxyClock(), kRefusedLinesPerMinute, "refused connections");
    return *limit;
}

} // namespace

std::string TNetworkBlock::Text() const {
    in_addr address{htonl(Address)};
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    int length = 0;
    for (std::uint32_t m = Mask; m != 0; m <<= 1)
        ++length;
    return std::string(dotted) + "/" + std::to_string(length);
}

std::optional<TNetworkBlock> ParseNetworkBlock(std::string_view text) {
    text = TrimBlanks(text);
    int length = 32;
    const std::size_t slash = text.find('/');
    std::string_view host = text.substr(0, slash);
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 2)
            return std::nullopt;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (error != std::errc() || end != digits.data() + digits.size() || length < 0 ||
            length > 32)
            return std::nullopt;
    }
    // inet_pton takes only the four dotted decimal parts, each 0 to 255.
    const std::string hostText(host);
    in_addr address{};
    if (hostText.empty() || inet_pton(AF_INET, hostText.c_str(), &address) != 1)
        return std::nullopt;
    const std::uint32_t mask = MaskOfLength(length);
    return TNetworkBlock{ntohl(address.s_addr) & mask, mask};
}

std::vector<TNetworkBlock> ParseNetworkList(std::string_view text,
                                            std::vector<std::string>* errors) {
    std::vector<TNetworkBlock> blocks;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = TrimBlanks(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty())
            continue;
        if (const auto block = ParseNetworkBlock(item))
            blocks.push_back(*block);
        else if (errors != nullptr)
            errors->emplace_back(item);
    }
    return blocks;
}

bool AdmitsEverything(const std::vector<TNetworkBlock>& blocks) {
    for (const TNetworkBlock& block : blocks)
        if (block.Mask == 0)
            return true;
    return false;
}

std::vector<TInterfaceAddress> MachineInterfaces() {
    std::vector<TInterfaceAddress> interfaces;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
            entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
        interfaces.push_back({entry->ifa_name != nullptr ? entry->ifa_name : "",
                              ntohl(address->sin_addr.s_addr), ntohl(mask->sin_addr.s_addr),
                              entry->ifa_flags});
    }
    freeifaddrs(list);
    return interfaces;
}

std::vector<TNetworkBlock> AnnounceNetworks(std::uint32_t host,
                                            const std::vector<TInterfaceAddress>& interfaces) {
    const auto device = [](const std::string& name) { return name.substr(0, name.find(':')); };
    std::string holder;
    for (const TInterfaceAddress& entry : interfaces)
        if (entry.Address == host && (entry.Flags & IFF_UP) != 0)
            holder = device(entry.Name);
    std::vector<TNetworkBlock> blocks;
    if (holder.empty())
        return blocks;
    for (const TInterfaceAddress& entry : interfaces) {
        if ((entry.Flags & IFF_UP) == 0 || device(entry.Name) != holder)
            continue;
        const TNetworkBlock block{entry.Address & entry.Netmask, entry.Netmask};
        if (std::find(blocks.begin(), blocks.end(), block) == blocks.end())
            blocks.push_back(block);
    }
    return blocks;
}

TAccessRule::TAccessRule()
    : TAccessRule(HostOf(GetComputerProperty(OwnComputerName, "ProxyServerAddress")),
                  MachineInterfaces) {}

TAccessRule::TAccessRule(const std::string& announceHost, TInterfaceList interfaces)
    : FConfigured(false), FInterfaces(std::move(interfaces)), FBlocks{kLoopback} {
    // A name is looked up once, as the listeners do when they bind it.
    const std::uint32_t address = announceHost.empty() ? kInaddrNone : ResolveAddress(announceHost);
    if (address != kInaddrNone)
        FHost = ntohl(address);
    ReadInterfaces();
}

TAccessRule::TAccessRule(std::vector<TNetworkBlock> configured)
    : FConfigured(true), FBlocks(std::move(configured)) {
    FBlocks.insert(FBlocks.begin(), kLoopback);
}

void TAccessRule::ReadInterfaces() {
    if (FHost == 0 || !FInterfaces)
        return; // nothing to find: loopback only
    std::vector<TNetworkBlock> blocks = AnnounceNetworks(FHost, FInterfaces());
    // Announcing on loopback finds loopback's own block: list it once.
    std::erase(blocks, kLoopback);
    blocks.insert(blocks.begin(), kLoopback);
    const std::lock_guard lock(FLock);
    FBlocks = std::move(blocks);
}

bool TAccessRule::Contains(std::uint32_t address) const {
    const std::lock_guard lock(FLock);
    for (const TNetworkBlock& block : FBlocks)
        if (block.Contains(address))
            return true;
    return false;
}

bool TAccessRule::Admits(const sockaddr_in& peer) {
    if (peer.sin_family != AF_INET)
        return false;
    const std::uint32_t address = ntohl(peer.sin_addr.s_addr);
    if (Contains(address))
        return true;
    if (FConfigured)
        return false;
    // The interface may have come up, or got its address, since the rule was made.
    ReadInterfaces();
    return Contains(address);
}

std::vector<TNetworkBlock> TAccessRule::Blocks() const {
    const std::lock_guard lock(FLock);
    return FBlocks;
}

void SetProxyAccessRule(std::shared_ptr<TAccessRule> rule) {
    const std::lock_guard lock(RuleLock);
    Rule = std::move(rule);
}

std::shared_ptr<TAccessRule> ProxyAccessRule() {
    const std::lock_guard lock(RuleLock);
    return Rule;
}

bool ProxyAdmits(const sockaddr_in& peer) {
    std::shared_ptr<TAccessRule> rule = ProxyAccessRule();
    if (!rule) {
        rule = std::make_shared<TAccessRule>();
        SetProxyAccessRule(rule);
    }
    if (rule->Admits(peer))
        return true;
    ++Refused;
    return false;
}

bool ProxyAllows(const sockaddr_in& address) {
    std::shared_ptr<TAccessRule> rule = ProxyAccessRule();
    if (!rule) {
        rule = std::make_shared<TAccessRule>();
        SetProxyAccessRule(rule);
    }
    return rule->Admits(address);
}

std::uint64_t RefusedConnections() {
    return Refused.load();
}

void ReportRefusedConnection(const sockaddr_in& peer, std::uint16_t port) {
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    RefusedLines().Log(TEventLevel::Info, std::string("refused a connection from ") + dotted +
                                              " to port " + std::to_string(port) +
                                              ": not in the allowed networks");
}

void ReportRefusedConnections() {
    RefusedLines().Tick();
}

} // namespace harbolt
