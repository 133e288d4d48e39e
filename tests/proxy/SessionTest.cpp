#include "../database/Golden.h"
#include "ProxyTestSupport.h"
#include "database/Journal.h"
#include "dialup/RasManager.h"
#include "peer/Sync.h"
#include "proxy/FtpProxy.h"
#include "proxy/HttpProxy.h"
#include "proxy/Listeners.h"
#include "proxy/Pop3Proxy.h"
#include "proxy/Sessions.h"
#include "proxy/Socks5Proxy.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ClosedWithoutData;
using test::MakeListener;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;
using test::TestClock;

// The raw routing status records, as a client reads them.
const std::string kConnecting = Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + std::string(20, '\0');
const std::string kConnected = Bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + std::string(20, '\0');
const std::string kFailed =
    Bytes({4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x43, 0x27, 0, 0}) + std::string(20, '\0');
const std::string kBadRoute =
    Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0x43, 0x27, 0, 0}) + std::string(20, '\0');

// One session on a thread of its own; Peer is the other end of its connection. The session is
// waited for when the run ends.
class TSessionRun {
public:
    template <typename F> explicit TSessionRun(F session) {
        test::TChannelPair pair = test::MakePair();
        Peer = std::move(pair.Connected);
        fThread = std::thread([accepted = std::move(pair.Accepted), session]() mutable {
            session(std::move(accepted));
        });
    }
    ~TSessionRun() {
        Peer.reset();
        Join();
    }
    void Join() {
        if (fThread.joinable())
            fThread.join();
    }
    std::unique_ptr<TBufferedCommunication> Peer;

private:
    std::thread fThread;
};

// A server session that has been sent request.
struct TServerRun : TSessionRun {
    explicit TServerRun(const std::string& request)
        : TSessionRun(
              [](std::unique_ptr<TBufferedCommunication> c) { RunServerSession(std::move(c)); }) {
        SendNow(*Peer, request);
    }
};

// A client session of a mapping; Peer is the client program.
struct TClientRun : TSessionRun {
    TClientRun(std::string host, std::string port, bool trigger)
        : TSessionRun([host, port, trigger](std::unique_ptr<TBufferedCommunication> c) {
              RunClientSession(std::move(c), host, port, trigger);
          }) {}
};

// Bytes pass unchanged both ways between the two ends of a tunnel.
void ExpectRelay(TCommunication& client, TCommunication& target) {
    SendNow(client, "ping\r\n");
    EXPECT_EQ(ReadUpTo(target, 6), "ping\r\n");
    const std::string binary("pong\0\xFF", 6);
    SendNow(target, binary);
    EXPECT_EQ(ReadUpTo(client, 6), binary);
}

// "LogFile%.4d.txt" for small numbers.
std::string TraceName(std::int32_t number) {
    const std::string digits = std::to_string(number);
    return "LogFile" + std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits +
           ".txt";
}

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SessionTest : public test::ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        SetServerHandlers({});
        ProxyLogAll = false;
        DialRequested = false;
    }
    void TearDown() override {
        SetServerHandlers({});
        ProxyLogAll = false;
        DialRequested = false;
        RenewProxyStop();
        SetProxyTraceDirectory(".");
        ProxyTest::TearDown();
    }
};

TEST_F(SessionTest, UnknownRequestsAreRefused) {
    for (const char* request :
         {"HELLO\r\n\r\n", "SOCKPROXY V2 (NT)\r\nHTTP PROXY\r\n", "GET / HTTP/1.0\r\n\r\n"}) {
        TServerRun run(request);
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Peer, &closed), "bad request\r\ndisconnecting\r\n")
            << request;
        EXPECT_TRUE(closed);
    }
    // Every request has two lines; one that ends after the first gets nothing.
    TServerRun run("HELLO\r\n");
    ::shutdown(run.Peer->Socket(), SHUT_WR);
    EXPECT_TRUE(ClosedWithoutData(*run.Peer));
}

