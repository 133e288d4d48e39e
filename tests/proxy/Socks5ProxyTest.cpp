#include "proxy/Socks5Proxy.h"
#include "../database/Golden.h"
#include "ProxyTestSupport.h"

#include <atomic>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {
namespace {

using test::AllUntilClosed;
using test::Bytes;
using test::ClosedWithoutData;
using test::ConnectFrom;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;

const std::string kGreeting = Bytes({5, 1, 0});
const std::string kAccepted = Bytes({5, 0});
const std::string kUnreachable = Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0});
const std::string kTypeNotSupported = Bytes({5, 8, 0, 1, 0, 0, 0, 0, 0, 0});

std::string PortBytes(std::uint16_t port) {
    return Bytes({port >> 8, port & 0xFF});
}

// A CONNECT (1), BIND (2) or other command to a.b.c.d:port.
std::string RequestIPv4(int command, std::uint32_t hostOrderAddress, std::uint16_t port) {
    return Bytes({5, command, 0, 1, static_cast<int>(hostOrderAddress >> 24),
                  static_cast<int>((hostOrderAddress >> 16) & 0xFF),
                  static_cast<int>((hostOrderAddress >> 8) & 0xFF),
                  static_cast<int>(hostOrderAddress & 0xFF)}) +
           PortBytes(port);
}

std::string RequestName(int command, const std::string& name, std::uint16_t port) {
    return Bytes({5, command, 0, 3, static_cast<int>(name.size())}) + name + PortBytes(port);
}

constexpr std::uint32_t kLoopback = 0x7F000001;

// The reply a client expects for address (the record's network-order fields, read as numbers).
std::string ExpectedReply(int code, const sockaddr_in& address) {
    const std::uint32_t host = ntohl(address.sin_addr.s_addr);
    return Bytes({5, code, 0, 1, static_cast<int>(host >> 24),
                  static_cast<int>((host >> 16) & 0xFF), static_cast<int>((host >> 8) & 0xFF),
                  static_cast<int>(host & 0xFF)}) +
           PortBytes(ntohs(address.sin_port));
}

std::uint16_t ReplyPort(const std::string& reply) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(reply[8]) << 8) |
                                      static_cast<unsigned char>(reply[9]));
}

// The handler on a thread of its own; Client is the client program's end. At the end the stop
// flag is raised, the client closes and the handler is waited for.
class TSocksRun : public test::THandlerRun {
public:
    explicit TSocksRun(std::FILE* trace = nullptr) : THandlerRun(HandleSocks5Proxy, trace) {}
    explicit TSocksRun(TSocks5Options options)
        : THandlerRun([options](std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                                const TActivity& activity, const TStopSignal& stop) {
              RunSocks5Proxy(std::move(client), trace, activity, stop, options);
          }) {}
};

// Loopback stands for a peer elsewhere: every address the tests can reach is this computer's.
TSocks5Options NothingIsOwn() {
    TSocks5Options options;
    options.IsOwnAddress = [](std::uint32_t) { return false; };
    return options;
}

// Bytes already sent by a client that then stopped sending; Server is the handler's end.
struct TFedChannel {
    explicit TFedChannel(const std::string& bytes) {
        test::TChannelPair pair = test::MakePair();
        Client = std::move(pair.Connected);
        Server = std::move(pair.Accepted);
        SendNow(*Client, bytes);
        shutdown(Client->Socket(), SHUT_WR);
    }
    // What the server end sent, once it is closed.
    std::string Sent() {
        Server.reset();
        bool closed = false;
        return ReadUntilClosed(*Client, &closed, 2000);
    }
    std::unique_ptr<TBufferedCommunication> Client;
    std::unique_ptr<TBufferedCommunication> Server;
};

template <typename F> std::string SocksError(F&& f) {
    try {
        f();
    } catch (const ESocks& e) {
        return e.what();
    }
    return "";
}

