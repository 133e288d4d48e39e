#include "ProxyTestSupport.h"
#include "peer/Sync.h"
#include "platform/EventLog.h"
#include "proxy/AccessRule.h"
#include "proxy/Listeners.h"
#include "proxy/Mapping.h"
#include "proxy/ProxyServices.h"

#include <algorithm>
#include <optional>

#include <unistd.h>

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
    EXPECT_TRUE(status.Listeners[0].Trigger);
    EXPECT_EQ(status.Listeners[1].Destination, "relay.example:25");
    EXPECT_FALSE(status.Listeners[1].Trigger);
    EXPECT_EQ(status.Listeners[2].Destination, "");
    for (const TListenerInfo& listener : status.Listeners)
        EXPECT_EQ(listener.Failure, "") << listener.Slot;
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

    const std::shared_ptr<TStopSignal> runStop = CurrentProxyStop();
    StopProxyServices();
    EXPECT_TRUE(RegistryEmpty());
    EXPECT_TRUE(runStop->Raised());             // for good, for the threads of that run
    EXPECT_FALSE(CurrentProxyStop()->Raised()); // a later dial wait is not cut short
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
    // The listeners bind on their own threads: the mapping's first refusal may come later.
    ASSERT_TRUE(WaitFor([] { return Listener(42) && !Listener(42)->Failure.empty(); }));
    EXPECT_FALSE(Listener(42)->Bound);
    EXPECT_EQ(Listener(42)->Failure.rfind("address in use (", 0), 0u) << Listener(42)->Failure;
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

TEST_F(ServicesTest, AMappingToItsOwnPortIsRefusedWithoutASecondSession) {
    const std::vector<std::uint16_t> ports = test::FreePorts(2);
    const std::string server = Loopback(ports[0]);
    const std::string mapping = Loopback(ports[1]);
    SetOwn("ProxyServerAddress", server);
    SetOwn(MappingKey(3), mapping + " -> " + mapping + ", notrigger");
    StartProxyServices();
    ASSERT_TRUE(WaitFor(AllBound));
    SetOnlineProxyAddress(server); // this computer is the online one
    const std::uint64_t loops = ProxyStatus().LoopsRefused;

    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect(mapping));
    int most = 0; // sessions of the mapping seen at once
    const bool ended = WaitFor([&] {
        most = std::max(most, Listener(3) ? Listener(3)->Sessions : 0);
        return !client->WaitForIncomingData(0) ? false : ClosedWithoutData(*client, 100);
    });
    EXPECT_TRUE(ended);
    EXPECT_LE(most, 1);
    EXPECT_EQ(ProxyStatus().LoopsRefused, loops + 1);
    client.reset(); // else the relay lingers for its last words
    EXPECT_TRUE(WaitFor([] { return Listener(3)->Sessions == 0; }));
}

TEST_F(ServicesTest, EachSourceGetsItsShareAndControlRequestsTheReserve) {
    SetMaxSessions(4); // shares: 2 on the server port, 1 on a mapping's listener
    const auto server =
        std::make_shared<TListenerState>(kServerSlot, "10.0.0.1:1977", "", false, nullptr);
    const std::uint32_t flooder = htonl(0x0A000005), other = htonl(0x0A000006),
                        peer = htonl(0x0A000007);
    const auto admit = [&](std::uint32_t source) {
        return TSessionSlot(server, source, server->Admit(source));
    };
    std::vector<std::string> events;
    const TScopedEventSink sink(
        [&](TEventLevel, const std::string& text) { events.push_back(text); });
    const std::uint64_t overShare = SessionsOverShare(), overCap = SessionsOverCap();

    // The flooder's tunnels fill its half; more of its connections wait in its part of the
    // reserve, where none becomes a tunnel; past that its connections are closed.
    std::vector<TSessionSlot> held;
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(held.emplace_back(admit(flooder)).BecomeTunnel());
    for (int i = 0; i < kReservedPerSource; ++i)
        EXPECT_EQ(held.emplace_back(admit(flooder)).Place(), TSessionPlace::OpenInReserve);
    EXPECT_FALSE(held.back().BecomeTunnel());
    EXPECT_EQ(server->Admit(flooder), TSessionPlace::None);
    EXPECT_EQ(SessionsOverShare(), overShare + 2);
    ASSERT_EQ(events.size(), 1u) << "a source over its share is said once a minute";
    EXPECT_NE(events[0].find("10.0.0.5 has 10 sessions of 10.0.0.1:1977"), std::string::npos);

    // Another computer still gets in, and its tunnels fill the cap.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(held.emplace_back(admit(other)).BecomeTunnel());
    // A journal request still has room, in the reserve; a tunnel has none until one ends.
    TSessionSlot update = admit(peer);
    EXPECT_TRUE(update.BecomeControl());
    TSessionSlot tunnel = admit(peer);
    EXPECT_FALSE(tunnel.BecomeTunnel());
    EXPECT_EQ(SessionsOverCap(), overCap + 1);
    held.pop_back();
    EXPECT_TRUE(tunnel.BecomeTunnel());
    held.clear();
    EXPECT_EQ(server->Sessions, 2);

    // A mapping's listener: a quarter for each client, no reserve.
    const auto mapping =
        std::make_shared<TListenerState>(0, "10.0.0.1:8080", "HTTP PROXY:0", false, nullptr);
    const TSessionSlot first(mapping, flooder, mapping->Admit(flooder));
    EXPECT_EQ(first.Place(), TSessionPlace::Tunnel);
    EXPECT_EQ(mapping->Admit(flooder), TSessionPlace::None);
    EXPECT_EQ(mapping->Admit(other), TSessionPlace::Tunnel);
    mapping->Release(other, TSessionPlace::Tunnel);
    EXPECT_EQ(mapping->Sessions, 1);
    SetMaxSessions(0);
}

