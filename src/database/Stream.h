#pragma once

#include "platform/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace harbolt {

// Bytes that do not read as what they should be, at a place in the stream: a duplicate name,
// data after the end. Offset is where the offending field begins.
class EStreamDamage : public Exception {
public:
    EStreamDamage(std::size_t offset, const std::string& what) : Exception(what), Offset(offset) {}
    std::size_t Offset;
};

// A stream that ends before the bytes a reader needs, or a length or count it cannot hold.
class EReadError : public EStreamDamage {
public:
    explicit EReadError(std::size_t offset = 0, const std::string& detail = "")
        : EStreamDamage(offset, detail.empty() ? "Stream read error"
                                               : "Stream read error (" + detail + ")") {}
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
    // when it is negative or the stream cannot hold that many (no writer stores either).
    std::int32_t ReadCount(std::size_t minRecordSize);

    // Where the last read began: the offending field when a reader refuses what it read.
    std::size_t FieldStart() const { return LastRead; }

    // What the reader is at, for the message that says where a stream is damaged: the record
    // ("computer \"BETA\"", "mailbox 2") and its part ("properties", "journal"). Set by the
    // readers of the files.
    void SetPlace(std::string record, std::string section) {
        Record = std::move(record);
        Section = std::move(section);
    }
    void SetSection(std::string section) { Section = std::move(section); }
    const std::string& PlaceRecord() const { return Record; }
    const std::string& PlaceSection() const { return Section; }

private:
    std::string Bytes;
    std::size_t Pos = 0;
    std::size_t LastRead = 0;
    std::string Record;
    std::string Section;
};

// A record's name for the damage message: quoted, as UTF-8, control bytes as \xNN, long names
// cut (a damaged name may be anything).
std::string QuotedName(std::string_view cp1252);

// "damaged at offset N (RECORD, SECTION): reason" for a read of stream that failed with error.
std::string DescribeDamage(const TMemoryStream& stream, const std::exception& error);

} // namespace harbolt
