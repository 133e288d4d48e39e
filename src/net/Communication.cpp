#include "net/Communication.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/PipeSignal.h"
#include "platform/Languages.h"

namespace harbolt {

namespace {

constexpr int kTextBadProtocol = 52;
constexpr int kTextNoWinSock = 53;
constexpr int kTextBadSocket = 54;
constexpr int kTextBadName = 55;
constexpr int kTextBadAddress = 56;
constexpr int kTextCannotBind = 57;
constexpr int kTextSendError = 58;
constexpr int kTextReceiveError = 59;
constexpr int kTextConnectError = 60;
constexpr int kTextCannotListen = 61;
constexpr int kTextUnexpectedEnd = 62;
constexpr int kTextLineTooLong = 63;

// The port part of an endpoint text is read from its first 100 characters.
constexpr std::size_t kPortTextLimit = 100;

[[noreturn]] void Raise(int textIndex) {
    throw ECommunication(LanguageText(textIndex));
}

// The localised text followed by " (errno)". errno is read before anything can change it.
[[noreturn]] void RaiseSocketError(int textIndex, std::string_view endpoint = {}) {
    const int error = errno;
    std::string message = endpoint.empty() ? std::string(LanguageText(textIndex))
                                           : FormatText(textIndex, std::string(endpoint));
    throw ECommunication(message + " (" + std::to_string(error) + ")", error);
}

// A zero byte would end the text early for the parser: "::1\0x" is no address.
bool IsIPv6Address(std::string_view text) {
    in6_addr address{};
    return text.find('\0') == std::string_view::npos &&
           inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

struct TEndpoint {
    std::string Host;
    std::uint16_t Port = 0;
};

// "host:port": the host is the part before the first colon, or the IPv6 address in the brackets
// of "[address]:port" (nothing else counts as bracketed); a port that is no decimal number raises
// the conversion error. A port outside 0..65535 is refused like a text without a colon rather
// than cut to 16 bits, which would reach some other port.
TEndpoint SplitEndpoint(std::string_view text) {
    std::size_t hostBegin = 0;
    std::size_t hostEnd = text.find(':');
    std::size_t colon = hostEnd;
    const std::size_t bracket = text.find("]:");
    if (!text.empty() && text.front() == '[' && bracket != std::string_view::npos &&
        IsIPv6Address(text.substr(1, bracket - 1))) {
        hostBegin = 1;
        hostEnd = bracket;
        colon = bracket + 1;
    }
    if (colon == std::string_view::npos)
        throw ECommunication(FormatText(kTextBadName, std::string(text)));
    const std::int32_t port = StrToInt(text.substr(colon + 1).substr(0, kPortTextLimit));
    if (port < 0 || port > 0xFFFF)
        throw ECommunication(FormatText(kTextBadName, std::string(text)));
    return {std::string(text.substr(hostBegin, hostEnd - hostBegin)),
            static_cast<std::uint16_t>(port)};
}

// Ports below 1024 need root or CAP_NET_BIND_SERVICE. Listeners retry their binds, so this is
// said once per run. errno is left as it was.
void ReportRefusedPrivilegedBind(std::string_view endpoint) {
    static std::atomic<bool> reported{false};
    const int error = errno;
    if (!reported.exchange(true))
        std::fprintf(stderr,
                     "harbolt: binding %.*s was refused: ports below 1024 need root or "
                     "CAP_NET_BIND_SERVICE\n",
                     static_cast<int>(endpoint.size()), endpoint.data());
    errno = error;
}

// The text of a connect or receive that ran out of time: "<localised text>: time-out (110)".
[[noreturn]] void RaiseTimeOut(std::string message) {
    throw ECommunication(message + ": time-out (" + std::to_string(ETIMEDOUT) + ")", ETIMEDOUT);
}

// Milliseconds left until a steady-clock point, rounded up so that a wait never ends early;
// 0 once it has passed, at most INT_MAX.
int MillisecondsUntil(std::chrono::steady_clock::time_point point) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(point - std::chrono::steady_clock::now())
            .count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max()));
}