// The request read after an accepted greeting.
std::optional<TSocksRequest> ParsedRequest(const std::string& request) {
    TFedChannel fed(kGreeting + request);
    EXPECT_TRUE(NegotiateSocks5Method(*fed.Server));
    return ReadSocks5Request(*fed.Server);
}

std::string RequestError(const std::string& request) {
    TFedChannel fed(kGreeting + request);
    EXPECT_TRUE(NegotiateSocks5Method(*fed.Server));
    const std::string error = SocksError([&] { ReadSocks5Request(*fed.Server); });
    EXPECT_EQ(fed.Sent(), kAccepted) << "no reply to a bad request";
    return error;
}

class Socks5Test : public test::NetTest {};

TEST_F(Socks5Test, MethodSelectionAcceptsOnlyNoAuthentication) {
    {
        TFedChannel fed(Bytes({5, 1, 0}));
        EXPECT_TRUE(NegotiateSocks5Method(*fed.Server));
        EXPECT_EQ(fed.Sent(), kAccepted);
    }
    {
        // Method 0 anywhere in the list is enough.
        TFedChannel fed(Bytes({5, 3, 2, 1, 0}));
        EXPECT_TRUE(NegotiateSocks5Method(*fed.Server));
        EXPECT_EQ(fed.Sent(), kAccepted);
    }
    for (const std::string& greeting : {Bytes({5, 1, 2}), Bytes({5, 0}), Bytes({5, 2, 1, 0xFF})}) {
        TFedChannel fed(greeting);
        EXPECT_FALSE(NegotiateSocks5Method(*fed.Server));
        EXPECT_EQ(fed.Sent(), Bytes({5, 0xFF}));
    }
    // The handler refuses and closes.
    TSocksRun run;
    SendNow(*run.Client, Bytes({5, 1, 2}));
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), Bytes({5, 0xFF}));
    EXPECT_TRUE(closed);
}

TEST_F(Socks5Test, ProtocolViolationsRaiseTheirMessages) {
    {
        TFedChannel fed(Bytes({4, 1, 0}));
        EXPECT_EQ(SocksError([&] { NegotiateSocks5Method(*fed.Server); }),
                  "bad version 4, 5 expected");
        EXPECT_EQ(fed.Sent(), "");
    }
    {
        TFedChannel fed(Bytes({0xFF, 1, 0}));
        EXPECT_EQ(SocksError([&] { NegotiateSocks5Method(*fed.Server); }),
                  "bad version 255, 5 expected");
    }
    EXPECT_EQ(RequestError(Bytes({4, 1, 0, 1, 127, 0, 0, 1, 0, 80})), "bad version 4, 5 expected");
    EXPECT_EQ(RequestError(Bytes({5, 1, 1, 1, 127, 0, 0, 1, 0, 80})), "Request.RSV MUST be 0");
    // The reserved byte is checked before the command.
    EXPECT_EQ(RequestError(Bytes({5, 9, 1, 1})), "Request.RSV MUST be 0");
    EXPECT_EQ(RequestError(Bytes({5, 9, 0, 1, 127, 0, 0, 1, 0, 80})), "bad Request.CMD: 9");
    EXPECT_EQ(RequestError(Bytes({5, 0, 0, 1})), "bad Request.CMD: 0");
    EXPECT_EQ(RequestError(Bytes({5, 200, 0, 1})), "bad Request.CMD: 200");
    EXPECT_EQ(RequestError(Bytes({5, 1, 0, 9})), "bad Request.ATYP: 9");
    EXPECT_EQ(RequestError(Bytes({5, 1, 0, 0})), "bad Request.ATYP: 0");

    // The handler ends such a conversation by closing, without a reply to the request, but for
    // an address type it does not know, or cannot serve (a BIND for an IPv6 peer: the listening
    // side has IPv4 only): code 8 first.
    const std::pair<std::string, std::string> ends[] = {
        {Bytes({5, 9, 0, 1}) + std::string(6, '\0'), kAccepted},
        {Bytes({5, 1, 0, 5}) + std::string(6, '\0'), kAccepted + kTypeNotSupported},
        {Bytes({5, 2, 0, 4}) + std::string(18, '\0'), kAccepted + kTypeNotSupported},
    };
    for (const auto& [request, replies] : ends) {
        TSocksRun run;
        SendNow(*run.Client, kGreeting + request);
        EXPECT_EQ(AllUntilClosed(*run.Client), replies);
    }
}

