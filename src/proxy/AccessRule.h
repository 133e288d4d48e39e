#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

// Who may use this computer's proxy ports. By default: loopback and the subnets of the interface
// that holds the host of the own "ProxyServerAddress", the LAN this instance announces itself on.
// Any other interface, an Ethernet-style WAN side included (an LTE stick in router mode, a cable
// or DSL bridge), is closed: its neighbours would find an open proxy and an open resolver. With
// no host set, or a host that is no address of this computer, only loopback is admitted. The own
// property "ProxyAllowedNetworks", comma-separated IPv4 CIDR blocks, replaces the subnets when
// set; loopback is always allowed. Anyone else is closed without a byte.
namespace harbolt {

struct TNetworkBlock {
    std::uint32_t Address = 0; // host byte order, host bits cleared
    std::uint32_t Mask = 0;    // host byte order

    bool Contains(std::uint32_t hostOrderAddress) const {
        return (hostOrderAddress & Mask) == Address;
    }
    std::string Text() const; // "a.b.c.d/n"
    bool operator==(const TNetworkBlock&) const = default;
};

// "a.b.c.d/n" (n 0 to 32) or a plain "a.b.c.d" (/32); blanks around it are ignored. The host
// bits are cleared. nullopt when the text is not such a block.
std::optional<TNetworkBlock> ParseNetworkBlock(std::string_view text);

// A comma-separated list; what cannot be read is named in errors.
std::vector<TNetworkBlock> ParseNetworkList(std::string_view text,
                                            std::vector<std::string>* errors = nullptr);

// Whether a list opens the ports to every address (a block 0.0.0.0/0).
bool AdmitsEverything(const std::vector<TNetworkBlock>& blocks);

// One IPv4 address of an interface.
struct TInterfaceAddress {
    std::string Name;          // "eth0"; an alias label "eth0:1" belongs to "eth0"
    std::uint32_t Address = 0; // host byte order
    std::uint32_t Netmask = 0; // host byte order
    unsigned Flags = 0;        // IFF_UP, IFF_POINTOPOINT, ...
};
using TInterfaceList = std::function<std::vector<TInterfaceAddress>()>;
// The machine's IPv4 interface addresses (getifaddrs); empty when they cannot be read.
std::vector<TInterfaceAddress> MachineInterfaces();
// The subnets of the interface that holds host (host byte order), from its addresses that are
// up; empty when no interface holds it.
std::vector<TNetworkBlock> AnnounceNetworks(std::uint32_t host,
                                            const std::vector<TInterfaceAddress>& interfaces);

class TAccessRule {
public:
    // The announce interface's subnets, the host read from the own "ProxyServerAddress".
    TAccessRule();
    // The subnets of the interface holding announceHost (a dotted address or a name, looked up
    // once here) in the list interfaces gives; empty or unknown: loopback only. The list is read
    // again when a peer does not fit: interfaces come and go.
    TAccessRule(const std::string& announceHost, TInterfaceList interfaces);
    // Uses these blocks, plus loopback.
    explicit TAccessRule(std::vector<TNetworkBlock> configured);

    // Whether a connection from peer (network byte order in sin_addr) may be served.
    bool Admits(const sockaddr_in& peer);
    bool Configured() const { return FConfigured; }
    std::vector<TNetworkBlock> Blocks() const;

private:
    bool Contains(std::uint32_t address) const;
    void ReadInterfaces();

    const bool FConfigured;
    std::uint32_t FHost = 0; // host byte order; 0: none
    TInterfaceList FInterfaces;
    mutable std::mutex FLock;
    std::vector<TNetworkBlock> FBlocks;
};

// The rule of the running services, set by StartProxyServices; every listener asks it. Counts
// what it refuses.
void SetProxyAccessRule(std::shared_ptr<TAccessRule> rule);
std::shared_ptr<TAccessRule> ProxyAccessRule();
bool ProxyAdmits(const sockaddr_in& peer);
// The same question for an address that is no connection to refuse (an address some request
// names): not counted.
bool ProxyAllows(const sockaddr_in& address);
std::uint64_t RefusedConnections();

// The event of a connection the rule refused on a listener's port: at most
// kRefusedLinesPerMinute lines a minute, the rest summed up when that minute is over (a scan
// from outside must not flood the log). The minute runs on ProxyClock.
constexpr std::size_t kRefusedLinesPerMinute = 5;
void ReportRefusedConnection(const sockaddr_in& peer, std::uint16_t port);
// Writes that summary once its minute has ended; the instance calls it once a second.
void ReportRefusedConnections();

} // namespace harbolt
