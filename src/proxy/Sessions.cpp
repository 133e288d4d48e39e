#include "proxy/Sessions.h"

#include "database/Stream.h"
#include "net/PeerHandshake.h"
#include "net/SocketLayer.h"
#include "peer/Sync.h"
#include "platform/CodePage.h"
#include "platform/Paths.h"
#include "proxy/FtpProxy.h"
#include "proxy/Listeners.h"
#include "proxy/Mapping.h"
#include "proxy/ProxyState.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr std::uint32_t kConnectPhase = 5000;
constexpr int kRetryPause = 100; // milliseconds
constexpr std::int32_t kNetworkUnreachable = 10051;

std::atomic<int> RequestLimit{kRequestTimeLimit};

std::mutex HandlersLock;
TServerHandlers Handlers;

TServerHandlers CurrentHandlers() {
    const std::lock_guard lock(HandlersLock);
    return Handlers;
}

void SendNow(TCommunication& channel, const std::string& bytes) {
    channel.Send(bytes.data(), static_cast<int>(bytes.size()));
    channel.Flush();
}

// Trace files hold the tunnelled bytes (passwords included): only the user may read them.
std::FILE* CreateTraceFile(std::int32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "LogFile%.4d.txt", number);
    const std::string path = FileInDirectory(ProxyTraceDirectory(), name);
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    // An older file of that name keeps its mode through O_CREAT; narrow it as well.
    std::FILE* file =
        descriptor < 0 || ::fchmod(descriptor, 0600) != 0 ? nullptr : ::fdopen(descriptor, "w");
    if (file == nullptr) {
        static std::atomic<bool> reported{false};
        const int error = errno;
        if (descriptor >= 0)
            ::close(descriptor);
        if (!reported.exchange(true))
            std::fprintf(stderr,
                         "harbolt: cannot write the trace file %s: %s; tracing without it\n",
                         path.c_str(), std::strerror(error));
    }
    return file;
}

struct TTraceFile {
    std::FILE* File = nullptr;
    ~TTraceFile() {
        if (File != nullptr)
            std::fclose(File);
    }
};

void RunTunnel(std::unique_ptr<TBufferedCommunication> client, std::string argument,
               const TActivity& activity, const TStopSignal& stop) {
    if (argument.compare(0, 8, "CONNECT ") == 0)
        argument.erase(0, 8);
    TTraceFile trace;
    if (ProxyLogAll) {
        trace.File = CreateTraceFile(LogFileCounter.fetch_add(1));
        if (trace.File != nullptr) {
            std::fputs(TraceHeaderLine(argument).c_str(), trace.File);
            std::fputc('\n', trace.File);
        }
    }
    const TServerHandlers handlers = CurrentHandlers();
    const TProxyHandler* handler = nullptr;
    if (argument == "HTTP PROXY")
        handler = &handlers.Http;
    else if (argument == "SOCKS5 PROXY")
        handler = &handlers.Socks5;
    else if (argument == "FTP PROXY")
        handler = &handlers.Ftp;
    else if (argument == "POP3 PROXY")
        handler = &handlers.Pop3;
    if (handler != nullptr) {
        if (*handler)
            (*handler)(std::move(client), trace.File, activity, stop);
        return; // without a handler the client is closed without a reply
    }
    std::unique_ptr<TBufferedCommunication> target = ConnectWithin(argument, kConnectPhase, stop);
    if (target && !stop.Raised()) {
        client->SetReceiveDeadline(0);
        RelayBothWays(*client, *target, trace.File, false, &stop, activity);
    }
}

