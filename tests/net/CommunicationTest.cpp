#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "NetTestSupport.h"

namespace harbolt::test {
namespace {

using Clock = std::chrono::steady_clock;

class CommunicationTest : public NetTest {};

std::string Errno(int error) {
    return " (" + std::to_string(error) + ")";
}

// ---------------------------------------------------------------------------------------------
// Construction and set-up

TEST_F(CommunicationTest, ChannelsNeedTheSocketFacility) {
    WinSockLoaded = false;
    EXPECT_EQ(CommunicationError([] { TCommunication::CreateListening(false); }),
              "WinSock not available");
    EXPECT_EQ(CommunicationError([] { TCommunication::CreateUnconnected(false, false); }),
              "WinSock not available");
    // A no-network channel needs no socket facility.
    auto channel = TCommunication::CreateUnconnected(true, true);
    EXPECT_EQ(channel->LocalName(), "$lokal$");
}

TEST_F(CommunicationTest, NoNetworkChannelOwnsNoSocket) {
    auto channel = TCommunication::CreateUnconnected(true, false);
    EXPECT_EQ(channel->Socket(), kInvalidSocket);
    EXPECT_EQ(channel->LocalName(), "");
    char buffer[8];
    EXPECT_EQ(channel->ReceiveSome(buffer, 7), 7);
    EXPECT_EQ(CommunicationError([&] { channel->WaitForIncomingData(0); }), "bad protocol");
    channel->Connect("nowhere.invalid:25");
    EXPECT_EQ(channel->RemoteName(), "nowhere.invalid");
    channel->Send("abc", 3); // collected, not sent
    EXPECT_EQ(CommunicationError([&] { channel->Flush(); }), "bad protocol");

    auto listener = TCommunication::CreateListening(true);
    listener->Bind("somewhere.invalid:80");
    EXPECT_EQ(listener->LocalName(), "somewhere.invalid");
    EXPECT_EQ(CommunicationError([&] { listener->Accept(0); }), "bad protocol");
    EXPECT_EQ(CommunicationError([&] { listener->Send("x", 1); }), "bad protocol");
}

TEST_F(CommunicationTest, UnconnectedChannelIsNamedOnRequest) {
    EXPECT_EQ(TCommunication::CreateUnconnected(false, true)->LocalName(), "$lokal$");
    auto unnamed = TCommunication::CreateUnconnected(false, false);
    EXPECT_EQ(unnamed->LocalName(), "");
    EXPECT_EQ(unnamed->Socket(), kInvalidSocket);
}

TEST_F(CommunicationTest, BindWithEmptyHostBindsAllInterfaces) {
    auto listener = TCommunication::CreateListening(false);
    listener->SetReuseAddress();
    listener->Bind(":0");
    listener->Listen(5);
    EXPECT_EQ(listener->LocalName(), "");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener->Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
    auto client = TCommunication::CreateUnconnected(false, false);
    client->Connect("127.0.0.1:" + std::to_string(ntohs(bound.sin_port)));
    EXPECT_NE(listener->Accept(2000), nullptr);
}

TEST_F(CommunicationTest, BindFormatErrors) {
    auto listener = TCommunication::CreateListening(false);
    EXPECT_EQ(CommunicationError([&] { listener->Bind("abc"); }), "Name abc has bad format");
    EXPECT_THROW(listener->Bind("127.0.0.1:80x"), EConvertError);
    EXPECT_THROW(listener->Bind("127.0.0.1:"), EConvertError);
    // Too long for a DNS query, so the look-up fails without leaving the machine.
    const std::string unknown =
        CommunicationError([&] { listener->Bind(std::string(300, 'a') + ":0"); });
    EXPECT_EQ(unknown.rfind("bad  IP-address (", 0), 0u) << unknown;
    EXPECT_EQ(unknown.back(), ')');
}

TEST_F(CommunicationTest, BindToAnAddressInUse) {
    TListener first = MakeListener();
    auto second = TCommunication::CreateListening(false);
    second->SetReuseAddress();
    EXPECT_EQ(CommunicationError([&] { second->Bind(first.Endpoint); }),
              "Address " + first.Endpoint + " cannot be bound to socket" + Errno(EADDRINUSE));
    EXPECT_EQ(second->LocalName(), "");
}

TEST_F(CommunicationTest, ListenFailureCarriesErrno) {
    auto channel = TCommunication::CreateUnconnected(false, false);
    EXPECT_EQ(CommunicationError([&] { channel->Listen(5); }), "cannot listen" + Errno(EBADF));
}

TEST_F(CommunicationTest, ConnectFormatErrors) {
    auto channel = TCommunication::CreateUnconnected(false, false);
    EXPECT_EQ(CommunicationError([&] { channel->Connect("localhost"); }),
              "Name localhost has bad format");
    EXPECT_THROW(channel->Connect("127.0.0.1:http"), EConvertError);
    const std::string empty = CommunicationError([&] { channel->Connect(":80"); });
    EXPECT_EQ(empty.rfind("bad  IP-address (", 0), 0u) << empty;
    // Ports outside 16 bits are refused, not cut to some other port.
    EXPECT_EQ(CommunicationError([&] { channel->Connect("127.0.0.1:65616"); }),
              "Name 127.0.0.1:65616 has bad format");
    EXPECT_EQ(CommunicationError([&] { channel->Connect("127.0.0.1:-1"); }),
              "Name 127.0.0.1:-1 has bad format");
    EXPECT_EQ(channel->Socket(), kInvalidSocket);
}

TEST_F(CommunicationTest, ErrorTextsFollowTheLanguage) {
    SetLanguage(TLanguage::German);
    auto channel = TCommunication::CreateUnconnected(false, false);
    EXPECT_EQ(CommunicationError([&] { channel->Connect("abc"); }),
              "Name abc hat ungültiges Format");
}

TEST_F(CommunicationTest, ConnectReadsThePortFromItsFirstHundredCharacters) {
    TListener listener = MakeListener();
    const std::string port = std::to_string(listener.Port);
    auto channel = TCommunication::CreateUnconnected(false, false);
    channel->Connect("127.0.0.1:" + std::string(100 - port.size(), '0') + port + "junk");
    EXPECT_NE(listener.Channel->Accept(2000), nullptr);
}

TEST_F(CommunicationTest, ConnectRefused) {
    // A bound socket that does not listen refuses connections.
    auto bound = TCommunication::CreateListening(false);
    bound->Bind("127.0.0.1:0");
    const std::string endpoint = "127.0.0.1:" + std::to_string(BoundPort(bound->Socket()));
    auto channel = TCommunication::CreateUnconnected(false, false);
    EXPECT_EQ(CommunicationError([&] { channel->Connect(endpoint); }),
              "error on connecting to " + endpoint + Errno(ECONNREFUSED));
}

TEST_F(CommunicationTest, ConnectRecordsHostAndLocalEnd) {
    TListener listener = MakeListener();
    auto channel = TCommunication::CreateUnconnected(false, false);
    channel->Connect(listener.Endpoint);
    auto accepted = listener.Channel->Accept(2000);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(channel->RemoteName(), "127.0.0.1");
    // The remote address record holds the local end of the outgoing connection, which is the
    // peer as the listener sees it.
    EXPECT_EQ(channel->RemoteAddress().sin_family, AF_INET);
    EXPECT_EQ(channel->RemoteAddress().sin_addr.s_addr, accepted->RemoteAddress().sin_addr.s_addr);
    EXPECT_EQ(channel->RemoteAddress().sin_port, accepted->RemoteAddress().sin_port);
    EXPECT_EQ(ntohs(channel->RemoteAddress().sin_port), BoundPort(channel->Socket()));
}

TEST_F(CommunicationTest, AcceptTimesOut) {
    TListener listener = MakeListener();
    const auto start = Clock::now();
    EXPECT_EQ(listener.Channel->Accept(50), nullptr);
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 45.0);
    EXPECT_LT(elapsed, 1000.0);
    EXPECT_EQ(listener.Channel->Accept(0), nullptr);
}

TEST_F(CommunicationTest, AcceptWithAStopTakesAConnectionOrEndsWhenTheStopIsRaised) {
    TListener listener = MakeListener();
    TStopSignal stop;
    auto client = TCommunication::CreateUnconnected(false, false);
    client->Connect(listener.Endpoint);
    EXPECT_NE(listener.Channel->Accept(10000, stop), nullptr);

    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.Raise();
    });
    const auto start = Clock::now();
    EXPECT_EQ(listener.Channel->Accept(10000, stop), nullptr);
    raiser.join();
    EXPECT_LT(MillisecondsSince(start), 2000.0);
    // Raised for good: even a waiting connection is left to the next listener.
    auto late = TCommunication::CreateUnconnected(false, false);
    late->Connect(listener.Endpoint);
    EXPECT_EQ(listener.Channel->Accept(10000, stop), nullptr);
}

