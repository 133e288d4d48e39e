// The commands backend against real shell commands in a temporary directory. A marker file stands
// for the link: dial creates it, hangup removes it, the check tests for it.
#include "dialup/CommandsBackend.h"

#include "BackendTestSupport.h"
#include "dialup/DialupErrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/wait.h>

using namespace harbolt;
using namespace harbolt::test;

namespace {

using TClock = std::chrono::steady_clock;

class CommandsBackendTest : public ::testing::Test {
protected:
    TCommandsBackendOptions ShortLimits() {
        TCommandsBackendOptions options;
        options.CheckLimit = 1000ms;
        options.DialLimit = 1000ms;
        options.DialCheckInterval = 50ms;
        options.HangUpLimit = 2000ms;
        options.StopGrace = 500ms;
        options.Diagnostics = Diagnostics.Sink();
        return options;
    }

    void Start(const std::string& phoneBook) {
        Dir.Write("phonebook.conf", phoneBook);
        StartWithoutFile();
    }
    void StartWithoutFile() {
        Backend =
            CreateCommandsBackend(Dir.File("phonebook.conf"), MainThread.Poster(), ShortLimits());
    }

    // A marker entry named name whose link is the file name + ".up" in the directory.
    std::string MarkerEntry(const std::string& name) {
        const std::string marker = Dir.File(name + ".up");
        return "[" + name + "]\ndial = touch '" + marker + "'\nhangup = rm -f '" + marker +
               "'\ncheck = test -e '" + marker + "'\n";
    }

    std::vector<TRasConnectionInfo> Connections(std::uint32_t expectedResult = 0) {
        std::vector<TRasConnectionInfo> connections;
        EXPECT_EQ(Backend->EnumConnections(connections), expectedResult);
        return connections;
    }

    // Dials and runs the main thread until the dial reports; the report, or none.
    std::vector<TProgress> DialAndWait(const std::string& entry, TRasHandle& handle,
                                       const std::string& user = "",
                                       const std::string& password = "") {
        TProgressLog log;
        const std::uint32_t result = Backend->Dial(entry, user, password, handle, log.Callback());
        EXPECT_EQ(result, 0u) << Backend->ErrorString(result);
        MainThread.RunUntil([&log] { return !log.Events.empty(); }, 5s);
        return log.Events;
    }

    TTempDir Dir;
    TDiagnosticLog Diagnostics;
    TMainThreadQueue MainThread;
    TProcessReaper Reaper;
    std::unique_ptr<TRasBackend> Backend; // ends before everything above
};

TEST_F(CommandsBackendTest, MissingFileMeansNoEntriesNoConnectionsNoComplaint) {
    StartWithoutFile();
    std::vector<std::string> entries{"stale"};
    EXPECT_EQ(Backend->EnumEntries(entries), 0u);
    EXPECT_TRUE(entries.empty());
    EXPECT_TRUE(Connections().empty());
    TRasHandle handle = 7;
    TProgressLog log;
    EXPECT_EQ(Backend->Dial("Any", "", "", handle, log.Callback()), kRasErrorCannotFindEntry);
    EXPECT_EQ(handle, 0u);
    EXPECT_NE(Backend->ErrorString(kRasErrorCannotFindEntry).find("\"Any\""), std::string::npos);
    EXPECT_TRUE(Diagnostics.Taken().empty());
}

TEST_F(CommandsBackendTest, DialCheckAndHangUpFollowTheLink) {
    Start(MarkerEntry("Office") + MarkerEntry("Home"));
    EXPECT_TRUE(Connections().empty());

    TRasHandle handle = 0;
    EXPECT_EQ(DialAndWait("office", handle), (std::vector<TProgress>{{kRasConnected, 0}}));
    EXPECT_TRUE(Dir.Exists("Office.up"));
    const auto up = Connections();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].EntryName, "Office");
    EXPECT_EQ(up[0].Handle, handle);
    std::uint32_t state = 0;
    EXPECT_EQ(Backend->GetConnectStatus(handle, state), 0u);
    EXPECT_EQ(state, kRasConnected);

    // Another tool brings the second entry up: it shows too, with a handle of its own.
    Dir.Write("Home.up", "");
    const auto both = Connections();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].EntryName, "Home");
    EXPECT_NE(both[1].Handle, handle);

    EXPECT_EQ(Backend->HangUp(handle), 0u);
    EXPECT_FALSE(Dir.Exists("Office.up"));
    const auto left = Connections();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].EntryName, "Home");
    EXPECT_EQ(Backend->GetConnectStatus(handle, state), 0u);
    EXPECT_EQ(state, kRasDisconnected);

    EXPECT_EQ(Backend->GetConnectStatus(999, state), kRasErrorInvalidHandle);
    EXPECT_EQ(Backend->HangUp(999), kRasErrorInvalidHandle);
    EXPECT_EQ(Backend->HangUp(0), kRasErrorInvalidHandle);
}

