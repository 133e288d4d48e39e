#include "proxy/HttpProxy.h"
#include "ProxyTestSupport.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include <sys/socket.h>

namespace harbolt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::ClosedWithoutData;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;

constexpr std::string_view kVia = "Via: HTTP/1.0 localhost (Harbolt)\r\n";
constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n"
                                          "Server: Harbolt\r\n"
                                          "Connection: Keep-alive\r\n"
                                          "\r\n";
constexpr std::string_view kBadGateway = "HTTP/1.1 502 Bad Gateway\r\n"
                                         "Server: Harbolt\r\n"
                                         "\r\n";

// The handler with the given origin connector and without the closing pauses.
TProxyHandler Quick(TOriginConnector connect = ConnectOrigin) {
    THttpProxyOptions options;
    options.Connect = std::move(connect);
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
            auto origin = TCommunication::CreateUnconnected(false, false);
            origin->Connect(target);
            return origin;
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

std::string Everything(TCommunication& channel, int milliseconds = 3000) {
    bool closed = false;
    std::string bytes = ReadUntilClosed(channel, &closed, milliseconds);
    EXPECT_TRUE(closed);
    return bytes;
}

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

    // A line as long as the line buffer allows never needs cutting; a longer one is cut.
    const THttpRequestLine longOne{"GET", "http://h/" + std::string(3000, 'p'), "HTTP/1.0"};
    EXPECT_EQ(OriginRequestLine(longOne, SplitProxyUrl(longOne.Url)).size(), 2047u);

    for (std::string_view method : {"CONNECT", "connect", "Connect"})
        EXPECT_TRUE(IsConnectMethod(method)) << method;
    for (std::string_view method : {"CONNEC", "CONNECTS", "GET", ""})
        EXPECT_FALSE(IsConnectMethod(method)) << method;
}

TEST(HttpProxyHead, ReadsContentLengthOnlyFromItsOwnHeader) {
    const std::pair<std::string_view, std::int64_t> numbers[] = {
        {"Content-Length: 5", 5},
        {"content-length: 5", 5},
        {"CONTENT-LENGTH: 0", 0},
        {"Content-Length:15", 15}, // no blank after the colon: all of 15, not the 5
        {"Content-Length: \t 007 \t", 7},
        {"Content-Length: 1099511627776", kMaxHttpContentLength},
    };
    for (const auto& [line, length] : numbers) {
        const TContentLengthField field = ParseContentLength(line);
        EXPECT_TRUE(field.Named) << line;
        EXPECT_EQ(field.Length, length) << line;
    }
    // Not a number, negative, too large, or beyond 64 bits: named, but no length.
    for (std::string_view line :
         {"Content-Length: abc", "Content-Length: -5", "Content-Length: +5", "Content-Length: 5x",
          "Content-Length: 5 6", "Content-Length: 1e3",
          "Content-Length:", "Content-Length:  ", "Content-Length: 1099511627777",
          "Content-Length: 18446744073709551621", "Content-Length: 99999999999999999999999999"}) {
        const TContentLengthField field = ParseContentLength(line);
        EXPECT_TRUE(field.Named) << line;
        EXPECT_FALSE(field.Length) << line;
    }
    // Other headers, prefixes of the name among them, say nothing about the body.
    for (std::string_view line :
         {"Content-Type: text/html", "Content: 5", "C: 5", ": 5", "X-Content-Length: 5",
          "Content-Lengths: 5", "Content-Length : 5", "Content-Length 5", ""}) {
        const TContentLengthField field = ParseContentLength(line);
        EXPECT_FALSE(field.Named) << line;
        EXPECT_FALSE(field.Length) << line;
    }
}

// ---------------------------------------------------------------------------------------------
// Requests through the handler

