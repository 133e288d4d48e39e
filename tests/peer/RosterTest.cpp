#include "peer/Roster.h"
#include "database/Database.h"
#include "platform/EventLog.h"
#include "platform/Languages.h"
#include "support/FakeTickClock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace harbolt {
namespace {

class TClockRecorder final : public TTimeSetter {
public:
    void SetLocalTime(const TSystemTime& time) override { Times.push_back(time); }
    std::vector<TSystemTime> Times;
};

class TViewRecorder final : public TRosterView {
public:
    void RefreshOnlineState() override { ++OnlineRefreshes; }
    void AddTab(const std::string& name) override { Tabs.push_back(name); }
    void RemoveTab(const std::string& name) override { Removed.push_back(name); }
    int OnlineRefreshes = 0;
    std::vector<std::string> Tabs;
    std::vector<std::string> Removed;
};

TIncomingDatagram Incoming(const TDatagram& datagram) {
    TIncomingDatagram incoming{};
    std::copy(datagram.begin() + 8, datagram.end(), incoming.begin());
    return incoming;
}

class PeerProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        OwnComputerName = "Home";
        SetLanguage(TLanguage::English);
        Database = std::make_unique<TDatabase>();
        Database->FindComputer(OwnComputerName);
        TPeerLinks links;
        links.SendDatagram = [this](const TDatagram& d) { Sent.push_back(d); };
        links.ActiveConnectionName = [this] { return ActiveConnection; };
        links.StartUpdatingSession = [this](const std::string& address, const std::string& name) {
            Sessions.emplace_back(address, name);
        };
        links.SetOnlineProxyAddress = [this](const std::string& a) { ProxyAddresses.push_back(a); };
        links.OnlineAddressFresh = [this] { return AddressFresh; };
        Protocol = std::make_unique<TPeerProtocol>(Clock, Setter, View, links);
    }
    void TearDown() override {
        Protocol.reset();
        Database.reset();
        OwnComputerName = "unknown";
    }
    void Receive(const TDatagram& datagram) { Protocol->Dispatch(Incoming(datagram)); }
    void Advance(std::uint32_t ms) { Clock.Advance(ms); }
    const TInfo* Info(const std::string& name) { return Protocol->Roster.Find(name); }
    TComputerData& Own() { return Database->FindComputer(OwnComputerName); }
    void MakeTimeMaster(const std::string& name) {
        Database->FindComputer(name).SetProperty("Zeitmeister", "yes");
    }

    test::TFakeTickClock Clock{0x7fff0000}; // near the middle: ageing must not depend on the epoch
    TClockRecorder Setter;
    TViewRecorder View;
    std::unique_ptr<TDatabase> Database;
    std::unique_ptr<TPeerProtocol> Protocol;
    std::vector<TDatagram> Sent;
    std::string ActiveConnection;
    std::vector<std::pair<std::string, std::string>> Sessions;
    std::vector<std::string> ProxyAddresses;
    bool AddressFresh = false;
};

TEST_F(PeerProtocolTest, PresenceAddsOneEntryPerNameWhateverTheCase) {
    Receive(PresenceDatagram("ALPHA"));
    ASSERT_NE(Info("Alpha"), nullptr);
    EXPECT_TRUE(Info("Alpha")->Alive);
    EXPECT_TRUE(Info("Alpha")->Changed);
    EXPECT_FALSE(Info("Alpha")->Online);
    Advance(500);
    Receive(PresenceDatagram("alpha"));
    EXPECT_EQ(Protocol->Roster.Entries().size(), 1u);
    EXPECT_EQ(Protocol->Roster.Entries()[0].first, "Alpha");
    EXPECT_EQ(Info("Alpha")->LastSeen, Clock.Now());
    EXPECT_EQ(View.Tabs, std::vector<std::string>{"Alpha"});
    // The roster is sorted; tabs keep the order of arrival.
    Receive(PresenceDatagram("Aardvark-PC"));
    EXPECT_EQ(Protocol->Roster.Entries()[0].first, "Aardvark-pc");
    EXPECT_EQ(View.Tabs, (std::vector<std::string>{"Alpha", "Aardvark-pc"}));
}