// Failures of accept that concern one connection or a passing shortage, not the listener.
// Linux also hands network errors pending on the new connection to accept.
bool IsPassingAcceptFailure(int error) {
    switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EINTR:
    case EAGAIN:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool IsResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

constexpr auto kAcceptShortagePause = std::chrono::milliseconds(100);

socklen_t AddressLength() {
    return static_cast<socklen_t>(sizeof(sockaddr_in));
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int FinishInterruptedConnect(TSocket socket) {
    pollfd entry{socket, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&entry, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return -1;
    errno = error;
    return error == 0 ? 0 : -1;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TStopSignal

TStopSignal::TStopSignal() : fWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fWake < 0)
        RaiseSocketError(kTextBadSocket);
}

TStopSignal::~TStopSignal() {
    close(fWake);
}

void TStopSignal::Raise() {
    fRaised.store(true);
    // Nobody ever reads the counter, so the descriptor stays readable. A full counter (EAGAIN)
    // is readable already.
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(fWake, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

// ---------------------------------------------------------------------------------------------
// TCommunication

TCommunication::TCommunication(bool noNetwork, std::string localName)
    : fNoNetwork(noNetwork), fLocalName(std::move(localName)) {
    if (!noNetwork && !WinSockLoaded.load())
        Raise(kTextNoWinSock);
}

TCommunication::~TCommunication() {
    ReplaceSocket(kInvalidSocket);
}

void TCommunication::ReplaceSocket(TSocket socket) {
    if (fSocket != kInvalidSocket) {
        shutdown(fSocket, SHUT_WR);
        close(fSocket);
    }
    fSocket = socket;
}

std::unique_ptr<TCommunication> TCommunication::CreateListening(bool noNetwork) {
    auto channel = std::make_unique<TCommunication>(noNetwork);
    if (!noNetwork) {
        channel->fSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (channel->fSocket == kInvalidSocket)
            RaiseSocketError(kTextBadSocket);
    }
    return channel;
}

std::unique_ptr<TBufferedCommunication> TCommunication::CreateUnconnected(bool noNetwork,
                                                                          bool named) {
    return std::make_unique<TBufferedCommunication>(noNetwork, named);
}

void TCommunication::SetReuseAddress() {
    const std::lock_guard lock(fLock);
    if (fNoNetwork)
        return;
    const int on = 1;
    setsockopt(fSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void TCommunication::Bind(std::string_view text) {
    const std::lock_guard lock(fLock);
    TEndpoint endpoint = SplitEndpoint(text);
    if (!fNoNetwork) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(endpoint.Port);
        address.sin_addr.s_addr = INADDR_ANY;
        if (!endpoint.Host.empty()) {
            address.sin_addr.s_addr = ResolveAddress(endpoint.Host);
            if (address.sin_addr.s_addr == kInaddrNone)
                RaiseSocketError(kTextBadAddress);
        }
        fLocalAddress = address;
        if (bind(fSocket, reinterpret_cast<const sockaddr*>(&address), AddressLength()) != 0) {
            if (errno == EACCES)
                ReportRefusedPrivilegedBind(text);
            RaiseSocketError(kTextCannotBind, text);
        }
    }
    fLocalName = std::move(endpoint.Host);
}

void TCommunication::Listen(int backlog) {
    if (listen(fSocket, backlog) != 0)
        RaiseSocketError(kTextCannotListen);
}

std::unique_ptr<TBufferedCommunication> TCommunication::Accept(int milliseconds) {
    if (fNoNetwork)
        Raise(kTextBadProtocol);
    if (milliseconds >= 0 && !WaitReadable(fSocket, milliseconds))
        return nullptr;
    auto made = CreateUnconnected(false, false);
    TCommunication& channel = *made;
    sockaddr_in peer{};
    socklen_t peerLength;
    for (;;) {
        peerLength = AddressLength();
        channel.fSocket =
            accept4(fSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (channel.fSocket != kInvalidSocket)
            break;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (!IsPassingAcceptFailure(error))
            RaiseSocketError(kTextBadSocket);
        // Without descriptors or memory the pending connection stays queued and the listener
        // stays readable: back off instead of spinning until something is freed.
        if (IsResourceShortage(error))
            std::this_thread::sleep_for(kAcceptShortagePause);
        if (milliseconds >= 0)
            return nullptr;
        // Without a limit the wait for a connection simply goes on.
    }
    const std::lock_guard lock(fLock);
    channel.fLocalName = fLocalName;
    socklen_t localLength = AddressLength();
    getsockname(channel.fSocket, reinterpret_cast<sockaddr*>(&channel.fLocalAddress), &localLength);
    channel.fRemoteAddress = peer;
    channel.fRemoteNamePending = true;
    return made;
}

std::unique_ptr<TBufferedCommunication> TCommunication::Accept(int milliseconds,
                                                               const TStopSignal& stop) {
    if (fNoNetwork)
        Raise(kTextBadProtocol);
    pollfd waits[2] = {{fSocket, POLLIN, 0}, {stop.WakeDescriptor(), POLLIN, 0}};
    int ready;
    do {
        ready = poll(waits, 2, milliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || stop.Raised() || waits[0].revents == 0)
        return nullptr;
    return Accept(0);
}

std::string TCommunication::RemoteName() const {
    std::unique_lock lock(fLock);
    if (fRemoteNamePending) {
        const sockaddr_in peer = fRemoteAddress;
        lock.unlock(); // the reverse look-up may block; it needs no lock
        std::string name = SocketAddressToText(peer);
        lock.lock();
        if (fRemoteNamePending) {
            fRemoteName = std::move(name);
            fRemoteNamePending = false;
        }
    }
    return fRemoteName;
}

// The peer's address and a fresh stream socket of its family. An IPv4 peer is kept in the
// remote address record as well; an IPv6 one (a literal address, never a name) leaves only the
// family there.
TCommunication::TPeerAddress TCommunication::OpenSocketTo(const std::string& host,
                                                          std::uint16_t port, int socketFlags) {
    TPeerAddress peer;
    fRemoteAddress = sockaddr_in{};
    if (IsIPv6Address(host)) {
        auto& record = reinterpret_cast<sockaddr_in6&>(peer.Record);
        record.sin6_family = AF_INET6;
        record.sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &record.sin6_addr);
        peer.Length = sizeof record;
        fRemoteAddress.sin_family = AF_INET6;
    } else {
        fRemoteAddress.sin_family = AF_INET;
        fRemoteAddress.sin_port = htons(port);
        fRemoteAddress.sin_addr.s_addr = ResolveAddress(host);
        if (fRemoteAddress.sin_addr.s_addr == kInaddrNone)
            // The text keeps the errno of every socket failure; Error() says what it was.
            throw ECommunication(std::string(LanguageText(kTextBadAddress)) + " (" +
                                     std::to_string(errno) + ")",
                                 kNoSuchHost);
        std::memcpy(&peer.Record, &fRemoteAddress, sizeof fRemoteAddress);
        peer.Length = AddressLength();
    }
    ReplaceSocket(socket(peer.Record.ss_family, SOCK_STREAM | SOCK_CLOEXEC | socketFlags, 0));
    if (fSocket == kInvalidSocket)
        RaiseSocketError(kTextBadSocket);
    return peer;
}

// Once connected: the record holds the local end of the outgoing connection (IPv4 only).
void TCommunication::NoteLocalEnd() {
    if (fRemoteAddress.sin_family != AF_INET)
        return;
    socklen_t length = AddressLength();
    getsockname(fSocket, reinterpret_cast<sockaddr*>(&fRemoteAddress), &length);
}

void TCommunication::Connect(std::string_view text) {
    const std::lock_guard lock(fLock);
    TEndpoint endpoint = SplitEndpoint(text);
    if (!fNoNetwork) {
        const TPeerAddress peer = OpenSocketTo(endpoint.Host, endpoint.Port, 0);
        int result = connect(fSocket, reinterpret_cast<const sockaddr*>(&peer.Record), peer.Length);
        if (result != 0 && errno == EINTR)
            result = FinishInterruptedConnect(fSocket);
        if (result != 0)
            RaiseSocketError(kTextConnectError, text);
        NoteLocalEnd();
    }
    fRemoteName = std::move(endpoint.Host);
}

void TCommunication::Connect(std::string_view text, int milliseconds, const TStopSignal* stop) {
    const std::lock_guard lock(fLock);
    TEndpoint endpoint = SplitEndpoint(text);
    if (!fNoNetwork) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
        const TPeerAddress peer = OpenSocketTo(endpoint.Host, endpoint.Port, SOCK_NONBLOCK);
        // A connect that fails leaves no half-open socket behind that might still connect later.
        auto fail = [&](bool timedOut) {
            const int error = errno;
            ReplaceSocket(kInvalidSocket);
            errno = error;
            if (timedOut)
                RaiseTimeOut(FormatText(kTextConnectError, std::string(text)));
            RaiseSocketError(kTextConnectError, text);
        };
        if (stop != nullptr && stop->Raised())
            fail(true);
        if (connect(fSocket, reinterpret_cast<const sockaddr*>(&peer.Record), peer.Length) != 0) {
            if (errno != EINPROGRESS && errno != EINTR)
                fail(false);
            pollfd entries[2] = {{fSocket, POLLOUT, 0},
                                 {stop != nullptr ? stop->WakeDescriptor() : -1, POLLIN, 0}};
            for (;;) {
                const int ready = poll(entries, 2, MillisecondsUntil(deadline));
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready < 0)
                    fail(false);
                if (entries[1].revents != 0 || (ready == 0 && MillisecondsUntil(deadline) == 0))
                    fail(true);
                if (entries[0].revents != 0)
                    break;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                fail(false);
            if (error != 0) {
                errno = error;
                fail(false);
            }
        }
        // The channel's own sends and receives block.
        const int flags = fcntl(fSocket, F_GETFL);
        if (flags < 0 || fcntl(fSocket, F_SETFL, flags & ~O_NONBLOCK) != 0)
            fail(false);
        NoteLocalEnd();
    }
    fRemoteName = std::move(endpoint.Host);
}

void TCommunication::SetReceiveSilenceLimit(int silenceMs) {
    fSilenceLimit = std::max(silenceMs, 0);
}

void TCommunication::SetReceiveDeadline(int milliseconds) {
    fHasDeadline = milliseconds > 0;
    if (fHasDeadline)
        fDeadline = TSteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

void TCommunication::AwaitReceivable() {
    if (fReceiveTimedOut)
        RaiseTimeOut(LanguageText(kTextReceiveError));
    if (fSilenceLimit == 0 && !fHasDeadline)
        return;
    const auto silenceEnd = TSteadyClock::now() + std::chrono::milliseconds(fSilenceLimit);
    const auto end = fSilenceLimit == 0 ? fDeadline
                     : fHasDeadline     ? std::min(fDeadline, silenceEnd)
                                        : silenceEnd;
    for (;;) {
        const int left = MillisecondsUntil(end);
        pollfd entry{fSocket, POLLIN, 0};
        const int ready = left == 0 ? 0 : poll(&entry, 1, left);
        if (ready > 0)
            return; // bytes, the end of the stream or an error: recv tells which
        if (ready < 0 && errno != EINTR)
            RaiseSocketError(kTextReceiveError);
        if (ready == 0 && MillisecondsUntil(end) == 0) {
            fReceiveTimedOut = true;
            RaiseTimeOut(LanguageText(kTextReceiveError));
        }
    }
}

void TCommunication::Send(const char* buffer, int length) {
    if (fNoNetwork)
        Raise(kTextBadProtocol);
    while (length > 0) {
        const ssize_t sent = send(fSocket, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            RaiseSocketError(kTextSendError);
        }
        buffer += sent;
        length -= static_cast<int>(sent);
    }
}

void TCommunication::Flush() {}

int TCommunication::ReceiveSome(char* buffer, int max) {
    if (max <= 0 || fNoNetwork)
        return max;
    if (!fReceiveTimedOut && (fSilenceLimit != 0 || fHasDeadline) &&
        (!fHasDeadline || TSteadyClock::now() < fDeadline)) {
        // Bytes already there need no wait: one call instead of a poll and a receive.
        const ssize_t ready = recv(fSocket, buffer, static_cast<std::size_t>(max), MSG_DONTWAIT);
        if (ready >= 0)
            return static_cast<int>(ready);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            RaiseSocketError(kTextReceiveError);
    }
    AwaitReceivable();
    for (;;) {
        const ssize_t received = recv(fSocket, buffer, static_cast<std::size_t>(max), 0);
        if (received >= 0)
            return static_cast<int>(received);
        if (errno != EINTR)
            RaiseSocketError(kTextReceiveError);
    }
}

bool TCommunication::WaitForIncomingData(int milliseconds) {
    if (fNoNetwork)
        Raise(kTextBadProtocol);
    return WaitReadable(fSocket, milliseconds);
}

// ---------------------------------------------------------------------------------------------
// TBufferedCommunication

TBufferedCommunication::TBufferedCommunication(bool noNetwork, bool named)
    : TCommunication(noNetwork, named ? "$lokal$" : ""), fSendBuffer{}, fReceiveBuffer{} {}

TBufferedCommunication::~TBufferedCommunication() {
    try {
        Flush();
    } catch (const std::exception&) {
        // The peer is gone; what was buffered cannot be delivered any more.
    }
}

void TBufferedCommunication::Send(const char* buffer, int length) {
    while (length > 0) {
        if (fSendFill == 0 && length >= kSendCapacity) {
            // Whole buffer-sized pieces go straight to the socket, all of them in one call.
            const int whole = length - length % kSendCapacity;
            TCommunication::Send(buffer, whole);
            buffer += whole;
            length -= whole;
            continue;
        }
        const int piece = std::min(kSendCapacity - fSendFill, length);
        std::memcpy(fSendBuffer.data() + fSendFill, buffer, static_cast<std::size_t>(piece));
        fSendFill += piece;
        buffer += piece;
        length -= piece;
        if (fSendFill == kSendCapacity)
            Flush();
    }
}

void TBufferedCommunication::Flush() {
    if (fSendFill <= 0)
        return;
    // The bytes are handed over whether or not the send succeeds: a failed send is not retried.
    const int fill = fSendFill;
    fSendFill = 0;
    TCommunication::Send(fSendBuffer.data(), fill);
}

int TBufferedCommunication::ReceiveSome(char* buffer, int max) {
    if (max <= 0)
        return max;
    if (HeldBytes() == 0)
        return TCommunication::ReceiveSome(buffer, max);
    const int count = std::min(max, HeldBytes());
    std::memcpy(buffer, fReceiveBuffer.data() + fReceivePosition, static_cast<std::size_t>(count));
    fReceivePosition += count;
    return count;
}

bool TBufferedCommunication::WaitForIncomingData(int milliseconds) {
    return HeldBytes() > 0 || TCommunication::WaitForIncomingData(milliseconds);
}

int TBufferedCommunication::ReceiveLine(char* buffer, int capacity) {
    int count = 0;
    int ending = 0; // line-end characters seen at the tail
    bool complete = false;
    do {
        if (HeldBytes() == 0) {
            fReceivePosition = 0;
            fReceiveEnd = 0;
            const int received =
                TCommunication::ReceiveSome(fReceiveBuffer.data(), kReceiveCapacity);
            if (received <= 0)
                Raise(kTextUnexpectedEnd);
            fReceiveEnd = received;
        }
        while (count < capacity && HeldBytes() > 0) {
            const char c = fReceiveBuffer[static_cast<std::size_t>(fReceivePosition++)];
            buffer[count++] = c;
            if (c == '\n') {
                ++ending;
                complete = true;
                break;
            }
            ending = (c == '\r' && ending == 0) ? 1 : 0;
        }
    } while (!complete && count < capacity);
    if (count == capacity)
        Raise(kTextLineTooLong);
    buffer[count - ending] = '\0';
    return count;
}

std::string TBufferedCommunication::ReceiveLine(int capacity) {
    std::string line(static_cast<std::size_t>(std::max(capacity, 1)), '\0');
    ReceiveLine(line.data(), capacity);
    line.resize(std::strlen(line.c_str()));
    return line;
}

int TBufferedCommunication::ReceiveStatus() {
    constexpr int kStatusLineCapacity = 256;
    std::array<char, kStatusLineCapacity> line{};
    for (;;) {
        if (ReceiveLine(line.data(), kStatusLineCapacity) < 3)
            return -1;
        const std::string_view text(line.data());
        int code;
        try {
            code = StrToInt(text.substr(0, 3));
        } catch (const EConvertError&) {
            return -1;
        }
        if (code >= 100)
            return code;
    }
}

void TBufferedCommunication::SendText(std::string_view text) {
    Send(text.data(), static_cast<int>(text.size()));
}

void TBufferedCommunication::SendLineEnd() {
    Send("\r\n", 2);
}

bool TBufferedCommunication::ReceiveExactly(char* buffer, int length) {
    int done = 0;
    while (done < length) {
        const int received = ReceiveSome(buffer + done, length - done);
        if (received == 0)
            return false;
        done += received;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Copy loops

namespace {

constexpr int kRelayChunk = 16384;
constexpr int kRelayPollMilliseconds = 50;
constexpr std::uint32_t kRelaySilenceLimit = 900000; // milliseconds
// After one side closed, how long the other may stay silent before the relay ends.
constexpr std::uint32_t kRelayLinger = 10000;
// How many chunks a direction moves before the other has its turn.
constexpr int kRelayRoundsPerStep = 16;
// A relay that has moved nothing for this long gives its empty pipes back: a held but idle
// tunnel then costs its two sockets only, and a burst afterwards makes a pipe again.
constexpr std::uint32_t kRelayPipeKeep = 1000; // milliseconds
// What one splice asks of a socket: more than a pipe holds, so that the pipe's room decides.
constexpr std::size_t kSpliceAsk = std::size_t{1} << 20;
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

// Bytes 10, 13 and 32 to 254 stand as they are; every other byte as a backslash and two
// lower-case hexadecimal digits.
void AppendEscaped(std::string& out, const char* data, int length) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte == 10 || byte == 13 || (byte >= 32 && byte <= 254)) {
            out += static_cast<char>(byte);
        } else {
            out += '\\';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
}

void WriteTrace(std::FILE* trace, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), trace);
}

// "<-- HEAD(n): escaped bytes -->"
void TraceBytes(std::FILE* trace, const std::string& head, const char* data, int length) {
    std::string line = "<-- " + head + "(" + std::to_string(length) + "): ";
    AppendEscaped(line, data, length);
    line += " -->\n";
    WriteTrace(trace, line);
}

// While bytes are spliced both sockets are non-blocking, since a splice waits as its socket says;
// their former mode comes back when the relay ends, for the caller's own sends and receives.
class TNonBlockingSockets {
public:
    TNonBlockingSockets(TSocket client, TSocket server) : fSockets{client, server} {}
    ~TNonBlockingSockets() {
        for (std::size_t i = 0; i < fSockets.size(); ++i)
            if (fRestore[i])
                fcntl(fSockets[i], F_SETFL, fFlags[i]);
    }
    TNonBlockingSockets(const TNonBlockingSockets&) = delete;
    TNonBlockingSockets& operator=(const TNonBlockingSockets&) = delete;

    // False when a socket's mode cannot be read or set.
    bool Set() {
        for (std::size_t i = 0; i < fSockets.size() && !fSet; ++i) {
            if (fRestore[i])
                continue;
            const int flags = fcntl(fSockets[i], F_GETFL);
            if (flags < 0)
                return false;
            if ((flags & O_NONBLOCK) != 0)
                continue;
            if (fcntl(fSockets[i], F_SETFL, flags | O_NONBLOCK) != 0)
                return false;
            fFlags[i] = flags;
            fRestore[i] = true;
        }
        fSet = true;
        return true;
    }

private:
    std::array<TSocket, 2> fSockets;
    std::array<int, 2> fFlags{};
    std::array<bool, 2> fRestore{};
    bool fSet = false;
};

std::atomic<std::uint64_t> gRelayPipesMade{0};

// One direction of a relay: what was read from one channel and still has to reach the other,
// copied (Data) or spliced (the pipe). Only one of the two holds bytes at any time, so that
// bytes leave in the order they came.
struct TRelayDirection {
    TRelayDirection(TCommunication& from, TCommunication& to, const char* label,
                    bool clientDirection)
        : From(from), To(to), Label(label), ClientDirection(clientDirection),
          HeldSource(dynamic_cast<TBufferedCommunication*>(&from)) {}
    ~TRelayDirection() {
        for (const int end : Pipe)
            if (end >= 0)
                close(end);
    }
    TRelayDirection(const TRelayDirection&) = delete;
    TRelayDirection& operator=(const TRelayDirection&) = delete;

    bool HoldsEmptyPipe() const { return Pipe[0] >= 0 && InPipe == 0; }
    void ReleaseEmptyPipe() {
        if (!HoldsEmptyPipe())
            return;
        for (int& end : Pipe)
            close(std::exchange(end, -1));
        PipeFull = false;
    }

    bool Idle() const { return Sent == Pending; }
    bool Empty() const { return Idle() && InPipe == 0; }
    bool Open() const { return ReadOpen || !Empty(); }
    bool WantsRead() const { return ReadOpen && Idle() && !PipeFull; }

    TCommunication& From;
    TCommunication& To;
    const char* Label;
    bool ClientDirection;
    TBufferedCommunication* HeldSource; // until the bytes it read ahead are taken
    std::unique_ptr<char[]> Buffer;     // made when the direction first copies
    const char* Data = nullptr;         // Buffer, or the bytes From had read ahead
    int Pending = 0;                    // bytes at Data
    int Sent = 0;                       // of those, already sent
    std::array<int, 2> Pipe{-1, -1};    // made when the direction first splices
    int InPipe = 0;                     // bytes in the pipe
    bool PipeFull = false; // a splice found no room: a pipe runs out of slots before bytes
    bool NoPipe = false;   // none could be made: this direction copies
    bool Copied = false;   // a first chunk was copied: from now on the direction may splice
    bool Readable = false; // the last poll found bytes (or the end, a failure) at From
    bool ReadOpen = true;
    bool WriteShut = false;
};

// Both directions are driven without blocking: a peer that does not read while the other sends
// can then never stall the relay, and the stop flag and the silence limit are always seen.
// When one side closes, the other learns it (its sending direction is shut down) and may still
// answer until it closes too or falls silent for kRelayLinger.
class TRelay {
public:
    enum class TStep {
        Failed,  // a receive or send failed: the relay ends
        Waiting, // nothing more can move before poll says so
        Busy,    // the direction had its turn and may have more
    };

    TRelay(std::FILE* trace, bool dropLoneCrLf, const std::atomic<bool>* stopFlag,
           const std::function<void()>& activity, const TTickClock& clock, TSocket client,
           TSocket server)
        : fTrace(trace), fDropLoneCrLf(dropLoneCrLf), fStopFlag(stopFlag), fActivity(activity),
          fClock(clock), fLastTraffic(clock.Now()), fSockets(client, server) {}

    bool StopRequested() const {
        return fStopFlag != nullptr && fStopFlag->load(std::memory_order_relaxed);
    }
    bool Silent(std::uint32_t limit) const {
        return TicksSince(fLastTraffic, fClock.Now()) > limit;
    }
    // How long until Silent(limit) turns true: at least 1 ms, so that a wait always waits.
    int MillisecondsUntilDue(std::uint32_t limit) const {
        const std::uint32_t elapsed = TicksSince(fLastTraffic, fClock.Now());
        return elapsed >= limit ? 1 : static_cast<int>(limit - elapsed + 1);
    }

    // Moves what can be moved now, at most kRelayRoundsPerStep chunks.
    TStep Step(TRelayDirection& direction);

    void TraceStop() {
        if (fTrace != nullptr)
            WriteTrace(fTrace, "<-- STOP/TIMEOUT -->\n");
    }

private:
    static constexpr int kAgain = -2; // a receive found nothing for now

    // A direction's first chunk is copied: most exchanges (a request, its answer) are one chunk
    // each way, and a pipe for them would cost more calls than it saves. From the second chunk
    // on the bytes are spliced.
    bool Splices(const TRelayDirection& direction) const {
        return fTrace == nullptr && !direction.NoPipe && direction.Copied &&
               !(direction.ClientDirection && fDropLoneCrLf && fFirstChunk);
    }
    bool MakePipe(TRelayDirection& direction);
    // Counts of bytes moved: 0 when the peer closed, -1 when the socket failed, or kAgain.
    int Receive(TRelayDirection& direction);
    int FillPipe(TRelayDirection& direction);
    // False when the target failed; bytes that find no room stay in the pipe.
    bool DrainPipe(TRelayDirection& direction);
    bool SendPending(TRelayDirection& direction);
    // A chunk read into data: traced, dropped when it is the lone CR LF, else made pending.
    void Admit(TRelayDirection& direction, const char* data, int count);
    void Moved() {
        fFirstChunk = false;
        if (fActivity)
            fActivity();
        fLastTraffic = fClock.Now();
    }
    void TraceEvent(const char* label, const char* event, int count) {
        if (fTrace != nullptr)
            WriteTrace(fTrace, std::string("<-- ") + label + " " + event + "(" +
                                   std::to_string(count) + ") -->\n");
    }

    std::FILE* fTrace;
    bool fDropLoneCrLf;
    const std::atomic<bool>* fStopFlag;
    const std::function<void()>& fActivity;
    const TTickClock& fClock;
    std::uint32_t fLastTraffic;
    bool fFirstChunk = true;
    TNonBlockingSockets fSockets;
    TPipeSignalBlock fPipeSignal;
};

bool TRelay::MakePipe(TRelayDirection& direction) {
    std::array<int, 2> ends{};
    // Without a pipe (no descriptor left, say) the direction copies instead: slower, not wrong.
    if (!fSockets.Set() || pipe2(ends.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
        direction.NoPipe = true;
        return false;
    }
    fPipeSignal.Set();
    direction.Pipe = ends;
    gRelayPipesMade.fetch_add(1, std::memory_order_relaxed);
    return true;
}

int TRelay::Receive(TRelayDirection& direction) {
    if (!direction.Buffer)
        direction.Buffer = std::make_unique_for_overwrite<char[]>(kRelayChunk);
    for (;;) {
        const ssize_t received =
            recv(direction.From.Socket(), direction.Buffer.get(), kRelayChunk, MSG_DONTWAIT);
        if (received >= 0)
            return static_cast<int>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kAgain;
        if (errno != EINTR)
            return -1;
    }
}

int TRelay::FillPipe(TRelayDirection& direction) {
    for (;;) {
        const ssize_t moved = splice(direction.From.Socket(), nullptr, direction.Pipe[1], nullptr,
                                     kSpliceAsk, kSpliceFlags);
        if (moved >= 0)
            return static_cast<int>(moved);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kAgain;
        if (errno != EINTR)
            return -1;
    }
}

bool TRelay::DrainPipe(TRelayDirection& direction) {
    while (direction.InPipe > 0) {
        const ssize_t moved = splice(direction.Pipe[0], nullptr, direction.To.Socket(), nullptr,
                                     static_cast<std::size_t>(direction.InPipe), kSpliceFlags);
        if (moved > 0) {
            direction.InPipe -= static_cast<int>(moved);
            direction.PipeFull = false;
        } else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true; // the rest goes when the socket has room
        } else if (moved == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool TRelay::SendPending(TRelayDirection& direction) {
    while (direction.Sent < direction.Pending) {
        const ssize_t sent = send(direction.To.Socket(), direction.Data + direction.Sent,
                                  static_cast<std::size_t>(direction.Pending - direction.Sent),
                                  MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            direction.Sent += static_cast<int>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true; // the rest goes when the socket has room
        } else {
            TraceEvent(direction.Label, "CONNECTION CLOSED2", direction.Pending);
            return false;
        }
    }
    direction.Pending = direction.Sent = 0;
    return true;
}

void TRelay::Admit(TRelayDirection& direction, const char* data, int count) {
    if (direction.ClientDirection && fDropLoneCrLf && fFirstChunk && count == 2 &&
        data[0] == '\r' && data[1] == '\n') {
        if (fTrace != nullptr)
            WriteTrace(fTrace, std::string("<-- ") + direction.Label + " THROWING AWAY CRLF-->\n");
        fFirstChunk = false;
        return;
    }
    if (fTrace != nullptr)
        TraceBytes(fTrace, std::string(direction.Label) + " WRITE", data, count);
    Moved();
    direction.Copied = true;
    direction.Data = data;
    direction.Pending = count;
    direction.Sent = 0;
}

TRelay::TStep TRelay::Step(TRelayDirection& direction) {
    bool targetFull = false; // a drain found no room: no use trying again this turn
    bool moved = false;      // bytes moved this turn: more may wait, whatever poll said before
    for (int round = 0; round < kRelayRoundsPerStep; ++round) {
        if (!direction.Idle()) {
            if (!SendPending(direction))
                return TStep::Failed;
            if (!direction.Idle())
                return TStep::Waiting;
            moved = true;
        }
        if (direction.InPipe > 0 && !targetFull) {
            const int before = direction.InPipe;
            if (!DrainPipe(direction))
                return TStep::Failed;
            targetFull = direction.InPipe > 0;
            moved = moved || direction.InPipe < before;
        }
        if (!direction.ReadOpen) {
            if (direction.InPipe == 0 && !direction.WriteShut) {
                shutdown(direction.To.Socket(), SHUT_WR);
                direction.WriteShut = true;
            }
            return TStep::Waiting;
        }
        if (StopRequested() || direction.PipeFull)
            return TStep::Waiting;
        if (direction.HeldSource != nullptr) {
            // What the channel read ahead (with a request head, say) goes before all else.
            const std::string_view held = std::exchange(direction.HeldSource, nullptr)->TakeHeld();
            if (!held.empty())
                Admit(direction, held.data(), static_cast<int>(held.size()));
            continue;
        }
        const bool splices = Splices(direction);
        // A receive that poll gives no reason for is skipped, and a pipe or a buffer is only
        // made once poll has found bytes: an idle relay holds neither.
        if (!direction.Readable &&
            (!moved || (splices ? direction.Pipe[0] < 0 : direction.Buffer == nullptr)))
            return TStep::Waiting;
        int count;
        if (splices && (direction.Pipe[0] >= 0 || MakePipe(direction))) {
            count = FillPipe(direction);
            if (count > 0) {
                direction.InPipe += count;
                direction.Readable = false;
                moved = true;
                Moved();
                continue;
            }
            if (count == kAgain) {
                if (direction.InPipe > 0) {
                    direction.PipeFull = true; // or nothing came: the drain tells
                    return TStep::Waiting;
                }
                if (!direction.Readable)
                    return TStep::Waiting;
                // Poll found bytes that an empty pipe cannot take: a splice stops at the mark
                // of urgent data, which an ordinary receive steps over.
                count = Receive(direction);
            }
        } else {
            count = Receive(direction);
        }
        direction.Readable = false;
        if (count == kAgain)
            return TStep::Waiting;
        if (count <= 0) {
            TraceEvent(direction.Label, "CONNECTION CLOSED", count);
            if (count < 0)
                return TStep::Failed;
            direction.ReadOpen = false;
            continue;
        }
        moved = true;
        Admit(direction, direction.Buffer.get(), count);
    }
    return TStep::Busy;
}

} // namespace

void DirectedTransfer(TCommunication& from, TCommunication& to, std::int64_t count, int chunk,
                      char* buffer, std::FILE* trace, const std::function<void()>& activity) {
    std::int64_t done = 0;
    while (done < count) {
        const auto wanted = static_cast<int>(std::min<std::int64_t>(chunk, count - done));
        const int received = from.ReceiveSome(buffer, wanted);
        if (received <= 0)
            throw ECommunication("error in DirectedTransfer");
        if (trace != nullptr)
            TraceBytes(trace, "COPY", buffer, received);
        to.Send(buffer, received);
        if (activity)
            activity();
        done += received;
    }
    to.Flush();
}

namespace {

// The one relay behind both overloads. Without a wake descriptor the flag can only be looked at,
// so an idle relay looks every kRelayPollMilliseconds; with one it sleeps until bytes can move,
// the descriptor becomes readable or the nearest limit is due by the clock.
void RelayCore(TCommunication& client, TCommunication& server, std::FILE* trace, bool dropLoneCrLf,
               const std::atomic<bool>* stopFlag, int wakeDescriptor, bool sleepUntilLimit,
               const std::function<void()>& activity, const TTickClock& clock) {
    if (client.Socket() == kInvalidSocket || server.Socket() == kInvalidSocket)
        return;
    // The relay keeps limits of its own; a deadline left over from reading a request head would
    // otherwise cut a long transfer short.
    for (TCommunication* channel : {&client, &server}) {
        channel->SetReceiveSilenceLimit(0);
        channel->SetReceiveDeadline(0);
    }
    try {
        // Whatever the caller left in a send buffer (a tunnel header) goes first.
        client.Flush();
        server.Flush();
    } catch (const std::exception&) {
        return;
    }
    using TStep = TRelay::TStep;
    TRelay relay(trace, dropLoneCrLf, stopFlag, activity, clock, client.Socket(), server.Socket());
    TRelayDirection fromClient(client, server, "[reading from Client]", true);
    TRelayDirection fromServer(server, client, "[reading from Server]", false);
    // The client's first chunk is looked for before anything from the server, as a lone CR LF
    // is only dropped while it is the first thing relayed: a browser's CR LF already waiting
    // must not lose that place to an answer the server sent meanwhile.
    fromClient.Readable = dropLoneCrLf;
    bool closed = false;
    for (;;) {
        const TStep clientStep = relay.Step(fromClient);
        const TStep serverStep = clientStep == TStep::Failed ? clientStep : relay.Step(fromServer);
        if (serverStep == TStep::Failed) {
            closed = true;
            break;
        }
        const bool clientOpen = fromClient.Open();
        const bool serverOpen = fromServer.Open();
        const bool lingering = !clientOpen || !serverOpen;
        if ((!clientOpen && !serverOpen) || (lingering && relay.Silent(kRelayLinger))) {
            closed = true; // both sides closed, or the one left has nothing more to say
            break;
        }
        if (relay.StopRequested() || relay.Silent(kRelaySilenceLimit))
            break;
        fromClient.Readable = fromServer.Readable = false;
        // Bytes still flowing: the poll only looks (what else became ready), it does not sleep.
        const bool busy = clientStep == TStep::Busy || serverStep == TStep::Busy;
        if (!busy && relay.Silent(kRelayPipeKeep)) {
            fromClient.ReleaseEmptyPipe();
            fromServer.ReleaseEmptyPipe();
        }
        const bool holdsPipe = fromClient.HoldsEmptyPipe() || fromServer.HoldsEmptyPipe();
        // Read where the direction has room, write where bytes wait for room.
        pollfd sockets[3] = {
            {client.Socket(), 0, 0}, {server.Socket(), 0, 0}, {wakeDescriptor, POLLIN, 0}};
        if (fromClient.WantsRead())
            sockets[0].events |= POLLIN;
        if (!fromServer.Empty())
            sockets[0].events |= POLLOUT;
        if (fromServer.WantsRead())
            sockets[1].events |= POLLIN;
        if (!fromClient.Empty())
            sockets[1].events |= POLLOUT;
        // A socket we wait nothing of stays out of the poll: once its peer has closed and its
        // sending side is shut down it reports a hang-up at once, every time, although bytes may
        // still wait in it to be read when the other side has room.
        for (int i = 0; i < 2; ++i)
            if (sockets[i].events == 0)
                sockets[i].fd = -1;
        const int wait = busy ? 0
                         : sleepUntilLimit
                             ? relay.MillisecondsUntilDue(holdsPipe   ? kRelayPipeKeep
                                                          : lingering ? kRelayLinger
                                                                      : kRelaySilenceLimit)
                             : kRelayPollMilliseconds;
        if (poll(sockets, 3, wait) > 0) {
            constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
            fromClient.Readable = (sockets[0].revents & kReadable) != 0;
            fromServer.Readable = (sockets[1].revents & kReadable) != 0;
        }
    }
    if (!closed)
        relay.TraceStop();
}

} // namespace

void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, const std::atomic<bool>* stopFlag,
                   const std::function<void()>& activity, const TTickClock& clock) {
    RelayCore(client, server, trace, dropLoneCrLf, stopFlag, -1, false, activity, clock);
}

void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, const TStopSignal* stop,
                   const std::function<void()>& activity, const TTickClock& clock) {
    RelayCore(client, server, trace, dropLoneCrLf, stop != nullptr ? &stop->Flag() : nullptr,
              stop != nullptr ? stop->WakeDescriptor() : -1, true, activity, clock);
}

void RelayBothWays(TCommunication& client, TCommunication& server, std::FILE* trace,
                   bool dropLoneCrLf, std::nullptr_t, const std::function<void()>& activity,
                   const TTickClock& clock) {
    RelayCore(client, server, trace, dropLoneCrLf, nullptr, -1, false, activity, clock);
}

std::uint64_t RelayPipesMade() {
    return gRelayPipesMade.load(std::memory_order_relaxed);
}

} // namespace harbolt
