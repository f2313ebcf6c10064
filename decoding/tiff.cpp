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
#include <tuple>
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
    // Decoded pieces the codec holds besides libtiff's: LERC its own, and
    // its Deflate or Zstandard layer inflated; jbig-kit the picture's plane.
    std::uint64_t piecesHeld = 0;
};

// What this viewer decodes; JPEG strips are priced as JPEG streams, and
// LERC's own Deflate or Zstandard layer on top of LERC. JBIG at its
// costliest, a picture of noise; flat ones take a fifth of that.
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
    {34661, "JBIG", 171e-9, 0, 1},
    {34887, "LERC", 4.8e-9, 0, 2},
    {34925, "LZMA", 2.9e-9, 0},
    {50000, "Zstandard", 2e-9, 0},
    {50001, "WebP", 56e-9, 0},
};
constexpr std::uint64_t JpegCompression = 7;
constexpr std::uint64_t DeflateCompression = 8;
constexpr std::uint64_t LercCompression = 34887;
constexpr std::uint64_t ZstdCompression = 50000;

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
    LercParameters = 50674,
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

class Directory;

// The first values of an entry, read a block at a time: the offsets and byte
// counts of a million strips take no more memory than a few thousand.
class EntryValues
{
public:
    EntryValues(const Directory &directory, const Entry &entry, std::uint64_t most);

    // The next value, if there is one and libtiff reads it.
    std::optional<std::uint64_t> next();
    // Whether every value asked for was read.
    bool whole() const { return readable && left == 0; }

private:
    bool refill();

    const FileBytes &file;
    ByteOrder order;
    bool readable = true;
    std::size_t size = 0;
    bool isSigned = false;
    std::uint64_t left = 0; // values still to read
    std::uint64_t at = 0; // where the next block starts in the file
    std::string block;
    std::size_t position = 0;
};

class Directory
{
public:
    friend class EntryValues;

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
        EntryValues values(*this, entry, most);
        std::vector<std::uint64_t> result;
        while (const auto value = values.next())
            result.push_back(*value);
        if (result.empty() || !values.whole())
            return std::nullopt;
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

// The size of a value of an integer type libtiff takes for offsets, counts
// and scalars, and whether it is signed; 0 for other types.
std::pair<std::size_t, bool> integerType(std::uint64_t type)
{
    switch (type) {
    case 1:
        return {1, false}; // BYTE
    case 6:
        return {1, true}; // SBYTE
    case 3:
        return {2, false}; // SHORT
    case 8:
        return {2, true}; // SSHORT
    case 4:
        return {4, false}; // LONG
    case 9:
        return {4, true}; // SLONG
    case 16:
        return {8, false}; // LONG8, in classic TIFF too
    case 17:
        return {8, true}; // SLONG8
    default:
        return {0, false};
    }
}

// Values read this many at a time.
constexpr std::size_t ValuesInBlock = 4096;

EntryValues::EntryValues(const Directory &directory, const Entry &entry, std::uint64_t most)
    : file(directory.file), order(directory.order)
{
    std::tie(size, isSigned) = integerType(entry.type);
    left = std::min(entry.count, most);
    readable = size != 0 && left != 0 && left <= std::uint64_t {1} << 24;
    if (!readable)
        return;
    if (entry.count <= entry.field.size() / size) {
        block = entry.field.substr(0, static_cast<std::size_t>(left) * size);
        at = file.size(); // nothing more to read
    } else {
        at = unsignedAt(entry.field, 0, entry.field.size(), order);
    }
}

bool EntryValues::refill()
{
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, ValuesInBlock)) * size;
    block = file.read(at, wanted);
    position = 0;
    if (block.size() != wanted)
        return false;
    at += wanted; // the values were in the file, so this stays within it
    return true;
}

std::optional<std::uint64_t> EntryValues::next()
{
    if (!readable || left == 0)
        return std::nullopt;
    if (position == block.size() && !refill()) {
        readable = false;
        return std::nullopt;
    }
    const std::uint64_t value = unsignedAt(block, position, size, order);
    position += size;
    --left;
    if (isSigned && (value >> (8 * size - 1)) != 0) {
        readable = false;
        return std::nullopt;
    }
    return value;
}

