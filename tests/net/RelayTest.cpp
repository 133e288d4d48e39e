#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "NetTestSupport.h"
#include "support/FakeTickClock.h"

namespace harbolt::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The fake clocks start just below the 32-bit wrap, so that every relay test also crosses it.
constexpr std::uint32_t kBeforeWrap = 0xFFFFFF00u;

// client end <-> relay client channel == relay == relay server channel <-> server end
class RelayTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        TChannelPair front = MakePair();
        TChannelPair back = MakePair();
        fClient = std::move(front.Connected);
        fRelayClient = std::move(front.Accepted);
        fRelayServer = std::move(back.Connected);
        fServer = std::move(back.Accepted);
        fTrace = std::tmpfile();
        ASSERT_NE(fTrace, nullptr);
    }

    void TearDown() override {
        Stop();
        if (fRelay.joinable())
            fRelay.join();
        EXPECT_EQ(fRelayError, "");
        std::fclose(fTrace);
    }

    void Stop() {
        fStop = true;
        fStopSignal.Raise();
    }

    // The overload with a stop signal when fUseSignal, else the one with a flag; traced (which
    // makes the relay copy) unless fTraced is off (which lets it splice).
    void StartRelay(bool dropLoneCrLf, const TTickClock& clock = SystemTickClock()) {
        fRelay =
            std::thread([this, dropLoneCrLf, &clock, done = std::move(fDonePromise)]() mutable {
                try {
                    const auto activity = [this] { ++fActivity; };
                    std::FILE* const trace = fTraced ? fTrace : nullptr;
                    if (fUseSignal)
                        RelayBothWays(*fRelayClient, *fRelayServer, trace, dropLoneCrLf,
                                      &fStopSignal, activity, clock);
                    else
                        RelayBothWays(*fRelayClient, *fRelayServer, trace, dropLoneCrLf, &fStop,
                                      activity, clock);
                } catch (const std::exception& e) {
                    fRelayError = e.what();
                }
                done.set_value();
            });
    }

    // True when the relay ends within the time; it is joined then.
    bool Ended(std::chrono::milliseconds within) {
        if (fDone.wait_for(within) != std::future_status::ready)
            return false;
        fRelay.join();
        return true;
    }

    // Waits until the relay has taken everything the client sent so far off the socket, so that
    // what the client sends next arrives as a chunk of its own.
    void WaitUntilTaken() {
        const auto start = Clock::now();
        while (WaitReadable(fRelayClient->Socket(), 0) && Clock::now() - start < 2s)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms);
    }

    // Only after the relay has ended.
    std::string Trace() { return WholeFile(fTrace); }
    // The trace, where the relay writes one.
    void ExpectTrace(const std::string& expected) {
        if (fTraced) {
            EXPECT_EQ(Trace(), expected);
        }
    }

    std::unique_ptr<TBufferedCommunication> fClient;
    std::unique_ptr<TBufferedCommunication> fRelayClient;
    std::unique_ptr<TBufferedCommunication> fRelayServer;
    std::unique_ptr<TBufferedCommunication> fServer;
    std::FILE* fTrace = nullptr;
    bool fUseSignal = false;
    bool fTraced = true;
    std::atomic<bool> fStop{false};
    TStopSignal fStopSignal;
    std::atomic<int> fActivity{0};
    std::string fRelayError;
    std::promise<void> fDonePromise;
    std::future<void> fDone = fDonePromise.get_future();
    std::thread fRelay;
};

// The cases that hold for both overloads and both ways of moving bytes alike: copying (traced)
// with a flag or a stop signal, and splicing (untraced) with a stop signal.
enum class TRelayWay { Flag, StopSignal, Spliced };

class RelayOverloadTest : public RelayTest, public ::testing::WithParamInterface<TRelayWay> {
protected:
    void SetUp() override {
        fUseSignal = GetParam() != TRelayWay::Flag;
        fTraced = GetParam() != TRelayWay::Spliced;
        RelayTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Overloads, RelayOverloadTest,
                         ::testing::Values(TRelayWay::Flag, TRelayWay::StopSignal,
                                           TRelayWay::Spliced),
                         [](const ::testing::TestParamInfo<TRelayWay>& info) {
                             return info.param == TRelayWay::Flag         ? "Flag"
                                    : info.param == TRelayWay::StopSignal ? "StopSignal"
                                                                          : "Spliced";
                         });

// The cases a fake clock drives, which only the flag overload (looking every 50 ms) sees in
// time: copying (traced) and splicing.
class RelayClockTest : public RelayTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        fTraced = GetParam();
        RelayTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Ways, RelayClockTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Copied" : "Spliced";
                         });

