#include "peer/ListeningThread.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/LanKey.h"
#include "net/SocketLayer.h"
#include "peer/DatagramSeal.h"
#include "platform/Clock.h"

namespace harbolt {

struct TListeningState {
    TListeningState(std::function<std::string()> proxyServerAddress,
                    const std::atomic<bool>& threadsStop, std::uint16_t port, TBroadcastScope scope)
        : ProxyServerAddress(std::move(proxyServerAddress)), ThreadsStop(&threadsStop), Port(port),
          Scope(scope) {}

    // The owner's callback and stop flag: used only under OwnerLock while OwnerPresent, because
    // both may die with the owner while the detached thread still runs.
    std::mutex OwnerLock;
    bool OwnerPresent = true;
    std::function<std::string()> ProxyServerAddress;
    const std::atomic<bool>* ThreadsStop;

    const std::uint16_t Port;
    const TBroadcastScope Scope;
    std::atomic<bool> Started{false};

    std::mutex QueueLock;
    std::deque<TDatagram> OutgoingQueue;

    mutable std::mutex BoundAddressLock;
    std::string BoundAddress;

    // With a LAN key: the seals of what this instance sends, and the check of what it receives.
    // Used by the loop's thread only.
    TDatagramSealer Sealer;
    TDatagramGuard Guard;
    std::uint64_t KeyGeneration = 0;

    // Readable when a datagram was queued or the owner left: the loop sleeps on it and the
    // socket instead of looking every 100 ms. -1 when none could be made (then it looks).
    const int Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    ~TListeningState() {
        if (Wake >= 0)
            close(Wake);
    }
    TListeningState(const TListeningState&) = delete;
    TListeningState& operator=(const TListeningState&) = delete;

    void Signal() const {
        const std::uint64_t one = 1;
        if (Wake >= 0 && write(Wake, &one, sizeof one) < 0) {
            // Only a counter at its limit refuses, and then the loop is awake anyway.
        }
    }
};

namespace {

constexpr int kWaitMilliseconds = 100;
// With a wake descriptor the loop still looks this often for a stop flag set without a wake and
// for a changed own address (the main thread queues an announcement several times a second,
// which wakes it sooner).
constexpr int kIdleWaitMilliseconds = 1000;
// After a pass that received, the next waits this long before it looks again, and then takes
// everything that came meanwhile: on a LAN of a hundred computers some four hundred datagrams a
// second arrive, and waking for each one would cost more than all the rest the instance does
// when idle. The main thread takes them only once a second anyway.
constexpr int kGatherMilliseconds = 50;
// Datagrams taken in one pass at most, so that a flood cannot keep the loop from sending.
constexpr int kPassDatagramLimit = 4096;
// The receive buffer asked for: it holds what arrives during a gathering pause with room to
// spare (the kernel may give less; what does not fit is lost like any datagram on a busy LAN).
constexpr int kReceiveBufferBytes = 1 << 20;

// Owns one descriptor and closes it on every path.
class TSocketHandle {
public:
    TSocketHandle() = default;
    explicit TSocketHandle(int descriptor) : Descriptor(descriptor) {}
    ~TSocketHandle() { Close(); }
    TSocketHandle(const TSocketHandle&) = delete;
    TSocketHandle& operator=(const TSocketHandle&) = delete;
    TSocketHandle(TSocketHandle&& other) noexcept
        : Descriptor(std::exchange(other.Descriptor, kInvalidSocket)) {}
    TSocketHandle& operator=(TSocketHandle&& other) noexcept {
        if (this != &other) {
            Close();
            Descriptor = std::exchange(other.Descriptor, kInvalidSocket);
        }
        return *this;
    }

