#include "peer/Sync.h"
#include "../database/Golden.h"
#include "../net/NetTestSupport.h"
#include "database/Database.h"
#include "peer/Roster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace harbolt {
namespace {

using test::MakeListener;
using test::MakePair;
using test::ReadUpTo;
using test::SendNow;

class SyncTest : public test::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        OwnComputerName = "Server";
        Database = std::make_unique<TDatabase>();
    }
    void TearDown() override {
        Database.reset();
        OwnComputerName = "unknown";
    }
    // The own computer with five properties and eight changes: it keeps entries 3 to 7.
    void GiveOwnHistory() {
        TComputerData& own = Database->FindComputer(OwnComputerName);
        for (int i = 1; i <= 5; ++i)
            own.SetProperty("P" + std::to_string(i), "v");
        for (int i = 1; i <= 3; ++i)
            own.SetProperty("P" + std::to_string(i), "w");
        ASSERT_EQ(own.Journal().JournalStart, 3);
        ASSERT_EQ(own.GetJournalEnd(), 8);
    }
    // What ServeJournal answers to the given request bytes.
    std::string Serve(const std::string& request) {
        test::TChannelPair pair = MakePair();
        SendNow(*pair.Connected, request);
        pair.Connected->Flush();
        ::shutdown(pair.Connected->Socket(), SHUT_WR); // a short request ends here
        ServeJournal(*pair.Accepted);
        pair.Accepted.reset(); // closes: the end of the answer
        return ReadUpTo(*pair.Connected, 1 << 20);
    }
    static TJournal Parse(const std::string& bytes) {
        TMemoryStream stream(bytes);
        TJournal journal;
        journal.LoadFromStream(stream);
        return journal;
    }
    std::unique_ptr<TDatabase> Database;
};

TEST_F(SyncTest, RequestIsTwelveBytes) {
    EXPECT_EQ(SyncRequest(5), test::Bytes({0x77, 0x19, 0x02, 0x27, 0, 0, 1, 0, 5, 0, 0, 0}));
}

TEST_F(SyncTest, ServerAnswersTheHistoryOrASnapshot) {
    GiveOwnHistory();
    TJournal answer = Parse(Serve(SyncRequest(5)));
    EXPECT_FALSE(answer.Complete);
    EXPECT_EQ(answer.JournalStart, 5);
    EXPECT_EQ(answer.JournalEnd, 8);
    ASSERT_EQ(answer.Count(), 3u);
    EXPECT_EQ(answer.Entries[0], (TKeyValueObject{"P1", "w"}));

    answer = Parse(Serve(SyncRequest(2)));
    EXPECT_TRUE(answer.Complete);
    EXPECT_EQ(answer.JournalStart, 0);
    EXPECT_EQ(answer.JournalEnd, 8);
    EXPECT_EQ(answer.Count(), 5u);

    answer = Parse(Serve(SyncRequest(20)));
    EXPECT_EQ(answer.Count(), 0u);
    EXPECT_EQ(answer.JournalEnd, 8);
}

TEST_F(SyncTest, ServerIgnoresShortAndForeignRequests) {
    GiveOwnHistory();
    for (std::size_t length : {0, 3, 7, 11}) // 7 bytes padded with zeros would read as start 0
        EXPECT_EQ(Serve(SyncRequest(5).substr(0, length)), "") << length;
    std::string otherVersion = SyncRequest(5);
    otherVersion[4] = 1;
    EXPECT_EQ(Serve(otherVersion), "");
    EXPECT_EQ(Serve(std::string(12, '\0')), "");
}

// A peer that answers one updating session with the given bytes and records what it was asked.
class TFakePeer {
public:
    explicit TFakePeer(std::string answer) : Listener(MakeListener()), Answer(std::move(answer)) {
        Thread = std::thread([this] {
            auto channel = Listener.Channel->Accept(5000);
            if (!channel)
                return;
            char line[256];
            channel->ReceiveLine(line, sizeof line);
            RequestLine = line;
            channel->ReceiveLine(line, sizeof line);
            char request[kSyncRequestSize];
            if (channel->ReceiveExactly(request, sizeof request))
                Request.assign(request, sizeof request);
            SendNow(*channel, Answer);
        });
    }
    ~TFakePeer() {
        if (Thread.joinable())
            Thread.join();
    }
    void Wait() { Thread.join(); }
    test::TListener Listener;
    std::string Answer;
    std::string RequestLine;
    std::string Request;
    std::thread Thread;
};