TEST_F(CommunicationTest, AcceptWithoutLimitWaitsForAConnection) {
    TListener listener = MakeListener();
    std::unique_ptr<TBufferedCommunication> client;
    std::thread connector([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client = TCommunication::CreateUnconnected(false, false);
        client->Connect(listener.Endpoint);
    });
    const auto start = Clock::now();
    auto accepted = listener.Channel->Accept(-1);
    const double elapsed = MillisecondsSince(start);
    connector.join();
    ASSERT_NE(accepted, nullptr);
    EXPECT_GE(elapsed, 90.0);
    const std::uint16_t clientPort = BoundPort(client->Socket());
    EXPECT_EQ(accepted->LocalName(), "127.0.0.1");
    EXPECT_EQ(ntohs(accepted->LocalAddress().sin_port), listener.Port);
    EXPECT_EQ(ntohs(accepted->RemoteAddress().sin_port), clientPort);
    EXPECT_EQ(accepted->RemoteName(), "localhost:" + std::to_string(clientPort));
}

TEST_F(CommunicationTest, AcceptWithoutDescriptorsLeftPausesAndKeepsTheConnectionQueued) {
    TListener listener = MakeListener();
    auto client = TCommunication::CreateUnconnected(false, false);
    client->Connect(listener.Endpoint);
    // UBSan checks the type of the first channel deleted with a pipe of its own; let that happen
    // here, since the child has no descriptor to give it.
    TCommunication::CreateUnconnected(false, false).reset();
    // The descriptor limit is lowered in a child of its own, so that nothing else here runs
    // short. Exit codes: 0 fine, 1 raised, 2 no pause, 3 accepted anyway, 4 connection lost.
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlim_t soft = limit.rlim_cur;
        // Below the lowest free descriptor, so that none can be made; not 0, which would make
        // poll refuse even one entry.
        const int lowestFree = dup(0);
        close(lowestFree);
        limit.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &limit);
        int code = 0;
        try {
            const auto start = Clock::now();
            if (listener.Channel->Accept(1000) != nullptr)
                code = 3;
            else if (MillisecondsSince(start) < 90.0)
                code = 2;
            limit.rlim_cur = soft;
            setrlimit(RLIMIT_NOFILE, &limit);
            if (code == 0 && listener.Channel->Accept(1000) == nullptr)
                code = 4;
        } catch (...) {
            code = 1;
        }
        _exit(code);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------------------------------------
