#pragma once

#include "decoding/probe.h"

#include <cstdint>
#include <optional>
#include <string_view>

// Where a 32-bit BI_BITFIELDS BMP keeps its colours: a mask for each channel.
// OpenCV's own layout is blue, green, red (and alpha) from the lowest byte.
struct BmpMasks
{
    std::uint32_t headerSize = 0; // of the info header: 40, or 52 and more
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;

    bool operator<(const BmpMasks &other) const;
};

// The masks of a 32-bit BI_BITFIELDS BMP from its first 66 bytes: after a
// 40-byte info header, or inside a longer one. Empty for any other BMP.
std::optional<BmpMasks> readBmpMasks(std::string_view start);

// How this process's OpenCV decodes BMPs with such masks in colour mode. Found
// out the first time it is asked, from a tiny BMP built in memory, for masks
// that each take a whole byte; other masks cannot be put right and count as
// wrong, unless they are OpenCV's own.
Decoding bmpDecoding(const BmpMasks &masks);
