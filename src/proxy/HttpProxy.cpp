#include "proxy/HttpProxy.h"

#include "net/PipeSignal.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "proxy/HttpFraming.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

namespace {

constexpr std::uint32_t kConnectPhase = 5000;
constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kIncomingRequest = "INCOMING REQUEST: ";
constexpr std::string_view kOutgoingRequest = "OUTGOING REQUEST: ";
constexpr std::string_view kIncomingAnswer = "INCOMING ANSWER: ";
constexpr std::string_view kOutgoingAnswer = "OUTGOING ANSWER: ";

// Bytes taken from a socket at once: bodies move in large pieces.
constexpr std::size_t kReadPiece = 65536;
// A side is read only while less than this waits to go to the other side, and less than this of
// its own bytes waits to be looked at: a peer that does not read holds back the other.
constexpr std::size_t kHighWater = 262144;
// Requests passed on whose answers have not come yet.
constexpr std::size_t kMaxPipelined = 32;
// What one splice asks of a socket: more than a pipe holds, so that the pipe's room decides.
constexpr std::size_t kSpliceAsk = std::size_t{1} << 20;
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
// Splices in a row before the next poll, while both sockets keep up.
constexpr int kSpliceRounds = 16;
// Nothing moved either way for this long: the connection is given up, as a relay would.
constexpr std::chrono::milliseconds kSilenceLimit{900000};

using TClock = std::chrono::steady_clock;

// "<-- HEAD: line -->", one line of the trace file.
void TraceLine(std::FILE* trace, std::string_view head, std::string_view line) {
    if (trace == nullptr)
        return;
    std::string record;
    record.reserve(head.size() + line.size() + 9);
    record += "<-- ";
    record += head;
    record += line;
    record += " -->\n";
    std::fwrite(record.data(), 1, record.size(), trace);
}

void TraceLines(std::FILE* trace, std::string_view head, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        TraceLine(trace, head, line);
}

// "<-- HEAD(n): bytes -->", bytes 10, 13 and 32 to 254 as they are and every other byte as a
// backslash and two hexadecimal digits, as the relay traces.
void TraceBytes(std::FILE* trace, std::string_view head, std::string_view bytes) {
    if (trace == nullptr || bytes.empty())
        return;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string record = "<-- " + std::string(head) + "(" + std::to_string(bytes.size()) + "): ";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 10 || byte == 13 || (byte >= 32 && byte <= 254)) {
            record += c;
        } else {
            record += '\\';
            record += kHex[byte >> 4];
            record += kHex[byte & 0x0F];
        }
    }
    record += " -->\n";
    std::fwrite(record.data(), 1, record.size(), trace);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
        bytes += "\r\n";
    }
    return bytes;
}

// Every line of a head as it came, the empty last line included.
std::vector<std::string> HeadLines(const THttpHead& head) {
    std::vector<std::string> lines{std::string(head.FirstLine)};
    for (const THttpField& field : head.Fields)
        lines.emplace_back(field.Line);
    lines.emplace_back();
    return lines;
}

// An answer of the proxy's own, with the reason as its text; the connection ends after it.
std::string OwnAnswer(std::string_view status, std::string_view reason) {
    const std::string body = std::string(reason) + "\r\n";
    return "HTTP/1.1 " + std::string(status) +
           "\r\nServer: Harbolt\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Oversized request heads are for a person to know about; a client sending many must not flood
// the log.
TEventRateLimit& OversizedHeadEvents() {
    static TEventRateLimit limit(SystemTickClock(), 10, "oversized HTTP request heads");
    return limit;
}

std::string ClientText(const TCommunication& client) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &client.RemoteAddress().sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(client.RemoteAddress().sin_port));
}

