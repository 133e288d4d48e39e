#include "proxy/DialControl.h"
#include "ProxyTestSupport.h"
#include "dialup/EventId.h"
#include "dialup/RasManager.h"
#include "support/TestSupport.h"

#include <deque>
#include <mutex>
#include <regex>
#include <thread>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using test::MillisecondsSince;
using test::TestClock;
using test::WaitFor;

constexpr TRasHandle kOutsideLine = 77;

// The bytes with CR, LF and other control characters made visible, for failure messages.
std::string Visible(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        } else
            text += c;
    }
    return text;
}

bool Matches(const std::string& bytes, const char* pattern) {
    return std::regex_match(bytes, std::regex(pattern));
}

std::size_t Dots(const std::string& bytes) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '.'));
}

// A dial-up layer whose lines the test sets up; the dialogues list it on their own threads while
// the test's main thread hangs lines up, hence the lock.
class TLineBackend final : public TRasBackend {
public:
    void AddLine(TRasHandle handle, const std::string& entry) {
        const std::lock_guard lock(fLock);
        fLines.push_back({handle, entry});
    }
    std::vector<TRasHandle> HangUps() const {
        const std::lock_guard lock(fLock);
        return fHangUps;
    }
    int Dials() const {
        const std::lock_guard lock(fLock);
        return fDials;
    }

    std::uint32_t EnumConnections(std::vector<TRasConnectionInfo>& connections) override {
        const std::lock_guard lock(fLock);
        connections = fLines;
        return 0;
    }
    std::uint32_t GetConnectStatus(TRasHandle connection, std::uint32_t& state) override {
        const std::lock_guard lock(fLock);
        for (const TRasConnectionInfo& line : fLines)
            if (line.Handle == connection) {
                state = kRasConnected;
                return 0;
            }
        return kRasErrorInvalidHandle;
    }
    std::string ErrorString(std::uint32_t code) override {
        return "scripted error " + std::to_string(code);
    }
    std::uint32_t EnumEntries(std::vector<std::string>& entries) override {
        entries = {"Provider"};
        return 0;
    }
    bool GetEntryDialParams(const std::string&, std::string&, std::string&, bool&) override {
        return false;
    }
    std::uint32_t Dial(const std::string&, const std::string&, const std::string&, TRasHandle&,
                       TRasDialProgress) override {
        const std::lock_guard lock(fLock);
        ++fDials;
        return kRasErrorCannotFindEntry; // no test here means to dial
    }
    std::uint32_t HangUp(TRasHandle connection) override {
        const std::lock_guard lock(fLock);
        fHangUps.push_back(connection);
        std::erase_if(fLines, [connection](const TRasConnectionInfo& line) {
            return line.Handle == connection;
        });
        return 0;
    }

private:
    mutable std::mutex fLock;
    std::vector<TRasConnectionInfo> fLines;
    std::vector<TRasHandle> fHangUps;
    int fDials = 0;
};

// One dialogue on a thread of its own with the server end of a loopback connection, which it
// closes when the dialogue returns; the test reads Client. A dialogue that is still waiting when
// the run ends is let go by moving the proxy clock past every limit.
class TDialogueRun {
public:
    template <typename F> explicit TDialogueRun(F dialogue) {
        test::TChannelPair pair = test::MakePair();
        Client = std::move(pair.Connected);
        fThread = std::thread([this, server = std::move(pair.Accepted), dialogue]() mutable {
            if (server) {
                try {
                    dialogue(*server);
                } catch (const ECommunication& e) {
                    fError = e.what();
                }
                server.reset();
            }
            fDone = true;
        });
    }
    ~TDialogueRun() { Finish(); }
    TDialogueRun(const TDialogueRun&) = delete;
    TDialogueRun& operator=(const TDialogueRun&) = delete;

    bool Done() const { return fDone; }

    // Waits for the dialogue to end and reports a channel failure in it.
    void Finish() {
        if (!fThread.joinable())
            return;
        if (!WaitFor([this] { return fDone.load(); }, 500))
            TestClock().Advance(120000);
        fThread.join();
        if (!fError.empty())
            ADD_FAILURE() << "the dialogue failed: " << fError;
    }

