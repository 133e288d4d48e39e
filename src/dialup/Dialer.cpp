#include "dialup/Dialer.h"

#include "database/Database.h"
#include "database/Journal.h"
#include "dialup/EventId.h"
#include "dialup/RasManager.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "platform/Languages.h"

#include <array>
#include <thread>
#include <utility>
#include <vector>

namespace harbolt {

namespace {

// Fixed for good: scrambled passwords are stored in the data and mail files and replicated.
constexpr std::array<unsigned char, 8> kPasswordKey = {0x4B, 0x1E, 0xA7, 0x39,
                                                       0xD2, 0x65, 0x0C, 0xF3};

constexpr auto kDialPause = std::chrono::milliseconds(100);
constexpr auto kFailedDialPause = std::chrono::milliseconds(50);
constexpr auto kMonitorPoll = std::chrono::milliseconds(100);

std::string OwnProperty(const char* key) {
    return GetComputerProperty(OwnComputerName, key);
}

std::string Quoted(const std::string& entryUtf8) {
    return "\"" + entryUtf8 + "\"";
}

std::string OwnEntry() {
    return Cp1252ToUtf8(OwnProperty("AutoDialPhoneBookEntry"));
}

void LogDialFailure(const std::string& reason, std::uint32_t error) {
    LogEvent(TEventLevel::Warning,
             "dial of " + Quoted(OwnEntry()) + " failed: " + reason +
                 (error != 0 ? " (error " + std::to_string(error) + ")" : ""));
}

// "AutoDialDisconnectAfter" in milliseconds; 0 when the idle hang-up is off (empty, 0, or not a
// plain decimal number).
std::uint64_t IdleLimit(const std::string& text) {
    return DialerNumber(text) * 1000;
}

} // namespace

std::uint64_t DialerNumber(std::string_view text) {
    if (text.empty() || text.size() > 9)
        return 0;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string ScramblePassword(const std::string& text) {
    std::string result = text;
    for (std::size_t i = 0; i < result.size(); ++i)
        result[i] = static_cast<char>(static_cast<unsigned char>(result[i]) ^
                                      kPasswordKey[(i + 1) % kPasswordKey.size()]);
    return result;
}

TDialer::TDialer(std::shared_ptr<TRasBackend> backend, const TTickClock& clock, TDialerLinks links)
    : BackendOwner(std::move(backend)), Backend(*BackendOwner), Clock(clock),
      Links(std::move(links)), Alive(std::make_shared<std::atomic<bool>>(true)) {
    if (!Links.Sleep)
        Links.Sleep = [](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); };
}

TDialer::~TDialer() {
    *Alive = false;
}

std::uint32_t TDialer::Now() const {
    return Clock.Now();
}

void TDialer::GoOnlineTimer() {
    if (FCommandDelay > 0 && --FCommandDelay == 0)
        PostDialerCommand(FDelayedCommand, 0, FDelayedRequester);

    if (DialingInProgress && DialStartedAt != 0 &&
        TicksSince(DialStartedAt, Now()) > kStuckDialLimit) {
        // Never reported an outcome: a failed dial.
        LogDialFailure("no outcome within " + std::to_string(kStuckDialLimit / 1000) + " s", 0);
        DialingInProgress = false; // reported here, not again by the event
        RasDialEvent(kRasDisconnected, 0);
    }

    if (DialRequested) {
        const std::uint32_t now = Now();
        const std::uint32_t last = FLastDialAttempt;
        // While the own dial is under way its outcome ends the request. The backends list a line
        // only once it is up, so another attempt now would not find it and would fail as
        // "already dialling", dropping the handle of the dial that runs. A Connect given
        // meanwhile is served by that dial.
        if (DialingInProgress && DialStartedAt != 0) {
            FSkipQuestion = false;
            return;
        }
        if (FAsking || (last != 0 && TicksSince(last, now) < kDialHoldOff))
            return;
        const TDialBudget budget = Links.Budget ? Links.Budget() : TDialBudget{};
        const bool ask = TextIsTrue(OwnProperty("AutoDialAskBeforeDialing"));
        if (FSkipQuestion) {
            // A person asked for this dial; requests on demand that wait meanwhile share it.
            FSkipQuestion = false;
            FLastDialAttempt = now;
            std::string cause = std::exchange(FExplicitCause, std::string());
            TakeDialCause();
            if (budget.Blocked && ask) {
                AskThenDial("The dial budget of this computer is spent (" + DialBudgetText(budget) +
                                "). Dial anyway?",
                            std::move(cause));
                return;
            }
            Dial(cause);
            return;
        }
        if (budget.Blocked) {
            // Asked for before the budget ran out; nobody waits for it any more.
            DialRequested = false;
            TakeDialCause();
            return;
        }
        if (ask) {
            if (last != 0 && TicksSince(last, now) <= kQuestionHoldOff)
                return;
            FLastDialAttempt = now;
            AskThenDial(LanguageText(49), {});
            return;
        }
        Dial(TakeDialCause());
        return;
    }

    const std::uint64_t limit = IdleLimit(OwnProperty("AutoDialDisconnectAfter"));
    if (limit == 0 || !OwnDialConnected())
        return;
    const std::uint32_t activity = Links.LastActivity ? Links.LastActivity() : 0;
    if (activity == 0 || TicksSince(activity, Now()) <= limit)
        return;
    const std::string idle = "idle for more than " + std::to_string(limit / 1000) + " s";
    if (!TextIsTrue(OwnProperty("AutoDialAskBeforeHangingUp"))) {
        HangUp(THangUpCause::Idle, idle);
        return;
    }
    if (FAsking)
        return;
    FAsking = true;
    Links.Ask(LanguageText(50), kAnswerYes, [this, alive = Alive, idle](int answer) {
        if (!*alive)
            return;
        if (Links.NoteActivity)
            Links.NoteActivity(); // a No starts the idle period afresh
        FAsking = false;
        if (answer == kAnswerYes)
            HangUp(THangUpCause::Idle, idle);
    });
}

void TDialer::AskThenDial(const std::string& question, std::string cause) {
    FAsking = true;
    Links.Ask(question, kAnswerNo, [this, alive = Alive, cause = std::move(cause)](int answer) {
        if (!*alive)
            return;
        FAsking = false;
        if (answer != kAnswerYes) {
            DialRequested = false;
            TakeDialCause();
            return;
        }
        // An on-demand request names its cause once it is answered.
        Dial(cause.empty() ? TakeDialCause() : cause);
    });
}

void TDialer::Dial(const std::string& cause) {
    // Before the dial, so that the cause comes before the connection's records.
    SetComputerProperty(OwnComputerName, EventIDToString(NewEventID()),
                        DialCauseRecord(cause.empty() ? "dial on demand" : cause));
    DialingInProgress = true;
    Links.Sleep(kDialPause);
    FLastDialAttempt = Now();
    DialStartedAt = FLastDialAttempt != 0 ? FLastDialAttempt.load() : 1;
    LogEvent(TEventLevel::Info, "dialling " + Quoted(OwnEntry()));
    bool adopted = false;
    const std::uint32_t result = DialOwnEntry(adopted);
    if (result != 0) {
        LogDialFailure(Cp1252ToUtf8(Backend.ErrorString(result)), result);
        if (Links.ShowMessage)
            Links.ShowMessage(
                FormatText(48, Cp1252ToUtf8(Backend.ErrorString(result)), std::to_string(result)));
        DialEnded();
        return;
    }
    // An entry that was up already gives no dial events: the request ends here, as with a
    // connection the dialer made itself.
    if (adopted)
        Connected(true);
}

void TDialer::DialEnded() {
    DialingInProgress = false;
    DialRequested = false;
    DialStartedAt = 0;
}

void TDialer::RasDialEvent(std::uint32_t state, std::uint32_t error) {
    if (state == kRasDisconnected || error != 0) {
        if (DialingInProgress)
            LogDialFailure(error != 0 ? Cp1252ToUtf8(Backend.ErrorString(error))
                                      : "the line went down before it was up",
                           error);
        Links.Sleep(kFailedDialPause);
        DialRequested = false;
        HangUpOwnEntry();
        DialingInProgress = false;
        DialStartedAt = 0;
        return;
    }
    if (state == kRasConnected)
        Connected(false);
}

void TDialer::Connected(bool adopted) {
    LogEvent(TEventLevel::Info, adopted ? Quoted(OwnEntry()) + " is up already: using it"
                                        : "dial of " + Quoted(OwnEntry()) + " succeeded");
    DialRequested = false;
    DialingInProgress = false;
    DialStartedAt = 0;
    FOwnDialActive = true;
    if (Links.NoteActivity)
        Links.NoteActivity();
    MonitorPassDone = false;
    WaitForMonitorPass();
    PostOnlineState(true);
}

void TDialer::WaitForMonitorPass() {
    const std::uint32_t begin = Now();
    while (!MonitorPassDone && TicksSince(begin, Now()) <= kMonitorPassWait)
        Links.Sleep(kMonitorPoll);
}

void TDialer::PostOnlineState(bool online) {
    if (!Links.Post || !Links.OnlineStateMessage)
        return;
    Links.Post([this, alive = Alive, online] {
        if (*alive)
            Links.OnlineStateMessage(online);
    });
}

void TDialer::DialerCommandMessage(int command, int delay, const std::string& detail) {
    if (delay > 0) {
        FCommandDelay = delay;
        FDelayedCommand = command;
        FDelayedRequester = detail;
        return;
    }
    if (command == kDialerHangUp)
        HangUp(detail.empty() ? THangUpCause::User : THangUpCause::Peer, detail);
    else if (command == kDialerRequestDial)
        RequestDial(detail.empty() ? std::string(kUserDialCause) : detail);
}

void TDialer::PostDialerCommand(int command, int delay, const std::string& requester) {
    if (!Links.Post)
        return;
    Links.Post([this, alive = Alive, command, delay, requester] {
        if (*alive)
            DialerCommandMessage(command, delay, requester);
    });
}

std::string PeerDialCause(const std::string& requester, const std::string& wanted) {
    return "CONNECT! from " + requester + (wanted.empty() ? "" : " for " + wanted);
}

void TDialer::RequestDial(const std::string& cause) {
    FExplicitCause = cause;
    FLastDialAttempt = 0;
    FSkipQuestion = true;
    DialRequested = true;
}

void TDialer::HangUp(THangUpCause cause, const std::string& detail) {
    if (OwnRasConnection == 0)
        return;
    std::string why = "asked by the user";
    if (cause == THangUpCause::Idle)
        why = detail;
    else if (cause == THangUpCause::Peer)
        why = "asked by the computer at " + detail;
    LogEvent(TEventLevel::Info, "hung up " + Quoted(OwnEntryName()) + ": " + why);
    // A dial under way that is hung up reports nothing more, so its request ends here; left
    // set, it would dial again at the next tick.
    if (DialingInProgress && DialStartedAt != 0)
        DialRequested = false;
    DialStartedAt = 0;
    DialingInProgress = false;
    // Cleared before the handle goes: a DISCONNECT! dialogue that sees the line gone stamps the
    // hold-off afresh, and that stamp must stay.
    FLastDialAttempt = 0;
    HangUpOwnEntry();
    FOwnDialActive = false;
    MonitorPassDone = false;
    WaitForMonitorPass();
    PostOnlineState(false);
}

std::uint32_t TDialer::DialOwnEntry(bool& adopted) {
    const std::lock_guard lock(DialLock);
    adopted = false;
    const std::string entry = OwnProperty("AutoDialPhoneBookEntry");
    if (const TRasHandle existing = FindRasConnection(entry); existing != 0) {
        OwnRasConnection = existing;
        adopted = true;
        return 0;
    }
    std::string userName;
    std::string password;
    bool passwordStored = false;
    if (!Backend.GetEntryDialParams(entry, userName, password, passwordStored) || !passwordStored) {
        userName = OwnProperty("AutoDialUsername");
        password = ScramblePassword(OwnProperty("AutoDialPassword"));
    }
    OwnRasConnection = 0;
    TRasHandle handle = 0;
    const std::uint32_t result =
        Backend.Dial(entry, userName, password, handle,
                     [this, alive = Alive](std::uint32_t state, std::uint32_t error) {
                         if (*alive)
                             RasDialEvent(state, error);
                     });
    if (result != 0) {
        if (handle != 0)
            Backend.HangUp(handle);
        return result;
    }
    OwnRasConnection = handle;
    return 0;
}

void TDialer::HangUpOwnEntry() {
    const std::lock_guard lock(DialLock);
    const TRasHandle handle = OwnRasConnection.exchange(0);
    if (handle != 0)
        Backend.HangUp(handle);
}

bool TDialer::OwnDialConnected() {
    if (!FOwnDialActive)
        return false;
    return TextIsTrue(OwnProperty("AutoDialEnabled")) &&
           EntryConnectState(OwnProperty("AutoDialPhoneBookEntry")) == kRasConnected &&
           OwnRasConnection != 0;
}

std::string TDialer::OwnEntryName() {
    const TRasHandle own = OwnRasConnection;
    std::vector<TRasConnectionInfo> connections;
    if (own != 0 && Backend.EnumConnections(connections) == 0)
        for (const TRasConnectionInfo& connection : connections)
            if (connection.Handle == own)
                return Cp1252ToUtf8(connection.EntryName);
    return OwnEntry();
}

TRasHandle TDialer::FindRasConnection(const std::string& entry) {
    std::vector<TRasConnectionInfo> connections;
    if (Backend.EnumConnections(connections) != 0 || connections.empty())
        return 0;
    if (entry.empty())
        return connections.front().Handle;
    for (const TRasConnectionInfo& connection : connections)
        if (AnsiCompareText(connection.EntryName, entry) == 0)
            return connection.Handle;
    return 0;
}

std::uint32_t TDialer::EntryConnectState(const std::string& entry) {
    if (DialingInProgress)
        return 0;
    const TRasHandle handle = FindRasConnection(entry);
    std::uint32_t state = 0;
    if (handle == 0 || Backend.GetConnectStatus(handle, state) != 0)
        return 0;
    return state;
}

bool TDialer::AdoptAnyConnection() {
    if (OwnRasConnection == 0) {
        const TRasHandle found = FindRasConnection("");
        TRasHandle none = 0;
        OwnRasConnection.compare_exchange_strong(none, found);
    }
    return OwnRasConnection != 0;
}

void TDialer::StampLastDialAttempt() {
    FLastDialAttempt = Now();
}

} // namespace harbolt
