#pragma once

#include "net/Communication.h"
#include "platform/Exceptions.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

// The SOCKS version 5 server (RFC 1928) behind a "SOCKS5 PROXY" tunnel: no authentication,
// CONNECT to IPv4 and IPv6 addresses and names, BIND for an IPv4 peer; UDP ASSOCIATE is refused.
namespace harbolt {

// A protocol violation of the client. It ends the conversation: without a reply, or with the
// reply code it carries (an address type the server cannot serve).
class ESocks : public Exception {
public:
    using Exception::Exception;
    ESocks(const std::string& message, std::uint8_t reply) : Exception(message), fReply(reply) {}
    std::optional<std::uint8_t> Reply() const { return fReply; }

private:
    std::optional<std::uint8_t> fReply;
};

enum class TSocksCommand : std::uint8_t { Connect = 1, Bind = 2, UdpAssociate = 3 };

// Address types of a request.
constexpr std::uint8_t kSocksIPv4 = 1;
constexpr std::uint8_t kSocksDomainName = 3;
constexpr std::uint8_t kSocksIPv6 = 4;

struct TSocksRequest {
    TSocksCommand Command = TSocksCommand::Connect;
    std::uint8_t AddressType = kSocksIPv4;
    // Host, dotted address or "[IPv6 address]" (as inet_ntop writes it), ":", decimal port.
    std::string Target;
};

// Reply codes the server sends.
constexpr std::uint8_t kSocksSucceeded = 0;
constexpr std::uint8_t kSocksGeneralFailure = 1;
constexpr std::uint8_t kSocksNotAllowed = 2;
constexpr std::uint8_t kSocksHostUnreachable = 4;
constexpr std::uint8_t kSocksConnectionRefused = 5;
constexpr std::uint8_t kSocksTtlExpired = 6; // what clients read as a time-out
constexpr std::uint8_t kSocksCommandNotSupported = 7;
constexpr std::uint8_t kSocksAddressTypeNotSupported = 8;

// Reads the client's greeting (version, method count, methods) and answers 5,0 when it offers
// method 0 (no authentication), else 5,255. True when the conversation goes on; false after
// 5,255 or when the client closed. A version other than 5 raises ESocks.
bool NegotiateSocks5Method(TBufferedCommunication& client);

// Reads the request that follows the method selection. nullopt when the client closed before it
// was complete; a malformed request raises ESocks (an unknown address type with reply code 8).
// Reads exactly the request's bytes.
std::optional<TSocksRequest> ReadSocks5Request(TBufferedCommunication& client);

// The 10-byte reply: 5, code, 0, 1, the four address bytes and the two port bytes of address as
// they are held (network order).
std::string Socks5Reply(std::uint8_t code, const sockaddr_in& address);
// The 22-byte reply of address type 4 for an IPv6 address.
std::string Socks5Reply(std::uint8_t code, const sockaddr_in6& address);

struct TSocks5Options {
    // How long a BIND waits for its peer's connection; then it answers code 6 and ends.
    std::chrono::milliseconds BindWait{60000};
    // Whether an address (network order) is this computer's own: a BIND never waits for a
    // connection from there, so that a client cannot reach this computer's services through it.
    std::function<bool(std::uint32_t address)> IsOwnAddress;
};

// The handler of a "SOCKS5 PROXY" tunnel: negotiates (within RequestTimeLimit()), performs the
// request and relays. A failed CONNECT is answered as soon as the failure is final, with the code
// that says why; a CONNECT to one of this instance's own ports is a loop and fails (code 1). An
// IPv6 target that this computer has no route to is answered with code 8. A BIND listens on the
// address facing the peer the request names, on a port of the system's choosing (never below
// 1024), takes a connection from that peer's address only and waits for it a minute at most
// (code 6); a peer that is this computer itself is refused (code 2), an IPv6 one with code 8.
// What failed is written to the trace. Frees the client channel at the end in every case; no
// failure escapes.
void HandleSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const TStopSignal& stop);
// The same with the BIND's limits chosen by the caller.
void RunSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                    const TActivity& activity, const TStopSignal& stop,
                    const TSocks5Options& options);

} // namespace harbolt
