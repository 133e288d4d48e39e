#include "dialup/RasManager.h"

#include "database/Database.h"

#include <utility>

namespace harbolt {

std::atomic<bool> DialingInProgress{false};
std::atomic<bool> DialRequested{false};
std::atomic<bool> MonitorPassDone{false};

const char* const kLegacyEntryListKey = "DF\xDC-Verbindungen";
const char* const kEntryListKey = "RAS-Phonebook-entries";

namespace {
std::mutex DialCauseLock;
std::string PendingDialCause; // guarded by DialCauseLock

void SetOwnProperty(const std::string& key, const std::string& value) {
    SetComputerProperty(OwnComputerName, key, value);
}

std::int32_t SecondsSince(std::uint32_t start, std::uint32_t now) {
    return static_cast<std::int32_t>(TicksSince(start, now) / 1000);
}
} // namespace

void RequestDialOnDemand(const std::string& cause) {
    {
        const std::lock_guard lock(DialCauseLock);
        if (PendingDialCause.empty())
            PendingDialCause = cause;
    }
    DialRequested = true;
}

std::string TakeDialCause() {
    const std::lock_guard lock(DialCauseLock);
    return std::exchange(PendingDialCause, std::string());
}

TRasManager::TRasManager(TRasBackend& backend, const TTickClock& clock, TEventIDSource newEventID)
    : Backend(backend), Clock(clock), NewID(std::move(newEventID)) {}

TRasManager::~TRasManager() {
    {
        std::lock_guard<std::mutex> guard(StopLock);
        StopRequested = true;
    }
    StopSignal.notify_all();
    if (Thread.joinable())
        Thread.join();
}

void TRasManager::Start() {
    Thread = std::thread([this] { Run(); });
}

void TRasManager::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(StopLock);
            if (StopSignal.wait_for(guard, std::chrono::milliseconds(1000),
                                    [this] { return StopRequested; }))
                return;
        }
        Tick();
    }
}

void TRasManager::Tick() {
    if (!DialingInProgress)
        Pass();
}

void TRasManager::Pass() {
    // Ask the system first, without RasLock: a slow check must not hold up the main thread,
    // which takes the lock for ActiveConnectionName three times a second.
    std::vector<TRasConnectionInfo> connections;
    const std::uint32_t error = Backend.EnumConnections(connections);
    std::vector<std::string> up;
    if (error == 0) {
        for (const TRasConnectionInfo& info : connections) {
            std::uint32_t state = 0;
            if (Backend.GetConnectStatus(info.Handle, state) == 0 && state == kRasConnected)
                up.push_back(info.EntryName);
        }
    }
    const std::string errorText = error != 0 ? Backend.ErrorString(error) : std::string();
    {
        std::lock_guard<std::mutex> guard(RasLock);
        if (error != 0) {
            // Known connections keep their state until a pass succeeds again.
            SetOwnProperty("RasError", errorText);
        } else {
            SetOwnProperty("RasError", "");
            for (auto& [name, connection] : RasConnections)
                connection.Seen = false;
            for (const std::string& name : up) {
                const std::uint32_t now = Clock.Now();
                auto it = RasConnections.find(name);
                if (it != RasConnections.end()) {
                    SetOwnProperty(EventIDToString(it->second.EventID), "");
                } else {
                    TRasConnection connection;
                    connection.StartTick = now;
                    it = RasConnections.emplace(name, connection).first;
                    SetOwnProperty(EventIDToString(NewID()), NewConnectionRecord(name));
                    NoteEntryName(name);
                }
                TRasConnection& connection = it->second;
                connection.EventID = NewID();
                connection.Seen = true;
                SetOwnProperty(EventIDToString(connection.EventID),
                               OnlineRecord(name, SecondsSince(connection.StartTick, now)));
            }
            const std::uint32_t now = Clock.Now();
            for (auto it = RasConnections.begin(); it != RasConnections.end();) {
                if (it->second.Seen) {
                    ++it;
                    continue;
                }
                // The moving Online record becomes the session's end record.
                SetOwnProperty(EventIDToString(it->second.EventID),
                               DroppedRecord(it->first, SecondsSince(it->second.StartTick, now)));
                it = RasConnections.erase(it);
            }
        }
    }
    MonitorPassDone = true;
}

void TRasManager::NoteEntryName(const std::string& name) {
    std::string list = GetComputerProperty(OwnComputerName, kLegacyEntryListKey);
    if (list.empty())
        list = GetComputerProperty(OwnComputerName, kEntryListKey);
    if (("," + list + ",").find("," + name + ",") != std::string::npos)
        return;
    list = list.empty() ? name : list + "," + name;
    SetOwnProperty(kLegacyEntryListKey, "");
    SetOwnProperty(kEntryListKey, list);
}

std::string TRasManager::ActiveConnectionName() {
    std::lock_guard<std::mutex> guard(RasLock);
    return RasConnections.empty() ? std::string() : RasConnections.begin()->first;
}

} // namespace harbolt
