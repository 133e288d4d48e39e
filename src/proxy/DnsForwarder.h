#pragma once

#include "net/Communication.h"
#include "net/SocketLayer.h"
#include "platform/Clock.h"
#include "proxy/AccessRule.h"
#include "proxy/DnsMessage.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

// The DNS forwarders. Over UDP every query is passed on with an ID of our own from a port of its
// own, to the online computer's forwarder or, on the online computer, to its DNS server
// "ProxyDnsServer"; an answer is taken only on that port, from where the query went, with its ID
// and its very question, and finds its way back through the list of pending queries, each hop
// restoring the ID it replaced and cutting the answer to what its asker takes. Over TCP every
// connection becomes a client session that tunnels to the same DNS server: the one the online
// computer names.
namespace harbolt {

// The receive buffer: the largest UDP datagram, so that no EDNS answer is cut on its way.
constexpr std::size_t kDnsDatagramSize = 65535;
constexpr std::uint16_t kDefaultDnsPort = 53;

// How long a forwarded query waits for its answer before its requester gets SERVFAIL and its
// entry goes: resolvers wait a few seconds before they ask again, and a failure they hear
// before that beats silence. Below 3 s with room for the hop before.
constexpr std::uint32_t kDnsAnswerTimeLimit = 2500;
// Entries whose time limit nobody applies (see TDnsForwarding::Overdue) go after this.
constexpr std::uint32_t kPendingQueryLifetime = 30000;
// How many forwarded queries wait for their answers at a time. Each holds a socket of its own
// (a fresh source port, so that a forger has to guess the port as well as the ID); a query
// beyond this gets SERVFAIL at once.
constexpr std::size_t kDnsMaxPendingQueries = 256;

// The port both forwarders listen on and forward to. It is 53; only tests change it, since 53
// needs root and may be taken by the machine's own resolver. Set it before the forwarders start.
void SetDnsPort(std::uint16_t port);
std::uint16_t DnsPort();
// The port queries are forwarded to: DnsPort() unless a test sets another (0: DnsPort() again),
// so that a DNS server on the same machine can be told apart from the forwarder.
void SetDnsUpstreamPort(std::uint16_t port);
std::uint16_t DnsUpstreamPort();

// ---------------------------------------------------------------------------------------------
// Datagrams: the 12-byte header (ID in bytes 0-1, QR flag in bit 7 of byte 2, TC in bit 1), the
// rest passed on unchanged.

enum class TDnsKind {
    Malformed, // shorter than the header
    Query,     // QR clear
    Answer,    // QR set
};
TDnsKind DnsKind(std::span<const std::uint8_t> datagram);
// Both need at least the two ID bytes.
std::uint16_t DnsId(std::span<const std::uint8_t> datagram);
void SetDnsId(std::span<std::uint8_t> datagram, std::uint16_t id);

// ---------------------------------------------------------------------------------------------
// Pending queries.

// Forwarded IDs: uniformly drawn 16-bit numbers.
using TDnsIdGenerator = std::function<std::uint16_t()>;
// A generator seeded from the system's random source, so that nobody can predict the IDs of
// forwarded queries (an answer with the right ID is all a forger needs).
TDnsIdGenerator RandomDnsIds();

// One forwarded query waiting for its answer.
struct TPendingQuery {
    sockaddr_in Requester{};       // where the query came from, and where the answer goes
    std::uint16_t RequesterId = 0; // the ID the requester used
    std::uint16_t ForwardedId = 0; // the ID of the forwarded query
    sockaddr_in ForwardedTo{};     // the only address an answer is taken from
    // DnsQuestionSection of the query: an answer must repeat it byte for byte.
    std::vector<std::uint8_t> Question;
    std::uint32_t Time = 0; // tick when it was forwarded
    // The largest answer the requester takes (its EDNS payload size).
    std::size_t PayloadLimit = kDnsClassicPayload;
    // The SERVFAIL answer for the requester, with its ID, should no answer come; empty when the
    // query does not read well enough to make one.
    std::vector<std::uint8_t> Failure;
};

// The forwarded queries, newest first. Forwarded IDs are unique within the list.
class TPendingQueries {
public:
    explicit TPendingQueries(TDnsIdGenerator draw = RandomDnsIds());

