#include "proxy/FtpProxy.h"
#include "ProxyTestSupport.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <unistd.h>

namespace harbolt {
namespace {

using test::ClosedWithoutData;
using test::Loopback;
using test::MakeListener;
using test::MillisecondsSince;
using test::ReadUntilClosed;
using test::ReadUpTo;
using test::SendNow;
using test::TListener;
using test::WaitFor;

const std::string kReady = "220 Harbolt ftp-ProxyServer ready.\r\n";
const std::string kPleaseLogin = "530 Please login with USER and PASS.\r\n";
const std::string kSyntaxError = "501 Syntax error in parameters or arguments.\r\n";
const std::string kRefused = std::string(kFtpActiveRefused) + "\r\n";

// Whether the next bytes from channel are exactly expected (as many are read as it holds).
::testing::AssertionResult Receives(TCommunication& channel, const std::string& expected) {
    const std::string received = ReadUpTo(channel, expected.size());
    if (received == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "received " << ::testing::PrintToString(received)
                                         << " instead of " << ::testing::PrintToString(expected);
}

// One line as it arrives, line end included ("" when none comes within 3 s).
std::string RawLine(TCommunication& channel) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const std::string byte = ReadUpTo(channel, 1, 3000);
        if (byte.empty())
            return line;
        line += byte;
    }
    return line;
}

// "PORT h1,h2,h3,h4,p1,p2" for 127.0.0.1 and port.
std::string LoopbackPort(std::uint16_t port) {
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

// The port a PORT line for 127.0.0.1 names; 0 when the line is anything else.
std::uint16_t PortOfLine(const std::string& line) {
    unsigned h1, h2, h3, h4, p1, p2;
    char end[3] = {};
    if (std::sscanf(line.c_str(), "PORT %u,%u,%u,%u,%u,%u%2c", &h1, &h2, &h3, &h4, &p1, &p2, end) !=
            7 ||
        std::string(end) != "\r\n" || h1 != 127 || h2 != 0 || h3 != 0 || h4 != 1 || p1 > 255 ||
        p2 > 255)
        return 0;
    return static_cast<std::uint16_t>(p1 * 256 + p2);
}

// A server's 227 for port, naming an address the proxy must not connect to.
std::string ServerPassiveReply(std::uint16_t port) {
    return "227 Entering Passive Mode (10,9,8,7," + std::to_string(port >> 8) + "," +
           std::to_string(port & 0xFF) + ").\r\n";
}

// The port a passive reply of the proxy's own offers (a 227 names 127.0.0.1, the client's side
// of the tunnel here); 0 for any other line.
std::uint16_t OwnPassivePort(const std::string& reply, bool extended) {
    if (!reply.starts_with(extended ? "229 Entering Extended Passive Mode (|||"
                                    : "227 Entering Passive Mode (127,0,0,1,"))
        return 0;
    return (extended ? FtpExtendedPassivePort(reply) : FtpPassivePort(reply)).value_or(0);
}

std::unique_ptr<TBufferedCommunication> ConnectTo(std::uint16_t port) {
    auto channel = TCommunication::CreateUnconnected(false, false);
    channel->Connect(Loopback(port));
    return channel;
}

// Whether a connection from 127.0.0.2 (another host to the proxy, whose parties are all at
// 127.0.0.1) to port on 127.0.0.1 is closed at once without a byte, and is counted.
bool StrangerIsShutOut(std::uint16_t port) {
    const std::uint64_t refusedBefore = FtpDataRefused();
    const int stranger = test::ConnectFrom(0x7F000002, port);
    char byte;
    const bool sent = send(stranger, "forged", 6, MSG_NOSIGNAL) == 6;
    const ssize_t got = recv(stranger, &byte, 1, 0);
    const bool timedOut = got < 0 && errno == EAGAIN;
    close(stranger);
    return sent && got <= 0 && !timedOut &&
           WaitFor([&] { return FtpDataRefused() == refusedBefore + 1; }, 1000);
}

// The handler on a thread of its own; Client is the client program's end. The stop flag and
// the activity count outlive the run: data threads may still report activity afterwards.
class TFtpRun {
public:
    TFtpRun() {
        test::TChannelPair pair = test::MakePair();
        Client = std::move(pair.Connected);
        fThread = std::thread([server = std::move(pair.Accepted), stop = Stop, done = Done,
                               activity = Activity]() mutable {
            HandleFtpProxy(
                std::move(server), nullptr, [activity] { ++*activity; }, *stop);
            *done = true;
        });
    }
    ~TFtpRun() {
        Stop->Raise();
        Client.reset();
        if (fThread.joinable())
            fThread.join();
    }
    bool EndsWithin(int milliseconds) {
        return WaitFor([this] { return Done->load(); }, milliseconds);
    }

    std::unique_ptr<TBufferedCommunication> Client;
    std::shared_ptr<TStopSignal> Stop = std::make_shared<TStopSignal>();
    std::shared_ptr<std::atomic<bool>> Done = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> Activity = std::make_shared<std::atomic<int>>(0);

private:
    std::thread fThread;
};

class FtpProxyTest : public test::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        fServer = MakeListener();
    }
    void TearDown() override {
        // However the conversation ended, its data threads end too.
        EXPECT_TRUE(WaitFor([] { return TDataConnectionThread::Running() == 0; }, 5000));
    }

