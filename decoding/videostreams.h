#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// What the headers of a HEVC or AV1 stream say about the pictures it
// decodes to: HEIF and AVIF keep their pictures in these streams, and their
// decoders allocate what the streams declare, whatever the file's boxes say.

// A coded picture's size as the decoder allocates it, and as it shows it
// after the stream's own cropping (HEVC's conformance window).
struct CodedSize
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t shownWidth = 0;
    std::uint64_t shownHeight = 0;
};

// A HEVC NAL unit's type, from its first byte; -1 for an empty one.
int hevcUnitType(std::string_view nal);
constexpr int HevcSequenceParameterSet = 33;

// The size a HEVC sequence parameter set declares: its NAL unit from the
// two-byte header on, with its emulation prevention bytes. Empty when it is
// no SPS or cannot be read.
std::optional<CodedSize> hevcSequenceSize(std::string_view nal);

// Whether a HEVC NAL unit starts a coded picture: a slice segment that is
// the first of its picture.
bool hevcStartsPicture(std::string_view nal);

// The largest frame an AV1 sequence header allows: the OBU's payload. Empty
// when it cannot be read.
std::optional<CodedSize> av1SequenceSize(std::string_view payload);

// The header of an AV1 OBU in a low-overhead stream, read from its first
// bytes (ten are enough): its type, how long the header is with its size
// field, and how long its payload is, where the size field says.
struct Av1ObuHeader
{
    int type = 0;
    std::size_t length = 0;
    std::optional<std::uint64_t> payload; // none: the OBU runs to the end
};

constexpr int Av1SequenceHeader = 1;
constexpr int Av1FrameHeader = 3;
constexpr int Av1Frame = 6;

// Empty when the header is cut short or its size field runs on.
std::optional<Av1ObuHeader> av1ObuHeader(std::string_view start);
