#include "proxy/HttpProxy.h"

#include "platform/Clock.h"
#include "platform/CodePage.h"

#include <array>

#include <sys/socket.h>

namespace harbolt {

namespace {

constexpr std::uint32_t kConnectPhase = 5000;
constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kIncomingRequest = "INCOMING REQUEST: ";
constexpr std::string_view kOutgoingRequest = "OUTGOING REQUEST: ";
constexpr std::string_view kIncomingAnswer = "INCOMING ANSWER: ";
constexpr std::string_view kOutgoingAnswer = "OUTGOING ANSWER: ";

using TLineBuffer = std::array<char, kHttpLineCapacity>;

// One line without its line end. Every byte is kept, NUL bytes included: a header passes on as it
// came, and a line that merely starts with a NUL byte does not pass for the empty line that ends
// a head. ReceiveLine puts its terminating zero where the line end began, so the LF of a CR LF is
// still in place and a lone LF is not.
std::string ReadLine(TBufferedCommunication& channel, TLineBuffer& buffer) {
    const int raw = channel.ReceiveLine(buffer.data(), kHttpLineCapacity);
    const int ending = buffer[static_cast<std::size_t>(raw - 1)] == '\n' ? 2 : 1;
    return std::string(buffer.data(), static_cast<std::size_t>(raw - ending));
}

void SendLine(TBufferedCommunication& channel, std::string_view line) {
    channel.SendText(line);
    channel.SendLineEnd();
}

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

std::string_view WithoutBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The handler's state between the reading of the request line and the relay.
struct TExchange {
    TBufferedCommunication& Client;
    std::FILE* Trace;
    const TActivity& Activity;
    TLineBuffer Buffer{};

    std::string ReadClientLine() {
        std::string line = ReadLine(Client, Buffer);
        TraceLine(Trace, kIncomingRequest, line);
        return line;
    }

    // Request line, headers and body to the origin, then its answer head to the client with the
    // two added lines. False when the request cannot be passed on.
    bool PassRequest(TBufferedCommunication& origin, const THttpRequestLine& request,
                     const THttpTarget& target) {
        const std::string requestLine = OriginRequestLine(request, target);
        TraceLine(Trace, kOutgoingRequest, requestLine);
        SendLine(origin, requestLine);
        std::int64_t contentLength = 0;
        for (;;) {
            const std::string header = ReadClientLine();
            TraceLine(Trace, kOutgoingRequest, header);
            const TContentLengthField field = ParseContentLength(header);
            if (field.Named) {
                if (!field.Length)
                    return false; // no usable body length: the exchange cannot be followed
                contentLength = *field.Length;
            }
            SendLine(origin, header);
            if (header.empty())
                break;
        }
        origin.Flush();
        // The head is in; a long upload may take longer than the head's limit, but not pause
        // for longer.
        Client.SetReceiveDeadline(0);
        Client.SetReceiveSilenceLimit(RequestTimeLimit());
        if (contentLength > 0)
            DirectedTransfer(Client, origin, contentLength, kHttpLineCapacity, Buffer.data(), Trace,
                             Activity);

        const std::string status = ReadLine(origin, Buffer);
        TraceLine(Trace, kIncomingAnswer, status);
        TraceLine(Trace, kOutgoingAnswer, status);
        SendLine(Client, status);
        const std::string uri = MpmUriLine(target);
        SendLine(Client, uri);
        TraceLine(Trace, kOutgoingAnswer, uri);
        SendLine(Client, kViaLine);
        TraceLine(Trace, kOutgoingAnswer, kViaLine);
        for (;;) {
            const std::string header = ReadLine(origin, Buffer);
            TraceLine(Trace, kIncomingAnswer, header);
            TraceLine(Trace, kOutgoingAnswer, header);
            SendLine(Client, header);
            if (header.empty())
                break;
        }
        Client.Flush();
        return true;
    }

