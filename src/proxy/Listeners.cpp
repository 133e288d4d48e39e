#include "proxy/Listeners.h"

#include "proxy/AccessRule.h"
#include "proxy/ProxyState.h"
#include "proxy/Sessions.h"

#include <array>
#include <chrono>
#include <mutex>
#include <thread>

namespace harbolt {

namespace {

constexpr std::uint32_t kBindPhase = 10000;
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr int kAcceptWait = 50;

std::mutex RegistryLock;
std::array<std::shared_ptr<TListenerState>, kListenerSlots> Registry;

} // namespace

std::shared_ptr<TListenerState> RegisterListener(int slot, std::string address) {
    if (slot < 0 || slot >= kListenerSlots)
        return nullptr;
    const std::lock_guard lock(RegistryLock);
    if (Registry[static_cast<std::size_t>(slot)])
        return nullptr;
    auto state = std::make_shared<TListenerState>(slot, std::move(address));
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
            listeners.push_back({slot->Slot, slot->Address, slot->Bound.load()});
    return listeners;
}

void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TAcceptHandler& onAccept) {
    std::unique_ptr<TCommunication> listener;
    try {
        const std::uint32_t begin = GetTickCount();
        while (!ProxyStopFlag && TicksSince(begin, GetTickCount()) <= kBindPhase) {
            try {
                listener = TCommunication::CreateListening(false);
                listener->SetReuseAddress();
                listener->Bind(state->Address);
                break;
            } catch (const std::exception&) {
                listener.reset();
                std::this_thread::sleep_for(kRetryPause);
            }
        }
        if (listener && !ProxyStopFlag) {
            listener->Listen(backlog);
            state->Bound = true;
            while (!ProxyStopFlag) {
                std::unique_ptr<TBufferedCommunication> accepted = listener->Accept(kAcceptWait);
                if (!accepted)
                    continue;
                if (!ProxyAdmits(accepted->RemoteAddress()))
                    continue; // closed without a byte when it goes out of scope
                try {
                    onAccept(std::move(accepted));
                } catch (const std::exception&) {
                    // No thread for it (out of resources): that connection is closed, the
                    // listener goes on.
                }
            }
        }
    } catch (const std::exception&) {
        // A listener that cannot listen or accept ends; its slot is cleared below.
    }
    state->Bound = false;
    listener.reset();
    ClearListener(state);
}

bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TAcceptHandler onAccept) {
    std::shared_ptr<TListenerState> state = RegisterListener(slot, address);
    if (!state)
        return false;
    std::thread([state, backlog, onAccept = std::move(onAccept)] {
        RunListener(state, backlog, onAccept);
    }).detach();
    return true;
}

bool StartClientListener(const TProxyMapping& mapping) {
    return StartListenerThread(
        mapping.Index, mapping.BindAddress(), kMappingBacklog,
        [host = mapping.DestinationHost, port = mapping.DestinationPort,
         trigger = mapping.Trigger](std::unique_ptr<TBufferedCommunication> client) {
            StartClientSession(std::move(client), host, port, trigger);
        });
}

bool StartServerListener(const std::string& address) {
    return StartListenerThread(kServerSlot, address, kServerBacklog,
                               [](std::unique_ptr<TBufferedCommunication> client) {
                                   StartServerSession(std::move(client));
                               });
}

} // namespace harbolt
