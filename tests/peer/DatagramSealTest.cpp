#include "peer/DatagramSeal.h"

#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace harbolt {
namespace {

constexpr std::int64_t kNow = 1'767'225'600'000; // 2026-01-01 00:00 UTC
const std::uint32_t kSender = htonl(0x0A4D0009); // 10.77.0.9

const std::shared_ptr<const TLanKeyMaterial>& KeyInUse() {
    static const auto key = MakeLanKeyMaterial("the key of this LAN");
    return key;
}
const TLanKeyMaterial& Key() {
    return *KeyInUse();
}

TAnnouncement ParsedAnnouncement(const TDatagram& datagram) {
    TIncomingDatagram element;
    std::copy(datagram.begin() + 8, datagram.end(), element.begin());
    return ParseAnnouncement(element);
}

TSealCheck Check(const TDatagram& datagram, const TLanKeyMaterial& key = Key()) {
    TSeal seal;
    return CheckSeal(datagram.data(), key, seal);
}

struct TKind {
    const char* Name;
    std::function<TDatagram()> Make;
    std::size_t Length;
};

// Test names carry the kind, not its bytes.
void PrintTo(const TKind& kind, std::ostream* out) {
    *out << kind.Name;
}

class DatagramSealKinds : public ::testing::TestWithParam<TKind> {};

TEST_P(DatagramSealKinds, SealCoversEveryMeaningfulByte) {
    const TDatagram plain = GetParam().Make();
    EXPECT_EQ(Check(plain), TSealCheck::Missing);
    TDatagram sealed = plain;
    SealDatagram(sealed, Key(), {kNow, 0x1122334455667788});
    TSeal seal;
    ASSERT_EQ(CheckSeal(sealed.data(), Key(), seal), TSealCheck::Valid);
    EXPECT_EQ(seal.StampMs, kNow);
    EXPECT_EQ(seal.Counter, 0x1122334455667788u);
    EXPECT_EQ(Check(sealed, *MakeLanKeyMaterial("the key of another")), TSealCheck::BadMac);

    // Header and payload up to its length, then stamp, counter and MAC.
    std::vector<std::size_t> covered;
    for (std::size_t at = 0; at < 12 + GetParam().Length; ++at)
        covered.push_back(at);
    for (std::size_t at = kSealOffset + 4; at < kDatagramSize; ++at)
        covered.push_back(at);
    for (const std::size_t at : covered) {
        TDatagram changed = sealed;
        changed[at] ^= 0x01;
        EXPECT_EQ(Check(changed), TSealCheck::BadMac) << "byte " << at;
    }
    sealed[kSealOffset + 3] = '2';
    EXPECT_EQ(Check(sealed), TSealCheck::Missing);
}

TEST_P(DatagramSealKinds, InstancesWithoutKeyReadTheSameAnnouncement) {
    const TDatagram plain = GetParam().Make();
    TDatagram sealed = plain;
    SealDatagram(sealed, Key(), {kNow, ~0ull >> 2});
    const auto fields = [](const TAnnouncement& a) {
        return std::tie(a.Type, a.PayloadLength, a.Name, a.Version, a.JournalEnd, a.SyncAddress,
                        a.Time, a.ConnectionName);
    };
    const TAnnouncement before = ParsedAnnouncement(plain);
    const TAnnouncement after = ParsedAnnouncement(sealed);
    EXPECT_TRUE(fields(after) == fields(before)) << after.Name << " " << after.ConnectionName;
}

// Texts that fill their fields, so that no payload byte stays zero by accident.
INSTANTIATE_TEST_SUITE_P(
    AllTypes, DatagramSealKinds,
    ::testing::Values(
        TKind{"Presence", [] { return PresenceDatagram(std::string(40, 'P')); },
              kPresencePayloadLength},
        TKind{"DataInfo",
              [] { return DataInfoDatagram(std::string(40, 'D'), -2, std::string(200, 's')); },
              kDataInfoPayloadLength},
        TKind{"Time",
              [] {
                  return TimeDatagram(std::string(40, 'T'), {2026, 12, 1, 7, 23, 59, 58, 999});
              },
              kTimePayloadLength},
        TKind{"Online", [] { return OnlineDatagram(std::string(40, 'O'), std::string(300, 'c')); },
              kOnlinePayloadLength}),
    [](const auto& info) { return std::string(info.param.Name); });

class DatagramGuardTest : public ::testing::Test {
protected:
    // Drops count only under the key in use; setting it forgets earlier ones.
    void SetUp() override { SetCurrentLanKey(KeyInUse()); }
    void TearDown() override { SetCurrentLanKey(nullptr); }

    static TDatagram Sealed(const TSeal& seal, std::string_view name = "ALPHA") {
        TDatagram datagram = PresenceDatagram(name);
        SealDatagram(datagram, Key(), seal);
        return datagram;
    }
    TDatagramGuard::TVerdict Admit(const TDatagram& datagram, std::int64_t nowMs = kNow,
                                   const TDatagramSealer* own = nullptr) {
        return Guard.Admit(datagram.data(), kSender, nowMs, Key(), own);
    }
    void ExpectDropped(std::uint64_t count, TTrustFailure last, const std::string& name = "ALPHA") {
        const auto peers = UntrustedPeers();
        ASSERT_EQ(peers.size(), 1u);
        EXPECT_EQ(peers[0].Address, "10.77.0.9");
        EXPECT_EQ(peers[0].Name, name);
        EXPECT_EQ(peers[0].DatagramsDropped, count);
        EXPECT_EQ(peers[0].ConnectionsRefused, 0u);
        EXPECT_EQ(peers[0].LastFailure, last);
    }

