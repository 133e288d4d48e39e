#include "app/Instance.h"
#include "database/Database.h"
#include "dialup/Dialer.h"
#include "peer/Datagram.h"
#include "platform/TimeSetter.h"
#include "proxy/Listeners.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace harbolt {
namespace {

namespace fs = std::filesystem;

class TManualClock final : public TTickClock {
public:
    std::uint32_t Now() const override { return Ticks; }
    std::uint32_t Ticks = 1000;
};

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-instance-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        SetLanguage(TLanguage::English);
        ThreadsStop = false;
    }
    void TearDown() override {
        Instance.reset();
        fs::remove_all(Dir);
        OwnComputerName = "unknown";
        ThreadsStop = false;
    }
    TInstance& Start(const std::string& name = "ALPHA") {
        TInstanceOptions options;
        options.Name = name;
        options.DataDir = Dir.string();
        options.Network = false; // datagrams go straight to the own incoming queue
        Instance = std::make_unique<TInstance>(options, Clock, Setter);
        Instance->Start();
        return *Instance;
    }
    // One pass of the send timers and the receive timer.
    void Tick() {
        Instance->FrequentSendTimerProc();
        Instance->OccasionalSendTimerProc();
        Instance->ReceiveTimerProc();
    }

    fs::path Dir;
    TManualClock Clock;
    TRecordingTimeSetter Setter{"/dev/null"};
    std::unique_ptr<TInstance> Instance;
};

TEST_F(InstanceTest, FirstStartHoldsOnlyTheOwnComputerAndWritesNothingUntilAChange) {
    TInstance& instance = Start();
    TInstanceStatus status = instance.Status();
    EXPECT_EQ(status.Name, "ALPHA");
    ASSERT_EQ(status.Computers.size(), 1u);
    EXPECT_EQ(status.Computers[0].Name, "Alpha");
    EXPECT_FALSE(status.Computers[0].Alive);
    EXPECT_EQ(status.Computers[0].Status, "I am ALPHA.");
    EXPECT_EQ(status.OnlineText, "(all offline)");

    Tick();
    instance.SaveTimerTimer();
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DAT"));

    status = instance.Status();
    EXPECT_TRUE(status.Computers[0].Alive);
    EXPECT_EQ(status.Computers[0].Status, "ALPHA is registrated in the local net; I am ALPHA.");

    instance.SetOwnProperty("Timemaster", "yes");
    instance.SaveTimerTimer();
    ASSERT_TRUE(fs::exists(Dir / "Harbolt.DAT"));
    fs::remove(Dir / "Harbolt.DAT");
    instance.SaveTimerTimer(); // nothing changed since: no save
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DAT"));
}

TEST_F(InstanceTest, SettingsSurviveAQuitAndRestart) {
    Start("Gamma").SetOwnProperty("ProxyServerAddress", "10.77.0.3:1977");
    Instance->Shutdown();
    Instance.reset();
    ThreadsStop = false;
    TInstance& again = Start("gamma");
    EXPECT_EQ(again.GetOwnProperty("proxyserveraddress"), "10.77.0.3:1977");
    const auto list = again.ListProperties("", false);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, (TComputerData::TPropertyList{{"ProxyServerAddress", "10.77.0.3:1977"}}));
}

TEST_F(InstanceTest, OtherComputersShowWhenTheirDataIsFrom) {
    TInstance& instance = Start();
    TComputerData& beta = TheDatabase->FindComputer("BETA");
    beta.SetOwn(false);
    TJournal journal;
    journal.JournalEnd = 2;
    journal.Entries = {{"A", "1"}, {"$2026-12-07/23:14.02", "!New Connection! Home"}};
    beta.ApplyJournal(journal);

    const std::string line = instance.StatusLine(beta);
    EXPECT_EQ(line.rfind("The data of BETA is from ", 0), 0u) << line;
    EXPECT_NE(line.find(" at "), std::string::npos);

    SetLanguage(TLanguage::German);
    EXPECT_EQ(instance.StatusLine(TheDatabase->FindComputer("ALPHA")), "ALPHA bin ich.");
    EXPECT_EQ(instance.StatusLine(beta).rfind("BETA ist zuletzt aktualisiert worden am ", 0), 0u);
    SetLanguage(TLanguage::English);

    EXPECT_EQ(instance.ListProperties("beta", false)->size(), 1u);
    EXPECT_EQ(instance.ListProperties("beta", true)->size(), 2u);
    EXPECT_FALSE(instance.ListProperties("nobody", true).has_value());
}