TEST_F(SessionTest, TunnelsReachTheirTargetAndCountAsActivity) {
    test::TListener target = MakeListener();
    const std::pair<std::string, bool> cases[] = {
        {"SOCKPROXY V1 (NT)\r\nCONNECT " + target.Endpoint + "\r\n", true},
        {"sockproxy v1 (nt)\r\n" + target.Endpoint + "\r\n", true},
        {"SOCKPROXY V1 (NT)\r\niGnOrE tRaFfIc\r\nCONNECT " + target.Endpoint + "\r\n", false},
    };
    for (const auto& [request, counts] : cases) {
        NoteProxyActivity();
        const std::uint32_t before = LastProxyActivity();
        TestClock().Advance(1000);
        TServerRun run(request);
        auto reached = target.Channel->Accept(5000);
        ASSERT_NE(reached, nullptr) << request;
        ExpectRelay(*run.Peer, *reached); // no reply to the header comes first
        run.Peer.reset();
        EXPECT_TRUE(ClosedWithoutData(*reached));
        reached.reset(); // else the relay lingers for the target's last words
        run.Join();
        EXPECT_EQ(LastProxyActivity(), counts ? before + 1000 : before) << request;
    }
}

TEST_F(SessionTest, UnreachableTargetsCloseAfterTheConnectPhase) {
    std::atomic<int> httpCalls{0};
    TServerHandlers handlers;
    handlers.Http = [&](auto, std::FILE*, const TActivity&, const TStopSignal&) { ++httpCalls; };
    SetServerHandlers(handlers);
    const std::string nobody = test::Loopback(test::FreePorts(1)[0]);

    const auto start = std::chrono::steady_clock::now();
    TServerRun lowerCase("SOCKPROXY V1 (NT)\r\nhttp proxy\r\n"); // a host:port, not the proxy
    TServerRun refused("SOCKPROXY V1 (NT)\r\nCONNECT " + nobody + "\r\n");
    TServerRun routing("SOCKROUTER V1 (NT)\r\nTCP CONNECT TO " + nobody + "\r\n");
    // A refusal is final: both end at once instead of after the phase.
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*routing.Peer, &closed, 1000), kConnecting + kFailed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(ClosedWithoutData(*refused.Peer, 1000));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_FALSE(lowerCase.Peer->WaitForIncomingData(3500));
    EXPECT_TRUE(ClosedWithoutData(*lowerCase.Peer));
    EXPECT_GE(MillisecondsSince(start), 4900.0);
    EXPECT_EQ(httpCalls, 0);
}

TEST_F(SessionTest, RequestsReachTheirHandlers) {
    // Each handler answers with its name and the line that follows the request.
    const auto proxy = [](std::string name) {
        return [name](std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                      const TActivity& activity, const TStopSignal& stop) {
            EXPECT_EQ(trace, nullptr);
            EXPECT_EQ(&stop, CurrentProxyStop().get());
            activity();
            client->SendText(name + ":" + client->ReceiveLine(kRequestLineCapacity));
            client->SendLineEnd();
        };
    };
    // ... the dial requests also with the request's second line.
    const auto dialogue = [](std::string name) {
        return [name](std::unique_ptr<TBufferedCommunication> client, const std::string& argument) {
            client->SendText(name + "(" + argument +
                             "):" + client->ReceiveLine(kRequestLineCapacity));
            client->SendLineEnd();
        };
    };
    SetServerHandlers({proxy("Http"), proxy("Socks5"), proxy("Ftp"), proxy("Pop3"),
                       dialogue("Disconnect"), dialogue("WouldConnect"), dialogue("Connect"),
                       dialogue("Online")});
    NoteProxyActivity();
    std::uint32_t activity = LastProxyActivity();

    const std::pair<std::string, std::string> cases[] = {
        {"SOCKPROXY V1 (NT)\r\nIGNORE TRAFFIC\r\nPOP3 PROXY\r\n", "Pop3"},
        {"SOCKPROXY V1 (NT)\r\nCONNECT SOCKS5 PROXY\r\n", "Socks5"},
        {"Sockproxy V1 (NT)\r\nFTP PROXY\r\n", "Ftp"},
        {"DISCONNECT!\r\n\r\n", "Disconnect()"},
        {"would connect?\r\n\r\n", "WouldConnect()"},
        {"CONNECT!\r\n10.0.0.5 a:80\r\n", "Connect(10.0.0.5 a:80)"},
        {"Online?\r\n\r\n", "Online()"},
        {"SOCKPROXY V1 (NT)\r\nHTTP PROXY\r\n", "Http"},
    };
    for (const auto& [request, name] : cases) {
        TestClock().Advance(10);
        TServerRun run(request + "third line\r\n");
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Peer, &closed), name + ":third line\r\n") << request;
        EXPECT_TRUE(closed);
        run.Join();
        // A proxy handler's traffic counts as activity, except after "IGNORE TRAFFIC".
        if (name == "Http" || name == "Socks5" || name == "Ftp")
            activity = TestClock().Now();
        EXPECT_EQ(LastProxyActivity(), activity) << request;
    }

    // Without a handler the request is closed without a reply.
    SetServerHandlers({});
    for (const char* request : {"SOCKPROXY V1 (NT)\r\nHTTP PROXY\r\n", "ONLINE?\r\n\r\n"}) {
        TServerRun run(request);
        EXPECT_TRUE(ClosedWithoutData(*run.Peer)) << request;
    }
}