TEST_F(PeerProtocolTest, AgeingLetsAComputerLapseJustAfterTenSeconds) {
    Receive(PresenceDatagram("Beta"));
    Advance(10000);
    Protocol->ReceiveTimerProc();
    EXPECT_TRUE(Info("Beta")->Alive);
    Advance(1);
    Protocol->ReceiveTimerProc();
    EXPECT_FALSE(Info("Beta")->Alive);
    Receive(PresenceDatagram("Beta"));
    Protocol->ReceiveTimerProc();
    EXPECT_TRUE(Info("Beta")->Alive);
}

TEST_F(PeerProtocolTest, AgeingSurvivesTheTickCounterWrapping) {
    Clock.Set(0xffffff00);
    Receive(PresenceDatagram("Beta"));
    Advance(0x200); // wraps past zero
    Protocol->ReceiveTimerProc();
    EXPECT_TRUE(Info("Beta")->Alive);
    Advance(10000);
    Protocol->ReceiveTimerProc();
    EXPECT_FALSE(Info("Beta")->Alive);
}

TEST_F(PeerProtocolTest, OnlineNeedsAPresenceFirstAndLapsesWhilePresenceGoesOn) {
    Database->FindComputer("Gamma").SetOwn(false);
    TJournal journal;
    journal.JournalEnd = 1;
    journal.Entries.push_back({"ProxyServerAddress", "10.0.0.3:1977"});
    Database->FindComputer("Gamma").ApplyJournal(journal);

    Receive(OnlineDatagram("GAMMA", "Provider"));
    EXPECT_EQ(Info("Gamma"), nullptr);
    EXPECT_TRUE(ProxyAddresses.empty());

    Receive(PresenceDatagram("GAMMA"));
    Receive(OnlineDatagram("GAMMA", "Provider"));
    ASSERT_TRUE(Info("Gamma")->Online);
    EXPECT_EQ(Info("Gamma")->ConnectionName, "Provider");
    EXPECT_EQ(ProxyAddresses, std::vector<std::string>{"10.0.0.3:1977"});
    ASSERT_NE(Protocol->Roster.OnlineComputer(), nullptr);
    EXPECT_EQ(Protocol->Roster.OnlineComputer()->first, "Gamma");

    AddressFresh = true; // handed over less than a second ago: not again
    Receive(OnlineDatagram("Gamma", "Provider"));
    EXPECT_EQ(ProxyAddresses.size(), 1u);

    const int refreshes = View.OnlineRefreshes;
    for (int i = 0; i < 11; ++i) { // presence goes on, online datagrams stop
        Advance(1000);
        Receive(PresenceDatagram("Gamma"));
        Protocol->ReceiveTimerProc();
    }
    EXPECT_TRUE(Info("Gamma")->Alive);
    EXPECT_FALSE(Info("Gamma")->Online);
    EXPECT_EQ(View.OnlineRefreshes, refreshes + 1);
    EXPECT_EQ(Protocol->Roster.OnlineComputer(), nullptr);
}

