#include "proxy/FtpProxy.h"

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "platform/Languages.h"
#include "proxy/ProxyState.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr std::uint32_t kConnectPhase = 5000; // milliseconds
constexpr int kControlPollMilliseconds = 50;
constexpr int kServerChunk = 2048;

constexpr int kDataPollMilliseconds = 50;
constexpr int kDataBacklog = 4; // room for a refused stranger besides the party waited for
constexpr int kDataChunk = 8192;
constexpr std::uint32_t kDataSilenceLimit = 600000; // milliseconds
constexpr auto kDataErrorPause = std::chrono::milliseconds(50);
constexpr auto kDataCloseDelay = std::chrono::milliseconds(1000);

constexpr int kTextBadSocket = 54;
constexpr int kTextCannotBind = 57;
constexpr int kTextCannotListen = 61;

std::atomic<int> RunningDataThreads{0};
std::atomic<std::uint64_t> DataRefused{0};

// Never destroyed: data threads may still refuse a connection while the program ends. Anyone
// who finds a data port can knock at will, so the lines are limited.
TEventRateLimit& RefusedDataLines() {
    static TEventRateLimit* const limit =
        new TEventRateLimit(FollowingProxyClock(), 5, "refused FTP data connections");
    return *limit;
}

void ReportRefusedActiveTarget(const sockaddr_in& target, const sockaddr_in& client) {
    ++DataRefused;
    RefusedDataLines().Log(TEventLevel::Warning,
                           "refused an FTP data connection to " +
                               AddressToDotted(target.sin_addr.s_addr) + ":" +
                               std::to_string(ntohs(target.sin_port)) + " for the client at " +
                               AddressToDotted(client.sin_addr.s_addr) +
                               ": only to the client's own address, port 1024 or above");
}

// Runs a data thread's work on a thread of its own, which holds the object until the work is
// done and lets it go before it is no longer counted.
void StartDataThread(std::function<void()> run) {
    ++RunningDataThreads;
    try {
        std::thread([run = std::move(run)]() mutable {
            run();
            run = nullptr;
            --RunningDataThreads;
        }).detach();
    } catch (...) {
        --RunningDataThreads;
        throw;
    }
}

const char* const kSyntaxError = "501 Syntax error in parameters or arguments.";
const char* const kNotImplemented = "502 Command not implemented.";
const char* const kOnlyIpv4 = "522 Network protocol not supported, use (1)";

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

[[noreturn]] void RaiseSocketError(int textIndex) {
    const int error = errno;
    throw ECommunication(std::string(LanguageText(textIndex)) + " (" + std::to_string(error) + ")");
}

void SendLine(TBufferedCommunication& channel, std::string_view line) {
    channel.SendText(line);
    channel.SendLineEnd();
    channel.Flush();
}

// Sends every byte; false when the peer is gone.
bool SendAll(TSocket socket, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

void CloseSocket(TSocket socket) {
    if (socket != kInvalidSocket)
        close(socket);
}

sockaddr_in SocketAddress(TSocket socket, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int result = peer ? getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                            : getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0)
        RaiseSocketError(kTextBadSocket);
    return address;
}

std::string_view WithoutBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// What follows a command word of length letters.
std::string_view ArgumentOf(std::string_view line, std::size_t letters) {
    return WithoutBlanks(line.substr(std::min(letters, line.size())));
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// A decimal number of at most digits digits; nullopt for anything else.
std::optional<std::uint32_t> SmallNumber(std::string_view text, std::size_t digits) {
    if (!AllDigits(text) || text.size() > digits)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text)
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    return value;
}

// "a.b.c.d" with four decimal bytes, in host byte order.
std::optional<std::uint32_t> DottedAddress(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::optional<std::uint32_t> byte = SmallNumber(text.substr(0, dot), 3);
        if (!byte || *byte > 255)
            return std::nullopt;
        address = (address << 8) | *byte;
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    return address;
}

// Copies both ways between two data sockets until one closes, a transfer fails or nothing has
// passed for the silence limit.
void CopyBothWays(TSocket fromServer, TSocket toClient, const TActivity& activity) {
    auto buffer = std::make_unique_for_overwrite<char[]>(kDataChunk);
    std::uint32_t lastChunk = GetTickCount();
    for (;;) {
        if (TicksSince(lastChunk, GetTickCount()) > kDataSilenceLimit)
            return;
        pollfd sockets[2] = {{fromServer, POLLIN, 0}, {toClient, POLLIN, 0}};
        const int ready = poll(sockets, 2, kDataPollMilliseconds);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            if (sockets[side].revents == 0)
                continue;
            const TSocket from = sockets[side].fd;
            const TSocket to = sockets[1 - side].fd;
            ssize_t received;
            do {
                received = recv(from, buffer.get(), kDataChunk, 0);
            } while (received < 0 && errno == EINTR);
            if (received <= 0)
                return;
            if (!SendAll(to, buffer.get(), static_cast<std::size_t>(received)))
                return;
            if (activity)
                activity();
            lastChunk = GetTickCount();
        }
    }
}