TEST_P(RelayOverloadTest, RelaysBothWaysUntilTheClientCloses) {
    StartRelay(false);
    SendNow(*fClient, "hello");
    EXPECT_EQ(ReadUpTo(*fServer, 5), "hello");
    SendNow(*fServer, "world");
    EXPECT_EQ(ReadUpTo(*fClient, 5), "world");
    fClient.reset();
    // The server learns that the client is gone; the relay ends when it closes too.
    EXPECT_EQ(ReadUpTo(*fServer, 1), "");
    fServer.reset();
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Client] WRITE(5): hello -->\n"
                "<-- [reading from Server] WRITE(5): world -->\n"
                "<-- [reading from Client] CONNECTION CLOSED(0) -->\n"
                "<-- [reading from Server] CONNECTION CLOSED(0) -->\n");
    EXPECT_EQ(fActivity.load(), 2);
}

TEST_P(RelayOverloadTest, AClientIsStillHeardAfterTheServerClosedItsSendingSide) {
    StartRelay(false);
    SendNow(*fServer, "banner");
    ::shutdown(fServer->Socket(), SHUT_WR);
    EXPECT_EQ(ReadUpTo(*fClient, 7), "banner"); // and the end of the server's stream
    SendNow(*fClient, "reply");
    EXPECT_EQ(ReadUpTo(*fServer, 5), "reply");
    fClient.reset();
    EXPECT_EQ(ReadUpTo(*fServer, 1), "");
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Server] WRITE(6): banner -->\n"
                "<-- [reading from Server] CONNECTION CLOSED(0) -->\n"
                "<-- [reading from Client] WRITE(5): reply -->\n"
                "<-- [reading from Client] CONNECTION CLOSED(0) -->\n");
}

TEST_P(RelayClockTest, EndsWhenTheServerClosesAndTheClientHasNothingMoreToSay) {
    TFakeTickClock clock{kBeforeWrap};
    StartRelay(false, clock);
    fServer.reset();
    EXPECT_EQ(ReadUpTo(*fClient, 1), ""); // the close is passed on at once
    clock.Advance(10000);
    EXPECT_FALSE(Ended(200ms)); // the client may still answer for 10 s
    clock.Advance(1);
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Server] CONNECTION CLOSED(0) -->\n");
}

TEST_P(RelayOverloadTest, AnswersStillReachAClientThatClosedItsSendingSide) {
    StartRelay(false);
    SendNow(*fClient, "ping");
    ::shutdown(fClient->Socket(), SHUT_WR);   // request sent, now waiting for the answer
    EXPECT_EQ(ReadUpTo(*fServer, 5), "ping"); // and the end of the request
    std::this_thread::sleep_for(100ms);       // an answer that takes its time
    SendNow(*fServer, "pong");
    fServer.reset();
    EXPECT_EQ(ReadUpTo(*fClient, 5), "pong");
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Client] WRITE(4): ping -->\n"
                "<-- [reading from Client] CONNECTION CLOSED(0) -->\n"
                "<-- [reading from Server] WRITE(4): pong -->\n"
                "<-- [reading from Server] CONNECTION CLOSED(0) -->\n");
}

TEST_P(RelayOverloadTest, ALargeAnswerOutlivesTheServersCloseAndReachesAHalfClosedClient) {
    // The server answers more than the sockets can hold and closes at once, while the client
    // reads slowly: the rest of the answer still waits in the relay and in its socket when the
    // server's close arrives.
    constexpr std::size_t kSize = 4 * 1024 * 1024;
    StartRelay(false);
    SendNow(*fClient, "request");
    ::shutdown(fClient->Socket(), SHUT_WR);
    EXPECT_EQ(ReadUpTo(*fServer, 8), "request");
    std::thread server([this] {
        SendNow(*fServer, std::string(kSize, 'a'));
        fServer.reset();
    });
    std::this_thread::sleep_for(300ms); // the server has written what fits and closed
    const std::string answer = ReadUpTo(*fClient, kSize + 1, 20000);
    server.join();
    EXPECT_EQ(answer.size(), kSize);
    ASSERT_TRUE(Ended(2s));
}

