#include "platform/EventLog.h"
#include "support/FakeTickClock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace harbolt {
namespace {

// Standard error goes to a file of the test while it runs; JOURNAL_STREAM is restored after.
class EventLogTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-eventlog-XXXXXX";
        const int file = ::mkstemp(pattern);
        ASSERT_GE(file, 0);
        Path = pattern;
        ::close(file);
        const int appending = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(appending, 0);
        SavedStderr = ::dup(STDERR_FILENO);
        ::dup2(appending, STDERR_FILENO);
        ::close(appending);
        if (const char* value = std::getenv("JOURNAL_STREAM"))
            SavedJournal = value;
    }
    void TearDown() override {
        if (SavedStderr >= 0) {
            ::dup2(SavedStderr, STDERR_FILENO);
            ::close(SavedStderr);
        }
        ::unlink(Path.c_str());
        if (SavedJournal.empty())
            ::unsetenv("JOURNAL_STREAM");
        else
            ::setenv("JOURNAL_STREAM", SavedJournal.c_str(), 1);
        SetEventLogVerbose(false);
    }

    std::string Written() const {
        std::ifstream in(Path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string OwnStream() const {
        struct stat info {};
        ::fstat(STDERR_FILENO, &info);
        return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }

    std::string Path;
    int SavedStderr = -1;
    std::string SavedJournal;
};

TEST_F(EventLogTest, TheJournalsStreamGetsPrioritiesAnyOtherPlainLines) {
    ::setenv("JOURNAL_STREAM", OwnStream().c_str(), 1);
    LogEvent(TEventLevel::Info, "computer Beta is alive");
    LogEvent(TEventLevel::Warning, "dial failed");
    LogEvent(TEventLevel::Error, "cannot save");
    LogEvent(TEventLevel::Detail, "not verbose: not written");
    SetEventLogVerbose(true);
    LogEvent(TEventLevel::Detail, "saved");
    EXPECT_EQ(Written(), "<6>harbolt: computer Beta is alive\n<4>harbolt: dial failed\n"
                         "<3>harbolt: cannot save\n<7>harbolt: saved\n");

    // A stream of someone else (the unit's stream handed on to a file), or nonsense.
    for (const char* other : {"1:2", "", "12", ":", "x:y", "1:2:3"}) {
        ::setenv("JOURNAL_STREAM", other, 1);
        EXPECT_FALSE(JournalStreamNames(other, STDERR_FILENO)) << other;
    }
    ::setenv("JOURNAL_STREAM", (OwnStream() + "0").c_str(), 1);
    LogEvent(TEventLevel::Warning, "plain");
    ::unsetenv("JOURNAL_STREAM");
    LogEvent(TEventLevel::Error, "plain too");
    EXPECT_NE(Written().find("<7>harbolt: saved\nharbolt: plain\nharbolt: plain too\n"),
              std::string::npos);
}

TEST_F(EventLogTest, LinesOfManyThreadsStayWholeAndOneEventIsOneLine) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LogEvent(TEventLevel::Info, std::string(1000, static_cast<char>('a' + t)));
        });
    for (std::thread& thread : threads)
        thread.join();
    LogEvent(TEventLevel::Info, "name\nharbolt: forged\r");

    std::istringstream lines(Written());
    std::string line;
    int count = 0;
    while (count < kThreads * kLines && std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.size(), 1009u) << "line " << count;
        EXPECT_EQ(line.find_first_not_of(line[9], 9), std::string::npos) << "line " << count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    std::getline(lines, line);
    EXPECT_EQ(line, "harbolt: name?harbolt: forged?");
    EXPECT_FALSE(std::getline(lines, line));
}

TEST(EventRateLimitTest, FiveLinesAMinuteThenOneSummaryWhenTheMinuteEnds) {
    std::vector<std::string> lines;
    TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    test::TFakeTickClock clock{4294960000u}; // wraps within the first minute
    TEventRateLimit limit(clock, 5, "refused connections");
    const std::uint32_t start = clock.Now();
    for (int i = 0; i < 12; ++i) {
        limit.Log(TEventLevel::Info, "refused " + std::to_string(i));
        clock.Advance(1000);
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.back(), "refused 4");

    clock.Set(start + 59999);
    limit.Tick();
    EXPECT_EQ(lines.size(), 5u);
    clock.Set(start + 60000);
    limit.Tick();
    limit.Tick();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.back(), "7 more refused connections in the last minute");

    // A new minute starts with the next event; one without excess ends without a summary.
    clock.Advance(5000);
    limit.Log(TEventLevel::Info, "refused again");
    clock.Advance(120000);
    limit.Tick();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines.back(), "refused again");

    // Without a tick, the next event writes the summary of the minute that ended first.
    for (int i = 0; i < 7; ++i)
        limit.Log(TEventLevel::Info, "burst");
    clock.Advance(60000);
    limit.Log(TEventLevel::Info, "late");
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[12], "2 more refused connections in the last minute");
    EXPECT_EQ(lines[13], "late");
}

} // namespace
} // namespace harbolt
