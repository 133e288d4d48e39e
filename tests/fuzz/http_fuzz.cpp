// The HTTP proxy reads a request head from any browser of the network and an answer head from any
// server of the Internet. Whatever the bytes, the handler must neither crash nor hang, and what it
// passes on must hold together:
// - the request line splits into method, URL and version that make up the line again, and the
//   URL into host and path that make up the URL again;
// - a Content-Length header is recognised in any case, yields only numbers within the limit, and
//   a plain number of up to twelve digits is always read;
// - run through the handler, the head reaches the origin in origin form with the headers
//   unchanged and exactly the announced body, the answer reaches the browser with the two added
//   lines, and everything after the heads passes unchanged (apart from a lone CR LF after the
//   request); a tunnel gets its answer lines and then every byte both ways;
//   whatever goes wrong, the browser gets no answer and the origin at most part of the request.
//
// Input: the browser's bytes, then optionally the marker "#ORIGIN#" and the origin's bytes.
// Without the marker the origin cannot be reached. The handler runs over loopback connections
// whose far ends have sent everything in advance; its connector hands it the prepared origin
// connection whatever host the request names, so nothing leaves the machine.
#include "net/SocketLayer.h"
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

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

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

    const std::string endpoint = OriginEndpoint(target.Host);
    if (target.Host.find(':') != std::string::npos)
        FUZZ_CHECK(endpoint == target.Host);
    else
        FUZZ_CHECK(endpoint == target.Host + ":80");

    const std::string originLine = OriginRequestLine(*request, target);
    FUZZ_CHECK(originLine.size() < static_cast<std::size_t>(kHttpLineCapacity));
    if (line.size() < static_cast<std::size_t>(kHttpLineCapacity - 2))
        FUZZ_CHECK(originLine ==
                   request->Method + " /" + target.Path.value_or("") + " " + request->Version);
    FUZZ_CHECK(MpmUriLine(target) ==
               "X-MPM-URI: http://" + target.Host + "/" + target.Path.value_or(""));
}

