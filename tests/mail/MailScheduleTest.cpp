#include "mail/MailAccounts.h"
#include "mail/MailCheck.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace harbolt {
namespace {

// The schedule with a list of two mailboxes whose checks are only counted.
class MailScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        NewMailArrived = false;
        List = std::make_unique<TPop3Accounts>();
        for (const char* name : {"A", "B"}) {
            auto account = std::make_unique<TPop3Account>();
            account->Name = name;
            List->Accounts.push_back(std::move(account));
        }
        SetMailCheckStarter([this](std::uint64_t id) { Started.push_back(id); });
    }
    void TearDown() override {
        SetMailCheckStarter({});
        List.reset();
        NewMailArrived = false;
    }
    // The checks end at once.
    void EndChecks() {
        for (const auto& account : List->Accounts)
            account->Checking = false;
    }
    // Ticks until a cycle fires; the number of ticks (0 when none within limit).
    int TicksToCycle(TMailSchedule& schedule, int limit) {
        const std::size_t before = Started.size();
        for (int tick = 1; tick <= limit; ++tick) {
            schedule.Tick();
            if (Started.size() != before)
                return tick;
        }
        return 0;
    }

    std::unique_ptr<TPop3Accounts> List;
    std::vector<std::uint64_t> Started;
    std::vector<std::string> Played;
};

TEST_F(MailScheduleTest, CyclesEveryFrequencyMinutesAndChangesAfterTheRunningCount) {
    TMailSchedule schedule([this](const std::string& file) { Played.push_back(file); });
    EXPECT_EQ(schedule.MailCountdown, 0);
    EXPECT_EQ(TicksToCycle(schedule, 1000), 180);
    EXPECT_EQ(Started, (std::vector<std::uint64_t>{List->Accounts[0]->Id, List->Accounts[1]->Id}));
    EXPECT_TRUE(List->Accounts[0]->Checking);
    EndChecks();
    EXPECT_EQ(TicksToCycle(schedule, 1000), 180);
    EndChecks();

    List->Frequency = 1;
    EXPECT_EQ(TicksToCycle(schedule, 1000), 180); // the count running at the change
    EndChecks();
    EXPECT_EQ(TicksToCycle(schedule, 1000), 60);
    EXPECT_TRUE(Played.empty());
}

TEST_F(MailScheduleTest, AccountStillBeingCheckedIsSkipped) {
    TMailSchedule schedule(nullptr);
    List->Frequency = 1;
    EXPECT_EQ(TicksToCycle(schedule, 100), 60);
    EXPECT_EQ(Started.size(), 2u);
    List->Accounts[1]->Checking = false; // B is done, A still runs
    EXPECT_EQ(TicksToCycle(schedule, 100), 60);
    EXPECT_EQ(Started.size(), 3u);
    EXPECT_EQ(Started.back(), List->Accounts[1]->Id);

    // Nothing free: the cycle starts nothing.
    schedule.MailCountdown = 1;
    schedule.Tick();
    EXPECT_EQ(Started.size(), 3u);
    EXPECT_EQ(schedule.MailCountdown, 60);
}

TEST_F(MailScheduleTest, NewMailPlaysTheSoundAndShowsTheNoticeForAMinute) {
    List->SoundFile = "bell.wav";
    TMailSchedule schedule([this](const std::string& file) { Played.push_back(file); });
    schedule.Tick();
    EXPECT_EQ(schedule.MailIconCountdown, 0);

    NewMailArrived = true;
    schedule.Tick();
    EXPECT_FALSE(NewMailArrived);
    EXPECT_EQ(Played, std::vector<std::string>{"bell.wav"});
    // Set to 60, and this second already counts.
    EXPECT_EQ(schedule.MailIconCountdown, 59);
    for (int i = 0; i < 59; ++i)
        schedule.Tick();
    EXPECT_EQ(schedule.MailIconCountdown, 0);
    EXPECT_EQ(Played.size(), 1u);

    // Without a player the notice still shows.
    TMailSchedule silent(nullptr);
    NewMailArrived = true;
    silent.Tick();
    EXPECT_EQ(silent.MailIconCountdown, 59);
}

TEST_F(MailScheduleTest, WithoutAListNothingHappens) {
    TMailSchedule schedule([this](const std::string& file) { Played.push_back(file); });
    List.reset();
    NewMailArrived = true;
    for (int i = 0; i < 200; ++i)
        schedule.Tick();
    EXPECT_EQ(schedule.MailCountdown, 0);
    EXPECT_TRUE(NewMailArrived);
    EXPECT_TRUE(Played.empty());
}

// A frequency from a damaged file: never a check, and no overflow of the count-down.
TEST_F(MailScheduleTest, OutlandishFrequenciesStartNothing) {
    TMailSchedule schedule(nullptr);
    for (std::int32_t frequency : {0, -5, 0x7fffffff}) {
        List->Frequency = frequency;
        schedule.MailCountdown = 0;
        EXPECT_EQ(TicksToCycle(schedule, 200), 0) << frequency;
    }
}

} // namespace
} // namespace harbolt
