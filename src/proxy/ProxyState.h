#pragma once

#include "net/Communication.h"
#include "platform/Clock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Process-wide state of the proxy services: where the online computer's proxy port is, when any
// proxied connection last carried data, and the switches every proxy thread reads.
namespace harbolt {

// The stop of the current run of the proxy services. Each thread of the services takes it when
// it starts and watches it to its end; StopProxyServices raises it and the next start makes a new
// one, so a thread that slept through a stop still sees it.
std::shared_ptr<TStopSignal> CurrentProxyStop();
// Raises the current stop.
void RaiseProxyStop();
// A raised stop is replaced by a fresh one; an unraised one stays.
void RenewProxyStop();

// Guards the online computer's address, its time stamp and the last proxy activity.
extern std::mutex ProxyTimeLock;

// "ProxyServerLogAll", read at each start of the services: one trace file per tunnel.
extern std::atomic<bool> ProxyLogAll;
// Number of the next trace file "LogFile%.4d.txt"; counts up for the life of the process.
extern std::atomic<std::int32_t> LogFileCounter;

// The clock of the online address and activity stamps (tests replace it). Set before any proxy
// thread runs.
void SetProxyClock(const TTickClock& clock);
const TTickClock& ProxyClock();
// A clock that reads ProxyClock() at each reading, for objects made before a test puts its clock
// in place. Never destroyed.
const TTickClock& FollowingProxyClock();

// The roster heard an "online" announcement: remember that computer's proxy address.
void SetOnlineProxyAddress(const std::string& address);
// Whether the address was set less than 1001 ms ago (the roster refreshes it once a second).
bool OnlineAddressFresh();
// The online computer's proxy address, possibly old, possibly empty. When nobody announced
// being online within 5 s, "AutoDialEnabled" is true and mayDial: requests a dial and waits up
// to 60 s for an announcement (or the stop: stop, or CurrentProxyStop() when nullptr).
std::string GetOnlineProxyAddress(bool mayDial, const TStopSignal* stop = nullptr);

// GetOnlineProxyAddress with the cause of a dial it may request (who asked for what; see
// RequestDialOnDemand). A computer that cannot dial itself asks its peers (see PeerDialAsker)
// and waits for the announcement of the one that dials, or for the end of an ask that found
// none. When the own dial budget is spent and no peer dials, nothing more is waited for:
// DialRefused tells the caller to give up at once, as when nobody can be reached.
struct TOnlineLookup {
    std::string Address;
    bool DialRefused = false;
};
TOnlineLookup FindOnlineProxy(bool mayDial, const TStopSignal* stop, const std::string& cause);

// Who dials for a request that may dial, made now while nobody is online.
enum class TDialRoute {
    Own,     // this computer: "AutoDialEnabled", an "AutoDialPhoneBookEntry", budget not spent
    Peers,   // this one cannot, and asks the computers that can ("AutoDialViaPeers" not "no")
    Refused, // nobody: this computer's budget is spent (the request gives up at once)
    None,    // nobody: this computer does not dial on demand (the request goes on as it may)
};
struct TDialDecision {
    TDialRoute Route = TDialRoute::None;
    bool BudgetSpent = false; // the own budget stops the own dial
};
TDialDecision DialRouteNow();
// Forgets when the address was set, so that the next request waits for a fresh announcement.
void ResetOnlineAddressTime();

// Every relayed chunk of a proxied connection counts as activity for the idle hang-up.
void NoteProxyActivity();
std::uint32_t LastProxyActivity();

struct TOnlineAddress {
    std::string Address;
    std::uint32_t Time = 0; // tick when set; 0: never
};
TOnlineAddress OnlineAddressState();

// Where trace files go (the data directory).
void SetProxyTraceDirectory(const std::string& directory);
std::string ProxyTraceDirectory();

} // namespace harbolt
