#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

// The announcement datagrams every instance broadcasts on the LAN, and the process-wide queue
// through which received (and own) datagrams reach the main thread.
//
// Wire layout, little-endian, always 512 bytes: magic 1 (4), magic 2 (4), payload length (2),
// type (2), payload (500, zero filler after the meaningful bytes). Every payload starts with the
// sender's name (32-byte field) and the payload version (4). Texts are NUL-terminated inside their
// fixed field and cut to field size - 1 characters.
namespace harbolt {

constexpr std::uint16_t PeerPort = 42717;

constexpr std::size_t kDatagramSize = 512;
constexpr std::size_t kIncomingSize = 504; // everything after the two magics
constexpr std::size_t kPayloadSize = 500;

constexpr std::int32_t kDatagramMagic1 = 0x27021977;
constexpr std::int32_t kDatagramMagic2 = 0x019C5299;
constexpr std::int32_t kPayloadVersion = 0x00010000;

enum : std::uint16_t {
    kPresenceDatagram = 1,
    kDataInfoDatagram = 2,
    kTimeDatagram = 3,
    kOnlineDatagram = 4
};

// Field sizes of the payloads.
constexpr std::size_t kNameFieldSize = 32;
constexpr std::size_t kSyncAddressFieldSize = 128;
constexpr std::size_t kConnectionNameFieldSize = 256;

// Meaningful payload bytes of each type.
constexpr std::size_t kPresencePayloadLength = 36;
constexpr std::size_t kDataInfoPayloadLength = 168;
constexpr std::size_t kTimePayloadLength = 52;
constexpr std::size_t kOnlinePayloadLength = 292;

// Elements the incoming queue holds at most. The main thread drains it every second and peers
// send a handful of datagrams a second each, so only a flood reaches this; it is refused rather
// than allowed to eat the memory.
constexpr std::size_t kIncomingQueueLimit = 16384;

using TDatagram = std::array<unsigned char, kDatagramSize>;
using TIncomingDatagram = std::array<unsigned char, kIncomingSize>; // bytes 8..511 of a datagram

// A whole datagram: magics, payload length, type, the payload bytes and zero filler. A length
// beyond 500 is cut to 500; a null payload counts as length 0.
TDatagram MakeDatagram(std::uint16_t type, const void* payload, std::size_t length);

TDatagram PresenceDatagram(std::string_view name);
TDatagram DataInfoDatagram(std::string_view name, std::int32_t journalEnd,
                           std::string_view syncAddress);
TDatagram TimeDatagram(std::string_view name, const TSystemTime& time);
TDatagram OnlineDatagram(std::string_view name, std::string_view connectionName);

// What a receiver reads out of an incoming element. Nothing is checked: the payload length and
// version are reported as sent, and texts run up to their first NUL or fill the whole field.
// JournalEnd and SyncAddress are read for data-info datagrams only, Time for time datagrams only,
// ConnectionName for online datagrams only.
struct TAnnouncement {
    std::uint16_t Type = 0;
    std::uint16_t PayloadLength = 0;
    std::string Name;
    std::int32_t Version = 0;
    std::int32_t JournalEnd = 0;
    std::string SyncAddress;
    TSystemTime Time;
    std::string ConnectionName;
};

TAnnouncement ParseAnnouncement(const TIncomingDatagram& incoming);

// The incoming queue (IncomingQueue under IncomingLock), first in first out. Safe from any thread,
// also while the program ends.

// Appends bytes 8..511 when exactly 512 bytes are given, both magics match and the queue is below
// kIncomingQueueLimit; returns whether it did.
bool PostIncomingDatagram(const unsigned char* datagram, std::size_t size);

// Moves the oldest element to the destination; false when the queue is empty.
bool TakeIncomingDatagram(TIncomingDatagram& destination);

// Drops every element (start-up and tests).
void ClearIncomingQueue();

} // namespace harbolt
