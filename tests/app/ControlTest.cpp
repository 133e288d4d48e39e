#include "app/Control.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harbolt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Answers like an instance with the own computer "Box" and one peer "Pc2"; records every call.
// The server reaches it from the fake main thread, the test reads it from its own.
class TFakeTarget : public TControlTarget {
public:
    TInstanceStatus Status() override {
        Record("Status");
        std::lock_guard<std::mutex> guard(Lock);
        return StatusValue;
    }
    std::optional<TComputerData::TPropertyList> ListProperties(const std::string& computer,
                                                               bool all) override {
        Record("List " + computer + (all ? " all" : ""));
        if (computer.empty() || computer == "Box") {
            auto list = Own();
            if (all)
                list.emplace_back("2024-05-06/07:08:09.123", "DSL online 60");
            return list;
        }
        if (computer == "Pc2")
            return TComputerData::TPropertyList{{"Mail", "a=b"}};
        return std::nullopt;
    }
    std::string GetOwnProperty(const std::string& key) override {
        Record("Get " + key);
        if (key == "ProxyServerAddress")
            return ServerAddress;
        for (const auto& [k, v] : Own())
            if (k == key)
                return v;
        return "";
    }
    void SetOwnProperty(const std::string& key, const std::string& value) override {
        Record("Set " + key + "=" + value);
        if (ThrowOnSet)
            throw Exception("disk full");
    }
    bool CopyToOwn(const std::string& computer, const std::string& key) override {
        Record("Copy " + computer + " " + key);
        return computer == "Pc2";
    }
    bool Retransmit(const std::string& computer) override {
        Record("Retransmit " + computer);
        return computer == "Pc2";
    }
    TProxyServicesStatus ProxyServices() override {
        Record("ProxyServices");
        std::lock_guard<std::mutex> guard(Lock);
        return ProxyValue;
    }
    std::string Connect() override {
        Record("Connect");
        return "dialling";
    }
    std::string Disconnect() override {
        Record("Disconnect");
        return "hung up";
    }
    std::string TakeOver() override {
        Record("TakeOver");
        if (TakeOverFails)
            throw Exception("connection refused");
        return "taken over";
    }
    void SetDialLogin(const std::string& user, const std::string& password) override {
        Record("DialLogin " + user + " " + password);
    }
    std::string LanKeyFingerprint() override { return Fingerprint; }
    std::string SetLanKey(const std::string& secret) override {
        Record("SetLanKey " + secret);
        if (secret.size() < 16)
            throw Exception("a LAN key needs at least 16 bytes; this one has " +
                            std::to_string(secret.size()));
        return Fingerprint = "1a2b-3c4d-5e6f-7a8b";
    }
    std::string GenerateLanKey() override {
        Fingerprint = "9999-8888-7777-6666";
        return "generated-key-of-43-characters-xxxxxxxxxxx";
    }
    bool ClearLanKey() override { return !std::exchange(Fingerprint, "").empty(); }
    std::string Fingerprint;
    bool AnswerQuestion(bool yes) override {
        Record(yes ? "Answer yes" : "Answer no");
        return QuestionOpen;
    }
    bool OpenMainWindow(const std::string& computer) override {
        Record("OpenMainWindow " + computer);
        return HasWindows && (computer.empty() || computer == "Beta");
    }
    std::optional<TWindowView> WindowView() override {
        if (!HasWindows)
            return std::nullopt;
        return TWindowView{true, {"All Computers", "Beta"},          "Beta", "I am BETA.", "online",
                           true, {"Proxy-Settings", "About Harbolt"}};
    }
    bool RestartProxyServices() override {
        Record("RestartProxyServices");
        return ProxyEnabled;
    }
    std::optional<int> AddProxyMapping(const std::string& text) override {
        Record("AddProxyMapping " + text);
        return FreeMapping;
    }
    bool RemoveProxyMapping(int index) override {
        Record("RemoveProxyMapping " + std::to_string(index));
        return index == 3;
    }
    void Quit() override {
        Record("Quit");
        if (OnQuit)
            OnQuit();
    }
    TMailStatus MailStatus() override {
        Record("MailStatus");
        return MailValue;
    }
    TMailSetResult SetMail(const TMailboxChange& mailbox) override {
        Record("SetMail " + mailbox.Name + " " + mailbox.Server + " " + mailbox.User + " " +
               (mailbox.Password ? "[" + *mailbox.Password + "]" : "(kept)") + " " +
               std::to_string(mailbox.Action));
        return SetMailResult;
    }
    bool RemoveMail(const std::string& name) override {
        Record("RemoveMail " + name);
        return name == "home";
    }
    TMailSettingsStatus SetMailSettings(const TMailSettingsChange& change) override {
        Record("SetMailSettings" +
               (change.Frequency ? " frequency " + std::to_string(*change.Frequency) : "") +
               (change.Dial ? std::string(" dial ") + (*change.Dial ? "yes" : "no") : "") +
               (change.SoundFile ? " sound [" + *change.SoundFile + "]" : ""));
        return {change.Frequency.value_or(3), change.Dial.value_or(false),
                change.SoundFile.value_or("email.wav")};
    }
    std::size_t CheckMail() override {
        Record("CheckMail");
        return ChecksStarted;
    }
    TLinesStatus Lines() override { return LinesValue; }
    TDialsReport Dials(int year, int month) override {
        Record("Dials " + std::to_string(year) + "-" + std::to_string(month));
        return DialsValue;
    }
    bool SetLine(const std::string& entry, bool up) override {
        Record(std::string("SetLine ") + entry + (up ? " up" : " down"));
        return LinesValue.Layer == "sim" &&
               std::any_of(LinesValue.Lines.begin(), LinesValue.Lines.end(),
                           [&](const TLineStatus& line) { return line.Entry == entry; });
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(Lock);
        return FCalls;
    }
    // Waits (at most 5 s) until call has been made.
    bool WaitForCall(const std::string& call) {
        std::unique_lock<std::mutex> lock(Lock);
        return FCallMade.wait_for(lock, 5s, [&] {
            return std::find(FCalls.begin(), FCalls.end(), call) != FCalls.end();
        });
    }
    int CountOf(const std::string& call) {
        const auto calls = Calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }

    std::mutex Lock;
    TInstanceStatus StatusValue{
        "Box",
        TLanguage::English,
        "(Pc2 online using DSL)",
        {{"Box", true, false, "", 12, "Box is here. I am Box.", {60, 60, 1, 0, true}},
         {"Pc2", true, true, "DSL", 40, "Pc2 is here. The data of Pc2 is up to date.", {}},
         {"Ärger", false, false, "", 0, "The data of Ärger is from 1.2.2024 at 10:00.", {}}},
        std::nullopt,
        0,
        "",
        {60, 60, 1, 0, true},
        {true, false, "Pc2", "10.0.0.2:1977", "CONNECTING", true, 2},
        "",
        {},
        ""};
    bool ThrowOnSet = false;
    std::function<void()> OnQuit;
    TProxyServicesStatus ProxyValue{
        true,
        {{"mapping 3", 3, "10.0.0.2:8080", true, "", "10.0.0.9:80", true},
         {"server", 100, "10.0.0.2:1977", false, "address in use", "", false}},
        "10.0.0.5:1977",
        2500,
        7,
        1,
        0,
        0,
        false,
        {"127.0.0.0/8", "10.0.0.0/24"}};
    bool ProxyEnabled = true;
    std::optional<int> FreeMapping = 7;
    bool TakeOverFails = false;
    bool QuestionOpen = true;
    bool HasWindows = false;
    TMailStatus MailValue{{5, true, "klänge/neu.wav"},
                          {{"home", "pop.example.net", "anna", 3, 12, false},
                           {"Büro", "10.0.0.9:1110", "b.ärger", 0x8005, 0, true}}};
    TMailSetResult SetMailResult = TMailSetResult::Created;
    std::size_t ChecksStarted = 2;
    std::string ServerAddress = "pc1.lan:1977";
    TLinesStatus LinesValue{"sim",
                            "/data/phonebook.conf",
                            {{"Fast", "up", true, false}, {"Büro-LTE", "coming up", false, true}},
                            ""};
    TDialsReport DialsValue{"2026-12",
                            "Büro-LTE",
                            {{"2026-12-01 08:00:05", 3, "10.0.0.5 www.example.com:80"},
                             {"2026-12-01 09:10:00", std::nullopt, "mail Office"},
                             {"2026-12-02 10:00:00", 61, ""}}};

private:
    static TComputerData::TPropertyList Own() {
        return {{"AutoDialEnabled", "yes"}, {"Motto", "x=y"}};
    }
    void Record(std::string call) {
        std::lock_guard<std::mutex> guard(Lock);
        FCalls.push_back(std::move(call));
        FCallMade.notify_all();
    }
    std::vector<std::string> FCalls;
    std::condition_variable FCallMade;
};

class ControlCommandTest : public ::testing::Test {
protected:
    int Run(std::vector<std::string> args, std::optional<std::string> password = std::nullopt) {
        Out.str("");
        Err.str("");
        return RunControlCommand(Target, args, Out, Err, password);
    }
    TFakeTarget Target;
    std::ostringstream Out;
    std::ostringstream Err;
};

TEST_F(ControlCommandTest, StatusAsTextShowsTheTableAndEveryStatusLine) {
    ASSERT_EQ(Run({"status"}), 0) << Err.str();
    const std::string text = Out.str();
    EXPECT_TRUE(Contains(text, "Own computer  Box\nLanguage      en\nTray          (Pc2 online "
                               "using DSL)\n"))
        << text;
    // Columns line up by characters, also after a name with umlauts.
    EXPECT_TRUE(Contains(text, "COMPUTER  ALIVE  ONLINE  CONNECTION  JOURNAL END\n")) << text;
    EXPECT_TRUE(Contains(text, "Pc2       yes    yes     DSL         40\n")) << text;
    EXPECT_TRUE(Contains(text, "Ärger     no     no      -           0\n")) << text;
    EXPECT_TRUE(Contains(text, "\nPc2: Pc2 is here. The data of Pc2 is up to date.\n")) << text;
    EXPECT_TRUE(Contains(text, "\nÄrger: The data of Ärger is from 1.2.2024 at 10:00.\n"));
    EXPECT_TRUE(Contains(text, "Dial budget   60 of 60 min this month, 1 dial in the last hour; "
                               "spent: dial on demand is off\n"
                               "Dial asked    Pc2 (10.0.0.2:1977) answered CONNECTING; it dials; "
                               "2 requests waiting\n"))
        << text;
}

