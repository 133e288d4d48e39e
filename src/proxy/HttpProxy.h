#pragma once

#include "proxy/Lingerer.h"
#include "proxy/Sessions.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The HTTP proxy of the online computer. It reads a browser's requests in proxy form, sends each
// to its origin server in origin form, and passes the answers back in request order, each final
// one marked with two header lines. Heads and bodies are told apart by the pure pieces of
// HttpFraming.h; a CONNECT, or an upgrade the server grants, turns the connection into a raw
// two-way relay.
namespace harbolt {

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

// The host as a connect text: ":80" is added when the host names no port (has no ":" after the
// "]" of an IPv6 address).
std::string OriginEndpoint(std::string_view host);

// "METHOD /path VERSION".
std::string OriginRequestLine(const THttpRequestLine& request, const THttpTarget& target);

// "X-MPM-URI: http://host/path", the line that tells the browser which URL was fetched.
std::string MpmUriLine(const THttpTarget& target);

constexpr std::string_view kViaLine = "Via: HTTP/1.0 localhost (Harbolt)";

// "CONNECT" in any case: the browser asks for a tunnel.
bool IsConnectMethod(std::string_view method);

// Reaches the origin server ("host:port") and tells why it could not.
using TOriginConnector =
    std::function<TConnectOutcome(const std::string& endpoint, const TStopSignal& stop)>;

// ConnectOnward with 5 s: a refusal, an unreachable host or an unknown name end it at once; gives
// up early when stop is raised.
TConnectOutcome ConnectOrigin(const std::string& endpoint, const TStopSignal& stop);

struct THttpProxyOptions {
    TOriginConnector Connect = ConnectOrigin;
    // A kept-alive connection with no request under way is closed after this long.
    std::chrono::milliseconds IdleLimit{60000};
    // When the proxy ends a connection whose client may still be sending (or after a tunnel): a
    // pause, then both sockets' sending directions are shut down, then a pause for the peers to
    // take the last bytes. The lingerer runs them after the handler has
    // returned; without pauses, or after a stop, both happen before the return.
    std::chrono::milliseconds BeforeShutdown{50};
    std::chrono::milliseconds AfterShutdown{500};
    // nullptr: ProxyLingerer().
    TLingerer* Lingerer = nullptr;
};

// The handler of "HTTP PROXY" tunnels. Owns the client channel and closes it, or hands it to the
// lingerer, at the end. A request the proxy cannot pass on gets an answer of its own: 400 for a
// malformed head, 414 or 431 for an oversized one, 502 (504 after the time-out) with the reason
// when the origin cannot be reached, 502 for an answer head that cannot be read. Each request
// head must come within RequestTimeLimit() of its first byte (the first within that of the
// start); a request body may pause for that long at most; a kept-alive connection idle between
// requests ends after IdleLimit; a raised stop ends everything at once.
void HandleHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop);

// The same with the origin connector and the closing pauses chosen by the caller.
void RunHttpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                  const TActivity& activity, const TStopSignal& stop,
                  const THttpProxyOptions& options);

} // namespace harbolt
