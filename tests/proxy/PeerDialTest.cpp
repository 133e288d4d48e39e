#include "proxy/PeerDial.h"

#include "ProxyTestSupport.h"
#include "dialup/EventId.h"
#include "dialup/RasManager.h"

#include <condition_variable>
#include <future>
#include <map>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using test::MakeListener;
using test::TestClock;
using test::WaitFor;

std::vector<std::string> Names(const std::vector<TDialPeer>& peers) {
    std::vector<std::string> names;
    for (const TDialPeer& peer : peers)
        names.push_back(peer.Name);
    return names;
}

TEST(ChooseDialPeersTest, NamedPeersInTheirOrderElseFewestMinutesFirst) {
    const std::vector<TDialPeer> known = {
        {"Alpha", "10.0.0.1:1977", true, true, 300},
        {"Beta", "10.0.0.2:1977", true, true, 20},
        {"Gamma", "10.0.0.3:1977", true, true, 20},
        {"Delta", "10.0.0.4:1977", false, true, 0}, // not alive
        {"Eps", "10.0.0.5:1977", true, false, 0},   // does not dial on demand
        {"Zeta", ":1977", true, true, 0},           // no host to reach it at
        {"Own", "10.0.0.9:1977", true, true, 0},
    };
    EXPECT_EQ(Names(ChooseDialPeers(known, "", "OWN")),
              (std::vector<std::string>{"Beta", "Gamma", "Alpha"}));
    EXPECT_EQ(Names(ChooseDialPeers(known, " alpha, DELTA,Eps, nobody, gamma ,alpha, own", "Own")),
              (std::vector<std::string>{"Alpha", "Gamma"}));
    EXPECT_TRUE(ChooseDialPeers(known, "Delta", "Own").empty());

    std::vector<TDialPeer> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({"P" + std::to_string(100 + i), "10.1.0.1:1977", true, true, 40 - i});
    const std::vector<TDialPeer> chosen = ChooseDialPeers(many, "", "Own");
    ASSERT_EQ(chosen.size(), kMaxDialPeersAsked);
    EXPECT_EQ(chosen.front().Name, "P139");
}

class PeerDialTest : public test::ProxyTest {
protected:
    std::uint32_t Announced = 0; // the tick of the latest online announcement
};

