#include "proxy/HttpProxy.h"
#include "ProxyTestSupport.h"
#include "platform/EventLog.h"
#include "proxy/HttpFraming.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include <sys/socket.h>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::AllUntilClosed;
using test::ClosedWithoutData;
using test::MillisecondsSince;
using test::ReadUpTo;
using test::SendNow;

constexpr std::string_view kVia = "Via: HTTP/1.0 localhost (Harbolt)\r\n";
constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n"
                                          "Server: Harbolt\r\n"
                                          "Connection: Keep-alive\r\n"
                                          "\r\n";

// An answer of the proxy's own.
std::string OwnAnswer(const std::string& status, const std::string& reason) {
    return "HTTP/1.1 " + status +
           "\r\nServer: Harbolt\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(reason.size() + 2) + "\r\nConnection: close\r\n\r\n" + reason + "\r\n";
}

// A final answer as the browser gets it: the status line, the two added lines, the server's own
// fields and the proxy's Connection line.
std::string Marked(const std::string& status, const std::string& uri, const std::string& fields,
                   bool close) {
    return status + "\r\nX-MPM-URI: " + uri + "\r\n" + std::string(kVia) + fields +
           (close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n");
}

// The handler with the given origin connector and without the closing pauses.
TProxyHandler Quick(TOriginConnector connect = ConnectOrigin,
                    std::chrono::milliseconds idle = 60s) {
    THttpProxyOptions options;
    options.Connect = std::move(connect);
    options.IdleLimit = idle;
    options.BeforeShutdown = 0ms;
    options.AfterShutdown = 0ms;
    return [options](std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop) {
        RunHttpProxy(std::move(client), trace, activity, stop, options);
    };
}

// One handler run on a thread of its own. Browser is the client program's end of the connection;
// Listener stands for the origin server, and Origin is the handler's connection to it once
// AcceptOrigin has taken it. At the end the stop flag is raised, both peers close and the handler
// is waited for.
class THttpRun {
public:
    explicit THttpRun(TProxyHandler handler = Quick(), std::FILE* trace = nullptr)
        : Listener(test::MakeListener()) {
        test::TChannelPair pair = test::MakePair();
        Browser = std::move(pair.Connected);
        fThread = std::thread([this, handler = std::move(handler), trace,
                               client = std::move(pair.Accepted)]() mutable {
            handler(
                std::move(client), trace, [this] { ++Activity; }, Stop);
            Ended = true;
        });
    }
    ~THttpRun() {
        Stop.Raise();
        Origin.reset();
        Browser.reset();
        Join();
    }
    void Join() {
        if (fThread.joinable())
            fThread.join();
    }
    bool AcceptOrigin(int milliseconds = 3000) {
        Origin = Listener.Channel->Accept(milliseconds);
        return Origin != nullptr;
    }
    // The browser has sent all it will send.
    void BrowserDone() { ::shutdown(Browser->Socket(), SHUT_WR); }

    TStopSignal Stop;
    std::atomic<int> Activity{0};
    std::atomic<bool> Ended{false};
    test::TListener Listener;
    std::unique_ptr<TBufferedCommunication> Browser;
    std::unique_ptr<TBufferedCommunication> Origin;

private:
    std::thread fThread;
};

// A connector that notes each endpoint it is asked for and reaches Target instead.
struct TRedirect {
    std::mutex Lock;
    std::string Target;
    std::vector<std::string> Asked;

    TOriginConnector Connector() {
        return [this](const std::string& endpoint, const TStopSignal&) {
            std::string target;
            {
                const std::lock_guard lock(Lock);
                Asked.push_back(endpoint);
                target = Target;
            }
            TConnectOutcome outcome;
            outcome.Channel = TCommunication::CreateUnconnected(false, false);
            outcome.Channel->Connect(target);
            return outcome;
        };
    }
    void SetTarget(const std::string& target) {
        const std::lock_guard lock(Lock);
        Target = target;
    }
    std::vector<std::string> AskedSoFar() {
        const std::lock_guard lock(Lock);
        return Asked;
    }
};

using HttpProxyTest = test::NetTest;

// ---------------------------------------------------------------------------------------------
// The request head, piece by piece

TEST(HttpProxyHead, SplitsRequestLinesAndUrls) {
    struct TCase {
        std::string_view Line;
        std::string_view Host;
        std::optional<std::string> Path;
        std::string_view Endpoint;
        std::string_view OriginLine;
        std::string_view Uri;
    };
    const TCase cases[] = {
        {"GET http://site.test/a/b.html HTTP/1.0", "site.test", "a/b.html", "site.test:80",
         "GET /a/b.html HTTP/1.0", "X-MPM-URI: http://site.test/a/b.html"},
        {"GET http://site.test HTTP/1.0", "site.test", std::nullopt, "site.test:80",
         "GET / HTTP/1.0", "X-MPM-URI: http://site.test/"},
        {"GET http://site.test/ HTTP/1.0", "site.test", "", "site.test:80", "GET / HTTP/1.0",
         "X-MPM-URI: http://site.test/"},
        {"GET http://site.test:8080/x HTTP/1.1", "site.test:8080", "x", "site.test:8080",
         "GET /x HTTP/1.1", "X-MPM-URI: http://site.test:8080/x"},
        {"CONNECT site.test:443 HTTP/1.0", "site.test:443", std::nullopt, "site.test:443",
         "CONNECT / HTTP/1.0", "X-MPM-URI: http://site.test:443/"},
        {"GET site.test/q?a=b HTTP/1.0", "site.test", "q?a=b", "site.test:80",
         "GET /q?a=b HTTP/1.0", "X-MPM-URI: http://site.test/q?a=b"},
        // Only "http://" in exactly this case is the scheme.
        {"GET HTTP://site.test/x HTTP/1.0", "HTTP:", "/site.test/x",
         "HTTP:", "GET //site.test/x HTTP/1.0", "X-MPM-URI: http://HTTP://site.test/x"},
        // The version is all that follows the second blank.
        {"GET http://h/p HTTP/1.0 trailing", "h", "p", "h:80", "GET /p HTTP/1.0 trailing",
         "X-MPM-URI: http://h/p"},
        {"GET  HTTP/1.0", "", std::nullopt, ":80", "GET / HTTP/1.0", "X-MPM-URI: http:///"},
        // An IPv6 address names its port after its bracket.
        {"GET http://[::1]/x HTTP/1.1", "[::1]", "x", "[::1]:80", "GET /x HTTP/1.1",
         "X-MPM-URI: http://[::1]/x"},
        {"GET http://[::1]:8080 HTTP/1.1", "[::1]:8080", std::nullopt, "[::1]:8080",
         "GET / HTTP/1.1", "X-MPM-URI: http://[::1]:8080/"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Line);
        const std::optional<THttpRequestLine> request = SplitRequestLine(c.Line);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->Method + " " + request->Url + " " + request->Version, c.Line);
        const THttpTarget target = SplitProxyUrl(request->Url);
        EXPECT_EQ(target.Host, c.Host);
        EXPECT_EQ(target.Path, c.Path);
        EXPECT_EQ(OriginEndpoint(target.Host), c.Endpoint);
        EXPECT_EQ(OriginRequestLine(*request, target), c.OriginLine);
        EXPECT_EQ(MpmUriLine(target), c.Uri);
    }
    for (std::string_view line : {"", "GET", "GET http://site.test/", "GET\thttp://h/ HTTP/1.0"})
        EXPECT_FALSE(SplitRequestLine(line)) << line;

    // Long lines pass whole.
    const THttpRequestLine longOne{"GET", "http://h/" + std::string(15000, 'p'), "HTTP/1.0"};
    EXPECT_EQ(OriginRequestLine(longOne, SplitProxyUrl(longOne.Url)).size(), 15014u);

    for (std::string_view method : {"CONNECT", "connect", "Connect"})
        EXPECT_TRUE(IsConnectMethod(method)) << method;
    for (std::string_view method : {"CONNEC", "CONNECTS", "GET", ""})
        EXPECT_FALSE(IsConnectMethod(method)) << method;
}

