#pragma once

#include "dialup/EventId.h"
#include "dialup/RasBackend.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace harbolt {

// Shared with the dialer: while a dial is being started the monitor skips its passes, and it
// sets MonitorPassDone after every pass so the dialer can wait for the records to catch up.
extern std::atomic<bool> DialingInProgress;
extern std::atomic<bool> MonitorPassDone;
// Set by any thread that needs the Internet while nobody is online; the dialer's timer acts on it.
extern std::atomic<bool> DialRequested;

// Why the pending dial on demand is wanted (who asked for what; Windows-1252, as it is stored). The
// first request of a dial names it; the dialer takes it when it dials, so that the dial's cause
// record says it.
void RequestDialOnDemand(const std::string& cause);
// The cause, emptied; "" when none was given.
std::string TakeDialCause();

// The legacy key of the entry-name list: "DFÜ-Verbindungen" in Windows-1252.
extern const char* const kLegacyEntryListKey;
extern const char* const kEntryListKey; // "RAS-Phonebook-entries"

// One connection known to be up.
struct TRasConnection {
    TEventID EventID;            // key of its moving "!Online!" record
    bool Seen = false;           // found connected in the current pass
    std::uint32_t StartTick = 0; // when it was first seen
};

// Watches the own computer's dial-up connections once a second, whoever made them, and records
// each session as properties of the own computer: a "!New Connection!" record when it is first
// seen, an "!Online!" record that moves every second, and a "!Connection Dropped!" record with
// the duration when it is gone. The records replicate like any property.
class TRasManager {
public:
    using TEventIDSource = std::function<TEventID()>;

    TRasManager(TRasBackend& backend, const TTickClock& clock,
                TEventIDSource newEventID = NewEventID);
    ~TRasManager(); // stops and joins the thread (a pass is bounded by the backend's limits)
    TRasManager(const TRasManager&) = delete;
    TRasManager& operator=(const TRasManager&) = delete;

    // Starts the thread: a pass every 1000 ms until destruction.
    void Start();
    // What the thread does every second: a pass, unless a dial is being started.
    void Tick();
    // One pass.
    void Pass();

    // The alphabetically first connection that is up, or "" when none is.
    std::string ActiveConnectionName();

private:
    void Run();
    void NoteEntryName(const std::string& name);

    TRasBackend& Backend;
    const TTickClock& Clock;
    TEventIDSource NewID;
    // Guards RasConnections; held for a whole pass.
    std::mutex RasLock;
    std::map<std::string, TRasConnection, AnsiCaseLess> RasConnections;

    std::mutex StopLock;
    std::condition_variable StopSignal;
    bool StopRequested = false;
    std::thread Thread;
};

} // namespace harbolt