    // Logs the run's client in at the fake server; returns the server's end of the control
    // connection.
    std::unique_ptr<TBufferedCommunication> LogIn(TFtpRun& run) {
        EXPECT_TRUE(Receives(*run.Client, kReady));
        SendNow(*run.Client, "USER alice@" + fServer.Endpoint + "\r\nPASS secret\r\n");
        const std::string asked = "331 Password required for alice@" + fServer.Endpoint + "\r\n";
        EXPECT_TRUE(Receives(*run.Client, asked));
        std::unique_ptr<TBufferedCommunication> server = fServer.Channel->Accept(5000);
        if (!server)
            return nullptr;
        SendNow(*server, "220 fake ready\r\n");
        EXPECT_TRUE(Receives(*server, "USER alice\r\nPASS secret\r\n"));
        SendNow(*server, "230 in\r\n");
        EXPECT_TRUE(Receives(*run.Client, "230 in\r\n"));
        return server;
    }

    // Sends a PORT naming the data listener and returns the port the server is told instead.
    std::uint16_t SendPort(TFtpRun& run, TBufferedCommunication& server,
                           const TListener& dataListener) {
        SendNow(*run.Client, LoopbackPort(dataListener.Port) + "\r\n");
        const std::string line = RawLine(server);
        const std::uint16_t port = PortOfLine(line);
        EXPECT_NE(port, 0) << line;
        return port;
    }

    TListener fServer; // the fake FTP server's port
};

// A data connection joined by the proxy carries payload down and upload up; the server closing
// ends it at the client.
void ExpectTransfer(std::unique_ptr<TBufferedCommunication> serverData,
                    TBufferedCommunication& clientData, const std::string& payload,
                    const std::string& upload) {
    SendNow(clientData, upload);
    EXPECT_TRUE(Receives(*serverData, upload));
    // Larger than every buffer on the way: the sender must not wait for the test to read.
    std::thread sender([&] { SendNow(*serverData, payload); });
    const std::string received = ReadUpTo(clientData, payload.size(), 5000);
    sender.join();
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
    serverData.reset();
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(clientData, &closed), "");
    EXPECT_TRUE(closed);
}

// Active mode: the server connects to the proxy's port, the proxy to the client's data listener.
void ExpectDataConnection(std::uint16_t proxyPort, const TListener& dataListener,
                          const std::string& payload, const std::string& upload) {
    std::unique_ptr<TBufferedCommunication> serverData = ConnectTo(proxyPort);
    std::unique_ptr<TBufferedCommunication> clientData = dataListener.Channel->Accept(3000);
    ASSERT_NE(clientData, nullptr);
    ExpectTransfer(std::move(serverData), *clientData, payload, upload);
}