TEST_F(PeerProtocolTest, OnlineOfAComputerNotInTheDatabaseKeepsItsOwnSpelling) {
    Receive(PresenceDatagram("DELTA"));
    Receive(OnlineDatagram("DELTA", "Provider"));
    std::vector<std::string> names;
    Database->GetNames(names);
    EXPECT_EQ(std::count(names.begin(), names.end(), "DELTA"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Delta"), 0);
}

TEST_F(PeerProtocolTest, DataInfoTouchesOrStartsOneSessionAtATime) {
    TComputerData& peer = Database->FindComputer("Peer");
    peer.SetOwn(false);
    Receive(PresenceDatagram("Peer"));
    Receive(DataInfoDatagram("Peer", 0, "peer:1977"));
    EXPECT_NE(peer.LastUpdate(), TSystemTime()); // same journal end: up to date
    EXPECT_TRUE(Sessions.empty());

    Receive(DataInfoDatagram("PEER", 4, "10.0.0.9:1977"));
    EXPECT_TRUE(peer.UpdateRunning);
    ASSERT_EQ(Sessions.size(), 1u);
    EXPECT_EQ(Sessions[0], (std::pair<std::string, std::string>{"10.0.0.9:1977", "PEER"}));
    Receive(DataInfoDatagram("Peer", 5, "10.0.0.9:1977"));
    EXPECT_EQ(Sessions.size(), 1u);
}

TEST_F(PeerProtocolTest, DataInfoOfAComputerNotHeardOnPresenceDoesNothing) {
    const auto entries = [this](const std::string& name) {
        std::vector<std::string> list;
        Database->GetNames(list);
        return std::count(list.begin(), list.end(), name);
    };
    Receive(DataInfoDatagram("Stranger", 7, "127.0.0.1:1"));
    EXPECT_TRUE(Sessions.empty());
    EXPECT_EQ(entries("Stranger"), 0);
    EXPECT_EQ(Info("Stranger"), nullptr);

    // Read from the database at start-up is not heard either.
    Database->FindComputer("Stored").SetOwn(false);
    Protocol->FillFromDatabase();
    Receive(DataInfoDatagram("Stored", 3, "127.0.0.1:1"));
    EXPECT_TRUE(Sessions.empty());
    EXPECT_FALSE(Database->FindComputer("Stored").UpdateRunning);

    Receive(PresenceDatagram("Stranger"));
    Receive(PresenceDatagram("Stored"));
    Receive(DataInfoDatagram("Stranger", 7, "127.0.0.1:1"));
    Receive(DataInfoDatagram("Stored", 3, "127.0.0.1:2"));
    EXPECT_EQ(Sessions, (std::vector<std::pair<std::string, std::string>>{
                            {"127.0.0.1:1", "Stranger"}, {"127.0.0.1:2", "Stored"}}));
    EXPECT_EQ(entries("Stranger"), 1);
}

TEST_F(PeerProtocolTest, AFloodOfNamesKeepsTheRosterBoundedAndReportsOnceAMinute) {
    TJournal data;
    data.JournalEnd = 1;
    data.Entries = {{"ProxyServerAddress", "10.0.0.2:1977"}};
    Database->FindComputer("Keeper").ApplyJournal(data);
    Database->FindComputer("Ghost"); // no data, never alive: the first to go
    Protocol->FillFromDatabase();

    std::vector<std::string> events;
    TScopedEventSink sink(
        [&events](TEventLevel, const std::string& text) { events.push_back(text); });
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5000; ++i)
        Receive(PresenceDatagram("Fake" + std::to_string(i)));
    EXPECT_EQ(Protocol->Roster.Entries().size(), kRosterLimit);
    EXPECT_EQ(View.Removed, std::vector<std::string>{"Ghost"});
    EXPECT_NE(Info("Fake1"), nullptr);
    EXPECT_EQ(Info("Fake4999"), nullptr); // all alive: nothing more to drop

    // Lapsed entries without data make room; those with data and the own computer stay.
    Advance(kRosterTimeoutMs + 1);
    Protocol->ReceiveTimerProc();
    for (int i = 0; i < 100; ++i)
        Receive(PresenceDatagram("Late" + std::to_string(i)));
    EXPECT_EQ(Protocol->Roster.Entries().size(), kRosterLimit);
    EXPECT_NE(Info("Late99"), nullptr);
    EXPECT_EQ(View.Removed.size(), 101u);
    EXPECT_NE(Info("Keeper"), nullptr);
    EXPECT_NE(Info("Home"), nullptr);
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;

    // A minute later the count of the names ignored since is told.
    testing::internal::CaptureStderr();
    Advance(kRosterFullReportMs);
    Protocol->ReceiveTimerProc();
    report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find(" 3977 "), std::string::npos) << report;
    // The invented names are told of only so often a minute, then summed up; the names that
    // lapse at the last pass open the next minute.
    ASSERT_EQ(events.size(), 2 * kRosterLinesPerMinute + 1);
    const std::string& summary = events[kRosterLinesPerMinute];
    EXPECT_NE(summary.find(" more lines about computers in the last minute"), std::string::npos);
    // Only names that got an entry are told of: a full roster alive, then gone.
    EXPECT_GT(std::stoul(summary), 2 * (kRosterLimit - 2) - kRosterLinesPerMinute);
}