    // Reads until `text` has arrived, the server closes, or milliseconds pass.
    bool ReadUntil(const std::string& text, int milliseconds = 3000) {
        return Read([&] { return Received.find(text) != std::string::npos; }, milliseconds);
    }
    // Reads until the server closes; false when it does not within milliseconds.
    bool ReadToClose(int milliseconds = 3000) {
        Read([] { return false; }, milliseconds);
        return Closed;
    }
    // Reads until `count` more dots than now have arrived.
    bool ReadDots(std::size_t count, int milliseconds = 3000) {
        const std::size_t wanted = Dots(Received) + count;
        return Read([&] { return Dots(Received) >= wanted; }, milliseconds);
    }
    // Whatever arrives within milliseconds.
    void ReadFor(int milliseconds) {
        Read([] { return false; }, milliseconds);
    }

    std::unique_ptr<TBufferedCommunication> Client;
    std::string Received; // everything read from Client so far
    bool Closed = false;

private:
    template <typename F> bool Read(F&& done, int milliseconds) {
        const auto start = std::chrono::steady_clock::now();
        char buffer[4096];
        while (!done()) {
            // At the end of the time what has arrived is still taken in.
            const int left = std::max(0, milliseconds - static_cast<int>(MillisecondsSince(start)));
            if (Closed || !Client->WaitForIncomingData(left))
                return false;
            int received = 0;
            try {
                received = Client->ReceiveSome(buffer, sizeof buffer);
            } catch (const ECommunication&) {
                received = 0;
            }
            if (received <= 0)
                Closed = true;
            else
                Received.append(buffer, static_cast<std::size_t>(received));
        }
        return true;
    }

    std::thread fThread;
    std::atomic<bool> fDone{false};
    std::string fError; // read after the join
};

// The online computer's proxy port as the take-over meets it: it accepts one connection and
// answers with the pieces given, 20 ms apart. It records what it receives until the taker closes,
// or, when it goes away mid-answer, closes right after its answer.
class TFakeOnlineComputer {
public:
    explicit TFakeOnlineComputer(std::vector<std::string> answer, bool goesAway = false)
        : fListener(test::MakeListener()) {
        fThread = std::thread([this, answer = std::move(answer), goesAway] {
            try {
                const auto peer = fListener.Channel->Accept(3000);
                if (!peer)
                    return;
                fAccepted = true;
                fReceived = test::ReadUpTo(*peer, 15, 2000);
                for (const std::string& piece : answer) {
                    test::SendNow(*peer, piece);
                    std::this_thread::sleep_for(20ms);
                }
                if (goesAway)
                    return;
                bool closed = false;
                fReceived += test::ReadUntilClosed(*peer, &closed, 3000);
                fTakerClosed = closed;
            } catch (const ECommunication&) {
                fTakerClosed = true; // reset by the taker
            }
        });
    }
    ~TFakeOnlineComputer() { Join(); }
    TFakeOnlineComputer(const TFakeOnlineComputer&) = delete;
    TFakeOnlineComputer& operator=(const TFakeOnlineComputer&) = delete;

    const std::string& Address() const { return fListener.Endpoint; }
    void Join() {
        if (fThread.joinable())
            fThread.join();
    }
    // After Join.
    bool Accepted() const { return fAccepted; }
    const std::string& Received() const { return fReceived; }
    bool TakerClosed() const { return fTakerClosed; }

private:
    test::TListener fListener;
    std::thread fThread;
    bool fAccepted = false;
    std::string fReceived;
    bool fTakerClosed = false;
};

