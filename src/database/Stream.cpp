#include "database/Stream.h"

#include "platform/CodePage.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace harbolt {

void TMemoryStream::ReadBuffer(void* buffer, std::size_t count) {
    LastRead = Pos;
    if (count > Remaining())
        throw EReadError(Pos);
    if (count > 0)
        std::memcpy(buffer, Bytes.data() + Pos, count);
    Pos += count;
}

void TMemoryStream::WriteBuffer(const void* buffer, std::size_t count) {
    if (count == 0)
        return;
    const char* bytes = static_cast<const char*>(buffer);
    if (Pos == Bytes.size()) {
        Bytes.append(bytes, count);
    } else {
        if (Pos + count > Bytes.size())
            Bytes.resize(Pos + count);
        std::memcpy(Bytes.data() + Pos, bytes, count);
    }
    Pos += count;
}

std::int32_t TMemoryStream::ReadInt32() {
    unsigned char b[4];
    ReadBuffer(b, 4);
    const std::uint32_t v =
        static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
        (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    return static_cast<std::int32_t>(v);
}

void TMemoryStream::WriteInt32(std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 24)};
    WriteBuffer(b, 4);
}

std::string TMemoryStream::ReadText() {
    const std::int32_t length = ReadInt32();
    if (length < 0 || static_cast<std::size_t>(length) > Remaining())
        throw EReadError(LastRead, "text length " + std::to_string(length) + ", " +
                                       std::to_string(Remaining()) + " bytes left");
    std::string text(Bytes, Pos, static_cast<std::size_t>(length));
    Pos += static_cast<std::size_t>(length);
    return text;
}

void TMemoryStream::WriteText(std::string_view text) {
    WriteInt32(static_cast<std::int32_t>(text.size()));
    WriteBuffer(text.data(), text.size());
}

std::int32_t TMemoryStream::ReadCount(std::size_t minRecordSize) {
    const std::int32_t count = ReadInt32();
    if (count < 0)
        throw EReadError(LastRead, "negative count " + std::to_string(count));
    if (static_cast<std::size_t>(count) > Remaining() / minRecordSize)
        throw EReadError(LastRead, "count " + std::to_string(count) + ", " +
                                       std::to_string(Remaining()) + " bytes left");
    return count;
}

std::string QuotedName(std::string_view cp1252) {
    constexpr std::size_t kShown = 40;
    std::string shown;
    for (std::size_t i = 0; i < cp1252.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(cp1252[i]);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return "\"" + Cp1252ToUtf8(shown) + (cp1252.size() > kShown ? "...\"" : "\"");
}

std::string DescribeDamage(const TMemoryStream& stream, const std::exception& error) {
    const auto* damage = dynamic_cast<const EStreamDamage*>(&error);
    const std::size_t offset = damage != nullptr ? damage->Offset : stream.FieldStart();
    std::string place = stream.PlaceRecord();
    if (!stream.PlaceSection().empty())
        place += (place.empty() ? "" : ", ") + stream.PlaceSection();
    std::string reason = error.what();
    // "Stream read error" reads as part of the sentence.
    if (reason.size() > 1 && std::isupper(static_cast<unsigned char>(reason[0])) &&
        std::islower(static_cast<unsigned char>(reason[1])))
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return "damaged at offset " + std::to_string(offset) +
           (place.empty() ? "" : " (" + place + ")") + ": " + reason;
}

} // namespace harbolt