void RunRouting(TBufferedCommunication& client, const std::string& argument,
                const TActivity& activity, const TStopSignal& stop) {
    static const std::string kPrefix = "TCP CONNECT TO ";
    if (argument.compare(0, kPrefix.size(), kPrefix) != 0) {
        SendNow(client, RoutingStatusRecord(2, 0, kNetworkUnreachable));
        return;
    }
    SendNow(client, RoutingStatusRecord(1, 0, 0));
    std::unique_ptr<TBufferedCommunication> target =
        ConnectWithin(argument.substr(kPrefix.size()), kConnectPhase, stop);
    if (!target || stop.Raised()) {
        SendNow(client, RoutingStatusRecord(4, -1, kNetworkUnreachable));
        return;
    }
    SendNow(client, RoutingStatusRecord(3, 0, 0));
    client.SetReceiveDeadline(0);
    RelayBothWays(client, *target, nullptr, false, &stop, activity);
}

void DialControl(const TDialControlHandler& handler, std::unique_ptr<TBufferedCommunication> client,
                 const std::string& argument) {
    if (handler)
        handler(std::move(client), argument);
}

// How long a client of an HTTP proxy mapping may take to show its request line, when a dial is
// about to be requested and its cause would name the site.
constexpr int kCausePeekWait = 50;

// "www.example.com:80" of an HTTP request line (the authority of an absolute target, or a
// CONNECT target) among the client's first bytes; "" when none is there yet.
std::string RequestedSite(const TBufferedCommunication& client, const TStopSignal& stop) {
    std::array<pollfd, 2> watched{pollfd{client.Socket(), POLLIN, 0},
                                  pollfd{stop.WakeDescriptor(), POLLIN, 0}};
    if (::poll(watched.data(), watched.size(), kCausePeekWait) <= 0 || watched[0].revents == 0)
        return {};
    std::array<char, 512> bytes{};
    const ssize_t got = recv(client.Socket(), bytes.data(), bytes.size(), MSG_PEEK | MSG_DONTWAIT);
    if (got <= 0)
        return {};
    const std::string_view head(bytes.data(), static_cast<std::size_t>(got));
    const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == std::string_view::npos)
        return {};
    std::string_view target = line.substr(methodEnd + 1);
    target = target.substr(0, target.find(' '));
    if (line.substr(0, methodEnd) == "CONNECT")
        return std::string(target);
    const std::size_t scheme = target.find("://");
    if (scheme == std::string_view::npos)
        return {};
    target.remove_prefix(scheme + 3);
    return std::string(target.substr(0, target.find('/')));
}

// Who asked for what, for the cause of a dial: the client's address and the mapping's
// destination ("10.0.0.5 www.example.com:80", "10.0.0.5 HTTP PROXY www.example.com:80").
std::string MappingDialCause(const TBufferedCommunication& client,
                             const std::string& destinationHost, const std::string& destinationPort,
                             const TStopSignal& stop) {
    const std::string requester = AddressToDotted(client.RemoteAddress().sin_addr.s_addr);
    switch (RecognizeDestination(destinationHost)) {
    case TProxyKind::Forward:
        return requester + " " + destinationHost + ":" + destinationPort;
    case TProxyKind::Http: {
        const std::string site = RequestedSite(client, stop);
        return requester + " HTTP PROXY" + (site.empty() ? "" : " " + site);
    }
    default:
        return requester + " " + TunnelTypeLine(destinationHost, destinationPort);
    }
}

} // namespace

void SetRequestTimeLimit(int milliseconds) {
    RequestLimit = milliseconds > 0 ? milliseconds : kRequestTimeLimit;
}

int RequestTimeLimit() {
    return RequestLimit;
}

bool PauseUnlessStopped(const TStopSignal& stop, int milliseconds) {
    pollfd wake{stop.WakeDescriptor(), POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stop.Raised()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        if (::poll(&wake, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 10)));
    }
    return !stop.Raised();
}

std::unique_ptr<TBufferedCommunication>
ConnectWithin(const std::string& address, std::uint32_t milliseconds, const TStopSignal& stop) {
    return ConnectOnward(address, milliseconds, stop).Channel;
}