std::string Payload(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST(FtpParsing, CommandsAreCaseInsensitivePrefixes) {
    EXPECT_TRUE(FtpCommandIs("QUIT", "QUIT"));
    EXPECT_TRUE(FtpCommandIs("quit now", "QUIT"));
    EXPECT_TRUE(FtpCommandIs("uSeR bob", "USER "));
    EXPECT_FALSE(FtpCommandIs("USER", "USER "));
    EXPECT_FALSE(FtpCommandIs("QUI", "QUIT"));
    EXPECT_FALSE(FtpCommandIs(" QUIT", "QUIT"));
    EXPECT_EQ(EndpointWithDefaultPort("ftp.example", "21"), "ftp.example:21");
    EXPECT_EQ(EndpointWithDefaultPort("ftp.example:2121", "21"), "ftp.example:2121");
    EXPECT_EQ(EndpointWithDefaultPort("mail.example", "110"), "mail.example:110");
    EXPECT_EQ(EndpointWithDefaultPort("", "110"), ":110");
}

TEST(FtpParsing, ReplyCodes) {
    EXPECT_EQ(FtpReplyCode("230 Logged in."), 230);
    EXPECT_EQ(FtpReplyCode("530 Login incorrect."), 530);
    EXPECT_EQ(FtpReplyCode("230"), 230);
    EXPECT_EQ(FtpReplyCode("230x"), 230);
    EXPECT_EQ(FtpReplyCode("230-Welcome"), -1);
    EXPECT_EQ(FtpReplyCode("23"), -1);
    EXPECT_EQ(FtpReplyCode("2a0 x"), -1);
    EXPECT_EQ(FtpReplyCode(" 230 x"), -1);
    EXPECT_EQ(FtpReplyCode(""), -1);
}

TEST(FtpParsing, PortNumbers) {
    TFtpPortNumbers numbers = ScanFtpPortNumbers(" 192, 168,0 ,5,4,1 and more");
    EXPECT_EQ(numbers.Count, 6);
    EXPECT_EQ(numbers.Values, (std::array<std::uint32_t, 6>{192, 168, 0, 5, 4, 1}));
    EXPECT_EQ(ScanFtpPortNumbers("127.0.0.1,4,1").Count, 1);
    EXPECT_EQ(ScanFtpPortNumbers("1,2,3,4,5").Count, 5);
    EXPECT_EQ(ScanFtpPortNumbers("").Count, 0);
    EXPECT_EQ(ScanFtpPortNumbers("1,2,-3,4,5,6").Count, 2);
    numbers = ScanFtpPortNumbers("99999999999999999999999,1");
    EXPECT_EQ(numbers.Count, 2);
    EXPECT_EQ(numbers.Values[0], kFtpNumberLimit);

    const std::optional<sockaddr_in> address = FtpPortAddress("192,168,0,5,4,1");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->sin_family, AF_INET);
    EXPECT_EQ(address->sin_addr.s_addr, test::AddressOf(192, 168, 0, 5));
    EXPECT_EQ(ntohs(address->sin_port), 1025);
    EXPECT_EQ(FtpPortCommand(*address), "PORT 192,168,0,5,4,1");
    EXPECT_TRUE(FtpPortAddress("255,255,255,255,255,255")); // the largest numbers
    EXPECT_FALSE(FtpPortAddress("127,0,0,256,4,1"));        // not a byte
    EXPECT_FALSE(FtpPortAddress("127,0,0,1,4,256"));        // not a byte either
    EXPECT_FALSE(FtpPortAddress("127,0,0,1,4"));            // a number missing
    EXPECT_FALSE(FtpPortAddress("4294967296,0,0,1,4,1"));   // wraps to 0 in 32 bits
}

