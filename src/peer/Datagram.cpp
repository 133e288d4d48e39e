#include "peer/Datagram.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

namespace harbolt {

namespace {

constexpr std::size_t kMagic1Offset = 0;
constexpr std::size_t kMagic2Offset = 4;
constexpr std::size_t kLengthOffset = 8;
constexpr std::size_t kTypeOffset = 10;
constexpr std::size_t kPayloadOffset = 12;

// Offsets within the payload.
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kVersionOffset = 32;
constexpr std::size_t kJournalEndOffset = 36;
constexpr std::size_t kSyncAddressOffset = 40;
constexpr std::size_t kTimeOffset = 36;
constexpr std::size_t kConnectionNameOffset = 36;

void Put16(unsigned char* at, std::uint16_t value) {
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void Put32(unsigned char* at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFF);
}

std::uint16_t Get16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::int32_t Get32(const unsigned char* at) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return static_cast<std::int32_t>(bits);
}

// The text cut to fieldSize - 1 bytes; the rest of the field (already zero) holds the terminator.
void PutText(unsigned char* field, std::size_t fieldSize, std::string_view text) {
    const std::size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
}

std::string GetText(const unsigned char* field, std::size_t fieldSize) {
    const auto* end = std::find(field, field + fieldSize, 0);
    return std::string(reinterpret_cast<const char*>(field), static_cast<std::size_t>(end - field));
}

// Name and version, the start of every payload.
void PutHeader(unsigned char* payload, std::string_view name) {
    PutText(payload + kNameOffset, kNameFieldSize, name);
    Put32(payload + kVersionOffset, kPayloadVersion);
}

struct TIncomingQueue {
    std::mutex IncomingLock;
    std::deque<TIncomingDatagram> Elements;
};

// Created on first use and never destroyed: the listening thread is detached and may still post
// while the program's static objects are being torn down.
TIncomingQueue& IncomingQueue() {
    static auto* const queue = new TIncomingQueue;
    return *queue;
}

} // namespace

TDatagram MakeDatagram(std::uint16_t type, const void* payload, std::size_t length) {
    length = payload == nullptr ? 0 : std::min(length, kPayloadSize);
    TDatagram datagram{};
    Put32(datagram.data() + kMagic1Offset, kDatagramMagic1);
    Put32(datagram.data() + kMagic2Offset, kDatagramMagic2);
    Put16(datagram.data() + kLengthOffset, static_cast<std::uint16_t>(length));
    Put16(datagram.data() + kTypeOffset, type);
    if (length > 0)
        std::memcpy(datagram.data() + kPayloadOffset, payload, length);
    return datagram;
}

TDatagram PresenceDatagram(std::string_view name) {
    std::array<unsigned char, kPresencePayloadLength> payload{};
    PutHeader(payload.data(), name);
    return MakeDatagram(kPresenceDatagram, payload.data(), payload.size());
}

TDatagram DataInfoDatagram(std::string_view name, std::int32_t journalEnd,
                           std::string_view syncAddress) {
    std::array<unsigned char, kDataInfoPayloadLength> payload{};
    PutHeader(payload.data(), name);
    Put32(payload.data() + kJournalEndOffset, journalEnd);
    PutText(payload.data() + kSyncAddressOffset, kSyncAddressFieldSize, syncAddress);
    return MakeDatagram(kDataInfoDatagram, payload.data(), payload.size());
}

TDatagram TimeDatagram(std::string_view name, const TSystemTime& time) {
    std::array<unsigned char, kTimePayloadLength> payload{};
    PutHeader(payload.data(), name);
    const std::uint16_t fields[] = {time.Year, time.Month,  time.DayOfWeek, time.Day,
                                    time.Hour, time.Minute, time.Second,    time.Milliseconds};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        Put16(payload.data() + kTimeOffset + 2 * i, fields[i]);
    return MakeDatagram(kTimeDatagram, payload.data(), payload.size());
}

TDatagram OnlineDatagram(std::string_view name, std::string_view connectionName) {
    std::array<unsigned char, kOnlinePayloadLength> payload{};
    PutHeader(payload.data(), name);
    PutText(payload.data() + kConnectionNameOffset, kConnectionNameFieldSize, connectionName);
    return MakeDatagram(kOnlineDatagram, payload.data(), payload.size());
}

TAnnouncement ParseAnnouncement(const TIncomingDatagram& incoming) {
    // The element starts at the payload length field of the datagram.
    const unsigned char* element = incoming.data();
    const unsigned char* payload = element + (kPayloadOffset - kLengthOffset);
    TAnnouncement announcement;
    announcement.PayloadLength = Get16(element + (kLengthOffset - kLengthOffset));
    announcement.Type = Get16(element + (kTypeOffset - kLengthOffset));
    announcement.Name = GetText(payload + kNameOffset, kNameFieldSize);
    announcement.Version = Get32(payload + kVersionOffset);
    switch (announcement.Type) {
    case kDataInfoDatagram:
        announcement.JournalEnd = Get32(payload + kJournalEndOffset);
        announcement.SyncAddress = GetText(payload + kSyncAddressOffset, kSyncAddressFieldSize);
        break;
    case kTimeDatagram: {
        const unsigned char* time = payload + kTimeOffset;
        announcement.Time.Year = Get16(time);
        announcement.Time.Month = Get16(time + 2);
        announcement.Time.DayOfWeek = Get16(time + 4);
        announcement.Time.Day = Get16(time + 6);
        announcement.Time.Hour = Get16(time + 8);
        announcement.Time.Minute = Get16(time + 10);
        announcement.Time.Second = Get16(time + 12);
        announcement.Time.Milliseconds = Get16(time + 14);
        break;
    }
    case kOnlineDatagram:
        announcement.ConnectionName =
            GetText(payload + kConnectionNameOffset, kConnectionNameFieldSize);
        break;
    default:
        break;
    }
    return announcement;
}

bool PostIncomingDatagram(const unsigned char* datagram, std::size_t size) {
    if (datagram == nullptr || size != kDatagramSize)
        return false;
    if (Get32(datagram + kMagic1Offset) != kDatagramMagic1 ||
        Get32(datagram + kMagic2Offset) != kDatagramMagic2)
        return false;
    TIncomingDatagram element;
    std::memcpy(element.data(), datagram + kLengthOffset, kIncomingSize);
    TIncomingQueue& queue = IncomingQueue();
    const std::scoped_lock lock(queue.IncomingLock);
    if (queue.Elements.size() >= kIncomingQueueLimit)
        return false;
    queue.Elements.push_back(element);
    return true;
}

bool TakeIncomingDatagram(TIncomingDatagram& destination) {
    TIncomingQueue& queue = IncomingQueue();
    const std::scoped_lock lock(queue.IncomingLock);
    if (queue.Elements.empty())
        return false;
    destination = queue.Elements.front();
    queue.Elements.pop_front();
    return true;
}

void ClearIncomingQueue() {
    TIncomingQueue& queue = IncomingQueue();
    const std::scoped_lock lock(queue.IncomingLock);
    queue.Elements.clear();
}

} // namespace harbolt
