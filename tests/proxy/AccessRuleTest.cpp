#include "proxy/AccessRule.h"
#include "ProxyTestSupport.h"
#include "platform/EventLog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

namespace harbolt {
namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

sockaddr_in Peer(std::uint32_t hostOrder, sa_family_t family = AF_INET) {
    sockaddr_in peer{};
    peer.sin_family = family;
    peer.sin_addr.s_addr = htonl(hostOrder);
    peer.sin_port = htons(40000);
    return peer;
}

TEST(AccessRuleTest, BlocksAreReadWithHostBitsCleared) {
    auto block = ParseNetworkBlock("192.168.1.77/24");
    ASSERT_TRUE(block);
    EXPECT_EQ(block->Address, Ip(192, 168, 1, 0));
    EXPECT_EQ(block->Mask, 0xFFFFFF00u);
    EXPECT_EQ(block->Text(), "192.168.1.0/24");
    EXPECT_TRUE(block->Contains(Ip(192, 168, 1, 255)));
    EXPECT_FALSE(block->Contains(Ip(192, 168, 2, 1)));

    block = ParseNetworkBlock("10.2.3.4/0");
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, (TNetworkBlock{0, 0}));
    EXPECT_EQ(block->Text(), "0.0.0.0/0");
    EXPECT_TRUE(block->Contains(Ip(203, 0, 113, 9)));

    block = ParseNetworkBlock("10.2.3.4/32");
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, (TNetworkBlock{Ip(10, 2, 3, 4), 0xFFFFFFFFu}));
    EXPECT_FALSE(block->Contains(Ip(10, 2, 3, 5)));
    EXPECT_EQ(ParseNetworkBlock("10.2.3.4"), block);        // plain address: one host
    EXPECT_EQ(ParseNetworkBlock(" \t10.2.3.4/32 "), block); // blanks around it
    EXPECT_EQ(ParseNetworkBlock("172.16.0.0/12")->Text(), "172.16.0.0/12");
    EXPECT_EQ(ParseNetworkBlock("172.31.255.255/12")->Address, Ip(172, 16, 0, 0));
}

TEST(AccessRuleTest, MalformedBlocksAreRefused) {
    for (const char* text :
         {"", "   ", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0.0/008",
          "10.0.0.0/8x", "10.0.0.0/8/8", "/8", "256.1.1.1", "1.2.3.256/24", "1.2.3", "1.2.3.4.5",
          "localhost", "garbage", "10.0.0.0-10.0.0.255", "::1/128", "10.0.0.0/ 8"})
        EXPECT_FALSE(ParseNetworkBlock(text)) << '"' << text << '"';
}

TEST(AccessRuleTest, ListsNameWhatTheyCannotRead) {
    std::vector<std::string> errors;
    const auto blocks =
        ParseNetworkList(" 10.0.0.0/8, 192.168.1.9/24,,bogus ,1.2.3.4/40, ,300.0.0.1", &errors);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].Text(), "10.0.0.0/8");
    EXPECT_EQ(blocks[1].Text(), "192.168.1.0/24");
    EXPECT_EQ(errors, (std::vector<std::string>{"bogus", "1.2.3.4/40", "300.0.0.1"}));

    EXPECT_EQ(ParseNetworkList("bogus, 10.0.0.0/8").size(), 1u); // no error list: still read
    errors.clear();
    EXPECT_TRUE(ParseNetworkList("", &errors).empty());
    EXPECT_TRUE(ParseNetworkList(" , ,", &errors).empty());
    EXPECT_TRUE(errors.empty());
}

TEST(AccessRuleTest, ConfiguredRuleAdmitsItsBlocksAndLoopback) {
    TAccessRule rule({*ParseNetworkBlock("10.1.0.0/16")});
    EXPECT_TRUE(rule.Configured());
    EXPECT_TRUE(rule.Admits(Peer(Ip(10, 1, 200, 3))));
    EXPECT_TRUE(rule.Admits(Peer(Ip(127, 0, 0, 1))));
    EXPECT_TRUE(rule.Admits(Peer(Ip(127, 200, 1, 2))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(10, 2, 0, 1))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(192, 168, 1, 5))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(127, 0, 0, 1), AF_INET6)));
    ASSERT_EQ(rule.Blocks().size(), 2u);
    EXPECT_EQ(rule.Blocks()[0].Text(), "127.0.0.0/8");

    // A list that names nothing usable leaves this computer alone.
    TAccessRule empty(std::vector<TNetworkBlock>{});
    EXPECT_TRUE(empty.Admits(Peer(Ip(127, 0, 0, 1))));
    EXPECT_FALSE(empty.Admits(Peer(Ip(10, 1, 200, 3))));
    EXPECT_FALSE(empty.Admits(Peer(Ip(192, 168, 1, 77)))); // no announce interface to add
}

