#include "proxy/FtpProxy.h"

#include "platform/Clock.h"
#include "platform/Languages.h"
#include "proxy/AccessRule.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
constexpr int kDataChunk = 8192;
constexpr std::uint32_t kDataSilenceLimit = 600000; // milliseconds
constexpr auto kDataErrorPause = std::chrono::milliseconds(50);
constexpr auto kDataCloseDelay = std::chrono::milliseconds(1000);

constexpr int kTextBadSocket = 54;
constexpr int kTextCannotBind = 57;
constexpr int kTextCannotListen = 61;

std::atomic<int> RunningDataThreads{0};

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

// The current data thread of a control connection; whichever way the conversation ends, the
// thread is told to stop.
class TDataThreadSlot {
public:
    ~TDataThreadSlot() { Stop(); }
    void Stop() {
        if (fThread) {
            fThread->Stop();
            fThread.reset();
        }
    }
    void Set(std::shared_ptr<TDataConnectionThread> thread) { fThread = std::move(thread); }

private:
    std::shared_ptr<TDataConnectionThread> fThread;
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
        if (!FtpCommandIs(line, "PASS ")) {
            SendLine(client, "530 Please login with USER and PASS.");
            SendLine(client, "500 command not understood.");
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
        std::unique_ptr<TBufferedCommunication> server =
            ConnectWithin(EndpointWithDefaultPort(host, "21"), kConnectPhase, stop);
        if (!server) {
            SendLine(client, "530 Login incorrect.");
            continue;
        }
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
        SendLine(*server, "QUIT");
        server->ReceiveLine(kFtpLineCapacity);
        server.reset();
        SendLine(client, "530 Login incorrect.");
    }
}

// The client's PORT command: a data thread of our own takes the place of the client's port.
void RewritePort(TBufferedCommunication& client, TBufferedCommunication& server,
                 const std::string& line, TDataThreadSlot& data, const TActivity& activity) {
    const std::optional<sockaddr_in> target =
        FtpPortAddress(std::string_view(line).substr(std::min<std::size_t>(5, line.size())));
    // The proxy connects to that address on behalf of whoever sends the command: only a
    // computer of the own network is a proper data address.
    if (!target || !ProxyAllows(*target)) {
        SendLine(client, "501 Syntax error in parameters or arguments.");
        return;
    }
    data.Stop();
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(server.Socket(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        RaiseSocketError(kTextBadSocket);
    local.sin_port = 0;
    std::shared_ptr<TDataConnectionThread> thread =
        TDataConnectionThread::Start(*target, local, activity);
    const sockaddr_in listening = thread->ListenAddress();
    data.Set(std::move(thread));
    SendLine(server, FtpPortCommand(listening));
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
        if (FtpCommandIs(line, "PASV"))
            SendLine(client, "502 Command not implemented.");
        else if (FtpCommandIs(line, "PORT"))
            RewritePort(client, server, line, data, activity);
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
    if (port < 1024)
        return std::nullopt;
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
                                             TActivity activity)
    : fClientDataAddress(clientDataAddress), fActivity(std::move(activity)) {}

TDataConnectionThread::~TDataConnectionThread() {
    CloseSocket(fListenSocket);
}

int TDataConnectionThread::Running() {
    return RunningDataThreads.load();
}

std::shared_ptr<TDataConnectionThread>
TDataConnectionThread::Start(const sockaddr_in& clientDataAddress, const sockaddr_in& listenAddress,
                             TActivity activity) {
    std::shared_ptr<TDataConnectionThread> thread(
        new TDataConnectionThread(clientDataAddress, std::move(activity)));
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
    if (listen(thread->fListenSocket, 1) != 0)
        RaiseSocketError(kTextCannotListen);
    ++RunningDataThreads;
    try {
        std::thread([thread]() mutable {
            thread->Run();
            thread.reset();
            --RunningDataThreads;
        }).detach();
    } catch (...) {
        --RunningDataThreads;
        throw;
    }
    return thread;
}

void TDataConnectionThread::Run() {
    while (!fStopFlag) {
        pollfd entry{fListenSocket, POLLIN, 0};
        const int ready = poll(&entry, 1, kDataPollMilliseconds);
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(kDataErrorPause);
            continue;
        }
        if (ready <= 0 || fStopFlag)
            continue;
        const TSocket fromServer = accept4(fListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (fromServer == kInvalidSocket) {
            // Out of descriptors, or the connection went away again: the listening socket would
            // stay readable, so do not spin.
            std::this_thread::sleep_for(kDataErrorPause);
            continue;
        }
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
            Copy(fromServer, toClient);
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

void TDataConnectionThread::Copy(TSocket fromServer, TSocket toClient) {
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
            if (fActivity)
                fActivity();
            lastChunk = GetTickCount();
        }
    }
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