TEST_F(PeerDialTest, KnownPeersAreTheAliveComputersWithTheirReplicatedSettings) {
    const auto set = [](const std::string& computer, const std::string& key,
                        const std::string& value) { SetComputerProperty(computer, key, value); };
    for (const char* name : {"Alpha", "Beta", "Gamma", "Delta"}) {
        set(name, "AutoDialEnabled", "yes");
        set(name, "AutoDialPhoneBookEntry", "LTE");
        set(name, "ProxyServerAddress", std::string("10.0.0.") + name[0] + ":1977");
    }
    set("Alpha", EventIDToString(NewEventID()), NewConnectionRecord("LTE"));
    set("Alpha", EventIDToString(NewEventID()), OnlineRecord("LTE", 90)); // 2 started minutes
    set("Beta", "AutoDialPhoneBookEntry", "");                            // nothing to dial
    set("Gamma", "AutoDialMaxDialsPerHour", "1");                         // spent
    set("Gamma", EventIDToString(NewEventID()), NewConnectionRecord("LTE"));
    SetAliveComputers({"ALPHA", "beta", "Gamma"}); // Delta is gone
    std::vector<TDialPeer> peers = KnownDialPeers();
    SetAliveComputers({});
    std::sort(peers.begin(), peers.end(),
              [](const TDialPeer& a, const TDialPeer& b) { return a.Name < b.Name; });
    ASSERT_EQ(Names(peers), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    EXPECT_TRUE(peers[0].DialsOnDemand);
    EXPECT_EQ(peers[0].Address, "10.0.0.A:1977");
    EXPECT_EQ(peers[0].MinutesThisMonth, 2);
    EXPECT_FALSE(peers[1].DialsOnDemand);
    EXPECT_FALSE(peers[2].DialsOnDemand);
}

// A server port that answers each connection with the next scripted text, then closes.
class TScriptedPort {
public:
    explicit TScriptedPort(std::vector<std::string> answers)
        : fListener(MakeListener()), fThread([this, answers = std::move(answers)] {
              for (const std::string& answer : answers) {
                  auto client = fListener.Channel->Accept(5000);
                  if (!client)
                      return;
                  const std::string request = client->ReceiveLine(256);
                  const std::string argument = client->ReceiveLine(256);
                  {
                      const std::lock_guard lock(fLock);
                      fRequests.push_back(request + "|" + argument);
                  }
                  if (answer == "<silent>") {
                      client->WaitForIncomingData(2000); // until the asker gives up
                      continue;
                  }
                  client->SendText(answer);
                  client->Flush();
              }
          }) {}
    ~TScriptedPort() { fThread.join(); }
    std::string Address() const { return fListener.Endpoint; }
    std::vector<std::string> Requests() {
        const std::lock_guard lock(fLock);
        return fRequests;
    }

private:
    test::TListener fListener;
    std::mutex fLock;
    std::vector<std::string> fRequests;
    std::thread fThread;
};

TEST_F(PeerDialTest, AnswersOverTheNetworkAndWhatMovesOn) {
    const TPeerQuestion ask = NetworkPeerQuestion(1000, 300);
    {
        TScriptedPort port(
            {"YES", "NO", "CONNECTING\r\n...", "CANNOT CONNECT\r\n", "ERROR\r\n", "<silent>"});
        EXPECT_EQ(ask(port.Address(), "WOULD CONNECT?", ""), TPeerReply::Yes);
        EXPECT_EQ(ask(port.Address(), "WOULD CONNECT?", ""), TPeerReply::No);
        EXPECT_EQ(ask(port.Address(), "CONNECT!", "10.0.0.5 a:80\r\nUPDATE!"),
                  TPeerReply::Connecting);
        EXPECT_EQ(ask(port.Address(), "CONNECT!", ""), TPeerReply::CannotConnect);
        EXPECT_EQ(ask(port.Address(), "CONNECT!", ""), TPeerReply::Error);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(ask(port.Address(), "WOULD CONNECT?", ""), TPeerReply::Silent);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
        // What the asker wants travels as one line: it cannot smuggle in a request of its own.
        EXPECT_EQ(port.Requests()[2], "CONNECT!|10.0.0.5 a:80??UPDATE!");
    }
    std::string closed;
    {
        TScriptedPort gone({});
        closed = gone.Address();
    }
    EXPECT_EQ(ask(closed, "WOULD CONNECT?", ""), TPeerReply::Refused);
}

// Asks answered from a table, one question at a time held until released.
class TFakePeers {
public:
    std::map<std::string, std::vector<TPeerReply>> Replies; // by address, in order
    std::vector<std::string> Asked;                         // "address request argument"
    bool Hold = false;

    TPeerQuestion Question() {
        return [this](const std::string& address, const std::string& request,
                      const std::string& argument) {
            std::unique_lock lock(Lock);
            Asked.push_back(address + " " + request + " " + argument);
            Released.wait_for(lock, 5s, [this] { return !Hold; });
            auto& replies = Replies[address];
            if (replies.empty())
                return TPeerReply::Silent;
            const TPeerReply reply = replies.front();
            replies.erase(replies.begin());
            return reply;
        };
    }
    void Release() {
        {
            const std::lock_guard lock(Lock);
            Hold = false;
        }
        Released.notify_all();
    }
    std::vector<std::string> AskedSoFar() {
        const std::lock_guard lock(Lock);
        return Asked;
    }

    std::mutex Lock;
    std::condition_variable Released;
};

const std::vector<TDialPeer> kPeers = {{"Alpha", "a:1", true, true, 0},
                                       {"Beta", "b:1", true, true, 5}};

TEST_F(PeerDialTest, RequestsJoinOneAskThatTriesEachPeerInTurn) {
    TFakePeers peers;
    peers.Replies = {{"a:1", {TPeerReply::No}}, {"b:1", {TPeerReply::Yes, TPeerReply::Connecting}}};
    peers.Hold = true;
    TPeerDialAsker asker(
        peers.Question(), [] { return kPeers; }, TestClock(), [this] { return Announced; });
    auto first = asker.Join("10.0.0.5 a:80");
    ASSERT_TRUE(WaitFor([&] { return peers.AskedSoFar().size() == 1; }));
    auto second = asker.Join("10.0.0.6 b:80");
    EXPECT_EQ(&first->Ask(), &second->Ask());
    TPeerDialStatus status = asker.Status();
    EXPECT_TRUE(status.Asking);
    EXPECT_EQ(status.Peer, "Alpha");
    EXPECT_EQ(status.Answer, "");
    EXPECT_EQ(status.Waiting, 2u);
    second.reset();
    EXPECT_EQ(asker.Status().Waiting, 1u);

    peers.Release();
    ASSERT_TRUE(WaitFor([&] { return first->Ask().Over.load(); }));
    EXPECT_TRUE(first->Ask().PeerDials);
    EXPECT_EQ(peers.AskedSoFar(),
              (std::vector<std::string>{"a:1 WOULD CONNECT? ", "b:1 WOULD CONNECT? ",
                                        "b:1 CONNECT! 10.0.0.5 a:80"}));
    status = asker.Status();
    EXPECT_FALSE(status.Asking);
    EXPECT_TRUE(status.Dialled);
    EXPECT_EQ(status.Peer, "Beta");
    EXPECT_EQ(status.Answer, "CONNECTING");

    // While that dial is under way, later requests wait for it instead of asking again: for a
    // minute, or until somebody announces being online.
    TestClock().Advance(59000);
    EXPECT_EQ(&asker.Join("10.0.0.7 c:80")->Ask(), &first->Ask());
    TestClock().Advance(1000);
    {
        const std::lock_guard lock(peers.Lock);
        peers.Replies = {{"a:1", {TPeerReply::Yes, TPeerReply::Connecting}}};
    }
    auto again = asker.Join("10.0.0.7 c:80");
    EXPECT_NE(&again->Ask(), &first->Ask());
    ASSERT_TRUE(WaitFor([&] { return again->Ask().Over.load(); }));
    ASSERT_TRUE(again->Ask().PeerDials);
    TestClock().Advance(1000);
    EXPECT_EQ(&asker.Join("10.0.0.7 c:80")->Ask(), &again->Ask());
    Announced = TestClock().Now();
    TestClock().Advance(1000);
    EXPECT_NE(&asker.Join("10.0.0.7 c:80")->Ask(), &again->Ask());
    asker.WaitIdle();
}

TEST_F(PeerDialTest, AnAskThatFindsNobodyEndsAndIsNotRepeatedAtOnce) {
    TFakePeers peers;
    peers.Replies = {{"a:1", {TPeerReply::Refused}},
                     {"b:1", {TPeerReply::Yes, TPeerReply::CannotConnect}}};
    TPeerDialAsker asker(
        peers.Question(), [] { return kPeers; }, TestClock(), [this] { return Announced; });
    auto ticket = asker.Join("10.0.0.5 a:80");
    ASSERT_TRUE(WaitFor([&] { return ticket->Ask().Over.load(); }));
    EXPECT_FALSE(ticket->Ask().PeerDials);
    EXPECT_EQ(peers.AskedSoFar().size(), 3u);
    EXPECT_EQ(asker.Status().Answer, "CANNOT CONNECT");
    EXPECT_EQ(asker.Status().Waiting, 0u);
    // The retries of the failed requests find the same answer.
    TestClock().Advance(4000);
    EXPECT_TRUE(asker.Join("10.0.0.5 a:80")->Ask().Over);
    EXPECT_EQ(peers.AskedSoFar().size(), 3u);
    TestClock().Advance(1000);
    asker.Join("10.0.0.5 a:80");
    asker.WaitIdle();
    EXPECT_EQ(peers.AskedSoFar().size(), 5u); // both again, silent now: no replies are left
}

// The instance's requests: without an own dial they wait for the peer's announcement, and give
// up at once when nobody would dial.
TEST_F(PeerDialTest, ARequestWithoutAnOwnDialGoesThroughThePeerThatDials) {
    TFakePeers peers;
    peers.Replies = {{"a:1", {TPeerReply::Yes, TPeerReply::Connecting}}};
    SetDialPeerLinks([] { return kPeers; }, peers.Question());
    SetOnlineProxyAddress("10.0.0.7:1977");
    TestClock().Advance(30000);
    auto lookup = std::async(std::launch::async,
                             [] { return FindOnlineProxy(true, nullptr, "10.0.0.5 a:80"); });
    ASSERT_TRUE(WaitFor([&] { return peers.AskedSoFar().size() == 2; }));
    EXPECT_EQ(lookup.wait_for(200ms), std::future_status::timeout);
    EXPECT_FALSE(DialRequested);
    SetOnlineProxyAddress("10.0.0.1:1977");
    ASSERT_EQ(lookup.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(lookup.get().Address, "10.0.0.1:1977");

    // Nobody would dial: the request ends at once; refused only when the own budget is spent.
    TestClock().Advance(61000);
    peers.Replies = {{"a:1", {TPeerReply::No}}, {"b:1", {TPeerReply::No}}};
    EXPECT_FALSE(FindOnlineProxy(true, nullptr, "x").DialRefused);
    EXPECT_EQ(peers.AskedSoFar().size(), 4u);
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "LTE");
    SetOwn("AutoDialMaxDialsPerHour", "1");
    SetOwn(EventIDToString(NewEventID()), NewConnectionRecord("LTE"));
    EXPECT_EQ(DialRouteNow().Route, TDialRoute::Peers);
    TestClock().Advance(5000);
    EXPECT_TRUE(FindOnlineProxy(true, nullptr, "x").DialRefused);
    SetOwn("AutoDialViaPeers", "no");
    EXPECT_EQ(DialRouteNow().Route, TDialRoute::Refused);
    SetOwn("AutoDialMaxDialsPerHour", "");
    EXPECT_EQ(DialRouteNow().Route, TDialRoute::Own);
    SetOwn("AutoDialEnabled", "");
    EXPECT_EQ(DialRouteNow().Route, TDialRoute::None);
    SetDialPeerLinks(nullptr);
    PeerDialAsker().WaitIdle();
}

} // namespace
} // namespace harbolt