// A LAN card with an alias, an Ethernet-style WAN side (an LTE stick in router mode), a dial-up
// link and a card that is down.
std::vector<TInterfaceAddress> Machine() {
    return {{"lo", Ip(127, 0, 0, 1), 0xFF000000u, IFF_UP | IFF_LOOPBACK},
            {"eth0", Ip(192, 168, 1, 2), 0xFFFFFF00u, IFF_UP},
            {"eth0:1", Ip(10, 9, 0, 1), 0xFFFF0000u, IFF_UP},
            {"usb0", Ip(192, 168, 8, 100), 0xFFFFFF00u, IFF_UP},
            {"ppp0", Ip(10, 64, 0, 1), 0xFFFFFFFFu, IFF_UP | IFF_POINTOPOINT},
            {"eth1", Ip(172, 16, 0, 1), 0xFFFF0000u, 0}};
}

TEST(AccessRuleTest, ByDefaultOnlyTheAnnounceInterfacesSubnetsAndLoopbackAreAdmitted) {
    TAccessRule rule("192.168.1.2", Machine);
    EXPECT_FALSE(rule.Configured());
    EXPECT_TRUE(rule.Admits(Peer(Ip(192, 168, 1, 77))));
    EXPECT_TRUE(rule.Admits(Peer(Ip(10, 9, 200, 3)))); // the alias's subnet: the same card
    EXPECT_TRUE(rule.Admits(Peer(Ip(127, 0, 0, 1))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(192, 168, 8, 1)))); // the WAN segment's neighbours
    EXPECT_FALSE(rule.Admits(Peer(Ip(10, 64, 0, 1))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(172, 16, 0, 9))));
    EXPECT_EQ(rule.Blocks().size(), 3u);

    // Announced on the WAN side's address: that segment, and not the LAN's.
    TAccessRule wan("192.168.8.100", Machine);
    EXPECT_TRUE(wan.Admits(Peer(Ip(192, 168, 8, 1))));
    EXPECT_FALSE(wan.Admits(Peer(Ip(192, 168, 1, 77))));

    // No host, one of no interface, one of a card that is down: this computer alone.
    for (const char* host : {"", "192.168.50.1", "0.0.0.0", "172.16.0.1"}) {
        TAccessRule lonely(host, Machine);
        EXPECT_TRUE(lonely.Admits(Peer(Ip(127, 0, 0, 1)))) << host;
        for (const std::uint32_t peer :
             {Ip(192, 168, 1, 77), Ip(192, 168, 8, 1), Ip(172, 16, 0, 9), Ip(192, 168, 50, 2)})
            EXPECT_FALSE(lonely.Admits(Peer(peer))) << host;
        EXPECT_EQ(lonely.Blocks().size(), 1u) << host;
    }
    // Announced on loopback: loopback's block once.
    EXPECT_EQ(TAccessRule("127.0.0.1", Machine).Blocks().size(), 1u);
}

TEST(AccessRuleTest, TheInterfacesAreReadAgainWhenAPeerDoesNotFit) {
    std::vector<TInterfaceAddress> current = {{"lo", Ip(127, 0, 0, 1), 0xFF000000u, IFF_UP}};
    int reads = 0;
    TAccessRule rule("192.168.1.2", [&] {
        ++reads;
        return current;
    });
    EXPECT_FALSE(rule.Admits(Peer(Ip(192, 168, 1, 77)))); // the card has no address yet
    current = Machine();
    const int before = reads;
    EXPECT_TRUE(rule.Admits(Peer(Ip(192, 168, 1, 77))));
    EXPECT_EQ(reads, before + 1);
    EXPECT_TRUE(rule.Admits(Peer(Ip(192, 168, 1, 78)))); // fits: no read
    EXPECT_EQ(reads, before + 1);
    current.erase(current.begin() + 1); // the card lost its address
    EXPECT_FALSE(rule.Admits(Peer(Ip(192, 168, 8, 1))));
    EXPECT_FALSE(rule.Admits(Peer(Ip(192, 168, 1, 77))));
}