class DialControlTest : public test::ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        ResetSharedFlags();
        ResetOnlineAddressTime();
        SetOwn("AutoDialPhoneBookEntry", "Provider");
        DialerClock.Set(300000);
        Backend = std::make_shared<TLineBackend>();
        Dialer = std::make_unique<TDialer>(Backend, DialerClock, Links());
    }
    void TearDown() override {
        Dialer.reset();
        ResetSharedFlags();
        ProxyTest::TearDown();
    }
    static void ResetSharedFlags() {
        DialRequested = false;
        DialingInProgress = false;
        MonitorPassDone = false;
    }

    TDialerLinks Links() {
        TDialerLinks links;
        links.Post = [this](std::function<void()> task) { Tasks.Post(std::move(task)); };
        links.OnlineStateMessage = [this](bool online) { OnlineStates.push_back(online); };
        links.ShowMessage = [](const std::string& text) { ADD_FAILURE() << "message: " << text; };
        links.Ask = [](const std::string& text, int, std::function<void(int)>) {
            ADD_FAILURE() << "question: " << text;
        };
        // The dialer waits here for the monitor after a hang-up: the pass is done at once.
        links.Sleep = [this](std::chrono::milliseconds time) {
            DialerClock.Advance(static_cast<std::uint32_t>(time.count()));
            MonitorPassDone = true;
            if (OnMonitorWait)
                OnMonitorWait();
        };
        return links;
    }

    // Runs what was posted to the main thread, as its event loop would.
    void RunPosted() { Tasks.RunPosted(); }
    std::size_t PostedCount() { return Tasks.PostedCount(); }

    // An online announcement that is older than 5 s by now.
    static void StaleAddress(const std::string& address) {
        SetOnlineProxyAddress(address);
        TestClock().Advance(5001);
    }

    // Nothing was asked of the dialer, and nothing is pending.
    void ExpectNothingDialled() {
        EXPECT_EQ(PostedCount(), 0u);
        EXPECT_FALSE(DialRequested);
        EXPECT_EQ(Dialer->CommandDelay(), 0);
    }

    test::TFakeTickClock DialerClock{0};
    std::shared_ptr<TLineBackend> Backend;
    std::unique_ptr<TDialer> Dialer;
    test::TPostedTasks Tasks;
    std::vector<bool> OnlineStates;
    std::function<void()> OnMonitorWait; // main thread only
};

// --- Who counts as online ---

TEST_F(DialControlTest, OnlineMeansAnAddressAnnouncedWithinFiveSeconds) {
    std::string address = "left over";
    EXPECT_FALSE(FreshOnlineAddress(address)); // never announced since the reset

    SetOnlineProxyAddress("");
    EXPECT_FALSE(FreshOnlineAddress(address)); // an announcement without a proxy port

    SetOnlineProxyAddress("192.168.1.5:1977");
    ASSERT_TRUE(FreshOnlineAddress(address));
    EXPECT_EQ(address, "192.168.1.5:1977");
    TestClock().Advance(4999);
    EXPECT_TRUE(FreshOnlineAddress(address));
    TestClock().Advance(2);
    address.clear();
    EXPECT_FALSE(FreshOnlineAddress(address)); // the address is never cleared, only aged
    EXPECT_EQ(address, "192.168.1.5:1977");

    // The 32-bit tick count wraps after 49.7 days; an announcement just before still counts.
    TestClock().Set(0xFFFFFF00u);
    SetOnlineProxyAddress("192.168.1.6:1977");
    TestClock().Set(0x00000100u);
    EXPECT_TRUE(FreshOnlineAddress(address));
    EXPECT_EQ(address, "192.168.1.6:1977");
}

// --- "WOULD CONNECT?" and "ONLINE?" ---

TEST_F(DialControlTest, WouldConnectOnlyWhenDialingNeedsNoQuestion) {
    struct TCase {
        const char* Enabled;
        const char* Ask; // nullptr: the key is absent
        const char* Answer;
    };
    const TCase cases[] = {
        {"yes", nullptr, "YES"}, {"1", "no", "YES"},   {nullptr, nullptr, "NO"},
        {"no", nullptr, "NO"},   {"yes", "yes", "NO"}, {"Ja", "J", "NO"},
    };
    for (const TCase& c : cases) {
        SetOwn("AutoDialEnabled", c.Enabled ? c.Enabled : "");
        SetOwn("AutoDialAskBeforeDialing", c.Ask ? c.Ask : "");
        TDialogueRun run([](TBufferedCommunication& channel) { AnswerWouldConnect(channel); });
        EXPECT_TRUE(run.ReadToClose());
        run.Finish();
        EXPECT_EQ(run.Received, c.Answer) << "enabled " << (c.Enabled ? c.Enabled : "(absent)")
                                          << ", ask " << (c.Ask ? c.Ask : "(absent)");
    }
    // A spent dial budget would not dial on demand either.
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialAskBeforeDialing", "");
    SetOwn("AutoDialPhoneBookEntry", "LTE");
    SetOwn("AutoDialMaxDialsPerHour", "1");
    SetOwn(EventIDToString(NewEventID()), NewConnectionRecord("LTE"));
    TDialogueRun spent([](TBufferedCommunication& channel) { AnswerWouldConnect(channel); });
    EXPECT_TRUE(spent.ReadToClose());
    spent.Finish();
    EXPECT_EQ(spent.Received, "NO");
    EXPECT_EQ(PostedCount(), 0u);
}