TEST_F(HttpProxyTest, RequestsReachTheOriginInOriginFormAndAnswersAreMarked) {
    // Header lines pass as they came (a NUL byte, a lone-LF ending made CR LF, odd blanks).
    const std::string headers = "Host: 127.0.0.1\r\n"
                                "Proxy-Connection: close\n"
                                "X-Odd:  a\tb \r\n"
                                "X-Nul: a\0b\r\n"
                                "\0X: starts with NUL\r\n"
                                "\r\n"s;
    const std::string forwarded = "Host: 127.0.0.1\r\n"
                                  "Proxy-Connection: close\r\n"
                                  "X-Odd:  a\tb \r\n"
                                  "X-Nul: a\0b\r\n"
                                  "\0X: starts with NUL\r\n"
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

        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\nServer: fake\r\n\r\n"
                             "hello\r\n");
        run.Origin.reset();
        EXPECT_EQ(Everything(*run.Browser),
                  "HTTP/1.0 200 OK\r\n"
                  "X-MPM-URI: " +
                      url + (*path ? "" : "/") + "\r\n" + std::string(kVia) +
                      "Content-Type: text/plain\r\nServer: fake\r\n\r\nhello\r\n");
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
    const std::string big(5000, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"content-length: 5", "hello"},
        {"CONTENT-LENGTH:5", "hello"},
        {"Content-Length: 5000", big},
    };
    for (const auto& [header, body] : cases) {
        SCOPED_TRACE(header);
        THttpRun run;
        // The browser sends a CR LF after the body, as some do.
        SendNow(*run.Browser, "POST http://" + run.Listener.Endpoint + "/form HTTP/1.0\r\n" +
                                  header + "\r\n\r\n" + body + "\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        const std::string head = "POST /form HTTP/1.0\r\n" + header + "\r\n\r\n";
        // The origin answers only after the whole body: a handler that waited for the answer
        // first would wait for ever.
        EXPECT_EQ(ReadUpTo(*run.Origin, head.size() + body.size()), head + body);
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\n\r\nthanks");
        const std::string answer = "HTTP/1.0 200 OK\r\nX-MPM-URI: http://" + run.Listener.Endpoint +
                                   "/form\r\n" + std::string(kVia) + "\r\nthanks";
        EXPECT_EQ(ReadUpTo(*run.Browser, answer.size()), answer);
        // The relay runs (it passed "thanks"), and the lone CR LF was not passed on.
        EXPECT_EQ(ReadUpTo(*run.Origin, 1, 200), "");
        // A CR LF later on is traffic like any other.
        SendNow(*run.Browser, "\r\n");
        EXPECT_EQ(ReadUpTo(*run.Origin, 2), "\r\n");
        EXPECT_GT(run.Activity.load(), 0);
    }
}