void CheckContentLength(std::string_view line) {
    const TContentLengthField field = ParseContentLength(line);
    FUZZ_CHECK(field.Named == StartsWith(Lower(line), "content-length:"));
    if (!field.Named) {
        FUZZ_CHECK(!field.Length);
        return;
    }
    std::string_view value = line.substr(line.find(':') + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    const bool digits =
        !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
    if (!digits)
        FUZZ_CHECK(!field.Length);
    if (digits && value.size() <= 12)
        FUZZ_CHECK(field.Length.has_value());
    if (field.Length) {
        FUZZ_CHECK(*field.Length >= 0 && *field.Length <= kMaxHttpContentLength);
        const TContentLengthField again =
            ParseContentLength("Content-Length: " + std::to_string(*field.Length));
        FUZZ_CHECK(again.Named && again.Length == field.Length);
    }
}

// ---------------------------------------------------------------------------------------------
// A model of line reading: a line ends at LF, and with its line end it must be shorter than the
// line buffer. CRs before the LF pair up from the left; one left over belongs to the line end.

struct TLines {
    std::string_view Bytes;
    std::size_t Position = 0;

    std::optional<std::string> Next() {
        const std::size_t end = Bytes.find('\n', Position);
        if (end == std::string_view::npos ||
            end - Position + 1 >= static_cast<std::size_t>(kHttpLineCapacity))
            return std::nullopt;
        std::string_view line = Bytes.substr(Position, end - Position);
        const std::size_t text = line.find_last_not_of('\r');
        const std::size_t returns = line.size() - (text == std::string_view::npos ? 0 : text + 1);
        if (returns % 2 == 1)
            line.remove_suffix(1);
        Position = end + 1;
        return std::string(line);
    }
    std::string_view Rest() const { return Bytes.substr(Position); }
};

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

bool IsPrefix(std::string_view prefix, std::string_view text) {
    return StartsWith(text, prefix);
}

// What the relay passed from one side: all of it, or without a lone CR LF at its start.
bool Relayed(std::string_view got, std::string_view expectedHead, std::string_view rest) {
    if (!StartsWith(got, expectedHead))
        return false;
    got.remove_prefix(expectedHead.size());
    return got == rest || (StartsWith(rest, "\r\n") && got == rest.substr(2));
}

// The request head as the handler must pass it on; nullopt where it must give up.
struct TForward {
    std::string Head; // request line and headers
    std::int64_t Body = 0;
    bool Complete = false;
};

TForward ModelRequest(TLines& lines, const THttpRequestLine& request, const THttpTarget& target) {
    TForward forward;
    forward.Head = OriginRequestLine(request, target) + "\r\n";
    for (;;) {
        const std::optional<std::string> header = lines.Next();
        if (!header)
            return forward;
        const TContentLengthField field = ParseContentLength(*header);
        if (field.Named && !field.Length)
            return forward;
        if (field.Length)
            forward.Body = *field.Length;
        forward.Head += *header + "\r\n";
        if (header->empty())
            break;
    }
    forward.Complete = true;
    return forward;
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
        return std::move(originNear);
    };
    const TStopSignal stop;
    const TActivity activity = [] {};
    RunHttpProxy(std::move(client), trace, activity, stop, options);
    originNear.reset(); // when the handler never asked for it

    const std::string toBrowser = Received(*browser);
    const std::string toOrigin = origin ? Received(*origin) : std::string();

    TLines lines{browserBytes};
    const std::optional<std::string> first = lines.Next();
    const std::optional<THttpRequestLine> request = first ? SplitRequestLine(*first) : std::nullopt;
    if (!request) {
        FUZZ_CHECK(asked.empty());
        FUZZ_CHECK(toBrowser.empty());
        return;
    }
    const THttpTarget target = SplitProxyUrl(request->Url);
    FUZZ_CHECK(asked.size() == 1 && asked[0] == OriginEndpoint(target.Host));

    if (IsConnectMethod(request->Method)) {
        bool complete = false;
        while (const std::optional<std::string> header = lines.Next()) {
            if (header->empty()) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            FUZZ_CHECK(toBrowser.empty());
            FUZZ_CHECK(toOrigin.empty());
        } else if (!originBytes) {
            FUZZ_CHECK(toBrowser == "HTTP/1.1 502 Bad Gateway\r\nServer: Harbolt\r\n\r\n");
        } else {
            FUZZ_CHECK(toBrowser == "HTTP/1.1 200 Connection established\r\nServer: Harbolt\r\n"
                                    "Connection: Keep-alive\r\n\r\n" +
                                        std::string(*originBytes));
            FUZZ_CHECK(toOrigin == lines.Rest()); // a tunnel passes every byte
        }
        return;
    }
    if (!originBytes) {
        FUZZ_CHECK(toBrowser.empty());
        return;
    }

    const TForward forward = ModelRequest(lines, *request, target);
    const std::string_view afterHead = lines.Rest();
    if (!forward.Complete || static_cast<std::int64_t>(afterHead.size()) < forward.Body) {
        FUZZ_CHECK(toBrowser.empty());
        FUZZ_CHECK(IsPrefix(toOrigin, forward.Head + std::string(afterHead)));
        return;
    }
    const std::string sent =
        forward.Head + std::string(afterHead.substr(0, static_cast<std::size_t>(forward.Body)));
    const std::string_view clientRest = afterHead.substr(static_cast<std::size_t>(forward.Body));

    TLines answer{*originBytes};
    std::string answerHead;
    bool answered = false;
    if (const std::optional<std::string> status = answer.Next()) {
        answerHead =
            *status + "\r\n" + MpmUriLine(target) + "\r\n" + std::string(kViaLine) + "\r\n";
        while (const std::optional<std::string> header = answer.Next()) {
            answerHead += *header + "\r\n";
            if (header->empty()) {
                answered = true;
                break;
            }
        }
    }
    if (!answered) {
        FUZZ_CHECK(IsPrefix(toBrowser, answerHead));
        FUZZ_CHECK(toOrigin == sent);
        return;
    }
    FUZZ_CHECK(toBrowser == answerHead + std::string(answer.Rest()));
    FUZZ_CHECK(Relayed(toOrigin, sent, clientRest));
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
        CheckContentLength(line);
    }
    CheckRequestLine(input.substr(start));
    CheckContentLength(input.substr(start));

    const std::size_t marker = input.find(kMarker);
    if (marker == std::string_view::npos)
        CheckHandler(input, std::nullopt);
    else
        CheckHandler(input.substr(0, marker), input.substr(marker + kMarker.size()));
    return 0;
}