TConnectOutcome ConnectOnward(const std::string& address, std::uint32_t milliseconds,
                              const TStopSignal& stop) {
    TConnectOutcome outcome;
    auto failed = [&](TConnectFailure failure, std::string reason) {
        outcome.Failure = failure;
        outcome.Reason = std::move(reason);
        return std::move(outcome);
    };
    if (RefuseLoop(address))
        return failed(TConnectFailure::Loop, address + " is this proxy itself");
    const std::uint32_t begin = GetTickCount();
    int lastError = ETIMEDOUT;
    for (;;) {
        const std::uint32_t spent = TicksSince(begin, GetTickCount());
        if (stop.Raised())
            return failed(TConnectFailure::Stopped, "the proxy is stopping");
        if (spent > milliseconds)
            break;
        try {
            auto target = TCommunication::CreateUnconnected(false, false);
            // An unanswered SYN must not hold the phase for the system's two minutes.
            target->Connect(
                address, static_cast<int>(std::max<std::uint32_t>(milliseconds - spent, 1)), &stop);
            outcome.Channel = std::move(target);
            return outcome;
        } catch (const ECommunication& failure) {
            lastError = failure.Error();
        } catch (const std::exception&) {
            lastError = 0;
        }
        switch (lastError) {
        case ECONNREFUSED:
            return failed(TConnectFailure::Refused, "connection refused by " + address);
        case kNoSuchHost:
            return failed(TConnectFailure::Unreachable, "no such host: " + address);
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return failed(TConnectFailure::Unreachable, "no route to " + address);
        case ENETUNREACH:
        case ENETDOWN:
            return failed(TConnectFailure::Unreachable, "no route to the network of " + address);
        case EAFNOSUPPORT:
            return failed(TConnectFailure::Unreachable, "no IPv6 on this computer for " + address);
        case EADDRNOTAVAIL:
            // For IPv4 a passing want of local ports; for IPv6 no address of this computer
            // reaches there.
            if (address.starts_with('['))
                return failed(TConnectFailure::Unreachable, "no IPv6 route to " + address);
            break;
        default:
            break; // a passing shortage, or a time-out that the next round bounds
        }
        PauseUnlessStopped(stop, kRetryPause);
    }
    if (stop.Raised())
        return failed(TConnectFailure::Stopped, "the proxy is stopping");
    return failed(TConnectFailure::TimedOut,
                  address + " did not answer within " + std::to_string(milliseconds / 1000) + " s");
}

void SetServerHandlers(TServerHandlers handlers) {
    const std::lock_guard lock(HandlersLock);
    Handlers = std::move(handlers);
}

std::string RoutingStatusRecord(std::int32_t status, std::int32_t second, std::int32_t error) {
    TMemoryStream record;
    record.WriteInt32(status);
    record.WriteInt32(second);
    record.WriteInt32(error);
    std::string bytes = record.Data();
    bytes.append(20, '\0');
    return bytes;
}

std::string TraceHeaderLine(const std::string& argument) {
    if (argument == "HTTP PROXY" || argument == "SOCKS5 PROXY" || argument == "FTP PROXY" ||
        argument == "POP3 PROXY")
        return "<-- " + argument + " -->";
    return "<-- CONNECT: " + argument + " -->";
}

