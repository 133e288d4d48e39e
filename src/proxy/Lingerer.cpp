#include "proxy/Lingerer.h"

#include "proxy/ProxyState.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

std::uint64_t Milliseconds(std::chrono::milliseconds span) {
    return span.count() > 0 ? static_cast<std::uint64_t>(span.count()) : 0;
}

} // namespace

TLingerer::TLingerer(const TTickClock& clock, TStopSource stopSource, std::size_t capacity)
    : fClock(clock), fStopSource(std::move(stopSource)), fCapacity(capacity),
      fWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), fLastTick(clock.Now()) {
    if (fWake < 0)
        std::fprintf(stderr,
                     "harbolt: no event descriptor for the closing pauses (%s); proxied "
                     "connections close without them\n",
                     std::strerror(errno));
}

TLingerer::~TLingerer() {
    Stop();
    if (fWake >= 0)
        close(fWake);
}

bool TLingerer::Later(const TEntry& a, const TEntry& b) {
    return a.Due != b.Due ? a.Due > b.Due : a.Order > b.Order;
}

void TLingerer::ShutDownBoth(TEntry& entry) {
    // The peers see the end of the data but may still send; what they send is read by nobody.
    if (entry.First)
        shutdown(entry.First->Socket(), SHUT_WR);
    if (entry.Second)
        shutdown(entry.Second->Socket(), SHUT_WR);
    entry.ShutDown = true;
}

std::uint64_t TLingerer::ElapsedLocked() {
    const std::uint32_t now = fClock.Now();
    fElapsed += TicksSince(fLastTick, now);
    fLastTick = now;
    return fElapsed;
}

void TLingerer::PushLocked(TEntry entry) {
    entry.Order = fNextOrder++;
    fHeap.push_back(std::move(entry));
    std::push_heap(fHeap.begin(), fHeap.end(), Later);
}

std::vector<TLingerer::TEntry> TLingerer::TakeAllLocked() {
    ++fFinishRound;
    std::vector<TEntry> all;
    all.swap(fHeap);
    return all;
}

bool TLingerer::StartThreadLocked() {
    if (fThread.joinable())
        return true;
    try {
        fThread = std::thread(&TLingerer::Run, this);
        return true;
    } catch (const std::system_error& error) {
        std::fprintf(stderr,
                     "harbolt: cannot start the thread of the closing pauses (%s); this "
                     "connection closes without them\n",
                     error.what());
        return false;
    }
}

bool TLingerer::Hand(std::unique_ptr<TCommunication> first, std::unique_ptr<TCommunication> second,
                     std::chrono::milliseconds before, std::chrono::milliseconds after) {
    TEntry entry;
    entry.After = Milliseconds(after);
    entry.First = std::move(first);
    entry.Second = std::move(second);
    bool held = false;
    bool sooner = false;
    {
        const std::lock_guard lock(fLock);
        if (!fStopping && fHeap.size() >= fCapacity && !fToldFull) {
            fToldFull = true;
            std::fprintf(stderr,
                         "harbolt: %zu connections wait for their closing pause; more close "
                         "without it\n",
                         fCapacity);
        }
        if (!fStopping && fWake >= 0 && fHeap.size() < fCapacity && StartThreadLocked()) {
            entry.Due = ElapsedLocked() + Milliseconds(before);
            sooner = fHeap.empty() || Later(fHeap.front(), entry);
            PushLocked(std::move(entry));
            held = true;
        }
    }
    if (!held) {
        ShutDownBoth(entry);
        return false; // entry closes both here
    }
    if (sooner)
        Wake();
    return true;
}

void TLingerer::RunDue() {
    for (;;) {
        std::vector<TEntry> due;
        std::uint64_t round = 0;
        std::uint64_t now = 0;
        {
            const std::lock_guard lock(fLock);
            now = ElapsedLocked();
            while (!fHeap.empty() && fHeap.front().Due <= now) {
                std::pop_heap(fHeap.begin(), fHeap.end(), Later);
                due.push_back(std::move(fHeap.back()));
                fHeap.pop_back();
            }
            round = fFinishRound;
        }
        if (due.empty())
            return;
        // The system calls run outside the lock: hand-overs of other sessions do not wait.
        std::vector<TEntry> again;
        for (TEntry& entry : due) {
            if (entry.ShutDown)
                continue; // closes with `due`
            ShutDownBoth(entry);
            // The second pause counts from the shutdown, so a late step never shortens it.
            entry.Due = now + entry.After;
            again.push_back(std::move(entry));
        }
        due.clear();
        if (again.empty())
            return;
        std::vector<TEntry> finished;
        {
            const std::lock_guard lock(fLock);
            // A FinishAll or Stop while these were out of the heap applies to them as well.
            if (fStopping || fFinishRound != round)
                finished = std::move(again);
            else
                for (TEntry& entry : again)
                    PushLocked(std::move(entry));
        }
        if (!finished.empty())
            return; // they close here
    }
}

void TLingerer::Wake() {
    if (fWake < 0)
        return;
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(fWake, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the counter is full, so the descriptor is readable anyway.
}

void TLingerer::FinishAll() {
    std::vector<TEntry> all;
    {
        const std::lock_guard lock(fLock);
        all = TakeAllLocked();
    }
    for (TEntry& entry : all)
        if (!entry.ShutDown)
            ShutDownBoth(entry);
}

void TLingerer::Stop() {
    std::vector<TEntry> all;
    std::thread thread;
    {
        const std::lock_guard lock(fLock);
        fStopping = true;
        all = TakeAllLocked();
        thread = std::move(fThread);
    }
    Wake();
    if (thread.joinable())
        thread.join();
    for (TEntry& entry : all)
        if (!entry.ShutDown)
            ShutDownBoth(entry);
}

std::size_t TLingerer::Pending() const {
    const std::lock_guard lock(fLock);
    return fHeap.size();
}

void TLingerer::Run() {
    std::shared_ptr<TStopSignal> watched;  // the stop whose raising finishes everything
    std::shared_ptr<TStopSignal> finished; // a raised stop already acted on
    for (;;) {
        if (fStopSource) {
            try {
                if (std::shared_ptr<TStopSignal> current = fStopSource())
                    watched = std::move(current);
            } catch (const std::exception&) {
                // No new stop could be made: the one watched so far stays.
            }
        }
        if (watched && watched != finished && watched->Raised()) {
            FinishAll();
            finished = watched;
        }
        const bool watch = watched && watched != finished;
        int timeout = -1;
        {
            const std::lock_guard lock(fLock);
            if (fStopping)
                return;
            if (!fHeap.empty()) {
                const std::uint64_t now = ElapsedLocked();
                const std::uint64_t due = fHeap.front().Due;
                timeout =
                    due <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(due - now, INT_MAX));
            }
        }
        // A Wake between the lock and the poll leaves the counter readable: nothing is missed.
        pollfd descriptors[2] = {{fWake, POLLIN, 0},
                                 {watch ? watched->WakeDescriptor() : -1, POLLIN, 0}};
        if (poll(descriptors, watch ? 2 : 1, timeout) > 0 && (descriptors[0].revents & POLLIN)) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t read = ::read(fWake, &count, sizeof count);
        }
        RunDue();
    }
}

TLingerer& ProxyLingerer() {
    static TLingerer lingerer(SystemTickClock(), [] { return CurrentProxyStop(); });
    return lingerer;
}

} // namespace harbolt
