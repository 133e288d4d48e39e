#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/SocketLayer.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"

// The TCP channel every conversation runs over, and the two copy loops every proxy rests on.
namespace harbolt {

// ECommunication::Error() of a connect to a host name that does not resolve.
constexpr int kNoSuchHost = -1;

// A socket failure: a localised text, for most failures followed by " (errno)".
class ECommunication : public Exception {
public:
    using Exception::Exception;
    ECommunication(const std::string& message, int error) : Exception(message), fError(error) {}
    // The system's error number behind the failure (ETIMEDOUT for a time-out, kNoSuchHost for a
    // host name that does not resolve); 0 when none is known.
    int Error() const { return fError; }

private:
    int fError = 0;
};

class TBufferedCommunication;

// A stop that can be waited on: loops that look read the flag, loops that sleep in poll also
// watch WakeDescriptor(), which becomes readable for good once Raise() was called.
class TStopSignal {
public:
    // An eventfd (EFD_CLOEXEC|EFD_NONBLOCK); raises ECommunication when none can be made.
    TStopSignal();
    ~TStopSignal();
    TStopSignal(const TStopSignal&) = delete;
    TStopSignal& operator=(const TStopSignal&) = delete;

    // Any thread, any number of times; never cleared.
    void Raise();
    bool Raised() const { return fRaised.load(); }
    int WakeDescriptor() const { return fWake; }
    // For code that takes a flag.
    const std::atomic<bool>& Flag() const { return fRaised; }

private:
    std::atomic<bool> fRaised{false};
    int fWake = -1;
};

// One stream socket with its local and remote names and addresses: IPv4, but for an outgoing
// connection to an IPv6 address. A channel is driven by one thread at a time; the lock only
// serialises Bind, Connect, SetReuseAddress and the building of accepted channels.
class TCommunication {
public:
    // A channel without a socket yet. Raises "WinSock not available" unless noNetwork or
    // WinSockLoaded. A noNetwork channel owns no socket: sending, waiting and accepting raise
    // "bad protocol", receiving returns the requested count without reading, Bind and Connect
    // only check the text and record the host.
    explicit TCommunication(bool noNetwork, std::string localName = {});
    virtual ~TCommunication();
    TCommunication(const TCommunication&) = delete;
    TCommunication& operator=(const TCommunication&) = delete;

    // A listener: a channel with a fresh stream socket (unless noNetwork).
    static std::unique_ptr<TCommunication> CreateListening(bool noNetwork);
    // A buffered channel without a socket, named "$lokal$" when named; Connect gives it one.
    static std::unique_ptr<TBufferedCommunication> CreateUnconnected(bool noNetwork, bool named);

    // SO_REUSEADDR; the result is ignored.
    void SetReuseAddress();
    // "host:port"; an empty host binds all interfaces.
    void Bind(std::string_view text);
    void Listen(int backlog);
    // Waits up to milliseconds (< 0: without limit) for a connection; nullptr on time-out, and
    // also when the accept failed for a passing reason (a connection aborted before it was
    // taken, a signal, a firewall refusal, or no descriptor or memory left): the caller's loop
    // goes on. After a shortage of descriptors or memory Accept has already paused for 100 ms
    // so that the loop does not spin; other failures raise. Without a limit Accept goes on
    // waiting after such a failure instead.
    std::unique_ptr<TBufferedCommunication> Accept(int milliseconds);
    // The same, but the wait also ends (with nullptr) as soon as stop is raised: a listener can
    // then sleep long instead of looking at its stop flag many times a second.
    std::unique_ptr<TBufferedCommunication> Accept(int milliseconds, const TStopSignal& stop);
    // "host:port"; afterwards RemoteAddress holds the local end of the outgoing socket.
    // "[address]:port" connects to an IPv6 address over an IPv6 socket; RemoteAddress then holds
    // only the family AF_INET6 (getsockname of Socket() tells the local end).
    // Blocks as long as the system lets a connect take.
    void Connect(std::string_view text);
    // The same, bounded by milliseconds and cut short by stop (when given): raises an
    // ECommunication with "time-out" in its text then. A failed bounded connect leaves the
    // channel without a socket.
    void Connect(std::string_view text, int milliseconds, const TStopSignal* stop = nullptr);

    // Every blocking receive (ReceiveSome, and through it ReceiveLine, ReceiveExactly,
    // ReceiveStatus, DirectedTransfer's receives) raises an ECommunication with "time-out" in its
    // text when no byte came for silenceMs (0: no limit), or when the deadline set by
    // SetReceiveDeadline has passed. After that the channel stays closed for reading: every
    // later receive raises too. RelayBothWays lifts both limits: it has its own.
    void SetReceiveSilenceLimit(int silenceMs);
    // Deadline = now + milliseconds for all receives from here on (0 clears it): bounds a whole
    // phase such as reading a request head, so one byte every 5 s cannot keep it open.
    void SetReceiveDeadline(int milliseconds);

    // Sends every byte (the buffered channel collects them first).
    virtual void Send(const char* buffer, int length);
    virtual void Flush();
    // One receive of at most max bytes; 0 means the peer closed. max <= 0 returns max.
    virtual int ReceiveSome(char* buffer, int max);
    virtual bool WaitForIncomingData(int milliseconds);

