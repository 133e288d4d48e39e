// The DNS message reader and the answer cache take whatever arrives on the forwarder's port.
// Whatever the bytes:
// - a message that reads does so exactly to its end: every TTL offset lies inside it, the
//   smallest TTL is one of them, and every name is lower case within 255 bytes;
// - the cache keeps a message only when it is an answer that reads, with one question, no
//   error, no truncation and a TTL; an answer served from it reads again, carries the asker's
//   ID and question, and has no TTL above what was stored;
// - the cache never grows past its bound;
// - a SERVFAIL answer is made only for queries that read, and reads as an answer to the same
//   questions, with no records, no longer than the query.
#include "proxy/DnsMessage.h"

#include "FuzzCheck.h"

#include <algorithm>
#include <cstdint>
#include <vector>

using namespace harbolt;

namespace {

class TFixedClock : public TTickClock {
public:
    std::uint32_t Now() const override { return Ticks; }
    std::uint32_t Ticks = 1000;
};

std::uint32_t TtlAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
           bytes[at + 3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> message(data, data + size);
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(message);
    if (parsed) {
        FUZZ_CHECK(size >= kDnsHeaderSize);
        std::uint32_t smallest = 0xFFFFFFFFu;
        for (const std::size_t at : parsed->TtlOffsets) {
            FUZZ_CHECK(at >= kDnsHeaderSize && at + 4 <= size);
            const std::uint32_t ttl = TtlAt(message, at);
            smallest = std::min(smallest, (ttl & 0x80000000u) != 0 ? 0 : ttl);
        }
        FUZZ_CHECK(parsed->MinimumTtl.has_value() == !parsed->TtlOffsets.empty());
        FUZZ_CHECK(!parsed->MinimumTtl || *parsed->MinimumTtl == smallest);
        for (const TDnsQuestion& question : parsed->Questions) {
            FUZZ_CHECK(question.Name.size() < 255);
            FUZZ_CHECK(std::none_of(question.Name.begin(), question.Name.end(),
                                    [](char c) { return c >= 'A' && c <= 'Z'; }));
        }
    }

    const std::optional<std::vector<std::uint8_t>> failure = DnsServerFailure(message);
    FUZZ_CHECK(!failure || (parsed && !parsed->Response));
    if (failure) {
        const std::optional<TDnsMessage> answer = ParseDnsMessage(*failure);
        FUZZ_CHECK(answer && answer->Response && answer->ResponseCode == 2);
        FUZZ_CHECK(answer->Id == parsed->Id && answer->Questions == parsed->Questions);
        FUZZ_CHECK(answer->TtlOffsets.empty() && failure->size() <= size);
    }

    TFixedClock clock;
    TDnsCache cache(clock, 2);
    const bool kept = cache.Store(message);
    FUZZ_CHECK(kept ==
               (parsed && parsed->Response && !parsed->Truncated && parsed->ResponseCode == 0 &&
                parsed->Questions.size() == 1 && parsed->MinimumTtl.value_or(0) != 0));
    FUZZ_CHECK(cache.Size() == (kept ? 1u : 0u));
    if (!kept)
        return 0;

    // Ask for it with a query of another ID made from the answer's own first question.
    std::vector<std::uint8_t> query = message;
    query[0] ^= 0x5A;
    query[2] &= 0x7F;
    const std::optional<TDnsMessage> asked = ParseDnsMessage(query);
    FUZZ_CHECK(asked && !asked->Response);
    clock.Ticks += 1500;
    for (const bool stale : {false, true}) {
        const std::optional<std::vector<std::uint8_t>> served = cache.Answer(query, stale);
        if (!served)
            continue;
        const std::optional<TDnsMessage> again = ParseDnsMessage(*served);
        FUZZ_CHECK(again);
        FUZZ_CHECK(again->Id == asked->Id);
        FUZZ_CHECK(again->Questions == parsed->Questions);
        FUZZ_CHECK(again->TtlOffsets == parsed->TtlOffsets);
        for (const std::size_t at : again->TtlOffsets)
            FUZZ_CHECK(TtlAt(*served, at) <= std::max(TtlAt(message, at), 30u));
    }
    FUZZ_CHECK(cache.Size() <= 2u);
    return 0;
}
