#include "net/PeerHandshake.h"

#include <chrono>
#include <future>
#include <string>

#include "NetTestSupport.h"

namespace harbolt::test {
namespace {

THandshakeNonce Nonce(unsigned char first) {
    THandshakeNonce nonce{};
    for (std::size_t i = 0; i < nonce.size(); ++i)
        nonce[i] = static_cast<unsigned char>(first + 17 * i);
    return nonce;
}

TEST(HandshakeLines, RoundTrip) {
    const THandshakeNonce client = Nonce(0x0f);
    const THandshakeNonce server = Nonce(0xa0);
    const THandshakeProof proof = Nonce(0x5c);
    EXPECT_EQ(ClientHelloLine(client).size(), 13u + 32u);
    EXPECT_EQ(ParseClientHello(ClientHelloLine(client)), client);
    const auto hello = ParseServerHello(ServerHelloLine(server, proof));
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->Nonce, server);
    EXPECT_EQ(hello->Proof, proof);
    EXPECT_EQ(ParseProofLine(ProofLine(proof)), proof);
    // Hex in either case.
    EXPECT_EQ(ParseProofLine("0123456789ABCDEFabcdef0123456789"),
              ParseProofLine("0123456789abcdefabcdef0123456789"));
}

TEST(HandshakeLines, RejectEverythingElse) {
    const std::string hex(32, 'a');
    for (const std::string& line :
         {"HARBOLT KEY2 " + hex, "harbolt key1 " + hex, "HARBOLT KEY1-" + hex,
          "HARBOLT KEY1  " + hex, "HARBOLT KEY1 " + hex.substr(1), "HARBOLT KEY1 " + hex + "a",
          "HARBOLT KEY1 " + hex.substr(1) + "g", "HARBOLT KEY1 " + hex + " ", std::string("")})
        EXPECT_FALSE(ParseClientHello(line)) << line;
    for (const std::string& line :
         {"HARBOLT KEY2 " + hex + " " + hex, "HARBOLT KEY1 " + hex + hex,
          "HARBOLT KEY1 " + hex + "  " + hex, "HARBOLT KEY1 " + hex + " " + hex.substr(2),
          "HARBOLT KEY1 " + hex + " " + hex.substr(1) + "-", "HARBOLT KEY1 " + hex,
          "HARBOLT KEY1 " + hex + " " + hex + " "})
        EXPECT_FALSE(ParseServerHello(line)) << line;
    for (const std::string& line : {hex.substr(1), hex + "0", hex.substr(1) + "x", " " + hex,
                                    hex.substr(0, 16) + " " + hex.substr(17), std::string("")})
        EXPECT_FALSE(ParseProofLine(line)) << line;
}

// Both ends of a loopback connection between instances that share the process-wide key; the
// server's side runs on a thread of its own.
class PeerHandshakeTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        SetCurrentLanKey(Key);
        Pair = MakePair();
        ASSERT_NE(Pair.Accepted, nullptr);
    }
    void TearDown() override {
        SetCurrentLanKey(nullptr); // also forgets untrusted peers
    }

    std::future<bool> Serve() {
        return std::async(std::launch::async,
                          [this] { return AuthenticatePeerClient(*Pair.Accepted); });
    }
    std::string ClientError() {
        return CommunicationError([this] { AuthenticateToPeer(*Pair.Connected, "127.0.0.1"); });
    }
    // What the server counted about the loopback client.
    void ExpectRefused(TTrustFailure failure) {
        const auto peers = UntrustedPeers();
        ASSERT_EQ(peers.size(), 1u);
        EXPECT_EQ(peers[0].Address, "127.0.0.1");
        EXPECT_EQ(peers[0].ConnectionsRefused, 1u);
        EXPECT_EQ(peers[0].DatagramsDropped, 0u);
        EXPECT_EQ(peers[0].LastFailure, failure);
    }
    // The client's hello by hand; returns the server's answer.
    std::optional<TServerHello> HelloByHand(const THandshakeNonce& nonce) {
        Pair.Connected->SendText(ClientHelloLine(nonce));
        Pair.Connected->SendLineEnd();
        Pair.Connected->SendLineEnd();
        Pair.Connected->Flush();
        return ParseServerHello(Pair.Connected->ReceiveLine(128));
    }

    const std::shared_ptr<const TLanKeyMaterial> Key = MakeLanKeyMaterial("the key of this LAN");
    const std::shared_ptr<const TLanKeyMaterial> Other = MakeLanKeyMaterial("the key of another");
    TChannelPair Pair;
};

