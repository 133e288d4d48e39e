#pragma once

#include "proxy/Lingerer.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The HTTP proxy of the online computer. It reads a browser's first request in proxy form,
// connects to the origin server, sends the request there in origin form, marks the answer with
// two header lines and then relays everything else unchanged in both directions. The reading of
// the request head is kept in small pure functions.
namespace harbolt {

// Every line of request and answer is read with this capacity: a line with its line end must be
// shorter. The same buffer carries the request body in pieces of this size.
constexpr int kHttpLineCapacity = 2048;

// The largest request body a Content-Length may announce (1 TiB). A larger number is taken as a
// garbled header: no upload through this proxy comes near it.
constexpr std::int64_t kMaxHttpContentLength = std::int64_t{1} << 40;

// "METHOD URL VERSION": the text before the first blank, between it and the next blank, and
// everything after that.
struct THttpRequestLine {
    std::string Method;
    std::string Url;
    std::string Version;
};

// nullopt when the line has fewer than two blanks.
std::optional<THttpRequestLine> SplitRequestLine(std::string_view line);

// Where a request goes: the host (with its port, if the URL names one) and the path after the
// first "/" (nullopt when the URL has no "/").
struct THttpTarget {
    std::string Host;
    std::optional<std::string> Path;
};

// A leading "http://" (in exactly this case) is dropped; the rest is split at the first "/".
THttpTarget SplitProxyUrl(std::string_view url);

// The host as a connect text: ":80" is added when the host names no port (has no ":").
std::string OriginEndpoint(std::string_view host);

// "METHOD /path VERSION", cut to the line buffer (which a line that was read always fits).
std::string OriginRequestLine(const THttpRequestLine& request, const THttpTarget& target);

// "X-MPM-URI: http://host/path", the line that tells the browser which URL was fetched.
std::string MpmUriLine(const THttpTarget& target);

constexpr std::string_view kViaLine = "Via: HTTP/1.0 localhost (Harbolt)";

// What one request header line says about the body.
struct TContentLengthField {
    // The name before the first ":" is "Content-Length" in any case.
    bool Named = false;
    // Its value: decimal digits, blanks and tabs around them allowed, at most
    // kMaxHttpContentLength. nullopt for anything else (no number, a sign, too large).
    std::optional<std::int64_t> Length;
};
TContentLengthField ParseContentLength(std::string_view headerLine);

// "CONNECT" in any case: the browser asks for a tunnel.
bool IsConnectMethod(std::string_view method);

// Reaches the origin server ("host:port"); nullptr when it cannot be reached.
using TOriginConnector = std::function<std::unique_ptr<TBufferedCommunication>(
    const std::string& endpoint, const TStopSignal& stop)>;

// Up to 5 s of attempts, 100 ms apart (ConnectWithin); gives up early when stop is raised.
std::unique_ptr<TBufferedCommunication> ConnectOrigin(const std::string& endpoint,
                                                      const TStopSignal& stop);

struct THttpProxyOptions {
    TOriginConnector Connect = ConnectOrigin;
    // After the relay: a pause, then both sockets' sending directions are shut down, then a
    // pause for the peers to take the last bytes. The lingerer runs them after the handler has
    // returned; without pauses, or after a stop, both happen before the return.
    std::chrono::milliseconds BeforeShutdown{50};
    std::chrono::milliseconds AfterShutdown{500};
    // nullptr: ProxyLingerer().
    TLingerer* Lingerer = nullptr;
};

// The handler of "HTTP PROXY" tunnels. Owns the client channel and closes it, or hands it to the
// lingerer, at the end; any failure on the way (a malformed or cut-off head, an unreachable
// origin) ends it without a further reply, apart from a CONNECT whose origin cannot be reached,
// which is answered with "HTTP/1.1 502 Bad Gateway". The request head must come within
// RequestTimeLimit(); a request body may pause for that long at most.
void HandleHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop);

// The same with the origin connector and the closing pauses chosen by the caller.
void RunHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                  const TActivity& activity, const TStopSignal& stop,
                  const THttpProxyOptions& options);

} // namespace harbolt
