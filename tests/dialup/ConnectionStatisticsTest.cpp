#include "dialup/ConnectionStatistics.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>

namespace harbolt {
namespace {

// Computers with dial-up records, as the monitor writes them into their properties.
class ConnectionStatisticsTest : public ::testing::Test {
protected:
    TComputerData& Computer(const std::string& name) {
        Computers.push_back(std::make_unique<TComputerData>());
        Computers.back()->SetName(name);
        return *Computers.back();
    }
    // A New record at key and its moving Online record a second later.
    static void Session(TComputerData& computer, const std::string& day, const std::string& time,
                        const std::string& name, std::int32_t seconds) {
        computer.SetProperty("$" + day + "/" + time, NewConnectionRecord(name));
        computer.SetProperty("$" + day + "/" + time + "#0001", OnlineRecord(name, seconds));
    }
    TStatisticsScope Scope() const {
        TStatisticsScope scope;
        for (const auto& computer : Computers)
            scope.push_back(computer.get());
        return scope;
    }

    std::vector<std::unique_ptr<TComputerData>> Computers;
    const TDateRange December{{2026, 12, 1}, {2027, 1, 1}};
};

TEST_F(ConnectionStatisticsTest, StartedMinutesCountInFullPerRecord) {
    TComputerData& alpha = Computer("ALPHA");
    Session(alpha, "2026-12-02", "10:00.00", "Provider", 1);
    EXPECT_EQ(SummariseConnections(Scope(), "Provider", December).Minutes, 1);
    Session(alpha, "2026-12-03", "10:00.00", "Provider", 60);
    Session(alpha, "2026-12-04", "10:00.00", "Provider", 61);
    const TConnectionSummary summary = SummariseConnections(Scope(), "Provider", December);
    EXPECT_EQ(summary.Count, 3);
    EXPECT_EQ(summary.Minutes, 1 + 1 + 2);

    // Three half minutes are three started minutes, not one and a half.
    TComputerData& beta = Computer("BETA");
    for (const char* day : {"2026-12-05", "2026-12-06", "2026-12-07"})
        Session(beta, day, "08:00.00", "Provider", 30);
    TStatisticsScope betaOnly{&beta};
    EXPECT_EQ(SummariseConnections(betaOnly, "Provider", December).Minutes, 3);
    EXPECT_EQ(SummariseConnections(Scope(), "Provider", December).Minutes, 7);
    EXPECT_EQ(DurationText(60), "60 min");
}

TEST_F(ConnectionStatisticsTest, RangeIsInclusiveAndAnInvertedRangeMatchesNothing) {
    TComputerData& alpha = Computer("ALPHA");
    Session(alpha, "2027-01-01", "23:59.59", "Provider", 120); // first day of the next month
    Session(alpha, "2027-01-02", "00:00.00", "Provider", 120);
    Session(alpha, "2026-11-30", "23:59.59", "Provider", 120);
    const TDateRange range = MonthRange(TSystemTime{2026, 12, 3, 9, 12, 0, 0, 0});
    EXPECT_EQ(range.From, (TDate{2026, 12, 1}));
    EXPECT_EQ(range.To, (TDate{2027, 1, 1}));
    EXPECT_EQ(SummariseConnections(Scope(), "Provider", range).Count, 1);
    EXPECT_EQ(MonthRange(TSystemTime{2026, 5, 0, 31}).To, (TDate{2026, 6, 1}));

    const TDateRange inverted{{2027, 1, 1}, {2026, 12, 1}};
    const TConnectionSummary none = SummariseConnections(Scope(), "Provider", inverted);
    EXPECT_EQ(none.Count, 0);
    EXPECT_EQ(DurationText(static_cast<int>(none.Minutes)), "");
    EXPECT_TRUE(CollectOverviewRows(Scope(), "Provider", inverted).empty());
}

TEST_F(ConnectionStatisticsTest, CountsCompareNamesExactlyAndSkipWhatIsNoRecord) {
    TComputerData& alpha = Computer("ALPHA");
    Session(alpha, "2026-12-02", "10:00.00", "Provider", 600);
    Session(alpha, "2026-12-02", "11:00.00", "provider", 600);
    alpha.SetProperty("$2026-12-02/12:00.00", "no record at all");
    alpha.SetProperty("$2026-12-02/13:00.00", "!Online! Provider since many seconds");
    alpha.SetProperty("Note", NewConnectionRecord("Provider")); // not an event ID
    const TConnectionSummary summary = SummariseConnections(Scope(), "Provider", December);
    EXPECT_EQ(summary.Count, 1);
    EXPECT_EQ(summary.Minutes, 10);
}

TEST_F(ConnectionStatisticsTest, NameListKeepsOrderDeduplicatesAndForgetsVanishedNames) {
    TComputerData& alpha = Computer("ALPHA");
    TComputerData& beta = Computer("BETA");
    alpha.SetProperty("RAS-Phonebook-entries", "Provider,,LTE,");
    beta.SetProperty("RAS-Phonebook-entries", "Ignored");
    beta.SetProperty("DF\xDC-Verbindungen", "lte,Satellite"); // the older key wins when set
    std::vector<std::string> names{"Gone", "Satellite"};
    RefreshConnectionNames(names, Scope());
    EXPECT_EQ(names, (std::vector<std::string>{"Satellite", "Provider", "LTE"}));

    alpha.SetProperty("RAS-Phonebook-entries", "Provider");
    RefreshConnectionNames(names, Scope());
    EXPECT_EQ(names, (std::vector<std::string>{"Satellite", "Provider", "LTE"}));
    beta.SetProperty("DF\xDC-Verbindungen", "");
    beta.SetProperty("RAS-Phonebook-entries", "");
    RefreshConnectionNames(names, Scope());
    EXPECT_EQ(names, (std::vector<std::string>{"Provider"}));
}

TEST_F(ConnectionStatisticsTest, OverviewRowsSortByStartAndDropImpossibleDates) {
    TComputerData& alpha = Computer("ALPHA");
    TComputerData& beta = Computer("BETA");
    Session(beta, "2026-12-09", "08:30.00", "Provider", 90);
    Session(alpha, "2026-12-10", "07:00.00", "Provider", 30);
    Session(alpha, "2026-12-02", "22:15.00", "Provider", 3600);
    // A record whose connection began before the range starts at its own moment.
    alpha.SetProperty("$2026-12-01/00:10.00", OnlineRecord("Provider", 1200));
    Session(beta, "2026-12-31", "23:00.00", "Provider", 60);

    const auto rows = CollectOverviewRows(Scope(), "Provider", December);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].Start, (TEventID{2026, 12, 1, 0, 10, 0, 0}));
    EXPECT_EQ(rows[1].Start.Day, 2);
    EXPECT_EQ(rows[1].Minutes, 60);
    EXPECT_EQ(rows[2].Computer, "BETA");
    EXPECT_EQ(rows[2].Minutes, 2);
    EXPECT_EQ(rows[3].Start.Day, 10);
    EXPECT_EQ(rows[4].Start.Day, 31);

    std::vector<TOverviewRow> withImpossible = rows;
    withImpossible[1].Start.Day = 31;
    withImpossible[1].Start.Month = 11; // 31 November
    const auto lines = OverviewLines(withImpossible);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Number, "1");
    EXPECT_EQ(lines[1].Number, "3"); // the dropped row keeps its number
    EXPECT_EQ(lines[1].Computer, "BETA");
    EXPECT_EQ(lines[1].Duration, "2 min");
}

} // namespace
} // namespace harbolt
