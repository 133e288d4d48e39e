#pragma once

#include "app/Face.h"
#include "app/Question.h"
#include "database/ComputerData.h"
#include "dialup/ConnectionStatistics.h"
#include "dialup/DialBudget.h"
#include "platform/Exceptions.h"
#include "platform/Languages.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harbolt {

// What `harbolt ctl status` shows of one roster entry. Texts are UTF-8.
struct TComputerStatus {
    std::string Name; // as shown on its tab: first letter kept, A-Z lowered after it
    bool Alive = false;
    bool Online = false;
    std::string Connection;
    std::int32_t JournalEnd = 0;
    std::string Status; // the status line of its tab, in the instance's language
    TDialBudget Budget; // worked out from its replicated records
};

// The dialer's open question, if any.
struct TQuestionStatus {
    std::string Text; // UTF-8
    bool DefaultYes = false;
    int SecondsLeft = 0;
};

// One phone-book entry of the dial-up layer, as `ctl line list` shows it (UTF-8).
struct TLineStatus {
    std::string Entry;
    // "up", "coming up" (a connection exists but is not up yet) or "down".
    std::string State;
    bool Dialling = false;      // this instance's own dial holds it
    bool AutoDialEntry = false; // the own "AutoDialPhoneBookEntry"
};

struct TLinesStatus {
    std::string Layer;     // "commands" or "sim"
    std::string PhoneBook; // the file the entries come from
    std::vector<TLineStatus> Lines;
    std::string Failure; // why the entries could not be listed; empty when they could
};

// The last ask of other computers to dial for this one (texts UTF-8).
struct TPeerDialView {
    bool Asked = false;      // an ask was made in this run
    bool Asking = false;     // one runs now
    std::string Peer;        // the computer asked last
    std::string Address;     // its server address
    std::string Answer;      // "YES", "NO", "CONNECTING", "CANNOT CONNECT", "ERROR", "refused",
                             // "no answer"; "" while waiting for it
    bool Dialled = false;    // a computer said it dials
    std::size_t Waiting = 0; // requests waiting for the ask and the dial it started
};

// A computer heard but not trusted for want of the LAN key. Texts are UTF-8.
struct TUntrustedView {
    std::string Address;
    std::string Name; // the name its datagrams claimed; empty when only its connections came
    std::uint64_t DatagramsDropped = 0;
    std::uint64_t ConnectionsRefused = 0;
    std::string LastFailure;
    std::int64_t SecondsAgo = 0;
};

struct TInstanceStatus {
    std::string Name; // own computer name, UTF-8
    TLanguage Language = TLanguage::English;
    std::string OnlineText; // the tray's online entry: "(all offline)" or "(X online using Y)"
    std::vector<TComputerStatus> Computers; // roster order
    std::optional<TQuestionStatus> Question;
    int NewMail = 0; // seconds the new-mail notice still shows; 0: none
    // Why the data or the mail file could not be saved; empty once the saves succeed again.
    std::string SaveError;
    TDialBudget Budget;                    // the own computer's
    TPeerDialView PeerDial;                // asks of other computers to dial for this one
    std::string LanKeyFingerprint;         // empty: no LAN key, every computer is trusted
    std::vector<TUntrustedView> Untrusted; // newest first
    // What was wrong with the data or the mail file at start and what was loaded instead; empty
    // when both were read whole (or absent).
    std::string LoadError;
};

// What `harbolt ctl dials` shows: the own computer's dials of a month. Texts are UTF-8.
struct TDialLine {
    std::string Start;                   // local "YYYY-MM-DD hh:mm:ss"
    std::optional<std::int64_t> Minutes; // nullopt: the dial brought no connection
    std::string Cause;
};
struct TDialsReport {
    std::string Month; // "YYYY-MM"
    std::string Entry; // the own "AutoDialPhoneBookEntry"
    std::vector<TDialLine> Dials;
};