TEST(HttpProxyHead, ReadsContentLengthNumbersOnly) {
    const std::pair<std::string_view, std::uint64_t> numbers[] = {
        {"5", 5}, {"15", 15}, {" \t 007 \t", 7}, {"1152921504606846976", kHttpMaxBodyLength}};
    for (const auto& [value, length] : numbers)
        EXPECT_EQ(ContentLengthValue(value), length) << value;
    // Not a number, negative, too large, or beyond 64 bits.
    for (std::string_view value : {"abc", "-5", "+5", "5x", "5 6", "1e3", "", "  ",
                                   "1152921504606846977", "18446744073709551621"})
        EXPECT_FALSE(ContentLengthValue(value)) << value;
}

// ---------------------------------------------------------------------------------------------
// Requests through the handler

TEST_F(HttpProxyTest, RequestsReachTheOriginInOriginFormAndAnswersAreMarked) {
    // Header lines pass as they came (a NUL byte, a lone-LF ending made CR LF, odd blanks), but
    // for those of the hop to the proxy; the proxy says for itself that this exchange is the last.
    const std::string headers = "Host: 127.0.0.1\r\n"
                                "Proxy-Connection: close\n"
                                "Proxy-Authorization: Basic c2VjcmV0\r\n"
                                "X-Odd:  a\tb \r\n"
                                "X-Nul: a\0b\r\n"
                                "\0X: starts with NUL\r\n"
                                "\r\n"s;
    const std::string forwarded = "Host: 127.0.0.1\r\n"
                                  "X-Odd:  a\tb \r\n"
                                  "X-Nul: a\0b\r\n"
                                  "\0X: starts with NUL\r\n"
                                  "Connection: close\r\n"
                                  "\r\n"s;
    for (const char* path : {"/a/b.html", ""}) {
        THttpRun run;
        const std::string url = "http://" + run.Listener.Endpoint + path;
        SCOPED_TRACE(url);
        SendNow(*run.Browser, "GET " + url + " HTTP/1.0\r\n" + headers);
        ASSERT_TRUE(run.AcceptOrigin());
        const std::string request =
            std::string("GET ") + (*path ? path : "/") + " HTTP/1.0\r\n" + forwarded;
        EXPECT_EQ(ReadUpTo(*run.Origin, request.size() + 1, 200), request);

        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\nServer: fake\r\n"
                             "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\n\r\nhello\r\n");
        run.Origin.reset();
        EXPECT_EQ(AllUntilClosed(*run.Browser),
                  Marked("HTTP/1.0 200 OK", url + (*path ? "" : "/"),
                         "Content-Type: text/plain\r\nServer: fake\r\n", true) +
                      "hello\r\n");
    }
}

