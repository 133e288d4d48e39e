#include "mail/MailCheck.h"
#include "../proxy/ProxyTestSupport.h"
#include "FakePop3.h"
#include "dialup/Dialer.h"
#include "dialup/RasManager.h"
#include "mail/MailAccounts.h"

#include <gtest/gtest.h>

namespace harbolt {
namespace {

using test::TFakePop3;
using Lines = std::vector<std::string>;
using Uids = std::set<std::string>;

// One list with the fake server as the online computer's proxy.
class MailCheckTest : public test::ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        NewMailArrived = false;
        DialRequested = false;
        List = std::make_unique<TPop3Accounts>();
        Fake = std::make_unique<TFakePop3>();
        SetOnlineProxyAddress(Fake->Endpoint());
    }
    void TearDown() override {
        // A check waiting for a dial ends once somebody is online.
        SetOnlineProxyAddress(Fake->Endpoint());
        Fake->Release();
        EXPECT_TRUE(test::WaitFor([this] { return NoneChecking(); }, 10000));
        SetMailCheckStarter({});
        List.reset();
        Fake.reset();
        SetOnlineProxyAddress("");
        DialRequested = false;
        NewMailArrived = false;
        ProxyTest::TearDown();
    }

    TPop3Account* Add(const std::string& name, const std::string& server, const std::string& user,
                      const std::string& clearPassword, std::int32_t action) {
        std::lock_guard guard(MailLock);
        auto account = std::make_unique<TPop3Account>();
        account->Name = name;
        account->Server = server;
        account->User = user;
        account->Password = ScramblePassword(clearPassword);
        account->Action = action;
        List->Accounts.push_back(std::move(account));
        return List->Accounts.back().get();
    }

    // One check on this thread, as its thread would run it; the fake server's side ended too.
    void Check(TPop3Account* account) {
        std::uint64_t id;
        {
            std::lock_guard guard(MailLock);
            account->Checking = true;
            id = account->Id;
        }
        RunMailCheck(id);
        EXPECT_FALSE(Checking(account));
        EXPECT_TRUE(test::WaitFor([this] { return Fake->AllEnded(); }));
    }

    static Uids UidsOf(TPop3Account* account) {
        std::lock_guard guard(MailLock);
        return account->UIDLs;
    }
    static bool Checking(TPop3Account* account) {
        std::lock_guard guard(MailLock);
        return account->Checking;
    }
    static bool ChangedFlag(TPop3Account* account) {
        std::lock_guard guard(MailLock);
        return account->Changed;
    }
    bool NoneChecking() const {
        std::lock_guard guard(MailLock);
        for (const auto& account : List->Accounts)
            if (account->Checking)
                return false;
        return true;
    }
    Lines LastCommands() const {
        const auto sessions = Fake->Sessions();
        return sessions.empty() ? Lines{} : sessions.back().Commands;
    }

    std::unique_ptr<TFakePop3> Fake;
    std::unique_ptr<TPop3Accounts> List;
};

TEST_F(MailCheckTest, TunnelHeaderLoginRetryAndUidlParsing) {
    TPop3Account* box = Add("Box", "pop.example.com", "alice", "s3cr\xe9t", 0);
    Fake->SetUserReplies({"-ERR try again", "+OK"});
    Fake->SetMessages({"1 abc", "2 def", "3"});
    Check(box);

    auto sessions = Fake->Sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].Header,
              "SOCKPROXY V1 (NT)\r\nIGNORE TRAFFIC\r\nCONNECT pop.example.com:110\r\n");
    EXPECT_EQ(sessions[0].Commands, (Lines{"USER alice\r\n", "USER alice\r\n", "PASS s3cr\xe9t\r\n",
                                           "UIDL\r\n", "QUIT\r\n"}));
    EXPECT_EQ(UidsOf(box), (Uids{"", "abc", "def"}));
    EXPECT_TRUE(ChangedFlag(box));
    EXPECT_FALSE(NewMailArrived); // action 0 never notifies

    // A server with its port goes unchanged into the header.
    {
        std::lock_guard guard(MailLock);
        box->Server = "mail.example.com:1110";
    }
    Check(box);
    sessions = Fake->Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1].Header,
              "SOCKPROXY V1 (NT)\r\nIGNORE TRAFFIC\r\nCONNECT mail.example.com:1110\r\n");
    EXPECT_EQ(sessions[1].Commands,
              (Lines{"USER alice\r\n", "PASS s3cr\xe9t\r\n", "UIDL\r\n", "QUIT\r\n"}));
}