// Bounded connect

// A loopback listener whose one-place queue is full: further connects stay unanswered (their SYN
// is dropped) until it takes a connection, which it never does.
class BoundedConnectTest : public CommunicationTest {
protected:
    void SetUp() override {
        CommunicationTest::SetUp();
        fListener = MakeListener(0);
        for (int i = 0; i < 8 && !fFull; ++i) {
            fQueued.push_back(TCommunication::CreateUnconnected(false, false));
            fFull = CommunicationError([&] {
                        fQueued.back()->Connect(fListener.Endpoint, 200);
                    }).find("time-out") != std::string::npos;
        }
        ASSERT_TRUE(fFull);
    }

    TListener fListener;
    std::vector<std::unique_ptr<TBufferedCommunication>> fQueued;
    bool fFull = false;
};

TEST_F(BoundedConnectTest, TimesOutAgainstAListenerThatDoesNotAnswer) {
    auto channel = TCommunication::CreateUnconnected(false, false);
    const auto start = Clock::now();
    EXPECT_EQ(CommunicationError([&] { channel->Connect(fListener.Endpoint, 150); }),
              "error on connecting to " + fListener.Endpoint + ": time-out" + Errno(ETIMEDOUT));
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 145.0);
    EXPECT_LT(elapsed, 1500.0);
    EXPECT_EQ(channel->Socket(), kInvalidSocket); // nothing left that might connect later
}

