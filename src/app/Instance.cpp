#include "app/Instance.h"

#include "app/ProxyOptions.h"
#include "app/Sound.h"
#include "database/Database.h"
#include "dialup/DialBudget.h"
#include "dialup/Dialer.h"
#include "dialup/EventId.h"
#include "dialup/RasBackend.h"
#include "dialup/RasManager.h"
#include "mail/MailAccounts.h"
#include "mail/MailCheck.h"
#include "net/LanKey.h"
#include "net/SocketLayer.h"
#include "peer/ListeningThread.h"
#include "peer/Roster.h"
#include "peer/Sync.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/ComputerName.h"
#include "platform/EventLog.h"
#include "platform/Paths.h"
#include "platform/TimeSetter.h"
#include "proxy/AccessRule.h"
#include "proxy/DialControl.h"
#include "proxy/FtpProxy.h"
#include "proxy/HttpProxy.h"
#include "proxy/PeerDial.h"
#include "proxy/Pop3Proxy.h"
#include "proxy/ProxyServices.h"
#include "proxy/ProxyState.h"
#include "proxy/Sessions.h"
#include "proxy/Socks5Proxy.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace harbolt {

std::atomic<bool> ThreadsStop{false};

namespace {

// The roster tells the face what changed.
class TFaceRosterView final : public TRosterView {
public:
    explicit TFaceRosterView(TInstanceFace& face) : Face(face) {}
    void RefreshOnlineState() override { Face.RefreshOnlineState(); }
    void RefreshStatusLine() override { Face.RefreshStatusLine(); }
    void RefreshConnectionList() override { Face.RefreshConnectionList(); }
    void AddTab(const std::string& displayName) override {
        Face.ComputerAdded(Cp1252ToUtf8(displayName));
    }
    void RemoveTab(const std::string& displayName) override {
        Face.ComputerRemoved(Cp1252ToUtf8(displayName));
    }

private:
    TInstanceFace& Face;
};

// Written where no phone book exists yet, so that a person can set up the link with a text
// editor: every example is commented out, so the book has no entries until one is chosen.
constexpr const char* kPhoneBookTemplate =
    R"(# Harbolt's dial-up entries: how this computer brings its Internet link up, takes it down
# and tells whether it is up. Each [section] is one entry; "Dial on demand" in the proxy
# settings offers them by name. Remove the "# " before the lines of the example that fits and
# change what differs here. Harbolt reads this file again whenever it changes.

# A modem or DSL line run by pppd:
# [Provider]
# dial = pon provider
# hangup = poff provider
# interface = ppp0

# A connection of NetworkManager (LTE, a Wi-Fi hotspot, a VPN):
# [LTE]
# dial = nmcli connection up id LTE
# hangup = nmcli connection down id LTE
# check = nmcli -t -f NAME connection show --active | grep -qx LTE

# A link that is always there (a router on this interface): online whenever it is up.
# [Router]
# dial = true
# hangup = true
# interface = eth0
)";

void WritePhoneBookTemplate(const std::string& path) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file < 0) {
        if (errno != EEXIST)
            LogEvent(TEventLevel::Warning, "cannot write " + path + ": " + std::strerror(errno));
        return;
    }
    const std::string_view text = kPhoneBookTemplate;
    const bool written =
        ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(file) != 0 || !written) {
        LogEvent(TEventLevel::Warning, "cannot write " + path);
        ::unlink(path.c_str());
    }
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string U(const std::string& cp1252) {
    return Cp1252ToUtf8(cp1252);
}

using TMailGuard = std::lock_guard<std::recursive_mutex>;

// The words of `ctl mail set` store what the mail settings dialog stores.
static_assert(kMailActionWords[0].Action == kMailNotifyNew);
static_assert(kMailActionWords[1].Action == kMailNotifyPresent);
static_assert(kMailActionWords[2].Action == kMailDeleteAll);
static_assert(kMailActionWords[3].Action == 0);

} // namespace

TInstance::TInstance(TInstanceOptions options, const TTickClock& clock, TTimeSetter& timeSetter)
    : Options(std::move(options)), Clock(clock), TimeSetter(timeSetter),
      Face(Options.Face != nullptr ? *Options.Face : HeadlessFace),
      View(std::make_unique<TFaceRosterView>(Face)) {
    Question.SetFace(&Face);
}

