#include "proxy/DnsMessage.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <array>

namespace harbolt {

namespace {

constexpr std::size_t kMaxNameLength = 255; // RFC 1035 2.3.4, in wire form
constexpr std::uint32_t kMaxKeptTtl = 7 * 24 * 3600;
constexpr std::uint32_t kStoreSweepEvery = 256;
constexpr std::uint8_t kTruncatedFlag = 0x02; // byte 2

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(Read16(bytes, at)) << 16 | Read16(bytes, at + 2);
}

void Write16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

void Write32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 24);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[at + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 3] = static_cast<std::uint8_t>(value);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads the name at offset into name (when not null) and moves offset past it. A pointer must
// lead strictly backwards from the label that holds it, so every jump shrinks the position and
// the walk ends.
bool ReadName(std::span<const std::uint8_t> message, std::size_t& offset, std::string* name,
              std::vector<bool>* nameBytes = nullptr) {
    std::size_t at = offset;
    std::size_t wireLength = 0;
    bool jumped = false;
    for (;;) {
        if (at >= message.size())
            return false;
        const std::uint8_t length = message[at];
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= message.size())
                return false;
            const std::size_t target =
                static_cast<std::size_t>(length & 0x3F) << 8 | message[at + 1];
            // Backwards, and not into the header.
            if (target >= at || target < kDnsHeaderSize)
                return false;
            if (nameBytes != nullptr)
                (*nameBytes)[at] = (*nameBytes)[at + 1] = true;
            if (!jumped)
                offset = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if ((length & 0xC0) != 0)
            return false; // the extended label types are not in use
        wireLength += 1u + length;
        if (wireLength > kMaxNameLength || at + 1 + length > message.size())
            return false;
        if (nameBytes != nullptr)
            std::fill_n(nameBytes->begin() + static_cast<long>(at), 1 + length, true);
        if (length == 0) {
            if (!jumped)
                offset = at + 1;
            return true;
        }
        if (name != nullptr) {
            if (!name->empty())
                *name += '.';
            for (std::size_t i = 0; i < length; ++i)
                *name += Lower(static_cast<char>(message[at + 1 + i]));
        }
        at += 1u + length;
    }
}

// Where the question section ends, when the questions read (their records may not).
std::optional<std::size_t> QuestionsEnd(std::span<const std::uint8_t> message) {
    if (message.size() < kDnsHeaderSize)
        return std::nullopt;
    const std::size_t questions = Read16(message, 4);
    if (questions * 5 > message.size() - kDnsHeaderSize)
        return std::nullopt;
    std::size_t offset = kDnsHeaderSize;
    for (std::size_t i = 0; i < questions; ++i) {
        if (!ReadName(message, offset, nullptr) || offset + 4 > message.size())
            return std::nullopt;
        offset += 4;
    }
    return offset;
}

// Sets TC and the counts of the questions and of the three record sections.
void SetTruncatedCounts(std::span<std::uint8_t> message, std::uint16_t questions,
                        const std::array<std::uint16_t, 3>& records) {
    message[2] |= kTruncatedFlag;
    Write16(message, 4, questions);
    for (std::size_t i = 0; i < records.size(); ++i)
        Write16(message, 6 + 2 * i, records[i]);
}

bool PatternMatches(std::string_view pattern, std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    if (pattern.size() > 2 && pattern.substr(0, 2) == "*.") {
        const std::string_view suffix = pattern.substr(1); // ".local"
        return name.size() > suffix.size() &&
               SameTextAscii(suffix, name.substr(name.size() - suffix.size()));
    }
    if (pattern.size() > 2 && pattern.substr(pattern.size() - 2) == ".*") {
        const std::string_view first = pattern.substr(0, pattern.size() - 1); // "wpad."
        return name.size() > first.size() && SameTextAscii(first, name.substr(0, first.size()));
    }
    return pattern.find('*') == std::string_view::npos && !pattern.empty() &&
           SameTextAscii(pattern, name);
}

} // namespace

