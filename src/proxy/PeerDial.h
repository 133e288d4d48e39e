#pragma once

// Dial on demand across the LAN: a computer that cannot dial itself asks the computers that can,
// with the dial requests every instance answers ("WOULD CONNECT?", then "CONNECT!"). One ask
// runs at a time; the requests that come meanwhile join it.

#include "net/Communication.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace harbolt {

// How many computers one ask tries at most: each may take two time limits.
constexpr std::size_t kMaxDialPeersAsked = 16;

// A computer that might dial for this one, from the roster and its replicated settings.
struct TDialPeer {
    std::string Name;    // Windows-1252
    std::string Address; // its "ProxyServerAddress"
    bool Alive = false;
    // "AutoDialEnabled" with an "AutoDialPhoneBookEntry", and its dial budget not spent.
    bool DialsOnDemand = false;
    std::int64_t MinutesThisMonth = 0; // through its "AutoDialPhoneBookEntry"
};

// The computers to ask, in order: alive, dialling on demand, with a server address that names a
// host and a port, and not the own computer. autoDialPeers ("AutoDialPeers": comma-separated
// names, case ignored) picks and orders them; empty takes all, fewest minutes this month first
// (then by name). At most kMaxDialPeersAsked.
std::vector<TDialPeer> ChooseDialPeers(const std::vector<TDialPeer>& known,
                                       std::string_view autoDialPeers, std::string_view ownName);

// The computers the roster hears alive (Windows-1252 names): the main thread sets them once a
// second, the asks read them.
void SetAliveComputers(std::vector<std::string> names);
// Every computer of the database that is in that list, with its replicated settings.
std::vector<TDialPeer> KnownDialPeers();

// What a computer asked said, as the status shows it.
enum class TPeerReply {
    Yes,           // "WOULD CONNECT?" answered "YES"
    No,            // ... "NO" (or anything else)
    Connecting,    // "CONNECT!" answered "CONNECTING": it dials
    CannotConnect, // ... "CANNOT CONNECT"
    Error,         // ... anything else
    Refused,       // no connection could be made
    Silent,        // no whole answer within the time limit
};
std::string PeerReplyText(TPeerReply reply);

// Sends request (and argument as its second line) to a computer's server port and reads the
// first answer: what "WOULD CONNECT?" sends until it closes, the first line of any other.
using TPeerQuestion = std::function<TPeerReply(
    const std::string& address, const std::string& request, const std::string& argument)>;
// Over the network, with limits for the connect and for the answer (milliseconds).
TPeerQuestion NetworkPeerQuestion(int connectLimit = 5000, int answerLimit = 5000);

// What `ctl status` shows of the asks.
struct TPeerDialStatus {
    bool Asked = false;      // an ask was made in this run
    bool Asking = false;     // one runs now
    std::string Peer;        // the computer asked last (Windows-1252)
    std::string Address;     // its server address
    std::string Answer;      // PeerReplyText of its answer; "" while waiting for it
    bool Dialled = false;    // a computer said it dials, for the current or last ask
    std::size_t Waiting = 0; // requests waiting for the current ask and the dial it started
};

// One ask: the requests that joined it wait for its end, then for the announcement.
struct TDialAsk {
    std::atomic<bool> Over{false};
    std::atomic<bool> PeerDials{false}; // a computer answered "CONNECTING"
    std::uint32_t Ended = 0;            // tick of the end (guarded by the asker's lock)
};

// The asking side. Thread-safe; the asks run on a thread of their own.
class TPeerDialAsker {
public:
    // candidates: the known computers, asked for at the start of each ask. clock: the ticks
    // that bound how long a finished ask that made a computer dial is joined. lastAnnouncement:
    // the tick of the latest online announcement (0: none yet), which ends that dial's wait.
    TPeerDialAsker(TPeerQuestion question, std::function<std::vector<TDialPeer>()> candidates,
                   const TTickClock& clock, std::function<std::uint32_t()> lastAnnouncement);
    ~TPeerDialAsker();
    TPeerDialAsker(const TPeerDialAsker&) = delete;
    TPeerDialAsker& operator=(const TPeerDialAsker&) = delete;

    // Joins the running ask, or the dial a finished one started (for 60 s after it, until an
    // online announcement), or starts a new one for cause (what the request wants). The ticket
    // counts as waiting until released.
    class TTicket {
    public:
        TTicket(TPeerDialAsker& asker, std::shared_ptr<TDialAsk> ask);
        ~TTicket();
        TTicket(const TTicket&) = delete;
        TTicket& operator=(const TTicket&) = delete;
        const TDialAsk& Ask() const { return *FAsk; }

    private:
        TPeerDialAsker& FAsker;
        std::shared_ptr<TDialAsk> FAsk;
    };
    std::unique_ptr<TTicket> Join(const std::string& cause);

    TPeerDialStatus Status() const;
    // Waits for a running ask to end (tests; the destructor does it too).
    void WaitIdle();

private:
    void Run(std::shared_ptr<TDialAsk> ask, std::string cause);
    // Whether the current ask still gathers requests: it runs, or the dial it started is under
    // way, or it found nobody a moment ago. Under FLock.
    bool CurrentJoinable() const;

    const TPeerQuestion FQuestion;
    const std::function<std::vector<TDialPeer>()> FCandidates;
    const TTickClock& FClock;
    const std::function<std::uint32_t()> FLastAnnouncement;
    mutable std::mutex FLock;
    std::shared_ptr<TDialAsk> FCurrent; // guarded by FLock, as the rest
    TPeerDialStatus FStatus;
    bool FRunning = false; // an ask's thread runs
    std::condition_variable FIdle;
};

// The instance's asker, made on first use from the links below; never destroyed (a request may
// still wait on it while the program ends).
TPeerDialAsker& PeerDialAsker();
// Tests replace whom the instance's asker asks (by default ChooseDialPeers of KnownDialPeers
// with the own "AutoDialPeers") and how; empty functions restore the defaults.
void SetDialPeerLinks(std::function<std::vector<TDialPeer>()> candidates,
                      TPeerQuestion question = {});

} // namespace harbolt
