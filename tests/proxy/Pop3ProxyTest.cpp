#include "proxy/Pop3Proxy.h"
#include "ProxyTestSupport.h"
#include "proxy/FtpProxy.h"

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace harbolt {
namespace {

using test::AllUntilClosed;
using test::Loopback;
using test::MakeListener;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;
using test::TListener;
using test::WaitFor;

const std::string kGreeting = "+OK Harbolt; please do USER username@pop3host\r\n";
const std::string kPleaseDo = "-ERR Please do USER name@pop3host\r\n";

// The handler on a thread of its own; Client is the client program's end.
class TPop3Run : public test::THandlerRun {
public:
    explicit TPop3Run(std::FILE* trace = nullptr) : THandlerRun(HandlePop3Proxy, trace) {}
};

using Pop3ProxyTest = test::NetTest;

TEST(Pop3Parsing, Commands) {
    const auto kind = [](std::string_view line) { return ParsePop3Command(line).Kind; };
    const auto text = [](std::string_view line) { return ParsePop3Command(line).Text; };
    EXPECT_EQ(kind("quit"), TPop3CommandKind::Quit);
    EXPECT_EQ(kind("QuIt"), TPop3CommandKind::Quit);
    EXPECT_EQ(kind("quit "), TPop3CommandKind::Unknown);
    EXPECT_EQ(text("quit now"), "quit");
    EXPECT_EQ(kind("STAT"), TPop3CommandKind::Unknown);
    EXPECT_EQ(text("STAT"), "STAT");
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(kind("USER"), TPop3CommandKind::Unknown);
    EXPECT_EQ(text("LIST 1 2"), "LIST");
    EXPECT_EQ(kind("uSeR a@b"), TPop3CommandKind::User);
    EXPECT_EQ(text("uSeR a@b c"), "a@b c");
    EXPECT_EQ(text("USER  x"), " x");
    EXPECT_EQ(kind("USERS a@b"), TPop3CommandKind::Unknown);
}

TEST(Pop3Parsing, SeparatorIsTheLastBehindTheFirstCharacter) {
    EXPECT_EQ(Pop3SeparatorPosition("alice@mail"), 5u);
    EXPECT_EQ(Pop3SeparatorPosition("a@b@mail"), 3u);
    EXPECT_EQ(Pop3SeparatorPosition("a@b#mail"), 3u);
    EXPECT_EQ(Pop3SeparatorPosition("a$b"), 1u);
    EXPECT_EQ(Pop3SeparatorPosition("mail@"), 4u);
    EXPECT_EQ(Pop3SeparatorPosition("@mail"), std::string_view::npos);
    EXPECT_EQ(Pop3SeparatorPosition("#"), std::string_view::npos);
    EXPECT_EQ(Pop3SeparatorPosition(""), std::string_view::npos);
    EXPECT_EQ(Pop3SeparatorPosition("alice"), std::string_view::npos);
}

TEST_F(Pop3ProxyTest, RepliesBeforeTheLogin) {
    TPop3Run run;
    EXPECT_EQ(ReadUpTo(*run.Client, kGreeting.size()), kGreeting);
    const struct {
        const char* Line;
        std::string Reply;
    } cases[] = {
        {"STAT", "-ERR Unknown command: STAT\r\n"},
        {"", "-ERR Unknown command: \r\n"},
        {"LIST 1", "-ERR Unknown command: LIST\r\n"},
        {"quit now", "-ERR Unknown command: quit\r\n"},
        {"USER", "-ERR Unknown command: USER\r\n"},
        {"USER alice", kPleaseDo},
        {"user ", kPleaseDo},
        {"USER @127.0.0.1:1", kPleaseDo}, // a separator in front does not count
    };
    for (const auto& c : cases) {
        SendNow(*run.Client, std::string(c.Line) + "\r\n");
        EXPECT_EQ(ReadUpTo(*run.Client, c.Reply.size()), c.Reply) << c.Line;
    }
    SendNow(*run.Client, "QUIT\r\n");
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), "+OK Pop server signing off\r\n");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(run.EndsWithin(1000));
}