std::optional<TDnsMessage> ParseDnsMessage(std::span<const std::uint8_t> message) {
    if (message.size() < kDnsHeaderSize)
        return std::nullopt;
    TDnsMessage parsed;
    parsed.Id = Read16(message, 0);
    const std::uint16_t flags = Read16(message, 2);
    parsed.Response = (flags & 0x8000) != 0;
    parsed.Truncated = (flags & 0x0200) != 0;
    parsed.ResponseCode = static_cast<std::uint8_t>(flags & 0x000F);
    const std::uint16_t questions = Read16(message, 4);
    const std::size_t answers = Read16(message, 6);
    const std::size_t authorities = Read16(message, 8);
    const std::size_t records = answers + authorities + Read16(message, 10);
    // Every question takes at least 5 bytes and every record 11: counts beyond that are lies,
    // and would only make the loops below long.
    if (questions * 5 + records * 11 > message.size() - kDnsHeaderSize)
        return std::nullopt;

    // Which bytes names are read from: a pointer may lead anywhere before it, even into a TTL,
    // and a TTL that names are made of cannot be rewritten.
    std::vector<bool> nameBytes(message.size(), false);
    std::size_t offset = kDnsHeaderSize;
    for (std::uint16_t i = 0; i < questions; ++i) {
        TDnsQuestion question;
        if (!ReadName(message, offset, &question.Name, &nameBytes) || offset + 4 > message.size())
            return std::nullopt;
        question.Type = Read16(message, offset);
        question.Class = Read16(message, offset + 2);
        offset += 4;
        parsed.Questions.push_back(std::move(question));
    }
    parsed.QuestionsEnd = offset;
    for (std::size_t i = 0; i < records; ++i) {
        TDnsRecordPlace place;
        place.Section = i < answers                 ? TDnsSection::Answer
                        : i < answers + authorities ? TDnsSection::Authority
                                                    : TDnsSection::Additional;
        if (!ReadName(message, offset, nullptr, &nameBytes) || offset + 10 > message.size())
            return std::nullopt;
        place.Fixed = offset;
        const std::uint16_t type = Read16(message, offset);
        place.Type = type;
        const std::uint32_t ttl = Read32(message, offset + 4);
        const std::uint16_t dataLength = Read16(message, offset + 8);
        if (type != kDnsTypeOpt) {
            parsed.TtlOffsets.push_back(offset + 4);
            // RFC 2181 8: a TTL with the top bit set counts as 0.
            const std::uint32_t effective = (ttl & 0x80000000u) != 0 ? 0 : ttl;
            parsed.MinimumTtl = std::min(parsed.MinimumTtl.value_or(effective), effective);
        }
        offset += 10;
        if (offset + dataLength > message.size())
            return std::nullopt;
        offset += dataLength;
        place.End = offset;
        parsed.Records.push_back(place);
    }
    if (offset != message.size())
        return std::nullopt;
    for (const std::size_t at : parsed.TtlOffsets)
        if (std::find(nameBytes.begin() + static_cast<long>(at),
                      nameBytes.begin() + static_cast<long>(at + 4),
                      true) != nameBytes.begin() + static_cast<long>(at + 4))
            return std::nullopt;
    return parsed;
}

std::optional<std::vector<std::uint8_t>> DnsQuestionSection(std::span<const std::uint8_t> message) {
    const std::optional<std::size_t> end = QuestionsEnd(message);
    if (!end)
        return std::nullopt;
    std::vector<std::uint8_t> section(message.begin() + 4, message.begin() + 6);
    section.insert(section.end(), message.begin() + static_cast<long>(kDnsHeaderSize),
                   message.begin() + static_cast<long>(*end));
    return section;
}

std::size_t DnsPayloadLimit(std::span<const std::uint8_t> query) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(query);
    if (!parsed)
        return kDnsClassicPayload;
    for (const TDnsRecordPlace& record : parsed->Records)
        if (record.Section == TDnsSection::Additional && record.Type == kDnsTypeOpt)
            return std::max<std::size_t>(kDnsClassicPayload, Read16(query, record.Fixed + 2));
    return kDnsClassicPayload;
}

std::size_t DnsAnswerStub(std::span<std::uint8_t> answer) {
    // Resolvers take an answer only when its question is the one they asked.
    const std::optional<std::size_t> questionsEnd = QuestionsEnd(answer);
    if (questionsEnd && *questionsEnd <= kDnsClassicPayload) {
        SetTruncatedCounts(answer, Read16(answer, 4), {});
        if (ParseDnsMessage(answer.first(*questionsEnd)))
            return *questionsEnd;
    }
    SetTruncatedCounts(answer, 0, {});
    return kDnsHeaderSize;
}