TEST_F(PeerProtocolTest, TimeSetsTheClockUnlessItIsOurOwnOrWeAreMaster) {
    MakeTimeMaster("Master");
    TSystemTime time;
    time.Year = 2026;
    time.Month = 12;
    time.Day = 8;
    time.Hour = 21;
    Receive(TimeDatagram("Master", time));
    ASSERT_EQ(Setter.Times.size(), 1u);
    EXPECT_EQ(Setter.Times[0], time);
    Receive(TimeDatagram("HOME", time));
    Receive(TimeDatagram("home", time));
    EXPECT_EQ(Setter.Times.size(), 1u);
}

TEST_F(PeerProtocolTest, OnlyAKnownTimeMastersTimeCountsAndItIsSaidOnce) {
    std::vector<std::string> lines;
    TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    Database->FindComputer("Plain").SetProperty("Timemaster", "inactiv, because X will be ...");
    Own().SetProperty("Zeitmeister", "yes");
    for (const char* sender : {"Stranger", "Stranger", "Plain"})
        Receive(TimeDatagram(sender, TSystemTime()));
    EXPECT_TRUE(Setter.Times.empty());
    EXPECT_EQ(Own().GetProperty("Zeitmeister"), "yes"); // the own master keeps its seat
    std::vector<std::string> names;
    Database->GetNames(names);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Stranger"), 0); // no entry for it
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "ignored the time sent by Stranger: its data here does not make it "
                         "time master",
                         "ignored the time sent by Plain: its data here does not make it time "
                         "master"}));
    Own().SetProperty("Zeitmeister", "");
    MakeTimeMaster("plain"); // names compare ignoring case
    Receive(TimeDatagram("PLAIN", TSystemTime()));
    EXPECT_EQ(Setter.Times.size(), 1u);
}

TEST_F(PeerProtocolTest, TwoTimeMastersGiveWayWhicheverKeyMadeThemMaster) {
    MakeTimeMaster("Beta");
    for (const char* key : {"Timemaster", "Zeitmeister"}) {
        Own().SetProperty("Timemaster", "");
        Own().SetProperty(key, "ja");
        EXPECT_TRUE(IsOwnTimeMaster());
        Receive(TimeDatagram("Beta", TSystemTime()));
        EXPECT_TRUE(Setter.Times.empty()) << key;
        EXPECT_EQ(Own().GetProperty("Zeitmeister"), "") << key;
        EXPECT_EQ(Own().GetProperty("Timemaster"),
                  "inactiv, because Beta will be a timemaster, too.")
            << key;
        EXPECT_FALSE(IsOwnTimeMaster());
    }
    // Given way, the next time datagram sets the clock again.
    Receive(TimeDatagram("Beta", TSystemTime()));
    EXPECT_EQ(Setter.Times.size(), 1u);
}

TEST_F(PeerProtocolTest, SendTimersAnnounceWhatTheOwnComputerIs) {
    Own().SetProperty("ProxyServerAddress", "10.0.0.1:1977");
    Protocol->FrequentSendTimerProc();
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0], PresenceDatagram("Home"));
    ActiveConnection = "Provider";
    Protocol->FrequentSendTimerProc();
    ASSERT_EQ(Sent.size(), 3u);
    EXPECT_EQ(Sent[2], OnlineDatagram("Home", "Provider"));

    Sent.clear();
    Protocol->OccasionalSendTimerProc();
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0], DataInfoDatagram("Home", 1, "10.0.0.1:1977"));
    Own().SetProperty("Timemaster", "yes");
    Protocol->OccasionalSendTimerProc();
    ASSERT_EQ(Sent.size(), 3u);
    EXPECT_EQ(ParseAnnouncement(Incoming(Sent[2])).Type, kTimeDatagram);
}

