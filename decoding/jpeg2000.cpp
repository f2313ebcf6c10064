// JPEG 2000, as a JP2 file or a bare codestream: OpenJPEG, through OpenCV,
// in the OpenCV codec module, loaded at the first decode. OpenJPEG builds
// structures for every tile, resolution, precinct and code-block before it
// reads a packet, so its cost follows the coding parameters (COD, COC, in the
// main header and in tile-part headers) as much as the pixels.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/isobox.h"
#include "decoding/opencvmodule.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds and bytes for each tile, precinct,
// code-block and packet OpenJPEG walks, seconds a sample for the inverse
// wavelet transform and the conversion to BGR, and a byte of coded data.
constexpr double SecondsPerTile = 11.5e-6;
constexpr double SecondsPerPrecinct = 1.9e-6;
constexpr double SecondsPerCodeBlock = 0.51e-6;
constexpr double SecondsPerPacket = 70e-9;
constexpr double SecondsPerSample = 11.4e-9;
constexpr double SecondsPerDataByte = 168e-9;
constexpr std::uint64_t BytesPerTile = 12288;
constexpr std::uint64_t BytesPerPrecinct = 500;
constexpr std::uint64_t BytesPerCodeBlock = 400;
constexpr std::uint64_t BytesPerPacket = 7;
// The whole picture's samples, 32 bits each, with the tile's and the BGR picture.
constexpr double BytesPerSample = 5.2;

// OpenJPEG's limits: 33 resolutions, 65535 tiles, code-blocks of at most
// 2^10 a side and 2^12 samples.
constexpr int MaxResolutions = 33;
constexpr std::uint64_t MaxTiles = 65535;
// More tile-parts than this are not walked.
constexpr std::uint64_t MaxTileParts = std::uint64_t {1} << 20;
// A tile-part's SOT marker segment and its SOD marker.
constexpr double TileMarkerBytes = 12 + 2;
// More boxes than any JP2 file has; a longer chain is not followed.
constexpr int MaxBoxes = 1024;

constexpr int Soc = 0xff4f;
constexpr int Siz = 0xff51;
constexpr int Cod = 0xff52;
constexpr int Coc = 0xff53;
constexpr int Sot = 0xff90;
constexpr int Sod = 0xff93;
constexpr int Eoc = 0xffd9;

// Markers that may stand in a main or tile-part header, besides COD and COC:
// CAP, TLM, PLM, PLT, QCD, QCC, RGN, POC, PPM, PPT, CRG, COM.
bool isKnownSegment(int marker)
{
    const std::array<int, 12> known = {0xff50, 0xff55, 0xff57, 0xff58, 0xff5c, 0xff5d, 0xff5e,
        0xff5f, 0xff60, 0xff61, 0xff63, 0xff64};
    return std::find(known.begin(), known.end(), marker) != known.end();
}

struct CodingStyle
{
    int resolutions = 1;
    int layers = 1;
    int blockWidth = 6; // exponents
    int blockHeight = 6;
    std::array<int, MaxResolutions> precinctWidth {};
    std::array<int, MaxResolutions> precinctHeight {};
};

// SPcod or SPcoc as OpenJPEG reads them: decomposition levels, code-block
// sizes and style, transform, then precinct sizes where `precincts` says so.
bool readStyleParameters(
    std::string_view bytes, bool precincts, CodingStyle &style, std::string &why)
{
    if (bytes.size() < 5) {
        why = "coding style parameters cut short";
        return false;
    }
    style.resolutions = static_cast<unsigned char>(bytes[0]) + 1;
    style.blockWidth = static_cast<unsigned char>(bytes[1]) + 2;
    style.blockHeight = static_cast<unsigned char>(bytes[2]) + 2;
    if (style.resolutions > MaxResolutions || style.blockWidth > 10 || style.blockHeight > 10 ||
        style.blockWidth + style.blockHeight > 12 || static_cast<unsigned char>(bytes[4]) > 1) {
        why = "coding style parameters OpenJPEG refuses";
        return false;
    }
    for (int r = 0; r < style.resolutions; ++r) {
        style.precinctWidth[static_cast<std::size_t>(r)] = 15;
        style.precinctHeight[static_cast<std::size_t>(r)] = 15;
    }
    if (precincts) {
        if (bytes.size() < 5 + static_cast<std::size_t>(style.resolutions)) {
            why = "precinct sizes cut short";
            return false;
        }
        for (int r = 0; r < style.resolutions; ++r) {
            const auto value = static_cast<unsigned char>(bytes[5 + static_cast<std::size_t>(r)]);
            const int across = value & 0x0f;
            const int down = value >> 4;
            if (r != 0 && (across == 0 || down == 0)) {
                why = "a precinct size OpenJPEG refuses";
                return false;
            }
            style.precinctWidth[static_cast<std::size_t>(r)] = across;
            style.precinctHeight[static_cast<std::size_t>(r)] = down;
        }
    }
    return true;
}