// What `harbolt ctl proxy status` shows. Texts are UTF-8.
struct TProxyListenerStatus {
    std::string Name; // "mapping 3", "server", "dns tcp", "dns udp"
    int Slot = 0;
    std::string Address; // bind address
    bool Bound = false;
    std::string Failure;     // why it is not bound (the last bind failure); empty while bound
    std::string Destination; // a mapping's destination, "host:port"; empty for the others
    bool Trigger = false;    // a mapping that may dial
};

struct TProxyServicesStatus {
    bool Running = false;
    std::vector<TProxyListenerStatus> Listeners;
    std::string OnlineAddress;
    std::optional<std::uint32_t> OnlineAddressAge; // milliseconds; nullopt: never announced
    std::uint64_t Refused = 0;
    std::uint64_t LoopsRefused = 0;  // tunnels to one of the own listeners, not made
    std::uint64_t OverCap = 0;       // connections past a listener's "ProxyMaxSessions", closed
    std::uint64_t OverShare = 0;     // connections past their source's share of it, closed
    bool NetworksConfigured = false; // "ProxyAllowedNetworks" replaces the interfaces' subnets
    std::vector<std::string> AllowedNetworks;
    // FTP data connections to another address than the client's, or from a stranger, refused
    std::uint64_t FtpDataRefused = 0;
    // Forged or stray DNS answers, not taken.
    std::uint64_t DnsAnswersDropped = 0;
};

// What `harbolt ctl mail` shows and changes. Texts are UTF-8; a password is never shown.
struct TMailboxStatus {
    std::string Name;
    std::string Server;
    std::string User;
    std::int32_t Action = 0; // the stored bits
    std::size_t Uids = 0;    // message UIDs remembered from the last check
    bool Checking = false;   // a check runs now
};

struct TMailSettingsStatus {
    std::int32_t Frequency = 3; // minutes between the cycles of checks
    bool Dial = false;          // a check may dial when nobody is online
    std::string SoundFile;
};

struct TMailStatus {
    TMailSettingsStatus Settings;
    std::vector<TMailboxStatus> Mailboxes; // list order
};

// The actions `harbolt ctl mail set` offers and the bits they store.
struct TMailActionWord {
    const char* Word;
    std::int32_t Action;
};
inline constexpr TMailActionWord kMailActionWords[] = {
    {"notify-new", 3}, {"notify-present", 7}, {"delete-all", 0x8000}, {"none", 0}};

// A mailbox to create, or to put in place of the first one of that name.
struct TMailboxChange {
    std::string Name;
    std::string Server;
    std::string User;
    std::optional<std::string> Password; // in clear; nullopt keeps the stored one
    std::int32_t Action = 0;
};

enum class TMailSetResult {
    Created,
    Replaced,               // the remembered UIDs stay: same server and user
    ReplacedForgettingUids, // another server or user: every message counts as new again
    PasswordMissing,        // a new mailbox needs a password; nothing changed
};

// The shared mail settings to change; nullopt leaves one as it is.
struct TMailSettingsChange {
    std::optional<std::int32_t> Frequency;
    std::optional<bool> Dial;
    std::optional<std::string> SoundFile;
};

// What the control command asks of a running instance. Runs on the instance's main thread only;
// every text in and out is UTF-8 (the instance converts to and from Windows-1252).
class TControlTarget {
public:
    virtual ~TControlTarget() = default;

