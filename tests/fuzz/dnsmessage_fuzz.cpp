// The DNS message reader and the answer cache take whatever arrives on the forwarder's port.
// Whatever the bytes:
// - a message that reads does so exactly to its end: every TTL offset lies inside it, the
//   smallest TTL is one of them, and every name is lower case within 255 bytes;
// - the cache keeps a message only when it is an answer that reads, with one question, no
//   error, no truncation and a TTL; an answer served from it reads again, carries the asker's
//   ID and question, and has no TTL above what was stored;
// - the cache never grows past its bound;
// - the question section is there exactly when the questions read (always for a message that
//   reads), and is the question count followed by the bytes from the header to the end of the
//   questions, as they stand;
// - a SERVFAIL answer is made only for queries that read, and reads as an answer to the same
//   questions, with no records, no longer than the query;
// - the payload limit is at least 512, and 512 for a message that does not read; a message
//   has an OPT record exactly when its payload limit comes from one, and taking the OPT record
//   off (the last record) leaves the message's own start, reading with one record less;
// - fitted into a limit, a message that fits stays as it is; one that does not comes out no
//   longer than the limit, with TC set and reading again. When it read, its questions stay (all
//   or, when they do not fit, none) and its records are whole ones of the original: a prefix of
//   them, as long as fits, and its OPT record, moved after them when it came later. When it did
//   not read, only its header and questions stay, or its header alone.
#include "proxy/DnsMessage.h"

#include "FuzzCheck.h"

#include <algorithm>
#include <cstdint>
#include <optional>
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