struct Picture
{
    std::uint64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0; // the reference grid's picture area
    std::uint64_t tileX0 = 0, tileY0 = 0, tileWidth = 0, tileHeight = 0;
    int components = 0;
    std::uint64_t tilesAcross = 0, tilesDown = 0;
};

// Coding styles in force: the main header's, and a tile's own where its
// first tile-part header has COD or COC.
struct Styles
{
    bool haveDefault = false;
    CodingStyle defaults;
    std::map<int, CodingStyle> components;

    CodingStyle of(int component) const
    {
        const auto found = components.find(component);
        return found == components.end() ? defaults : found->second;
    }
};

// Applies a COD or COC segment (without its marker and length) to `styles`.
bool applySegment(
    int marker, std::string_view segment, const Picture &picture, Styles &styles, std::string &why)
{
    if (marker == Cod) {
        if (segment.size() < 5) {
            why = "a COD segment cut short";
            return false;
        }
        const int scod = static_cast<unsigned char>(segment[0]);
        CodingStyle style;
        style.layers = static_cast<int>(unsignedAt(segment, 2, 2, ByteOrder::Big));
        if (style.layers == 0) {
            why = "no quality layers";
            return false;
        }
        if (!readStyleParameters(segment.substr(5), (scod & 1) != 0, style, why))
            return false;
        styles.defaults = style;
        styles.haveDefault = true;
        styles.components.clear(); // a COD replaces earlier COC in the same header
        return true;
    }
    // COC: the component, one byte or two, then Scoc and SPcoc.
    const std::size_t indexBytes = picture.components < 257 ? 1 : 2;
    if (!styles.haveDefault || segment.size() < indexBytes + 1) {
        why = "a COC segment before COD, or cut short";
        return false;
    }
    const int component = static_cast<int>(unsignedAt(segment, 0, indexBytes, ByteOrder::Big));
    if (component >= picture.components) {
        why = "a COC segment for a component the picture does not have";
        return false;
    }
    CodingStyle style = styles.defaults;
    const int scoc = static_cast<unsigned char>(segment[indexBytes]);
    if (!readStyleParameters(segment.substr(indexBytes + 1), (scoc & 1) != 0, style, why))
        return false;
    styles.components[component] = style;
    return true;
}

std::uint64_t ceilDivPow2(std::uint64_t value, int exponent)
{
    return (value + (std::uint64_t {1} << exponent) - 1) >> exponent;
}

// What OpenJPEG builds and walks for one tile-component.
struct Structures
{
    double precincts = 0;
    double codeBlocks = 0;
    double packets = 0;
};

void countTileComponent(std::uint64_t x0, std::uint64_t y0, std::uint64_t x1, std::uint64_t y1,
    const CodingStyle &style, Structures &count)
{
    const int levels = style.resolutions - 1;
    for (int r = 0; r < style.resolutions; ++r) {
        const int down = levels - r;
        const std::uint64_t rx0 = ceilDivPow2(x0, down);
        const std::uint64_t ry0 = ceilDivPow2(y0, down);
        const std::uint64_t rx1 = ceilDivPow2(x1, down);
        const std::uint64_t ry1 = ceilDivPow2(y1, down);
        if (rx1 <= rx0 || ry1 <= ry0)
            continue;
        const int ppx = style.precinctWidth[static_cast<std::size_t>(r)];
        const int ppy = style.precinctHeight[static_cast<std::size_t>(r)];
        const double across = double(ceilDivPow2(rx1, ppx) - (rx0 >> ppx));
        const double downward = double(ceilDivPow2(ry1, ppy) - (ry0 >> ppy));
        const double precincts = across * downward;
        // Code-blocks never cross a precinct, so each precinct's bands hold
        // at least one; beyond that, the band's area in code-blocks.
        const int cbw = std::min(style.blockWidth, r == 0 ? ppx : ppx - 1);
        const int cbh = std::min(style.blockHeight, r == 0 ? ppy : ppy - 1);
        const int bands = r == 0 ? 1 : 3;
        const double bandWidth = r == 0 ? double(rx1 - rx0) : double(rx1 - rx0) / 2 + 1;
        const double bandHeight = r == 0 ? double(ry1 - ry0) : double(ry1 - ry0) / 2 + 1;
        const double blocks = std::max(bandWidth / double(std::uint64_t {1} << cbw), across) *
            std::max(bandHeight / double(std::uint64_t {1} << cbh), downward);
        count.precincts += precincts;
        count.codeBlocks += blocks * bands;
        count.packets += precincts * style.layers;
    }
}