    virtual TInstanceStatus Status() = 0;
    // A computer's properties as the property list shows them; nullopt when no computer of that
    // name is known. An empty name means the own computer.
    virtual std::optional<TComputerData::TPropertyList> ListProperties(const std::string& computer,
                                                                       bool all) = 0;
    virtual std::string GetOwnProperty(const std::string& key) = 0;
    // Sets (or with an empty value deletes) a property of the own computer, journalled.
    virtual void SetOwnProperty(const std::string& key, const std::string& value) = 0;
    // "Copy to own computer": false when the computer is unknown.
    virtual bool CopyToOwn(const std::string& computer, const std::string& key) = 0;
    // "Retransmit all data": false when the computer is unknown or is the own one.
    virtual bool Retransmit(const std::string& computer) = 0;
    // A confirmed quit: stop the threads, grace, final save, leave the main loop.
    virtual void Quit() = 0;
    // Opens the main window, on a computer's tab unless the name is empty; false when the
    // instance has no window or no such tab.
    virtual bool OpenMainWindow(const std::string& computer) {
        (void)computer;
        return false;
    }
    // What the main window shows; nullopt without one.
    virtual std::optional<TWindowView> WindowView() { return std::nullopt; }
    virtual TProxyServicesStatus ProxyServices() { return {}; }
    // Stops the proxy services and starts them again when "ProxyEnabled" is true; returns whether
    // they run.
    virtual bool RestartProxyServices() { return false; }
    // Stores a mapping text at the lowest free index, as the proxy settings' Set does; nullopt
    // when all 100 are taken. The services take it up at their next start.
    virtual std::optional<int> AddProxyMapping(const std::string& text) {
        (void)text;
        return std::nullopt;
    }
    // Deletes the mapping of that index; false when none is stored there.
    virtual bool RemoveProxyMapping(int index) {
        (void)index;
        return false;
    }
    // The dial commands of the tray menu; each returns what happened (UTF-8). TakeOver raises
    // Exception when the online computer cannot be reached.
    virtual std::string Connect() { return {}; }
    virtual std::string Disconnect() { return {}; }
    virtual std::string TakeOver() { return {}; }
    // "AutoDialUsername" and the scrambled "AutoDialPassword" of the own computer (UTF-8).
    virtual void SetDialLogin(const std::string& user, const std::string& password) {
        (void)user;
        (void)password;
    }
    // Answers the open question; false when none is open.
    virtual bool AnswerQuestion(bool yes) {
        (void)yes;
        return false;
    }
    // The dial-up layer's entries and their states.
    virtual TLinesStatus Lines() { return {}; }
    // The own dials of a month (1-12).
    virtual TDialsReport Dials(int year, int month) {
        (void)year;
        (void)month;
        return {};
    }
    // Brings a simulated dial-up line up or down; false when there is no such line.
    virtual bool SetLine(const std::string& entry, bool up) {
        (void)entry;
        (void)up;
        return false;
    }
    // The LAN key, a local secret kept in the data directory and never a property. The
    // fingerprint is empty without a key. SetLanKey stores and applies a key and returns its
    // fingerprint; GenerateLanKey does so with a new random key and returns the key; ClearLanKey
    // removes it and returns whether one was set. Each raises Exception with the reason and then
    // keeps the key that was in use.
    virtual std::string LanKeyFingerprint() { return {}; }
    virtual std::string SetLanKey(const std::string& secret) {
        (void)secret;
        throw Exception("this instance keeps no LAN key");
    }
    virtual std::string GenerateLanKey() { throw Exception("this instance keeps no LAN key"); }
    virtual bool ClearLanKey() { throw Exception("this instance keeps no LAN key"); }
    // The mail check: its mailboxes and shared settings.
    virtual TMailStatus MailStatus() { return {}; }
    // Creates the mailbox, or replaces the first one of its name (case-sensitive). Replacing keeps
    // the remembered UIDs only when the server and the user stay the same.
    virtual TMailSetResult SetMail(const TMailboxChange& mailbox) {
        (void)mailbox;
        return TMailSetResult::PasswordMissing;
    }
    // Removes the first mailbox of that name; false when there is none.
    virtual bool RemoveMail(const std::string& name) {
        (void)name;
        return false;
    }
    // Changes the settings given and returns them all as they are afterwards.
    virtual TMailSettingsStatus SetMailSettings(const TMailSettingsChange& change) {
        (void)change;
        return {};
    }
    // Starts a check of every mailbox that has none running; returns how many started.
    virtual std::size_t CheckMail() { return 0; }
};

} // namespace harbolt

// ---------------------------------------------------------------------------------------------
// The running instance without any toolkit: start-up, the timer procedures, saving and
// shut-down, and the main window's logic (roster, status line, online caption). The headless
// main loop drives it; the GUI will observe it.