TEST_F(CommandsBackendTest, CredentialsReachTheDialInItsEnvironmentOnly) {
    const std::string dial = "printf '%s|%s' \"$HARBOLT_USER\" \"$HARBOLT_PASSWORD\" > '" +
                             Dir.File("dial.env") + "'; cat /proc/$$/cmdline > '" +
                             Dir.File("dial.cmdline") + "'; touch '" + Dir.File("L.up") + "'";
    const std::string hangup = "printf '%s' \"${HARBOLT_PASSWORD-unset}\" > '" +
                               Dir.File("hangup.env") + "'; rm -f '" + Dir.File("L.up") + "'";
    // The stored password has characters Windows-1252 lacks.
    Start("[L]\ndial = " + dial + "\nhangup = " + hangup + "\ncheck = test -e '" +
          Dir.File("L.up") + "'\nuser = anna\npassword = za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\n");

    std::string user;
    std::string password;
    bool stored = false;
    ASSERT_TRUE(Backend->GetEntryDialParams("L", user, password, stored));
    EXPECT_TRUE(stored);
    EXPECT_EQ(user, "anna");
    EXPECT_EQ(password, "za?\xF3??");
    EXPECT_FALSE(Backend->GetEntryDialParams("Nobody", user, password, stored));

    // Passed back as the program got them, they reach the dial as the file holds them.
    TRasHandle handle = 0;
    EXPECT_EQ(DialAndWait("L", handle, user, password),
              (std::vector<TProgress>{{kRasConnected, 0}}));
    EXPECT_EQ(Dir.Read("dial.env"), "anna|za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87");
    EXPECT_EQ(Dir.Read("dial.cmdline"), std::string("/bin/sh\0-c\0", 11) + dial + '\0');
    EXPECT_EQ(Backend->HangUp(handle), 0u);
    EXPECT_EQ(Dir.Read("hangup.env"), "unset");

    // Credentials of the program's own settings (Windows-1252) arrive as UTF-8.
    EXPECT_EQ(DialAndWait("L", handle, "J\xFCrgen", "pa$$ 'w\"rd"),
              (std::vector<TProgress>{{kRasConnected, 0}}));
    EXPECT_EQ(Dir.Read("dial.env"), "J\xC3\xBCrgen|pa$$ 'w\"rd");
    EXPECT_EQ(Backend->HangUp(handle), 0u);
}

TEST_F(CommandsBackendTest, HangingCheckFailsTheEnumerationInTimeAndLeavesNothing) {
    const std::string pid = Dir.File("check.pid");
    Start("[Fast]\ncheck = true\n[Slow One]\ncheck = echo $$ > '" + pid + "'; exec sleep 30\n");
    const auto start = TClock::now();
    EXPECT_TRUE(Connections(kDialupErrorCheckTimedOut).empty());
    EXPECT_LT(TClock::now() - start, 2500ms);
    const std::string text = Backend->ErrorString(kDialupErrorCheckTimedOut);
    EXPECT_NE(text.find("\"Slow One\""), std::string::npos) << text;
    EXPECT_NE(text.find("1 second"), std::string::npos) << text;
    EXPECT_EQ(text.find("Fast"), std::string::npos) << text;

    const pid_t check = PidFrom(Dir, "check.pid");
    ASSERT_GT(check, 0);
    Reaper.Watch(check);
    EXPECT_TRUE(WaitUntil([check] { return ProcessEnded(check); }, 2s));
}