TEST_F(InstanceTest, CopyAndRetransmitActOnlyWhereTheyMay) {
    TInstance& instance = Start();
    TComputerData& beta = TheDatabase->FindComputer("Beta");
    beta.SetOwn(false);
    TJournal journal;
    journal.JournalEnd = 3;
    journal.Entries = {{"AutoDialEnabled", "yes"}};
    beta.ApplyJournal(journal);

    EXPECT_TRUE(instance.CopyToOwn("BETA", "autodialenabled"));
    EXPECT_EQ(instance.GetOwnProperty("AutoDialEnabled"), "yes");
    EXPECT_TRUE(instance.CopyToOwn("Beta", "Missing")); // an empty value deletes
    EXPECT_FALSE(instance.CopyToOwn("Nobody", "AutoDialEnabled"));

    EXPECT_FALSE(instance.Retransmit("alpha"));
    EXPECT_FALSE(instance.Retransmit("Nobody"));
    EXPECT_TRUE(instance.Retransmit("beta"));
    EXPECT_TRUE(beta.IsEmpty());
    EXPECT_EQ(beta.GetJournalEnd(), 0);
}

TEST_F(InstanceTest, StatusKeepsTheNameAsTheComputerSendsIt) {
    TInstance& instance = Start();
    const TDatagram presence = PresenceDatagram("GAMMA");
    PostIncomingDatagram(presence.data(), presence.size());
    instance.ReceiveTimerProc();
    TInstanceStatus status = instance.Status();
    ASSERT_EQ(status.Computers.size(), 2u);
    EXPECT_EQ(status.Computers[1].Name, "Gamma");
    EXPECT_EQ(status.Computers[1].Status.rfind("Gamma is registrated in the local net; ", 0), 0u);
    // Asking created no entry under the roster's spelling.
    std::vector<std::string> names;
    TheDatabase->GetNames(names);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Gamma"), 0);

    const TDatagram dataInfo = DataInfoDatagram("GAMMA", 0, "");
    PostIncomingDatagram(dataInfo.data(), dataInfo.size());
    instance.ReceiveTimerProc();
    status = instance.Status();
    EXPECT_EQ(status.Computers[1].Status,
              "GAMMA is registrated in the local net; The data of GAMMA is up to date.");
}

// A loopback port that nobody listens on right now.
int FreeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

bool ServerListenerBound(TInstance& instance) {
    for (int i = 0; i < 100; ++i) { // the listener binds on its own thread
        for (const auto& listener : instance.ProxyServices().Listeners)
            if (listener.Name == "server" && listener.Bound)
                return true;
        ::usleep(20000);
    }
    return false;
}

TEST_F(InstanceTest, ProxyServicesFollowProxyEnabledAtStartRestartAndQuit) {
    const std::string address = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    Start().SetOwnProperty("ProxyServerAddress", address);
    EXPECT_FALSE(Instance->ProxyServices().Running); // not enabled: nothing listens
    EXPECT_TRUE(Instance->ProxyServices().Listeners.empty());

    Instance->SetOwnProperty("ProxyEnabled", "yes");
    Instance->Shutdown();
    EXPECT_TRUE(RegistryEmpty());
    Instance.reset();

    Start(); // enabled in the saved data: the services start with the instance
    ASSERT_TRUE(Instance->ProxyServices().Running);
    ASSERT_TRUE(ServerListenerBound(*Instance));
    EXPECT_EQ(Instance->ProxyServices().Listeners.back().Address, address);

    Instance->SetOwnProperty("ProxyEnabled", "no");
    EXPECT_FALSE(Instance->RestartProxyServices());
    EXPECT_FALSE(Instance->ProxyServices().Running);
    EXPECT_TRUE(RegistryEmpty());

    Instance->SetOwnProperty("ProxyEnabled", "yes");
    EXPECT_TRUE(Instance->RestartProxyServices()); // binds the same port again
    EXPECT_TRUE(ServerListenerBound(*Instance));
    Instance->Shutdown();
    EXPECT_TRUE(RegistryEmpty());
}

TEST_F(InstanceTest, DialLoginStoresThePasswordScrambled) {
    Start().SetDialLogin("anna", "pässwort");
    EXPECT_EQ(Instance->GetOwnProperty("AutoDialUsername"), "anna");
    const std::string stored =
        TheDatabase->FindComputer(OwnComputerName).GetProperty("AutoDialPassword");
    EXPECT_EQ(stored.size(), 8u); // Windows-1252: one byte per character
    EXPECT_NE(stored, "p\xE4sswort");
    EXPECT_EQ(ScramblePassword(stored), "p\xE4sswort");
}

TEST_F(InstanceTest, QuitAsksTheMainLoopToEnd) {
    TInstance& instance = Start();
    bool asked = false;
    instance.QuitRequested = [&asked] { asked = true; };
    instance.Quit();
    EXPECT_TRUE(asked);
}

} // namespace
} // namespace harbolt
