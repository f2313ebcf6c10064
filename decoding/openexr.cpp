// OpenEXR: the OpenEXR library, through OpenCV, which reads the picture line by
// line as floats. OpenEXR reads a known attribute's value by its type and not
// by the size the file gives, so a header whose sizes disagree with their
// types is read differently by any other reader: it is refused.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvmodule.h"

#include <algorithm>
#include <map>

namespace {

// Measured by morvastel_weights: seconds a sample decoded, by compression.
struct Compression
{
    const char *name;
    std::uint64_t linesPerChunk;
    double secondsPerSample;
    // The most a byte of an honest file can stand for; 0 where a flat
    // picture takes next to nothing.
    std::uint64_t bestRatio;
};
constexpr Compression Compressions[] = {
    {"none", 1, 2.8e-9, 1},
    {"RLE", 1, 6.6e-9, 64},
    {"ZIPS", 1, 13.3e-9, 1032},
    {"ZIP", 16, 13.2e-9, 1032},
    {"PIZ", 32, 7.8e-9, 0},
    {"PXR24", 16, 10.9e-9, 1032},
    {"B44", 32, 4.5e-9, 2},
    {"B44A", 32, 4.6e-9, 10},
    {"DWAA", 32, 7.3e-9, 0},
    {"DWAB", 256, 9.9e-9, 0},
};
// A row of floats for each channel shown, and the BGR picture.
constexpr std::uint64_t BytesPerPixel = 3;

constexpr std::uint64_t TiledFlag = 0x200;
constexpr std::uint64_t LongNamesFlag = 0x400;
// More attributes than any OpenEXR header has.
constexpr int MaxAttributes = 1024;

bool matches(std::string_view start)
{
    return startsWith(start, "\x76\x2f\x31\x01");
}

// The size OpenEXR reads for a value of a known fixed-size type; 0 for
// types whose size the file gives; -1 for types it does not know.
int knownSize(const std::string &type)
{
    static const std::map<std::string, int> sizes = {{"box2i", 16}, {"box2f", 16},
        {"chromaticities", 32}, {"compression", 1}, {"deepImageState", 1}, {"double", 8},
        {"envmap", 1}, {"float", 4}, {"int", 4}, {"keycode", 28}, {"lineOrder", 1}, {"m33f", 36},
        {"m33d", 72}, {"m44f", 64}, {"m44d", 128}, {"rational", 8}, {"tiledesc", 9},
        {"timecode", 8}, {"v2i", 8}, {"v2f", 8}, {"v2d", 16}, {"v3i", 12}, {"v3f", 12}, {"v3d", 24},
        {"chlist", 0}, {"floatvector", 0}, {"preview", 0}, {"string", 0}, {"stringvector", 0}};
    const auto found = sizes.find(type);
    return found == sizes.end() ? -1 : found->second;
}

std::int64_t signedAt(std::string_view bytes, std::size_t at)
{
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(unsignedAt(bytes, at, 4, ByteOrder::Little)));
}

// A NUL-terminated name of at most 255 bytes.
std::optional<std::string> name(ByteReader &in)
{
    std::string text;
    for (int c = in.next(); c != 0; c = in.next()) {
        if (c < 0 || text.size() == 255)
            return std::nullopt;
        text.push_back(static_cast<char>(c));
    }
    return text;
}

struct Channel
{
    std::int64_t xSampling = 1;
    std::int64_t ySampling = 1;
};

// A channel list: name, pixel type, linearity and three reserved bytes, and
// the sampling in x and y, for each channel, then an empty name.
std::optional<std::vector<Channel>> channelList(std::string_view value)
{
    std::vector<Channel> channels;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = value.find('\0', at);
        if (end == std::string_view::npos)
            return std::nullopt;
        if (end == at)
            return at + 1 == value.size() ? std::optional(channels) : std::nullopt;
        at = end + 1;
        if (value.size() < at + 16 || unsignedAt(value, at, 4, ByteOrder::Little) > 2)
            return std::nullopt;
        Channel channel;
        channel.xSampling = signedAt(value, at + 8);
        channel.ySampling = signedAt(value, at + 12);
        if (channel.xSampling < 1 || channel.ySampling < 1)
            return std::nullopt;
        channels.push_back(channel);
        at += 16;
    }
}

