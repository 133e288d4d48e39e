#include "proxy/Socks5Proxy.h"

#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "proxy/Listeners.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr unsigned char kSocksVersion = 5;
constexpr unsigned char kMethodNoAuthentication = 0;
constexpr unsigned char kNoAcceptableMethod = 0xFF;

// How long CONNECT tries to reach the target.
constexpr std::uint32_t kConnectPhase = 5000; // milliseconds
constexpr int kRetryPause = 100;              // milliseconds
// BIND: each wait for the incoming connection, and the pause after an empty one.
constexpr int kAcceptWait = 1000; // milliseconds
constexpr int kBindBacklog = 1;
// Any port will do for finding a route: the probe sends nothing.
constexpr std::uint16_t kProbePort = 9;
// Ports below this are the system's services'; a BIND never listens there.
constexpr std::uint16_t kFirstUnprivilegedPort = 1024;

// Reads length bytes; false when the client closed first.
bool Receive(TBufferedCommunication& client, unsigned char* buffer, int length) {
    return client.ReceiveExactly(reinterpret_cast<char*>(buffer), length);
}

void CheckVersion(unsigned char version) {
    if (version != kSocksVersion)
        throw ESocks("bad version " + std::to_string(version) + ", 5 expected");
}

void SendNow(TBufferedCommunication& client, const std::string& bytes) {
    client.Send(bytes.data(), static_cast<int>(bytes.size()));
    client.Flush();
}

void SendReply(TBufferedCommunication& client, std::uint8_t code, const sockaddr_in& address) {
    SendNow(client, Socks5Reply(code, address));
}

void SendFailure(TBufferedCommunication& client, std::uint8_t code) {
    SendReply(client, code, sockaddr_in{});
}

// Why a request failed, for the trace file (when there is one) and the detail lines of the log.
void NoteFailure(std::FILE* trace, const std::string& why) {
    LogEvent(TEventLevel::Detail, "SOCKS5: " + why);
    if (trace == nullptr)
        return;
    const std::string line = "<-- SOCKS5: " + why + " -->\n";
    std::fwrite(line.data(), 1, line.size(), trace);
}

// A name with a zero byte would be resolved only up to that byte, which names some other host:
// no such target is ever contacted or bound.
bool UsableTarget(const std::string& target) {
    return target.find('\0') == std::string::npos;
}

// The host and port of a request's target ("[...]" kept for IPv6).
std::pair<std::string, std::uint16_t> SplitTarget(const std::string& target) {
    const std::size_t colon = target.rfind(':');
    return {target.substr(0, colon),
            static_cast<std::uint16_t>(std::stoul(target.substr(colon + 1)))};
}

std::uint8_t ReplyCodeFor(TConnectFailure failure) {
    switch (failure) {
    case TConnectFailure::Refused:
        return kSocksConnectionRefused;
    case TConnectFailure::Unreachable:
        return kSocksHostUnreachable;
    case TConnectFailure::TimedOut:
        return kSocksTtlExpired;
    default:
        return kSocksGeneralFailure;
    }
}

// The local address of the route towards peer (its port is ignored): the address a peer there
// can reach this computer on. A datagram socket's connect chooses the route and sends nothing.
// nullopt when there is no route, or no such protocol here.
std::optional<sockaddr_storage> LocalEndTowards(sockaddr_storage peer) {
    socklen_t length = sizeof(sockaddr_in);
    if (peer.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(peer).sin6_port = htons(kProbePort);
        length = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in&>(peer).sin_port = htons(kProbePort);
    }
    const int probe = socket(peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return std::nullopt;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    const bool routed = connect(probe, reinterpret_cast<const sockaddr*>(&peer), length) == 0 &&
                        getsockname(probe, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    close(probe);
    if (!routed)
        return std::nullopt;
    return local;
}

sockaddr_storage IPv6Peer(const in6_addr& address) {
    sockaddr_storage peer{};
    auto& record = reinterpret_cast<sockaddr_in6&>(peer);
    record.sin6_family = AF_INET6;
    record.sin6_addr = address;
    return peer;
}

// The IPv6 address of a name (or of an IPv6 address sent as a name); nullopt when it has none.
std::optional<in6_addr> IPv6AddressOf(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const in6_addr address = reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr;
    freeaddrinfo(found);
    return address;
}

// "[address]:port" of an IPv6 target as the connect takes it; nullopt when this computer has no
// route to the address. A mapped IPv4 address is connected to as IPv4: it may name one of this
// instance's own ports, which only the IPv4 form shows.
std::optional<std::string> IPv6Target(const in6_addr& address, std::uint16_t port) {
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        std::uint32_t ipv4;
        std::memcpy(&ipv4, &address.s6_addr[12], sizeof ipv4);
        return AddressToDotted(ipv4) + ":" + std::to_string(port);
    }
    if (!LocalEndTowards(IPv6Peer(address)))
        return std::nullopt;
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(port);
}

// What to connect to for request: nullopt for a name with a colon that is no address. Raises
// ESocks with reply 8 for an IPv6 address that this computer has no route to.
std::optional<std::string> ConnectTarget(const TSocksRequest& request) {
    const auto [host, port] = SplitTarget(request.Target);
    std::optional<in6_addr> address;
    if (request.AddressType == kSocksIPv6) {
        address.emplace();
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &*address);
    } else if (request.AddressType == kSocksDomainName && host.find(':') != std::string::npos) {
        // No host name has a colon: an IPv6 address sent as a name, which IPv4 cannot look up.
        address = IPv6AddressOf(host);
        if (!address)
            return std::nullopt;
    } else {
        return request.Target;
    }
    std::optional<std::string> target = IPv6Target(*address, port);
    if (!target)
        throw ESocks("IP V6 addresses not supported", kSocksAddressTypeNotSupported);
    return target;
}

