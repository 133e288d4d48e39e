#pragma once

#include "net/Communication.h"
#include "proxy/Mapping.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

// The listener registry and the listener threads: one per mapping, one for the proxy server
// port, one each for the TCP and UDP DNS forwarders.
namespace harbolt {

constexpr int kServerSlot = 100;
constexpr int kTcpDnsSlot = 101;
constexpr int kUdpDnsSlot = 102;
constexpr int kListenerSlots = 103;

// The system's largest listen queue: a short one overflows under bursts of new connections, and
// a dropped SYN costs the client a 1 s retransmission or, with SYN cookies, the request.
constexpr int kMappingBacklog = SOMAXCONN;
constexpr int kServerBacklog = SOMAXCONN;

// Sessions one listener may run at a time ("ProxyMaxSessions" overrides it); a connection past
// them is closed at once, so a flood cannot use up the process's threads and descriptors. The
// online computer's server port carries the tunnels of the whole LAN, hence the room.
constexpr int kDefaultMaxSessions = 4096;
// Room above the cap on the server port for the journal requests and the dial questions, so that
// tunnels cannot keep replication or a take-over out. One source may hold kReservedPerSource of it.
constexpr int kReservedSessions = 32;
constexpr int kReservedPerSource = 8;
// One source may run at most this part of a listener's sessions: a half of the server port's (the
// tunnels of one computer), a quarter of another listener's (one client of a mapping), so that
// the others still get in.
constexpr int kServerShareDivisor = 2;
constexpr int kMappingShareDivisor = 4;
// Read at StartProxyServices: plain digits; empty, 0 or anything else gives the default.
void SetMaxSessions(int sessions);
int MaxSessions();
int ParseMaxSessions(const std::string& text);

// One registered listener, shared between its thread and whoever looks at the registry.
struct TListenerState {
    TListenerState(int slot, std::string address, std::string destination, bool trigger,
                   std::shared_ptr<TStopSignal> stop)
        : Slot(slot), Address(std::move(address)), Destination(std::move(destination)),
          Trigger(trigger), Stop(std::move(stop)) {}
    const int Slot;
    const std::string Address;               // what it binds, "host:port"
    const std::string Destination;           // a mapping's "host:port", else empty
    const bool Trigger;                      // a mapping that may request a dial
    const std::shared_ptr<TStopSignal> Stop; // the run it belongs to
    std::atomic<bool> Bound{false};
    std::atomic<int> Sessions{0};          // sessions of its connections now running
    std::atomic<bool> LoopReported{false}; // a loop to it was said on standard error

    // The place for a new connection from source (an IPv4 address in network order) under the
    // cap and the source's share; None when there is none: the connection is counted and closed.
    // The server port first gives a place among the tunnels' and else one in its reserve; it
    // learns the session's class only from its request line (TSessionSlot::BecomeTunnel).
    TSessionPlace Admit(std::uint32_t source);
    // Moves a session's place to the class wanted (Tunnel or Control); false, counted like a
    // refused connection, when that class has no room for the source.
    bool Reclass(std::uint32_t source, TSessionPlace& place, TSessionPlace wanted);
    void Release(std::uint32_t source, TSessionPlace place);

    // Why it is not bound (the last bind or listen failure); empty once bound.
    void SetFailure(std::string text) {
        const std::lock_guard lock(fFailureLock);
        fFailure = std::move(text);
    }
    std::string Failure() const {
        const std::lock_guard lock(fFailureLock);
        return fFailure;
    }

private:
    struct TSourceUse {
        int Tunnel = 0;  // places among the tunnels': tunnels and sessions not yet classified
        int Reserve = 0; // places in the reserve: control requests and unclassified sessions
    };
    void NoteRefused(std::uint32_t source, bool overShare, int running);

    mutable std::mutex fFailureLock;
    std::string fFailure;
    std::mutex fSharesLock;
    std::map<std::uint32_t, TSourceUse> fSources; // sources with sessions running
    int fTunnelPlaces = 0;
    std::map<std::uint32_t, std::uint32_t> fShareReported; // source -> when it was last said
};

// Enters a listener into its slot; nullptr when the slot is taken. It belongs to the run of
// CurrentProxyStop().
std::shared_ptr<TListenerState>
RegisterListener(int slot, std::string address, std::string destination = {}, bool trigger = false);
// Clears the slot if it still holds this listener.
void ClearListener(const std::shared_ptr<TListenerState>& state);
bool ListenerRegistered(int slot);
bool RegistryEmpty();

struct TListenerInfo {
    int Slot = 0;
    std::string Address;
    bool Bound = false;
    std::string Failure;     // why it is not bound, while it is not
    std::string Destination; // mappings: "host:port"
    bool Trigger = false;    // mappings: may request a dial
    int Sessions = 0;        // sessions now running
};
// Registered listeners in slot order.
std::vector<TListenerInfo> RegisteredListeners();

// A connection's bind text "host:port" when it is one of this instance's listening endpoints:
// the port of a registered listener, and its bind host or, for a listener on all interfaces,
// any address of this computer. With loopbackIsOwn false, loopback addresses never count (a
// mapping's destination is reached from the online computer, where loopback is that computer).
bool IsOwnEndpoint(const std::string& address, bool loopbackIsOwn = true);
// IsOwnEndpoint, a found loop counted (LoopsRefused) and said once per listener on standard
// error. True: the connection must not be made.
bool RefuseLoop(const std::string& address, bool loopbackIsOwn = true);
std::uint64_t LoopsRefused();
// Connections closed because their listener had MaxSessions sessions running.
std::uint64_t SessionsOverCap();
// Connections closed because their source had its share of the listener's sessions running.
std::uint64_t SessionsOverShare();
// Whether address (network order) reaches this computer: loopback, 0.0.0.0 or one of its
// interfaces' addresses.
bool AddressOfThisComputer(std::uint32_t address);

using TAcceptHandler = std::function<void(std::unique_ptr<TBufferedCommunication>)>;
// The same with the session's place under the cap, to be held until the session ends, and the
// stop of the listener's run, for the session to watch.
using TSessionAcceptHandler = std::function<void(std::unique_ptr<TBufferedCommunication>,
                                                 TSessionSlot, std::shared_ptr<TStopSignal>)>;

// The listener's life on the calling thread: the bind phase (10 s of retries every 100 ms), then
// accepts until its stop, each admitted connection given to onAccept; at the end the slot is
// cleared. Connections from peers the access rule does not admit, and those past MaxSessions or
// their source's share of it, are closed at once. A failing accept is retried after a pause; only a
// failed bind or listen ends the listener. A plain onAccept holds the session's place only while it
// runs.
void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TSessionAcceptHandler& onAccept);
void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TAcceptHandler& onAccept);

// A listener thread of its own (it frees itself); false when the slot is taken.
bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TSessionAcceptHandler onAccept);
bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TAcceptHandler onAccept);

// The mapping's listener: each connection becomes a client session.
bool StartClientListener(const TProxyMapping& mapping);
// The proxy server port: each connection becomes a server session.
bool StartServerListener(const std::string& address);

} // namespace harbolt
