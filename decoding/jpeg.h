#pragma once

#include "decoding/filebytes.h"

#include <cstdint>
#include <optional>
#include <string>

// One JPEG stream walked marker by marker as libjpeg reads it: a whole file,
// or a strip or tile of a JPEG-compressed TIFF.
struct JpegStream
{
    // Why libjpeg would not decode it, or would read it differently from
    // this walk; empty when the walk read it all.
    std::string refusal;

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int components = 0;

    // libjpeg's work: every scan over the blocks it holds, by kind, every
    // restart, and the pixels it puts out.
    double seconds = 0;
    // The same picture in one sequential scan of the same coding.
    double plainSeconds = 0;
    // What an honest stream of it holds at least: a bit a block of every
    // component where it is Huffman-coded, two bytes a restart marker.
    std::uint64_t honestBytes = 0;
    // The coefficients kept for the whole picture when it has several scans.
    std::uint64_t coefficientBytes = 0;

    // The orientation of an Exif block that is not the first APP1 segment,
    // the only one OpenCV reads; empty when there is none to turn.
    std::optional<int> laterExifOrientation;
    // Whether the picture is turned after decoding, by OpenCV or by the mend:
    // the turn takes a second copy of it.
    bool turned = false;
};

// Walks the JPEG stream held in [begin, end) of the file.
JpegStream walkJpegStream(const FileBytes &file, std::uint64_t begin, std::uint64_t end);
