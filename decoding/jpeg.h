#pragma once

#include "decoding/assessment.h"
#include "decoding/filebytes.h"

#include <cstdint>

// What a JPEG stream's walk finds beyond an Assessment's figures.
struct JpegDetails
{
    // The coefficients kept for the whole picture when it has several scans.
    std::uint64_t coefficientBytes = 0;
    // Whether an Exif block turns the picture after decoding, which takes a
    // second copy of it.
    bool turned = false;
    // For a stream read in one scan, the bytes up to the end of that scan's
    // header: any stream that starts with the same bytes costs the same but
    // for its coded data, at `secondsPerByte`. 0 for other streams.
    std::uint64_t headerLength = 0;
    double secondsPerByte = 0;
};

// Walks the JPEG stream held in [begin, end) of the reader's file, marker by
// marker as libjpeg reads it: a whole file, or a strip or tile of a
// JPEG-compressed TIFF. Gives why libjpeg would not decode it (or would read
// it otherwise), or its picture and components, libjpeg's work for every
// scan, every restart and the pixels it puts out, the same picture's work in
// one sequential scan, and the bytes an honest stream of it holds at least: a
// bit a block of every component where it is Huffman-coded, two bytes a
// restart marker. Its details are a JpegDetails; its memory is left to the
// caller.
Assessment walkJpegStream(ByteReader &in, std::uint64_t begin, std::uint64_t end);
