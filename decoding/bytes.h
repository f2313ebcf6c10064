#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <string>
#include <string_view>

enum class ByteOrder { Little, Big };

// The unsigned number in `size` bytes (at most eight) at `at`; the caller has
// checked that they lie inside `bytes`.
inline std::uint64_t unsignedAt(
    std::string_view bytes, std::size_t at, std::size_t size, ByteOrder order)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t index = order == ByteOrder::Big ? at + i : at + size - 1 - i;
        value = value << 8 | static_cast<unsigned char>(bytes[index]);
    }
    return value;
}

inline bool startsWith(std::string_view bytes, std::string_view prefix)
{
    return bytes.substr(0, prefix.size()) == prefix;
}

// Up to `length` bytes of a seekable stream from `offset` on: fewer at its
// end, none when it cannot be read there.
inline std::string readAt(std::istream &in, std::uint64_t offset, std::size_t length)
{
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()))
        return {};
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(in ? length : static_cast<std::size_t>(in.gcount()));
    return bytes;
}
