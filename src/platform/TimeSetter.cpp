#include "platform/TimeSetter.h"

#include "platform/EventLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace harbolt {

std::string SystemTimeText(const TSystemTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4u-%.2u-%.2u %.2u:%.2u:%.2u.%.3u", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second, t.Milliseconds);
    return text;
}

void TSystemTimeSetter::SetLocalTime(const TSystemTime& time) {
    tm local = ToTm(time);
    const time_t seconds = mktime(&local);
    if (seconds == static_cast<time_t>(-1))
        return;
    const timespec ts{seconds, static_cast<long>(time.Milliseconds % 1000) * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0 && !RefusalReported) {
        RefusalReported = true;
        LogEvent(TEventLevel::Warning,
                 std::string("cannot set the clock from the time master: ") + std::strerror(errno));
    }
}

void TRecordingTimeSetter::SetLocalTime(const TSystemTime& time) {
    std::lock_guard<std::mutex> guard(Lock);
    if (std::FILE* file = std::fopen(Path.c_str(), "a")) {
        std::fprintf(file, "%s\n", SystemTimeText(time).c_str());
        std::fclose(file);
    }
}

} // namespace harbolt