    // An ID no entry holds: drawn again on a collision; before the fourth draw is compared the
    // whole list is discarded (those queries get no answer), so the fourth draw is always taken.
    std::uint16_t FreshId();
    void Add(const TPendingQuery& query);
    // The entry of an answer with this ID from sender, removed from the list; nullopt when no
    // entry has the ID or the answer comes from elsewhere than its query went to (such an answer
    // leaves the entry in place).
    std::optional<TPendingQuery> TakeAnswer(std::uint16_t id, const sockaddr_in& sender);
    // The entry with this forwarded ID; nullptr when none has it.
    const TPendingQuery* Find(std::uint16_t forwardedId) const;
    // Removes the entries older than lifetime milliseconds at now.
    void DropOlderThan(std::uint32_t now, std::uint32_t lifetime);
    // Removes them too, handing them back, oldest first.
    std::vector<TPendingQuery> TakeOlderThan(std::uint32_t now, std::uint32_t lifetime);
    void Clear() { FEntries.clear(); }

    const std::list<TPendingQuery>& Entries() const { return FEntries; }
    std::size_t Size() const { return FEntries.size(); }
    bool Holds(std::uint16_t forwardedId) const;

private:
    TDnsIdGenerator FDraw;
    std::list<TPendingQuery> FEntries;
};

// ---------------------------------------------------------------------------------------------
// What the UDP forwarder does with a datagram, without sockets.

// Where queries go: the host of onlineAddress (up to its first ":"), or the DNS server when that
// host is ownHost (exact comparison: this computer is the online one).
std::string DnsQueryHost(const std::string& onlineAddress, const std::string& ownHost,
                         const std::string& server);

// The DNS server every query goes to in the end, over UDP and over TCP alike: the
// "ProxyDnsServer" of the computer that is online, found by the proxy address it announces
// (onlineAddress). It is that computer's Internet connection the queries leave by, and a
// provider's DNS server often answers only its own customers. The own setting stands in while
// no computer here announces that address or names a server.
std::string OnlineDnsServer(const std::string& onlineAddress);

// Whether a query from this address may be served.
using TDnsAdmission = std::function<bool(const sockaddr_in&)>;
// Where an admitted query is to be sent.
struct TDnsRoute {
    // nullopt: nowhere (nobody to ask, a host that does not resolve): SERVFAIL at once.
    TDnsRoute(std::optional<sockaddr_in> to = std::nullopt) : To(to) {}
    // Nowhere yet: the caller holds the query for a dial, left in the buffer as it came, and
    // hands it in again once the dial is over.
    static TDnsRoute Held() {
        TDnsRoute route;
        route.Hold = true;
        return route;
    }
    std::optional<sockaddr_in> To;
    bool Hold = false;
};
// Asked once per admitted query, after which nothing else is asked of it.
using TDnsQueryTarget = std::function<TDnsRoute()>;

// An answer made here, to send to To, for a query that had gone to Upstream.
struct TDnsReply {
    sockaddr_in To{};
    std::vector<std::uint8_t> Message;
    sockaddr_in Upstream{};
};

// A datagram to send: the first Length bytes of the buffer, to To.
struct TDnsSend {
    sockaddr_in To{};
    std::size_t Length = 0;
    bool Query = false; // a forwarded query (its entry is forgotten when it cannot be sent)
};

// What a forwarder answers by itself instead of forwarding, so that a metered link is not dialled
// for nothing.
struct TDnsLocalRules {
    // "ProxyDnsNoDialNames": patterns of names that never dial (see DnsNameMatches).
    std::string NoDialNames;
    // Nobody announced being online lately: a forward would wait for a dial, or go nowhere.
    std::function<bool()> NobodyOnline;
    // A dial on demand would be refused now (the dial budget is spent).
    std::function<bool()> DialRefused;
};

// The UDP forwarder's handling of received datagrams. Used by one thread.
class TDnsForwarding {
public:
    // By default the proxy's access rule decides (refused queries count as refused
    // connections).
    explicit TDnsForwarding(TDnsAdmission admits = ProxyAdmits,
                            TDnsIdGenerator draw = RandomDnsIds());