TEST_F(Socks5Test, RequestsGiveCommandAndTarget) {
    auto request = ParsedRequest(RequestIPv4(1, 0x0A000009, 443));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Command, TSocksCommand::Connect);
    EXPECT_EQ(request->Target, "10.0.0.9:443");

    request = ParsedRequest(RequestName(1, "site.test", 80));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Target, "site.test:80");

    request = ParsedRequest(RequestIPv4(2, 0, 0));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Command, TSocksCommand::Bind);
    EXPECT_EQ(request->Target, "0.0.0.0:0");

    request = ParsedRequest(RequestIPv4(3, 0xFFFFFFFF, 65535));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Command, TSocksCommand::UdpAssociate);
    EXPECT_EQ(request->Target, "255.255.255.255:65535");

    request = ParsedRequest(RequestName(1, "", 0x1234));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Target, ":4660");

    const std::string longName(255, 'n');
    request = ParsedRequest(RequestName(2, longName, 21));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Target, longName + ":21");

    // Exactly the request is read: what follows stays for the relay.
    TFedChannel fed(kGreeting + RequestName(1, "a.b", 7) + "after");
    ASSERT_TRUE(NegotiateSocks5Method(*fed.Server));
    ASSERT_TRUE(ReadSocks5Request(*fed.Server));
    char rest[5];
    ASSERT_TRUE(fed.Server->ReceiveExactly(rest, 5));
    EXPECT_EQ(std::string(rest, 5), "after");
}

TEST_F(Socks5Test, ClientClosingDuringNegotiationGetsNoReply) {
    for (const std::string& whole : {kGreeting + RequestIPv4(1, kLoopback, 9),
                                     Bytes({5, 2, 7, 0}) + RequestName(2, "ab", 9)}) {
        const std::size_t greetingLength = static_cast<std::size_t>(whole[1]) + 2;
        for (std::size_t cut = 0; cut < whole.size(); ++cut) {
            SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
            {
                TFedChannel fed(whole.substr(0, cut));
                if (cut < greetingLength) {
                    EXPECT_FALSE(NegotiateSocks5Method(*fed.Server));
                } else {
                    EXPECT_TRUE(NegotiateSocks5Method(*fed.Server));
                    EXPECT_FALSE(ReadSocks5Request(*fed.Server));
                }
            }
            TSocksRun run;
            SendNow(*run.Client, whole.substr(0, cut));
            shutdown(run.Client->Socket(), SHUT_WR);
            bool closed = false;
            EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), cut < greetingLength ? "" : kAccepted);
            EXPECT_TRUE(closed);
        }
    }
}

TEST_F(Socks5Test, ReplyCarriesAddressAndPortInNetworkOrder) {
    sockaddr_in address{};
    address.sin_addr.s_addr = htonl(0xC0A80102);
    address.sin_port = htons(0x1F90);
    EXPECT_EQ(Socks5Reply(0, address), Bytes({5, 0, 0, 1, 192, 168, 1, 2, 0x1F, 0x90}));
    EXPECT_EQ(Socks5Reply(4, sockaddr_in{}), kUnreachable);
    sockaddr_in6 ipv6{};
    ipv6.sin6_addr.s6_addr[15] = 1;
    ipv6.sin6_port = htons(0x1F90);
    EXPECT_EQ(Socks5Reply(0, ipv6),
              Bytes({5, 0, 0, 4}) + std::string(15, '\0') + Bytes({1, 0x1F, 0x90}));
}