// Waits on a data port for a connection from party's address and returns it; whoever else
// connects is closed at once (the first to find the port must not get or give the data) and the
// wait goes on. kInvalidSocket once stop is set.
TSocket AcceptFrom(TSocket listenSocket, std::uint16_t port, const sockaddr_in& party,
                   const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd entry{listenSocket, POLLIN, 0};
        const int ready = poll(&entry, 1, kDataPollMilliseconds);
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(kDataErrorPause);
            continue;
        }
        if (ready == 0)
            RefusedDataLines().Tick(); // the summary of a minute with too many lines
        if (ready <= 0 || stop)
            continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const TSocket accepted =
            accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (accepted == kInvalidSocket) {
            // Out of descriptors, or the connection went away again: the listening socket would
            // stay readable, so do not spin.
            std::this_thread::sleep_for(kDataErrorPause);
            continue;
        }
        if (peer.sin_family == AF_INET && peer.sin_addr.s_addr == party.sin_addr.s_addr)
            return accepted;
        CloseSocket(accepted);
        ++DataRefused;
        RefusedDataLines().Log(TEventLevel::Warning,
                               "closed a connection from " + AddressToDotted(peer.sin_addr.s_addr) +
                                   " to FTP data port " + std::to_string(port) + ": it waits for " +
                                   AddressToDotted(party.sin_addr.s_addr));
    }
    return kInvalidSocket;
}

// The current data thread of a control connection, active or passive; whichever way the
// conversation ends, the thread is told to stop.
class TDataThreadSlot {
public:
    ~TDataThreadSlot() { Stop(); }
    void Stop() {
        if (fActive) {
            fActive->Stop();
            fActive.reset();
        }
        if (fPassive) {
            fPassive->Stop();
            fPassive.reset();
        }
    }
    void Set(std::shared_ptr<TDataConnectionThread> thread) { fActive = std::move(thread); }
    void Set(std::shared_ptr<TPassiveDataConnection> thread) { fPassive = std::move(thread); }

private:
    std::shared_ptr<TDataConnectionThread> fActive;
    std::shared_ptr<TPassiveDataConnection> fPassive;
};

// The login phase: answers the client program until it has logged in at its server. Returns
// the server channel after a 230, nullptr when the client quit.
std::unique_ptr<TBufferedCommunication> FtpLogin(TBufferedCommunication& client,
                                                 const TStopSignal& stop) {
    client.SetReceiveDeadline(RequestTimeLimit());
    SendLine(client, "220 Harbolt ftp-ProxyServer ready.");
    std::string user;
    std::string password;
    for (;;) {
        const std::string line = client.ReceiveLine(kFtpLineCapacity);
        if (FtpCommandIs(line, "QUIT")) {
            SendLine(client, "221 Goodbye.");
            return nullptr;
        }
        if (FtpCommandIs(line, "USER ")) {
            user = line.substr(5);
            SendLine(client, "331 Password required for " + user);
            password.clear();
            continue;
        }
        if (FtpCommandIs(line, "AUTH")) {
            // The proxy reads and rewrites the control lines, so it cannot pass TLS on: the
            // command is not offered here, and a client that may do without goes on in the clear.
            SendLine(client, kNotImplemented);
            continue;
        }
        if (!FtpCommandIs(line, "PASS ")) {
            // One reply per command: a client that asks for its features first would take a
            // second line as the answer to its next command.
            SendLine(client, "530 Please login with USER and PASS.");
            continue;
        }
        if (user.empty()) {
            SendLine(client, "503 Login with USER first.");
            continue;
        }
        password = line.substr(5);
        const std::size_t at = user.find('@');
        if (at == std::string::npos) {
            SendLine(client, "530 Login incorrect.");
            continue;
        }
        const std::string host = user.substr(at + 1);
        user.erase(at);
        const std::string endpoint = EndpointWithDefaultPort(host, "21");
        TConnectOutcome outcome = ConnectOnward(endpoint, kConnectPhase, stop);
        if (!outcome.Channel) {
            // No wrong password: the client hears why, and the service is not there for it.
            SendLine(client, "421 Cannot connect to " + endpoint + ": " + outcome.Reason);
            return nullptr;
        }
        std::unique_ptr<TBufferedCommunication> server = std::move(outcome.Channel);
        // A server that accepts and then says nothing must not hold the login either.
        server->SetReceiveDeadline(RequestTimeLimit());
        server->SendText("USER " + user);
        server->SendLineEnd();
        server->SendText("PASS " + password);
        server->SendLineEnd();
        server->Flush();
        // The greeting, the answer to USER and every continuation line are passed over.
        std::string reply;
        int code;
        do {
            reply = server->ReceiveLine(kFtpLineCapacity);
            code = FtpReplyCode(reply);
        } while (code != 230 && code != 530);
        SendLine(client, reply);
        if (code == 230) {
            client.SetReceiveDeadline(0);
            server->SetReceiveDeadline(0);
            return server;
        }
        // The server's refusal was the answer to PASS; a second line would be taken as the
        // answer to the client's next command.
        SendLine(*server, "QUIT");
        server->ReceiveLine(kFtpLineCapacity);
        server.reset();
    }
}