void RunClientSession(std::unique_ptr<TBufferedCommunication> client,
                      const std::string& destinationHost, const std::string& destinationPort,
                      bool trigger, std::shared_ptr<TStopSignal> stop) {
    if (!stop)
        stop = CurrentProxyStop();
    // A forwarding to one of our own ports would come back here through the online computer.
    // A loopback destination names the online computer itself; its server session checks that.
    if (RecognizeDestination(destinationHost) == TProxyKind::Forward &&
        RefuseLoop(destinationHost + ":" + destinationPort, false))
        return;
    std::unique_ptr<TBufferedCommunication> server;
    // Worked out only when a dial may be requested.
    std::string cause;
    if (trigger && !OnlineAddressFresh())
        cause = MappingDialCause(*client, destinationHost, destinationPort, *stop);
    const std::uint32_t begin = GetTickCount();
    for (;;) {
        const std::uint32_t spent = TicksSince(begin, GetTickCount());
        if (stop->Raised() || spent > kConnectPhase)
            break;
        try {
            const TOnlineLookup online = FindOnlineProxy(trigger, stop.get(), cause);
            // The dial budget is spent: the client hears at once what a minute would tell it.
            if (online.DialRefused)
                return;
            const std::string& address = online.Address;
            if (!address.empty()) {
                server = TCommunication::CreateUnconnected(false, false);
                const std::uint32_t left = kConnectPhase - std::min(kConnectPhase, spent);
                server->Connect(address, static_cast<int>(std::max<std::uint32_t>(left, 1)),
                                stop.get());
                AuthenticateToPeer(*server, address);
                break;
            }
        } catch (const std::exception&) {
            server.reset();
        }
        PauseUnlessStopped(*stop, kRetryPause);
    }
    if (!server || stop->Raised())
        return; // the client program's connection closes without data
    try {
        // The relay's first pass flushes the header.
        server->SendText("SOCKPROXY V1 (NT)");
        server->SendLineEnd();
        server->SendText(TunnelTypeLine(destinationHost, destinationPort));
        server->SendLineEnd();
        if (RecognizeDestination(destinationHost) == TProxyKind::Ftp)
            RelayFtpMapping(*client, *server, *stop, NoteProxyActivity);
        else
            RelayBothWays(*client, *server, nullptr, false, stop.get(), NoteProxyActivity);
    } catch (const std::exception&) {
        // The relay swallows channel failures; this guards the header and the FTP relay.
    }
}

void RunServerSession(std::unique_ptr<TBufferedCommunication> client,
                      std::shared_ptr<TStopSignal> stop, TSessionSlot* slot) {
    if (!stop)
        stop = CurrentProxyStop();
    std::string request;
    std::string argument;
    TActivity activity = NoteProxyActivity;
    // With a LAN key nothing is read as a request, let alone answered, before the client has
    // proved that it holds the key.
    if (!AuthenticatePeerClient(*client))
        return;
    try {
        // Stays set for the dial-control dialogues and the journal request; a tunnel clears it
        // (or sets its own) before relaying.
        client->SetReceiveDeadline(RequestTimeLimit());
        request = client->ReceiveLine(kRequestLineCapacity);
        argument = client->ReceiveLine(kRequestLineCapacity);
        if (SameTextAscii(argument, "IGNORE TRAFFIC")) {
            activity = [] {};
            argument = client->ReceiveLine(kRequestLineCapacity);
        }
    } catch (const std::exception&) {
        return;
    }
    const bool tunnel =
        SameTextAscii(request, "SOCKPROXY V1 (NT)") || SameTextAscii(request, "SOCKROUTER V1 (NT)");
    const bool control = SameTextAscii(request, "DISCONNECT!") ||
                         SameTextAscii(request, "WOULD CONNECT?") ||
                         SameTextAscii(request, "CONNECT!") || SameTextAscii(request, "ONLINE?") ||
                         SameTextAscii(request, "UPDATE!");
    // Tunnels have room only under the cap and their computer's share of it; journal requests
    // and dial questions also in the reserve above it. Without room the connection closes.
    if (slot != nullptr &&
        ((tunnel && !slot->BecomeTunnel()) || (control && !slot->BecomeControl())))
        return;
    try {
        const TServerHandlers handlers = CurrentHandlers();
        if (SameTextAscii(request, "SOCKPROXY V1 (NT)")) {
            RunTunnel(std::move(client), std::move(argument), activity, *stop);
        } else if (SameTextAscii(request, "DISCONNECT!")) {
            DialControl(handlers.Disconnect, std::move(client), argument);
        } else if (SameTextAscii(request, "WOULD CONNECT?")) {
            DialControl(handlers.WouldConnect, std::move(client), argument);
        } else if (SameTextAscii(request, "CONNECT!")) {
            DialControl(handlers.Connect, std::move(client), argument);
        } else if (SameTextAscii(request, "ONLINE?")) {
            DialControl(handlers.Online, std::move(client), argument);
        } else if (SameTextAscii(request, "UPDATE!")) {
            // This thread becomes the serving session: it owns the channel from here on.
            ServeJournal(*client);
        } else if (SameTextAscii(request, "SOCKROUTER V1 (NT)")) {
            RunRouting(*client, argument, activity, *stop);
        } else {
            client->SendText("bad request");
            client->SendLineEnd();
            client->SendText("disconnecting");
            client->SendLineEnd();
            client->Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPause));
        }
    } catch (const std::exception&) {
        // Whatever failed, the session ends and the connection closes.
    }
}

