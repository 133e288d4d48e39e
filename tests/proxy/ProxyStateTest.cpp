#include "ProxyTestSupport.h"
#include "dialup/EventId.h"
#include "dialup/RasManager.h"

#include <future>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using test::TestClock;
using test::WaitFor;

// GetOnlineProxyAddress on a thread of its own, so that a wait that should not happen shows as a
// failure instead of hanging the test.
class TAddressRequest {
public:
    explicit TAddressRequest(bool mayDial)
        : fResult(std::async(std::launch::async,
                             [mayDial] { return GetOnlineProxyAddress(mayDial); })) {}
    ~TAddressRequest() {
        if (fResult.valid() && fResult.wait_for(0s) != std::future_status::ready) {
            RaiseProxyStop(); // ends a dial wait
            fResult.wait();
            RenewProxyStop();
        }
    }
    bool Done(std::chrono::milliseconds within) {
        return fResult.wait_for(within) == std::future_status::ready;
    }
    std::string Result() { return fResult.get(); }

private:
    std::future<std::string> fResult;
};

class ProxyStateTest : public test::ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        ResetOnlineAddressTime();
        DialRequested = false;
    }
    void TearDown() override {
        DialRequested = false;
        RenewProxyStop();
        ProxyTest::TearDown();
    }
};

TEST_F(ProxyStateTest, AnnouncedAddressAges) {
    EXPECT_FALSE(OnlineAddressFresh()); // never announced since the reset
    SetOnlineProxyAddress("10.0.0.7:1977");
    EXPECT_TRUE(OnlineAddressFresh());
    TestClock().Advance(1000);
    EXPECT_TRUE(OnlineAddressFresh());
    TestClock().Advance(1);
    EXPECT_FALSE(OnlineAddressFresh());
    EXPECT_EQ(OnlineAddressState().Address, "10.0.0.7:1977");

    // An announcement at tick 0 still counts as made.
    TestClock().Set(0);
    SetOnlineProxyAddress("10.0.0.8:1977");
    EXPECT_NE(OnlineAddressState().Time, 0u);
    TestClock().Advance(1);
    EXPECT_TRUE(OnlineAddressFresh());

    // Resetting the time stamp keeps the address.
    ResetOnlineAddressTime();
    EXPECT_FALSE(OnlineAddressFresh());
    EXPECT_EQ(OnlineAddressState().Address, "10.0.0.8:1977");
    EXPECT_EQ(OnlineAddressState().Time, 0u);
}

TEST_F(ProxyStateTest, NoDialWhileFreshOrNotAllowed) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOnlineProxyAddress("10.0.0.7:1977");
    TestClock().Advance(5000); // still fresh
    {
        TAddressRequest request(true);
        ASSERT_TRUE(request.Done(2s));
        EXPECT_EQ(request.Result(), "10.0.0.7:1977");
    }
    EXPECT_FALSE(DialRequested);

    TestClock().Advance(1); // stale from here on
    {
        TAddressRequest request(false);
        ASSERT_TRUE(request.Done(2s));
        EXPECT_EQ(request.Result(), "10.0.0.7:1977");
    }
    EXPECT_FALSE(DialRequested);

    for (const char* setting : {"no", ""}) {
        SetOwn("AutoDialEnabled", setting);
        TAddressRequest request(true);
        ASSERT_TRUE(request.Done(2s)) << setting;
        EXPECT_EQ(request.Result(), "10.0.0.7:1977");
        EXPECT_FALSE(DialRequested) << setting;
    }
}

TEST_F(ProxyStateTest, ASpentBudgetRefusesAtOnceAndTheFirstCauseIsKept) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOwn("AutoDialPhoneBookEntry", "LTE");
    SetOwn("AutoDialMaxDialsPerHour", "1");
    SetOnlineProxyAddress("10.0.0.7:1977");
    TestClock().Advance(30000);
    {
        auto lookup = std::async(std::launch::async,
                                 [] { return FindOnlineProxy(true, nullptr, "10.0.0.5 a:80"); });
        ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
        auto joining = std::async(std::launch::async,
                                  [] { return FindOnlineProxy(true, nullptr, "10.0.0.6 b:80"); });
        EXPECT_EQ(joining.wait_for(200ms), std::future_status::timeout);
        SetOnlineProxyAddress("10.0.0.9:1977");
        ASSERT_EQ(lookup.wait_for(2s), std::future_status::ready);
        ASSERT_EQ(joining.wait_for(2s), std::future_status::ready);
        EXPECT_FALSE(lookup.get().DialRefused);
        EXPECT_EQ(joining.get().Address, "10.0.0.9:1977");
        EXPECT_EQ(TakeDialCause(), "10.0.0.5 a:80"); // the request that started the dial
    }

    // The dial of this minute spends the budget: nothing is requested or waited for.
    DialRequested = false;
    SetOwn(EventIDToString(NewEventID()), NewConnectionRecord("LTE"));
    TestClock().Advance(30000);
    const TOnlineLookup refused = FindOnlineProxy(true, nullptr, "10.0.0.5 a:80");
    EXPECT_TRUE(refused.DialRefused);
    EXPECT_EQ(refused.Address, "10.0.0.9:1977");
    EXPECT_FALSE(DialRequested);
    EXPECT_EQ(TakeDialCause(), "");
    SetOwn("AutoDialViaPeers", "no");
    EXPECT_EQ(DialRouteNow().Route, TDialRoute::Refused);
    EXPECT_FALSE(FindOnlineProxy(false, nullptr, "").DialRefused); // no dial asked for
}

TEST_F(ProxyStateTest, DialWaitEndsWithTheAnnouncement) {
    SetOwn("AutoDialEnabled", "Yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    SetOnlineProxyAddress("10.0.0.7:1977");
    TestClock().Advance(30000);
    TAddressRequest request(true);
    ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
    EXPECT_FALSE(request.Done(300ms));
    TestClock().Advance(20000);
    EXPECT_FALSE(request.Done(300ms));
    SetOnlineProxyAddress("10.0.0.9:1977"); // the lock is free while the session waits
    ASSERT_TRUE(request.Done(2s));
    EXPECT_EQ(request.Result(), "10.0.0.9:1977");
}

TEST_F(ProxyStateTest, DialWaitGivesUpAfterSixtySecondsOrOnStop) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    {
        TAddressRequest request(true); // never announced
        ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
        EXPECT_FALSE(request.Done(200ms)); // (the wait has taken its start time by now)
        TestClock().Advance(60000);
        EXPECT_FALSE(request.Done(300ms));
        TestClock().Advance(1);
        ASSERT_TRUE(request.Done(2s));
        EXPECT_EQ(request.Result(), OnlineAddressState().Address); // whatever was known
    }
    DialRequested = false;
    {
        TAddressRequest request(true);
        ASSERT_TRUE(WaitFor([] { return DialRequested.load(); }));
        EXPECT_FALSE(request.Done(200ms));
        RaiseProxyStop();
        EXPECT_TRUE(request.Done(1s));
        RenewProxyStop();
    }
}

} // namespace
} // namespace harbolt
