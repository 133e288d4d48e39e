#include "proxy/PeerDial.h"

#include "database/Database.h"
#include "database/Journal.h"
#include "dialup/DialBudget.h"
#include "dialup/EventId.h"
#include "net/PeerHandshake.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "proxy/ProxyState.h"

#include <algorithm>
#include <array>

namespace harbolt {

namespace {

// A finished ask that made a computer dial is joined this long: its dial is under way.
constexpr std::uint32_t kDialJoinTime = 60000;
// ... and one that found nobody, so that the retries of the requests it failed do not ask the
// same computers again at once.
constexpr std::uint32_t kFailedAskHold = 5000;
constexpr int kWouldConnectAnswerCapacity = 64;

// "host:port" with both parts.
bool UsableAddress(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    return colon != std::string::npos && colon > 0 && colon + 1 < address.size();
}

std::vector<std::string> SplitNames(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view name = TrimBlanks(list.substr(start, comma - start));
        if (!name.empty())
            names.emplace_back(name);
        start = comma + 1;
    }
    return names;
}

std::mutex AliveLock;
std::vector<std::string> AliveNames; // guarded by AliveLock

std::mutex LinksLock;
std::function<std::vector<TDialPeer>()> CandidatesLink; // guarded by LinksLock
TPeerQuestion QuestionLink;

class TProxyTicks final : public TTickClock {
public:
    std::uint32_t Now() const override { return ProxyClock().Now(); }
};

} // namespace

std::vector<TDialPeer> ChooseDialPeers(const std::vector<TDialPeer>& known,
                                       std::string_view autoDialPeers, std::string_view ownName) {
    const auto usable = [&](const TDialPeer& peer) {
        return peer.Alive && peer.DialsOnDemand && UsableAddress(peer.Address) &&
               !SameTextAscii(peer.Name, ownName);
    };
    std::vector<TDialPeer> chosen;
    const std::vector<std::string> named = SplitNames(autoDialPeers);
    if (!named.empty()) {
        for (const std::string& name : named) {
            const auto found = std::find_if(known.begin(), known.end(), [&](const TDialPeer& p) {
                return SameTextAscii(p.Name, name);
            });
            const bool twice = std::any_of(chosen.begin(), chosen.end(), [&](const TDialPeer& p) {
                return SameTextAscii(p.Name, name);
            });
            if (found != known.end() && usable(*found) && !twice)
                chosen.push_back(*found);
        }
    } else {
        std::copy_if(known.begin(), known.end(), std::back_inserter(chosen), usable);
        std::stable_sort(chosen.begin(), chosen.end(), [](const TDialPeer& a, const TDialPeer& b) {
            return a.MinutesThisMonth != b.MinutesThisMonth
                       ? a.MinutesThisMonth < b.MinutesThisMonth
                       : a.Name < b.Name;
        });
    }
    if (chosen.size() > kMaxDialPeersAsked)
        chosen.resize(kMaxDialPeersAsked);
    return chosen;
}

void SetAliveComputers(std::vector<std::string> names) {
    const std::lock_guard lock(AliveLock);
    AliveNames = std::move(names);
}

std::vector<TDialPeer> KnownDialPeers() {
    std::vector<std::string> alive;
    {
        const std::lock_guard lock(AliveLock);
        alive = AliveNames;
    }
    std::vector<TDialPeer> peers;
    const std::lock_guard lock(DatabaseLock);
    if (TheDatabase == nullptr)
        return peers;
    std::vector<std::string> names;
    TheDatabase->GetNames(names);
    const TSystemTime now = GetLocalTime();
    for (const std::string& name : names) {
        if (std::none_of(alive.begin(), alive.end(),
                         [&](const std::string& a) { return SameTextAscii(a, name); }))
            continue;
        const TComputerData& computer = TheDatabase->FindComputer(name); // it exists
        TDialPeer peer;
        peer.Name = name;
        peer.Address = computer.GetProperty("ProxyServerAddress");
        peer.Alive = true;
        // Its budget as its replicated records tell it: a spent one would only answer "NO".
        const TDialBudget budget = ComputeDialBudget(computer, now);
        peer.DialsOnDemand = TextIsTrue(computer.GetProperty("AutoDialEnabled")) &&
                             !computer.GetProperty("AutoDialPhoneBookEntry").empty() &&
                             !budget.Blocked;
        peer.MinutesThisMonth = budget.MinutesUsed;
        peers.push_back(std::move(peer));
    }
    return peers;
}

