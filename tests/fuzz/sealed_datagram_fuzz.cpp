// Sealed announcements arrive from anyone on the LAN. Whatever the 512 bytes (shorter inputs
// padded with zeros, longer ones cut), checking the seal and admitting the datagram must do no
// harm and refuse what is not validly sealed; sealed anew, the datagram must check valid and be
// taken exactly when its stamp lies near the clock.
#include "FuzzCheck.h"
#include "peer/DatagramSeal.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace harbolt;

namespace {

// The clock of the receiver; the seed corpus carries stamps around it.
constexpr std::int64_t kNowMs = 1'767'225'600'000;
constexpr std::uint32_t kSender = 0x0900A8C0; // 192.168.0.9 in network order

std::uint64_t Le64(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

bool Near(std::int64_t stamp) {
    return stamp >= 0 && stamp >= kNowMs - kSealStampWindowMs &&
           stamp <= kNowMs + kSealStampWindowMs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto key = MakeLanKeyMaterial("the key the fuzzer's LAN shares");
    // Kept across inputs like the listening thread's; verdicts that depend on it are not checked.
    static TDatagramGuard guard;
    static TDatagramSealer own(1ull << 40);
    own.Next(kNowMs);

    TDatagram datagram{};
    std::memcpy(datagram.data(), data, std::min(size, datagram.size()));

    TSeal seal;
    const TSealCheck check = CheckSeal(datagram.data(), *key, seal);
    const auto verdict = guard.Admit(datagram.data(), kSender, kNowMs, *key, &own);
    if (check != TSealCheck::Valid)
        FUZZ_CHECK(verdict == TDatagramGuard::TVerdict::Dropped);
    else if (own.Made(seal.Counter))
        FUZZ_CHECK(verdict == TDatagramGuard::TVerdict::OwnEcho);
    else if (verdict == TDatagramGuard::TVerdict::Accepted)
        FUZZ_CHECK(Near(seal.StampMs));

    // Sealed anew with the stamp and counter the input carries.
    const TSeal wanted{static_cast<std::int64_t>(Le64(datagram.data() + kSealOffset + 4)),
                       Le64(datagram.data() + kSealOffset + 12)};
    SealDatagram(datagram, *key, wanted);
    TSeal read;
    FUZZ_CHECK(CheckSeal(datagram.data(), *key, read) == TSealCheck::Valid);
    FUZZ_CHECK(read.StampMs == wanted.StampMs && read.Counter == wanted.Counter);
    TDatagramGuard fresh;
    const auto first = fresh.Admit(datagram.data(), kSender, kNowMs, *key, nullptr);
    FUZZ_CHECK((first == TDatagramGuard::TVerdict::Accepted) == Near(wanted.StampMs));
    FUZZ_CHECK(fresh.Admit(datagram.data(), kSender, kNowMs, *key, nullptr) ==
               TDatagramGuard::TVerdict::Dropped);

    // Any change of a meaningful byte breaks the seal.
    const std::size_t length = datagram[8] | (datagram[9] << 8);
    const std::size_t meaningful = 12 + std::min<std::size_t>(length, kSealOffset - 12);
    datagram[wanted.Counter % meaningful] ^= 0x80;
    FUZZ_CHECK(CheckSeal(datagram.data(), *key, read) == TSealCheck::BadMac);
    return 0;
}
