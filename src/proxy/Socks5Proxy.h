#pragma once

#include "net/Communication.h"
#include "platform/Exceptions.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <netinet/in.h>

// The SOCKS version 5 server (RFC 1928) behind a "SOCKS5 PROXY" tunnel: no authentication,
// CONNECT and BIND to IPv4 addresses and names; UDP ASSOCIATE and IPv6 are refused.
namespace harbolt {

// A protocol violation of the client; it ends the conversation without a reply.
class ESocks : public Exception {
public:
    using Exception::Exception;
};

enum class TSocksCommand : std::uint8_t { Connect = 1, Bind = 2, UdpAssociate = 3 };

struct TSocksRequest {
    TSocksCommand Command = TSocksCommand::Connect;
    std::string Target; // host or dotted address, ":", decimal port
};

// Reply codes the server sends.
constexpr std::uint8_t kSocksSucceeded = 0;
constexpr std::uint8_t kSocksHostUnreachable = 4;
constexpr std::uint8_t kSocksCommandNotSupported = 7;

// Reads the client's greeting (version, method count, methods) and answers 5,0 when it offers
// method 0 (no authentication), else 5,255. True when the conversation goes on; false after
// 5,255 or when the client closed. A version other than 5 raises ESocks.
bool NegotiateSocks5Method(TBufferedCommunication& client);

// Reads the request that follows the method selection. nullopt when the client closed before it
// was complete; a malformed request raises ESocks. Reads exactly the request's bytes.
std::optional<TSocksRequest> ReadSocks5Request(TBufferedCommunication& client);

// The 10-byte reply: 5, code, 0, 1, the four address bytes and the two port bytes of address as
// they are held (network order).
std::string Socks5Reply(std::uint8_t code, const sockaddr_in& address);

// The handler of a "SOCKS5 PROXY" tunnel: negotiates (within RequestTimeLimit()), performs the
// request and relays. A CONNECT to one of this instance's own ports is a loop and answered as
// unreachable. Frees the client channel at the end in every case; no failure escapes.
void HandleSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const TStopSignal& stop);

} // namespace harbolt
