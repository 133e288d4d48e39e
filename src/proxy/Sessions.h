#pragma once

#include "net/Communication.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

// The two ends of a tunnel. A client session runs for each connection to a mapping port and
// carries it to the online computer's proxy server port; a server session runs for each
// connection to that port, reads its request and performs it.
namespace harbolt {

using TActivity = std::function<void()>;

// The server side's protocol handlers. Each gets the client channel (and frees it), the trace
// file or nullptr, the session's activity procedure and ProxyStopFlag. A handler left empty ends
// the session without a reply.
using TProxyHandler =
    std::function<void(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const std::atomic<bool>& stopFlag)>;
// The dial-control dialogues get the channel after the request lines have been read.
using TDialControlHandler = std::function<void(std::unique_ptr<TBufferedCommunication> client)>;

struct TServerHandlers {
    TProxyHandler Http;               // "HTTP PROXY"
    TProxyHandler Socks5;             // "SOCKS5 PROXY"
    TProxyHandler Ftp;                // "FTP PROXY"
    TProxyHandler Pop3;               // "POP3 PROXY"
    TDialControlHandler Disconnect;   // "DISCONNECT!"
    TDialControlHandler WouldConnect; // "WOULD CONNECT?"
    TDialControlHandler Connect;      // "CONNECT!"
    TDialControlHandler Online;       // "ONLINE?"
};

// Set at start-up, before the proxy services start.
void SetServerHandlers(TServerHandlers handlers);

constexpr int kRequestLineCapacity = 256;

// Attempts to reach address ("host:port") for up to milliseconds, 100 ms apart: the connect
// phase of every session and handler. nullptr when that did not work out or stopFlag was set.
std::unique_ptr<TBufferedCommunication> ConnectWithin(const std::string& address,
                                                      std::uint32_t milliseconds,
                                                      const std::atomic<bool>& stopFlag);

// The 32-byte status record of raw routing: status, second word, error code, 20 zero bytes.
std::string RoutingStatusRecord(std::int32_t status, std::int32_t second, std::int32_t error);

// The first line of a tunnel's trace file for its type line (without "CONNECT ").
std::string TraceHeaderLine(const std::string& argument);

// Client side, on the calling thread: reach the online computer (5 s of attempts; with trigger a
// dial may be requested), send the tunnel header and relay. Always closes the client.
void RunClientSession(std::unique_ptr<TBufferedCommunication> client,
                      const std::string& destinationHost, const std::string& destinationPort,
                      bool trigger);
// Server side, on the calling thread: read the request lines and dispatch.
void RunServerSession(std::unique_ptr<TBufferedCommunication> client);

// The same on threads of their own that free themselves.
void StartClientSession(std::unique_ptr<TBufferedCommunication> client,
                        const std::string& destinationHost, const std::string& destinationPort,
                        bool trigger);
void StartServerSession(std::unique_ptr<TBufferedCommunication> client);

} // namespace harbolt