TEST_F(HttpProxyTest, HostsWithoutPortGoToPort80) {
    const std::pair<std::string, std::string> cases[] = {
        {"GET http://site.test/a/b.html HTTP/1.0", "site.test:80"},
        {"GET http://site.test:8080/x HTTP/1.1", "site.test:8080"},
        {"GET site.test HTTP/1.0", "site.test:80"},
        {"POST http://10.1.2.3:81 HTTP/1.0", "10.1.2.3:81"},
    };
    for (const auto& [line, endpoint] : cases) {
        SCOPED_TRACE(line);
        TRedirect redirect;
        THttpRun run(Quick(redirect.Connector()));
        redirect.SetTarget(run.Listener.Endpoint); // before the handler has a request line
        SendNow(*run.Browser, line + "\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(redirect.AskedSoFar(), std::vector<std::string>{endpoint});
    }
}

TEST_F(HttpProxyTest, TheAnnouncedBodyPassesBeforeTheAnswerIsRead) {
    const std::string big(100000, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"content-length: 5", "hello"},
        {"CONTENT-LENGTH:5", "hello"},
        {"Content-Length: 100000", big},
        {"Transfer-Encoding: chunked", "5\r\nhello\r\n0\r\nX-Sum: 5\r\n\r\n"},
    };
    for (const auto& [header, body] : cases) {
        SCOPED_TRACE(header);
        THttpRun run;
        // The browser sends a CR LF after the body, as some do.
        SendNow(*run.Browser, "POST http://" + run.Listener.Endpoint + "/form HTTP/1.0\r\n" +
                                  header + "\r\n\r\n" + body + "\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        const std::string head =
            "POST /form HTTP/1.0\r\n" + header + "\r\nConnection: close\r\n\r\n";
        // The origin answers only after the whole body, and the CR LF is no request.
        EXPECT_EQ(ReadUpTo(*run.Origin, head.size() + body.size() + 1, 300), head + body);
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\n\r\nthanks");
        run.Origin.reset();
        EXPECT_EQ(AllUntilClosed(*run.Browser),
                  Marked("HTTP/1.0 200 OK", "http://" + run.Listener.Endpoint + "/form", "", true) +
                      "thanks");
        EXPECT_GT(run.Activity.load(), 0);
    }
}

// Each request goes to its own server; answers come back in request order, a request for another
// server waiting until the earlier answers are through; a kept-alive connection keeps its origin
// connection and ends when idle for the limit.
TEST_F(HttpProxyTest, RequestsOfOneConnectionGoToTheirOwnServersInOrder) {
    THttpRun run(Quick(ConnectOrigin, 300ms));
    test::TListener other = test::MakeListener();
    const std::string a = "http://" + run.Listener.Endpoint;
    const std::string b = "http://" + other.Endpoint;
    SendNow(*run.Browser, "GET " + a +
                              "/1 HTTP/1.1\r\nHost: a\r\n\r\n"
                              "HEAD " +
                              a +
                              "/2 HTTP/1.1\r\nHost: a\r\n\r\n"
                              "GET " +
                              b + "/3 HTTP/1.1\r\nHost: b\r\n\r\n");
    ASSERT_TRUE(run.AcceptOrigin());
    const std::string toA = "GET /1 HTTP/1.1\r\nHost: a\r\n\r\nHEAD /2 HTTP/1.1\r\nHost: a\r\n\r\n";
    EXPECT_EQ(ReadUpTo(*run.Origin, toA.size()), toA); // pipelined to the same server
    EXPECT_EQ(other.Channel->Accept(100), nullptr);    // the other waits its turn
    SendNow(*run.Origin, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"
                         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n");
    const std::string answers =
        Marked("HTTP/1.1 200 OK", a + "/1", "Content-Length: 3\r\n", false) + "one" +
        Marked("HTTP/1.1 200 OK", a + "/2", "Content-Length: 99\r\n", false);
    EXPECT_EQ(ReadUpTo(*run.Browser, answers.size()), answers);

    auto toOther = other.Channel->Accept(2000);
    ASSERT_NE(toOther, nullptr);
    EXPECT_EQ(ReadUpTo(*toOther, 28), "GET /3 HTTP/1.1\r\nHost: b\r\n\r\n");
    SendNow(*toOther, "HTTP/1.1 204 No Content\r\n\r\n");
    const std::string third = Marked("HTTP/1.1 204 No Content", b + "/3", "", false);
    EXPECT_EQ(ReadUpTo(*run.Browser, third.size()), third);
    EXPECT_TRUE(ClosedWithoutData(*run.Origin)); // the first server's turn is over

    // Back to the first server: a new connection; then the idle limit ends the connection.
    SendNow(*run.Browser, "GET " + a + "/4 HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(run.AcceptOrigin());
    EXPECT_EQ(ReadUpTo(*run.Origin, 28), "GET /4 HTTP/1.1\r\nHost: a\r\n\r\n");
    SendNow(*run.Origin, "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\n");
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_EQ(AllUntilClosed(*run.Browser),
              Marked("HTTP/1.1 304 Not Modified", a + "/4", "Content-Length: 7\r\n", false));
    EXPECT_GE(MillisecondsSince(answered), 250.0);
}

// Answers end where their framing says: a chunked one after its trailers (a Content-Length
// beside it dropped), large ones whole on their length, also when the body arrives after the head
// and passes without being looked at, and one without a length at the server's close, which ends
// the client's connection too.
TEST_F(HttpProxyTest, AnswersAreFramedByTheirOwnLength) {
    THttpRun run;
    const std::string a = "http://" + run.Listener.Endpoint;
    SendNow(*run.Browser, "GET " + a + "/c HTTP/1.1\r\n\r\nGET " + a + "/1 HTTP/1.1\r\n\r\nGET " +
                              a + "/2 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(run.AcceptOrigin());
    EXPECT_EQ(ReadUpTo(*run.Origin, 57).size(), 57u); // a close with them unread would reset
    const std::string chunked = "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n";
    SendNow(*run.Origin,
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n" + chunked +
                "HTTP/1.1 200 OK\r\nContent-Length: 3145728\r\n\r\n");
    const std::string head =
        Marked("HTTP/1.1 200 OK", a + "/c", "Transfer-Encoding: chunked\r\n", false) + chunked +
        Marked("HTTP/1.1 200 OK", a + "/1", "Content-Length: 3145728\r\n", false);
    EXPECT_EQ(ReadUpTo(*run.Browser, head.size()), head);
    std::string body(3 << 20, 'b');
    for (std::size_t i = 0; i < body.size(); i += 4096)
        body[i] = static_cast<char>('a' + i / 4096 % 26);
    std::thread origin([&] { // the browser reads while the origin sends
        SendNow(*run.Origin, body + "HTTP/1.1 200 OK\r\n\r\n" + body);
        run.Origin.reset();
    });
    EXPECT_TRUE(ReadUpTo(*run.Browser, body.size(), 10000) == body);
    EXPECT_TRUE(AllUntilClosed(*run.Browser, 10000) ==
                Marked("HTTP/1.1 200 OK", a + "/2", "", true) + body);
    origin.join();
}

// What the server says while the body is still coming reaches the client at once: 100 Continue
// (without the added lines), and a final answer, after which the connection closes.
TEST_F(HttpProxyTest, TheServerIsHeardWhileTheBodyIsSent) {
    THttpRun run;
    const std::string a = "http://" + run.Listener.Endpoint;
    SendNow(*run.Browser, "PUT " + a +
                              "/up HTTP/1.1\r\nExpect: 100-continue\r\n"
                              "Content-Length: 10\r\n\r\n");
    ASSERT_TRUE(run.AcceptOrigin());
    EXPECT_EQ(ReadUpTo(*run.Origin, 100, 300),
              "PUT /up HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n");
    SendNow(*run.Origin, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(ReadUpTo(*run.Browser, 100, 300), "HTTP/1.1 100 Continue\r\n\r\n");
    SendNow(*run.Browser, "01234");
    EXPECT_EQ(ReadUpTo(*run.Origin, 5), "01234");
    SendNow(*run.Origin, "HTTP/1.1 413 Too Large\r\nContent-Length: 2\r\n\r\nno");
    const std::string early =
        Marked("HTTP/1.1 413 Too Large", a + "/up", "Content-Length: 2\r\n", true) + "no";
    EXPECT_EQ(ReadUpTo(*run.Browser, early.size() + 1, 300), early);
    EXPECT_TRUE(ClosedWithoutData(*run.Origin)); // the rest of the body is not wanted
    SendNow(*run.Browser, "56789");
    EXPECT_TRUE(ClosedWithoutData(*run.Browser));
}

// A granted upgrade turns the connection into a raw relay.
TEST_F(HttpProxyTest, AGrantedUpgradeRelaysRawBytes) {
    THttpRun run;
    SendNow(*run.Browser,
            "GET http://" + run.Listener.Endpoint +
                "/ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x81");
    ASSERT_TRUE(run.AcceptOrigin());
    EXPECT_EQ(ReadUpTo(*run.Origin, 100, 300),
              "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n");
    SendNow(*run.Origin,
            "HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x82");
    EXPECT_EQ(ReadUpTo(*run.Browser, 100, 300),
              "HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n\x82");
    EXPECT_EQ(ReadUpTo(*run.Origin, 1), "\x81");
    SendNow(*run.Browser, "GET raw\r\n\r\n");
    EXPECT_EQ(ReadUpTo(*run.Origin, 11), "GET raw\r\n\r\n");
}

TEST_F(HttpProxyTest, ConnectAnswersAndThenRelaysRawBytes) {
    for (const char* method : {"CONNECT", "connect"}) {
        SCOPED_TRACE(method);
        THttpRun run;
        SendNow(*run.Browser, std::string(method) + " " + run.Listener.Endpoint +
                                  " HTTP/1.0\r\nHost: x\r\nUser-Agent: y\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Browser, kEstablished.size() + 1, 200), kEstablished);
        EXPECT_EQ(ReadUpTo(*run.Origin, 1, 100), ""); // the head stays with the proxy

        // A lone CR LF at the start is the tunnelled protocol's, not a browser's leftover.
        SendNow(*run.Browser, "\r\n");
        EXPECT_EQ(ReadUpTo(*run.Origin, 2), "\r\n");
        const std::string hello("\x16\x03\x01\0\xFFhello\r\n", 12);
        SendNow(*run.Browser, hello);
        EXPECT_EQ(ReadUpTo(*run.Origin, hello.size()), hello);
        const std::string reply("\0\x01world", 7);
        SendNow(*run.Origin, reply);
        EXPECT_EQ(ReadUpTo(*run.Browser, reply.size()), reply);
        // One side closing closes the other.
        run.Origin.reset();
        EXPECT_TRUE(ClosedWithoutData(*run.Browser));
    }
}

TEST_F(HttpProxyTest, RefusedOriginsAreAnsweredAtOnce) {
    const std::vector<std::uint16_t> nobody = test::FreePorts(2);
    const auto start = std::chrono::steady_clock::now();
    THttpRun tunnel;
    THttpRun request;
    SendNow(*tunnel.Browser,
            "CONNECT " + test::Loopback(nobody[0]) + " HTTP/1.1\r\nHost: nobody\r\n\r\n");
    SendNow(*request.Browser, "GET http://" + test::Loopback(nobody[1]) + "/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(AllUntilClosed(*tunnel.Browser),
              OwnAnswer("502 Bad Gateway", "connection refused by " + test::Loopback(nobody[0])));
    EXPECT_EQ(AllUntilClosed(*request.Browser),
              OwnAnswer("502 Bad Gateway", "connection refused by " + test::Loopback(nobody[1])));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
}

TEST_F(HttpProxyTest, StoppingEndsTheConnectPhaseAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    THttpRun tunnel(HandleHttpProxy);
    THttpRun request(HandleHttpProxy);
    tunnel.Stop.Raise();
    request.Stop.Raise();
    SendNow(*tunnel.Browser, "CONNECT " + tunnel.Listener.Endpoint + " HTTP/1.1\r\n\r\n");
    SendNow(*request.Browser, "GET http://" + request.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(ClosedWithoutData(*tunnel.Browser));
    EXPECT_TRUE(ClosedWithoutData(*request.Browser));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_EQ(tunnel.Listener.Channel->Accept(0), nullptr);
    EXPECT_EQ(request.Listener.Channel->Accept(0), nullptr);
}

TEST_F(HttpProxyTest, RequestHeadsWithinTheLimitsPassOthersAreRefused) {
    std::vector<std::string> events;
    std::mutex eventsLock;
    const TScopedEventSink sink([&](TEventLevel level, const std::string& text) {
        const std::lock_guard lock(eventsLock);
        if (level == TEventLevel::Warning)
            events.push_back(text);
    });
    const std::string line(16384 - 4, 'a'); // "X: " and it: a line of 16 KiB less one
    const std::string url = "/" + std::string(16384 - 40, 'p'); // with the rest: below 16 KiB
    struct TCase {
        std::string Name;
        std::string Head;   // after the request line, unless it holds one itself
        std::string Answer; // empty: passed on
        bool BrowserCloses = false;
    };
    const std::vector<TCase> cases = {
        {"long lines", "X: " + line + "\r\nY: " + line + "\r\n\r\n", ""},
        {"long request line", "GET http://ORIGIN" + url + " HTTP/1.1\r\n\r\n", ""},
        {"request line too long",
         "GET http://ORIGIN" + url + std::string(100, 'q') + " HTTP/1.1\r\n\r\n",
         OwnAnswer("414 URI Too Long", "the request line is too long")},
        {"header line too long", "X: " + line + "ab\r\n\r\n",
         OwnAnswer("431 Request Header Fields Too Large", "the request head is too large")},
        {"head too large",
         "X: " + line + "\r\nY: " + line + "\r\nZ: " + line + "\r\nW: " + line + "\r\n",
         OwnAnswer("431 Request Header Fields Too Large", "the request head is too large")},
        {"two blanks missing", "GET http://ORIGIN/x\r\n\r\n",
         OwnAnswer("400 Bad Request", "the request line is malformed")},
        {"bare CR", "X: a\rContent-Length: 5\r\n\r\n",
         OwnAnswer("400 Bad Request", "a line of the request head holds a bare CR")},
        {"not a number", "Content-Length: abc\r\n\r\n",
         OwnAnswer("400 Bad Request", "the length of the request body is unclear")},
        {"host too long", "GET http://" + std::string(254, 'h') + "/ HTTP/1.1\r\n\r\n",
         OwnAnswer("400 Bad Request", "the server's name is longer than 253 characters")},
        {"tunnel to a bad port", "CONNECT site.test:99999 HTTP/1.1\r\n\r\n",
         OwnAnswer("400 Bad Request", "the server's port is not a number from 1 to 65535")},
        {"early close", "Host: x\r\n", "", true},
        {"body cut short", "Content-Length: 10\r\n\r\nabc", "", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        THttpRun run;
        std::string head = c.Head;
        if (head.find("ORIGIN") != std::string::npos)
            head.replace(head.find("ORIGIN"), 6, run.Listener.Endpoint);
        else if (!head.starts_with("GET ") && !head.starts_with("CONNECT "))
            head = "GET http://" + run.Listener.Endpoint + "/x HTTP/1.1\r\n" + head;
        SendNow(*run.Browser, head);
        if (c.BrowserCloses) {
            run.BrowserDone();
            EXPECT_TRUE(ClosedWithoutData(*run.Browser));
        } else if (c.Answer.empty()) {
            ASSERT_TRUE(run.AcceptOrigin());
            std::string forwarded = head;
            forwarded.erase(forwarded.find("http://"), 7 + run.Listener.Endpoint.size());
            EXPECT_EQ(ReadUpTo(*run.Origin, forwarded.size()), forwarded);
        } else {
            EXPECT_EQ(AllUntilClosed(*run.Browser), c.Answer);
            EXPECT_FALSE(run.AcceptOrigin(0));
        }
    }
    const std::lock_guard lock(eventsLock);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[0].find("request line over 16384 bytes, answered 414"), std::string::npos);
    EXPECT_NE(events[1].find("answered 431"), std::string::npos);
}

TEST_F(HttpProxyTest, UnreadableAnswersGetBadGateway) {
    const std::pair<std::string, std::string> cases[] = {
        {"closed before answering", ""},
        {"no HTTP", "SSH-2.0-OpenSSH\r\n\r\n"},
        {"status line cut", "HTTP/1.0 200"},
        {"head too large", "HTTP/1.1 200 OK\r\nX: " + std::string(65536, 'a')},
        {"length unclear", "HTTP/1.1 200 OK\r\nContent-Length: 1, 2\r\n\r\n"},
    };
    for (const auto& [name, answer] : cases) {
        SCOPED_TRACE(name);
        THttpRun run;
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 18), "GET / HTTP/1.1\r\n\r\n");
        SendNow(*run.Origin, answer);
        ::shutdown(run.Origin->Socket(), SHUT_WR);
        EXPECT_TRUE(AllUntilClosed(*run.Browser).starts_with("HTTP/1.1 502 Bad Gateway\r\n"));
        EXPECT_TRUE(test::WaitFor([&] { return run.Ended.load(); }));
    }
}

std::size_t Entries(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++count;
    return count;
}

// The product's pauses, run by a lingerer of the test's clock.
class THttpPauses {
public:
    THttpPauses() : Lingerer(Clock) {
        THttpProxyOptions options;
        options.Lingerer = &Lingerer;
        Handler = [options](std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                            const TActivity& activity, const TStopSignal& stop) {
            RunHttpProxy(std::move(client), trace, activity, stop, options);
        };
    }
    test::TFakeTickClock Clock{0};
    TLingerer Lingerer;
    TProxyHandler Handler;
};

TEST_F(HttpProxyTest, ClosingPausesHoldTheChannelsButNoThread) {
    THttpPauses pauses;
    std::size_t threads = 0; // after the first request, with the lingerer's thread running
    const std::size_t descriptors = Entries("/proc/self/fd");
    constexpr std::size_t kRequests = 6;
    for (std::size_t i = 0; i < kRequests; ++i) {
        THttpRun run(pauses.Handler);
        // The request is the last (HTTP/1.0), but the browser stays and sends on: closing at
        // once could reset the connection before the answer is read, which the pauses are for.
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 37), "GET / HTTP/1.0\r\nConnection: close\r\n\r\n");
        SendNow(*run.Browser, "more");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody");
        EXPECT_EQ(ReadUpTo(*run.Browser, 17), "HTTP/1.0 200 OK\r\n");
        // The handler returns while the clock stands before the pauses' end.
        EXPECT_TRUE(test::WaitFor([&] { return run.Ended.load(); }));
        run.Join();
        if (i == 0)
            threads = Entries("/proc/self/task");
    }
    EXPECT_EQ(pauses.Lingerer.Pending(), kRequests);
    EXPECT_EQ(Entries("/proc/self/task"), threads); // one lingerer's thread for all of them
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors + kRequests);

    pauses.Clock.Advance(50); // shut down, still held
    pauses.Lingerer.RunDue();
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors + kRequests);
    pauses.Clock.Advance(500);
    pauses.Lingerer.RunDue();
    EXPECT_EQ(pauses.Lingerer.Pending(), 0u);
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
}

TEST_F(HttpProxyTest, ExchangesTheBrowserEndedCloseWithoutPauses) {
    // The browser has said all and the answer is through: the pauses would change nothing on
    // the wire, so nothing is held.
    THttpPauses pauses;
    const std::size_t descriptors = Entries("/proc/self/fd");
    {
        THttpRun run(pauses.Handler);
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.1\r\n\r\n");
        run.BrowserDone();
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 18), "GET / HTTP/1.1\r\n\r\n");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\n\r\nbody");
        run.Origin.reset();
        EXPECT_EQ(AllUntilClosed(*run.Browser),
                  Marked("HTTP/1.0 200 OK", "http://" + run.Listener.Endpoint + "/", "", true) +
                      "body");
        EXPECT_TRUE(test::WaitFor([&] { return run.Ended.load(); }));
        run.Join();
        EXPECT_EQ(pauses.Lingerer.Pending(), 0u);
    }
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
}

