#include "dialup/DialBudget.h"

#include "database/Database.h"
#include "dialup/ConnectionStatistics.h"
#include "dialup/Dialer.h"
#include "dialup/EventId.h"
#include "platform/EventLog.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <tuple>

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

// Whether the last budget computed for the own computer was spent: the events log hears of each
// change once.
std::atomic<bool> OwnBudgetSpent{false};

std::string Counted(std::int64_t used, std::int64_t allowed, const char* unit, const char* what) {
    std::string text = std::to_string(used);
    if (allowed > 0)
        text += " of " + std::to_string(allowed);
    return text + unit + what;
}

bool Before(const TEventID& a, const TEventID& b) {
    return std::tie(a.Year, a.Month, a.Day, a.Hour, a.Minute, a.Second, a.Serial) <
           std::tie(b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second, b.Serial);
}

// "1 of 1 min this month, 1 of 2 dials in the last hour"
std::string UseText(const TDialBudget& budget) {
    return Counted(budget.MinutesUsed, budget.MinutesAllowed, " min", " this month") + ", " +
           Counted(budget.DialsLastHour, budget.DialsAllowed,
                   budget.DialsAllowed == 0 && budget.DialsLastHour == 1 ? " dial" : " dials",
                   " in the last hour");
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

std::vector<TDialEntry> ListDials(const TComputerData& computer, int year, int month) {
    const std::string entry = computer.GetProperty("AutoDialPhoneBookEntry");
    const TDateRange range{{year, month, 1}, {year, month, 31}};
    const std::vector<TOverviewRow> sessions = CollectOverviewRows({&computer}, entry, range);

    std::vector<TDialEntry> causes;
    for (const auto& [key, value] : computer.Properties()) {
        if (!IsEventID(key))
            continue;
        std::optional<std::string> cause = ParseDialCause(value);
        const TEventID moment = StringToEventID(key);
        if (cause && moment.Year == year && moment.Month == month)
            causes.push_back({moment, std::nullopt, std::move(*cause)});
    }
    std::sort(causes.begin(), causes.end(),
              [](const TDialEntry& a, const TDialEntry& b) { return Before(a.Start, b.Start); });

    std::vector<TDialEntry> dials;
    std::vector<bool> taken(sessions.size(), false);
    for (std::size_t i = 0; i < causes.size(); ++i) {
        TDialEntry dial = causes[i];
        for (std::size_t j = 0; j < sessions.size(); ++j) {
            const TEventID& start = sessions[j].Start;
            if (taken[j] || Before(start, dial.Start))
                continue;
            if (i + 1 < causes.size() && !Before(start, causes[i + 1].Start))
                break;
            taken[j] = true;
            dial.Minutes = sessions[j].Minutes;
            break;
        }
        dials.push_back(std::move(dial));
    }
    for (std::size_t j = 0; j < sessions.size(); ++j)
        if (!taken[j])
            dials.push_back({sessions[j].Start, sessions[j].Minutes, {}});
    std::stable_sort(dials.begin(), dials.end(), [](const TDialEntry& a, const TDialEntry& b) {
        return Before(a.Start, b.Start);
    });
    return dials;
}

TDialBudget OwnDialBudget() {
    TDialBudget budget;
    {
        const std::lock_guard lock(DatabaseLock);
        if (TheDatabase == nullptr)
            return budget;
        budget = ComputeDialBudget(TheDatabase->FindComputer(OwnComputerName), GetLocalTime());
    }
    if (OwnBudgetSpent.exchange(budget.Blocked) != budget.Blocked) {
        if (budget.Blocked)
            LogEvent(TEventLevel::Warning, "dial budget spent: " + UseText(budget) +
                                               "; only an explicit connect dials until it "
                                               "frees up");
        else
            LogEvent(TEventLevel::Info, "dial budget free again: " + UseText(budget));
    }
    return budget;
}

std::string DialBudgetText(const TDialBudget& budget) {
    std::string text = UseText(budget);
    if (budget.MinutesAllowed == 0 && budget.DialsAllowed == 0)
        return text + ", no limits";
    if (budget.Blocked)
        text += "; spent: dial on demand is off";
    return text;
}

} // namespace harbolt