std::string JournalBytes(const TJournal& journal) {
    TMemoryStream stream;
    journal.SaveToStream(stream);
    return stream.Data();
}

TEST_F(SyncTest, ClientAsksFromItsJournalEndAndAppliesTheAnswer) {
    TComputerData& copy = Database->FindComputer("Peer");
    TJournal first;
    first.JournalEnd = 5;
    first.Entries = {{"Old", "1"}};
    copy.ApplyJournal(first);

    TJournal answer;
    answer.JournalStart = 5;
    answer.JournalEnd = 8;
    answer.Entries = {{"A", "1"}, {"B", "2"}, {"Old", ""}};
    TFakePeer peer(JournalBytes(answer));
    copy.UpdateRunning = true;
    EXPECT_TRUE(RunUpdatingSession(peer.Listener.Endpoint, "peer"));
    peer.Wait();
    EXPECT_EQ(peer.RequestLine, "UPDATE!");
    EXPECT_EQ(peer.Request, SyncRequest(5));
    EXPECT_EQ(copy.GetJournalEnd(), 8);
    EXPECT_EQ(copy.GetProperty("B"), "2");
    EXPECT_EQ(copy.GetProperty("Old"), "");
    EXPECT_FALSE(copy.UpdateRunning);
}

TEST_F(SyncTest, EveryFailureLeavesTheCopyAndClearsTheFlag) {
    TComputerData& copy = Database->FindComputer("Peer");
    TJournal first;
    first.JournalEnd = 2;
    first.Entries = {{"Kept", "yes"}};
    copy.ApplyJournal(first);

    const auto expectUnchanged = [&](const std::string& address, const char* what) {
        copy.UpdateRunning = true;
        EXPECT_FALSE(RunUpdatingSession(address, "Peer")) << what;
        EXPECT_FALSE(copy.UpdateRunning) << what;
        EXPECT_EQ(copy.GetJournalEnd(), 2) << what;
        EXPECT_EQ(copy.GetProperty("Kept"), "yes") << what;
    };
    {
        TFakePeer peer("not a journal");
        expectUnchanged(peer.Listener.Endpoint, "malformed answer");
    }
    {
        TJournal snapshot;
        snapshot.JournalEnd = 9;
        snapshot.Complete = true;
        TFakePeer peer(JournalBytes(snapshot).substr(0, 20));
        expectUnchanged(peer.Listener.Endpoint, "truncated answer");
    }
    {
        // Beyond the limit the answer is dropped, however it would have parsed.
        TJournal huge;
        huge.JournalEnd = 9;
        huge.Entries.push_back({"Big", std::string(kSyncAnswerLimit, 'x')});
        TFakePeer peer(JournalBytes(huge));
        expectUnchanged(peer.Listener.Endpoint, "oversized answer");
    }
    std::string refused;
    {
        test::TListener closed = MakeListener();
        refused = closed.Endpoint;
    }
    expectUnchanged(refused, "connection refused");
    expectUnchanged("no-colon", "address without a port");
}

TEST_F(SyncTest, UpdatingSessionsRunOneAtATime) {
    TJournal answer;
    answer.JournalEnd = 1;
    answer.Entries = {{"A", "1"}};
    TFakePeer peer(JournalBytes(answer));
    std::unique_lock<std::mutex> held(UpdateSessionLock);
    Database->FindComputer("Peer").UpdateRunning = true;
    StartUpdatingSession(peer.Listener.Endpoint, "Peer");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Database->FindComputer("Peer").UpdateRunning); // waits for the lock
    held.unlock();
    for (int i = 0; i < 50 && Database->FindComputer("Peer").UpdateRunning; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(Database->FindComputer("Peer").UpdateRunning);
    EXPECT_EQ(Database->FindComputer("Peer").GetProperty("A"), "1");
}