const Compression *compressionOf(std::uint64_t code)
{
    for (const Compression &known : Compressions) {
        if (known.code == code)
            return &known;
    }
    return nullptr;
}

// How a picture lies in its strips or tiles, and what libtiff decodes of
// each: a tile whole, whatever of it lies outside the picture; a strip its
// rows, the last strip of each plane only what is left of the picture.
struct Layout
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t samples = 1;
    std::uint64_t bits = 1;
    bool tiled = false;
    bool separate = false;
    std::uint64_t pieceWidth = 0; // a strip is as wide as the picture
    std::uint64_t pieceHeight = 0;

    std::uint64_t across() const { return divideRoundingUp(width, pieceWidth); }
    std::uint64_t down() const { return divideRoundingUp(height, pieceHeight); }
    std::uint64_t planes() const { return separate ? samples : 1; }
    std::uint64_t pieces() const
    {
        return saturatingProduct(saturatingProduct(across(), down()), planes());
    }
    // A row of a piece as libtiff decodes it: whole bytes.
    std::uint64_t rowBytes() const
    {
        return divideRoundingUp(
            saturatingProduct(saturatingProduct(pieceWidth, separate ? 1 : samples), bits), 8);
    }
    std::uint64_t pieceBytes() const { return saturatingProduct(rowBytes(), pieceHeight); }
    std::uint64_t decodedBytes() const
    {
        if (tiled)
            return saturatingProduct(pieces(), pieceBytes());
        const std::uint64_t lastRows = height - (down() - 1) * pieceHeight;
        return saturatingProduct(planes(),
            saturatingProduct(down() - 1, pieceBytes()) + saturatingProduct(lastRows, rowBytes()));
    }
    // The pixels turned into RGBA: every tile whole, or the picture.
    double convertedPixels() const
    {
        return tiled ? double(across()) * double(down()) * double(pieceWidth) * double(pieceHeight)
                     : double(width) * double(height);
    }
};

// The checks of one TIFF file's first directory, step by step.
class TiffCheck
{
public:
    explicit TiffCheck(const FileBytes &file) : file(file) { }
    Assessment inspect();

private:
    bool refuse(const std::string &why)
    {
        if (refusal.empty())
            refusal = "unreadable TIFF: " + why;
        return false;
    }
    bool readPicture(const Directory &directory);
    bool readCompression(const Directory &directory);
    bool readPieces(const Directory &directory);
    bool walkPieces(const Directory &directory);
    bool walkJpegPiece(ByteReader &reader, std::uint64_t at, std::uint64_t size);
    Assessment price(const Directory &directory) const;

    const FileBytes &file;
    std::string refusal;
    Layout layout;
    const Compression *compression = nullptr;
    double secondsPerByte = 0;
    const Entry *offsetsEntry = nullptr;
    const Entry *countsEntry = nullptr;
    // What the JPEG pieces cost, where the pieces are JPEG streams.
    double jpegSeconds = 0;
    double jpegPlainSeconds = 0;
    std::uint64_t jpegHonestBytes = 0;
    std::uint64_t jpegBuffers = 0;
    // The last one-scan stream walked: its bytes up to the end of its scan's
    // header, its size and what it cost.
    std::string jpegHeader;
    std::uint64_t jpegSize = 0;
    Assessment jpegLast;
    double jpegSecondsPerByte = 0;
    std::uint64_t jpegWalked = 0;
};

bool TiffCheck::readPicture(const Directory &directory)
{
    const auto width = directory.scalar(ImageWidth, 32);
    const auto height = directory.scalar(ImageLength, 32);
    if (!width || !height || *width == 0 || *height == 0 || *width > 0x7fffffff ||
        *height > 0x7fffffff)
        return refuse("no size it can read");
    layout.width = *width;
    layout.height = *height;
    layout.samples =
        directory.find(SamplesPerPixel) ? directory.scalar(SamplesPerPixel, 16).value_or(0) : 1;
    if (layout.samples < 1 || layout.samples > 4)
        return refuse("samples per pixel OpenCV does not take");
    layout.bits = directory.find(BitsPerSample)
        ? directory.perSample(BitsPerSample, layout.samples).value_or(0)
        : 1;
    if (layout.bits != 1 && layout.bits != 2 && layout.bits != 4 && layout.bits != 8 &&
        layout.bits != 16)
        return refuse("samples of a size the 8-bit reader does not take");
    layout.separate = directory.find(PlanarConfig) && directory.scalar(PlanarConfig, 16) == 2;
    return true;
}

