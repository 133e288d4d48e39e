#include "dialup/RasManager.h"
#include "database/Database.h"
#include "support/FakeTickClock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace harbolt {
namespace {

// A dial-up layer whose connections the test sets.
class TScriptedBackend final : public TRasBackend {
public:
    std::vector<std::string> Up;           // connected entries, in enumeration order
    std::vector<std::string> NotConnected; // listed, but in another state
    std::vector<std::string> StatusFails;  // listed, but their status query fails
    std::uint32_t EnumError = 0;

    std::uint32_t EnumConnections(std::vector<TRasConnectionInfo>& connections) override {
        if (EnumError != 0)
            return EnumError;
        Names.clear();
        for (const auto* list : {&Up, &NotConnected, &StatusFails})
            for (const std::string& name : *list)
                Names.push_back(name);
        for (std::size_t i = 0; i < Names.size(); ++i)
            connections.push_back({i + 1, Names[i]});
        return 0;
    }
    std::uint32_t GetConnectStatus(TRasHandle connection, std::uint32_t& state) override {
        const std::string& name = Names.at(connection - 1);
        if (std::find(StatusFails.begin(), StatusFails.end(), name) != StatusFails.end())
            return kRasErrorInvalidHandle;
        const bool up = std::find(Up.begin(), Up.end(), name) != Up.end();
        state = up ? kRasConnected : 0x1000;
        return 0;
    }
    std::string ErrorString(std::uint32_t code) override {
        return "scripted error " + std::to_string(code);
    }
    std::uint32_t EnumEntries(std::vector<std::string>&) override { return 0; }
    bool GetEntryDialParams(const std::string&, std::string&, std::string&, bool&) override {
        return false;
    }
    std::uint32_t Dial(const std::string&, const std::string&, const std::string&, TRasHandle&,
                       TRasDialProgress) override {
        return kRasErrorCannotFindEntry;
    }
    std::uint32_t HangUp(TRasHandle) override { return 0; }

private:
    std::vector<std::string> Names;
};

class RasManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        OwnComputerName = "Home-PC";
        Database = std::make_unique<TDatabase>();
        {
            std::lock_guard<std::mutex> guard(EventIDLock);
            LastEventID = TEventID();
        }
        Now.Year = 2026;
        Now.Month = 12;
        Now.Day = 7;
        Now.Hour = 23;
        Now.Minute = 14;
        Now.Second = 2;
        DialingInProgress = false;
        Manager =
            std::make_unique<TRasManager>(Backend, Clock, [this] { return NewEventIDAt(Now); });
    }
    void TearDown() override {
        Manager.reset();
        Database.reset();
        OwnComputerName = "unknown";
        DialingInProgress = false;
    }
    // One second later, on both clocks.
    void NextSecond() {
        Clock.Advance(1000);
        if (++Now.Second == 60) {
            Now.Second = 0;
            ++Now.Minute;
        }
    }
    std::string Own(const std::string& key) { return GetComputerProperty(OwnComputerName, key); }
    TComputerData::TPropertyList Records() {
        TComputerData::TPropertyList records;
        for (const auto& property : Database->FindComputer(OwnComputerName).Properties())
            if (IsEventID(property.first))
                records.push_back(property);
        return records;
    }

    TScriptedBackend Backend;
    test::TFakeTickClock Clock{500000};
    TSystemTime Now;
    std::unique_ptr<TDatabase> Database;
    std::unique_ptr<TRasManager> Manager;
};

TEST_F(RasManagerTest, TwoConnectionsFirstSeenInOneSecondGetSerialsZeroToThree) {
    Backend.Up = {"Office", "Home"};
    Manager->Pass();
    EXPECT_EQ(Records(), (TComputerData::TPropertyList{
                             {"$2026-12-07/23:14.02", "!New Connection! Office"},
                             {"$2026-12-07/23:14.02#0001", "!Online! Office since 0 seconds"},
                             {"$2026-12-07/23:14.02#0002", "!New Connection! Home"},
                             {"$2026-12-07/23:14.02#0003", "!Online! Home since 0 seconds"}}));
    EXPECT_EQ(Manager->ActiveConnectionName(), "Home"); // alphabetically first
    EXPECT_TRUE(MonitorPassDone);
}

