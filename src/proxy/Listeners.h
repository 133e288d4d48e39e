#pragma once

#include "net/Communication.h"
#include "proxy/Mapping.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The listener registry and the listener threads: one per mapping, one for the proxy server
// port, one each for the TCP and UDP DNS forwarders.
namespace harbolt {

constexpr int kServerSlot = 100;
constexpr int kTcpDnsSlot = 101;
constexpr int kUdpDnsSlot = 102;
constexpr int kListenerSlots = 103;

constexpr int kMappingBacklog = 8;
constexpr int kServerBacklog = 6;

// One registered listener, shared between its thread and whoever looks at the registry.
struct TListenerState {
    TListenerState(int slot, std::string address) : Slot(slot), Address(std::move(address)) {}
    const int Slot;
    const std::string Address; // what it binds, "host:port"
    std::atomic<bool> Bound{false};
};

// Enters a listener into its slot; nullptr when the slot is taken.
std::shared_ptr<TListenerState> RegisterListener(int slot, std::string address);
// Clears the slot if it still holds this listener.
void ClearListener(const std::shared_ptr<TListenerState>& state);
bool ListenerRegistered(int slot);
bool RegistryEmpty();

struct TListenerInfo {
    int Slot = 0;
    std::string Address;
    bool Bound = false;
};
// Registered listeners in slot order.
std::vector<TListenerInfo> RegisteredListeners();

using TAcceptHandler = std::function<void(std::unique_ptr<TBufferedCommunication>)>;

// The listener's life on the calling thread: the bind phase (10 s of retries every 100 ms), then
// accepts every 50 ms until ProxyStopFlag, each admitted connection given to onAccept; at the
// end the slot is cleared. Connections from peers the access rule does not admit are closed at
// once.
void RunListener(const std::shared_ptr<TListenerState>& state, int backlog,
                 const TAcceptHandler& onAccept);

// A listener thread of its own (it frees itself); false when the slot is taken.
bool StartListenerThread(int slot, const std::string& address, int backlog,
                         TAcceptHandler onAccept);

// The mapping's listener: each connection becomes a client session.
bool StartClientListener(const TProxyMapping& mapping);
// The proxy server port: each connection becomes a server session.
bool StartServerListener(const std::string& address);

} // namespace harbolt