std::string PeerReplyText(TPeerReply reply) {
    switch (reply) {
    case TPeerReply::Yes:
        return "YES";
    case TPeerReply::No:
        return "NO";
    case TPeerReply::Connecting:
        return "CONNECTING";
    case TPeerReply::CannotConnect:
        return "CANNOT CONNECT";
    case TPeerReply::Error:
        return "ERROR";
    case TPeerReply::Refused:
        return "refused";
    case TPeerReply::Silent:
        return "no answer";
    }
    return "ERROR";
}

TPeerQuestion NetworkPeerQuestion(int connectLimit, int answerLimit) {
    return [connectLimit, answerLimit](const std::string& address, const std::string& request,
                                       const std::string& argument) {
        auto channel = TCommunication::CreateUnconnected(false, false);
        const std::shared_ptr<TStopSignal> stop = CurrentProxyStop();
        try {
            channel->Connect(address, connectLimit, stop.get());
            AuthenticateToPeer(*channel, address);
        } catch (const std::exception&) {
            return TPeerReply::Refused;
        }
        try {
            channel->SetReceiveSilenceLimit(answerLimit);
            channel->SetReceiveDeadline(answerLimit);
            channel->SendText(request);
            channel->SendLineEnd();
            // One line, bounded, as the asked computer's cause record keeps it.
            channel->SendText(DialCauseText(argument));
            channel->SendLineEnd();
            channel->Flush();
            if (request == "WOULD CONNECT?") {
                // The answer has no line end: it is whatever comes before the close.
                std::string answer;
                std::array<char, kWouldConnectAnswerCapacity> bytes{};
                while (answer.size() < bytes.size()) {
                    const int got =
                        channel->ReceiveSome(bytes.data(), static_cast<int>(bytes.size()));
                    if (got <= 0)
                        break;
                    answer.append(bytes.data(), static_cast<std::size_t>(got));
                }
                return SameTextAscii(TrimBlanks(answer), "YES") ? TPeerReply::Yes : TPeerReply::No;
            }
            const std::string line = channel->ReceiveLine(kWouldConnectAnswerCapacity);
            if (SameTextAscii(line, "CONNECTING"))
                return TPeerReply::Connecting;
            if (SameTextAscii(line, "CANNOT CONNECT"))
                return TPeerReply::CannotConnect;
            return TPeerReply::Error;
        } catch (const std::exception&) {
            return TPeerReply::Silent;
        }
    };
}

TPeerDialAsker::TPeerDialAsker(TPeerQuestion question,
                               std::function<std::vector<TDialPeer>()> candidates,
                               const TTickClock& clock,
                               std::function<std::uint32_t()> lastAnnouncement)
    : FQuestion(std::move(question)), FCandidates(std::move(candidates)), FClock(clock),
      FLastAnnouncement(std::move(lastAnnouncement)) {}

bool TPeerDialAsker::CurrentJoinable() const {
    if (!FCurrent)
        return false;
    if (!FCurrent->Over)
        return true;
    const std::uint32_t now = FClock.Now();
    const std::uint32_t age = TicksSince(FCurrent->Ended, now);
    if (!FCurrent->PeerDials)
        return age < kFailedAskHold;
    // The dial it started is over once somebody announced being online after it.
    const std::uint32_t announced = FLastAnnouncement ? FLastAnnouncement() : 0;
    const bool announcedSince = announced != 0 && TicksSince(FCurrent->Ended, announced) <= age;
    return age < kDialJoinTime && !announcedSince;
}

TPeerDialAsker::~TPeerDialAsker() {
    WaitIdle();
}

void TPeerDialAsker::WaitIdle() {
    std::unique_lock lock(FLock);
    FIdle.wait(lock, [this] { return !FRunning; });
}

TPeerDialAsker::TTicket::TTicket(TPeerDialAsker& asker, std::shared_ptr<TDialAsk> ask)
    : FAsker(asker), FAsk(std::move(ask)) {}

TPeerDialAsker::TTicket::~TTicket() {
    const std::lock_guard lock(FAsker.FLock);
    if (FAsk == FAsker.FCurrent && FAsker.FStatus.Waiting > 0)
        --FAsker.FStatus.Waiting;
}

