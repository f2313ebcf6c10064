// TIFF and BigTIFF: libtiff, through OpenCV, in the OpenCV codec module,
// loaded at the first decode. OpenCV reads every strip or tile of the first
// directory as 8-bit RGBA (TIFFReadRGBAStrip and -Tile) into a buffer the
// size of one strip or tile, whatever the picture's size.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/jpeg.h"
#include "decoding/opencvmodule.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a pixel to turn decoded samples into
// RGBA and then BGR; to decode a sample's byte by compression; and for each
// strip or tile read.
constexpr double SecondsPerConvertedPixel = 3.8e-9;
constexpr double SecondsPerStrip = 1.3e-6;

struct Compression
{
    std::uint64_t code;
    const char *name;
    double secondsPerByte; // decoded
    // The most a byte of an honest file can stand for; 0 where a flat
    // picture takes next to nothing (pixels alone bound those).
    std::uint64_t bestRatio;
};

// What this viewer decodes; JPEG strips are priced as JPEG streams.
constexpr Compression Compressions[] = {
    {1, "none", 0.1e-9, 1},
    {2, "CCITT RLE", 3e-9, 0},
    {3, "CCITT G3", 3e-9, 0},
    {4, "CCITT G4", 3e-9, 0},
    {5, "LZW", 4.7e-9, 2730}, // 12-bit codes for strings of at most 4094 bytes
    {7, "JPEG", 0, 0},
    {8, "Deflate", 3.3e-9, 1032},
    {32773, "PackBits", 1e-9, 64}, // 2 bytes for a run of 128
    {32946, "Deflate", 3.3e-9, 1032},
    {34925, "LZMA", 2.9e-9, 0},
    {50000, "Zstandard", 2e-9, 0},
    {50001, "WebP", 56e-9, 0},
};
constexpr std::uint64_t JpegCompression = 7;

// libtiff refuses directories with more entries.
constexpr std::uint64_t MaxEntries = 4096;
// OpenCV's largest tile or strip: 2^24 rows or columns, under 1 GiB.
constexpr std::uint64_t MaxTileSide = std::uint64_t {1} << 24;
constexpr std::uint64_t MaxTileBytes = std::uint64_t {1} << 30;
// The check walks each strip's JPEG stream; strips that overlap could make
// it read the file many times over.
constexpr std::uint64_t MaxWalkedPerFileByte = 4;

enum Tag : std::uint64_t {
    ImageWidth = 256,
    ImageLength = 257,
    BitsPerSample = 258,
    CompressionTag = 259,
    Photometric = 262,
    StripOffsets = 273,
    Orientation = 274,
    SamplesPerPixel = 277,
    RowsPerStrip = 278,
    StripByteCounts = 279,
    PlanarConfig = 284,
    TileWidth = 322,
    TileLength = 323,
    TileOffsets = 324,
    TileByteCounts = 325,
};

bool matches(std::string_view start)
{
    using namespace std::string_view_literals;
    return startsWith(start, "II\x2a\0"sv) || startsWith(start, "MM\0\x2a"sv) ||
        startsWith(start, "II\x2b\0"sv) || startsWith(start, "MM\0\x2b"sv);
}

struct Entry
{
    std::uint64_t tag = 0;
    std::uint64_t type = 0;
    std::uint64_t count = 0;
    std::string field; // the value, or the offset of the values
};

class Directory
{
public:
    Directory(const FileBytes &file, ByteOrder order, bool big) : file(file), order(order), big(big)
    { }

    std::string read(std::uint64_t offset)
    {
        const std::size_t countSize = big ? 8 : 2;
        const std::size_t entrySize = big ? 20 : 12;
        const std::string countBytes = file.read(offset, countSize);
        if (countBytes.size() < countSize)
            return "a directory past the end of the file";
        const std::uint64_t count = unsignedAt(countBytes, 0, countSize, order);
        if (count == 0 || count > MaxEntries)
            return "a directory of " + std::to_string(count) + " entries";
        const std::size_t length = static_cast<std::size_t>(count) * entrySize;
        const std::string bytes = file.read(offset + countSize, length);
        if (bytes.size() < length)
            return "a directory cut short";
        for (std::size_t at = 0; at < length; at += entrySize) {
            Entry entry;
            entry.tag = unsignedAt(bytes, at, 2, order);
            entry.type = unsignedAt(bytes, at + 2, 2, order);
            entry.count = unsignedAt(bytes, at + 4, big ? 8 : 4, order);
            entry.field = bytes.substr(at + (big ? 12 : 8), big ? 8 : 4);
            // libtiff keeps the first of a repeated tag and ignores the rest.
            entries.emplace(entry.tag, entry);
        }
        return {};
    }

    const Entry *find(std::uint64_t tag) const
    {
        const auto found = entries.find(tag);
        return found == entries.end() ? nullptr : &found->second;
    }