std::uint16_t Count(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void CheckFit(const std::vector<std::uint8_t>& message, const std::optional<TDnsMessage>& parsed,
              std::size_t limit) {
    std::vector<std::uint8_t> fitted = message;
    const std::size_t length = FitDnsAnswer(fitted, limit);
    if (message.size() <= limit) {
        FUZZ_CHECK(length == message.size() && fitted == message);
        return;
    }
    FUZZ_CHECK(length <= limit && length >= kDnsHeaderSize);
    fitted.resize(length);
    const std::optional<TDnsMessage> cut = ParseDnsMessage(fitted);
    FUZZ_CHECK(cut && cut->Truncated && cut->Id == Count(message, 0));
    FUZZ_CHECK(fitted[2] == (message[2] | 0x02) && fitted[3] == message[3]);
    if (!parsed) {
        FUZZ_CHECK(cut->Records.empty());
        FUZZ_CHECK(std::equal(fitted.begin() + kDnsHeaderSize, fitted.end(),
                              message.begin() + kDnsHeaderSize));
        return;
    }
    if (parsed->QuestionsEnd > limit) {
        FUZZ_CHECK(length == kDnsHeaderSize && cut->Questions.empty());
        return;
    }
    FUZZ_CHECK(cut->Questions == parsed->Questions && cut->QuestionsEnd == parsed->QuestionsEnd);
    const auto isOpt = [](const TDnsRecordPlace& record) {
        return record.Section == TDnsSection::Additional && record.Type == kDnsTypeOpt;
    };
    const auto opt = std::find_if(parsed->Records.begin(), parsed->Records.end(), isOpt);
    // The records before the cut, byte for byte where they were.
    std::size_t kept = 0;
    while (kept < cut->Records.size() && kept < parsed->Records.size() &&
           cut->Records[kept].End == parsed->Records[kept].End &&
           cut->Records[kept].Type == parsed->Records[kept].Type &&
           cut->Records[kept].Section == parsed->Records[kept].Section)
        ++kept;
    const std::size_t prefixEnd = kept == 0 ? parsed->QuestionsEnd : parsed->Records[kept - 1].End;
    FUZZ_CHECK(std::equal(fitted.begin() + kDnsHeaderSize,
                          fitted.begin() + static_cast<long>(prefixEnd),
                          message.begin() + kDnsHeaderSize));
    const bool optInPrefix = opt != parsed->Records.end() &&
                             static_cast<std::size_t>(opt - parsed->Records.begin()) < kept;
    const std::size_t optLength = opt == parsed->Records.end() ? 0 : 1 + opt->End - opt->Fixed;
    if (kept == cut->Records.size()) {
        // Nothing moved: no OPT, or it is in the prefix, or it did not fit with the question.
        FUZZ_CHECK(opt == parsed->Records.end() || optInPrefix ||
                   parsed->QuestionsEnd + optLength > limit);
    } else {
        // One more: the OPT record from after the cut, under the root name.
        FUZZ_CHECK(kept + 1 == cut->Records.size() && opt != parsed->Records.end() &&
                   !optInPrefix && isOpt(cut->Records.back()) && fitted[prefixEnd] == 0 &&
                   std::equal(fitted.begin() + static_cast<long>(prefixEnd) + 1, fitted.end(),
                              message.begin() + static_cast<long>(opt->Fixed),
                              message.begin() + static_cast<long>(opt->End)));
    }
    // As many as fit: the next record would not have.
    FUZZ_CHECK(kept < parsed->Records.size());
    const bool nextIsOpt = parsed->Records.begin() + static_cast<long>(kept) == opt;
    const std::size_t reserve =
        optInPrefix || nextIsOpt || kept == cut->Records.size() ? 0 : optLength;
    FUZZ_CHECK(parsed->Records[kept].End + reserve > limit);
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

    const std::optional<std::vector<std::uint8_t>> section = DnsQuestionSection(message);
    FUZZ_CHECK(!parsed || section);
    if (section) {
        FUZZ_CHECK(size >= kDnsHeaderSize && section->size() >= 2 &&
                   section->size() - 2 <= size - kDnsHeaderSize);
        FUZZ_CHECK(
            std::equal(section->begin(), section->begin() + 2, message.begin() + 4) &&
            std::equal(section->begin() + 2, section->end(), message.begin() + kDnsHeaderSize));
        FUZZ_CHECK(!parsed || section->size() - 2 == parsed->QuestionsEnd - kDnsHeaderSize);
    }

    const std::optional<std::vector<std::uint8_t>> failure = DnsServerFailure(message);
    FUZZ_CHECK(!failure || (parsed && !parsed->Response));
    if (failure) {
        const std::optional<TDnsMessage> answer = ParseDnsMessage(*failure);
        FUZZ_CHECK(answer && answer->Response && answer->ResponseCode == 2);
        FUZZ_CHECK(answer->Id == parsed->Id && answer->Questions == parsed->Questions);
        FUZZ_CHECK(answer->TtlOffsets.empty() && failure->size() <= size);
    }

    const std::size_t payload = DnsPayloadLimit(message);
    FUZZ_CHECK(payload >= kDnsClassicPayload && (parsed || payload == kDnsClassicPayload));
    for (const std::size_t limit : {kDnsClassicPayload, payload})
        CheckFit(message, parsed, limit);
    const bool hasOpt = DnsQueryHasOpt(message);
    FUZZ_CHECK(hasOpt || payload == kDnsClassicPayload);
    std::vector<std::uint8_t> withoutOpt = message;
    withoutOpt.resize(DnsAnswerWithoutOpt(withoutOpt));
    if (withoutOpt.size() != size) {
        FUZZ_CHECK(hasOpt && withoutOpt.size() < size);
        const std::optional<TDnsMessage> again = ParseDnsMessage(withoutOpt);
        FUZZ_CHECK(again && again->Records.size() + 1 == parsed->Records.size());
        FUZZ_CHECK(parsed->Records.back().Type == kDnsTypeOpt);
        // Only the additional count changed; what is left is the message's own start.
        FUZZ_CHECK(std::equal(withoutOpt.begin(), withoutOpt.begin() + 10, message.begin()) &&
                   std::equal(withoutOpt.begin() + 12, withoutOpt.end(), message.begin() + 12));
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