    // A tunnel: the browser's headers are read, then it learns whether the tunnel stands. True
    // when it does.
    bool AnswerConnect(bool established) {
        while (!ReadClientLine().empty()) {
        }
        if (established) {
            SendLine(Client, "HTTP/1.1 200 Connection established");
            SendLine(Client, "Server: Harbolt");
            SendLine(Client, "Connection: Keep-alive");
        } else {
            SendLine(Client, "HTTP/1.1 502 Bad Gateway");
            SendLine(Client, "Server: Harbolt");
        }
        Client.SendLineEnd();
        Client.Flush();
        return established;
    }
};

// Both peers have closed their sending sides and nothing of theirs is left unread: the relay has
// passed each end on and shut both sending sides down. The closing pauses would change nothing
// on the wire then, and the connections close at once instead of holding their descriptors.
bool BothPeersFinished(const TCommunication& client, const TCommunication& origin) {
    char byte;
    return recv(client.Socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0 &&
           recv(origin.Socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// What follows the first request on the connection.
enum class TFollowUp {
    Nothing,  // the connection ends
    Requests, // later requests and the rest of the answer pass raw
    Tunnel,   // the tunnel's bytes pass raw
};

TFollowUp PassFirstRequest(TBufferedCommunication& client,
                           std::unique_ptr<TBufferedCommunication>& origin, std::FILE* trace,
                           const TActivity& activity, const TStopSignal& stop,
                           const THttpProxyOptions& options) {
    TExchange exchange{client, trace, activity};
    client.SetReceiveDeadline(RequestTimeLimit());
    const std::optional<THttpRequestLine> request = SplitRequestLine(exchange.ReadClientLine());
    if (!request)
        return TFollowUp::Nothing;
    const THttpTarget target = SplitProxyUrl(request->Url);
    origin = options.Connect(OriginEndpoint(target.Host), stop);
    if (IsConnectMethod(request->Method))
        return exchange.AnswerConnect(origin != nullptr && !stop.Raised()) ? TFollowUp::Tunnel
                                                                           : TFollowUp::Nothing;
    if (origin == nullptr || !exchange.PassRequest(*origin, *request, target))
        return TFollowUp::Nothing;
    return TFollowUp::Requests;
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
    if (endpoint.find(':') == std::string::npos)
        endpoint += ":80";
    return endpoint;
}

std::string OriginRequestLine(const THttpRequestLine& request, const THttpTarget& target) {
    std::string line = request.Method + " /" + target.Path.value_or("") + " " + request.Version;
    if (line.size() > static_cast<std::size_t>(kHttpLineCapacity - 1))
        line.resize(static_cast<std::size_t>(kHttpLineCapacity - 1));
    return line;
}

std::string MpmUriLine(const THttpTarget& target) {
    return "X-MPM-URI: http://" + target.Host + "/" + target.Path.value_or("");
}

TContentLengthField ParseContentLength(std::string_view headerLine) {
    TContentLengthField field;
    const std::size_t colon = headerLine.find(':');
    if (colon == std::string_view::npos ||
        !SameTextAscii(headerLine.substr(0, colon), "Content-Length"))
        return field;
    field.Named = true;
    const std::string_view value = WithoutBlanks(headerLine.substr(colon + 1));
    if (value.empty())
        return field;
    std::int64_t length = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return field;
        length = length * 10 + (c - '0');
        if (length > kMaxHttpContentLength)
            return field; // checked at every digit, so the product never overflows
    }
    field.Length = length;
    return field;
}

bool IsConnectMethod(std::string_view method) {
    return SameTextAscii(method, "CONNECT");
}

std::unique_ptr<TBufferedCommunication> ConnectOrigin(const std::string& endpoint,
                                                      const TStopSignal& stop) {
    return ConnectWithin(endpoint, kConnectPhase, stop);
}

void HandleHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop) {
    RunHttpProxy(std::move(client), trace, activity, stop, THttpProxyOptions{});
}

void RunHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                  const TActivity& activity, const TStopSignal& stop,
                  const THttpProxyOptions& options) {
    std::unique_ptr<TBufferedCommunication> origin;
    TFollowUp followUp = TFollowUp::Nothing;
    try {
        followUp = PassFirstRequest(*client, origin, trace, activity, stop, options);
    } catch (const std::exception&) {
        // A line too long, a peer gone in the middle of a head, a body cut short: both
        // connections close without a further reply.
    }
    if (followUp != TFollowUp::Nothing && origin && !stop.Raised()) {
        client->SetReceiveDeadline(0);
        client->SetReceiveSilenceLimit(0);
        // A lone CR LF that a browser sends after a request body is no request; a tunnel's bytes
        // belong to the protocol inside it and all pass.
        RelayBothWays(*client, *origin, trace, followUp == TFollowUp::Requests, &stop, activity);
        const bool pauses = options.BeforeShutdown.count() > 0 || options.AfterShutdown.count() > 0;
        if (pauses && !stop.Raised() && !BothPeersFinished(*client, *origin)) {
            // The pauses hold the channels, not this thread.
            TLingerer& lingerer = options.Lingerer != nullptr ? *options.Lingerer : ProxyLingerer();
            lingerer.Hand(std::move(client), std::move(origin), options.BeforeShutdown,
                          options.AfterShutdown);
            return;
        }
        shutdown(client->Socket(), SHUT_WR);
        shutdown(origin->Socket(), SHUT_WR);
    }
    origin.reset();
    client.reset();
}

} // namespace harbolt