TEST_P(RelayOverloadTest, AnEchoingServerNeverStallsTheRelay) {
    // The server sends back what it reads, on one thread: while the relay pushes data at it,
    // the server waits for the relay to take its answers. A relay that blocks in sending to one
    // side without reading the other stalls here for good.
    constexpr std::size_t kSize = 4 * 1024 * 1024; // far beyond what the sockets buffer
    StartRelay(false);
    std::thread echo([this] {
        char buffer[65536];
        std::size_t done = 0;
        while (done < kSize) {
            const int n = fServer->ReceiveSome(buffer, sizeof buffer);
            if (n <= 0)
                break;
            fServer->Send(buffer, n);
            done += static_cast<std::size_t>(n);
        }
    });
    const std::string data(kSize, 'e');
    std::string echoed;
    std::thread reader([&] { echoed = ReadUpTo(*fClient, kSize, 60000); });
    SendNow(*fClient, data);
    reader.join();
    echo.join();
    EXPECT_EQ(echoed.size(), kSize);
}

TEST_P(RelayOverloadTest, StopEndsAnIdleRelayPromptly) {
    StartRelay(false);
    std::this_thread::sleep_for(100ms);
    const auto stopped = Clock::now();
    Stop();
    ASSERT_TRUE(Ended(1s));
    EXPECT_LT(MillisecondsSince(stopped), 500.0);
    ExpectTrace("<-- STOP/TIMEOUT -->\n");
}