TEST_F(BoundedConnectTest, IsCutShortByTheStopSignal) {
    TStopSignal stop;
    auto channel = TCommunication::CreateUnconnected(false, false);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.Raise();
    });
    const auto start = Clock::now();
    const std::string error =
        CommunicationError([&] { channel->Connect(fListener.Endpoint, 60000, &stop); });
    const double elapsed = MillisecondsSince(start);
    stopper.join();
    EXPECT_NE(error.find("time-out"), std::string::npos) << error;
    EXPECT_LT(elapsed, 2000.0);
    // Once raised, the signal stays: a listener that would answer is not even tried.
    TListener open = MakeListener();
    EXPECT_NE(
        CommunicationError([&] { channel->Connect(open.Endpoint, 2000, &stop); }).find("time-out"),
        std::string::npos);
    EXPECT_EQ(open.Channel->Accept(0), nullptr);
}

TEST_F(CommunicationTest, BoundedConnectConnectsABlockingChannelOrReportsTheRefusal) {
    TListener listener = MakeListener();
    TStopSignal stop;
    auto channel = TCommunication::CreateUnconnected(false, false);
    channel->Connect(listener.Endpoint, 2000, &stop);
    auto accepted = listener.Channel->Accept(2000);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(channel->RemoteName(), "127.0.0.1");
    EXPECT_EQ(ntohs(channel->RemoteAddress().sin_port), BoundPort(channel->Socket()));
    EXPECT_EQ(fcntl(channel->Socket(), F_GETFL) & O_NONBLOCK, 0);
    SendNow(*accepted, "ready\r\n");
    EXPECT_EQ(channel->ReceiveLine(64), "ready");

    auto bound = TCommunication::CreateListening(false);
    bound->Bind("127.0.0.1:0");
    const std::string refusing = "127.0.0.1:" + std::to_string(BoundPort(bound->Socket()));
    EXPECT_EQ(CommunicationError([&] { channel->Connect(refusing, 2000); }),
              "error on connecting to " + refusing + Errno(ECONNREFUSED));
}

// ---------------------------------------------------------------------------------------------
// Receive limits

const std::string kReceiveTimeOut =
    "error on receiving: time-out (" + std::to_string(ETIMEDOUT) + ")";

TEST_F(CommunicationTest, SilenceLimitEndsAReceiveAndClosesTheChannelForReading) {
    TChannelPair pair = MakePair();
    pair.Accepted->SetReceiveSilenceLimit(150);
    SendNow(*pair.Connected, "abc");
    char buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveExactly(buffer, 10); }),
              kReceiveTimeOut);
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 145.0);
    EXPECT_LT(elapsed, 2000.0);
    // Bytes that come late are not read any more.
    SendNow(*pair.Connected, "late\n");
    pair.Accepted->SetReceiveSilenceLimit(0);
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(64); }), kReceiveTimeOut);
}