TInstance::~TInstance() {
    Shutdown();
    // The key is the process's; the next instance (in tests) reads its own.
    if (!LanKeyFingerprint().empty())
        SetCurrentLanKey(nullptr);
}

std::string TInstance::DataFileName() const {
    return FileInDirectory(Options.DataDir, "Harbolt.DAT");
}

std::string TInstance::MailFileName() const {
    return FileInDirectory(Options.DataDir, "HarboltMail.DAT");
}

void TInstance::Log(const std::string& line) const {
    LogEvent(TEventLevel::Detail, line);
}

void TInstance::Start() {
    SetEventLogVerbose(Options.Verbose);
    ClearIncomingQueue();
    OwnComputerName = Options.Name.empty() ? LocalComputerName() : Utf8ToCp1252(Options.Name);
    LoadWinSock();
    Log("computer name " + U(OwnComputerName) + ", data directory " + Options.DataDir);

    const std::string phoneBook = FileInDirectory(Options.DataDir, "phonebook.conf");
    if (Options.Dialup == "sim")
        Dialup = CreateSimulatedBackend(phoneBook, Options.PostToMainThread);
    else if (Options.Dialup == "commands") {
        WritePhoneBookTemplate(phoneBook);
        Dialup = CreateCommandsBackend(phoneBook, Options.PostToMainThread);
    } else
        throw Exception("unknown dial-up layer '" + Options.Dialup + "' (commands or sim)");
    Monitor = std::make_shared<TRasManager>(*Dialup, Clock);
    if (Options.Network)
        Monitor->Start(); // its first pass comes a second later, with the database in place

    TDialerLinks dialerLinks;
    dialerLinks.Post = Options.PostToMainThread;
    dialerLinks.OnlineStateMessage = [this](bool online) {
        if (Peers)
            Peers->OnlineStateMessage(
                online,
                Database->FindComputer(OwnComputerName).GetProperty("AutoDialPhoneBookEntry"));
    };
    // Without windows the dial's failure is the event line the dialer writes; the same text
    // again would only repeat it.
    if (Options.Face != nullptr)
        dialerLinks.ShowMessage = [this](const std::string& text) { Face.ShowMessage(text); };
    dialerLinks.Ask = [this](const std::string& text, int defaultAnswer,
                             std::function<void(int)> answered) {
        Question.Ask(text, defaultAnswer, std::move(answered));
    };
    dialerLinks.NoteActivity = NoteProxyActivity;
    dialerLinks.LastActivity = LastProxyActivity;
    dialerLinks.Budget = OwnDialBudget;
    FDialer = std::make_shared<TDialer>(Dialup, Clock, std::move(dialerLinks));

    Database = std::make_unique<TDatabase>();
    const std::string dataFile = DataFileName();
    // A crash between the two renames of a save leaves only the backup: it is read then too.
    if (FileExists(dataFile) || FileExists(BackupFileName(dataFile))) {
        const TLoadResult loaded = Database->LoadKeepingDamaged(dataFile);
        DataKeepBackup = loaded.KeepBackup;
        NoteLoad(loaded);
    }
    // The mailboxes are this computer's own: they live in a file of their own.
    Mail = std::make_unique<TPop3Accounts>();
    const std::string mailFile = MailFileName();
    if (FileExists(mailFile) || FileExists(BackupFileName(mailFile))) {
        TMailGuard guard(MailLock);
        const TLoadResult loaded = Mail->LoadKeepingDamaged(mailFile);
        MailKeepBackup = loaded.KeepBackup;
        NoteLoad(loaded);
    }
    MailSchedule = std::make_unique<TMailSchedule>(
        [this](const std::string& soundFile) { Face.NewMail(U(soundFile)); });

    TComputerData& own = Database->FindComputer(OwnComputerName);
    LastSavedJournalEnd = own.GetJournalEnd();

    // Before the first datagram goes out or the server port opens.
    LoadLanKey(true);

    TPeerLinks links;
    links.SendDatagram = [this](const TDatagram& datagram) {
        if (Listener)
            Listener->QueueForSending(datagram);
        else
            PostIncomingDatagram(datagram.data(), datagram.size());
    };
    links.ActiveConnectionName = [this] { return Monitor->ActiveConnectionName(); };
    links.StartUpdatingSession = StartUpdatingSession;
    links.SetOnlineProxyAddress = SetOnlineProxyAddress;
    links.OnlineAddressFresh = OnlineAddressFresh;
    Peers = std::make_unique<TPeerProtocol>(Clock, TimeSetter, *View, std::move(links));
    Peers->FillFromDatabase();

    if (Options.Network) {
        Listener = std::make_unique<TListeningThread>(
            [] { return GetComputerProperty(OwnComputerName, "ProxyServerAddress"); }, ThreadsStop);
        Listener->Start();
    }

    SetProxyClock(Clock);
    SetProxyTraceDirectory(Options.DataDir);
    // The protocol handlers of the server port, and the dial requests of other computers; the
    // sessions share the dialer and may outlive us.
    TServerHandlers handlers;
    handlers.Http = HandleHttpProxy;
    handlers.Socks5 = HandleSocks5Proxy;
    handlers.Ftp = HandleFtpProxy;
    handlers.Pop3 = HandlePop3Proxy;
    handlers.Disconnect = [dialer = FDialer](std::unique_ptr<TBufferedCommunication> client,
                                             const std::string&) {
        AnswerDisconnect(*client, *dialer);
    };
    handlers.WouldConnect = [](std::unique_ptr<TBufferedCommunication> client, const std::string&) {
        AnswerWouldConnect(*client);
    };
    handlers.Connect = [dialer = FDialer](std::unique_ptr<TBufferedCommunication> client,
                                          const std::string& wanted) {
        AnswerConnect(*client, *dialer, wanted);
    };
    handlers.Online = [monitor = std::weak_ptr<TRasManager>(Monitor)](
                          std::unique_ptr<TBufferedCommunication> client, const std::string&) {
        const auto running = monitor.lock();
        AnswerOnline(*client, running ? running->ActiveConnectionName() : std::string());
    };
    SetServerHandlers(std::move(handlers));
    if (TextIsTrue(own.GetProperty("ProxyEnabled"))) {
        StartProxyServices();
        Log("proxy services started");
    }
}

