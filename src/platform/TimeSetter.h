#pragma once

#include "platform/Clock.h"

#include <mutex>
#include <string>

namespace harbolt {

// Sets the local clock when the time master's datagrams arrive.
class TTimeSetter {
public:
    virtual ~TTimeSetter() = default;
    virtual void SetLocalTime(const TSystemTime& time) = 0;
};

// The real clock (needs CAP_SYS_TIME). A refusal is reported once on standard error, then
// ignored.
class TSystemTimeSetter final : public TTimeSetter {
public:
    void SetLocalTime(const TSystemTime& time) override;

private:
    bool RefusalReported = false;
};

// Leaves the clock alone and appends each time it would set to a file, one line
// "YYYY-MM-DD hh:mm:ss.mmm" each: for tests and for trying the time master out.
class TRecordingTimeSetter final : public TTimeSetter {
public:
    explicit TRecordingTimeSetter(std::string path) : Path(std::move(path)) {}
    void SetLocalTime(const TSystemTime& time) override;

private:
    std::string Path;
    std::mutex Lock;
};

// "YYYY-MM-DD hh:mm:ss.mmm"
std::string SystemTimeText(const TSystemTime& time);

} // namespace harbolt
