#pragma once

// The cost guard's arithmetic: how much of its monthly online minutes and hourly dials the own
// computer has used, from its own dial-up records. Pure, so that every computer can work out
// any computer's budget from the replicated records alone.

#include "database/ComputerData.h"
#include "dialup/EventId.h"
#include "platform/Clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harbolt {

// The limits, read as the dialer reads numbers: plain digits (at most 9); empty, 0 or anything
// else means no limit, given as 0.
struct TDialBudgetLimits {
    std::int64_t MonthlyMinutes = 0; // "AutoDialMonthlyMinutes"
    std::int64_t DialsPerHour = 0;   // "AutoDialMaxDialsPerHour"
};

TDialBudgetLimits ReadDialBudgetLimits(const TComputerData& computer);

struct TDialBudget {
    std::int64_t MinutesUsed = 0;    // this calendar month, through "AutoDialPhoneBookEntry"
    std::int64_t MinutesAllowed = 0; // 0: no limit
    std::int64_t DialsLastHour = 0;  // connections made in the 60 minutes up to now
    std::int64_t DialsAllowed = 0;   // 0: no limit
    bool Blocked = false;            // a limit is reached: dial on demand must not dial
};

// The budget of the computer at local time now. Minutes are the records of its
// "AutoDialPhoneBookEntry" whose moment lies in now's calendar month, each started minute counted
// in full, a connection still up with the minutes its latest record holds. Dials are the New
// records of that entry whose minute lies within the last 60 minutes (the current one included).
TDialBudget ComputeDialBudget(const TComputerData& computer, const TSystemTime& now);

// One dial of a computer's "AutoDialPhoneBookEntry", as its records tell it.
struct TDialEntry {
    TEventID Start; // the dial's cause record; for a connection without one, its first record
    std::optional<std::int64_t> Minutes; // online, started minutes in full; nullopt: not connected
    std::string Cause; // Windows-1252; empty for a connection without a cause record
};

// The dials whose start lies in the month, oldest first. A cause record goes with the first
// connection that starts after it and before the next cause record; a cause without such a
// connection is a dial that brought none, a connection without a cause one made otherwise.
std::vector<TDialEntry> ListDials(const TComputerData& computer, int year, int month);

// The own computer's budget at the local time now, taken under the database lock (no budget
// without a database). When it is first found spent, and when it is first found free again, one
// line goes to the events log.
TDialBudget OwnDialBudget();

// "1 of 1 min this month, 1 of 2 dials in the last hour; spent: dial on demand is off", or
// "3 min this month, 1 dial in the last hour, no limits".
std::string DialBudgetText(const TDialBudget& budget);

} // namespace harbolt
