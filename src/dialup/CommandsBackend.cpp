// The dial-up layer on Linux: phonebook.conf names, per entry, the shell commands that bring the
// link up and take it down, and how to tell that it is up (a check command or an interface).
#include "dialup/CommandsBackend.h"

#include "dialup/ChildProcess.h"
#include "dialup/DialupErrors.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often a dial command that stays in the foreground while the link is up is looked at.
constexpr auto kForegroundDialPoll = 100ms;
// The longest pause while a dial command is starting up.
constexpr auto kDialPoll = 20ms;

std::string Quoted(const std::string& cp1252) {
    return "\"" + cp1252 + "\"";
}

std::string LimitText(std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    if (ms % 1000 != 0)
        return std::to_string(ms) + " milliseconds";
    return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}

// Up and running: administratively up and with a carrier (a ppp link that is established, a
// modem that is registered). Asking needs a socket, but no traffic.
bool InterfaceUp(const std::string& name) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const bool known = ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    close(probe);
    const unsigned wanted = IFF_UP | IFF_RUNNING;
    return known && (static_cast<unsigned>(request.ifr_flags) & wanted) == wanted;
}

// Entries the program could never see connected are worth a line when the file is read.
void ReviewForCommands(const TPhoneBook& book, std::vector<TPhoneBookDiagnostic>& diagnostics) {
    for (const TPhoneBookEntry& entry : book.Entries)
        if (entry.Check.empty() && entry.Interface.empty())
            diagnostics.push_back({entry.Line, "entry " + Quoted(Cp1252ToUtf8(entry.Name)) +
                                                   " has neither check nor interface; it never "
                                                   "counts as connected"});
}

// What a dial command gets for a credential: the file's own text when the caller passes the
// entry's stored one (so characters outside Windows-1252 survive), else the caller's text.
std::string CredentialText(const std::string& given, const std::string& stored) {
    if (!stored.empty() && Utf8ToCp1252(stored) == given)
        return stored;
    return Cp1252ToUtf8(given);
}

// One dial from its start until its command has ended (or was stopped). A dial command that
// stays in the foreground while the link is up (wvdial, a script that waits) belongs to the
// connection: hanging up the entry stops it.
struct TDialJob {
    TRasHandle Handle = 0;
    TPhoneBookEntry Entry;
    std::vector<std::string> Environment;
    TRasDialProgress Progress;

    std::atomic<bool> Cancelled{false};
    std::atomic<bool> KeepLink{false}; // with Cancelled: leave a dial command that holds the link
    std::atomic<bool> Finished{false};
    std::mutex Lock; // for Wake
    std::condition_variable Wake;

    void Cancel() {
        const std::lock_guard<std::mutex> guard(Lock);
        Cancelled = true;
        Wake.notify_all();
    }

    // Sleeps until the time or a cancel, whichever comes first.
    void SleepUntil(TClock::time_point until) {
        std::unique_lock<std::mutex> guard(Lock);
        Wake.wait_until(guard, until, [this] { return Cancelled.load(); });
    }
};

struct TRunningDial {
    std::shared_ptr<TDialJob> Job;
    std::thread Thread;
};

class TCommandsBackend final : public TRasBackend {
public:
    TCommandsBackend(const std::string& path, TMainThreadPoster poster,
                     TCommandsBackendOptions options)
        : Options(std::move(options)), Poster(std::move(poster)),
          PhoneBook(path, Options.Diagnostics, ReviewForCommands),
          Environment(EnvironmentWithout({"HARBOLT_USER", "HARBOLT_PASSWORD"})) {
        PhoneBook.Current(); // read now, so that a faulty file is reported at start-up
    }

    // Dials under way are stopped; a link that is up stays up, as it does when the program ends,
    // even where a dial command in the foreground holds it.
    ~TCommandsBackend() override {
        std::vector<TRunningDial> dials;
        {
            const std::lock_guard<std::mutex> guard(DialsLock);
            dials.swap(Dials);
        }
        for (TRunningDial& dial : dials)
            dial.Job->KeepLink = true;
        StopDials(dials);
    }

    std::uint32_t EnumConnections(std::vector<TRasConnectionInfo>& connections) override {
        connections.clear();
        const TEnumeration enumeration = Enumerate();
        if (enumeration.Error != 0)
            return enumeration.Error;
        if (enumeration.Connections.size() > kRasMaxConnections)
            return Errors.Remember(kRasErrorBufferTooSmall,
                                   std::to_string(enumeration.Connections.size()) +
                                       " dial-up connections are up; there is room for " +
                                       std::to_string(kRasMaxConnections));
        connections = enumeration.Connections;
        return 0;
    }