TEST_P(RelayOverloadTest, StopEndsARelayUnderSteadyTraffic) {
    std::atomic<bool> quit{false};
    std::thread feeder([&] {
        const std::string block(16384, 'f');
        try {
            while (!quit)
                SendNow(*fClient, block);
        } catch (const ECommunication&) {
        }
    });
    std::thread drainer([&] {
        char buffer[16384];
        while (!quit)
            if (fServer->WaitForIncomingData(20) && fServer->ReceiveSome(buffer, 16384) <= 0)
                break;
    });
    StartRelay(false);
    std::this_thread::sleep_for(200ms);
    const auto stopped = Clock::now();
    Stop();
    const bool ended = Ended(1s);
    EXPECT_LT(MillisecondsSince(stopped), 1000.0);
    quit = true;
    shutdown(fClient->Socket(), SHUT_RDWR); // releases a feeder blocked in a full socket
    drainer.join();
    feeder.join();
    ASSERT_TRUE(ended);
    EXPECT_GT(fActivity.load(), 0);
    // The caller's own sends and receives block again.
    EXPECT_EQ(fcntl(fRelayClient->Socket(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(fRelayServer->Socket(), F_GETFL) & O_NONBLOCK, 0);
    const std::string trace = Trace();
    if (fTraced) {
        EXPECT_EQ(trace.substr(trace.size() - 21), "<-- STOP/TIMEOUT -->\n");
    }
}

TEST_P(RelayOverloadTest, ASendingSideShutUnderTheRelayEndsItWithoutASignal) {
    // A splice into a socket that can no longer send raises SIGPIPE, which would end this
    // process unless the relay keeps it away.
    StartRelay(false);
    SendNow(*fClient, "first");
    EXPECT_EQ(ReadUpTo(*fServer, 5), "first");
    ::shutdown(fRelayServer->Socket(), SHUT_WR);
    SendNow(*fClient, "second");
    ASSERT_TRUE(Ended(2s));
}

TEST_P(RelayOverloadTest, StepsOverUrgentData) {
    // A splice stops at the mark of urgent data; the urgent byte itself is not part of the
    // stream (no SO_OOBINLINE), whichever way the bytes go.
    StartRelay(false);
    SendNow(*fClient, "abc");
    EXPECT_EQ(ReadUpTo(*fServer, 3), "abc");
    ASSERT_EQ(::send(fClient->Socket(), "!", 1, MSG_OOB), 1);
    SendNow(*fClient, "def");
    EXPECT_EQ(ReadUpTo(*fServer, 3), "def");
    SendNow(*fServer, "ok");
    EXPECT_EQ(ReadUpTo(*fClient, 2), "ok");
}

// The real clock, shifted ahead by some milliseconds from its second reading on: the relay's
// start is read unshifted, so a limit comes due that many milliseconds early.
class TShiftedClock : public TTickClock {
public:
    explicit TShiftedClock(std::uint32_t shift) : fShift(shift) {}
    std::uint32_t Now() const override {
        return SystemTickClock().Now() + (fReads++ == 0 ? 0 : fShift);
    }
    int Reads() const { return fReads.load(); }

private:
    std::uint32_t fShift;
    mutable std::atomic<int> fReads{0};
};

TEST_F(RelayTest, AStopSignalWakesARelaySleepingWithoutLimitInSight) {
    fUseSignal = true;
    TShiftedClock clock(0);
    StartRelay(false, clock);
    std::this_thread::sleep_for(300ms);
    // Asleep until the 900 s are due: no reading of the clock every 50 ms.
    EXPECT_LE(clock.Reads(), 4);
    const auto stopped = Clock::now();
    fStopSignal.Raise();
    ASSERT_TRUE(Ended(2s));
    EXPECT_LT(MillisecondsSince(stopped), 500.0);
    EXPECT_EQ(Trace(), "<-- STOP/TIMEOUT -->\n");
}

TEST_F(RelayTest, ASleepingRelayEndsWhenTheSilenceLimitIsDue) {
    fUseSignal = true;
    TShiftedClock clock(900000 - 100); // the silence limit comes due after 100 ms
    const auto start = Clock::now();
    StartRelay(false, clock);
    ASSERT_TRUE(Ended(2s));
    EXPECT_GE(MillisecondsSince(start), 95.0);
    EXPECT_EQ(Trace(), "<-- STOP/TIMEOUT -->\n");
}

TEST_F(RelayTest, ASleepingRelayEndsWhenTheLingerAfterACloseIsDue) {
    fUseSignal = true;
    TShiftedClock clock(10000 - 100); // the linger comes due 100 ms after the start
    StartRelay(false, clock);
    fServer.reset();
    EXPECT_EQ(ReadUpTo(*fClient, 1), ""); // the close is passed on at once
    ASSERT_TRUE(Ended(2s));
    EXPECT_EQ(Trace(), "<-- [reading from Server] CONNECTION CLOSED(0) -->\n");
}

TEST_F(RelayTest, FifteenMinutesOfSilenceEndTheRelay) {
    TFakeTickClock clock{kBeforeWrap};
    StartRelay(false, clock);
    std::this_thread::sleep_for(100ms);
    clock.Advance(900000);
    EXPECT_FALSE(Ended(200ms));
    clock.Advance(1);
    ASSERT_TRUE(Ended(1s));
    EXPECT_EQ(Trace(), "<-- STOP/TIMEOUT -->\n");
}

TEST_P(RelayClockTest, TrafficRestartsTheSilenceLimit) {
    TFakeTickClock clock{kBeforeWrap};
    StartRelay(false, clock);
    clock.Advance(800000);
    SendNow(*fServer, "x");
    EXPECT_EQ(ReadUpTo(*fClient, 1), "x");
    clock.Advance(200000);
    EXPECT_FALSE(Ended(200ms));
    clock.Advance(700001);
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Server] WRITE(1): x -->\n<-- STOP/TIMEOUT -->\n");
}

TEST_P(RelayOverloadTest, DropsALoneCrLfAsFirstClientChunk) {
    StartRelay(true);
    SendNow(*fClient, "\r\n");
    WaitUntilTaken();
    SendNow(*fClient, "USER x\r\n");
    EXPECT_EQ(ReadUpTo(*fServer, 8), "USER x\r\n");
    WaitUntilTaken();
    SendNow(*fClient, "\r\n");
    EXPECT_EQ(ReadUpTo(*fServer, 2), "\r\n");
    fClient.reset();
    fServer.reset();
    ASSERT_TRUE(Ended(1s));
    EXPECT_EQ(fActivity.load(), 2);
    if (!fTraced)
        return;
    // Both ends closed at once: the two CONNECTION CLOSED lines may come in either order.
    const std::string trace = Trace();
    EXPECT_EQ(trace.rfind("<-- [reading from Client] THROWING AWAY CRLF-->\n"
                          "<-- [reading from Client] WRITE(8): USER x\r\n -->\n"
                          "<-- [reading from Client] WRITE(2): \r\n -->\n",
                          0),
              0u)
        << trace;
    EXPECT_NE(trace.find("<-- [reading from Client] CONNECTION CLOSED(0) -->\n"),
              std::string::npos);
}

TEST_P(RelayOverloadTest, ForwardsACrLfAfterTheServerSpoke) {
    StartRelay(true);
    SendNow(*fServer, "220 ready\r\n");
    EXPECT_EQ(ReadUpTo(*fClient, 11), "220 ready\r\n");
    SendNow(*fClient, "\r\n");
    EXPECT_EQ(ReadUpTo(*fServer, 2), "\r\n");
}

TEST_P(RelayOverloadTest, ForwardsALoneCrLfWithoutTheOption) {
    StartRelay(false);
    SendNow(*fClient, "\r\n");
    EXPECT_EQ(ReadUpTo(*fServer, 2), "\r\n");
}

TEST_P(RelayOverloadTest, TraceEscapesControlBytes) {
    StartRelay(false);
    const std::string bytes("\x00\x09"
                            "A\n\r\x1f \xfe\xff\x0b",
                            10);
    SendNow(*fClient, bytes);
    EXPECT_EQ(ReadUpTo(*fServer, 10), bytes);
    fClient.reset();
    EXPECT_EQ(ReadUpTo(*fServer, 1), "");
    fServer.reset();
    ASSERT_TRUE(Ended(1s));
    ExpectTrace("<-- [reading from Client] WRITE(10): \\00\\09A\n\r\\1f \xfe\\ff\\0b -->\n"
                "<-- [reading from Client] CONNECTION CLOSED(0) -->\n"
                "<-- [reading from Server] CONNECTION CLOSED(0) -->\n");
}

TEST_P(RelayOverloadTest, RelaysBytesAlreadyReadIntoTheLineBufferFirst) {
    SendNow(*fClient, "CONNECT host:80\r\nBODY");
    fRelayClient->SetReceiveDeadline(150); // bounds reading the head, not the relay
    ASSERT_EQ(fRelayClient->ReceiveLine(256), "CONNECT host:80");
    StartRelay(false);
    EXPECT_EQ(ReadUpTo(*fServer, 4), "BODY");
    std::this_thread::sleep_for(200ms);
    SendNow(*fClient, "MORE");
    EXPECT_EQ(ReadUpTo(*fServer, 4), "MORE");
}

// A known pattern, different for each seed.
std::string Pattern(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * seed + (i >> 12)) & 0xFF);
    return data;
}

