#include "dialup/DialBudget.h"

#include "dialup/ConnectionStatistics.h"
#include "dialup/Dialer.h"
#include "dialup/EventId.h"
#include "platform/Exceptions.h"

namespace harbolt {

namespace {

std::int64_t LimitOf(const std::string& text) {
    return static_cast<std::int64_t>(DialerNumber(text));
}

// Days since 1970-01-01 of a proleptic Gregorian date (any month and day numbers).
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::int64_t MinuteNumber(std::int64_t year, std::int64_t month, std::int64_t day,
                          std::int64_t hour, std::int64_t minute) {
    return (DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute;
}

} // namespace

TDialBudgetLimits ReadDialBudgetLimits(const TComputerData& computer) {
    return {LimitOf(computer.GetProperty("AutoDialMonthlyMinutes")),
            LimitOf(computer.GetProperty("AutoDialMaxDialsPerHour"))};
}

TDialBudget ComputeDialBudget(const TComputerData& computer, const TSystemTime& now) {
    const TDialBudgetLimits limits = ReadDialBudgetLimits(computer);
    TDialBudget budget;
    budget.MinutesAllowed = limits.MonthlyMinutes;
    budget.DialsAllowed = limits.DialsPerHour;
    const std::string entry = computer.GetProperty("AutoDialPhoneBookEntry");

    // Day 31 closes every month: dates only compare.
    const TDateRange month{{now.Year, now.Month, 1}, {now.Year, now.Month, 31}};
    budget.MinutesUsed = SummariseConnections({&computer}, entry, month).Minutes;

    const std::int64_t nowMinute = MinuteNumber(now.Year, now.Month, now.Day, now.Hour, now.Minute);
    for (const auto& [key, value] : computer.Properties()) {
        if (!IsEventID(key))
            continue;
        TConnectionRecord record;
        try {
            record = ParseConnectionRecord(value);
        } catch (const Exception&) {
            continue;
        }
        if (!record.Recognised || record.Kind != TConnectionRecordKind::New || record.Name != entry)
            continue;
        const TEventID moment = StringToEventID(key);
        const std::int64_t age = nowMinute - MinuteNumber(moment.Year, moment.Month, moment.Day,
                                                          moment.Hour, moment.Minute);
        if (age >= 0 && age < 60)
            ++budget.DialsLastHour;
    }
    budget.Blocked = (budget.MinutesAllowed > 0 && budget.MinutesUsed >= budget.MinutesAllowed) ||
                     (budget.DialsAllowed > 0 && budget.DialsLastHour >= budget.DialsAllowed);
    return budget;
}

} // namespace harbolt
