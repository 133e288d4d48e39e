#include "app/Instance.h"
#include "app/Control.h"
#include "app/Sound.h"
#include "database/Database.h"
#include "dialup/Dialer.h"
#include "dialup/PhoneBook.h"
#include "mail/MailAccounts.h"
#include "peer/Datagram.h"
#include "platform/TimeSetter.h"
#include "proxy/Listeners.h"
#include "proxy/ProxyState.h"
#include "support/FakeTickClock.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace harbolt {
namespace {

namespace fs = std::filesystem;

// Records the new-mail sounds instead of playing them.
class TRecordingFace final : public TInstanceFace {
public:
    void NewMail(const std::string& soundFile) override { Played.push_back(soundFile); }
    std::vector<std::string> Played;
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
        SetOnlineProxyAddress("");
        NewMailArrived = false;
    }
    TInstance& Start(const std::string& name = "ALPHA") {
        TInstanceOptions options;
        options.Name = name;
        options.DataDir = Dir.string();
        options.Network = false; // datagrams go straight to the own incoming queue
        options.Face = &Face;
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

    // Writes a mail file while no instance runs (the list is the process's one while it lives).
    void WriteMailFile(const std::function<void(TPop3Accounts&)>& fill) {
        ASSERT_EQ(Instance, nullptr);
        TPop3Accounts accounts;
        fill(accounts);
        accounts.SaveToFile((Dir / "HarboltMail.DAT").string());
    }
    std::string MailFileBytes() {
        std::ifstream file(Dir / "HarboltMail.DAT", std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    fs::path Dir;
    test::TFakeTickClock Clock{1000};
    TRecordingTimeSetter Setter{"/dev/null"};
    std::unique_ptr<TInstance> Instance;
    TRecordingFace Face;
    std::vector<std::string>& SoundsPlayed = Face.Played;
};

std::unique_ptr<TPop3Account> MakeAccount(const std::string& name, const std::string& server,
                                          const std::string& user, const std::string& password,
                                          std::int32_t action, std::set<std::string> uids) {
    auto account = std::make_unique<TPop3Account>();
    account->Name = name;
    account->Server = server;
    account->User = user;
    account->Password = ScramblePassword(password);
    account->Action = action;
    account->UIDLs = std::move(uids);
    return account;
}

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

TEST_F(InstanceTest, AFailedSaveIsSaidOnceShownInStatusAndTriedAgain) {
    Start();
    // A directory where the save writes its new file: the save fails, also for root.
    const fs::path dataBlock = TemporaryFileName(Instance->DataFileName());
    const fs::path mailBlock = TemporaryFileName(Instance->MailFileName());
    fs::create_directory(dataBlock);
    fs::create_directory(mailBlock);
    Instance->SetOwnProperty("Timemaster", "yes");
    TMailSettingsChange frequency;
    frequency.Frequency = 10;
    Instance->SetMailSettings(frequency);

    ::testing::internal::CaptureStderr();
    for (int tick = 0; tick < 3; ++tick)
        Instance->SaveTimerTimer();
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DAT"));
    EXPECT_FALSE(fs::exists(Dir / "HarboltMail.DAT"));
    // One line per file, not one per tick.
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    EXPECT_NE(said.find("harbolt: cannot save " + Instance->DataFileName() + ": "),
              std::string::npos)
        << said;
    const std::string error = Instance->Status().SaveError;
    EXPECT_NE(error.find("cannot save " + Instance->DataFileName()), std::string::npos) << error;
    EXPECT_NE(error.find("cannot save " + Instance->MailFileName()), std::string::npos) << error;
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunControlCommand(*Instance, {"status"}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("Save failed   " + error + "\n"), std::string::npos) << out.str();

    fs::remove(dataBlock);
    fs::remove(mailBlock);
    ::testing::internal::CaptureStderr();
    Instance->SaveTimerTimer();
    Instance->SaveTimerTimer();
    said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::exists(Dir / "Harbolt.DAT"));
    EXPECT_TRUE(fs::exists(Dir / "HarboltMail.DAT"));
    EXPECT_EQ(said, "harbolt: saved " + Instance->DataFileName() + " again\nharbolt: saved " +
                        Instance->MailFileName() + " again\n");
    EXPECT_EQ(Instance->Status().SaveError, "");
}

TEST_F(InstanceTest, FirstStartWritesAnExamplePhoneBookWhoseExamplesAreEntries) {
    TInstance& instance = Start();
    const fs::path book = Dir / "phonebook.conf";
    struct stat info {};
    ASSERT_EQ(stat(book.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(instance.PhoneBookEntries().empty());

    // Every example, uncommented, is an entry without complaint.
    std::ifstream in(book);
    std::string line, uncommented;
    while (std::getline(in, line))
        if (line.rfind("# [", 0) == 0 ||
            (line.rfind("# ", 0) == 0 && line.find(" = ") != std::string::npos))
            uncommented += line.substr(2) + "\n";
    const TPhoneBook parsed = ParsePhoneBook(uncommented);
    EXPECT_TRUE(parsed.Diagnostics.empty());
    ASSERT_EQ(parsed.Entries.size(), 3u);
    for (const TPhoneBookEntry& entry : parsed.Entries)
        EXPECT_FALSE(entry.Dial.empty() || (entry.Check.empty() && entry.Interface.empty()));

    // A book as edited stays as it is at the next start.
    std::ofstream(book) << "[Router]\ninterface = lo\n";
    Instance.reset();
    EXPECT_EQ(Start().PhoneBookEntries(), std::vector<std::string>{"Router"});
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

TEST_F(InstanceTest, ABackupLeftAloneByACrashedSaveIsLoaded) {
    // A crash between a save's two renames leaves only the backups of both files.
    Start("Gamma").SetOwnProperty("ProxyServerAddress", "10.77.0.3:1977");
    TMailSettingsChange frequency;
    frequency.Frequency = 10;
    Instance->SetMailSettings(frequency);
    Instance->Shutdown();
    Instance.reset();
    ThreadsStop = false;
    fs::rename(Dir / "Harbolt.DAT", Dir / "Harbolt.BAK");
    fs::rename(Dir / "HarboltMail.DAT", Dir / "HarboltMail.BAK");

    TInstance& again = Start("Gamma");
    EXPECT_EQ(again.GetOwnProperty("ProxyServerAddress"), "10.77.0.3:1977");
    EXPECT_EQ(again.SetMailSettings({}).Frequency, 10);
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

TEST_F(InstanceTest, ProxyStatusSaysWhyAListenerIsNotBound) {
    // The port is taken before the services try it.
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    Start().SetOwnProperty("ProxyServerAddress", "127.0.0.1:" + port);
    Instance->SetOwnProperty("ProxyMapping04", ":" + port + " -> mail.example.net:25, trigger");
    Instance->SetOwnProperty("ProxyEnabled", "yes");
    ASSERT_TRUE(Instance->RestartProxyServices());

    std::ostringstream out;
    std::ostringstream err;
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) { // the listeners bind on their own threads
        out.str("");
        ASSERT_EQ(RunControlCommand(*Instance, {"proxy", "status"}, out, err), 0) << err.str();
        failed = out.str().find("server        127.0.0.1:" + port + "  not bound: ") !=
                     std::string::npos &&
                 out.str().find("mapping 4     127.0.0.1:" + port + "  not bound: ") !=
                     std::string::npos;
        if (!failed)
            ::usleep(20000);
    }
    ::close(taken);
    EXPECT_TRUE(failed) << out.str();
    EXPECT_NE(out.str().find("  -> mail.example.net:25, trigger\n"), std::string::npos)
        << out.str();
    Instance->Shutdown();
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

TEST_F(InstanceTest, MailFileIsLoadedAtStartUpAndAnUnreadableOneReported) {
    WriteMailFile([](TPop3Accounts& accounts) {
        accounts.Frequency = 10;
        accounts.Trigger = true;
        accounts.SoundFile = "kl\xE4nge.wav";
        accounts.Accounts.push_back(
            MakeAccount("B\xFCro", "pop.example.net", "anna", "pw", 7, {"abc", "def"}));
    });
    const std::string good = MailFileBytes();
    Start();
    TMailStatus status = Instance->MailStatus();
    EXPECT_EQ(status.Settings.Frequency, 10);
    EXPECT_TRUE(status.Settings.Dial);
    EXPECT_EQ(status.Settings.SoundFile, "klänge.wav");
    ASSERT_EQ(status.Mailboxes.size(), 1u);
    EXPECT_EQ(status.Mailboxes[0].Name, "Büro");
    EXPECT_EQ(status.Mailboxes[0].Server, "pop.example.net");
    EXPECT_EQ(status.Mailboxes[0].User, "anna");
    EXPECT_EQ(status.Mailboxes[0].Action, 7);
    EXPECT_EQ(status.Mailboxes[0].Uids, 2u);
    EXPECT_FALSE(status.Mailboxes[0].Checking);
    Instance.reset();

    // Zero-filled: the backup is loaded, and that is said in the events log and the status.
    {
        std::ofstream(Dir / "HarboltMail.BAK", std::ios::binary) << good;
        std::ofstream(Dir / "HarboltMail.DAT", std::ios::binary) << std::string(good.size(), '\0');
    }
    testing::internal::CaptureStderr();
    Start();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Instance->MailStatus().Mailboxes.size(), 1u);
    const std::string loadError = Instance->Status().LoadError;
    EXPECT_EQ(
        loadError.find((Dir / "HarboltMail.DAT").string() + " is damaged at offset 0 (frequency)"),
        0u)
        << loadError;
    EXPECT_NE(said.find("harbolt: " + loadError + "\n"), std::string::npos) << said;
    Instance.reset();

    // Both unreadable: the instance runs without mailboxes.
    {
        std::ofstream(Dir / "HarboltMail.BAK", std::ios::binary) << good.substr(0, 30);
        std::ofstream(Dir / "HarboltMail.DAT", std::ios::binary) << "xy";
    }
    Start();
    EXPECT_TRUE(Instance->MailStatus().Mailboxes.empty());
    EXPECT_EQ(Instance->Status().Name, "ALPHA");
}

TEST_F(InstanceTest, MailFileIsSavedWhenChangedAndAtShutDown) {
    Start();
    Instance->SaveTimerTimer();
    EXPECT_FALSE(fs::exists(Dir / "HarboltMail.DAT")); // nothing changed

    TMailSettingsChange frequency;
    frequency.Frequency = 10;
    EXPECT_EQ(Instance->SetMailSettings(frequency).Frequency, 10);
    Instance->SaveTimerTimer();
    // Frequency, Trigger, SoundFile, no accounts.
    EXPECT_EQ(MailFileBytes(), std::string("\x0A\0\0\0"
                                           "\0"
                                           "\x09\0\0\0email.wav"
                                           "\0\0\0\0",
                                           22));
    struct stat info {};
    ASSERT_EQ(::stat((Dir / "HarboltMail.DAT").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DAT")); // the data file did not change

    fs::remove(Dir / "HarboltMail.DAT");
    Instance->SaveTimerTimer();
    Instance->SetMailSettings({}); // shows them, changes nothing
    EXPECT_FALSE(Instance->RemoveMail("nobody"));
    Instance->SaveTimerTimer();
    EXPECT_FALSE(fs::exists(Dir / "HarboltMail.DAT"));

    EXPECT_EQ(Instance->SetMail({"home", "pop.example.net", "anna", "pässwort", 3}),
              TMailSetResult::Created);
    Instance->SaveTimerTimer();
    EXPECT_TRUE(fs::exists(Dir / "HarboltMail.DAT"));
    fs::remove(Dir / "HarboltMail.DAT");
    EXPECT_TRUE(Instance->RemoveMail("home"));
    Instance->SaveTimerTimer();
    EXPECT_TRUE(fs::exists(Dir / "HarboltMail.DAT"));
    fs::remove(Dir / "HarboltMail.DAT");

    // Saved at shut-down without a periodic save before.
    EXPECT_EQ(Instance->SetMail({"Büro", "10.0.0.9:1110", "bärbel", "gehéim", 0x8000}),
              TMailSetResult::Created);
    Instance->Shutdown();
    Instance.reset();
    TPop3Accounts loaded;
    loaded.LoadKeepingDamaged((Dir / "HarboltMail.DAT").string());
    EXPECT_EQ(loaded.Frequency, 10);
    ASSERT_EQ(loaded.Accounts.size(), 1u);
    const TPop3Account& account = *loaded.Accounts[0];
    EXPECT_EQ(account.Name, "B\xFCro");
    EXPECT_EQ(account.Server, "10.0.0.9:1110");
    EXPECT_EQ(account.User, "b\xE4rbel");
    // Windows-1252, scrambled.
    EXPECT_EQ(account.Password.size(), 6u);
    EXPECT_NE(account.Password, "geh\xE9im");
    EXPECT_EQ(ScramblePassword(account.Password), "geh\xE9im");
    EXPECT_EQ(account.Action, 0x8000);
    EXPECT_TRUE(account.UIDLs.empty());
}

TEST_F(InstanceTest, SetMailKeepsUidsOnlyForTheSameServerAndUser) {
    WriteMailFile([](TPop3Accounts& accounts) {
        accounts.Accounts.push_back(
            MakeAccount("home", "pop.example.net", "anna", "alt", 3, {"a", "b"}));
        accounts.Accounts.push_back(MakeAccount("work", "pop.work.net", "anna", "w", 3, {"z"}));
        accounts.Accounts.push_back(MakeAccount("home", "pop.other.net", "bert", "x", 7, {"y"}));
    });
    Start();
    const auto uids = [this] {
        std::vector<std::size_t> counts;
        for (const TMailboxStatus& mailbox : Instance->MailStatus().Mailboxes)
            counts.push_back(mailbox.Uids);
        return counts;
    };
    ASSERT_EQ(uids(), (std::vector<std::size_t>{2, 1, 1}));

    // The first of the name, the stored password kept.
    EXPECT_EQ(Instance->SetMail({"home", "pop.example.net", "anna", std::nullopt, 7}),
              TMailSetResult::Replaced);
    EXPECT_EQ(Instance->SetMail({"home", "pop.example.net", "anna", "neu", 7}),
              TMailSetResult::Replaced);
    EXPECT_EQ(uids(), (std::vector<std::size_t>{2, 1, 1}));
    EXPECT_EQ(Instance->MailStatus().Mailboxes[0].Action, 7);

    // Another server (also by case alone) or another user: another mailbox's UIDs.
    EXPECT_EQ(Instance->SetMail({"home", "POP.example.net", "anna", std::nullopt, 3}),
              TMailSetResult::ReplacedForgettingUids);
    EXPECT_EQ(Instance->SetMail({"work", "pop.work.net", "Anna", std::nullopt, 3}),
              TMailSetResult::ReplacedForgettingUids);
    EXPECT_EQ(uids(), (std::vector<std::size_t>{0, 0, 1}));
    EXPECT_EQ(Instance->MailStatus().Mailboxes[1].User, "Anna");

    // A new mailbox needs a password.
    EXPECT_EQ(Instance->SetMail({"new", "s", "u", std::nullopt, 3}),
              TMailSetResult::PasswordMissing);
    EXPECT_EQ(Instance->MailStatus().Mailboxes.size(), 3u);

    EXPECT_TRUE(Instance->RemoveMail("home"));
    ASSERT_EQ(Instance->MailStatus().Mailboxes.size(), 2u);
    EXPECT_EQ(Instance->MailStatus().Mailboxes[1].Server, "pop.other.net"); // the first went

    Instance->Shutdown();
    Instance.reset();
    TPop3Accounts loaded;
    loaded.LoadKeepingDamaged((Dir / "HarboltMail.DAT").string());
    ASSERT_EQ(loaded.Accounts.size(), 2u);
    EXPECT_EQ(ScramblePassword(loaded.Accounts[0]->Password), "w"); // kept over the new user
    EXPECT_EQ(loaded.Accounts[1]->UIDLs, (std::set<std::string>{"y"}));
}

// A loopback listener that plays the online computer's proxy port and the POP3 server behind it.
class TFakeMailServer {
public:
    TFakeMailServer() : Listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(Listener, 4);
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length);
        Address = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~TFakeMailServer() {
        Hangup();
        ::close(Listener);
    }
    bool Accept(int milliseconds) {
        pollfd readable{Listener, POLLIN, 0};
        if (::poll(&readable, 1, milliseconds) != 1)
            return false;
        Connection = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        Pending.clear();
        return Connection >= 0;
    }
    // One line without its CR LF; "(none)" when none comes within 5 s.
    std::string ReadLine() {
        for (;;) {
            const std::size_t end = Pending.find("\r\n");
            if (end != std::string::npos) {
                std::string line = Pending.substr(0, end);
                Pending.erase(0, end + 2);
                return line;
            }
            pollfd readable{Connection, POLLIN, 0};
            char buffer[512];
            if (::poll(&readable, 1, 5000) != 1)
                return "(none)";
            const ssize_t count = ::recv(Connection, buffer, sizeof buffer, 0);
            if (count <= 0)
                return "(none)";
            Pending.append(buffer, static_cast<std::size_t>(count));
        }
    }
    void Send(const std::string& text) {
        ::send(Connection, text.data(), text.size(), MSG_NOSIGNAL);
    }
    void Hangup() {
        if (Connection >= 0)
            ::close(Connection);
        Connection = -1;
    }

    const int Listener;
    std::string Address;
    int Connection = -1;
    std::string Pending;
};

template <typename TCondition> bool WaitUntil(TCondition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST_F(InstanceTest, MailTimerChecksEveryFrequencyMinutesAndAnnouncesNewMail) {
    TFakeMailServer server;
    SetOnlineProxyAddress(server.Address);
    Start();
    TMailSettingsChange settings;
    settings.Frequency = 1;
    settings.SoundFile = "klänge.wav";
    Instance->SetMailSettings(settings);
    ASSERT_EQ(Instance->SetMail({"home", "pop.example.net", "änna", "pässwort", 3}),
              TMailSetResult::Created);

    Instance->MailTimerTimer();
    EXPECT_EQ(Instance->MailCountdown(), 59);
    for (int i = 0; i < 58; ++i)
        Instance->MailTimerTimer();
    EXPECT_EQ(Instance->MailCountdown(), 1);
    EXPECT_FALSE(server.Accept(0)); // not a second early
    Instance->MailTimerTimer();
    EXPECT_EQ(Instance->MailCountdown(), 60);
    ASSERT_TRUE(server.Accept(5000));
    EXPECT_TRUE(Instance->MailStatus().Mailboxes[0].Checking);
    EXPECT_EQ(Instance->CheckMail(), 0u); // one check at a time

    EXPECT_EQ(server.ReadLine(), "SOCKPROXY V1 (NT)");
    EXPECT_EQ(server.ReadLine(), "IGNORE TRAFFIC");
    EXPECT_EQ(server.ReadLine(), "CONNECT pop.example.net:110");
    server.Send("+OK POP3 ready\r\n");
    EXPECT_EQ(server.ReadLine(), "USER \xE4nna");
    server.Send("+OK\r\n");
    EXPECT_EQ(server.ReadLine(), "PASS p\xE4sswort");
    server.Send("+OK\r\n");
    EXPECT_EQ(server.ReadLine(), "UIDL");
    server.Send("+OK\r\n1 abc\r\n2 def\r\n.\r\n");
    EXPECT_EQ(server.ReadLine(), "QUIT");
    server.Send("+OK bye\r\n");
    server.Hangup();
    ASSERT_TRUE(WaitUntil([this] {
        const TMailboxStatus mailbox = Instance->MailStatus().Mailboxes[0];
        return mailbox.Uids == 2 && !mailbox.Checking;
    }));

    EXPECT_EQ(Instance->Status().NewMail, 0);
    Instance->MailTimerTimer();
    EXPECT_EQ(SoundsPlayed, std::vector<std::string>{"klänge.wav"});
    EXPECT_EQ(Instance->Status().NewMail, 59);
    Instance->MailTimerTimer();
    EXPECT_EQ(Instance->Status().NewMail, 58);
    EXPECT_EQ(SoundsPlayed.size(), 1u);

    // The UIDs changed: the periodic save writes them.
    Instance->SaveTimerTimer();
    EXPECT_NE(MailFileBytes().find(std::string("\x03\0\0\0abc\x03\0\0\0def", 14)),
              std::string::npos);

    // `ctl mail check` starts one at once; a refused login changes nothing.
    EXPECT_EQ(Instance->CheckMail(), 1u);
    ASSERT_TRUE(server.Accept(5000));
    EXPECT_EQ(server.ReadLine(), "SOCKPROXY V1 (NT)");
    server.Hangup();
    ASSERT_TRUE(WaitUntil([this] { return !Instance->MailStatus().Mailboxes[0].Checking; }));
    EXPECT_EQ(Instance->MailStatus().Mailboxes[0].Uids, 2u);
}

TEST_F(InstanceTest, SoundFilesAreFoundAsNamedOrInTheProgramsDirectory) {
    const fs::path program = Dir / "program";
    fs::create_directories(program);
    std::ofstream(program / "email.wav") << "RIFF";
    std::ofstream(Dir / "own.wav") << "RIFF";
    EXPECT_EQ(SoundFilePath("email.wav", program.string()), (program / "email.wav").string());
    EXPECT_EQ(SoundFilePath((Dir / "own.wav").string(), program.string()),
              (Dir / "own.wav").string());
    EXPECT_EQ(SoundFilePath("missing.wav", program.string()), "");
    EXPECT_EQ(SoundFilePath("/nonexistent/email.wav", program.string()), "");
    EXPECT_EQ(SoundFilePath("", program.string()), "");
    EXPECT_EQ(SoundFilePath("program", Dir.string()), ""); // a directory is no sound

    // The build tree has no share/harbolt beside it: the executable's own directory.
    EXPECT_EQ(ProgramDirectory(), fs::read_symlink("/proc/self/exe").parent_path().string());

    const fs::path first = Dir / "first";
    const fs::path second = Dir / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    std::ofstream(first / "aplay") << "#!/bin/sh\n";
    std::ofstream(second / "paplay") << "#!/bin/sh\n";
    const std::string path = first.string() + "::" + second.string();
    EXPECT_EQ(FindSoundPlayer(path), ""); // not executable
    fs::permissions(first / "aplay", fs::perms::owner_all);
    EXPECT_EQ(FindSoundPlayer(path), (first / "aplay").string());
    fs::permissions(second / "paplay", fs::perms::owner_all);
    EXPECT_EQ(FindSoundPlayer(path), (second / "paplay").string()); // preferred where both are
    EXPECT_EQ(FindSoundPlayer(""), "");
}

TEST_F(InstanceTest, QuitAsksTheMainLoopToEnd) {
    TInstance& instance = Start();
    bool asked = false;
    instance.QuitRequested = [&asked] { asked = true; };
    instance.Quit();
    EXPECT_TRUE(asked);
}

TEST_F(InstanceTest, TheLanKeyIsAFileOfItsOwnAppliedWhenChangedAndNeverOpenedByMistake) {
    TInstance& instance = Start();
    EXPECT_EQ(instance.LanKeyFingerprint(), "");
    const std::string fingerprint = instance.SetLanKey("correct horse battery");
    EXPECT_EQ(instance.Status().LanKeyFingerprint, fingerprint);
    const fs::path file = Dir / "LanKey";
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // A refused key keeps the one in use, and it is never a property that could replicate.
    EXPECT_THROW(instance.SetLanKey("too short"), Exception);
    EXPECT_EQ(instance.LanKeyFingerprint(), fingerprint);
    const auto properties = instance.ListProperties("", true);
    ASSERT_TRUE(properties);
    for (const auto& [key, value] : *properties)
        EXPECT_EQ(value.find("correct horse"), std::string::npos) << key;

    // A key copied in by hand applies within a tick; a broken one keeps the key in use.
    { std::ofstream(file, std::ios::trunc) << "another key of the LAN\n"; }
    Tick();
    const std::string copied = instance.LanKeyFingerprint();
    EXPECT_FALSE(copied.empty());
    EXPECT_NE(copied, fingerprint);
    { std::ofstream(file, std::ios::trunc) << "short"; }
    Tick();
    EXPECT_EQ(instance.LanKeyFingerprint(), copied);

    EXPECT_TRUE(instance.ClearLanKey());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(instance.LanKeyFingerprint(), "");
    EXPECT_FALSE(instance.ClearLanKey());

    // The user asked for a key: a start with an unusable one fails instead of trusting all.
    Instance.reset();
    { std::ofstream(file) << "short"; }
    EXPECT_THROW(Start(), Exception);
}

} // namespace
} // namespace harbolt
