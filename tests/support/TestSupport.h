#pragma once

// What the unit tests of every area share: a tick clock the test moves by hand
// (support/FakeTickClock.h), and a stand-in for the main thread's event loop.

#include "support/FakeTickClock.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace harbolt::test {

// Tasks that threads post to the main thread, run when the test says, as its event loop would.
class TPostedTasks {
public:
    void Post(std::function<void()> task) {
        const std::lock_guard guard(fLock);
        fTasks.push_back(std::move(task));
    }

    // Runs what was posted, and what those tasks post in turn; fails the test when it never ends.
    void RunPosted();
    std::size_t PostedCount();

private:
    std::mutex fLock;
    std::deque<std::function<void()>> fTasks;
};

} // namespace harbolt::test
