#include "database/Stream.h"

#include <cstring>

namespace harbolt {

void TMemoryStream::ReadBuffer(void* buffer, std::size_t count) {
    if (count > Remaining())
        throw EReadError();
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
        throw EReadError();
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
    if (count <= 0)
        return 0;
    if (static_cast<std::size_t>(count) > Remaining() / minRecordSize)
        throw EReadError();
    return count;
}

} // namespace harbolt
