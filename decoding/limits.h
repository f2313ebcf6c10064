#pragma once

#include <cstdint>
#include <limits>

// How much a file may ask of the decoders. Decoding runs on the GUI thread,
// so its cost is the time the window stays frozen, and a file of a few bytes
// can declare gigabytes and minutes.
struct DecodeLimits
{
    // The most pixels a picture may declare: 2^28 (268 Mpx, above every camera's),
    // or OpenCV's own OPENCV_IO_MAX_IMAGE_PIXELS where the user has set it.
    std::uint64_t pixels = std::uint64_t {1} << 28;
    // The longest sides OpenCV decodes: 2^20, or OPENCV_IO_MAX_IMAGE_WIDTH
    // and _HEIGHT where the user has set them. cv::imread refuses anything
    // longer, and so does every decoder here.
    std::uint64_t width = std::uint64_t {1} << 20;
    std::uint64_t height = std::uint64_t {1} << 20;

    // Work that any file may ask for, in seconds of this project's machine.
    double freeSeconds = 1.0;

    // Beyond that, the most work a file may ask for against the plainest
    // honest file of the same picture: what honest progressions, tiles and
    // code-block sizes cost more (ImageMagick's progressive CMYK JPEG, the
    // costliest seen, 1.8 times), with room to spare.
    double honestFactor = 3.0;

    // What the process may still take before the system refuses it or ends it.
    std::uint64_t availableMemory = std::numeric_limits<std::uint64_t>::max();

    // The limits for this process: its environment and its memory now.
    static DecodeLimits forThisProcess();
};
