#include "dialup/DialBudget.h"

#include "dialup/EventId.h"

#include <gtest/gtest.h>

#include <string>

using namespace harbolt;

namespace {

class DialBudgetTest : public ::testing::Test {
protected:
    DialBudgetTest() {
        Own.SetName("ALPHA");
        Own.SetProperty("AutoDialPhoneBookEntry", "LTE");
    }
    // A dial at key ("YYYY-MM-DD/HH:MM.SS") and the Online record of its first seconds.
    void Dial(const std::string& key, std::int32_t seconds, const std::string& entry = "LTE") {
        Own.SetProperty("$" + key, NewConnectionRecord(entry));
        Own.SetProperty("$" + key + "#0001", OnlineRecord(entry, seconds));
    }
    static TSystemTime At(int year, int month, int day, int hour, int minute) {
        TSystemTime time;
        time.Year = static_cast<std::uint16_t>(year);
        time.Month = static_cast<std::uint16_t>(month);
        time.Day = static_cast<std::uint16_t>(day);
        time.Hour = static_cast<std::uint16_t>(hour);
        time.Minute = static_cast<std::uint16_t>(minute);
        return time;
    }

    TComputerData Own;
};

TEST_F(DialBudgetTest, MinutesOfTheCalendarMonthThroughTheOwnEntry) {
    Own.SetProperty("AutoDialMonthlyMinutes", "10");
    Dial("2026-11-30/23:59.00", 600);           // last month
    Dial("2026-12-01/00:00.00", 61);            // 2 started minutes
    Dial("2026-12-31/23:00.00", 1);             // still up: its latest record counts
    Dial("2026-12-05/10:00.00", 6000, "Other"); // another entry
    TDialBudget budget = ComputeDialBudget(Own, At(2026, 12, 31, 23, 30));
    EXPECT_EQ(budget.MinutesUsed, 3);
    EXPECT_EQ(budget.MinutesAllowed, 10);
    EXPECT_FALSE(budget.Blocked);

    Own.SetProperty("$2026-12-31/23:00.00#0001", OnlineRecord("LTE", 7 * 60 + 1));
    budget = ComputeDialBudget(Own, At(2026, 12, 31, 23, 30));
    EXPECT_EQ(budget.MinutesUsed, 10);
    EXPECT_TRUE(budget.Blocked);
    EXPECT_EQ(ComputeDialBudget(Own, At(2027, 1, 1, 0, 0)).MinutesUsed, 0); // a new month

    for (const char* none : {"", "0", "ten", "10x", "-5", "1234567890"}) {
        Own.SetProperty("AutoDialMonthlyMinutes", none);
        budget = ComputeDialBudget(Own, At(2026, 12, 31, 23, 30));
        EXPECT_EQ(budget.MinutesAllowed, 0) << none;
        EXPECT_FALSE(budget.Blocked) << none;
    }
}

TEST_F(DialBudgetTest, DialsOfTheLastSixtyMinutesAcrossDayAndMonth) {
    Own.SetProperty("AutoDialMaxDialsPerHour", "2");
    Dial("2026-12-31/23:10.00", 30); // 60 minutes before: out of the window
    Dial("2026-12-31/23:11.00", 30);
    Dial("2026-12-31/23:40.00", 30, "Other");
    TDialBudget budget = ComputeDialBudget(Own, At(2027, 1, 1, 0, 10));
    EXPECT_EQ(budget.DialsLastHour, 1);
    EXPECT_FALSE(budget.Blocked);

    Dial("2027-01-01/00:10.00", 30); // this minute counts
    budget = ComputeDialBudget(Own, At(2027, 1, 1, 0, 10));
    EXPECT_EQ(budget.DialsLastHour, 2);
    EXPECT_EQ(budget.DialsAllowed, 2);
    EXPECT_TRUE(budget.Blocked);
    EXPECT_FALSE(ComputeDialBudget(Own, At(2027, 1, 1, 1, 11)).Blocked); // both aged out
}

TEST_F(DialBudgetTest, DialsPairEachCauseWithTheConnectionThatFollowedIt) {
    const auto cause = [&](const std::string& key, const std::string& text) {
        Own.SetProperty("$" + key, DialCauseRecord(text));
    };
    cause("2026-11-30/23:59.50", "last month");
    Dial("2026-12-01/00:00.05", 61); // last month's dial, connected in this one
    cause("2026-12-03/10:00.00", "10.0.0.5 www.example.com:80");
    Dial("2026-12-03/10:00.02", 125);
    cause("2026-12-03/11:00.00", "mail Office"); // brought no connection
    cause("2026-12-03/12:00.00", "10.0.0.7 DNS a.example.org");
    Dial("2026-12-03/12:00.03", 10);
    Dial("2026-12-04/08:00.00", 59);          // brought up outside
    Dial("2026-12-05/08:00.00", 59, "Other"); // another entry
    cause("2027-01-01/00:00.00", "next month");

    const std::vector<TDialEntry> dials = ListDials(Own, 2026, 12);
    ASSERT_EQ(dials.size(), 5u);
    const auto minutes = [&](std::size_t i) { return dials[i].Minutes.value_or(-1); };
    EXPECT_EQ(dials[0].Cause, "");
    EXPECT_EQ(dials[0].Start.Day, 1);
    EXPECT_EQ(minutes(0), 2);
    EXPECT_EQ(dials[1].Cause, "10.0.0.5 www.example.com:80");
    EXPECT_EQ(dials[1].Start.Second, 0); // the dial's start, before the line was up
    EXPECT_EQ(minutes(1), 3);
    EXPECT_EQ(dials[2].Cause, "mail Office");
    EXPECT_FALSE(dials[2].Minutes);
    EXPECT_EQ(dials[3].Cause, "10.0.0.7 DNS a.example.org");
    EXPECT_EQ(minutes(3), 1);
    EXPECT_EQ(dials[4].Cause, "");
    EXPECT_EQ(dials[4].Start.Day, 4);
    EXPECT_TRUE(ListDials(Own, 2026, 10).empty());
}

} // namespace
