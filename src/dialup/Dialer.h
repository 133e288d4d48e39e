#pragma once

#include "dialup/DialBudget.h"
#include "dialup/RasBackend.h"
#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// Dial on demand and idle hang-up: the dialer of the main thread. Any thread that needs the
// Internet while nobody is online sets DialRequested; once a second the dialer asks the user if
// so configured and dials the entry of "AutoDialPhoneBookEntry". It hangs its own connection up
// when the proxy has carried nothing for "AutoDialDisconnectAfter" seconds.
namespace harbolt {

// Answers of a question, as the dialog's buttons give them.
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// Commands of DialerCommandMessage.
constexpr int kDialerHangUp = 0;
constexpr int kDialerRequestDial = 1;

// Hold-offs of the dialer, in milliseconds.
constexpr std::uint32_t kDialHoldOff = 5000;
constexpr std::uint32_t kQuestionHoldOff = 30000;
// A dial that reports neither connected nor failed within this time counts as failed.
constexpr std::uint32_t kStuckDialLimit = 120000;
// How long the dialer waits for the dial-up monitor to record a change.
constexpr std::uint32_t kMonitorPassWait = 3000;

// Why the own connection is hung up, for the events log.
enum class THangUpCause {
    User, // Disconnect in the tray or through ctl
    Idle, // "AutoDialDisconnectAfter" passed without traffic
    Peer, // another computer's "DISCONNECT!" (its take-over or hang-up command)
};

// Scrambles a stored password with a fixed key of ours; applying it twice gives the text back.
std::string ScramblePassword(const std::string& text);

// A number property as the dialer reads it: plain decimal digits, at most 9 of them; anything
// else (empty, a sign, a blank, more digits) reads as 0.
std::uint64_t DialerNumber(std::string_view text);

// What the dialer needs of the rest of the program.
struct TDialerLinks {
    // Runs a task later on the main thread (posted window messages).
    TMainThreadPoster Post;
    // The own dial connected (true) or the own connection was hung up (false).
    std::function<void(bool online)> OnlineStateMessage;
    // Shows an error to the user (UTF-8).
    std::function<void(const std::string& text)> ShowMessage;
    // Asks a yes/no question (UTF-8) that answers itself with defaultAnswer after 30 s; answered
    // runs on the main thread with kAnswerYes or kAnswerNo.
    std::function<void(const std::string& text, int defaultAnswer,
                       std::function<void(int answer)> answered)>
        Ask;
    // The proxy's activity stamp: set it to now, read it (0 = never).
    std::function<void()> NoteActivity;
    std::function<std::uint32_t()> LastActivity;
    // Waits on the main thread (tests let the clock jump instead).
    std::function<void(std::chrono::milliseconds)> Sleep;
    // The own dial budget now; none means no limits. A spent budget stops dials on demand and
    // makes an explicit dial ask first when "AutoDialAskBeforeDialing" is set.
    std::function<TDialBudget()> Budget;
};

// The causes of explicit dials, as their cause records say them.
constexpr const char* kUserDialCause = "connect asked by the user";
// "CONNECT! from 10.0.0.7", and " for " what it wanted when it said.
std::string PeerDialCause(const std::string& requester, const std::string& wanted = {});

class TDialer {
public:
    // Shares the backend: dial requests on proxy threads may outlive the instance's own use.
    TDialer(std::shared_ptr<TRasBackend> backend, const TTickClock& clock, TDialerLinks links);
    ~TDialer();
    TDialer(const TDialer&) = delete;
    TDialer& operator=(const TDialer&) = delete;

    // Main thread.
    void GoOnlineTimer(); // every 1000 ms
    void RasDialEvent(std::uint32_t state, std::uint32_t error);
    // command kDialerHangUp or kDialerRequestDial; delay in timer ticks, <= 0 at once. A hang-up
    // with a requester (the asking computer's address) is one of THangUpCause::Peer.
    // detail: for a hang-up the asking computer's address (a THangUpCause::Peer), for a dial its
    // cause (empty: the user's).
    void DialerCommandMessage(int command, int delay, const std::string& detail = {});
    // An explicit dial: no question, no budget (unless asking is set), cause as recorded.
    void RequestDial(const std::string& cause = kUserDialCause);
    // detail: for Idle how long, for Peer the asking computer's address.
    void HangUp(THangUpCause cause = THangUpCause::User, const std::string& detail = {});
    // 0 when a dial was started or (adopted) an existing connection of the entry taken over.
    std::uint32_t DialOwnEntry(bool& adopted);
    void HangUpOwnEntry();
    bool OwnDialConnected();

    // Any thread.
    void PostDialerCommand(int command, int delay, const std::string& detail = {});
    // The first connection of that entry (ignoring case), the first of all for ""; 0 for none.
    TRasHandle FindRasConnection(const std::string& entry);
    // 0 while a dial is being started, or when the entry has no connection.
    std::uint32_t EntryConnectState(const std::string& entry);
    TRasHandle OwnConnection() const { return OwnRasConnection; }
    // Takes over whatever connection is up when the dialer holds none; whether it now holds one.
    bool AdoptAnyConnection();
    void StampLastDialAttempt();

    bool Asking() const { return FAsking; }
    bool SkipQuestion() const { return FSkipQuestion; }
    bool OwnDialActive() const { return FOwnDialActive; }
    std::uint32_t LastDialAttempt() const { return FLastDialAttempt; }
    int CommandDelay() const { return FCommandDelay; }

private:
    // Records the cause, then dials the own entry.
    void Dial(const std::string& cause);
    // Asks question; a Yes dials with cause (an empty one: the pending request's cause).
    void AskThenDial(const std::string& question, std::string cause);
    void Connected(bool adopted);
    // The entry of the own connection (UTF-8), else the own "AutoDialPhoneBookEntry".
    std::string OwnEntryName();
    void DialEnded();
    void WaitForMonitorPass();
    void PostOnlineState(bool online);
    std::uint32_t Now() const;

    const std::shared_ptr<TRasBackend> BackendOwner;
    TRasBackend& Backend;
    const TTickClock& Clock;
    TDialerLinks Links;
    // Tasks posted to the main thread do nothing once the dialer is gone.
    std::shared_ptr<std::atomic<bool>> Alive;

    std::mutex DialLock; // serialises dialling and hanging up
    std::atomic<TRasHandle> OwnRasConnection{0};
    std::atomic<bool> FOwnDialActive{false};
    std::atomic<std::uint32_t> FLastDialAttempt{0};
    std::uint32_t DialStartedAt = 0; // while DialingInProgress; 0 = none
    bool FAsking = false;
    bool FSkipQuestion = false;
    int FCommandDelay = 0;
    int FDelayedCommand = kDialerHangUp;
    std::string FDelayedRequester;
    std::string FExplicitCause; // of the explicit dial RequestDial asked for
};

} // namespace harbolt
