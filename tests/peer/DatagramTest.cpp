#include "peer/Datagram.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace harbolt {
namespace {

using TBytes = std::vector<unsigned char>;

TBytes Bytes(const TDatagram& datagram) {
    return TBytes(datagram.begin(), datagram.end());
}

// An all-zero datagram with the given bytes written at their offsets: the expectations are
// spelled out byte by byte, independent of the code under test.
struct TExpected {
    TBytes Data = TBytes(512, 0);
    TExpected& At(std::size_t offset, std::initializer_list<unsigned char> bytes) {
        std::copy(bytes.begin(), bytes.end(), Data.begin() + static_cast<long>(offset));
        return *this;
    }
    TExpected& At(std::size_t offset, const std::string& text) {
        std::copy(text.begin(), text.end(), Data.begin() + static_cast<long>(offset));
        return *this;
    }
};

TExpected Magics() {
    return TExpected().At(0, {0x77, 0x19, 0x02, 0x27}).At(4, {0x99, 0x52, 0x9C, 0x01});
}

TIncomingDatagram Element(const TDatagram& datagram) {
    TIncomingDatagram element;
    std::copy(datagram.begin() + 8, datagram.end(), element.begin());
    return element;
}

TAnnouncement Parsed(const TDatagram& datagram) {
    return ParseAnnouncement(Element(datagram));
}

TEST(DatagramLayout, PresenceGoldenBytes) {
    const TExpected expected =
        Magics().At(8, {0x24, 0x00}).At(10, {0x01, 0x00}).At(12, "ALPHA").At(44, {0, 0, 1, 0});
    EXPECT_EQ(Bytes(PresenceDatagram("ALPHA")), expected.Data);
}

TEST(DatagramLayout, DataInfoGoldenBytes) {
    // A negative journal end shows the field is signed little-endian.
    const TExpected expected = Magics()
                                   .At(8, {0xA8, 0x00})
                                   .At(10, {0x02, 0x00})
                                   .At(12, "BETA")
                                   .At(44, {0, 0, 1, 0})
                                   .At(48, {0xFE, 0xFF, 0xFF, 0xFF})
                                   .At(52, "beta.lan:1977");
    EXPECT_EQ(Bytes(DataInfoDatagram("BETA", -2, "beta.lan:1977")), expected.Data);
    const TExpected positive = Magics()
                                   .At(8, {0xA8, 0x00})
                                   .At(10, {0x02, 0x00})
                                   .At(12, "BETA")
                                   .At(44, {0, 0, 1, 0})
                                   .At(48, {0x04, 0x03, 0x02, 0x01});
    EXPECT_EQ(Bytes(DataInfoDatagram("BETA", 0x01020304, "")), positive.Data);
}

TEST(DatagramLayout, TimeGoldenBytes) {
    const TSystemTime time{2024, 3, 2, 5, 13, 7, 9, 250};
    const TExpected expected = Magics()
                                   .At(8, {0x34, 0x00})
                                   .At(10, {0x03, 0x00})
                                   .At(12, "GAMMA")
                                   .At(44, {0, 0, 1, 0})
                                   .At(48, {0xE8, 0x07, 0x03, 0x00, 0x02, 0x00, 0x05, 0x00, 0x0D,
                                            0x00, 0x07, 0x00, 0x09, 0x00, 0xFA, 0x00});
    EXPECT_EQ(Bytes(TimeDatagram("GAMMA", time)), expected.Data);
}

TEST(DatagramLayout, OnlineGoldenBytes) {
    const TExpected expected = Magics()
                                   .At(8, {0x24, 0x01})
                                   .At(10, {0x04, 0x00})
                                   .At(12, "DELTA")
                                   .At(44, {0, 0, 1, 0})
                                   .At(48, "T-Online DSL");
    EXPECT_EQ(Bytes(OnlineDatagram("DELTA", "T-Online DSL")), expected.Data);
}

TEST(DatagramLayout, MakeDatagramCopiesPayloadAndCutsAtFiveHundred) {
    const unsigned char payload[] = {0xAB, 0x00, 0xCD};
    const TExpected expected =
        Magics().At(8, {0x03, 0x00}).At(10, {0x09, 0x00}).At(12, {0xAB, 0x00, 0xCD});
    EXPECT_EQ(Bytes(MakeDatagram(9, payload, sizeof payload)), expected.Data);

    // A longer payload would run past the datagram: only its first 500 bytes are taken and the
    // length field says so.
    const TBytes big(600, 0x5A);
    const TDatagram cut = MakeDatagram(kPresenceDatagram, big.data(), big.size());
    EXPECT_EQ(cut[8], 0xF4);
    EXPECT_EQ(cut[9], 0x01);
    EXPECT_TRUE(
        std::all_of(cut.begin() + 12, cut.end(), [](unsigned char b) { return b == 0x5A; }));

    const TDatagram empty = MakeDatagram(kTimeDatagram, nullptr, 40);
    EXPECT_EQ(empty[8], 0);
    EXPECT_TRUE(
        std::all_of(empty.begin() + 12, empty.end(), [](unsigned char b) { return b == 0; }));
}

TEST(DatagramTexts, NameOfThirtyOneCharactersFillsTheFieldWithItsTerminator) {
    const std::string name31(31, 'N');
    const TDatagram datagram = PresenceDatagram(name31);
    EXPECT_TRUE(std::all_of(datagram.begin() + 12, datagram.begin() + 43,
                            [](unsigned char b) { return b == 'N'; }));
    EXPECT_EQ(datagram[43], 0);
    EXPECT_EQ(datagram[44 + 2], 0x01); // the version follows untouched
    EXPECT_EQ(Parsed(datagram).Name, name31);
}

TEST(DatagramTexts, LongerTextsAreCutToTheirFieldLessOne) {
    const std::string name40 = std::string(31, 'A').append("BCDEFGHIJ");
    const TDatagram presence = PresenceDatagram(name40);
    EXPECT_EQ(presence[43], 0);
    EXPECT_EQ(Parsed(presence).Name, std::string(31, 'A'));

    const std::string address(200, 'h');
    const TDatagram dataInfo = DataInfoDatagram("PC", 7, address);
    EXPECT_EQ(dataInfo[52 + 126], 'h');
    EXPECT_EQ(dataInfo[52 + 127], 0);
    EXPECT_EQ(Parsed(dataInfo).SyncAddress, std::string(127, 'h'));
    EXPECT_EQ(Parsed(dataInfo).JournalEnd, 7);

    const std::string connection(300, 'c');
    const TDatagram online = OnlineDatagram("PC", connection);
    EXPECT_EQ(online[48 + 255], 0);
    EXPECT_EQ(Parsed(online).ConnectionName, std::string(255, 'c'));
}

TEST(DatagramParse, EveryTypeRoundTrips) {
    // Windows-1252 bytes above 0x7F must come back unchanged.
    const std::string name = "M\xDCLLER";
    const TAnnouncement presence = Parsed(PresenceDatagram(name));
    EXPECT_EQ(presence.Type, kPresenceDatagram);
    EXPECT_EQ(presence.PayloadLength, 36);
    EXPECT_EQ(presence.Name, name);
    EXPECT_EQ(presence.Version, kPayloadVersion);

    const TAnnouncement dataInfo = Parsed(DataInfoDatagram("BETA", 123456, "10.0.0.7:1977"));
    EXPECT_EQ(dataInfo.Type, kDataInfoDatagram);
    EXPECT_EQ(dataInfo.PayloadLength, 168);
    EXPECT_EQ(dataInfo.Name, "BETA");
    EXPECT_EQ(dataInfo.Version, kPayloadVersion);
    EXPECT_EQ(dataInfo.JournalEnd, 123456);
    EXPECT_EQ(dataInfo.SyncAddress, "10.0.0.7:1977");

    const TSystemTime time{2038, 1, 2, 19, 3, 14, 7, 999};
    const TAnnouncement timeInfo = Parsed(TimeDatagram("GAMMA", time));
    EXPECT_EQ(timeInfo.Type, kTimeDatagram);
    EXPECT_EQ(timeInfo.PayloadLength, 52);
    EXPECT_EQ(timeInfo.Time, time);

    const TAnnouncement online = Parsed(OnlineDatagram("DELTA", "Provider \xC4"));
    EXPECT_EQ(online.Type, kOnlineDatagram);
    EXPECT_EQ(online.PayloadLength, 292);
    EXPECT_EQ(online.Name, "DELTA");
    EXPECT_EQ(online.ConnectionName, "Provider \xC4");
}

TEST(DatagramParse, TextsWithoutTerminatorFillTheirWholeField) {
    TIncomingDatagram element{};
    element[2] = kDataInfoDatagram;
    std::fill(element.begin() + 4, element.begin() + 36, 'n');   // name, 32 bytes
    std::fill(element.begin() + 44, element.begin() + 172, 's'); // sync address, 128 bytes
    std::fill(element.begin() + 172, element.end(), 'x');        // filler after the payload
    const TAnnouncement dataInfo = ParseAnnouncement(element);
    EXPECT_EQ(dataInfo.Name, std::string(32, 'n'));
    EXPECT_EQ(dataInfo.SyncAddress, std::string(128, 's'));

    element[2] = kOnlineDatagram;
    std::fill(element.begin() + 40, element.begin() + 296, 'c'); // connection name, 256 bytes
    EXPECT_EQ(ParseAnnouncement(element).ConnectionName, std::string(256, 'c'));
}

TEST(DatagramParse, ReadsFieldsAsSentWithoutChecking) {
    // A presence with a wrong payload length and version, and stray bytes where a data info
    // would carry its journal end: the numbers come back as sent, the other type's fields stay
    // empty.
    TIncomingDatagram element{};
    element[0] = 0x07;
    element[2] = kPresenceDatagram;
    element[4] = 'P';
    element[36] = 0x02;
    element[40] = 0x11;
    element[44] = 'z';
    const TAnnouncement presence = ParseAnnouncement(element);
    EXPECT_EQ(presence.PayloadLength, 7);
    EXPECT_EQ(presence.Name, "P");
    EXPECT_EQ(presence.Version, 2);
    EXPECT_EQ(presence.JournalEnd, 0);
    EXPECT_TRUE(presence.SyncAddress.empty());
    EXPECT_TRUE(presence.ConnectionName.empty());

    element[2] = 9;
    element[3] = 1;
    EXPECT_EQ(ParseAnnouncement(element).Type, 0x0109);
}

class IncomingQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ClearIncomingQueue(); }
    void TearDown() override { ClearIncomingQueue(); }
};