// Whether the client has closed its connection (or it failed). Bytes it sent stay where they
// are, for the relay.
bool ClientClosed(const TCommunication& client) {
    char byte;
    for (;;) {
        const ssize_t peeked = recv(client.Socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked > 0)
            return false;
        if (peeked == 0)
            return true;
        if (errno != EINTR)
            return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

void RunConnect(TBufferedCommunication& client, const TSocksRequest& request, std::FILE* trace,
                const TActivity& activity, const TStopSignal& stop) {
    if (!UsableTarget(request.Target)) {
        NoteFailure(trace, "a zero byte in the name of " + request.Target);
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    const std::optional<std::string> target = ConnectTarget(request);
    if (!target) {
        NoteFailure(trace, "no such host: " + request.Target);
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    const std::uint32_t begin = GetTickCount();
    TConnectOutcome outcome = ConnectOnward(*target, kConnectPhase, stop);
    if (outcome.Failure == TConnectFailure::Unreachable &&
        request.AddressType == kSocksDomainName && *target == request.Target) {
        // Perhaps the name of a host with IPv6 only.
        const std::uint32_t spent = TicksSince(begin, GetTickCount());
        const auto [host, port] = SplitTarget(*target);
        const std::optional<in6_addr> address = IPv6AddressOf(host);
        const std::optional<std::string> ipv6 = address ? IPv6Target(*address, port) : std::nullopt;
        if (ipv6 && spent < kConnectPhase)
            outcome = ConnectOnward(*ipv6, kConnectPhase - spent, stop);
    }
    if (!outcome.Channel) {
        NoteFailure(trace, outcome.Reason);
        SendFailure(client, ReplyCodeFor(outcome.Failure));
        return;
    }
    TBufferedCommunication& server = *outcome.Channel;
    // The reply names the local end of the outgoing socket, which an IPv4 channel holds in its
    // remote address record after Connect.
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (server.RemoteAddress().sin_family == AF_INET6 &&
        getsockname(server.Socket(), reinterpret_cast<sockaddr*>(&local), &length) == 0)
        SendNow(client, Socks5Reply(kSocksSucceeded, reinterpret_cast<const sockaddr_in6&>(local)));
    else
        SendReply(client, kSocksSucceeded, server.RemoteAddress());
    client.SetReceiveDeadline(0);
    RelayBothWays(client, server, trace, false, &stop, activity);
}

// The listening channel of a BIND for the expected peer (INADDR_ANY: any peer), on the address
// facing it, at a port of the system's choosing. nullptr when there is no route to the peer or
// nothing could be bound.
std::unique_ptr<TCommunication> ListenFor(std::uint32_t expected,
                                          const TBufferedCommunication& client, std::FILE* trace) {
    // Without a peer named, it will come the way the client did.
    std::uint32_t own = client.LocalAddress().sin_addr.s_addr;
    if (expected != INADDR_ANY) {
        sockaddr_storage peer{};
        auto& record = reinterpret_cast<sockaddr_in&>(peer);
        record.sin_family = AF_INET;
        record.sin_addr.s_addr = expected;
        const std::optional<sockaddr_storage> local = LocalEndTowards(peer);
        if (!local) {
            NoteFailure(trace, "no route to " + AddressToDotted(expected));
            return nullptr;
        }
        own = reinterpret_cast<const sockaddr_in&>(*local).sin_addr.s_addr;
    }
    try {
        auto listener = TCommunication::CreateListening(false);
        listener->Bind(AddressToDotted(own) + ":0");
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (getsockname(listener->Socket(), reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
            ntohs(bound.sin_port) < kFirstUnprivilegedPort) {
            NoteFailure(trace, "BIND: the system gave port " +
                                   std::to_string(ntohs(bound.sin_port)) + ", a privileged one");
            return nullptr;
        }
        // Listening before the reply: the client may pass the address on at once, and a
        // connection that arrived before listen would be refused.
        listener->Listen(kBindBacklog);
        return listener;
    } catch (const ECommunication& failure) {
        NoteFailure(trace, failure.what());
        return nullptr;
    }
}

void RunBind(TBufferedCommunication& client, const TSocksRequest& request, std::FILE* trace,
             const TActivity& activity, const TStopSignal& stop, const TSocks5Options& options) {
    // The request names the peer that is to connect (such as an FTP server after PORT); any port
    // of it will do, as a server's data connection does not come from the port the client knows.
    const std::string host = SplitTarget(request.Target).first;
    // The listening side has IPv4 only; a name with a colon is an IPv6 address.
    if (request.AddressType == kSocksIPv6 ||
        (request.AddressType == kSocksDomainName && host.find(':') != std::string::npos))
        throw ESocks("IP V6 addresses not supported", kSocksAddressTypeNotSupported);
    const std::uint32_t expected =
        UsableTarget(request.Target) ? ResolveAddress(host) : kInaddrNone;
    if (expected != kInaddrNone && expected != INADDR_ANY &&
        (options.IsOwnAddress ? options.IsOwnAddress : AddressOfThisComputer)(expected)) {
        // The connection would come from this computer: a way into its own services.
        NoteFailure(trace, "BIND for a peer on this computer (" + request.Target + ") refused");
        SendFailure(client, kSocksNotAllowed);
        return;
    }
    std::unique_ptr<TCommunication> listener;
    if (expected == kInaddrNone)
        NoteFailure(trace, "no such host: " + request.Target);
    else
        listener = ListenFor(expected, client, trace);
    if (!listener) {
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    // What was really bound: the address facing the peer and the port the system chose.
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener->Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    SendReply(client, kSocksSucceeded, bound);

    // The wait for the peer comes after the negotiation; the client may stay silent meanwhile.
    client.SetReceiveDeadline(0);
    std::unique_ptr<TBufferedCommunication> peer;
    const auto deadline = std::chrono::steady_clock::now() + options.BindWait;
    while (!stop.Raised()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            // Each BIND holds a port and a thread: one that nobody comes to must not stay.
            NoteFailure(trace, "BIND: no connection from " + host + " within " +
                                   std::to_string(options.BindWait.count()) + " ms");
            SendFailure(client, kSocksTtlExpired);
            return;
        }
        peer = listener->Accept(static_cast<int>(std::min<long long>(left, kAcceptWait)), stop);
        if (peer && expected != INADDR_ANY && peer->RemoteAddress().sin_addr.s_addr != expected) {
            // Whoever else found the port gets nothing from the client.
            NoteFailure(trace, "BIND: closed a connection from " +
                                   AddressToDotted(peer->RemoteAddress().sin_addr.s_addr) + ", " +
                                   host + " was expected");
            peer.reset();
            continue;
        }
        if (peer)
            break;
        // A client that went away would otherwise leave the port open until the proxy stops.
        if (ClientClosed(client))
            return;
        PauseUnlessStopped(stop, static_cast<int>(std::min<long long>(
                                     kRetryPause, std::chrono::ceil<std::chrono::milliseconds>(
                                                      deadline - std::chrono::steady_clock::now())
                                                      .count())));
    }
    // One connection is all the request asked for; nobody else may reach the port meanwhile.
    listener.reset();
    if (!peer) {
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    SendReply(client, kSocksSucceeded, peer->RemoteAddress());
    RelayBothWays(client, *peer, trace, false, &stop, activity);
}

} // namespace

bool NegotiateSocks5Method(TBufferedCommunication& client) {
    unsigned char version;
    if (!Receive(client, &version, 1))
        return false;
    CheckVersion(version);
    unsigned char count;
    if (!Receive(client, &count, 1))
        return false;
    unsigned char methods[255];
    if (!Receive(client, methods, count))
        return false;
    const bool acceptable =
        std::find(methods, methods + count, kMethodNoAuthentication) != methods + count;
    const unsigned char answer[2] = {kSocksVersion,
                                     acceptable ? kMethodNoAuthentication : kNoAcceptableMethod};
    SendNow(client, std::string(reinterpret_cast<const char*>(answer), sizeof answer));
    return acceptable;
}

std::optional<TSocksRequest> ReadSocks5Request(TBufferedCommunication& client) {
    unsigned char version;
    if (!Receive(client, &version, 1))
        return std::nullopt;
    CheckVersion(version);
    unsigned char fields[3]; // command, reserved, address type
    if (!Receive(client, fields, sizeof fields))
        return std::nullopt;
    if (fields[1] != 0)
        throw ESocks("Request.RSV MUST be 0");
    if (fields[0] < 1 || fields[0] > 3)
        throw ESocks("bad Request.CMD: " + std::to_string(fields[0]));
    TSocksRequest request;
    request.Command = static_cast<TSocksCommand>(fields[0]);
    request.AddressType = fields[2];

    std::string host;
    switch (fields[2]) {
    case kSocksIPv4: {
        unsigned char address[4];
        if (!Receive(client, address, sizeof address))
            return std::nullopt;
        host = std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
               std::to_string(address[2]) + "." + std::to_string(address[3]);
        break;
    }
    case kSocksDomainName: {
        unsigned char nameLength;
        if (!Receive(client, &nameLength, 1))
            return std::nullopt;
        host.resize(nameLength);
        if (!client.ReceiveExactly(host.data(), nameLength))
            return std::nullopt;
        break;
    }
    case kSocksIPv6: {
        in6_addr address;
        if (!Receive(client, address.s6_addr, sizeof address.s6_addr))
            return std::nullopt;
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &address, text, sizeof text);
        host = "[" + std::string(text) + "]";
        break;
    }
    default:
        // Its length is unknown, so nothing after it can be read: answer and close.
        throw ESocks("bad Request.ATYP: " + std::to_string(fields[2]),
                     kSocksAddressTypeNotSupported);
    }
    unsigned char port[2]; // network order
    if (!Receive(client, port, sizeof port))
        return std::nullopt;
    request.Target = host + ":" + std::to_string((port[0] << 8) | port[1]);
    return request;
}

std::string Socks5Reply(std::uint8_t code, const sockaddr_in& address) {
    std::string reply = {static_cast<char>(kSocksVersion), static_cast<char>(code), 0,
                         static_cast<char>(kSocksIPv4)};
    reply.append(reinterpret_cast<const char*>(&address.sin_addr.s_addr), 4);
    reply.append(reinterpret_cast<const char*>(&address.sin_port), 2);
    return reply;
}

std::string Socks5Reply(std::uint8_t code, const sockaddr_in6& address) {
    std::string reply = {static_cast<char>(kSocksVersion), static_cast<char>(code), 0,
                         static_cast<char>(kSocksIPv6)};
    reply.append(reinterpret_cast<const char*>(address.sin6_addr.s6_addr), 16);
    reply.append(reinterpret_cast<const char*>(&address.sin6_port), 2);
    return reply;
}

void HandleSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const TStopSignal& stop) {
    RunSocks5Proxy(std::move(client), trace, activity, stop, TSocks5Options{});
}

void RunSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                    const TActivity& activity, const TStopSignal& stop,
                    const TSocks5Options& options) {
    try {
        client->SetReceiveDeadline(RequestTimeLimit());
        if (!NegotiateSocks5Method(*client))
            return;
        const std::optional<TSocksRequest> request = ReadSocks5Request(*client);
        if (!request)
            return;
        switch (request->Command) {
        case TSocksCommand::Connect:
            RunConnect(*client, *request, trace, activity, stop);
            break;
        case TSocksCommand::Bind:
            RunBind(*client, *request, trace, activity, stop, options);
            break;
        case TSocksCommand::UdpAssociate:
            SendFailure(*client, kSocksCommandNotSupported);
            break;
        }
    } catch (const ESocks& violation) {
        NoteFailure(trace, violation.what());
        try {
            if (violation.Reply())
                SendFailure(*client, *violation.Reply());
        } catch (const std::exception&) {
            // The client is gone already.
        }
    } catch (const std::exception& failure) {
        // A client that went away or a failing channel: the connection closes without a
        // further reply.
        NoteFailure(trace, failure.what());
    }
}

} // namespace harbolt
