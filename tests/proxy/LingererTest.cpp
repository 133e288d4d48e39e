#include "proxy/Lingerer.h"
#include "ProxyTestSupport.h"

#include <poll.h>
#include <sys/socket.h>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

// Whether the peer has read the end of the data (the lingerer shut down its sending side).
bool SawEnd(TCommunication& peer, int milliseconds) {
    char byte;
    return peer.WaitForIncomingData(milliseconds) && peer.ReceiveSome(&byte, 1) == 0;
}

// Whether the far socket is closed: a byte sent to a closed socket is answered with a reset,
// while a socket that is only shut down keeps it.
bool SawClose(TCommunication& peer, int milliseconds) {
    ::send(peer.Socket(), "x", 1, MSG_NOSIGNAL);
    pollfd descriptor{peer.Socket(), 0, 0};
    return poll(&descriptor, 1, milliseconds) > 0 &&
           (descriptor.revents & (POLLERR | POLLHUP)) != 0;
}

// One lingering connection: Near goes to the lingerer, Far stays with the test.
struct TEnds {
    std::unique_ptr<TBufferedCommunication> Near;
    std::unique_ptr<TBufferedCommunication> Far;
};

TEnds Ends() {
    test::TChannelPair pair = test::MakePair();
    return {std::move(pair.Accepted), std::move(pair.Connected)};
}

class LingererTest : public test::NetTest {
protected:
    test::TFakeTickClock Clock{0};
};

TEST_F(LingererTest, ShutsDownAndClosesOnTheClocksSchedule) {
    TLingerer lingerer(Clock);
    TEnds client = Ends();
    TEnds origin = Ends();
    ASSERT_TRUE(lingerer.Hand(std::move(client.Near), std::move(origin.Near), 50ms, 500ms));
    EXPECT_EQ(lingerer.Pending(), 1u);

    Clock.Advance(49);
    lingerer.RunDue();
    EXPECT_FALSE(client.Far->WaitForIncomingData(20));
    EXPECT_FALSE(origin.Far->WaitForIncomingData(0));

    Clock.Advance(1);
    lingerer.RunDue();
    EXPECT_TRUE(SawEnd(*client.Far, 2000));
    EXPECT_TRUE(SawEnd(*origin.Far, 2000));
    // The peers' sends are still taken.
    EXPECT_FALSE(SawClose(*client.Far, 20));
    Clock.Advance(499);
    lingerer.RunDue();
    EXPECT_FALSE(SawClose(*origin.Far, 20));
    EXPECT_EQ(lingerer.Pending(), 1u);

    Clock.Advance(1);
    lingerer.RunDue();
    EXPECT_EQ(lingerer.Pending(), 0u);
    EXPECT_TRUE(SawClose(*client.Far, 2000));
    EXPECT_TRUE(SawClose(*origin.Far, 2000));
}

TEST_F(LingererTest, ItsThreadFinishesEntriesInDueOrder) {
    TLingerer lingerer(Clock);
    // Handed over in this order, due at 30, 10, 20, 10 ms.
    const std::chrono::milliseconds pauses[] = {30ms, 10ms, 20ms, 10ms};
    std::vector<std::unique_ptr<TBufferedCommunication>> far;
    for (const auto pause : pauses) {
        TEnds ends = Ends();
        far.push_back(std::move(ends.Far));
        ASSERT_TRUE(lingerer.Hand(std::move(ends.Near), nullptr, pause, 5ms));
    }
    const std::vector<std::vector<bool>> endedAfter = {
        {false, true, false, true}, // 10 ms
        {false, true, true, true},  // 20 ms
        {true, true, true, true},   // 30 ms
    };
    for (const std::vector<bool>& ended : endedAfter) {
        Clock.Advance(10);
        lingerer.Wake(); // the thread, not the test, runs the steps
        for (std::size_t i = 0; i < far.size(); ++i) {
            if (ended[i])
                EXPECT_TRUE(SawEnd(*far[i], 3000)) << i;
            else // not due by the clock, however long the thread has had
                EXPECT_FALSE(far[i]->WaitForIncomingData(0)) << i;
        }
    }
    Clock.Advance(5);
    lingerer.Wake();
    EXPECT_TRUE(WaitFor([&] { return lingerer.Pending() == 0; }));
}

TEST_F(LingererTest, ARaisedStopOrStopFinishesEverythingAtOnce) {
    auto stop = std::make_shared<TStopSignal>();
    TLingerer lingerer(Clock, [stop] { return stop; });
    std::vector<std::unique_ptr<TBufferedCommunication>> far;
    for (int i = 0; i < 3; ++i) {
        TEnds ends = Ends();
        far.push_back(std::move(ends.Far));
        ASSERT_TRUE(lingerer.Hand(std::move(ends.Near), nullptr, 50ms, 500ms));
    }
    stop->Raise(); // the clock stands still
    EXPECT_TRUE(WaitFor([&] { return lingerer.Pending() == 0; }));
    for (auto& channel : far) {
        EXPECT_TRUE(SawEnd(*channel, 2000));
        EXPECT_TRUE(SawClose(*channel, 2000));
    }

    // Stop finishes what is held, and what comes later closes at once.
    TEnds held = Ends();
    TEnds late = Ends();
    ASSERT_TRUE(lingerer.Hand(std::move(held.Near), nullptr, 50ms, 500ms));
    lingerer.Stop();
    EXPECT_FALSE(lingerer.Hand(std::move(late.Near), nullptr, 50ms, 500ms));
    EXPECT_EQ(lingerer.Pending(), 0u);
    for (TEnds* ends : {&held, &late})
        EXPECT_TRUE(SawEnd(*ends->Far, 2000) && SawClose(*ends->Far, 2000));
}

TEST_F(LingererTest, BeyondItsCapacityConnectionsCloseAtOnce) {
    TLingerer lingerer(Clock, {}, 1);
    TEnds held = Ends();
    TEnds over = Ends();
    EXPECT_TRUE(lingerer.Hand(std::move(held.Near), nullptr, 50ms, 500ms));
    EXPECT_FALSE(lingerer.Hand(nullptr, std::move(over.Near), 50ms, 500ms));
    EXPECT_TRUE(SawEnd(*over.Far, 2000));
    EXPECT_TRUE(SawClose(*over.Far, 2000));
    EXPECT_FALSE(held.Far->WaitForIncomingData(0));
    EXPECT_EQ(lingerer.Pending(), 1u);
}

} // namespace
} // namespace harbolt
