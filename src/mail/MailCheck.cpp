#include "mail/MailCheck.h"

#include "dialup/Dialer.h"
#include "mail/MailAccounts.h"
#include "net/Communication.h"
#include "net/PeerHandshake.h"
#include "platform/EventLog.h"
#include "proxy/ProxyState.h"

#include <limits>
#include <memory>
#include <set>
#include <thread>

namespace harbolt {

namespace {

using TMailGuard = std::lock_guard<std::recursive_mutex>;

constexpr int kLineCapacity = 1024;

void WriteLine(TBufferedCommunication& channel, const std::string& line) {
    channel.SendText(line);
    channel.SendLineEnd();
    channel.Flush();
}

bool Positive(const std::string& reply) {
    return !reply.empty() && reply[0] == '+';
}

// The account's Checking flag, cleared at the end of every check.
void EndCheck(std::uint64_t accountId) {
    TMailGuard guard(MailLock);
    if (MailAccounts == nullptr)
        return;
    if (TPop3Account* account = MailAccounts->FindById(accountId))
        account->Checking = false;
}

// Steps 1 to 12 of a check; returning early or raising ends it.
void CheckAccount(std::uint64_t accountId, std::unique_ptr<TBufferedCommunication>& channel) {
    bool trigger = false;
    std::string cause;
    {
        TMailGuard guard(MailLock);
        if (MailAccounts == nullptr)
            return;
        trigger = MailAccounts->Trigger;
        if (const TPop3Account* account = MailAccounts->FindById(accountId))
            cause = "mail " + account->Name;
    }
    // A spent dial budget ends the check at once, as nobody online would.
    const TOnlineLookup online = FindOnlineProxy(trigger, nullptr, cause);
    const std::string& address = online.Address;
    if (online.DialRefused || address.empty())
        return;

    std::string server;
    std::string user;
    std::string password;
    {
        TMailGuard guard(MailLock);
        TPop3Account* account =
            MailAccounts == nullptr ? nullptr : MailAccounts->FindById(accountId);
        if (account == nullptr)
            return;
        server = account->Server;
        user = account->User;
        password = account->Password;
    }

    channel = TCommunication::CreateUnconnected(false, false);
    channel->Connect(address);
    AuthenticateToPeer(*channel, address);
    // The online computer's proxy connects through; the check is no Internet activity of the
    // user's, so it must not keep the line up.
    channel->SendText("SOCKPROXY V1 (NT)");
    channel->SendLineEnd();
    channel->SendText("IGNORE TRAFFIC");
    channel->SendLineEnd();
    WriteLine(*channel,
              "CONNECT " + server + (server.find(':') == std::string::npos ? ":110" : ""));

    channel->ReceiveLine(kLineCapacity); // greeting

    WriteLine(*channel, "USER " + user);
    if (!Positive(channel->ReceiveLine(kLineCapacity))) {
        WriteLine(*channel, "USER " + user);
        if (!Positive(channel->ReceiveLine(kLineCapacity)))
            return;
    }
    WriteLine(*channel, "PASS " + ScramblePassword(password));
    if (!Positive(channel->ReceiveLine(kLineCapacity)))
        return;
    WriteLine(*channel, "UIDL");
    if (!Positive(channel->ReceiveLine(kLineCapacity)))
        return;

    std::set<std::string> current;
    for (;;) {
        const std::string line = channel->ReceiveLine(kLineCapacity);
        if (line == ".")
            break;
        const std::size_t blank = line.find(' ');
        current.insert(blank == std::string::npos ? std::string() : line.substr(blank + 1));
    }

    bool deleteAll = false;
    {
        TMailGuard guard(MailLock);
        TPop3Account* account =
            MailAccounts == nullptr ? nullptr : MailAccounts->FindById(accountId);
        if (account == nullptr)
            return;
        for (const std::string& uid : current) {
            if (account->UIDLs.insert(uid).second) {
                account->Changed = true;
                if ((account->Action & 3) != 0)
                    NewMailArrived = true;
            }
        }
        if (!current.empty() && (account->Action & 4) != 0)
            NewMailArrived = true;
        for (auto it = account->UIDLs.begin(); it != account->UIDLs.end();) {
            if (current.count(*it) == 0) {
                it = account->UIDLs.erase(it);
                account->Changed = true;
            } else {
                ++it;
            }
        }
        deleteAll = (account->Action & kMailDeleteAll) != 0;
    }

    if (deleteAll) {
        for (std::size_t i = 1; i <= current.size(); ++i) {
            WriteLine(*channel, "DELE " + std::to_string(i));
            channel->ReceiveLine(kLineCapacity);
        }
    }
    WriteLine(*channel, "QUIT");
    channel->ReceiveLine(kLineCapacity);
}

} // namespace

void RunMailCheck(std::uint64_t accountId) {
    std::unique_ptr<TBufferedCommunication> channel;
    try {
        CheckAccount(accountId, channel);
    } catch (...) {
        // Refused, closed or garbled: no message, the next cycle tries again.
    }
    try {
        channel.reset();
    } catch (...) {
    }
    EndCheck(accountId);
}

void StartMailCheck(std::uint64_t accountId) {
    std::thread(RunMailCheck, accountId).detach();
}

TMailSchedule::TMailSchedule(std::function<void(const std::string& soundFile)> playSound)
    : PlaySound(std::move(playSound)) {}

void TMailSchedule::Tick() {
    std::int32_t frequency = 0;
    std::string soundFile;
    {
        TMailGuard guard(MailLock);
        if (MailAccounts == nullptr)
            return;
        frequency = MailAccounts->Frequency;
        soundFile = MailAccounts->SoundFile;
    }
    // A frequency from a damaged file must not overflow the count-down.
    const std::int64_t interval64 = static_cast<std::int64_t>(frequency) * 60;
    const int interval = interval64 > std::numeric_limits<int>::max()
                             ? std::numeric_limits<int>::max()
                             : static_cast<int>(interval64 < std::numeric_limits<int>::min()
                                                    ? std::numeric_limits<int>::min()
                                                    : interval64);

    if (NewMailArrived.exchange(false)) {
        // One line a tick however many checks found mail, as the notice is one.
        LogEvent(TEventLevel::Info, "new mail");
        if (PlaySound)
            PlaySound(soundFile);
        MailIconCountdown = 60;
    }
    if (MailIconCountdown > 0)
        --MailIconCountdown;
    if (MailCountdown == 0)
        MailCountdown = interval;
    if (MailCountdown > 0) {
        const int was = MailCountdown--;
        if (was == 1) {
            {
                TMailGuard guard(MailLock);
                if (MailAccounts != nullptr)
                    MailAccounts->FireCheckingThreads();
            }
            MailCountdown = interval;
        }
    }
}

} // namespace harbolt