TEST_F(Pop3ProxyTest, UserReachesTheServerAndTheRelayFollows) {
    TListener server = MakeListener();
    std::FILE* trace = std::tmpfile();
    ASSERT_NE(trace, nullptr);
    {
        TPop3Run run(trace);
        EXPECT_EQ(ReadUpTo(*run.Client, kGreeting.size()), kGreeting);
        SendNow(*run.Client, "user alice@" + server.Endpoint + "\r\n");
        std::unique_ptr<TBufferedCommunication> mail = server.Channel->Accept(5000);
        ASSERT_NE(mail, nullptr);
        SendNow(*mail, "+OK fake POP3 ready\r\n");
        EXPECT_EQ(ReadUpTo(*mail, 12), "USER alice\r\n");
        SendNow(*mail, "+OK alice\r\n");
        // The server's greeting stays with the proxy; its answer to USER passes.
        EXPECT_EQ(ReadUpTo(*run.Client, 11), "+OK alice\r\n");
        SendNow(*run.Client, "PASS secret\r\nRETR 1\r\n");
        EXPECT_EQ(ReadUpTo(*mail, 21), "PASS secret\r\nRETR 1\r\n");
        static const char kMessage[] = "+OK\r\nSubject: x\r\n\r\n\x01\xFF body\r\n.\r\n";
        const std::string message(kMessage, sizeof kMessage - 1);
        SendNow(*mail, message);
        EXPECT_EQ(ReadUpTo(*run.Client, message.size()), message);
        EXPECT_GT(run.Activity.load(), 0);
        // The server hangs up: the client's connection closes too.
        mail.reset();
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), "");
        EXPECT_TRUE(closed);
        run.Client.reset();
        EXPECT_TRUE(run.EndsWithin(3000));
    }
    const std::string traced = test::WholeFile(trace);
    std::fclose(trace);
    EXPECT_NE(traced.find("<-- [reading from Client] WRITE(21): PASS secret\r\nRETR 1\r\n -->"),
              std::string::npos)
        << traced;
    EXPECT_NE(traced.find("<-- [reading from Server] WRITE(11): +OK alice\r\n -->"),
              std::string::npos);
    EXPECT_EQ(traced.find("fake POP3 ready"), std::string::npos);
}

TEST_F(Pop3ProxyTest, UserNameAndHostSplitAtTheLastSeparator) {
    TListener server = MakeListener();
    const std::string host = server.Endpoint;
    const struct {
        std::string Argument;
        std::string User;
    } cases[] = {
        {"alice@" + host, "alice"}, {"a@b@" + host, "a@b"},     {"carol#" + host, "carol"},
        {"dave$" + host, "dave"},   {"e$f@g#" + host, "e$f@g"}, {"@h@" + host, "@h"},
        {"#i@" + host, "#i"},
    };
    // All at once: each run ends with its closing pause, which may overlap the others.
    std::vector<std::unique_ptr<TPop3Run>> runs;
    for (const auto& c : cases) {
        runs.push_back(std::make_unique<TPop3Run>());
        TPop3Run& run = *runs.back();
        EXPECT_EQ(ReadUpTo(*run.Client, kGreeting.size()), kGreeting);
        SendNow(*run.Client, "USER " + c.Argument + "\r\n");
        std::unique_ptr<TBufferedCommunication> mail = server.Channel->Accept(5000);
        ASSERT_NE(mail, nullptr);
        SendNow(*mail, "+OK\r\n");
        const std::string expected = "USER " + c.User + "\r\n";
        EXPECT_EQ(ReadUpTo(*mail, expected.size()), expected) << c.Argument;
        SendNow(*mail, "+OK " + c.User + "\r\n");
        const std::string answer = "+OK " + c.User + "\r\n";
        EXPECT_EQ(ReadUpTo(*run.Client, answer.size()), answer);
    }
    for (auto& run : runs)
        run->Client.reset();
    for (auto& run : runs)
        EXPECT_TRUE(run->EndsWithin(3000));
}

// A refusal is told at once with its reason; a server that does not answer is waited for until
// the stop flag cuts the wait short.
TEST_F(Pop3ProxyTest, UnreachableServerIsReportedAndTheStopFlagCutsTheWaitShort) {
    const std::string closed = Loopback(test::FreePorts(1)[0]);
    {
        TPop3Run run;
        EXPECT_EQ(ReadUpTo(*run.Client, kGreeting.size()), kGreeting);
        const auto start = std::chrono::steady_clock::now();
        SendNow(*run.Client, "USER bob@" + closed + "\r\n");
        EXPECT_EQ(AllUntilClosed(*run.Client), "-ERR Cannot connect to " + closed +
                                                   " (connection refused by " + closed + ")\r\n");
        EXPECT_LT(MillisecondsSince(start), 1000);
    }
    const test::TUnansweredListener unanswered;
    TPop3Run run;
    EXPECT_EQ(ReadUpTo(*run.Client, kGreeting.size()), kGreeting);
    SendNow(*run.Client, "USER bob@" + unanswered.Endpoint + "\r\n");
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(run.Done.load()); // still trying
    run.Stop.Raise();
    EXPECT_EQ(AllUntilClosed(*run.Client),
              "-ERR Cannot connect to " + unanswered.Endpoint + " (the proxy is stopping)\r\n");
    EXPECT_LT(MillisecondsSince(start), 2000);
}

} // namespace
} // namespace harbolt