// Accepts every connection and says nothing until released (or destroyed).
class THangingPeer {
public:
    THangingPeer() : Listener(MakeListener()) {
        // Room for every session at once: a refused SYN is retried only after a second.
        Listener.Channel->Listen(2 * kUpdatingSessionLimit);
        Thread = std::thread([this] {
            std::vector<std::unique_ptr<TBufferedCommunication>> held;
            while (!Released)
                if (auto channel = Listener.Channel->Accept(20)) {
                    held.push_back(std::move(channel));
                    ++Accepted;
                }
        });
    }
    ~THangingPeer() { Release(); }
    // Closes every connection: the sessions on them see the end at once.
    void Release() {
        Released = true;
        if (Thread.joinable())
            Thread.join();
    }
    test::TListener Listener;
    std::atomic<bool> Released{false};
    std::atomic<int> Accepted{0};
    std::thread Thread;
};

// Polls for up to five seconds.
template <typename F> bool Eventually(F&& condition) {
    for (int i = 0; i < 250 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return condition();
}

class UpdatingLimitsTest : public SyncTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(Eventually([] { return UpdatingSessionsRunning() == 0; }));
        SetUpdatingSessionLimits(kUpdatingConnectMs, kUpdatingSilenceMs);
        SyncTest::TearDown();
    }
};

class TNoClockSetting final : public TTimeSetter {
public:
    void SetLocalTime(const TSystemTime&) override {}
};

TEST_F(UpdatingLimitsTest, AForgedDataInfoDoesNotStopRealReplication) {
    constexpr int kSilenceMs = 500;
    SetUpdatingSessionLimits(1000, kSilenceMs);
    TRosterView view;
    TNoClockSetting setter;
    TPeerLinks links;
    links.StartUpdatingSession = StartUpdatingSession;
    TPeerProtocol protocol(SystemTickClock(), setter, view, links);
    const auto receive = [&](const TDatagram& datagram) {
        TIncomingDatagram incoming{};
        std::copy(datagram.begin() + 8, datagram.end(), incoming.begin());
        protocol.Dispatch(incoming);
    };

    THangingPeer fake;
    TJournal journal;
    journal.JournalEnd = 1;
    journal.Entries = {{"A", "1"}};
    TFakePeer real(JournalBytes(journal));
    receive(PresenceDatagram("Fake"));
    receive(PresenceDatagram("Real"));
    const auto began = std::chrono::steady_clock::now();
    receive(DataInfoDatagram("Fake", 1000000, fake.Listener.Endpoint));
    ASSERT_TRUE(Eventually([&] { return fake.Accepted == 1; }));
    receive(DataInfoDatagram("Real", 1, real.Listener.Endpoint));

    real.Wait();
    ASSERT_TRUE(Eventually([&] { return !Database->FindComputer("Real").UpdateRunning; }));
    EXPECT_EQ(Database->FindComputer("Real").GetProperty("A"), "1");
    // Meanwhile the fake still hangs: it holds the flag of its computer, and no lock.
    EXPECT_TRUE(Database->FindComputer("Fake").UpdateRunning);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kSilenceMs));
    EXPECT_TRUE(std::unique_lock<std::mutex>(UpdateSessionLock, std::try_to_lock).owns_lock());
    // The silence limit ends the fake session while its peer still holds the connection.
    ASSERT_TRUE(Eventually([&] { return !Database->FindComputer("Fake").UpdateRunning; }));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kSilenceMs));
    EXPECT_EQ(Database->FindComputer("Fake").GetJournalEnd(), 0);
}