// A codestream in [begin, end) walked as OpenJPEG reads it: SIZ, the main
// header, and every tile-part header.
class CodestreamWalk
{
public:
    CodestreamWalk(const FileBytes &file, std::uint64_t begin, std::uint64_t end)
        : in(file, begin, end), begin(begin), end(std::min(end, file.size()))
    { }

    Assessment walk(const DecodeLimits &limits);

private:
    bool refuse(const std::string &why)
    {
        refusal = "unreadable JPEG 2000: " + why;
        return false;
    }
    int marker();
    bool readSegment();
    std::uint64_t field(std::size_t offset, std::size_t size) const
    {
        return bigEndianAt(segment, offset, size);
    }
    bool readSiz();
    bool readMainHeader();
    bool readTileParts();
    bool readTilePartHeader(std::uint64_t tile, std::uint64_t part, bool first);
    Assessment price(const DecodeLimits &limits) const;

    ByteReader in;
    std::uint64_t begin;
    std::uint64_t end;
    std::string refusal;
    std::string segment;
    int next = 0; // the marker read last
    Picture picture;
    Styles main;
    std::map<std::uint64_t, Styles> tileStyles; // tiles with styles of their own
    std::set<std::uint64_t> present; // tiles with a tile-part
};

int CodestreamWalk::marker()
{
    const int high = in.next();
    const int low = in.next();
    next = low < 0 ? -1 : high << 8 | low;
    return next;
}

bool CodestreamWalk::readSegment()
{
    const int high = in.next();
    const int low = in.next();
    if (low < 0)
        return false;
    const int length = high << 8 | low;
    return length >= 2 && in.take(static_cast<std::size_t>(length - 2), segment);
}

Assessment CodestreamWalk::walk(const DecodeLimits &limits)
{
    if (marker() != Soc || marker() != Siz || !readSegment())
        refuse("no SIZ segment first");
    else if (readSiz() && readMainHeader() && readTileParts())
        return price(limits);
    return Assessment::refused(refusal);
}

// SIZ: capabilities, grid and tile sizes and origins, then the components.
bool CodestreamWalk::readSiz()
{
    if (segment.size() < 36)
        return refuse("a SIZ segment cut short");
    picture.x1 = field(2, 4);
    picture.y1 = field(6, 4);
    picture.x0 = field(10, 4);
    picture.y0 = field(14, 4);
    picture.tileWidth = field(18, 4);
    picture.tileHeight = field(22, 4);
    picture.tileX0 = field(26, 4);
    picture.tileY0 = field(30, 4);
    picture.components = static_cast<int>(field(34, 2));
    if (segment.size() != 36 + 3 * static_cast<std::size_t>(picture.components))
        return refuse("a SIZ segment whose length disagrees with its components");
    if (picture.x1 <= picture.x0 || picture.y1 <= picture.y0 || picture.tileWidth == 0 ||
        picture.tileHeight == 0 || picture.tileX0 > picture.x0 || picture.tileY0 > picture.y0 ||
        picture.tileX0 + picture.tileWidth <= picture.x0 ||
        picture.tileY0 + picture.tileHeight <= picture.y0)
        return refuse("a grid OpenJPEG refuses");
    // OpenCV shows unsigned components of 8 bits or more, one to four of
    // them, all at full size, on a grid that starts at 0; it refuses
    // anything else only after the whole decode.
    if (picture.x0 != 0 || picture.y0 != 0 || picture.components < 1 || picture.components > 4)
        return refuse("a picture OpenCV does not take");
    for (int c = 0; c < picture.components; ++c) {
        const std::size_t component = 36 + 3 * static_cast<std::size_t>(c);
        const int precision = (static_cast<unsigned char>(segment[component]) & 0x7f) + 1;
        const bool isSigned = (static_cast<unsigned char>(segment[component]) & 0x80) != 0;
        if (isSigned || precision < 8 || precision > 31 || segment[component + 1] != 1 ||
            segment[component + 2] != 1)
            return refuse("a component OpenCV does not take");
    }
    picture.tilesAcross = divideRoundingUp(picture.x1 - picture.tileX0, picture.tileWidth);
    picture.tilesDown = divideRoundingUp(picture.y1 - picture.tileY0, picture.tileHeight);
    if (picture.tilesAcross * picture.tilesDown > MaxTiles)
        return refuse("more tiles than OpenJPEG takes");
    return true;
}