// CONNECT with both address types: the reply names the outgoing socket's local end, and bytes
// pass both ways through the relay, which gets the trace and the activity procedure.
TEST_F(Socks5Test, ConnectRepliesOutgoingEndAndRelays) {
    for (const int addressType : {1, 3, 4}) {
        SCOPED_TRACE("address type " + std::to_string(addressType));
        test::TListener target = test::MakeListener();
        std::FILE* trace = std::tmpfile();
        ASSERT_NE(trace, nullptr);
        {
            TSocksRun run(trace);
            // An IPv4 address in IPv6 form (::ffff:127.0.0.1) is reached over IPv4.
            const std::string mapped = std::string(10, '\0') + Bytes({0xFF, 0xFF, 127, 0, 0, 1});
            SendNow(*run.Client,
                    kGreeting + (addressType == 1 ? RequestIPv4(1, kLoopback, target.Port)
                                 : addressType == 3
                                     ? RequestName(1, "127.0.0.1", target.Port)
                                     : Bytes({5, 1, 0, 4}) + mapped + PortBytes(target.Port)));
            auto far = target.Channel->Accept(5000);
            ASSERT_NE(far, nullptr);
            // The target sees the outgoing socket's local end as its peer.
            EXPECT_EQ(ReadUpTo(*run.Client, 12),
                      kAccepted + ExpectedReply(0, far->RemoteAddress()));

            SendNow(*run.Client, "hello");
            EXPECT_EQ(ReadUpTo(*far, 5), "hello");
            SendNow(*far, "world!");
            EXPECT_EQ(ReadUpTo(*run.Client, 6), "world!");
            // The target closing reaches the client; the client closing ends the relay.
            far.reset();
            EXPECT_TRUE(ClosedWithoutData(*run.Client));
            run.Client.reset();
            EXPECT_TRUE(run.EndsWithin(3000));
            EXPECT_EQ(run.Activity.load(), 2);
        }
        const std::string traced = test::WholeFile(trace);
        std::fclose(trace);
        EXPECT_NE(traced.find("<-- [reading from Client] WRITE(5): hello -->"), std::string::npos);
        EXPECT_NE(traced.find("<-- [reading from Server] WRITE(6): world! -->"), std::string::npos);
    }
}

