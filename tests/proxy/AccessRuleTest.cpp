#include "proxy/AccessRule.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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
}

TEST(AccessRuleTest, InterfaceNetworksIncludeLoopback) {
    const std::vector<TNetworkBlock> blocks = InterfaceNetworks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0], (TNetworkBlock{Ip(127, 0, 0, 0), 0xFF000000u}));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].Address & ~blocks[i].Mask, 0u) << blocks[i].Text();
        for (std::size_t j = i + 1; j < blocks.size(); ++j)
            EXPECT_NE(blocks[i], blocks[j]) << blocks[i].Text();
    }
    TAccessRule rule;
    EXPECT_FALSE(rule.Configured());
    EXPECT_TRUE(rule.Admits(Peer(Ip(127, 0, 0, 1))));
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

    // Without a rule of the services the interfaces decide, loopback first of all.
    SetProxyAccessRule(nullptr);
    EXPECT_TRUE(ProxyAdmits(Peer(Ip(127, 0, 0, 1))));
    ASSERT_NE(ProxyAccessRule(), nullptr);
    EXPECT_FALSE(ProxyAccessRule()->Configured());
    SetProxyAccessRule(nullptr);
}

} // namespace
} // namespace harbolt