    // The integers of an entry as libtiff reads them: unsigned and signed
    // types of 8 to 64 bits, negative values refused. Empty when unreadable.
    std::optional<std::vector<std::uint64_t>> integers(const Entry &entry, std::uint64_t most) const
    {
        std::size_t size = 0;
        bool isSigned = false;
        switch (entry.type) {
        case 1:
            size = 1;
            break; // BYTE
        case 6:
            size = 1;
            isSigned = true;
            break; // SBYTE
        case 3:
            size = 2;
            break; // SHORT
        case 8:
            size = 2;
            isSigned = true;
            break; // SSHORT
        case 4:
            size = 4;
            break; // LONG
        case 9:
            size = 4;
            isSigned = true;
            break; // SLONG
        case 16:
            size = 8;
            break; // LONG8, in classic TIFF too
        case 17:
            size = 8;
            isSigned = true;
            break; // SLONG8
        default:
            return std::nullopt;
        }
        const std::uint64_t count = std::min(entry.count, most);
        if (count == 0 || count > std::uint64_t {1} << 24)
            return std::nullopt;
        const std::uint64_t bytes = entry.count * size;
        std::string values;
        if (bytes <= entry.field.size()) {
            values = entry.field;
        } else {
            const std::uint64_t at = unsignedAt(entry.field, 0, entry.field.size(), order);
            values = file.read(at, static_cast<std::size_t>(count * size));
            if (values.size() < count * size)
                return std::nullopt;
        }
        std::vector<std::uint64_t> result;
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t value =
                unsignedAt(values, static_cast<std::size_t>(i * size), size, order);
            if (isSigned && (value >> (8 * size - 1)) != 0)
                return std::nullopt;
            result.push_back(value);
        }
        return result;
    }

    // One value, of at most `bits` bits, as TIFFReadDirEntryLong and -Short
    // read it: the count must be 1.
    std::optional<std::uint64_t> scalar(std::uint64_t tag, int bits) const
    {
        const Entry *entry = find(tag);
        if (!entry || entry->count != 1)
            return std::nullopt;
        const auto values = integers(*entry, 1);
        if (!values || (bits < 64 && values->front() >> bits != 0))
            return std::nullopt;
        return values->front();
    }

    // A value written once or once per sample, all alike.
    std::optional<std::uint64_t> perSample(std::uint64_t tag, std::uint64_t samples) const
    {
        const Entry *entry = find(tag);
        if (entry && entry->count == 1)
            return scalar(tag, 16);
        if (!entry || entry->count < samples)
            return std::nullopt;
        const auto values = integers(*entry, samples);
        if (!values || values->front() >> 16 != 0)
            return std::nullopt;
        for (const std::uint64_t value : *values) {
            if (value != values->front())
                return std::nullopt;
        }
        return values->front();
    }

private:
    const FileBytes &file;
    ByteOrder order;
    bool big;
    std::map<std::uint64_t, Entry> entries;
};

