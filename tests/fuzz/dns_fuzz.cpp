// The UDP DNS forwarder takes datagrams from anyone on the network: programs of the LAN, the
// other computers' forwarders, the DNS server, and whoever else sends to its port. Whatever
// arrives, in whatever order, the handling must hold together:
// - a datagram shorter than the header, a query from outside the allowed networks, a query
//   that did not fit the buffer and one whose questions do not read are dropped and change
//   nothing;
// - a query with nowhere to go gets SERVFAIL back at once when one can be made (else nothing);
// - a forwarded query keeps its length and every byte but the ID; its new ID is held by no
//   other pending entry, and it goes where the query target says; its entry holds the payload
//   limit and the SERVFAIL of the query as it came;
// - an answer on the port queries come in at is dropped and counted, and changes nothing;
// - an answer on the socket of a query is passed on only when that query's entry is pending,
//   the answer has its ID, comes from where that query went and repeats its question section
//   byte for byte; it then goes to the requester with the requester's ID, whole when it fits
//   the requester's limit and every other byte kept, else cut: no longer than the limit (512
//   when it did not fit the buffer), TC set, reading; the entry is gone; any other answer
//   is dropped, counted and changes nothing;
// - a refusal of a forwarded query from where it went brings the entry's SERVFAIL to its
//   requester and takes the entry away; any other refusal changes nothing;
// - before each datagram the entries that have waited the time limit go, their SERVFAILs handed
//   out oldest first; IDs stay unique.
// A model of the pending list is kept alongside and compared after every datagram.
//
// Input: records of a control byte, a length byte and that many datagram bytes (fewer at the
// end of the input). Control bits 0-1: the sender (10.0.0.5:1000 allowed, 192.0.2.9:2000 not
// allowed, 127.0.0.3:53, 127.0.0.4:53; an answer from 192.0.2.9:2000 arrives where queries come
// in, any other on the socket of the query with its ID); bit 4: the datagram did not fit (one byte
// more arrived); bits 5-7: half seconds that pass before it arrives. Bits 2-3 of a query: the query
// target (none, 127.0.0.3:53, 127.0.0.4:53, 10.0.0.5:1000). Of an answer: bit 2, it is instead
// the refusal (ICMP) of the query with its ID sent to the sender; bit 3, it grows to eight times
// its records, its header kept and its counts times eight (a valid answer without questions
// stays valid), past 512 bytes. IDs are drawn from 0 to 15, so that collisions and the
// discarding of the list happen often.
#include "proxy/AccessRule.h"
#include "proxy/DnsForwarder.h"

#include "FuzzCheck.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

using namespace harbolt;

namespace {

sockaddr_in Endpoint(std::uint32_t hostOrder, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrder);
    address.sin_port = htons(port);
    return address;
}

