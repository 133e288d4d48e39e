#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace harbolt {

// Milliseconds of the monotonic clock, truncated to 32 bits. Elapsed times are unsigned
// differences, which stay right across the wrap after 49.7 days.
std::uint32_t GetTickCount();

inline std::uint32_t TicksSince(std::uint32_t start, std::uint32_t now) {
    return now - start;
}

// Logic that ages or waits takes a tick clock, so tests can advance time instead of sleeping.
class TTickClock {
public:
    virtual ~TTickClock() = default;
    virtual std::uint32_t Now() const = 0;
};

// The monotonic clock above.
const TTickClock& SystemTickClock();

// A local date and time: the eight 16-bit fields in the order the data file stores them.
struct TSystemTime {
    std::uint16_t Year = 1980;
    std::uint16_t Month = 1;
    std::uint16_t DayOfWeek = 0;
    std::uint16_t Day = 1;
    std::uint16_t Hour = 0;
    std::uint16_t Minute = 0;
    std::uint16_t Second = 0;
    std::uint16_t Milliseconds = 0;

    bool operator==(const TSystemTime&) const = default;
};

// The current local time (real-time clock, local time zone).
TSystemTime GetLocalTime();

// Milliseconds of the real-time clock since 1970 (UTC): time stamps other computers compare.
std::int64_t UnixMilliseconds();

// The broken-down time of the C library (tm_isdst -1: let the time zone decide).
std::tm ToTm(const TSystemTime& time);

// A date and a time of day (hours and minutes) in the locale's short formats, as the locale's
// character set gives them (UTF-8 in a UTF-8 locale).
std::string ShortDateText(const TSystemTime& time);
std::string ShortTimeText(const TSystemTime& time);

} // namespace harbolt