namespace harbolt {

class TDialer;
class TListeningThread;
class TPeerProtocol;
class TRasBackend;
class TRasManager;
class TDatabase;
struct TLoadResult;
class TMailSchedule;
class TPop3Accounts;
class TRoster;
class TRosterView;
class TTickClock;
class TTimeSetter;

struct TInstanceOptions {
    std::string Name;     // computer name; empty: the host name
    std::string DataDir;  // where Harbolt.DAT lives
    std::string ClockLog; // record time-master settings here instead of setting the clock
    bool Verbose = false;
    // false: no listening thread and no dial-up monitor (tests drive the timers themselves)
    bool Network = true;
    std::string Dialup = "commands"; // dial-up layer: "commands" or "sim"
    // Runs a task on the main thread; dial progress arrives through it.
    std::function<void(std::function<void()>)> PostToMainThread;
    // Shows what happens (questions, messages, new mail, roster changes); nullptr: the headless
    // face. Must outlive the instance.
    TInstanceFace* Face = nullptr;
    // The host name the proxy settings propose for this computer's address; empty: the host's
    // canonical name.
    std::function<std::string()> LocalHostName;
};

// Set once when the program quits; background threads poll it.
extern std::atomic<bool> ThreadsStop;

class TInstance final : public TControlTarget {
public:
    TInstance(TInstanceOptions options, const TTickClock& clock, TTimeSetter& timeSetter);
    ~TInstance() override;

    // The start-up sequence; raises Exception with a clear message when set-up fails.
    void Start();

    void ReceiveTimerProc();
    void FrequentSendTimerProc();
    void OccasionalSendTimerProc();
    void UpdateTimerTimer();
    void SaveTimerTimer();
    void GoOnlineTimerTimer(); // the dialer, every 1000 ms
    void QuestionTimerTimer(); // the open question's count-down, every 1000 ms
    void MailTimerTimer();     // the mail schedule and the new-mail notice, every 1000 ms

    // Stops the threads, waits the grace time, saves. Safe to call more than once.
    void Shutdown();

    // Called by Quit (and so by `ctl quit`); the main loop ends itself there.
    std::function<void()> QuitRequested;

    // The status line of a computer's tab (UTF-8), as RefreshStatusLine builds it.
    std::string StatusLine(const TComputerData& computer);
    // The tray's online entry, "(all offline)" or "(X online using Y)" (UTF-8).
    std::string OnlineText();

    std::string DataFileName() const;
    std::string MailFileName() const;
    const std::string& DataDirectory() const { return Options.DataDir; }

    // TControlTarget
    TInstanceStatus Status() override;
    std::optional<TComputerData::TPropertyList> ListProperties(const std::string& computer,
                                                               bool all) override;
    std::string GetOwnProperty(const std::string& key) override;
    void SetOwnProperty(const std::string& key, const std::string& value) override;
    bool CopyToOwn(const std::string& computer, const std::string& key) override;
    bool Retransmit(const std::string& computer) override;
    void Quit() override;
    bool OpenMainWindow(const std::string& computer) override {
        return Face.OpenMainWindow(computer);
    }
    std::optional<TWindowView> WindowView() override { return Face.WindowView(); }
    TLinesStatus Lines() override;
    TDialsReport Dials(int year, int month) override;
    bool SetLine(const std::string& entry, bool up) override;
    TProxyServicesStatus ProxyServices() override;
    bool RestartProxyServices() override;
    std::optional<int> AddProxyMapping(const std::string& text) override;
    bool RemoveProxyMapping(int index) override;
    std::string Connect() override;
    std::string Disconnect() override;
    std::string TakeOver() override;
    bool AnswerQuestion(bool yes) override;
    void SetDialLogin(const std::string& user, const std::string& password) override;
    std::string LanKeyFingerprint() override;
    std::string SetLanKey(const std::string& secret) override;
    std::string GenerateLanKey() override;
    bool ClearLanKey() override;
    TMailStatus MailStatus() override;
    TMailSetResult SetMail(const TMailboxChange& mailbox) override;
    bool RemoveMail(const std::string& name) override;
    TMailSettingsStatus SetMailSettings(const TMailSettingsChange& change) override;
    std::size_t CheckMail() override;

