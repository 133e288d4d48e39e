#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/LanKey.h"
#include "peer/Datagram.h"

// With a LAN key every announcement carries a seal in the filler at its end, where no payload
// reaches (the longest, an online announcement, ends at byte 304); instances without a key read
// past it as the format lets them.
//
// Seal layout, little-endian: tag "HKM1" (4), the sender's time stamp in Unix milliseconds (8),
// the sender's counter (8), and the first 16 bytes of HMAC-SHA-256 under the key's datagram key
// over the datagram's meaningful bytes (magics, length, type and the payload up to its length)
// followed by tag, stamp and counter.
//
// A receiver with a key takes a datagram only with a valid seal whose stamp lies within 15 minutes
// of its own clock and whose (stamp, counter) is greater than the last one taken from the sender
// of that name. A sender's stamps never go back while it runs, and its counter grows with every
// datagram from a random start, so a restarted sender, whose clock has moved on, is taken at once,
// and a recorded datagram is taken again by nobody who heard it, nor after 15 minutes by anybody.
namespace harbolt {

constexpr std::size_t kSealOffset = 476;
constexpr std::size_t kSealSize = 36;
constexpr std::size_t kSealMacBytes = 16;
inline constexpr unsigned char kSealTag[4] = {'H', 'K', 'M', '1'};
constexpr std::int64_t kSealStampWindowMs = 15 * 60 * 1000;

struct TSeal {
    std::int64_t StampMs = 0;
    std::uint64_t Counter = 0;
};

// Writes the seal into bytes 476..511.
void SealDatagram(TDatagram& datagram, const TLanKeyMaterial& key, const TSeal& seal);

enum class TSealCheck { Valid, Missing, BadMac };
// Checks the seal of a whole datagram (512 bytes) and reads its stamp and counter.
TSealCheck CheckSeal(const unsigned char* datagram, const TLanKeyMaterial& key, TSeal& seal);

// The sending side: the seals of one run, stamps that never go back and a counter that grows.
class TDatagramSealer {
public:
    TDatagramSealer();
    // For tests: a known counter start.
    explicit TDatagramSealer(std::uint64_t counterStart);

    TSeal Next(std::int64_t nowMs);
    // Whether the counter is one this sealer gave out: the own datagram come back.
    bool Made(std::uint64_t counter) const;

private:
    mutable std::mutex Lock;
    std::uint64_t First;
    std::uint64_t NextCounter;
    std::int64_t LastStamp = 0;
};

// The receiving side. Admit counts what it refuses under the sender's address (NoteUntrusted).
class TDatagramGuard {
public:
    enum class TVerdict { Accepted, OwnEcho, Dropped };

    // datagram: 512 bytes; address in network order; own: the own sealer, whose datagrams are
    // already in the own queue when they come back from the network.
    TVerdict Admit(const unsigned char* datagram, std::uint32_t address, std::int64_t nowMs,
                   const TLanKeyMaterial& key, const TDatagramSealer* own);
    // Forgets every sender (a new key).
    void Reset();

private:
    // Senders remembered at most; a flood of names (only possible with the key) makes the guard
    // start over rather than grow.
    static constexpr std::size_t kSenderLimit = 4096;
    std::mutex Lock;
    std::unordered_map<std::string, TSeal> LastTaken;
};

} // namespace harbolt
