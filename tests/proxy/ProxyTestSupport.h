#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "../net/NetTestSupport.h"
#include "database/Database.h"
#include "dialup/RasManager.h"
#include "proxy/ProxyState.h"
#include "proxy/Sessions.h"
#include "support/FakeTickClock.h"

namespace harbolt::test {

// The proxy's clock in these tests. It lives as long as the process: a session that waits for a
// dial holds on to the clock it started with.
inline TFakeTickClock& TestClock() {
    static TFakeTickClock clock{0};
    return clock;
}

// Ports on 127.0.0.1 that nothing listens on at the moment (all distinct).
inline std::vector<std::uint16_t> FreePorts(int count) {
    std::vector<TListener> held;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < count; ++i) {
        held.push_back(MakeListener());
        ports.push_back(held.back().Port);
    }
    return ports;
}

inline std::string Loopback(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

// Polls condition every 10 ms for up to milliseconds.
template <typename F> bool WaitFor(F&& condition, int milliseconds = 3000) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Everything the peer sends until it closes; *closed tells whether it closed within milliseconds.
inline std::string ReadUntilClosed(TCommunication& channel, bool* closed, int milliseconds = 3000) {
    std::string bytes;
    *closed = false;
    char buffer[16384];
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int left = milliseconds - static_cast<int>(MillisecondsSince(start));
        if (left <= 0 || !channel.WaitForIncomingData(left))
            return bytes;
        int received;
        try {
            received = channel.ReceiveSome(buffer, sizeof buffer);
        } catch (const ECommunication&) {
            received = 0; // reset by the peer
        }
        if (received <= 0) {
            *closed = true;
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(received));
    }
}

// Everything the peer sends, expecting it to close within milliseconds.
inline std::string AllUntilClosed(TCommunication& channel, int milliseconds = 3000) {
    bool closed = false;
    std::string bytes = ReadUntilClosed(channel, &closed, milliseconds);
    EXPECT_TRUE(closed) << "still open after " << milliseconds << " ms";
    return bytes;
}

// Whether the peer closed within milliseconds without sending a byte.
inline bool ClosedWithoutData(TCommunication& channel, int milliseconds = 3000) {
    bool closed = false;
    const std::string bytes = ReadUntilClosed(channel, &closed, milliseconds);
    return closed && bytes.empty();
}

// A socket connected from source (a loopback address, host order) to 127.0.0.1:port; its
// receives wait 3 s at most.
inline int ConnectFrom(std::uint32_t source, std::uint16_t port) {
    const int made = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{3, 0};
    setsockopt(made, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(source);
    EXPECT_EQ(bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    address.sin_addr.s_addr = htonl(0x7F000001);
    address.sin_port = htons(port);
    EXPECT_EQ(connect(made, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return made;
}

// A listener whose queue is full and never taken: a further connect to it is never answered.
struct TUnansweredListener : TListener {
    TUnansweredListener() : TListener(MakeListener(0)) {
        while (Queued.size() < 8) {
            Queued.push_back(TCommunication::CreateUnconnected(false, false));
            if (!CommunicationError([&] { Queued.back()->Connect(Endpoint, 200); }).empty())
                break;
        }
    }
    std::vector<std::unique_ptr<TBufferedCommunication>> Queued;
};

// The own computer "Gateway" in a fresh database, and the proxy clock replaced; all undone at the
// end.
class ProxyTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        OwnComputerName = "Gateway";
        Database = std::make_unique<TDatabase>();
        TestClock().Set(700000);
        SetProxyClock(TestClock());
        RenewProxyStop(); // a stop of an earlier test must not end this one's threads
        TakeDialCause();  // nor the cause of its dial be taken for this one's
    }
    void TearDown() override {
        SetRequestTimeLimit(0);
        SetProxyClock(SystemTickClock());
        Database.reset();
        OwnComputerName = "unknown";
    }
    static void SetOwn(const std::string& key, const std::string& value) {
        SetComputerProperty(OwnComputerName, key, value);
    }
    std::unique_ptr<TDatabase> Database;
};

// A protocol handler running on a thread of its own with the server end of a loopback pair;
// Client is the client program's end. The destructor stops the handler and waits for it.
class THandlerRun {
public:
    explicit THandlerRun(TProxyHandler handler, std::FILE* trace = nullptr) {
        TChannelPair pair = MakePair();
        Client = std::move(pair.Connected);
        fThread = std::thread([this, handler = std::move(handler),
                               server = std::move(pair.Accepted), trace]() mutable {
            handler(
                std::move(server), trace, [this] { ++Activity; }, Stop);
            Done = true;
        });
    }
    ~THandlerRun() {
        Stop.Raise();
        Client.reset();
        Join();
    }
    THandlerRun(const THandlerRun&) = delete;
    THandlerRun& operator=(const THandlerRun&) = delete;
    void Join() {
        if (fThread.joinable())
            fThread.join();
    }
    bool EndsWithin(int milliseconds) {
        return WaitFor([this] { return Done.load(); }, milliseconds);
    }

    std::unique_ptr<TBufferedCommunication> Client;
    TStopSignal Stop;
    std::atomic<bool> Done{false};
    std::atomic<int> Activity{0};

private:
    std::thread fThread;
};

} // namespace harbolt::test