// The compression, and for LERC the Deflate or Zstandard layer its
// parameters name.
bool TiffCheck::readCompression(const Directory &directory)
{
    const std::uint64_t code = directory.find(CompressionTag)
        ? directory.perSample(CompressionTag, layout.samples).value_or(~std::uint64_t {0})
        : 1;
    compression = compressionOf(code);
    if (!compression) {
        refusal = "unknown format: a TIFF compressed with scheme " + std::to_string(code) +
            ", whose cost is not modelled";
        return false;
    }
    secondsPerByte = compression->secondsPerByte;
    const Entry *parameters = directory.find(LercParameters);
    if (code == LercCompression && parameters) {
        const auto values = directory.integers(*parameters, 2);
        const std::uint64_t layer = values && values->size() == 2 ? values->back() : 0;
        if (layer > 2)
            return refuse("LERC parameters libtiff does not take");
        if (layer != 0)
            secondsPerByte +=
                compressionOf(layer == 1 ? DeflateCompression : ZstdCompression)->secondsPerByte;
    }
    return true;
}

// Strips are tiles as wide as the picture; RowsPerStrip of 0, or the
// largest, means one strip.
bool TiffCheck::readPieces(const Directory &directory)
{
    layout.tiled = directory.find(TileWidth) || directory.find(TileLength);
    layout.pieceWidth = layout.width;
    layout.pieceHeight = layout.height;
    if (layout.tiled) {
        const auto across = directory.scalar(TileWidth, 32);
        const auto down = directory.scalar(TileLength, 32);
        if (!across || !down || *across == 0 || *down == 0)
            return refuse("tiles of no size it can read");
        layout.pieceWidth = *across;
        layout.pieceHeight = *down;
    } else if (directory.find(RowsPerStrip)) {
        const auto rows = directory.scalar(RowsPerStrip, 32);
        if (!rows || *rows == 0)
            return refuse("rows per strip it cannot read");
        layout.pieceHeight = std::min(*rows, layout.height);
    }
    if (layout.pieceWidth > MaxTileSide || layout.pieceHeight > MaxTileSide ||
        saturatingProduct(saturatingProduct(layout.pieceWidth, layout.pieceHeight),
            layout.samples * std::max<std::uint64_t>(1, layout.bits / 8)) >= MaxTileBytes)
        return refuse("a tile or strip larger than OpenCV reads");
    const std::uint64_t pieces = layout.pieces();
    offsetsEntry = directory.find(layout.tiled ? TileOffsets : StripOffsets);
    countsEntry = directory.find(layout.tiled ? TileByteCounts : StripByteCounts);
    if (!offsetsEntry || !countsEntry || offsetsEntry->count < pieces ||
        countsEntry->count < pieces)
        return refuse("fewer strip or tile offsets and byte counts than pieces");
    return true;
}

// Every piece lies in the file, and JPEG pieces are walked as streams: in one
// pass, with the offsets and byte counts read as it goes.
bool TiffCheck::walkPieces(const Directory &directory)
{
    const std::uint64_t pieces = layout.pieces();
    EntryValues offsets(directory, *offsetsEntry, pieces);
    EntryValues counts(directory, *countsEntry, pieces);
    const bool jpeg = compression->code == JpegCompression;
    ByteReader reader(file, 0, 0);
    for (std::uint64_t piece = 0; piece < pieces; ++piece) {
        const std::optional<std::uint64_t> at = offsets.next();
        const std::optional<std::uint64_t> count = counts.next();
        if (!at || !count)
            return refuse("strip or tile offsets it cannot read");
        if (*count == 0 || *at >= file.size())
            return refuse("a strip or tile outside the file");
        if (jpeg && !walkJpegPiece(reader, *at, std::min(*count, file.size() - *at)))
            return false;
    }
    return true;
}

