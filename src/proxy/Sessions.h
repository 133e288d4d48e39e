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
// file or nullptr, the session's activity procedure and the stop of the run the session belongs
// to. A handler left empty ends the session without a reply.
using TProxyHandler =
    std::function<void(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                       const TActivity& activity, const TStopSignal& stop)>;
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

// How long a client may take for what it has to say before the relay starts: the request lines
// of the server port, an HTTP request head, the SOCKS5 negotiation, the FTP and POP3 logins. A
// client that stays silent or trickles is closed after it, so it cannot hold a thread for ever.
constexpr int kRequestTimeLimit = 30000; // milliseconds
// Tests make it small; <= 0 restores kRequestTimeLimit.
void SetRequestTimeLimit(int milliseconds);
int RequestTimeLimit();

// Sleeps up to milliseconds; returns at once when stop is raised. False when it is.
bool PauseUnlessStopped(const TStopSignal& stop, int milliseconds);

// Attempts to reach address ("host:port") on the client's behalf for up to milliseconds, 100 ms
// apart, each attempt bounded by the time left: the connect phase of every session and handler.
// nullptr when that did not work out, stop was raised, or address is one of this instance's own
// listening endpoints (a loop, refused before any connect).
std::unique_ptr<TBufferedCommunication>
ConnectWithin(const std::string& address, std::uint32_t milliseconds, const TStopSignal& stop);

// The 32-byte status record of raw routing: status, second word, error code, 20 zero bytes.
std::string RoutingStatusRecord(std::int32_t status, std::int32_t second, std::int32_t error);

// The first line of a tunnel's trace file for its type line (without "CONNECT ").
std::string TraceHeaderLine(const std::string& argument);

// Client side, on the calling thread: reach the online computer (5 s of attempts; with trigger a
// dial may be requested), send the tunnel header and relay. Always closes the client. A
// destination that is one of this computer's own listening endpoints is a loop: closed at once.
// The session watches stop (nullptr: CurrentProxyStop()).
void RunClientSession(std::unique_ptr<TBufferedCommunication> client,
                      const std::string& destinationHost, const std::string& destinationPort,
                      bool trigger, std::shared_ptr<TStopSignal> stop = nullptr);
// Server side, on the calling thread: read the request lines (within RequestTimeLimit) and
// dispatch.
void RunServerSession(std::unique_ptr<TBufferedCommunication> client,
                      std::shared_ptr<TStopSignal> stop = nullptr);

struct TListenerState;

// One place under a listener's session cap, held for as long as the session runs (Listeners.cpp).
class TSessionSlot {
public:
    TSessionSlot() = default;
    explicit TSessionSlot(std::shared_ptr<TListenerState> listener);
    TSessionSlot(TSessionSlot&& other) noexcept = default;
    TSessionSlot& operator=(TSessionSlot&&) = delete;
    ~TSessionSlot();

private:
    std::shared_ptr<TListenerState> fListener;
};

// The same on threads of their own that free themselves; slot is given up when they end.
void StartClientSession(std::unique_ptr<TBufferedCommunication> client,
                        const std::string& destinationHost, const std::string& destinationPort,
                        bool trigger, TSessionSlot slot = {},
                        std::shared_ptr<TStopSignal> stop = nullptr);
void StartServerSession(std::unique_ptr<TBufferedCommunication> client, TSessionSlot slot = {},
                        std::shared_ptr<TStopSignal> stop = nullptr);

} // namespace harbolt