bool Same(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

const sockaddr_in kSenders[4] = {
    Endpoint(0x0A000005, 1000), // 10.0.0.5, allowed
    Endpoint(0xC0000209, 2000), // 192.0.2.9, not allowed
    Endpoint(0x7F000003, 53),
    Endpoint(0x7F000004, 53),
};
const std::optional<sockaddr_in> kTargets[4] = {
    std::nullopt,
    Endpoint(0x7F000003, 53),
    Endpoint(0x7F000004, 53),
    Endpoint(0x0A000005, 1000),
};

class TFuzzClock final : public TTickClock {
public:
    std::uint32_t Now() const override { return Ticks; }
    std::uint32_t Ticks = 0xFFFF0000u; // the counter wraps during a long input
};

// The model's picture of the pending list.
bool MatchesModel(const TPendingQueries& pending, const std::vector<TPendingQuery>& model) {
    if (pending.Size() != model.size())
        return false;
    for (const TPendingQuery& query : pending.Entries()) {
        const auto entry =
            std::find_if(model.begin(), model.end(), [&query](const TPendingQuery& m) {
                return m.ForwardedId == query.ForwardedId;
            });
        if (entry == model.end() || entry->RequesterId != query.RequesterId ||
            !Same(entry->Requester, query.Requester) ||
            !Same(entry->ForwardedTo, query.ForwardedTo) || entry->Time != query.Time ||
            entry->PayloadLimit != query.PayloadLimit || entry->Failure != query.Failure ||
            entry->Question != query.Question)
            return false;
    }
    return true;
}

// Every byte but the ID is the same.
bool SameButId(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after) {
    return before.size() == after.size() &&
           std::equal(before.begin() + 2, before.end(), after.begin() + 2);
}

// Header kept, counts times eight, the rest eight times.
std::vector<std::uint8_t> Grown(const std::vector<std::uint8_t>& datagram) {
    std::vector<std::uint8_t> grown(datagram.begin(), datagram.begin() + kDnsHeaderSize);
    for (std::size_t at = 4; at < kDnsHeaderSize; at += 2) {
        const auto count = static_cast<std::uint16_t>((grown[at] << 8 | grown[at + 1]) * 8);
        grown[at] = static_cast<std::uint8_t>(count >> 8);
        grown[at + 1] = static_cast<std::uint8_t>(count);
    }
    for (int copy = 0; copy < 8; ++copy)
        grown.insert(grown.end(), datagram.begin() + kDnsHeaderSize, datagram.end());
    return grown;
}

// The pending entry with this ID whose query went to sender (and, with question, whose question
// section that is).
std::vector<TPendingQuery>::iterator
Entry(std::vector<TPendingQuery>& model, std::uint16_t id, const sockaddr_in& sender,
      const std::optional<std::vector<std::uint8_t>>* question = nullptr) {
    return std::find_if(model.begin(), model.end(), [&](const TPendingQuery& q) {
        return q.ForwardedId == id && Same(q.ForwardedTo, sender) &&
               (question == nullptr || *question == q.Question);
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto rule = std::make_shared<TAccessRule>(
        std::vector<TNetworkBlock>{TNetworkBlock{0x0A000000u, 0xFF000000u}});
    std::uint32_t seed = 12345;
    TDnsForwarding forwarding([rule](const sockaddr_in& peer) { return rule->Admits(peer); },
                              [&seed] {
                                  seed = seed * 1103515245u + 12345u;
                                  return static_cast<std::uint16_t>((seed >> 16) & 0x0F);
                              });
    TFuzzClock clock;
    std::vector<TPendingQuery> model; // in the order of forwarding

    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        std::vector<std::uint8_t> datagram(data + at + 2, data + at + 2 + length);
        at += 2 + length;

        const sockaddr_in& sender = kSenders[control & 0x03];
        const bool cut = (control & 0x10) != 0;
        clock.Ticks += 500u * (control >> 5);

        // What has waited the time limit goes first, with its SERVFAIL.
        const std::vector<TDnsReply> failures = forwarding.Overdue(clock);
        std::vector<TPendingQuery> overdue;
        std::erase_if(model, [&](const TPendingQuery& q) {
            const bool late = TicksSince(q.Time, clock.Now()) >= kDnsAnswerTimeLimit;
            if (late && !q.Failure.empty())
                overdue.push_back(q);
            return late;
        });
        FUZZ_CHECK(failures.size() == overdue.size());
        for (std::size_t i = 0; i < failures.size(); ++i)
            FUZZ_CHECK(Same(failures[i].To, overdue[i].Requester) &&
                       Same(failures[i].Upstream, overdue[i].ForwardedTo) &&
                       failures[i].Message == overdue[i].Failure);
        FUZZ_CHECK(MatchesModel(forwarding.Pending(), model));
        const std::optional<std::uint32_t> until = forwarding.UntilOverdue(clock);
        FUZZ_CHECK(until.has_value() == !model.empty());
        FUZZ_CHECK(model.empty() ||
                   *until == kDnsAnswerTimeLimit - TicksSince(model.front().Time, clock.Now()));

        const TDnsKind kind = DnsKind(datagram);
        const bool answer = kind == TDnsKind::Answer;
        if (answer && (control & 0x08) != 0)
            datagram = Grown(datagram);
        const std::vector<std::uint8_t> before = datagram;

        if (answer && (control & 0x04) != 0) {
            // A refusal of the query with this ID, reported from sender.
            const auto entry = Entry(model, DnsId(before), sender);
            std::vector<std::uint8_t> reply(kDnsClassicPayload); // room for any SERVFAIL here
            const auto result = forwarding.Unreachable(reply, DnsId(before), sender);
            if (entry == model.end()) {
                FUZZ_CHECK(!result);
            } else {
                FUZZ_CHECK(result.has_value() == !entry->Failure.empty());
                if (result)
                    FUZZ_CHECK(Same(result->To, entry->Requester) && !result->Query &&
                               std::equal(reply.begin(),
                                          reply.begin() + static_cast<long>(result->Length),
                                          entry->Failure.begin(), entry->Failure.end()));
                model.erase(entry);
            }
            FUZZ_CHECK(MatchesModel(forwarding.Pending(), model));
            continue;
        }

        const std::optional<sockaddr_in> target = kTargets[(control >> 2) & 0x03];
        int asked = 0;
        const std::size_t received = datagram.size() + (cut ? 1 : 0);
        const bool onQuerySocket = answer && (control & 0x03) != 1;
        const std::uint64_t droppedBefore = forwarding.AnswersDropped();
        const auto result = onQuerySocket
                                ? forwarding.Answer(datagram, received, sender, DnsId(before))
                                : forwarding.Handle(
                                      datagram, received, sender,
                                      [&]() {
                                          ++asked;
                                          return target;
                                      },
                                      clock);
        const std::uint64_t dropped = forwarding.AnswersDropped() - droppedBefore;

        if (kind == TDnsKind::Malformed) {
            FUZZ_CHECK(!result && datagram == before && asked == 0);
        } else if (kind == TDnsKind::Query) {
            FUZZ_CHECK(dropped == 0);
            const bool admitted = rule->Admits(sender);
            const std::optional<std::vector<std::uint8_t>> question = DnsQuestionSection(before);
            FUZZ_CHECK(asked == (admitted && !cut && question ? 1 : 0));
            const std::optional<std::vector<std::uint8_t>> failure = DnsServerFailure(before);
            if (!admitted || cut || !question || (!target && !failure)) {
                FUZZ_CHECK(!result && datagram == before);
            } else if (!target) {
                FUZZ_CHECK(result && !result->Query && Same(result->To, sender));
                FUZZ_CHECK(std::equal(datagram.begin(),
                                      datagram.begin() + static_cast<long>(result->Length),
                                      failure->begin(), failure->end()));
            } else {
                FUZZ_CHECK(result && result->Query && Same(result->To, *target));
                FUZZ_CHECK(result->Length == datagram.size());
                FUZZ_CHECK(SameButId(before, datagram));
                const std::uint16_t id = DnsId(datagram);
                // Either the list grew by this entry, or it was discarded for it.
                const bool discarded = forwarding.Pending().Size() != model.size() + 1;
                if (discarded) {
                    FUZZ_CHECK(forwarding.Pending().Size() == 1);
                    model.clear();
                }
                for (const TPendingQuery& q : model)
                    FUZZ_CHECK(q.ForwardedId != id);
                TPendingQuery query;
                query.Requester = sender;
                query.RequesterId = DnsId(before);
                query.ForwardedId = id;
                query.ForwardedTo = *target;
                query.Question = *question;
                query.Time = clock.Now();
                query.PayloadLimit = DnsPayloadLimit(before);
                query.Failure = failure.value_or(std::vector<std::uint8_t>());
                model.push_back(query);
            }
        } else {
            FUZZ_CHECK(asked == 0);
            const std::optional<std::vector<std::uint8_t>> question = DnsQuestionSection(before);
            const auto entry =
                onQuerySocket ? Entry(model, DnsId(before), sender, &question) : model.end();
            if (entry == model.end()) {
                FUZZ_CHECK(!result && datagram == before && dropped == 1);
            } else {
                FUZZ_CHECK(dropped == 0);
                FUZZ_CHECK(result && !result->Query && Same(result->To, entry->Requester));
                FUZZ_CHECK(DnsId(datagram) == entry->RequesterId);
                if (!cut && before.size() <= entry->PayloadLimit) {
                    FUZZ_CHECK(result->Length == datagram.size());
                    FUZZ_CHECK(SameButId(before, datagram));
                } else {
                    const std::size_t limit = cut ? kDnsClassicPayload : entry->PayloadLimit;
                    FUZZ_CHECK(result->Length <= limit);
                    datagram.resize(result->Length);
                    const std::optional<TDnsMessage> sent = ParseDnsMessage(datagram);
                    FUZZ_CHECK(sent && sent->Truncated);
                }
                model.erase(entry);
            }
        }
        FUZZ_CHECK(MatchesModel(forwarding.Pending(), model));
    }
    return 0;
}
