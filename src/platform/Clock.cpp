#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <langinfo.h>

namespace harbolt {

std::uint32_t GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

namespace {
class TMonotonicTickClock final : public TTickClock {
public:
    std::uint32_t Now() const override { return GetTickCount(); }
};
} // namespace

const TTickClock& SystemTickClock() {
    // Never destroyed: detached threads may still read the clock while the process exits.
    static const TMonotonicTickClock* const clock = new TMonotonicTickClock;
    return *clock;
}

std::int64_t UnixMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TSystemTime GetLocalTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    TSystemTime t;
    t.Year = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.Month = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.DayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    t.Day = static_cast<std::uint16_t>(local.tm_mday);
    t.Hour = static_cast<std::uint16_t>(local.tm_hour);
    t.Minute = static_cast<std::uint16_t>(local.tm_min);
    t.Second = static_cast<std::uint16_t>(local.tm_sec);
    t.Milliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
    return t;
}

tm ToTm(const TSystemTime& time) {
    tm local{};
    local.tm_year = time.Year - 1900;
    local.tm_mon = time.Month - 1;
    local.tm_mday = time.Day;
    local.tm_wday = time.DayOfWeek;
    local.tm_hour = time.Hour;
    local.tm_min = time.Minute;
    local.tm_sec = time.Second;
    local.tm_isdst = -1;
    return local;
}

namespace {
std::string FormatLocal(const TSystemTime& time, const char* format) {
    const tm local = ToTm(time);
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}
} // namespace

std::string ShortDateText(const TSystemTime& time) {
    const char* format = nl_langinfo(D_FMT);
    return FormatLocal(time, format != nullptr && format[0] != '\0' ? format : "%x");
}

std::string ShortTimeText(const TSystemTime& time) {
    return FormatLocal(time, "%H:%M");
}

} // namespace harbolt
