#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

// Who may use this computer's proxy ports. By default: loopback and the subnets of the machine's
// interfaces that are not point-to-point links (so not the WAN side of a dial-up or LTE link).
// The own property "ProxyAllowedNetworks", comma-separated IPv4 CIDR blocks, replaces the
// subnets when set; loopback is always allowed. Anyone else is closed without a byte.
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

// The subnets of the machine's IPv4 interfaces that are up and not point-to-point (loopback
// included).
std::vector<TNetworkBlock> InterfaceNetworks();

class TAccessRule {
public:
    // Uses the interfaces' subnets (re-read when a peer does not fit: interfaces come and go).
    TAccessRule();
    // Uses these blocks, plus loopback.
    explicit TAccessRule(std::vector<TNetworkBlock> configured);

    // Whether a connection from peer (network byte order in sin_addr) may be served.
    bool Admits(const sockaddr_in& peer);
    bool Configured() const { return FConfigured; }
    std::vector<TNetworkBlock> Blocks() const;

private:
    bool Contains(std::uint32_t address) const;

    const bool FConfigured;
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

} // namespace harbolt
