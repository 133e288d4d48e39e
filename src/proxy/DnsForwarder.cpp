#include "proxy/DnsForwarder.h"

#include "database/Database.h"
#include "database/Journal.h"
#include "platform/EventLog.h"
#include "proxy/DialControl.h"
#include "proxy/Listeners.h"
#include "proxy/ProxyState.h"
#include "proxy/Sessions.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr std::uint8_t kQrFlag = 0x80; // byte 2
// The stop and the finished dial waits wake the loop; this only bounds a missed wake.
constexpr int kReceiveWait = 1000;
// ICMP errors taken at one wake; the rest wait for the next.
constexpr int kErrorsPerWake = 64;

std::atomic<std::uint16_t> Port{kDefaultDnsPort};
std::atomic<std::uint16_t> UpstreamPort{0};
std::atomic<std::uint64_t> DroppedAnswers{0}; // of all forwarders

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

sockaddr_in SocketAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

std::string HostOf(const std::string& endpoint) {
    return endpoint.substr(0, endpoint.find(':'));
}

std::string EndpointText(const sockaddr_in& address) {
    return AddressToDotted(address.sin_addr.s_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string ErrorText(int error) {
    return std::generic_category().message(error);
}

// Tells the events log when queries start to get SERVFAIL for want of an upstream, and when
// answers come again: once each, not once a query. Any thread.
class TUpstreamReport {
public:
    void Failed(const std::string& why) {
        if (!FFailing.exchange(true))
            LogEvent(TEventLevel::Warning,
                     "DNS forwarder: " + why + "; queries get SERVFAIL until answers come again");
    }
    void Answered() {
        if (FFailing.exchange(false))
            LogEvent(TEventLevel::Info, "DNS forwarder: answers come again");
    }

private:
    std::atomic<bool> FFailing{false};
};

// The socket one forwarded query leaves by: bound to a port the kernel picks at random and
// connected to where the query goes, so that the kernel drops datagrams from anywhere else.
// ICMP refusals come back on it (IP_RECVERR).
class TUpstreamSocket {
public:
    // error: errno of a failure, the socket then not Valid().
    TUpstreamSocket(const sockaddr_in& to, int& error) {
        FDescriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        const sockaddr_in any = SocketAddress(INADDR_ANY, 0);
        if (FDescriptor < 0 ||
            setsockopt(FDescriptor, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0 ||
            bind(FDescriptor, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            connect(FDescriptor, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            error = errno;
            Close();
        }
    }
    ~TUpstreamSocket() { Close(); }
    TUpstreamSocket(TUpstreamSocket&& other) noexcept
        : FDescriptor(std::exchange(other.FDescriptor, -1)) {}
    TUpstreamSocket& operator=(TUpstreamSocket&&) = delete;
    TUpstreamSocket(const TUpstreamSocket&) = delete;
    TUpstreamSocket& operator=(const TUpstreamSocket&) = delete;

    bool Valid() const { return FDescriptor >= 0; }
    int Descriptor() const { return FDescriptor; }

private:
    void Close() {
        if (FDescriptor >= 0)
            close(FDescriptor);
        FDescriptor = -1;
    }
    int FDescriptor = -1;
};

// Port 53 needs root or CAP_NET_BIND_SERVICE; said once per run.
void ReportRefusedUdpBind(std::uint16_t port) {
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
        std::fprintf(stderr,
                     "harbolt: binding UDP port %u was refused: ports below 1024 need root or "
                     "CAP_NET_BIND_SERVICE; the DNS forwarder receives nothing\n",
                     static_cast<unsigned>(port));
}

} // namespace

void SetDnsPort(std::uint16_t port) {
    Port = port;
}

std::uint16_t DnsPort() {
    return Port.load();
}

void SetDnsUpstreamPort(std::uint16_t port) {
    UpstreamPort = port;
}

std::uint16_t DnsUpstreamPort() {
    const std::uint16_t port = UpstreamPort.load();
    return port != 0 ? port : DnsPort();
}

// ---------------------------------------------------------------------------------------------
// Datagrams

TDnsKind DnsKind(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kDnsHeaderSize)
        return TDnsKind::Malformed;
    return (datagram[2] & kQrFlag) != 0 ? TDnsKind::Answer : TDnsKind::Query;
}

std::uint16_t DnsId(std::span<const std::uint8_t> datagram) {
    return static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]);
}

void SetDnsId(std::span<std::uint8_t> datagram, std::uint16_t id) {
    datagram[0] = static_cast<std::uint8_t>(id >> 8);
    datagram[1] = static_cast<std::uint8_t>(id & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Pending queries

TDnsIdGenerator RandomDnsIds() {
    std::random_device source;
    std::array<std::uint32_t, 8> seed{};
    for (std::uint32_t& word : seed)
        word = source();
    std::seed_seq sequence(seed.begin(), seed.end());
    auto engine = std::make_shared<std::mt19937>(sequence);
    return [engine] { return static_cast<std::uint16_t>((*engine)() >> 16); };
}

TPendingQueries::TPendingQueries(TDnsIdGenerator draw) : FDraw(std::move(draw)) {}

std::uint16_t TPendingQueries::FreshId() {
    for (int draw = 1;; ++draw) {
        const std::uint16_t id = FDraw();
        // From the fourth draw on the list goes first, so that draw is always taken.
        if (draw >= 4)
            FEntries.clear();
        if (!Holds(id))
            return id;
    }
}

void TPendingQueries::Add(const TPendingQuery& query) {
    FEntries.push_front(query);
}

std::optional<TPendingQuery> TPendingQueries::TakeAnswer(std::uint16_t id,
                                                         const sockaddr_in& sender) {
    const auto entry = std::find_if(FEntries.begin(), FEntries.end(),
                                    [id](const TPendingQuery& q) { return q.ForwardedId == id; });
    if (entry == FEntries.end() || !SameEndpoint(entry->ForwardedTo, sender))
        return std::nullopt;
    const TPendingQuery query = *entry;
    FEntries.erase(entry);
    return query;
}

void TPendingQueries::DropOlderThan(std::uint32_t now, std::uint32_t lifetime) {
    TakeOlderThan(now, lifetime);
}

std::vector<TPendingQuery> TPendingQueries::TakeOlderThan(std::uint32_t now,
                                                          std::uint32_t lifetime) {
    std::vector<TPendingQuery> taken;
    // Newest first: the old ones are at the end.
    while (!FEntries.empty() && TicksSince(FEntries.back().Time, now) > lifetime) {
        taken.push_back(std::move(FEntries.back()));
        FEntries.pop_back();
    }
    return taken;
}

const TPendingQuery* TPendingQueries::Find(std::uint16_t forwardedId) const {
    const auto entry =
        std::find_if(FEntries.begin(), FEntries.end(), [forwardedId](const TPendingQuery& q) {
            return q.ForwardedId == forwardedId;
        });
    return entry == FEntries.end() ? nullptr : &*entry;
}

bool TPendingQueries::Holds(std::uint16_t forwardedId) const {
    return std::any_of(FEntries.begin(), FEntries.end(), [forwardedId](const TPendingQuery& q) {
        return q.ForwardedId == forwardedId;
    });
}

// ---------------------------------------------------------------------------------------------
// Forwarding

std::string DnsQueryHost(const std::string& onlineAddress, const std::string& ownHost,
                         const std::string& server) {
    const std::string host = HostOf(onlineAddress);
    return host == ownHost ? server : host;
}

std::string OnlineDnsServer(const std::string& onlineAddress) {
    const std::lock_guard guard(DatabaseLock);
    const std::string own = GetComputerProperty(OwnComputerName, "ProxyDnsServer");
    if (TheDatabase == nullptr || onlineAddress.empty() ||
        GetComputerProperty(OwnComputerName, "ProxyServerAddress") == onlineAddress)
        return own;
    // The roster hands over the very "ProxyServerAddress" of the computer that announced itself.
    for (const TComputerData* computer = TheDatabase->First.get(); computer != nullptr;
         computer = computer->Next.get())
        if (computer->GetProperty("ProxyServerAddress") == onlineAddress) {
            const std::string server = computer->GetProperty("ProxyDnsServer");
            if (!server.empty())
                return server;
        }
    return own;
}

TDnsForwarding::TDnsForwarding(TDnsAdmission admits, TDnsIdGenerator draw)
    : FAdmits(std::move(admits)), FPending(std::move(draw)) {}

std::optional<TDnsSend> TDnsForwarding::Handle(std::span<std::uint8_t> buffer, std::size_t received,
                                               const sockaddr_in& sender,
                                               const TDnsQueryTarget& queryTarget,
                                               const TTickClock& clock) {
    FPending.DropOlderThan(clock.Now(), kPendingQueryLifetime);
    const bool cut = received > buffer.size();
    const std::span<std::uint8_t> datagram = buffer.first(std::min(received, buffer.size()));
    switch (DnsKind(datagram)) {
    case TDnsKind::Malformed:
        return std::nullopt;
    case TDnsKind::Query: {
        // The rule keeps the forwarder from serving the Internet side of the online computer.
        if (!FAdmits(sender))
            return std::nullopt;
        // A query cut short would reach the server garbled.
        if (cut)
            return std::nullopt;
        // Without its question no answer could be told from a forged one.
        std::optional<std::vector<std::uint8_t>> question = DnsQuestionSection(datagram);
        if (!question)
            return std::nullopt;
        if (const std::size_t length = LocalAnswer(buffer, datagram.size()); length != 0)
            return TDnsSend{sender, length, false};
        const TDnsRoute route = queryTarget();
        if (route.Hold)
            return std::nullopt;
        std::optional<std::vector<std::uint8_t>> failure = DnsServerFailure(datagram);
        // Each waiting query holds a socket: beyond the bound the requester hears so at once.
        if (!route.To || FPending.Size() >= kDnsMaxPendingQueries) {
            // Nobody to ask: the requester hears so now rather than after its own time-out.
            if (!failure)
                return std::nullopt;
            ++FFailures;
            std::copy(failure->begin(), failure->end(), buffer.begin());
            return TDnsSend{sender, failure->size(), false};
        }
        TPendingQuery query;
        query.Requester = sender;
        query.RequesterId = DnsId(datagram);
        query.ForwardedId = FPending.FreshId();
        query.ForwardedTo = *route.To;
        query.Question = std::move(*question);
        query.Time = clock.Now();
        query.PayloadLimit = DnsPayloadLimit(datagram);
        if (failure)
            query.Failure = std::move(*failure);
        FPending.Add(std::move(query));
        // The query goes on as it came, OPT record and all, so that the server sends as much
        // as the requester takes.
        SetDnsId(datagram, FPending.Entries().front().ForwardedId);
        return TDnsSend{*route.To, datagram.size(), true};
    }
    case TDnsKind::Answer:
        // Queries leave by sockets of their own; an answer here is stray or forged.
        ++FAnswersDropped;
        ++DroppedAnswers;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<TDnsSend> TDnsForwarding::Answer(std::span<std::uint8_t> buffer, std::size_t received,
                                               const sockaddr_in& sender,
                                               std::uint16_t forwardedId) {
    const bool cut = received > buffer.size();
    const std::span<std::uint8_t> datagram = buffer.first(std::min(received, buffer.size()));
    const TPendingQuery* waiting = FPending.Find(forwardedId);
    // The source, the ID and the question must all be the query's: a forger who guessed the
    // port and the ID still has to guess the spelling of the name, and an answer to another
    // question never enters the cache under it.
    if (waiting == nullptr || DnsKind(datagram) != TDnsKind::Answer ||
        DnsId(datagram) != forwardedId || !SameEndpoint(waiting->ForwardedTo, sender) ||
        DnsQuestionSection(datagram) != waiting->Question) {
        ++FAnswersDropped;
        ++DroppedAnswers;
        return std::nullopt;
    }
    const std::optional<TPendingQuery> query = FPending.TakeAnswer(forwardedId, sender);
    SetDnsId(datagram, query->RequesterId);
    std::size_t length = datagram.size();
    if (cut) // its end is missing: nothing after the question can be trusted
        length = DnsAnswerStub(datagram);
    else {
        if (FCache)
            FCache->Store(datagram);
        length = FitDnsAnswer(datagram, query->PayloadLimit);
    }
    return TDnsSend{query->Requester, length, false};
}

std::uint64_t DnsAnswersDropped() {
    return DroppedAnswers.load();
}

std::optional<TDnsSend> TDnsForwarding::Unreachable(std::span<std::uint8_t> buffer,
                                                    std::uint16_t forwardedId,
                                                    const sockaddr_in& to) {
    const std::optional<TPendingQuery> query = FPending.TakeAnswer(forwardedId, to);
    if (!query || query->Failure.empty() || query->Failure.size() > buffer.size())
        return std::nullopt;
    ++FFailures;
    std::copy(query->Failure.begin(), query->Failure.end(), buffer.begin());
    return TDnsSend{query->Requester, query->Failure.size(), false};
}

std::vector<TDnsReply> TDnsForwarding::Overdue(const TTickClock& clock) {
    std::vector<TDnsReply> replies;
    for (TPendingQuery& query : FPending.TakeOlderThan(clock.Now(), kDnsAnswerTimeLimit - 1)) {
        if (query.Failure.empty())
            continue;
        ++FFailures;
        replies.push_back({query.Requester, std::move(query.Failure), query.ForwardedTo});
    }
    return replies;
}

std::optional<std::uint32_t> TDnsForwarding::UntilOverdue(const TTickClock& clock) const {
    if (FPending.Size() == 0)
        return std::nullopt;
    const std::uint32_t waited = TicksSince(FPending.Entries().back().Time, clock.Now());
    return waited >= kDnsAnswerTimeLimit ? 0 : kDnsAnswerTimeLimit - waited;
}

void TDnsForwarding::AnswerLocally(const TTickClock& clock, TDnsLocalRules rules,
                                   std::size_t entries) {
    FCache = std::make_unique<TDnsCache>(clock, entries);
    FRules = std::move(rules);
}

std::size_t TDnsForwarding::LocalAnswer(std::span<std::uint8_t> buffer, std::size_t length) {
    if (!FCache)
        return 0;
    const std::span<const std::uint8_t> datagram = buffer.first(length);
    const bool nobodyOnline = FRules.NobodyOnline && FRules.NobodyOnline();
    std::optional<std::vector<std::uint8_t>> answer = FCache->Answer(datagram, nobodyOnline);
    // Kept whole for whoever takes most; this requester may take less, and one that did not
    // speak EDNS gets no OPT record.
    if (answer && !DnsQueryHasOpt(datagram))
        answer->resize(DnsAnswerWithoutOpt(*answer));
    if (answer)
        answer->resize(FitDnsAnswer(*answer, DnsPayloadLimit(datagram)));
    if (answer)
        ++FCacheAnswers;
    else if (nobodyOnline) {
        const std::optional<TDnsMessage> query = ParseDnsMessage(datagram);
        const bool noDial = query && !query->Questions.empty() &&
                            DnsNameMatches(FRules.NoDialNames, query->Questions.front().Name);
        if (noDial || (FRules.DialRefused && FRules.DialRefused())) {
            answer = DnsServerFailure(datagram);
            if (answer)
                ++FRefusals;
        }
    }
    if (!answer || answer->size() > buffer.size())
        return 0;
    std::copy(answer->begin(), answer->end(), buffer.begin());
    return answer->size();
}

// ---------------------------------------------------------------------------------------------
// Queries waiting for a dial

TDnsDialWait::TDnsDialWait(TDnsQueryTarget wait, std::size_t capacity)
    : FWait(std::move(wait)), FCapacity(capacity) {
    FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TDnsDialWait::~TDnsDialWait() {
    {
        const std::lock_guard lock(FLock);
        FClosing = true;
    }
    FQueued.notify_all();
    if (FWaiter.joinable())
        FWaiter.join();
    close(FWake);
}

bool TDnsDialWait::Hold(std::span<const std::uint8_t> datagram, const sockaddr_in& sender) {
    const std::lock_guard lock(FLock);
    if (FWaiting.size() + FReady.size() >= FCapacity)
        return false;
    if (!FWaiter.joinable()) {
        try {
            FWaiter = std::thread([this] { Wait(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    FWaiting.push_back({{datagram.begin(), datagram.end()}, sender, std::nullopt});
    FQueued.notify_one();
    return true;
}

std::vector<TDnsDialWait::TReady> TDnsDialWait::TakeReady() {
    std::vector<TReady> ready;
    const std::lock_guard lock(FLock);
    ready.swap(FReady);
    std::uint64_t count = 0;
    (void)!read(FWake, &count, sizeof count); // the counter back to 0: not readable
    return ready;
}

std::size_t TDnsDialWait::Held() const {
    const std::lock_guard lock(FLock);
    return FWaiting.size() + FReady.size();
}

void TDnsDialWait::Wait() {
    std::unique_lock lock(FLock);
    for (;;) {
        FQueued.wait(lock, [this] { return FClosing || !FWaiting.empty(); });
        if (FClosing)
            return;
        FFirst = FWaiting.front();
        lock.unlock();
        std::optional<sockaddr_in> target;
        try {
            target = FWait().To;
        } catch (const std::exception&) {
            // No address to be had (no memory for a look-up): the queries get SERVFAIL.
        }
        lock.lock();
        // Every query that came during the wait has its answer too.
        for (TReady& query : FWaiting) {
            query.Target = target;
            FReady.push_back(std::move(query));
        }
        FWaiting.clear();
        const std::uint64_t one = 1;
        (void)!write(FWake, &one, sizeof one);
    }
}

// ---------------------------------------------------------------------------------------------
// UDP forwarder

TUdpDnsProxyServerListenThread::TUdpDnsProxyServerListenThread() {
    FSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (FSocket == kInvalidSocket)
        return;
    const int on = 1;
    setsockopt(FSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    FAddress = SocketAddress(INADDR_ANY, DnsPort());
    FBound = bind(FSocket, reinterpret_cast<const sockaddr*>(&FAddress), sizeof FAddress) == 0;
    if (!FBound && errno == EACCES)
        ReportRefusedUdpBind(DnsPort());
}

TUdpDnsProxyServerListenThread::~TUdpDnsProxyServerListenThread() {
    if (FSocket != kInvalidSocket) {
        shutdown(FSocket, SHUT_RDWR);
        close(FSocket);
        FSocket = kInvalidSocket;
    }
}

void TUdpDnsProxyServerListenThread::Run(std::shared_ptr<TStopSignal> stop) {
    if (!Valid())
        return;
    if (!stop)
        stop = CurrentProxyStop();
    const bool dial = TextIsTrue(GetComputerProperty(OwnComputerName, "ProxyDnsServerDial"));
    const std::string ownHost = HostOf(GetComputerProperty(OwnComputerName, "ProxyServerAddress"));
    TDnsLocalRules rules;
    rules.NoDialNames = GetComputerProperty(OwnComputerName, "ProxyDnsNoDialNames");
    rules.NobodyOnline = [] {
        std::string address;
        return !FreshOnlineAddress(address);
    };
    rules.DialRefused = [dial] { return dial && DialRouteNow().Route == TDialRoute::Refused; };
    FForwarding.AnswerLocally(ProxyClock(), std::move(rules));
    TUpstreamReport report;
    // Also called on the dial waiter's thread.
    const auto targetOf = [&](const std::string& onlineAddress) -> TDnsRoute {
        const std::string host =
            DnsQueryHost(onlineAddress, ownHost, OnlineDnsServer(onlineAddress));
        if (host.empty()) {
            report.Failed(onlineAddress.empty() ? "nobody is online"
                                                : "no DNS server is set (ProxyDnsServer)");
            return {};
        }
        const std::uint32_t address = ResolveAddress(host);
        if (address == kInaddrNone) {
            report.Failed("the DNS host " + host + " does not resolve");
            return {};
        }
        return std::optional(SocketAddress(address, DnsUpstreamPort()));
    };
    TDnsDialWait* waiter = nullptr;
    const auto cause = [&waiter] {
        const TDnsDialWait::TReady& first = waiter->FirstWaiting();
        const std::optional<TDnsMessage> query = ParseDnsMessage(first.Datagram);
        return AddressToDotted(first.Sender.sin_addr.s_addr) + " DNS " +
               (query && !query->Questions.empty() ? query->Questions.front().Name : "?");
    };
    TDnsDialWait waits([&]() -> TDnsRoute {
        const TOnlineLookup online = FindOnlineProxy(true, stop.get(), cause());
        if (online.DialRefused) {
            report.Failed("no dial is allowed now (the dial budget is spent)");
            return {};
        }
        // The wait ended with nobody online (no computer would dial for this one): the address
        // left over names a computer that went offline.
        std::string fresh;
        if (!FreshOnlineAddress(fresh)) {
            report.Failed("no computer would dial");
            return {};
        }
        return targetOf(online.Address);
    });
    waiter = &waits;
    // Nobody online and a dial allowed: the waiter asks; the loop goes on with the others.
    bool later = false;
    const TDnsQueryTarget target = [&]() -> TDnsRoute {
        if (dial && !OnlineAddressFresh() && DialRouteNow().Route != TDialRoute::None) {
            later = true;
            return TDnsRoute::Held();
        }
        return targetOf(GetOnlineProxyAddress(false, stop.get()));
    };

    std::vector<std::uint8_t> buffer(kDnsDatagramSize);
    // Answers, SERVFAILs and cached answers go to requesters from the port they asked at.
    const auto sendTo = [this](const sockaddr_in& to, const std::uint8_t* bytes,
                               std::size_t length) {
        return sendto(FSocket, bytes, length, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to) == static_cast<ssize_t>(length);
    };
    // Every forwarded query leaves from a socket of its own, by forwarded ID.
    std::map<std::uint16_t, TUpstreamSocket> upstream;
    // A query that cannot be sent gets SERVFAIL; an answer that cannot be sent is lost as if
    // the network had lost it.
    const auto pass = [&](const std::optional<TDnsSend>& send) {
        if (!send)
            return;
        if (!send->Query) {
            sendTo(send->To, buffer.data(), send->Length);
            return;
        }
        const std::uint16_t id = DnsId(buffer);
        upstream.erase(id); // an entry of a discarded list had the ID
        int error = 0;
        TUpstreamSocket socket(send->To, error);
        if (socket.Valid() && ::send(socket.Descriptor(), buffer.data(), send->Length,
                                     MSG_DONTWAIT) == static_cast<ssize_t>(send->Length)) {
            upstream.emplace(id, std::move(socket));
            return;
        }
        if (error == 0)
            error = errno;
        report.Failed("sending to " + EndpointText(send->To) + " failed: " + ErrorText(error));
        const std::optional<TDnsSend> failure = FForwarding.Unreachable(buffer, id, send->To);
        if (failure)
            sendTo(failure->To, buffer.data(), failure->Length);
    };
    // ICMP errors about a forwarded query (IP_RECVERR): the original query tells which one.
    const auto takeErrors = [&](int descriptor) {
        for (int error = 0; error < kErrorsPerWake; ++error) {
            sockaddr_in to{};
            std::array<std::uint8_t, kDnsHeaderSize> query{};
            alignas(cmsghdr) std::array<char, 256> control{};
            iovec part{query.data(), query.size()};
            msghdr message{};
            message.msg_name = &to;
            message.msg_namelen = sizeof to;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t length = recvmsg(descriptor, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
            if (length < 0)
                return;
            if (length < 2 || to.sin_family != AF_INET)
                continue;
            for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
                 item = CMSG_NXTHDR(&message, item)) {
                if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR)
                    continue;
                sock_extended_err said{};
                std::memcpy(&said, CMSG_DATA(item), sizeof said);
                // "Fragmentation needed" only asks for smaller datagrams.
                if (said.ee_origin != SO_EE_ORIGIN_ICMP || said.ee_type != ICMP_DEST_UNREACH ||
                    said.ee_code == ICMP_FRAG_NEEDED)
                    continue;
                const std::optional<TDnsSend> failure =
                    FForwarding.Unreachable(buffer, DnsId(query), to);
                if (!failure)
                    continue;
                report.Failed(EndpointText(to) +
                              " cannot be reached: " + ErrorText(static_cast<int>(said.ee_errno)));
                sendTo(failure->To, buffer.data(), failure->Length);
            }
        }
    };
    // What came on the socket of the query with this ID.
    const auto takeAnswers = [&](std::uint16_t id, int descriptor) {
        for (int datagram = 0; datagram < kErrorsPerWake && FForwarding.Pending().Holds(id);
             ++datagram) {
            sockaddr_in sender{};
            socklen_t senderLength = sizeof sender;
            const ssize_t received =
                recvfrom(descriptor, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (received < 0)
                return;
            const std::optional<TDnsSend> send =
                FForwarding.Answer(buffer, static_cast<std::size_t>(received), sender, id);
            if (send)
                report.Answered();
            pass(send);
        }
    };
    bool dropsReported = false;
    std::vector<pollfd> watched;
    std::vector<std::uint16_t> watchedIds; // of watched[kFixedWatches] on
    constexpr std::size_t kFixedWatches = 3;
    while (!stop->Raised()) {
        for (const TDnsReply& reply : FForwarding.Overdue(ProxyClock())) {
            report.Failed("no answer from " + EndpointText(reply.Upstream) + " within " +
                          std::to_string(kDnsAnswerTimeLimit) + " ms");
            sendTo(reply.To, reply.Message.data(), reply.Message.size());
        }
        // The sockets of queries answered, failed, overdue or discarded go.
        std::erase_if(upstream, [this](const auto& entry) {
            return !FForwarding.Pending().Holds(entry.first);
        });
        int wait = kReceiveWait;
        if (const std::optional<std::uint32_t> until = FForwarding.UntilOverdue(ProxyClock()))
            wait = static_cast<int>(std::min<std::uint32_t>(*until, kReceiveWait));
        watched = {pollfd{FSocket, POLLIN, 0}, pollfd{waits.WakeDescriptor(), POLLIN, 0},
                   pollfd{stop->WakeDescriptor(), POLLIN, 0}};
        watchedIds.clear();
        for (const auto& [id, socket] : upstream) {
            watched.push_back(pollfd{socket.Descriptor(), POLLIN, 0});
            watchedIds.push_back(id);
        }
        if (poll(watched.data(), watched.size(), wait) <= 0)
            continue;
        for (std::size_t i = kFixedWatches; i < watched.size(); ++i) {
            if ((watched[i].revents & POLLERR) != 0)
                takeErrors(watched[i].fd);
            if ((watched[i].revents & POLLIN) != 0)
                takeAnswers(watchedIds[i - kFixedWatches], watched[i].fd);
        }
        if (watched[1].revents != 0) {
            for (const TDnsDialWait::TReady& ready : waits.TakeReady()) {
                std::copy(ready.Datagram.begin(), ready.Datagram.end(), buffer.begin());
                pass(FForwarding.Handle(
                    buffer, ready.Datagram.size(), ready.Sender, [&ready] { return ready.Target; },
                    ProxyClock()));
            }
            dropsReported = false;
        }
        if ((watched[0].revents & POLLIN) == 0)
            continue;
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC: the datagram's whole length, also when it did not fit.
        const ssize_t received =
            recvfrom(FSocket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0 || sender.sin_family != AF_INET)
            continue;
        later = false;
        const std::optional<TDnsSend> send = FForwarding.Handle(
            buffer, static_cast<std::size_t>(received), sender, target, ProxyClock());
        if (!send && later) {
            // Left as it came; a whole query, or it would not have been asked about.
            const std::span<const std::uint8_t> query(buffer.data(),
                                                      static_cast<std::size_t>(received));
            if (!waits.Hold(query, sender) && !dropsReported) {
                dropsReported = true;
                std::fprintf(stderr,
                             "harbolt: DNS forwarder: %zu queries wait for a dial already; "
                             "more are dropped until it is over\n",
                             waits.Held());
            }
            continue;
        }
        pass(send);
    }
}

bool TUdpDnsProxyServerListenThread::Start() {
    const std::shared_ptr<TListenerState> state =
        RegisterListener(kUdpDnsSlot, "0.0.0.0:" + std::to_string(DnsPort()));
    if (!state)
        return false;
    try {
        std::thread([state] {
            try {
                TUdpDnsProxyServerListenThread forwarder;
                state->Bound = forwarder.Bound();
                forwarder.Run(state->Stop);
            } catch (const std::exception& error) {
                // No random source, descriptor or memory: the forwarder ends, its socket closed.
                std::fprintf(stderr, "harbolt: the UDP DNS forwarder ended: %s\n", error.what());
            }
            state->Bound = false;
            ClearListener(state);
        }).detach();
    } catch (const std::exception&) {
        ClearListener(state); // no thread could be made
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// TCP forwarder

namespace {

// Whether the client's first bytes came within milliseconds, before stop. A client that closed
// or failed sent none.
bool FirstBytesCame(const TCommunication& client, const TStopSignal& stop, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || stop.Raised())
            return false;
        std::array<pollfd, 2> watched{pollfd{client.Socket(), POLLIN, 0},
                                      pollfd{stop.WakeDescriptor(), POLLIN, 0}};
        const int ready = poll(watched.data(), watched.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if (watched[1].revents != 0)
            return false;
        char first = 0;
        return recv(client.Socket(), &first, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }
}

// Queries of one TCP connection that get SERVFAIL; a resolver sends one or a few.
constexpr int kTcpFailuresPerConnection = 16;

// Nothing can answer (no dial allowed, nobody online): each query the client sends within the
// request time limit gets SERVFAIL at once, so that it need not wait for its own time-out.
void AnswerServerFailures(TBufferedCommunication& client) {
    try {
        client.SetReceiveDeadline(RequestTimeLimit());
        for (int query = 0; query < kTcpFailuresPerConnection; ++query) {
            std::array<std::uint8_t, 2> prefix{};
            if (!client.ReceiveExactly(reinterpret_cast<char*>(prefix.data()), 2))
                return;
            std::vector<std::uint8_t> message(static_cast<std::size_t>(prefix[0] << 8 | prefix[1]));
            if (!client.ReceiveExactly(reinterpret_cast<char*>(message.data()),
                                       static_cast<int>(message.size())))
                return;
            const std::optional<std::vector<std::uint8_t>> failure = DnsServerFailure(message);
            if (!failure)
                return;
            std::string framed{static_cast<char>(failure->size() >> 8),
                               static_cast<char>(failure->size() & 0xFF)};
            framed.append(failure->begin(), failure->end());
            client.SendText(framed);
            client.Flush();
        }
    } catch (const std::exception&) {
        // Closed, silent or failed: the connection ends.
    }
}

} // namespace

bool TTcpDnsProxyServerListenThread::Start(const std::string& ownHost) {
    return StartListenerThread(kTcpDnsSlot, ownHost + ":" + std::to_string(DnsPort()),
                               kMappingBacklog, TSessionAcceptHandler(Accepted));
}

void TTcpDnsProxyServerListenThread::Accepted(std::unique_ptr<TBufferedCommunication> client,
                                              TSessionSlot slot,
                                              std::shared_ptr<TStopSignal> stop) {
    if (!stop)
        stop = CurrentProxyStop();
    const bool dial = TextIsTrue(GetComputerProperty(OwnComputerName, "ProxyDnsServerDial"));
    try {
        std::thread([client = std::move(client), slot = std::move(slot), stop = std::move(stop),
                     dial]() mutable {
            // A silent client would hold the session, and perhaps a dial, for the relay's idle
            // limit; a resolver sends its query at once.
            if (!FirstBytesCame(*client, *stop, RequestTimeLimit()))
                return;
            // The server is the online computer's, as for UDP: known once somebody is online.
            std::string online = OnlineAddressState().Address;
            if (dial) {
                const std::string cause =
                    OnlineAddressFresh()
                        ? std::string()
                        : AddressToDotted(client->RemoteAddress().sin_addr.s_addr) +
                              " DNS over TCP";
                const TOnlineLookup lookup = FindOnlineProxy(true, stop.get(), cause);
                // No dial allowed, or nobody would dial: an address left over names a computer
                // that went offline.
                std::string fresh;
                if (lookup.DialRefused || !FreshOnlineAddress(fresh)) {
                    if (!stop->Raised())
                        AnswerServerFailures(*client);
                    return;
                }
                online = lookup.Address;
            }
            // Any dial has been asked for above: none a second time.
            RunClientSession(std::move(client), OnlineDnsServer(online),
                             std::to_string(DnsUpstreamPort()), false, std::move(stop));
        }).detach();
    } catch (const std::system_error&) {
        // No thread: the lambda and with it the connection are gone.
    }
}

void StartDnsForwarders() {
    const std::string ownHost = HostOf(GetComputerProperty(OwnComputerName, "ProxyServerAddress"));
    if (!ListenerRegistered(kTcpDnsSlot))
        TTcpDnsProxyServerListenThread::Start(ownHost);
    if (!ListenerRegistered(kUdpDnsSlot))
        TUdpDnsProxyServerListenThread::Start();
}

} // namespace harbolt
