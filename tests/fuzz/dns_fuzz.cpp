// The UDP DNS forwarder takes datagrams from anyone on the network: programs of the LAN, the
// other computers' forwarders, the DNS server, and whoever else sends to its port. Whatever
// arrives, in whatever order, the handling must hold together:
// - a datagram shorter than the header, a query from outside the allowed networks, a query that
//   did not fit the buffer and one with nowhere to go are dropped and change nothing;
// - a forwarded query keeps its length and every byte but the ID; its new ID is held by no
//   other pending entry, and it goes where the query target says;
// - an answer is passed on only when a pending entry has its ID and the answer comes from where
//   that query went; it then goes to the requester with the requester's ID, every other byte
//   kept (TC set when it did not fit), and the entry is gone; any other answer changes nothing;
// - entries older than the lifetime are gone before a datagram is handled; IDs stay unique.
// A model of the pending list is kept alongside and compared after every datagram.
//
// Input: records of a control byte, a length byte and that many datagram bytes (fewer at the
// end of the input). Control bits 0-1: the sender (10.0.0.5:1000 allowed, 192.0.2.9:2000 not
// allowed, 127.0.0.3:53, 127.0.0.4:53); bits 2-3: the query target (none, 127.0.0.3:53,
// 127.0.0.4:53, 10.0.0.5:1000); bit 4: the datagram did not fit (one byte more arrived); bits
// 5-7: seconds (times 5) that pass before it arrives. IDs are drawn from 0 to 15, so that
// collisions and the discarding of the list happen often.
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
            !Same(entry->ForwardedTo, query.ForwardedTo) || entry->Time != query.Time)
            return false;
    }
    return true;
}

// Every byte but the ID (and, where tc, the TC flag) is the same.
bool SameButId(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after,
               bool tc) {
    if (before.size() != after.size())
        return false;
    for (std::size_t i = 2; i < before.size(); ++i) {
        const std::uint8_t expected = i == 2 && tc ? (before[i] | 0x02) : before[i];
        if (after[i] != expected)
            return false;
    }
    return true;
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
    std::vector<TPendingQuery> model;

    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        std::vector<std::uint8_t> datagram(data + at + 2, data + at + 2 + length);
        at += 2 + length;

        const sockaddr_in& sender = kSenders[control & 0x03];
        const std::optional<sockaddr_in> target = kTargets[(control >> 2) & 0x03];
        const bool cut = (control & 0x10) != 0;
        clock.Ticks += 5000u * (control >> 5);
        std::erase_if(model, [&clock](const TPendingQuery& q) {
            return TicksSince(q.Time, clock.Now()) > kPendingQueryLifetime;
        });

        const std::vector<std::uint8_t> before = datagram;
        int asked = 0;
        const auto result = forwarding.Handle(
            datagram, datagram.size() + (cut ? 1 : 0), sender,
            [&]() {
                ++asked;
                return target;
            },
            clock);

        const TDnsKind kind = DnsKind(before);
        if (kind == TDnsKind::Malformed) {
            FUZZ_CHECK(!result && datagram == before && asked == 0);
        } else if (kind == TDnsKind::Query) {
            const bool admitted = rule->Admits(sender);
            FUZZ_CHECK(asked == (admitted && !cut ? 1 : 0));
            if (!admitted || cut || !target) {
                FUZZ_CHECK(!result && datagram == before);
            } else {
                FUZZ_CHECK(result && result->Query && Same(result->To, *target));
                FUZZ_CHECK(result->Length == datagram.size());
                FUZZ_CHECK(SameButId(before, datagram, false));
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
                query.Time = clock.Now();
                model.push_back(query);
            }
        } else {
            FUZZ_CHECK(asked == 0);
            const std::uint16_t id = DnsId(before);
            const auto entry = std::find_if(model.begin(), model.end(), [&](const auto& q) {
                return q.ForwardedId == id && Same(q.ForwardedTo, sender);
            });
            if (entry == model.end()) {
                FUZZ_CHECK(!result && datagram == before);
            } else {
                FUZZ_CHECK(result && !result->Query && Same(result->To, entry->Requester));
                FUZZ_CHECK(result->Length == datagram.size());
                FUZZ_CHECK(DnsId(datagram) == entry->RequesterId);
                FUZZ_CHECK(SameButId(before, datagram, cut));
                model.erase(entry);
            }
        }
        FUZZ_CHECK(MatchesModel(forwarding.Pending(), model));
    }
    return 0;
}
