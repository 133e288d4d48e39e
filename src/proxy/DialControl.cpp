#include "proxy/DialControl.h"

#include "database/ComputerData.h"
#include "database/Database.h"
#include "database/Journal.h"
#include "dialup/DialBudget.h"
#include "dialup/RasManager.h"
#include "net/PeerHandshake.h"
#include "platform/CodePage.h"
#include "proxy/ProxyState.h"

#include <arpa/inet.h>
#include <chrono>
#include <sys/socket.h>
#include <thread>

namespace harbolt {

namespace {

constexpr std::uint32_t kFreshAddressTime = 5000;
constexpr std::uint32_t kDisconnectWait = 5000;
constexpr std::uint32_t kConnectWait = 60000;
constexpr int kTakeOverSilenceLimit = 10000;  // milliseconds without a byte
constexpr int kTakeOverConnectLimit = 5000;   // milliseconds
constexpr int kTakeOverDialogueLimit = 20000; // milliseconds for the whole answer

void Sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SendLine(TBufferedCommunication& channel, const std::string& text) {
    channel.SendText(text);
    channel.SendLineEnd();
}

bool SomebodyOnline() {
    std::string address;
    return FreshOnlineAddress(address);
}

std::string DottedAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

bool OwnSetting(const char* key) {
    return TextIsTrue(GetComputerProperty(OwnComputerName, key));
}

// Dial on demand is on and has an entry to dial: without one a dial could only fail.
bool OwnDialsOnDemand() {
    return OwnSetting("AutoDialEnabled") &&
           !GetComputerProperty(OwnComputerName, "AutoDialPhoneBookEntry").empty();
}

} // namespace

bool FreshOnlineAddress(std::string& address) {
    // The address is never cleared; an old one names a computer that has long gone offline.
    const TOnlineAddress online = OnlineAddressState();
    address = online.Address;
    return !online.Address.empty() && online.Time != 0 &&
           TicksSince(online.Time, ProxyClock().Now()) < kFreshAddressTime;
}

void AnswerDisconnect(TBufferedCommunication& channel, TDialer& dialer) {
    if (!dialer.AdoptAnyConnection()) {
        SendLine(channel, "CANNOT DISCONNECT");
        channel.Flush();
        Sleep(100);
        return;
    }
    const std::uint32_t begin = ProxyClock().Now();
    dialer.PostDialerCommand(kDialerHangUp, 0, DottedAddress(channel.RemoteAddress()));
    dialer.StampLastDialAttempt();
    SendLine(channel, "DISCONNECTING");
    channel.Flush();
    do {
        Sleep(100);
        channel.SendText(".");
        channel.Flush();
    } while (dialer.OwnConnection() != 0 &&
             TicksSince(begin, ProxyClock().Now()) <= kDisconnectWait);
    dialer.StampLastDialAttempt(); // the hold-off before dialling here again starts now
    channel.SendLineEnd();
    SendLine(channel, dialer.OwnConnection() != 0 ? "ERROR" : "SUCCESS");
    channel.Flush();
    Sleep(100);
}

void AnswerWouldConnect(TBufferedCommunication& channel) {
    // A spent budget would not dial on demand, so the asker had better look elsewhere.
    const bool would =
        OwnDialsOnDemand() && !OwnSetting("AutoDialAskBeforeDialing") && !OwnDialBudget().Blocked;
    channel.SendText(would ? "YES" : "NO");
    Sleep(50);
    channel.Flush();
}

void AnswerConnect(TBufferedCommunication& channel, TDialer& dialer, const std::string& wanted) {
    // The asker dials on demand through this computer, so the budget binds it as it binds the
    // own requests.
    if (SomebodyOnline() || !OwnDialsOnDemand() || OwnSetting("AutoDialAskBeforeDialing") ||
        OwnDialBudget().Blocked) {
        SendLine(channel, "CANNOT CONNECT");
        channel.Flush();
        Sleep(100);
        return;
    }
    const std::uint32_t begin = ProxyClock().Now();
    dialer.PostDialerCommand(kDialerRequestDial, 0,
                             PeerDialCause(DottedAddress(channel.RemoteAddress()), wanted));
    SendLine(channel, "CONNECTING");
    channel.Flush();
    for (int sleeps = 1;; ++sleeps) {
        Sleep(100);
        if (sleeps % 8 == 0) {
            channel.SendText(".");
            channel.Flush();
        }
        if (SomebodyOnline() || TicksSince(begin, ProxyClock().Now()) > kConnectWait)
            break;
    }
    channel.SendText(" nearly done ");
    channel.Flush();
    Sleep(1000);
    SendLine(channel, ".");
    SendLine(channel, SomebodyOnline() ? "SUCCESS" : "ERROR");
    channel.Flush();
    Sleep(100);
}

void AnswerOnline(TBufferedCommunication& channel, const std::string& activeConnection) {
    SendLine(channel, OwnComputerName);
    SendLine(channel, activeConnection);
    channel.Flush();
    Sleep(1000);
}

std::string HostileTakeOver(TDialer& dialer) {
    std::string address;
    if (!FreshOnlineAddress(address)) {
        dialer.RequestDial();
        return "nobody is online: dialling here";
    }
    auto channel = TCommunication::CreateUnconnected(false, false);
    // This runs on the main thread: an online computer that does not answer the connect, accepts
    // and then says nothing, or trickles its answer must not stop the instance. Its answer takes
    // about 5 s at most.
    channel->Connect(address, kTakeOverConnectLimit);
    AuthenticateToPeer(*channel, address);
    channel->SetReceiveSilenceLimit(kTakeOverSilenceLimit);
    channel->SetReceiveDeadline(kTakeOverDialogueLimit);
    SendLine(*channel, "DISCONNECT!");
    channel->SendLineEnd();
    channel->Flush();
    const std::string answer = channel->ReceiveLine(1024);
    if (!SameTextAscii(answer, "DISCONNECTING"))
        return "the online computer (" + Cp1252ToUtf8(address) + ") answered \"" +
               Cp1252ToUtf8(answer) + "\": nothing dialled";
    channel->ReceiveLine(1024); // the dots
    const std::string result = channel->ReceiveLine(1024);
    if (!SameTextAscii(result, "SUCCESS"))
        return "the online computer (" + Cp1252ToUtf8(address) + ") could not hang up (\"" +
               Cp1252ToUtf8(result) + "\"): nothing dialled";
    dialer.PostDialerCommand(kDialerRequestDial, 3);
    return "the online computer (" + Cp1252ToUtf8(address) +
           ") hung up: dialling here in 3 seconds";
}

} // namespace harbolt
