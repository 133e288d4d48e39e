#pragma once

#include "platform/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harbolt {

// A stream that ends before the bytes a reader needs.
class EReadError : public Exception {
public:
    EReadError() : Exception("Stream read error") {}
};

// Bytes in memory with a read and write position. Every data stream of the program (data file,
// journals on the wire) is built or parsed in one of these.
class TMemoryStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : Bytes(std::move(bytes)) {}

    const std::string& Data() const { return Bytes; }
    std::size_t Size() const { return Bytes.size(); }
    std::size_t Position() const { return Pos; }
    void Seek(std::size_t position) { Pos = position < Bytes.size() ? position : Bytes.size(); }
    std::size_t Remaining() const { return Bytes.size() - Pos; }

    // Reads exactly count bytes or raises EReadError (and reads nothing).
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);

    std::int32_t ReadInt32();
    void WriteInt32(std::int32_t value);

    // A length-prefixed text: the length is checked against the bytes that remain before
    // anything is allocated, so a corrupt length gives EReadError, never a huge allocation.
    std::string ReadText();
    void WriteText(std::string_view text);

    // For a count of records that each need at least minRecordSize bytes: raises EReadError
    // when the stream cannot hold that many. A negative count reads as no records.
    std::int32_t ReadCount(std::size_t minRecordSize);

private:
    std::string Bytes;
    std::size_t Pos = 0;
};

} // namespace harbolt
