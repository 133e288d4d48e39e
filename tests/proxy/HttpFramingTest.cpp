#include "proxy/HttpFraming.h"

#include <gtest/gtest.h>

#include <string>

namespace harbolt {
namespace {

using namespace std::string_literals;
using TState = THeadScanner::TState;

// The scanner fed one byte more at a time, as bytes trickle in.
TState ScanByBytes(THeadScanner& scanner, std::string_view bytes) {
    TState state = TState::Incomplete;
    for (std::size_t end = 1; end <= bytes.size() && state == TState::Incomplete; ++end)
        state = scanner.Scan(bytes.substr(0, end));
    return state;
}

TEST(HttpFraming, HeadsEndAtTheFirstEmptyLineWithinTheLimits) {
    const std::string head = "GET http://h/ HTTP/1.1\r\nHost: h\nX: y\r\n\r\n";
    for (const bool trickle : {false, true}) {
        THeadScanner scanner(30, 10, 100);
        const std::string bytes = head + "NEXT";
        EXPECT_EQ(trickle ? ScanByBytes(scanner, bytes) : scanner.Scan(bytes), TState::Complete);
        EXPECT_EQ(scanner.Length(), head.size());
    }
    struct TCase {
        std::string Bytes;
        TState State;
    };
    const TCase cases[] = {
        {std::string(30, 'a') + "\r\n", TState::Incomplete}, // exactly at the limit
        {std::string(31, 'a'), TState::FirstLineTooLong},    // told before the line end
        {"R\r\n" + std::string(11, 'b') + "\r\n", TState::LineTooLong},
        {"R\r\n" + std::string(10, 'b') + "\r", TState::Incomplete}, // the CR may end the line
        {"R\r\n" + std::string(3 * 11, 'c') + "XXXX", TState::LineTooLong},
        {"R\r\n" + std::string(3, 'c') + "\r\n" + std::string(9, 'c') + "\r\n" +
             std::string(9, 'c') + "\r\n" + std::string(9, 'c') + "\r\n",
         TState::HeadTooLarge},
    };
    for (const TCase& c : cases) {
        THeadScanner scanner(30, 10, 40);
        EXPECT_EQ(ScanByBytes(scanner, c.Bytes), c.State) << c.Bytes;
    }
}

TEST(HttpFraming, HopByHopFieldsStayBehind) {
    const std::string text = "GET / HTTP/1.1\r\n"
                             "Host: h\r\n"
                             "Connection: keep-alive, X-Private\r\n"
                             "Proxy-Connection: keep-alive\r\n"
                             "x-private: secret\r\n"
                             "keep-alive: 300\r\n"
                             "Proxy-Authorization: Basic abc\r\n"
                             "TE: trailers\r\n"
                             "Trailer: X-Sum\r\n"
                             "Upgrade: websocket\r\n"
                             "Content-Length: 3\r\n"
                             "Cookie: a=b\r\n"
                             "\r\n";
    const THttpHead head = ParseHead(text);
    EXPECT_EQ(head.FirstLine, "GET / HTTP/1.1");
    ASSERT_EQ(head.Fields.size(), 11u);
    EXPECT_EQ(head.Fields[1].Name, "Connection");
    EXPECT_EQ(head.Fields[1].Value, "keep-alive, X-Private");
    using TLines = std::vector<std::string_view>;
    EXPECT_EQ(ForwardedFields(head, false),
              (TLines{"Host: h", "Content-Length: 3", "Cookie: a=b"}));
    EXPECT_EQ(ForwardedFields(head, true, true),
              (TLines{"Host: h", "Upgrade: websocket", "Cookie: a=b"}));

    // Persistence: HTTP/1.1 unless closed; HTTP/1.0 only when asked for.
    const THttpHead none = ParseHead("X\r\n\r\n");
    const THttpHead close = ParseHead("X\r\nConnection: Keep-Alive, Close\r\n\r\n");
    const THttpHead proxyKeep = ParseHead("X\r\nProxy-Connection: Keep-Alive\r\n\r\n");
    EXPECT_TRUE(RequestKeepsAlive("HTTP/1.1", none));
    EXPECT_TRUE(RequestKeepsAlive("HTTP/2.0", none));
    EXPECT_FALSE(RequestKeepsAlive("HTTP/1.1", close));
    EXPECT_FALSE(RequestKeepsAlive("HTTP/1.0", none));
    EXPECT_TRUE(RequestKeepsAlive("HTTP/1.0", head));
    EXPECT_TRUE(RequestKeepsAlive("HTTP/1.0", proxyKeep));
    EXPECT_FALSE(AnswerKeepsAlive("HTTP/1.0", proxyKeep));
    EXPECT_FALSE(AnswerKeepsAlive("http/1.1", none));
}

TEST(HttpFraming, BodyLengthsOfRequestsAndAnswers) {
    auto request = [](const std::string& fields) {
        return RequestFraming(ParseHead("POST / HTTP/1.1\r\n" + fields + "\r\n"));
    };
    EXPECT_EQ(request("").Kind, TBodyKind::None);
    EXPECT_EQ(request("content-length: 0\r\n").Kind, TBodyKind::None);
    EXPECT_EQ(request("Content-Length: 7\r\n").Length, 7u);
    EXPECT_EQ(request("Content-Length: 7, 7\r\nContent-Length: 7\r\n").Length, 7u);
    EXPECT_EQ(request("Transfer-Encoding: gzip, Chunked\r\n").Kind, TBodyKind::Chunked);
    for (const char* unclear :
         {"Content-Length: 7\r\nContent-Length: 8\r\n", "Content-Length: -1\r\n",
          "Transfer-Encoding: chunked\r\nContent-Length: 7\r\n",
          "Transfer-Encoding: chunked, gzip\r\n"})
        EXPECT_FALSE(request(unclear).Valid) << unclear;

    auto answer = [](const char* method, int status, const std::string& fields) {
        return AnswerFraming(method, status, ParseHead("HTTP/1.1 x\r\n" + fields + "\r\n"));
    };
    for (const int status : {100, 101, 204, 304})
        EXPECT_EQ(answer("GET", status, "Content-Length: 5\r\n").Kind, TBodyKind::None);
    EXPECT_EQ(answer("head", 200, "Content-Length: 5\r\n").Kind, TBodyKind::None);
    EXPECT_EQ(answer("GET", 200, "Content-Length: 5\r\n").Length, 5u);
    EXPECT_EQ(answer("GET", 200, "").Kind, TBodyKind::UntilClose);
    EXPECT_EQ(answer("GET", 200, "Transfer-Encoding: gzip\r\n").Kind, TBodyKind::UntilClose);
    const TBodyFraming chunked =
        answer("GET", 200, "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n");
    EXPECT_EQ(chunked.Kind, TBodyKind::Chunked);
    EXPECT_TRUE(chunked.DropContentLength);
    EXPECT_FALSE(answer("GET", 200, "Content-Length: 5, 6\r\n").Valid);

    EXPECT_EQ(StatusCode("HTTP/1.1 404 Not Found"), 404);
    EXPECT_EQ(StatusCode("HTTP/1.0 200"), 200);
    for (const char* line : {"HTTP/1.1 99 x", "HTTP/1.1 2000", "HTTP/1.1 20x OK", "ICY 200 OK", ""})
        EXPECT_FALSE(StatusCode(line)) << line;
}

TEST(HttpFraming, ChunkedBodiesEndAfterTheirTrailers) {
    const std::string body = "5;name=value\r\nhello\r\n"
                             "A\r\n0123456789\r\n"
                             "0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n";
    for (const bool trickle : {false, true}) {
        TBodyFramer framer(TBodyFraming{TBodyKind::Chunked});
        const std::string bytes = body + "GET next";
        std::size_t taken = 0;
        if (trickle)
            for (std::size_t i = 0; i < bytes.size(); ++i)
                taken += framer.Take(bytes.substr(i, 1));
        else
            taken = framer.Take(bytes);
        EXPECT_EQ(taken, body.size());
        EXPECT_TRUE(framer.Done());
    }
    for (const std::string& broken :
         {"x\r\n"s, "5\r\nhelloX"s, "5\r\nhello\rX"s, "1234567890abcdef0\r\n"s, "5x\r\n"s,
          "1;" + std::string(5000, 'e'), "0\r\n" + std::string(70000, 't')}) {
        TBodyFramer framer(TBodyFraming{TBodyKind::Chunked});
        framer.Take(broken);
        EXPECT_TRUE(framer.Failed()) << broken.substr(0, 20);
    }
    // Plain bytes may pass by without being looked at.
    TBodyFramer chunk(TBodyFraming{TBodyKind::Chunked});
    EXPECT_EQ(chunk.Take("10\r\n"), 4u);
    EXPECT_EQ(chunk.PlainBytes(), 16u);
    chunk.Passed(16);
    EXPECT_EQ(chunk.Take("\r\n0\r\n\r\n"), 7u);
    EXPECT_TRUE(chunk.Done());
    TBodyFramer length(TBodyFraming{TBodyKind::Length, 6});
    EXPECT_EQ(length.Take("abc"), 3u);
    EXPECT_EQ(length.Take("defghi"), 3u);
    EXPECT_TRUE(length.Done());
    TBodyFramer untilClose(TBodyFraming{TBodyKind::UntilClose});
    EXPECT_EQ(untilClose.Take("anything"), 8u);
    EXPECT_FALSE(untilClose.Done());
    EXPECT_TRUE(untilClose.EndsAtClose());
}

TEST(HttpFraming, HostsMustBeNamesAddressesOrBracketedIPv6WithAPort) {
    for (const std::string_view host : {"site.test", "site.test:8080", "10.0.0.1:1",
                                        "under_score-dash.test.", "[::1]", "[2001:db8::7]:65535"})
        EXPECT_EQ(UnusableHost(host), std::nullopt) << host;
    const std::string longest(kHttpMaxHostName, 'h');
    EXPECT_EQ(UnusableHost(longest + ":80"), std::nullopt);
    const std::pair<std::string, std::string_view> refused[] = {
        {longest + "h", "the server's name is longer than 253 characters"},
        {"a%20b", "the server's name holds a character no host name has"},
        {"a:b:c", "the server's port is not a number from 1 to 65535"},
        {"site.test:", "the server's port is not a number from 1 to 65535"},
        {"site.test:0", "the server's port is not a number from 1 to 65535"},
        {"site.test:65536", "the server's port is not a number from 1 to 65535"},
        {":80", "the request names no server"},
        {"[::1", "the server's IPv6 address lacks its closing bracket"},
        {"[::1]x", "the server's IPv6 address is followed by something other than a port"},
        {"[::g]", "the server's IPv6 address is malformed"},
        {"[::ffff:127.0.0.1]:1977", "the server's IPv4 address is written as an IPv6 one"},
    };
    for (const auto& [host, reason] : refused)
        EXPECT_EQ(UnusableHost(host), std::string(reason)) << host;
}

} // namespace
} // namespace harbolt