// A refusal is final: the client hears it at once, with the code that says so.
TEST_F(Socks5Test, ConnectFailuresAreAnsweredAtOnceWithTheirCode) {
    const std::uint16_t port = test::FreePorts(1)[0];
    std::FILE* trace = std::tmpfile();
    ASSERT_NE(trace, nullptr);
    TSocksRun run(trace);
    const auto start = std::chrono::steady_clock::now();
    SendNow(*run.Client, kGreeting + RequestIPv4(1, kLoopback, port));
    EXPECT_EQ(AllUntilClosed(*run.Client), kAccepted + Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    // The reason is in the trace before the reply goes out.
    EXPECT_NE(test::WholeFile(trace).find(
                  "<-- SOCKS5: connection refused by 127.0.0.1:" + std::to_string(port) + " -->"),
              std::string::npos);
    run.Join();
    std::fclose(trace);
}

TEST_F(Socks5Test, ConnectGivesUpAtOnceWhenStoppedOrNameHasZeroByte) {
    test::TListener target = test::MakeListener();
    {
        TSocksRun run;
        run.Stop.Raise();
        SendNow(*run.Client, kGreeting + RequestIPv4(1, kLoopback, target.Port));
        EXPECT_EQ(AllUntilClosed(*run.Client, 2000),
                  kAccepted + Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        // Only the part before the zero byte would be resolved: a different host than named.
        TSocksRun run;
        SendNow(*run.Client,
                kGreeting + RequestName(1, std::string("127.0.0.1\0.example", 18), target.Port));
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Client, &closed, 2000), kAccepted + kUnreachable);
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(target.Channel->Accept(0), nullptr) << "the target was contacted";
}

// An IPv6 target, also one sent as a name, is reached over IPv6; the reply names the outgoing
// socket's IPv6 end. Where IPv6 cannot be reached, the reply says so with code 8.
TEST_F(Socks5Test, ConnectToIPv6LoopbackRelays) {
    const int listening = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (listening < 0 || bind(listening, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listening, 2) != 0 ||
        getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listening >= 0) {
            close(listening);
            GTEST_SKIP() << "no IPv6 loopback here";
        }
        // Without IPv6 at all the client hears that the address type cannot be served.
        TSocksRun run;
        SendNow(*run.Client, kGreeting + Bytes({5, 1, 0, 4}) + std::string(18, '\1'));
        EXPECT_EQ(AllUntilClosed(*run.Client), kAccepted + kTypeNotSupported);
        return;
    }
    const std::uint16_t port = ntohs(address.sin6_port);
    for (const std::string& request :
         {Bytes({5, 1, 0, 4}) + std::string(15, '\0') + Bytes({1}) + PortBytes(port),
          RequestName(1, "::1", port)}) {
        TSocksRun run;
        SendNow(*run.Client, kGreeting + request);
        ASSERT_TRUE(WaitReadable(listening, 3000)) << "no connection came";
        sockaddr_in6 peer{};
        length = sizeof peer;
        const int far = accept(listening, reinterpret_cast<sockaddr*>(&peer), &length);
        ASSERT_GE(far, 0);
        EXPECT_EQ(ReadUpTo(*run.Client, 24), kAccepted + Socks5Reply(0, peer));
        SendNow(*run.Client, "over six");
        char received[8];
        ASSERT_TRUE(WaitReadable(far, 2000));
        EXPECT_EQ(recv(far, received, sizeof received, MSG_WAITALL), 8);
        EXPECT_EQ(std::string(received, 8), "over six");
        close(far);
        EXPECT_TRUE(ClosedWithoutData(*run.Client));
    }
    close(listening);
}

// The connecting side of a BIND: connects to the bound port and reads the second reply.
void ExpectBindArrival(TSocksRun& run, std::uint16_t port) {
    auto peer = TCommunication::CreateUnconnected(false, false);
    peer->Connect(test::Loopback(port));
    // After Connect the record holds the peer's local end, which the second reply names.
    EXPECT_EQ(ReadUpTo(*run.Client, 10, 3000), ExpectedReply(0, peer->RemoteAddress()));
    // One connection is all a BIND takes: the port is closed by now.
    EXPECT_NE(test::CommunicationError([&] {
                  auto second = TCommunication::CreateUnconnected(false, false);
                  second->Connect(test::Loopback(port));
              }),
              "");

    SendNow(*run.Client, "from client");
    EXPECT_EQ(ReadUpTo(*peer, 11), "from client");
    SendNow(*peer, "from peer");
    EXPECT_EQ(ReadUpTo(*run.Client, 9), "from peer");
    peer.reset();
    EXPECT_TRUE(ClosedWithoutData(*run.Client));
    run.Client.reset();
    EXPECT_TRUE(run.EndsWithin(3000));
}

// The request names the peer that will connect; the reply names where it can: never 0.0.0.0.
TEST_F(Socks5Test, BindRepliesTwiceAndRelays) {
    const std::string loopbackReply = Bytes({5, 0, 0, 1, 127, 0, 0, 1});
    for (const std::string& request :
         {RequestIPv4(2, kLoopback, 0), RequestIPv4(2, 0, 0), RequestName(2, "127.0.0.1", 21)}) {
        // A peer anywhere (0.0.0.0) comes the way the client came: to 127.0.0.1 here.
        TSocksRun run(NothingIsOwn());
        SendNow(*run.Client, kGreeting + request);
        const std::string reply = ReadUpTo(*run.Client, 12).substr(2);
        ASSERT_EQ(reply.size(), 10u);
        EXPECT_EQ(reply.substr(0, 8), loopbackReply);
        // The port is the system's choice; the peer may come from any port of its own.
        ASSERT_NE(ReplyPort(reply), 0);
        ExpectBindArrival(run, ReplyPort(reply));
    }
}

