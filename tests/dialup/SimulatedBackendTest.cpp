#include "dialup/SimulatedBackend.h"

#include "BackendTestSupport.h"
#include "dialup/DialupErrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace harbolt;
using namespace harbolt::test;

namespace {

using TClock = std::chrono::steady_clock;

class SimulatedBackendTest : public ::testing::Test {
protected:
    void Start(const std::string& phoneBook) {
        Dir.Write("phonebook.conf", phoneBook);
        StartWithoutFile();
    }
    void StartWithoutFile() {
        Backend = CreateSimulatedBackend(Dir.File("phonebook.conf"), MainThread.Poster(),
                                         Diagnostics.Sink());
    }

    std::vector<std::string> UpNames() {
        std::vector<TRasConnectionInfo> connections;
        EXPECT_EQ(Backend->EnumConnections(connections), 0u);
        std::vector<std::string> names;
        for (const TRasConnectionInfo& connection : connections)
            names.push_back(connection.EntryName);
        return names;
    }

    std::uint32_t State(TRasHandle handle) {
        std::uint32_t state = 0;
        EXPECT_EQ(Backend->GetConnectStatus(handle, state), 0u);
        return state;
    }

    TTempDir Dir;
    TDiagnosticLog Diagnostics;
    TMainThreadQueue MainThread;
    std::unique_ptr<TRasBackend> Backend; // ends before everything above
};

TEST_F(SimulatedBackendTest, WithoutPhoneBookThereIsSimLine) {
    StartWithoutFile();
    std::vector<std::string> entries;
    EXPECT_EQ(Backend->EnumEntries(entries), 0u);
    EXPECT_EQ(entries, (std::vector<std::string>{"SimLine"}));
    EXPECT_TRUE(UpNames().empty());

    TProgressLog log;
    TRasHandle handle = 0;
    const auto start = TClock::now();
    ASSERT_EQ(Backend->Dial("simline", "u", "p", handle, log.Callback()), 0u);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(State(handle), kRasDisconnected); // the default delay of one second runs
    ASSERT_TRUE(MainThread.RunUntil([&log] { return !log.Events.empty(); }, 5s));
    EXPECT_GE(TClock::now() - start, 900ms);
    EXPECT_EQ(log.Events, (std::vector<TProgress>{{kRasConnected, 0}}));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"SimLine"}));
    EXPECT_EQ(State(handle), kRasConnected);

    EXPECT_EQ(Backend->HangUp(handle), 0u);
    EXPECT_TRUE(UpNames().empty());
    EXPECT_TRUE(Diagnostics.Taken().empty());
}

TEST_F(SimulatedBackendTest, EntriesComeFromThePhoneBook) {
    Start("[Fast]\nconnect-delay = 0\nuser = anna\npassword = pw\n[Other]\ndial = ignored here\n");
    std::vector<std::string> entries;
    EXPECT_EQ(Backend->EnumEntries(entries), 0u);
    EXPECT_EQ(entries, (std::vector<std::string>{"Fast", "Other"}));

    std::string user;
    std::string password;
    bool stored = false;
    ASSERT_TRUE(Backend->GetEntryDialParams("fast", user, password, stored));
    EXPECT_EQ(user, "anna");
    EXPECT_EQ(password, "pw");
    EXPECT_TRUE(stored);
    EXPECT_FALSE(Backend->GetEntryDialParams("SimLine", user, password, stored));

    TProgressLog log;
    TRasHandle handle = 0;
    ASSERT_EQ(Backend->Dial("Fast", "", "", handle, log.Callback()), 0u);
    ASSERT_TRUE(MainThread.RunUntil([&log] { return !log.Events.empty(); }, 2s));
    EXPECT_EQ(log.Events, (std::vector<TProgress>{{kRasConnected, 0}}));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"Fast"}));
}

TEST_F(SimulatedBackendTest, FailCodeEndsTheDial) {
    Start("[Busy]\nconnect-delay = 0\nfail = 676\n");
    TProgressLog log;
    TRasHandle handle = 0;
    ASSERT_EQ(Backend->Dial("Busy", "", "", handle, log.Callback()), 0u);
    ASSERT_TRUE(MainThread.RunUntil([&log] { return !log.Events.empty(); }, 2s));
    EXPECT_EQ(log.Events, (std::vector<TProgress>{{kRasDisconnected, 676}}));
    EXPECT_TRUE(UpNames().empty());
    EXPECT_EQ(Backend->ErrorString(676), "simulated failure 676");
    EXPECT_EQ(Backend->ErrorString(12345), "dial-up error 12345");
    EXPECT_EQ(Backend->ErrorString(kRasErrorBufferTooSmall),
              DialupErrorText(kRasErrorBufferTooSmall));
}

TEST_F(SimulatedBackendTest, LinesChangeFromOutside) {
    Start("[Home]\n[Office]\n");
    EXPECT_TRUE(Backend->SetSimulatedLine("office", true));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"Office"}));
    EXPECT_TRUE(Backend->SetSimulatedLine("HOME", true));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"Home", "Office"}));
    EXPECT_TRUE(Backend->SetSimulatedLine("Office", false));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"Home"}));
    EXPECT_FALSE(Backend->SetSimulatedLine("Nowhere", true));
    EXPECT_FALSE(Backend->SetSimulatedLine("SimLine", true));
    EXPECT_EQ(UpNames(), (std::vector<std::string>{"Home"}));
}

