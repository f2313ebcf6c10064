// WebP: libwebp, called as OpenCV calls it, which reads the whole file and
// decodes it in one call.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvsettings.h"

#include <webp/decode.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a pixel for lossy and lossless
// pictures, and for an alpha plane on top.
constexpr double SecondsPerLossyPixel = 18e-9;
constexpr double SecondsPerLosslessPixel = 21e-9;
constexpr double SecondsPerAlphaPixel = 5e-9;

// What libwebp spends on each chunk before the image, in each of the walks
// over them that a decode makes.
constexpr double SecondsPerChunk = 25e-9;

// What OpenCV hands libwebp to recognise a WebP file, and the largest file
// it reads: 64 MiB, or OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE where that is set.
constexpr std::size_t HeaderSize = 32;
constexpr std::uint64_t DefaultMaxFileSize = std::uint64_t {64} << 20;

// libwebp's own bounds: a chunk's size, and the canvas of an extended file.
constexpr std::uint64_t MaxChunkPayload = 0xfffffff6;
constexpr std::uint64_t MaxImageArea = std::uint64_t {1} << 32;
constexpr std::uint64_t ChunkHeaderSize = 8;
// The chunk headers before the image are read in pieces of this size.
constexpr std::size_t ChunkWalkPiece = std::size_t {1} << 20;

std::uint64_t maxFileSize()
{
    const char *setting = std::getenv("OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE");
    return setting ? openCvSizeSetting(setting).value_or(DefaultMaxFileSize) : DefaultMaxFileSize;
}

// Whether libwebp takes the file's first 32 bytes for a WebP header, as
// OpenCV asks it: in a RIFF container, or a bare bitstream or chunk.
bool matches(std::string_view start)
{
    if (start.size() < HeaderSize)
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

bool isImageChunk(std::string_view fourcc)
{
    return fourcc == "VP8 " || fourcc == "VP8L";
}

// A lossless bitstream's signature, which libwebp also takes a bare
// bitstream by.
bool losslessSignature(std::string_view payload)
{
    return payload.size() >= 5 && static_cast<unsigned char>(payload[0]) == 0x2f &&
        static_cast<unsigned char>(payload[4]) >> 5 == 0;
}

// The frame header of a bitstream, read as libwebp reads it; `chunkSize` is
// what the lossy bitstream's first partition must fit in.
std::optional<Bitstream> frameHeader(
    bool lossless, std::string_view payload, std::uint64_t chunkSize)
{
    Bitstream bitstream;
    if (!lossless) {
        if (payload.size() < 10 || payload.substr(3, 3) != "\x9d\x01\x2a")
            return std::nullopt;
        const std::uint64_t tag = unsignedAt(payload, 0, 3, ByteOrder::Little);
        const bool keyFrame = (tag & 1) == 0;
        const bool shown = (tag >> 4 & 1) != 0;
        if (!keyFrame || (tag >> 1 & 7) > 3 || !shown || tag >> 5 >= chunkSize)
            return std::nullopt;
        // The two top bits of each side are a scale for display, not size.
        bitstream.width = unsignedAt(payload, 6, 2, ByteOrder::Little) & 0x3fff;
        bitstream.height = unsignedAt(payload, 8, 2, ByteOrder::Little) & 0x3fff;
    } else {
        if (!losslessSignature(payload))
            return std::nullopt;
        const std::uint64_t bits = unsignedAt(payload, 1, 4, ByteOrder::Little);
        bitstream.width = (bits & 0x3fff) + 1;
        bitstream.height = (bits >> 14 & 0x3fff) + 1;
        bitstream.lossless = true;
        bitstream.alpha = (bits >> 28 & 1) != 0;
    }
    if (bitstream.width == 0 || bitstream.height == 0)
        return std::nullopt;
    return bitstream;
}

// What comes before the image, as libwebp walks it: a RIFF container or
// none, an extended header, the chunks between them and the image.
struct Layout
{
    std::uint64_t riffSize = 0; // 0 without a container
    bool extended = false;
    std::uint32_t flags = 0;
    std::uint64_t canvasWidth = 0;
    std::uint64_t canvasHeight = 0;
    bool alphaChunk = false;
    std::uint64_t chunks = 0; // before the image
    std::uint64_t imageAt = 0; // the image's chunk header, or its bare bitstream
};

bool animated(const Layout &layout)
{
    return (layout.flags & 0x02) != 0;
}

// A chunk's name or size, as four bytes read little-endian.
constexpr std::uint32_t word(const char *bytes)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
}
constexpr std::uint32_t Vp8 = word("VP8 ");
constexpr std::uint32_t Vp8l = word("VP8L");
constexpr std::uint32_t Alph = word("ALPH");