// Bytes received and not yet looked at, or waiting to be sent. The room is not cleared before a
// receive: a body moves through in large pieces, and clearing them would cost as much again.
class TByteQueue {
public:
    std::string_view View() const { return {fData.get() + fStart, fEnd - fStart}; }
    std::size_t Size() const { return fEnd - fStart; }
    bool Empty() const { return fStart == fEnd; }
    void Append(std::string_view bytes) {
        MakeRoom(bytes.size());
        std::copy(bytes.begin(), bytes.end(), fData.get() + fEnd);
        fEnd += bytes.size();
    }
    void Drop(std::size_t count) {
        fStart += count;
        if (fStart == fEnd)
            Clear();
    }
    void Clear() { fStart = fEnd = 0; }
    // One receive without waiting: the count, 0 when the peer closed, -1 on a failure, -2 when
    // nothing is there.
    long ReceiveFrom(int socket) {
        MakeRoom(kReadPiece);
        ssize_t received;
        do {
            received = recv(socket, fData.get() + fEnd, kReadPiece, MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        if (received < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        fEnd += static_cast<std::size_t>(received);
        return static_cast<long>(received);
    }
    // Sends what the socket takes without waiting; false when it failed.
    bool SendTo(int socket) {
        while (!Empty()) {
            const ssize_t sent =
                send(socket, fData.get() + fStart, Size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0)
                Drop(static_cast<std::size_t>(sent));
            else if (sent < 0 && errno == EINTR)
                continue;
            else
                return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return true;
    }

private:
    // Room for count more bytes at the end: the bytes move to the front, or to a larger block.
    void MakeRoom(std::size_t count) {
        if (fCapacity - fEnd >= count)
            return;
        const std::size_t size = Size();
        if (fCapacity - size < count || fData == nullptr) {
            const std::size_t capacity = std::max(fCapacity * 2, size + count);
            auto data = std::make_unique_for_overwrite<char[]>(capacity);
            std::copy(fData.get() + fStart, fData.get() + fEnd, data.get());
            fData = std::move(data);
            fCapacity = capacity;
        } else {
            std::copy(fData.get() + fStart, fData.get() + fEnd, fData.get());
        }
        fStart = 0;
        fEnd = size;
    }

    std::unique_ptr<char[]> fData;
    std::size_t fCapacity = 0;
    std::size_t fStart = 0;
    std::size_t fEnd = 0;
};

// Answer body bytes from the origin to the client through a pipe (splice): a large download then
// does not pass through this process. Splicing waits as its sockets say, so they are made
// non-blocking first.
class TSplicePipe {
public:
    TSplicePipe() = default;
    ~TSplicePipe() {
        for (const int end : fEnds)
            if (end >= 0)
                close(end);
    }
    TSplicePipe(const TSplicePipe&) = delete;
    TSplicePipe& operator=(const TSplicePipe&) = delete;

    // Makes the pipe at the first use; false when none can be made (the bytes are copied then).
    bool Usable() {
        if (fEnds[0] < 0 && !fFailed && pipe2(fEnds.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
            fFailed = true;
            fEnds = {-1, -1};
        }
        return !fFailed;
    }
    std::size_t InPipe() const { return fInPipe; }
    // From the socket into the pipe: the count, 0 when the peer closed, -1 on a failure, -2 when
    // nothing could be taken.
    long Fill(int from, std::size_t limit) {
        for (;;) {
            const ssize_t moved = splice(from, nullptr, fEnds[1], nullptr, limit, kSpliceFlags);
            if (moved >= 0) {
                fInPipe += static_cast<std::size_t>(moved);
                return static_cast<long>(moved);
            }
            if (errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        }
    }
    // From the pipe into the socket, as far as it takes; false when it failed.
    bool Drain(int to) {
        while (fInPipe > 0) {
            const ssize_t moved = splice(fEnds[0], nullptr, to, nullptr, fInPipe, kSpliceFlags);
            if (moved > 0)
                fInPipe -= static_cast<std::size_t>(moved);
            else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            else if (moved == 0 || errno != EINTR)
                return false;
        }
        return true;
    }

private:
    std::array<int, 2> fEnds{-1, -1};
    bool fFailed = false;
    std::size_t fInPipe = 0;
};

void SetNonBlocking(int socket, bool nonBlocking) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags >= 0)
        fcntl(socket, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

enum class TEnd {
    None,   // still running
    Close,  // all answered that will be: the client connection closes, gently
    Abort,  // a failure, a cut body, a time limit or the stop: both close at once
    Tunnel, // CONNECT or a granted upgrade: the bytes pass raw from here on
};

// A request passed on to the origin whose answer has not been passed back in full.
struct TPending {
    std::string Method;
    THttpTarget Target;
    bool KeepAlive = false; // the client keeps the connection open after it
    bool Upgrade = false;
    bool BodyDone = true;
    // Decided with the final answer's head.
    bool CloseAfter = false;
    bool OriginCloses = false;
};

// One client connection: requests framed and passed to their origins, answers framed and passed
// back in request order, both directions at once, on the calling thread.
class THttpConnection {
public:
    THttpConnection(TBufferedCommunication& client, std::FILE* trace, const TActivity& activity,
                    const TStopSignal& stop, const THttpProxyOptions& options)
        : fClient(client), fTrace(trace), fActivity(activity), fStop(stop), fOptions(options) {}

    TEnd Run();

    std::unique_ptr<TBufferedCommunication> Origin;
    // For a tunnel: what is still to reach each side before the raw relay.
    std::string ForClient() const {
        return std::string(fToClient.View()) + std::string(fFromOrigin.View());
    }
    std::string ForOrigin() const {
        return std::string(fToOrigin.View()) + std::string(fFromClient.View());
    }
    // Splicing made the sockets non-blocking; a tunnel's first sends wait as usual.
    void RestoreBlocking() {
        if (fSpliced) {
            SetNonBlocking(fClient.Socket(), false);
            if (Origin)
                SetNonBlocking(Origin->Socket(), false);
        }
    }

private:
    bool ProcessRequest();
    bool StartRequest();
    void OpenTunnel(const THttpRequestLine& request);
    void Refuse(std::string_view status, std::string_view reason);
    bool ProcessAnswer();
    bool PassAnswerHead(TPending& pending, std::string_view text);
    void AnswerFailed(std::string_view reason);
    void FinishAnswer();
    void DropOrigin();
    bool Finished() const;
    void Wait();
    void ReadClient();
    void ReadOrigin();
    bool AnswerSplices();
    void SpliceAnswer();
    void Moved() {
        fLastTraffic = TClock::now();
        if (fActivity)
            fActivity();
    }

    TBufferedCommunication& fClient;
    std::FILE* fTrace;
    const TActivity& fActivity;
    const TStopSignal& fStop;
    const THttpProxyOptions& fOptions;
    TEnd fEnd = TEnd::None;

    TByteQueue fFromClient, fToOrigin, fFromOrigin, fToClient;
    bool fClientEof = false;
    bool fOriginEof = false;
    bool fOriginWriteFailed = false; // the origin took no more: its answer may still come
    std::string fOriginEndpoint;

    // The request side.
    THeadScanner fRequestScanner{kHttpMaxLine, kHttpMaxLine, kHttpMaxHead};
    std::string fHead;         // a complete head waiting for earlier answers
    bool fHeadWaits = false;   // fHead holds one
    bool fHeadTraced = false;  // its lines are in the trace
    bool fRequestBody = false; // the last request's body is under way
    TBodyFramer fRequestFramer;
    bool fHalted = false; // no further request is read (the last one closes, or upgrades)
    std::optional<std::string> fOwnAnswer; // goes out once the earlier answers are through
    bool fClosing = false;                 // ends once fToClient is out

    // The answer side.
    std::deque<TPending> fPending;
    THeadScanner fAnswerScanner{kHttpMaxAnswerHead, kHttpMaxAnswerHead, kHttpMaxAnswerHead};
    bool fAnswerBody = false;
    TBodyFramer fAnswerFramer;
    TSplicePipe fAnswerPipe;
    TPipeSignalBlock fPipeSignal;
    bool fSpliced = false;       // the client socket was made non-blocking
    bool fOriginSpliced = false; // and the current origin's

    std::optional<TClock::time_point> fHeadDeadline;
    TClock::time_point fLastTraffic = TClock::now();
    TClock::time_point fLastClientBytes = TClock::now();
};

TEnd THttpConnection::Run() {
    fFromClient.Append(fClient.TakeHeld());
    fHeadDeadline = TClock::now() + std::chrono::milliseconds(RequestTimeLimit());
    for (;;) {
        for (bool moved = true; moved && fEnd == TEnd::None;) {
            const bool answered = ProcessAnswer();
            const bool requested = ProcessRequest();
            moved = answered || requested;
        }
        if (fEnd == TEnd::None && !fAnswerPipe.Drain(fClient.Socket()))
            fEnd = TEnd::Abort;
        if (fEnd == TEnd::None && fAnswerPipe.InPipe() == 0 && !fToClient.SendTo(fClient.Socket()))
            fEnd = TEnd::Abort;
        if (fEnd == TEnd::None && Origin && !fToOrigin.SendTo(Origin->Socket())) {
            fToOrigin.Clear();
            fOriginWriteFailed = true;
        }
        if (fEnd == TEnd::None && Finished())
            fEnd = TEnd::Close;
        if (fEnd != TEnd::None)
            return fEnd;
        Wait();
    }
}

bool THttpConnection::Finished() const {
    if (!fToClient.Empty() || fAnswerPipe.InPipe() > 0)
        return false;
    if (fClosing)
        return true;
    // The client has said all: once its requests are answered there is nothing left to do.
    return fClientEof && fPending.empty() && !fHeadWaits && !fOwnAnswer;
}

bool THttpConnection::ProcessRequest() {
    if (fClosing)
        return false;
    if (fRequestBody) {
        if (fFromClient.Empty())
            return false;
        const std::size_t taken = fRequestFramer.Take(fFromClient.View());
        if (fRequestFramer.Failed()) {
            // The origin has part of a request that cannot be finished.
            fEnd = TEnd::Abort;
            return false;
        }
        const std::string_view body = fFromClient.View().substr(0, taken);
        TraceBytes(fTrace, "COPY", body);
        if (!fOriginWriteFailed && Origin)
            fToOrigin.Append(body);
        fFromClient.Drop(taken);
        if (fRequestFramer.Done()) {
            fRequestBody = false;
            if (!fPending.empty())
                fPending.back().BodyDone = true;
        }
        return taken > 0;
    }
    if (fHalted || fPending.size() >= kMaxPipelined)
        return false;
    if (!fHeadWaits) {
        if (!fFromClient.Empty() && !fHeadDeadline)
            fHeadDeadline = TClock::now() + std::chrono::milliseconds(RequestTimeLimit());
        // Empty lines before a request line are passed over, as the CR LF some browsers send
        // after a body.
        std::size_t blank = 0;
        const std::string_view bytes = fFromClient.View();
        while (blank < bytes.size() &&
               (bytes[blank] == '\n' ||
                (bytes[blank] == '\r' && blank + 1 < bytes.size() && bytes[blank + 1] == '\n')))
            ++blank;
        fFromClient.Drop(blank);
        if (fFromClient.Empty())
            return blank > 0;
        switch (fRequestScanner.Scan(fFromClient.View())) {
        case THeadScanner::TState::Incomplete:
            return blank > 0;
        case THeadScanner::TState::FirstLineTooLong:
            OversizedHeadEvents().Log(TEventLevel::Warning, "HTTP client " + ClientText(fClient) +
                                                                ": request line over " +
                                                                std::to_string(kHttpMaxLine) +
                                                                " bytes, answered 414");
            Refuse("414 URI Too Long", "the request line is too long");
            return true;
        case THeadScanner::TState::LineTooLong:
        case THeadScanner::TState::HeadTooLarge:
            OversizedHeadEvents().Log(TEventLevel::Warning,
                                      "HTTP client " + ClientText(fClient) +
                                          ": request header line over " +
                                          std::to_string(kHttpMaxLine) + " bytes or head over " +
                                          std::to_string(kHttpMaxHead) + " bytes, answered 431");
            Refuse("431 Request Header Fields Too Large", "the request head is too large");
            return true;
        case THeadScanner::TState::Complete:
            break;
        }
        fHead.assign(fFromClient.View().substr(0, fRequestScanner.Length()));
        fFromClient.Drop(fRequestScanner.Length());
        fRequestScanner.Reset();
        fHeadWaits = true;
        fHeadTraced = false;
        fHeadDeadline.reset();
    }
    return StartRequest();
}

void THttpConnection::Refuse(std::string_view status, std::string_view reason) {
    fOwnAnswer = OwnAnswer(status, reason);
    fHalted = true;
    fHeadWaits = false;
}

bool THttpConnection::StartRequest() {
    const THttpHead head = ParseHead(fHead);
    if (!std::exchange(fHeadTraced, true))
        TraceLines(fTrace, kIncomingRequest, HeadLines(head));
    if (HasBareCr(head)) {
        Refuse("400 Bad Request", "a line of the request head holds a bare CR");
        return true;
    }
    const std::optional<THttpRequestLine> request = SplitRequestLine(head.FirstLine);
    if (!request) {
        Refuse("400 Bad Request", "the request line is malformed");
        return true;
    }
    if (IsConnectMethod(request->Method)) {
        if (!fPending.empty())
            return false;
        OpenTunnel(*request);
        return true;
    }
    THttpTarget target = SplitProxyUrl(request->Url);
    // A request in origin form names its server in Host.
    if (target.Host.empty() && request->Url.starts_with('/'))
        for (const THttpField& field : head.Fields)
            if (SameTextAscii(field.Name, "Host"))
                target.Host = field.Value;
    if (target.Host.empty()) {
        Refuse("400 Bad Request", "the request names no server");
        return true;
    }
    if (const std::optional<std::string> unusable = UnusableHost(target.Host)) {
        Refuse("400 Bad Request", *unusable);
        return true;
    }
    const TBodyFraming framing = RequestFraming(head);
    if (!framing.Valid) {
        Refuse("400 Bad Request", "the length of the request body is unclear");
        return true;
    }
    const std::string endpoint = OriginEndpoint(target.Host);
    if (!Origin || endpoint != fOriginEndpoint) {
        // Another server: its answers must not overtake those still due from the last one.
        if (!fPending.empty())
            return false;
        DropOrigin();
        TConnectOutcome outcome = fOptions.Connect(endpoint, fStop);
        if (!outcome.Channel) {
            if (outcome.Failure == TConnectFailure::Stopped) {
                fEnd = TEnd::Abort;
                return false;
            }
            Refuse(outcome.Failure == TConnectFailure::TimedOut ? "504 Gateway Timeout"
                                                                : "502 Bad Gateway",
                   outcome.Reason);
            return true;
        }
        Origin = std::move(outcome.Channel);
        fOriginEndpoint = endpoint;
    }

    TPending pending{request->Method, std::move(target)};
    pending.KeepAlive = RequestKeepsAlive(request->Version, head);
    pending.Upgrade = HasField(head, "Upgrade");
    pending.BodyDone = framing.Kind == TBodyKind::None;
    std::vector<std::string> lines{OriginRequestLine(*request, pending.Target)};
    for (const std::string_view line : ForwardedFields(head, pending.Upgrade))
        lines.emplace_back(line);
    // The proxy speaks for itself towards the origin: it keeps that connection unless the client
    // will not send more.
    if (pending.Upgrade)
        lines.emplace_back("Connection: upgrade");
    else if (!pending.KeepAlive)
        lines.emplace_back("Connection: close");
    else if (!AtLeastHttp11(request->Version))
        lines.emplace_back("Connection: keep-alive");
    lines.emplace_back();
    TraceLines(fTrace, kOutgoingRequest, lines);
    if (!fOriginWriteFailed)
        fToOrigin.Append(Joined(lines));
    fHalted = !pending.KeepAlive || pending.Upgrade;
    fPending.push_back(std::move(pending));
    if (framing.Kind != TBodyKind::None) {
        fRequestFramer = TBodyFramer(framing);
        fRequestBody = true;
        fLastClientBytes = TClock::now();
    }
    fHeadWaits = false;
    fHead.clear();
    return true;
}

void THttpConnection::OpenTunnel(const THttpRequestLine& request) {
    fHeadWaits = false;
    DropOrigin();
    const std::string host = SplitProxyUrl(request.Url).Host;
    if (const std::optional<std::string> unusable = UnusableHost(host)) {
        fToClient.Append(OwnAnswer("400 Bad Request", *unusable));
        fClosing = true;
        return;
    }
    TConnectOutcome outcome = fOptions.Connect(OriginEndpoint(host), fStop);
    if (!outcome.Channel) {
        if (outcome.Failure == TConnectFailure::Stopped) {
            fEnd = TEnd::Abort;
        } else {
            fToClient.Append(OwnAnswer("502 Bad Gateway", outcome.Reason));
            fClosing = true;
        }
        return;
    }
    Origin = std::move(outcome.Channel);
    fToClient.Append("HTTP/1.1 200 Connection established\r\n"
                     "Server: Harbolt\r\n"
                     "Connection: Keep-alive\r\n"
                     "\r\n");
    fEnd = TEnd::Tunnel;
}

void THttpConnection::DropOrigin() {
    Origin.reset();
    fOriginEndpoint.clear();
    fFromOrigin.Clear();
    fToOrigin.Clear();
    fOriginEof = fOriginWriteFailed = fOriginSpliced = false;
    fAnswerScanner.Reset();
}

bool THttpConnection::ProcessAnswer() {
    if (fAnswerPipe.InPipe() > 0)
        return false; // the spliced bytes go first
    if (fPending.empty()) {
        if (fOwnAnswer) {
            fToClient.Append(*fOwnAnswer);
            fOwnAnswer.reset();
            fClosing = true;
            return true;
        }
        // An origin that speaks or closes unasked is done with this connection.
        if (Origin && (fOriginEof || !fFromOrigin.Empty()))
            DropOrigin();
        return false;
    }
    TPending& pending = fPending.front();
    if (!fAnswerBody) {
        if (fFromOrigin.Empty()) {
            if (fOriginEof)
                AnswerFailed("the server closed the connection without answering");
            return fOriginEof;
        }
        switch (fAnswerScanner.Scan(fFromOrigin.View())) {
        case THeadScanner::TState::Incomplete:
            if (fOriginEof)
                AnswerFailed("the server closed the connection in the middle of its answer");
            return fOriginEof;
        case THeadScanner::TState::Complete:
            break;
        default:
            AnswerFailed("the server's answer head is larger than " +
                         std::to_string(kHttpMaxAnswerHead) + " bytes");
            return true;
        }
        const std::string text(fFromOrigin.View().substr(0, fAnswerScanner.Length()));
        fFromOrigin.Drop(fAnswerScanner.Length());
        fAnswerScanner.Reset();
        return PassAnswerHead(pending, text);
    }
    const std::size_t taken = fAnswerFramer.Take(fFromOrigin.View());
    if (fAnswerFramer.Failed()) {
        fEnd = TEnd::Abort; // the answer has begun: the client can only see it cut
        return false;
    }
    const std::string_view body = fFromOrigin.View().substr(0, taken);
    TraceBytes(fTrace, "[reading from Server] WRITE", body);
    fToClient.Append(body);
    fFromOrigin.Drop(taken);
    if (fAnswerFramer.Done() || (fOriginEof && fAnswerFramer.EndsAtClose())) {
        FinishAnswer();
        return true;
    }
    if (fOriginEof && fFromOrigin.Empty())
        fEnd = TEnd::Abort; // cut short: closing tells the client so
    return taken > 0;
}

bool THttpConnection::PassAnswerHead(TPending& pending, std::string_view text) {
    const THttpHead head = ParseHead(text);
    TraceLines(fTrace, kIncomingAnswer, HeadLines(head));
    const std::optional<int> status = StatusCode(head.FirstLine);
    if (!status || (*status == 101 && !pending.Upgrade) || HasBareCr(head)) {
        AnswerFailed("the server's answer is not HTTP/1.x");
        return true;
    }
    std::vector<std::string> lines{std::string(head.FirstLine)};
    if (*status < 200) {
        // 100 Continue, 103 Early Hints: on to the client at once; the final answer follows.
        for (const std::string_view line : ForwardedFields(head, *status == 101))
            lines.emplace_back(line);
        if (*status == 101)
            lines.emplace_back("Connection: upgrade");
        lines.emplace_back();
        TraceLines(fTrace, kOutgoingAnswer, lines);
        fToClient.Append(Joined(lines));
        if (*status == 101)
            fEnd = TEnd::Tunnel;
        return true;
    }
    const TBodyFraming framing = AnswerFraming(pending.Method, *status, head);
    if (!framing.Valid) {
        AnswerFailed("the server's answer has no readable length");
        return true;
    }
    pending.OriginCloses = framing.Kind == TBodyKind::UntilClose ||
                           !AnswerKeepsAlive(head.FirstLine.substr(0, 8), head);
    // The connection ends after this answer when the client wants it so, when only the close
    // can end the answer, when the request body is not through (the origin answered early), and
    // when the origin closes with later requests already sent to it.
    pending.CloseAfter = !pending.KeepAlive || framing.Kind == TBodyKind::UntilClose ||
                         !pending.BodyDone || fOriginWriteFailed ||
                         (pending.OriginCloses && fPending.size() > 1);
    lines.push_back(MpmUriLine(pending.Target));
    lines.emplace_back(kViaLine);
    for (const std::string_view line : ForwardedFields(head, false, framing.DropContentLength))
        lines.emplace_back(line);
    lines.emplace_back(pending.CloseAfter ? "Connection: close" : "Connection: keep-alive");
    lines.emplace_back();
    TraceLines(fTrace, kOutgoingAnswer, lines);
    fToClient.Append(Joined(lines));
    fAnswerFramer = TBodyFramer(framing);
    fAnswerBody = true;
    if (fAnswerFramer.Done())
        FinishAnswer();
    return true;
}

void THttpConnection::AnswerFailed(std::string_view reason) {
    fToClient.Append(OwnAnswer("502 Bad Gateway", reason));
    fClosing = true;
    DropOrigin();
}

void THttpConnection::FinishAnswer() {
    const TPending done = std::move(fPending.front());
    fPending.pop_front();
    fAnswerBody = false;
    if (done.OriginCloses || !done.BodyDone)
        DropOrigin();
    if (done.CloseAfter)
        fClosing = true;
    else if (done.Upgrade)
        fHalted = false; // the upgrade was not granted: requests go on
}

void THttpConnection::ReadClient() {
    const long received = fFromClient.ReceiveFrom(fClient.Socket());
    if (received == -2)
        return;
    if (received < 0) {
        fEnd = TEnd::Abort;
        return;
    }
    if (received == 0) {
        fClientEof = true;
        if (fRequestBody && !fClosing)
            fEnd = TEnd::Abort; // a body cut short
        return;
    }
    fLastClientBytes = TClock::now();
    Moved();
    if (fClosing)
        fFromClient.Clear(); // read only so that the close resets nothing
}

void THttpConnection::ReadOrigin() {
    const long received = fFromOrigin.ReceiveFrom(Origin->Socket());
    if (received == -2)
        return;
    if (received <= 0) {
        fOriginEof = true; // a reset ends the answer as a close does
        return;
    }
    Moved();
}

void THttpConnection::Wait() {
    const auto now = TClock::now();
    const bool readClient =
        !fClientEof && fFromClient.Size() < kHighWater && fToOrigin.Size() < kHighWater;
    // A body pauses only while the proxy would take more of it: an origin slow to read is no
    // pause of the client's.
    if (!readClient)
        fLastClientBytes = now;
    auto due = fLastTraffic + kSilenceLimit;
    if (fHeadDeadline)
        due = std::min(due, *fHeadDeadline);
    if (fRequestBody)
        due = std::min(due, fLastClientBytes + std::chrono::milliseconds(RequestTimeLimit()));
    if (fPending.empty() && !fRequestBody && !fHeadWaits && fFromClient.Empty())
        due = std::min(due, fLastTraffic + fOptions.IdleLimit);
    if (now >= due) {
        fEnd = TEnd::Abort;
        return;
    }
    pollfd sockets[3] = {{fClient.Socket(), 0, 0}, {-1, 0, 0}, {fStop.WakeDescriptor(), POLLIN, 0}};
    if (readClient)
        sockets[0].events |= POLLIN;
    if (!fToClient.Empty() || fAnswerPipe.InPipe() > 0)
        sockets[0].events |= POLLOUT;
    if (Origin) {
        sockets[1].fd = Origin->Socket();
        if (!fOriginEof && fFromOrigin.Size() < kHighWater && fToClient.Size() < kHighWater &&
            fAnswerPipe.InPipe() == 0)
            sockets[1].events |= POLLIN;
        if (!fToOrigin.Empty())
            sockets[1].events |= POLLOUT;
    }
    // A socket nothing is expected of stays out: after its peer closed it would report a
    // hang-up at once, every time.
    for (int i = 0; i < 2; ++i)
        if (sockets[i].events == 0)
            sockets[i].fd = -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    const int ready =
        poll(sockets, 3, static_cast<int>(std::min<std::int64_t>(wait, 24 * 3600 * 1000)));
    if (fStop.Raised()) {
        fEnd = TEnd::Abort;
        return;
    }
    if (ready <= 0)
        return;
    constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
    if ((sockets[0].revents & kReadable) != 0 && (sockets[0].events & POLLIN) != 0)
        ReadClient();
    if (fEnd == TEnd::None && Origin && (sockets[1].revents & kReadable) != 0 &&
        (sockets[1].events & POLLIN) != 0) {
        if (AnswerSplices())
            SpliceAnswer();
        else
            ReadOrigin();
    }
}

// Plain bytes of an answer body, nothing else waiting for the client, nothing to trace.
bool THttpConnection::AnswerSplices() {
    return fTrace == nullptr && fAnswerBody && fFromOrigin.Empty() && fToClient.Empty() &&
           fAnswerFramer.PlainBytes() > 0 && fAnswerPipe.Usable();
}

void THttpConnection::SpliceAnswer() {
    if (!fSpliced) {
        fPipeSignal.Set();
        SetNonBlocking(fClient.Socket(), true);
        fSpliced = true;
    }
    if (!fOriginSpliced) {
        SetNonBlocking(Origin->Socket(), true);
        fOriginSpliced = true;
    }
    // A few rounds before the next poll, as long as the client takes what comes.
    for (int round = 0; round < kSpliceRounds && fAnswerFramer.PlainBytes() > 0; ++round) {
        const long moved =
            fAnswerPipe.Fill(Origin->Socket(), static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   fAnswerFramer.PlainBytes(), kSpliceAsk)));
        if (moved > 0) {
            fAnswerFramer.Passed(static_cast<std::uint64_t>(moved));
            Moved();
        } else if (moved == -2) {
            // Poll found bytes that a splice cannot take: it stops at the mark of urgent data,
            // which an ordinary receive steps over.
            if (round == 0)
                ReadOrigin();
            return;
        } else {
            fOriginEof = true;
            return;
        }
        if (!fAnswerPipe.Drain(fClient.Socket())) {
            fEnd = TEnd::Abort;
            return;
        }
        if (fAnswerPipe.InPipe() > 0)
            return; // the client's turn to take
    }
}

// Whether the client has closed its sending side with nothing of it left unread: closing then
// changes nothing on the wire, and no pause is needed.
bool ClientFinished(const TCommunication& client) {
    char byte;
    return recv(client.Socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

} // namespace

std::optional<THttpRequestLine> SplitRequestLine(std::string_view line) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos)
        return std::nullopt;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    return THttpRequestLine{std::string(line.substr(0, first)),
                            std::string(line.substr(first + 1, second - first - 1)),
                            std::string(line.substr(second + 1))};
}

THttpTarget SplitProxyUrl(std::string_view url) {
    if (url.substr(0, kHttpPrefix.size()) == kHttpPrefix)
        url.remove_prefix(kHttpPrefix.size());
    const std::size_t slash = url.find('/');
    if (slash == std::string_view::npos)
        return THttpTarget{std::string(url), std::nullopt};
    return THttpTarget{std::string(url.substr(0, slash)), std::string(url.substr(slash + 1))};
}

std::string OriginEndpoint(std::string_view host) {
    std::string endpoint(host);
    const std::size_t close = endpoint.starts_with('[') ? endpoint.find(']') : 0;
    if (close != std::string::npos && endpoint.find(':', close) == std::string::npos)
        endpoint += ":80";
    return endpoint;
}

std::string OriginRequestLine(const THttpRequestLine& request, const THttpTarget& target) {
    return request.Method + " /" + target.Path.value_or("") + " " + request.Version;
}

std::string MpmUriLine(const THttpTarget& target) {
    return "X-MPM-URI: http://" + target.Host + "/" + target.Path.value_or("");
}

bool IsConnectMethod(std::string_view method) {
    return SameTextAscii(method, "CONNECT");
}

TConnectOutcome ConnectOrigin(const std::string& endpoint, const TStopSignal& stop) {
    return ConnectOnward(endpoint, kConnectPhase, stop);
}

void HandleHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop) {
    RunHttpProxy(std::move(client), trace, activity, stop, THttpProxyOptions{});
}

void RunHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                  const TActivity& activity, const TStopSignal& stop,
                  const THttpProxyOptions& options) {
    THttpConnection connection(*client, trace, activity, stop, options);
    TEnd end = TEnd::Abort;
    try {
        end = connection.Run();
    } catch (const std::exception& failure) {
        LogEvent(TEventLevel::Warning, std::string("HTTP proxy: ") + failure.what());
    }
    std::unique_ptr<TBufferedCommunication> origin = std::move(connection.Origin);
    if (end == TEnd::Tunnel && origin && !stop.Raised()) {
        try {
            connection.RestoreBlocking();
            const std::string forClient = connection.ForClient();
            const std::string forOrigin = connection.ForOrigin();
            client->Send(forClient.data(), static_cast<int>(forClient.size()));
            origin->Send(forOrigin.data(), static_cast<int>(forOrigin.size()));
            // The bytes belong to the protocol inside the tunnel: all pass.
            RelayBothWays(*client, *origin, trace, false, &stop, activity);
        } catch (const std::exception&) {
            // The peer went away before the relay began: both close.
        }
    } else if (end != TEnd::Close) {
        origin.reset();
        client.reset();
        return;
    } else {
        origin.reset(); // the answers are through; the origin has nothing more to say
    }
    // After the last answer the client learns at once that nothing more comes: many a client
    // waits for that before it counts the answer as complete.
    std::chrono::milliseconds beforeShutdown = options.BeforeShutdown;
    if (end == TEnd::Close) {
        shutdown(client->Socket(), SHUT_WR);
        beforeShutdown = std::chrono::milliseconds(0);
    }
    const bool pauses = options.BeforeShutdown.count() > 0 || options.AfterShutdown.count() > 0;
    if (pauses && !stop.Raised() && !ClientFinished(*client)) {
        // The client may still be sending: closing at once could reset the connection before it
        // has read the last answer. The pauses hold the channels, not this thread.
        TLingerer& lingerer = options.Lingerer != nullptr ? *options.Lingerer : ProxyLingerer();
        lingerer.Hand(std::move(client), std::move(origin), beforeShutdown, options.AfterShutdown);
        return;
    }
    shutdown(client->Socket(), SHUT_WR);
    if (origin)
        shutdown(origin->Socket(), SHUT_WR);
}

} // namespace harbolt