void TInstance::ReceiveTimerProc() {
    WatchLanKey();
    Peers->ReceiveTimerProc();
    ReportRefusedConnections(); // the summary of a minute with more refusals than lines
}

void TInstance::FrequentSendTimerProc() {
    Peers->FrequentSendTimerProc();
}

void TInstance::OccasionalSendTimerProc() {
    Peers->OccasionalSendTimerProc();
}

void TInstance::UpdateTimerTimer() {
    Face.UpdateTimer();
    Peers->RefreshChangedEntries();
}

void TInstance::GoOnlineTimerTimer() {
    // Asks of the peers to dial run on threads of their own, and the roster is the main
    // thread's: they read this copy.
    std::vector<std::string> alive;
    for (const auto& [name, info] : Peers->Roster.Entries())
        if (info.Alive)
            alive.push_back(name);
    SetAliveComputers(std::move(alive));
    FDialer->GoOnlineTimer();
}

void TInstance::QuestionTimerTimer() {
    Question.Tick();
}

void TInstance::MailTimerTimer() {
    MailSchedule->Tick();
}

int TInstance::MailCountdown() const {
    return MailSchedule ? MailSchedule->MailCountdown : 0;
}

int TInstance::MailIconCountdown() const {
    return MailSchedule ? MailSchedule->MailIconCountdown : 0;
}

const TRoster& TInstance::Roster() const {
    return Peers->Roster;
}

TComputerData& TInstance::OwnComputer() {
    return Database->FindComputer(OwnComputerName);
}

TStatisticsScope TInstance::StatisticsScope(const std::optional<std::string>& computerUtf8) {
    TStatisticsScope scope;
    if (computerUtf8) {
        if (const TComputerData* computer = KnownComputer(*computerUtf8))
            scope.push_back(computer);
        return scope;
    }
    // A computer heard only by its presence has no data yet.
    for (const auto& entry : Peers->Roster.Entries())
        if (const TComputerData* computer = KnownComputer(U(entry.first)))
            scope.push_back(computer);
    return scope;
}