std::size_t FitDnsAnswer(std::span<std::uint8_t> answer, std::size_t limit) {
    limit = std::max(limit, kDnsClassicPayload);
    if (answer.size() <= limit)
        return answer.size();
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(answer);
    if (!parsed)
        return DnsAnswerStub(answer);
    if (parsed->QuestionsEnd > limit) { // many questions: none can go
        SetTruncatedCounts(answer, 0, {});
        return kDnsHeaderSize;
    }

    // The OPT record carries the answer's EDNS flags and rcode bits: it stays, written with the
    // root as its name (it has no other) when it has to move.
    const auto opt = std::find_if(
        parsed->Records.begin(), parsed->Records.end(), [](const TDnsRecordPlace& record) {
            return record.Section == TDnsSection::Additional && record.Type == kDnsTypeOpt;
        });
    std::vector<std::uint8_t> optBytes;
    if (opt != parsed->Records.end() &&
        parsed->QuestionsEnd + 1 + (opt->End - opt->Fixed) <= limit) {
        optBytes.push_back(0);
        optBytes.insert(optBytes.end(), answer.begin() + static_cast<long>(opt->Fixed),
                        answer.begin() + static_cast<long>(opt->End));
    }
    // A prefix of whole records, so that every compression pointer in it still points where it
    // did; the OPT record goes after it unless the prefix holds it.
    std::size_t keptEnd = parsed->QuestionsEnd;
    bool optKept = false;
    std::array<std::uint16_t, 3> counts{};
    for (auto record = parsed->Records.begin(); record != parsed->Records.end(); ++record) {
        const bool isOpt = record == opt;
        const std::size_t after = optKept || isOpt ? 0 : optBytes.size();
        if (record->End + after > limit)
            break;
        keptEnd = record->End;
        optKept = optKept || isOpt;
        ++counts[static_cast<std::size_t>(record->Section)];
    }
    std::size_t length = keptEnd;
    if (!optKept && !optBytes.empty()) {
        std::copy(optBytes.begin(), optBytes.end(), answer.begin() + static_cast<long>(length));
        length += optBytes.size();
        ++counts[static_cast<std::size_t>(TDnsSection::Additional)];
    }
    SetTruncatedCounts(answer, static_cast<std::uint16_t>(parsed->Questions.size()), counts);
    return length;
}

bool DnsQueryHasOpt(std::span<const std::uint8_t> query) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(query);
    return parsed && std::any_of(parsed->Records.begin(), parsed->Records.end(),
                                 [](const TDnsRecordPlace& record) {
                                     return record.Section == TDnsSection::Additional &&
                                            record.Type == kDnsTypeOpt;
                                 });
}

std::size_t DnsAnswerWithoutOpt(std::span<std::uint8_t> answer) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(answer);
    if (!parsed || parsed->Records.empty())
        return answer.size();
    const TDnsRecordPlace& last = parsed->Records.back();
    // Records follow each other without a gap; the OPT record's owner is the root, one zero
    // byte (a pointer elsewhere would be no OPT record to take off).
    const std::size_t start = parsed->Records.size() > 1
                                  ? parsed->Records[parsed->Records.size() - 2].End
                                  : parsed->QuestionsEnd;
    if (last.Section != TDnsSection::Additional || last.Type != kDnsTypeOpt ||
        last.End != answer.size() || last.Fixed != start + 1 || answer[start] != 0)
        return answer.size();
    const std::uint16_t additional = Read16(answer, 10);
    Write16(answer, 10, static_cast<std::uint16_t>(additional - 1));
    // A name before it may have been read on into its bytes through a pointer: then it stays.
    if (!ParseDnsMessage(answer.first(start))) {
        Write16(answer, 10, additional);
        return answer.size();
    }
    return start;
}

bool DnsNameMatches(std::string_view patterns, std::string_view name) {
    while (!patterns.empty()) {
        const std::size_t comma = patterns.find(',');
        const std::string_view pattern = TrimBlanks(patterns.substr(0, comma));
        if (PatternMatches(pattern, name))
            return true;
        if (comma == std::string_view::npos)
            break;
        patterns.remove_prefix(comma + 1);
    }
    return false;
}

TDnsCache::TDnsCache(const TTickClock& clock, std::size_t maxEntries)
    : FClock(clock), FMaxEntries(std::max<std::size_t>(maxEntries, 1)) {}

std::string TDnsCache::Key(const TDnsQuestion& question) {
    std::string key = question.Name;
    key += '/';
    key += std::to_string(question.Type);
    key += '/';
    key += std::to_string(question.Class);
    return key;
}

