// WebP: libwebp, through OpenCV, which reads the whole file and decodes it
// in one call.
#include "decoding/bytes.h"
#include "decoding/formats.h"

namespace {

// Measured by morvastel_weights: seconds a pixel for lossy and lossless
// pictures, and for an alpha plane on top.
constexpr double SecondsPerLossyPixel = 31e-9;
constexpr double SecondsPerLosslessPixel = 23e-9;
constexpr double SecondsPerAlphaPixel = 5e-9;

// More chunks than any still WebP has before its image.
constexpr int MaxChunks = 1024;

bool matches(std::string_view start)
{
    // OpenCV asks libwebp about the first 32 bytes; bare bitstreams without
    // their RIFF container, which it would take too, are not decoded here.
    return start.size() >= 32 && startsWith(start, "RIFF") && start.substr(8, 4) == "WEBP";
}

struct Bitstream
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool lossless = false;
};

// The frame header of a "VP8 " or "VP8L" chunk's payload, read as libwebp
// reads it.
std::optional<Bitstream> frameHeader(std::string_view fourcc, std::string_view payload)
{
    Bitstream bitstream;
    if (fourcc == "VP8 ") {
        if (payload.size() < 10 || payload.substr(3, 3) != "\x9d\x01\x2a")
            return std::nullopt;
        const std::uint64_t tag = unsignedAt(payload, 0, 3, ByteOrder::Little);
        const bool keyFrame = (tag & 1) == 0;
        const bool shown = (tag >> 4 & 1) != 0;
        if (!keyFrame || (tag >> 1 & 7) > 3 || !shown)
            return std::nullopt;
        // The two top bits of each side are a scale for display, not size.
        bitstream.width = unsignedAt(payload, 6, 2, ByteOrder::Little) & 0x3fff;
        bitstream.height = unsignedAt(payload, 8, 2, ByteOrder::Little) & 0x3fff;
    } else if (fourcc == "VP8L") {
        if (payload.size() < 5 || static_cast<unsigned char>(payload[0]) != 0x2f)
            return std::nullopt;
        const std::uint64_t bits = unsignedAt(payload, 1, 4, ByteOrder::Little);
        if (bits >> 29 != 0) // the version
            return std::nullopt;
        bitstream.width = (bits & 0x3fff) + 1;
        bitstream.height = (bits >> 14 & 0x3fff) + 1;
        bitstream.lossless = true;
    } else {
        return std::nullopt;
    }
    if (bitstream.width == 0 || bitstream.height == 0)
        return std::nullopt;
    return bitstream;
}

Inspection inspect(const FileBytes &file, const DecodeLimits &)
{
    const Inspection unreadable = Inspection::refused("unreadable WebP header");
    const std::string_view start = file.start();
    const std::string_view first = start.substr(12, 4);
    std::optional<Bitstream> image;
    bool alpha = false;
    if (first == "VP8X") {
        const auto flags = static_cast<unsigned char>(start[20]);
        if (unsignedAt(start, 16, 4, ByteOrder::Little) != 10)
            return unreadable;
        if ((flags & 0x02) != 0)
            return Inspection::refused(
                "unknown format: an animated WebP, which OpenCV does not decode");
        const std::uint64_t canvasWidth = unsignedAt(start, 24, 3, ByteOrder::Little) + 1;
        const std::uint64_t canvasHeight = unsignedAt(start, 27, 3, ByteOrder::Little) + 1;
        // The image chunk after the optional ones; a still picture fills the canvas.
        std::uint64_t offset = 30;
        for (int chunk = 0; chunk < MaxChunks && !image; ++chunk) {
            const std::string header = file.read(offset, 18);
            if (header.size() < 8)
                return unreadable;
            const std::string fourcc = header.substr(0, 4);
            const std::uint64_t size = unsignedAt(header, 4, 4, ByteOrder::Little);
            if (fourcc == "VP8 " || fourcc == "VP8L") {
                image = frameHeader(fourcc, std::string_view(header).substr(8));
                if (!image || image->width != canvasWidth || image->height != canvasHeight)
                    return unreadable;
            }
            alpha = alpha || fourcc == "ALPH";
            offset += 8 + size + (size & 1);
        }
        alpha = alpha || (flags & 0x10) != 0;
    } else {
        image = frameHeader(first, start.substr(20));
    }
    if (!image)
        return unreadable;

    Inspection inspection;
    inspection.width = image->width;
    inspection.height = image->height;
    const double pixels = static_cast<double>(inspection.pixels());
    inspection.seconds =
        pixels * (image->lossless ? SecondsPerLosslessPixel : SecondsPerLossyPixel) +
        (alpha ? pixels * SecondsPerAlphaPixel : 0);
    inspection.plainSeconds = inspection.seconds;
    // A flat picture takes a few bytes in either coding: pixels alone bound it.
    // The file is read whole; pictures with alpha are decoded with it and then
    // dropped; lossless ones are decoded to 32-bit pixels first.
    const std::uint64_t perPixel = 3 + (alpha ? 4 : 0) + (image->lossless ? 4 : 0);
    inspection.memory = file.size() + saturatingProduct(inspection.pixels(), perPixel);
    return inspection;
}

} // namespace

extern const Format WebPFormat = {"WebP", matches, inspect, nullptr, Decoder::OpenCv};