TEST_F(SessionTest, RawRoutingReportsEachStep) {
    test::TListener target = MakeListener();
    for (const std::string second : {"", "IGNORE TRAFFIC\r\n"}) {
        TServerRun run("SOCKROUTER V1 (NT)\r\n" + second + "TCP CONNECT TO " + target.Endpoint +
                       "\r\n");
        const auto reached = target.Channel->Accept(5000);
        ASSERT_NE(reached, nullptr);
        EXPECT_EQ(ReadUpTo(*run.Peer, 64), kConnecting + kConnected);
        ExpectRelay(*run.Peer, *reached);
        run.Peer.reset();
        EXPECT_TRUE(ClosedWithoutData(*reached));
    }
    for (const std::string& argument :
         {"tcp connect to " + target.Endpoint, "CONNECT " + target.Endpoint, target.Endpoint,
          std::string("TCP CONNECT TO"), std::string()}) {
        TServerRun run("SOCKROUTER V1 (NT)\r\n" + argument + "\r\n");
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Peer, &closed), kBadRoute) << argument;
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(target.Channel->Accept(0), nullptr);
}

TEST_F(SessionTest, UpdateIsAnsweredWithTheOwnJournal) {
    SetOwn("ProxyEnabled", "yes");
    SetOwn("AutoDialEnabled", "no");
    SetOwn("Colour", "blue");
    TServerRun run("Update!\r\n\r\n" + SyncRequest(1));
    bool closed = false;
    TMemoryStream answer(ReadUntilClosed(*run.Peer, &closed));
    EXPECT_TRUE(closed);
    TJournal journal;
    journal.LoadFromStream(answer);
    EXPECT_FALSE(journal.Complete);
    EXPECT_EQ(journal.JournalStart, 1);
    EXPECT_EQ(journal.JournalEnd, 3);
    ASSERT_EQ(journal.Count(), 2u);
    EXPECT_EQ(journal.Entries[0], (TKeyValueObject{"AutoDialEnabled", "no"}));
    EXPECT_EQ(journal.Entries[1], (TKeyValueObject{"Colour", "blue"}));
}

TEST_F(SessionTest, EveryTunnelGetsItsOwnTraceFile) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("harbolt-trace-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    struct TRemove {
        std::filesystem::path Path;
        ~TRemove() { std::filesystem::remove_all(Path); }
    } remove{directory};
    SetProxyTraceDirectory(directory.string());
    ProxyLogAll = true;
    test::TListener target = MakeListener();
    const std::int32_t first = LogFileCounter.load();
    std::ofstream(directory / TraceName(first)) << "an older trace, longer than the new one\n";

    {
        TServerRun run("SOCKPROXY V1 (NT)\r\nHTTP PROXY\r\n"); // no handler: closed, yet traced
        EXPECT_TRUE(ClosedWithoutData(*run.Peer));
    }
    for (const std::string& type : {"CONNECT " + target.Endpoint, target.Endpoint}) {
        TServerRun run("SOCKPROXY V1 (NT)\r\n" + type + "\r\n");
        const auto reached = target.Channel->Accept(5000);
        ASSERT_NE(reached, nullptr);
        ExpectRelay(*run.Peer, *reached);
        run.Peer.reset();
        EXPECT_TRUE(ClosedWithoutData(*reached));
    }
    EXPECT_EQ(LogFileCounter.load(), first + 3);

    EXPECT_EQ(FileText(directory / TraceName(first)), "<-- HTTP PROXY -->\n");
    for (std::int32_t n : {first + 1, first + 2}) {
        const std::string text = FileText(directory / TraceName(n));
        EXPECT_EQ(text.substr(0, text.find('\n')), "<-- CONNECT: " + target.Endpoint + " -->");
        EXPECT_NE(text.find("ping"), std::string::npos) << text;
        EXPECT_NE(text.find("pong"), std::string::npos) << text;
    }
    for (std::int32_t n : {first, first + 1, first + 2}) {
        struct stat status {};
        ASSERT_EQ(::stat((directory / TraceName(n)).c_str(), &status), 0) << n;
        EXPECT_EQ(status.st_mode & 0777, 0600u) << n;
    }

    ProxyLogAll = false;
    {
        TServerRun run("SOCKPROXY V1 (NT)\r\nHTTP PROXY\r\n");
        EXPECT_TRUE(ClosedWithoutData(*run.Peer));
    }
    EXPECT_EQ(LogFileCounter.load(), first + 3);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory),
                            std::filesystem::directory_iterator()),
              3);
}