TEST_F(PeerHandshakeTest, SameKeyPassesAndTheRequestFollowsIntact) {
    auto server = Serve();
    EXPECT_EQ(ClientError(), "");
    Pair.Connected->SendText("UPDATE!");
    Pair.Connected->SendLineEnd();
    Pair.Connected->SendText("argument");
    Pair.Connected->SendLineEnd();
    Pair.Connected->Flush();
    ASSERT_TRUE(server.get());
    EXPECT_EQ(Pair.Accepted->ReceiveLine(256), "UPDATE!");
    EXPECT_EQ(Pair.Accepted->ReceiveLine(256), "argument");
    EXPECT_TRUE(UntrustedPeers().empty());
}

TEST_F(PeerHandshakeTest, WithoutKeyNeitherSideAddsAnything) {
    SetCurrentLanKey(nullptr);
    EXPECT_EQ(ClientError(), "");
    SendNow(*Pair.Connected, "UPDATE!\r\n");
    EXPECT_TRUE(AuthenticatePeerClient(*Pair.Accepted));
    EXPECT_EQ(Pair.Accepted->ReceiveLine(256), "UPDATE!");
}

TEST_F(PeerHandshakeTest, ClientRefusesAServerWithAnotherKey) {
    auto server = std::async(std::launch::async, [this] {
        const auto client = ParseClientHello(Pair.Accepted->ReceiveLine(128));
        Pair.Accepted->ReceiveLine(128);
        const THandshakeNonce nonce = Nonce(1);
        SendNow(*Pair.Accepted,
                ServerHelloLine(nonce, HandshakeProof(*Other, true, client.value(), nonce)) +
                    "\r\n");
    });
    EXPECT_NE(ClientError().find("127.0.0.1 has another LAN key"), std::string::npos);
    server.get();
}

TEST_F(PeerHandshakeTest, ServerRefusesAClientWithAnotherKey) {
    auto server = Serve();
    const THandshakeNonce nonce = Nonce(2);
    const auto hello = HelloByHand(nonce);
    ASSERT_TRUE(hello);
    // The server proved the right key: the client with the other one can tell.
    EXPECT_EQ(hello->Proof, HandshakeProof(*Key, true, nonce, hello->Nonce));
    SendNow(*Pair.Connected,
            ProofLine(HandshakeProof(*Other, false, nonce, hello->Nonce)) + "\r\n");
    EXPECT_FALSE(server.get());
    ExpectRefused(TTrustFailure::FailedHandshake);
}

TEST_F(PeerHandshakeTest, ServerRefusesForgedProofs) {
    for (int kind = 0; kind < 3; ++kind) {
        if (kind > 0)
            Pair = MakePair();
        auto server = Serve();
        const THandshakeNonce nonce = Nonce(static_cast<unsigned char>(3 + kind));
        const auto hello = HelloByHand(nonce);
        ASSERT_TRUE(hello) << kind;
        // The server's own proof reflected, a proof over the nonces swapped, one of zeros.
        const THandshakeProof forged = kind == 0 ? hello->Proof
                                       : kind == 1
                                           ? HandshakeProof(*Key, false, hello->Nonce, nonce)
                                           : THandshakeProof{};
        SendNow(*Pair.Connected, ProofLine(forged) + "\r\n");
        EXPECT_FALSE(server.get()) << kind;
    }
    EXPECT_EQ(UntrustedPeers().at(0).ConnectionsRefused, 3u);
}

TEST_F(PeerHandshakeTest, ServerSaysNothingToAPlainRequest) {
    auto server = Serve();
    SendNow(*Pair.Connected, "UPDATE!\r\n\r\n");
    EXPECT_FALSE(server.get());
    ExpectRefused(TTrustFailure::NoHandshake);
    Pair.Accepted.reset(); // the caller closes
    EXPECT_EQ(ReadUpTo(*Pair.Connected, 1), "");
}

TEST_F(PeerHandshakeTest, ClientNamesAServerWithoutKeyAtOnce) {
    // A server without a key reads the request and its argument, answers and holds on a while.
    auto server = std::async(std::launch::async, [this] {
        const std::string request = Pair.Accepted->ReceiveLine(256);
        Pair.Accepted->ReceiveLine(256);
        SendNow(*Pair.Accepted, "bad request\r\ndisconnecting\r\n");
        ReadUpTo(*Pair.Accepted, 1, 3000);
        return request;
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string error = ClientError();
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_NE(error.find("127.0.0.1 has no LAN key"), std::string::npos) << error;
    EXPECT_NE(error.find("bad request"), std::string::npos) << error;
    Pair.Connected.reset();
    EXPECT_TRUE(ParseClientHello(server.get()));
}

} // namespace
} // namespace harbolt::test