    TDialer& Dialer() { return *FDialer; }
    // Seconds until the next cycle of mail checks (0 before the first tick).
    int MailCountdown() const;
    // Seconds the new-mail icon still shows.
    int MailIconCountdown() const;

    // For the windows (main thread): the roster, the computers and what the views compute.
    const TRoster& Roster() const;
    TComputerData& OwnComputer();
    // The computer of that name (UTF-8, ignoring case); nullptr when none is known. Never creates
    // an entry.
    TComputerData* KnownComputer(const std::string& nameUtf8);
    // The computers the statistics of a tab cover: that computer, or every computer of the
    // roster (roster order) for nullopt.
    TStatisticsScope StatisticsScope(const std::optional<std::string>& computerUtf8);
    // Whether the dialer holds a dial-up connection of its own.
    bool OwnConnectionHeld() const;
    // The open question, if any.
    std::optional<TQuestionState> OpenQuestion() const { return Question.Current(); }
    // The names of the dial-up entries (UTF-8); empty when they cannot be listed.
    std::vector<std::string> PhoneBookEntries();
    // This computer's host name (UTF-8), as proposed for the proxy address.
    std::string LocalHostName() const;

private:
    void Log(const std::string& line) const;
    // Saves path through save. A failure is kept in error and said on standard error when it is
    // new (or final: nothing comes after), a success after one is said once. Returns whether the
    // save succeeded.
    bool Save(const std::string& path, std::string& error, const std::function<void()>& save,
              bool final);
    bool SaveData(bool final);
    void SaveMail(bool final); // under MailLock
    // Says what a load at start found wrong, in the events log and the status.
    void NoteLoad(const TLoadResult& loaded);
    // Reads the LAN key file and applies what it holds. At start an unusable file raises (the
    // user asked for a key: the LAN must not be opened by mistake); later it keeps the key in
    // use and says why.
    void LoadLanKey(bool starting);
    // Every second: a key file changed by hand (copied from another computer) applies too.
    void WatchLanKey();

    TInstanceOptions Options;
    const TTickClock& Clock;
    TTimeSetter& TimeSetter;
    // Shared with proxy sessions that answer dial requests and may outlive the instance.
    std::shared_ptr<TRasBackend> Dialup;
    std::shared_ptr<TRasManager> Monitor;
    std::shared_ptr<TDialer> FDialer;
    THeadlessFace HeadlessFace;
    TInstanceFace& Face;
    std::unique_ptr<TRosterView> View; // the peer protocol's view of the roster: the face
    TQuestion Question;
    std::unique_ptr<TDatabase> Database;
    std::unique_ptr<TPeerProtocol> Peers;
    std::unique_ptr<TListeningThread> Listener;
    std::unique_ptr<TPop3Accounts> Mail; // MailAccounts while it lives
    std::unique_ptr<TMailSchedule> MailSchedule;
    std::int32_t LastSavedJournalEnd = 0;
    // Why the last save of each file failed; empty when it succeeded.
    std::string DataSaveError;
    std::string MailSaveError;
    std::string LoadError;
    // A damaged file that could not be moved aside must not become the backup: until a save
    // has replaced it.
    bool DataKeepBackup = false;
    bool MailKeepBackup = false;
    bool ShutDown = false;
    // What the key file was when last read: size, time and inode tell a change.
    struct TLanKeyFileState {
        bool Present = false;
        std::uint64_t Device = 0;
        std::uint64_t Inode = 0;
        std::int64_t Size = 0;
        std::int64_t ModifiedNs = 0;
        bool operator==(const TLanKeyFileState&) const = default;
    };
    TLanKeyFileState LanKeyFile;
};

} // namespace harbolt
