#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

// The lowest network layer: IPv4 addresses, host names and the one wait every socket user needs.
// All addresses are IPv4 in network byte order; no other family is ever created.
namespace harbolt {

using TSocket = int;
constexpr TSocket kInvalidSocket = -1;

// "No address": all bits set.
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

// True once a probe socket could be created at start-up. Every channel constructor refuses to
// work without it ("WinSock not available"). Tests may set it to false to take the no-network
// path.
extern std::atomic<bool> WinSockLoaded;

// Probes for the socket facility by creating (and closing) one IPv4 stream socket and sets
// WinSockLoaded accordingly. Runs once at start-up, before any thread uses the network.
void LoadWinSock();

// Dotted decimal first (without a look-up), then an IPv4 name look-up. The empty text, an unknown
// name or any failure give kInaddrNone. Never raises; blocks for the duration of a look-up.
std::uint32_t ResolveAddress(std::string_view text);

// 192.168.0.1 for the network-order bytes 192, 168, 0, 1.
std::string AddressToDotted(std::uint32_t address);

// The reverse look-up's name, else the dotted form. Blocks for the duration of the look-up.
std::string AddressToName(std::uint32_t address);

// IPv4: AddressToName of the address, ":" and the port in decimal. Any other family is read in
// the IPX layout of the same 16-byte record (network and node number as upper-case hexadecimal
// bytes without the leading zero bytes, joined by ",", then ":" and the socket number).
std::string SocketAddressToText(const sockaddr_in& address);

// The canonical name of this host, "127.0.0.1" when the host name is empty or unknown.
std::string LocalHostName();

// Whether an address (network order) is one of 127.0.0.0/8: it reaches only this host.
bool IsLoopbackAddress(std::uint32_t address);
// The IPv4 addresses (network order) of this host's interfaces that are up, loopback left out.
std::vector<std::uint32_t> LocalInterfaceAddresses();

// True when the socket becomes readable (data, end of stream or a pending connection) within
// the given milliseconds; 0 polls.
bool WaitReadable(TSocket socket, int milliseconds);

} // namespace harbolt