    std::uint32_t GetConnectStatus(TRasHandle connection, std::uint32_t& state) override {
        if (!PhoneBook.Current()->IndexOf(connection))
            return UnknownHandle(connection);
        const std::lock_guard<std::mutex> guard(EnumerationLock);
        state = LastConnected.count(connection) > 0 ? kRasConnected : kRasDisconnected;
        return 0;
    }

    std::string ErrorString(std::uint32_t code) override { return Errors.Text(code); }

    std::uint32_t EnumEntries(std::vector<std::string>& entries) override {
        entries = PhoneBook.EntryNames();
        return 0;
    }

    bool GetEntryDialParams(const std::string& entry, std::string& userName, std::string& password,
                            bool& passwordStored) override {
        return PhoneBook.StoredCredentials(entry, userName, password, passwordStored);
    }

    std::uint32_t Dial(const std::string& entry, const std::string& userName,
                       const std::string& password, TRasHandle& handle,
                       TRasDialProgress progress) override {
        handle = 0;
        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(entry);
        if (!index)
            return Errors.Remember(kRasErrorCannotFindEntry,
                                   "the phone book has no entry " + Quoted(entry));
        const TPhoneBookEntry& found = book->Book.Entries[*index];
        if (found.Dial.empty())
            return Errors.Remember(kDialupErrorNoCommand,
                                   "entry " + Quoted(found.Name) + " has no dial command");
        if (found.Check.empty() && found.Interface.empty())
            return Errors.Remember(kDialupErrorNoCommand,
                                   "entry " + Quoted(found.Name) +
                                       " has neither check nor interface to tell it is up");

        auto job = std::make_shared<TDialJob>();
        job->Handle = book->Handles[*index];
        job->Entry = found;
        job->Environment = Environment;
        job->Environment.push_back("HARBOLT_USER=" + CredentialText(userName, found.UserName));
        job->Environment.push_back("HARBOLT_PASSWORD=" + CredentialText(password, found.Password));
        job->Progress = std::move(progress);

        const std::lock_guard<std::mutex> guard(DialsLock);
        JoinFinishedDials();
        for (const TRunningDial& running : Dials)
            if (running.Job->Handle == job->Handle)
                return Errors.Remember(kDialupErrorAlreadyDialling,
                                       "entry " + Quoted(found.Name) +
                                           " is being dialled already, or its dial command "
                                           "still runs");
        try {
            Dials.reserve(Dials.size() + 1); // a thread is never left without its owner
            Dials.push_back({job, std::thread([this, job] { RunDial(job); })});
        } catch (const std::exception& error) {
            return Errors.Remember(kDialupErrorCannotStart,
                                   "cannot dial " + Quoted(found.Name) + ": " + error.what());
        }
        handle = job->Handle;
        return 0;
    }

    std::uint32_t HangUp(TRasHandle connection) override {
        // A dial still under way, or a dial command that holds the link, is stopped first.
        std::vector<TRunningDial> stopped;
        {
            const std::lock_guard<std::mutex> guard(DialsLock);
            const auto ofEntry = std::stable_partition(
                Dials.begin(), Dials.end(),
                [connection](const TRunningDial& dial) { return dial.Job->Handle != connection; });
            std::move(ofEntry, Dials.end(), std::back_inserter(stopped));
            Dials.erase(ofEntry, Dials.end());
        }
        const bool stoppedRunningDial =
            std::any_of(stopped.begin(), stopped.end(),
                        [](const TRunningDial& dial) { return !dial.Job->Finished.load(); });
        StopDials(stopped);

        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(connection);
        if (!index)
            return stoppedRunningDial ? 0 : UnknownHandle(connection);
        const TPhoneBookEntry& entry = book->Book.Entries[*index];
        if (entry.HangUp.empty()) {
            if (stoppedRunningDial)
                return 0;
            return Errors.Remember(kDialupErrorNoCommand,
                                   "entry " + Quoted(entry.Name) + " has no hangup command");
        }
        const TCommandOutcome outcome =
            RunShellCommands({entry.HangUp}, Environment, Options.HangUpLimit).front();
        if (outcome.Succeeded())
            return 0;
        if (outcome.Kind == TCommandOutcome::TKind::NotStarted)
            return Errors.Remember(kDialupErrorCannotStart, "cannot start the hangup command of " +
                                                                Quoted(entry.Name) + ": " +
                                                                outcome.Describe());
        if (outcome.Kind == TCommandOutcome::TKind::TimedOut)
            return Errors.Remember(kDialupErrorHangUpFailed,
                                   "the hangup command of " + Quoted(entry.Name) +
                                       " did not finish within " + LimitText(Options.HangUpLimit));
        return Errors.Remember(kDialupErrorHangUpFailed, "the hangup command of " +
                                                             Quoted(entry.Name) + " failed (" +
                                                             outcome.Describe() + ")");
    }

private:
    struct TEnumeration {
        std::uint32_t Error = 0;
        std::vector<TRasConnectionInfo> Connections;
    };

