// OpenEXR: the OpenEXR library, through OpenCV, in the OpenCV codec module,
// loaded at the first decode. OpenCV reads the first part (the only one of a
// single-part file) line by line as floats. OpenEXR reads a known attribute's
// value by its type and not by the size the file gives, so a header whose
// sizes disagree with their types is read differently by any other reader:
// it is refused.
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
    // The fewest bytes an honest file holds for a sample of 32 bits (float
    // or unsigned) and of 16 (half), as the compression's own layout has
    // it; 0 where a flat picture takes next to nothing.
    double fullSampleBytes;
    double halfSampleBytes;
};
constexpr double Deflated = 1.0 / 1032; // Deflate's best: 258 bytes from a 2-bit code
constexpr Compression Compressions[] = {
    {"none", 1, 2.8e-9, 4, 2},
    {"RLE", 1, 6.6e-9, 4.0 / 64, 2.0 / 64}, // 2 bytes for a run of 128
    {"ZIPS", 1, 13.3e-9, 4 * Deflated, 2 * Deflated},
    {"ZIP", 16, 13.2e-9, 4 * Deflated, 2 * Deflated},
    {"PIZ", 32, 7.8e-9, 0, 0},
    {"PXR24", 16, 10.9e-9, 3 * Deflated, 2 * Deflated}, // floats cut to 24 bits
    // Half samples in blocks of 4 x 4 in 14 bytes, or 3 where B44A finds a
    // block flat; others stored as they are.
    {"B44", 32, 4.5e-9, 4, 14.0 / 16},
    {"B44A", 32, 4.6e-9, 4, 3.0 / 16},
    {"DWAA", 32, 7.3e-9, 0, 0},
    {"DWAB", 256, 9.9e-9, 0, 0},
};
constexpr int HalfSamples = 1;
// A row of floats for each channel shown, and the BGR picture.
constexpr std::uint64_t BytesPerPixel = 3;

constexpr std::uint64_t TiledFlag = 0x200;
constexpr std::uint64_t LongNamesFlag = 0x400;
constexpr std::uint64_t DeepFlag = 0x800;
constexpr std::uint64_t MultiPartFlag = 0x1000;
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
    int type = HalfSamples; // 0 unsigned, 1 half, 2 float
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
        channel.type = static_cast<int>(unsignedAt(value, at, 4, ByteOrder::Little));
        channel.xSampling = signedAt(value, at + 8);
        channel.ySampling = signedAt(value, at + 12);
        if (channel.xSampling < 1 || channel.ySampling < 1)
            return std::nullopt;
        channels.push_back(channel);
        at += 16;
    }
}

// What the first part's header says, as OpenEXR reads it.
struct Header
{
    std::optional<std::string> dataWindow;
    std::optional<std::vector<Channel>> channels;
    std::optional<int> compression;
    std::optional<std::string> tiles;
    std::optional<std::string> type; // a part's: scanlineimage, tiledimage, deep...
};

// Every attribute up to the empty name that ends the header; a repeated one
// counts as read last, as OpenEXR reads it. Empty, with why, where OpenEXR
// would read it otherwise.
std::optional<Header> readHeader(ByteReader &in, std::string &why)
{
    Header header;
    std::string value;
    for (int attributes = 0;; ++attributes) {
        const std::optional<std::string> attribute = name(in);
        if (attributes == MaxAttributes || !attribute) {
            why = attribute ? "more attributes than any header has" : "an attribute name cut short";
            return std::nullopt;
        }
        if (attribute->empty())
            return header;
        const std::optional<std::string> type = name(in);
        std::string sizeBytes;
        if (!type || !in.take(4, sizeBytes)) {
            why = "an attribute cut short";
            return std::nullopt;
        }
        const std::int64_t size = signedAt(sizeBytes, 0);
        const int expected = knownSize(*type);
        if (size < 0 || (expected > 0 && size != expected)) {
            why = "attribute " + *attribute + " of type " + *type + " with a size of " +
                std::to_string(size);
            return std::nullopt;
        }
        if (!in.take(static_cast<std::size_t>(std::min<std::int64_t>(size, std::int64_t {1} << 30)),
                value)) {
            why = "an attribute value cut short";
            return std::nullopt;
        }
        const bool preview = *type == "preview";
        if ((*type == "chlist" && !channelList(value)) ||
            (preview &&
                (value.size() < 8 || (value.size() - 8) % 4 != 0 ||
                    saturatingProduct(unsignedAt(value, 0, 4, ByteOrder::Little),
                        unsignedAt(value, 4, 4, ByteOrder::Little)) != (value.size() - 8) / 4))) {
            why = preview ? "a preview whose size disagrees with its pixels"
                          : "a channel list it cannot read";
            return std::nullopt;
        }
        if (*attribute == "dataWindow" && *type == "box2i")
            header.dataWindow = value;
        else if (*attribute == "channels" && *type == "chlist")
            header.channels = channelList(value);
        else if (*attribute == "compression" && *type == "compression")
            header.compression = static_cast<unsigned char>(value[0]);
        else if (*attribute == "tiles" && *type == "tiledesc")
            header.tiles = value;
        else if (*attribute == "type" && *type == "string")
            header.type = value;
    }
}