bool TDnsCache::Store(std::span<const std::uint8_t> answer) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(answer);
    // Errors, cut answers and answers without a record (whose lifetime would come from the
    // authority's SOA, which this cache does not read) are asked again each time.
    if (!parsed || !parsed->Response || parsed->Truncated || parsed->ResponseCode != 0 ||
        parsed->Questions.size() != 1 || !parsed->MinimumTtl || *parsed->MinimumTtl == 0)
        return false;
    const std::uint32_t now = FClock.Now();

    // Now and then drop what has outlived the stale window, so that the bound is not all that
    // keeps the cache small.
    static_assert(kStoreSweepEvery > 0);
    if (++FStores % kStoreSweepEvery == 0) {
        for (auto it = FEntries.begin(); it != FEntries.end();) {
            const std::uint64_t age = TicksSince(it->second.Stored, now) / 1000;
            if (age > static_cast<std::uint64_t>(it->second.Lifetime) + kStaleWindow) {
                FUses.erase(it->second.Use);
                it = FEntries.erase(it);
            } else {
                ++it;
            }
        }
    }

    const std::string key = Key(parsed->Questions.front());
    auto found = FEntries.find(key);
    if (found == FEntries.end()) {
        if (FEntries.size() >= FMaxEntries) {
            FEntries.erase(FUses.back());
            FUses.pop_back();
        }
        FUses.push_front(key);
        found = FEntries.emplace(key, TEntry{}).first;
        found->second.Use = FUses.begin();
    } else {
        FUses.splice(FUses.begin(), FUses, found->second.Use);
    }
    TEntry& entry = found->second;
    entry.Message.assign(answer.begin(), answer.end());
    entry.TtlOffsets = parsed->TtlOffsets;
    entry.Ttls.clear();
    for (const std::size_t at : entry.TtlOffsets)
        entry.Ttls.push_back(Read32(answer, at));
    entry.Stored = now;
    entry.Lifetime = std::min(*parsed->MinimumTtl, kMaxKeptTtl);
    return true;
}

std::optional<std::vector<std::uint8_t>> DnsServerFailure(std::span<const std::uint8_t> query) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(query);
    if (!parsed || parsed->Response)
        return std::nullopt;
    std::vector<std::uint8_t> answer(query.begin(),
                                     query.begin() + static_cast<long>(parsed->QuestionsEnd));
    constexpr std::uint8_t kServerFailure = 2;
    answer[2] = static_cast<std::uint8_t>(0x80 | (query[2] & 0x79)); // QR, opcode, RD
    answer[3] = 0x80 | kServerFailure;                               // RA
    std::fill(answer.begin() + 6, answer.begin() + 12, 0);           // no records
    // A question whose name points past the questions cannot stand alone: no answer is better
    // than one that does not read.
    if (!ParseDnsMessage(answer))
        return std::nullopt;
    return answer;
}

std::optional<std::vector<std::uint8_t>> TDnsCache::Answer(std::span<const std::uint8_t> query,
                                                           bool allowStale) {
    const std::optional<TDnsMessage> parsed = ParseDnsMessage(query);
    if (!parsed || parsed->Response || parsed->Questions.size() != 1)
        return std::nullopt;
    const auto found = FEntries.find(Key(parsed->Questions.front()));
    if (found == FEntries.end())
        return std::nullopt;
    TEntry& entry = found->second;
    const std::uint32_t age = TicksSince(entry.Stored, FClock.Now()) / 1000;
    const bool fresh = age < entry.Lifetime;
    if (!fresh && (!allowStale || age - entry.Lifetime >= kStaleWindow))
        return std::nullopt;
    FUses.splice(FUses.begin(), FUses, entry.Use);

    std::vector<std::uint8_t> answer = entry.Message;
    answer[0] = query[0];
    answer[1] = query[1];
    // The asker's spelling of the name: some resolvers check the case they sent.
    std::size_t queryEnd = kDnsHeaderSize;
    std::size_t answerEnd = kDnsHeaderSize;
    if (ReadName(query, queryEnd, nullptr) && ReadName(answer, answerEnd, nullptr) &&
        queryEnd == answerEnd)
        std::copy(query.begin() + kDnsHeaderSize, query.begin() + static_cast<long>(queryEnd),
                  answer.begin() + kDnsHeaderSize);
    for (std::size_t i = 0; i < entry.TtlOffsets.size(); ++i) {
        const std::uint32_t kept = (entry.Ttls[i] & 0x80000000u) != 0 ? 0 : entry.Ttls[i];
        Write32(answer, entry.TtlOffsets[i], fresh ? (kept > age ? kept - age : 0) : kStaleTtl);
    }
    return answer;
}

} // namespace harbolt