    enum class TCheckResult { Connected, NotConnected, TimedOut, NotStarted, Cancelled };

    std::uint32_t UnknownHandle(TRasHandle connection) {
        return Errors.Remember(kRasErrorInvalidHandle,
                               "no phone-book entry has the connection handle " +
                                   std::to_string(connection));
    }

    // One enumeration at a time runs the checks; a caller that comes while one runs takes its
    // result, so the checks never run twice at once and nobody waits for more than one round.
    TEnumeration Enumerate() {
        {
            std::unique_lock<std::mutex> guard(EnumerationLock);
            if (EnumerationRunning) {
                const std::uint64_t running = EnumerationRound;
                EnumerationDone.wait(guard, [&] { return EnumerationRound != running; });
                return LastEnumeration;
            }
            EnumerationRunning = true;
        }
        TEnumeration result;
        try {
            result = RunChecks();
        } catch (...) {
            const std::lock_guard<std::mutex> guard(EnumerationLock);
            EnumerationRunning = false;
            LastEnumeration = {
                Errors.Remember(kDialupErrorCannotStart, "the connection checks could not run"),
                {}};
            ++EnumerationRound;
            EnumerationDone.notify_all();
            throw;
        }
        const std::lock_guard<std::mutex> guard(EnumerationLock);
        EnumerationRunning = false;
        LastEnumeration = result;
        ++EnumerationRound;
        // A failed round knows too little to change what the last good one found.
        if (result.Error == 0) {
            LastConnected.clear();
            for (const TRasConnectionInfo& connection : result.Connections)
                LastConnected.insert(connection.Handle);
        }
        EnumerationDone.notify_all();
        return result;
    }