    bool NoNetwork() const { return fNoNetwork; }
    TSocket Socket() const { return fSocket; }
    const std::string& LocalName() const { return fLocalName; }
    // For an accepted channel the peer's name and port; its reverse look-up is made on the first
    // call, so that a listener never waits for a name server while connections queue up.
    std::string RemoteName() const;
    const sockaddr_in& LocalAddress() const { return fLocalAddress; }
    const sockaddr_in& RemoteAddress() const { return fRemoteAddress; }

private:
    struct TPeerAddress {
        sockaddr_storage Record{};
        socklen_t Length = 0;
    };
    void ReplaceSocket(TSocket socket);
    TPeerAddress OpenSocketTo(const std::string& host, std::uint16_t port, int socketFlags);
    void NoteLocalEnd();
    // Before a receive from the socket: waits within the receive limits, raises on time-out.
    void AwaitReceivable();

    using TSteadyClock = std::chrono::steady_clock;

    const bool fNoNetwork;
    std::string fLocalName;
    mutable std::string fRemoteName;
    mutable bool fRemoteNamePending = false; // accepted, name not looked up yet
    sockaddr_in fLocalAddress{};
    sockaddr_in fRemoteAddress{};
    TSocket fSocket = kInvalidSocket;
    mutable std::mutex fLock;
    int fSilenceLimit = 0; // milliseconds, 0: none
    bool fHasDeadline = false;
    TSteadyClock::time_point fDeadline{};
    bool fReceiveTimedOut = false; // a receive limit was hit: closed for reading
};

// A channel with a 4096-byte send buffer (nothing reaches the socket before it fills or Flush)
// and a 4096-byte receive buffer for line reading; bulk receives bypass the receive buffer once
// it is empty.
class TBufferedCommunication : public TCommunication {
public:
    static constexpr int kSendCapacity = 4096;
    static constexpr int kReceiveCapacity = 4096;

    TBufferedCommunication(bool noNetwork, bool named);
    // Flushes first; a failing flush is swallowed (the peer is gone).
    ~TBufferedCommunication() override;

    void Send(const char* buffer, int length) override;
    void Flush() override;
    int ReceiveSome(char* buffer, int max) override;
    bool WaitForIncomingData(int milliseconds) override;

    // Reads one line ending in LF or CR LF into buffer, zero-terminated without its line end,
    // and returns the raw length including the line end. A line with its line end must be
    // shorter than capacity ("line too long" otherwise, the bytes read are consumed); a peer
    // that closes before the line end raises "unexpected end of session".
    int ReceiveLine(char* buffer, int capacity);
    // The same, returning the bytes before the line end.
    std::string ReceiveLine(int capacity);
    // Reads lines until one starts with a three-digit number >= 100 and returns it; -1 for a
    // line that is shorter or does not start with a number.
    int ReceiveStatus();
    void SendText(std::string_view text);
    void SendLineEnd();
    // False as soon as the peer closes before length bytes are in.
    bool ReceiveExactly(char* buffer, int length);
    // Takes the bytes read ahead of what was asked for (by ReceiveLine): a relay sends them on
    // before it moves bytes past the channel. They stay valid until the next receive.
    std::string_view TakeHeld() {
        const std::string_view held(fReceiveBuffer.data() + fReceivePosition,
                                    static_cast<std::size_t>(HeldBytes()));
        fReceivePosition = fReceiveEnd;
        return held;
    }

private:
    int HeldBytes() const { return fReceiveEnd - fReceivePosition; }

    int fSendFill = 0;
    int fReceiveEnd = 0;
    int fReceivePosition = 0;
    std::array<char, kSendCapacity> fSendBuffer;
    std::array<char, kReceiveCapacity> fReceiveBuffer;
};

// Copies count bytes from one channel to the other in pieces of at most chunk bytes through
// buffer (chunk bytes of room), then flushes the target. Raises "error in DirectedTransfer" when
// the source closes early. Each piece is traced as a COPY line and reported to activity.
void DirectedTransfer(TCommunication& from, TCommunication& to, std::int64_t count, int chunk,
                      char* buffer, std::FILE* trace, const std::function<void()>& activity);

// Copies both ways until a side closes, *stopFlag becomes true or nothing has passed for
// 900 seconds of the clock. The channels' receive limits are lifted (see SetReceiveDeadline).
// No channel failure escapes; the caller closes the channels. With dropLoneCrLf a first client
// chunk of exactly CR LF is not forwarded. activity is called for every relayed chunk, from the
// calling thread. Without a trace the bytes pass through a pipe per direction (splice), made
// when the direction first has bytes to move; where no pipe can be made they are copied. Bytes
// the channels hold (TakeHeld) go first. While it runs the relay sets both sockets non-blocking.
void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, const std::atomic<bool>* stopFlag,
                   const std::function<void()>& activity,
                   const TTickClock& clock = SystemTickClock());
// The same with a stop signal: an idle relay sleeps until bytes move, stop is raised or the
// nearest limit (silence or linger, by the clock) is due, instead of looking every 50 ms.
void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, const TStopSignal* stop,
                   const std::function<void()>& activity,
                   const TTickClock& clock = SystemTickClock());
// Without any stop (a literal nullptr, which would fit both overloads): the flag overload.
void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, std::nullptr_t noStop, const std::function<void()>& activity,
                   const TTickClock& clock = SystemTickClock());

// How many pipes relays have made for splicing since the start: shows which way bytes went.
std::uint64_t RelayPipesMade();

} // namespace harbolt