TEST_F(SessionTest, ClientSessionSendsTheHeaderThenTheClientsBytes) {
    test::TListener server = MakeListener();
    SetOnlineProxyAddress(server.Endpoint);
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"HTTP PROXY", "0", "HTTP PROXY"},
        {"socks", "0", "SOCKS5 PROXY"},
        {"relay.example", "25", "CONNECT relay.example:25"},
    };
    for (const auto& [host, port, typeLine] : cases) {
        TestClock().Advance(100);
        TClientRun run(host, port, false);
        const auto tunnel = server.Channel->Accept(5000);
        ASSERT_NE(tunnel, nullptr) << host;
        const std::string header = "SOCKPROXY V1 (NT)\r\n" + typeLine + "\r\n";
        EXPECT_EQ(ReadUpTo(*tunnel, header.size()), header); // before the client speaks ...
        EXPECT_FALSE(tunnel->WaitForIncomingData(100));      // ... and nothing more
        ExpectRelay(*run.Peer, *tunnel);
        EXPECT_EQ(LastProxyActivity(), TestClock().Now());
        run.Peer.reset();
        EXPECT_TRUE(ClosedWithoutData(*tunnel));
    }
}

TEST_F(SessionTest, TriggeredClientSessionWaitsForTheDial) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    test::TListener server = MakeListener();
    SetOnlineProxyAddress("");
    TestClock().Advance(5001);
    TClientRun run("pop3", "0", true);
    struct TStopOnExit { // whatever fails, the dial wait must not outlast the test
        ~TStopOnExit() { RaiseProxyStop(); }
    } stop;
    ASSERT_TRUE(test::WaitFor([] { return DialRequested.load(); }));
    EXPECT_EQ(server.Channel->Accept(300), nullptr);
    SetOnlineProxyAddress(server.Endpoint);
    const auto tunnel = server.Channel->Accept(5000);
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(ReadUpTo(*tunnel, 31), "SOCKPROXY V1 (NT)\r\nPOP3 PROXY\r\n");
    run.Peer.reset();
    EXPECT_TRUE(ClosedWithoutData(*tunnel));
}

TEST_F(SessionTest, ClientSessionWithoutAnOnlineComputerClosesAfterFiveSeconds) {
    SetOwn("AutoDialEnabled", "yes"); // a mapping without trigger never dials
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOnlineProxyAddress("");
    TestClock().Advance(5001);
    const auto start = std::chrono::steady_clock::now();
    TClientRun run("HTTP PROXY", "0", false);
    EXPECT_FALSE(run.Peer->WaitForIncomingData(4500));
    EXPECT_TRUE(ClosedWithoutData(*run.Peer));
    EXPECT_GE(MillisecondsSince(start), 4900.0);
    EXPECT_FALSE(DialRequested);
}

// Sends one byte every 100 ms until the peer closes (or 5 s have passed); true when it closed.
bool TrickleUntilClosed(TCommunication& channel) {
    for (int i = 0; i < 50; ++i) {
        try {
            SendNow(channel, "x");
        } catch (const ECommunication&) {
            return true;
        }
        if (channel.WaitForIncomingData(100))
            return ClosedWithoutData(channel, 100);
    }
    return false;
}