TEST_F(IncomingQueueTest, RefusesWrongSizesAndMagics) {
    const TDatagram good = PresenceDatagram("ALPHA");
    TBytes longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_FALSE(PostIncomingDatagram(good.data(), 511));
    EXPECT_FALSE(PostIncomingDatagram(longer.data(), longer.size()));
    EXPECT_FALSE(PostIncomingDatagram(nullptr, 512));

    TDatagram badMagic1 = good;
    badMagic1[0] ^= 0x01;
    EXPECT_FALSE(PostIncomingDatagram(badMagic1.data(), badMagic1.size()));
    TDatagram badMagic2 = good;
    badMagic2[7] ^= 0x80;
    EXPECT_FALSE(PostIncomingDatagram(badMagic2.data(), badMagic2.size()));

    TIncomingDatagram taken;
    EXPECT_FALSE(TakeIncomingDatagram(taken));
}

TEST_F(IncomingQueueTest, KeepsOrderAndAcceptsUnknownTypes) {
    const TDatagram first = PresenceDatagram("ONE");
    const unsigned char junk[] = {1, 2, 3};
    const TDatagram unknown = MakeDatagram(9, junk, sizeof junk);
    const TDatagram last = OnlineDatagram("THREE", "dsl");
    ASSERT_TRUE(PostIncomingDatagram(first.data(), first.size()));
    ASSERT_TRUE(PostIncomingDatagram(unknown.data(), unknown.size()));
    ASSERT_TRUE(PostIncomingDatagram(last.data(), last.size()));

    TIncomingDatagram taken;
    ASSERT_TRUE(TakeIncomingDatagram(taken));
    EXPECT_EQ(taken, Element(first));
    ASSERT_TRUE(TakeIncomingDatagram(taken));
    EXPECT_EQ(taken, Element(unknown));
    EXPECT_EQ(ParseAnnouncement(taken).Type, 9);
    ASSERT_TRUE(TakeIncomingDatagram(taken));
    EXPECT_EQ(taken, Element(last));
    EXPECT_FALSE(TakeIncomingDatagram(taken));
}

TEST_F(IncomingQueueTest, RefusesBeyondTheLimitUntilDrained) {
    const TDatagram datagram = PresenceDatagram("FLOOD");
    for (std::size_t i = 0; i < kIncomingQueueLimit; ++i)
        ASSERT_TRUE(PostIncomingDatagram(datagram.data(), datagram.size()));
    EXPECT_FALSE(PostIncomingDatagram(datagram.data(), datagram.size()));
    TIncomingDatagram taken;
    ASSERT_TRUE(TakeIncomingDatagram(taken));
    EXPECT_TRUE(PostIncomingDatagram(datagram.data(), datagram.size()));
    ClearIncomingQueue();
    EXPECT_FALSE(TakeIncomingDatagram(taken));
}

} // namespace
} // namespace harbolt
