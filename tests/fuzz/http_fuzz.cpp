// The HTTP proxy reads request heads and bodies from any browser of the network and answers from
// any server of the Internet. Whatever the bytes, the handler must neither crash nor hang, and what
// it passes on must hold together:
// - the request line splits into method, URL and version that make up the line again, and the
//   URL into host and path that make up the URL again; a host found usable is a name of host
//   name characters, a dotted address or a bracketed IPv6 address, and gets a port 1 to 65535;
// - a head scanner fed the bytes in two pieces finds what it finds fed them at once, within its
//   limits; the fields of a parsed head are lines of the head, and the forwarded ones hold no
//   field of the hop;
// - a body framer fed in two pieces takes what it takes fed at once, and never more than it got;
// - run through the handler, the browser gets HTTP answers only (or a tunnel's bytes after the
//   answer that opened it), a malformed request line or an unusable host gets 400, and a request
//   that can be passed on reaches the server it names in origin form, without the fields of the
//   hop.
//
// Input: the browser's bytes, then optionally the marker "#ORIGIN#" and the origin's bytes.
// Without the marker the origin cannot be reached. The handler runs over loopback connections
// whose far ends have sent everything in advance; its connector hands it the prepared origin
// connection for the first server the requests name, whatever it is, so nothing leaves the
// machine; any further server is refused.
#include "net/SocketLayer.h"
#include "platform/CodePage.h"
#include "proxy/HttpFraming.h"
#include "proxy/HttpProxy.h"

#include "FuzzCheck.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

using namespace harbolt;

