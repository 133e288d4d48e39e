#include "platform/Clock.h"

#include <ctime>

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
    static const TMonotonicTickClock clock;
    return clock;
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

} // namespace harbolt