TEST(FtpParsing, ExtendedPortAndPassiveReplies) {
    const TFtpEprt good = ParseFtpEprt(" |1|192.168.0.5|1025| ");
    ASSERT_EQ(good.Verdict, TFtpEprtVerdict::Address);
    EXPECT_EQ(good.Address.sin_addr.s_addr, test::AddressOf(192, 168, 0, 5));
    EXPECT_EQ(ntohs(good.Address.sin_port), 1025);
    EXPECT_EQ(ParseFtpEprt("#1#10.0.0.1#65535#").Verdict, TFtpEprtVerdict::Address);
    EXPECT_EQ(ParseFtpEprt("|2|::1|5282|").Verdict, TFtpEprtVerdict::Unsupported);
    EXPECT_EQ(ParseFtpEprt("!3!x!5282!").Verdict, TFtpEprtVerdict::Unsupported);
    for (const char* bad :
         {"", "|", "||||", "|1|127.0.0.1|1025", "|1|127.0.0.1!1025|", "1127.0.0.1110251",
          ".1.127.0.0.1.1025.", "\1771\177127.0.0.1\1771025\177", "|1|127.0.0.1|1025|x|",
          "|1|127.0.0.1|65536|", "|1|127.0.0.256|1025|", "|1|127.0.0|1025|", "|1|127.0.0.1.1|1025|",
          "|1|127..0.1|1025|", "|1|127.0.0.1|+1025|", "||127.0.0.1|1025|"})
        EXPECT_EQ(ParseFtpEprt(bad).Verdict, TFtpEprtVerdict::Malformed) << bad;

    EXPECT_EQ(FtpPassivePort("227 Entering Passive Mode (10,9,8,7,4,1)."), 1025);
    EXPECT_EQ(FtpPassivePort("227 =10,9,8,7,255,255"), 65535);
    for (const char* bad : {"227 Entering Passive Mode (10,9,8,7,4).", "227 (10,9,8,7,4,256)",
                            "227 (10,9,8,7,0,0)", "227-(10,9,8,7,4,1)", "229 (10,9,8,7,4,1)"})
        EXPECT_FALSE(FtpPassivePort(bad)) << bad;
    EXPECT_EQ(FtpExtendedPassivePort("229 Entering Extended Passive Mode (|||1025|)"), 1025);
    EXPECT_EQ(FtpExtendedPassivePort("229 x (!!!65535!)"), 65535);
    for (const char* bad :
         {"229 (|||0|)", "229 (|||65536|)", "229 (|||1025)", "229 (||1025|)", "229 (|||-1|)",
          "229 (1111025|)", "229 (|||123456|)", "228 (|||1025|)", "229-(|||1025|)", "229 |||1025|"})
        EXPECT_FALSE(FtpExtendedPassivePort(bad)) << bad;
    EXPECT_EQ(FtpPassiveReply(*FtpPortAddress("192,168,0,5,4,1")),
              "227 Entering Passive Mode (192,168,0,5,4,1).");
    EXPECT_EQ(FtpExtendedPassiveReply(1025), "229 Entering Extended Passive Mode (|||1025|)");
}

TEST_F(FtpProxyTest, LoginPhaseReplies) {
    TFtpRun run;
    EXPECT_TRUE(Receives(*run.Client, kReady));
    const struct {
        const char* Line;
        std::string Reply;
    } cases[] = {
        {"NOOP", kPleaseLogin},
        {"FEAT", kPleaseLogin},
        {"AUTH TLS", "502 Command not implemented.\r\n"},
        {"USER", kPleaseLogin}, // no blank: no USER command
        {"", kPleaseLogin},
        {"PASS secret", "503 Login with USER first.\r\n"},
        {"USER ", "331 Password required for \r\n"},
        {"PASS secret", "503 Login with USER first.\r\n"},
        {"user alice", "331 Password required for alice\r\n"},
        {"pass secret", "530 Login incorrect.\r\n"}, // no "@host"
        {"PORT 127,0,0,1,4,1", kPleaseLogin},
        {"PASV", kPleaseLogin},
    };
    for (const auto& c : cases) {
        SendNow(*run.Client, std::string(c.Line) + "\r\n");
        EXPECT_TRUE(Receives(*run.Client, c.Reply)) << c.Line;
    }
    SendNow(*run.Client, "quit\r\n");
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), "221 Goodbye.\r\n");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(run.EndsWithin(1000));
}