// Active mode, from PORT or EPRT: a data thread of our own takes the place of the client's port
// and the server is told that one's. What the proxy cannot serve never reaches the server.
void ServeActive(TBufferedCommunication& client, TBufferedCommunication& server,
                 const TFtpActiveCommand& command, TDataThreadSlot& data,
                 const TActivity& activity) {
    if (command.Verdict == TFtpActiveVerdict::Unsupported) {
        SendLine(client, kOnlyIpv4);
        return;
    }
    if (command.Verdict != TFtpActiveVerdict::Address) {
        SendLine(client, kSyntaxError);
        return;
    }
    // Through a mapping the control connection comes from the mapping's computer, which has
    // checked the client program's PORT the same way and names a data port of its own.
    const sockaddr_in clientAddress = SocketAddress(client.Socket(), true);
    if (!FtpActiveTargetAllowed(command.Address, clientAddress)) {
        ReportRefusedActiveTarget(command.Address, clientAddress);
        SendLine(client, kFtpActiveRefused);
        return;
    }
    data.Stop();
    sockaddr_in local = SocketAddress(server.Socket(), false);
    local.sin_port = 0;
    std::shared_ptr<TDataConnectionThread> thread;
    try {
        thread = TDataConnectionThread::Start(command.Address, local,
                                              SocketAddress(server.Socket(), true), activity);
    } catch (const ECommunication& failure) {
        // No port to offer (out of descriptors or ports): the conversation itself goes on.
        SendLine(client, std::string("425 Cannot open data connection: ") + failure.what());
        return;
    }
    const sockaddr_in listening = thread->ListenAddress();
    data.Set(std::move(thread));
    SendLine(server, FtpPortCommand(listening));
}

// Passive mode, from PASV or EPSV: the proxy asks the server for a passive port and connects
// there, then opens a port of its own where the client program reaches it (the local address of
// the client channel) and names that one.
void ServePassive(TBufferedCommunication& client, TBufferedCommunication& server, bool extended,
                  TDataThreadSlot& data, const TActivity& activity, const TStopSignal& stop) {
    data.Stop();
    SendLine(server, "PASV");
    // A server that never answers must not hold the conversation for ever.
    server.SetReceiveDeadline(RequestTimeLimit());
    std::string reply;
    for (;;) {
        reply = server.ReceiveLine(kFtpLineCapacity);
        const int code = FtpReplyCode(reply);
        if (code == 227 || code >= 400)
            break;
        // The rest of an earlier reply, still on its way when the client asked.
        SendLine(client, reply);
    }
    server.SetReceiveDeadline(0);
    if (FtpReplyCode(reply) != 227) {
        SendLine(client, reply); // the server offers no passive mode: the client may try PORT
        return;
    }
    const std::optional<std::uint16_t> port = FtpPassivePort(reply);
    if (!port) {
        SendLine(client,
                 "425 Cannot open data connection: the server's passive reply is unreadable");
        return;
    }
    // The server's own address, whatever its reply named.
    const sockaddr_in serverAddress = SocketAddress(server.Socket(), true);
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &serverAddress.sin_addr, dotted, sizeof dotted);
    TConnectOutcome outcome =
        ConnectOnward(std::string(dotted) + ":" + std::to_string(*port), kConnectPhase, stop);
    if (!outcome.Channel) {
        SendLine(client, "425 Cannot open data connection: " + outcome.Reason);
        return;
    }
    sockaddr_in local = SocketAddress(client.Socket(), false);
    local.sin_port = 0;
    std::shared_ptr<TPassiveDataConnection> passive;
    try {
        passive = TPassiveDataConnection::Start(local, SocketAddress(client.Socket(), true),
                                                std::move(outcome.Channel), activity);
    } catch (const ECommunication& failure) {
        // No port to offer (out of descriptors or ports): the conversation itself goes on.
        SendLine(client, std::string("425 Cannot open data connection: ") + failure.what());
        return;
    }
    const sockaddr_in listening = passive->ListenAddress();
    data.Set(std::move(passive));
    SendLine(client, extended ? FtpExtendedPassiveReply(ntohs(listening.sin_port))
                              : FtpPassiveReply(listening));
}