// The chunks before the image, which libwebp walks from an extended header,
// or from an alpha chunk at the start of a file without a container. Every
// chunk is at least a header long, so the walk is linear in the file; it
// reads the headers in large pieces, not one by one. Gives where the image
// starts, or nothing where libwebp finds no image.
std::optional<std::uint64_t> walkChunks(const FileBytes &file, Layout &layout, std::uint64_t at)
{
    // Held in locals: the bytes read through char pointers could be any of
    // the layout's members, as far as the compiler knows.
    const std::uint64_t riffSize = layout.riffSize;
    const std::uint64_t fileSize = file.size();
    std::uint64_t chunks = 0;
    bool alphaChunk = false;
    std::string piece(ChunkWalkPiece, '\0');
    std::uint64_t pieceAt = 0;
    std::size_t pieceLength = 0;
    std::optional<std::uint64_t> image;
    for (;;) {
        if (at < pieceAt || at + ChunkHeaderSize > pieceAt + pieceLength) {
            pieceAt = at;
            pieceLength = file.readInto(at, piece.data(), piece.size());
            if (pieceLength < ChunkHeaderSize)
                break;
        }
        const char *header = piece.data() + (at - pieceAt);
        const std::uint32_t name = word(header);
        const std::uint64_t size = word(header + 4);
        if (size > MaxChunkPayload)
            break;
        const std::uint64_t next = at + ((ChunkHeaderSize + size + 1) & ~std::uint64_t {1});
        // The container's size counts from its fourth byte on.
        if (riffSize > 0 && next - 8 > riffSize)
            break;
        if (name == Vp8 || name == Vp8l) {
            image = at;
            break;
        }
        if (next > fileSize)
            break;
        alphaChunk = alphaChunk || name == Alph;
        ++chunks;
        at = next;
    }
    layout.chunks = chunks;
    layout.alphaChunk = alphaChunk;
    return image;
}

// The layout of a file that libwebp took by its first 32 bytes.
std::optional<Layout> layoutOf(const FileBytes &file)
{
    const std::string_view start = file.start();
    Layout layout;
    std::uint64_t at = 0;
    if (startsWith(start, "RIFF")) {
        layout.riffSize = unsignedAt(start, 4, 4, ByteOrder::Little);
        at = 12;
    }
    if (start.substr(at, 4) == "VP8X") {
        if (layout.riffSize == 0 || unsignedAt(start, at + 4, 4, ByteOrder::Little) != 10)
            return std::nullopt;
        layout.extended = true;
        layout.flags = static_cast<std::uint32_t>(unsignedAt(start, at + 8, 4, ByteOrder::Little));
        layout.canvasWidth = unsignedAt(start, at + 12, 3, ByteOrder::Little) + 1;
        layout.canvasHeight = unsignedAt(start, at + 15, 3, ByteOrder::Little) + 1;
        if (layout.canvasWidth * layout.canvasHeight >= MaxImageArea)
            return std::nullopt;
        if (animated(layout))
            return layout; // libwebp reads no further
        at += 18;
    }
    if (layout.extended || (layout.riffSize == 0 && start.substr(at, 4) == "ALPH")) {
        const std::optional<std::uint64_t> image = walkChunks(file, layout, at);
        if (!image)
            return std::nullopt;
        at = *image;
    }
    layout.imageAt = at;
    return layout;
}

// The image's bitstream, from its chunk or bare, as libwebp reads it.
std::optional<Bitstream> imageOf(const FileBytes &file, const Layout &layout)
{
    const std::string head = file.read(layout.imageAt, ChunkHeaderSize + 10);
    if (head.size() < ChunkHeaderSize)
        return std::nullopt;
    const std::string_view fourcc = std::string_view(head).substr(0, 4);
    if (!isImageChunk(fourcc)) {
        const std::uint64_t bare = file.size() - layout.imageAt;
        return frameHeader(losslessSignature(head), head, bare);
    }
    const std::uint64_t size = unsignedAt(head, 4, 4, ByteOrder::Little);
    if (size > MaxChunkPayload || (layout.riffSize >= 12 && size > layout.riffSize - 12))
        return std::nullopt;
    return frameHeader(fourcc == "VP8L", std::string_view(head).substr(ChunkHeaderSize), size);
}

// Whether libwebp reads an alpha plane: an extended header's flag, where a
// lossless bitstream's own word replaces it; and any alpha chunk before the
// image.
bool hasAlpha(const Layout &layout, const Bitstream &image)
{
    const bool flagged = (layout.flags & 0x10) != 0;
    return (image.lossless ? image.alpha : flagged) || layout.alphaChunk;
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const Assessment unreadable = Assessment::refused("unreadable WebP header");
    const std::optional<Layout> layout = layoutOf(file);
    if (layout && animated(*layout))
        return Assessment::refused(
            "unknown format: an animated WebP, which OpenCV does not decode");
    const std::optional<Bitstream> image = layout ? imageOf(file, *layout) : std::nullopt;
    if (!image ||
        (layout->extended &&
            (image->width != layout->canvasWidth || image->height != layout->canvasHeight)))
        return unreadable;
    if (file.size() > maxFileSize())
        return Assessment::refused("too costly: a WebP file of " + std::to_string(file.size()) +
            " bytes, more than the " + std::to_string(maxFileSize()) + " that OpenCV reads");

    const bool alpha = hasAlpha(*layout, *image);
    Assessment assessment;
    assessment.width = image->width;
    assessment.height = image->height;
    assessment.components = alpha ? 4 : 3;
    const double pixels = static_cast<double>(assessment.pixels());
    assessment.seconds =
        pixels * (image->lossless ? SecondsPerLosslessPixel : SecondsPerLossyPixel) +
        (alpha ? pixels * SecondsPerAlphaPixel : 0) +
        static_cast<double>(layout->chunks) * SecondsPerChunk;
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
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0)
        return std::nullopt;
    const long size = std::ftell(file.get());
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
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