TEST_F(UpdatingLimitsTest, SessionsPastTheLimitWaitForOneToEndAndThenRun) {
    SetUpdatingSessionLimits(1000, 5000); // released below long before
    THangingPeer peer;
    for (int i = 0; i < kUpdatingSessionLimit; ++i) {
        const std::string name = "Peer" + std::to_string(i);
        Database->FindComputer(name).UpdateRunning = true;
        EXPECT_TRUE(StartUpdatingSession(peer.Listener.Endpoint, name));
    }
    ASSERT_TRUE(Eventually([&] { return peer.Accepted == kUpdatingSessionLimit; }));
    EXPECT_EQ(UpdatingSessionsRunning(), kUpdatingSessionLimit);

    // The next one waits, with its flag kept so that its data infos start nothing meanwhile.
    TJournal journal;
    journal.JournalEnd = 1;
    journal.Entries = {{"A", "1"}};
    TFakePeer real(JournalBytes(journal));
    TComputerData& waiting = Database->FindComputer("Waiting");
    waiting.UpdateRunning = true;
    EXPECT_TRUE(StartUpdatingSession(real.Listener.Endpoint, "Waiting"));
    EXPECT_TRUE(waiting.UpdateRunning);
    EXPECT_EQ(UpdatingSessionsWaiting(), 1);
    EXPECT_EQ(UpdatingSessionsRunning(), kUpdatingSessionLimit);

    // Past the waiting list nothing waits: the next data info tries again.
    for (std::size_t i = 1; i < kUpdatingWaitLimit; ++i) {
        const std::string name = "Queued" + std::to_string(i);
        Database->FindComputer(name).UpdateRunning = true;
        ASSERT_TRUE(StartUpdatingSession("no-colon", name));
    }
    TComputerData& last = Database->FindComputer("OneTooMany");
    last.UpdateRunning = true;
    EXPECT_FALSE(StartUpdatingSession("no-colon", "OneTooMany"));
    EXPECT_FALSE(last.UpdateRunning);

    // The first session to end takes the oldest waiting one; all end, no thread more is made.
    peer.Release();
    real.Wait();
    ASSERT_TRUE(Eventually([] { return UpdatingSessionsRunning() == 0; }));
    EXPECT_EQ(UpdatingSessionsWaiting(), 0);
    EXPECT_EQ(peer.Accepted, kUpdatingSessionLimit);
    EXPECT_EQ(waiting.GetProperty("A"), "1");
    EXPECT_FALSE(waiting.UpdateRunning);
    EXPECT_FALSE(Database->FindComputer("Queued1").UpdateRunning);
}

// The serving side on a thread of its own, answering the asking side of a channel pair.
class ServingDrainTest : public SyncTest {
protected:
    void SetUp() override {
        SyncTest::SetUp();
        GiveOwnHistory();
        Pair = MakePair();
    }
    void TearDown() override {
        if (Server.joinable())
            Server.join();
        SetServingDrainLimit(kServingDrainMs);
        SyncTest::TearDown();
    }
    void StartServing(int drainMs, const std::string& request) {
        SetServingDrainLimit(drainMs);
        SendNow(*Pair.Connected, request);
        Server = std::thread([this] {
            ServeJournal(*Pair.Accepted);
            Served = true;
        });
    }
    test::TChannelPair Pair;
    std::thread Server;
    std::atomic<bool> Served{false};
};

TEST_F(ServingDrainTest, TheAnswerEndsAtOnceAndTheThreadWhenTheAskingSideCloses) {
    StartServing(30000, SyncRequest(5));
    // The whole answer arrives, with its end, while the serving side still waits.
    const TJournal answer = Parse(ReadUpTo(*Pair.Connected, 1 << 20, 30000));
    EXPECT_EQ(answer.JournalEnd, 8);
    EXPECT_EQ(answer.Count(), 3u);
    EXPECT_FALSE(Served);
    Pair.Connected.reset();
    EXPECT_TRUE(Eventually([this] { return Served.load(); }));
}

TEST_F(ServingDrainTest, APeerThatNeverClosesHoldsTheThreadOnlyForTheDrainLimit) {
    // It also sends more than its request: read and dropped, the answer is not cut off.
    StartServing(100, SyncRequest(5) + std::string(100000, 'x'));
    EXPECT_TRUE(Eventually([this] { return Served.load(); }));
    EXPECT_EQ(Parse(ReadUpTo(*Pair.Connected, 1 << 20)).JournalEnd, 8);
}

} // namespace
} // namespace harbolt
