#pragma once

#include "database/ComputerData.h"
#include "dialup/EventId.h"
#include "platform/Clock.h"

#include <cstdint>
#include <string>
#include <vector>

// The dial-up statistics: which connection names the computers use, how often and how long each
// was online in a date range, and the individual sessions. Pure functions of the replicated
// dial-up records; the statistics views only show what these compute. Names are Windows-1252.
namespace harbolt {

struct TDate {
    int Year = 0;
    int Month = 0;
    int Day = 0;

    // Dates compare through year * 10000 + month * 100 + day.
    std::int64_t DayNumber() const {
        return static_cast<std::int64_t>(Year) * 10000 + Month * 100 + Day;
    }
    bool operator==(const TDate&) const = default;
};

// Both ends inclusive; a range whose end lies before its start matches nothing.
struct TDateRange {
    TDate From;
    TDate To;
};

// The current month: its first day to the first day of the next month (both inclusive).
TDateRange MonthRange(const TSystemTime& today);

bool DateInRange(const TDateRange& range, const TDate& date);

// The computers a view covers: one computer's tab, or every computer of the roster in roster
// order on the overall tab.
using TStatisticsScope = std::vector<const TComputerData*>;

// Brings names (the list of connection names, in the order first found) up to date with the
// names the computers of scope list: "DFÜ-Verbindungen", else "RAS-Phonebook-entries".
// Names already listed keep their place (compared ignoring case), new ones go to the end, names
// no computer lists any more are removed.
void RefreshConnectionNames(std::vector<std::string>& names, const TStatisticsScope& scope);

struct TConnectionSummary {
    int Count = 0;            // connections made (New records)
    std::int64_t Minutes = 0; // online time, each record's started minute counted in full
};

// The records of the connection name (compared exactly) whose moment lies in range.
TConnectionSummary SummariseConnections(const TStatisticsScope& scope, const std::string& name,
                                        const TDateRange& range);

// DurationText of a sum of minutes, however large.
std::string MinutesText(std::int64_t minutes);

// One connection of the overview: its start, the computer's name as stored, whole minutes.
struct TOverviewRow {
    TEventID Start;
    std::string Computer;
    std::int64_t Minutes = 0;
};

// The sessions of the connection name in range, sorted by the minute of their start. A session
// whose New record lies before the range (or is missing) starts at its own record's moment.
std::vector<TOverviewRow> CollectOverviewRows(const TStatisticsScope& scope,
                                              const std::string& name, const TDateRange& range);

// A row of the overview's grid, UTF-8: running number, start date and time in the locale's
// short formats, computer, duration.
struct TOverviewLine {
    std::string Number;
    std::string Date;
    std::string Time;
    std::string Computer;
    std::string Duration;
};

// The grid's lines for sorted rows. A row whose start is no real date is left out, but still
// takes its running number, so the numbers show the gap.
std::vector<TOverviewLine> OverviewLines(const std::vector<TOverviewRow>& rows);

} // namespace harbolt