TEST_F(CommunicationTest, DeadlineEndsAReceiveThatATrickleKeepsAlive) {
    TChannelPair pair = MakePair();
    std::atomic<bool> quit{false};
    std::thread trickle([&] {
        for (int i = 0; i < 100 && !quit; ++i) {
            SendNow(*pair.Connected, "x");
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    pair.Accepted->SetReceiveSilenceLimit(250);
    pair.Accepted->SetReceiveDeadline(500);
    const auto start = Clock::now();
    const std::string error = CommunicationError([&] { pair.Accepted->ReceiveLine(4096); });
    const double elapsed = MillisecondsSince(start);
    quit = true;
    trickle.join();
    EXPECT_EQ(error, kReceiveTimeOut);
    EXPECT_GE(elapsed, 495.0); // the silence limit alone never fires
    EXPECT_LT(elapsed, 2000.0);
}

TEST_F(CommunicationTest, ClearedDeadlineNoLongerLimits) {
    TChannelPair pair = MakePair();
    pair.Accepted->SetReceiveDeadline(50);
    pair.Accepted->SetReceiveDeadline(0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        SendNow(*pair.Connected, "220 late\r\n");
    });
    int status = 0;
    const std::string error = CommunicationError([&] { status = pair.Accepted->ReceiveStatus(); });
    late.join();
    EXPECT_EQ(error, "");
    EXPECT_EQ(status, 220);
}

// ---------------------------------------------------------------------------------------------
// Line reading

TEST_F(CommunicationTest, ReceiveLineEndsAtLfOrCrLf) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, "ABC\r\nABC\nA\rB\nA\r\r\n\n");
    char line[256];
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 5);
    EXPECT_STREQ(line, "ABC");
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 4);
    EXPECT_STREQ(line, "ABC");
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 4);
    EXPECT_STREQ(line, "A\rB");
    // A second CR is an ordinary byte; only the LF ends the line.
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 4);
    EXPECT_STREQ(line, "A\r\r");
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 1);
    EXPECT_STREQ(line, "");
}

TEST_F(CommunicationTest, ReceiveLineWaitsForTheRestOfALine) {
    TChannelPair pair = MakePair();
    std::thread sender([&] {
        SendNow(*pair.Connected, "AB");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendNow(*pair.Connected, "C\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendNow(*pair.Connected, "\nnext\n");
    });
    EXPECT_EQ(pair.Accepted->ReceiveLine(256), "ABC");
    EXPECT_EQ(pair.Accepted->ReceiveLine(256), "next");
    sender.join();
}

TEST_F(CommunicationTest, ReceiveLineCapacityBoundary) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected,
            std::string(253, 'a') + "\r\n" + std::string(254, 'b') + "\r\n" + "after\n");
    char line[256];
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 255);
    EXPECT_EQ(std::string(line), std::string(253, 'a'));
    // 256 raw bytes: too long even though the line end was the last byte that fitted.
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(line, 256); }), "line too long");
    // What was read is consumed.
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 6);
    EXPECT_STREQ(line, "after");
}

TEST_F(CommunicationTest, ReceiveLineOfTooLongLineConsumesCapacityBytes) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, std::string(255, 'c') + "\r\n");
    char line[256];
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(line, 256); }), "line too long");
    // 255 characters and the CR were taken; the LF is left as an empty line.
    EXPECT_EQ(pair.Accepted->ReceiveLine(line, 256), 1);
    EXPECT_STREQ(line, "");
}

TEST_F(CommunicationTest, ReceiveLineLongerThanTheReceiveBuffer) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, std::string(2045, 'd') + "\r\n" + std::string(2046, 'e') + "\r\n" +
                                 std::string(5000, 'f') + "\n");
    std::vector<char> line(8192);
    EXPECT_EQ(pair.Accepted->ReceiveLine(line.data(), 2048), 2047);
    EXPECT_EQ(std::string(line.data()), std::string(2045, 'd'));
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(line.data(), 2048); }),
              "line too long");
    // A line beyond the 4096-byte receive buffer is assembled from several refills.
    EXPECT_EQ(pair.Accepted->ReceiveLine(line.data(), 8192), 5001);
    EXPECT_EQ(std::string(line.data()), std::string(5000, 'f'));
}

