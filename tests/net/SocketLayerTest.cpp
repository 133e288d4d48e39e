#include <chrono>
#include <cstring>

#include "NetTestSupport.h"

// Name look-ups here stay on the machine: "localhost" comes from the hosts file, and a name too
// long for a DNS query fails before any query is sent.
namespace harbolt::test {
namespace {

using Clock = std::chrono::steady_clock;

class SocketLayerTest : public NetTest {};

const std::string kUnresolvableName(300, 'a');

TEST_F(SocketLayerTest, LoadWinSockFindsTheSocketFacility) {
    WinSockLoaded = false;
    LoadWinSock();
    EXPECT_TRUE(WinSockLoaded.load());
}

TEST_F(SocketLayerTest, ResolveAddress) {
    EXPECT_EQ(ResolveAddress(""), kInaddrNone);
    EXPECT_EQ(ResolveAddress("10.0.0.7"), AddressOf(10, 0, 0, 7));
    EXPECT_EQ(ResolveAddress("192.168.0.1"), AddressOf(192, 168, 0, 1));
    EXPECT_EQ(ResolveAddress("localhost"), AddressOf(127, 0, 0, 1));
    EXPECT_EQ(ResolveAddress(kUnresolvableName), kInaddrNone);
}

TEST_F(SocketLayerTest, AddressTexts) {
    const unsigned char bytes[4] = {192, 168, 0, 1};
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    EXPECT_EQ(AddressToDotted(address), "192.168.0.1");
    EXPECT_EQ(AddressToDotted(AddressOf(255, 0, 10, 254)), "255.0.10.254");
    EXPECT_EQ(AddressToName(AddressOf(127, 0, 0, 1)), "localhost");

    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(1080);
    record.sin_addr.s_addr = AddressOf(127, 0, 0, 1);
    EXPECT_EQ(SocketAddressToText(record), "localhost:1080");
}

TEST_F(SocketLayerTest, SocketAddressToTextOfIpxLayout) {
    // family, network 00 00 12 34, node 00 00 00 00 AB 0C, socket 0x0452
    const unsigned char bytes[16] = {4, 0, 0,    0,    0x12, 0x34, 0, 0,
                                     0, 0, 0xAB, 0x0C, 0x04, 0x52, 0, 0};
    sockaddr_in record;
    std::memcpy(&record, bytes, sizeof record);
    EXPECT_EQ(SocketAddressToText(record), "12,34,00,00,00,00,AB,0C:1106");
}

TEST_F(SocketLayerTest, WaitReadablePollsOrWaitsAtMostItsTimeOut) {
    TChannelPair pair = MakePair();
    auto start = Clock::now();
    EXPECT_FALSE(WaitReadable(pair.Accepted->Socket(), 0));
    EXPECT_LT(MillisecondsSince(start), 50.0);

    start = Clock::now();
    EXPECT_FALSE(WaitReadable(pair.Accepted->Socket(), 300));
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 290.0);
    EXPECT_LT(elapsed, 1500.0);

    SendNow(*pair.Connected, "x");
    EXPECT_TRUE(WaitReadable(pair.Accepted->Socket(), 1000));
    EXPECT_TRUE(WaitReadable(pair.Accepted->Socket(), 0));
}

TEST_F(SocketLayerTest, WaitReadableSeesEndOfStream) {
    TChannelPair pair = MakePair();
    pair.Connected.reset();
    EXPECT_TRUE(WaitReadable(pair.Accepted->Socket(), 1000));
}

} // namespace
} // namespace harbolt::test
