#include "proxy/DnsForwarder.h"
#include "ProxyTestSupport.h"
#include "dialup/EventId.h"
#include "dialup/RasManager.h"
#include "proxy/AccessRule.h"
#include "proxy/Listeners.h"
#include "proxy/PeerDial.h"
#include "proxy/ProxyServices.h"
#include "support/FakeTickClock.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include <unistd.h>

namespace harbolt {
namespace {

using Datagram = std::vector<std::uint8_t>;
using test::MakeListener;
using test::ReadUpTo;
using test::SendNow;
using test::WaitFor;

sockaddr_in Endpoint(const char* dotted, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &address.sin_addr);
    return address;
}

std::string Text(const sockaddr_in& address) {
    return AddressToDotted(address.sin_addr.s_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

// A query for the name of labels, type A, with recursion desired.
Datagram Query(std::uint16_t id, std::initializer_list<const char*> labels) {
    Datagram d = {static_cast<std::uint8_t>(id >> 8),
                  static_cast<std::uint8_t>(id),
                  0x01,
                  0x00,
                  0x00,
                  0x01,
                  0x00,
                  0x00,
                  0x00,
                  0x00,
                  0x00,
                  0x00};
    for (const char* label : labels) {
        d.push_back(static_cast<std::uint8_t>(std::strlen(label)));
        d.insert(d.end(), label, label + std::strlen(label));
    }
    d.insert(d.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
    return d;
}

// A query for "example.test".
Datagram Query(std::uint16_t id) {
    return Query(id, {"example", "test"});
}

// The answer to query with id, carrying one address record with the last byte tag.
Datagram Answer(const Datagram& query, std::uint16_t id, std::uint8_t tag) {
    Datagram d = query;
    d[0] = static_cast<std::uint8_t>(id >> 8);
    d[1] = static_cast<std::uint8_t>(id);
    d[2] = 0x81;
    d[3] = 0x80;
    d[7] = 0x01;
    d.insert(d.end(), {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10, 0x00, 0x04, 192,
                       0, 2, tag});
    return d;
}

// The query with an OPT record offering payload bytes.
Datagram WithOpt(Datagram query, std::uint16_t payload) {
    query[11] = 1;
    query.insert(query.end(), {0x00, 0x00, 0x29, static_cast<std::uint8_t>(payload >> 8),
                               static_cast<std::uint8_t>(payload), 0, 0, 0, 0, 0, 0});
    return query;
}

// The answer to Query(id) with records address records and an OPT record: 60 make 1,001 bytes.
Datagram LargeAnswer(std::uint16_t id, std::uint8_t records) {
    Datagram d = Answer(Query(0), id, 0);
    const Datagram record(d.end() - 16, d.end());
    for (std::uint8_t more = 1; more < records; ++more)
        d.insert(d.end(), record.begin(), record.end());
    d[7] = records;
    return WithOpt(d, 1232);
}

// The SERVFAIL answer to a query made by Query.
Datagram ServerFailure(Datagram query) {
    query[2] = 0x81;
    query[3] = 0x82;
    return query;
}

// A message as it goes over TCP (shorter than 256 bytes).
std::string Framed(const Datagram& d) {
    return std::string{0, static_cast<char>(d.size())} + std::string(d.begin(), d.end());
}

std::uint16_t IdOf(const Datagram& d) {
    return DnsId(d);
}

// Everything but the ID.
Datagram Body(Datagram d) {
    d[0] = d[1] = 0;
    return d;
}

// Draws scripted IDs and counts them.
struct TScriptedIds {
    std::deque<std::uint16_t> Next;
    int Draws = 0;
    TDnsIdGenerator Generator() {
        return [this] {
            ++Draws;
            const std::uint16_t id = Next.empty() ? 0 : Next.front();
            if (!Next.empty())
                Next.pop_front();
            return id;
        };
    }
};

TPendingQuery Pending(std::uint16_t forwardedId, std::uint32_t time = 0) {
    TPendingQuery query;
    query.Requester = Endpoint("10.0.0.5", 33000);
    query.RequesterId = 0x0101;
    query.ForwardedId = forwardedId;
    query.ForwardedTo = Endpoint("127.0.0.3", 53);
    query.Time = time;
    return query;
}

std::vector<std::uint16_t> ForwardedIds(const TPendingQueries& pending) {
    std::vector<std::uint16_t> ids;
    for (const TPendingQuery& query : pending.Entries())
        ids.push_back(query.ForwardedId);
    return ids;
}

// ---------------------------------------------------------------------------------------------
// Datagrams and the pending list

TEST(DnsPendingTest, FreshIdsRedrawCollisionsAndDiscardTheListAtTheFourthDraw) {
    TScriptedIds ids;
    TPendingQueries pending(ids.Generator());
    // No collision: the first draw.
    ids.Next = {7};
    EXPECT_EQ(pending.FreshId(), 7);
    EXPECT_EQ(ids.Draws, 1);
    pending.Add(Pending(7));
    pending.Add(Pending(8));
    pending.Add(Pending(9));
    // Two collisions, the third draw is free.
    ids.Draws = 0;
    ids.Next = {8, 7, 10};
    EXPECT_EQ(pending.FreshId(), 10);
    EXPECT_EQ(ids.Draws, 3);
    EXPECT_EQ(ForwardedIds(pending), (std::vector<std::uint16_t>{9, 8, 7}));
    // Three collisions: the list goes before the fourth draw is compared, and that draw is
    // taken even though an entry had it.
    ids.Draws = 0;
    ids.Next = {9, 9, 7, 8, 11};
    EXPECT_EQ(pending.FreshId(), 8);
    EXPECT_EQ(ids.Draws, 4);
    EXPECT_EQ(pending.Size(), 0u);
}

TEST(DnsPendingTest, EntriesOlderThanTheLifetimeAreDropped) {
    TScriptedIds ids;
    TPendingQueries pending(ids.Generator());
    pending.Add(Pending(1, 0xFFFFF000u)); // made just before the tick counter wrapped
    pending.Add(Pending(2, 10000));
    pending.Add(Pending(3, 20000));
    pending.DropOlderThan(40000, 30000);
    EXPECT_EQ(ForwardedIds(pending), (std::vector<std::uint16_t>{3, 2}));
    pending.DropOlderThan(40001, 30000);
    EXPECT_EQ(ForwardedIds(pending), (std::vector<std::uint16_t>{3}));
}

TEST(DnsPendingTest, RandomIdsAreNotTheSameSequenceTwice) {
    // A fixed seed would give every run (and every computer) the same IDs.
    TDnsIdGenerator first = RandomDnsIds();
    TDnsIdGenerator second = RandomDnsIds();
    std::vector<std::uint16_t> a, b;
    for (int i = 0; i < 8; ++i) {
        a.push_back(first());
        b.push_back(second());
    }
    EXPECT_NE(a, b);
    // Nor a counter.
    int steps = 0;
    for (std::size_t i = 1; i < a.size(); ++i)
        steps += static_cast<std::uint16_t>(a[i] - a[i - 1]) == 1 ? 1 : 0;
    EXPECT_LT(steps, 7);
}

// ---------------------------------------------------------------------------------------------
// Handling of datagrams, without sockets

class DnsForwardingTest : public ::testing::Test {
protected:
    // The forwarding under test admits what admits says (everyone by default).
    void Make(TDnsAdmission admits = [](const sockaddr_in&) { return true; }) {
        Forwarding = std::make_unique<TDnsForwarding>(std::move(admits), Ids.Generator());
    }
    std::optional<TDnsSend> Handle(Datagram& d, const sockaddr_in& sender,
                                   std::size_t received = 0) {
        if (received == 0)
            received = d.size();
        return Forwarding->Handle(d, received, sender, Target, Clock);
    }
    // The answer in d from sender on the socket of the query with forwardedId (by default the
    // answer's own ID).
    std::optional<TDnsSend> Deliver(Datagram& d, const sockaddr_in& sender,
                                    std::size_t received = 0,
                                    std::optional<std::uint16_t> forwardedId = std::nullopt) {
        return Forwarding->Answer(d, received == 0 ? d.size() : received, sender,
                                  forwardedId.value_or(IdOf(d)));
    }
    // What send hands the requester of the bytes in d.
    Datagram ToRequester(Datagram d, const std::optional<TDnsSend>& send) const {
        EXPECT_TRUE(send && !send->Query && Text(send->To) == Text(Requester));
        d.resize(send ? send->Length : 0);
        return d;
    }
    TDnsQueryTarget Target = [this]() -> std::optional<sockaddr_in> {
        ++TargetAsked;
        return TargetAddress;
    };
    std::optional<sockaddr_in> TargetAddress = Endpoint("127.0.0.3", 53);
    int TargetAsked = 0;
    TScriptedIds Ids;
    test::TFakeTickClock Clock{50000};
    std::unique_ptr<TDnsForwarding> Forwarding;
    const sockaddr_in Requester = Endpoint("10.1.2.3", 40000);
};

TEST_F(DnsForwardingTest, QueriesGetAFreshIdAndTheirAnswersTheRequestersId) {
    Make();
    Ids.Next = {0xBEEF};
    Datagram query = Query(0x1234);
    const auto forwarded = Handle(query, Requester);
    ASSERT_TRUE(forwarded);
    EXPECT_TRUE(forwarded->Query);
    EXPECT_EQ(Text(forwarded->To), "127.0.0.3:53");
    EXPECT_EQ(forwarded->Length, query.size());
    EXPECT_EQ(IdOf(query), 0xBEEF);
    EXPECT_EQ(Body(query), Body(Query(0x1234)));
    ASSERT_EQ(Forwarding->Pending().Size(), 1u);
    const TPendingQuery& entry = Forwarding->Pending().Entries().front();
    EXPECT_EQ(entry.RequesterId, 0x1234);
    EXPECT_EQ(Text(entry.Requester), "10.1.2.3:40000");
    EXPECT_EQ(entry.Time, Clock.Now());

    Datagram answer = Answer(Query(0), 0xBEEF, 7);
    const auto returned = Deliver(answer, Endpoint("127.0.0.3", 53));
    ASSERT_TRUE(returned);
    EXPECT_FALSE(returned->Query);
    EXPECT_EQ(Text(returned->To), "10.1.2.3:40000");
    EXPECT_EQ(returned->Length, answer.size());
    EXPECT_EQ(answer, Answer(Query(0), 0x1234, 7));
    EXPECT_EQ(Forwarding->Pending().Size(), 0u); // answered: the entry is gone
    EXPECT_EQ(TargetAsked, 1);                   // answers never ask where queries go
}

TEST_F(DnsForwardingTest, OnlyTheExactAnswerIsTakenAndOnlyItIsCachedAndServedStale) {
    Make();
    bool nobodyOnline = false;
    Forwarding->AnswerLocally(Clock, {"", [&] { return nobodyOnline; }, {}});
    Ids.Next = {0x0100};
    Datagram query = Query(0x1234, {"Example", "test"});
    ASSERT_TRUE(Handle(query, Requester));

    const sockaddr_in server = Endpoint("127.0.0.3", 53);
    const Datagram exact = Answer(Query(0, {"Example", "test"}), 0x0100, 1);
    const auto changed = [&exact](std::size_t at, std::uint8_t value) {
        Datagram d = exact;
        d[at] = value;
        return d;
    };
    const struct {
        const char* What;
        Datagram Bytes;
        sockaddr_in From;
        std::uint16_t Socket;
    } forged[] = {
        {"other ID", changed(1, 0x01), server, 0x0100},
        {"other name", Answer(Query(0, {"Example", "tess"}), 0x0100, 2), server, 0x0100},
        {"other letter case", Answer(Query(0, {"example", "test"}), 0x0100, 3), server, 0x0100},
        {"other type", changed(27, 0x1C), server, 0x0100},
        {"other class", changed(29, 0x03), server, 0x0100},
        {"other source port", exact, Endpoint("127.0.0.3", 5353), 0x0100},
        {"other source address", exact, Endpoint("127.0.0.4", 53), 0x0100},
        {"a query", changed(2, 0x01), server, 0x0100},
        {"on another query's socket", exact, server, 0x0200},
    };
    std::uint64_t dropped = 0;
    for (const auto& attempt : forged) {
        Datagram d = attempt.Bytes;
        EXPECT_FALSE(Deliver(d, attempt.From, 0, attempt.Socket)) << attempt.What;
        EXPECT_EQ(d, attempt.Bytes) << attempt.What; // not rewritten
        EXPECT_EQ(Forwarding->AnswersDropped(), ++dropped) << attempt.What;
    }
    // Where queries come in, even the exact answer is stray.
    Datagram stray = exact;
    EXPECT_FALSE(Handle(stray, server));
    EXPECT_EQ(Forwarding->AnswersDropped(), ++dropped);
    EXPECT_EQ(Forwarding->Pending().Size(), 1u);

    Datagram real = exact;
    const auto taken = Deliver(real, server);
    EXPECT_EQ(ToRequester(real, taken), Answer(Query(0, {"Example", "test"}), 0x1234, 1));
    Datagram again = exact;
    EXPECT_FALSE(Deliver(again, server));

    // Only that answer was kept: asked a day later with nobody online, it is served stale, and
    // the names the forgers answered for go on to the server.
    Clock.Advance(24 * 3600 * 1000);
    nobodyOnline = true;
    Datagram cached = Query(0x2222, {"EXAMPLE", "test"});
    const std::size_t length = cached.size();
    cached.resize(kDnsDatagramSize); // room for the answer, as in the forwarder
    EXPECT_FALSE(Handle(cached, Requester, length)->Query);
    Datagram poisoned = Query(0x3333, {"Example", "tess"});
    EXPECT_TRUE(Handle(poisoned, Requester)->Query);
    EXPECT_EQ(Forwarding->CacheAnswers(), 1u);
}

TEST_F(DnsForwardingTest, QueriesFromOutsideTheAllowedNetworksAreDropped) {
    auto rule =
        std::make_shared<TAccessRule>(std::vector<TNetworkBlock>{*ParseNetworkBlock("10.0.0.0/8")});
    Make([rule](const sockaddr_in& peer) { return rule->Admits(peer); });
    Datagram outside = Query(0x1111);
    EXPECT_FALSE(Handle(outside, Endpoint("192.0.2.5", 40000)));
    EXPECT_EQ(TargetAsked, 0); // no dial for them either
    EXPECT_EQ(Forwarding->Pending().Size(), 0u);
    EXPECT_EQ(IdOf(outside), 0x1111);

    Ids.Next = {0x0300};
    Datagram inside = Query(0x2222);
    ASSERT_TRUE(Handle(inside, Requester));
    // The answer comes from the DNS server, outside the allowed networks: it is delivered.
    TargetAddress = Endpoint("192.0.2.53", 53);
    Ids.Next = {0x0400};
    Datagram query = Query(0x3333);
    ASSERT_TRUE(Handle(query, Requester));
    Datagram answer = Answer(Query(0), 0x0400, 1);
    const auto returned = Deliver(answer, Endpoint("192.0.2.53", 53));
    ASSERT_TRUE(returned);
    EXPECT_EQ(IdOf(answer), 0x3333);
}

TEST_F(DnsForwardingTest, TheProxyAccessRuleDecidesByDefaultAndCountsWhatItRefuses) {
    SetProxyAccessRule(std::make_shared<TAccessRule>(
        std::vector<TNetworkBlock>{*ParseNetworkBlock("10.0.0.0/8")}));
    TDnsForwarding forwarding; // the proxy's rule and random IDs
    const std::uint64_t refused = RefusedConnections();
    Datagram outside = Query(0x1111);
    EXPECT_FALSE(
        forwarding.Handle(outside, outside.size(), Endpoint("192.0.2.5", 40000), Target, Clock));
    EXPECT_EQ(RefusedConnections(), refused + 1);
    Datagram inside = Query(0x2222);
    EXPECT_TRUE(forwarding.Handle(inside, inside.size(), Requester, Target, Clock));
    EXPECT_EQ(RefusedConnections(), refused + 1);
    SetProxyAccessRule(nullptr);
}

TEST_F(DnsForwardingTest, KeptAnswersServeFreshThenStaleWhileNobodyIsOnline) {
    Make();
    bool nobodyOnline = false;
    bool dialRefused = false;
    Forwarding->AnswerLocally(
        Clock, {"*.local, wpad.*", [&] { return nobodyOnline; }, [&] { return dialRefused; }});
    const auto ttl = [](const Datagram& d) {
        return d[36] << 24 | d[37] << 16 | d[38] << 8 | d[39];
    };
    // Through a buffer of the forwarder's size, as the socket loop hands datagrams in.
    const auto asked = [&](Datagram query) {
        const std::size_t length = query.size();
        query.resize(kDnsDatagramSize);
        const auto send = Handle(query, Requester, length);
        EXPECT_TRUE(send);
        query.resize(send ? send->Length : 0);
        return std::make_pair(send && send->Query, query);
    };
    Ids.Next = {0xBEEF};
    Datagram query = Query(0x1234);
    ASSERT_TRUE(Handle(query, Requester));
    Datagram answer = Answer(Query(0), 0xBEEF, 7);
    ASSERT_TRUE(Deliver(answer, Endpoint("127.0.0.3", 53)));

    Clock.Advance(100 * 1000);
    auto [forwarded, got] = asked(Query(0x2222));
    EXPECT_FALSE(forwarded);
    Datagram kept = Answer(Query(0), 0x2222, 7);
    kept[38] = 0x0D; // the TTL counted down to 3500
    kept[39] = 0xAC;
    EXPECT_EQ(got, kept);
    EXPECT_EQ(TargetAsked, 1);

    // Expired: forwarded while somebody is online, served stale while nobody is.
    Clock.Advance(3600 * 1000);
    Ids.Next = {0x0A0A};
    std::tie(forwarded, got) = asked(Query(0x3333));
    EXPECT_TRUE(forwarded);
    nobodyOnline = true;
    std::tie(forwarded, got) = asked(Query(0x4444));
    EXPECT_FALSE(forwarded);
    EXPECT_EQ(ttl(got), 30);
    EXPECT_EQ(Forwarding->CacheAnswers(), 2u);

    // No-dial names, and any name while a dial would be refused, fail at once while nobody is
    // online; the question comes back as it was asked.
    std::tie(forwarded, got) = asked(Query(0x5555, {"WPAD", "lan"}));
    EXPECT_FALSE(forwarded);
    Datagram failure = Query(0x5555, {"WPAD", "lan"});
    failure[2] = 0x81;
    failure[3] = 0x82;
    EXPECT_EQ(got, failure);
    std::tie(forwarded, got) = asked(Query(0x5656, {"other", "test"}));
    EXPECT_TRUE(forwarded);
    dialRefused = true;
    std::tie(forwarded, got) = asked(Query(0x5757, {"other", "test"}));
    EXPECT_FALSE(forwarded);
    EXPECT_EQ(got[3] & 0x0F, 2);
    nobodyOnline = false;
    std::tie(forwarded, got) = asked(Query(0x5858, {"printer", "local"}));
    EXPECT_TRUE(forwarded);
    EXPECT_EQ(Forwarding->Refusals(), 2u);
}

TEST_F(DnsForwardingTest, ShortOversizedAndUnroutableDatagrams) {
    Make();
    Datagram stub = Query(0x1234);
    stub.resize(kDnsHeaderSize - 1);
    EXPECT_FALSE(Handle(stub, Requester));
    stub[2] = 0x80;
    EXPECT_FALSE(Handle(stub, Endpoint("127.0.0.3", 53)));

    // A query that did not fit the buffer would reach the server cut short.
    Datagram big = Query(0x1234);
    big.resize(kDnsDatagramSize);
    EXPECT_FALSE(Handle(big, Requester, kDnsDatagramSize + 1));

    // Nowhere to send it (nobody online, the host unknown): SERVFAIL at once, no entry.
    TargetAddress = std::nullopt;
    Datagram query = Query(0x1234);
    const auto failed = Handle(query, Requester);
    EXPECT_EQ(ToRequester(query, failed), ServerFailure(Query(0x1234)));
    EXPECT_EQ(Forwarding->Pending().Size(), 0u);
    EXPECT_EQ(TargetAsked, 1);

    // An answer that did not fit has lost its end: its question alone goes on, marked
    // truncated, so the requester asks again over TCP.
    TargetAddress = Endpoint("127.0.0.3", 53);
    Ids.Next = {0x0500};
    query = Query(0x1234);
    ASSERT_TRUE(Handle(query, Requester));
    Datagram answer = Answer(Query(0), 0x0500, 9);
    answer.resize(kDnsClassicPayload, 0xAB);
    const auto returned = Deliver(answer, Endpoint("127.0.0.3", 53), kDnsClassicPayload + 1);
    Datagram expected = Query(0x1234);
    expected[2] = 0x83;
    expected[3] = 0x80;
    EXPECT_EQ(ToRequester(answer, returned), expected);

    // A query that could not be sent, or was refused where it went, gets SERVFAIL at once.
    Ids.Next = {0x0600};
    query = Query(0x1234);
    ASSERT_TRUE(Handle(query, Requester));
    EXPECT_FALSE(Forwarding->Unreachable(query, 0x0600, Endpoint("127.0.0.4", 53)));
    const auto unsent = Forwarding->Unreachable(query, 0x0600, Endpoint("127.0.0.3", 53));
    EXPECT_EQ(ToRequester(query, unsent), ServerFailure(Query(0x1234)));
    EXPECT_EQ(Forwarding->Pending().Size(), 0u);
    EXPECT_EQ(Forwarding->Failures(), 2u);

    // Each waiting query holds a socket: past the bound, SERVFAIL at once.
    for (std::uint16_t id = 1; id <= kDnsMaxPendingQueries; ++id) {
        Ids.Next = {id};
        query = Query(id);
        ASSERT_TRUE(Handle(query, Requester));
    }
    query = Query(0x7777);
    const auto overBound = Handle(query, Requester);
    EXPECT_EQ(ToRequester(query, overBound), ServerFailure(Query(0x7777)));
    EXPECT_EQ(Forwarding->Pending().Size(), kDnsMaxPendingQueries);
}

TEST_F(DnsForwardingTest, AQueryWithoutAnAnswerInTimeGetsServfail) {
    Make();
    Ids.Next = {0x0100};
    Datagram query = Query(0x1111);
    ASSERT_TRUE(Handle(query, Requester));
    EXPECT_EQ(Forwarding->UntilOverdue(Clock), kDnsAnswerTimeLimit);
    Clock.Advance(kDnsAnswerTimeLimit - 1);
    EXPECT_TRUE(Forwarding->Overdue(Clock).empty());
    Clock.Advance(1);
    const std::vector<TDnsReply> failures = Forwarding->Overdue(Clock);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(Text(failures[0].To), Text(Requester));
    EXPECT_EQ(failures[0].Message, ServerFailure(Query(0x1111)));
    EXPECT_FALSE(Forwarding->UntilOverdue(Clock));
    Datagram late = Answer(Query(0), 0x0100, 1); // the requester has had its answer
    EXPECT_FALSE(Deliver(late, Endpoint("127.0.0.3", 53)));
}

TEST_F(DnsForwardingTest, AnswersAreCutToWhatTheRequesterTakesFromTheServerAndTheCache) {
    Make();
    Forwarding->AnswerLocally(Clock, {});
    const auto cutFor = [](const Datagram& d) {
        const std::optional<TDnsMessage> parsed = ParseDnsMessage(d);
        return parsed && parsed->Truncated && d.size() <= kDnsClassicPayload ? parsed->Id : 0;
    };
    Ids.Next = {0x0100};
    Datagram query = Query(0x2222);
    ASSERT_TRUE(Handle(query, Requester));
    Datagram answer = LargeAnswer(0x0100, 60);
    const auto returned = Deliver(answer, Endpoint("127.0.0.3", 53));
    EXPECT_EQ(cutFor(ToRequester(answer, returned)), 0x2222);
    // Kept whole, and cut again for the next requester.
    query = Query(0x3333);
    query.resize(kDnsDatagramSize);
    const auto cached = Handle(query, Requester, Query(0).size());
    const Datagram fromCache = ToRequester(query, cached);
    EXPECT_EQ(cutFor(fromCache), 0x3333);
    // That requester spoke no EDNS: the cached answer's OPT record stays behind.
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(fromCache);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(std::none_of(parsed->Records.begin(), parsed->Records.end(),
                             [](const TDnsRecordPlace& r) { return r.Type == kDnsTypeOpt; }));
    // One that did gets it, with as many records as its size takes.
    query = WithOpt(Query(0x4444), 1232);
    const std::size_t asked = query.size();
    query.resize(kDnsDatagramSize);
    const auto answered = Handle(query, Requester, asked); // before query is copied
    Datagram withOpt = ToRequester(query, answered);
    const std::size_t whole = withOpt.size();
    EXPECT_EQ(DnsAnswerWithoutOpt(withOpt), whole - 11);
}

TEST(DnsQueryHostTest, TheOnlineComputerAsksTheDnsServer) {
    EXPECT_EQ(DnsQueryHost("10.0.0.7:1977", "10.0.0.2", "192.0.2.53"), "10.0.0.7");
    EXPECT_EQ(DnsQueryHost("10.0.0.2:1977", "10.0.0.2", "192.0.2.53"), "192.0.2.53");
    EXPECT_EQ(DnsQueryHost("gateway:1977", "Gateway", "192.0.2.53"), "gateway"); // exact
    EXPECT_EQ(DnsQueryHost("", "10.0.0.2", "192.0.2.53"), "");
    EXPECT_EQ(DnsQueryHost("", "", "192.0.2.53"), "192.0.2.53");
}

// ---------------------------------------------------------------------------------------------
// The forwarders on loopback. The DNS port is one that was free; the forwarders bind it on all
// addresses (UDP) and on 127.0.0.1 (TCP), the fake DNS servers on other 127.x addresses, which
// receive what is sent to their own address.

class TUdpSocket {
public:
    // With reuse (SO_REUSEADDR) it shares the port with the forwarder's socket.
    TUdpSocket(const char* host, std::uint16_t port, bool reuse = true) {
        fSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (reuse)
            setsockopt(fSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address = Endpoint(host, port);
        Bound = bind(fSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~TUdpSocket() { close(fSocket); }
    TUdpSocket(const TUdpSocket&) = delete;
    TUdpSocket& operator=(const TUdpSocket&) = delete;

    void SendTo(const Datagram& d, const sockaddr_in& to) {
        ASSERT_EQ(sendto(fSocket, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to),
                  static_cast<ssize_t>(d.size()));
    }
    // The next datagram within milliseconds; nullopt when none came.
    std::optional<Datagram> Receive(sockaddr_in* from = nullptr, int milliseconds = 3000) {
        if (!WaitReadable(fSocket, milliseconds))
            return std::nullopt;
        Datagram d(2048);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t received =
            recvfrom(fSocket, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (received < 0)
            return std::nullopt;
        d.resize(static_cast<std::size_t>(received));
        if (from != nullptr)
            *from = sender;
        return d;
    }
    std::uint16_t Port() const { return test::BoundPort(fSocket); }

    bool Bound = false;

private:
    TSocket fSocket = kInvalidSocket;
};

// A port that is free for UDP on all addresses and for TCP on 127.0.0.1 at the moment.
std::uint16_t FreeDnsPort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::uint16_t port = 0;
        {
            TUdpSocket probe("0.0.0.0", 0);
            port = probe.Port();
        }
        try {
            auto tcp = TCommunication::CreateListening(false);
            tcp->Bind("127.0.0.1:" + std::to_string(port));
            return port;
        } catch (const ECommunication&) {
        }
    }
    return 0;
}

bool Bound(int slot) {
    for (const TListenerInfo& listener : RegisteredListeners())
        if (listener.Slot == slot)
            return listener.Bound;
    return false;
}

class DnsForwarderTest : public test::ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        DialRequested = false;
        Port = FreeDnsPort();
        ASSERT_NE(Port, 0);
        SetDnsPort(Port);
        SetOwn("ProxyServerAddress", "127.0.0.1:1977");
        SetOwn("ProxyDnsServer", "127.0.0.3");
    }
    void TearDown() override {
        StopProxyServices(); // every forwarder has left, also after a failure
        SetDnsPort(kDefaultDnsPort);
        SetDnsUpstreamPort(0);
        SetProxyAccessRule(nullptr);
        SetRequestTimeLimit(0);
        DialRequested = false;
        ProxyTest::TearDown();
    }
    void StartUdp() {
        ASSERT_TRUE(TUdpDnsProxyServerListenThread::Start());
        ASSERT_TRUE(WaitFor([] { return Bound(kUdpDnsSlot); }));
    }
    sockaddr_in Forwarder() const { return Endpoint("127.0.0.1", Port); }

    std::uint16_t Port = 0;
};

TEST_F(DnsForwarderTest, OnTheOnlineComputerQueriesGoToTheDnsServerAndAnswersComeBack) {
    SetOnlineProxyAddress("127.0.0.1:1977"); // this computer
    TUdpSocket server("127.0.0.3", Port);
    ASSERT_TRUE(server.Bound);
    StartUdp();
    TUdpSocket first("127.0.0.1", 0), second("127.0.0.1", 0);

    // Two programs use the same ID; the server sees two different ones, from ports that are
    // not the forwarder's.
    first.SendTo(Query(0x1234), Forwarder());
    sockaddr_in fromFirst{}, fromSecond{};
    const auto firstQuery = server.Receive(&fromFirst);
    ASSERT_TRUE(firstQuery);
    second.SendTo(Query(0x1234), Forwarder());
    const auto secondQuery = server.Receive(&fromSecond);
    ASSERT_TRUE(secondQuery);
    EXPECT_EQ(Body(*firstQuery), Body(Query(0x1234)));
    EXPECT_EQ(Body(*secondQuery), Body(Query(0x1234)));
    EXPECT_NE(IdOf(*firstQuery), IdOf(*secondQuery));
    EXPECT_NE(fromFirst.sin_port, Forwarder().sin_port);

    // The answers, second first, each to the port its query came from; the first query's answer
    // sent to the second one's port, and an answer to the forwarder's own port, are dropped.
    server.SendTo(Answer(Query(0), IdOf(*firstQuery), 1), fromSecond);
    server.SendTo(Answer(Query(0), IdOf(*firstQuery), 1), Forwarder());
    server.SendTo(Answer(Query(0), IdOf(*secondQuery), 2), fromSecond);
    server.SendTo(Answer(Query(0), IdOf(*firstQuery), 3), fromFirst);
    const auto secondAnswer = second.Receive();
    ASSERT_TRUE(secondAnswer);
    EXPECT_EQ(*secondAnswer, Answer(Query(0), 0x1234, 2));
    const auto firstAnswer = first.Receive();
    ASSERT_TRUE(firstAnswer);
    EXPECT_EQ(*firstAnswer, Answer(Query(0), 0x1234, 3));
    EXPECT_FALSE(first.Receive(nullptr, 300));

    // Every query leaves from a port of its own.
    std::set<std::uint16_t> ports;
    for (std::uint16_t id = 1; id <= 10; ++id) {
        const std::string label = "n" + std::to_string(id); // not answered from the cache
        first.SendTo(Query(id, {label.c_str(), "test"}), Forwarder());
        sockaddr_in from{};
        ASSERT_TRUE(server.Receive(&from));
        ports.insert(ntohs(from.sin_port));
    }
    EXPECT_GE(ports.size(), 6u);
}

TEST_F(DnsForwarderTest, LargeAnswersPassWholeAndAnUnreachableServerGetsServfail) {
    SetOnlineProxyAddress("127.0.0.1:1977"); // this computer
    const std::uint16_t serverPort = test::FreePorts(1)[0];
    SetDnsUpstreamPort(serverPort); // a port the forwarder does not hold: refusals come back
    TUdpSocket client("127.0.0.1", 0);
    {
        TUdpSocket server("127.0.0.3", serverPort);
        ASSERT_TRUE(server.Bound);
        StartUdp();
        client.SendTo(WithOpt(Query(0x1234), 4096), Forwarder());
        sockaddr_in from{};
        const auto query = server.Receive(&from);
        ASSERT_TRUE(query);
        server.SendTo(LargeAnswer(IdOf(*query), 60), from);
        EXPECT_EQ(client.Receive(), LargeAnswer(0x1234, 60));

        // No answer: SERVFAIL once the time limit has passed on the proxy clock.
        client.SendTo(Query(0x2222, {"other", "test"}), Forwarder());
        ASSERT_TRUE(server.Receive());
        test::TestClock().Advance(kDnsAnswerTimeLimit);
        client.SendTo(Datagram(kDnsHeaderSize - 1, 0), Forwarder()); // wakes it; dropped
        EXPECT_EQ(client.Receive(), ServerFailure(Query(0x2222, {"other", "test"})));
    }
    // Nothing on the server's port: the refusal brings SERVFAIL at once (the clock stands).
    client.SendTo(Query(0x3333, {"third", "test"}), Forwarder());
    EXPECT_EQ(client.Receive(nullptr, 1000), ServerFailure(Query(0x3333, {"third", "test"})));
}

TEST_F(DnsForwarderTest, OnAnotherComputerQueriesGoToTheOnlineComputer) {
    SetOnlineProxyAddress("127.0.0.2:1977");
    TUdpSocket online("127.0.0.2", Port); // the online computer's forwarder
    TUdpSocket forger("127.0.0.4", Port);
    ASSERT_TRUE(online.Bound && forger.Bound);
    StartUdp();
    TUdpSocket requester("127.0.0.1", 0);
    requester.SendTo(Query(0xCAFE), Forwarder());
    sockaddr_in from{};
    const auto query = online.Receive(&from);
    ASSERT_TRUE(query);
    EXPECT_EQ(Body(*query), Body(Query(0xCAFE)));
    // Only the address the query went to may answer: the forged answer, sent first, is dropped.
    forger.SendTo(Answer(Query(0), IdOf(*query), 0x66), from);
    online.SendTo(Answer(Query(0), IdOf(*query), 0x01), from);
    const auto answer = requester.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, Answer(Query(0), 0xCAFE, 0x01));
}

TEST_F(DnsForwarderTest, TcpConnectionsAreTunnelledToTheOnlineComputersDnsServer) {
    SetOwn("ProxyDnsServer", "127.0.0.9"); // not the online computer's
    SetOwn("ProxyDnsServerDial", "yes");
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    const std::string onlineServer = test::Loopback(test::FreePorts(1)[0]);
    ASSERT_TRUE(StartServerListener(onlineServer)); // the online computer's proxy server port
    SetComputerProperty("Online", "ProxyServerAddress", onlineServer);
    auto dnsServer = TCommunication::CreateListening(false);
    dnsServer->SetReuseAddress();
    dnsServer->Bind("127.0.0.3:" + std::to_string(Port));
    dnsServer->Listen(2);
    ASSERT_TRUE(TTcpDnsProxyServerListenThread::Start("127.0.0.1"));
    ASSERT_TRUE(WaitFor([] { return Bound(kTcpDnsSlot) && Bound(kServerSlot); }));
    SetComputerProperty("Online", "ProxyDnsServer", "127.0.0.3"); // read afresh for each one

    // Nobody online: the query asks for a dial and goes on once somebody is.
    ResetOnlineAddressTime();
    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect("127.0.0.1:" + std::to_string(Port)));
    const Datagram query = Query(0x4242);
    const std::string framed = Framed(query);
    SendNow(*client, framed);
    ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
    SetOnlineProxyAddress(onlineServer);
    const auto upstream = dnsServer->Accept(5000);
    ASSERT_NE(upstream, nullptr);
    EXPECT_EQ(ReadUpTo(*upstream, framed.size()), framed); // the ID is the client's over TCP
    const Datagram answer = Answer(query, 0x4242, 5);
    const std::string reply = Framed(answer);
    SendNow(*upstream, reply);
    EXPECT_EQ(ReadUpTo(*client, reply.size()), reply);
    client.reset();
    EXPECT_TRUE(test::ClosedWithoutData(*upstream));
}

TEST_F(DnsForwarderTest, WhileNobodyWouldDialUdpAndTcpQueriesGetServfailAtOnce) {
    SetOwn("ProxyDnsServerDial", "yes");
    SetOnlineProxyAddress("127.0.0.2:1977"); // long ago: an address left over
    test::TestClock().Advance(60000);
    // The one computer there is to ask would not dial.
    SetDialPeerLinks(
        [] {
            return std::vector<TDialPeer>{{"Alpha", "127.0.0.2:1977", true, true}};
        },
        [](const std::string&, const std::string&, const std::string&) { return TPeerReply::No; });
    StartUdp();
    ASSERT_TRUE(TTcpDnsProxyServerListenThread::Start("127.0.0.1"));
    ASSERT_TRUE(WaitFor([] { return Bound(kTcpDnsSlot); }));
    TUdpSocket requester("127.0.0.1", 0);
    std::uint16_t id = 0;
    const auto servfailAtOnce = [&](const char* what) {
        const Datagram query = Query(++id, {what, "test"});
        const auto begin = std::chrono::steady_clock::now();
        requester.SendTo(query, Forwarder());
        EXPECT_EQ(requester.Receive(nullptr, 1000), ServerFailure(query)) << what;
        auto client = TCommunication::CreateUnconnected(false, false);
        ASSERT_NO_THROW(client->Connect(Text(Forwarder())));
        SendNow(*client, Framed(query));
        const std::string failure = Framed(ServerFailure(query));
        EXPECT_EQ(ReadUpTo(*client, failure.size()), failure) << what;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    };
    // This computer would dial, but its budget is spent; then it also asks the other one.
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOwn("AutoDialMaxDialsPerHour", "1");
    SetOwn(EventIDToString(NewEventID()), NewConnectionRecord("Modem"));
    SetOwn("AutoDialViaPeers", "no");
    servfailAtOnce("spent");
    SetOwn("AutoDialViaPeers", "");
    servfailAtOnce("spent-peers");
    // This computer does not dial itself: it asks the other one.
    SetOwn("AutoDialEnabled", "no");
    servfailAtOnce("peers");
    EXPECT_FALSE(DialRequested);
    SetDialPeerLinks(nullptr);
    PeerDialAsker().WaitIdle();
}

TEST_F(DnsForwarderTest, BothForwardersUseTheDnsServerOfTheOnlineComputer) {
    SetOwn("ProxyDnsServer", "127.0.0.9");
    SetComputerProperty("Online", "ProxyServerAddress", "10.0.0.7:1977");
    SetComputerProperty("Online", "ProxyDnsServer", "192.0.2.53");
    SetComputerProperty("Unset", "ProxyServerAddress", "10.0.0.8:1977");
    EXPECT_EQ(OnlineDnsServer("10.0.0.7:1977"), "192.0.2.53");
    EXPECT_EQ(OnlineDnsServer("127.0.0.1:1977"), "127.0.0.9"); // this computer
    // Nobody known by that address, or nobody online, or no server named: the own one.
    EXPECT_EQ(OnlineDnsServer("10.0.0.7:1978"), "127.0.0.9");
    EXPECT_EQ(OnlineDnsServer(""), "127.0.0.9");
    EXPECT_EQ(OnlineDnsServer("10.0.0.8:1977"), "127.0.0.9");
}

TEST_F(DnsForwarderTest, ASilentTcpClientIsClosedWithoutADial) {
    SetOwn("ProxyDnsServerDial", "yes");
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetRequestTimeLimit(200);
    ResetOnlineAddressTime();
    ASSERT_TRUE(TTcpDnsProxyServerListenThread::Start("127.0.0.1"));
    ASSERT_TRUE(WaitFor([] { return Bound(kTcpDnsSlot); }));
    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect("127.0.0.1:" + std::to_string(Port)));
    EXPECT_TRUE(test::ClosedWithoutData(*client));
    EXPECT_FALSE(DialRequested);
}

TEST_F(DnsForwarderTest, AQueryWaitingForADialHoldsUpNoOther) {
    SetOwn("ProxyDnsServerDial", "yes");
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOnlineProxyAddress("127.0.0.1:1977"); // this computer: queries go to the DNS server
    TUdpSocket server("127.0.0.3", Port);
    ASSERT_TRUE(server.Bound);
    StartUdp();
    TUdpSocket first("127.0.0.1", 0), second("127.0.0.1", 0);
    first.SendTo(Query(0x1111), Forwarder());
    sockaddr_in from{};
    const auto forwarded = server.Receive(&from);
    ASSERT_TRUE(forwarded);

    // Nobody online now: the next query asks for a dial that does not come (the proxy clock
    // stands still, so its minute never passes; the stop at the end ends it).
    // (Another name: the first one's answer is kept and would be answered from the cache.)
    ResetOnlineAddressTime();
    second.SendTo(Query(0x2222, {"other", "test"}), Forwarder());
    ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
    server.SendTo(Answer(Query(0), IdOf(*forwarded), 1), from);
    const auto answer = first.Receive(nullptr, 1000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, Answer(Query(0), 0x1111, 1));
    EXPECT_FALSE(server.Receive(nullptr, 100)); // the waiting query is not sent yet

    // Somebody is online: the waiting query goes on.
    SetOnlineProxyAddress("127.0.0.1:1977");
    const auto late = server.Receive();
    ASSERT_TRUE(late);
    EXPECT_EQ(Body(*late), Body(Query(0x2222, {"other", "test"})));
}

TEST(DnsDialWaitTest, QueriesJoinOneWaitUpToTheBoundAndComeBackWithItsTarget) {
    std::mutex lock;
    std::condition_variable over;
    bool dialled = false;
    int waits = 0;
    TDnsDialWait dialWait(
        [&]() -> std::optional<sockaddr_in> {
            std::unique_lock held(lock);
            ++waits;
            over.wait_for(held, std::chrono::seconds(5), [&] { return dialled; });
            return Endpoint("127.0.0.3", 53);
        },
        3);
    const sockaddr_in requester = Endpoint("10.1.2.3", 40000);
    for (std::uint16_t id = 1; id <= 3; ++id)
        EXPECT_TRUE(dialWait.Hold(Query(id), requester));
    EXPECT_FALSE(dialWait.Hold(Query(4), requester)); // past the bound: dropped
    EXPECT_EQ(dialWait.Held(), 3u);
    EXPECT_FALSE(WaitReadable(dialWait.WakeDescriptor(), 0));
    EXPECT_TRUE(dialWait.TakeReady().empty());

    {
        const std::lock_guard held(lock);
        dialled = true;
    }
    over.notify_all();
    ASSERT_TRUE(WaitReadable(dialWait.WakeDescriptor(), 3000));
    const std::vector<TDnsDialWait::TReady> ready = dialWait.TakeReady();
    ASSERT_EQ(ready.size(), 3u);
    for (std::size_t i = 0; i < ready.size(); ++i) {
        EXPECT_EQ(ready[i].Datagram, Query(static_cast<std::uint16_t>(i + 1)));
        EXPECT_EQ(Text(ready[i].Sender), "10.1.2.3:40000");
        ASSERT_TRUE(ready[i].Target);
        EXPECT_EQ(Text(*ready[i].Target), "127.0.0.3:53");
    }
    EXPECT_FALSE(WaitReadable(dialWait.WakeDescriptor(), 0));
    EXPECT_EQ(dialWait.Held(), 0u);

    // Room again; a later query waits anew.
    EXPECT_TRUE(dialWait.Hold(Query(5), requester));
    ASSERT_TRUE(WaitReadable(dialWait.WakeDescriptor(), 3000));
    EXPECT_EQ(dialWait.TakeReady().size(), 1u);
    const std::lock_guard held(lock);
    EXPECT_EQ(waits, 2);
}

TEST_F(DnsForwarderTest, TheServicesOpenTheDnsPortOnlyWhenEnabled) {
    const std::string tcp = "127.0.0.1:" + std::to_string(Port);
    SetOwn("ProxyServerAddress", test::Loopback(test::FreePorts(1)[0]));
    // Binds without SO_REUSEADDR: a forwarder's socket on the port makes them fail.
    const auto portIsFree = [&] {
        TUdpSocket probe("0.0.0.0", Port, false);
        auto listener = TCommunication::CreateListening(false);
        try {
            listener->Bind(tcp);
        } catch (const ECommunication&) {
            return false;
        }
        return probe.Bound;
    };
    StartProxyServices();
    ASSERT_TRUE(WaitFor([] { return Bound(kServerSlot); }));
    EXPECT_FALSE(ListenerRegistered(kTcpDnsSlot));
    EXPECT_FALSE(ListenerRegistered(kUdpDnsSlot));
    EXPECT_TRUE(portIsFree());
    StopProxyServices();

    SetOwn("ProxyDnsServerEnabled", "yes");
    StartProxyServices();
    ASSERT_TRUE(WaitFor([] { return Bound(kTcpDnsSlot) && Bound(kUdpDnsSlot); }));
    std::vector<std::string> addresses;
    for (const TListenerInfo& listener : RegisteredListeners())
        if (listener.Slot == kTcpDnsSlot || listener.Slot == kUdpDnsSlot)
            addresses.push_back(listener.Address);
    EXPECT_EQ(addresses, (std::vector<std::string>{tcp, "0.0.0.0:" + std::to_string(Port)}));
    StartDnsForwarders(); // registered already: nothing more
    EXPECT_EQ(RegisteredListeners().size(), 3u);
    StopProxyServices();
    EXPECT_TRUE(RegistryEmpty());
    EXPECT_TRUE(portIsFree());
}

TEST_F(DnsForwarderTest, ARefusedUdpBindIsReportedOnce) {
    // A port below 1024 other than 53, refused to this process (not root, no capability).
    constexpr std::uint16_t kPrivileged = 1023;
    {
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in any = Endpoint("0.0.0.0", kPrivileged);
        const bool bound = bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
        const int error = errno;
        close(probe);
        if (bound || error != EACCES)
            GTEST_SKIP() << "binding port " << kPrivileged << " is not refused here";
    }
    SetDnsPort(kPrivileged);
    testing::internal::CaptureStderr();
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(TUdpDnsProxyServerListenThread::Start());
        EXPECT_TRUE(ListenerRegistered(kUdpDnsSlot)); // it runs on without a port
        EXPECT_FALSE(Bound(kUdpDnsSlot));
        StopProxyServices(); // after the bind attempt, which comes first on the thread
    }
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string message = "harbolt: binding UDP port 1023 was refused";
    EXPECT_NE(said.find(message), std::string::npos) << said;
    EXPECT_EQ(said.find(message), said.rfind(message)) << said;
}

} // namespace
} // namespace harbolt