TEST_F(DialControlTest, OnlineNamesTheOwnComputerAndTheActiveConnection) {
    OwnComputerName = "B\xFCro"; // Windows-1252 bytes go out as they are
    // Both at once: each holds its connection for a second before closing.
    TDialogueRun connected(
        [](TBufferedCommunication& channel) { AnswerOnline(channel, "T-Online DF\xDC"); });
    TDialogueRun offline([](TBufferedCommunication& channel) { AnswerOnline(channel, ""); });
    EXPECT_TRUE(connected.ReadToClose());
    EXPECT_TRUE(offline.ReadToClose());
    connected.Finish();
    offline.Finish();
    EXPECT_EQ(connected.Received, "B\xFCro\r\nT-Online DF\xDC\r\n") << Visible(connected.Received);
    EXPECT_EQ(offline.Received, "B\xFCro\r\n\r\n") << Visible(offline.Received);
}

// --- "CONNECT!" ---

TEST_F(DialControlTest, ConnectRefusesWhileSomebodyIsOnlineOrDialingIsNotFree) {
    const auto refused = [this](const char* situation) {
        TDialogueRun run(
            [this](TBufferedCommunication& channel) { AnswerConnect(channel, *Dialer); });
        EXPECT_TRUE(run.ReadToClose()) << situation;
        run.Finish();
        EXPECT_EQ(run.Received, "CANNOT CONNECT\r\n") << situation << ": " << Visible(run.Received);
        ExpectNothingDialled();
    };

    SetOwn("AutoDialEnabled", "yes");
    SetOnlineProxyAddress("192.168.1.5:1977");
    TestClock().Advance(4999);
    refused("an address announced 4999 ms ago");

    TestClock().Advance(2); // nobody online from here on
    SetOwn("AutoDialEnabled", "");
    refused("dial on demand not set");
    SetOwn("AutoDialEnabled", "no");
    refused("dial on demand off");
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialAskBeforeDialing", "yes");
    refused("ask before dialing");
}

TEST_F(DialControlTest, ConnectWithAStaleAddressDialsAndSucceedsOnTheAnnouncement) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialAskBeforeDialing", "no");
    // A computer that went offline long ago: its address stays but nobody is online.
    StaleAddress("192.168.1.5:1977");

    const auto start = std::chrono::steady_clock::now();
    TDialogueRun run([this](TBufferedCommunication& channel) { AnswerConnect(channel, *Dialer); });
    ASSERT_TRUE(run.ReadUntil("CONNECTING\r\n")) << Visible(run.Received);
    EXPECT_EQ(run.Received, "CONNECTING\r\n");

    // The request reaches the main thread as a dial request (not a hang-up).
    ASSERT_EQ(PostedCount(), 1u);
    RunPosted();
    EXPECT_TRUE(DialRequested);
    EXPECT_TRUE(Dialer->SkipQuestion());
    EXPECT_TRUE(Backend->HangUps().empty());

    // A dot after every eighth 100 ms step.
    ASSERT_TRUE(run.ReadDots(1));
    EXPECT_GE(MillisecondsSince(start), 800.0);
    EXPECT_FALSE(run.Closed);

    SetOnlineProxyAddress("192.168.1.9:1977"); // our dial connected and we announced ourselves
    EXPECT_TRUE(run.ReadToClose());
    run.Finish();
    EXPECT_TRUE(Matches(run.Received, "CONNECTING\r\n\\.+ nearly done \\.\r\nSUCCESS\r\n"))
        << Visible(run.Received);
    EXPECT_EQ(Backend->Dials(), 0); // the dial itself is the timer's business
}

TEST_F(DialControlTest, ConnectGivesUpAfterSixtySeconds) {
    SetOwn("AutoDialEnabled", "yes");
    TDialogueRun run([this](TBufferedCommunication& channel) { AnswerConnect(channel, *Dialer); });
    ASSERT_TRUE(run.ReadUntil("CONNECTING\r\n")) << Visible(run.Received);
    RunPosted();
    EXPECT_TRUE(DialRequested);

    TestClock().Advance(60000); // not more than 60 s yet
    run.ReadFor(300);
    EXPECT_EQ(run.Received.find("nearly"), std::string::npos) << Visible(run.Received);
    TestClock().Advance(1);
    EXPECT_TRUE(run.ReadToClose());
    run.Finish();
    EXPECT_TRUE(Matches(run.Received, "CONNECTING\r\n\\.* nearly done \\.\r\nERROR\r\n"))
        << Visible(run.Received);
}