TEST_F(SessionTest, RequestLinesMustComeWithinTheLimit) {
    SetRequestTimeLimit(300);
    const auto start = std::chrono::steady_clock::now();
    TServerRun silent("");
    TServerRun trickling("SOCKPROXY V1 (NT)\r\n");
    {
        TServerRun served("HELLO\r\n\r\n"); // not held up by the others
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*served.Peer, &closed, 250), "bad request\r\ndisconnecting\r\n");
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(TrickleUntilClosed(*trickling.Peer));
    EXPECT_TRUE(ClosedWithoutData(*silent.Peer, 2000));
    EXPECT_GE(MillisecondsSince(start), 290.0);
    EXPECT_LT(MillisecondsSince(start), 3000.0);
}

TEST_F(SessionTest, SilentClientsOfTheProtocolHandlersAreClosedAfterTheLimit) {
    SetRequestTimeLimit(300);
    const std::pair<const char*, TProxyHandler> handlers[] = {
        {"HTTP", HandleHttpProxy},
        {"SOCKS5", HandleSocks5Proxy},
        {"FTP", HandleFtpProxy},
        {"POP3", HandlePop3Proxy},
    };
    for (const auto& [name, handler] : handlers) {
        test::THandlerRun run(handler);
        EXPECT_TRUE(run.EndsWithin(3000)) << name;
        bool closed = false;
        ReadUntilClosed(*run.Client, &closed, 500); // FTP and POP3 greet first
        EXPECT_TRUE(closed) << name;
    }
}

TEST_F(SessionTest, ConnectPhaseIsBoundedAgainstAnUnansweredListener) {
    const test::TUnansweredListener full;
    TStopSignal stop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectWithin(full.Endpoint, 400, stop), nullptr);
    EXPECT_LT(MillisecondsSince(start), 1500.0);
}

// A refusal and a name that does not resolve are final: the phase ends at once with the reason,
// and the time-out of an unanswered listener says that it is one.
TEST_F(SessionTest, ConnectOnwardTellsWhyAndEndsAtAFinalFailure) {
    TStopSignal stop;
    const std::string closed = "127.0.0.1:" + std::to_string(test::FreePorts(1)[0]);
    const auto start = std::chrono::steady_clock::now();
    const TConnectOutcome refused = ConnectOnward(closed, 5000, stop);
    EXPECT_EQ(refused.Channel, nullptr);
    EXPECT_EQ(refused.Failure, TConnectFailure::Refused);
    EXPECT_EQ(refused.Reason, "connection refused by " + closed);
    const TConnectOutcome unknown = ConnectOnward("no such name:80", 5000, stop);
    EXPECT_EQ(unknown.Failure, TConnectFailure::Unreachable);
    EXPECT_EQ(unknown.Reason, "no such host: no such name:80");
    EXPECT_LT(MillisecondsSince(start), 1000.0);

    test::TListener open = MakeListener(0);
    const TConnectOutcome reached = ConnectOnward(open.Endpoint, 5000, stop);
    EXPECT_NE(reached.Channel, nullptr);
    EXPECT_EQ(reached.Failure, TConnectFailure::None);
    stop.Raise();
    EXPECT_EQ(ConnectOnward(open.Endpoint, 5000, stop).Failure, TConnectFailure::Stopped);
}