void ServeExtendedPassive(TBufferedCommunication& client, TBufferedCommunication& server,
                          std::string_view line, TDataThreadSlot& data, const TActivity& activity,
                          const TStopSignal& stop) {
    const std::string_view argument = ArgumentOf(line, 4);
    if (argument.empty() || argument == "1")
        ServePassive(client, server, true, data, activity, stop);
    else if (SameTextAscii(argument, "ALL"))
        // Every later data connection is passive anyway; the server must not hear it, since
        // the proxy itself asks it with PASV.
        SendLine(client, "200 EPSV ALL command successful.");
    else if (AllDigits(argument))
        SendLine(client, kOnlyIpv4);
    else
        SendLine(client, kSyntaxError);
}

// The relay phase after a successful login.
void FtpRelay(TBufferedCommunication& client, TBufferedCommunication& server,
              const TActivity& activity, const TStopSignal& stop) {
    TDataThreadSlot data;
    char chunk[kServerChunk];
    for (;;) {
        if (!server.WaitForIncomingData(0) && !client.WaitForIncomingData(0)) {
            pollfd sockets[3] = {{client.Socket(), POLLIN, 0},
                                 {server.Socket(), POLLIN, 0},
                                 {stop.WakeDescriptor(), POLLIN, 0}};
            poll(sockets, 3, kControlPollMilliseconds);
        }
        while (server.WaitForIncomingData(0)) {
            const int received = server.ReceiveSome(chunk, kServerChunk);
            if (received <= 0) {
                client.Flush();
                return;
            }
            if (activity)
                activity();
            client.Send(chunk, received);
        }
        client.Flush();
        if (stop.Raised())
            return;
        if (!client.WaitForIncomingData(0))
            continue;
        const std::string line = client.ReceiveLine(kFtpLineCapacity);
        if (activity)
            activity();
        if (FtpCommandIs(line, "QUIT")) {
            SendLine(server, "QUIT");
            SendLine(client, server.ReceiveLine(kFtpLineCapacity));
            return;
        }
        const TFtpActiveCommand active = ParseFtpActiveCommand(line);
        if (FtpCommandIs(line, "PASV"))
            ServePassive(client, server, false, data, activity, stop);
        else if (FtpCommandIs(line, "EPSV"))
            ServeExtendedPassive(client, server, line, data, activity, stop);
        else if (active.Verdict != TFtpActiveVerdict::NotActive)
            ServeActive(client, server, active, data, activity);
        else if (FtpCommandIs(line, "LPRT") || FtpCommandIs(line, "LPSV"))
            // The long forms would name data addresses past the rule of PORT.
            SendLine(client, kNotImplemented);
        else
            SendLine(server, line);
    }
}

} // namespace

bool FtpCommandIs(std::string_view line, std::string_view command) {
    if (line.size() < command.size())
        return false;
    for (std::size_t i = 0; i < command.size(); ++i)
        if (AsciiLower(line[i]) != AsciiLower(command[i]))
            return false;
    return true;
}

std::string EndpointWithDefaultPort(std::string_view host, std::string_view defaultPort) {
    std::string endpoint(host);
    if (endpoint.find(':') == std::string::npos) {
        endpoint += ':';
        endpoint += defaultPort;
    }
    return endpoint;
}

TFtpPortNumbers ScanFtpPortNumbers(std::string_view argument) {
    TFtpPortNumbers numbers;
    std::size_t at = 0;
    while (numbers.Count < 6) {
        while (at < argument.size() && (argument[at] == ' ' || argument[at] == ','))
            ++at;
        if (at == argument.size() || !IsDigit(argument[at]))
            break;
        std::uint32_t value = 0;
        for (; at < argument.size() && IsDigit(argument[at]); ++at)
            value = std::min(value * 10 + static_cast<std::uint32_t>(argument[at] - '0'),
                             kFtpNumberLimit);
        numbers.Values[static_cast<std::size_t>(numbers.Count++)] = value;
    }
    return numbers;
}