bool TInstance::OwnConnectionHeld() const {
    return FDialer && FDialer->OwnConnection() != 0;
}

void TInstance::SaveTimerTimer() {
    const std::int32_t end = Database->FindComputer(OwnComputerName).GetJournalEnd();
    // Only a save that succeeded counts: after a failure the next tick tries again.
    if (end != LastSavedJournalEnd) {
        if (SaveData(false))
            LastSavedJournalEnd = end;
    }
    TMailGuard guard(MailLock);
    if (Mail->CheckChanged())
        SaveMail(false);
}

bool TInstance::Save(const std::string& path, std::string& error, const std::function<void()>& save,
                     bool final) {
    try {
        save();
    } catch (const std::exception& e) {
        const std::string why = "cannot save " + path + ": " + e.what();
        if (error.empty() || final)
            LogEvent(TEventLevel::Error, why + (final ? "; its changes are lost" : ""));
        error = why;
        return false;
    }
    if (!error.empty())
        LogEvent(TEventLevel::Info, "saved " + path + " again");
    else
        Log("saved " + path);
    error.clear();
    return true;
}

void TInstance::NoteLoad(const TLoadResult& loaded) {
    if (loaded.Problem.empty())
        return;
    LogEvent(loaded.Loaded ? TEventLevel::Warning : TEventLevel::Error, loaded.Problem);
    LoadError += (LoadError.empty() ? "" : "; ") + loaded.Problem;
}

bool TInstance::SaveData(bool final) {
    const auto save = [this] {
        Database->SaveToFile(DataFileName(), DataKeepBackup);
        DataKeepBackup = false;
    };
    return Save(DataFileName(), DataSaveError, save, final);
}

void TInstance::SaveMail(bool final) {
    const auto save = [this] {
        Mail->SaveToFile(MailFileName(), MailKeepBackup);
        MailKeepBackup = false;
    };
    if (!Save(MailFileName(), MailSaveError, save, final))
        Mail->MarkChanged(); // the next tick tries again
}

void TInstance::Shutdown() {
    if (ShutDown || !Database)
        return;
    ShutDown = true;
    SetServerHandlers({});
    ThreadsStop = true;
    if (Listener)
        Listener->Wake(); // it sleeps until there is something to send or receive
    // Threads notice the flag within one wait; they are not joined beyond this grace.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    FDialer.reset();
    Monitor.reset(); // ends within its current pass; its records are written by then
    Listener.reset();
    Peers.reset();
    SaveData(true);
    if (Mail) {
        // Checks still running find no list any more and end without effect.
        TMailGuard guard(MailLock);
        SaveMail(true);
        Mail.reset();
    }
    MailSchedule.reset();
    // Listeners end within one accept wait; sessions run out on their own.
    StopProxyServices();
    SetProxyClock(SystemTickClock()); // ours may not outlive us
    Database.reset();
    Dialup.reset();
}

std::string TInstance::StatusLine(const TComputerData& computer) {
    const std::string name = computer.Name();
    const TInfo* info = Peers ? Peers->Roster.Find(DisplayName(name)) : nullptr;
    const bool alive = info != nullptr && info->Alive;
    const std::string shown = U(name);
    std::string line;
    if (alive)
        line += FormatText(18, shown);
    if (SameTextAscii(name, OwnComputerName)) {
        line += FormatText(19, shown);
    } else if (alive) {
        line += FormatText(20, shown);
    } else {
        const TSystemTime updated = computer.LastUpdate();
        line += FormatText(21, shown, ShortDateText(updated), ShortTimeText(updated));
    }
    return line;
}

std::string TInstance::OnlineText() {
    const auto* online = Peers ? Peers->Roster.OnlineComputer() : nullptr;
    if (online == nullptr)
        return LanguageText(17);
    return FormatText(16, U(online->first), U(online->second.ConnectionName));
}