// The main header, up to the first tile-part.
bool CodestreamWalk::readMainHeader()
{
    std::string why;
    for (marker(); next != Sot; marker()) {
        if (next < 0 || next == Eoc)
            return refuse("no tile-part");
        if (!readSegment())
            return refuse("a main header segment cut short");
        if (next == Cod || next == Coc) {
            if (!applySegment(next, segment, picture, main, why))
                return refuse(why);
        } else if (!isKnownSegment(next)) {
            return refuse("a main header marker OpenJPEG does not know");
        }
    }
    return main.haveDefault || refuse("no COD segment");
}

// Tile-parts: SOT, their header, then data up to the next, by Psot.
bool CodestreamWalk::readTileParts()
{
    const std::uint64_t tiles = picture.tilesAcross * picture.tilesDown;
    std::uint64_t parts = 0;
    std::uint64_t sot = in.offset() - 2;
    while (next == Sot) {
        if (++parts > MaxTileParts)
            return refuse("more tile-parts than are walked");
        if (!readSegment() || segment.size() != 8)
            return refuse("a tile-part header cut short");
        const std::uint64_t tile = field(0, 2);
        const std::uint64_t length = field(2, 4);
        const std::uint64_t part = field(6, 1);
        if (tile >= tiles || (length != 0 && length < 14))
            return refuse("a tile-part OpenJPEG refuses");
        if (!readTilePartHeader(tile, part, present.insert(tile).second))
            return false;
        if (length == 0)
            break; // the last tile-part runs to the end of the codestream
        sot += length;
        if (sot + 2 > end)
            break;
        // The next tile-part starts where this one's length says, whatever
        // its header read.
        if (sot >= in.offset())
            in.skip(sot - in.offset());
        else
            in.moveTo(sot, end);
        if (marker() == Eoc || next < 0)
            break;
    }
    return true;
}

// A tile-part's header up to its data: coding styles of the tile's own in
// its first part only.
bool CodestreamWalk::readTilePartHeader(std::uint64_t tile, std::uint64_t part, bool first)
{
    const auto own = tileStyles.find(tile);
    Styles styles = first || own == tileStyles.end() ? main : own->second;
    bool ownStyle = false;
    std::string why;
    for (marker(); next != Sod; marker()) {
        if (next < 0)
            return refuse("a tile-part header cut short");
        if (!readSegment())
            return refuse("a tile-part header segment cut short");
        if (next == Cod || next == Coc) {
            if (part != 0)
                return refuse("coding styles after a tile's first part");
            if (!applySegment(next, segment, picture, styles, why))
                return refuse(why);
            ownStyle = true;
        } else if (!isKnownSegment(next)) {
            return refuse("a tile-part header marker OpenJPEG does not know");
        }
    }
    if (ownStyle)
        tileStyles[tile] = styles;
    return true;
}