    // Keeps the answers that pass in a cache on clock, and answers queries from it: fresh
    // answers always, stale ones while nobody is online. While nobody is online, a query for a
    // no-dial name, or one whose dial would be refused, gets SERVFAIL at once.
    void AnswerLocally(const TTickClock& clock, TDnsLocalRules rules,
                       std::size_t entries = TDnsCache::kDefaultEntries);
    // Queries answered from the cache, and refused with SERVFAIL (since AnswerLocally).
    std::uint64_t CacheAnswers() const { return FCacheAnswers; }
    std::uint64_t Refusals() const { return FRefusals; }
    // Queries answered with SERVFAIL because their upstream could not be reached, or too many
    // waited.
    std::uint64_t Failures() const { return FFailures; }
    // Answers dropped: forged or stray (see Answer), or arriving where queries come in.
    std::uint64_t AnswersDropped() const { return FAnswersDropped; }

    // buffer holds the first bytes of a datagram of received bytes (received > buffer.size():
    // it did not fit) from sender, on the port queries come in at. Queries (only those the
    // admission lets through, only whole ones, and only ones whose questions read) get a fresh
    // ID and an entry and go to the query target, or get SERVFAIL when it names none or
    // kDnsMaxPendingQueries wait already. Answers are dropped and counted: an answer comes on the
    // socket its query left by (see Answer). Entries older than kPendingQueryLifetime by clock
    // are dropped first (Overdue answers them long before). nullopt: drop the datagram.
    std::optional<TDnsSend> Handle(std::span<std::uint8_t> buffer, std::size_t received,
                                   const sockaddr_in& sender, const TDnsQueryTarget& queryTarget,
                                   const TTickClock& clock);
    // A datagram as Handle takes it, received from sender on the socket of the query with
    // forwardedId. It is that query's answer only when it is an answer from exactly where the
    // query went, with its ID and its question section byte for byte (name, letter case, type,
    // class); then it gets the requester's ID back, is kept in the cache (when whole), is cut to
    // what the requester takes (FitDnsAnswer) and goes to the requester, and the entry goes.
    // Anything else is dropped and counted, and the entry waits on.
    std::optional<TDnsSend> Answer(std::span<std::uint8_t> buffer, std::size_t received,
                                   const sockaddr_in& sender, std::uint16_t forwardedId);
    // The query with forwardedId sent to to could not be sent, or came back refused: no answer
    // can come. Its entry goes, and its requester gets SERVFAIL, written into buffer; nullopt
    // when no such entry waits or it has no SERVFAIL.
    std::optional<TDnsSend> Unreachable(std::span<std::uint8_t> buffer, std::uint16_t forwardedId,
                                        const sockaddr_in& to);
    // The SERVFAIL answers of the queries that have waited kDnsAnswerTimeLimit by clock; their
    // entries go.
    std::vector<TDnsReply> Overdue(const TTickClock& clock);
    // Milliseconds until the next query is overdue; nullopt while none waits.
    std::optional<std::uint32_t> UntilOverdue(const TTickClock& clock) const;

    const TPendingQueries& Pending() const { return FPending; }

private:
    // The cache's or a SERVFAIL answer to the whole query of length bytes at the start of
    // buffer, written over it (a kept answer came through a buffer of the same size); its
    // length, or 0 to forward the query.
    std::size_t LocalAnswer(std::span<std::uint8_t> buffer, std::size_t length);

    TDnsAdmission FAdmits;
    TPendingQueries FPending;
    std::unique_ptr<TDnsCache> FCache;
    TDnsLocalRules FRules;
    std::uint64_t FCacheAnswers = 0;
    std::uint64_t FRefusals = 0;
    std::uint64_t FFailures = 0;
    std::uint64_t FAnswersDropped = 0;
};

// Answers all UDP forwarders of this process dropped (TDnsForwarding::AnswersDropped), for the
// proxy status.
std::uint64_t DnsAnswersDropped();

// ---------------------------------------------------------------------------------------------
// Queries waiting for a dial.

// How many queries may wait for the online computer at a time; more are dropped (the requester
// asks again, as when no server answers).
constexpr std::size_t kDnsDialQueueCapacity = 64;

// Queries that need the online computer's address while nobody is online wait here, off the
// receive loop, so that one query that dials holds up no other. One waiter thread asks where
// they go (which may dial and take up to a minute); the queries that come meanwhile join its
// wait. The loop takes the finished ones back, woken through WakeDescriptor().
class TDnsDialWait {
public:
    // One held query, with where it is to go once the wait is over (nullopt: nowhere).
    struct TReady {
        std::vector<std::uint8_t> Datagram;
        sockaddr_in Sender{};
        std::optional<sockaddr_in> Target;
    };

