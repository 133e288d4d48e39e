#include "proxy/Socks5Proxy.h"

#include "platform/Clock.h"
#include "proxy/Listeners.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <sys/socket.h>

namespace harbolt {

namespace {

constexpr unsigned char kSocksVersion = 5;
constexpr unsigned char kMethodNoAuthentication = 0;
constexpr unsigned char kNoAcceptableMethod = 0xFF;

constexpr unsigned char kAddressIPv4 = 1;
constexpr unsigned char kAddressDomainName = 3;
constexpr unsigned char kAddressIPv6 = 4;

// How long CONNECT and BIND try to reach or bind the target.
constexpr std::uint32_t kSetUpPhase = 5000; // milliseconds
constexpr int kRetryPause = 100;            // milliseconds
// BIND: each wait for the incoming connection, and the pause after an empty one.
constexpr int kAcceptWait = 1000; // milliseconds
constexpr int kBindBacklog = 1;

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

// A name with a zero byte would be resolved only up to that byte, which names some other host:
// no such target is ever contacted or bound.
bool UsableTarget(const std::string& target) {
    return target.find('\0') == std::string::npos;
}

// Repeats attempt (given the milliseconds left) for up to the set-up phase with a pause after
// each failure; stops early when stop is raised. nullptr when no attempt succeeded.
template <typename T, typename F>
std::unique_ptr<T> WithinSetUpPhase(const TStopSignal& stop, F attempt) {
    const std::uint32_t begin = GetTickCount();
    for (;;) {
        const std::uint32_t spent = TicksSince(begin, GetTickCount());
        if (stop.Raised() || spent > kSetUpPhase)
            return nullptr;
        try {
            return attempt(static_cast<int>(std::max<std::uint32_t>(kSetUpPhase - spent, 1)));
        } catch (const std::exception&) {
            PauseUnlessStopped(stop, kRetryPause);
        }
    }
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

void RunConnect(TBufferedCommunication& client, const std::string& target, std::FILE* trace,
                const TActivity& activity, const TStopSignal& stop) {
    std::unique_ptr<TBufferedCommunication> server;
    if (UsableTarget(target) && !RefuseLoop(target))
        server = WithinSetUpPhase<TBufferedCommunication>(stop, [&target, &stop](int left) {
            auto made = TCommunication::CreateUnconnected(false, false);
            made->Connect(target, left, &stop);
            return made;
        });
    if (!server) {
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    // After Connect the remote address record holds the local end of the outgoing socket.
    SendReply(client, kSocksSucceeded, server->RemoteAddress());
    client.SetReceiveDeadline(0);
    RelayBothWays(client, *server, trace, false, &stop, activity);
}

void RunBind(TBufferedCommunication& client, const std::string& target, std::FILE* trace,
             const TActivity& activity, const TStopSignal& stop) {
    std::unique_ptr<TCommunication> listener;
    if (UsableTarget(target))
        listener = WithinSetUpPhase<TCommunication>(stop, [&target](int) {
            auto made = TCommunication::CreateListening(false);
            made->SetReuseAddress();
            made->Bind(target);
            return made;
        });
    if (!listener) {
        SendFailure(client, kSocksHostUnreachable);
        return;
    }
    // Listening before the reply: the client may pass the address on at once, and a connection
    // that arrived before listen would be refused.
    listener->Listen(kBindBacklog);
    // What was really bound: a request for port 0 gets a port of the system's choosing.
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener->Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    SendReply(client, kSocksSucceeded, bound);

    // The wait for the peer comes after the negotiation; the client may stay silent meanwhile.
    client.SetReceiveDeadline(0);
    std::unique_ptr<TBufferedCommunication> peer;
    while (!stop.Raised()) {
        peer = listener->Accept(kAcceptWait);
        if (peer)
            break;
        // A client that went away would otherwise leave the port open until the proxy stops.
        if (ClientClosed(client))
            return;
        PauseUnlessStopped(stop, kRetryPause);
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

    std::string host;
    switch (fields[2]) {
    case kAddressIPv4: {
        unsigned char address[4];
        if (!Receive(client, address, sizeof address))
            return std::nullopt;
        host = std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
               std::to_string(address[2]) + "." + std::to_string(address[3]);
        break;
    }
    case kAddressDomainName: {
        unsigned char nameLength;
        if (!Receive(client, &nameLength, 1))
            return std::nullopt;
        host.resize(nameLength);
        if (!client.ReceiveExactly(host.data(), nameLength))
            return std::nullopt;
        break;
    }
    case kAddressIPv6:
        throw ESocks("IP V6 addresses not supported");
    default:
        throw ESocks("bad Request.ATYP: " + std::to_string(fields[2]));
    }
    unsigned char port[2]; // network order
    if (!Receive(client, port, sizeof port))
        return std::nullopt;
    request.Target = host + ":" + std::to_string((port[0] << 8) | port[1]);
    return request;
}

std::string Socks5Reply(std::uint8_t code, const sockaddr_in& address) {
    std::string reply = {static_cast<char>(kSocksVersion), static_cast<char>(code), 0,
                         static_cast<char>(kAddressIPv4)};
    reply.append(reinterpret_cast<const char*>(&address.sin_addr.s_addr), 4);
    reply.append(reinterpret_cast<const char*>(&address.sin_port), 2);
    return reply;
}

void HandleSocks5Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const TStopSignal& stop) {
    try {
        client->SetReceiveDeadline(RequestTimeLimit());
        if (!NegotiateSocks5Method(*client))
            return;
        const std::optional<TSocksRequest> request = ReadSocks5Request(*client);
        if (!request)
            return;
        switch (request->Command) {
        case TSocksCommand::Connect:
            RunConnect(*client, request->Target, trace, activity, stop);
            break;
        case TSocksCommand::Bind:
            RunBind(*client, request->Target, trace, activity, stop);
            break;
        case TSocksCommand::UdpAssociate:
            SendFailure(*client, kSocksCommandNotSupported);
            break;
        }
    } catch (const std::exception&) {
        // A protocol violation, a client that went away or a failing channel: the connection
        // closes without a further reply.
    }
}

} // namespace harbolt
