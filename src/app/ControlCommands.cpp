#include "app/ControlInternal.h"

#include "app/PropertyCheck.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Languages.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace harbolt {
namespace control {

namespace {

constexpr unsigned kJsonFlag = 1;
constexpr unsigned kAllFlag = 2;
// Taken only as the first word after the command, so that every later word (a value) stands as
// it is.
constexpr unsigned kForceFlag = 4;
// "--month YYYY-MM": kept among the words, for the command to read.
constexpr unsigned kMonthFlag = 8;

int StatusCommand(TCall& call);
int ListCommand(TCall& call);
int GetCommand(TCall& call);
int SetCommand(TCall& call);
int UnsetCommand(TCall& call);
int CopyCommand(TCall& call);
int RetransmitCommand(TCall& call);
int QuitCommand(TCall& call);
int OpenCommand(TCall& call);
int WindowCommand(TCall& call);
int LineCommand(TCall& call);
int ProxyCommand(TCall& call);
int PacCommand(TCall& call);
int DialsCommand(TCall& call);
int ConnectCommand(TCall& call);
int DisconnectCommand(TCall& call);
int TakeOverCommand(TCall& call);
int AnswerCommand(TCall& call);
int DialLoginCommand(TCall& call);
int LanKeyCommand(TCall& call);

// dial-login: the password always comes with the request.
TCommandCheck PasswordNeeded(const std::vector<std::string>&, std::ostream&) {
    return TCommandCheck::NeedsPassword;
}

// lan-key set: the key comes with the request, as a password does.
TCommandCheck CheckLanKeyWords(const std::vector<std::string>& words, std::ostream& err) {
    static constexpr const char* kActions[] = {"set", "generate", "clear", "status"};
    if (std::find(std::begin(kActions), std::end(kActions), words[0]) == std::end(kActions)) {
        err << "harbolt: lan-key takes set, generate, clear or status, not '" << words[0] << "'\n";
        return TCommandCheck::Unusable;
    }
    return words[0] == "set" ? TCommandCheck::NeedsPassword : TCommandCheck::Ready;
}

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
    // What the words need beyond their count; none: they are Ready as they stand.
    TCommandCheck (*Check)(const std::vector<std::string>& words, std::ostream& err) = nullptr;
};

constexpr TCommand kCommands[] = {
    {"status", "[--json]", "own name, language and the state of every computer", kJsonFlag, 0, 0,
     StatusCommand},
    {"list", "[COMPUTER] [--all] [--json]",
     "properties of COMPUTER (default: own); --all with dial-up records", kJsonFlag | kAllFlag, 0,
     1, ListCommand},
    {"get", "KEY", "a property of the own computer", 0, 1, 1, GetCommand},
    {"set", "[--force] KEY VALUE",
     "set a property of the own computer (empty VALUE deletes); known keys\n"
     "are checked first, --force stores any value as it is",
     kForceFlag, 2, 2, SetCommand},
    {"unset", "KEY", "delete a property of the own computer", 0, 1, 1, UnsetCommand},
    {"copy", "COMPUTER KEY", "copy a property of COMPUTER to the own computer", 0, 2, 2,
     CopyCommand},
    {"retransmit", "COMPUTER", "drop the copy of COMPUTER's data and fetch it again", 0, 1, 1,
     RetransmitCommand},
    {"line", "list [--json] | ENTRY up|down",
     "the dial-up entries and their states; up or down brings a simulated\n"
     "line up or down (--dialup sim)",
     kJsonFlag, 1, 2, LineCommand},
    {"dials", "[--month YYYY-MM] [--json]",
     "this computer's dials of the month (default: this one): start, minutes\n"
     "online and why it dialled",
     kJsonFlag | kMonthFlag, 0, 2, DialsCommand},
    {"connect", "", "dial the own entry (\"AutoDialPhoneBookEntry\") without asking", 0, 0, 0,
     ConnectCommand},
    {"disconnect", "", "hang up the connection Harbolt dialled or adopted", 0, 0, 0,
     DisconnectCommand},
    {"takeover", "", "ask the online computer to hang up, then dial here", 0, 0, 0,
     TakeOverCommand},
    {"answer", "yes|no", "answer the open question (see status)", 0, 1, 1, AnswerCommand},
    {"dial-login", "USER", "user name for dialling; the password is read from standard input", 0, 1,
     1, DialLoginCommand, PasswordNeeded},
    {"lan-key", "set|generate|clear|status",
     "the key the trusted computers of the LAN share; set reads it from\n"
     "standard input, generate makes a new one and prints it",
     0, 1, 1, LanKeyCommand, CheckLanKeyWords},
    {"mail", "list|set|remove|settings|check ...", "", 0, 0, 64, MailCommand, CheckMailWords},
    {"proxy", "status [--json] | restart | map MAPPING | unmap NN",
     "listeners and online address; restart applies changed settings; map adds a mapping at the "
     "lowest free number, unmap deletes one",
     kJsonFlag, 1, 2, ProxyCommand},
    {"pac", "",
     "a proxy auto-config file for browsers: this computer's HTTP PROXY and\n"
     "SOCKS5 PROXY mappings, then DIRECT",
     0, 0, 0, PacCommand},
    {"open", "[COMPUTER]", "open the main window, on COMPUTER's tab if given", 0, 0, 1,
     OpenCommand},
    {"window", "[--json]", "what the main window shows: tabs, status line, tray icon", kJsonFlag, 0,
     0, WindowCommand},
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
            // The mail command parses its words itself; the help shows each of its actions.
            for (const TUsageLine& mail : MailUsage())
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

struct TCommandWords {
    const TCommand* Command = nullptr;
    std::vector<std::string> Words;
    bool Json = false;
    bool All = false;
    bool Force = false;
    bool NeedsPassword = false;
};

// Matches args against the table and the command's own check; explains on err what does not fit.
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
        if ((found->Flags & kForceFlag) != 0 && i == 1 && word == "--force") {
            result.Force = true;
        } else if ((found->Flags & ~kForceFlag) != 0 && word.size() > 1 && word[0] == '-') {
            if (word == "--json" && (found->Flags & kJsonFlag) != 0) {
                result.Json = true;
            } else if (word == "--all" && (found->Flags & kAllFlag) != 0) {
                result.All = true;
            } else if (word == "--month" && (found->Flags & kMonthFlag) != 0 &&
                       i + 1 < args.size()) {
                result.Words.push_back(word);
                result.Words.push_back(args[++i]);
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
    if (found->Check != nullptr) {
        switch (found->Check(result.Words, err)) {
        case TCommandCheck::Unusable:
            return std::nullopt;
        case TCommandCheck::Ready:
            break;
        case TCommandCheck::NeedsPassword:
            result.NeedsPassword = true;
            break;
        }
    }
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

TJson BudgetJson(const TDialBudget& budget) {
    TJson json = TJson::object();
    json["minutesUsed"] = budget.MinutesUsed;
    json["minutesAllowed"] = budget.MinutesAllowed;
    json["dialsLastHour"] = budget.DialsLastHour;
    json["dialsAllowed"] = budget.DialsAllowed;
    json["blocked"] = budget.Blocked;
    return json;
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
            entry["budget"] = BudgetJson(computer.Budget);
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
        document["saveError"] = status.SaveError.empty() ? TJson(nullptr) : TJson(status.SaveError);
        document["loadError"] = status.LoadError.empty() ? TJson(nullptr) : TJson(status.LoadError);
        document["budget"] = BudgetJson(status.Budget);
        if (status.PeerDial.Asked) {
            TJson asked = TJson::object();
            asked["asking"] = status.PeerDial.Asking;
            asked["peer"] = status.PeerDial.Peer;
            asked["address"] = status.PeerDial.Address;
            asked["answer"] = status.PeerDial.Answer;
            asked["waiting"] = status.PeerDial.Waiting;
            asked["dialled"] = status.PeerDial.Dialled;
            document["peerDial"] = std::move(asked);
        } else {
            document["peerDial"] = nullptr;
        }
        TJson lanKey = TJson::object();
        lanKey["set"] = !status.LanKeyFingerprint.empty();
        lanKey["fingerprint"] =
            status.LanKeyFingerprint.empty() ? TJson(nullptr) : TJson(status.LanKeyFingerprint);
        document["lanKey"] = std::move(lanKey);
        TJson untrusted = TJson::array();
        for (const TUntrustedView& peer : status.Untrusted) {
            TJson entry = TJson::object();
            entry["address"] = peer.Address;
            entry["name"] = peer.Name;
            entry["datagramsDropped"] = peer.DatagramsDropped;
            entry["connectionsRefused"] = peer.ConnectionsRefused;
            entry["lastFailure"] = peer.LastFailure;
            entry["secondsAgo"] = peer.SecondsAgo;
            untrusted.push_back(std::move(entry));
        }
        document["untrusted"] = std::move(untrusted);
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
    if (!status.SaveError.empty())
        call.Out << "Save failed   " << status.SaveError << "\n";
    if (!status.LoadError.empty())
        call.Out << "Load failed   " << status.LoadError << "\n";
    call.Out << "Dial budget   " << DialBudgetText(status.Budget) << "\n";
    if (status.PeerDial.Asked) {
        const TPeerDialView& asked = status.PeerDial;
        call.Out << "Dial asked    ";
        if (asked.Peer.empty())
            call.Out << "no computer that dials on demand was alive";
        else
            call.Out << asked.Peer << " (" << asked.Address << ") "
                     << (asked.Answer.empty() ? "has not answered yet"
                                              : "answered " + asked.Answer);
        if (asked.Asking)
            call.Out << "; asking";
        else if (asked.Dialled)
            call.Out << "; it dials";
        if (asked.Waiting > 0)
            call.Out << "; " << asked.Waiting << (asked.Waiting == 1 ? " request" : " requests")
                     << " waiting";
        call.Out << "\n";
    }
    if (!status.LanKeyFingerprint.empty()) {
        call.Out << "LAN key       set, fingerprint " << status.LanKeyFingerprint << "\n";
        for (const TUntrustedView& peer : status.Untrusted) {
            call.Out << "Untrusted     " << (peer.Name.empty() ? "?" : peer.Name) << " at "
                     << peer.Address << ": ";
            if (peer.DatagramsDropped > 0)
                call.Out << peer.DatagramsDropped
                         << (peer.DatagramsDropped == 1 ? " datagram" : " datagrams")
                         << (peer.ConnectionsRefused > 0 ? ", " : " ");
            if (peer.ConnectionsRefused > 0)
                call.Out << peer.ConnectionsRefused
                         << (peer.ConnectionsRefused == 1 ? " connection " : " connections ");
            call.Out << "dropped (last: " << peer.LastFailure << "), " << peer.SecondsAgo
                     << " s ago\n";
        }
    }
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

int DialsCommand(TCall& call) {
    int year = 0;
    int month = 0;
    if (call.Words.empty()) {
        const TSystemTime now = GetLocalTime();
        year = now.Year;
        month = now.Month;
    } else {
        const std::string& text = call.Words.size() == 2 ? call.Words[1] : std::string();
        const bool digits = text.size() == 7 && text[4] == '-' &&
                            std::all_of(text.begin(), text.end(),
                                        [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
        if (call.Words[0] == "--month" && digits) {
            year = std::stoi(text.substr(0, 4));
            month = std::stoi(text.substr(5));
        }
        if (month < 1 || month > 12) {
            call.Err << "harbolt: dials takes --month YYYY-MM (for example --month 2026-03)\n";
            return 2;
        }
    }
    const TDialsReport report = call.Target.Dials(year, month);
    if (call.Json) {
        TJson dials = TJson::array();
        for (const TDialLine& dial : report.Dials) {
            TJson entry = TJson::object();
            entry["start"] = dial.Start;
            entry["minutes"] = dial.Minutes ? TJson(*dial.Minutes) : TJson(nullptr);
            entry["cause"] = dial.Cause;
            dials.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["month"] = report.Month;
        document["entry"] = report.Entry;
        document["dials"] = std::move(dials);
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    if (report.Dials.empty()) {
        call.Out << "no dials of \"" << report.Entry << "\" in " << report.Month << "\n";
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (const TDialLine& dial : report.Dials)
        rows.push_back({dial.Start, dial.Minutes ? std::to_string(*dial.Minutes) + " min" : "-",
                        dial.Cause.empty() ? "(no cause recorded)" : dial.Cause});
    PrintTable(call.Out, {"START", "ONLINE", "CAUSE"}, rows);
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
    const std::string& key = call.Words[0];
    const std::string& value = call.Words[1];
    if (KeyIsEmpty(call, key))
        return 1;
    if (!call.Force) {
        if (const std::optional<std::string> refusal = CheckProperty(key, value)) {
            call.Err << "harbolt: nothing stored: " << *refusal
                     << " (--force stores it as it is)\n";
            return 1;
        }
    }
    if (const std::optional<std::string> warning = PropertyWarning(key, value))
        call.Err << "harbolt: warning: " << *warning << "\n";
    call.Target.SetOwnProperty(key, value);
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

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

int LineListCommand(TCall& call) {
    const TLinesStatus status = call.Target.Lines();
    if (call.Json) {
        TJson lines = TJson::array();
        for (const TLineStatus& line : status.Lines) {
            TJson entry = TJson::object();
            entry["entry"] = line.Entry;
            entry["state"] = line.State;
            entry["ownDial"] = line.Dialling;
            entry["autoDialEntry"] = line.AutoDialEntry;
            lines.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["layer"] = status.Layer;
        document["phoneBook"] = status.PhoneBook;
        document["lines"] = std::move(lines);
        document["failure"] = status.Failure.empty() ? TJson(nullptr) : TJson(status.Failure);
        call.Out << Dump(document, 2) << "\n";
        return status.Failure.empty() ? 0 : 1;
    }
    call.Out << "Dial-up layer  " << status.Layer << "\nPhone book     " << status.PhoneBook
             << "\n";
    if (!status.Failure.empty()) {
        call.Err << "harbolt: the entries cannot be listed: " << status.Failure << "\n";
        return 1;
    }
    if (status.Lines.empty()) {
        call.Out << "Entries        none\n";
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (const TLineStatus& line : status.Lines)
        rows.push_back({line.Entry, line.State, YesNo(line.Dialling), YesNo(line.AutoDialEntry)});
    call.Out << "\n";
    PrintTable(call.Out, {"ENTRY", "STATE", "OWN DIAL", "AUTO-DIAL ENTRY"}, rows);
    return 0;
}

int LineCommand(TCall& call) {
    const auto isState = [](const std::string& word) { return word == "up" || word == "down"; };
    if (call.Words.size() == 1 && call.Words[0] == "list")
        return LineListCommand(call);
    // `line ENTRY up|down`, and the other way round; an entry named "up" or "down" goes first.
    std::optional<std::size_t> entryAt;
    if (call.Words.size() == 2 && !call.Json)
        entryAt = isState(call.Words[1]) ? 0 : isState(call.Words[0]) ? 1 : entryAt;
    if (!entryAt) {
        call.Err << "usage: harbolt ctl [--data-dir DIR] line list [--json] | ENTRY up|down\n";
        return 2;
    }
    const std::string& entry = call.Words[*entryAt];
    if (call.Target.SetLine(entry, call.Words[1 - *entryAt] == "up"))
        return 0;
    const TLinesStatus lines = call.Target.Lines();
    call.Err << "harbolt: no simulated line '" << entry << "'";
    if (lines.Layer != "sim") {
        call.Err << " (the instance must run with --dialup sim)\n";
    } else if (!lines.Failure.empty()) {
        call.Err << " (" << lines.Failure << ")\n";
    } else if (lines.Lines.empty()) {
        call.Err << "; there are none: " << lines.PhoneBook << " names no entry\n";
    } else {
        call.Err << "; the lines are: ";
        for (std::size_t i = 0; i < lines.Lines.size(); ++i)
            call.Err << (i == 0 ? "" : ", ") << lines.Lines[i].Entry;
        call.Err << "\n";
    }
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
            entry["failure"] = listener.Failure.empty() ? TJson(nullptr) : TJson(listener.Failure);
            entry["destination"] =
                listener.Destination.empty() ? TJson(nullptr) : TJson(listener.Destination);
            entry["trigger"] = listener.Trigger;
            listeners.push_back(std::move(entry));
        }
        TJson document = TJson::object();
        document["running"] = status.Running;
        document["listeners"] = std::move(listeners);
        document["onlineAddress"] = status.OnlineAddress;
        document["onlineAddressAge"] =
            status.OnlineAddressAge ? TJson(*status.OnlineAddressAge / 1000.0) : TJson(nullptr);
        document["refused"] = status.Refused;
        document["loopsRefused"] = status.LoopsRefused;
        document["overCap"] = status.OverCap;
        document["ftpDataRefused"] = status.FtpDataRefused;
        document["dnsAnswersDropped"] = status.DnsAnswersDropped;
        document["overShare"] = status.OverShare;
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
             << (status.NetworksConfigured ? "ProxyAllowedNetworks: "
                                           : "loopback and the announced LAN: ");
    for (std::size_t i = 0; i < status.AllowedNetworks.size(); ++i)
        call.Out << (i == 0 ? "" : ", ") << status.AllowedNetworks[i];
    const auto connections = [](std::uint64_t count) {
        return std::to_string(count) + (count == 1 ? " connection" : " connections");
    };
    call.Out << "\nRefused         " << connections(status.Refused) << "\n";
    if (status.LoopsRefused != 0)
        call.Out << "Loops refused   " << connections(status.LoopsRefused)
                 << " to the own listeners\n";
    if (status.OverCap != 0)
        call.Out << "Over the cap    " << connections(status.OverCap) << " past ProxyMaxSessions\n";
    if (status.FtpDataRefused != 0)
        call.Out << "FTP data        " << connections(status.FtpDataRefused)
                 << " refused (a PORT to another address, a stranger on a data port)\n";
    if (status.DnsAnswersDropped != 0)
        call.Out << "DNS answers     " << status.DnsAnswersDropped
                 << " dropped: forged, stray or for another question\n";
    if (status.OverShare != 0)
        call.Out << "Over the share  " << connections(status.OverShare)
                 << " past their source's share of ProxyMaxSessions\n";
    for (const TProxyListenerStatus& listener : status.Listeners) {
        std::string name = listener.Name;
        name.resize(std::max<std::size_t>(name.size(), 12), ' ');
        call.Out << "  " << name << "  " << listener.Address << "  ";
        if (listener.Bound)
            call.Out << "listening";
        else if (listener.Failure.empty())
            call.Out << "not bound";
        else
            call.Out << "not bound: " << listener.Failure;
        if (!listener.Destination.empty())
            call.Out << "  -> " << listener.Destination << ", "
                     << (listener.Trigger ? "trigger" : "notrigger");
        call.Out << "\n";
    }
    return 0;
}

int ProxyCommand(TCall& call) {
    const std::string& action = call.Words[0];
    const std::size_t words = call.Words.size();
    if (action == "status" && words == 1)
        return ProxyStatusCommand(call);
    if (action == "restart" && words == 1 && !call.Json) {
        if (call.Target.RestartProxyServices())
            call.Out << "proxy services restarted\n";
        else
            call.Out << "proxy services stopped (ProxyEnabled is not set)\n";
        return 0;
    }
    if (action == "map" && words == 2 && !call.Json) {
        if (call.Words[1].empty()) {
            call.Err << "harbolt ctl: an empty mapping is no mapping\n";
            return 2;
        }
        // The same form as `set ProxyMappingNN` asks for: a text the listener cannot take apart
        // would listen and forward nowhere.
        if (const std::optional<std::string> refusal =
                CheckProperty("ProxyMapping00", call.Words[1])) {
            call.Err << "harbolt ctl: nothing stored: " << *refusal << "\n";
            return 2;
        }
        const std::optional<int> index = call.Target.AddProxyMapping(call.Words[1]);
        if (!index) {
            call.Err << "harbolt ctl: " << LanguageText(91, TLanguage::English) << "\n";
            return 1;
        }
        char key[32];
        std::snprintf(key, sizeof key, "ProxyMapping%.2d", *index);
        call.Out << "stored as " << key << "; `harbolt ctl proxy restart` puts it to work\n";
        return 0;
    }
    if (action == "unmap" && words == 2 && !call.Json) {
        const std::string& number = call.Words[1];
        int index = -1;
        const auto [end, error] =
            std::from_chars(number.data(), number.data() + number.size(), index);
        if (error != std::errc() || end != number.data() + number.size() || index < 0 ||
            index > 99) {
            call.Err << "harbolt ctl: " << number << " is no mapping number (0 to 99)\n";
            return 2;
        }
        if (!call.Target.RemoveProxyMapping(index)) {
            call.Err << "harbolt ctl: no mapping " << number << " is stored\n";
            return 1;
        }
        call.Out << "mapping " << number << " deleted; `harbolt ctl proxy restart` applies it\n";
        return 0;
    }
    call.Err << "usage: harbolt ctl [--data-dir DIR] proxy status [--json] | restart | map "
                "MAPPING | unmap NN\n";
    return 2;
}

// What `pac` needs of a host: other computers reach it, so it is no wildcard and no loopback.
bool IsWildcardHost(const std::string& host) {
    return host.empty() || host == "0.0.0.0" || host == "*" || host == "::";
}

bool IsLoopbackHost(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1" || SameTextAscii(host, "localhost");
}

// Whether a mapping's destination (its host part, ignoring case) names the proxy of that kind,
// in the forms the listener recognises.
bool DestinationIs(const std::string& destination, std::initializer_list<const char*> names) {
    const std::string host = destination.substr(0, destination.find(':'));
    return std::any_of(names.begin(), names.end(),
                       [&](const char* name) { return SameTextAscii(host, name); });
}

// The endpoint a browser on another computer uses for a listener: its bind host when that is a
// particular address, else the host of "ProxyServerAddress". Empty when neither names one.
std::string PacEndpoint(TCall& call, const TProxyListenerStatus& listener,
                        const std::string& serverHost) {
    const std::size_t colon = listener.Address.rfind(':');
    if (colon == std::string::npos)
        return {};
    const std::string bindHost = listener.Address.substr(0, colon);
    const std::string port = listener.Address.substr(colon + 1);
    if (IsLoopbackHost(bindHost)) {
        call.Err << "harbolt: warning: " << listener.Name << " listens on " << bindHost
                 << " only: the file serves this computer alone\n";
        return listener.Address;
    }
    if (!IsWildcardHost(bindHost))
        return listener.Address;
    if (IsWildcardHost(serverHost) || IsLoopbackHost(serverHost))
        return {};
    return serverHost + ":" + port;
}

int PacCommand(TCall& call) {
    const TProxyServicesStatus status = call.Target.ProxyServices();
    if (!status.Running) {
        call.Err << "harbolt: the proxy services are not running (ProxyEnabled is not set); "
                    "`harbolt ctl set ProxyEnabled yes` and `harbolt ctl proxy restart` start "
                    "them\n";
        return 1;
    }
    const std::string serverAddress = call.Target.GetOwnProperty("ProxyServerAddress");
    const std::string serverHost = serverAddress.substr(0, serverAddress.rfind(':'));
    std::string endpoints[2];
    const std::initializer_list<const char*> kinds[2] = {
        {"PROXY", "HTTP PROXY"}, {"SOCKS PROXY", "SOCKS5 PROXY", "SOCKS", "SOCKS5"}};
    bool listening = false;
    for (int kind = 0; kind < 2; ++kind) {
        for (const TProxyListenerStatus& listener : status.Listeners) {
            if (listener.Name.rfind("mapping ", 0) != 0 || !listener.Bound ||
                !DestinationIs(listener.Destination, kinds[kind]))
                continue;
            listening = true;
            endpoints[kind] = PacEndpoint(call, listener, serverHost);
            if (!endpoints[kind].empty())
                break;
        }
    }
    if (endpoints[0].empty() && endpoints[1].empty()) {
        if (listening)
            call.Err << "harbolt: the proxy mappings listen on every address and "
                        "ProxyServerAddress names no host the other computers reach; set it "
                        "(`harbolt ctl set ProxyServerAddress HOST:PORT`)\n";
        else
            call.Err << "harbolt: no HTTP PROXY or SOCKS5 PROXY mapping is listening; add one "
                        "(`harbolt ctl proxy map \":8080 -> HTTP PROXY, trigger\"`, then "
                        "`harbolt ctl proxy restart`)\n";
        return 1;
    }
    for (const std::string& endpoint : endpoints) {
        if (endpoint.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789.-_:") != std::string::npos) {
            call.Err << "harbolt: the address " << endpoint
                     << " cannot stand in a proxy auto-config file\n";
            return 1;
        }
    }
    call.Out << ProxyAutoConfigText(endpoints[0], endpoints[1], status.AllowedNetworks);
    return 0;
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
    call.Target.SetDialLogin(call.Words[0], call.Password.value());
    call.Out << "dial login set for " << call.Words[0] << "\n"; // the password is not echoed
    return 0;
}

std::string LanKeyStateText(const std::string& fingerprint) {
    return fingerprint.empty() ? "no LAN key: every computer on the LAN is trusted"
                               : "LAN key set, fingerprint " + fingerprint;
}

int LanKeyCommand(TCall& call) {
    const std::string& action = call.Words[0];
    if (action == "set") {
        call.Out << LanKeyStateText(call.Target.SetLanKey(call.Password.value())) << "\n";
    } else if (action == "generate") {
        const std::string secret = call.Target.GenerateLanKey();
        // The key first, alone on its line, for pasting into `lan-key set` elsewhere.
        call.Out << secret << "\n" << LanKeyStateText(call.Target.LanKeyFingerprint()) << "\n";
    } else if (action == "clear") {
        call.Out << (call.Target.ClearLanKey()
                         ? "LAN key removed: every computer on the LAN is trusted"
                         : "no LAN key was set")
                 << "\n";
    } else {
        call.Out << LanKeyStateText(call.Target.LanKeyFingerprint()) << "\n";
    }
    return 0;
}

constexpr const char* kNoWindows =
    "harbolt: the instance runs without windows (--headless, or no display)\n";

int OpenCommand(TCall& call) {
    const std::string computer = call.Words.empty() ? std::string() : call.Words[0];
    if (call.Target.OpenMainWindow(computer))
        return 0;
    if (!call.Target.WindowView()) {
        call.Err << kNoWindows;
        return 1;
    }
    return UnknownComputer(call, computer);
}

int WindowCommand(TCall& call) {
    const std::optional<TWindowView> view = call.Target.WindowView();
    if (!view) {
        call.Err << kNoWindows;
        return 1;
    }
    if (call.Json) {
        TJson document = TJson::object();
        document["visible"] = view->Visible;
        document["tabs"] = view->Tabs;
        document["selected"] = view->SelectedTab;
        document["status"] = view->StatusLine;
        document["tray"] = view->TrayIcon;
        document["trayAvailable"] = view->TrayAvailable;
        document["dialogs"] = view->Dialogs;
        call.Out << Dump(document, 2) << "\n";
        return 0;
    }
    call.Out << "Window   " << (view->Visible ? "shown" : "hidden") << "\n";
    call.Out << "Tabs    ";
    for (const std::string& tab : view->Tabs)
        call.Out << " " << (tab == view->SelectedTab ? "[" + tab + "]" : tab);
    call.Out << "\nStatus   " << view->StatusLine << "\n";
    call.Out << "Tray     " << (view->TrayAvailable ? view->TrayIcon : "no system tray") << "\n";
    call.Out << "Dialogs ";
    for (const std::string& dialog : view->Dialogs)
        call.Out << " \"" << dialog << "\"";
    call.Out << (view->Dialogs.empty() ? " none\n" : "\n");
    return 0;
}

int QuitCommand(TCall& call) {
    // Quitting stops the control server too, so it must not happen before the reply is out.
    TControlTarget& target = call.Target;
    call.AfterReply = [&target] { target.Quit(); };
    return 0;
}

// The help's own heading; kControlCommandUsage holds only the command lines below it.
constexpr const char* kUsageHeading = "usage: harbolt ctl [--system | --data-dir DIR] COMMAND\n";

} // namespace

void PrintUsage(std::ostream& err) {
    err << kUsageHeading << "      --system is --data-dir " << kSystemDataDirectory
        << ", the system service's\n"
        << UsageText();
}

TCommandCheck CheckControlCommand(const std::vector<std::string>& args, std::ostream& err) {
    const std::optional<TCommandWords> words = SplitCommandWords(args, err);
    if (!words)
        return TCommandCheck::Unusable;
    return words->NeedsPassword ? TCommandCheck::NeedsPassword : TCommandCheck::Ready;
}

int RunCommand(TControlTarget& target, const std::vector<std::string>& args,
               const std::optional<std::string>& password, std::ostream& out, std::ostream& err,
               std::function<void()>& afterReply) {
    const std::optional<TCommandWords> words = SplitCommandWords(args, err);
    if (!words)
        return 2;
    // The password travels apart from the words, so that no word is ever taken for it.
    if (words->NeedsPassword && !password) {
        err << "harbolt: no password in the request, though this " << words->Command->Name
            << " command needs one\n";
        return 1;
    }
    if (!words->NeedsPassword && password) {
        err << "harbolt: the request holds a password, but this " << words->Command->Name
            << " command takes none\n";
        return 1;
    }
    TCall call{target,   words->Words, words->Json, words->All, words->Force,
               password, out,          err,         afterReply};
    try {
        return words->Command->Run(call);
    } catch (const std::exception& e) {
        err << "harbolt: " << words->Command->Name << " failed: " << e.what() << "\n";
        return 1;
    }
}

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

} // namespace control

const char* const kControlCommandUsage = control::UsageText().c_str();

std::string ProxyAutoConfigText(const std::string& http, const std::string& socks5,
                                const std::vector<std::string>& directNetworks) {
    std::vector<std::string> tests;
    for (const std::string& network : directNetworks) {
        unsigned bytes[4] = {};
        unsigned bits = 0;
        char end = 0;
        if (std::sscanf(network.c_str(), "%3u.%3u.%3u.%3u/%2u%c", &bytes[0], &bytes[1], &bytes[2],
                        &bytes[3], &bits, &end) != 5 ||
            bits > 32 || std::any_of(std::begin(bytes), std::end(bytes), [](unsigned byte) {
                return byte > 255;
            }))
            continue;
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        char test[96];
        std::snprintf(test, sizeof test, "isInNet(address, \"%u.%u.%u.%u\", \"%u.%u.%u.%u\")",
                      bytes[0], bytes[1], bytes[2], bytes[3], mask >> 24, (mask >> 16) & 255,
                      (mask >> 8) & 255, mask & 255);
        tests.push_back(test);
    }
    std::string text = "function FindProxyForURL(url, host) {\n"
                       "    if (isPlainHostName(host) || shExpMatch(host, \"*.local\"))\n"
                       "        return \"DIRECT\";\n";
    if (!tests.empty()) {
        text += "    var address = dnsResolve(host);\n    if (address && (";
        for (std::size_t i = 0; i < tests.size(); ++i)
            text += (i == 0 ? "" : " ||\n                    ") + tests[i];
        text += "))\n        return \"DIRECT\";\n";
    }
    text += "    return \"";
    if (!http.empty())
        text += "PROXY " + http + "; ";
    if (!socks5.empty())
        text += "SOCKS5 " + socks5 + "; ";
    return text + "DIRECT\";\n}\n";
}

int RunControlCommand(TControlTarget& target, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err,
                      const std::optional<std::string>& password) {
    std::function<void()> afterReply;
    const int exit = control::RunCommand(target, args, password, out, err, afterReply);
    // Here the caller already holds the answer.
    if (afterReply)
        afterReply();
    return exit;
}

} // namespace harbolt