// OpenJPEG sets up every tile and decodes those that are present.
Assessment CodestreamWalk::price(const DecodeLimits &limits) const
{
    Structures count;
    double samples = 0;
    for (const std::uint64_t tile : present) {
        const std::uint64_t column = tile % picture.tilesAcross;
        const std::uint64_t row = tile / picture.tilesAcross;
        const std::uint64_t x0 = std::max(picture.x0, picture.tileX0 + column * picture.tileWidth);
        const std::uint64_t y0 = std::max(picture.y0, picture.tileY0 + row * picture.tileHeight);
        const std::uint64_t x1 =
            std::min(picture.x1, picture.tileX0 + (column + 1) * picture.tileWidth);
        const std::uint64_t y1 =
            std::min(picture.y1, picture.tileY0 + (row + 1) * picture.tileHeight);
        const auto own = tileStyles.find(tile);
        const Styles &styles = own == tileStyles.end() ? main : own->second;
        for (int c = 0; c < picture.components; ++c)
            countTileComponent(x0, y0, x1, y1, styles.of(c), count);
        samples += double(x1 - x0) * double(y1 - y0) * picture.components;
    }
    // The plainest honest codestream of the same picture: one tile, the
    // largest precincts, 64 x 64 code-blocks, one layer.
    Structures plain;
    CodingStyle simple;
    simple.resolutions = main.defaults.resolutions;
    for (int r = 0; r < simple.resolutions; ++r) {
        simple.precinctWidth[static_cast<std::size_t>(r)] = 15;
        simple.precinctHeight[static_cast<std::size_t>(r)] = 15;
    }
    for (int c = 0; c < picture.components; ++c)
        countTileComponent(picture.x0, picture.y0, picture.x1, picture.y1, simple, plain);
    const double pictureSamples =
        double(picture.x1 - picture.x0) * double(picture.y1 - picture.y0) * picture.components;

    const double tiles = double(picture.tilesAcross * picture.tilesDown);
    const double data = double(end - begin) * SecondsPerDataByte;
    const auto seconds = [&](const Structures &s, double tileCount, double sampleCount) {
        return tileCount * SecondsPerTile + s.precincts * SecondsPerPrecinct +
            s.codeBlocks * SecondsPerCodeBlock + s.packets * SecondsPerPacket +
            sampleCount * SecondsPerSample;
    };
    Assessment assessment;
    assessment.width = picture.x1 - picture.x0;
    assessment.height = picture.y1 - picture.y0;
    // OpenJPEG keeps every sample as a 32-bit number, twice: an eighth of
    // the pixels the other decoders take.
    assessment.pixelLimit = limits.pixels / 8;
    assessment.seconds = seconds(count, tiles, std::max(samples, pictureSamples)) + data;
    assessment.plainSeconds = seconds(plain, 1, pictureSamples) + data;
    // Every packet's header ends on a byte boundary, so even an empty one's
    // takes a byte; every tile starts with its SOT and SOD markers.
    assessment.honestBytes = saturatingCount(count.packets + tiles * TileMarkerBytes);
    assessment.memory = saturatingCount(pictureSamples * BytesPerSample + tiles * BytesPerTile +
        count.precincts * BytesPerPrecinct + count.codeBlocks * BytesPerCodeBlock +
        count.packets * BytesPerPacket + double(end - begin));
    return assessment;
}

Assessment inspectCodestream(const FileBytes &file, const DecodeLimits &limits)
{
    return CodestreamWalk(file, 0, file.size()).walk(limits);
}

std::optional<IsoBox> boxAt(const FileBytes &file, std::uint64_t offset, std::uint64_t limit)
{
    return isoBoxAt(file.read(offset, 16), offset, limit);
}

// Whether a JP2 header box holds a palette that turns a component into more
// than four, which OpenCV does not show.
bool widePalette(const FileBytes &file, const IsoBox &header)
{
    std::uint64_t offset = header.contents;
    for (int children = 0; children < MaxBoxes && offset < header.end; ++children) {
        const std::optional<IsoBox> child = boxAt(file, offset, header.end);
        if (!child)
            break;
        if (child->type == "pclr") {
            const std::string columns = file.read(child->contents + 2, 1);
            if (columns.size() != 1 || static_cast<unsigned char>(columns[0]) > 4)
                return true;
        }
        offset = child->end;
    }
    return false;
}

// A JP2 file: its boxes up to the codestream box, whose codestream decides.
Assessment inspectJp2(const FileBytes &file, const DecodeLimits &limits)
{
    std::uint64_t offset = 0;
    for (int boxes = 0; boxes < MaxBoxes && offset < file.size(); ++boxes) {
        const std::optional<IsoBox> box = boxAt(file, offset, file.size());
        if (!box)
            break;
        if (box->type == "jp2h" && widePalette(file, *box))
            return Assessment::refused(
                "unreadable JPEG 2000: a palette of more than four colours a pixel");
        if (box->type == "jp2c")
            return CodestreamWalk(file, box->contents, box->end).walk(limits);
        offset = box->end;
    }
    return Assessment::refused("unreadable JPEG 2000: no codestream box");
}

} // namespace

using namespace std::string_view_literals;
extern const Format Jp2Format = {"JPEG 2000",
    [](std::string_view s) { return startsWith(s, "\0\0\0\x0cjP  \r\n\x87\n"sv); }, inspectJp2,
    loadOpenCv, decodeWithOpenCv};
extern const Format J2kFormat = {"JPEG 2000 codestream",
    [](std::string_view s) { return startsWith(s, "\xff\x4f\xff\x51"); }, inspectCodestream,
    loadOpenCv, decodeWithOpenCv};