TEST_F(RasManagerTest, AFinishedSessionLeavesExactlyItsStartAndItsEnd) {
    Backend.Up = {"Office"};
    Manager->Pass(); // 23:14:02, first seen
    const std::int32_t afterFirst = GetComputerJournalEnd(OwnComputerName);
    for (int i = 0; i < 75; ++i) {
        NextSecond();
        Manager->Pass();
    }
    // While up, every pass moves the Online record: two journal entries a second.
    EXPECT_EQ(GetComputerJournalEnd(OwnComputerName), afterFirst + 2 * 75);
    ASSERT_EQ(Records().size(), 2u);
    EXPECT_EQ(Records()[1].second, "!Online! Office since 75 seconds");

    Backend.Up.clear(); // gone by the next pass
    NextSecond();
    Manager->Pass();
    // The last pass that saw it up was 23:15:17; it was found gone 76 s after it was first seen.
    EXPECT_EQ(Records(),
              (TComputerData::TPropertyList{
                  {"$2026-12-07/23:14.02", "!New Connection! Office"},
                  {"$2026-12-07/23:15.17", "!Connection Dropped! Office after 76 seconds"}}));
    EXPECT_EQ(Manager->ActiveConnectionName(), "");
}

TEST_F(RasManagerTest, NothingChangesWhileDialingAndAConnectionMadeMeanwhileIsNew) {
    DialingInProgress = true;
    Backend.Up = {"Home"};
    MonitorPassDone = false;
    Manager->Tick();
    EXPECT_TRUE(Records().empty());
    EXPECT_FALSE(MonitorPassDone);
    DialingInProgress = false;
    NextSecond();
    Manager->Tick();
    ASSERT_EQ(Records().size(), 2u);
    EXPECT_EQ(Records()[0].second, "!New Connection! Home");
    EXPECT_TRUE(MonitorPassDone);
}

TEST_F(RasManagerTest, EntryNamesAreAppendedCaseSensitivelyInOrderFirstSeen) {
    Backend.Up = {"Home"};
    Manager->Pass();
    EXPECT_EQ(Own(kEntryListKey), "Home");
    Backend.Up = {"Office"};
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own(kEntryListKey), "Home,Office");
    Backend.Up = {"Home"}; // seen again: already listed
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own(kEntryListKey), "Home,Office");
    Backend.Up = {"home"}; // the same connection as far as the monitor goes: not new
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own(kEntryListKey), "Home,Office");
    Backend.Up = {};
    NextSecond();
    Manager->Pass();
    Backend.Up = {"home"}; // a new connection; the list compares with case
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own(kEntryListKey), "Home,Office,home");
}

TEST_F(RasManagerTest, TheLegacyListIsReadFirstAndDroppedWhenTheListIsRewritten) {
    SetComputerProperty(OwnComputerName, kLegacyEntryListKey, "Home");
    Backend.Up = {"Home"};
    Manager->Pass();
    EXPECT_EQ(Own(kLegacyEntryListKey), "Home");
    EXPECT_EQ(Own(kEntryListKey), "");
    Backend.Up = {"Office"};
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own(kLegacyEntryListKey), "");
    EXPECT_EQ(Own(kEntryListKey), "Home,Office");
}

TEST_F(RasManagerTest, AFailedEnumerationIsReportedAndDropsNothing) {
    Backend.Up = {"Home"};
    Manager->Pass();
    const auto before = Records();
    Backend.EnumError = 603;
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own("RasError"), "scripted error 603");
    EXPECT_EQ(Records(), before);
    EXPECT_EQ(Manager->ActiveConnectionName(), "Home");
    const std::int32_t end = GetComputerJournalEnd(OwnComputerName);
    NextSecond();
    Manager->Pass(); // the same error again is no change
    EXPECT_EQ(GetComputerJournalEnd(OwnComputerName), end);

    Backend.EnumError = 0;
    NextSecond();
    Manager->Pass();
    EXPECT_EQ(Own("RasError"), "");
    EXPECT_EQ(Records().size(), 2u);
}

TEST_F(RasManagerTest, AConnectionNotConnectedOrWithoutStatusCountsAsDown) {
    Backend.Up = {"Home", "Office"};
    Manager->Pass();
    Backend.Up = {};
    Backend.NotConnected = {"Home"};
    Backend.StatusFails = {"Office"};
    NextSecond();
    Manager->Pass();
    const auto records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(std::count_if(
                  records.begin(), records.end(),
                  [](const auto& r) { return r.second.rfind("!Connection Dropped! ", 0) == 0; }),
              2);
    EXPECT_EQ(Manager->ActiveConnectionName(), "");
}

TEST_F(RasManagerTest, TheThreadPassesOnceASecondAndStopsPromptly) {
    auto realTime = std::make_unique<TRasManager>(Backend, SystemTickClock());
    Backend.Up = {"Home"};
    MonitorPassDone = false;
    realTime->Start();
    // The name is in place a moment before the pass reports itself done: wait for both.
    for (int i = 0; i < 30 && (realTime->ActiveConnectionName().empty() || !MonitorPassDone); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(realTime->ActiveConnectionName(), "Home");
    EXPECT_TRUE(MonitorPassDone);
    const auto stopping = std::chrono::steady_clock::now();
    realTime.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(500));
}

} // namespace
} // namespace harbolt
