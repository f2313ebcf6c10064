#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Reads the bits of a video stream's header, most significant first, with the
// variable-length codes HEVC and AV1 write. A read past the end fails, and
// every read after it: check failed() once the fields are read.
class BitReader
{
public:
    explicit BitReader(std::string_view bytes) : bytes(bytes) { }

    // The next `count` bits (at most 32) as a number.
    std::uint32_t bits(int count)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = value << 1 | bit();
        return value;
    }

    // HEVC's ue(v): leading zero bits, a one, then as many bits again.
    std::uint32_t expGolomb()
    {
        int zeros = 0;
        while (!fault && bit() == 0) {
            if (++zeros > 31) {
                fault = true;
                return 0;
            }
        }
        return static_cast<std::uint32_t>((std::uint64_t {1} << zeros) - 1 + bits(zeros));
    }

    // AV1's uvlc(): the same code, saturating at 2^32 - 1.
    std::uint32_t uvlc()
    {
        int zeros = 0;
        while (!fault && bit() == 0)
            ++zeros;
        if (zeros >= 32)
            return 0xffffffff;
        return static_cast<std::uint32_t>((std::uint64_t {1} << zeros) - 1 + bits(zeros));
    }

    void skip(std::size_t count)
    {
        for (std::size_t i = 0; i < count && !fault; ++i)
            bit();
    }

    bool failed() const { return fault; }

private:
    std::uint32_t bit()
    {
        if (position >= 8 * bytes.size()) {
            fault = true;
            return 0;
        }
        const auto byte = static_cast<unsigned char>(bytes[position / 8]);
        const std::uint32_t value = byte >> (7 - position % 8) & 1;
        ++position;
        return value;
    }

    std::string_view bytes;
    std::size_t position = 0;
    bool fault = false;
};
