#pragma once

#include "platform/Clock.h"

#include <atomic>
#include <cstdint>

namespace harbolt::test {

// Ticks that move only when the test says so. Threads of the code under test may read it while
// the test advances it. Pick the start to put a wrap of the 32-bit tick count where it matters.
class TFakeTickClock final : public TTickClock {
public:
    explicit TFakeTickClock(std::uint32_t start = 100000) : fNow(start) {}
    std::uint32_t Now() const override { return fNow.load(); }
    void Set(std::uint32_t ticks) { fNow = ticks; }
    void Advance(std::uint32_t milliseconds) { fNow += milliseconds; }

private:
    std::atomic<std::uint32_t> fNow;
};

} // namespace harbolt::test
