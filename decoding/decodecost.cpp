#include "decoding/decodecost.h"

#include "decoding/declaredsize.h"
#include "decoding/jpegmarkers.h"
#include "decoding/opencvsettings.h"

#include <cstdlib>

namespace {

// libjpeg spends up to 8.5 times as long on a block of an empty
// arithmetic-coded scan as of an empty Huffman-coded one (measured: 60 and 7 ns).
constexpr std::uint64_t ArithmeticWeight = 10;

} // namespace

DecodeLimits DecodeLimits::fromEnvironment()
{
    DecodeLimits limits;
    if (const char *setting = std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS")) {
        if (const std::optional<std::uint64_t> pixels = openCvSizeSetting(setting))
            limits.pixels = *pixels;
    }
    return limits;
}

std::uint64_t jpegScanWork(std::istream &file, std::uint64_t enough)
{
    JpegMarkers markers(file);
    std::optional<JpegFrame> frame;
    std::uint64_t work = 0;
    bool firstScan = true;
    for (int marker = markers.next(); marker != 0 && marker != jpeg::Eoi; marker = markers.next()) {
        if (!jpeg::hasSegment(marker))
            continue;
        const bool isFirstFrame = jpeg::isFrame(marker) && !frame;
        const std::optional<std::string> segment =
            markers.segment(isFirstFrame || marker == jpeg::Sos ? 0xffff : 0);
        if (!segment)
            break;
        if (isFirstFrame) {
            frame = parseFrame(marker, *segment);
            if (!frame)
                break;
        }
        if (marker != jpeg::Sos)
            continue;
        if (!frame) // the decoder gives up on a scan before the frame
            break;
        // The component count, then two bytes a component: its id and tables.
        const std::size_t count = segment->empty() ? 0 : static_cast<unsigned char>((*segment)[0]);
        std::uint64_t blocks = 0;
        for (std::size_t i = 0; i < count && 2 + 2 * i < segment->size(); ++i) {
            const int id = static_cast<unsigned char>((*segment)[1 + 2 * i]);
            for (const JpegFrame::Component &component : frame->components) {
                if (component.id == id)
                    blocks += frame->blocks(component);
            }
        }
        work += blocks * (frame->arithmetic() ? ArithmeticWeight : 1);
        if (firstScan && !frame->progressive() && count >= frame->components.size())
            return work;
        firstScan = false;
        if (work > enough)
            break;
    }
    return work;
}

std::optional<std::string> costRefusal(std::istream &file, const DecodeLimits &limits)
{
    const std::optional<DeclaredImage> image = readDeclaredImage(file);
    if (!image)
        return std::nullopt;
    const std::uint64_t pixels =
        image->format == ImageFormat::Jpeg2000 ? limits.jpeg2000Pixels() : limits.pixels;
    if (image->pixels() > pixels) {
        return "declares " + std::to_string(image->width) + " x " + std::to_string(image->height) +
            " pixels, more than the " + std::to_string(pixels) + " that are decoded";
    }
    if (image->format == ImageFormat::Jpeg) {
        const std::uint64_t budget = limits.jpegScanWork();
        if (jpegScanWork(file, budget) > budget)
            return "has scans that would take the decoder over more than " +
                std::to_string(budget) + " blocks";
    }
    return std::nullopt;
}