Inspection inspect(const FileBytes &file, const DecodeLimits &)
{
    const auto unreadable = [](const std::string &why) {
        return Inspection::refused("unreadable OpenEXR: " + why);
    };
    const std::string_view start = file.start();
    if (start.size() < 8)
        return unreadable("a header cut short");
    const std::uint64_t version = unsignedAt(start, 4, 4, ByteOrder::Little);
    if ((version & 0xff) != 2 ||
        (version & ~std::uint64_t {0xff} & ~(TiledFlag | LongNamesFlag)) != 0)
        return unreadable("a version, or parts or deep data, that are not read here");
    const bool tiled = (version & TiledFlag) != 0;

    // Every attribute; a repeated one counts as read last, as OpenEXR reads it.
    std::optional<std::string> dataWindow;
    std::optional<std::vector<Channel>> channels;
    std::optional<int> compression;
    std::optional<std::string> tiles;
    ByteReader in(file, 8, file.size());
    std::string value;
    for (int attributes = 0;; ++attributes) {
        if (attributes == MaxAttributes)
            return unreadable("more attributes than any header has");
        const std::optional<std::string> attribute = name(in);
        if (!attribute)
            return unreadable("an attribute name cut short");
        if (attribute->empty())
            break;
        const std::optional<std::string> type = name(in);
        std::string sizeBytes;
        if (!type || !in.take(4, sizeBytes))
            return unreadable("an attribute cut short");
        const std::int64_t size = signedAt(sizeBytes, 0);
        const int expected = knownSize(*type);
        if (size < 0 || (expected > 0 && size != expected))
            return unreadable("attribute " + *attribute + " of type " + *type + " with a size of " +
                std::to_string(size));
        if (!in.take(static_cast<std::size_t>(std::min<std::int64_t>(size, std::int64_t {1} << 30)),
                value))
            return unreadable("an attribute value cut short");
        if (*type == "chlist" && !channelList(value))
            return unreadable("a channel list it cannot read");
        if (*type == "preview" &&
            (value.size() < 8 || (value.size() - 8) % 4 != 0 ||
                saturatingProduct(unsignedAt(value, 0, 4, ByteOrder::Little),
                    unsignedAt(value, 4, 4, ByteOrder::Little)) != (value.size() - 8) / 4))
            return unreadable("a preview whose size disagrees with its pixels");
        if (*attribute == "dataWindow" && *type == "box2i")
            dataWindow = value;
        else if (*attribute == "channels" && *type == "chlist")
            channels = channelList(value);
        else if (*attribute == "compression" && *type == "compression")
            compression = static_cast<unsigned char>(value[0]);
        else if (*attribute == "tiles" && *type == "tiledesc")
            tiles = value;
    }
    if (!dataWindow || !channels || channels->empty() || !compression || (tiled && !tiles))
        return unreadable("a header without the attributes it needs");
    if (*compression >= static_cast<int>(std::size(Compressions)))
        return unreadable("an unknown compression");
    const Compression &coding = Compressions[*compression];

    const std::int64_t width = signedAt(*dataWindow, 8) - signedAt(*dataWindow, 0) + 1;
    const std::int64_t height = signedAt(*dataWindow, 12) - signedAt(*dataWindow, 4) + 1;
    if (!positiveSides(width, height))
        return unreadable("an empty data window");
    Inspection inspection;
    inspection.width = static_cast<std::uint64_t>(width);
    inspection.height = static_cast<std::uint64_t>(height);
    double samples = 0;
    for (const Channel &channel : *channels)
        samples += double(divideRoundingUp(
                       inspection.width, static_cast<std::uint64_t>(channel.xSampling))) *
            double(
                divideRoundingUp(inspection.height, static_cast<std::uint64_t>(channel.ySampling)));
    const double sampleBytes = samples * 4;

    // Tiles decode whole, overhanging the picture or not, a row of them at a time.
    double decoded = samples;
    std::uint64_t chunks = divideRoundingUp(inspection.height, coding.linesPerChunk);
    std::uint64_t buffered = saturatingCount(
        double(coding.linesPerChunk) * double(inspection.width) * double(channels->size()) * 4);
    if (tiled) {
        const std::string description = tiles.value_or(std::string(9, '\0'));
        const std::uint64_t tileWidth = unsignedAt(description, 0, 4, ByteOrder::Little);
        const std::uint64_t tileHeight = unsignedAt(description, 4, 4, ByteOrder::Little);
        if (tileWidth == 0 || tileHeight == 0 || tileWidth > 0x7fffffff ||
            tileHeight > 0x7fffffff || (static_cast<unsigned char>(description[8]) & 0x0f) > 2)
            return unreadable("tiles of a size or levels it cannot read");
        chunks = divideRoundingUp(inspection.width, tileWidth) *
            divideRoundingUp(inspection.height, tileHeight);
        decoded =
            double(chunks) * double(tileWidth) * double(tileHeight) * double(channels->size());
        buffered = saturatingCount(
            double(tileHeight) * double(inspection.width) * double(channels->size()) * 4 +
            double(tileWidth) * double(tileHeight) * double(channels->size()) * 4);
    }
    inspection.seconds = decoded * coding.secondsPerSample;
    inspection.plainSeconds = samples * coding.secondsPerSample;
    // The offset table and each chunk's header, and the samples as far as
    // the compression can shrink them.
    inspection.honestBytes = saturatingCount(16 * double(chunks) +
        (coding.bestRatio == 0 ? 0 : sampleBytes / 2 / double(coding.bestRatio)));
    inspection.memory =
        saturatingCount(double(inspection.pixels()) * BytesPerPixel + double(buffered));
    return inspection;
}

} // namespace

extern const Format OpenExrFormat = {"OpenEXR", matches, inspect, loadOpenCv, decodeWithOpenCv};
