// The listening thread over loopback only. Every thread here runs with TBroadcastScope::
// LoopbackOnly, so nothing is ever broadcast onto a real network: with a host on "lo" the
// broadcasts stay on "lo", with any other host none are sent at all.
#include "peer/ListeningThread.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// A test's own UDP socket, closed at the end of the test whatever happens.
class TTestSocket {
public:
    TTestSocket() : Descriptor(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~TTestSocket() {
        if (Descriptor >= 0)
            close(Descriptor);
    }
    TTestSocket(const TTestSocket&) = delete;
    TTestSocket& operator=(const TTestSocket&) = delete;

    int Get() const { return Descriptor; }

    // Binds to INADDR_ANY:port; reuse lets it share the port with the listening thread.
    bool BindAny(std::uint16_t port, bool reuse) {
        const int on = 1;
        if (reuse)
            setsockopt(Descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        return bind(Descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }

    void SendToLoopback(std::uint16_t port, const unsigned char* bytes, std::size_t size) const {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const ssize_t sent = sendto(Descriptor, bytes, size, 0,
                                    reinterpret_cast<const sockaddr*>(&target), sizeof target);
        EXPECT_EQ(sent, static_cast<ssize_t>(size));
    }

private:
    int Descriptor;
};

// A port nobody holds right now, on any address.
std::uint16_t UnusedPort() {
    TTestSocket probe;
    EXPECT_TRUE(probe.BindAny(0, false));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

// The listening thread's socket shares the port with reuse; an exclusive bind succeeds only once
// that socket is closed, that is once the loop has ended.
bool PortFree(std::uint16_t port) {
    TTestSocket probe;
    return probe.BindAny(port, false);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 2000ms) {
    const auto deadline = TClock::now() + limit;
    while (!condition()) {
        if (TClock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TDatagram Marked(const std::string& name) {
    return PresenceDatagram(name);
}

// A first IPv4 address of this computer that is not on a loopback interface, or "".
std::string NonLoopbackAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string found;
    for (const ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
                  sizeof text);
        found = text;
    }
    freeifaddrs(list);
    return found;
}

class ListeningThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearIncomingQueue();
        Port = UnusedPort();
        SetAddress("127.0.0.1:1977");
    }

    void TearDown() override {
        Stop = true;
        Listener.reset();
        // The thread must be gone before the next test uses the process-wide queue.
        EXPECT_TRUE(WaitUntil([this] { return PortFree(Port); }));
        ClearIncomingQueue();
    }

    // As the program's next announcement would, the change wakes the loop.
    void SetAddress(const std::string& address) {
        {
            const std::scoped_lock lock(AddressLock);
            Address = address;
        }
        if (Listener)
            Listener->Wake();
    }

    void StartListener() {
        Listener = std::make_unique<TListeningThread>(
            [this] {
                ++Calls;
                const std::scoped_lock lock(AddressLock);
                return Address;
            },
            Stop, Port, TBroadcastScope::LoopbackOnly);
        Listener->Start();
    }

    bool WaitForBoundAddress(const std::string& host) {
        return WaitUntil([&] { return Listener->BoundAddress() == host; });
    }

    // Returns once the loop has finished at least one whole pass (address, wait, receive, send)
    // that began after this call.
    bool WaitForPasses() {
        const int seen = Calls.load();
        for (int pass = 1; pass <= 2; ++pass) {
            Listener->Wake();
            if (!WaitUntil([&] { return Calls.load() >= seen + pass; }))
                return false;
        }
        return true;
    }

    // Names of incoming datagrams, taken until `last` arrives (included) or the time is up.
    std::vector<std::string> TakeNamesUntil(const std::string& last) {
        std::vector<std::string> names;
        WaitUntil([&] {
            TIncomingDatagram element;
            while (TakeIncomingDatagram(element)) {
                names.push_back(ParseAnnouncement(element).Name);
                if (names.back() == last)
                    return true;
            }
            return false;
        });
        return names;
    }

    std::uint16_t Port = 0;
    std::atomic<bool> Stop{false};
    std::atomic<int> Calls{0};
    std::mutex AddressLock;
    std::string Address;
    std::unique_ptr<TListeningThread> Listener;
};

TEST_F(ListeningThreadTest, OwnDatagramsEnterTheIncomingQueueInOrder) {
    // Queued before the first pass: all three are posted by one send step, before any echo
    // of the first can be received.
    StartListener();
    Listener->QueueForSending(Marked("FIRST"));
    Listener->QueueForSending(DataInfoDatagram("SECOND", 5, "127.0.0.1:1977"));
    Listener->QueueForSending(OnlineDatagram("THIRD", "dsl"));
    const std::vector<std::string> names = TakeNamesUntil("THIRD");
    // Echoes of the broadcast on "lo" may come in between; the first arrivals keep the order.
    std::vector<std::string> firsts;
    for (const std::string& name : names)
        if (std::find(firsts.begin(), firsts.end(), name) == firsts.end())
            firsts.push_back(name);
    EXPECT_EQ(firsts, (std::vector<std::string>{"FIRST", "SECOND", "THIRD"}));
}

TEST_F(ListeningThreadTest, OwnDatagramsArriveWhenNothingIsBroadcast) {
    // 127.0.0.2 is held by no interface: no broadcast leaves at all, so each datagram comes back
    // exactly once, through the own queue. Several senders at once keep their own order.
    SetAddress("127.0.0.2:1977");
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.2"));
    constexpr int kSenders = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kSenders; ++sender)
        senders.emplace_back([this, sender] {
            for (int i = 0; i < kEach; ++i)
                Listener->QueueForSending(DataInfoDatagram(std::to_string(sender), i, ""));
        });
    for (auto& sender : senders)
        sender.join();

    std::vector<int> next(kSenders, 0);
    int taken = 0;
    WaitUntil([&] {
        TIncomingDatagram element;
        while (TakeIncomingDatagram(element)) {
            const TAnnouncement announcement = ParseAnnouncement(element);
            const int sender = std::stoi(announcement.Name);
            EXPECT_EQ(announcement.JournalEnd, next[sender]);
            next[sender] = announcement.JournalEnd + 1;
            ++taken;
        }
        return taken >= kSenders * kEach;
    });
    EXPECT_EQ(taken, kSenders * kEach);
    ASSERT_TRUE(WaitForPasses());
    TIncomingDatagram extra;
    EXPECT_FALSE(TakeIncomingDatagram(extra));
}

TEST_F(ListeningThreadTest, BroadcastLeavesThroughLoopbackFromTheBoundHost) {
    TTestSocket watcher;
    const int on = 1;
    setsockopt(watcher.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ASSERT_TRUE(watcher.BindAny(Port, true));
    StartListener();
    const TDatagram sent = OnlineDatagram("ECHO", "dsl");
    Listener->QueueForSending(sent);

    pollfd wait{watcher.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 2000), 1);
    std::array<unsigned char, 600> buffer{};
    union {
        cmsghdr Header;
        unsigned char Bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    } control{};
    sockaddr_in from{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.Bytes;
    message.msg_controllen = sizeof control.Bytes;
    ASSERT_EQ(recvmsg(watcher.Get(), &message, 0), 512);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(from.sin_port), Port);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    ASSERT_NE(header, nullptr);
    ASSERT_EQ(header->cmsg_type, IP_PKTINFO);
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(header), sizeof info);
    EXPECT_EQ(static_cast<unsigned>(info.ipi_ifindex), if_nametoindex("lo"));
    EXPECT_EQ(info.ipi_addr.s_addr, htonl(INADDR_BROADCAST));
}

TEST_F(ListeningThreadTest, KeepsOnlyWholeDatagramsWithBothMagics) {
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    TTestSocket sender;
    const TDatagram dropped = Marked("DROPPED");
    std::vector<unsigned char> longer(dropped.begin(), dropped.end());
    longer.push_back(0);
    TDatagram badMagic = dropped;
    badMagic[6] ^= 0x01;
    const unsigned char payload[] = {'N', 'I', 'N', 'E'};
    const TDatagram typeNine = MakeDatagram(9, payload, sizeof payload);
    const TDatagram last = Marked("LAST");

    sender.SendToLoopback(Port, dropped.data(), 511);
    sender.SendToLoopback(Port, longer.data(), longer.size());
    sender.SendToLoopback(Port, badMagic.data(), badMagic.size());
    sender.SendToLoopback(Port, typeNine.data(), typeNine.size());
    sender.SendToLoopback(Port, last.data(), last.size());
    // Loopback delivers in order, so everything sent before LAST has been looked at by then.
    EXPECT_EQ(TakeNamesUntil("LAST"), (std::vector<std::string>{"NINE", "LAST"}));
}

TEST_F(ListeningThreadTest, ABurstIsTakenWholeAndInOrder) {
    // More than one batch of receptions, sent before the thread can take any: a LAN of a hundred
    // computers sends some forty between two passes.
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    TTestSocket sender;
    constexpr int kBurst = 150;
    std::vector<std::string> sent;
    for (int i = 0; i < kBurst; ++i) {
        sent.push_back("B" + std::to_string(i));
        const TDatagram datagram = Marked(sent.back());
        sender.SendToLoopback(Port, datagram.data(), datagram.size());
    }
    EXPECT_EQ(TakeNamesUntil(sent.back()), sent);
}

TEST_F(ListeningThreadTest, FollowsTheHostButNotThePort) {
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    SetAddress("127.0.0.1:8080");
    ASSERT_TRUE(WaitForPasses());
    EXPECT_EQ(Listener->BoundAddress(), "127.0.0.1");

    // A name is resolved; "localhost" is on "lo" as well, so loopback datagrams still count.
    SetAddress("localhost:1977");
    ASSERT_TRUE(WaitForBoundAddress("localhost"));
    TTestSocket sender;
    const TDatagram after = Marked("AFTER");
    sender.SendToLoopback(Port, after.data(), after.size());
    EXPECT_EQ(TakeNamesUntil("AFTER"), (std::vector<std::string>{"AFTER"}));

    // No host: every arrival counts.
    SetAddress("");
    ASSERT_TRUE(WaitForBoundAddress(""));
    const TDatagram unbound = Marked("UNBOUND");
    sender.SendToLoopback(Port, unbound.data(), unbound.size());
    EXPECT_EQ(TakeNamesUntil("UNBOUND"), (std::vector<std::string>{"UNBOUND"}));
}

TEST_F(ListeningThreadTest, DropsDatagramsThatArriveOnAnotherInterface) {
    const std::string host = NonLoopbackAddress();
    if (host.empty())
        GTEST_SKIP() << "no interface besides loopback";
    // Bound for a non-loopback interface; the scope keeps the thread from sending there.
    SetAddress(host + ":1977");
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress(host));
    TTestSocket sender;
    const TDatagram foreign = Marked("FOREIGN");
    sender.SendToLoopback(Port, foreign.data(), foreign.size());
    ASSERT_TRUE(WaitForPasses());