TInstanceStatus TInstance::Status() {
    TInstanceStatus status;
    status.Name = U(OwnComputerName);
    status.Language = Language();
    status.OnlineText = OnlineText();
    status.Budget = OwnDialBudget();
    const TPeerDialStatus asked = PeerDialAsker().Status();
    status.PeerDial = {asked.Asked,  asked.Asking,  U(asked.Peer), U(asked.Address),
                       asked.Answer, asked.Dialled, asked.Waiting};
    status.LanKeyFingerprint = LanKeyFingerprint();
    const std::int64_t nowMs = UnixMilliseconds();
    for (const TUntrustedPeer& peer : UntrustedPeers())
        status.Untrusted.push_back({peer.Address, U(peer.Name), peer.DatagramsDropped,
                                    peer.ConnectionsRefused, TrustFailureText(peer.LastFailure),
                                    std::max<std::int64_t>(0, (nowMs - peer.LastUnixMs) / 1000)});
    const TSystemTime now = GetLocalTime();
    for (const auto& [name, info] : Peers->Roster.Entries()) {
        // Asking must not create the entry: it would keep the roster's spelling of the name
        // instead of the name as the computer sends it. Until its first data-info datagram
        // arrives, a computer heard only by its presence is shown from a stand-in.
        TComputerData standIn;
        standIn.SetName(name);
        standIn.SetOwn(false);
        const TComputerData* known = KnownComputer(U(name));
        const TComputerData& computer = known != nullptr ? *known : standIn;
        TComputerStatus entry;
        entry.Name = U(name);
        entry.Alive = info.Alive;
        entry.Online = info.Online;
        entry.Connection = U(info.ConnectionName);
        entry.JournalEnd = computer.GetJournalEnd();
        entry.Status = StatusLine(computer);
        entry.Budget = ComputeDialBudget(computer, now);
        status.Computers.push_back(std::move(entry));
    }
    if (const auto question = Question.Current())
        status.Question = TQuestionStatus{question->Text, question->DefaultAnswer == kAnswerYes,
                                          question->SecondsLeft};
    status.NewMail = MailIconCountdown();
    for (const std::string* error : {&DataSaveError, &MailSaveError})
        if (!error->empty())
            status.SaveError += (status.SaveError.empty() ? "" : "; ") + *error;
    status.LoadError = LoadError; // paths and names in it are UTF-8 already
    return status;
}

TComputerData* TInstance::KnownComputer(const std::string& nameUtf8) {
    const std::string name = Utf8ToCp1252(nameUtf8);
    std::vector<std::string> names;
    Database->GetNames(names);
    for (const std::string& known : names)
        if (SameTextAscii(known, name))
            return &Database->FindComputer(known);
    return nullptr;
}

std::optional<TComputerData::TPropertyList> TInstance::ListProperties(const std::string& computer,
                                                                      bool all) {
    TComputerData* data =
        computer.empty() ? &Database->FindComputer(OwnComputerName) : KnownComputer(computer);
    if (data == nullptr)
        return std::nullopt;
    // Key order, dial-up records only when asked for: as the property list shows them.
    TComputerData::TPropertyList list;
    for (const auto& [key, value] : data->Properties())
        if (all || !IsEventID(key))
            list.emplace_back(U(key), U(value));
    return list;
}

std::string TInstance::GetOwnProperty(const std::string& key) {
    return U(Database->FindComputer(OwnComputerName).GetProperty(Utf8ToCp1252(key)));
}

void TInstance::SetOwnProperty(const std::string& key, const std::string& value) {
    Database->FindComputer(OwnComputerName).SetProperty(Utf8ToCp1252(key), Utf8ToCp1252(value));
}

bool TInstance::CopyToOwn(const std::string& computer, const std::string& key) {
    TComputerData* data = KnownComputer(computer);
    if (data == nullptr)
        return false;
    if (key.empty())
        return true;
    const std::string k = Utf8ToCp1252(key);
    Database->FindComputer(OwnComputerName).SetProperty(k, data->GetProperty(k));
    return true;
}

bool TInstance::Retransmit(const std::string& computer) {
    TComputerData* data = KnownComputer(computer);
    if (data == nullptr || data->IsOwn())
        return false;
    data->Reset();
    return true;
}

