#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The optional LAN key: a secret shared by the computers of one LAN, kept in a file of the data
// directory and never replicated. With a key, announcements carry a MAC and every conversation
// between instances starts with a keyed handshake; computers without the same key are heard but
// not trusted.
namespace harbolt {

constexpr std::size_t kLanKeyMinimumBytes = 16;
constexpr std::size_t kLanKeyMaximumBytes = 4096;
// The key file's name in the data directory.
inline constexpr const char* kLanKeyFileName = "LanKey";

using TMacKey = std::array<unsigned char, 32>;

// What a key is used as: separate keys derived from the secret for the announcements and the
// handshake, so that a MAC of one can never stand for the other, and the fingerprint people
// compare between computers ("1a2b-3c4d-5e6f-7a8b").
struct TLanKeyMaterial {
    TMacKey DatagramKey{};
    TMacKey ChannelKey{};
    std::string Fingerprint;
};

// HMAC-SHA-256 of the parts, one after the other.
TMacKey Hmac256(const TMacKey& key, const std::vector<std::string_view>& parts);
// Equality of two byte strings in a time that does not depend on where they differ.
bool SameBytes(const unsigned char* a, const unsigned char* b, std::size_t size);
// size random bytes from the system's generator; raises Exception when it has none.
void RandomBytes(unsigned char* destination, std::size_t size);
std::string HexText(const unsigned char* bytes, std::size_t size);
// Exactly size bytes of lower- or upper-case hex digits; false otherwise.
bool ParseHex(std::string_view text, unsigned char* destination, std::size_t size);

// Raises Exception when the secret is shorter than 16 or longer than 4096 bytes.
std::shared_ptr<const TLanKeyMaterial> MakeLanKeyMaterial(std::string_view secret);

// A new secret: 32 random bytes as 43 characters of URL-safe base64, typed or pasted easily.
std::string GenerateLanKeySecret();

// The key file. Reading returns nullopt when there is none, and raises Exception with the reason
// when there is one that cannot be used (unreadable, too short or too long); one trailing line end
// is not part of the secret. warning names a mode that lets others read it (the key is used
// anyway: refusing it would open the LAN). Writing replaces the file atomically with mode 0600
// and raises Exception with the reason on failure, leaving the old one. Removing returns whether
// there was one, and raises when it cannot be removed.
std::string LanKeyFilePath(const std::string& dataDirectory);
std::optional<std::string> ReadLanKeyFile(const std::string& path, std::string& warning);
void WriteLanKeyFile(const std::string& path, std::string_view secret);
bool RemoveLanKeyFile(const std::string& path);

// The key this process uses (null: none); any thread. Each change counts up the generation, so
// that state learnt under an earlier key (replay windows, untrusted senders) is forgotten.
void SetCurrentLanKey(std::shared_ptr<const TLanKeyMaterial> key);
std::shared_ptr<const TLanKeyMaterial> CurrentLanKey();
std::uint64_t LanKeyGeneration();

// Why something from another computer was not trusted.
enum class TTrustFailure {
    NoMac,          // a datagram without a MAC
    BadMac,         // a MAC made with another key, or a forged one
    Replayed,       // a datagram heard before (its counter did not grow)
    Stale,          // a time stamp too far from this computer's clock
    NoHandshake,    // a connection that did not start with the keyed handshake
    FailedHandshake // a handshake with another key, or a forged one
};
const char* TrustFailureText(TTrustFailure failure);

// Who was not trusted, by sender address: what it called itself and how much of it was dropped.
struct TUntrustedPeer {
    std::string Address;
    std::string Name; // the name its last datagram claimed; empty for connections only
    std::uint64_t DatagramsDropped = 0;
    std::uint64_t ConnectionsRefused = 0;
    TTrustFailure LastFailure = TTrustFailure::NoMac;
    std::int64_t LastUnixMs = 0;
};

// Any thread. address is in network order; name may be empty. Counted only while judgedWith, the
// key the sender was judged by (null: none), is still the key in use: a judgement made just
// before the key changed belongs to the old key, and what was learnt under that is forgotten. At
// most 256 senders are kept: the one heard of longest ago makes room.
void NoteUntrusted(const TLanKeyMaterial* judgedWith, std::uint32_t address, std::string_view name,
                   TTrustFailure failure, bool datagram);
// Newest first.
std::vector<TUntrustedPeer> UntrustedPeers();
void ForgetUntrustedPeers();

} // namespace harbolt
