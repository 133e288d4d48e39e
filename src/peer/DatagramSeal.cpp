#include "peer/DatagramSeal.h"

#include <algorithm>
#include <cstring>

namespace harbolt {

namespace {

constexpr std::size_t kTagOffset = kSealOffset;
constexpr std::size_t kStampOffset = kSealOffset + 4;
constexpr std::size_t kCounterOffset = kSealOffset + 12;
constexpr std::size_t kMacOffset = kSealOffset + 20;
constexpr std::size_t kHeaderSize = 12; // magics, length, type

void Put64(unsigned char* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t Get64(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
    return value;
}

// Up to the payload length, never into the seal.
std::size_t MeaningfulSize(const unsigned char* datagram) {
    const std::size_t length = static_cast<std::size_t>(datagram[8] | (datagram[9] << 8));
    return kHeaderSize + std::min(length, kSealOffset - kHeaderSize);
}

TMacKey SealMac(const unsigned char* datagram, const TLanKeyMaterial& key) {
    const auto* text = reinterpret_cast<const char*>(datagram);
    return Hmac256(key.DatagramKey, {{text, MeaningfulSize(datagram)},
                                     {text + kTagOffset, kMacOffset - kTagOffset}});
}

bool Greater(const TSeal& a, const TSeal& b) {
    return a.StampMs > b.StampMs || (a.StampMs == b.StampMs && a.Counter > b.Counter);
}

std::string SenderName(const unsigned char* datagram) {
    const unsigned char* field = datagram + kHeaderSize;
    const auto* end = std::find(field, field + kNameFieldSize, 0);
    return std::string(reinterpret_cast<const char*>(field), static_cast<std::size_t>(end - field));
}

} // namespace

void SealDatagram(TDatagram& datagram, const TLanKeyMaterial& key, const TSeal& seal) {
    std::memcpy(datagram.data() + kTagOffset, kSealTag, sizeof kSealTag);
    Put64(datagram.data() + kStampOffset, static_cast<std::uint64_t>(seal.StampMs));
    Put64(datagram.data() + kCounterOffset, seal.Counter);
    const TMacKey mac = SealMac(datagram.data(), key);
    std::memcpy(datagram.data() + kMacOffset, mac.data(), kSealMacBytes);
}

TSealCheck CheckSeal(const unsigned char* datagram, const TLanKeyMaterial& key, TSeal& seal) {
    if (std::memcmp(datagram + kTagOffset, kSealTag, sizeof kSealTag) != 0)
        return TSealCheck::Missing;
    const TMacKey mac = SealMac(datagram, key);
    if (!SameBytes(mac.data(), datagram + kMacOffset, kSealMacBytes))
        return TSealCheck::BadMac;
    seal.StampMs = static_cast<std::int64_t>(Get64(datagram + kStampOffset));
    seal.Counter = Get64(datagram + kCounterOffset);
    return TSealCheck::Valid;
}

TDatagramSealer::TDatagramSealer() : First(0), NextCounter(0) {
    unsigned char bytes[8];
    RandomBytes(bytes, sizeof bytes);
    // 62 bits: the counter never wraps within a run.
    First = NextCounter = Get64(bytes) >> 2;
}

TDatagramSealer::TDatagramSealer(std::uint64_t counterStart)
    : First(counterStart), NextCounter(counterStart) {}

TSeal TDatagramSealer::Next(std::int64_t nowMs) {
    const std::scoped_lock lock(Lock);
    // A clock set back (by the time master, say) does not take the stamps back with it.
    LastStamp = std::max(LastStamp, nowMs);
    return {LastStamp, NextCounter++};
}

bool TDatagramSealer::Made(std::uint64_t counter) const {
    const std::scoped_lock lock(Lock);
    return counter >= First && counter < NextCounter;
}

TDatagramGuard::TVerdict TDatagramGuard::Admit(const unsigned char* datagram, std::uint32_t address,
                                               std::int64_t nowMs, const TLanKeyMaterial& key,
                                               const TDatagramSealer* own) {
    const std::string name = SenderName(datagram);
    TSeal seal;
    switch (CheckSeal(datagram, key, seal)) {
    case TSealCheck::Missing:
        NoteUntrusted(&key, address, name, TTrustFailure::NoMac, true);
        return TVerdict::Dropped;
    case TSealCheck::BadMac:
        NoteUntrusted(&key, address, name, TTrustFailure::BadMac, true);
        return TVerdict::Dropped;
    case TSealCheck::Valid:
        break;
    }
    if (own != nullptr && own->Made(seal.Counter))
        return TVerdict::OwnEcho;
    // Compared as bounds: a stamp far from now must not overflow a difference.
    if (seal.StampMs < nowMs - kSealStampWindowMs || seal.StampMs > nowMs + kSealStampWindowMs) {
        NoteUntrusted(&key, address, name, TTrustFailure::Stale, true);
        return TVerdict::Dropped;
    }
    {
        const std::scoped_lock lock(Lock);
        const auto found = LastTaken.find(name);
        if (found != LastTaken.end()) {
            if (!Greater(seal, found->second)) {
                NoteUntrusted(&key, address, name, TTrustFailure::Replayed, true);
                return TVerdict::Dropped;
            }
            found->second = seal;
        } else {
            if (LastTaken.size() >= kSenderLimit)
                LastTaken.clear();
            LastTaken.emplace(name, seal);
        }
    }
    return TVerdict::Accepted;
}

void TDatagramGuard::Reset() {
    const std::scoped_lock lock(Lock);
    LastTaken.clear();
}

} // namespace harbolt