namespace {

constexpr std::string_view kMarker = "#ORIGIN#";

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

// ---------------------------------------------------------------------------------------------
// The pure pieces

void CheckRequestLine(std::string_view line) {
    const std::optional<THttpRequestLine> request = SplitRequestLine(line);
    std::size_t blanks = 0;
    for (const char c : line)
        blanks += c == ' ' ? 1 : 0;
    FUZZ_CHECK(request.has_value() == (blanks >= 2));
    if (!request)
        return;
    FUZZ_CHECK(request->Method + " " + request->Url + " " + request->Version == line);
    FUZZ_CHECK(request->Method.find(' ') == std::string::npos);
    FUZZ_CHECK(request->Url.find(' ') == std::string::npos);

    const THttpTarget target = SplitProxyUrl(request->Url);
    FUZZ_CHECK(target.Host.find('/') == std::string::npos);
    const std::string rebuilt = target.Host + (target.Path ? "/" + *target.Path : "");
    if (StartsWith(request->Url, "http://"))
        FUZZ_CHECK("http://" + rebuilt == request->Url);
    else
        FUZZ_CHECK(rebuilt == request->Url);

    if (UnusableHost(target.Host))
        return;
    const std::string endpoint = OriginEndpoint(target.Host);
    const std::size_t colon = endpoint.rfind(':');
    FUZZ_CHECK(colon != std::string::npos && colon > 0 && colon + 1 < endpoint.size());
    const std::string port = endpoint.substr(colon + 1);
    FUZZ_CHECK(port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(std::stoul(port) >= 1 && std::stoul(port) <= 65535);
    const std::string name = endpoint.substr(0, colon);
    FUZZ_CHECK(name.size() <= kHttpMaxHostName + 2);
    if (name.front() == '[')
        FUZZ_CHECK(name.back() == ']');
    else
        FUZZ_CHECK(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-._") == std::string::npos);
}

void CheckContentLength(std::string_view value) {
    const std::optional<std::uint64_t> length = ContentLengthValue(value);
    std::string_view digits = value;
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t'))
        digits.remove_prefix(1);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
        digits.remove_suffix(1);
    const bool number =
        !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
    if (!number)
        FUZZ_CHECK(!length);
    if (number && digits.size() <= 12)
        FUZZ_CHECK(length.has_value());
    if (length)
        FUZZ_CHECK(*length <= kHttpMaxBodyLength &&
                   ContentLengthValue(std::to_string(*length)) == length);
}

// The head scanner, the head's fields and the framing of its body, on the input as a head.
void CheckHead(std::string_view bytes, std::size_t split) {
    THeadScanner whole(64, 128, 1024), pieces(64, 128, 1024);
    const THeadScanner::TState state = whole.Scan(bytes);
    split = std::min(split, bytes.size());
    THeadScanner::TState pieceState = pieces.Scan(bytes.substr(0, split));
    if (pieceState == THeadScanner::TState::Incomplete)
        pieceState = pieces.Scan(bytes);
    FUZZ_CHECK(pieceState == state);
    if (state != THeadScanner::TState::Complete)
        return;
    FUZZ_CHECK(whole.Length() == pieces.Length() && whole.Length() <= 1024);
    const std::string_view text = bytes.substr(0, whole.Length());
    FUZZ_CHECK(text.back() == '\n');
    const THttpHead head = ParseHead(text);
    FUZZ_CHECK(head.FirstLine.size() <= 64);
    for (const THttpField& field : head.Fields) {
        FUZZ_CHECK(!field.Line.empty() && field.Line.size() <= 128);
        FUZZ_CHECK(field.Line.find('\n') == std::string_view::npos);
        FUZZ_CHECK(field.Line.substr(0, field.Name.size()) == field.Name);
    }
    for (const bool keepUpgrade : {false, true})
        for (const std::string_view line : ForwardedFields(head, keepUpgrade, true)) {
            if (line.find('\r') != std::string_view::npos)
                continue; // the handler refuses such heads
            const std::string single = "X\n" + std::string(line) + "\n\n";
            const THttpHead alone = ParseHead(single);
            FUZZ_CHECK(alone.Fields.size() == 1);
            const std::string_view name = alone.Fields[0].Name;
            FUZZ_CHECK(!IsHopByHop(head, name) || (keepUpgrade && SameTextAscii(name, "Upgrade")));
            FUZZ_CHECK(!SameTextAscii(name, "Content-Length"));
        }
    const std::string_view body = bytes.substr(text.size());
    const TBodyFraming request = RequestFraming(head);
    const std::optional<int> status = StatusCode(head.FirstLine);
    const TBodyFraming answer = AnswerFraming("GET", status.value_or(200), head);
    for (const TBodyFraming& framing : {request, answer, TBodyFraming{TBodyKind::Chunked}}) {
        if (!framing.Valid)
            continue;
        TBodyFramer once(framing), twice(framing);
        const std::size_t taken = once.Take(body);
        const std::size_t first = twice.Take(body.substr(0, std::min(split, body.size())));
        const std::size_t second =
            twice.Done() || twice.Failed() ? 0 : twice.Take(body.substr(first));
        FUZZ_CHECK(taken <= body.size());
        FUZZ_CHECK(once.Failed() == twice.Failed());
        if (!once.Failed())
            FUZZ_CHECK(first + second == taken && once.Done() == twice.Done());
        if (framing.Kind == TBodyKind::Length)
            FUZZ_CHECK(taken == std::min<std::uint64_t>(framing.Length, body.size()));
    }
}

// ---------------------------------------------------------------------------------------------
// The handler over loopback

class TLoopback {
public:
    TLoopback() : fListener(TCommunication::CreateListening(false)) {
        fListener->Bind("127.0.0.1:0");
        fListener->Listen(4);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fListener->Socket(), reinterpret_cast<sockaddr*>(&address), &length);
        fEndpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

    // A connection whose far end has sent bytes and nothing more: near end, far end.
    std::pair<std::unique_ptr<TBufferedCommunication>, std::unique_ptr<TBufferedCommunication>>
    Prepared(std::string_view bytes) {
        auto far = TCommunication::CreateUnconnected(false, false);
        far->Connect(fEndpoint);
        auto near = fListener->Accept(5000);
        FUZZ_CHECK(near != nullptr);
        far->SendText(bytes);
        far->Flush();
        ::shutdown(far->Socket(), SHUT_WR);
        return {std::move(near), std::move(far)};
    }

private:
    std::unique_ptr<TCommunication> fListener;
    std::string fEndpoint;
};

// Everything the handler sent on a connection it has closed.
std::string Received(TCommunication& channel) {
    std::string bytes;
    char buffer[16384];
    for (int i = 0; i < 100000; ++i) {
        FUZZ_CHECK(channel.WaitForIncomingData(5000));
        int count;
        try {
            count = channel.ReceiveSome(buffer, sizeof buffer);
        } catch (const ECommunication&) {
            count = 0; // reset: the handler closed with bytes unread
        }
        if (count <= 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    FUZZ_CHECK(false);
    return bytes;
}

void CheckHandler(std::string_view browserBytes, std::optional<std::string_view> originBytes) {
    static TLoopback loopback;
    static std::FILE* const trace = std::fopen("/dev/null", "w");

    auto [client, browser] = loopback.Prepared(browserBytes);
    std::unique_ptr<TBufferedCommunication> originNear, origin;
    if (originBytes)
        std::tie(originNear, origin) = loopback.Prepared(*originBytes);

    std::vector<std::string> asked;
    THttpProxyOptions options;
    options.BeforeShutdown = std::chrono::milliseconds(0);
    options.AfterShutdown = std::chrono::milliseconds(0);
    options.Connect = [&](const std::string& endpoint, const TStopSignal&) {
        asked.push_back(endpoint);
        TConnectOutcome outcome;
        outcome.Channel = std::move(originNear);
        if (!outcome.Channel) {
            outcome.Failure = TConnectFailure::Refused;
            outcome.Reason = "connection refused by " + endpoint;
        }
        return outcome;
    };
    const TStopSignal stop;
    const TActivity activity = [] {};
    RunHttpProxy(std::move(client), trace, activity, stop, options);
    originNear.reset(); // when the handler never asked for it

    const std::string toBrowser = Received(*browser);
    const std::string toOrigin = origin ? Received(*origin) : std::string();
    FUZZ_CHECK(toBrowser.empty() || StartsWith(toBrowser, "HTTP/"));

    // The first request as the handler must read it: empty lines before it are passed over.
    std::string_view bytes = browserBytes;
    while (StartsWith(bytes, "\n") || StartsWith(bytes, "\r\n"))
        bytes.remove_prefix(bytes[0] == '\n' ? 1 : 2);
    THeadScanner scanner(kHttpMaxLine, kHttpMaxLine, kHttpMaxHead);
    if (scanner.Scan(bytes) != THeadScanner::TState::Complete)
        return;
    const THttpHead head = ParseHead(bytes.substr(0, scanner.Length()));
    const std::optional<THttpRequestLine> request = SplitRequestLine(head.FirstLine);
    if (!request || HasBareCr(head)) {
        FUZZ_CHECK(asked.empty());
        FUZZ_CHECK(StartsWith(toBrowser, "HTTP/1.1 400 Bad Request\r\n"));
        return;
    }
    const THttpTarget target = SplitProxyUrl(request->Url);
    const bool connect = IsConnectMethod(request->Method);
    if ((connect || !target.Host.empty()) && UnusableHost(target.Host)) {
        FUZZ_CHECK(asked.empty());
        FUZZ_CHECK(StartsWith(toBrowser, "HTTP/1.1 400 Bad Request\r\n"));
        return;
    }
    if (connect) {
        FUZZ_CHECK(asked.size() == 1 && asked[0] == OriginEndpoint(target.Host));
        if (originBytes)
            FUZZ_CHECK(toBrowser == "HTTP/1.1 200 Connection established\r\nServer: Harbolt\r\n"
                                    "Connection: Keep-alive\r\n\r\n" +
                                        std::string(*originBytes));
        return;
    }
    if (target.Host.empty() || !RequestFraming(head).Valid)
        return;
    FUZZ_CHECK(!asked.empty() && asked[0] == OriginEndpoint(target.Host));
    if (!originBytes)
        return;
    // A request that cannot be finished (a broken chunked body, say) may end the handler before
    // its head has gone out, or while it goes.
    const std::string requestLine = OriginRequestLine(*request, target) + "\r\n";
    FUZZ_CHECK(StartsWith(toOrigin, requestLine) || StartsWith(requestLine, toOrigin));
    THeadScanner sent(kHttpMaxLine, kHttpMaxLine, kHttpMaxHead);
    if (sent.Scan(toOrigin) != THeadScanner::TState::Complete)
        return;
    const THttpHead forwarded = ParseHead(std::string_view(toOrigin).substr(0, sent.Length()));
    for (const THttpField& field : forwarded.Fields)
        for (const std::string_view hop :
             {"Proxy-Authorization", "Proxy-Connection", "Keep-Alive", "TE", "Trailer"})
            FUZZ_CHECK(!SameTextAscii(field.Name, hop));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool loaded = [] {
        LoadWinSock();
        return WinSockLoaded.load();
    }();
    FUZZ_CHECK(loaded);
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        std::string_view line = input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        CheckRequestLine(line);
        CheckContentLength(line.substr(line.find(':') + 1));
    }
    CheckRequestLine(input.substr(start));
    CheckContentLength(input.substr(start));
    CheckHead(input, input.empty() ? 0 : static_cast<unsigned char>(input[0]));

    const std::size_t marker = input.find(kMarker);
    if (marker == std::string_view::npos)
        CheckHandler(input, std::nullopt);
    else
        CheckHandler(input.substr(0, marker), input.substr(marker + kMarker.size()));
    return 0;
}
