#include "app/ControlInternal.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

namespace harbolt::control {

namespace {

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

enum class TMailAction { List, Set, Remove, Settings, Check };

struct TMailRequest {
    TMailAction Action = TMailAction::List;
    bool Json = false;              // list
    TMailboxChange Mailbox;         // set
    bool PasswordFromStdin = false; // set: the request carries the password
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

// The words after "mail"; the password is never one of them. Explains on err what does not fit.
std::optional<TMailRequest> ParseMailWords(std::vector<std::string> words, std::ostream& err) {
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
        if (!split(options, "--password-stdin", request.PasswordFromStdin))
            return std::nullopt;
        if (positional.size() > 1)
            return usage("mail set takes no password on the command line: give --password-stdin "
                         "and type it or pipe it in");
        if (positional.empty() || positional[0].empty())
            return usage("mail set needs the name of the mailbox");
        for (const TOption& option : options)
            if (!option.Value || option.Value->empty())
                return usage(std::string("mail set needs ") + option.Name);
        request.Action = TMailAction::Set;
        TMailboxChange& mailbox = request.Mailbox;
        mailbox.Name = positional[0];
        mailbox.Server = *options[0].Value;
        mailbox.User = *options[1].Value;
        const std::string& actionWord = *options[2].Value;
        const auto known =
            std::find_if(std::begin(kMailActionWords), std::end(kMailActionWords),
                         [&](const TMailActionWord& a) { return actionWord == a.Word; });
        if (known == std::end(kMailActionWords))
            return usage("--action takes notify-new, notify-present, delete-all or none, not '" +
                         actionWord + "'");
        mailbox.Action = known->Action;
        if (HoldsLineEnd(mailbox.Name) || HoldsLineEnd(mailbox.Server) ||
            HoldsLineEnd(mailbox.User))
            return usage("names, servers and users cannot hold line ends");
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

} // namespace

std::span<const TUsageLine> MailUsage() {
    return kMailUsage;
}

TCommandCheck CheckMailWords(const std::vector<std::string>& words, std::ostream& err) {
    const std::optional<TMailRequest> request = ParseMailWords(words, err);
    if (!request)
        return TCommandCheck::Unusable;
    return request->PasswordFromStdin ? TCommandCheck::NeedsPassword : TCommandCheck::Ready;
}

int MailCommand(TCall& call) {
    std::optional<TMailRequest> request = ParseMailWords(call.Words, call.Err);
    if (!request)
        return 2;
    switch (request->Action) {
    case TMailAction::List:
        return MailListCommand(call, request->Json);
    case TMailAction::Set: {
        TMailboxChange& mailbox = request->Mailbox;
        if (request->PasswordFromStdin) {
            // RunCommand runs the command only with the password its words ask for.
            const std::string& password = call.Password.value();
            if (HoldsLineEnd(password)) {
                call.Err << "harbolt: the password cannot hold line ends\n";
                return 1;
            }
            mailbox.Password = password;
        }
        const std::string& name = mailbox.Name;
        switch (call.Target.SetMail(mailbox)) {
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

} // namespace harbolt::control
