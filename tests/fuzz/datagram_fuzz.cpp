// Announcement datagrams arrive from anyone on the LAN; any bytes must be refused or queued and
// parsed without harm, and what is parsed must build the same announcement again.
#include "FuzzCheck.h"
#include "peer/Datagram.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace harbolt;

namespace {

bool IsText(const std::string& text, std::size_t fieldSize) {
    return text.size() <= fieldSize && text.find('\0') == std::string::npos;
}

std::uint16_t Le16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

void CheckParsed(const TIncomingDatagram& element) {
    const TAnnouncement parsed = ParseAnnouncement(element);
    FUZZ_CHECK(parsed.PayloadLength == Le16(element.data()));
    FUZZ_CHECK(parsed.Type == Le16(element.data() + 2));
    FUZZ_CHECK(IsText(parsed.Name, kNameFieldSize));
    FUZZ_CHECK(IsText(parsed.SyncAddress, kSyncAddressFieldSize));
    FUZZ_CHECK(IsText(parsed.ConnectionName, kConnectionNameFieldSize));

    // Sending what was read gives it back, with texts cut to their field less one.
    const std::string name = parsed.Name.substr(0, kNameFieldSize - 1);
    auto reparse = [](const TDatagram& datagram) {
        TIncomingDatagram again;
        std::memcpy(again.data(), datagram.data() + 8, kIncomingSize);
        return ParseAnnouncement(again);
    };
    const TAnnouncement presence = reparse(PresenceDatagram(parsed.Name));
    FUZZ_CHECK(presence.Name == name && presence.Type == kPresenceDatagram);
    FUZZ_CHECK(presence.Version == kPayloadVersion);
    switch (parsed.Type) {
    case kDataInfoDatagram: {
        const TAnnouncement back =
            reparse(DataInfoDatagram(parsed.Name, parsed.JournalEnd, parsed.SyncAddress));
        FUZZ_CHECK(back.Name == name && back.JournalEnd == parsed.JournalEnd);
        FUZZ_CHECK(back.SyncAddress == parsed.SyncAddress.substr(0, kSyncAddressFieldSize - 1));
        break;
    }
    case kTimeDatagram:
        FUZZ_CHECK(reparse(TimeDatagram(parsed.Name, parsed.Time)).Time == parsed.Time);
        break;
    case kOnlineDatagram: {
        const TAnnouncement back = reparse(OnlineDatagram(parsed.Name, parsed.ConnectionName));
        FUZZ_CHECK(back.ConnectionName ==
                   parsed.ConnectionName.substr(0, kConnectionNameFieldSize - 1));
        break;
    }
    default:
        FUZZ_CHECK(parsed.JournalEnd == 0 && parsed.SyncAddress.empty());
        FUZZ_CHECK(parsed.ConnectionName.empty() && parsed.Time == TSystemTime{});
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ClearIncomingQueue();
    const bool whole =
        size == kDatagramSize && std::memcmp(data, "\x77\x19\x02\x27\x99\x52\x9C\x01", 8) == 0;
    FUZZ_CHECK(PostIncomingDatagram(data, size) == whole);
    TIncomingDatagram element{};
    FUZZ_CHECK(TakeIncomingDatagram(element) == whole);
    if (whole)
        FUZZ_CHECK(std::memcmp(element.data(), data + 8, kIncomingSize) == 0);
    FUZZ_CHECK(!TakeIncomingDatagram(element));

    // The parser gets the bytes in any case, short inputs padded with zeros.
    if (!whole) {
        element.fill(0);
        std::memcpy(element.data(), data + std::min<std::size_t>(size, 8),
                    std::min(kIncomingSize, size > 8 ? size - 8 : 0));
    }
    CheckParsed(element);
    return 0;
}