std::optional<sockaddr_in> FtpPortAddress(std::string_view argument) {
    const TFtpPortNumbers numbers = ScanFtpPortNumbers(argument);
    if (numbers.Count < 6)
        return std::nullopt;
    for (const std::uint32_t value : numbers.Values)
        if (value > 255)
            return std::nullopt;
    const auto& v = numbers.Values;
    const std::uint32_t port = v[4] * 256 + v[5];
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

std::string FtpPortCommand(const sockaddr_in& address) {
    const std::uint32_t host = ntohl(address.sin_addr.s_addr);
    const std::uint16_t port = ntohs(address.sin_port);
    char line[64];
    std::snprintf(line, sizeof line, "PORT %d,%d,%d,%d,%d,%d", static_cast<int>(host >> 24),
                  static_cast<int>((host >> 16) & 0xFF), static_cast<int>((host >> 8) & 0xFF),
                  static_cast<int>(host & 0xFF), port >> 8, port & 0xFF);
    return line;
}

TFtpEprt ParseFtpEprt(std::string_view argument) {
    TFtpEprt result;
    argument = WithoutBlanks(argument);
    if (argument.size() < 2)
        return result;
    const char delimiter = argument.front();
    if (delimiter < 33 || delimiter > 126 || IsDigit(delimiter) || delimiter == '.' ||
        argument.back() != delimiter)
        return result;
    const std::string_view inner = argument.substr(1, argument.size() - 2);
    const std::size_t first = inner.find(delimiter);
    const std::size_t second =
        first == std::string_view::npos ? first : inner.find(delimiter, first + 1);
    if (second == std::string_view::npos ||
        inner.find(delimiter, second + 1) != std::string_view::npos)
        return result;
    const std::string_view protocol = inner.substr(0, first);
    if (!AllDigits(protocol))
        return result;
    if (protocol != "1") {
        result.Verdict = TFtpEprtVerdict::Unsupported;
        return result;
    }
    const std::optional<std::uint32_t> host =
        DottedAddress(inner.substr(first + 1, second - first - 1));
    const std::optional<std::uint32_t> port = SmallNumber(inner.substr(second + 1), 5);
    if (!host || !port || *port > 65535)
        return result;
    result.Verdict = TFtpEprtVerdict::Address;
    result.Address.sin_family = AF_INET;
    result.Address.sin_addr.s_addr = htonl(*host);
    result.Address.sin_port = htons(static_cast<std::uint16_t>(*port));
    return result;
}

TFtpActiveCommand ParseFtpActiveCommand(std::string_view line) {
    TFtpActiveCommand command;
    if (FtpCommandIs(line, "PORT")) {
        const std::optional<sockaddr_in> address =
            FtpPortAddress(line.substr(std::min<std::size_t>(5, line.size())));
        command.Verdict = address ? TFtpActiveVerdict::Address : TFtpActiveVerdict::Malformed;
        command.Address = address.value_or(sockaddr_in{});
    } else if (FtpCommandIs(line, "EPRT")) {
        const TFtpEprt eprt = ParseFtpEprt(ArgumentOf(line, 4));
        command.Verdict = eprt.Verdict == TFtpEprtVerdict::Address ? TFtpActiveVerdict::Address
                          : eprt.Verdict == TFtpEprtVerdict::Unsupported
                              ? TFtpActiveVerdict::Unsupported
                              : TFtpActiveVerdict::Malformed;
        command.Address = eprt.Address;
    }
    return command;
}

bool FtpActiveTargetAllowed(const sockaddr_in& target, const sockaddr_in& client) {
    return target.sin_family == AF_INET && client.sin_family == AF_INET &&
           target.sin_addr.s_addr == client.sin_addr.s_addr && ntohs(target.sin_port) >= 1024;
}

const char* const kFtpActiveRefused =
    "501 Data connections go only to your own address, port 1024 or above.";

std::uint64_t FtpDataRefused() {
    return DataRefused.load();
}

std::optional<std::uint16_t> FtpPassivePort(std::string_view reply) {
    if (FtpReplyCode(reply) != 227)
        return std::nullopt;
    std::size_t at = 3;
    while (at < reply.size() && !IsDigit(reply[at]))
        ++at;
    const TFtpPortNumbers numbers = ScanFtpPortNumbers(reply.substr(at));
    if (numbers.Count < 6)
        return std::nullopt;
    for (const std::uint32_t value : numbers.Values)
        if (value > 255)
            return std::nullopt;
    const std::uint32_t port = numbers.Values[4] * 256 + numbers.Values[5];
    if (port == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::optional<std::uint16_t> FtpExtendedPassivePort(std::string_view reply) {
    if (FtpReplyCode(reply) != 229)
        return std::nullopt;
    const std::size_t open = reply.find('(');
    if (open == std::string_view::npos || reply.size() < open + 6)
        return std::nullopt;
    // "(|||port|)": three delimiters (no address, no protocol), the port, a fourth delimiter.
    std::string_view rest = reply.substr(open + 1);
    const char delimiter = rest[0];
    if (IsDigit(delimiter) || rest[1] != delimiter || rest[2] != delimiter)
        return std::nullopt;
    rest.remove_prefix(3);
    const std::size_t end = rest.find(delimiter);
    if (end == std::string_view::npos || end == 0 || end > 5 || !AllDigits(rest.substr(0, end)))
        return std::nullopt;
    const int port = std::stoi(std::string(rest.substr(0, end)));
    if (port < 1 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::string FtpPassiveReply(const sockaddr_in& address) {
    // The numbers are those of a PORT command.
    return "227 Entering Passive Mode (" + FtpPortCommand(address).substr(5) + ").";
}

std::string FtpExtendedPassiveReply(std::uint16_t port) {
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
}

int FtpReplyCode(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
        return -1;
    if (line.size() > 3 && line[3] == '-')
        return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// ---------------------------------------------------------------------------------------------
// TDataConnectionThread

TDataConnectionThread::TDataConnectionThread(const sockaddr_in& clientDataAddress,
                                             const sockaddr_in& serverAddress, TActivity activity)
    : fClientDataAddress(clientDataAddress), fServerAddress(serverAddress),
      fActivity(std::move(activity)) {}

TDataConnectionThread::~TDataConnectionThread() {
    CloseSocket(fListenSocket);
}

int TDataConnectionThread::Running() {
    return RunningDataThreads.load();
}

std::shared_ptr<TDataConnectionThread>
TDataConnectionThread::Start(const sockaddr_in& clientDataAddress, const sockaddr_in& listenAddress,
                             const sockaddr_in& serverAddress, TActivity activity) {
    std::shared_ptr<TDataConnectionThread> thread(
        new TDataConnectionThread(clientDataAddress, serverAddress, std::move(activity)));
    thread->fListenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (thread->fListenSocket == kInvalidSocket)
        RaiseSocketError(kTextBadSocket);
    sockaddr_in address = listenAddress;
    if (bind(thread->fListenSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0)
        RaiseSocketError(kTextCannotBind);
    socklen_t length = sizeof address;
    if (getsockname(thread->fListenSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        RaiseSocketError(kTextCannotBind);
    thread->fListenAddress = address;
    // Listening before the PORT command leaves: a server that connects at once must not be
    // refused.
    if (listen(thread->fListenSocket, kDataBacklog) != 0)
        RaiseSocketError(kTextCannotListen);
    StartDataThread([thread] { thread->Run(); });
    return thread;
}

void TDataConnectionThread::Run() {
    for (;;) {
        const TSocket fromServer =
            AcceptFrom(fListenSocket, ntohs(fListenAddress.sin_port), fServerAddress, fStopFlag);
        if (fromServer == kInvalidSocket)
            break;
        TSocket toClient = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int connected = -1;
        if (toClient != kInvalidSocket) {
            do {
                connected =
                    connect(toClient, reinterpret_cast<const sockaddr*>(&fClientDataAddress),
                            sizeof fClientDataAddress);
            } while (connected != 0 && errno == EINTR);
        }
        if (connected == 0) {
            CopyBothWays(fromServer, toClient, fActivity);
            shutdown(fromServer, SHUT_WR);
            shutdown(toClient, SHUT_WR);
            std::this_thread::sleep_for(kDataCloseDelay);
        }
        // A client side that cannot be reached closes the server's connection at once.
        CloseSocket(toClient);
        CloseSocket(fromServer);
    }
    CloseSocket(fListenSocket);
    fListenSocket = kInvalidSocket;
}

// ---------------------------------------------------------------------------------------------
// TPassiveDataConnection

TPassiveDataConnection::TPassiveDataConnection(const sockaddr_in& clientAddress,
                                               std::unique_ptr<TCommunication> serverData,
                                               TActivity activity)
    : fClientAddress(clientAddress), fServerData(std::move(serverData)),
      fActivity(std::move(activity)) {}

TPassiveDataConnection::~TPassiveDataConnection() {
    CloseSocket(fListenSocket);
}

std::shared_ptr<TPassiveDataConnection>
TPassiveDataConnection::Start(const sockaddr_in& listenAddress, const sockaddr_in& clientAddress,
                              std::unique_ptr<TCommunication> serverData, TActivity activity) {
    std::shared_ptr<TPassiveDataConnection> thread(
        new TPassiveDataConnection(clientAddress, std::move(serverData), std::move(activity)));
    thread->fListenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (thread->fListenSocket == kInvalidSocket)
        RaiseSocketError(kTextBadSocket);
    if (bind(thread->fListenSocket, reinterpret_cast<const sockaddr*>(&listenAddress),
             sizeof listenAddress) != 0)
        RaiseSocketError(kTextCannotBind);
    thread->fListenAddress = SocketAddress(thread->fListenSocket, false);
    // Listening before the port is named: a client that connects at once must not be refused.
    if (listen(thread->fListenSocket, kDataBacklog) != 0)
        RaiseSocketError(kTextCannotListen);
    StartDataThread([thread] { thread->Run(); });
    return thread;
}

void TPassiveDataConnection::Run() {
    const TSocket toClient =
        AcceptFrom(fListenSocket, ntohs(fListenAddress.sin_port), fClientAddress, fStopFlag);
    CloseSocket(fListenSocket);
    fListenSocket = kInvalidSocket;
    if (toClient != kInvalidSocket) {
        const TSocket fromServer = fServerData->Socket();
        CopyBothWays(fromServer, toClient, fActivity);
        shutdown(fromServer, SHUT_WR);
        shutdown(toClient, SHUT_WR);
        std::this_thread::sleep_for(kDataCloseDelay);
        CloseSocket(toClient);
    }
    fServerData.reset();
}

// ---------------------------------------------------------------------------------------------
// The mapping's side

std::string TFtpLineCutter::Take(std::string_view bytes, const TRewrite& rewrite) {
    std::string out;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
        const std::string_view piece = bytes.substr(0, length);
        bytes.remove_prefix(length);
        if (fPassing) {
            out += piece;
        } else {
            fHeld += piece;
            if (fHeld.size() > kLineLimit) {
                out += fHeld;
                fHeld.clear();
                fPassing = true;
            } else if (end != std::string_view::npos) {
                out += rewrite(fHeld);
                fHeld.clear();
            }
        }
        if (end != std::string_view::npos)
            fPassing = false;
    }
    return out;
}

std::string TFtpLineCutter::Rest() {
    return std::exchange(fHeld, std::string());
}

namespace {

constexpr std::size_t kMappingChunk = 16384;
constexpr auto kMappingSilenceLimit = std::chrono::seconds(900);

void SendAll(TBufferedCommunication& channel, std::string_view bytes) {
    channel.Send(bytes.data(), static_cast<int>(bytes.size()));
    channel.Flush();
}

std::string_view WithoutLineEnd(const std::string& line) {
    return std::string_view(line).substr(0, line.find_first_of("\r\n"));
}

class TMappingRelay {
public:
    TMappingRelay(TBufferedCommunication& client, TBufferedCommunication& server,
                  const TStopSignal& stop, const TActivity& activity)
        : fClient(client), fServer(server), fStop(stop), fActivity(activity),
          fClientAddress(SocketAddress(client.Socket(), true)),
          fOnlineAddress(SocketAddress(server.Socket(), true)) {}
    TMappingRelay(const TMappingRelay&) = delete;
    TMappingRelay& operator=(const TMappingRelay&) = delete;

    // One line from the client program, with its line end, as the online computer is to get it
    // ("" when it is answered here).
    std::string FromClient(const std::string& line) {
        const TFtpActiveCommand command = ParseFtpActiveCommand(WithoutLineEnd(line));
        // What is no data address the online computer answers as it does.
        if (command.Verdict != TFtpActiveVerdict::Address)
            return line;
        if (!FtpActiveTargetAllowed(command.Address, fClientAddress)) {
            ReportRefusedActiveTarget(command.Address, fClientAddress);
            SendAll(fClient, std::string(kFtpActiveRefused) + "\r\n");
            return "";
        }
        // The online computer connects only to the tunnel's source: a data port of this
        // computer's, on the address facing it, which takes the online computer alone.
        fData.Stop();
        sockaddr_in local = SocketAddress(fServer.Socket(), false);
        local.sin_port = 0;
        std::shared_ptr<TDataConnectionThread> thread;
        try {
            thread =
                TDataConnectionThread::Start(command.Address, local, fOnlineAddress, fActivity);
        } catch (const ECommunication& failure) {
            SendAll(fClient,
                    std::string("425 Cannot open data connection: ") + failure.what() + "\r\n");
            return "";
        }
        const sockaddr_in listening = thread->ListenAddress();
        fData.Set(std::move(thread));
        return FtpPortCommand(listening) + "\r\n";
    }

    // One line from the online computer, with its line end, as the client is to get it.
    std::string FromServer(const std::string& line) {
        const std::string_view text = WithoutLineEnd(line);
        std::optional<std::uint16_t> port = FtpPassivePort(text);
        const bool extended = !port;
        if (extended)
            port = FtpExtendedPassivePort(text);
        if (!port)
            return line;
        // The online computer's port, on the address this tunnel reached it at.
        TConnectOutcome outcome = ConnectOnward(AddressToDotted(fOnlineAddress.sin_addr.s_addr) +
                                                    ":" + std::to_string(*port),
                                                kConnectPhase, fStop);
        if (!outcome.Channel)
            return "425 Cannot open data connection: " + outcome.Reason + "\r\n";
        sockaddr_in local = SocketAddress(fClient.Socket(), false);
        local.sin_port = 0;
        fData.Stop();
        std::shared_ptr<TPassiveDataConnection> passive;
        try {
            passive = TPassiveDataConnection::Start(local, fClientAddress,
                                                    std::move(outcome.Channel), fActivity);
        } catch (const ECommunication& failure) {
            return std::string("425 Cannot open data connection: ") + failure.what() + "\r\n";
        }
        const sockaddr_in listening = passive->ListenAddress();
        fData.Set(std::move(passive));
        return (extended ? FtpExtendedPassiveReply(ntohs(listening.sin_port))
                         : FtpPassiveReply(listening)) +
               "\r\n";
    }

    void Run() {
        const TFtpLineCutter::TRewrite fromClient = [this](const std::string& line) {
            return FromClient(line);
        };
        const TFtpLineCutter::TRewrite fromServer = [this](const std::string& line) {
            return FromServer(line);
        };
        SendAll(fServer, fClientLines.Take(fClient.TakeHeld(), fromClient));
        SendAll(fClient, fServerLines.Take(fServer.TakeHeld(), fromServer));
        char chunk[kMappingChunk];
        auto lastMove = std::chrono::steady_clock::now();
        while (!fStop.Raised()) {
            pollfd watched[3] = {{fClient.Socket(), POLLIN, 0},
                                 {fServer.Socket(), POLLIN, 0},
                                 {fStop.WakeDescriptor(), POLLIN, 0}};
            const int ready = poll(watched, 3, 1000);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0) {
                if (std::chrono::steady_clock::now() - lastMove > kMappingSilenceLimit)
                    break;
                continue;
            }
            if (watched[0].revents != 0) {
                const ssize_t got = recv(fClient.Socket(), chunk, sizeof chunk, 0);
                if (got <= 0) {
                    // An unfinished line the client closed on still belongs to the server.
                    SendAll(fServer, fClientLines.Rest());
                    break;
                }
                const std::string_view bytes(chunk, static_cast<std::size_t>(got));
                SendAll(fServer, fClientLines.Take(bytes, fromClient));
                fActivity();
                lastMove = std::chrono::steady_clock::now();
            }
            if (watched[1].revents != 0) {
                const ssize_t got = recv(fServer.Socket(), chunk, sizeof chunk, 0);
                if (got <= 0) {
                    SendAll(fClient, fServerLines.Rest());
                    break;
                }
                const std::string_view bytes(chunk, static_cast<std::size_t>(got));
                SendAll(fClient, fServerLines.Take(bytes, fromServer));
                fActivity();
                lastMove = std::chrono::steady_clock::now();
            }
        }
    }

private:
    TBufferedCommunication& fClient;
    TBufferedCommunication& fServer;
    const TStopSignal& fStop;
    const TActivity& fActivity;
    const sockaddr_in fClientAddress; // the client program, on this computer's side
    const sockaddr_in fOnlineAddress; // the online computer, at the tunnel's other end
    TFtpLineCutter fClientLines;
    TFtpLineCutter fServerLines;
    TDataThreadSlot fData; // stops the data thread, however the relay ends
};

} // namespace

void RelayFtpMapping(TBufferedCommunication& client, TBufferedCommunication& server,
                     const TStopSignal& stop, const TActivity& activity) {
    TMappingRelay relay(client, server, stop, activity);
    server.Flush(); // the tunnel header
    relay.Run();
}

// ---------------------------------------------------------------------------------------------

void HandleFtpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* /*trace*/,
                    const TActivity& activity, const TStopSignal& stop) {
    try {
        std::unique_ptr<TBufferedCommunication> server = FtpLogin(*client, stop);
        if (server)
            FtpRelay(*client, *server, activity, stop);
    } catch (const std::exception&) {
        // A channel failed or a line was too long: both connections close.
    }
}

} // namespace harbolt