TEST_F(FtpProxyTest, LoginSkipsToTheFinalReplyAndRelays) {
    TFtpRun run;
    EXPECT_TRUE(Receives(*run.Client, kReady));
    SendNow(*run.Client, "user bob@" + fServer.Endpoint + "\r\npass two words\r\n");
    const std::string asked = "331 Password required for bob@" + fServer.Endpoint + "\r\n";
    EXPECT_TRUE(Receives(*run.Client, asked));
    std::unique_ptr<TBufferedCommunication> server = fServer.Channel->Accept(5000);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(Receives(*server, "USER bob\r\nPASS two words\r\n"));
    // A greeting in two lines, the answer to USER, a reply in three: only the last line counts.
    SendNow(*server, "220-Welcome\r\n220 ready\r\n331 Password please\r\n"
                     "230-Message of the day\r\n230-230 still going\r\n230 Logged in.\r\n");
    EXPECT_TRUE(Receives(*run.Client, "230 Logged in.\r\n"));

    const int activityBefore = run.Activity->load();
    SendNow(*run.Client, "SYST\r\nCWD /pub\r\n");
    EXPECT_TRUE(Receives(*server, "SYST\r\nCWD /pub\r\n"));
    SendNow(*server, "215 UNIX Type: L8\r\n250-one\r\n250 two\r\n");
    EXPECT_TRUE(Receives(*run.Client, "215 UNIX Type: L8\r\n250-one\r\n250 two\r\n"));
    EXPECT_GT(run.Activity->load(), activityBefore);

    // The server closing ends the conversation.
    server.reset();
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(run.EndsWithin(1000));
}

TEST_F(FtpProxyTest, RefusedLoginQuitsAtTheServer) {
    TFtpRun run;
    EXPECT_TRUE(Receives(*run.Client, kReady));
    SendNow(*run.Client, "USER carol@" + fServer.Endpoint + "\r\nPASS wrong\r\n");
    const std::string asked = "331 Password required for carol@" + fServer.Endpoint + "\r\n";
    EXPECT_TRUE(Receives(*run.Client, asked));
    std::unique_ptr<TBufferedCommunication> server = fServer.Channel->Accept(5000);
    ASSERT_NE(server, nullptr);
    SendNow(*server, "220 ready\r\n530-Not\r\n530 Not logged in.\r\n");
    EXPECT_TRUE(Receives(*server, "USER carol\r\nPASS wrong\r\n"));
    EXPECT_TRUE(Receives(*run.Client, "530 Not logged in.\r\n"));
    EXPECT_TRUE(Receives(*server, "QUIT\r\n"));
    SendNow(*server, "221 Bye\r\n");
    EXPECT_TRUE(ClosedWithoutData(*server));
    // Still in the login phase, with nothing more said about the refused PASS.
    SendNow(*run.Client, "NOOP\r\nQUIT\r\n");
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), kPleaseLogin + "221 Goodbye.\r\n");
    EXPECT_TRUE(closed);
}

