#pragma once

#include "decoding/filebytes.h"
#include "decoding/limits.h"
#include "decoding/mend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a format makes of one file before anything decodes it: the picture its
// header declares and what decoding it would cost, or why it must not be
// decoded at all. Times are in seconds of this project's machine, from the
// weights its benchmark measured.
struct Inspection
{
    // Why the file must not be decoded; empty when it may be.
    std::string refusal;

    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // The most pixels this format decodes, where it is not the limits' own.
    std::optional<std::uint64_t> pixelLimit;

    // The decoder's work for this file.
    double seconds = 0;
    // The work of the plainest honest file of the same picture: one scan, no
    // tiles, the encoder's usual block sizes.
    double plainSeconds = 0;
    // The fewest bytes that an honest file asking this work holds.
    std::uint64_t honestBytes = 0;
    // The decode's peak memory, the picture it returns included.
    std::uint64_t memory = 0;
    // The largest side of any picture the decoder meets, for decoders told
    // to refuse anything larger; 0 where the picture's own sides are that.
    std::uint64_t largestSide = 0;

    MendQuestion mend;

    static Inspection refused(std::string why);
    std::uint64_t pixels() const;
};

// What decodes a format's files in the codec module.
enum class Decoder { OpenCv, Libheif };

// One image format as the decoders know it: one file of decoding/ holds each.
struct Format
{
    const char *name;
    // Whether OpenCV's decoder for the format takes a file that starts so.
    bool (*matches)(std::string_view start);
    // Reads the header, as the decoder will, and prices the decode.
    Inspection (*inspect)(const FileBytes &file, const DecodeLimits &limits);
    // What the OpenCV in use needs put right for the file, found with its
    // codec; empty when the file would come out wrong beyond repair. Null
    // when the format needs nothing put right.
    std::optional<Mend> (*mend)(const MendQuestion &question, const Codec &codec);
    Decoder decoder;
};

// An 8-bit BGR picture of this size, as the decoders return it.
std::uint64_t bgrBytes(std::uint64_t width, std::uint64_t height);

// a * b, or the largest number where that does not fit.
std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b);

// A count or size worked out in floating point, rounded down, or the largest
// number where it does not fit.
std::uint64_t saturatingCount(double value);

// Sides that OpenCV reads as signed 32-bit numbers and refuses unless positive.
bool positiveSides(std::int64_t width, std::int64_t height);

std::uint64_t divideRoundingUp(std::uint64_t value, std::uint64_t divisor);
