#include "proxy/Mapping.h"
#include "../net/NetTestSupport.h"

#include <gtest/gtest.h>

namespace harbolt {
namespace {

using MappingTest = test::NetTest;

TEST_F(MappingTest, WrittenTextsAreReadBack) {
    TProxyMapping m = ParseMappingText(3, "10.0.0.2", ":8080 -> HTTP PROXY, trigger");
    EXPECT_EQ(m.Index, 3);
    EXPECT_EQ(m.BindAddress(), "10.0.0.2:8080");
    EXPECT_EQ(m.DestinationHost, "HTTP PROXY");
    EXPECT_EQ(m.DestinationPort, "0");
    EXPECT_TRUE(m.Trigger);

    m = ParseMappingText(0, "10.0.0.2", "8080 -> HTTP PROXY, notrigger");
    EXPECT_EQ(m.BindHost, "10.0.0.2");
    EXPECT_EQ(m.BindPort, "8080");
    EXPECT_FALSE(m.Trigger);

    m = ParseMappingText(99, "10.0.0.2", "192.168.0.5:1080 -> SOCKS5 PROXY, notrigger");
    EXPECT_EQ(m.Index, 99);
    EXPECT_EQ(m.BindAddress(), "192.168.0.5:1080");
    EXPECT_EQ(m.DestinationHost, "SOCKS5 PROXY");

    m = ParseMappingText(1, "10.0.0.2", ":2525 -> relay.example:25, notrigger");
    EXPECT_EQ(m.BindAddress(), "10.0.0.2:2525");
    EXPECT_EQ(m.DestinationHost, "relay.example");
    EXPECT_EQ(m.DestinationPort, "25");
    EXPECT_FALSE(m.Trigger);

    EXPECT_EQ(MappingKey(0), "ProxyMapping00");
    EXPECT_EQ(MappingKey(7), "ProxyMapping07");
    EXPECT_EQ(MappingKey(99), "ProxyMapping99");
}

TEST_F(MappingTest, OnlyTheExactWordTriggers) {
    for (const char* word : {"Trigger", "TRIGGER", "trigger ", " trigger", "notrigger", "", "yes"})
        EXPECT_FALSE(ParseMappingText(0, "h", std::string(":1 -> POP3, ") + word).Trigger) << word;
    // Only the separator after the destination counts: the word is what follows it.
    EXPECT_TRUE(ParseMappingText(0, "h", ":1 -> a:2, trigger").Trigger);
    EXPECT_FALSE(ParseMappingText(0, "h", ":1 -> a:2,trigger").Trigger);
}

TEST_F(MappingTest, TextsWithoutSeparatorsCannotBeBound) {
    for (const char* text :
         {"", "x", "8080", ":8080", "127.0.0.1:8080", ":8080->HTTP PROXY, trigger",
          "8080 => HTTP PROXY, trigger", "HTTP PROXY, trigger"}) {
        const TProxyMapping m = ParseMappingText(4, "127.0.0.1", text);
        EXPECT_EQ(m.Index, 4);
        EXPECT_EQ(m.BindHost, "127.0.0.1") << text;
        EXPECT_EQ(m.BindPort, "") << text;
        auto listener = TCommunication::CreateListening(false);
        EXPECT_ANY_THROW(listener->Bind(m.BindAddress())) << text;
    }
    // A destination without ", " is eaten into: the listener binds, but forwards nowhere useful.
    const TProxyMapping m = ParseMappingText(0, "10.0.0.2", ":8080 -> HTTP PROXY");
    EXPECT_EQ(m.BindAddress(), "10.0.0.2:8080");
    EXPECT_EQ(m.DestinationHost, "");
    EXPECT_EQ(m.DestinationPort, "0");
    EXPECT_FALSE(m.Trigger);
}

TEST_F(MappingTest, DestinationsAreRecognisedInAnyCase) {
    for (const char* name : {"PROXY", "proxy", "HTTP PROXY", "Http Proxy"})
        EXPECT_EQ(RecognizeDestination(name), TProxyKind::Http) << name;
    for (const char* name :
         {"SOCKS PROXY", "socks proxy", "SOCKS5 PROXY", "Socks5 Proxy", "SOCKS", "socks5"})
        EXPECT_EQ(RecognizeDestination(name), TProxyKind::Socks5) << name;
    for (const char* name : {"FTP PROXY", "ftp proxy", "FTP", "Ftp"})
        EXPECT_EQ(RecognizeDestination(name), TProxyKind::Ftp) << name;
    for (const char* name :
         {"POP3 PROXY", "pop3 proxy", "POP3", "pop3", "POP PROXY", "Pop Proxy", "POP", "pop"})
        EXPECT_EQ(RecognizeDestination(name), TProxyKind::Pop3) << name;
    for (const char* name : {"relay.example", "", "HTTP", "SOCKS4", "HTTP  PROXY", " PROXY",
                             "PROXY ", "POP2", "ftp.example.org", "10.0.0.9"})
        EXPECT_EQ(RecognizeDestination(name), TProxyKind::Forward) << name;
}

TEST_F(MappingTest, TypeLinesNameTheProxyOrTheTarget) {
    EXPECT_EQ(TunnelTypeLine("proxy", "0"), "HTTP PROXY");
    EXPECT_EQ(TunnelTypeLine("Socks", "0"), "SOCKS5 PROXY");
    EXPECT_EQ(TunnelTypeLine("ftp", "21"), "FTP PROXY");
    EXPECT_EQ(TunnelTypeLine("pop proxy", "0"), "POP3 PROXY");
    EXPECT_EQ(TunnelTypeLine("Relay.Example", "25"), "CONNECT Relay.Example:25");
    EXPECT_EQ(TunnelTypeLine("", "0"), "CONNECT :0");
}

// The settings dialog takes stored texts apart into its fields and puts them together again.
TEST(MappingFieldsTest, MalformedTextsComeApartAsFarAsTheirSeparatorsAllow) {
    using T = TMappingType;
    const struct {
        const char* Text;
        TMappingFields Fields;
    } cases[] = {
        {"", {"10.0.0.2", "", T::Forwarding, "", "", false}},
        {"no separators at all", {"10.0.0.2", "", T::Forwarding, "", "", false}},
        {":8080 -> HTTP PROXY", {"10.0.0.2", "8080", T::Forwarding, "", "", false}},
        {"h:1 -> PROXY:99, trigger", {"h", "1", T::Http, "", "", true}},
        {"h:1 -> http proxy, trigger", {"h", "1", T::Forwarding, "", "http proxy", true}},
        {"1:2:3 -> a:b:c, x", {"1", "2:3", T::Forwarding, "a", "b:c", false}},
        {":9 -> POP, trigger ", {"10.0.0.2", "9", T::Pop3, "", "", false}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitMappingText(c.Text, "10.0.0.2"), c.Fields) << c.Text;
}

TEST(MappingFieldsTest, EveryTypeIsWrittenAsTheListenerReadsIt) {
    for (const auto type : {TMappingType::Http, TMappingType::Socks5, TMappingType::Ftp,
                            TMappingType::Pop3, TMappingType::Forwarding}) {
        const TMappingFields fields{"192.168.0.5", "1080", type, "relay.example", "25", true};
        const std::string text = JoinMappingFields(fields, "10.0.0.2");
        const TMappingFields proxyFields{"192.168.0.5", "1080", type, "", "", true};
        EXPECT_EQ(SplitMappingText(text, "10.0.0.2"),
                  type == TMappingType::Forwarding ? fields : proxyFields);
        const TProxyMapping read = ParseMappingText(0, "10.0.0.2", text);
        EXPECT_EQ(read.BindAddress(), "192.168.0.5:1080");
        EXPECT_EQ(RecognizeDestination(read.DestinationHost) == TProxyKind::Forward,
                  type == TMappingType::Forwarding);
    }
    // The local address is written as an empty host; no type as an empty destination.
    const TMappingFields empty{"10.0.0.2", "", TMappingType::None, "", "", false};
    EXPECT_EQ(JoinMappingFields(empty, "10.0.0.2"), ": -> , notrigger");
}

} // namespace
} // namespace harbolt
