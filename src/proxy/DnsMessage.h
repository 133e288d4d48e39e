#pragma once

// Reading DNS messages (RFC 1035) far enough to cache answers and to cut them to the size their
// asker takes: the question, the answer code, where each record sits and where its TTL is. Pure
// and bounded: a message is read whole or not at all, so that nothing is ever answered from, or
// cut by, a message that was only partly understood.

#include "platform/Clock.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace harbolt {

constexpr std::size_t kDnsHeaderSize = 12;
constexpr std::uint16_t kDnsTypeOpt = 41; // EDNS pseudo-record: its "TTL" holds flags
// What every DNS client takes over UDP; EDNS (RFC 6891) lets it say it takes more.
constexpr std::size_t kDnsClassicPayload = 512;

enum class TDnsSection : std::uint8_t { Answer, Authority, Additional };

// Where one resource record lies in its message.
struct TDnsRecordPlace {
    std::size_t Fixed = 0; // TYPE, CLASS, TTL, RDLENGTH, after the owner name
    std::size_t End = 0;   // the first byte after its data
    std::uint16_t Type = 0;
    TDnsSection Section = TDnsSection::Answer;
};

struct TDnsQuestion {
    std::string Name; // dotted, lower case, no final dot; "" for the root
    std::uint16_t Type = 0;
    std::uint16_t Class = 0;

    bool operator==(const TDnsQuestion&) const = default;
};

struct TDnsMessage {
    std::uint16_t Id = 0;
    bool Response = false;
    bool Truncated = false;
    std::uint8_t ResponseCode = 0; // the low four bits of the flags
    std::vector<TDnsQuestion> Questions;
    std::size_t QuestionsEnd = 0; // offset of the first byte after the question section
    // Offsets of the TTL fields of every record but OPT, for serving an answer with a new TTL.
    std::vector<std::size_t> TtlOffsets;
    // The smallest of those TTLs; nullopt when the message has no such record.
    std::optional<std::uint32_t> MinimumTtl;
    // Every record, in the order of the message.
    std::vector<TDnsRecordPlace> Records;
};

// The message, or nullopt when any part of it (header, names, records, their counts and
// lengths) does not read exactly to its end. Compression pointers must point back before the
// name that uses them, so a loop cannot be built.
std::optional<TDnsMessage> ParseDnsMessage(std::span<const std::uint8_t> message);

// The question count and the question section of a message exactly as they stand (bytes 4-5,
// then everything from the header to the end of the questions, letter case and all), so that an
// answer can be told to be for this very question; nullopt when the questions do not read.
std::optional<std::vector<std::uint8_t>> DnsQuestionSection(std::span<const std::uint8_t> message);

// The SERVFAIL answer to a whole query: its ID, opcode and RD flag, its questions as sent, no
// records. nullopt when the query does not read or is an answer.
std::optional<std::vector<std::uint8_t>> DnsServerFailure(std::span<const std::uint8_t> query);

// The largest UDP message the sender of this query takes: the payload size in the CLASS of its
// OPT record, kDnsClassicPayload without one (or when the query does not read), never less.
std::size_t DnsPayloadLimit(std::span<const std::uint8_t> query);

// Fits an answer into limit bytes (at least kDnsClassicPayload), rewriting it in place; its new
// length. One that fits stays as it is. One that does not keeps its header and questions and as
// many whole records, in order, as fit, with the counts of what is left, TC set (so the asker
// asks again over TCP) and its OPT record (moved to the end when it came after the cut); its
// header alone when the questions do not fit. An answer whose records do not read cannot be cut
// at a record: it becomes DnsAnswerStub.
std::size_t FitDnsAnswer(std::span<std::uint8_t> answer, std::size_t limit);

// Whether a query carries an OPT record: only then may its answer carry one.
bool DnsQueryHasOpt(std::span<const std::uint8_t> query);

// Drops the OPT record of an answer, in place, when it is the last record (where servers put
// it) and no name before it is read on into its bytes; its new length. An answer kept for an asker
// that spoke EDNS goes so to one that did not.
std::size_t DnsAnswerWithoutOpt(std::span<std::uint8_t> answer);

// What is left of an answer (at least the header) whose records cannot be trusted: its header
// and questions, or its header alone when those do not read, with TC set, the counts to match,
// in place; its new length. It tells the asker to ask again over TCP.
std::size_t DnsAnswerStub(std::span<std::uint8_t> answer);

// Whether the name (dotted, any case) matches one of the comma-separated patterns: "*.local"
// matches every name below local, "wpad.*" every name whose first label is wpad, and a pattern
// without "*" that name alone. Case is ignored; blanks around patterns are too.
bool DnsNameMatches(std::string_view patterns, std::string_view name);

// Answers kept for their TTL, and for a day after it for serving stale while nobody is online.
// Only whole, error-free, untruncated answers to one question are kept. Keyed by question; the
// oldest use goes first when the bound is reached. Not thread-safe: the forwarder's one
// receiving thread owns it.
class TDnsCache {
public:
    static constexpr std::uint32_t kStaleWindow = 24 * 3600; // seconds an expired answer serves
    static constexpr std::uint32_t kStaleTtl = 30;           // the TTL a stale answer carries
    static constexpr std::size_t kDefaultEntries = 4096;

    explicit TDnsCache(const TTickClock& clock, std::size_t maxEntries = kDefaultEntries);

    // Keeps the answer when it can be kept; whether it was.
    bool Store(std::span<const std::uint8_t> answer);
    // A fresh answer to the query (its ID, TTLs counted down), or, with stale allowed, one that
    // expired within the stale window (TTL kStaleTtl); nullopt otherwise.
    std::optional<std::vector<std::uint8_t>> Answer(std::span<const std::uint8_t> query,
                                                    bool allowStale);
    std::size_t Size() const { return FEntries.size(); }

private:
    struct TEntry {
        std::vector<std::uint8_t> Message;
        std::vector<std::size_t> TtlOffsets;
        std::vector<std::uint32_t> Ttls;
        std::uint32_t Stored = 0;   // tick of storing
        std::uint32_t Lifetime = 0; // seconds: the smallest TTL
        std::list<std::string>::iterator Use;
    };
    static std::string Key(const TDnsQuestion& question);

    const TTickClock& FClock;
    const std::size_t FMaxEntries;
    std::unordered_map<std::string, TEntry> FEntries;
    std::list<std::string> FUses; // most recent first
    std::uint32_t FStores = 0;
};

} // namespace harbolt
