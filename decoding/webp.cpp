// WebP: libwebp, called as OpenCV calls it, which reads the whole file and
// decodes it in one call.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvsettings.h"

#include <webp/decode.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a pixel for lossy and lossless
// pictures, and for an alpha plane on top.
constexpr double SecondsPerLossyPixel = 18e-9;
constexpr double SecondsPerLosslessPixel = 21e-9;
constexpr double SecondsPerAlphaPixel = 5e-9;

// More chunks than any still WebP has before its image.
constexpr int MaxChunks = 1024;

// What OpenCV hands libwebp to recognise a WebP file, and the largest file
// it reads: 64 MiB, or OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE where that is set.
constexpr std::size_t HeaderSize = 32;
constexpr std::uint64_t DefaultMaxFileSize = std::uint64_t {64} << 20;

std::uint64_t maxFileSize()
{
    const char *setting = std::getenv("OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE");
    return setting ? openCvSizeSetting(setting).value_or(DefaultMaxFileSize) : DefaultMaxFileSize;
}

// Whether libwebp takes the file's first 32 bytes for a WebP header, as
// OpenCV asks it; bare bitstreams without their RIFF container, which it
// takes too, are not decoded here.
bool matches(std::string_view start)
{
    if (start.size() < HeaderSize || !startsWith(start, "RIFF") || start.substr(8, 4) != "WEBP")
        return false;
    WebPBitstreamFeatures features;
    return WebPGetFeatures(reinterpret_cast<const std::uint8_t *>(start.data()), HeaderSize,
               &features) == VP8_STATUS_OK;
}

struct Bitstream
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool lossless = false;
    bool alpha = false; // a lossless bitstream's own alpha
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
        bitstream.alpha = (bits >> 28 & 1) != 0;
    } else {
        return std::nullopt;
    }
    if (bitstream.width == 0 || bitstream.height == 0)
        return std::nullopt;
    return bitstream;
}

// The image chunk after an extended header's optional chunks, which must
// fill its canvas; whether an alpha chunk came before it.
std::optional<Bitstream> extendedImage(const FileBytes &file, bool &alphaChunk)
{
    const std::string_view start = file.start();
    const std::uint64_t canvasWidth = unsignedAt(start, 24, 3, ByteOrder::Little) + 1;
    const std::uint64_t canvasHeight = unsignedAt(start, 27, 3, ByteOrder::Little) + 1;
    std::uint64_t offset = 30;
    for (int chunk = 0; chunk < MaxChunks; ++chunk) {
        const std::string header = file.read(offset, 18);
        if (header.size() < 8)
            return std::nullopt;
        const std::string fourcc = header.substr(0, 4);
        const std::uint64_t size = unsignedAt(header, 4, 4, ByteOrder::Little);
        if (fourcc == "VP8 " || fourcc == "VP8L") {
            const std::optional<Bitstream> image =
                frameHeader(fourcc, std::string_view(header).substr(8));
            if (!image || image->width != canvasWidth || image->height != canvasHeight)
                return std::nullopt;
            return image;
        }
        alphaChunk = alphaChunk || fourcc == "ALPH";
        // Chunks are padded to an even size.
        offset += 8 + size + (size & 1);
    }
    return std::nullopt;
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const Assessment unreadable = Assessment::refused("unreadable WebP header");
    const std::string_view start = file.start();
    const std::string_view first = start.substr(12, 4);
    std::optional<Bitstream> image;
    bool alpha = false;
    if (first == "VP8X") {
        const auto flags = static_cast<unsigned char>(start[20]);
        if (unsignedAt(start, 16, 4, ByteOrder::Little) != 10)
            return unreadable;
        if ((flags & 0x02) != 0)
            return Assessment::refused(
                "unknown format: an animated WebP, which OpenCV does not decode");
        bool alphaChunk = false;
        image = extendedImage(file, alphaChunk);
        // libwebp takes a lossless bitstream's own word for alpha.
        alpha = image && (image->lossless ? image->alpha : (flags & 0x10) != 0 || alphaChunk);
    } else {
        image = frameHeader(first, start.substr(20));
        alpha = image && image->alpha;
    }
    if (!image)
        return unreadable;
    if (file.size() > maxFileSize())
        return Assessment::refused("too costly: a WebP file of " + std::to_string(file.size()) +
            " bytes, more than the " + std::to_string(maxFileSize()) + " that OpenCV reads");

    Assessment assessment;
    assessment.width = image->width;
    assessment.height = image->height;
    assessment.components = alpha ? 4 : 3;
    const double pixels = static_cast<double>(assessment.pixels());
    assessment.seconds =
        pixels * (image->lossless ? SecondsPerLosslessPixel : SecondsPerLossyPixel) +
        (alpha ? pixels * SecondsPerAlphaPixel : 0);
    assessment.plainSeconds = assessment.seconds;
    // A flat picture takes a few bytes in either coding: pixels alone bound it.
    // The file is read whole; lossless pictures are decoded to 32-bit pixels
    // first, and alpha planes beside the colour.
    const std::uint64_t perPixel = 3 + (alpha ? 1 : 0) + (image->lossless ? 4 : 0);
    assessment.memory = file.size() + saturatingProduct(assessment.pixels(), perPixel);
    return assessment;
}

const char *statusText(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return "out of memory";
    case VP8_STATUS_BITSTREAM_ERROR:
        return "a bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "a feature it does not support";
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "not enough data";
    default:
        return "an error";
    }
}

// The whole file, as OpenCV reads it before decoding.
std::optional<std::vector<std::uint8_t>> readWhole(const DecodeRequest &request)
{
    const OpenFile file = openForDecoding(request);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(request.openPath, error);
    if (!file || error)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    return bytes;
}

// Into three 8-bit channels, in BGR order: alpha, where there is some, is
// decoded and dropped, as OpenCV drops it.
Decoded decode(const DecodeRequest &request)
{
    const std::optional<std::vector<std::uint8_t>> bytes = readWhole(request);
    if (!bytes)
        return Decoded::failed("unreadable: the file cannot be read again");
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return Decoded::failed("undecodable: libwebp cannot start");
    const VP8StatusCode read = WebPGetFeatures(bytes->data(), bytes->size(), &config.input);
    const Assessment &checked = request.assessment;
    const int components = config.input.has_alpha != 0 ? 4 : 3;
    if (read != VP8_STATUS_OK)
        return Decoded::failed(std::string("undecodable: libwebp finds ") + statusText(read));
    if (std::uint64_t(config.input.width) != checked.width ||
        std::uint64_t(config.input.height) != checked.height || components != checked.components)
        return readOtherwise("WebP", "libwebp", std::uint64_t(config.input.width),
            std::uint64_t(config.input.height), components, checked);
    Decoded decoded;
    decoded.image.create(config.input.height, config.input.width, CV_8UC3);
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = decoded.image.data;
    config.output.u.RGBA.stride = static_cast<int>(decoded.image.step);
    config.output.u.RGBA.size = decoded.image.total() * decoded.image.elemSize();
    const VP8StatusCode status = WebPDecode(bytes->data(), bytes->size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        return Decoded::failed(std::string("undecodable: libwebp finds ") + statusText(status));
    return decoded;
}

} // namespace

extern const Format WebPFormat = {"WebP", matches, inspect, nullptr, decode};
