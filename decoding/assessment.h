#pragma once

#include <any>
#include <cstdint>
#include <optional>
#include <string>

// What a format makes of one file before anything decodes it: the picture its
// header declares and what decoding it would cost, or why it must not be
// decoded at all. Times are in seconds of this project's machine, from the
// weights its benchmark measured.
struct Assessment
{
    // Why the file must not be decoded; empty when it may be.
    std::string refusal;

    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // The samples a pixel has in the file, as its decoder reports them once
    // it has read the header; 0 where the decoder is not asked.
    int components = 0;
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

    // What else the format's decoder needs from the header, in the format's
    // own terms; only the format that put it there reads it.
    std::any details;

    static Assessment refused(std::string why);
    std::uint64_t pixels() const;
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