TEST_F(HttpProxyTest, LaterRequestsPassUnchangedToTheFirstOrigin) {
    THttpRun run;
    const std::string first = "GET http://" + run.Listener.Endpoint +
                              "/one HTTP/1.1\r\nHost: a\r\nProxy-Connection: keep-alive\r\n\r\n";
    SendNow(*run.Browser, first);
    ASSERT_TRUE(run.AcceptOrigin());
    const std::string firstForwarded =
        "GET /one HTTP/1.1\r\nHost: a\r\nProxy-Connection: keep-alive\r\n\r\n";
    EXPECT_EQ(ReadUpTo(*run.Origin, firstForwarded.size()), firstForwarded);
    SendNow(*run.Origin, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
    const std::string firstAnswer = "HTTP/1.1 200 OK\r\nX-MPM-URI: http://" +
                                    run.Listener.Endpoint + "/one\r\n" + std::string(kVia) +
                                    "Content-Length: 3\r\n\r\nabc";
    EXPECT_EQ(ReadUpTo(*run.Browser, firstAnswer.size()), firstAnswer);

    // The second request names another server and stays in proxy form: nothing reads it.
    const std::string second = "GET http://other.test/two HTTP/1.1\r\nHost: other.test\r\n\r\n";
    SendNow(*run.Browser, second);
    EXPECT_EQ(ReadUpTo(*run.Origin, second.size() + 1, 200), second);
    const std::string secondAnswer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    SendNow(*run.Origin, secondAnswer);
    EXPECT_EQ(ReadUpTo(*run.Browser, secondAnswer.size() + 1, 200), secondAnswer);
    EXPECT_EQ(run.Listener.Channel->Accept(100), nullptr); // no second connection
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

TEST_F(HttpProxyTest, UnreachableOriginsGetNoSuccessAnswer) {
    // Both runs wait out the connect phase at the same time.
    const std::vector<std::uint16_t> nobody = test::FreePorts(2);
    const auto start = std::chrono::steady_clock::now();
    THttpRun tunnel(HandleHttpProxy);
    THttpRun request(HandleHttpProxy);
    SendNow(*tunnel.Browser,
            "CONNECT " + test::Loopback(nobody[0]) + " HTTP/1.1\r\nHost: nobody\r\n\r\n");
    SendNow(*request.Browser, "GET http://" + test::Loopback(nobody[1]) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Everything(*tunnel.Browser, 8000), kBadGateway);
    EXPECT_GE(MillisecondsSince(start), 4900.0);
    EXPECT_TRUE(ClosedWithoutData(*request.Browser, 3000));
    EXPECT_LT(MillisecondsSince(start), 8000.0);
}

TEST_F(HttpProxyTest, StoppingEndsTheConnectPhaseAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    THttpRun tunnel(HandleHttpProxy);
    THttpRun request(HandleHttpProxy);
    tunnel.Stop.Raise();
    request.Stop.Raise();
    SendNow(*tunnel.Browser, "CONNECT " + tunnel.Listener.Endpoint + " HTTP/1.1\r\n\r\n");
    SendNow(*request.Browser, "GET http://" + request.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Everything(*tunnel.Browser), kBadGateway);
    EXPECT_TRUE(ClosedWithoutData(*request.Browser));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_EQ(tunnel.Listener.Channel->Accept(0), nullptr);
    EXPECT_EQ(request.Listener.Channel->Accept(0), nullptr);
}

TEST_F(HttpProxyTest, BrokenRequestHeadsEndTheHandlerWithoutReply) {
    const std::string longLine(2046, 'a'); // with CR LF: 2048 raw bytes, one too many
    const std::string line = "GET /x HTTP/1.0\r\n";
    struct TCase {
        std::string Name;
        std::string Head;                     // after the request line, unless it holds one itself
        std::optional<std::string> Forwarded; // what the origin gets; nullopt: not reached
        bool BrowserCloses = false;
    };
    const std::vector<TCase> cases = {
        {"two blanks missing", "GET http://ORIGIN/x\r\n\r\n", std::nullopt},
        {"request line too long", "GET http://ORIGIN/" + longLine + " HTTP/1.0\r\n\r\n",
         std::nullopt},
        {"header line too long", "X: " + longLine.substr(3) + "\r\n\r\n", line},
        {"early close", "Host: x\r\n", line + "Host: x\r\n", true},
        {"early close in a line", "Host: x", line, true},
        {"not a number", "Content-Length: abc\r\n\r\n", line},
        {"negative", "Content-Length: -5\r\n\r\nhello", line},
        {"beyond 64 bits", "Content-Length: 18446744073709551621\r\n\r\n", line},
        {"beyond the limit", "Content-Length: 1099511627777\r\n\r\nabc", line},
        {"body cut short", "Content-Length: 10\r\n\r\nabc", line + "Content-Length: 10\r\n\r\nabc",
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        THttpRun run;
        std::string head = c.Head;
        if (head.rfind("GET ", 0) == 0)
            head.replace(head.find("ORIGIN"), 6, run.Listener.Endpoint);
        else
            head = "GET http://" + run.Listener.Endpoint + "/x HTTP/1.0\r\n" + head;
        SendNow(*run.Browser, head);
        if (c.BrowserCloses)
            run.BrowserDone();
        EXPECT_TRUE(ClosedWithoutData(*run.Browser));
        EXPECT_TRUE(test::WaitFor([&] { return run.Ended.load(); }));
        if (c.Forwarded) {
            ASSERT_TRUE(run.AcceptOrigin(0));
            EXPECT_EQ(Everything(*run.Origin), *c.Forwarded);
        } else {
            EXPECT_FALSE(run.AcceptOrigin(0));
        }
    }
}

TEST_F(HttpProxyTest, BrokenAnswerHeadsEndTheHandler) {
    const std::string longLine(2046, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"closed before answering", ""},
        {"status line too long", longLine + "\r\n"},
        {"status line cut", "HTTP/1.0 200"},
    };
    for (const auto& [name, answer] : cases) {
        SCOPED_TRACE(name);
        THttpRun run;
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 18), "GET / HTTP/1.0\r\n\r\n");
        SendNow(*run.Origin, answer);
        ::shutdown(run.Origin->Socket(), SHUT_WR);
        EXPECT_TRUE(ClosedWithoutData(*run.Browser));
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
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 18), "GET / HTTP/1.0\r\n\r\n");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\n\r\nbody");
        EXPECT_EQ(ReadUpTo(*run.Browser, 200).substr(0, 17), "HTTP/1.0 200 OK\r\n");
        // The browser leaves while the origin, still open, goes on sending: the relay fails on
        // the browser's reset with the origin unfinished, which the pauses are for.
        run.Browser.reset();
        for (int sent = 0; sent < 300 && !run.Ended; ++sent) {
            SendNow(*run.Origin, "more");
            std::this_thread::sleep_for(10ms);
        }
        // The relay is over; the handler returns while the clock stands before the pauses' end.
        EXPECT_TRUE(test::WaitFor([&] { return run.Ended.load(); }));
        run.Join();
        if (i == 0)
            threads = Entries("/proc/self/task");
    }
    EXPECT_EQ(pauses.Lingerer.Pending(), kRequests);
    EXPECT_EQ(Entries("/proc/self/task"), threads); // one lingerer's thread for all of them
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors + 2 * kRequests);

    pauses.Clock.Advance(50); // shut down, still held
    pauses.Lingerer.RunDue();
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors + 2 * kRequests);
    pauses.Clock.Advance(500);
    pauses.Lingerer.RunDue();
    EXPECT_EQ(pauses.Lingerer.Pending(), 0u);
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
}