    TDatagramGuard Guard;
    using V = TDatagramGuard::TVerdict;
};

TEST_F(DatagramGuardTest, TakesADatagramOnceAndOnlyGrowingSeals) {
    const TDatagram first = Sealed({kNow, 10});
    EXPECT_EQ(Admit(first), V::Accepted);
    EXPECT_TRUE(UntrustedPeers().empty());
    EXPECT_EQ(Admit(first), V::Dropped);
    ExpectDropped(1, TTrustFailure::Replayed);
    EXPECT_EQ(Admit(Sealed({kNow, 9})), V::Dropped);
    EXPECT_EQ(Admit(Sealed({kNow - 1, 11})), V::Dropped);
    ExpectDropped(3, TTrustFailure::Replayed);
    EXPECT_EQ(Admit(Sealed({kNow, 11})), V::Accepted);
    // Senders are told apart by name.
    EXPECT_EQ(Admit(Sealed({kNow, 10}, "BETA")), V::Accepted);
    Guard.Reset();
    EXPECT_EQ(Admit(first), V::Accepted);
}

TEST_F(DatagramGuardTest, StampsMoreThan15MinutesOffAreStale) {
    for (const std::int64_t sign : {-1, 1}) {
        Guard.Reset();
        ForgetUntrustedPeers();
        EXPECT_EQ(Admit(Sealed({kNow + sign * (kSealStampWindowMs + 1), 1})), V::Dropped) << sign;
        ExpectDropped(1, TTrustFailure::Stale);
        EXPECT_EQ(Admit(Sealed({kNow + sign * kSealStampWindowMs, 1})), V::Accepted) << sign;
    }
    EXPECT_EQ(kSealStampWindowMs, 15 * 60 * 1000);
    // A key holder's clock as far off as a stamp can be.
    Guard.Reset();
    EXPECT_EQ(Admit(Sealed({std::numeric_limits<std::int64_t>::min(), 1})), V::Dropped);
}

TEST_F(DatagramGuardTest, RestartedSenderIsTakenAtOnce) {
    TDatagramSealer before(1000);
    EXPECT_EQ(Admit(Sealed(before.Next(kNow)), kNow), V::Accepted);
    EXPECT_EQ(Admit(Sealed(before.Next(kNow)), kNow), V::Accepted);
    TDatagramSealer after(5); // a lower counter, a clock moved on
    EXPECT_EQ(Admit(Sealed(after.Next(kNow + 2000)), kNow + 2000), V::Accepted);
}

TEST_F(DatagramGuardTest, OwnDatagramsComeBackAsEchoes) {
    TDatagramSealer own(500);
    TDatagramSealer other(100);
    const TDatagram mine = Sealed(own.Next(kNow));
    EXPECT_EQ(Admit(mine, kNow, &own), V::OwnEcho);
    EXPECT_EQ(Admit(mine, kNow, &own), V::OwnEcho);
    EXPECT_EQ(Admit(Sealed(other.Next(kNow)), kNow, &own), V::Accepted);
    EXPECT_EQ(Admit(Sealed({kNow, 501}), kNow, &own), V::Accepted); // not given out yet
    EXPECT_TRUE(UntrustedPeers().empty());
}

TEST_F(DatagramGuardTest, UnsealedAndForeignDatagramsAreCountedWithTheirName) {
    EXPECT_EQ(Admit(PresenceDatagram("EVIL")), V::Dropped);
    ExpectDropped(1, TTrustFailure::NoMac, "EVIL");
    TDatagram foreign = PresenceDatagram("EVIL2");
    SealDatagram(foreign, *MakeLanKeyMaterial("the key of another"), {kNow, 1});
    EXPECT_EQ(Admit(foreign), V::Dropped);
    ExpectDropped(2, TTrustFailure::BadMac, "EVIL2");
}

TEST(DatagramSealer, StampsNeverGoBackAndCountersGrow) {
    TDatagramSealer sealer(7);
    EXPECT_FALSE(sealer.Made(7));
    const TSeal first = sealer.Next(kNow);
    const TSeal back = sealer.Next(kNow - 60'000);
    const TSeal later = sealer.Next(kNow + 5);
    EXPECT_EQ(first.StampMs, kNow);
    EXPECT_EQ(back.StampMs, kNow);
    EXPECT_EQ(later.StampMs, kNow + 5);
    EXPECT_EQ(first.Counter, 7u);
    EXPECT_EQ(back.Counter, 8u);
    EXPECT_EQ(later.Counter, 9u);
    EXPECT_TRUE(sealer.Made(7) && sealer.Made(9));
    EXPECT_FALSE(sealer.Made(6) || sealer.Made(10));
    // Random starts keep two runs apart and leave room to count.
    const TSeal a = TDatagramSealer().Next(kNow);
    EXPECT_NE(a.Counter, TDatagramSealer().Next(kNow).Counter);
    EXPECT_LT(a.Counter, 1ull << 62);
}

} // namespace
} // namespace harbolt
