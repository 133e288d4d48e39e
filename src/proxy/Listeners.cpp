#include "proxy/Listeners.h"

#include "platform/EventLog.h"
#include "platform/Exceptions.h"
#include "proxy/AccessRule.h"
#include "proxy/ProxyState.h"
#include "proxy/Sessions.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

namespace harbolt {

namespace {

constexpr std::uint32_t kBindPhase = 10000;
constexpr int kRetryPause = 100; // milliseconds
// The stop wakes a waiting listener at once; the limit is only a guard.
constexpr int kAcceptWait = 1000;
constexpr std::size_t kPortTextLimit = 100; // as the channel reads a port

std::mutex RegistryLock;
std::array<std::shared_ptr<TListenerState>, kListenerSlots> Registry;

std::atomic<int> SessionCap{kDefaultMaxSessions};
std::atomic<std::uint64_t> Loops{0};
std::atomic<std::uint64_t> OverCap{0};
std::atomic<std::uint64_t> OverShare{0};
// A source over its share is said at most once in this long.
constexpr std::uint32_t kShareReportInterval = 60000; // milliseconds

struct TEndpointText {
    std::string Host;
    int Port = 0;
};

// "host:port" read as the channel reads it; false for a text it would not connect to.
bool SplitEndpointText(const std::string& text, TEndpointText& endpoint) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    try {
        endpoint.Port =
            StrToInt(std::string_view(text).substr(colon + 1).substr(0, kPortTextLimit));
    } catch (const std::exception&) {
        return false;
    }
    endpoint.Host = text.substr(0, colon);
    return endpoint.Port > 0 && endpoint.Port <= 0xFFFF;
}

std::shared_ptr<TListenerState> OwnListenerFor(const std::string& address, bool loopbackIsOwn) {
    TEndpointText target;
    if (!SplitEndpointText(address, target))
        return nullptr;
    std::vector<std::shared_ptr<TListenerState>> samePort;
    {
        const std::lock_guard lock(RegistryLock);
        for (const auto& slot : Registry) {
            TEndpointText bound;
            // The UDP forwarder shares no port space with a TCP connect.
            if (slot && slot->Slot != kUdpDnsSlot && slot->Bound &&
                SplitEndpointText(slot->Address, bound) && bound.Port == target.Port)
                samePort.push_back(slot);
        }
    }
    if (samePort.empty())
        return nullptr; // the common case: no name look-up
    const std::uint32_t targetAddress = ResolveAddress(target.Host);
    if (targetAddress == kInaddrNone || (!loopbackIsOwn && IsLoopbackAddress(targetAddress)))
        return nullptr;
    for (const auto& listener : samePort) {
        TEndpointText bound;
        SplitEndpointText(listener->Address, bound);
        const std::uint32_t bindAddress = bound.Host.empty() ? 0 : ResolveAddress(bound.Host);
        if (bindAddress == 0 ? AddressOfThisComputer(targetAddress) : bindAddress == targetAddress)
            return listener;
    }
    return nullptr;
}

// The errno at the end of a channel failure's text, " (98)"; 0 when there is none.
int TrailingErrno(const std::string& text) {
    if (text.size() < 3 || text.back() != ')')
        return 0;
    const std::size_t open = text.rfind('(');
    if (open == std::string::npos)
        return 0;
    try {
        return StrToInt(std::string_view(text).substr(open + 1, text.size() - open - 2));
    } catch (const std::exception&) {
        return 0;
    }
}

// What the status shows for a listener that is not bound.
std::string BindFailureText(const std::string& message) {
    const int error = TrailingErrno(message);
    std::string reason;
    switch (error) {
    case EADDRINUSE:
        reason = "address in use";
        break;
    case EADDRNOTAVAIL:
        reason = "not an address of this computer";
        break;
    case EACCES:
    case EPERM:
        reason = "permission denied";
        break;
    default:
        return message;
    }
    return reason + " (" + std::strerror(error) + ")";
}

} // namespace