// The chunks a picture is stored in, and what decoding them takes.
struct Chunks
{
    std::uint64_t count = 0;
    double decodedSamples = 0; // tiles decode whole, overhanging the picture or not
    std::uint64_t buffered = 0; // a row of chunks at a time
};

std::optional<Chunks> chunksOf(const Header &header, const Compression &coding,
    std::size_t channelCount, bool tiled, std::uint64_t width, std::uint64_t height, double samples)
{
    const double channels = double(channelCount);
    Chunks chunks;
    chunks.count = divideRoundingUp(height, coding.linesPerChunk);
    chunks.decodedSamples = samples;
    chunks.buffered = saturatingCount(double(coding.linesPerChunk) * double(width) * channels * 4);
    if (!tiled)
        return chunks;
    const std::string description = header.tiles.value_or(std::string(9, '\0'));
    const std::uint64_t tileWidth = unsignedAt(description, 0, 4, ByteOrder::Little);
    const std::uint64_t tileHeight = unsignedAt(description, 4, 4, ByteOrder::Little);
    if (tileWidth == 0 || tileHeight == 0 || tileWidth > 0x7fffffff || tileHeight > 0x7fffffff ||
        (static_cast<unsigned char>(description[8]) & 0x0f) > 2)
        return std::nullopt;
    chunks.count = divideRoundingUp(width, tileWidth) * divideRoundingUp(height, tileHeight);
    chunks.decodedSamples =
        double(chunks.count) * double(tileWidth) * double(tileHeight) * channels;
    chunks.buffered = saturatingCount(double(tileHeight) * double(width) * channels * 4 +
        double(tileWidth) * double(tileHeight) * channels * 4);
    return chunks;
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const auto unreadable = [](const std::string &why) {
        return Assessment::refused("unreadable OpenEXR: " + why);
    };
    const std::string_view start = file.start();
    if (start.size() < 8)
        return unreadable("a header cut short");
    const std::uint64_t version = unsignedAt(start, 4, 4, ByteOrder::Little);
    const bool multiPart = (version & MultiPartFlag) != 0;
    if ((version & 0xff) != 2 || (version & DeepFlag) != 0 ||
        (multiPart && (version & TiledFlag)) ||
        (version & ~std::uint64_t {0xff} & ~(TiledFlag | LongNamesFlag | MultiPartFlag)) != 0)
        return unreadable("a version, or deep data, that are not read here");
    // The first part's header, which OpenCV decodes alone.
    ByteReader in(file, 8, file.size());
    std::string why;
    const std::optional<Header> header = readHeader(in, why);
    if (!header)
        return unreadable(why);
    const bool tiled = multiPart ? header->type == "tiledimage" : (version & TiledFlag) != 0;
    if (!header->dataWindow || !header->channels || header->channels->empty() ||
        !header->compression || (tiled && !header->tiles) ||
        (multiPart && header->type != "scanlineimage" && header->type != "tiledimage"))
        return unreadable("a header without the attributes it needs, or of deep data");
    if (*header->compression >= static_cast<int>(std::size(Compressions)))
        return unreadable("an unknown compression");
    const Compression &coding = Compressions[*header->compression];

    const std::string &window = *header->dataWindow;
    const std::int64_t width = signedAt(window, 8) - signedAt(window, 0) + 1;
    const std::int64_t height = signedAt(window, 12) - signedAt(window, 4) + 1;
    if (!positiveSides(width, height))
        return unreadable("an empty data window");
    Assessment assessment;
    assessment.width = static_cast<std::uint64_t>(width);
    assessment.height = static_cast<std::uint64_t>(height);
    double samples = 0;
    double honestSampleBytes = 0;
    for (const Channel &channel : *header->channels) {
        const double count = double(divideRoundingUp(
                                 assessment.width, static_cast<std::uint64_t>(channel.xSampling))) *
            double(
                divideRoundingUp(assessment.height, static_cast<std::uint64_t>(channel.ySampling)));
        samples += count;
        honestSampleBytes +=
            count * (channel.type == HalfSamples ? coding.halfSampleBytes : coding.fullSampleBytes);
    }
    const std::optional<Chunks> chunks = chunksOf(*header, coding, header->channels->size(), tiled,
        assessment.width, assessment.height, samples);
    if (!chunks)
        return unreadable("tiles of a size or levels it cannot read");
    assessment.seconds = chunks->decodedSamples * coding.secondsPerSample;
    assessment.plainSeconds = samples * coding.secondsPerSample;
    // The offset table and each chunk's header, and the samples as far as
    // the compression can shrink them.
    assessment.honestBytes = saturatingCount(16 * double(chunks->count) + honestSampleBytes);
    assessment.memory =
        saturatingCount(double(assessment.pixels()) * BytesPerPixel + double(chunks->buffered));
    return assessment;
}

} // namespace

extern const Format OpenExrFormat = {"OpenEXR", matches, inspect, loadOpenCv, decodeWithOpenCv};
