#include "proxy/DnsMessage.h"
#include "support/FakeTickClock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace harbolt;

namespace {

using TBytes = std::vector<std::uint8_t>;

void Put16(TBytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void PutName(TBytes& bytes, const std::string& name) {
    std::size_t start = 0;
    while (start < name.size()) {
        const std::size_t dot = name.find('.', start);
        const std::string label = name.substr(start, dot - start);
        bytes.push_back(static_cast<std::uint8_t>(label.size()));
        bytes.insert(bytes.end(), label.begin(), label.end());
        start = dot == std::string::npos ? name.size() : dot + 1;
    }
    bytes.push_back(0);
}

TBytes Header(std::uint16_t id, std::uint16_t flags, std::uint16_t questions, std::uint16_t answers,
              std::uint16_t additional = 0) {
    TBytes bytes;
    Put16(bytes, id);
    Put16(bytes, flags);
    Put16(bytes, questions);
    Put16(bytes, answers);
    Put16(bytes, 0);
    Put16(bytes, additional);
    return bytes;
}

TBytes Query(std::uint16_t id, const std::string& name) {
    TBytes bytes = Header(id, 0x0100, 1, 0);
    PutName(bytes, name);
    Put16(bytes, 1);
    Put16(bytes, 1);
    return bytes;
}

// An answer with A records pointing back at the question's name, and an OPT record whose "TTL"
// must be left alone.
TBytes Answer(std::uint16_t id, const std::string& name, std::vector<std::uint32_t> ttls,
              std::uint16_t flags = 0x8180) {
    TBytes bytes = Header(id, flags, 1, static_cast<std::uint16_t>(ttls.size()), 1);
    PutName(bytes, name);
    Put16(bytes, 1);
    Put16(bytes, 1);
    for (const std::uint32_t ttl : ttls) {
        Put16(bytes, 0xC00C);
        Put16(bytes, 1);
        Put16(bytes, 1);
        Put16(bytes, static_cast<std::uint16_t>(ttl >> 16));
        Put16(bytes, static_cast<std::uint16_t>(ttl));
        Put16(bytes, 4);
        bytes.insert(bytes.end(), {10, 0, 0, 1});
    }
    bytes.push_back(0); // OPT: root name, type 41, payload size, flags in the TTL, no data
    Put16(bytes, kDnsTypeOpt);
    Put16(bytes, 1232);
    Put16(bytes, 0x8000);
    Put16(bytes, 0);
    Put16(bytes, 0);
    return bytes;
}

std::uint32_t TtlAt(const TBytes& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
           bytes[at + 3];
}

TEST(DnsMessageTest, ReadsAnswersWithPointersAndRejectsWhatDoesNotReadToTheEnd) {
    const TBytes answer = Answer(7, "WWW.Example.com", {300, 60});
    const auto parsed = ParseDnsMessage(answer);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->Response);
    ASSERT_EQ(parsed->Questions.size(), 1u);
    EXPECT_EQ(parsed->Questions[0], (TDnsQuestion{"www.example.com", 1, 1}));
    ASSERT_EQ(parsed->TtlOffsets.size(), 2u); // OPT's flags are no TTL
    EXPECT_EQ(TtlAt(answer, parsed->TtlOffsets[1]), 60u);
    EXPECT_EQ(parsed->MinimumTtl, 60u);

    TBytes trailing = answer;
    trailing.push_back(0);
    TBytes cut = answer;
    cut.pop_back();
    TBytes selfLoop = Header(1, 0, 1, 0);
    Put16(selfLoop, 0xC00C); // points at itself
    Put16(selfLoop, 1);
    Put16(selfLoop, 1);
    TBytes forward = Header(1, 0, 1, 0);
    Put16(forward, 0xC00E); // points ahead, at a pointer back to it
    Put16(forward, 0xC00C);
    Put16(forward, 1);
    Put16(forward, 1);
    TBytes tooLong = Header(1, 0, 1, 0);
    std::string longName;
    for (const char letter : {'a', 'b', 'c', 'd'})
        longName.append(longName.empty() ? "" : ".").append(63, letter);
    PutName(tooLong, longName);
    Put16(tooLong, 1);
    Put16(tooLong, 1);
    TBytes lyingCount = Query(1, "a.example");
    lyingCount[7] = 200; // 200 answers that are not there
    for (const TBytes& bad : {trailing, cut, selfLoop, forward, tooLong, lyingCount})
        EXPECT_FALSE(ParseDnsMessage(bad));
    EXPECT_FALSE(ParseDnsMessage(TBytes(11, 0)));
}

TEST(DnsMessageTest, ThePayloadLimitComesFromTheQuerysOptRecord) {
    TBytes query = Query(1, "a.example");
    EXPECT_EQ(DnsPayloadLimit(query), 512u);
    query[11] = 1; // OPT: root name, type 41, payload size in the class, flags, no data
    query.insert(query.end(), {0, 0, 41, 0x10, 0x00, 0, 0, 0x80, 0, 0, 0});
    EXPECT_EQ(DnsPayloadLimit(query), 4096u);
    query[query.size() - 8] = 0x01; // 256: less counts as 512
    EXPECT_EQ(DnsPayloadLimit(query), 512u);
}

TEST(DnsMessageTest, AnAnswerThatDoesNotFitIsCutAtARecordWithItsOptRecord) {
    const TBytes whole = Answer(7, "www.example.com", std::vector<std::uint32_t>(60, 300));
    TBytes answer = whole;
    EXPECT_EQ(FitDnsAnswer(answer, 4096), whole.size());
    EXPECT_EQ(answer, whole);
    // 512 bytes: the question (33 bytes), 29 whole records, the OPT record moved up after them.
    answer.resize(FitDnsAnswer(answer, 512));
    ASSERT_EQ(answer.size(), 33u + 29 * 16 + 11);
    const auto parsed = ParseDnsMessage(answer);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->Truncated);
    EXPECT_EQ(parsed->TtlOffsets.size(), 29u);
    ASSERT_EQ(parsed->Records.size(), 30u);
    EXPECT_EQ(parsed->Records.back().Type, kDnsTypeOpt);
    EXPECT_TRUE(std::equal(answer.begin() + 12, answer.end() - 11, whole.begin() + 12));
    EXPECT_TRUE(std::equal(answer.end() - 11, answer.end(), whole.end() - 11));
}

