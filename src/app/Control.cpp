#include "app/Control.h"

#include "platform/Exceptions.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace harbolt {

namespace {

using TClock = std::chrono::steady_clock;
using TJson = nlohmann::ordered_json;

// A reply holds the whole property list with its dial-up records; far below this in practice.
constexpr std::size_t kControlReplyLimit = 16 * 1024 * 1024;

std::string Dump(const TJson& document, int indent) {
    // The target promises UTF-8; a stray byte must not cost the whole answer.
    return document.dump(indent, ' ', false, TJson::error_handler_t::replace);
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string SecondsText(std::chrono::milliseconds time) {
    if (time.count() % 1000 != 0)
        return std::to_string(time.count()) + " ms";
    const auto seconds = time.count() / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// ---------------------------------------------------------------------------------------------
// The command table

constexpr unsigned kJsonFlag = 1;
constexpr unsigned kAllFlag = 2;

struct TCall {
    TControlTarget& Target;
    const std::vector<std::string>& Words; // the words that are not flags
    bool Json;
    bool All;
    std::ostream& Out;
    std::ostream& Err;
    // Work that must wait until the reply has reached the client (quitting ends the server).
    std::function<void()>& AfterReply;
};

int StatusCommand(TCall& call);
int ListCommand(TCall& call);
int GetCommand(TCall& call);
int SetCommand(TCall& call);
int UnsetCommand(TCall& call);
int CopyCommand(TCall& call);
int RetransmitCommand(TCall& call);
int QuitCommand(TCall& call);
int LineCommand(TCall& call);
int ProxyCommand(TCall& call);
int ConnectCommand(TCall& call);
int DisconnectCommand(TCall& call);
int TakeOverCommand(TCall& call);
int AnswerCommand(TCall& call);
int DialLoginCommand(TCall& call);
int MailCommand(TCall& call);

struct TUsageLine {
    const char* Synopsis;
    const char* Purpose;
};

// The mail command parses its words itself; the help shows each of its actions.
constexpr TUsageLine kMailUsage[] = {
    {"mail list [--json]", "the mailboxes checked for new mail, the mail settings"},
    {"mail set NAME --server HOST[:PORT] --user USER --action ACTION [--password-stdin]",
     "create or replace a mailbox; ACTION is notify-new,\nnotify-present, delete-all or none; the "
     "password is\nread from standard input (left out: the stored one\nstays)"},
    {"mail remove NAME", "remove a mailbox"},
    {"mail settings [--frequency MIN] [--dial yes|no] [--sound FILE]",
     "check every MIN minutes (1 to 60), whether a check\nmay dial, the new-mail sound"},
    {"mail check", "check every mailbox now"},
};

struct TCommand {
    const char* Name;
    const char* Arguments;
    const char* Purpose;
    // The flags it accepts. Commands without flags take every word as it stands, so that a value
    // may begin with "-".
    unsigned Flags;
    std::size_t MinWords;
    std::size_t MaxWords;
    int (*Run)(TCall&);
};

constexpr TCommand kCommands[] = {
    {"status", "[--json]", "own name, language and the state of every computer", kJsonFlag, 0, 0,
     StatusCommand},
    {"list", "[COMPUTER] [--all] [--json]",
     "properties of COMPUTER (default: own); --all with dial-up records", kJsonFlag | kAllFlag, 0,
     1, ListCommand},
    {"get", "KEY", "a property of the own computer", 0, 1, 1, GetCommand},
    {"set", "KEY VALUE", "set a property of the own computer (empty VALUE deletes)", 0, 2, 2,
     SetCommand},
    {"unset", "KEY", "delete a property of the own computer", 0, 1, 1, UnsetCommand},
    {"copy", "COMPUTER KEY", "copy a property of COMPUTER to the own computer", 0, 2, 2,
     CopyCommand},
    {"retransmit", "COMPUTER", "drop the copy of COMPUTER's data and fetch it again", 0, 1, 1,
     RetransmitCommand},
    {"line", "ENTRY up|down", "bring a simulated line up or down (--dialup sim)", 0, 2, 2,
     LineCommand},
    {"connect", "", "dial the own entry (\"AutoDialPhoneBookEntry\") without asking", 0, 0, 0,
     ConnectCommand},
    {"disconnect", "", "hang up the connection Harbolt dialled or adopted", 0, 0, 0,
     DisconnectCommand},
    {"takeover", "", "ask the online computer to hang up, then dial here", 0, 0, 0,
     TakeOverCommand},
    {"answer", "yes|no", "answer the open question (see status)", 0, 1, 1, AnswerCommand},
    {"dial-login", "USER", "user name for dialling; the password is read from standard input", 0, 1,
     2, DialLoginCommand},
    {"mail", "list|set|remove|settings|check ...", "", 0, 0, 64, MailCommand},
    {"proxy", "status [--json] | restart",
     "the proxy listeners and the online address; restart applies changed settings", kJsonFlag, 1,
     1, ProxyCommand},
    {"quit", "", "quit the instance, saving its data", 0, 0, 0, QuitCommand},
};

std::string CommandSynopsis(const TCommand& command) {
    std::string synopsis = command.Name;
    if (command.Arguments[0] != '\0')
        synopsis += std::string(" ") + command.Arguments;
    return synopsis;
}

std::string BuildUsage() {
    // Descriptions start where those of the other commands' help lines do.
    constexpr std::size_t kColumn = 37;
    const auto line = [](std::string text, const std::string& description) {
        text += text.size() + 1 < kColumn ? std::string(kColumn - text.size(), ' ')
                                          : "\n" + std::string(kColumn, ' ');
        for (const char c : description)
            text += c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, c);
        return text + "\n";
    };
    std::string usage;
    for (const TCommand& command : kCommands) {
        if (command.Run == MailCommand) {
            for (const TUsageLine& mail : kMailUsage)
                usage += line(std::string("      ") + mail.Synopsis, mail.Purpose);
            continue;
        }
        usage += line("      " + CommandSynopsis(command), command.Purpose);
    }
    return usage;
}

const std::string& UsageText() {
    static const std::string usage = BuildUsage();
    return usage;
}

// The help's own heading; kControlCommandUsage holds only the command lines below it.
constexpr const char* kUsageHeading = "usage: harbolt ctl [--data-dir DIR] COMMAND\n";

void PrintUsage(std::ostream& err) {
    err << kUsageHeading << UsageText();
}

struct TCommandWords {
    const TCommand* Command = nullptr;
    std::vector<std::string> Words;
    bool Json = false;
    bool All = false;
};

// Matches args against the table; explains on err what does not fit.
std::optional<TCommandWords> SplitCommandWords(const std::vector<std::string>& args,
                                               std::ostream& err) {
    if (args.empty()) {
        err << "harbolt: ctl needs a command\n";
        PrintUsage(err);
        return std::nullopt;
    }
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const TCommand& c) { return args[0] == c.Name; });
    if (found == std::end(kCommands)) {
        err << "harbolt: unknown control command '" << args[0] << "'\n";
        PrintUsage(err);
        return std::nullopt;
    }
    TCommandWords result;
    result.Command = found;
    const auto commandUsage = [&]() {
        err << "usage: harbolt ctl [--data-dir DIR] " << CommandSynopsis(*found) << "\n";
        return std::nullopt;
    };
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (found->Flags != 0 && word.size() > 1 && word[0] == '-') {
            if (word == "--json" && (found->Flags & kJsonFlag) != 0) {
                result.Json = true;
            } else if (word == "--all" && (found->Flags & kAllFlag) != 0) {
                result.All = true;
            } else {
                err << "harbolt: " << found->Name << " has no option " << word << "\n";
                return commandUsage();
            }
        } else {
            result.Words.push_back(word);
        }
    }
    if (result.Words.size() < found->MinWords || result.Words.size() > found->MaxWords)
        return commandUsage();
    return result;
}

