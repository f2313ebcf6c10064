#pragma once

#include <cstddef>
#include <cstdint>
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

inline std::uint64_t bigEndianAt(std::string_view bytes, std::size_t at, std::size_t size)
{
    return unsignedAt(bytes, at, size, ByteOrder::Big);
}

inline bool startsWith(std::string_view bytes, std::string_view prefix)
{
    return bytes.substr(0, prefix.size()) == prefix;
}