// A destination that refuses is no wrong password: the client hears why at once, and the
// conversation ends as a 421 says.
TEST_F(FtpProxyTest, RefusingDestinationIsReportedAtOnce) {
    const std::string closed = Loopback(test::FreePorts(1)[0]);
    TFtpRun run;
    EXPECT_TRUE(Receives(*run.Client, kReady));
    SendNow(*run.Client, "USER dave@" + closed + "\r\nPASS x\r\n");
    EXPECT_TRUE(Receives(*run.Client, "331 Password required for dave@" + closed + "\r\n"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::AllUntilClosed(*run.Client),
              "421 Cannot connect to " + closed + ": connection refused by " + closed + "\r\n");
    EXPECT_LT(MillisecondsSince(start), 1000);
}

// The proxy asks the server with PASV, connects to the server's own address with the port of
// its 227 (not to the address that names) and offers the client a port of its own.
TEST_F(FtpProxyTest, PassiveModeIsServedByTheProxy) {
    TFtpRun run;
    std::unique_ptr<TBufferedCommunication> server = LogIn(run);
    ASSERT_NE(server, nullptr);
    for (const bool extended : {false, true}) {
        const TListener serverData = MakeListener();
        SendNow(*run.Client, extended ? "epsv\r\n" : "PASV\r\n");
        EXPECT_TRUE(Receives(*server, "PASV\r\n"));
        SendNow(*server, ServerPassiveReply(serverData.Port));
        std::unique_ptr<TBufferedCommunication> fromServer = serverData.Channel->Accept(3000);
        ASSERT_NE(fromServer, nullptr);
        const std::string reply = RawLine(*run.Client);
        const std::uint16_t port = OwnPassivePort(reply, extended);
        ASSERT_NE(port, 0) << reply;
        // Whoever finds the port first gets nothing; the client still gets its file.
        EXPECT_TRUE(StrangerIsShutOut(port));
        ExpectTransfer(std::move(fromServer), *ConnectTo(port), Payload(200000), "upload");
    }
    // A server without passive mode answers the client itself; what the proxy cannot serve
    // never reaches the server.
    SendNow(*run.Client, "PASV\r\n");
    EXPECT_TRUE(Receives(*server, "PASV\r\n"));
    SendNow(*server, "502 No passive mode here.\r\n");
    EXPECT_TRUE(Receives(*run.Client, "502 No passive mode here.\r\n"));
    SendNow(*run.Client, "EPSV 2\r\nEPSV ALL\r\nLPSV\r\nNOOP\r\n");
    EXPECT_TRUE(Receives(*run.Client, "522 Network protocol not supported, use (1)\r\n"
                                      "200 EPSV ALL command successful.\r\n"
                                      "502 Command not implemented.\r\n"));
    EXPECT_TRUE(Receives(*server, "NOOP\r\n"));

    const TListener dataListener = MakeListener();
    SendPort(run, *server, dataListener);
    // The passive threads are done; the active one serves until QUIT.
    EXPECT_TRUE(WaitFor([] { return TDataConnectionThread::Running() == 1; }, 2000));
    SendNow(*run.Client, "Quit\r\n");
    EXPECT_TRUE(Receives(*server, "QUIT\r\n"));
    SendNow(*server, "221 See you.\r\n");
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(*run.Client, &closed), "221 See you.\r\n");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(ClosedWithoutData(*server));
    EXPECT_TRUE(WaitFor([] { return TDataConnectionThread::Running() == 0; }, 2000));
}

// The mapping's side: the online computer's passive replies name a port of this side, which
// carries the client's data connection to the online computer's port; other lines pass as they
// are, a line cut at the close included.
// The relay of an FTP mapping on a thread of its own: program is the client program's connection
// to the mapping, tunnel the one to the online computer.
struct TMappingRun {
    TMappingRun() {
        Relay = std::thread([this] {
            RelayFtpMapping(*Program.Accepted, *Tunnel.Connected, Stop, [this] { ++Activity; });
        });
    }
    ~TMappingRun() {
        Stop.Raise();
        if (Relay.joinable())
            Relay.join();
    }
    test::TChannelPair Program = test::MakePair();
    test::TChannelPair Tunnel = test::MakePair();
    TStopSignal Stop;
    std::atomic<int> Activity{0};
    std::thread Relay;
};

