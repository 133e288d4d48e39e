#include "proxy/ProxyState.h"

#include "database/Database.h"
#include "database/Journal.h"
#include "dialup/DialBudget.h"
#include "dialup/RasManager.h"
#include "proxy/PeerDial.h"

#include <chrono>
#include <thread>

namespace harbolt {

std::mutex ProxyTimeLock;
std::atomic<bool> ProxyLogAll{false};
std::atomic<std::int32_t> LogFileCounter{0};

namespace {

constexpr std::uint32_t kFreshAddressTime = 5000;
constexpr std::uint32_t kDialWaitTime = 60000;
constexpr auto kDialWaitStep = std::chrono::milliseconds(100);

std::atomic<const TTickClock*> Clock{nullptr};

// Guarded by ProxyTimeLock.
std::string OnlineProxyAddress;
std::uint32_t OnlineAddressTime = 0;

// Stamped for every relayed chunk by every session: an atomic, so that no lock is shared on the
// relays' hot path.
std::atomic<std::uint32_t> LastActivity{0};

std::mutex StopLock;
std::shared_ptr<TStopSignal> CurrentStop; // guarded by StopLock; made when first asked for

std::mutex TraceDirectoryLock;
std::string TraceDirectory = ".";

bool Stale(std::uint32_t now) {
    return OnlineAddressTime == 0 || TicksSince(OnlineAddressTime, now) > kFreshAddressTime;
}

} // namespace

std::shared_ptr<TStopSignal> CurrentProxyStop() {
    const std::lock_guard lock(StopLock);
    if (!CurrentStop)
        CurrentStop = std::make_shared<TStopSignal>();
    return CurrentStop;
}

void RaiseProxyStop() {
    CurrentProxyStop()->Raise();
}

void RenewProxyStop() {
    const std::lock_guard lock(StopLock);
    if (!CurrentStop || CurrentStop->Raised())
        CurrentStop = std::make_shared<TStopSignal>();
}

void SetProxyClock(const TTickClock& clock) {
    Clock = &clock;
}

const TTickClock& ProxyClock() {
    const TTickClock* clock = Clock.load();
    return clock != nullptr ? *clock : SystemTickClock();
}

const TTickClock& FollowingProxyClock() {
    class TFollowing final : public TTickClock {
    public:
        std::uint32_t Now() const override { return ProxyClock().Now(); }
    };
    static const TFollowing* const clock = new TFollowing;
    return *clock;
}

void SetOnlineProxyAddress(const std::string& address) {
    const std::lock_guard lock(ProxyTimeLock);
    OnlineProxyAddress = address;
    const std::uint32_t now = ProxyClock().Now();
    OnlineAddressTime = now != 0 ? now : 1; // 0 means never
}

bool OnlineAddressFresh() {
    const std::lock_guard lock(ProxyTimeLock);
    return OnlineAddressTime != 0 && TicksSince(OnlineAddressTime, ProxyClock().Now()) < 1001;
}

std::string GetOnlineProxyAddress(bool mayDial, const TStopSignal* stop) {
    return FindOnlineProxy(mayDial, stop, {}).Address;
}

TDialDecision DialRouteNow() {
    const bool enabled = TextIsTrue(GetComputerProperty(OwnComputerName, "AutoDialEnabled"));
    const bool entry = !GetComputerProperty(OwnComputerName, "AutoDialPhoneBookEntry").empty();
    TDialDecision decision;
    decision.BudgetSpent = enabled && entry && OwnDialBudget().Blocked;
    const std::string viaPeers = GetComputerProperty(OwnComputerName, "AutoDialViaPeers");
    if (enabled && entry && !decision.BudgetSpent)
        decision.Route = TDialRoute::Own;
    else if (viaPeers.empty() || TextIsTrue(viaPeers))
        decision.Route = TDialRoute::Peers;
    else if (decision.BudgetSpent)
        decision.Route = TDialRoute::Refused;
    return decision;
}

TOnlineLookup FindOnlineProxy(bool mayDial, const TStopSignal* stop, const std::string& cause) {
    std::shared_ptr<TStopSignal> current;
    if (stop == nullptr) {
        current = CurrentProxyStop();
        stop = current.get();
    }
    const TTickClock& clock = ProxyClock();
    {
        const std::lock_guard lock(ProxyTimeLock);
        if (!mayDial || !Stale(clock.Now()))
            return {OnlineProxyAddress, false};
    }
    const TDialDecision decision = DialRouteNow();
    std::unique_ptr<TPeerDialAsker::TTicket> ticket;
    switch (decision.Route) {
    case TDialRoute::None:
        return {OnlineAddressState().Address, false};
    case TDialRoute::Refused:
        return {OnlineAddressState().Address, true};
    case TDialRoute::Own:
        RequestDialOnDemand(cause);
        break;
    case TDialRoute::Peers:
        ticket = PeerDialAsker().Join(cause);
        break;
    }
    const std::uint32_t begin = clock.Now();
    for (;;) {
        {
            const std::lock_guard check(ProxyTimeLock);
            const std::uint32_t now = clock.Now();
            if (OnlineAddressTime != 0 && TicksSince(OnlineAddressTime, now) < kFreshAddressTime)
                return {OnlineProxyAddress, false};
            if (TicksSince(begin, now) > kDialWaitTime)
                break;
        }
        // Nobody would dial: the request ends as the own spent budget or no dial would end it.
        if (ticket && ticket->Ask().Over && !ticket->Ask().PeerDials)
            return {OnlineAddressState().Address, decision.BudgetSpent};
        // A stopping proxy must not keep its sessions waiting for a minute.
        if (stop->Raised())
            break;
        std::this_thread::sleep_for(kDialWaitStep);
    }
    return {OnlineAddressState().Address, false};
}

void ResetOnlineAddressTime() {
    const std::lock_guard lock(ProxyTimeLock);
    OnlineAddressTime = 0;
}

void NoteProxyActivity() {
    LastActivity.store(ProxyClock().Now(), std::memory_order_relaxed);
}

std::uint32_t LastProxyActivity() {
    return LastActivity.load(std::memory_order_relaxed);
}

TOnlineAddress OnlineAddressState() {
    const std::lock_guard lock(ProxyTimeLock);
    return {OnlineProxyAddress, OnlineAddressTime};
}

void SetProxyTraceDirectory(const std::string& directory) {
    const std::lock_guard lock(TraceDirectoryLock);
    TraceDirectory = directory;
}

std::string ProxyTraceDirectory() {
    const std::lock_guard lock(TraceDirectoryLock);
    return TraceDirectory;
}

} // namespace harbolt