// libtiff hands each piece to libjpeg as a stream of its own. A piece that
// starts with the same bytes as the last one-scan stream walked, up to the
// end of its scan's header, costs what that one did but for its coded data:
// tiles of one picture are read once.
bool TiffCheck::walkJpegPiece(ByteReader &reader, std::uint64_t at, std::uint64_t size)
{
    reader.moveTo(at, at + size);
    if (!jpegHeader.empty() && jpegHeader.size() <= size && reader.startsWith(jpegHeader)) {
        const double data = (double(size) - double(jpegSize)) * jpegSecondsPerByte;
        jpegSeconds += jpegLast.seconds + data;
        jpegPlainSeconds += jpegLast.plainSeconds + data;
        jpegHonestBytes += jpegLast.honestBytes;
        return true;
    }
    jpegWalked += size;
    if (jpegWalked > MaxWalkedPerFileByte * file.size() + (1 << 20))
        return refuse("JPEG strips that overlap over and over");
    jpegLast = walkJpegStream(reader, at, at + size);
    if (!jpegLast.refusal.empty()) {
        refusal = "in a TIFF strip or tile, " + jpegLast.refusal;
        return false;
    }
    const auto &details = std::any_cast<const JpegDetails &>(jpegLast.details);
    jpegSeconds += jpegLast.seconds;
    jpegPlainSeconds += jpegLast.plainSeconds;
    jpegHonestBytes += jpegLast.honestBytes;
    jpegBuffers = std::max(jpegBuffers, details.coefficientBytes);
    jpegHeader.clear();
    jpegSize = size;
    jpegSecondsPerByte = details.secondsPerByte;
    if (details.headerLength != 0) {
        reader.moveTo(at, at + details.headerLength);
        reader.take(static_cast<std::size_t>(details.headerLength), jpegHeader);
    }
    return true;
}

Assessment TiffCheck::price(const Directory &directory) const
{
    Assessment assessment;
    assessment.width = layout.width;
    assessment.height = layout.height;
    const double pixels = double(layout.width) * double(layout.height);
    const double converting = pixels * SecondsPerConvertedPixel;
    const bool jpeg = compression->code == JpegCompression;
    assessment.seconds = (jpeg ? jpegSeconds : double(layout.decodedBytes()) * secondsPerByte) +
        double(layout.pieces()) * SecondsPerStrip +
        layout.convertedPixels() * SecondsPerConvertedPixel;
    assessment.plainSeconds =
        (jpeg ? jpegPlainSeconds
              : pixels * double(layout.samples) * double(layout.bits) / 8 * secondsPerByte) +
        converting;
    // Pieces that share their bytes are as hollow as missing ones: an honest
    // file's size is compared with what all of them need.
    assessment.honestBytes = jpeg     ? jpegHonestBytes
        : compression->bestRatio == 0 ? 0
                                      : layout.decodedBytes() / compression->bestRatio;
    // The picture, turned once for the last four orientations; OpenCV's RGBA
    // buffer, the decoded piece as libtiff and its codec hold it, and
    // libjpeg's coefficients.
    const bool turned = directory.scalar(Orientation, 16).value_or(1) >= 5;
    assessment.memory = bgrBytes(layout.width, layout.height) * (turned ? 2 : 1) +
        saturatingProduct(saturatingProduct(layout.pieceWidth, layout.pieceHeight), 4) +
        saturatingProduct(layout.pieceBytes(), 1 + compression->piecesHeld) + jpegBuffers;
    return assessment;
}

Assessment TiffCheck::inspect()
{
    const std::string_view start = file.start();
    const ByteOrder order = start[0] == 'I' ? ByteOrder::Little : ByteOrder::Big;
    const bool big = unsignedAt(start, 2, 2, order) == 43;
    if (start.size() < (big ? 16U : 8U) ||
        (big && (unsignedAt(start, 4, 2, order) != 8 || unsignedAt(start, 6, 2, order) != 0)))
        return Assessment::refused("unreadable TIFF: a header cut short");
    Directory directory(file, order, big);
    const std::string why = directory.read(unsignedAt(start, big ? 8 : 4, big ? 8 : 4, order));
    if (!why.empty())
        return Assessment::refused("unreadable TIFF: " + why);
    if (!readPicture(directory) || !readCompression(directory) || !readPieces(directory) ||
        !walkPieces(directory))
        return Assessment::refused(refusal);
    return price(directory);
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    return TiffCheck(file).inspect();
}

} // namespace

extern const Format TiffFormat = {"TIFF", matches, inspect, loadOpenCv, decodeWithOpenCv};