    // wait: where queries go, asked on the waiter thread (it may wait for a dial). Raises
    // ECommunication when no wake descriptor can be made.
    explicit TDnsDialWait(TDnsQueryTarget wait, std::size_t capacity = kDnsDialQueueCapacity);
    // Waits for the waiter thread, which ends once its wait returns.
    ~TDnsDialWait();
    TDnsDialWait(const TDnsDialWait&) = delete;
    TDnsDialWait& operator=(const TDnsDialWait&) = delete;

    // Holds a copy of the query for the waiter (started on the first one). False, and nothing
    // held, when capacity queries are held already or no thread can be made.
    bool Hold(std::span<const std::uint8_t> datagram, const sockaddr_in& sender);
    // The queries whose wait is over, oldest first.
    std::vector<TReady> TakeReady();
    // Readable while finished queries are there to take.
    int WakeDescriptor() const { return FWake; }
    // Queries held: waiting or finished and not taken yet.
    std::size_t Held() const;
    // For the wait function, on the waiter thread: the first query of the current wait (the one
    // a dial would be for).
    const TReady& FirstWaiting() const { return FFirst; }

private:
    void Wait();

    const TDnsQueryTarget FWait;
    const std::size_t FCapacity;
    int FWake = -1;
    mutable std::mutex FLock;
    std::condition_variable FQueued;
    std::vector<TReady> FWaiting; // guarded by FLock, as the rest below
    std::vector<TReady> FReady;
    bool FClosing = false;
    TReady FFirst; // the waiter thread's own
    std::thread FWaiter;
};

// ---------------------------------------------------------------------------------------------
// The forwarder threads.

// The UDP forwarder: one socket on any address at the DNS port, handling datagrams until the
// stop of its run. At most one, in the registry slot kUdpDnsSlot.
class TUdpDnsProxyServerListenThread {
public:
    // Makes the socket (SO_REUSEADDR) and binds it to any address at the DNS port. A failed bind
    // leaves the socket unbound (a refusal for lack of permission is reported once).
    TUdpDnsProxyServerListenThread();
    ~TUdpDnsProxyServerListenThread();
    TUdpDnsProxyServerListenThread(const TUdpDnsProxyServerListenThread&) = delete;
    TUdpDnsProxyServerListenThread& operator=(const TUdpDnsProxyServerListenThread&) = delete;

    bool Valid() const { return FSocket != kInvalidSocket; }
    bool Bound() const { return FBound; }
    // Reads "ProxyDnsServerDial", "ProxyDnsNoDialNames" and "ProxyServerAddress" once, then
    // receives and passes on datagrams until stop (nullptr: CurrentProxyStop()) is raised; the
    // DNS server is looked up for every query (OnlineDnsServer). Queries without an answer get
    // SERVFAIL (see TDnsForwarding). The receive loop never waits for a dial (see
    // TDnsDialWait). Only with a valid socket.
    void Run(std::shared_ptr<TStopSignal> stop = nullptr);

    // Registers and starts the thread (it frees itself and clears its slot); false when one is
    // registered already.
    static bool Start();

private:
    TSocket FSocket = kInvalidSocket;
    bool FBound = false;
    sockaddr_in FAddress{};
    TDnsForwarding FForwarding;
};

// The TCP forwarder: a listener on the own host at the DNS port (registry slot kTcpDnsSlot); each
// connection becomes a client session to the online computer's DNS server (OnlineDnsServer) at
// the DNS port, which may dial when "ProxyDnsServerDial" is set; the server is chosen once the
// online computer is known, after any dial. The settings are read afresh for every connection.
// A client that says nothing within RequestTimeLimit() is closed before anything is dialled or
// tunnelled.
class TTcpDnsProxyServerListenThread {
public:
    // ownHost: the host of "ProxyServerAddress" (empty: all interfaces).
    static bool Start(const std::string& ownHost);
    // What happens to one accepted connection, on a thread of its own that holds slot and ends
    // at stop.
    static void Accepted(std::unique_ptr<TBufferedCommunication> client, TSessionSlot slot,
                         std::shared_ptr<TStopSignal> stop);
};

// Starts the TCP forwarder unless one is registered, then the UDP forwarder unless one is
// registered. Called when the proxy services start with "ProxyDnsServerEnabled" set.
void StartDnsForwarders();

} // namespace harbolt
