#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>

// How much work a file may ask of the decoders, all derived from one number:
// decoding runs on the GUI thread, and a small file can declare a picture
// that takes gigabytes and minutes.
struct DecodeLimits
{
    // The most pixels a picture may declare: 2^28 (268 Mpx, above every camera's),
    // or OpenCV's own OPENCV_IO_MAX_IMAGE_PIXELS where the user has set it.
    std::uint64_t pixels = std::uint64_t {1} << 28;

    // JPEG 2000's decoder needs about five times the memory of the others for
    // each pixel.
    std::uint64_t jpeg2000Pixels() const { return pixels / 8; }

    // The scan work a JPEG may ask for: sixteen passes over the 8 x 8 blocks of
    // a picture at the pixel limit, about half a second when the scans are
    // empty. libjpeg's progressions take 6 (grey) to 14 (colour without
    // subsampling).
    std::uint64_t jpegScanWork() const { return pixels / 64 * 16; }

    // The limits for this process's environment.
    static DecodeLimits fromEnvironment();
};

// The work that libjpeg's scans over a JPEG stream would cost: for every scan,
// the 8 x 8 blocks of the components it holds, arithmetic-coded scans ten
// times over. A stream read in one scan (sequential, every component
// interleaved) costs that scan alone, as the decoder reads no other. Stops
// counting once past `enough`.
std::uint64_t jpegScanWork(std::istream &file, std::uint64_t enough);

// Why decoding the file would cost more than the limits allow, read from its
// header (and a JPEG's scans) alone; empty when it would not, or when the file
// is none of the known formats.
std::optional<std::string> costRefusal(std::istream &file, const DecodeLimits &limits);