std::vector<std::string> TInstance::PhoneBookEntries() {
    std::vector<std::string> entries;
    if (!Dialup || Dialup->EnumEntries(entries) != 0)
        return {};
    for (std::string& entry : entries)
        entry = U(entry);
    return entries;
}

std::string TInstance::LocalHostName() const {
    return Options.LocalHostName ? Options.LocalHostName() : U(harbolt::LocalHostName());
}

TDialsReport TInstance::Dials(int year, int month) {
    const TComputerData& own = Database->FindComputer(OwnComputerName);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d", year, month);
    TDialsReport report;
    report.Month = text;
    report.Entry = U(own.GetProperty("AutoDialPhoneBookEntry"));
    for (const TDialEntry& dial : ListDials(own, year, month)) {
        const TEventID& at = dial.Start;
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", at.Year, at.Month, at.Day,
                      at.Hour, at.Minute, at.Second);
        report.Dials.push_back({text, dial.Minutes, U(dial.Cause)});
    }
    return report;
}

TLinesStatus TInstance::Lines() {
    TLinesStatus status;
    status.Layer = Options.Dialup;
    status.PhoneBook = FileInDirectory(Options.DataDir, "phonebook.conf");
    if (!Dialup) {
        status.Failure = "the dial-up layer has not started";
        return status;
    }
    std::vector<std::string> entries;
    if (const std::uint32_t error = Dialup->EnumEntries(entries); error != 0) {
        status.Failure = U(Dialup->ErrorString(error)) + " (" + std::to_string(error) + ")";
        return status;
    }
    std::vector<TRasConnectionInfo> connections;
    Dialup->EnumConnections(connections); // a failure leaves them all down
    const std::string autoDialEntry =
        Database ? Database->FindComputer(OwnComputerName).GetProperty("AutoDialPhoneBookEntry")
                 : std::string();
    const TRasHandle own = FDialer ? FDialer->OwnConnection() : 0;
    for (const std::string& entry : entries) {
        TLineStatus line;
        line.Entry = U(entry);
        line.State = "down";
        for (const TRasConnectionInfo& connection : connections) {
            if (!SameTextAscii(connection.EntryName, entry))
                continue;
            std::uint32_t state = 0;
            const bool up =
                Dialup->GetConnectStatus(connection.Handle, state) == 0 && state == kRasConnected;
            line.State = up ? "up" : "coming up";
            line.Dialling = own != 0 && connection.Handle == own;
            break;
        }
        line.AutoDialEntry = !autoDialEntry.empty() && SameTextAscii(autoDialEntry, entry);
        status.Lines.push_back(std::move(line));
    }
    return status;
}

bool TInstance::SetLine(const std::string& entry, bool up) {
    return Dialup && Dialup->SetSimulatedLine(Utf8ToCp1252(entry), up);
}

TProxyServicesStatus TInstance::ProxyServices() {
    const TProxyStatus proxy = ProxyStatus();
    TProxyServicesStatus status;
    status.Running = proxy.Running;
    for (const TListenerInfo& listener : proxy.Listeners) {
        TProxyListenerStatus entry;
        entry.Slot = listener.Slot;
        entry.Address = U(listener.Address);
        entry.Bound = listener.Bound;
        entry.Failure = U(listener.Failure);
        entry.Destination = U(listener.Destination);
        entry.Trigger = listener.Trigger;
        if (listener.Slot == kServerSlot)
            entry.Name = "server";
        else if (listener.Slot == kTcpDnsSlot)
            entry.Name = "dns tcp";
        else if (listener.Slot == kUdpDnsSlot)
            entry.Name = "dns udp";
        else
            entry.Name = "mapping " + std::to_string(listener.Slot);
        status.Listeners.push_back(std::move(entry));
    }
    status.OnlineAddress = U(proxy.OnlineAddress);
    status.OnlineAddressAge = proxy.OnlineAddressAge;
    status.Refused = proxy.Refused;
    status.LoopsRefused = proxy.LoopsRefused;
    status.OverCap = proxy.OverCap;
    status.FtpDataRefused = proxy.FtpDataRefused;
    status.DnsAnswersDropped = proxy.DnsAnswersDropped;
    status.OverShare = proxy.OverShare;
    status.NetworksConfigured = proxy.NetworksConfigured;
    status.AllowedNetworks = proxy.AllowedNetworks;
    return status;
}