TEST_F(FtpProxyTest, MappingRewritesPassiveRepliesToAPortOfItsOwn) {
    TMappingRun run;
    test::TChannelPair& program = run.Program;
    test::TChannelPair& tunnel = run.Tunnel;
    SendNow(*program.Connected, "PASV\r\n");
    EXPECT_TRUE(Receives(*tunnel.Accepted, "PASV\r\n"));
    for (const bool extended : {false, true}) {
        const TListener onlineData = MakeListener();
        SendNow(*tunnel.Accepted, extended ? "229 Entering Extended Passive Mode (|||" +
                                                 std::to_string(onlineData.Port) + "|)\r\n"
                                           : ServerPassiveReply(onlineData.Port));
        std::unique_ptr<TBufferedCommunication> fromOnline = onlineData.Channel->Accept(3000);
        ASSERT_NE(fromOnline, nullptr);
        const std::string reply = RawLine(*program.Connected);
        const std::uint16_t own = OwnPassivePort(reply, extended);
        ASSERT_NE(own, 0) << reply;
        EXPECT_NE(own, onlineData.Port);
        ExpectTransfer(std::move(fromOnline), *ConnectTo(own), Payload(100000), "upload");
    }
    SendNow(*tunnel.Accepted, "226 Done.\r\n229 (|||1|)\r\n150 cut");
    EXPECT_TRUE(Receives(*program.Connected, "226 Done.\r\n425 Cannot open data connection: "
                                             "connection refused by 127.0.0.1:1\r\n"));
    tunnel.Accepted.reset();
    run.Relay.join();
    program.Accepted.reset();
    EXPECT_EQ(test::AllUntilClosed(*program.Connected), "150 cut");
    EXPECT_GE(run.Activity.load(), 3);
}

// Active mode through the mapping: the client program's PORT must name its own address; the
// online computer is told a data port of the mapping's computer, which takes the online
// computer's data connection alone and carries it to the client program's port.
TEST_F(FtpProxyTest, MappingRewritesPortToADataPortOfItsOwn) {
    TMappingRun run;
    TBufferedCommunication& program = *run.Program.Connected;
    TBufferedCommunication& online = *run.Tunnel.Accepted;
    const TListener dataListener = MakeListener();
    SendNow(program, "EPRT |1|127.0.0.2|" + std::to_string(dataListener.Port) + "|\r\n" +
                         LoopbackPort(dataListener.Port) + "\r\n");
    EXPECT_TRUE(Receives(program, kRefused));
    const std::string line = RawLine(online);
    const std::uint16_t own = PortOfLine(line);
    ASSERT_NE(own, 0) << line;
    EXPECT_NE(own, dataListener.Port);
    SendNow(online, "200 PORT command successful.\r\n");
    EXPECT_TRUE(Receives(program, "200 PORT command successful.\r\n"));

    EXPECT_TRUE(StrangerIsShutOut(own));
    ExpectDataConnection(own, dataListener, Payload(100000), "upload");
}

TEST_F(FtpProxyTest, PortIsRewrittenAndOnePortServesEveryDataConnection) {
    TFtpRun run;
    std::unique_ptr<TBufferedCommunication> server = LogIn(run);
    ASSERT_NE(server, nullptr);
    const TListener dataListener = MakeListener();
    const std::uint16_t proxyPort = SendPort(run, *server, dataListener);
    EXPECT_NE(proxyPort, dataListener.Port);

    // Only the server may connect: whoever finds the port first is closed, and the wait goes on.
    EXPECT_TRUE(StrangerIsShutOut(proxyPort));
    const int activityBefore = run.Activity->load();
    ExpectDataConnection(proxyPort, dataListener, Payload(300000), "upload");
    EXPECT_GT(run.Activity->load(), activityBefore);
    // The same port serves the next transfer (after the last one's closing pause).
    ExpectDataConnection(proxyPort, dataListener, Payload(5000), "second");

    // The control connection carried on meanwhile.
    SendNow(*server, "226 Transfer complete.\r\n");
    EXPECT_TRUE(Receives(*run.Client, "226 Transfer complete.\r\n"));
}