// Any address that reaches this computer: its interfaces, loopback, and 0.0.0.0 (which a connect
// takes for this computer).
bool AddressOfThisComputer(std::uint32_t address) {
    if (address == 0 || IsLoopbackAddress(address))
        return true;
    const std::vector<std::uint32_t> own = LocalInterfaceAddresses();
    return std::find(own.begin(), own.end(), address) != own.end();
}

TSessionPlace TListenerState::Admit(std::uint32_t source) {
    const bool server = Slot == kServerSlot;
    const int cap = MaxSessions();
    const int share = std::max(1, cap / (server ? kServerShareDivisor : kMappingShareDivisor));
    const int reserve = server ? kReservedSessions : 0;
    const std::lock_guard lock(fSharesLock);
    TSourceUse& use = fSources[source];
    TSessionPlace place = TSessionPlace::None;
    if (Sessions.load() < cap + reserve) {
        if (fTunnelPlaces < cap && use.Tunnel < share) {
            ++fTunnelPlaces;
            ++use.Tunnel;
            place = server ? TSessionPlace::Open : TSessionPlace::Tunnel;
        } else if (server && use.Reserve < kReservedPerSource) {
            ++use.Reserve;
            place = TSessionPlace::OpenInReserve;
        }
    }
    if (place == TSessionPlace::None) {
        NoteRefused(source, fTunnelPlaces < cap && Sessions.load() < cap + reserve,
                    use.Tunnel + use.Reserve);
        if (use.Tunnel == 0 && use.Reserve == 0)
            fSources.erase(source);
        return place;
    }
    ++Sessions;
    return place;
}

bool TListenerState::Reclass(std::uint32_t source, TSessionPlace& place, TSessionPlace wanted) {
    if (place == wanted)
        return true;
    const int cap = MaxSessions();
    const int share = std::max(1, cap / kServerShareDivisor);
    const std::lock_guard lock(fSharesLock);
    TSourceUse& use = fSources[source];
    if (wanted == TSessionPlace::Tunnel && place == TSessionPlace::Open) {
        place = wanted; // it holds a tunnel's place already
        return true;
    }
    if (wanted == TSessionPlace::Tunnel && place == TSessionPlace::OpenInReserve) {
        if (fTunnelPlaces < cap && use.Tunnel < share) {
            --use.Reserve;
            ++use.Tunnel;
            ++fTunnelPlaces;
            place = wanted;
            return true;
        }
        NoteRefused(source, fTunnelPlaces < cap, use.Tunnel + use.Reserve);
        return false;
    }
    if (wanted == TSessionPlace::Control && place == TSessionPlace::OpenInReserve) {
        place = wanted;
        return true;
    }
    if (wanted == TSessionPlace::Control && place == TSessionPlace::Open) {
        // A tunnel's place is given back: control requests live in the reserve.
        if (use.Reserve < kReservedPerSource) {
            --use.Tunnel;
            --fTunnelPlaces;
            ++use.Reserve;
            place = wanted;
            return true;
        }
        NoteRefused(source, true, use.Tunnel + use.Reserve);
        return false;
    }
    return false;
}

void TListenerState::Release(std::uint32_t source, TSessionPlace place) {
    if (place == TSessionPlace::None)
        return;
    const std::lock_guard lock(fSharesLock);
    const auto found = fSources.find(source);
    if (found != fSources.end()) {
        if (place == TSessionPlace::Open || place == TSessionPlace::Tunnel) {
            --found->second.Tunnel;
            --fTunnelPlaces;
        } else {
            --found->second.Reserve;
        }
        if (found->second.Tunnel <= 0 && found->second.Reserve <= 0)
            fSources.erase(found);
    }
    --Sessions;
}

// Counts a refused connection; a source over its share is said once a minute at most, however
// many it sends. Called under fSharesLock.
void TListenerState::NoteRefused(std::uint32_t source, bool overShare, int running) {
    if (!overShare) {
        ++OverCap;
        return;
    }
    ++OverShare;
    const std::uint32_t now = GetTickCount();
    for (auto entry = fShareReported.begin(); entry != fShareReported.end();)
        entry = TicksSince(entry->second, now) >= kShareReportInterval ? fShareReported.erase(entry)
                                                                       : std::next(entry);
    if (!fShareReported.emplace(source, now).second)
        return;
    LogEvent(TEventLevel::Warning, AddressToDotted(source) + " has " + std::to_string(running) +
                                       " sessions of " + Address +
                                       " running, its share of ProxyMaxSessions " +
                                       std::to_string(MaxSessions()) +
                                       "; further connections from it are closed until some end");
}