TEST_F(MailCheckTest, RefusalsEndTheCheckWithoutQuitAndKeepTheUids) {
    TPop3Account* box = Add("Box", "pop", "bob", "pw", kMailNotifyPresent);
    {
        std::lock_guard guard(MailLock);
        box->UIDLs = {"old"};
    }
    Fake->SetMessages({"1 new"});

    Fake->SetUserReplies({"-ERR", "-ERR"});
    Check(box);
    EXPECT_EQ(LastCommands(), (Lines{"USER bob\r\n", "USER bob\r\n"}));

    Fake->SetPassReply("-ERR wrong password");
    Check(box);
    EXPECT_EQ(LastCommands(), (Lines{"USER bob\r\n", "PASS pw\r\n"}));

    Fake->SetPassReply("+OK");
    Fake->SetUidlReply("-ERR no UIDL here");
    Check(box);
    EXPECT_EQ(LastCommands(), (Lines{"USER bob\r\n", "PASS pw\r\n", "UIDL\r\n"}));

    EXPECT_EQ(UidsOf(box), Uids{"old"});
    EXPECT_FALSE(ChangedFlag(box));
    EXPECT_FALSE(NewMailArrived);
}

TEST_F(MailCheckTest, NotifyNewOncePerNewMessage) {
    TPop3Account* box = Add("Box", "pop", "u", "p", kMailNotifyNew);
    Fake->SetMessages({"1 m1", "2 m2"});
    Check(box);
    EXPECT_TRUE(NewMailArrived.exchange(false));

    Check(box);
    EXPECT_FALSE(NewMailArrived.exchange(false));

    Fake->SetMessages({"1 m1", "2 m2", "3 m3"});
    Check(box);
    EXPECT_TRUE(NewMailArrived.exchange(false));
    EXPECT_EQ(UidsOf(box), (Uids{"m1", "m2", "m3"}));

    // Deleted elsewhere: forgotten, and no notice.
    {
        std::lock_guard guard(MailLock);
        box->Changed = false;
    }
    Fake->SetMessages({"1 m3"});
    Check(box);
    EXPECT_FALSE(NewMailArrived.exchange(false));
    EXPECT_EQ(UidsOf(box), Uids{"m3"});
    EXPECT_TRUE(ChangedFlag(box));
}

TEST_F(MailCheckTest, NotifyPresentAtEveryCheckWithMail) {
    TPop3Account* box = Add("Box", "pop", "u", "p", kMailNotifyPresent);
    Fake->SetMessages({"1 m1"});
    for (int i = 0; i < 3; ++i) {
        Check(box);
        EXPECT_TRUE(NewMailArrived.exchange(false)) << "check " << i;
    }
    Fake->SetMessages({});
    Check(box);
    EXPECT_FALSE(NewMailArrived);
    EXPECT_TRUE(UidsOf(box).empty());
}

TEST_F(MailCheckTest, DeleteAllDeletesEveryMessageWithoutNotice) {
    TPop3Account* box = Add("Box", "pop", "u", "p", kMailDeleteAll);
    Fake->SetMessages({"1 a", "2 b", "3 c", "4 d", "5 e"});
    Check(box);
    EXPECT_EQ(LastCommands(),
              (Lines{"USER u\r\n", "PASS p\r\n", "UIDL\r\n", "DELE 1\r\n", "DELE 2\r\n",
                     "DELE 3\r\n", "DELE 4\r\n", "DELE 5\r\n", "QUIT\r\n"}));
    EXPECT_FALSE(NewMailArrived);
    EXPECT_EQ(UidsOf(box).size(), 5u);
}

TEST_F(MailCheckTest, FailuresEndSilentlyAndClearChecking) {
    TPop3Account* box = Add("Box", "pop", "u", "p", kMailNotifyPresent);
    {
        std::lock_guard guard(MailLock);
        box->UIDLs = {"old"};
    }

    // Nobody online: no connection at all.
    SetOnlineProxyAddress("");
    Check(box);
    EXPECT_EQ(Fake->SessionCount(), 0u);

    // The online address refuses the connection.
    const std::uint16_t closed = test::FreePorts(1)[0];
    SetOnlineProxyAddress(test::Loopback(closed));
    Check(box);

    // A listing line longer than the check reads.
    SetOnlineProxyAddress(Fake->Endpoint());
    Fake->SetMessages({"1 " + std::string(1100, 'x')});
    Check(box);
    EXPECT_EQ(Fake->SessionCount(), 1u);

    EXPECT_EQ(UidsOf(box), Uids{"old"});
    EXPECT_FALSE(NewMailArrived);
    EXPECT_FALSE(ChangedFlag(box));
}

