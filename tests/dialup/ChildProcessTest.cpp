#include "dialup/ChildProcess.h"

#include "BackendTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace harbolt;
using namespace harbolt::test;

namespace {

using TClock = std::chrono::steady_clock;
using TKind = TCommandOutcome::TKind;

const std::vector<std::string> kPathOnly = {"PATH=/usr/bin:/bin"};

TEST(ChildProcess, TellsHowCommandsEnded) {
    const auto outcomes = RunShellCommands({"true", "exit 3", "kill -TERM $$"}, kPathOnly, 5s);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_TRUE(outcomes[0].Succeeded());
    EXPECT_EQ(outcomes[1].Kind, TKind::Exited);
    EXPECT_EQ(outcomes[1].Value, 3);
    EXPECT_EQ(outcomes[1].Describe(), "exit status 3");
    EXPECT_EQ(outcomes[2].Kind, TKind::Signalled);
    EXPECT_EQ(outcomes[2].Describe(), "killed by signal 15 (SIGTERM)");
}

TEST(ChildProcess, GetsExactlyTheEnvironmentAndNoInput) {
    TTempDir dir;
    const std::string out = dir.File("out");
    const auto outcomes =
        RunShellCommands({"env | grep -v '^PWD=' | grep -v '^SHLVL=' | grep -v '^_=' | sort > '" +
                          out + "'; read line"},
                         {"PATH=/usr/bin:/bin", "ONE=1", "TWO=two words"}, 5s);
    // Standard input is /dev/null: read finds its end at once and fails.
    EXPECT_EQ(outcomes[0].Kind, TKind::Exited);
    EXPECT_EQ(outcomes[0].Value, 1);
    EXPECT_EQ(dir.Read("out"), "ONE=1\nPATH=/usr/bin:/bin\nTWO=two words\n");
}

TEST(ChildProcess, InheritsNoDescriptorOfTheProgram) {
    // Opened without O_CLOEXEC, as a careless part of a program might.
    const int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    const auto outcomes =
        RunShellCommands({"test -e /proc/self/fd/" + std::to_string(leaky)}, kPathOnly, 5s);
    close(leaky);
    EXPECT_EQ(outcomes[0].Kind, TKind::Exited);
    EXPECT_EQ(outcomes[0].Value, 1);
}

TEST(ChildProcess, RunsCommandsSideBySide) {
    const auto start = TClock::now();
    const auto outcomes =
        RunShellCommands({"sleep 0.5", "sleep 0.5", "sleep 0.5", "sleep 0.5"}, kPathOnly, 10s);
    const auto took = TClock::now() - start;
    for (const TCommandOutcome& outcome : outcomes)
        EXPECT_TRUE(outcome.Succeeded());
    EXPECT_LT(took, 1500ms); // one after the other would take 2 s
}

TEST(ChildProcess, KillsWhatHangsWithEverythingItStarted) {
    TTempDir dir;
    TProcessReaper reaper;
    const std::string pids = dir.File("pids");
    const auto start = TClock::now();
    // The shell starts a child of its own and waits for it: both must go.
    const auto outcomes = RunShellCommands(
        {"true", "sleep 30 & echo $$ > '" + pids + "'; echo $! >> '" + pids + "'; wait"}, kPathOnly,
        500ms);
    EXPECT_LT(TClock::now() - start, 3s);
    EXPECT_TRUE(outcomes[0].Succeeded());
    EXPECT_EQ(outcomes[1].Kind, TKind::TimedOut);

    std::vector<pid_t> started;
    std::istringstream list(dir.Read("pids"));
    for (pid_t pid = 0; list >> pid;)
        started.push_back(pid);
    ASSERT_EQ(started.size(), 2u);
    for (pid_t pid : started) {
        reaper.Watch(pid);
        EXPECT_TRUE(WaitUntil([pid] { return ProcessEnded(pid); }, 2s)) << pid;
    }
}

TEST(ChildProcess, CancelEndsTheWaitEarly) {
    std::atomic<bool> cancel{false};
    std::thread canceller([&cancel] {
        std::this_thread::sleep_for(200ms);
        cancel = true;
    });
    const auto start = TClock::now();
    const auto outcomes = RunShellCommands({"sleep 30"}, kPathOnly, 20s, &cancel);
    canceller.join();
    EXPECT_EQ(outcomes[0].Kind, TKind::Cancelled);
    EXPECT_LT(TClock::now() - start, 3s);
}

TEST(ChildProcess, TerminateGivesTheChildItsGraceThenKills) {
    TTempDir dir;
    int error = 0;
    // Ignores SIGTERM: only SIGKILL ends it.
    auto stubborn = TShellProcess::Start("trap '' TERM; echo ready > '" + dir.File("ready") +
                                             "'; while :; do sleep 0.05; done",
                                         kPathOnly, error);
    ASSERT_NE(stubborn, nullptr) << error;
    ASSERT_TRUE(WaitUntil([&dir] { return dir.Exists("ready"); }, 5s));
    const auto start = TClock::now();
    stubborn->Terminate(300ms);
    EXPECT_GE(TClock::now() - start, 250ms);
    ASSERT_TRUE(stubborn->Ended());
    EXPECT_EQ(OutcomeOfWaitStatus(stubborn->WaitStatus()).Kind, TKind::Signalled);
}

TEST(ChildProcess, DestroyingARunningChildEndsIt) {
    int error = 0;
    pid_t pid = 0;
    {
        auto child = TShellProcess::Start("sleep 30", kPathOnly, error);
        ASSERT_NE(child, nullptr);
        pid = child->Id();
        EXPECT_FALSE(child->Ended());
    }
    EXPECT_TRUE(ProcessEnded(pid));
}

} // namespace