TEST_F(CommandsBackendTest, FailingDialReportsItsExitStatus) {
    Start("[Bad]\ndial = exit 3\ncheck = false\n");
    TRasHandle handle = 0;
    EXPECT_EQ(DialAndWait("Bad", handle),
              (std::vector<TProgress>{{kRasDisconnected, kDialupErrorDialFailed}}));
    EXPECT_NE(handle, 0u);
    const std::string text = Backend->ErrorString(kDialupErrorDialFailed);
    EXPECT_NE(text.find("\"Bad\""), std::string::npos) << text;
    EXPECT_NE(text.find("exit status 3"), std::string::npos) << text;
}

TEST_F(CommandsBackendTest, DialThatNeverComesUpEndsAtTheLimit) {
    Start("[Never]\ndial = true\ncheck = false\n");
    TRasHandle handle = 0;
    const auto start = TClock::now();
    EXPECT_EQ(DialAndWait("Never", handle),
              (std::vector<TProgress>{{kRasDisconnected, kDialupErrorDialTimedOut}}));
    EXPECT_GE(TClock::now() - start, 900ms);
    EXPECT_NE(Backend->ErrorString(kDialupErrorDialTimedOut).find("\"Never\""), std::string::npos);
}

TEST_F(CommandsBackendTest, EntriesThatCannotDialFailAtOnce) {
    Start("[Watch only]\ncheck = false\n[Blind]\ndial = true\n");
    EXPECT_EQ(Diagnostics.Taken().size(), 1u); // Blind can never be seen connected

    TProgressLog log;
    TRasHandle handle = 5;
    EXPECT_EQ(Backend->Dial("Watch only", "", "", handle, log.Callback()), kDialupErrorNoCommand);
    EXPECT_EQ(handle, 0u);
    EXPECT_NE(Backend->ErrorString(kDialupErrorNoCommand).find("no dial command"),
              std::string::npos);
    EXPECT_EQ(Backend->Dial("Blind", "", "", handle, log.Callback()), kDialupErrorNoCommand);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(Backend->HangUp(1), kDialupErrorNoCommand); // and nothing to hang up with
    MainThread.RunFor(100ms);
    EXPECT_TRUE(log.Events.empty());
}

TEST_F(CommandsBackendTest, HangUpStopsADialUnderWayWithoutAReport) {
    const std::string pid = Dir.File("dial.pid");
    Start("[Slow]\ndial = echo $$ > '" + pid + "'; exec sleep 30\nhangup = true\ncheck = false\n");
    TProgressLog log;
    TRasHandle handle = 0;
    ASSERT_EQ(Backend->Dial("Slow", "", "", handle, log.Callback()), 0u);
    ASSERT_TRUE(WaitUntil([this] { return PidFrom(Dir, "dial.pid") > 0; }, 5s));
    const pid_t dial = PidFrom(Dir, "dial.pid");
    Reaper.Watch(dial);

    // A second dial of the same entry while the first runs is refused.
    TRasHandle second = 0;
    EXPECT_EQ(Backend->Dial("Slow", "", "", second, log.Callback()), kDialupErrorAlreadyDialling);

    EXPECT_EQ(Backend->HangUp(handle), 0u);
    EXPECT_TRUE(ProcessEnded(dial));
    MainThread.RunFor(200ms);
    EXPECT_TRUE(log.Events.empty());
}

class HeldLinkTest : public CommandsBackendTest {
protected:
    // Like wvdial: the dial command stays in the foreground while the link is up.
    pid_t DialHeldLink() {
        const std::string marker = Dir.File("Held.up");
        Start("[Held]\ndial = echo $$ > '" + Dir.File("dial.pid") + "'; trap \"rm -f '" + marker +
              "'; exit 0\" TERM; touch '" + marker +
              "'; while :; do sleep 0.05; done\ncheck = test -e '" + marker + "'\n");
        TRasHandle handle = 0;
        EXPECT_EQ(DialAndWait("Held", handle), (std::vector<TProgress>{{kRasConnected, 0}}));
        const pid_t dial = PidFrom(Dir, "dial.pid");
        Reaper.Watch(dial);
        EXPECT_GT(dial, 0);
        EXPECT_FALSE(ProcessEnded(dial));
        return dial;
    }
};