Inspection inspect(const FileBytes &file, const DecodeLimits &)
{
    const auto unreadable = [](const std::string &why) {
        return Inspection::refused("unreadable TIFF: " + why);
    };
    const std::string_view start = file.start();
    const ByteOrder order = start[0] == 'I' ? ByteOrder::Little : ByteOrder::Big;
    const bool big = unsignedAt(start, 2, 2, order) == 43;
    if (start.size() < (big ? 16U : 8U) ||
        (big && (unsignedAt(start, 4, 2, order) != 8 || unsignedAt(start, 6, 2, order) != 0)))
        return unreadable("a header cut short");
    Directory directory(file, order, big);
    const std::string why = directory.read(unsignedAt(start, big ? 8 : 4, big ? 8 : 4, order));
    if (!why.empty())
        return unreadable(why);

    const auto width = directory.scalar(ImageWidth, 32);
    const auto height = directory.scalar(ImageLength, 32);
    if (!width || !height || *width == 0 || *height == 0 || *width > 0x7fffffff ||
        *height > 0x7fffffff)
        return unreadable("no size it can read");
    const std::uint64_t samples =
        directory.find(SamplesPerPixel) ? directory.scalar(SamplesPerPixel, 16).value_or(0) : 1;
    if (samples < 1 || samples > 4)
        return unreadable("samples per pixel OpenCV does not take");
    const std::uint64_t bits =
        directory.find(BitsPerSample) ? directory.perSample(BitsPerSample, samples).value_or(0) : 1;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16)
        return unreadable("samples of a size the 8-bit reader does not take");
    const std::uint64_t code = directory.find(CompressionTag)
        ? directory.perSample(CompressionTag, samples).value_or(~std::uint64_t {0})
        : 1;
    const Compression *compression = nullptr;
    for (const Compression &known : Compressions) {
        if (known.code == code)
            compression = &known;
    }
    if (!compression)
        return Inspection::refused("unknown format: a TIFF compressed with scheme " +
            std::to_string(code) + ", whose cost is not modelled");
    const bool separate = directory.find(PlanarConfig) && directory.scalar(PlanarConfig, 16) == 2;

    // Strips are tiles as wide as the picture; RowsPerStrip of 0, or the
    // largest, means one strip.
    const bool tiled = directory.find(TileWidth) || directory.find(TileLength);
    std::uint64_t tileWidth = *width;
    std::uint64_t tileHeight = *height;
    if (tiled) {
        const auto across = directory.scalar(TileWidth, 32);
        const auto down = directory.scalar(TileLength, 32);
        if (!across || !down || *across == 0 || *down == 0)
            return unreadable("tiles of no size it can read");
        tileWidth = *across;
        tileHeight = *down;
    } else if (directory.find(RowsPerStrip)) {
        const auto rows = directory.scalar(RowsPerStrip, 32);
        if (!rows || *rows == 0)
            return unreadable("rows per strip it cannot read");
        tileHeight = *rows == 0xffffffff ? *height : *rows;
    }
    if (tileWidth > MaxTileSide || tileHeight > MaxTileSide ||
        saturatingProduct(saturatingProduct(tileWidth, tileHeight),
            samples * std::max<std::uint64_t>(1, bits / 8)) >= MaxTileBytes)
        return unreadable("a tile or strip larger than OpenCV reads");
    const std::uint64_t across = divideRoundingUp(*width, tileWidth);
    const std::uint64_t down = divideRoundingUp(*height, tileHeight);
    const std::uint64_t planes = separate ? samples : 1;
    const std::uint64_t pieces = saturatingProduct(saturatingProduct(across, down), planes);

    const Entry *offsetsEntry = directory.find(tiled ? TileOffsets : StripOffsets);
    const Entry *countsEntry = directory.find(tiled ? TileByteCounts : StripByteCounts);
    if (!offsetsEntry || !countsEntry || offsetsEntry->count < pieces ||
        countsEntry->count < pieces)
        return unreadable("fewer strip or tile offsets and byte counts than pieces");
    const auto offsets = directory.integers(*offsetsEntry, pieces);
    const auto counts = directory.integers(*countsEntry, pieces);
    if (!offsets || !counts)
        return unreadable("strip or tile offsets it cannot read");

    // Each piece decodes in full, then the part inside the picture is
    // converted. Pieces that share their bytes are as hollow as missing ones:
    // an honest file's size is compared with what all of them need.
    const std::uint64_t pieceSamples =
        saturatingProduct(tileWidth, tileHeight) * (separate ? 1 : samples);
    const std::uint64_t pieceBytes = divideRoundingUp(saturatingProduct(pieceSamples, bits), 8);
    const double pixels = double(*width) * double(*height);
    Inspection inspection;
    inspection.width = *width;
    inspection.height = *height;
    const double converting = pixels * SecondsPerConvertedPixel;
    double decoding =
        double(pieces) * (double(pieceBytes) * compression->secondsPerByte + SecondsPerStrip);
    double plainDecoding =
        pixels * double(samples) * double(bits) / 8 * compression->secondsPerByte;
    std::uint64_t honestBytes = 0;
    std::uint64_t jpegBuffers = 0;
    std::uint64_t walked = 0;
    ByteReader pieceReader(file, 0, 0);
    for (std::uint64_t piece = 0; piece < pieces; ++piece) {
        const std::uint64_t at = (*offsets)[piece];
        const std::uint64_t size = (*counts)[piece];
        if (size == 0 || at >= file.size())
            return unreadable("a strip or tile outside the file");
        if (compression->code != JpegCompression)
            continue;
        // libtiff hands each piece to libjpeg as a stream of its own.
        walked += size;
        if (walked > MaxWalkedPerFileByte * file.size() + (1 << 20))
            return unreadable("JPEG strips that overlap over and over");
        const Inspection stream =
            walkJpegStream(pieceReader, at, at + std::min(size, file.size() - at));
        if (!stream.refusal.empty())
            return Inspection::refused("in a TIFF strip or tile, " + stream.refusal);
        decoding += stream.seconds;
        plainDecoding += stream.plainSeconds;
        honestBytes += stream.honestBytes;
        jpegBuffers = std::max(
            jpegBuffers, std::any_cast<const JpegDetails &>(stream.details).coefficientBytes);
    }
    if (compression->bestRatio != 0)
        honestBytes = saturatingProduct(pieces, pieceBytes) / compression->bestRatio;
    inspection.seconds =
        decoding + double(pieces) * double(tileWidth * tileHeight) * SecondsPerConvertedPixel;
    inspection.plainSeconds = plainDecoding + converting;
    inspection.honestBytes = honestBytes;
    // The picture, turned once for the last four orientations; OpenCV's RGBA
    // buffer, libtiff's decoded piece, and libjpeg's coefficients.
    const std::uint64_t picture = bgrBytes(*width, *height);
    const bool turned = directory.scalar(Orientation, 16).value_or(1) >= 5;
    inspection.memory = picture * (turned ? 2 : 1) + saturatingProduct(tileWidth * tileHeight, 4) +
        pieceBytes + jpegBuffers;
    return inspection;
}

} // namespace

extern const Format TiffFormat = {"TIFF", matches, inspect, loadOpenCv, decodeWithOpenCv};