std::unique_ptr<TPeerDialAsker::TTicket> TPeerDialAsker::Join(const std::string& cause) {
    const std::lock_guard lock(FLock);
    if (!CurrentJoinable()) {
        // Detached: the instance's asker lives as long as the process, and one of tests waits
        // for its ask in WaitIdle. The last ask has ended (it sets Over under this lock).
        auto ask = std::make_shared<TDialAsk>();
        try {
            std::thread([this, ask, cause] { Run(ask, cause); }).detach();
            FRunning = true;
        } catch (const std::system_error&) {
            ask->Over = true; // no thread: the request fails as when nobody would dial
        }
        FCurrent = ask;
        FStatus.Asked = true;
        FStatus.Asking = !ask->Over;
        FStatus.Dialled = false;
        FStatus.Waiting = 0;
    }
    ++FStatus.Waiting;
    return std::make_unique<TTicket>(*this, FCurrent);
}

TPeerDialStatus TPeerDialAsker::Status() const {
    const std::lock_guard lock(FLock);
    TPeerDialStatus status = FStatus;
    // Once the last ask found nobody, or the dial it started is over, nobody waits for it.
    if (FCurrent && FCurrent->Over && (!FCurrent->PeerDials || !CurrentJoinable()))
        status.Waiting = 0;
    return status;
}

void TPeerDialAsker::Run(std::shared_ptr<TDialAsk> ask, std::string cause) {
    std::vector<TDialPeer> peers;
    try {
        peers = FCandidates ? FCandidates() : std::vector<TDialPeer>();
    } catch (const std::exception&) {
        // Nothing known to ask: the ask ends as when all said no.
    }
    std::string asked;
    bool dials = false;
    for (const TDialPeer& peer : peers) {
        const std::string name = Cp1252ToUtf8(peer.Name);
        asked += (asked.empty() ? "" : ", ") + name;
        {
            const std::lock_guard lock(FLock);
            FStatus.Peer = peer.Name;
            FStatus.Address = peer.Address;
            FStatus.Answer.clear();
        }
        LogEvent(TEventLevel::Info, "asking " + name + " to dial: " + Cp1252ToUtf8(cause));
        TPeerReply reply = FQuestion(peer.Address, "WOULD CONNECT?", "");
        if (reply == TPeerReply::Yes)
            reply = FQuestion(peer.Address, "CONNECT!", cause);
        {
            const std::lock_guard lock(FLock);
            FStatus.Answer = PeerReplyText(reply);
        }
        if (reply == TPeerReply::Connecting) {
            LogEvent(TEventLevel::Info, name + " dials for this computer");
            dials = true;
            break;
        }
        LogEvent(TEventLevel::Info, name + " answered " + PeerReplyText(reply));
    }
    if (!dials)
        LogEvent(TEventLevel::Warning,
                 asked.empty() ? "no computer would dial: none that dials on demand is alive"
                               : "no computer would dial: asked " + asked);
    const std::lock_guard lock(FLock);
    ask->PeerDials = dials;
    ask->Ended = FClock.Now();
    FStatus.Dialled = dials;
    FStatus.Asking = false;
    ask->Over = true;
    FRunning = false;
    // Under the lock: once it is released, a waiting destructor may end the asker, and this
    // thread touches nothing of it any more.
    FIdle.notify_all();
}

TPeerDialAsker& PeerDialAsker() {
    // The links are read at each use, so that they may be set after the first.
    static TPeerDialAsker* const asker = new TPeerDialAsker(
        [](const std::string& address, const std::string& request, const std::string& argument) {
            TPeerQuestion question;
            {
                const std::lock_guard lock(LinksLock);
                question = QuestionLink;
            }
            return (question ? question : NetworkPeerQuestion())(address, request, argument);
        },
        [] {
            std::function<std::vector<TDialPeer>()> candidates;
            {
                const std::lock_guard lock(LinksLock);
                candidates = CandidatesLink;
            }
            if (candidates)
                return candidates();
            return ChooseDialPeers(KnownDialPeers(),
                                   GetComputerProperty(OwnComputerName, "AutoDialPeers"),
                                   OwnComputerName);
        },
        *new TProxyTicks, [] { return OnlineAddressState().Time; });
    return *asker;
}

void SetDialPeerLinks(std::function<std::vector<TDialPeer>()> candidates, TPeerQuestion question) {
    const std::lock_guard lock(LinksLock);
    CandidatesLink = std::move(candidates);
    QuestionLink = std::move(question);
}

} // namespace harbolt