TEST_F(HttpProxyTest, ExchangesBothPeersEndedCloseWithoutPauses) {
    // Both have closed their sending sides and the relay passed each end on: the pauses would
    // change nothing on the wire, so nothing is held.
    THttpPauses pauses;
    const std::size_t descriptors = Entries("/proc/self/fd");
    {
        THttpRun run(pauses.Handler);
        SendNow(*run.Browser, "GET http://" + run.Listener.Endpoint + "/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(run.AcceptOrigin());
        EXPECT_EQ(ReadUpTo(*run.Origin, 18), "GET / HTTP/1.0\r\n\r\n");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\n\r\nbody");
        run.Origin.reset();
        bool closed = false;
        EXPECT_EQ(test::ReadUntilClosed(*run.Browser, &closed),
                  "HTTP/1.0 200 OK\r\nX-MPM-URI: http://" + run.Listener.Endpoint + "/\r\n" +
                      std::string(kVia) + "\r\nbody");
        EXPECT_TRUE(closed);
        run.BrowserDone();
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
        EXPECT_EQ(ReadUpTo(*run.Origin, 47),
                  "POST /form HTTP/1.0\r\nContent-Length: 5\r\n\r\nhe\x01lo");
        SendNow(*run.Origin, "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody");
        run.Origin.reset();
        Everything(*run.Browser);
        run.Browser.reset();
        run.Join();

        const std::string text = test::WholeFile(trace);
        const std::string head = "<-- INCOMING REQUEST: POST http://" + origin +
                                 "/form HTTP/1.0 -->\n"
                                 "<-- OUTGOING REQUEST: POST /form HTTP/1.0 -->\n"
                                 "<-- INCOMING REQUEST: Content-Length: 5 -->\n"
                                 "<-- OUTGOING REQUEST: Content-Length: 5 -->\n"
                                 "<-- INCOMING REQUEST:  -->\n"
                                 "<-- OUTGOING REQUEST:  -->\n"
                                 "<-- COPY(5): he\\01lo -->\n"
                                 "<-- INCOMING ANSWER: HTTP/1.0 200 OK -->\n"
                                 "<-- OUTGOING ANSWER: HTTP/1.0 200 OK -->\n"
                                 "<-- OUTGOING ANSWER: X-MPM-URI: http://" +
                                 origin +
                                 "/form -->\n"
                                 "<-- OUTGOING ANSWER: Via: HTTP/1.0 localhost (Harbolt) -->\n"
                                 "<-- INCOMING ANSWER: A: b -->\n"
                                 "<-- OUTGOING ANSWER: A: b -->\n"
                                 "<-- INCOMING ANSWER:  -->\n"
                                 "<-- OUTGOING ANSWER:  -->\n";
        EXPECT_EQ(text.substr(0, head.size()), head);
        // Then the relay's own lines.
        EXPECT_NE(text.find("<-- [reading from Server] WRITE(4): body -->\n", head.size()),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.back(), '\n');
    }
    std::fclose(trace);
}

} // namespace
} // namespace harbolt
