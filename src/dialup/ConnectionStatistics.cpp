#include "dialup/ConnectionStatistics.h"

#include "platform/CodePage.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace harbolt {

namespace {

const char* const kLegacyEntryListKey = "DF\xDC-Verbindungen";
const char* const kEntryListKey = "RAS-Phonebook-entries";

TDate DateOf(const TEventID& id) {
    return {id.Year, id.Month, id.Day};
}

// A started minute counts in full.
std::int64_t WholeMinutes(std::int64_t milliseconds) {
    return (milliseconds + 59999) / 60000;
}

// The dial-up records of one computer within range and of the connection name, in key order.
// Calls visit(moment, record) for each.
template <typename TVisit>
void ForEachRecord(const TComputerData& computer, const std::string& name, const TDateRange& range,
                   TVisit&& visit) {
    for (const auto& [key, value] : computer.Properties()) {
        if (!IsEventID(key))
            continue;
        const TEventID moment = StringToEventID(key);
        if (!DateInRange(range, DateOf(moment)))
            continue;
        TConnectionRecord record;
        try {
            record = ParseConnectionRecord(value);
        } catch (const Exception&) {
            continue; // a damaged duration: no dial-up record
        }
        if (record.Recognised && record.Name == name)
            visit(moment, record);
    }
}

bool IsRealDate(const TEventID& id) {
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (id.Year < 1 || id.Year > 9999 || id.Month < 1 || id.Month > 12 || id.Day < 1 ||
        id.Hour < 0 || id.Hour > 23 || id.Minute < 0 || id.Minute > 59)
        return false;
    const bool leap = (id.Year % 4 == 0 && id.Year % 100 != 0) || id.Year % 400 == 0;
    const int days = id.Month == 2 && !leap ? 28 : kDays[id.Month - 1];
    return id.Day <= days;
}

std::string SortKey(const TEventID& id) {
    char key[64];
    std::snprintf(key, sizeof key, "%.4d%.2d%.2d%.2d%.2d", id.Year, id.Month, id.Day, id.Hour,
                  id.Minute);
    return key;
}

} // namespace

std::string MinutesText(std::int64_t minutes) {
    return DurationText(static_cast<int>(std::clamp<std::int64_t>(minutes, 0, 0x7fffffff)));
}

TDateRange MonthRange(const TSystemTime& today) {
    TDateRange range;
    range.From = {today.Year, today.Month, 1};
    range.To =
        today.Month >= 12 ? TDate{today.Year + 1, 1, 1} : TDate{today.Year, today.Month + 1, 1};
    return range;
}

bool DateInRange(const TDateRange& range, const TDate& date) {
    return range.From.DayNumber() <= date.DayNumber() && date.DayNumber() <= range.To.DayNumber();
}

void RefreshConnectionNames(std::vector<std::string>& names, const TStatisticsScope& scope) {
    std::vector<bool> seen(names.size(), false);
    for (const TComputerData* computer : scope) {
        std::string list = computer->GetProperty(kLegacyEntryListKey);
        if (list.empty())
            list = computer->GetProperty(kEntryListKey);
        list += ',';
        std::size_t start = 0;
        for (std::size_t comma = list.find(','); comma != std::string::npos;
             start = comma + 1, comma = list.find(',', start)) {
            const std::string name = list.substr(start, comma - start);
            if (name.empty())
                continue;
            const auto known = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
                return AnsiCompareText(n, name) == 0;
            });
            if (known != names.end()) {
                seen[static_cast<std::size_t>(known - names.begin())] = true;
            } else {
                names.push_back(name);
                seen.push_back(true);
            }
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!seen[i])
            continue;
        if (kept != i)
            names[kept] = std::move(names[i]);
        ++kept;
    }
    names.resize(kept);
}

TConnectionSummary SummariseConnections(const TStatisticsScope& scope, const std::string& name,
                                        const TDateRange& range) {
    TConnectionSummary summary;
    for (const TComputerData* computer : scope)
        ForEachRecord(*computer, name, range,
                      [&](const TEventID&, const TConnectionRecord& record) {
                          if (record.Kind == TConnectionRecordKind::New)
                              ++summary.Count;
                          else
                              summary.Minutes += WholeMinutes(record.DurationMs);
                      });
    return summary;
}

std::vector<TOverviewRow> CollectOverviewRows(const TStatisticsScope& scope,
                                              const std::string& name, const TDateRange& range) {
    std::vector<TOverviewRow> rows;
    for (const TComputerData* computer : scope) {
        const std::string computerName = computer->Name();
        std::optional<TEventID> start;
        ForEachRecord(*computer, name, range,
                      [&](const TEventID& moment, const TConnectionRecord& record) {
                          if (record.Kind == TConnectionRecordKind::New) {
                              start = moment;
                              return;
                          }
                          rows.push_back({start.value_or(moment), computerName,
                                          WholeMinutes(record.DurationMs)});
                      });
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TOverviewRow& a, const TOverviewRow& b) {
        return SortKey(a.Start) < SortKey(b.Start);
    });
    return rows;
}

std::vector<TOverviewLine> OverviewLines(const std::vector<TOverviewRow>& rows) {
    std::vector<TOverviewLine> lines;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TEventID& start = rows[i].Start;
        if (!IsRealDate(start))
            continue;
        TSystemTime moment;
        moment.Year = static_cast<std::uint16_t>(start.Year);
        moment.Month = static_cast<std::uint16_t>(start.Month);
        moment.Day = static_cast<std::uint16_t>(start.Day);
        moment.Hour = static_cast<std::uint16_t>(start.Hour);
        moment.Minute = static_cast<std::uint16_t>(start.Minute);
        lines.push_back({std::to_string(i + 1), ShortDateText(moment), ShortTimeText(moment),
                         Cp1252ToUtf8(rows[i].Computer), MinutesText(rows[i].Minutes)});
    }
    return lines;
}

} // namespace harbolt