TSessionSlot::TSessionSlot(std::shared_ptr<TListenerState> listener, std::uint32_t source,
                           TSessionPlace place)
    : fListener(std::move(listener)), fSource(source), fPlace(place) {}

TSessionSlot::~TSessionSlot() {
    if (fListener)
        fListener->Release(fSource, fPlace);
}

bool TSessionSlot::BecomeTunnel() {
    return !fListener || fListener->Reclass(fSource, fPlace, TSessionPlace::Tunnel);
}

bool TSessionSlot::BecomeControl() {
    return !fListener || fListener->Reclass(fSource, fPlace, TSessionPlace::Control);
}

void SetMaxSessions(int sessions) {
    SessionCap = sessions > 0 ? sessions : kDefaultMaxSessions;
}

int MaxSessions() {
    return SessionCap;
}

int ParseMaxSessions(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return kDefaultMaxSessions;
    const int sessions = std::stoi(text);
    return sessions > 0 ? sessions : kDefaultMaxSessions;
}

bool IsOwnEndpoint(const std::string& address, bool loopbackIsOwn) {
    return OwnListenerFor(address, loopbackIsOwn) != nullptr;
}

bool RefuseLoop(const std::string& address, bool loopbackIsOwn) {
    const std::shared_ptr<TListenerState> listener = OwnListenerFor(address, loopbackIsOwn);
    if (!listener)
        return false;
    ++Loops;
    if (!listener->LoopReported.exchange(true))
        std::cerr << "harbolt: a connection to " << address << " would come back to the own port "
                  << listener->Address << "; such loops are refused\n";
    return true;
}

std::uint64_t LoopsRefused() {
    return Loops;
}

std::uint64_t SessionsOverCap() {
    return OverCap;
}

std::uint64_t SessionsOverShare() {
    return OverShare;
}

std::shared_ptr<TListenerState> RegisterListener(int slot, std::string address,
                                                 std::string destination, bool trigger) {
    if (slot < 0 || slot >= kListenerSlots)
        return nullptr;
    std::shared_ptr<TStopSignal> stop = CurrentProxyStop();
    const std::lock_guard lock(RegistryLock);
    if (Registry[static_cast<std::size_t>(slot)])
        return nullptr;
    auto state = std::make_shared<TListenerState>(slot, std::move(address), std::move(destination),
                                                  trigger, std::move(stop));
    Registry[static_cast<std::size_t>(slot)] = state;
    return state;
}

void ClearListener(const std::shared_ptr<TListenerState>& state) {
    const std::lock_guard lock(RegistryLock);
    auto& slot = Registry[static_cast<std::size_t>(state->Slot)];
    if (slot == state)
        slot.reset();
}

bool ListenerRegistered(int slot) {
    const std::lock_guard lock(RegistryLock);
    return slot >= 0 && slot < kListenerSlots && Registry[static_cast<std::size_t>(slot)];
}

bool RegistryEmpty() {
    const std::lock_guard lock(RegistryLock);
    for (const auto& slot : Registry)
        if (slot)
            return false;
    return true;
}

std::vector<TListenerInfo> RegisteredListeners() {
    const std::lock_guard lock(RegistryLock);
    std::vector<TListenerInfo> listeners;
    for (const auto& slot : Registry)
        if (slot)
            listeners.push_back({slot->Slot, slot->Address, slot->Bound.load(), slot->Failure(),
                                 slot->Destination, slot->Trigger, slot->Sessions.load()});
    return listeners;
}