bool TInstance::RestartProxyServices() {
    // What the settings dialog's OK does: through stopped, then on again when switched on.
    StopProxyServices();
    if (!TextIsTrue(Database->FindComputer(OwnComputerName).GetProperty("ProxyEnabled")))
        return false;
    StartProxyServices();
    return true;
}

std::optional<int> TInstance::AddProxyMapping(const std::string& text) {
    return TProxyOptions(*this).StoreMapping(std::nullopt, text);
}

bool TInstance::RemoveProxyMapping(int index) {
    TProxyOptions options(*this);
    for (const TMappingLine& line : options.Mappings())
        if (line.Index == index)
            return options.RemoveMapping(line);
    return false;
}

std::string TInstance::Connect() {
    FDialer->RequestDial();
    const std::string entry =
        U(Database->FindComputer(OwnComputerName).GetProperty("AutoDialPhoneBookEntry"));
    return "dialling \"" + entry + "\" at the next tick";
}

std::string TInstance::Disconnect() {
    if (FDialer->OwnConnection() == 0)
        return "no connection of Harbolt's own is up: nothing hung up";
    FDialer->HangUp();
    return "hung up";
}

std::string TInstance::TakeOver() {
    return HostileTakeOver(*FDialer);
}

void TInstance::SetDialLogin(const std::string& user, const std::string& password) {
    TComputerData& own = Database->FindComputer(OwnComputerName);
    own.SetProperty("AutoDialUsername", Utf8ToCp1252(user));
    own.SetProperty("AutoDialPassword", ScramblePassword(Utf8ToCp1252(password)));
}

namespace {

// The key file as the watch compares it; absent when it cannot be examined.
template <typename TState> TState LanKeyFileNow(const std::string& path) {
    TState state;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return state;
    state.Present = true;
    state.Device = static_cast<std::uint64_t>(status.st_dev);
    state.Inode = static_cast<std::uint64_t>(status.st_ino);
    state.Size = static_cast<std::int64_t>(status.st_size);
    state.ModifiedNs =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return state;
}

constexpr const char* kTrustedAll = "every computer on the LAN is trusted";

} // namespace

void TInstance::LoadLanKey(bool starting) {
    const std::string path = LanKeyFilePath(Options.DataDir);
    LanKeyFile = LanKeyFileNow<TLanKeyFileState>(path);
    const auto current = CurrentLanKey();
    try {
        std::string warning;
        const std::optional<std::string> secret = ReadLanKeyFile(path, warning);
        if (!warning.empty())
            LogEvent(TEventLevel::Warning, warning);
        if (!secret) {
            if (current) {
                SetCurrentLanKey(nullptr);
                LogEvent(TEventLevel::Warning, std::string("LAN key removed: ") + kTrustedAll);
            }
            return;
        }
        const auto key = MakeLanKeyMaterial(*secret);
        if (current && current->Fingerprint == key->Fingerprint)
            return;
        SetCurrentLanKey(key);
        LogEvent(TEventLevel::Info, "LAN key set, fingerprint " + key->Fingerprint +
                                        ": only computers with the same key are trusted");
    } catch (const std::exception& e) {
        if (starting)
            throw Exception(std::string(e.what()) +
                            " (write the key into it again, or remove it to trust every computer)");
        LogEvent(TEventLevel::Error,
                 std::string(e.what()) +
                     (current ? "; the LAN key in use stays, fingerprint " + current->Fingerprint
                              : std::string("; no LAN key is in use")));
    }
}

void TInstance::WatchLanKey() {
    if (LanKeyFileNow<TLanKeyFileState>(LanKeyFilePath(Options.DataDir)) != LanKeyFile)
        LoadLanKey(false);
}

std::string TInstance::LanKeyFingerprint() {
    const auto key = CurrentLanKey();
    return key ? key->Fingerprint : std::string();
}

std::string TInstance::SetLanKey(const std::string& secret) {
    const auto key = MakeLanKeyMaterial(secret);
    const std::string path = LanKeyFilePath(Options.DataDir);
    WriteLanKeyFile(path, secret);
    LoadLanKey(false);
    if (LanKeyFingerprint() != key->Fingerprint)
        throw Exception("the key was written to " + path +
                        " but could not be put to use; the events log says why");
    return key->Fingerprint;
}