int UnknownComputer(TCall& call, const std::string& computer) {
    call.Err << "harbolt: unknown computer '" << computer << "'\n";
    return 1;
}

bool KeyIsEmpty(TCall& call, const std::string& key) {
    // A property under the empty key would show as a line "=value" that nobody can select.
    if (!key.empty())
        return false;
    call.Err << "harbolt: the key is empty\n";
    return true;
}

const char* LanguageCode(TLanguage language) {
    return language == TLanguage::German ? "de" : "en";
}

// Columns of the status table count characters, not UTF-8 bytes.
std::size_t DisplayWidth(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void PrintCell(std::ostream& out, const std::string& text, std::size_t width) {
    out << text << std::string(width - std::min(width, DisplayWidth(text)), ' ');
}

// Columns two blanks apart, as wide as their widest cell.
void PrintTable(std::ostream& out, const std::vector<std::string>& headings,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const std::string& heading : headings)
        widths.push_back(DisplayWidth(heading));
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    const auto printRow = [&](const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i + 1 < cells.size(); ++i)
            PrintCell(out, cells[i], widths[i] + 2);
        out << cells.back() << "\n";
    };
    printRow(headings);
    for (const auto& row : rows)
        printRow(row);
}

int StatusCommand(TCall& call) {
    const TInstanceStatus status = call.Target.Status();
    if (call.Json) {
        TJson computers = TJson::array();
        for (const TComputerStatus& computer : status.Computers) {
            TJson entry = TJson::object();
            entry["name"] = computer.Name;
            entry["alive"] = computer.Alive;
            entry["online"] = computer.Online;
            entry["connection"] = computer.Connection;
            entry["journalEnd"] = computer.JournalEnd;
            entry["status"] = computer.Status;
            computers.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["name"] = status.Name;
        document["language"] = LanguageCode(status.Language);
        document["onlineText"] = status.OnlineText;
        document["computers"] = std::move(computers);
        if (status.Question) {
            TJson question = TJson::object();
            question["text"] = status.Question->Text;
            question["defaultAnswer"] = status.Question->DefaultYes ? "yes" : "no";
            question["secondsLeft"] = status.Question->SecondsLeft;
            document["question"] = std::move(question);
        } else {
            document["question"] = nullptr;
        }
        document["newMail"] = status.NewMail;
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    call.Out << "Own computer  " << status.Name << "\nLanguage      "
             << LanguageCode(status.Language) << "\nTray          " << status.OnlineText << "\n";
    if (status.Question)
        call.Out << "Question      " << status.Question->Text << "\n              answered "
                 << (status.Question->DefaultYes ? "yes" : "no") << " in "
                 << status.Question->SecondsLeft << " s unless `harbolt ctl answer yes|no`\n";
    if (status.NewMail > 0)
        call.Out << "New mail      arrived; the notice shows " << status.NewMail << " s more\n";
    if (status.Computers.empty())
        return 0;
    const std::vector<std::string> headings = {"COMPUTER", "ALIVE", "ONLINE", "CONNECTION",
                                               "JOURNAL END"};
    std::vector<std::vector<std::string>> rows;
    for (const TComputerStatus& computer : status.Computers)
        rows.push_back({computer.Name, computer.Alive ? "yes" : "no",
                        computer.Online ? "yes" : "no",
                        computer.Connection.empty() ? "-" : computer.Connection,
                        std::to_string(computer.JournalEnd)});
    call.Out << "\n";
    PrintTable(call.Out, headings, rows);
    call.Out << "\n";
    for (const TComputerStatus& computer : status.Computers)
        call.Out << computer.Name << ": " << computer.Status << "\n";
    return 0;
}

int ListCommand(TCall& call) {
    const std::string computer = call.Words.empty() ? std::string() : call.Words[0];
    const auto properties = call.Target.ListProperties(computer, call.All);
    if (!properties)
        return UnknownComputer(call, computer);
    if (call.Json) {
        TJson document = TJson::object();
        for (const auto& [key, value] : *properties)
            document[key] = value;
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    for (const auto& [key, value] : *properties)
        call.Out << key << "=" << value << "\n";
    return 0;
}

int GetCommand(TCall& call) {
    const std::string& key = call.Words[0];
    if (KeyIsEmpty(call, key))
        return 1;
    // A property is never stored with the empty value: empty means absent.
    const std::string value = call.Target.GetOwnProperty(key);
    if (value.empty()) {
        call.Err << "harbolt: " << key << " is not set on the own computer\n";
        return 1;
    }
    call.Out << value << "\n";
    return 0;
}

int SetCommand(TCall& call) {
    if (KeyIsEmpty(call, call.Words[0]))
        return 1;
    call.Target.SetOwnProperty(call.Words[0], call.Words[1]);
    return 0;
}

int UnsetCommand(TCall& call) {
    if (KeyIsEmpty(call, call.Words[0]))
        return 1;
    call.Target.SetOwnProperty(call.Words[0], "");
    return 0;
}

int CopyCommand(TCall& call) {
    const std::string& computer = call.Words[0];
    if (call.Words[1].empty()) {
        call.Err << "harbolt: nothing copied: the key is empty\n";
        return 1;
    }
    if (!call.Target.CopyToOwn(computer, call.Words[1]))
        return UnknownComputer(call, computer);
    return 0;
}

int RetransmitCommand(TCall& call) {
    const std::string& computer = call.Words[0];
    if (call.Target.Retransmit(computer))
        return 0;
    // Retransmit refuses unknown computers and the own one; a known name is the own one.
    if (call.Target.ListProperties(computer, false)) {
        call.Err << "harbolt: cannot retransmit the own computer's data: it is the original\n";
        return 1;
    }
    return UnknownComputer(call, computer);
}

int LineCommand(TCall& call) {
    const std::string& state = call.Words[1];
    if (state != "up" && state != "down") {
        call.Err << "usage: harbolt ctl [--data-dir DIR] line ENTRY up|down\n";
        return 2;
    }
    if (call.Target.SetLine(call.Words[0], state == "up"))
        return 0;
    call.Err << "harbolt: no simulated line '" << call.Words[0]
             << "' (the instance must run with --dialup sim)\n";
    return 1;
}

int ProxyStatusCommand(TCall& call) {
    const TProxyServicesStatus status = call.Target.ProxyServices();
    if (call.Json) {
        TJson listeners = TJson::array();
        for (const TProxyListenerStatus& listener : status.Listeners) {
            TJson entry = TJson::object();
            entry["name"] = listener.Name;
            entry["slot"] = listener.Slot;
            entry["address"] = listener.Address;
            entry["bound"] = listener.Bound;
            listeners.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["running"] = status.Running;
        document["listeners"] = std::move(listeners);
        document["onlineAddress"] = status.OnlineAddress;
        document["onlineAddressAge"] =
            status.OnlineAddressAge ? TJson(*status.OnlineAddressAge / 1000.0) : TJson(nullptr);
        document["refused"] = status.Refused;
        document["allowedNetworks"] = status.AllowedNetworks;
        document["allowedNetworksConfigured"] = status.NetworksConfigured;
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    call.Out << "Proxy services  " << (status.Running ? "running" : "stopped") << "\n";
    call.Out << "Online address  ";
    if (status.OnlineAddressAge)
        call.Out << (status.OnlineAddress.empty() ? "(empty)" : status.OnlineAddress) << ", "
                 << *status.OnlineAddressAge / 1000 << " s ago\n";
    else
        call.Out << "none announced since the start\n";
    call.Out << "Allowed peers   "
             << (status.NetworksConfigured ? "ProxyAllowedNetworks: " : "this machine's subnets: ");
    for (std::size_t i = 0; i < status.AllowedNetworks.size(); ++i)
        call.Out << (i == 0 ? "" : ", ") << status.AllowedNetworks[i];
    call.Out << "\nRefused         " << status.Refused << " connection"
             << (status.Refused == 1 ? "" : "s") << "\n";
    for (const TProxyListenerStatus& listener : status.Listeners) {
        std::string name = listener.Name;
        name.resize(std::max<std::size_t>(name.size(), 12), ' ');
        call.Out << "  " << name << "  " << listener.Address << "  "
                 << (listener.Bound ? "listening" : "not bound") << "\n";
    }
    return 0;
}

int ProxyCommand(TCall& call) {
    const std::string& action = call.Words[0];
    if (action == "status")
        return ProxyStatusCommand(call);
    if (action == "restart" && !call.Json) {
        if (call.Target.RestartProxyServices())
            call.Out << "proxy services restarted\n";
        else
            call.Out << "proxy services stopped (ProxyEnabled is not set)\n";
        return 0;
    }
    call.Err << "usage: harbolt ctl [--data-dir DIR] proxy status [--json] | restart\n";
    return 2;
}

int ConnectCommand(TCall& call) {
    call.Out << call.Target.Connect() << "\n";
    return 0;
}

int DisconnectCommand(TCall& call) {
    call.Out << call.Target.Disconnect() << "\n";
    return 0;
}

int TakeOverCommand(TCall& call) {
    try {
        call.Out << call.Target.TakeOver() << "\n";
        return 0;
    } catch (const std::exception& e) {
        call.Err << "harbolt: take-over failed: " << e.what() << "\n";
        return 1;
    }
}

int AnswerCommand(TCall& call) {
    const std::string& answer = call.Words[0];
    if (answer != "yes" && answer != "no") {
        call.Err << "usage: harbolt ctl [--data-dir DIR] answer yes|no\n";
        return 2;
    }
    if (!call.Target.AnswerQuestion(answer == "yes")) {
        call.Err << "harbolt: no question is open\n";
        return 1;
    }
    call.Out << "answered " << answer << "\n";
    return 0;
}

int DialLoginCommand(TCall& call) {
    // The client adds the password it read from standard input as the second word.
    if (call.Words.size() != 2) {
        call.Err << "harbolt: dial-login reads the password from standard input\n";
        return 2;
    }
    call.Target.SetDialLogin(call.Words[0], call.Words[1]);
    call.Out << "dial login set for " << call.Words[0] << "\n";
    return 0;
}

// ---------------------------------------------------------------------------------------------
// mail

enum class TMailAction { List, Set, Remove, Settings, Check };

struct TMailRequest {
    TMailAction Action = TMailAction::List;
    bool Json = false;              // list
    TMailboxChange Mailbox;         // set
    bool PasswordFromStdin = false; // set
    std::string Name;               // remove
    TMailSettingsChange Settings;   // settings
};

void PrintMailUsage(std::ostream& err) {
    err << "usage:\n";
    for (const TUsageLine& line : kMailUsage)
        err << "  harbolt ctl [--data-dir DIR] " << line.Synopsis << "\n";
}

// A line end would end a line of the POP3 dialogue or of the tunnel's header early and let the
// rest pass as a command of its own.
bool HoldsLineEnd(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::optional<std::int32_t> ParseFrequency(const std::string& text) {
    if (text.empty() || text.size() > 2 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int minutes = std::stoi(text);
    if (minutes < 1 || minutes > 60)
        return std::nullopt;
    return minutes;
}

// The words after "mail". The client calls it with passwordAppended false, before it reads
// the password; the instance with true: after "--password-stdin" the client has appended the
// password as the last word. Explains on err what does not fit.
std::optional<TMailRequest> ParseMailWords(std::vector<std::string> words, bool passwordAppended,
                                           std::ostream& err) {
    const auto complain = [&err](const std::string& message) {
        err << "harbolt: " << message << "\n";
        PrintMailUsage(err);
        return false;
    };
    const auto usage = [&complain](const std::string& message) -> std::optional<TMailRequest> {
        complain(message);
        return std::nullopt;
    };
    if (words.empty())
        return usage("mail needs an action");
    const std::string action = words.front();
    words.erase(words.begin());
    TMailRequest request;

    // Options with a value, as "--name VALUE" or "--name=VALUE"; the other words in order.
    struct TOption {
        const char* Name;
        std::optional<std::string> Value;
    };
    std::vector<std::string> positional;
    const auto split = [&](std::vector<TOption>& options, const char* flag, bool& flagSeen) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& word = words[i];
            if (word.size() < 2 || word[0] != '-') {
                positional.push_back(word);
                continue;
            }
            if (flag != nullptr && word == flag) {
                flagSeen = true;
                continue;
            }
            const std::size_t equals = word.find('=');
            const std::string name = word.substr(0, equals);
            const auto option = std::find_if(options.begin(), options.end(),
                                             [&](const TOption& o) { return name == o.Name; });
            if (option == options.end()) {
                if (action == "set" && name.rfind("--pass", 0) == 0)
                    return complain("the password is read from standard input: give "
                                    "--password-stdin");
                return complain("mail " + action + " has no option " + name);
            }
            if (equals != std::string::npos)
                option->Value = word.substr(equals + 1);
            else if (i + 1 < words.size())
                option->Value = words[++i];
            else
                return complain(name + " needs a value");
        }
        return true;
    };

    if (action == "list") {
        for (const std::string& word : words) {
            if (word != "--json")
                return usage("mail list takes only --json");
            request.Json = true;
        }
        return request;
    }
    if (action == "check") {
        if (!words.empty())
            return usage("mail check takes no words");
        request.Action = TMailAction::Check;
        return request;
    }
    if (action == "remove") {
        if (words.size() != 1)
            return usage("mail remove takes the name of one mailbox");
        request.Action = TMailAction::Remove;
        request.Name = words[0];
        return request;
    }
    if (action == "settings") {
        std::vector<TOption> options{{"--frequency", {}}, {"--dial", {}}, {"--sound", {}}};
        bool unused = false;
        if (!split(options, nullptr, unused))
            return std::nullopt;
        if (!positional.empty())
            return usage("mail settings takes only options, not '" + positional[0] + "'");
        request.Action = TMailAction::Settings;
        if (options[0].Value) {
            request.Settings.Frequency = ParseFrequency(*options[0].Value);
            if (!request.Settings.Frequency)
                return usage("--frequency takes 1 to 60 minutes, not '" + *options[0].Value + "'");
        }
        if (options[1].Value) {
            if (*options[1].Value != "yes" && *options[1].Value != "no")
                return usage("--dial takes yes or no, not '" + *options[1].Value + "'");
            request.Settings.Dial = *options[1].Value == "yes";
        }
        request.Settings.SoundFile = options[2].Value;
        return request;
    }
    if (action == "set") {
        std::vector<TOption> options{{"--server", {}}, {"--user", {}}, {"--action", {}}};
        const std::string flag = "--password-stdin";
        std::optional<std::string> password;
        if (passwordAppended && !words.empty() &&
            std::find(words.begin(), words.end() - 1, flag) != words.end() - 1) {
            password = words.back();
            words.pop_back();
        }
        if (!split(options, flag.c_str(), request.PasswordFromStdin))
            return std::nullopt;
        if (positional.size() > 1)
            return usage("mail set takes no password on the command line: give --password-stdin "
                         "and type it or pipe it in");
        if (positional.empty() || positional[0].empty())
            return usage("mail set needs the name of the mailbox");
        if (request.PasswordFromStdin && passwordAppended && !password)
            return usage("no password came with --password-stdin");
        for (const TOption& option : options)
            if (!option.Value || option.Value->empty())
                return usage(std::string("mail set needs ") + option.Name);
        request.Action = TMailAction::Set;
        TMailboxChange& mailbox = request.Mailbox;
        mailbox.Name = positional[0];
        mailbox.Server = *options[0].Value;
        mailbox.User = *options[1].Value;
        mailbox.Password = std::move(password);
        const std::string& actionWord = *options[2].Value;
        const auto known =
            std::find_if(std::begin(kMailActionWords), std::end(kMailActionWords),
                         [&](const TMailActionWord& a) { return actionWord == a.Word; });
        if (known == std::end(kMailActionWords))
            return usage("--action takes notify-new, notify-present, delete-all or none, not '" +
                         actionWord + "'");
        mailbox.Action = known->Action;
        if (HoldsLineEnd(mailbox.Name) || HoldsLineEnd(mailbox.Server) ||
            HoldsLineEnd(mailbox.User) || (mailbox.Password && HoldsLineEnd(*mailbox.Password)))
            return usage("names, servers, users and passwords cannot hold line ends");
        return request;
    }
    return usage("mail has no action '" + action + "'");
}

std::string MailActionText(std::int32_t action) {
    for (const TMailActionWord& known : kMailActionWords)
        if (known.Action == action)
            return known.Word;
    return std::to_string(action);
}

void PrintMailSettings(std::ostream& out, const TMailSettingsStatus& settings) {
    out << "Check every  " << settings.Frequency
        << (settings.Frequency == 1 ? " minute" : " minutes") << "\nDial         "
        << (settings.Dial ? "yes, when nobody is online" : "no") << "\nSound        "
        << (settings.SoundFile.empty() ? "(none)" : settings.SoundFile) << "\n";
}

int MailListCommand(TCall& call, bool json) {
    const TMailStatus status = call.Target.MailStatus();
    if (json) {
        TJson mailboxes = TJson::array();
        for (const TMailboxStatus& mailbox : status.Mailboxes) {
            TJson entry = TJson::object();
            entry["name"] = mailbox.Name;
            entry["server"] = mailbox.Server;
            entry["user"] = mailbox.User;
            entry["action"] = MailActionText(mailbox.Action);
            entry["uids"] = mailbox.Uids;
            entry["checking"] = mailbox.Checking;
            mailboxes.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["frequency"] = status.Settings.Frequency;
        document["dial"] = status.Settings.Dial;
        document["sound"] = status.Settings.SoundFile;
        document["mailboxes"] = std::move(mailboxes);
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    PrintMailSettings(call.Out, status.Settings);
    if (status.Mailboxes.empty()) {
        call.Out << "\nNo mailboxes: add one with `harbolt ctl mail set`.\n";
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (const TMailboxStatus& mailbox : status.Mailboxes)
        rows.push_back({mailbox.Name, mailbox.Server, mailbox.User, MailActionText(mailbox.Action),
                        std::to_string(mailbox.Uids), mailbox.Checking ? "yes" : "no"});
    call.Out << "\n";
    PrintTable(call.Out, {"MAILBOX", "SERVER", "USER", "ACTION", "UIDS", "CHECKING"}, rows);
    return 0;
}

int MailCommand(TCall& call) {
    const std::optional<TMailRequest> request = ParseMailWords(call.Words, true, call.Err);
    if (!request)
        return 2;
    switch (request->Action) {
    case TMailAction::List:
        return MailListCommand(call, request->Json);
    case TMailAction::Set: {
        const std::string& name = request->Mailbox.Name;
        switch (call.Target.SetMail(request->Mailbox)) {
        case TMailSetResult::Created:
            call.Out << "mailbox " << name << " created\n";
            return 0;
        case TMailSetResult::Replaced:
            call.Out << "mailbox " << name << " replaced; its remembered messages stay\n";
            return 0;
        case TMailSetResult::ReplacedForgettingUids:
            call.Out << "mailbox " << name
                     << " replaced; new server or user: every message there counts as new\n";
            return 0;
        case TMailSetResult::PasswordMissing:
            break;
        }
        call.Err << "harbolt: mailbox '" << name
                 << "' is new: it needs a password (--password-stdin)\n";
        return 1;
    }
    case TMailAction::Remove:
        if (!call.Target.RemoveMail(request->Name)) {
            call.Err << "harbolt: no mailbox '" << request->Name << "'\n";
            return 1;
        }
        call.Out << "mailbox " << request->Name << " removed\n";
        return 0;
    case TMailAction::Settings:
        PrintMailSettings(call.Out, call.Target.SetMailSettings(request->Settings));
        return 0;
    case TMailAction::Check: {
        const std::size_t started = call.Target.CheckMail();
        if (started == 0)
            call.Out << "no check started: no mailboxes, or every check still runs\n";
        else
            call.Out << "checking " << started << (started == 1 ? " mailbox" : " mailboxes")
                     << " now\n";
        return 0;
    }
    }
    return 2;
}

int QuitCommand(TCall& call) {
    // Quitting stops the control server too, so it must not happen before the reply is out.
    TControlTarget& target = call.Target;
    call.AfterReply = [&target] { target.Quit(); };
    return 0;
}

int RunCommand(TControlTarget& target, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err, std::function<void()>& afterReply) {
    const std::optional<TCommandWords> words = SplitCommandWords(args, err);
    if (!words)
        return 2;
    TCall call{target, words->Words, words->Json, words->All, out, err, afterReply};
    try {
        return words->Command->Run(call);
    } catch (const std::exception& e) {
        err << "harbolt: " << words->Command->Name << " failed: " << e.what() << "\n";
        return 1;
    }
}

// ---------------------------------------------------------------------------------------------
// Sockets

class TDescriptor {
public:
    explicit TDescriptor(int descriptor = -1) noexcept : FDescriptor(descriptor) {}
    ~TDescriptor() { Reset(); }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;

    int Get() const { return FDescriptor; }
    int Release() { return std::exchange(FDescriptor, -1); }
    void Reset() {
        if (FDescriptor >= 0)
            ::close(FDescriptor);
        FDescriptor = -1;
    }
    explicit operator bool() const { return FDescriptor >= 0; }

private:
    int FDescriptor;
};

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path ||
        path.find('\0') != std::string::npos)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

int ConnectTo(int descriptor, const sockaddr_un& address) {
    return ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int MillisecondsUntil(TClock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

enum class TWait { Ready, TimedOut, Woken, Failed };

// Waits until descriptor is ready for events, the deadline passes, or wake (when >= 0) is
// readable. Hang-ups and errors count as ready: the next read or write reports them.
TWait WaitFor(int descriptor, short events, int wake, TClock::time_point deadline) {
    for (;;) {
        pollfd watched[2] = {{descriptor, events, 0}, {wake, POLLIN, 0}};
        const int result = ::poll(watched, wake >= 0 ? 2 : 1, MillisecondsUntil(deadline));
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return TWait::Failed;
        }
        if (wake >= 0 && watched[1].revents != 0)
            return TWait::Woken;
        if (watched[0].revents != 0)
            return TWait::Ready;
        if (TClock::now() >= deadline)
            return TWait::TimedOut;
    }
}

enum class TReadEnd { Line, Closed, TooLong, TimedOut, Woken, Failed };

// Reads one line of at most limit bytes, line feed included, into line (without the line feed).
// Bytes after the line feed are ignored: there is one request and one reply per connection.
TReadEnd ReadLine(int descriptor, int wake, std::size_t limit, TClock::time_point deadline,
                  std::string& line) {
    line.clear();
    char buffer[4096];
    for (;;) {
        switch (WaitFor(descriptor, POLLIN, wake, deadline)) {
        case TWait::Ready:
            break;
        case TWait::TimedOut:
            return TReadEnd::TimedOut;
        case TWait::Woken:
            return TReadEnd::Woken;
        case TWait::Failed:
            return TReadEnd::Failed;
        }
        const std::size_t room = std::min(sizeof buffer, limit - line.size());
        const ssize_t count = ::recv(descriptor, buffer, room, 0);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return TReadEnd::Failed;
        }
        if (count == 0)
            return TReadEnd::Closed;
        const std::string_view got(buffer, static_cast<std::size_t>(count));
        const std::size_t lineFeed = got.find('\n');
        if (lineFeed != std::string_view::npos) {
            line.append(got.substr(0, lineFeed));
            return TReadEnd::Line;
        }
        line.append(got);
        if (line.size() >= limit)
            return TReadEnd::TooLong;
    }
}

TWait WriteAll(int descriptor, int wake, std::string_view data, TClock::time_point deadline) {
    while (!data.empty()) {
        const ssize_t count = ::send(descriptor, data.data(), data.size(), MSG_NOSIGNAL);
        if (count >= 0) {
            data.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return TWait::Failed;
        const TWait waited = WaitFor(descriptor, POLLOUT, wake, deadline);
        if (waited != TWait::Ready)
            return waited;
    }
    return TWait::Ready;
}

TControlReply Failure(const std::string& message) {
    return {1, "", "harbolt: " + message + "\n"};
}

// One command on its way through the main thread. The serving thread and the main-thread task
// share it; whichever comes first decides whether the command runs at all.
struct TPendingCommand {
    enum class TState { Queued, Running, Done, Abandoned };

    std::mutex Lock;
    std::condition_variable Changed;
    TState State = TState::Queued;
    std::vector<std::string> Args;
    TControlReply Reply;
    std::function<void()> AfterReply;

    // On the main thread.
    void Run(TControlTarget& target, const std::atomic<bool>& live) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            // Given up on, or the server stopped: a late command would surprise everyone.
            if (State != TState::Queued || !live.load())
                return;
            State = TState::Running;
        }
        std::ostringstream out;
        std::ostringstream err;
        std::function<void()> afterReply;
        const int exit = RunCommand(target, Args, out, err, afterReply);
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (State != TState::Running)
                return; // abandoned by Stop while it ran; nobody waits for the reply
            Reply = {exit, out.str(), err.str()};
            AfterReply = std::move(afterReply);
            State = TState::Done;
        }
        Changed.notify_all();
    }
};

} // namespace

const char* const kControlCommandUsage = UsageText().c_str();

std::string ControlSocketPath(const std::string& dataDir) {
    return FileInDirectory(dataDir, "harbolt.ctl");
}

// ---------------------------------------------------------------------------------------------
// Wire format

std::optional<std::vector<std::string>> ParseControlRequest(std::string_view request) {
    if (request.size() > kControlRequestLimit)
        return std::nullopt;
    try {
        const nlohmann::json document =
            nlohmann::json::parse(request.begin(), request.end(), nullptr, false);
        if (!document.is_object())
            return std::nullopt;
        const auto args = document.find("args");
        if (args == document.end() || !args->is_array())
            return std::nullopt;
        std::vector<std::string> words;
        words.reserve(args->size());
        for (const nlohmann::json& word : *args) {
            if (!word.is_string())
                return std::nullopt;
            const auto& text = word.get_ref<const std::string&>();
            // Keys and values end at a NUL further down; refuse rather than cut them.
            if (text.find('\0') != std::string::npos)
                return std::nullopt;
            words.push_back(text);
        }
        return words;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string ControlRequestText(const std::vector<std::string>& args) {
    try {
        const nlohmann::json document = {{"args", args}};
        return document.dump() + "\n";
    } catch (const nlohmann::json::type_error&) {
        throw Exception("the command words are not valid UTF-8");
    }
}

std::optional<TControlReply> ParseControlReply(std::string_view reply) {
    try {
        const nlohmann::json document =
            nlohmann::json::parse(reply.begin(), reply.end(), nullptr, false);
        if (!document.is_object())
            return std::nullopt;
        const auto exit = document.find("exit");
        const auto out = document.find("out");
        const auto err = document.find("err");
        if (exit == document.end() || out == document.end() || err == document.end() ||
            !exit->is_number_integer() || !out->is_string() || !err->is_string())
            return std::nullopt;
        // Read as unsigned or signed as stored, so that huge numbers do not wrap into range.
        const bool inRange = exit->is_number_unsigned() ? exit->get<std::uint64_t>() <= 255
                                                        : exit->get<std::int64_t>() >= 0 &&
                                                              exit->get<std::int64_t>() <= 255;
        if (!inRange)
            return std::nullopt;
        return TControlReply{static_cast<int>(exit->get<std::int64_t>()), out->get<std::string>(),
                             err->get<std::string>()};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string ControlReplyText(const TControlReply& reply) {
    TJson document = TJson::object();
    document["exit"] = reply.Exit;
    document["out"] = reply.Out;
    document["err"] = reply.Err;
    return Dump(document, -1) + "\n";
}

int RunControlCommand(TControlTarget& target, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err) {
    std::function<void()> afterReply;
    const int exit = RunCommand(target, args, out, err, afterReply);
    // Here the caller already holds the answer.
    if (afterReply)
        afterReply();
    return exit;
}

// ---------------------------------------------------------------------------------------------
// Server

TControlServer::TControlServer(std::string socketPath, TPostToMainThread postToMainThread,
                               TControlTarget& target, TControlServerLimits limits)
    : FSocketPath(std::move(socketPath)), FPostToMainThread(std::move(postToMainThread)),
      FTarget(target), FLimits(limits) {}

TControlServer::~TControlServer() {
    Stop();
}

void TControlServer::Start() {
    if (FThread.joinable())
        return;
    sockaddr_un address{};
    if (!MakeAddress(FSocketPath, address))
        throw Exception("the control socket path is too long: " + FSocketPath);
    const char* const path = FSocketPath.c_str();
    struct stat found {};
    if (::lstat(path, &found) == 0) {
        if (!S_ISSOCK(found.st_mode))
            throw Exception("refusing to replace " + FSocketPath + ": not a socket");
        if (found.st_uid != ::geteuid())
            throw Exception("refusing to replace " + FSocketPath + ": owned by uid " +
                            std::to_string(found.st_uid));
        TDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        // A full backlog (EAGAIN) still means somebody listens.
        if (probe && (ConnectTo(probe.Get(), address) == 0 || errno == EAGAIN))
            throw Exception("another instance answers on " + FSocketPath);
        // Left behind by an instance that ended without removing it.
        if (::unlink(path) != 0 && errno != ENOENT)
            throw Exception("cannot remove the old control socket " + FSocketPath + ": " +
                            ErrorText(errno));
    } else if (errno != ENOENT) {
        throw Exception("cannot use " + FSocketPath + ": " + ErrorText(errno));
    }

    TDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener)
        throw Exception("cannot create the control socket: " + ErrorText(errno));
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw Exception("cannot create the control socket " + FSocketPath + ": " +
                        ErrorText(errno));
    // From here on a failure must not leave the socket file behind.
    const auto fail = [&](const std::string& what) {
        const int error = errno;
        ::unlink(path);
        throw Exception(what + " " + FSocketPath + ": " + ErrorText(error));
    };
    // The data directory is private already; this keeps the socket private wherever it lies.
    struct stat made {};
    if (::chmod(path, 0600) != 0 || ::lstat(path, &made) != 0)
        fail("cannot protect the control socket");
    if (::listen(listener.Get(), 16) != 0)
        fail("cannot listen on the control socket");
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("cannot serve the control socket");
    TDescriptor wakeRead(wake[0]);
    TDescriptor wakeWrite(wake[1]);

    FStopping = false;
    FLive = std::make_shared<std::atomic<bool>>(true);
    FListenDescriptor = listener.Get();
    FWakeRead = wakeRead.Get();
    FSocketDevice = made.st_dev;
    FSocketInode = made.st_ino;
    try {
        FThread = std::thread([this] { Serve(); });
    } catch (const std::system_error& e) {
        FListenDescriptor = FWakeRead = -1;
        ::unlink(path);
        throw Exception("cannot serve the control socket " + FSocketPath + ": " + e.what());
    }
    listener.Release();
    wakeRead.Release();
    FWakeWrite = wakeWrite.Release();
}

void TControlServer::Stop() {
    if (!FThread.joinable())
        return;
    FStopping = true;
    FLive->store(false);
    const char byte = 1;
    // A full pipe wakes the thread just as well.
    [[maybe_unused]] const ssize_t written = ::write(FWakeWrite, &byte, 1);
    FThread.join();
    for (int* descriptor : {&FListenDescriptor, &FWakeRead, &FWakeWrite}) {
        ::close(*descriptor);
        *descriptor = -1;
    }
    // Only the file we made: a later instance may have put its own socket there.
    struct stat found {};
    if (::lstat(FSocketPath.c_str(), &found) == 0 && found.st_dev == FSocketDevice &&
        found.st_ino == FSocketInode)
        ::unlink(FSocketPath.c_str());
}

void TControlServer::Serve() {
    while (!FStopping) {
        pollfd watched[2] = {{FListenDescriptor, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (watched[1].revents != 0)
            return;
        if (watched[0].revents == 0)
            continue;
        const int connection =
            ::accept4(FListenDescriptor, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0) {
            // Out of descriptors: the listener stays readable, so do not spin on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        try {
            ServeConnection(connection);
        } catch (const std::exception&) {
            // One failed exchange (out of memory, say) must not end the service.
        }
    }
}

void TControlServer::ServeConnection(int descriptor) {
    TDescriptor connection(descriptor);
    const auto replyNow = [&](const TControlReply& reply) {
        WriteAll(connection.Get(), -1, ControlReplyText(reply), TClock::now());
    };

    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return;
    if (peer.uid != ::geteuid() && peer.uid != 0) {
        replyNow(Failure("this instance belongs to another user"));
        return;
    }

    std::string request;
    switch (ReadLine(connection.Get(), FWakeRead, FLimits.MaxRequestBytes,
                     TClock::now() + FLimits.RequestTime, request)) {
    case TReadEnd::Line:
        break;
    case TReadEnd::Closed:
        if (request.empty())
            return;
        break; // a request without its line feed is still whole
    case TReadEnd::TooLong:
        replyNow(Failure("the request is longer than " + std::to_string(FLimits.MaxRequestBytes) +
                         " bytes"));
        return;
    case TReadEnd::TimedOut:
        replyNow(Failure("no complete request within " + SecondsText(FLimits.RequestTime)));
        return;
    case TReadEnd::Woken:
        replyNow(Failure("the instance is shutting down"));
        return;
    case TReadEnd::Failed:
        return;
    }

    std::optional<std::vector<std::string>> args = ParseControlRequest(request);
    if (!args) {
        replyNow(Failure("unreadable control request"));
        return;
    }
    std::function<void()> afterReply;
    const TControlReply reply = Answer(std::move(*args), afterReply);
    WriteAll(connection.Get(), FWakeRead, ControlReplyText(reply),
             TClock::now() + FLimits.ReplyTime);
    // The reply is out and the connection closed before, say, a quit can end the server. Even
    // when the client went away the command stands: it ran already.
    connection.Reset();
    if (afterReply) {
        const std::shared_ptr<std::atomic<bool>> live = FLive;
        FPostToMainThread([live, afterReply = std::move(afterReply)] {
            if (!live->load())
                return;
            try {
                afterReply();
            } catch (const std::exception& e) {
                std::cerr << "harbolt: " << e.what() << "\n";
            }
        });
    }
}

TControlReply TControlServer::Answer(std::vector<std::string> args,
                                     std::function<void()>& afterReply) {
    const auto pending = std::make_shared<TPendingCommand>();
    pending->Args = std::move(args);
    TControlTarget* const target = &FTarget;
    const std::shared_ptr<std::atomic<bool>> live = FLive;
    try {
        FPostToMainThread([pending, target, live] { pending->Run(*target, *live); });
    } catch (const std::exception& e) {
        return Failure(std::string("cannot reach the main thread: ") + e.what());
    }
    const auto deadline = TClock::now() + FLimits.AnswerTime;
    std::unique_lock<std::mutex> lock(pending->Lock);
    using TState = TPendingCommand::TState;
    while (pending->State != TState::Done) {
        if (FStopping) {
            pending->State = TState::Abandoned;
            return Failure("the instance is shutting down");
        }
        // Once taken up, a command runs to its end; the table holds no long ones.
        if (pending->State == TState::Queued && TClock::now() >= deadline) {
            pending->State = TState::Abandoned;
            return Failure("the instance did not answer within " + SecondsText(FLimits.AnswerTime));
        }
        // Short steps keep Stop prompt.
        pending->Changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    afterReply = std::move(pending->AfterReply);
    return pending->Reply;
}

// ---------------------------------------------------------------------------------------------
// Client

namespace {

// One line of standard input, without its line end; typed without echo on a terminal.
bool ReadPassword(std::string& password) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "Password: " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return read || !password.empty();
}

} // namespace

int RunControlClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     std::chrono::milliseconds replyTime) {
    std::string dataDir;
    std::size_t first = 0;
    while (first < args.size()) {
        const std::string& word = args[first];
        if (word == "--help" || word == "-h") {
            out << kUsageHeading << UsageText();
            return 0;
        }
        if (word == "--data-dir" || word.rfind("--data-dir=", 0) == 0) {
            const bool joined = word != "--data-dir";
            if (!joined && first + 1 >= args.size()) {
                err << "harbolt: --data-dir needs a directory\n";
                return 2;
            }
            dataDir = joined ? word.substr(std::strlen("--data-dir=")) : args[first + 1];
            if (dataDir.empty()) {
                err << "harbolt: --data-dir needs a directory\n";
                return 2;
            }
            first += joined ? 1 : 2;
            continue;
        }
        break;
    }
    std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
    // Bad words are told apart from a missing instance before anything is sent.
    if (!SplitCommandWords(command, err))
        return 2;
    if (command[0] == "dial-login") {
        // Never on the command line, where every user of the machine can read it.
        if (command.size() != 2) {
            err << "usage: harbolt ctl [--data-dir DIR] dial-login USER  (password on standard "
                   "input)\n";
            return 2;
        }
        std::string password;
        if (!ReadPassword(password)) {
            err << "harbolt: no password on standard input\n";
            return 1;
        }
        command.push_back(std::move(password));
    }
    if (command[0] == "mail") {
        // The whole command is checked before a password is asked for.
        const std::optional<TMailRequest> mail =
            ParseMailWords({command.begin() + 1, command.end()}, false, err);
        if (!mail)
            return 2;
        if (mail->PasswordFromStdin) {
            std::string password;
            if (!ReadPassword(password)) {
                err << "harbolt: no password on standard input\n";
                return 1;
            }
            command.push_back(std::move(password));
        }
    }
    if (dataDir.empty())
        dataDir = DefaultDataDirectory();
    const std::string socketPath = ControlSocketPath(dataDir);
    const auto fail = [&err](const std::string& message) {
        err << "harbolt: " << message << "\n";
        return 1;
    };
    const std::string noInstance = "no Harbolt instance is running for " + dataDir;

    std::string request;
    try {
        request = ControlRequestText(command);
    } catch (const Exception& e) {
        return fail(e.what());
    }
    if (request.size() > kControlRequestLimit)
        return fail("the command is too long (a request holds at most " +
                    std::to_string(kControlRequestLimit) + " bytes)");

    struct stat found {};
    if (::lstat(socketPath.c_str(), &found) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return fail(noInstance + " (no control socket " + socketPath + ")");
        return fail("cannot use " + socketPath + ": " + ErrorText(errno));
    }
    if (!S_ISSOCK(found.st_mode))
        return fail("refusing to use " + socketPath + ": not a socket");
    if (found.st_uid != ::geteuid())
        return fail("refusing to use " + socketPath + ": owned by uid " +
                    std::to_string(found.st_uid));
    sockaddr_un address{};
    if (!MakeAddress(socketPath, address))
        return fail("the control socket path is too long: " + socketPath);

    TDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection)
        return fail("cannot create a socket: " + ErrorText(errno));
    // A blocking connect waits while the backlog is full, at most this long.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(replyTime.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(replyTime.count() % 1000 * 1000);
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const auto deadline = TClock::now() + replyTime;
    const std::string noAnswer =
        "the instance at " + socketPath + " did not answer within " + SecondsText(replyTime);
    if (ConnectTo(connection.Get(), address) != 0) {
        if (errno == ECONNREFUSED || errno == ENOENT)
            return fail(noInstance + " (stale control socket " + socketPath + ")");
        if (errno == EAGAIN || errno == EINPROGRESS)
            return fail(noAnswer);
        return fail("cannot connect to " + socketPath + ": " + ErrorText(errno));
    }
    // The lstat above and the connect are two steps; the credentials name who answers.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return fail("cannot check who serves " + socketPath + ": " + ErrorText(errno));
    if (peer.uid != ::geteuid())
        return fail("refusing to use " + socketPath + ": the instance there runs as uid " +
                    std::to_string(peer.uid));
    ::fcntl(connection.Get(), F_SETFL, ::fcntl(connection.Get(), F_GETFL) | O_NONBLOCK);

    // A server that has answered already (a refusal, say) may have closed its end; its reply
    // can still be read, so a failed write is not the end.
    if (WriteAll(connection.Get(), -1, request, deadline) == TWait::TimedOut)
        return fail(noAnswer);
    ::shutdown(connection.Get(), SHUT_WR);

    std::string line;
    switch (ReadLine(connection.Get(), -1, kControlReplyLimit, deadline, line)) {
    case TReadEnd::Line:
        break;
    case TReadEnd::Closed:
        if (line.empty())
            return fail("the instance at " + socketPath + " closed the connection unanswered");
        break;
    case TReadEnd::TooLong:
        return fail("the reply of the instance is too long");
    case TReadEnd::TimedOut:
        return fail(noAnswer);
    case TReadEnd::Woken:
    case TReadEnd::Failed:
        return fail("cannot read the reply of the instance: " + ErrorText(errno));
    }
    const std::optional<TControlReply> reply = ParseControlReply(line);
    if (!reply)
        return fail("the instance sent an unreadable reply");
    out << reply->Out;
    err << reply->Err;
    return reply->Exit;
}

} // namespace harbolt