void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TSessionAcceptHandler& onAccept) {
    const TStopSignal& stop = *state->Stop;
    std::unique_ptr<TCommunication> listener;
    try {
        const std::uint32_t begin = GetTickCount();
        while (!stop.Raised() && TicksSince(begin, GetTickCount()) <= kBindPhase) {
            try {
                listener = TCommunication::CreateListening(false);
                listener->SetReuseAddress();
                listener->Bind(state->Address);
                listener->Listen(backlog);
                break;
            } catch (const std::exception& failure) {
                state->SetFailure(BindFailureText(failure.what()));
                listener.reset();
                PauseUnlessStopped(stop, kRetryPause);
            }
        }
        if (listener && !stop.Raised()) {
            state->SetFailure({});
            state->Bound = true;
            while (!stop.Raised()) {
                std::unique_ptr<TBufferedCommunication> accepted;
                try {
                    accepted = listener->Accept(kAcceptWait, stop);
                } catch (const std::exception&) {
                    // A connection that failed on its way in, or no descriptor left for it: the
                    // listener stays, others may be served after a pause.
                    PauseUnlessStopped(stop, kRetryPause);
                    continue;
                }
                if (!accepted)
                    continue;
                if (!ProxyAdmits(accepted->RemoteAddress())) {
                    ReportRefusedConnection(accepted->RemoteAddress(),
                                            ntohs(accepted->LocalAddress().sin_port));
                    continue; // closed without a byte when it goes out of scope
                }
                const std::uint32_t source = accepted->RemoteAddress().sin_addr.s_addr;
                const TSessionPlace place = state->Admit(source);
                if (place == TSessionPlace::None)
                    continue; // closed at once, like a refused one
                try {
                    onAccept(std::move(accepted), TSessionSlot(state, source, place), state->Stop);
                } catch (const std::exception&) {
                    // No thread for it (out of resources): that connection is closed, the
                    // listener goes on.
                }
            }
        }
    } catch (const std::exception& failure) {
        state->SetFailure(BindFailureText(failure.what()));
    }
    state->Bound = false;
    listener.reset();
    ClearListener(state);
}

void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TAcceptHandler& onAccept) {
    RunListener(state, backlog,
                [&onAccept](std::unique_ptr<TBufferedCommunication> client, TSessionSlot,
                            std::shared_ptr<TStopSignal>) { onAccept(std::move(client)); });
}

namespace {

bool StartListener(std::shared_ptr<TListenerState> state, int backlog,
                   TSessionAcceptHandler onAccept) {
    if (!state)
        return false;
    std::thread([state, backlog, onAccept = std::move(onAccept)] {
        RunListener(state, backlog, onAccept);
    }).detach();
    return true;
}

} // namespace

bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TSessionAcceptHandler onAccept) {
    return StartListener(RegisterListener(slot, address), backlog, std::move(onAccept));
}

bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TAcceptHandler onAccept) {
    return StartListener(RegisterListener(slot, address), backlog,
                         [onAccept = std::move(onAccept)](
                             std::unique_ptr<TBufferedCommunication> client, TSessionSlot,
                             std::shared_ptr<TStopSignal>) { onAccept(std::move(client)); });
}

bool StartClientListener(const TProxyMapping& mapping) {
    return StartListener(
        RegisterListener(mapping.Index, mapping.BindAddress(),
                         mapping.DestinationHost + ":" + mapping.DestinationPort, mapping.Trigger),
        kMappingBacklog,
        [host = mapping.DestinationHost, port = mapping.DestinationPort,
         trigger = mapping.Trigger](std::unique_ptr<TBufferedCommunication> client,
                                    TSessionSlot slot, std::shared_ptr<TStopSignal> stop) {
            StartClientSession(std::move(client), host, port, trigger, std::move(slot),
                               std::move(stop));
        });
}

bool StartServerListener(const std::string& address) {
    return StartListener(RegisterListener(kServerSlot, address), kServerBacklog,
                         [](std::unique_ptr<TBufferedCommunication> client, TSessionSlot slot,
                            std::shared_ptr<TStopSignal> stop) {
                             StartServerSession(std::move(client), std::move(slot),
                                                std::move(stop));
                         });
}

} // namespace harbolt