TEST_F(SimulatedBackendTest, HangUpDuringTheDelayCancelsTheDial) {
    Start("[Slow]\nconnect-delay = 1\n");
    TProgressLog log;
    TRasHandle handle = 0;
    ASSERT_EQ(Backend->Dial("Slow", "", "", handle, log.Callback()), 0u);
    TRasHandle again = 0;
    EXPECT_EQ(Backend->Dial("Slow", "", "", again, log.Callback()), kDialupErrorAlreadyDialling);
    EXPECT_EQ(Backend->HangUp(handle), 0u);
    MainThread.RunFor(1300ms);
    EXPECT_TRUE(log.Events.empty());
    EXPECT_TRUE(UpNames().empty());
}

TEST_F(SimulatedBackendTest, UnknownEntriesAndHandlesAreErrors) {
    Start("[Only]\n");
    TProgressLog log;
    TRasHandle handle = 9;
    EXPECT_EQ(Backend->Dial("Other", "", "", handle, log.Callback()), kRasErrorCannotFindEntry);
    EXPECT_EQ(handle, 0u);
    // The refusal names the lines there are, since a phone book replaces SimLine.
    EXPECT_EQ(Backend->ErrorString(kRasErrorCannotFindEntry),
              "the phone book has no entry \"Other\"; the lines are: Only");
    std::uint32_t state = 0;
    EXPECT_EQ(Backend->GetConnectStatus(42, state), kRasErrorInvalidHandle);
    EXPECT_EQ(Backend->HangUp(42), kRasErrorInvalidHandle);
    EXPECT_FALSE(Backend->ErrorString(kRasErrorInvalidHandle).empty());
}

TEST_F(SimulatedBackendTest, StartNoticeSaysWhereTheLinesComeFrom) {
    const std::string path = Dir.File("phonebook.conf");
    EXPECT_FALSE(SimulatedLinesNotice(path, false, {}));
    // As the backend reads them: an empty book gets the stand-in entry on line 0.
    TPhoneBookFile book(path, {}, {}, kSimulatedLineName);
    Dir.Write("phonebook.conf", "# nothing chosen yet\n");
    EXPECT_EQ(SimulatedLinesNotice(path, true, book.Current()->Book),
              path + " names no entry: the simulated line is SimLine");
    Dir.Write("phonebook.conf", "[Fast]\n[B\xc3\xbcro]\n");
    EXPECT_EQ(SimulatedLinesNotice(path, true, book.Current()->Book),
              "the simulated lines are the entries of " + path + ": Fast, B\xc3\xbcro");
    EXPECT_EQ(SimulatedLinesText({}, path), "there are none: " + path + " names no entry");
}

TEST_F(SimulatedBackendTest, MoreThanSixteenLinesUpIsTheBufferError) {
    std::string book;
    for (int i = 1; i <= 17; ++i)
        book += "[Line " + std::to_string(i) + "]\n";
    Start(book);
    for (int i = 1; i <= 16; ++i)
        ASSERT_TRUE(Backend->SetSimulatedLine("Line " + std::to_string(i), true));
    EXPECT_EQ(UpNames().size(), 16u);
    ASSERT_TRUE(Backend->SetSimulatedLine("Line 17", true));
    std::vector<TRasConnectionInfo> connections;
    EXPECT_EQ(Backend->EnumConnections(connections), kRasErrorBufferTooSmall);
    EXPECT_TRUE(connections.empty());
}

TEST_F(SimulatedBackendTest, MonitorThreadAndMainThreadUseItTogether) {
    Start("[A]\nconnect-delay = 0\n[B]\nconnect-delay = 0\n");
    std::atomic<bool> stop{false};
    std::thread monitor([&] {
        for (int i = 0; i < 100000 && !stop; ++i) {
            std::vector<TRasConnectionInfo> connections;
            if (Backend->EnumConnections(connections) == 0)
                for (const TRasConnectionInfo& connection : connections) {
                    std::uint32_t state = 0;
                    Backend->GetConnectStatus(connection.Handle, state);
                }
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 20; ++round) {
        TProgressLog log;
        TRasHandle a = 0;
        ASSERT_EQ(Backend->Dial("A", "", "", a, log.Callback()), 0u);
        EXPECT_TRUE(Backend->SetSimulatedLine("B", round % 2 == 0));
        ASSERT_TRUE(MainThread.RunUntil([&log] { return !log.Events.empty(); }, 2s));
        EXPECT_EQ(log.Events, (std::vector<TProgress>{{kRasConnected, 0}}));
        EXPECT_EQ(Backend->HangUp(a), 0u);
    }
    stop = true;
    monitor.join();
    EXPECT_TRUE(UpNames().empty()); // A hung up, B dropped in the last round
}

} // namespace
