#include "support/TestSupport.h"

namespace harbolt::test {

void TPostedTasks::RunPosted() {
    for (int round = 0; round < 100; ++round) {
        std::function<void()> task;
        {
            const std::lock_guard guard(fLock);
            if (fTasks.empty())
                return;
            task = std::move(fTasks.front());
            fTasks.pop_front();
        }
        task();
    }
    ADD_FAILURE() << "the posted tasks do not end";
}

std::size_t TPostedTasks::PostedCount() {
    const std::lock_guard guard(fLock);
    return fTasks.size();
}

} // namespace harbolt::test
