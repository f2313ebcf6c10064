// Sun raster: OpenCV's own decoder.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvmodule.h"

namespace {

// Measured by morvastel_weights: seconds a pixel.
constexpr double SecondsPerPixel = 2.5e-9;

constexpr std::uint64_t ByteEncoded = 2;

bool matches(std::string_view start)
{
    return startsWith(start, "\x59\xa6\x6a\x95");
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const std::string_view start = file.start();
    if (start.size() < 32)
        return Assessment::refused("unreadable Sun raster header: the file ends inside it");
    const auto at = [start](std::size_t offset) {
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(unsignedAt(start, offset, 4, ByteOrder::Big)));
    };
    const std::int32_t width = at(4);
    const std::int32_t height = at(8);
    const std::int32_t bits = at(12);
    if (!positiveSides(width, height) || (bits != 1 && bits != 8 && bits != 24 && bits != 32))
        return Assessment::refused(
            "unreadable Sun raster header: a picture the decoder does not take");

    Assessment assessment;
    assessment.width = static_cast<std::uint64_t>(width);
    assessment.height = static_cast<std::uint64_t>(height);
    assessment.seconds = static_cast<double>(assessment.pixels()) * SecondsPerPixel;
    assessment.plainSeconds = assessment.seconds;
    // Rows of whole 16-bit words; byte-encoded runs may be far shorter.
    if (static_cast<std::uint64_t>(at(20)) != ByteEncoded) {
        const std::uint64_t rowBytes =
            divideRoundingUp(assessment.width * static_cast<std::uint64_t>(bits), 16) * 2;
        assessment.honestBytes = saturatingProduct(rowBytes, assessment.height);
    }
    assessment.memory = bgrBytes(assessment.width, assessment.height);
    return assessment;
}

} // namespace

extern const Format SunRasterFormat = {
    "Sun raster", matches, inspect, loadOpenCv, decodeWithOpenCv};