// Two mailboxes of the same name are two mailboxes: each is checked with its own data and each
// is free for the next cycle afterwards.
TEST_F(MailCheckTest, EquallyNamedAccountsAreBothChecked) {
    TPop3Account* first = Add("Box", "pop", "u1", "p1", 0);
    TPop3Account* second = Add("Box", "pop", "u2", "p2", 0);
    Fake->SetMessages({"1 m1"});
    List->FireCheckingThreads();
    ASSERT_TRUE(test::WaitFor([&] { return NoneChecking() && Fake->SessionCount() == 2; }, 10000));
    ASSERT_TRUE(test::WaitFor([this] { return Fake->AllEnded(); }));
    std::set<std::string> users;
    for (const auto& session : Fake->Sessions()) {
        ASSERT_FALSE(session.Commands.empty());
        users.insert(session.Commands[0]);
    }
    EXPECT_EQ(users, (std::set<std::string>{"USER u1\r\n", "USER u2\r\n"}));
    EXPECT_EQ(UidsOf(first), Uids{"m1"});
    EXPECT_EQ(UidsOf(second), Uids{"m1"});
}

TEST_F(MailCheckTest, RunningCheckIsNotStartedTwice) {
    TPop3Account* box = Add("Box", "pop", "u", "p", 0);
    Fake->Hold();
    List->FireCheckingThreads();
    ASSERT_TRUE(test::WaitFor([this] { return Fake->SessionCount() == 1; }));
    EXPECT_TRUE(Checking(box));
    List->FireCheckingThreads();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Fake->SessionCount(), 1u);

    Fake->Release();
    ASSERT_TRUE(test::WaitFor([this] { return NoneChecking(); }));
    List->FireCheckingThreads();
    EXPECT_TRUE(test::WaitFor([this] { return Fake->SessionCount() == 2 && NoneChecking(); }));
}

// The settings dialog or `ctl mail remove` may delete a mailbox while its check runs.
TEST_F(MailCheckTest, AccountRemovedDuringTheCheckIsLeftAlone) {
    Add("Gone", "pop", "u", "p", kMailNotifyPresent);
    TPop3Account* stays = Add("Stays", "pop", "v", "q", 0);
    Fake->SetMessages({"1 m1"});
    Fake->Hold();
    {
        std::lock_guard guard(MailLock);
        stays->Checking = true; // only "Gone" gets checked
    }
    List->FireCheckingThreads();
    ASSERT_TRUE(test::WaitFor([this] { return Fake->SessionCount() == 1; }));
    {
        std::lock_guard guard(MailLock);
        List->Accounts.erase(List->Accounts.begin());
    }
    Fake->Release();
    ASSERT_TRUE(test::WaitFor([this] { return Fake->AllEnded(); }));
    EXPECT_EQ(LastCommands(), (Lines{"USER u\r\n", "PASS p\r\n", "UIDL\r\n"}));
    EXPECT_FALSE(NewMailArrived);
    EXPECT_TRUE(UidsOf(stays).empty());
    std::lock_guard guard(MailLock);
    stays->Checking = false;
}

// With "dial on demand" a check asks for a dial when nobody is online and goes on as soon as a
// computer announces being online.
TEST_F(MailCheckTest, TriggerAllowsTheCheckToRequestADial) {
    SetOwn("AutoDialEnabled", "yes");
    SetOwn("AutoDialPhoneBookEntry", "Modem");
    TPop3Account* box = Add("Box", "pop", "u", "p", 0);
    ResetOnlineAddressTime();

    // Without the trigger the old address is used as it is.
    Check(box);
    EXPECT_FALSE(DialRequested);
    EXPECT_EQ(Fake->SessionCount(), 1u);

    {
        std::lock_guard guard(MailLock);
        List->Trigger = true;
    }
    ResetOnlineAddressTime();
    List->FireCheckingThreads();
    ASSERT_TRUE(test::WaitFor([] { return DialRequested.load(); }));
    EXPECT_TRUE(Checking(box));
    EXPECT_EQ(Fake->SessionCount(), 1u);
    SetOnlineProxyAddress(Fake->Endpoint());
    EXPECT_TRUE(test::WaitFor([this] { return Fake->SessionCount() == 2 && NoneChecking(); }));
}

} // namespace
} // namespace harbolt