std::string TInstance::GenerateLanKey() {
    const std::string secret = GenerateLanKeySecret();
    SetLanKey(secret);
    return secret;
}

bool TInstance::ClearLanKey() {
    const bool had = !LanKeyFingerprint().empty();
    const bool removed = RemoveLanKeyFile(LanKeyFilePath(Options.DataDir));
    LoadLanKey(false);
    return had || removed;
}

TMailStatus TInstance::MailStatus() {
    TMailGuard guard(MailLock);
    TMailStatus status;
    status.Settings = {Mail->Frequency, Mail->Trigger, U(Mail->SoundFile)};
    for (const auto& account : Mail->Accounts)
        status.Mailboxes.push_back({U(account->Name), U(account->Server), U(account->User),
                                    account->Action, account->UIDLs.size(), account->Checking});
    return status;
}

TMailSetResult TInstance::SetMail(const TMailboxChange& mailbox) {
    const std::string name = Utf8ToCp1252(mailbox.Name);
    const std::string server = Utf8ToCp1252(mailbox.Server);
    const std::string user = Utf8ToCp1252(mailbox.User);
    TMailGuard guard(MailLock);
    TPop3Account* existing = Mail->Find(name);
    if (existing == nullptr && !mailbox.Password)
        return TMailSetResult::PasswordMissing;
    TMailSetResult result = TMailSetResult::Replaced;
    TPop3Account* account = existing;
    if (existing == nullptr) {
        Mail->Accounts.push_back(std::make_unique<TPop3Account>());
        account = Mail->Accounts.back().get();
        result = TMailSetResult::Created;
    } else if (existing->Server != server || existing->User != user) {
        // A new account in its place: the UIDs of another mailbox mean nothing here, and a check
        // of the old one that still runs finds its account no more and changes nothing.
        auto fresh = std::make_unique<TPop3Account>();
        fresh->Password = existing->Password;
        for (auto& slot : Mail->Accounts)
            if (slot.get() == existing) {
                slot = std::move(fresh);
                account = slot.get();
                break;
            }
        result = TMailSetResult::ReplacedForgettingUids;
    }
    account->Name = name;
    account->Server = server;
    account->User = user;
    if (mailbox.Password)
        account->Password = ScramblePassword(Utf8ToCp1252(*mailbox.Password));
    account->Action = mailbox.Action;
    // Without a dialog's OK to follow, the change itself is what the next save must write.
    Mail->Changed = true;
    return result;
}

bool TInstance::RemoveMail(const std::string& name) {
    TMailGuard guard(MailLock);
    const TPop3Account* account = Mail->Find(Utf8ToCp1252(name));
    if (account == nullptr)
        return false;
    std::erase_if(Mail->Accounts, [account](const auto& slot) { return slot.get() == account; });
    Mail->Changed = true;
    return true;
}

TMailSettingsStatus TInstance::SetMailSettings(const TMailSettingsChange& change) {
    TMailGuard guard(MailLock);
    if (change.Frequency)
        Mail->Frequency = *change.Frequency;
    if (change.Dial)
        Mail->Trigger = *change.Dial;
    if (change.SoundFile)
        Mail->SoundFile = Utf8ToCp1252(*change.SoundFile);
    if (change.Frequency || change.Dial || change.SoundFile)
        Mail->Changed = true;
    return {Mail->Frequency, Mail->Trigger, U(Mail->SoundFile)};
}

std::size_t TInstance::CheckMail() {
    TMailGuard guard(MailLock);
    const auto started = std::count_if(Mail->Accounts.begin(), Mail->Accounts.end(),
                                       [](const auto& account) { return !account->Checking; });
    Mail->FireCheckingThreads();
    return static_cast<std::size_t>(started);
}

bool TInstance::AnswerQuestion(bool yes) {
    return Question.Answer(yes ? kAnswerYes : kAnswerNo);
}

void TInstance::Quit() {
    if (QuitRequested)
        QuitRequested();
}

} // namespace harbolt
