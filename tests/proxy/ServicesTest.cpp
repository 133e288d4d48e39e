#include "ProxyTestSupport.h"
#include "proxy/AccessRule.h"
#include "proxy/Mapping.h"
#include "proxy/ProxyServices.h"

#include <optional>

namespace harbolt {
namespace {

using test::ClosedWithoutData;
using test::Loopback;
using test::MakeListener;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;
using test::WaitFor;

bool CanConnect(const std::string& address) {
    try {
        auto channel = TCommunication::CreateUnconnected(false, false);
        channel->Connect(address);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<TListenerInfo> Listener(int slot) {
    for (const TListenerInfo& listener : RegisteredListeners())
        if (listener.Slot == slot)
            return listener;
    return std::nullopt;
}

bool Bound(int slot) {
    const auto listener = Listener(slot);
    return listener && listener->Bound;
}

bool AllBound() {
    for (const TListenerInfo& listener : RegisteredListeners())
        if (!listener.Bound)
            return false;
    return true;
}

// The server port serves requests: an unknown one is refused, and its session ends.
void ExpectServed(const std::string& server) {
    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect(server));
    SendNow(*client, "HELLO\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*client, &closed), "bad request\r\ndisconnecting\r\n");
    EXPECT_TRUE(closed);
}

// A mapping port tunnels to the online computer with typeLine; the session ends with the client.
void ExpectTunnel(const std::string& mapping, TCommunication& online, const std::string& typeLine) {
    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect(mapping));
    const auto tunnel = online.Accept(5000);
    ASSERT_NE(tunnel, nullptr);
    const std::string header = "SOCKPROXY V1 (NT)\r\n" + typeLine + "\r\n";
    EXPECT_EQ(ReadUpTo(*tunnel, header.size()), header);
    client.reset();
    EXPECT_TRUE(ClosedWithoutData(*tunnel));
}

class ServicesTest : public test::ProxyTest {
protected:
    void TearDown() override {
        StopProxyServices(); // also after a failure: no listener outlives the test
        ProxyLogAll = false;
        SetProxyAccessRule(nullptr);
        ProxyTest::TearDown();
    }
};

TEST_F(ServicesTest, StartRegistersEveryListenerAndStopClearsThemAll) {
    const std::vector<std::uint16_t> ports = test::FreePorts(3);
    const std::string server = Loopback(ports[0]);
    SetOwn("ProxyServerAddress", server);
    SetOwn(MappingKey(0), ":" + std::to_string(ports[1]) + " -> HTTP PROXY, trigger");
    SetOwn(MappingKey(7), std::to_string(ports[2]) + " -> relay.example:25, notrigger");
    SetOwn("ProxyServerLogAll", "yes");
    SetOwn("ProxyAllowedNetworks", "10.1.0.0/16, bogus");
    SetOnlineProxyAddress("10.0.0.7:1977");

    StartProxyServices();
    ASSERT_TRUE(WaitFor(AllBound));
    const TProxyStatus status = ProxyStatus();
    EXPECT_TRUE(status.Running);
    ASSERT_EQ(status.Listeners.size(), 3u);
    EXPECT_EQ(status.Listeners[0].Slot, 0);
    EXPECT_EQ(status.Listeners[0].Address, Loopback(ports[1]));
    EXPECT_EQ(status.Listeners[1].Slot, 7);
    EXPECT_EQ(status.Listeners[1].Address, Loopback(ports[2]));
    EXPECT_EQ(status.Listeners[2].Slot, kServerSlot);
    EXPECT_EQ(status.Listeners[2].Address, server);
    EXPECT_TRUE(ProxyLogAll);
    EXPECT_EQ(status.OnlineAddress, "10.0.0.7:1977");
    EXPECT_FALSE(status.OnlineAddressAge); // the next request waits for a fresh announcement
    EXPECT_TRUE(status.NetworksConfigured);
    EXPECT_EQ(status.AllowedNetworks, (std::vector<std::string>{"127.0.0.0/8", "10.1.0.0/16"}));

    test::TListener online = MakeListener();
    SetOnlineProxyAddress(online.Endpoint);
    ExpectServed(server);
    ExpectTunnel(Loopback(ports[1]), *online.Channel, "HTTP PROXY");
    ExpectTunnel(Loopback(ports[2]), *online.Channel, "CONNECT relay.example:25");

    StopProxyServices();
    EXPECT_TRUE(RegistryEmpty());
    EXPECT_FALSE(ProxyStopFlag);
    EXPECT_FALSE(ProxyServicesRunning());
    EXPECT_FALSE(ProxyStatus().Running);
    for (std::uint16_t port : ports)
        EXPECT_FALSE(CanConnect(Loopback(port))) << port;

    // The same ports again at once.
    StartProxyServices();
    ASSERT_TRUE(WaitFor(AllBound));
    EXPECT_EQ(RegisteredListeners().size(), 3u);
    SetOnlineProxyAddress(online.Endpoint);
    ExpectServed(server);
    ExpectTunnel(Loopback(ports[1]), *online.Channel, "HTTP PROXY");
    ExpectTunnel(Loopback(ports[2]), *online.Channel, "CONNECT relay.example:25");
    StopProxyServices();
    EXPECT_TRUE(RegistryEmpty());
}

TEST_F(ServicesTest, StopEndsTheBindPhase) {
    test::TListener holder = MakeListener(); // the mapping's port is taken
    SetOwn("ProxyServerAddress", Loopback(test::FreePorts(1)[0]));
    SetOwn(MappingKey(42), holder.Endpoint + " -> POP3, notrigger");
    StartProxyServices();
    ASSERT_TRUE(WaitFor([] { return Bound(kServerSlot); }));
    ASSERT_TRUE(Listener(42));
    EXPECT_FALSE(Listener(42)->Bound);
    const auto start = std::chrono::steady_clock::now();
    StopProxyServices();
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_TRUE(RegistryEmpty());
}

TEST_F(ServicesTest, BindsAreRetriedForTenSeconds) {
    test::TListener holder = MakeListener();
    test::TListener online = MakeListener();
    const std::string server = Loopback(test::FreePorts(1)[0]);
    SetOwn("ProxyServerAddress", server);
    SetOwn(MappingKey(0), "no separators here");
    SetOwn(MappingKey(1), ":" + std::to_string(holder.Port) + " -> HTTP PROXY, notrigger");
    const auto start = std::chrono::steady_clock::now();
    StartProxyServices();
    SetOnlineProxyAddress(online.Endpoint);
    ASSERT_TRUE(WaitFor([] { return Bound(kServerSlot); }));
    ASSERT_EQ(RegisteredListeners().size(), 3u);
    ASSERT_TRUE(Listener(0) && Listener(1));
    EXPECT_EQ(Listener(0)->Address, "127.0.0.1:");
    EXPECT_FALSE(Listener(0)->Bound);
    EXPECT_FALSE(Listener(1)->Bound);

    // The port comes free within the bind phase: the mapping gets it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    holder.Channel.reset();
    ASSERT_TRUE(WaitFor([] { return Bound(1); }));
    ExpectTunnel(Loopback(holder.Port), *online.Channel, "HTTP PROXY");

    // The unbindable one gives up after the bind phase and leaves the others alone.
    ASSERT_TRUE(WaitFor([] { return !ListenerRegistered(0); }, 12000));
    EXPECT_GE(MillisecondsSince(start), 9900.0);
    EXPECT_EQ(RegisteredListeners().size(), 2u);
    EXPECT_TRUE(Bound(1));
    ExpectServed(server);
}

} // namespace
} // namespace harbolt