TEST_F(FtpProxyTest, NextPortStopsThePreviousDataThread) {
    TFtpRun run;
    std::unique_ptr<TBufferedCommunication> server = LogIn(run);
    ASSERT_NE(server, nullptr);
    const TListener firstListener = MakeListener();
    const TListener secondListener = MakeListener();
    const std::uint16_t first = SendPort(run, *server, firstListener);
    const std::uint16_t second = SendPort(run, *server, secondListener);
    EXPECT_NE(first, second);
    // The first port stops listening.
    EXPECT_TRUE(WaitFor(
        [first] {
            try {
                ConnectTo(first);
                return false;
            } catch (const ECommunication&) {
                return true;
            }
        },
        2000));
    EXPECT_TRUE(WaitFor([] { return TDataConnectionThread::Running() == 1; }, 2000));
    ExpectDataConnection(second, secondListener, Payload(1000), "x");
}

TEST_F(FtpProxyTest, BadPortCommandsAreRefusedAndChangeNothing) {
    TFtpRun run;
    std::unique_ptr<TBufferedCommunication> server = LogIn(run);
    ASSERT_NE(server, nullptr);
    const TListener dataListener = MakeListener();
    const std::uint16_t proxyPort = SendPort(run, *server, dataListener);
    const std::uint64_t refusedBefore = FtpDataRefused();

    const std::string port = std::to_string(dataListener.Port);
    const std::string hi = std::to_string(dataListener.Port >> 8);
    const std::string lo = std::to_string(dataListener.Port & 0xFF);
    const struct {
        std::string Line;
        std::string Reply;
    } cases[] = {
        {"PORT", kSyntaxError},
        {"PORT 127,0,0,1," + hi, kSyntaxError},                // five numbers
        {"PORT 127.0.0.1." + hi + "." + lo, kSyntaxError},     // dots are no separators
        {"PORT 127,0,0,1," + hi + ",x", kSyntaxError},         // no sixth number
        {"PORT 127,0,0,1,256," + lo, kSyntaxError},            // not a byte
        {"PORT 1127,0,0,1," + hi + "," + lo, kSyntaxError},    // not a byte either
        {"PORT 99999999999999999999,0,0,1,4,1", kSyntaxError}, // far too large
        {"EPRT |1|127.0.0.1|65536|", kSyntaxError},            // no port
        {"EPRT |2|::1|5282|", "522 Network protocol not supported, use (1)\r\n"},
        {"LPRT 4,4,127,0,0,1,2,4,1", "502 Command not implemented.\r\n"},
        {"PORT 127,0,0,2," + hi + "," + lo, kRefused}, // another host
        {"eprt |1|127.0.0.2|" + port + "|", kRefused}, // the same by EPRT
        {"port 10,1,2,3," + hi + "," + lo, kRefused},  // far away
        {"PORT 127,0,0,1,0,25", kRefused},             // a mail server
        {"PORT 127,0,0,1,3,255", kRefused},            // port 1023
        {"EPRT !1!127.0.0.1!22!", kRefused},           // a login
    };
    for (const auto& c : cases) {
        SendNow(*run.Client, c.Line + "\r\n");
        EXPECT_TRUE(Receives(*run.Client, c.Reply)) << c.Line;
    }
    EXPECT_EQ(FtpDataRefused(), refusedBefore + 6);
    // Nothing reached the server, and the data thread of the good PORT still serves its port
    // and its address.
    SendNow(*run.Client, "NOOP\r\n");
    EXPECT_EQ(RawLine(*server), "NOOP\r\n");
    EXPECT_EQ(TDataConnectionThread::Running(), 1);
    ExpectDataConnection(proxyPort, dataListener, Payload(2000), "still");
    // EPRT for the client's own address passes as PORT does.
    SendNow(*run.Client, "EPRT |1|127.0.0.1|" + port + "|\r\n");
    EXPECT_NE(PortOfLine(RawLine(*server)), 0);
}

} // namespace
} // namespace harbolt