TEST_F(HeldLinkTest, HangUpStopsTheDialCommand) {
    const pid_t dial = DialHeldLink();
    ASSERT_GT(dial, 0);
    EXPECT_EQ(Connections().size(), 1u);
    // No hangup command: stopping the dial command is the hang-up.
    EXPECT_EQ(Backend->HangUp(1), 0u);
    EXPECT_TRUE(ProcessEnded(dial));
    EXPECT_TRUE(Connections().empty());
}

TEST_F(HeldLinkTest, LinkOutlivesTheBackend) {
    const pid_t dial = DialHeldLink();
    ASSERT_GT(dial, 0);
    Backend.reset();
    EXPECT_FALSE(ProcessEnded(dial));
    EXPECT_TRUE(Dir.Exists("Held.up"));
    // Nobody waits for it any more: the test ends it and reaps it itself.
    kill(dial, SIGKILL);
    waitpid(dial, nullptr, 0);
}

TEST_F(CommandsBackendTest, FailingHangUpIsReported) {
    Start("[Stuck]\ndial = true\nhangup = echo no modem >&2; exit 4\ncheck = true\n");
    EXPECT_EQ(Backend->HangUp(1), kDialupErrorHangUpFailed);
    const std::string text = Backend->ErrorString(kDialupErrorHangUpFailed);
    EXPECT_NE(text.find("\"Stuck\""), std::string::npos) << text;
    EXPECT_NE(text.find("exit status 4"), std::string::npos) << text;
}

TEST_F(CommandsBackendTest, MoreThanSixteenConnectionsIsTheBufferError) {
    std::string sixteen;
    for (int i = 1; i <= 16; ++i)
        sixteen += "[Line " + std::to_string(i) + "]\ncheck = true\n";
    Start(sixteen);
    const auto all = Connections();
    ASSERT_EQ(all.size(), 16u);
    EXPECT_EQ(all[15].EntryName, "Line 16");

    // The file is read again when it changes.
    Dir.Write("phonebook.conf", sixteen + "[Line 17]\ncheck = true\n");
    EXPECT_TRUE(Connections(kRasErrorBufferTooSmall).empty());
    EXPECT_NE(Backend->ErrorString(kRasErrorBufferTooSmall).find("17"), std::string::npos);
}

TEST_F(CommandsBackendTest, InterfaceCountsWhileUpAndRunning) {
    Start("[Loopback]\ninterface = lo\n[Missing]\ninterface = nonexistent0\n");
    const auto up = Connections();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].EntryName, "Loopback");
}

TEST_F(CommandsBackendTest, ConcurrentEnumerationsShareOneRoundOfChecks) {
    const std::string count = Dir.File("count");
    Start("[Counted]\ncheck = echo x >> '" + count + "'; sleep 0.4\n");
    std::vector<TRasConnectionInfo> first;
    std::uint32_t firstResult = 1;
    std::thread monitor([&] { firstResult = Backend->EnumConnections(first); });
    std::this_thread::sleep_for(150ms);
    const auto second = Connections();
    monitor.join();
    EXPECT_EQ(firstResult, 0u);
    EXPECT_EQ(first.size(), second.size());
    EXPECT_EQ(Dir.Read("count"), "x\n");
}

TEST_F(CommandsBackendTest, MonitorThreadAndMainThreadUseItTogether) {
    Start(MarkerEntry("A") + MarkerEntry("B"));
    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::thread monitor([&] {
        // As the monitor does: enumerate, then ask each connection's state.
        for (int i = 0; i < 1000 && !stop; ++i) {
            std::vector<TRasConnectionInfo> connections;
            if (Backend->EnumConnections(connections) == 0)
                for (const TRasConnectionInfo& connection : connections) {
                    std::uint32_t state = 0;
                    Backend->GetConnectStatus(connection.Handle, state);
                }
            ++passes;
        }
    });
    for (int round = 0; round < 3; ++round) {
        TRasHandle a = 0;
        TRasHandle b = 0;
        EXPECT_EQ(DialAndWait("A", a), (std::vector<TProgress>{{kRasConnected, 0}}));
        EXPECT_EQ(DialAndWait("B", b), (std::vector<TProgress>{{kRasConnected, 0}}));
        EXPECT_EQ(Backend->HangUp(a), 0u);
        EXPECT_EQ(Backend->HangUp(b), 0u);
    }
    stop = true;
    monitor.join();
    EXPECT_GT(passes.load(), 0);
    EXPECT_TRUE(Connections().empty());
}

} // namespace