TEST_F(CommunicationTest, ReceiveLineWhenThePeerCloses) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, "half a li");
    pair.Connected.reset();
    char line[256];
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(line, 256); }),
              "unexpected end of session");
    EXPECT_EQ(CommunicationError([&] { pair.Accepted->ReceiveLine(line, 256); }),
              "unexpected end of session");
}

TEST_F(CommunicationTest, ReceiveStatus) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, "099 wait\r\n12\r\n250 ok\r\nabc\r\n1\n");
    EXPECT_EQ(pair.Accepted->ReceiveStatus(), 250);
    EXPECT_EQ(pair.Accepted->ReceiveStatus(), -1); // not a number
    EXPECT_EQ(pair.Accepted->ReceiveStatus(), -1); // shorter than three raw bytes
}

TEST_F(CommunicationTest, BufferedBytesAreReceivedBeforeTheSocket) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, "L1\nrest");
    ASSERT_EQ(pair.Accepted->ReceiveLine(256), "L1");
    EXPECT_TRUE(pair.Accepted->WaitForIncomingData(0));
    char buffer[100];
    EXPECT_EQ(pair.Accepted->ReceiveSome(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "re");
    EXPECT_EQ(pair.Accepted->ReceiveSome(buffer, 100), 2);
    EXPECT_EQ(std::string(buffer, 2), "st");
    EXPECT_FALSE(pair.Accepted->WaitForIncomingData(0));
    EXPECT_EQ(pair.Accepted->ReceiveSome(buffer, 0), 0);
    SendNow(*pair.Connected, "direct");
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 6), "direct");
}

TEST_F(CommunicationTest, ReceiveExactly) {
    TChannelPair pair = MakePair();
    SendNow(*pair.Connected, "hello, world");
    char buffer[16];
    EXPECT_TRUE(pair.Accepted->ReceiveExactly(buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), "hello");
    pair.Connected.reset();
    EXPECT_FALSE(pair.Accepted->ReceiveExactly(buffer, 10));
}

// ---------------------------------------------------------------------------------------------
// Sending

TEST_F(CommunicationTest, SmallSendWaitsForFlush) {
    TChannelPair pair = MakePair();
    pair.Connected->Send("0123456789", 10);
    EXPECT_FALSE(pair.Accepted->WaitForIncomingData(100));
    pair.Connected->Flush();
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 10), "0123456789");
}

TEST_F(CommunicationTest, LargeSendGoesOutInWholeBufferPieces) {
    TChannelPair pair = MakePair();
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    pair.Connected->Send(data.data(), 10000);
    // Two pieces of 4096 at once; the last 1808 bytes wait in the buffer.
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 10000, 300), data.substr(0, 8192));
    pair.Connected->Flush();
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 1808), data.substr(8192));
}

TEST_F(CommunicationTest, SendFillsAPartlyFilledBufferFirst) {
    TChannelPair pair = MakePair();
    pair.Connected->Send("0123456789", 10);
    const std::string block(4096, 'x');
    pair.Connected->Send(block.data(), 4096);
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 4106, 300), "0123456789" + block.substr(0, 4086));
    pair.Connected->Flush();
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 10), block.substr(0, 10));
}

TEST_F(CommunicationTest, TextAndLineEndLeaveInOneFlush) {
    TChannelPair pair = MakePair();
    pair.Connected->SendText("HELO harbolt");
    pair.Connected->SendText("");
    pair.Connected->SendLineEnd();
    EXPECT_FALSE(pair.Accepted->WaitForIncomingData(50));
    pair.Connected->Flush();
    EXPECT_EQ(pair.Accepted->ReceiveLine(256), "HELO harbolt");
}

TEST_F(CommunicationTest, DestructorFlushesAndCloses) {
    TChannelPair pair = MakePair();
    pair.Connected->Send("last words", 10);
    pair.Connected.reset();
    EXPECT_EQ(ReadUpTo(*pair.Accepted, 100), "last words");
    char buffer[4];
    EXPECT_EQ(pair.Accepted->ReceiveSome(buffer, 4), 0);
}