TEST_F(ControlCommandTest, StatusAsJsonHasTheDocumentedKeysInOrder) {
    Target.StatusValue.Language = TLanguage::German;
    ASSERT_EQ(Run({"status", "--json"}), 0) << Err.str();
    const auto doc = nlohmann::ordered_json::parse(Out.str());
    std::vector<std::string> keys;
    for (const auto& item : doc.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"name", "language", "onlineText", "computers",
                                              "question", "newMail", "saveError", "loadError",
                                              "budget", "peerDial", "lanKey", "untrusted"}));
    EXPECT_EQ(doc["lanKey"].dump(), R"({"set":false,"fingerprint":null})");
    EXPECT_EQ(doc["untrusted"].dump(), "[]");
    EXPECT_EQ(doc["peerDial"].dump(), R"({"asking":false,"peer":"Pc2","address":"10.0.0.2:1977",)"
                                      R"("answer":"CONNECTING","waiting":2,"dialled":true})");
    EXPECT_EQ(doc["budget"].dump(), R"({"minutesUsed":60,"minutesAllowed":60,"dialsLastHour":1,)"
                                    R"("dialsAllowed":0,"blocked":true})");
    EXPECT_EQ(doc["computers"][0]["budget"]["blocked"], true);
    EXPECT_TRUE(doc["saveError"].is_null());
    EXPECT_EQ(doc["newMail"], 0);
    EXPECT_TRUE(doc["question"].is_null());
    EXPECT_EQ(doc["language"], "de");
    EXPECT_EQ(doc["onlineText"], "(Pc2 online using DSL)");
    ASSERT_EQ(doc["computers"].size(), 3u);
    EXPECT_EQ(doc["computers"][1].dump(),
              R"({"name":"Pc2","alive":true,"online":true,"connection":"DSL","journalEnd":40,)"
              R"("status":"Pc2 is here. The data of Pc2 is up to date.",)"
              R"("budget":{"minutesUsed":0,"minutesAllowed":0,"dialsLastHour":0,"dialsAllowed":0,)"
              R"("blocked":false}})");
    EXPECT_EQ(doc["computers"][2]["name"], "Ärger");

    Target.StatusValue.Language = TLanguage::English;
    ASSERT_EQ(Run({"status", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(Out.str())["language"], "en");

    Target.StatusValue.SaveError = "cannot save /d/Harbolt.DAT: disk full";
    ASSERT_EQ(Run({"status", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(Out.str())["saveError"], Target.StatusValue.SaveError);
}

TEST_F(ControlCommandTest, ListShowsOwnOrNamedComputerAsLinesOrJson) {
    ASSERT_EQ(Run({"list"}), 0);
    EXPECT_EQ(Out.str(), "AutoDialEnabled=yes\nMotto=x=y\n");
    ASSERT_EQ(Run({"list", "--all"}), 0);
    EXPECT_EQ(Out.str(), "AutoDialEnabled=yes\nMotto=x=y\n2024-05-06/07:08:09.123=DSL online 60\n");
    ASSERT_EQ(Run({"list", "--json", "Pc2"}), 0);
    EXPECT_EQ(nlohmann::json::parse(Out.str()), nlohmann::json({{"Mail", "a=b"}}));
    EXPECT_EQ((std::vector<std::string>{"List ", "List  all", "List Pc2"}), Target.Calls());

    EXPECT_EQ(Run({"list", "Nobody"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: unknown computer 'Nobody'\n");
    EXPECT_EQ(Out.str(), "");
}

TEST_F(ControlCommandTest, GetSetAndUnsetWorkOnTheOwnComputer) {
    ASSERT_EQ(Run({"get", "Motto"}), 0);
    EXPECT_EQ(Out.str(), "x=y\n");
    EXPECT_EQ(Run({"get", "Missing"}), 1);
    EXPECT_EQ(Out.str(), "");
    EXPECT_EQ(Err.str(), "harbolt: Missing is not set on the own computer\n");

    // Values are taken as they stand, also when they look like options.
    ASSERT_EQ(Run({"set", "Offset", "--json"}), 0) << Err.str();
    ASSERT_EQ(Run({"unset", "Motto"}), 0);
    EXPECT_EQ(Target.Calls(), (std::vector<std::string>{"Get Motto", "Get Missing",
                                                        "Set Offset=--json", "Set Motto="}));

    for (const auto& args :
         std::vector<std::vector<std::string>>{{"get", ""}, {"set", "", "v"}, {"unset", ""}}) {
        EXPECT_EQ(Run(args), 1) << args[0];
        EXPECT_EQ(Err.str(), "harbolt: the key is empty\n");
    }
    EXPECT_EQ(Target.Calls().size(), 4u);

    Target.ThrowOnSet = true;
    EXPECT_EQ(Run({"set", "A", "b"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: set failed: disk full\n");
}

TEST_F(ControlCommandTest, SetRefusesWhatReadersCannotTakeUnlessForced) {
    struct TCase {
        std::string Key;
        std::string Value;
        std::string Named; // what the refusal must name
    };
    const std::vector<TCase> refused = {
        {"a=b", "v", "\"=\""},
        {"a\nb", "v", "line feed"},
        {"a\rb", "v", "carriage return"},
        {std::string("a\0b", 3), "v", "NUL"},
        {std::string(256, 'k'), "v", "256 bytes"},
        {"Motto", "snow \u2603", "\"\u2603\" (U+2603)"},
        {"ProxyServerAddress", "host:65536", "65535"},
        {"ProxyServerAddress", "1977", "HOST:PORT"},
        {"ProxyMapping07", ":8080 -> mail.example.net, trigger", "destination HOST:PORT"},
        {"proxymapping99", ":http -> HTTP PROXY, trigger", "port from 1 to 65535 to listen on"},
        {"ProxyMapping00", ":8080 -> HTTP PROXY", "lacks"},
        {"ProxyEnabled", "true", "would read as no"},
        {"proxyenabled", "on", "would read as no"},
        {"ProxyAllowedNetworks", "10.0.0.0/24, 10.0.0.0/33, lan", "\"10.0.0.0/33\", \"lan\""},
        {"AutoDialDisconnectAfter", "5m", "plain digits"},
        {"ProxyMaxSessions", "-1", "plain digits"},
        {"AutoDialMonthlyMinutes", "10h", "plain digits"},
        {"AutoDialViaPeers", "true", "would read as no"},
        {"AutoDialMaxDialsPerHour", "1234567890", "plain digits"},
        {"ProxyDnsNoDialNames", "*.local, *wpad*", "not a name: \"*wpad*\""},
        {"ProxyDnsNoDialNames", "a.example.com,", "not a name: \"\""},
    };
    for (const TCase& bad : refused) {
        EXPECT_EQ(Run({"set", bad.Key, bad.Value}), 1) << bad.Key << "=" << bad.Value;
        EXPECT_TRUE(Contains(Err.str(), "harbolt: nothing stored: ")) << Err.str();
        EXPECT_TRUE(Contains(Err.str(), bad.Named)) << Err.str();
    }
    EXPECT_TRUE(Target.Calls().empty());

    const std::vector<std::pair<std::string, std::string>> stored = {
        {"ProxyServerAddress", ":1977"},
        {"ProxyMapping99", ":2525 -> mail.example.net:25, notrigger"},
        {"ProxyMapping00", "127.0.0.1:1080 -> socks5, trigger"},
        {"ProxyEnabled", "Yes"},
        {"Timemaster", "0"},
        {"ProxyEnabled", ""}, // deletes
        {"AutoDialDisconnectAfter", "300"},
        {"ProxyMaxSessions", "0"},
        {"AutoDialMonthlyMinutes", "600"},
        {"ProxyDnsNoDialNames", " *.local, wpad.* ,update.example.com"},
        {"ProxyAllowedNetworks", "192.168.1.0/24, 10.8.0.0/16"},
        {"Motto", "Grüße für 5 €"},
        {"ProxyEnabled", "true"}, // --force
        {"Motto", "--force"},     // only a first word is the flag
    };
    for (std::size_t i = 0; i < stored.size(); ++i) {
        std::vector<std::string> args = {"set", stored[i].first, stored[i].second};
        if (i + 2 == stored.size())
            args.insert(args.begin() + 1, "--force");
        EXPECT_EQ(Run(args), 0) << stored[i].first << ": " << Err.str();
        EXPECT_EQ(Err.str(), "");
        EXPECT_EQ(Target.CountOf("Set " + stored[i].first + "=" + stored[i].second), 1);
    }
    EXPECT_TRUE(Contains(kControlCommandUsage, "      set [--force] KEY VALUE"))
        << kControlCommandUsage;
    EXPECT_TRUE(Contains(kControlCommandUsage, "--force stores any value")) << kControlCommandUsage;

    // Admitting every address is allowed, but said.
    EXPECT_EQ(Run({"set", "ProxyAllowedNetworks", "10.0.0.0/8, 0.0.0.0/0"}), 0);
    EXPECT_TRUE(Contains(Err.str(), "harbolt: warning: ProxyAllowedNetworks holds 0.0.0.0/0"))
        << Err.str();
    EXPECT_EQ(Target.CountOf("Set ProxyAllowedNetworks=10.0.0.0/8, 0.0.0.0/0"), 1);
}

TEST_F(ControlCommandTest, CopyAndRetransmitExplainRefusals) {
    EXPECT_EQ(Run({"copy", "Pc2", "Mail"}), 0);
    EXPECT_EQ(Run({"copy", "Nobody", "Mail"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: unknown computer 'Nobody'\n");
    EXPECT_EQ(Run({"copy", "Pc2", ""}), 1);
    EXPECT_EQ(Err.str(), "harbolt: nothing copied: the key is empty\n");
    EXPECT_EQ(Target.CountOf("Copy Pc2 "), 0);

    EXPECT_EQ(Run({"retransmit", "Pc2"}), 0);
    EXPECT_EQ(Run({"retransmit", "Box"}), 1);
    EXPECT_EQ(Err.str(),
              "harbolt: cannot retransmit the own computer's data: it is the original\n");
    EXPECT_EQ(Run({"retransmit", "Nobody"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: unknown computer 'Nobody'\n");
}

TEST_F(ControlCommandTest, BadWordsGiveUsageWithoutTouchingTheInstance) {
    const std::vector<std::vector<std::string>> bad = {{},
                                                       {"frobnicate"},
                                                       {"Status"},
                                                       {"status", "extra"},
                                                       {"status", "--all"},
                                                       {"list", "a", "b"},
                                                       {"list", "--verbose"},
                                                       {"get"},
                                                       {"set", "k"},
                                                       {"copy", "Pc2"},
                                                       {"retransmit"},
                                                       {"quit", "now"},
                                                       {"get", "k", "--json"}};
    for (const auto& args : bad) {
        EXPECT_EQ(Run(args), 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_TRUE(Contains(Err.str(), "usage")) << Err.str();
        EXPECT_EQ(Out.str(), "");
    }
    EXPECT_TRUE(Target.Calls().empty());
    Run({"frobnicate"});
    EXPECT_TRUE(Contains(Err.str(), "unknown control command 'frobnicate'"));
    EXPECT_TRUE(Contains(Err.str(), "retransmit COMPUTER"));
    const std::string heading = "usage: harbolt ctl [--system | --data-dir DIR] COMMAND\n"
                                "      --system is --data-dir /var/lib/harbolt, the system "
                                "service's\n";
    EXPECT_EQ(Err.str().substr(Err.str().find(heading)), heading + kControlCommandUsage);
}

TEST_F(ControlCommandTest, OpenQuestionShowsInStatusAndTakesAnAnswer) {
    Target.StatusValue.Question = TQuestionStatus{"Do you want to connect?", false, 17};
    ASSERT_EQ(Run({"status", "--json"}), 0);
    const auto question = nlohmann::json::parse(Out.str())["question"];
    EXPECT_EQ(question["text"], "Do you want to connect?");
    EXPECT_EQ(question["defaultAnswer"], "no");
    EXPECT_EQ(question["secondsLeft"], 17);
    ASSERT_EQ(Run({"status"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "Question      Do you want to connect?\n")) << Out.str();
    EXPECT_TRUE(Contains(Out.str(), "answered no in 17 s")) << Out.str();

    EXPECT_EQ(Run({"answer", "yes"}), 0);
    EXPECT_EQ(Out.str(), "answered yes\n");
    Target.QuestionOpen = false;
    EXPECT_EQ(Run({"answer", "no"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "no question is open")) << Err.str();
    EXPECT_EQ(Run({"answer", "maybe"}), 2);
    EXPECT_EQ(Target.Calls(),
              (std::vector<std::string>{"Status", "Status", "Answer yes", "Answer no"}));
}

TEST_F(ControlCommandTest, PasswordsComeOnlyFromTheRequestsMember) {
    const std::vector<std::string> mailSet = {
        "mail",   "set", "home",     "--server", "s",
        "--user", "u",   "--action", "none",     "--password-stdin"};
    EXPECT_EQ(Run(mailSet, "pä ss"), 0) << Err.str();
    EXPECT_EQ(Out.str(), "mailbox home created\n"); // the password is not echoed
    EXPECT_EQ(Run({"dial-login", "anna"}, "s3cret"), 0) << Err.str();
    EXPECT_EQ(Out.str(), "dial login set for anna\n");

    // Without the member nothing changes, and a trailing word is a word like any other.
    const std::vector<std::pair<std::vector<std::string>, int>> refused = {
        {mailSet, 1},
        {{"dial-login", "anna"}, 1},
        {{"dial-login", "anna", "s3cret"}, 2},
        {{"mail", "set", "home", "--server", "s", "--user", "u", "--action", "none",
          "--password-stdin", "s3cret"},
         2},
        // Once the trailing "--server" was taken for the password; now it lacks its value.
        {{"mail", "set", "--action=none", "--password-stdin", "--user=u", "home", "--server"}, 2},
    };
    for (const auto& [args, exit] : refused) {
        EXPECT_EQ(Run(args), exit) << args.back();
        EXPECT_TRUE(Contains(Err.str(), exit == 1 ? "no password in the request" : "usage"))
            << Err.str();
        EXPECT_FALSE(Contains(Err.str(), "s3cret")) << Err.str();
    }
    EXPECT_EQ(Run({"dial-login", "anna", "s3cret"}, "typed"), 2);

    // A password the words do not ask for is refused rather than dropped; so is one with a line
    // end, which would end a line of the POP3 dialogue early.
    EXPECT_EQ(
        Run({"mail", "set", "home", "--server", "s", "--user", "u", "--action", "none"}, "pw"), 1);
    EXPECT_TRUE(Contains(Err.str(), "this mail command takes none")) << Err.str();
    EXPECT_EQ(Run({"status"}, "pw"), 1);
    EXPECT_EQ(Run(mailSet, "a\rb"), 1);
    EXPECT_EQ(Err.str(), "harbolt: the password cannot hold line ends\n");
    EXPECT_EQ(Target.Calls(),
              (std::vector<std::string>{"SetMail home s u [pä ss] 0", "DialLogin anna s3cret"}));
}

TEST_F(ControlCommandTest, NewMailShowsInStatusWhileTheNoticeLasts) {
    ASSERT_EQ(Run({"status"}), 0);
    EXPECT_FALSE(Contains(Out.str(), "New mail")) << Out.str();
    Target.StatusValue.NewMail = 42;
    ASSERT_EQ(Run({"status"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "Tray          (Pc2 online using DSL)\n"
                                    "New mail      arrived; the notice shows 42 s more\n"))
        << Out.str();
    ASSERT_EQ(Run({"status", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(Out.str())["newMail"], 42);
}

TEST_F(ControlCommandTest, MailListShowsSettingsAndMailboxesAsTextOrJson) {
    ASSERT_EQ(Run({"mail", "list"}), 0) << Err.str();
    EXPECT_EQ(Out.str(), "Check every  5 minutes\n"
                         "Dial         yes, when nobody is online\n"
                         "Sound        klänge/neu.wav\n"
                         "\n"
                         "MAILBOX  SERVER           USER     ACTION      UIDS  CHECKING\n"
                         "home     pop.example.net  anna     notify-new  12    no\n"
                         "Büro     10.0.0.9:1110    b.ärger  32773       0     yes\n");

    ASSERT_EQ(Run({"mail", "list", "--json"}), 0) << Err.str();
    const auto doc = nlohmann::ordered_json::parse(Out.str());
    EXPECT_EQ(doc.dump(),
              R"({"frequency":5,"dial":true,"sound":"klänge/neu.wav","mailboxes":[)"
              R"({"name":"home","server":"pop.example.net","user":"anna","action":"notify-new",)"
              R"("uids":12,"checking":false},)"
              R"({"name":"Büro","server":"10.0.0.9:1110","user":"b.ärger","action":"32773",)"
              R"("uids":0,"checking":true}]})");

    Target.MailValue = {{1, false, ""}, {}};
    ASSERT_EQ(Run({"mail", "list"}), 0);
    EXPECT_EQ(Out.str(), "Check every  1 minute\nDial         no\nSound        (none)\n\n"
                         "No mailboxes: add one with `harbolt ctl mail set`.\n");
    ASSERT_EQ(Run({"mail", "list", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(Out.str())["mailboxes"], nlohmann::json::array());

    EXPECT_EQ(Run({"mail", "list", "--all"}), 2);
    EXPECT_EQ(Run({"mail", "list", "home"}), 2);
    EXPECT_EQ(Run({"mail"}), 2);
    EXPECT_TRUE(Contains(Err.str(), "mail needs an action")) << Err.str();
    EXPECT_EQ(Run({"mail", "fetch"}), 2);
    EXPECT_TRUE(Contains(Err.str(), "mail has no action 'fetch'")) << Err.str();
    EXPECT_TRUE(Contains(Err.str(), "harbolt ctl [--data-dir DIR] mail settings")) << Err.str();
    EXPECT_EQ(Target.CountOf("MailStatus"), 4);
}

TEST_F(ControlCommandTest, MailSetTakesEveryOptionInAnyOrder) {
    ASSERT_EQ(Run({"mail", "set", "home", "--server", "pop.example.net:995", "--user", "anna",
                   "--password-stdin", "--action", "notify-present"},
                  "pä ss"),
              0)
        << Err.str();
    EXPECT_EQ(Out.str(), "mailbox home created\n"); // the password is not echoed
    // Options in any order, joined with "=", a password that looks like an option.
    Target.SetMailResult = TMailSetResult::Replaced;
    ASSERT_EQ(Run({"mail", "set", "--action=delete-all", "--password-stdin", "--user=b",
                   "--server=s", "Büro"},
                  "--server"),
              0)
        << Err.str();
    EXPECT_EQ(Out.str(), "mailbox Büro replaced; its remembered messages stay\n");
    // Without --password-stdin the stored password stays.
    Target.SetMailResult = TMailSetResult::ReplacedForgettingUids;
    ASSERT_EQ(
        Run({"mail", "set", "home", "--server", "pop2", "--user", "anna", "--action", "none"}), 0);
    EXPECT_EQ(Out.str(),
              "mailbox home replaced; new server or user: every message there counts as new\n");
    Target.SetMailResult = TMailSetResult::PasswordMissing;
    EXPECT_EQ(Run({"mail", "set", "new", "--server", "s", "--user", "u", "--action", "notify-new"}),
              1);
    EXPECT_EQ(Err.str(), "harbolt: mailbox 'new' is new: it needs a password (--password-stdin)\n");
    EXPECT_EQ(Target.Calls(), (std::vector<std::string>{
                                  "SetMail home pop.example.net:995 anna [pä ss] 7",
                                  "SetMail Büro s b [--server] 32768",
                                  "SetMail home pop2 anna (kept) 0",
                                  "SetMail new s u (kept) 3",
                              }));

    const std::vector<std::string> complete = {"--server", "s", "--user", "u", "--action", "none"};
    const auto setWith = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"mail", "set"});
        return Run(words);
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"home", "--server", "s", "--user", "u"}, "mail set needs --action"},
        {{"home", "--server", "", "--user", "u", "--action", "none"}, "mail set needs --server"},
        {{"home", "--server", "s", "--user", "u", "--action", "notify"},
         "--action takes notify-new, notify-present, delete-all or none, not 'notify'"},
        {{"--server", "s", "--user", "u", "--action", "none"}, "needs the name of the mailbox"},
        {{"home", "secret", "--server", "s", "--user", "u", "--action", "none"},
         "no password on the command line"},
        {{"home", "--password", "secret", "--server", "s", "--user", "u", "--action", "none"},
         "the password is read from standard input: give --password-stdin"},
        {{"home", "--server", "s", "--user", "u", "--action"}, "--action needs a value"},
        {{"home", "--port", "110", "--server", "s", "--user", "u", "--action", "none"},
         "mail set has no option --port"},
        // A line end would smuggle a command of its own into the POP3 dialogue.
        {{"home", "--server", "s", "--user", "u\r\nDELE 1", "--action", "none"},
         "cannot hold line ends"},
    };
    for (const auto& [words, message] : refused) {
        EXPECT_EQ(setWith(words), 2) << words.size();
        EXPECT_TRUE(Contains(Err.str(), message)) << Err.str();
        EXPECT_TRUE(Contains(Err.str(), "usage:")) << Err.str();
    }
    EXPECT_EQ(Target.Calls().size(), 4u); // none of them reached the instance
    EXPECT_EQ(setWith({"x", "--server", "s", "--user", "u", "--action", "none"}), 1);
}

TEST_F(ControlCommandTest, MailRemoveNamesAnUnknownMailbox) {
    EXPECT_EQ(Run({"mail", "remove", "home"}), 0);
    EXPECT_EQ(Out.str(), "mailbox home removed\n");
    EXPECT_EQ(Run({"mail", "remove", "Home"}), 1);
    EXPECT_EQ(Out.str(), "");
    EXPECT_EQ(Err.str(), "harbolt: no mailbox 'Home'\n");
    EXPECT_EQ(Run({"mail", "remove"}), 2);
    EXPECT_EQ(Run({"mail", "remove", "a", "b"}), 2);
    EXPECT_EQ(Target.Calls(), (std::vector<std::string>{"RemoveMail home", "RemoveMail Home"}));
}

TEST_F(ControlCommandTest, MailSettingsCheckTheirRangesBeforeChangingAnything) {
    ASSERT_EQ(Run({"mail", "settings", "--frequency", "60", "--dial", "yes", "--sound",
                   "/usr/share/sounds/pling.wav"}),
              0)
        << Err.str();
    EXPECT_EQ(Out.str(), "Check every  60 minutes\nDial         yes, when nobody is online\n"
                         "Sound        /usr/share/sounds/pling.wav\n");
    ASSERT_EQ(Run({"mail", "settings", "--frequency=1", "--dial=no"}), 0) << Err.str();
    ASSERT_EQ(Run({"mail", "settings", "--sound", ""}), 0) << Err.str(); // no sound
    EXPECT_TRUE(Contains(Out.str(), "Sound        (none)\n"));
    ASSERT_EQ(Run({"mail", "settings"}), 0); // shows them
    EXPECT_TRUE(Contains(Out.str(), "Check every  3 minutes\n"));

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--frequency", "0"}, "--frequency takes 1 to 60 minutes, not '0'"},
        {{"--frequency", "61"}, "not '61'"},
        {{"--frequency", "-5"}, "not '-5'"},
        {{"--frequency", "5m"}, "not '5m'"},
        {{"--frequency", ""}, "not ''"},
        {{"--frequency", "4294967299"}, "not '4294967299'"},
        {{"--frequency", "10", "--dial", "maybe"}, "--dial takes yes or no, not 'maybe'"},
        {{"--dial", "YES"}, "not 'YES'"},
        {{"--dial"}, "--dial needs a value"},
        {{"--volume", "3"}, "mail settings has no option --volume"},
        {{"10"}, "mail settings takes only options, not '10'"},
    };
    for (const auto& [words, message] : refused) {
        std::vector<std::string> args = {"mail", "settings"};
        args.insert(args.end(), words.begin(), words.end());
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_TRUE(Contains(Err.str(), message)) << Err.str();
    }
    EXPECT_EQ(Target.Calls(), (std::vector<std::string>{
                                  "SetMailSettings frequency 60 dial yes sound "
                                  "[/usr/share/sounds/pling.wav]",
                                  "SetMailSettings frequency 1 dial no",
                                  "SetMailSettings sound []",
                                  "SetMailSettings",
                              }));
}

TEST_F(ControlCommandTest, MailCheckSaysHowManyChecksStarted) {
    EXPECT_EQ(Run({"mail", "check"}), 0);
    EXPECT_EQ(Out.str(), "checking 2 mailboxes now\n");
    Target.ChecksStarted = 0;
    EXPECT_EQ(Run({"mail", "check"}), 0);
    EXPECT_EQ(Out.str(), "no check started: no mailboxes, or every check still runs\n");
    EXPECT_EQ(Run({"mail", "check", "home"}), 2);
    EXPECT_EQ(Target.CountOf("CheckMail"), 2);
}

TEST_F(ControlCommandTest, DialCommandsPrintWhatHappened) {
    EXPECT_EQ(Run({"connect"}), 0);
    EXPECT_EQ(Out.str(), "dialling\n");
    EXPECT_EQ(Run({"disconnect"}), 0);
    EXPECT_EQ(Out.str(), "hung up\n");
    EXPECT_EQ(Run({"takeover"}), 0);
    EXPECT_EQ(Out.str(), "taken over\n");
    Target.TakeOverFails = true;
    EXPECT_EQ(Run({"takeover"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "take-over failed: connection refused")) << Err.str();
    EXPECT_EQ(Run({"connect", "now"}), 2);
}

TEST_F(ControlCommandTest, ProxyStatusShowsListenersOnlineAddressAndRefusals) {
    ASSERT_EQ(Run({"proxy", "status"}), 0) << Err.str();
    const std::string text = Out.str();
    EXPECT_TRUE(Contains(text, "Proxy services  running\n")) << text;
    EXPECT_TRUE(Contains(text, "Online address  10.0.0.5:1977, 2 s ago\n")) << text;
    EXPECT_TRUE(Contains(text, "loopback and the announced LAN: 127.0.0.0/8, 10.0.0.0/24\n"))
        << text;
    EXPECT_TRUE(Contains(text, "Refused         7 connections\n")) << text;
    EXPECT_TRUE(Contains(text, "mapping 3     10.0.0.2:8080  listening  -> 10.0.0.9:80, trigger\n"))
        << text;
    EXPECT_TRUE(Contains(text, "server        10.0.0.2:1977  not bound: address in use\n")) << text;
    EXPECT_TRUE(Contains(text, "Loops refused   1 connection to the own listeners\n")) << text;
    EXPECT_FALSE(Contains(text, "Over the cap")) << text;

    ASSERT_EQ(Run({"proxy", "status", "--json"}), 0) << Err.str();
    const auto json = nlohmann::json::parse(Out.str());
    EXPECT_EQ(json["running"], true);
    ASSERT_EQ(json["listeners"].size(), 2u);
    EXPECT_EQ(json["listeners"][0]["slot"], 3);
    EXPECT_EQ(json["listeners"][1]["bound"], false);
    EXPECT_EQ(json["listeners"][1]["failure"], "address in use");
    EXPECT_TRUE(json["listeners"][1]["destination"].is_null());
    EXPECT_TRUE(json["listeners"][0]["failure"].is_null());
    EXPECT_EQ(json["listeners"][0]["destination"], "10.0.0.9:80");
    EXPECT_EQ(json["listeners"][0]["trigger"], true);
    EXPECT_EQ(json["loopsRefused"], 1);
    EXPECT_EQ(json["overCap"], 0);
    EXPECT_EQ(json["onlineAddress"], "10.0.0.5:1977");
    EXPECT_DOUBLE_EQ(json["onlineAddressAge"].get<double>(), 2.5);
    EXPECT_EQ(json["refused"], 7);
    EXPECT_EQ(json["allowedNetworksConfigured"], false);

    // Nobody announced yet: no age, and JSON says null rather than a made-up number.
    Target.ProxyValue.OnlineAddressAge.reset();
    Target.ProxyValue.OnlineAddress.clear();
    ASSERT_EQ(Run({"proxy", "status", "--json"}), 0);
    EXPECT_TRUE(nlohmann::json::parse(Out.str())["onlineAddressAge"].is_null());
    ASSERT_EQ(Run({"proxy", "status"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "none announced since the start")) << Out.str();
}

TEST_F(ControlCommandTest, ProxyRestartSaysWhetherTheServicesRunAgain) {
    ASSERT_EQ(Run({"proxy", "restart"}), 0);
    EXPECT_EQ(Out.str(), "proxy services restarted\n");
    Target.ProxyEnabled = false;
    ASSERT_EQ(Run({"proxy", "restart"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "ProxyEnabled is not set")) << Out.str();
    EXPECT_EQ(Target.CountOf("RestartProxyServices"), 2);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"proxy"}, {"proxy", "start"}, {"proxy", "restart", "--json"}, {"proxy", "a", "b"}}) {
        EXPECT_EQ(Run(bad), 2) << bad.size();
        EXPECT_TRUE(Contains(Err.str(), "usage")) << Err.str();
    }
    EXPECT_EQ(Target.CountOf("RestartProxyServices"), 2);
}

TEST_F(ControlCommandTest, ProxyMapAndUnmapNameTheMappingOrWhyNot) {
    ASSERT_EQ(Run({"proxy", "map", ":8080 -> HTTP PROXY, trigger"}), 0) << Err.str();
    EXPECT_TRUE(Contains(Out.str(), "stored as ProxyMapping07;")) << Out.str();
    Target.FreeMapping.reset();
    EXPECT_EQ(Run({"proxy", "map", ":8081 -> HTTP PROXY, trigger"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "Mapping table is full!")) << Err.str();
    EXPECT_EQ(Run({"proxy", "unmap", "03"}), 0) << Err.str();
    EXPECT_EQ(Run({"proxy", "unmap", "4"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "no mapping 4 is stored")) << Err.str();
    for (const char* bad : {"100", "3x", "", " 3"}) {
        EXPECT_EQ(Run({"proxy", "unmap", bad}), 2) << bad;
        EXPECT_TRUE(Contains(Err.str(), "no mapping number")) << Err.str();
    }
    EXPECT_EQ(Run({"proxy", "map", ""}), 2);
    // Without its trigger part the listener would forward to nowhere: nothing reaches the target.
    EXPECT_EQ(Run({"proxy", "map", ":7001 -> 10.0.0.1:7001"}), 2);
    EXPECT_TRUE(Contains(Err.str(), "nothing stored")) << Err.str();
    EXPECT_EQ(Run({"proxy", "status", "x"}), 2);
    EXPECT_EQ(Target.Calls(),
              (std::vector<std::string>{"AddProxyMapping :8080 -> HTTP PROXY, trigger",
                                        "AddProxyMapping :8081 -> HTTP PROXY, trigger",
                                        "RemoveProxyMapping 3", "RemoveProxyMapping 4"}));
}

TEST_F(ControlCommandTest, LineListShowsEveryEntryAsTableOrJson) {
    ASSERT_EQ(Run({"line", "list"}), 0) << Err.str();
    EXPECT_EQ(Out.str(), "Dial-up layer  sim\n"
                         "Phone book     /data/phonebook.conf\n\n"
                         "ENTRY     STATE      OWN DIAL  AUTO-DIAL ENTRY\n"
                         "Fast      up         yes       no\n"
                         "Büro-LTE  coming up  no        yes\n");
    ASSERT_EQ(Run({"line", "list", "--json"}), 0) << Err.str();
    EXPECT_EQ(nlohmann::ordered_json::parse(Out.str()).dump(),
              R"({"layer":"sim","phoneBook":"/data/phonebook.conf","lines":[)"
              R"({"entry":"Fast","state":"up","ownDial":true,"autoDialEntry":false},)"
              R"({"entry":"Büro-LTE","state":"coming up","ownDial":false,"autoDialEntry":true}],)"
              R"("failure":null})");
    // Entries that cannot be listed are a failure in both forms, with the reason.
    Target.LinesValue = {"commands", "/data/phonebook.conf", {}, "cannot read: Permission denied"};
    EXPECT_EQ(Run({"line", "list"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: the entries cannot be listed: cannot read: Permission denied\n");
    EXPECT_EQ(Run({"line", "list", "--json"}), 1);
    EXPECT_EQ(nlohmann::json::parse(Out.str())["failure"], "cannot read: Permission denied");
}

TEST_F(ControlCommandTest, DialsListsAMonthAsTableOrJsonAndRefusesOtherMonths) {
    ASSERT_EQ(Run({"dials", "--month", "2026-12"}), 0) << Err.str();
    EXPECT_EQ(Out.str(), "START                ONLINE  CAUSE\n"
                         "2026-12-01 08:00:05  3 min   10.0.0.5 www.example.com:80\n"
                         "2026-12-01 09:10:00  -       mail Office\n"
                         "2026-12-02 10:00:00  61 min  (no cause recorded)\n");
    ASSERT_EQ(Run({"dials", "--json", "--month", "2026-02"}), 0) << Err.str();
    EXPECT_EQ(
        nlohmann::ordered_json::parse(Out.str()).dump(),
        R"({"month":"2026-12","entry":"Büro-LTE","dials":[)"
        R"({"start":"2026-12-01 08:00:05","minutes":3,"cause":"10.0.0.5 www.example.com:80"},)"
        R"({"start":"2026-12-01 09:10:00","minutes":null,"cause":"mail Office"},)"
        R"({"start":"2026-12-02 10:00:00","minutes":61,"cause":""}]})");
    EXPECT_EQ(Run({"dials"}), 0) << Err.str();
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"dials", "--month", "2026-13"},
                                               {"dials", "--month", "26-1"},
                                               {"dials", "--month", "2026-1x"},
                                               {"dials", "2026-12"},
                                               {"dials", "--month"}})
        EXPECT_EQ(Run(bad), 2) << bad.back();
    Target.DialsValue.Dials.clear();
    ASSERT_EQ(Run({"dials", "--month", "2026-12"}), 0);
    EXPECT_EQ(Out.str(), "no dials of \"Büro-LTE\" in 2026-12\n");
    const std::vector<std::string> calls = Target.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "Dials 2026-12");
    EXPECT_EQ(calls[1], "Dials 2026-2");
    EXPECT_EQ(calls[3], "Dials 2026-12");
}

TEST_F(ControlCommandTest, LineUpDownNamesTheLinesThatExist) {
    EXPECT_EQ(Run({"line", "Fast", "down"}), 0) << Err.str();
    EXPECT_EQ(Run({"line", "up", "Fast"}), 0) << Err.str();
    EXPECT_EQ(Run({"line", "Nope", "up"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: no simulated line 'Nope'; the lines are: Fast, Büro-LTE\n");
    Target.LinesValue.Lines.clear();
    EXPECT_EQ(Run({"line", "Nope", "up"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: no simulated line 'Nope'; there are none: "
                         "/data/phonebook.conf names no entry\n");
    Target.LinesValue.Layer = "commands";
    EXPECT_EQ(Run({"line", "Nope", "down"}), 1);
    EXPECT_EQ(Err.str(),
              "harbolt: no simulated line 'Nope' (the instance must run with --dialup sim)\n");
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"line", "Fast"}, {"line", "Fast", "on"}, {"line", "Fast", "up", "--json"}})
        EXPECT_EQ(Run(bad), 2) << Err.str();
    EXPECT_EQ(Target.Calls(),
              (std::vector<std::string>{"SetLine Fast down", "SetLine Fast up", "SetLine Nope up",
                                        "SetLine Nope up", "SetLine Nope down"}));
}

TEST_F(ControlCommandTest, PacSendsBrowsersToAddressesOtherComputersReach) {
    Target.ProxyValue.Listeners = {
        {"mapping 1", 1, "10.0.0.2:8081", false, "address in use", "HTTP PROXY:0", true},
        {"mapping 4", 4, "0.0.0.0:1080", true, "", "SOCKS5:0", false},
        {"mapping 5", 5, "10.0.0.2:2121", true, "", "FTP PROXY:0", false},
        {"mapping 2", 2, "10.0.0.2:8080", true, "", "proxy:0", true}};
    ASSERT_EQ(Run({"pac"}), 0) << Err.str();
    // Every address: the host of ProxyServerAddress; a listener that failed to bind: none.
    EXPECT_TRUE(Contains(Out.str(), "return \"PROXY 10.0.0.2:8080; SOCKS5 pc1.lan:1080; "
                                    "DIRECT\";\n"))
        << Out.str();
    // Without a host to name, the file would send browsers nowhere.
    Target.ServerAddress = "0.0.0.0:1977";
    Target.ProxyValue.Listeners.pop_back();
    EXPECT_EQ(Run({"pac"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "ProxyServerAddress names no host")) << Err.str();
    // A loopback listener serves this computer only, and the file says so.
    Target.ProxyValue.Listeners.push_back(
        {"mapping 6", 6, "127.0.0.1:3128", true, "", "HTTP PROXY:0", true});
    ASSERT_EQ(Run({"pac"}), 0) << Err.str();
    EXPECT_TRUE(Contains(Out.str(), "\"PROXY 127.0.0.1:3128; DIRECT\"")) << Out.str();
    EXPECT_TRUE(Contains(Err.str(), "mapping 6 listens on 127.0.0.1 only")) << Err.str();
    Target.ProxyValue.Listeners.resize(1);
    EXPECT_EQ(Run({"pac"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "no HTTP PROXY or SOCKS5 PROXY mapping is listening; add one "
                                    "(`harbolt ctl proxy map \":8080 -> HTTP PROXY, trigger\"`"))
        << Err.str();
    EXPECT_EQ(Out.str(), "");
}

TEST(ProxyAutoConfigTextTest, LocalNamesAndNetworksGoDirect) {
    EXPECT_EQ(ProxyAutoConfigText("10.0.0.2:8080", "",
                                  {"10.0.0.0/24", "172.16.0.0/12", "10.0.0.0/33", "1.2.3.4"}),
              "function FindProxyForURL(url, host) {\n"
              "    if (isPlainHostName(host) || shExpMatch(host, \"*.local\"))\n"
              "        return \"DIRECT\";\n"
              "    var address = dnsResolve(host);\n"
              "    if (address && (isInNet(address, \"10.0.0.0\", \"255.255.255.0\") ||\n"
              "                    isInNet(address, \"172.16.0.0\", \"255.240.0.0\")))\n"
              "        return \"DIRECT\";\n"
              "    return \"PROXY 10.0.0.2:8080; DIRECT\";\n"
              "}\n");
    // No lookup without networks.
    EXPECT_TRUE(Contains(ProxyAutoConfigText("", "pc1:1080", {}),
                         "DIRECT\";\n    return \"SOCKS5 pc1:1080; DIRECT\";\n}"));
}

TEST_F(ControlCommandTest, QuitAsksTheInstanceToQuit) {
    EXPECT_EQ(Run({"quit"}), 0);
    EXPECT_EQ(Target.Calls(), std::vector<std::string>{"Quit"});
}

TEST_F(ControlCommandTest, WindowCommandsSayWhenThereIsNoWindow) {
    EXPECT_EQ(Run({"open"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "without windows")) << Err.str();
    EXPECT_EQ(Run({"window"}), 1);
    Target.HasWindows = true;
    EXPECT_EQ(Run({"open"}), 0);
    EXPECT_EQ(Run({"open", "Gamma"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "Gamma")) << Err.str();
    EXPECT_EQ(Run({"window"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "Tabs     All Computers [Beta]\n")) << Out.str();
    EXPECT_TRUE(Contains(Out.str(), "Dialogs  \"Proxy-Settings\" \"About Harbolt\"\n"))
        << Out.str();
    EXPECT_EQ(Run({"window", "--json"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "\"status\": \"I am BETA.\"")) << Out.str();
    EXPECT_EQ(nlohmann::json::parse(Out.str())["dialogs"].size(), 2u);
}

TEST(ControlWireTest, RequestsRoundTripAndBadOnesAreRefused) {
    const std::vector<std::string> words = {"set", "Gruß", "a \"b\"\n\\c", ""};
    const std::string text = ControlRequestText(words);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(ParseControlRequest(text), words);
    EXPECT_EQ(ParseControlRequest(R"({"args":[],"later":1})"), std::vector<std::string>{});

    for (const char* bad :
         {"", "status", "[\"status\"]", "{}", R"({"args":"status"})", R"({"args":["a",1]})",
          R"({"args":["a\u0000b"]})", R"({"args":["\ud800"]})", "{\"args\":[\"\xff\"]}",
          R"({"args":["a"]} trailing)"})
        EXPECT_EQ(ParseControlRequest(bad), std::nullopt) << bad;
    const std::string tooLong = "{\"args\":[\"" + std::string(kControlRequestLimit, 'x') + "\"]}";
    EXPECT_EQ(ParseControlRequest(tooLong), std::nullopt);
    EXPECT_THROW(ControlRequestText({"\xff"}), Exception);
}

TEST(ControlWireTest, ThePasswordTravelsAsAMemberOfItsOwn) {
    const std::vector<std::string> words = {"dial-login", "anna"};
    const std::string text = ControlRequestText(words, "pä ss \"1\"");
    EXPECT_EQ(nlohmann::json::parse(text),
              nlohmann::json({{"args", words}, {"password", "pä ss \"1\""}}));
    std::optional<std::string> password;
    EXPECT_EQ(ParseControlRequest(text, &password), words);
    EXPECT_EQ(password, "pä ss \"1\"");
    // Absent and empty differ, and nothing stays from an earlier request.
    EXPECT_EQ(ParseControlRequest(ControlRequestText({"x"}, ""), &password),
              std::vector<std::string>{"x"});
    EXPECT_EQ(password, "");
    EXPECT_EQ(ParseControlRequest(ControlRequestText({"status"}), &password),
              std::vector<std::string>{"status"});
    EXPECT_EQ(password, std::nullopt);

    for (const char* bad :
         {R"({"args":[],"password":1})", R"({"args":[],"password":null})",
          R"({"args":[],"password":["a"]})", R"({"args":[],"password":"a\u0000b"})",
          "{\"args\":[],\"password\":\"\xff\"}"}) {
        EXPECT_EQ(ParseControlRequest(bad, &password), std::nullopt) << bad;
        EXPECT_EQ(ParseControlRequest(bad), std::nullopt) << bad;
    }
    // The client says what is wrong rather than send what the instance would refuse.
    EXPECT_THROW(ControlRequestText(words, std::string("a\0b", 3)), Exception);
    EXPECT_THROW(ControlRequestText(words, "\xff"), Exception);
}

TEST(ControlWireTest, RepliesRoundTripAndBadOnesAreRefused) {
    const TControlReply reply{2, "ä\n", "usage:\n"};
    EXPECT_EQ(ParseControlReply(ControlReplyText(reply)), reply);
    EXPECT_EQ(ControlReplyText({0, "", ""}), "{\"exit\":0,\"out\":\"\",\"err\":\"\"}\n");
    for (const char* bad :
         {"", "{}", R"({"exit":256,"out":"","err":""})", R"({"exit":-1,"out":"","err":""})",
          R"({"exit":18446744073709551615,"out":"","err":""})", R"({"exit":1.5,"out":"","err":""})",
          R"({"exit":0,"out":1,"err":""})", R"({"exit":0,"out":""})"})
        EXPECT_EQ(ParseControlReply(bad), std::nullopt) << bad;
}

// A stand-in for the instance's main loop: runs posted tasks in order on its own thread.
class TMainThread {
public:
    TMainThread() : FThread([this] { Loop(); }) {}
    ~TMainThread() {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FEnd = true;
        }
        FChanged.notify_all();
        FThread.join();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FTasks.push_back(std::move(task));
        }
        FChanged.notify_all();
    }
    void SetPaused(bool paused) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FPaused = paused;
        }
        FChanged.notify_all();
    }
    // Waits (at most 5 s) until the queue holds count tasks and none runs.
    bool WaitForQueued(std::size_t count) {
        std::unique_lock<std::mutex> lock(FLock);
        return FChanged.wait_for(lock, 5s, [&] { return FTasks.size() == count && !FRunning; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(FLock);
        for (;;) {
            FChanged.wait(lock, [&] { return FEnd || (!FPaused && !FTasks.empty()); });
            if (FEnd)
                return;
            auto task = std::move(FTasks.front());
            FTasks.pop_front();
            FRunning = true;
            lock.unlock();
            task();
            lock.lock();
            FRunning = false;
            FChanged.notify_all();
        }
    }
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<std::function<void()>> FTasks;
    bool FPaused = false;
    bool FRunning = false;
    bool FEnd = false;
    std::thread FThread;
};

class TSocketFd {
public:
    explicit TSocketFd(int fd) : Fd(fd) {}
    ~TSocketFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    const int Fd;
};

sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-ctl-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        SocketPath = ControlSocketPath(Dir);
    }
    void TearDown() override {
        Server.reset();
        fs::remove_all(Dir);
    }
    void StartServer(TControlServerLimits limits = {}) {
        Server = std::make_unique<TControlServer>(
            SocketPath, [this](std::function<void()> task) { Main.Post(std::move(task)); }, Target,
            limits);
        Server->Start();
    }
    int Ctl(std::vector<std::string> words, std::chrono::milliseconds replyTime = 15s) {
        Out.str("");
        Err.str("");
        words.insert(words.begin(), {"--data-dir", Dir.string()});
        return RunControlClient(words, Out, Err, replyTime);
    }
    // Sends raw bytes as a client (then ends its side when finish is set) and returns everything
    // the server answers.
    std::string Exchange(const std::string& bytes, bool finish = false) {
        TSocketFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = AddressOf(SocketPath);
        if (::connect(socket.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return "(no connection)";
        if (!bytes.empty())
            ::send(socket.Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (finish)
            ::shutdown(socket.Fd, SHUT_WR);
        std::string answer;
        char buffer[4096];
        pollfd readable{socket.Fd, POLLIN, 0};
        while (::poll(&readable, 1, 5000) == 1) {
            const ssize_t count = ::recv(socket.Fd, buffer, sizeof buffer, 0);
            if (count <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(count));
        }
        return answer;
    }

    fs::path Dir;
    std::string SocketPath;
    TFakeTarget Target;
    TMainThread Main;
    std::unique_ptr<TControlServer> Server;
    std::ostringstream Out;
    std::ostringstream Err;
};

TEST_F(ControlServerTest, CommandsRoundTripThroughAPrivateSocket) {
    StartServer();
    struct stat info {};
    ASSERT_EQ(::lstat(SocketPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    ASSERT_EQ(Ctl({"status", "--json"}), 0) << Err.str();
    const auto doc = nlohmann::json::parse(Out.str());
    EXPECT_EQ(doc["name"], "Box");
    EXPECT_EQ(doc["computers"][2]["name"], "Ärger");

    EXPECT_EQ(Ctl({"get", "Missing"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: Missing is not set on the own computer\n");
    EXPECT_EQ(Ctl({"set", "Motto", "Grüße"}), 0);
    EXPECT_EQ(Target.CountOf("Set Motto=Grüße"), 1);
}

// Standard input of the client, for the time of one test.
class TStandardInput {
public:
    explicit TStandardInput(const std::string& text) : Text(text), Saved(std::cin.rdbuf()) {
        std::cin.rdbuf(Text.rdbuf());
        std::cin.clear();
    }
    ~TStandardInput() {
        std::cin.rdbuf(Saved);
        std::cin.clear();
    }
    std::istringstream Text;

private:
    std::streambuf* Saved;
};

TEST_F(ControlServerTest, MailSetReadsThePasswordFromStandardInputOnly) {
    StartServer();
    {
        TStandardInput input("gehéim 1\r\nnext line\n");
        ASSERT_EQ(Ctl({"mail", "set", "home", "--server", "pop.example.net", "--user", "anna",
                       "--action", "notify-new", "--password-stdin"}),
                  0)
            << Err.str();
        EXPECT_EQ(Out.str(), "mailbox home created\n");
        EXPECT_TRUE(Target.WaitForCall("SetMail home pop.example.net anna [gehéim 1] 3"));
    }
    {
        // Checked before anything is read or sent.
        TStandardInput input("unread\n");
        EXPECT_EQ(Ctl({"mail", "set", "home", "--server", "s", "--user", "u", "--action", "all",
                       "--password-stdin"}),
                  2);
        EXPECT_TRUE(Contains(Err.str(), "--action takes")) << Err.str();
        std::string left;
        EXPECT_TRUE(std::getline(input.Text, left));
        EXPECT_EQ(left, "unread");
    }
    {
        TStandardInput input("");
        EXPECT_EQ(Ctl({"mail", "set", "home", "--server", "s", "--user", "u", "--action", "none",
                       "--password-stdin"}),
                  1);
        EXPECT_EQ(Err.str(), "harbolt: no password on standard input\n");
    }
    // Without --password-stdin nothing is read and the stored password stays.
    {
        TStandardInput input("unread\n");
        ASSERT_EQ(Ctl({"mail", "set", "home", "--server", "s", "--user", "u", "--action", "none"}),
                  0)
            << Err.str();
        EXPECT_TRUE(Target.WaitForCall("SetMail home s u (kept) 0"));
        EXPECT_EQ(input.Text.tellg(), 0);
    }
    EXPECT_EQ(Target.Calls().size(), 2u);
    ASSERT_EQ(Ctl({"mail", "list", "--json"}), 0) << Err.str();
    EXPECT_EQ(nlohmann::json::parse(Out.str())["mailboxes"][0]["name"], "home");
}

TEST_F(ControlServerTest, ClientRefusesAPasswordOnTheCommandLine) {
    // No instance needed: the words are refused first.
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"mail", "set", "home", "--server", "s", "--user", "u",
                                   "--action", "none", "s3cret"},
          std::vector<std::string>{"mail", "set", "home", "--server", "s", "--user", "u",
                                   "--action", "none", "--password-stdin", "s3cret"},
          std::vector<std::string>{"mail", "set", "home", "--password=s3cret", "--server", "s",
                                   "--user", "u", "--action", "none"}}) {
        TStandardInput input("typed\n");
        EXPECT_EQ(Ctl(words), 2);
        EXPECT_TRUE(Contains(Err.str(), "password")) << Err.str();
        EXPECT_FALSE(Contains(Out.str() + Err.str(), "s3cret")) << Err.str();
    }
    TStandardInput input("typed\n");
    EXPECT_EQ(Ctl({"dial-login", "anna", "s3cret"}), 2);
    EXPECT_EQ(Err.str(), "usage: harbolt ctl [--data-dir DIR] dial-login USER\n");
    EXPECT_EQ(input.Text.tellg(), 0);
    EXPECT_TRUE(Target.Calls().empty());
    EXPECT_TRUE(Contains(kControlCommandUsage, "      mail set NAME --server HOST[:PORT]"));
}

TEST_F(ControlServerTest, IdleClientsDelayOthersByTheirRequestTimeAndBusyOnesAreSaidSo) {
    StartServer({kControlRequestLimit, 300ms, 10s, 5s, 2});
    const sockaddr_un address = AddressOf(SocketPath);
    std::vector<std::unique_ptr<TSocketFd>> held;
    const auto connectHeld = [&](const std::string& bytes) {
        held.push_back(
            std::make_unique<TSocketFd>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
        ASSERT_EQ(
            ::connect(held.back()->Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        ASSERT_EQ(::send(held.back()->Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    };
    // Two idle clients fill both places: the next one is served once the first idle one has
    // used up its request time, not turned away.
    connectHeld("{");
    connectHeld("{");
    auto begin = TClock::now();
    ASSERT_EQ(Ctl({"status"}), 0) << Err.str();
    EXPECT_LT(TClock::now() - begin, 1s);
    EXPECT_TRUE(Contains(Out.str(), "Own computer  Box")) << Out.str();
    held.clear();

    // Clients whose commands wait for the main thread keep their places past the request time:
    // the next one is told so.
    Main.SetPaused(true);
    connectHeld("{\"args\":[\"status\"]}\n");
    connectHeld("{\"args\":[\"status\"]}\n");
    ASSERT_TRUE(Main.WaitForQueued(2));
    begin = TClock::now();
    EXPECT_EQ(Ctl({"status"}), 1);
    EXPECT_GE(TClock::now() - begin, 600ms);
    EXPECT_TRUE(Contains(Err.str(), "harbolt: busy: 2 control clients are served already"))
        << Err.str();
    Main.SetPaused(false);
    held.clear();
    EXPECT_EQ(Ctl({"status"}), 0) << Err.str();
}

TEST_F(ControlServerTest, StatusOfAFullRosterFitsItsReply) {
    std::vector<TComputerStatus> computers;
    for (int i = 0; i < 1024; ++i) {
        // Names as long as a datagram carries them, in two-byte characters.
        const std::string name = std::to_string(i) + std::string(250, 'x') + "ÄÖÜ";
        computers.push_back(
            {name, true, false, "", i, "The data of " + name + " is up to date.", {}});
    }
    {
        std::lock_guard<std::mutex> guard(Target.Lock);
        Target.StatusValue.Computers = computers;
    }
    StartServer();
    ASSERT_EQ(Ctl({"status", "--json"}), 0) << Err.str();
    const auto doc = nlohmann::json::parse(Out.str());
    ASSERT_EQ(doc["computers"].size(), 1024u);
    EXPECT_EQ(doc["computers"][1023]["name"], computers.back().Name);
    ASSERT_EQ(Ctl({"status"}), 0) << Err.str();
    EXPECT_TRUE(Contains(Out.str(), computers.back().Name + ": " + computers.back().Status + "\n"));
}

TEST_F(ControlServerTest, StopIsPromptAndRemovesTheSocket) {
    StartServer();
    // An idle client holds the connection; Stop must not wait for it.
    TSocketFd idle(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = AddressOf(SocketPath);
    ASSERT_EQ(::connect(idle.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    std::this_thread::sleep_for(50ms);
    const auto begin = TClock::now();
    Server->Stop();
    EXPECT_LT(TClock::now() - begin, 1s);
    EXPECT_FALSE(fs::exists(fs::symlink_status(SocketPath)));

    EXPECT_EQ(Ctl({"status"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: no Harbolt instance is running for " + Dir.string() +
                             " (no control socket " + SocketPath + ")\n");
}

TEST_F(ControlServerTest, BusyMainThreadGivesTimeOutAndTheCommandNeverRunsLate) {
    StartServer({kControlRequestLimit, 5s, 300ms, 5s});
    Main.SetPaused(true);
    const auto begin = TClock::now();
    EXPECT_EQ(Ctl({"set", "A", "b"}), 1);
    EXPECT_LT(TClock::now() - begin, 5s);
    EXPECT_EQ(Err.str(), "harbolt: the instance did not answer within 300 ms\n");
    Main.SetPaused(false);
    ASSERT_TRUE(Main.WaitForQueued(0));
    EXPECT_TRUE(Target.Calls().empty());
}

TEST_F(ControlServerTest, StopWhileACommandWaitsAnswersTheClient) {
    StartServer();
    Main.SetPaused(true);
    int exit = -1;
    std::ostringstream clientErr;
    std::ostringstream clientOut;
    std::thread client([&] {
        exit = RunControlClient({"--data-dir", Dir.string(), "status"}, clientOut, clientErr);
    });
    const bool posted = Main.WaitForQueued(1);
    const auto begin = TClock::now();
    Server->Stop();
    const auto stopTime = TClock::now() - begin;
    client.join();
    ASSERT_TRUE(posted);
    EXPECT_LT(stopTime, 1s);
    EXPECT_EQ(exit, 1);
    EXPECT_EQ(clientErr.str(), "harbolt: the instance is shutting down\n");
    Main.SetPaused(false);
    ASSERT_TRUE(Main.WaitForQueued(0));
    EXPECT_TRUE(Target.Calls().empty());
}

TEST_F(ControlServerTest, BadRequestsAreAnsweredAndServiceGoesOn) {
    StartServer({kControlRequestLimit, 300ms, 10s, 5s});
    const auto errOf = [](const std::string& answer) {
        const auto reply = ParseControlReply(answer);
        return reply && reply->Exit != 0 ? reply->Err : "(no error reply: " + answer + ")";
    };
    EXPECT_EQ(errOf(Exchange("hello\n")), "harbolt: unreadable control request\n");
    EXPECT_EQ(errOf(Exchange(std::string(70000, 'x'))),
              "harbolt: the request is longer than 65536 bytes\n");
    EXPECT_EQ(errOf(Exchange("")), "harbolt: no complete request within 300 ms\n");
    EXPECT_TRUE(Contains(errOf(Exchange("{\"args\":[\"nonsense\"]}\n")), "usage:"));
    // Without its line feed, a request ends with the connection.
    EXPECT_EQ(ParseControlReply(Exchange("{\"args\":[\"get\",\"Motto\"]}", true))->Out, "x=y\n");

    ASSERT_EQ(Ctl({"list", "Pc2"}), 0) << Err.str();
    EXPECT_EQ(Out.str(), "Mail=a=b\n");
}

TEST_F(ControlServerTest, QuitReplyArrivesBeforeTheInstanceStops) {
    StartServer();
    // Like the instance: quitting ends the server on the main thread.
    Target.OnQuit = [this] { Server->Stop(); };
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(Err.str(), "");
    ASSERT_TRUE(Target.WaitForCall("Quit"));
    ASSERT_TRUE(Main.WaitForQueued(0));
    EXPECT_EQ(Target.Calls(), std::vector<std::string>{"Quit"});
    EXPECT_FALSE(fs::exists(fs::symlink_status(SocketPath)));
}

TEST_F(ControlServerTest, OnlyItsOwnSocketIsUsedOrReplaced) {
    std::ofstream(SocketPath) << "not mine";
    EXPECT_EQ(Ctl({"status"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: refusing to use " + SocketPath + ": not a socket\n");
    EXPECT_THROW(StartServer(), Exception);
    EXPECT_TRUE(fs::is_regular_file(SocketPath));
    fs::remove(SocketPath);

    {
        // A socket left behind: nobody listens on it.
        TSocketFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = AddressOf(SocketPath);
        ASSERT_EQ(::bind(stale.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    EXPECT_EQ(Ctl({"status"}), 1);
    EXPECT_TRUE(Contains(Err.str(), "no Harbolt instance is running for " + Dir.string()));
    StartServer();
    EXPECT_EQ(Ctl({"status"}), 0) << Err.str();

    // A live instance keeps its socket.
    TControlServer second(
        SocketPath, [](std::function<void()>) {}, Target);
    EXPECT_THROW(second.Start(), Exception);
    EXPECT_EQ(Ctl({"status"}), 0) << Err.str();
}

TEST_F(ControlServerTest, ClientChecksWordsFirstAndReportsSilentOrBrokenInstances) {
    EXPECT_EQ(Ctl({"frobnicate"}), 2);
    EXPECT_TRUE(Contains(Err.str(), "unknown control command"));
    Out.str("");
    EXPECT_EQ(RunControlClient({"--help"}, Out, Err), 0);
    EXPECT_TRUE(Contains(Out.str(), "usage: harbolt ctl [--system | --data-dir DIR] COMMAND\n"));
    EXPECT_TRUE(Contains(Out.str(), std::string(kControlCommandUsage))) << Out.str();
    EXPECT_EQ(RunControlClient({"--data-dir"}, Out, Err), 2);

    TSocketFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = AddressOf(SocketPath);
    ASSERT_EQ(::bind(listener.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.Fd, 4), 0);
    // Nobody accepts: the client gives up in time.
    const auto begin = TClock::now();
    EXPECT_EQ(Ctl({"status"}, 300ms), 1);
    EXPECT_LT(TClock::now() - begin, 3s);
    EXPECT_EQ(Err.str(),
              "harbolt: the instance at " + SocketPath + " did not answer within 300 ms\n");

    // A fresh listener, so that the abandoned connection above is not the one answered.
    ASSERT_EQ(::unlink(SocketPath.c_str()), 0);
    TSocketFd answering(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(answering.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(answering.Fd, 4), 0);
    std::thread broken([&] {
        pollfd readable{answering.Fd, POLLIN, 0};
        if (::poll(&readable, 1, 5000) != 1)
            return;
        TSocketFd connection(::accept(answering.Fd, nullptr, nullptr));
        ::send(connection.Fd, "nonsense\n", 9, MSG_NOSIGNAL);
    });
    const int exit = Ctl({"status"});
    broken.join();
    EXPECT_EQ(exit, 1);
    EXPECT_EQ(Err.str(), "harbolt: the instance sent an unreadable reply\n");
}

constexpr uid_t kNobody = 65534;

// Runs body in a child process as another user and group (root only) and returns its result, or
// -1 when the child did not end in time. body may only make async-signal-safe calls: the parent
// has threads.
int RunAs(uid_t uid, gid_t gid, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ? 10
                                                                                         : body());
    int status = 0;
    for (int i = 0; i < 100 && child > 0 && ::waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(50ms);
    if (child > 0 && ::waitpid(child, &status, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
    }
    return child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends request as that user and returns 0 when the answer holds expected.
int ExchangeAs(uid_t uid, gid_t gid, const sockaddr_un& address, const std::string& request,
               const std::string& expected) {
    return RunAs(uid, gid, [&] {
        const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return 11;
        ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
        char answer[512];
        const ssize_t count = ::recv(socket, answer, sizeof answer, MSG_WAITALL);
        return count > 0 && ::memmem(answer, static_cast<std::size_t>(count), expected.data(),
                                     expected.size()) != nullptr
                   ? 0
                   : 12;
    });
}

// Another user cannot be faked without root.
TEST_F(ControlServerTest, OtherUsersAreRefusedBothWays) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    StartServer();
    // Open the way, so that only the peer check stands between another user and the instance.
    ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(SocketPath.c_str(), 0666), 0);
    const sockaddr_un address = AddressOf(SocketPath);
    EXPECT_EQ(ExchangeAs(kNobody, kNobody, address, ControlRequestText({"set", "A", "b"}),
                         "another user"),
              0);
    EXPECT_TRUE(Target.Calls().empty());

    // Neither client nor server uses a socket of another user.
    Server.reset();
    TSocketFd foreign(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(foreign.Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(foreign.Fd, 4), 0);
    ASSERT_EQ(::lchown(SocketPath.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(Ctl({"status"}), 1);
    EXPECT_EQ(Err.str(), "harbolt: refusing to use " + SocketPath + ": owned by uid 65534\n");
    TControlServer replacement(
        SocketPath, [](std::function<void()>) {}, Target);
    EXPECT_THROW(replacement.Start(), Exception);
    EXPECT_TRUE(fs::exists(fs::symlink_status(SocketPath)));
}

TEST_F(ControlServerTest, AControlGroupOwnsTheSocketAndNeedsASearchableDirectory) {
    std::string error;
    EXPECT_FALSE(LookUpControlGroup("no-such-group-of-harbolt", error));
    EXPECT_EQ(error, "--control-group: no group 'no-such-group-of-harbolt' on this system");
    const group* own = ::getgrgid(::getgid());
    ASSERT_NE(own, nullptr);
    const std::optional<TControlGroup> byName = LookUpControlGroup(own->gr_name, error);
    ASSERT_TRUE(byName) << error;
    EXPECT_EQ(byName->Id, ::getgid());
    // The account database: the own primary group, no group that does not exist, no user
    // without an account.
    EXPECT_TRUE(UserInGroup(::getuid(), ::getgid()));
    EXPECT_FALSE(UserInGroup(::getuid(), 3999999999u));
    EXPECT_FALSE(UserInGroup(3999999999u, ::getgid()));

    StartServer({kControlRequestLimit, 5s, 10s, 5s, 16, byName});
    struct stat info {};
    ASSERT_EQ(::lstat(SocketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(info.st_gid, ::getgid());
    ASSERT_EQ(Ctl({"get", "Motto"}), 0) << Err.str();

    // The temporary directory is private (0700): the group cannot search it, and is told so.
    const std::optional<std::string> warning = ControlGroupReachWarning(SocketPath, *byName);
    EXPECT_TRUE(warning && Contains(*warning, "members of group " + byName->Name +
                                                  " cannot reach the control socket: " +
                                                  Dir.string() + " (mode 0700"));
    ASSERT_EQ(::chmod(Dir.c_str(), 0750), 0);
    EXPECT_FALSE(ControlGroupReachWarning(SocketPath, *byName));
    // Of another group, the directory is searched by the others' bits.
    const TControlGroup other{"other", ::getgid() + 1};
    EXPECT_TRUE(ControlGroupReachWarning(SocketPath, other));
    ASSERT_EQ(::chmod(Dir.c_str(), 0751), 0);
    EXPECT_FALSE(ControlGroupReachWarning(SocketPath, other));
}

TEST_F(ControlServerTest, GroupMembersAreServedAndOthersRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    constexpr gid_t kStranger = 54321; // a group nobody belongs to
    StartServer({kControlRequestLimit, 5s, 10s, 5s, 16, TControlGroup{"nogroup", kNobody}});
    ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
    const sockaddr_un address = AddressOf(SocketPath);
    const std::string request = ControlRequestText({"get", "Motto"});
    EXPECT_EQ(ExchangeAs(kNobody, kStranger, address, request, "x=y"), 11); // 0660: no entry
    ASSERT_EQ(::chmod(SocketPath.c_str(), 0666), 0);
    // A member by the account database, though the process holds another group; a process that
    // holds the group; and one that is neither.
    EXPECT_EQ(ExchangeAs(kNobody, kStranger, address, request, "x=y"), 0);
    EXPECT_EQ(ExchangeAs(4242, kNobody, address, request, "x=y"), 0);
    EXPECT_EQ(ExchangeAs(4242, kStranger, address, request, "another user"), 0);
    EXPECT_EQ(Target.CountOf("Get Motto"), 2);
}

TEST_F(ControlServerTest, AnotherUsersInstanceIsUsedOnlyInANamedDirectory) {
    EXPECT_EQ(RunControlClient({"--system", "--data-dir", Dir.string(), "status"}, Out, Err), 2);
    EXPECT_EQ(Err.str(), "harbolt: --system means --data-dir /var/lib/harbolt; give one of them\n");
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // The system service's directory: another user's, who serves the socket there.
    const fs::path system = Dir / "system";
    ASSERT_TRUE(fs::create_directory(system));
    ASSERT_EQ(::chown(system.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
    const std::string path = ControlSocketPath(system.string());
    const std::string bound = path + ".new"; // renamed once it listens
    const sockaddr_un address = AddressOf(bound);
    const std::string reply = ControlReplyText({0, "served by nobody\n", ""});
    std::atomic<int> served{-1};
    std::thread server([&] {
        served = RunAs(kNobody, kNobody, [&] {
            const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                    0 ||
                ::listen(listener, 4) != 0 || ::rename(bound.c_str(), path.c_str()) != 0)
                return 11;
            const int connection = ::accept(listener, nullptr, nullptr);
            char request[1024];
            ::recv(connection, request, sizeof request, 0);
            ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            return 0;
        });
    });
    for (int i = 0; i < 100 && !fs::exists(fs::symlink_status(path)); ++i)
        std::this_thread::sleep_for(20ms);
    Out.str("");
    Err.str("");
    EXPECT_EQ(RunControlClient({"--data-dir", system.string(), "status"}, Out, Err), 0)
        << Err.str();
    server.join();
    EXPECT_EQ(Out.str(), "served by nobody\n");
    EXPECT_EQ(served, 0);
}

TEST_F(ControlCommandTest, LanKeyTakesItsKeyOnlyAsThePasswordAndStatusNamesTheUntrusted) {
    EXPECT_EQ(Run({"lan-key", "status"}), 0);
    EXPECT_EQ(Out.str(), "no LAN key: every computer on the LAN is trusted\n");
    // The key never comes as a word, where every user of the machine could read it.
    EXPECT_EQ(Run({"lan-key", "set"}), 1);
    EXPECT_EQ(Run({"lan-key", "set", "0123456789abcdef"}), 2);
    EXPECT_EQ(Run({"lan-key", "status"}, "0123456789abcdef"), 1);
    EXPECT_EQ(Run({"lan-key", "rotate"}), 2);
    EXPECT_EQ(Run({"lan-key", "set"}, "short"), 1);
    EXPECT_TRUE(Contains(Err.str(), "at least 16 bytes; this one has 5")) << Err.str();
    ASSERT_EQ(Run({"lan-key", "set"}, "0123456789abcdef"), 0) << Err.str();
    EXPECT_EQ(Out.str(), "LAN key set, fingerprint 1a2b-3c4d-5e6f-7a8b\n");
    ASSERT_EQ(Run({"lan-key", "generate"}), 0);
    EXPECT_EQ(Out.str(), "generated-key-of-43-characters-xxxxxxxxxxx\n"
                         "LAN key set, fingerprint 9999-8888-7777-6666\n");
    EXPECT_EQ(Run({"lan-key", "clear"}), 0);
    EXPECT_EQ(Out.str(), "LAN key removed: every computer on the LAN is trusted\n");
    EXPECT_EQ(Run({"lan-key", "clear"}), 0);
    EXPECT_EQ(Out.str(), "no LAN key was set\n");

    Target.StatusValue.LanKeyFingerprint = "1a2b-3c4d-5e6f-7a8b";
    Target.StatusValue.Untrusted = {{"10.77.0.9", "EVIL", 12, 3, "no LAN key", 2},
                                    {"10.77.0.8", "", 0, 1, "a failed LAN key handshake", 40}};
    ASSERT_EQ(Run({"status"}), 0);
    EXPECT_TRUE(Contains(Out.str(), "LAN key       set, fingerprint 1a2b-3c4d-5e6f-7a8b\n"
                                    "Untrusted     EVIL at 10.77.0.9: 12 datagrams, 3 connections "
                                    "dropped (last: no LAN key), 2 s ago\n"
                                    "Untrusted     ? at 10.77.0.8: 1 connection dropped (last: a "
                                    "failed LAN key handshake), 40 s ago\n"))
        << Out.str();
    ASSERT_EQ(Run({"status", "--json"}), 0);
    const auto doc = nlohmann::json::parse(Out.str());
    EXPECT_EQ(doc["lanKey"]["fingerprint"], "1a2b-3c4d-5e6f-7a8b");
    EXPECT_EQ(doc["untrusted"][0]["name"], "EVIL");
    EXPECT_EQ(doc["untrusted"][0]["datagramsDropped"], 12);
    EXPECT_EQ(doc["untrusted"][1]["connectionsRefused"], 1);
}

} // namespace
} // namespace harbolt