// --- "DISCONNECT!" ---

TEST_F(DialControlTest, DisconnectWithoutAConnectionCannot) {
    TDialogueRun run(
        [this](TBufferedCommunication& channel) { AnswerDisconnect(channel, *Dialer); });
    EXPECT_TRUE(run.ReadToClose());
    run.Finish();
    EXPECT_EQ(run.Received, "CANNOT DISCONNECT\r\n") << Visible(run.Received);
    EXPECT_EQ(PostedCount(), 0u);
    EXPECT_EQ(Dialer->LastDialAttempt(), 0u);
}

TEST_F(DialControlTest, DisconnectHangsUpALineDialledOutsideHarbolt) {
    Backend->AddLine(kOutsideLine, "Other provider");
    ASSERT_EQ(Dialer->OwnConnection(), 0u);
    const std::uint32_t begin = DialerClock.Now();

    TDialogueRun run(
        [this](TBufferedCommunication& channel) { AnswerDisconnect(channel, *Dialer); });
    ASSERT_TRUE(run.ReadUntil("DISCONNECTING\r\n")) << Visible(run.Received);
    EXPECT_EQ(Dialer->OwnConnection(), kOutsideLine); // adopted
    EXPECT_EQ(Dialer->LastDialAttempt(), begin);
    ASSERT_EQ(PostedCount(), 1u);
    // It waits, with dots, for the main thread to hang up.
    ASSERT_TRUE(run.ReadDots(2));
    EXPECT_TRUE(Backend->HangUps().empty());

    DialerClock.Advance(2500);
    // The dialer's wait for the monitor lasts until the dialogue has ended, so its clearing of
    // the last attempt surely comes before the dialogue's closing stamp.
    OnMonitorWait = [&run] { EXPECT_TRUE(WaitFor([&run] { return run.Done(); })); };
    RunPosted();
    OnMonitorWait = nullptr;
    EXPECT_TRUE(run.ReadToClose());
    run.Finish();

    EXPECT_TRUE(Matches(run.Received, "DISCONNECTING\r\n\\.+\r\nSUCCESS\r\n"))
        << Visible(run.Received);
    EXPECT_EQ(Backend->HangUps(), std::vector<TRasHandle>{kOutsideLine});
    EXPECT_EQ(Dialer->OwnConnection(), 0u);
    EXPECT_EQ(OnlineStates, std::vector<bool>{false});
    // The hold-off before dialling here again starts with the end of the hang-up.
    EXPECT_EQ(Dialer->LastDialAttempt(), begin + 2500 + 100);
}

TEST_F(DialControlTest, DisconnectReportsAnErrorWhenTheLineStaysUpFiveSeconds) {
    Backend->AddLine(kOutsideLine, "Other provider");
    const std::uint32_t begin = DialerClock.Now();
    TDialogueRun run(
        [this](TBufferedCommunication& channel) { AnswerDisconnect(channel, *Dialer); });
    ASSERT_TRUE(run.ReadUntil("DISCONNECTING\r\n")) << Visible(run.Received);
    EXPECT_EQ(Dialer->LastDialAttempt(), begin);
    DialerClock.Advance(1234);

    // The main thread never gets to the posted hang-up.
    run.ReadFor(0);
    TestClock().Advance(5000); // not more than 5 s yet: the dots go on
    ASSERT_TRUE(run.ReadDots(3)) << Visible(run.Received);
    EXPECT_FALSE(run.Closed);
    TestClock().Advance(1);
    EXPECT_TRUE(run.ReadToClose());
    run.Finish();

    EXPECT_TRUE(Matches(run.Received, "DISCONNECTING\r\n\\.+\r\nERROR\r\n"))
        << Visible(run.Received);
    EXPECT_EQ(Dialer->OwnConnection(), kOutsideLine);
    EXPECT_TRUE(Backend->HangUps().empty());
    EXPECT_EQ(Dialer->LastDialAttempt(), begin + 1234); // stamped again at the end
    EXPECT_EQ(PostedCount(), 1u);                       // the hang-up is still to come
}