TEST_F(HttpProxyTest, TracesOneExchange) {
    std::FILE* trace = std::tmpfile();
    ASSERT_NE(trace, nullptr);
    {
        THttpRun run(HandleHttpProxy, trace);
        const std::string origin = run.Listener.Endpoint;
        SendNow(*run.Browser,
                "POST http://" + origin + "/form HTTP/1.0\r\nContent-Length: 5\r\n\r\nhe\x01lo");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 66),
                  "POST /form HTTP/1.0\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhe\x01lo");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody");
        run.Origin.reset();
        AllUntilClosed(*run.Browser);
        run.Browser.reset();
        run.Join();

        const std::string text = test::WholeFile(trace);
        EXPECT_EQ(text, "<-- INCOMING REQUEST: POST http://" + origin +
                            "/form HTTP/1.0 -->\n"
                            "<-- INCOMING REQUEST: Content-Length: 5 -->\n"
                            "<-- INCOMING REQUEST:  -->\n"
                            "<-- OUTGOING REQUEST: POST /form HTTP/1.0 -->\n"
                            "<-- OUTGOING REQUEST: Content-Length: 5 -->\n"
                            "<-- OUTGOING REQUEST: Connection: close -->\n"
                            "<-- OUTGOING REQUEST:  -->\n"
                            "<-- COPY(5): he\\01lo -->\n"
                            "<-- INCOMING ANSWER: HTTP/1.0 200 OK -->\n"
                            "<-- INCOMING ANSWER: A: b -->\n"
                            "<-- INCOMING ANSWER:  -->\n"
                            "<-- OUTGOING ANSWER: HTTP/1.0 200 OK -->\n"
                            "<-- OUTGOING ANSWER: X-MPM-URI: http://" +
                            origin +
                            "/form -->\n"
                            "<-- OUTGOING ANSWER: Via: HTTP/1.0 localhost (Harbolt) -->\n"
                            "<-- OUTGOING ANSWER: A: b -->\n"
                            "<-- OUTGOING ANSWER: Connection: close -->\n"
                            "<-- OUTGOING ANSWER:  -->\n"
                            "<-- [reading from Server] WRITE(4): body -->\n");
    }
    std::fclose(trace);
}

} // namespace
} // namespace harbolt