TEST_F(ServicesTest, TunnelsPastTheirShareAreClosedWhileJournalRequestsGetIn) {
    EXPECT_EQ(ParseMaxSessions("7"), 7);
    for (const char* text : {"", "0", "-3", " 7", "7x", "99999999999"})
        EXPECT_EQ(ParseMaxSessions(text), kDefaultMaxSessions) << text;

    const std::uint16_t port = test::FreePorts(1)[0];
    SetOwn("ProxyServerAddress", Loopback(port));
    SetOwn("ProxyMaxSessions", "2"); // one tunnel for each source
    StartProxyServices();
    ASSERT_TRUE(WaitFor([] { return Bound(kServerSlot); }));
    const std::uint64_t overShare = ProxyStatus().OverShare;
    test::TListener target = MakeListener();
    const auto sent = [&](const std::string& request) {
        const int socket = test::ConnectFrom(0x7F000001, port);
        EXPECT_GT(::send(socket, request.data(), request.size(), MSG_NOSIGNAL), 0);
        return socket;
    };
    const auto received = [](int socket) {
        char byte;
        return recv(socket, &byte, 1, 0);
    };
    const std::string tunnel = "SOCKPROXY V1 (NT)\r\nCONNECT " + target.Endpoint + "\r\n";
    const int first = sent(tunnel);
    EXPECT_NE(target.Channel->Accept(3000), nullptr);
    const int second = sent(tunnel);
    EXPECT_EQ(received(second), 0); // closed at once, not left waiting
    EXPECT_EQ(ProxyStatus().OverShare, overShare + 1);
    const int update = sent("UPDATE!\r\n\r\n" + SyncRequest(0));
    EXPECT_EQ(received(update), 1);
    for (const int socket : {first, second, update})
        close(socket);
    SetMaxSessions(0);
}

TEST_F(ServicesTest, ASessionPausedAcrossStopAndStartStillEnds) {
    const std::vector<std::uint16_t> ports = test::FreePorts(2);
    SetOwn("ProxyServerAddress", Loopback(ports[0]));
    SetOwn(MappingKey(5), Loopback(ports[1]) + " -> relay.example:25, notrigger");
    StartProxyServices();
    ASSERT_TRUE(WaitFor(AllBound));
    SetOnlineProxyAddress(""); // nobody online: the session retries for 5 s
    auto client = TCommunication::CreateUnconnected(false, false);
    ASSERT_NO_THROW(client->Connect(Loopback(ports[1])));
    ASSERT_TRUE(WaitFor([] { return Listener(5) && Listener(5)->Sessions == 1; }));
    const auto stopped = std::chrono::steady_clock::now();
    StopProxyServices();
    StartProxyServices(); // a new run at once: the old session's stop stays raised
    EXPECT_TRUE(ClosedWithoutData(*client, 2000));
    EXPECT_LT(MillisecondsSince(stopped), 1500.0);
}

} // namespace
} // namespace harbolt