// --- The take-over ---

TEST_F(DialControlTest, TakeOverWithNobodyOnlineOnlyRequestsADial) {
    // Nothing listens there any more: a take-over that tried it would raise.
    const std::string formerOnline = test::Loopback(test::FreePorts(1).front());
    for (const bool stale : {false, true}) {
        if (stale)
            StaleAddress(formerOnline); // gone offline long ago
        else
            SetOnlineProxyAddress("");
        DialRequested = false;
        Dialer->StampLastDialAttempt();

        EXPECT_NO_THROW(HostileTakeOver(*Dialer)) << stale;
        EXPECT_TRUE(DialRequested) << stale;
        EXPECT_TRUE(Dialer->SkipQuestion()) << stale;
        EXPECT_EQ(Dialer->LastDialAttempt(), 0u) << stale; // no hold-off
        EXPECT_EQ(PostedCount(), 0u) << stale;
    }
}

TEST_F(DialControlTest, TakeOverDialsThreeTicksAfterTheOnlineComputerHungUp) {
    const std::vector<std::vector<std::string>> answers = {
        {"DISCONNECTING\r\n", ".", ".", ".", "\r\nSUCCESS\r\n"},
        {"disconnecting\r\n.\r\nSuccess\r\n"}, // the words in any case
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(Visible(answer.front()));
        TFakeOnlineComputer online(answer);
        SetOnlineProxyAddress(online.Address());
        DialRequested = false;

        HostileTakeOver(*Dialer);
        online.Join();
        EXPECT_EQ(online.Received(), "DISCONNECT!\r\n\r\n") << Visible(online.Received());
        EXPECT_TRUE(online.TakerClosed());
        EXPECT_FALSE(DialRequested); // not yet

        ASSERT_EQ(PostedCount(), 1u);
        RunPosted();
        EXPECT_EQ(Dialer->CommandDelay(), 3);
        EXPECT_FALSE(DialRequested);
        for (int tick = 1; tick <= 3; ++tick) {
            EXPECT_FALSE(DialRequested) << tick;
            Dialer->GoOnlineTimer();
            RunPosted();
        }
        EXPECT_TRUE(DialRequested);
        EXPECT_EQ(Dialer->CommandDelay(), 0);
    }
}

TEST_F(DialControlTest, TakeOverDialsNothingWhenTheOnlineComputerCannotHangUp) {
    const std::vector<std::vector<std::string>> answers = {
        {"CANNOT DISCONNECT\r\n"},
        {"DISCONNECTING\r\n", ".", ".", "\r\nERROR\r\n"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(Visible(answer.back()));
        TFakeOnlineComputer online(answer);
        SetOnlineProxyAddress(online.Address());

        HostileTakeOver(*Dialer);
        online.Join();
        EXPECT_EQ(online.Received(), "DISCONNECT!\r\n\r\n") << Visible(online.Received());
        EXPECT_TRUE(online.TakerClosed());
        ExpectNothingDialled();
    }
}

TEST_F(DialControlTest, TakeOverRaisesChannelFailures) {
    // Nothing listens at the announced address.
    SetOnlineProxyAddress(test::Loopback(test::FreePorts(1).front()));
    EXPECT_THROW(HostileTakeOver(*Dialer), ECommunication);
    ExpectNothingDialled();

    // The online computer goes away in the middle of its answer.
    TFakeOnlineComputer online({"DISCONNECTING\r\n.."}, true);
    SetOnlineProxyAddress(online.Address());
    EXPECT_THROW(HostileTakeOver(*Dialer), ECommunication);
    online.Join();
    EXPECT_TRUE(online.Accepted());
    ExpectNothingDialled();
}

TEST_F(DialControlTest, TakeOverGivesUpOnAnOnlineComputerThatSaysNothing) {
    // It runs on the main thread: a peer that accepts and stays silent must not stop it for good.
    test::TListener listener = test::MakeListener();
    std::atomic<bool> release{false};
    std::thread silent([&] {
        const auto peer = listener.Channel->Accept(3000);
        while (peer && !release)
            std::this_thread::sleep_for(20ms);
    });
    SetOnlineProxyAddress(listener.Endpoint);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HostileTakeOver(*Dialer), ECommunication);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    release = true;
    silent.join();
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 15.0);
    ExpectNothingDialled();
}

} // namespace
} // namespace harbolt
