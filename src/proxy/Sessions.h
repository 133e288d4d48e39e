#pragma once

#include "net/Communication.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
// The request's second line comes along: "CONNECT!" may say there what the asker wants.
using TDialControlHandler = std::function<void(std::unique_ptr<TBufferedCommunication> client,
                                               const std::string& argument)>;

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

// Why an onward connect did not work out. A refusal, an unreachable host or network and a name
// that does not resolve are final: no later attempt would fare better, and the client hears it
// at once instead of after the whole phase.
enum class TConnectFailure {
    None,
    Refused,     // the host answered that nothing listens on the port
    Unreachable, // no route to the host or its network, or no such name
    TimedOut,    // nothing answered within the phase
    Stopped,     // the proxy services are stopping
    Loop,        // one of this instance's own listening endpoints
};

struct TConnectOutcome {
    std::unique_ptr<TBufferedCommunication> Channel; // nullptr unless Failure is None
    TConnectFailure Failure = TConnectFailure::None;
    // One line for the client and the events log: "connection refused by host:port".
    std::string Reason;
};

// ConnectWithin, telling why it failed; final failures end the phase at once.
TConnectOutcome ConnectOnward(const std::string& address, std::uint32_t milliseconds,
                              const TStopSignal& stop);

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
struct TListenerState;

// Where a session stands under its listener's cap.
enum class TSessionPlace : std::uint8_t {
    None,
    Open,          // request not read yet, in a tunnel's place
    OpenInReserve, // request not read yet, in the server port's reserve
    Tunnel,
    Control, // a journal request or a dial question
};

// One place under a listener's session cap and its source's share, held for as long as the
// session runs (Listeners.cpp). The server session moves it to its class once it has read the
// request line.
class TSessionSlot {
public:
    TSessionSlot() = default;
    TSessionSlot(std::shared_ptr<TListenerState> listener, std::uint32_t source,
                 TSessionPlace place);
    TSessionSlot(TSessionSlot&& other) noexcept = default;
    TSessionSlot& operator=(TSessionSlot&&) = delete;
    ~TSessionSlot();

    // False when the class has no room left for the session's source: the session ends.
    bool BecomeTunnel();
    bool BecomeControl();
    TSessionPlace Place() const { return fPlace; }

private:
    std::shared_ptr<TListenerState> fListener;
    std::uint32_t fSource = 0;
    TSessionPlace fPlace = TSessionPlace::None;
};

// Server side, on the calling thread: read the request lines (within RequestTimeLimit) and
// dispatch. A slot, when given, is moved to the request's class first; without room there the
// session ends.
void RunServerSession(std::unique_ptr<TBufferedCommunication> client,
                      std::shared_ptr<TStopSignal> stop = nullptr, TSessionSlot* slot = nullptr);

// The threads sessions run on. A thread whose session has ended waits a while for the next one
// instead of ending: making a thread and ending it (a stack to map, then to give back with every
// CPU told) costs more than a short session such as one HTTP request on a connection of its own.
class TSessionThreads {
public:
    // One session. It is destroyed on its thread as soon as it has run, before the thread waits
    // for the next: its channels close and its slot is given up when the session ends.
    class TTask {
    public:
        virtual ~TTask() = default;
        virtual void Run() = 0;
    };

    static constexpr std::size_t kDefaultWaiting = 64;
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{2000};

    // At most maxWaiting threads wait at a time, each for up to waitLimit; any other thread ends
    // with its session.
    TSessionThreads(std::size_t maxWaiting, std::chrono::milliseconds waitLimit);
    // Sends the waiting threads away and waits until every thread has ended, sessions included.
    ~TSessionThreads();
    TSessionThreads(const TSessionThreads&) = delete;
    TSessionThreads& operator=(const TSessionThreads&) = delete;

    // Runs task on a waiting thread, else on a new one. Raises std::system_error when no thread
    // can be made; task is destroyed then.
    void Start(std::unique_ptr<TTask> task);
    template <typename F> void Start(F function) {
        struct TFunctionTask final : TTask {
            explicit TFunctionTask(F f) : Function(std::move(f)) {}
            void Run() override { Function(); }
            F Function;
        };
        Start(std::unique_ptr<TTask>(std::make_unique<TFunctionTask>(std::move(function))));
    }

    std::size_t Threads() const; // running a session or waiting for one
    std::size_t Waiting() const;

private:
    void Work(std::unique_ptr<TTask> task);

    const std::size_t fMaxWaiting;
    const std::chrono::milliseconds fWaitLimit;
    mutable std::mutex fLock;
    std::condition_variable fWork;              // a task was queued, or the threads are sent away
    std::condition_variable fEnded;             // a thread ended
    std::vector<std::unique_ptr<TTask>> fQueue; // never more than fWaiting
    std::size_t fThreads = 0;
    std::size_t fWaiting = 0;
    bool fClosing = false;
};

// The threads of the proxy's sessions; they last as long as the process.
TSessionThreads& SessionThreads();

// The same on threads of SessionThreads(); slot is given up when the session ends.
void StartClientSession(std::unique_ptr<TBufferedCommunication> client,
                        const std::string& destinationHost, const std::string& destinationPort,
                        bool trigger, TSessionSlot slot = {},
                        std::shared_ptr<TStopSignal> stop = nullptr);
void StartServerSession(std::unique_ptr<TBufferedCommunication> client, TSessionSlot slot = {},
                        std::shared_ptr<TStopSignal> stop = nullptr);

} // namespace harbolt