TEST(DnsMessageTest, AnAnswerWhoseRecordsDoNotReadKeepsOnlyItsQuestion) {
    TBytes garbled = Answer(7, "www.example.com", std::vector<std::uint32_t>(60, 300));
    garbled[33 + 16 * 40] = 0x40; // a label type nobody uses, in the 41st record
    TBytes expected = Header(7, 0x8380, 1, 0);
    expected.insert(expected.end(), garbled.begin() + 12, garbled.begin() + 33);
    garbled.resize(FitDnsAnswer(garbled, 512));
    EXPECT_EQ(garbled, expected);
}

TEST(DnsMessageTest, NamePatterns) {
    const std::string patterns = "*.local, wpad.* ,Printer.Example.COM";
    EXPECT_TRUE(DnsNameMatches(patterns, "nas.LOCAL"));
    EXPECT_TRUE(DnsNameMatches(patterns, "a.b.local."));
    EXPECT_FALSE(DnsNameMatches(patterns, "local"));
    EXPECT_FALSE(DnsNameMatches(patterns, "notlocal"));
    EXPECT_TRUE(DnsNameMatches(patterns, "wpad.corp.example"));
    EXPECT_FALSE(DnsNameMatches(patterns, "wpadx.corp.example"));
    EXPECT_TRUE(DnsNameMatches(patterns, "printer.example.com"));
    EXPECT_FALSE(DnsNameMatches(patterns, "x.printer.example.com"));
    EXPECT_FALSE(DnsNameMatches("", "anything"));
    EXPECT_FALSE(DnsNameMatches("*", "anything")); // no pattern matches every name
}

class DnsCacheTest : public ::testing::Test {
protected:
    harbolt::test::TFakeTickClock Clock{0xFFFF0000u}; // the wrap comes early
    TDnsCache Cache{Clock, 3};
};

TEST_F(DnsCacheTest, FreshAnswersCountDownThenServeStaleForADay) {
    ASSERT_TRUE(Cache.Store(Answer(7, "www.example.com", {300, 60})));
    const TBytes query = Query(0x4242, "WWW.example.COM");
    Clock.Advance(20000);
    auto answer = Cache.Answer(query, false);
    ASSERT_TRUE(answer);
    const auto parsed = ParseDnsMessage(*answer);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Id, 0x4242);
    EXPECT_EQ(TtlAt(*answer, parsed->TtlOffsets[0]), 280u);
    EXPECT_EQ(TtlAt(*answer, parsed->TtlOffsets[1]), 40u);
    // The asker's spelling comes back.
    EXPECT_TRUE(std::equal(query.begin() + 12, query.end() - 4, answer->begin() + 12));

    Clock.Advance(40000); // the smallest TTL has run out
    EXPECT_FALSE(Cache.Answer(query, false));
    answer = Cache.Answer(query, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(TtlAt(*answer, ParseDnsMessage(*answer)->TtlOffsets[0]), TDnsCache::kStaleTtl);
    Clock.Advance(TDnsCache::kStaleWindow * 1000);
    EXPECT_FALSE(Cache.Answer(query, true));
    EXPECT_FALSE(Cache.Answer(Query(1, "other.example"), true));
}

TEST_F(DnsCacheTest, KeepsOnlyWholeGoodAnswersAndDropsTheLeastUsedPastTheBound) {
    EXPECT_FALSE(Cache.Store(Answer(1, "a.example", {60}, 0x8383))); // NXDOMAIN
    EXPECT_FALSE(Cache.Store(Answer(1, "a.example", {60}, 0x8380))); // truncated
    EXPECT_FALSE(Cache.Store(Answer(1, "a.example", {60, 0})));      // a TTL of 0
    EXPECT_FALSE(Cache.Store(Answer(1, "a.example", {})));           // no record
    EXPECT_FALSE(Cache.Store(Query(1, "a.example")));
    TBytes cut = Answer(1, "a.example", {60});
    cut.pop_back();
    EXPECT_FALSE(Cache.Store(cut));
    EXPECT_EQ(Cache.Size(), 0u);

    for (const char* name : {"a.example", "b.example", "c.example"})
        ASSERT_TRUE(Cache.Store(Answer(1, name, {60})));
    ASSERT_TRUE(Cache.Answer(Query(2, "a.example"), false)); // a is used: b is the oldest use
    ASSERT_TRUE(Cache.Store(Answer(1, "d.example", {60})));
    EXPECT_EQ(Cache.Size(), 3u);
    EXPECT_FALSE(Cache.Answer(Query(2, "b.example"), true));
    for (const char* name : {"a.example", "c.example", "d.example"})
        EXPECT_TRUE(Cache.Answer(Query(2, name), false)) << name;
}

} // namespace
