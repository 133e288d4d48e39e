#pragma once

// The cost guard's arithmetic: how much of its monthly online minutes and hourly dials the own
// computer has used, from its own dial-up records. Pure, so that every computer can work out
// any computer's budget from the replicated records alone.

#include "database/ComputerData.h"
#include "platform/Clock.h"

#include <cstdint>
#include <string>

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

} // namespace harbolt
