#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/LanKey.h"

// The keyed handshake that opens every conversation between instances when a LAN key is set.
// Both sides prove that they hold the key, over nonces of both, before the first request line:
//
//   client: "HARBOLT KEY1 <client nonce>" CR LF, an empty line
//   server: "HARBOLT KEY1 <server nonce> <server proof>" CR LF
//   client: "<client proof>" CR LF, then its request lines as without a key
//
// Nonces are 16 random bytes, proofs the first 16 bytes of HMAC-SHA-256 under the key's channel
// key over a label ("server" or "client") and both nonces, all as lower-case hex. The labels keep
// one side's proof from being reflected as the other's; the nonces keep a recorded proof from
// serving again. The relay after the handshake is unchanged (and still splices): the key
// decides who may talk, and the tunnelled bytes are the client programs' own.
//
// A server without a key answers the hello "bad request", which the client reports at once; a
// server with a key closes a connection that does not start with a hello, or whose proof fails,
// without answering.
namespace harbolt {

class TBufferedCommunication;

constexpr std::size_t kHandshakeNonceBytes = 16;
constexpr std::size_t kHandshakeProofBytes = 16;
inline constexpr std::string_view kHandshakeWord = "HARBOLT KEY1";
// The whole dialogue, both ways, within this.
constexpr int kHandshakeTimeLimitMs = 5000;

using THandshakeNonce = std::array<unsigned char, kHandshakeNonceBytes>;
using THandshakeProof = std::array<unsigned char, kHandshakeProofBytes>;

THandshakeProof HandshakeProof(const TLanKeyMaterial& key, bool server,
                               const THandshakeNonce& clientNonce,
                               const THandshakeNonce& serverNonce);

// The lines, and their readers: a reader takes exactly what its writer makes (hex in either case)
// and returns nullopt for anything else.
std::string ClientHelloLine(const THandshakeNonce& clientNonce);
std::optional<THandshakeNonce> ParseClientHello(std::string_view line);
std::string ServerHelloLine(const THandshakeNonce& serverNonce, const THandshakeProof& proof);
struct TServerHello {
    THandshakeNonce Nonce{};
    THandshakeProof Proof{};
};
std::optional<TServerHello> ParseServerHello(std::string_view line);
std::string ProofLine(const THandshakeProof& proof);
std::optional<THandshakeProof> ParseProofLine(std::string_view line);

// The client's side, right after the connect and before its request lines: with no key it does
// nothing. Otherwise it sends the hello, checks the server's proof and leaves its own proof in the
// channel's send buffer for the request to follow. Raises ECommunication naming the failure (no
// key there, another key) and leaves the channel's receive limits cleared.
void AuthenticateToPeer(TBufferedCommunication& channel, const std::string& peer);

// The server's side, before it reads a request: with no key true at once. Otherwise it reads the
// hello, answers, and reads and checks the client's proof; false (counted as untrusted under the
// client's address) when any of that fails. Sends nothing but its hello, and nothing at all to a
// client that did not start with one.
bool AuthenticatePeerClient(TBufferedCommunication& channel);

} // namespace harbolt