    SetAddress("127.0.0.1:1977");
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    const TDatagram local = Marked("LOCAL");
    sender.SendToLoopback(Port, local.data(), local.size());
    EXPECT_EQ(TakeNamesUntil("LOCAL"), (std::vector<std::string>{"LOCAL"}));
}

TEST_F(ListeningThreadTest, AnIdleLoopSleepsAndTheStopFlagEndsItAtItsNextPass) {
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    ASSERT_FALSE(PortFree(Port));
    // Nothing to send and nothing arriving: no pass every 100 ms.
    const int calls = Calls.load();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(Calls.load() - calls, 1);

    // A datagram queued after the stop wakes the loop, which ends instead of sending it.
    Stop = true;
    const auto stopped = TClock::now();
    Listener->QueueForSending(Marked("LATE"));
    ASSERT_TRUE(WaitUntil([this] { return PortFree(Port); }, 1000ms));
    EXPECT_LT(TClock::now() - stopped, 300ms);
    std::this_thread::sleep_for(150ms);
    TIncomingDatagram element;
    EXPECT_FALSE(TakeIncomingDatagram(element));
}

TEST_F(ListeningThreadTest, DestroyingNeitherWaitsNorLeavesTheThreadWithTheCallersState) {
    // The callback's captures and the stop flag live on the heap and are freed right after the
    // object: under AddressSanitizer any later use by the thread is a reported error.
    auto stop = std::make_unique<std::atomic<bool>>(false);
    auto address = std::make_unique<std::string>("127.0.0.1:1977");
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto listener = std::make_unique<TListeningThread>(
        [text = address.get(), calls] {
            ++*calls;
            return *text;
        },
        *stop, Port, TBroadcastScope::LoopbackOnly);
    listener->Start();
    ASSERT_TRUE(WaitUntil([&] { return listener->BoundAddress() == "127.0.0.1"; }));

    const auto destroying = TClock::now();
    listener.reset();
    EXPECT_LT(TClock::now() - destroying, 50ms);
    const int callsAtDestruction = calls->load();
    address.reset();
    stop.reset();

    ASSERT_TRUE(WaitUntil([this] { return PortFree(Port); }, 1000ms));
    EXPECT_EQ(calls->load(), callsAtDestruction);
}

