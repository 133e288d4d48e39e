#pragma once

#include "net/Communication.h"
#include "platform/Clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The closing pauses of finished connections. A relay that has ended hands its two channels
// over and its thread returns; one thread for all connections shuts down both sending sides
// when the first pause is over and closes both when the second is over. Until then the peers
// can still take the last bytes, and no session thread sleeps for it.
namespace harbolt {

class TLingerer {
public:
    // Where a raised stop finishes every held channel at once (empty: no stop is watched).
    using TStopSource = std::function<std::shared_ptr<TStopSignal>()>;

    // Beyond this many held connections a hand-over closes at once: the bytes are through, only
    // the courtesy pause is lost.
    static constexpr std::size_t kDefaultCapacity = 65536;

    // clock tells when a pause is over; the thread starts with the first hand-over.
    explicit TLingerer(const TTickClock& clock, TStopSource stopSource = {},
                       std::size_t capacity = kDefaultCapacity);
    // Stop().
    ~TLingerer();
    TLingerer(const TLingerer&) = delete;
    TLingerer& operator=(const TLingerer&) = delete;

    // Takes both channels (either may be null): after `before`, shutdown(SHUT_WR) of first, then
    // second; after `after` more, both close. False when they could not be held (full, no
    // thread, stopped): then both were shut down and closed before the return.
    bool Hand(std::unique_ptr<TCommunication> first, std::unique_ptr<TCommunication> second,
              std::chrono::milliseconds before, std::chrono::milliseconds after);

    // Carries out what is due by the clock, on the calling thread. The thread does it after each
    // wait; a test that moved its clock may call it to know the step is done.
    void RunDue();
    // Makes the thread look at the clock again (its wait is for the due time it last computed).
    void Wake();
    // Shuts down and closes every held channel now.
    void FinishAll();
    // FinishAll, then the thread ends and is joined; later hand-overs close at once.
    void Stop();

    // Connections held.
    std::size_t Pending() const;

private:
    struct TEntry {
        std::uint64_t Due = 0;   // ms on the elapsed scale below
        std::uint64_t Order = 0; // hand-over order: equal dues finish first come, first served
        std::uint64_t After = 0;
        bool ShutDown = false;
        std::unique_ptr<TCommunication> First;
        std::unique_ptr<TCommunication> Second;
    };
    static bool Later(const TEntry& a, const TEntry& b);
    static void ShutDownBoth(TEntry& entry);
    // Milliseconds since construction by the clock, kept 64 bits wide across the tick wrap.
    std::uint64_t ElapsedLocked();
    void PushLocked(TEntry entry);
    std::vector<TEntry> TakeAllLocked();
    bool StartThreadLocked();
    void Run();

    const TTickClock& fClock;
    const TStopSource fStopSource;
    const std::size_t fCapacity;
    const int fWake; // eventfd; -1 when none could be made (then nothing is held)

    mutable std::mutex fLock;
    std::vector<TEntry> fHeap; // min-heap by (Due, Order)
    std::uint64_t fElapsed = 0;
    std::uint32_t fLastTick = 0;
    std::uint64_t fNextOrder = 0;
    std::uint64_t fFinishRound = 0; // counts FinishAll calls
    bool fStopping = false;
    bool fToldFull = false; // the capacity is reported once
    std::thread fThread;
};

// The lingerer of the proxy's sessions: the system clock; a raised CurrentProxyStop() finishes
// everything held. Made at the first use; joined when the process exits.
TLingerer& ProxyLingerer();

} // namespace harbolt
