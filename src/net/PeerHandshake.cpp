#include "net/PeerHandshake.h"

#include <exception>

#include "net/Communication.h"

namespace harbolt {

namespace {

// A hello with its nonce and proof fits with room to spare.
constexpr int kHandshakeLineCapacity = 128;

std::string_view AsText(const unsigned char* bytes, std::size_t size) {
    return {reinterpret_cast<const char*>(bytes), size};
}

// "HARBOLT KEY1 " followed by the rest, or nullopt.
std::optional<std::string_view> AfterWord(std::string_view line) {
    if (line.size() <= kHandshakeWord.size() || !line.starts_with(kHandshakeWord) ||
        line[kHandshakeWord.size()] != ' ')
        return std::nullopt;
    return line.substr(kHandshakeWord.size() + 1);
}

} // namespace

THandshakeProof HandshakeProof(const TLanKeyMaterial& key, bool server,
                               const THandshakeNonce& clientNonce,
                               const THandshakeNonce& serverNonce) {
    const TMacKey mac = Hmac256(key.ChannelKey, {server ? "server" : "client",
                                                 AsText(clientNonce.data(), clientNonce.size()),
                                                 AsText(serverNonce.data(), serverNonce.size())});
    THandshakeProof proof{};
    std::copy_n(mac.begin(), proof.size(), proof.begin());
    return proof;
}

std::string ClientHelloLine(const THandshakeNonce& clientNonce) {
    return std::string(kHandshakeWord) + " " + HexText(clientNonce.data(), clientNonce.size());
}

std::optional<THandshakeNonce> ParseClientHello(std::string_view line) {
    const auto rest = AfterWord(line);
    THandshakeNonce nonce{};
    if (!rest || !ParseHex(*rest, nonce.data(), nonce.size()))
        return std::nullopt;
    return nonce;
}

std::string ServerHelloLine(const THandshakeNonce& serverNonce, const THandshakeProof& proof) {
    return std::string(kHandshakeWord) + " " + HexText(serverNonce.data(), serverNonce.size()) +
           " " + HexText(proof.data(), proof.size());
}

std::optional<TServerHello> ParseServerHello(std::string_view line) {
    const auto rest = AfterWord(line);
    if (!rest)
        return std::nullopt;
    const std::size_t blank = rest->find(' ');
    TServerHello hello;
    if (blank == std::string_view::npos ||
        !ParseHex(rest->substr(0, blank), hello.Nonce.data(), hello.Nonce.size()) ||
        !ParseHex(rest->substr(blank + 1), hello.Proof.data(), hello.Proof.size()))
        return std::nullopt;
    return hello;
}

std::string ProofLine(const THandshakeProof& proof) {
    return HexText(proof.data(), proof.size());
}

std::optional<THandshakeProof> ParseProofLine(std::string_view line) {
    THandshakeProof proof{};
    if (!ParseHex(line, proof.data(), proof.size()))
        return std::nullopt;
    return proof;
}

void AuthenticateToPeer(TBufferedCommunication& channel, const std::string& peer) {
    const auto key = CurrentLanKey();
    if (!key)
        return;
    THandshakeNonce clientNonce{};
    RandomBytes(clientNonce.data(), clientNonce.size());
    channel.SendText(ClientHelloLine(clientNonce));
    channel.SendLineEnd();
    // The empty second line completes a request for a server without a key, which then answers
    // "bad request" at once instead of waiting for one.
    channel.SendLineEnd();
    channel.Flush();
    channel.SetReceiveDeadline(kHandshakeTimeLimitMs);
    std::string line;
    try {
        line = channel.ReceiveLine(kHandshakeLineCapacity);
    } catch (const ECommunication& failure) {
        channel.SetReceiveDeadline(0);
        throw ECommunication("the computer at " + peer +
                             " did not answer the LAN key handshake: " + failure.what());
    }
    channel.SetReceiveDeadline(0);
    const auto hello = ParseServerHello(line);
    if (!hello)
        throw ECommunication("the computer at " + peer + " has no LAN key: it answered \"" +
                             line.substr(0, 64) + "\"");
    const THandshakeProof expected = HandshakeProof(*key, true, clientNonce, hello->Nonce);
    if (!SameBytes(expected.data(), hello->Proof.data(), expected.size()))
        throw ECommunication("the computer at " + peer + " has another LAN key");
    channel.SendText(ProofLine(HandshakeProof(*key, false, clientNonce, hello->Nonce)));
    channel.SendLineEnd();
}

bool AuthenticatePeerClient(TBufferedCommunication& channel) {
    const auto key = CurrentLanKey();
    if (!key)
        return true;
    const std::uint32_t address = channel.RemoteAddress().sin_addr.s_addr;
    TTrustFailure failure = TTrustFailure::NoHandshake;
    try {
        channel.SetReceiveDeadline(kHandshakeTimeLimitMs);
        const auto clientNonce = ParseClientHello(channel.ReceiveLine(kHandshakeLineCapacity));
        if (clientNonce) {
            failure = TTrustFailure::FailedHandshake;
            channel.ReceiveLine(kHandshakeLineCapacity); // the empty line
            THandshakeNonce serverNonce{};
            RandomBytes(serverNonce.data(), serverNonce.size());
            channel.SendText(ServerHelloLine(
                serverNonce, HandshakeProof(*key, true, *clientNonce, serverNonce)));
            channel.SendLineEnd();
            channel.Flush();
            const auto proof = ParseProofLine(channel.ReceiveLine(kHandshakeLineCapacity));
            const THandshakeProof expected = HandshakeProof(*key, false, *clientNonce, serverNonce);
            if (proof && SameBytes(expected.data(), proof->data(), expected.size())) {
                channel.SetReceiveDeadline(0);
                return true;
            }
        }
    } catch (const std::exception&) {
        // A silent, closed or babbling client fails like a wrong proof.
    }
    NoteUntrusted(key.get(), address, {}, failure, false);
    return false;
}

} // namespace harbolt