TEST_F(ListeningThreadTest, FailedBindStillDeliversOwnDatagramsAndIsRetriedOnANewHost) {
    auto blocker = std::make_unique<TTestSocket>();
    ASSERT_TRUE(blocker->BindAny(Port, false));
    testing::internal::CaptureStderr();
    StartListener();
    ASSERT_TRUE(WaitForBoundAddress("127.0.0.1"));
    Listener->QueueForSending(Marked("OWN"));
    EXPECT_EQ(TakeNamesUntil("OWN").front(), "OWN");
    ASSERT_TRUE(WaitForPasses());
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    // Said once, although the first host was a second try.
    const auto first = diagnostics.find("cannot bind the announcement socket");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(diagnostics.find("cannot bind", first + 1), std::string::npos);

    // Once the port is free, a new host brings a socket that receives.
    blocker.reset();
    SetAddress("localhost:1977");
    ASSERT_TRUE(WaitForBoundAddress("localhost"));
    ASSERT_TRUE(WaitForPasses());
    TTestSocket sender;
    const TDatagram probe = Marked("RECEIVED");
    sender.SendToLoopback(Port, probe.data(), probe.size());
    const std::vector<std::string> names = TakeNamesUntil("RECEIVED");
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "RECEIVED");
}

} // namespace
} // namespace harbolt