    TEnumeration RunChecks() {
        const auto book = PhoneBook.Current();
        const std::vector<TPhoneBookEntry>& entries = book->Book.Entries;
        std::vector<bool> connected(entries.size(), false);
        std::vector<std::string> commands;
        std::vector<std::size_t> commandEntry;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].Interface.empty()) {
                connected[i] = InterfaceUp(entries[i].Interface);
            } else if (!entries[i].Check.empty()) {
                commands.push_back(entries[i].Check);
                commandEntry.push_back(i);
            }
        }
        const std::vector<TCommandOutcome> outcomes =
            RunShellCommands(commands, Environment, Options.CheckLimit);

        std::string timedOut;
        std::string notStarted;
        for (std::size_t k = 0; k < outcomes.size(); ++k) {
            const TPhoneBookEntry& entry = entries[commandEntry[k]];
            switch (outcomes[k].Kind) {
            case TCommandOutcome::TKind::TimedOut:
                timedOut += (timedOut.empty() ? "" : ", ") + Quoted(entry.Name);
                break;
            case TCommandOutcome::TKind::NotStarted:
                if (notStarted.empty())
                    notStarted = "cannot start the check of " + Quoted(entry.Name) + ": " +
                                 outcomes[k].Describe();
                break;
            default:
                connected[commandEntry[k]] = outcomes[k].Succeeded();
                break;
            }
        }
        // Without an answer from every check, what is up is not known: the monitor keeps what it
        // knew and shows this text.
        if (!timedOut.empty())
            return {Errors.Remember(kDialupErrorCheckTimedOut, "the check of " + timedOut +
                                                                   " did not finish within " +
                                                                   LimitText(Options.CheckLimit)),
                    {}};
        if (!notStarted.empty())
            return {Errors.Remember(kDialupErrorCannotStart, notStarted), {}};

        TEnumeration result;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (connected[i])
                result.Connections.push_back({book->Handles[i], entries[i].Name});
        return result;
    }

    TCheckResult CheckEntry(const TPhoneBookEntry& entry, const std::atomic<bool>& cancel) {
        if (!entry.Interface.empty())
            return InterfaceUp(entry.Interface) ? TCheckResult::Connected
                                                : TCheckResult::NotConnected;
        const TCommandOutcome outcome =
            RunShellCommands({entry.Check}, Environment, Options.CheckLimit, &cancel).front();
        switch (outcome.Kind) {
        case TCommandOutcome::TKind::Cancelled:
            return TCheckResult::Cancelled;
        case TCommandOutcome::TKind::TimedOut:
            return TCheckResult::TimedOut;
        case TCommandOutcome::TKind::NotStarted:
            return TCheckResult::NotStarted;
        default:
            return outcome.Succeeded() ? TCheckResult::Connected : TCheckResult::NotConnected;
        }
    }

    // The progress of a dial reaches the main thread once. A hang-up (which runs there too) that
    // comes before the task runs cancels it, so the dialer never hears of a dial it gave up.
    void Post(const std::shared_ptr<TDialJob>& job, std::uint32_t state, std::uint32_t error) {
        if (job->Cancelled || !job->Progress || !Poster)
            return;
        Poster([job, state, error] {
            if (!job->Cancelled)
                job->Progress(state, error);
        });
    }

    void RunDial(const std::shared_ptr<TDialJob>& shared) {
        RunDialSteps(shared);
        shared->Finished = true;
    }

    void RunDialSteps(const std::shared_ptr<TDialJob>& shared) {
        TDialJob& job = *shared;
        const std::string name = Quoted(job.Entry.Name);
        int error = 0;
        const auto child = TShellProcess::Start(job.Entry.Dial, job.Environment, error);
        if (!child) {
            Post(shared, kRasDisconnected,
                 Errors.Remember(kDialupErrorCannotStart, "cannot start the dial command of " +
                                                              name + ": " + std::strerror(error)));
            return;
        }

        const auto deadline = TClock::now() + Options.DialLimit;
        auto nextCheck = TClock::now() + Options.DialCheckInterval;
        bool dialRunning = true;
        for (;;) {
            if (job.Cancelled) {
                child->Terminate(Options.StopGrace);
                return;
            }
            if (dialRunning && child->Ended()) {
                dialRunning = false;
                const TCommandOutcome outcome = OutcomeOfWaitStatus(child->WaitStatus());
                if (!outcome.Succeeded()) {
                    Post(shared, kRasDisconnected,
                         Errors.Remember(kDialupErrorDialFailed, "the dial command of " + name +
                                                                     " failed (" +
                                                                     outcome.Describe() + ")"));
                    return;
                }
                nextCheck = TClock::now(); // it may be up already
            }
            if (TClock::now() >= nextCheck) {
                const TCheckResult check = CheckEntry(job.Entry, job.Cancelled);
                if (check == TCheckResult::Cancelled)
                    continue;
                if (check == TCheckResult::Connected) {
                    Post(shared, kRasConnected, 0);
                    break;
                }
                nextCheck = TClock::now() + Options.DialCheckInterval;
            }
            if (TClock::now() >= deadline) {
                child->Terminate(Options.StopGrace);
                Post(shared, kRasDisconnected,
                     Errors.Remember(kDialupErrorDialTimedOut, name + " did not come up within " +
                                                                   LimitText(Options.DialLimit) +
                                                                   " of dialling"));
                return;
            }
            auto wake = std::min(nextCheck, deadline);
            if (dialRunning)
                wake = std::min(wake, TClock::now() + kDialPoll);
            job.SleepUntil(wake);
        }

        // Connected. A dial command still running holds the link; it is reaped when it ends and
        // stopped when the entry is hung up.
        while (!child->Ended()) {
            if (job.Cancelled) {
                if (job.KeepLink)
                    child->Abandon();
                else
                    child->Terminate(Options.StopGrace);
                return;
            }
            job.SleepUntil(TClock::now() + kForegroundDialPoll);
        }
    }

    // Called with DialsLock held.
    void JoinFinishedDials() {
        for (auto it = Dials.begin(); it != Dials.end();) {
            if (it->Job->Finished) {
                it->Thread.join();
                it = Dials.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Each stops within the grace of its dial command (or one cancelled check).
    static void StopDials(std::vector<TRunningDial>& dials) {
        for (TRunningDial& dial : dials)
            dial.Job->Cancel();
        for (TRunningDial& dial : dials)
            if (dial.Thread.joinable())
                dial.Thread.join();
    }

    const TCommandsBackendOptions Options;
    const TMainThreadPoster Poster;
    TPhoneBookFile PhoneBook;
    const std::vector<std::string> Environment; // the program's, without credentials
    TDialupErrorTexts Errors;

    std::mutex EnumerationLock; // guards the enumeration state below
    std::condition_variable EnumerationDone;
    bool EnumerationRunning = false;
    std::uint64_t EnumerationRound = 0;
    TEnumeration LastEnumeration;
    std::set<TRasHandle> LastConnected; // found connected by the last successful enumeration

    std::mutex DialsLock; // guards Dials
    std::vector<TRunningDial> Dials;
};

} // namespace

std::unique_ptr<TRasBackend> CreateCommandsBackend(const std::string& phoneBookPath,
                                                   TMainThreadPoster postToMainThread,
                                                   TCommandsBackendOptions options) {
    return std::make_unique<TCommandsBackend>(phoneBookPath, std::move(postToMainThread),
                                              std::move(options));
}

std::unique_ptr<TRasBackend> CreateCommandsBackend(const std::string& phoneBookPath,
                                                   TMainThreadPoster postToMainThread) {
    return CreateCommandsBackend(phoneBookPath, std::move(postToMainThread),
                                 TCommandsBackendOptions{});
}

} // namespace harbolt