TSessionThreads::TSessionThreads(std::size_t maxWaiting, std::chrono::milliseconds waitLimit)
    : fMaxWaiting(maxWaiting), fWaitLimit(waitLimit) {}

TSessionThreads::~TSessionThreads() {
    std::unique_lock lock(fLock);
    fClosing = true;
    fWork.notify_all();
    fEnded.wait(lock, [this] { return fThreads == 0; });
}

void TSessionThreads::Start(std::unique_ptr<TTask> task) {
    {
        const std::lock_guard lock(fLock);
        // A waiting thread that no queued task is promised to yet takes it.
        if (fQueue.size() < fWaiting) {
            fQueue.push_back(std::move(task));
            fWork.notify_one();
            return;
        }
        ++fThreads;
    }
    try {
        std::thread(&TSessionThreads::Work, this, std::move(task)).detach();
    } catch (...) {
        const std::lock_guard lock(fLock);
        --fThreads;
        fEnded.notify_all();
        throw;
    }
}

void TSessionThreads::Work(std::unique_ptr<TTask> task) {
    for (;;) {
        task->Run();
        task.reset();
        std::unique_lock lock(fLock);
        if (!fClosing && fWaiting < fMaxWaiting) {
            ++fWaiting;
            fWork.wait_for(lock, fWaitLimit, [this] { return fClosing || !fQueue.empty(); });
            --fWaiting;
            if (!fQueue.empty()) {
                // Queued tasks are run even when the threads are being sent away: each was
                // promised a thread.
                task = std::move(fQueue.back());
                fQueue.pop_back();
                continue;
            }
        }
        --fThreads;
        // Notified under the lock: the destructor cannot end the object before this returns.
        fEnded.notify_all();
        return;
    }
}

std::size_t TSessionThreads::Threads() const {
    const std::lock_guard lock(fLock);
    return fThreads;
}

std::size_t TSessionThreads::Waiting() const {
    const std::lock_guard lock(fLock);
    return fWaiting;
}

TSessionThreads& SessionThreads() {
    // Never destroyed: a waiting thread may still use it while the process exits.
    static TSessionThreads* threads =
        new TSessionThreads(TSessionThreads::kDefaultWaiting, TSessionThreads::kDefaultWaitLimit);
    return *threads;
}

void StartClientSession(std::unique_ptr<TBufferedCommunication> client,
                        const std::string& destinationHost, const std::string& destinationPort,
                        bool trigger, TSessionSlot slot, std::shared_ptr<TStopSignal> stop) {
    // The stop is taken here, not on the session's thread: a session that starts after a stop
    // and a new start must still end.
    if (!stop)
        stop = CurrentProxyStop();
    // When no thread can be made, the task and with it the channel and the slot are destroyed:
    // the connection closes.
    SessionThreads().Start([client = std::move(client), destinationHost, destinationPort, trigger,
                            slot = std::move(slot), stop = std::move(stop)]() mutable {
        RunClientSession(std::move(client), destinationHost, destinationPort, trigger,
                         std::move(stop));
    });
}

void StartServerSession(std::unique_ptr<TBufferedCommunication> client, TSessionSlot slot,
                        std::shared_ptr<TStopSignal> stop) {
    if (!stop)
        stop = CurrentProxyStop();
    SessionThreads().Start(
        [client = std::move(client), slot = std::move(slot), stop = std::move(stop)]() mutable {
            RunServerSession(std::move(client), std::move(stop), &slot);
        });
}

} // namespace harbolt