TEST_P(RelayOverloadTest, RelaysLargeStreamsBothWaysIntact) {
    constexpr std::size_t kSize = 3 * 1024 * 1024 + 17;
    constexpr std::size_t kHeld = 1000; // read ahead with each head, before the relay starts
    const std::string up = Pattern(kSize, 131);
    const std::string down = Pattern(kSize, 197);
    SendNow(*fClient, "CONNECT\r\n" + up.substr(0, kHeld));
    SendNow(*fServer, "200 OK\r\n" + down.substr(0, kHeld));
    ASSERT_EQ(fRelayClient->ReceiveLine(256), "CONNECT");
    ASSERT_EQ(fRelayServer->ReceiveLine(256), "200 OK");
    const std::uint64_t pipesBefore = RelayPipesMade();
    StartRelay(false);
    // Each end reads in a thread of its own, so that no direction waits for the other.
    std::string receivedUp;
    std::string receivedDown;
    std::thread upReader([&] { receivedUp = ReadUpTo(*fServer, kSize, 20000); });
    std::thread downReader([&] { receivedDown = ReadUpTo(*fClient, kSize, 20000); });
    std::thread downWriter([&] { SendNow(*fServer, std::string_view(down).substr(kHeld)); });
    SendNow(*fClient, std::string_view(up).substr(kHeld));
    upReader.join();
    downReader.join();
    downWriter.join();
    EXPECT_TRUE(receivedUp == up);
    EXPECT_TRUE(receivedDown == down);
    // One pipe per direction when splicing, none when copying.
    EXPECT_EQ(RelayPipesMade() - pipesBefore, fTraced ? 0u : 2u);
}