TEST_F(Socks5Test, BindTakesOnlyTheExpectedPeer) {
    TSocksRun run(NothingIsOwn());
    SendNow(*run.Client, kGreeting + RequestIPv4(2, 0x7F000002, 2121));
    const std::string reply = ReadUpTo(*run.Client, 12).substr(2);
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply.substr(0, 8), Bytes({5, 0, 0, 1, 127, 0, 0, 1}));

    // 127.0.0.1 is not the host expected: closed, and the wait goes on.
    const int stranger = ConnectFrom(kLoopback, ReplyPort(reply));
    char byte;
    EXPECT_EQ(recv(stranger, &byte, 1, 0), 0);
    close(stranger);
    EXPECT_FALSE(run.Client->WaitForIncomingData(100));

    const int expected = ConnectFrom(0x7F000002, ReplyPort(reply));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(expected, reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(ReadUpTo(*run.Client, 10), ExpectedReply(0, local));
    close(expected);
}

TEST_F(Socks5Test, BindEndsOnStopFlagOrWhenTheClientLeaves) {
    {
        TSocksRun run;
        SendNow(*run.Client, kGreeting + RequestIPv4(2, 0, 0));
        ASSERT_EQ(ReadUpTo(*run.Client, 12).size(), 12u);
        run.Stop.Raise();
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(*run.Client, &closed, 3000), kUnreachable);
        EXPECT_TRUE(closed);
    }
    {
        TSocksRun run;
        SendNow(*run.Client, kGreeting + RequestIPv4(2, 0, 0));
        const std::string first = ReadUpTo(*run.Client, 12);
        ASSERT_EQ(first.size(), 12u);
        run.Client.reset();
        EXPECT_TRUE(run.EndsWithin(3000)) << "the handler waits on for a client that is gone";
        EXPECT_NE(test::CommunicationError([&] {
                      auto late = TCommunication::CreateUnconnected(false, false);
                      late->Connect(test::Loopback(ReplyPort(first.substr(2))));
                  }),
                  "")
            << "the port is still open";
    }
}

TEST_F(Socks5Test, BindRefusesThisComputerAndWaitsOnlyItsTimeLimit) {
    // A peer on this computer could reach its services through the BIND: code 2, nothing bound.
    // An IPv6 peer, also written as a name: code 8, the listening side has IPv4 only.
    const std::string notAllowed = Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0});
    for (const auto& [request, reply] : {std::pair{RequestIPv4(2, kLoopback, 53), notAllowed},
                                         std::pair{RequestName(2, "localhost", 21), notAllowed},
                                         std::pair{RequestName(2, "::1", 21), kTypeNotSupported}}) {
        TSocksRun run;
        SendNow(*run.Client, kGreeting + request);
        EXPECT_EQ(AllUntilClosed(*run.Client), kAccepted + reply);
    }
    TSocks5Options options;
    options.BindWait = std::chrono::milliseconds(150);
    TSocksRun run(options);
    SendNow(*run.Client, kGreeting + RequestIPv4(2, 0, 0));
    ASSERT_EQ(ReadUpTo(*run.Client, 12).size(), 12u); // listening
    EXPECT_EQ(AllUntilClosed(*run.Client, 1500), Bytes({5, 6, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Socks5Test, UdpAssociateIsRefusedWithCode7) {
    TSocksRun run;
    SendNow(*run.Client, kGreeting + RequestIPv4(3, 0, 0));
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed),
              kAccepted + Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(closed);
}

} // namespace
} // namespace harbolt