TEST(AccessRuleTest, ConfiguredListsThatOpenEverythingAreRecognised) {
    EXPECT_TRUE(AdmitsEverything(ParseNetworkList("10.0.0.0/8, 1.2.3.4/0")));
    EXPECT_TRUE(AdmitsEverything(ParseNetworkList("0.0.0.0/0")));
    EXPECT_FALSE(AdmitsEverything(ParseNetworkList("10.0.0.0/8, 0.0.0.0/1, 128.0.0.0/1")));
    EXPECT_FALSE(AdmitsEverything({}));
}

class AccessRuleSettingsTest : public test::ProxyTest {};

TEST_F(AccessRuleSettingsTest, TheDefaultRuleTakesTheHostOfTheOwnProxyServerAddress) {
    // The machine's own interfaces here: one that is up, not loopback, with room in its subnet.
    std::optional<TInterfaceAddress> lan;
    for (const TInterfaceAddress& entry : MachineInterfaces())
        if ((entry.Flags & IFF_UP) != 0 && (entry.Address >> 24) != 127 &&
            entry.Netmask != 0xFFFFFFFFu && !lan)
            lan = entry;
    if (!lan)
        GTEST_SKIP() << "no interface with a subnet here";
    const std::uint32_t neighbour = (lan->Address & lan->Netmask) | (~lan->Address & ~lan->Netmask);
    SetOwn("ProxyServerAddress", AddressToDotted(htonl(lan->Address)) + ":1977");
    TAccessRule announced;
    EXPECT_FALSE(announced.Configured());
    EXPECT_TRUE(announced.Admits(Peer(neighbour)));
    EXPECT_TRUE(announced.Admits(Peer(Ip(127, 0, 0, 1))));

    SetOwn("ProxyServerAddress", "");
    TAccessRule unset;
    EXPECT_FALSE(unset.Admits(Peer(neighbour)));
    EXPECT_TRUE(unset.Admits(Peer(Ip(127, 0, 0, 1))));
}

TEST(AccessRuleTest, RefusedPeersAreCounted) {
    SetProxyAccessRule(std::make_shared<TAccessRule>(ParseNetworkList("10.1.0.0/16")));
    const std::uint64_t before = RefusedConnections();
    EXPECT_TRUE(ProxyAdmits(Peer(Ip(127, 0, 0, 1))));
    EXPECT_TRUE(ProxyAdmits(Peer(Ip(10, 1, 0, 9))));
    EXPECT_EQ(RefusedConnections(), before);
    EXPECT_FALSE(ProxyAdmits(Peer(Ip(192, 168, 1, 5))));
    EXPECT_FALSE(ProxyAdmits(Peer(Ip(10, 2, 0, 9))));
    EXPECT_EQ(RefusedConnections(), before + 2);

    // Without a rule of the services the default one decides, loopback first of all.
    SetProxyAccessRule(nullptr);
    EXPECT_TRUE(ProxyAdmits(Peer(Ip(127, 0, 0, 1))));
    ASSERT_NE(ProxyAccessRule(), nullptr);
    EXPECT_FALSE(ProxyAccessRule()->Configured());
    SetProxyAccessRule(nullptr);
}

TEST(AccessRuleTest, RefusalsAreWrittenFiveAMinuteThenSummedUp) {
    std::vector<std::string> lines;
    TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    test::TestClock().Set(900000);
    SetProxyClock(test::TestClock());
    for (int i = 0; i < 8; ++i)
        ReportRefusedConnection(Peer(Ip(192, 168, 1, 5)), 8080);
    test::TestClock().Advance(60000);
    ReportRefusedConnections();
    SetProxyClock(SystemTickClock());
    ASSERT_EQ(lines.size(), kRefusedLinesPerMinute + 1);
    EXPECT_EQ(lines[0], "refused a connection from 192.168.1.5 to port 8080: not in the allowed "
                        "networks");
    EXPECT_EQ(lines.back(), "3 more refused connections in the last minute");
}

} // namespace
} // namespace harbolt