// Descriptors run out for as long as it lives: the limit drops to the lowest free one, once the
// holes below (a closed standard input, say) are filled; poll still takes its few entries.
class TNoDescriptorsLeft {
public:
    TNoDescriptorsLeft() {
        getrlimit(RLIMIT_NOFILE, &fFormer);
        int lowestFree;
        while ((lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && lowestFree < 4)
            fFillers.push_back(lowestFree);
        if (lowestFree >= 0)
            close(lowestFree);
        rlimit lowered = fFormer;
        lowered.rlim_cur = static_cast<rlim_t>(std::max(lowestFree, 4));
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~TNoDescriptorsLeft() {
        setrlimit(RLIMIT_NOFILE, &fFormer);
        for (const int filler : fFillers)
            close(filler);
    }

private:
    rlimit fFormer{};
    std::vector<int> fFillers;
};

TEST_F(RelayTest, AnIdleSplicingRelayGivesItsPipesBackAndMakesThemAgain) {
    fTraced = false; // the flag overload looks every 50 ms, so it sees the fake clock move
    TFakeTickClock clock{kBeforeWrap};
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const std::uint64_t pipesBefore = RelayPipesMade();
    StartRelay(false, clock);
    const auto exchange = [this] {
        SendNow(*fClient, "ping");
        EXPECT_EQ(ReadUpTo(*fServer, 4), "ping");
        SendNow(*fServer, "pong");
        EXPECT_EQ(ReadUpTo(*fClient, 4), "pong");
    };
    exchange(); // a direction's first chunk is copied: no pipe for a one-chunk exchange
    EXPECT_EQ(RelayPipesMade(), pipesBefore);
    exchange(); // its second is spliced
    EXPECT_EQ(RelayPipesMade() - pipesBefore, 2u);
    const auto holding = openDescriptors();
    clock.Advance(999);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(openDescriptors(), holding); // not idle long enough yet
    clock.Advance(2);
    const auto start = Clock::now();
    while (openDescriptors() != holding - 4 && Clock::now() - start < 2s)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(openDescriptors(), holding - 4);
    SendNow(*fClient, "again");
    EXPECT_EQ(ReadUpTo(*fServer, 5), "again");
    EXPECT_EQ(RelayPipesMade() - pipesBefore, 3u);
    Stop(); // before the clock goes
    EXPECT_TRUE(Ended(1s));
}

TEST_F(RelayTest, CopiesWhenNoPipeCanBeMade) {
    fUseSignal = true;
    fTraced = false;
    const std::uint64_t pipesBefore = RelayPipesMade();
    StartRelay(false); // an idle relay holds no pipe yet
    // A first chunk each way is copied in any case. The helper threads are running before the
    // descriptors run out and end after: the sanitizers' checks of a thread's start and end
    // need a descriptor (UBSan's type check of the thread's first call among them).
    SendNow(*fClient, "u");
    EXPECT_EQ(ReadUpTo(*fServer, 1), "u");
    SendNow(*fServer, "d");
    EXPECT_EQ(ReadUpTo(*fClient, 1), "d");
    const std::string up = Pattern(300000, 7);
    const std::string down = Pattern(300000, 11);
    std::atomic<bool> go{false};
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    std::atomic<int> done{0};
    const auto waitFor = [](const std::function<bool()>& condition) {
        const auto start = Clock::now();
        while (!condition() && Clock::now() - start < 15s)
            std::this_thread::sleep_for(1ms);
    };
    std::string receivedDown;
    const auto helper = [&](const std::function<void()>& work) {
        return std::thread([&, work] {
            ++started;
            waitFor([&] { return go.load(); });
            work();
            ++done;
            waitFor([&] { return release.load(); });
        });
    };
    std::thread downWriter = helper([&] { SendNow(*fServer, down); });
    std::thread downReader = helper([&] { receivedDown = ReadUpTo(*fClient, down.size(), 10000); });
    waitFor([&] { return started.load() == 2; });
    {
        TNoDescriptorsLeft exhausted;
        go = true;
        SendNow(*fClient, up);
        EXPECT_TRUE(ReadUpTo(*fServer, up.size(), 10000) == up);
        waitFor([&] { return done.load() == 2; });
    }
    release = true;
    downWriter.join();
    downReader.join();
    EXPECT_TRUE(receivedDown == down);
    EXPECT_EQ(RelayPipesMade(), pipesBefore);
}

} // namespace
} // namespace harbolt::test
