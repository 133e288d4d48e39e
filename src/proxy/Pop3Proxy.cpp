#include "proxy/Pop3Proxy.h"

#include "platform/CodePage.h"
#include "proxy/FtpProxy.h"

#include <chrono>
#include <thread>

#include <sys/socket.h>

namespace harbolt {

namespace {

constexpr std::uint32_t kConnectPhase = 20000; // milliseconds
constexpr auto kFailurePause = std::chrono::milliseconds(50);
constexpr auto kRelayEndPause = std::chrono::milliseconds(50);
constexpr auto kCloseDelay = std::chrono::milliseconds(500);

void SendLine(TBufferedCommunication& channel, std::string_view line) {
    channel.SendText(line);
    channel.SendLineEnd();
    channel.Flush();
}

void RunPop3(TBufferedCommunication& client, std::FILE* trace, const TActivity& activity,
             const TStopSignal& stop) {
    client.SetReceiveDeadline(RequestTimeLimit());
    SendLine(client, "+OK Harbolt; please do USER username@pop3host");
    for (;;) {
        const std::string line = client.ReceiveLine(kPop3LineCapacity);
        const TPop3Command command = ParsePop3Command(line);
        if (command.Kind == TPop3CommandKind::Quit) {
            SendLine(client, "+OK Pop server signing off");
            return;
        }
        if (command.Kind == TPop3CommandKind::Unknown) {
            SendLine(client, "-ERR Unknown command: " + command.Text);
            continue;
        }
        const std::size_t separator = Pop3SeparatorPosition(command.Text);
        if (separator == std::string::npos) {
            SendLine(client, "-ERR Please do USER name@pop3host");
            continue;
        }
        const std::string user = command.Text.substr(0, separator);
        const std::string host = command.Text.substr(separator + 1);
        // A refused or unreachable server is told at once; only silence takes the whole phase.
        TConnectOutcome outcome =
            ConnectOnward(EndpointWithDefaultPort(host, "110"), kConnectPhase, stop);
        if (!outcome.Channel || stop.Raised()) {
            const std::string reason = outcome.Channel ? "the proxy is stopping" : outcome.Reason;
            SendLine(client, "-ERR Cannot connect to " + host + " (" + reason + ")");
            std::this_thread::sleep_for(kFailurePause);
            return;
        }
        std::unique_ptr<TBufferedCommunication> server = std::move(outcome.Channel);
        server->SetReceiveDeadline(RequestTimeLimit());
        server->ReceiveLine(kPop3LineCapacity); // the server's greeting
        server->SetReceiveDeadline(0);
        SendLine(*server, "USER " + user);
        client.SetReceiveDeadline(0);
        RelayBothWays(client, *server, trace, false, &stop, activity);
        std::this_thread::sleep_for(kRelayEndPause);
        shutdown(client.Socket(), SHUT_WR);
        shutdown(server->Socket(), SHUT_WR);
        std::this_thread::sleep_for(kCloseDelay);
        return;
    }
}

} // namespace

TPop3Command ParsePop3Command(std::string_view line) {
    if (SameTextAscii(line, "quit"))
        return {TPop3CommandKind::Quit, {}};
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return {TPop3CommandKind::Unknown, std::string(line)};
    const std::string_view word = line.substr(0, blank);
    if (!SameTextAscii(word, "user"))
        return {TPop3CommandKind::Unknown, std::string(word)};
    return {TPop3CommandKind::User, std::string(line.substr(blank + 1))};
}

std::size_t Pop3SeparatorPosition(std::string_view argument) {
    for (std::size_t at = argument.size(); at > 1; --at) {
        const char c = argument[at - 1];
        if (c == '@' || c == '#' || c == '$')
            return at - 1;
    }
    return std::string_view::npos;
}

void HandlePop3Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop) {
    try {
        RunPop3(*client, trace, activity, stop);
    } catch (const std::exception&) {
        // A channel failed or a line was too long: both connections close.
    }
}

} // namespace harbolt