TEST_F(CommunicationTest, SendingToAClosedPeerRaisesInsteadOfSignalling) {
    TChannelPair pair = MakePair();
    pair.Accepted.reset();
    const std::string block(4096, 'z');
    std::string error;
    for (int attempt = 0; attempt < 100 && error.empty(); ++attempt) {
        error = CommunicationError([&] { SendNow(*pair.Connected, block); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(error.rfind("error on sending (", 0), 0u) << error;
}

TEST_F(CommunicationTest, ReceivingFromAResetConnectionRaises) {
    TListener listener = MakeListener();
    const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.Port);
    address.sin_addr.s_addr = AddressOf(127, 0, 0, 1);
    ASSERT_EQ(connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    auto accepted = listener.Channel->Accept(2000);
    ASSERT_NE(accepted, nullptr);
    // Closing with a zero linger time resets the connection.
    const linger abort{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(peer);
    char buffer[16];
    EXPECT_TRUE(accepted->WaitForIncomingData(1000));
    EXPECT_EQ(CommunicationError([&] { accepted->ReceiveSome(buffer, 16); }),
              "error on receiving" + Errno(ECONNRESET));
}

// ---------------------------------------------------------------------------------------------
// DirectedTransfer

class DirectedTransferTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        fSource = MakePair();
        fTarget = MakePair();
        fTrace = std::tmpfile();
        ASSERT_NE(fTrace, nullptr);
    }
    void TearDown() override { std::fclose(fTrace); }

    std::string Trace() { return WholeFile(fTrace); }

    TChannelPair fSource; // Connected feeds Accepted
    TChannelPair fTarget; // Connected passes on to Accepted
    std::FILE* fTrace = nullptr;
};

TEST_F(DirectedTransferTest, CopiesExactlyCountBytes) {
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    SendNow(*fSource.Connected, data + "tail");
    std::vector<char> buffer(4096);
    int calls = 0;
    DirectedTransfer(*fSource.Accepted, *fTarget.Connected, 10000, 4096, buffer.data(), fTrace,
                     [&] { ++calls; });
    EXPECT_EQ(ReadUpTo(*fTarget.Accepted, 20000, 300), data);
    EXPECT_EQ(ReadUpTo(*fSource.Accepted, 4), "tail");
    EXPECT_GE(calls, 3);

    // One COPY line per piece, the counts adding up to the whole.
    const std::string trace = Trace();
    int total = 0;
    int lines = 0;
    for (std::size_t at = trace.find("<-- COPY("); at != std::string::npos;
         at = trace.find("<-- COPY(", at + 1)) {
        const int count = std::stoi(trace.substr(at + 9));
        EXPECT_LE(count, 4096);
        total += count;
        ++lines;
    }
    EXPECT_EQ(total, 10000);
    EXPECT_EQ(lines, calls);
    EXPECT_EQ(trace.substr(0, 4), "<-- ");
    EXPECT_EQ(trace.substr(trace.size() - 5), " -->\n");
}

TEST_F(DirectedTransferTest, TracesEachPiece) {
    SendNow(*fSource.Connected, "PING\r\n");
    char buffer[64];
    DirectedTransfer(*fSource.Accepted, *fTarget.Connected, 6, 64, buffer, fTrace, {});
    EXPECT_EQ(Trace(), "<-- COPY(6): PING\r\n -->\n");
    EXPECT_EQ(ReadUpTo(*fTarget.Accepted, 6), "PING\r\n");
}

TEST_F(DirectedTransferTest, SourceClosingEarlyIsAnError) {
    SendNow(*fSource.Connected, "short");
    fSource.Connected.reset();
    char buffer[64];
    EXPECT_EQ(CommunicationError([&] {
                  DirectedTransfer(*fSource.Accepted, *fTarget.Connected, 100, 64, buffer, nullptr,
                                   {});
              }),
              "error in DirectedTransfer");
}

} // namespace
} // namespace harbolt::test