TEST_F(SessionTest, OwnEndpointsAreTheBoundListeners) {
    const std::vector<std::uint16_t> ports = test::FreePorts(2);
    const std::string one = std::to_string(ports[0]);
    const std::string all = std::to_string(ports[1]);
    // Registered as bound without binding: only the registry is asked.
    const auto loopback = RegisterListener(60, "127.0.0.1:" + one);
    const auto everywhere = RegisterListener(61, ":" + all);
    ASSERT_TRUE(loopback && everywhere);
    struct TClear {
        std::vector<std::shared_ptr<TListenerState>> States;
        ~TClear() {
            for (const auto& state : States)
                ClearListener(state);
        }
    } clear{{loopback, everywhere}};
    EXPECT_FALSE(IsOwnEndpoint("127.0.0.1:" + one)); // not bound yet
    loopback->Bound = true;
    everywhere->Bound = true;

    EXPECT_TRUE(IsOwnEndpoint("127.0.0.1:" + one));
    EXPECT_TRUE(IsOwnEndpoint("localhost:" + one));
    EXPECT_FALSE(IsOwnEndpoint("127.0.0.2:" + one));
    EXPECT_FALSE(IsOwnEndpoint("127.0.0.1:" + all.substr(0, all.size() - 1)));
    EXPECT_TRUE(IsOwnEndpoint("127.0.0.9:" + all));
    EXPECT_TRUE(IsOwnEndpoint("0.0.0.0:" + all));
    EXPECT_FALSE(IsOwnEndpoint("192.0.2.1:" + all)); // a documentation address
    EXPECT_FALSE(IsOwnEndpoint("127.0.0.1:" + all, false));
    for (const std::uint32_t address : LocalInterfaceAddresses()) {
        EXPECT_TRUE(IsOwnEndpoint(AddressToDotted(address) + ":" + all));
        EXPECT_TRUE(IsOwnEndpoint(AddressToDotted(address) + ":" + all, false));
        EXPECT_FALSE(IsOwnEndpoint(AddressToDotted(address) + ":" + one));
    }
    const std::uint64_t loops = LoopsRefused();
    EXPECT_TRUE(RefuseLoop("127.0.0.1:" + one));
    EXPECT_FALSE(RefuseLoop("127.0.0.1:" + all, false));
    EXPECT_EQ(LoopsRefused(), loops + 1);

    // The tunnel and the raw routing never connect there.
    TServerRun tunnel("SOCKPROXY V1 (NT)\r\nCONNECT 127.0.0.1:" + one + "\r\n");
    TServerRun routing("SOCKROUTER V1 (NT)\r\nTCP CONNECT TO 127.0.0.1:" + one + "\r\n");
    EXPECT_TRUE(ClosedWithoutData(*tunnel.Peer, 1000));
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*routing.Peer, &closed, 1000), kConnecting + kFailed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(LoopsRefused(), loops + 3);
}

// A task that records its thread and ends when let go; Owned lives as long as the task.
struct TGatedTask {
    std::shared_ptr<int> Owned = std::make_shared<int>(0);
    std::atomic<bool> Go{false};
    std::atomic<bool> Done{false};
    std::thread::id Thread;
    void Start(TSessionThreads& threads) {
        threads.Start([this, owned = Owned] {
            Thread = std::this_thread::get_id();
            test::WaitFor([this] { return Go.load(); });
            Done = true;
        });
    }
};

TEST(SessionThreads, EndedSessionsLeaveTheirThreadWaitingForTheNext) {
    TGatedTask first;
    TGatedTask second;
    TSessionThreads threads(1, 60s); // the wait limit never comes: the destructor ends it
    first.Start(threads);
    const std::weak_ptr<int> owned = first.Owned;
    first.Owned.reset();
    first.Go = true;
    // The task is gone (its channels and slot with it) before the thread waits.
    ASSERT_TRUE(test::WaitFor([&] { return threads.Waiting() == 1; }));
    EXPECT_TRUE(owned.expired());
    second.Go = true;
    second.Start(threads);
    ASSERT_TRUE(test::WaitFor([&] { return second.Done.load(); }));
    EXPECT_EQ(second.Thread, first.Thread);
    EXPECT_EQ(threads.Threads(), 1u);
}

TEST(SessionThreads, ThreadsBeyondTheWaitingBoundOrItsLimitEnd) {
    std::array<TGatedTask, 3> tasks; // outlive the threads, which the destructor waits for
    TSessionThreads threads(1, 50ms);
    for (TGatedTask& task : tasks)
        task.Start(threads);
    ASSERT_TRUE(test::WaitFor([&] { return threads.Threads() == 3; }));
    EXPECT_EQ(threads.Waiting(), 0u);
    for (TGatedTask& task : tasks)
        task.Go = true;
    // Two end with their session, the one that waits after its limit.
    EXPECT_TRUE(test::WaitFor([&] { return threads.Threads() == 0; }));
    EXPECT_TRUE(
        std::all_of(tasks.begin(), tasks.end(), [](const TGatedTask& t) { return t.Done.load(); }));
}

} // namespace
} // namespace harbolt