TEST_F(PeerProtocolTest, UnknownTypesAreDroppedAndStartUpEntriesAreNotAlive) {
    TDatagram odd = PresenceDatagram("Odd");
    odd[10] = 9;
    Receive(odd);
    EXPECT_EQ(Info("Odd"), nullptr);

    Database->FindComputer("FromFile");
    Protocol->FillFromDatabase();
    Protocol->ReceiveTimerProc();
    ASSERT_NE(Info("Fromfile"), nullptr);
    EXPECT_FALSE(Info("Fromfile")->Alive);
    EXPECT_FALSE(Info("Home")->Alive);
}

TEST_F(PeerProtocolTest, OnlineStateMessageShowsTheOwnStateAtOnce) {
    Protocol->FillFromDatabase();
    const int refreshes = View.OnlineRefreshes;
    Protocol->OnlineStateMessage(true, "Provider");
    EXPECT_TRUE(Info("Home")->Online);
    EXPECT_EQ(Info("Home")->ConnectionName, "Provider");
    EXPECT_EQ(View.OnlineRefreshes, refreshes + 1);
    Protocol->OnlineStateMessage(false, "Provider");
    EXPECT_FALSE(Info("Home")->Online);
    EXPECT_EQ(Info("Home")->ConnectionName, "");
}

// --- The events log ---

TEST_F(PeerProtocolTest, JoiningLeavingOnlineAndOfflineEachWriteOneLine) {
    std::vector<std::string> lines;
    TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    Protocol->FillFromDatabase(); // the own computer: its comings and goings are no news
    Receive(PresenceDatagram("HOME"));
    Receive(PresenceDatagram("G\xC4STE")); // Windows-1252
    Receive(PresenceDatagram("G\xC4STE"));
    Protocol->ReceiveTimerProc();
    Receive(OnlineDatagram("G\xC4STE", "Provider"));
    Receive(OnlineDatagram("G\xC4STE", "Provider"));
    Receive(OnlineDatagram("G\xC4STE", "LTE")); // another line: news again
    Protocol->OnlineStateMessage(true, "Modem");
    Protocol->OnlineStateMessage(false, "Modem");
    Advance(10001);
    Protocol->ReceiveTimerProc();
    Protocol->ReceiveTimerProc();
    Receive(PresenceDatagram("G\xC4STE"));
    Protocol->ReceiveTimerProc();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "computer G\xC3\x84ste is alive",
                         "computer G\xC3\x84ste is online using \"Provider\"",
                         "computer G\xC3\x84ste is online using \"LTE\"",
                         "computer Home is online using \"Modem\"",
                         "computer Home is offline",
                         "computer G\xC3\x84ste is gone",
                         "computer G\xC3\x84ste is offline",
                         "computer G\xC3\x84ste is alive",
                     }));
}

TEST_F(PeerProtocolTest, ATimeMasterIsNamedWhenItTakesOverOrTheClockWasFarOff) {
    std::vector<std::string> lines;
    TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    TSystemTime far; // 1980: far off whatever the clock says
    far.Milliseconds = 5;
    MakeTimeMaster("Master");
    MakeTimeMaster("Other");
    const TSystemTime now = GetLocalTime();
    Receive(TimeDatagram("Master", now));
    Receive(TimeDatagram("Master", now));
    // The recorder sets nothing: the clock stays off, which is said once.
    Receive(TimeDatagram("Master", far));
    Receive(TimeDatagram("Master", far));
    Receive(TimeDatagram("Other", far));
    EXPECT_EQ(Setter.Times.size(), 5u);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "time master Master: setting the clock to " + SystemTimeText(now),
                         "time master Master: setting the clock to 1980-01-01 00:00:00.005",
                         "time master Other: setting the clock to 1980-01-01 00:00:00.005",
                     }));
}

} // namespace
} // namespace harbolt