    int Get() const { return Descriptor; }
    bool Valid() const { return Descriptor >= 0; }

private:
    void Close() {
        if (Descriptor >= 0)
            close(Descriptor);
        Descriptor = kInvalidSocket;
    }
    int Descriptor = kInvalidSocket;
};

std::string ErrorText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

// The interface that holds the bound host, with that host as the source of own broadcasts.
// Index 0: there is no bound host, so every arrival counts and the kernel routes.
struct TInterfaceChoice {
    unsigned Index = 0;
    std::uint32_t Source = 0; // network order
    bool Loopback = false;
};

// The whole list getifaddrs returns, freed on every path.
struct TInterfaceList {
    ifaddrs* List = nullptr;
    TInterfaceList() {
        if (getifaddrs(&List) != 0)
            List = nullptr;
    }
    ~TInterfaceList() {
        if (List != nullptr)
            freeifaddrs(List);
    }
    TInterfaceList(const TInterfaceList&) = delete;
    TInterfaceList& operator=(const TInterfaceList&) = delete;
};

TInterfaceChoice ChooseInterface(const std::string& host) {
    if (host.empty())
        return {};
    const std::uint32_t address = ResolveAddress(host);
    if (address != kInaddrNone) {
        const TInterfaceList interfaces;
        for (const ifaddrs* entry = interfaces.List; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
                continue;
            sockaddr_in held{};
            std::memcpy(&held, entry->ifa_addr, sizeof held);
            if (held.sin_addr.s_addr != address)
                continue;
            // Address labels ("eth0:1") name their device before the colon.
            std::string device(entry->ifa_name);
            device = device.substr(0, device.find(':'));
            const unsigned index = if_nametoindex(device.c_str());
            if (index != 0)
                return {index, address, (entry->ifa_flags & IFF_LOOPBACK) != 0};
        }
    }
    std::fprintf(stderr,
                 "harbolt: %s is not an address of this computer; announcements use every "
                 "interface\n",
                 host.c_str());
    return {};
}

// UDP on INADDR_ANY:port, allowed to broadcast, reporting each arrival interface. A socket whose
// bind failed is still returned: it can send, and receives nothing on the port.
TSocketHandle OpenSocket(std::uint16_t port, bool& bound, bool& failureReported) {
    bound = false;
    TSocketHandle handle(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!handle.Valid()) {
        if (!std::exchange(failureReported, true))
            std::fprintf(stderr, "harbolt: cannot create the announcement socket: %s\n",
                         ErrorText(errno).c_str());
        return handle;
    }
    const int on = 1;
    setsockopt(handle.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(handle.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(handle.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    setsockopt(handle.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
               sizeof kReceiveBufferBytes);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(handle.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
        bound = true;
    else if (!std::exchange(failureReported, true))
        std::fprintf(stderr, "harbolt: cannot bind the announcement socket to port %u: %s\n",
                     static_cast<unsigned>(port), ErrorText(errno).c_str());
    return handle;
}

union TPacketInfoControl {
    cmsghdr Header;
    unsigned char Bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

unsigned ArrivalInterface(msghdr& message) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            return static_cast<unsigned>(info.ipi_ifindex);
        }
    }
    return 0;
}

// The buffers of one batch of receptions, made once for the thread's whole run. Each buffer
// holds one byte more than a datagram and MSG_TRUNC reports the true size, so longer datagrams
// are told apart from whole ones and dropped with the short ones.
struct TReceiveBatch {
    static constexpr int kSize = 32;
    std::array<std::array<unsigned char, kDatagramSize + 1>, kSize> Buffers;
    std::array<sockaddr_in, kSize> Senders;
    std::array<TPacketInfoControl, kSize> Controls;
    std::array<iovec, kSize> Parts;
    std::array<mmsghdr, kSize> Messages;
};

// What the datagrams received are checked with: with a key, only sealed ones from others that
// are neither old nor heard before reach the queue.
struct TReceiveCheck {
    const TLanKeyMaterial* Key = nullptr;
    TDatagramGuard* Guard = nullptr;
    const TDatagramSealer* Own = nullptr;
    std::int64_t NowMs = 0;
};

// Takes up to a batch of datagrams in one call; returns how many were taken (0: none was there).
int ReceiveBatch(int socket, const TInterfaceChoice& choice, const TReceiveCheck& check,
                 TReceiveBatch& batch) {
    for (int i = 0; i < TReceiveBatch::kSize; ++i) {
        batch.Parts[i] = {batch.Buffers[i].data(), batch.Buffers[i].size()};
        batch.Messages[i] = {};
        msghdr& message = batch.Messages[i].msg_hdr;
        message.msg_name = &batch.Senders[i];
        message.msg_namelen = sizeof batch.Senders[i];
        message.msg_iov = &batch.Parts[i];
        message.msg_iovlen = 1;
        message.msg_control = batch.Controls[i].Bytes;
        message.msg_controllen = sizeof batch.Controls[i].Bytes;
    }
    const int received = recvmmsg(socket, batch.Messages.data(), TReceiveBatch::kSize,
                                  MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (received <= 0)
        return 0;
    for (int i = 0; i < received; ++i) {
        if (batch.Messages[i].msg_len != kDatagramSize)
            continue;
        if (choice.Index != 0 && ArrivalInterface(batch.Messages[i].msg_hdr) != choice.Index)
            continue;
        if (check.Key != nullptr &&
            check.Guard->Admit(batch.Buffers[i].data(), batch.Senders[i].sin_addr.s_addr,
                               check.NowMs, *check.Key,
                               check.Own) != TDatagramGuard::TVerdict::Accepted)
            continue;
        PostIncomingDatagram(batch.Buffers[i].data(), kDatagramSize);
    }
    return received;
}

// Takes every datagram that is there, up to the limit of a pass; returns how many.
int ReceiveWaiting(int socket, const TInterfaceChoice& choice, const TReceiveCheck& check,
                   TReceiveBatch& batch) {
    int taken = 0;
    while (taken < kPassDatagramLimit) {
        const int received = ReceiveBatch(socket, choice, check, batch);
        taken += received;
        if (received < TReceiveBatch::kSize)
            break;
    }
    return taken;
}

bool MayBroadcast(TBroadcastScope scope, const TInterfaceChoice& choice) {
    return scope == TBroadcastScope::AnyInterface || (choice.Index != 0 && choice.Loopback);
}

// To 255.255.255.255; with a bound host, out of its interface and from its address. Failures
// are ignored: the next announcement follows within a second.
void Broadcast(int socket, std::uint16_t port, const TInterfaceChoice& choice,
               const TDatagram& datagram) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    iovec part{const_cast<unsigned char*>(datagram.data()), datagram.size()};
    msghdr message{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    TPacketInfoControl control{};
    if (choice.Index != 0) {
        message.msg_control = control.Bytes;
        message.msg_controllen = sizeof control.Bytes;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(choice.Index);
        info.ipi_spec_dst.s_addr = choice.Source;
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void SendQueued(TListeningState& state, const TSocketHandle& socket, const TInterfaceChoice& choice,
                const TLanKeyMaterial* key) {
    for (;;) {
        TDatagram datagram;
        {
            const std::scoped_lock lock(state.QueueLock);
            if (state.OutgoingQueue.empty())
                return;
            datagram = state.OutgoingQueue.front();
            state.OutgoingQueue.pop_front();
        }
        if (key != nullptr)
            SealDatagram(datagram, *key, state.Sealer.Next(UnixMilliseconds()));
        // The own instance hears its announcement whatever the network does with it.
        PostIncomingDatagram(datagram.data(), datagram.size());
        if (socket.Valid() && MayBroadcast(state.Scope, choice))
            Broadcast(socket.Get(), state.Port, choice, datagram);
    }
}

// False when the loop must end: the owner is gone or the stop flag is set. Otherwise address is
// the own "ProxyServerAddress", or empty of a value when the callback threw (no change then).
bool ReadOwner(TListeningState& state, std::optional<std::string>& address) {
    const std::scoped_lock lock(state.OwnerLock);
    if (!state.OwnerPresent || state.ThreadsStop->load())
        return false;
    try {
        address = state.ProxyServerAddress();
    } catch (...) {
        address.reset();
    }
    return true;
}

void RunListeningLoop(TListeningState& state) {
    bool bound = false;
    bool failureReported = false;
    TSocketHandle socket = OpenSocket(state.Port, bound, failureReported);
    std::string boundAddress;
    TInterfaceChoice choice;
    const auto batch = std::make_unique<TReceiveBatch>();
    for (;;) {
        std::optional<std::string> address;
        if (!ReadOwner(state, address))
            break;
        try {
            if (address) {
                std::string host = address->substr(0, address->find(':'));
                if (host != boundAddress) {
                    boundAddress = host;
                    {
                        const std::scoped_lock lock(state.BoundAddressLock);
                        state.BoundAddress = std::move(host);
                    }
                    // A new host is a new try for a socket whose bind had failed.
                    if (!bound)
                        socket = OpenSocket(state.Port, bound, failureReported);
                    choice = ChooseInterface(boundAddress);
                }
            }
            // Queued datagrams go out first, then the loop sleeps: the wake of the next one
            // brings it back here through the owner's flag, which may have been set meanwhile.
            // The key is read once a pass: a new one applies from the next datagram on, and
            // what was learnt under the old one is forgotten.
            const auto key = CurrentLanKey();
            if (const std::uint64_t generation = LanKeyGeneration();
                generation != state.KeyGeneration) {
                state.KeyGeneration = generation;
                state.Guard.Reset();
            }
            SendQueued(state, socket, choice, key.get());
            int received = 0;
            pollfd waits[2] = {{socket.Valid() ? socket.Get() : -1, POLLIN, 0},
                               {state.Wake, POLLIN, 0}};
            const int limit =
                socket.Valid() && state.Wake >= 0 ? kIdleWaitMilliseconds : kWaitMilliseconds;
            if (poll(waits, 2, limit) > 0) {
                std::uint64_t signals = 0;
                if ((waits[1].revents & POLLIN) != 0 &&
                    read(state.Wake, &signals, sizeof signals) < 0) {
                    // Already drained: nothing to do.
                }
                if ((waits[0].revents & (POLLIN | POLLERR)) != 0)
                    received = ReceiveWaiting(
                        socket.Get(), choice,
                        {key.get(), &state.Guard, &state.Sealer, UnixMilliseconds()}, *batch);
            }
            if (received > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMilliseconds));
        } catch (...) {
            // Nothing here is worth ending the thread for; pause so a repeating failure
            // does not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMilliseconds));
        }
    }
}

} // namespace

TListeningThread::TListeningThread(std::function<std::string()> proxyServerAddress,
                                   const std::atomic<bool>& threadsStop, std::uint16_t port,
                                   TBroadcastScope scope)
    : State(std::make_shared<TListeningState>(std::move(proxyServerAddress), threadsStop, port,
                                              scope)) {}

TListeningThread::~TListeningThread() {
    // Cuts the thread off from the caller's references; it notices at its next pass and ends.
    {
        const std::scoped_lock lock(State->OwnerLock);
        State->OwnerPresent = false;
        State->ProxyServerAddress = nullptr;
    }
    State->Signal();
}

void TListeningThread::Start() {
    if (State->Started.exchange(true))
        return;
    // The thread frees itself: it holds its own share of the state and is never joined.
    std::thread([state = State] { RunListeningLoop(*state); }).detach();
}

void TListeningThread::QueueForSending(const TDatagram& datagram) {
    {
        const std::scoped_lock lock(State->QueueLock);
        State->OutgoingQueue.push_back(datagram);
    }
    State->Signal();
}

void TListeningThread::Wake() {
    State->Signal();
}

std::string TListeningThread::BoundAddress() const {
    const std::scoped_lock lock(State->BoundAddressLock);
    return State->BoundAddress;
}

} // namespace harbolt
