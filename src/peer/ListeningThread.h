#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "peer/Datagram.h"

namespace harbolt {

// Where broadcasts may leave. The program uses AnyInterface; tests use LoopbackOnly, which sends
// only when the bound host sits on a loopback interface and never lets the kernel choose one.
enum class TBroadcastScope { AnyInterface, LoopbackOnly };

// What the running thread shares with its owner (defined in ListeningThread.cpp).
struct TListeningState;

// The one thread that owns the announcement socket: it receives datagrams into the incoming queue
// and broadcasts the datagrams queued for sending, each of which also enters the own incoming
// queue first, so the own instance hears itself even when the network does not echo.
//
// One UDP socket bound to INADDR_ANY:port serves the whole run (broadcasts to 255.255.255.255 do
// not reach a socket bound to a unicast address). The host part of the own "ProxyServerAddress"
// picks the interface: only datagrams that arrived on it are kept, and broadcasts leave through it
// with the host as source. Without such a host, every datagram is kept and the kernel routes.
//
// Lifetime: the loop runs on a detached thread that shares ownership of its state with this
// object, so quitting never waits for a wait, a receive or a name look-up. The two references the
// constructor takes (the address callback's captures and the stop flag) belong to the caller;
// the thread touches them only under a lock while this object exists, and the destructor takes
// that lock once to cut them off. Destroying therefore waits at most for one running call of the
// callback: do not destroy while holding a lock the callback takes. After that the thread ends
// by itself within one wait (about 100 ms, 150 ms while datagrams arrive) and closes the socket.
//
// A pass waits for the first datagram (at most 100 ms), takes every one that is there, sends what
// is queued, and after receiving pauses 50 ms before the next: the thread wakes some twenty
// times a second however many computers announce themselves, not once per datagram.
class TListeningThread {
public:
    // proxyServerAddress returns the own "ProxyServerAddress"; it and threadsStop need only
    // outlive this object. port is 42717 in the program.
    TListeningThread(std::function<std::string()> proxyServerAddress,
                     const std::atomic<bool>& threadsStop, std::uint16_t port = PeerPort,
                     TBroadcastScope scope = TBroadcastScope::AnyInterface);
    ~TListeningThread();

    TListeningThread(const TListeningThread&) = delete;
    TListeningThread& operator=(const TListeningThread&) = delete;

    // Runs the loop on its own thread; later calls do nothing.
    void Start();

    // Any thread: the datagram goes out (and into the own incoming queue) at once: the loop is
    // woken for it.
    void QueueForSending(const TDatagram& datagram);

    // Any thread: the loop looks at the owner's address and stop flag now rather than within a
    // second.
    void Wake();

    // The host part of "ProxyServerAddress" the socket is bound for; empty until the first pass.
    std::string BoundAddress() const;

private:
    std::shared_ptr<TListeningState> State;
};

} // namespace harbolt
