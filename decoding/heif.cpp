// HEIF (HEIC) and AVIF: libheif, for neither OpenCV here decodes HEIC,
// loaded at the first decode (it takes 10 to 20 ms to load). Before anything
// is decoded, every picture libheif would decode for the primary image is
// found as libheif finds it (tiles, alpha and depth images, grids of grids)
// and sized from its own stream (HEVC's sequence parameter sets, AV1's
// sequence headers), which must agree with the size its boxes declare.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/heifmeta.h"
#include "decoding/sharedlibrary.h"
#include "decoding/videostreams.h"

#if __has_include(<libheif/heif.h>) && defined(MORVASTEL_LIBHEIF)
#include <libheif/heif.h>
#include <opencv2/imgproc.hpp>
#define MORVASTEL_HAVE_LIBHEIF 1
// Limits beyond the largest side: pixels, tiles, items, children, memory.
#define MORVASTEL_HEIF_SECURITY_LIMITS (LIBHEIF_NUMERIC_VERSION >= ((1 << 24) | (19 << 16)))
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <set>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a coded pixel decoded by libde265
// (HEVC) or the AV1 decoder and turned into 8-bit RGB, a byte of coded data
// on top, and a tile set up and placed into its grid.
constexpr double SecondsPerHevcPixel = 88e-9;
constexpr double SecondsPerHevcByte = 39e-9;
constexpr double SecondsPerAv1Pixel = 28e-9;
constexpr double SecondsPerAv1Byte = 92e-9;
constexpr double SecondsPerTile = 60e-6;
// Memory: for the picture shown, the decoded planes (up to 16-bit 4:4:4),
// the interleaved RGB picture, one more while it is turned, and the BGR
// picture handed on; for each coded picture a decoder holds at once, its
// planes and reference pictures.
constexpr std::uint64_t BytesPerShownPixel = 6 + 3 + 3 + 3;
constexpr std::uint64_t BytesPerCodedPixel = 6;
// libheif decodes up to four tiles at once, and a decoder keeps at most
// sixteen pictures.
constexpr std::uint64_t TilesAtOnce = 4;
constexpr std::uint64_t PicturesKept = 16;

// The brands of files libheif reads as HEIF still images, and as AVIF.
constexpr std::array<std::string_view, 10> Brands = {
    "heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"};

// A still image codes one picture; libheif decodes at most eight.
constexpr std::uint64_t MaxPictures = 8;
// Deeper than any honest file: a grid's tiles and their alpha images.
constexpr int MaxNesting = 8;
// Parameter sets and sequence headers longer than this are not read.
constexpr std::size_t MaxHeaderUnit = std::size_t {64} * 1024;
// Item data walked more than this many times the file's size is data that
// items share over and over.
constexpr std::uint64_t MaxWalkedPerFileByte = 4;

// The ftyp box first, naming a HEIF brand as its major or compatible brand.
bool matches(std::string_view start)
{
    if (start.size() < 16 || start.substr(4, 4) != "ftyp")
        return false;
    const std::uint64_t size = bigEndianAt(start, 0, 4);
    if (size < 16)
        return false;
    const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(size, start.size()));
    for (std::size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) { // skipping the minor version
        if (std::find(Brands.begin(), Brands.end(), start.substr(at, 4)) != Brands.end())
            return true;
    }
    return false;
}

bool isImage(const std::string &type)
{
    return type == "hvc1" || type == "av01" || type == "grid" || type == "iden" || type == "iovl" ||
        type == "vvc1";
}

struct Size
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;

    bool operator==(const Size &other) const
    {
        return width == other.width && height == other.height;
    }
    bool operator!=(const Size &other) const { return !(*this == other); }
    std::uint64_t pixels() const { return saturatingProduct(width, height); }
};

std::string text(const Size &size)
{
    return std::to_string(size.width) + " x " + std::to_string(size.height);
}

// What decoding an item costs, with everything decoding it brings: its
// tiles, however often they are named, and its alpha and depth images.
struct Cost
{
    double seconds = 0;
    double decodedPixels = 0;
    std::uint64_t largestCoded = 0; // pixels of the largest coded picture
    std::uint64_t longestCodedSide = 0;
    std::uint64_t mostPictures = 1; // in any one item
    std::uint64_t tilesAtOnce = 1;

    void add(const Cost &other)
    {
        seconds += other.seconds;
        decodedPixels += other.decodedPixels;
        largestCoded = std::max(largestCoded, other.largestCoded);
        longestCodedSide = std::max(longestCodedSide, other.longestCodedSide);
        mostPictures = std::max(mostPictures, other.mostPictures);
        tilesAtOnce = std::max(tilesAtOnce, other.tilesAtOnce);
    }
};

// What libheif is told, from the whole file: it checks every item against
// its limits, not only those it decodes.
struct HeifDetails
{
    std::uint64_t largestSide = 0; // of every image's extent and grid
    std::uint64_t largestPixels = 0; // of those, and of every coded picture decoded
    // Every picture the decode decodes, tiles as often as they are named:
    // libheif bounds them together, by the square of its largest side where
    // that is all it is told.
    std::uint64_t decodedPixels = 0;
    std::uint64_t mostTiles = 0;
    std::uint64_t items = 0;
    std::uint64_t mostChildren = 0;
    std::uint64_t memory = 0; // what the decode may take
};

// The check of one HEIF file: libheif's reading of its meta box, then the
// primary image's decode, priced picture by picture.
class HeifCheck
{
public:
    HeifCheck(const FileBytes &file, HeifMeta meta)
        : file(file), meta(std::move(meta)), reader(file, 0, 0)
    { }

    Assessment inspect();

private:
    bool refuse(const std::string &why)
    {
        if (refusal.empty())
            refusal = "unreadable HEIF: " + why;
        return false;
    }
    std::optional<Size> extent(const HeifItem &item) const;
    std::optional<Size> resolution(const HeifItem &item) const;
    std::optional<Size> resolutionOf(std::uint32_t id);
    void indexReferences();
    void assignAuxiliaries();
    bool price(std::uint32_t id, int depth, Cost &cost);
    bool priceCoded(std::uint32_t id, const HeifItem &item, Cost &cost);
    bool priceGrid(std::uint32_t id, const HeifItem &item, int depth, Cost &cost);
    bool readHevc(const HeifItem &item, Size declared, std::uint64_t &pictures, Size &coded);
    bool readAv1(const HeifItem &item, Size declared, std::uint64_t &pictures, Size &coded);
    bool agrees(const std::optional<CodedSize> &size, Size declared, Size &coded);
    const std::optional<std::vector<std::optional<CodedSize>>> &hevcConfigSizes(const IsoBox &hvcC);
    HeifDetails wholeFile();
    bool decodesAv1(std::uint32_t id) const;

    const FileBytes &file;
    HeifMeta meta;
    std::string refusal;
    std::map<std::uint32_t, const HeifReference *> tilesOf; // a grid's first dimg reference
    std::map<std::uint32_t, std::optional<Size>> resolutions;
    std::map<std::uint32_t, std::uint32_t> alpha; // an image's alpha image, as libheif assigns it
    std::map<std::uint32_t, std::uint32_t> depth;
    std::map<std::uint32_t, Cost> priced;
    std::set<std::uint32_t> pricing; // on the way down, to find cycles
    std::uint64_t walked = 0; // bytes of item data read
    std::uint64_t mostTiles = 0;
    ByteReader reader; // every item's data, through one buffer
    // The sizes of each hvcC's parameter sets, by where it lies: read once,
    // however many items share it. None where it is cut short.
    std::map<std::uint64_t, std::optional<std::vector<std::optional<CodedSize>>>> hevcConfigs;
};

const HeifItem *imageItem(const HeifMeta &meta, std::uint32_t id)
{
    const auto found = meta.items.find(id);
    return found == meta.items.end() || !isImage(found->second.type) ? nullptr : &found->second;
}

// The last ispe property, as libheif reads it.
std::optional<Size> HeifCheck::extent(const HeifItem &item) const
{
    const IsoBox *ispe = meta.property(item, "ispe");
    if (!ispe)
        return std::nullopt;
    const std::string_view contents = meta.contents(*ispe);
    if (contents.size() < 12)
        return std::nullopt;
    const Size size {bigEndianAt(contents, 4, 4), bigEndianAt(contents, 8, 4)};
    return size.width == 0 || size.height == 0 ? std::nullopt : std::optional(size);
}

// The size libheif gives an image: its extent, then its clean aperture and
// quarter turns, property by property.
std::optional<Size> HeifCheck::resolution(const HeifItem &item) const
{
    std::optional<Size> size;
    for (const std::size_t index : item.properties) {
        const IsoBox &property = meta.properties[index];
        const std::string_view contents = meta.contents(property);
        if (property.type == "ispe" && contents.size() >= 12) {
            size = Size {bigEndianAt(contents, 4, 4), bigEndianAt(contents, 8, 4)};
        } else if (size && property.type == "clap" && contents.size() >= 16) {
            const auto rounded = [&contents](std::size_t at) -> std::optional<std::uint64_t> {
                const std::uint64_t numerator = bigEndianAt(contents, at, 4);
                const std::uint64_t denominator = bigEndianAt(contents, at + 4, 4);
                if (denominator == 0 || numerator > INT32_MAX || denominator > INT32_MAX)
                    return std::nullopt;
                return (numerator + denominator / 2) / denominator;
            };
            const auto width = rounded(0);
            const auto height = rounded(8);
            if (!width || !height)
                return std::nullopt;
            size = Size {*width, *height};
        } else if (size && property.type == "irot" && !contents.empty() && (contents[0] & 1) != 0) {
            size = Size {size->height, size->width};
        }
    }
    return size && size->pixels() != 0 ? size : std::nullopt;
}

std::optional<Size> HeifCheck::resolutionOf(std::uint32_t id)
{
    const auto known = resolutions.find(id);
    if (known != resolutions.end())
        return known->second;
    const HeifItem *image = imageItem(meta, id);
    return resolutions[id] = image ? resolution(*image) : std::nullopt;
}

// The tiles of each grid: the first dimg reference from it, as libheif reads them.
void HeifCheck::indexReferences()
{
    for (const HeifReference &reference : meta.references) {
        if (reference.type == "dimg")
            tilesOf.emplace(reference.from, &reference);
    }
}

// Alpha and depth images as libheif attaches them: images in the order of
// their numbers, each one's auxl references in the order of the iref box; an
// alpha image of its master's size, the last one attached winning.
void HeifCheck::assignAuxiliaries()
{
    std::map<std::uint32_t, std::vector<const HeifReference *>> from;
    for (const HeifReference &reference : meta.references) {
        if (reference.type == "auxl" && reference.to.size() == 1)
            from[reference.from].push_back(&reference);
    }
    for (const auto &[id, references] : from) {
        const HeifItem *image = imageItem(meta, id);
        const IsoBox *auxC = image ? meta.property(*image, "auxC") : nullptr;
        if (!auxC)
            continue;
        const std::string_view contents = meta.contents(*auxC);
        const std::string_view type = contents.size() < 4
            ? std::string_view()
            : contents.substr(4, contents.find('\0', 4) - 4);
        const bool isAlpha = type == "urn:mpeg:avc:2015:auxid:1" ||
            type == "urn:mpeg:hevc:2015:auxid:1" ||
            type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
        const bool isDepth = type == "urn:mpeg:hevc:2015:auxid:2" ||
            type == "urn:mpeg:mpegB:cicp:systems:auxiliary:depth";
        for (const HeifReference *reference : references) {
            const std::uint32_t master = reference->to.front();
            const HeifItem *masterImage = imageItem(meta, master);
            if (!masterImage || master == id)
                continue;
            if (isAlpha && resolutionOf(id) == resolutionOf(master))
                alpha[master] = id;
            if (isDepth)
                depth[master] = id;
        }
    }
}

// What decoding an image costs, as libheif decodes it: a coded image, or a
// grid's tiles, and then its alpha and depth images. Each item is priced
// once, however often it is named; cycles, which would never end, and
// nesting deeper than any honest file are refused.
bool HeifCheck::price(std::uint32_t id, int depth, Cost &cost)
{
    const auto known = priced.find(id);
    if (known != priced.end()) {
        cost.add(known->second);
        return true;
    }
    const HeifItem *item = imageItem(meta, id);
    if (!item)
        return refuse("a picture that refers to an item that is no picture");
    if (depth > MaxNesting || !pricing.insert(id).second)
        return refuse("pictures that refer to each other in a circle, or nest too deep");
    Cost own;
    bool read = false;
    if (item->type == "hvc1" || item->type == "av01")
        read = priceCoded(id, *item, own);
    else if (item->type == "grid")
        read = priceGrid(id, *item, depth, own);
    else
        refusal = "unknown format: a HEIF picture of type " + item->type;
    for (const auto *auxiliaries : {&alpha, &this->depth}) {
        const auto found = auxiliaries->find(id);
        read = read && (found == auxiliaries->end() || price(found->second, depth + 1, own));
    }
    pricing.erase(id);
    if (!read)
        return false;
    priced[id] = own;
    cost.add(own);
    return true;
}

// A HEVC or AV1 image: every picture its stream codes, at the size its
// stream declares, which must be the size its extent declares.
bool HeifCheck::priceCoded(std::uint32_t, const HeifItem &item, Cost &cost)
{
    const std::optional<Size> declared = extent(item);
    if (!declared)
        return refuse("a picture of no size it can read");
    std::uint64_t pictures = 0;
    Size coded;
    const bool hevc = item.type == "hvc1";
    if (!(hevc ? readHevc(item, *declared, pictures, coded)
               : readAv1(item, *declared, pictures, coded)))
        return false;
    std::uint64_t bytes = 0;
    for (const HeifExtent &extent : item.extents)
        bytes = std::max(bytes, bytes + extent.length); // saturating
    walked += std::min<std::uint64_t>(bytes, file.size() + 1);
    if (walked > MaxWalkedPerFileByte * file.size() + (1 << 20))
        return refuse("pictures that share their data over and over");
    if (pictures > MaxPictures)
        return refuse("more than eight coded pictures in one image, which libheif refuses");
    pictures = std::max<std::uint64_t>(pictures, 1);
    const double pixels = double(pictures) * double(coded.pixels());
    cost.seconds += pixels * (hevc ? SecondsPerHevcPixel : SecondsPerAv1Pixel) +
        double(bytes) * (hevc ? SecondsPerHevcByte : SecondsPerAv1Byte);
    cost.decodedPixels += pixels;
    cost.largestCoded = std::max(cost.largestCoded, coded.pixels());
    cost.longestCodedSide = std::max({cost.longestCodedSide, coded.width, coded.height});
    cost.mostPictures = std::max(cost.mostPictures, pictures);
    return true;
}

// A grid: its output size and tiles from its data, the first dimg reference
// naming the tiles, each decoded as often as it is named.
bool HeifCheck::priceGrid(std::uint32_t id, const HeifItem &item, int depth, Cost &cost)
{
    HeifItemReader data(reader, meta, item);
    std::string header;
    data.take(4, header);
    const bool wide = header.size() == 4 && (header[1] & 1) != 0;
    std::string sides;
    data.take(wide ? 8 : 4, sides);
    if (header.size() != 4 || header[0] != 0 || sides.size() != (wide ? 8U : 4U))
        return refuse("a grid whose description it cannot read");
    const std::uint64_t rows = static_cast<unsigned char>(header[2]) + std::uint64_t {1};
    const std::uint64_t columns = static_cast<unsigned char>(header[3]) + std::uint64_t {1};
    const Size output {
        bigEndianAt(sides, 0, wide ? 4 : 2), bigEndianAt(sides, wide ? 4 : 2, wide ? 4 : 2)};
    // libheif's own encoder declares a turned grid's extent turned.
    const std::optional<Size> declared = extent(item);
    if (!declared)
        return refuse("a grid of no size it can read");
    if (*declared != output && *declared != Size {output.height, output.width})
        return refuse("a grid whose output is " + text(output) + " where its extent declares " +
            text(*declared));
    const auto dimg = std::find_if(
        meta.references.begin(), meta.references.end(), [id](const HeifReference &reference) {
            return reference.type == "dimg" && reference.from == id;
        });
    if (dimg == meta.references.end() || dimg->to.size() != rows * columns)
        return refuse("a grid without as many tiles as it declares");
    mostTiles = std::max(mostTiles, rows * columns);
    for (const std::uint32_t tile : dimg->to) {
        if (!price(tile, depth + 1, cost))
            return false;
    }
    cost.seconds += double(rows * columns) * SecondsPerTile;
    cost.tilesAtOnce = std::min(TilesAtOnce, rows * columns);
    return true;
}

// A parameter set or sequence header's size: the size the extent declares,
// after the stream's own cropping; the decoder's size is what it costs.
bool HeifCheck::agrees(const std::optional<CodedSize> &size, Size declared, Size &coded)
{
    if (!size)
        return refuse("a stream header it cannot read");
    if (Size {size->shownWidth, size->shownHeight} != declared)
        return refuse("a picture whose stream codes " +
            text({size->shownWidth, size->shownHeight}) + " where its extent declares " +
            text(declared));
    coded = Size {std::max(coded.width, size->width), std::max(coded.height, size->height)};
    return true;
}

// The sizes of the sequence parameter sets in hvcC's arrays.
const std::optional<std::vector<std::optional<CodedSize>>> &HeifCheck::hevcConfigSizes(
    const IsoBox &hvcC)
{
    const auto known = hevcConfigs.find(hvcC.contents);
    if (known != hevcConfigs.end())
        return known->second;
    auto &sizes = hevcConfigs[hvcC.contents];
    const std::string_view config = meta.contents(hvcC);
    if (config.size() < 23)
        return sizes;
    std::vector<std::optional<CodedSize>> found;
    std::size_t at = 23;
    for (int array = 0; array < static_cast<unsigned char>(config[22]); ++array) {
        if (config.size() - at < 3)
            return sizes;
        const std::uint64_t units = bigEndianAt(config, at + 1, 2);
        at += 3;
        for (std::uint64_t unit = 0; unit < units; ++unit) {
            if (config.size() - at < 2 || bigEndianAt(config, at, 2) > config.size() - at - 2)
                return sizes;
            const auto length = static_cast<std::size_t>(bigEndianAt(config, at, 2));
            const std::string_view nal = config.substr(at + 2, length);
            at += 2 + length;
            if (hevcUnitType(nal) == HevcSequenceParameterSet)
                found.push_back(hevcSequenceSize(nal));
        }
    }
    sizes = std::move(found);
    return sizes;
}

// hvcC's parameter sets, then the item's NAL units, each after a four-byte
// length as libheif hands them to libde265: every SPS read, every picture
// counted by its first slice.
bool HeifCheck::readHevc(const HeifItem &item, Size declared, std::uint64_t &pictures, Size &coded)
{
    const IsoBox *hvcC = meta.firstProperty(item, "hvcC");
    if (!hvcC)
        return refuse("a HEVC picture without its configuration");
    const auto &configured = hevcConfigSizes(*hvcC);
    if (!configured)
        return refuse("a HEVC configuration cut short");
    bool sequence = !configured->empty();
    for (const std::optional<CodedSize> &size : *configured) {
        if (!agrees(size, declared, coded))
            return false;
    }
    HeifItemReader data(reader, meta, item);
    std::string nal;
    while (!data.atEnd()) {
        std::uint64_t length = 0;
        for (int i = 0; i < 4; ++i) {
            const int byte = data.next();
            if (byte < 0)
                return refuse("a HEVC stream cut short");
            length = length << 8 | static_cast<unsigned>(byte);
        }
        // The header and the first bit of a slice, or a whole SPS.
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(length, 3));
        if (!data.take(head, nal))
            return refuse("a HEVC stream cut short");
        if (hevcUnitType(nal) == HevcSequenceParameterSet) {
            std::string rest;
            if (length > MaxHeaderUnit || !data.take(static_cast<std::size_t>(length) - head, rest))
                return refuse("a HEVC parameter set it cannot read");
            sequence = true;
            if (!agrees(hevcSequenceSize(nal + rest), declared, coded))
                return false;
            continue;
        }
        pictures += hevcStartsPicture(nal) ? 1 : 0;
        if (!data.skip(length - head))
            return refuse("a HEVC stream cut short");
    }
    if (data.outside())
        return refuse("picture data outside the file");
    return sequence || refuse("a HEVC picture without a sequence parameter set");
}

// av1C's OBUs, then the item's: every sequence header read, every frame
// counted.
bool HeifCheck::readAv1(const HeifItem &item, Size declared, std::uint64_t &pictures, Size &coded)
{
    const IsoBox *av1C = meta.firstProperty(item, "av1C");
    if (!av1C)
        return refuse("an AV1 picture without its configuration");
    const std::string_view config = meta.contents(*av1C);
    bool sequence = false;
    for (std::size_t at = 4; at < config.size();) {
        const std::optional<Av1ObuHeader> header = av1ObuHeader(config.substr(at, 10));
        const std::size_t left =
            header ? config.size() - at - std::min(header->length, config.size() - at) : 0;
        if (!header || header->length > config.size() - at || header->payload.value_or(left) > left)
            return refuse("an AV1 configuration cut short");
        const auto payload = static_cast<std::size_t>(header->payload.value_or(left));
        if (header->type == Av1SequenceHeader) {
            sequence = true;
            if (!agrees(
                    av1SequenceSize(config.substr(at + header->length, payload)), declared, coded))
                return false;
        }
        at += header->length + payload;
    }
    HeifItemReader data(reader, meta, item);
    std::string start;
    std::string payload;
    while (!data.atEnd()) {
        // The OBU header, its extension and its size field, byte by byte.
        start.clear();
        std::optional<Av1ObuHeader> header;
        while (!header && start.size() < 10) {
            const int byte = data.next();
            if (byte < 0)
                break;
            start.push_back(static_cast<char>(byte));
            header = av1ObuHeader(start);
        }
        if (!header || !header->payload)
            return refuse("an AV1 stream it cannot read");
        if (header->type == Av1SequenceHeader) {
            if (*header->payload > MaxHeaderUnit ||
                !data.take(static_cast<std::size_t>(*header->payload), payload))
                return refuse("an AV1 sequence header it cannot read");
            sequence = true;
            if (!agrees(av1SequenceSize(payload), declared, coded))
                return false;
            continue;
        }
        pictures += header->type == Av1Frame || header->type == Av1FrameHeader ? 1 : 0;
        if (!data.skip(*header->payload))
            return refuse("an AV1 stream cut short");
    }
    if (data.outside())
        return refuse("picture data outside the file");
    return sequence || refuse("an AV1 picture without a sequence header");
}

// The codec of the first coded picture the image decodes.
bool HeifCheck::decodesAv1(std::uint32_t id) const
{
    for (int depth = 0; depth <= MaxNesting; ++depth) {
        const HeifItem *item = imageItem(meta, id);
        const auto dimg = tilesOf.find(id);
        if (!item || item->type != "grid" || dimg == tilesOf.end() || dimg->second->to.empty())
            return item && item->type == "av01";
        id = dimg->second->to.front();
    }
    return false;
}

// What libheif checks in the whole file: every image's extent, every grid's
// output and tiles, every item.
HeifDetails HeifCheck::wholeFile()
{
    HeifDetails details;
    for (const auto &[id, item] : meta.items) {
        if (!isImage(item.type))
            continue;
        std::vector<Size> sizes;
        if (const std::optional<Size> declared = extent(item))
            sizes.push_back(*declared);
        if (item.type == "grid") {
            HeifItemReader data(reader, meta, item);
            std::string grid;
            data.take(12, grid);
            if (grid.size() >= 8) {
                const bool wide = (grid[1] & 1) != 0 && grid.size() == 12;
                details.mostTiles = std::max(details.mostTiles,
                    (static_cast<unsigned char>(grid[2]) + std::uint64_t {1}) *
                        (static_cast<unsigned char>(grid[3]) + std::uint64_t {1}));
                sizes.push_back({bigEndianAt(grid, 4, wide ? 4 : 2),
                    bigEndianAt(grid, wide ? 8 : 6, wide ? 4 : 2)});
            }
        }
        for (const Size &size : sizes) {
            details.largestSide = std::max({details.largestSide, size.width, size.height});
            details.largestPixels = std::max(details.largestPixels, size.pixels());
        }
    }
    details.items = meta.items.size();
    details.mostChildren = meta.mostChildren;
    return details;
}

Assessment HeifCheck::inspect()
{
    const HeifItem *primary = imageItem(meta, meta.primary);
    if (!meta.pictures || !primary)
        return Assessment::refused("unreadable HEIF: no primary picture");
    if (primary->type != "hvc1" && primary->type != "av01" && primary->type != "grid")
        return Assessment::refused("unknown format: a HEIF picture of type " + primary->type);
    const std::optional<Size> shown = resolution(*primary);
    if (!shown)
        return Assessment::refused("unreadable HEIF: a primary picture of no size it can read");
    indexReferences();
    assignAuxiliaries();
    Cost cost;
    if (!price(meta.primary, 0, cost))
        return Assessment::refused(refusal);

    Assessment assessment;
    assessment.width = shown->width;
    assessment.height = shown->height;
    const bool av1 = decodesAv1(meta.primary);
    const double data = double(file.size()) * (av1 ? SecondsPerAv1Byte : SecondsPerHevcByte);
    assessment.seconds = cost.seconds;
    // A flat picture codes in a few bytes in either codec: pixels alone bound it.
    assessment.plainSeconds =
        double(assessment.pixels()) * (av1 ? SecondsPerAv1Pixel : SecondsPerHevcPixel) + data;
    assessment.memory = saturatingProduct(assessment.pixels(), BytesPerShownPixel) +
        saturatingProduct(saturatingProduct(cost.largestCoded, BytesPerCodedPixel),
            cost.tilesAtOnce * std::min(cost.mostPictures, PicturesKept));
    HeifDetails details = wholeFile();
    // libheif holds the coded pictures to its limits too.
    details.largestSide = std::max(details.largestSide, cost.longestCodedSide);
    details.largestPixels = std::max(details.largestPixels, cost.largestCoded);
    details.decodedPixels = saturatingCount(cost.decodedPixels);
    details.mostTiles = std::max(details.mostTiles, mostTiles);
    details.memory = assessment.memory;
    assessment.details = details;
    return assessment;
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    std::string why;
    std::optional<HeifMeta> meta = readHeifMeta(file, why);
    if (!meta)
        return Assessment::refused("unreadable HEIF: " + why);
    return HeifCheck(file, std::move(*meta)).inspect();
}

// A file that starts as an ISO media file (an "ftyp" box) but is no HEIF
// picture: OpenCV 4.10 may hand such files to its AVIF decoder before any
// other, so none is decoded as anything else.
bool isOtherIsoMedia(std::string_view start)
{
    return start.size() >= 8 && start.substr(4, 4) == "ftyp" && !matches(start);
}

Assessment refuseOtherIsoMedia(const FileBytes &, const DecodeLimits &)
{
    return Assessment::refused("unknown format: an ISO media file that is no HEIF picture");
}

#ifdef MORVASTEL_HAVE_LIBHEIF

// libheif's functions, found when it is loaded.
struct Libheif
{
    decltype(&heif_init) init = nullptr;
    decltype(&heif_context_alloc) contextAlloc = nullptr;
    decltype(&heif_context_free) contextFree = nullptr;
    decltype(&heif_context_set_maximum_image_size_limit) setMaximumImageSize = nullptr;
    decltype(&heif_context_read_from_file) readFromFile = nullptr;
    decltype(&heif_context_get_primary_image_handle) primaryImage = nullptr;
    decltype(&heif_image_handle_release) handleRelease = nullptr;
    decltype(&heif_decoding_options_alloc) optionsAlloc = nullptr;
    decltype(&heif_decoding_options_free) optionsFree = nullptr;
    decltype(&heif_decode_image) decodeImage = nullptr;
    decltype(&heif_image_release) imageRelease = nullptr;
    decltype(&heif_image_get_plane_readonly) planeReadonly = nullptr;
    decltype(&heif_image_get_width) imageWidth = nullptr;
    decltype(&heif_image_get_height) imageHeight = nullptr;
#if MORVASTEL_HEIF_SECURITY_LIMITS
    decltype(&heif_context_get_security_limits) securityLimits = nullptr; // from 1.19 on
#endif
};

Libheif libheif;

template<typename Function>
bool find(const SharedLibrary &library, const char *name, Function *&function, std::string &why)
{
    function = library.function<Function>(name, why);
    return function != nullptr;
}

bool loadLibheif(const Assessment &, std::string &why)
{
    static SharedLibrary library;
    if (libheif.decodeImage)
        return true;
    std::string reason;
    Libheif found;
    const bool loaded = library.open(MORVASTEL_LIBHEIF, reason) &&
        find(library, "heif_init", found.init, reason) &&
        find(library, "heif_context_alloc", found.contextAlloc, reason) &&
        find(library, "heif_context_free", found.contextFree, reason) &&
        find(library, "heif_context_set_maximum_image_size_limit", found.setMaximumImageSize,
            reason) &&
        find(library, "heif_context_read_from_file", found.readFromFile, reason) &&
        find(library, "heif_context_get_primary_image_handle", found.primaryImage, reason) &&
        find(library, "heif_image_handle_release", found.handleRelease, reason) &&
        find(library, "heif_decoding_options_alloc", found.optionsAlloc, reason) &&
        find(library, "heif_decoding_options_free", found.optionsFree, reason) &&
        find(library, "heif_decode_image", found.decodeImage, reason) &&
        find(library, "heif_image_release", found.imageRelease, reason) &&
        find(library, "heif_image_get_plane_readonly", found.planeReadonly, reason) &&
        find(library, "heif_image_get_width", found.imageWidth, reason) &&
        find(library, "heif_image_get_height", found.imageHeight, reason);
    if (!loaded) {
        library.close();
        why = "cannot load libheif: " + reason;
        return false;
    }
#if MORVASTEL_HEIF_SECURITY_LIMITS
    std::string missing;
    find(library, "heif_context_get_security_limits", found.securityLimits, missing);
#endif
    // Where the codecs are plugins (libheif 1.16 and later), this loads them.
    found.init(nullptr);
    libheif = found;
    return true;
}

// libheif's objects, each released by its own function.
struct Heif
{
    heif_context *context = nullptr;
    heif_image_handle *handle = nullptr;
    heif_decoding_options *options = nullptr;
    heif_image *image = nullptr;

    Heif() = default;
    ~Heif()
    {
        if (image)
            libheif.imageRelease(image);
        if (options)
            libheif.optionsFree(options);
        if (handle)
            libheif.handleRelease(handle);
        if (context)
            libheif.contextFree(context);
    }
    Heif(const Heif &) = delete;
    Heif &operator=(const Heif &) = delete;
};

int clamped(std::uint64_t value)
{
    return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX));
}

// libheif refuses what goes beyond the figures the check read in the whole
// file: honest collections, whose primary image is not their largest, open.
void limit(heif_context *context, const HeifDetails &details)
{
    // A grid as large as the limit is refused already.
    const auto root = static_cast<std::uint64_t>(std::sqrt(double(details.decodedPixels)));
    libheif.setMaximumImageSize(context, clamped(std::max(details.largestSide, root + 1) + 1));
#if MORVASTEL_HEIF_SECURITY_LIMITS
    heif_security_limits *limits =
        libheif.securityLimits ? libheif.securityLimits(context) : nullptr;
    if (!limits)
        return;
    limits->max_image_size_pixels =
        std::max<std::uint64_t>({details.largestPixels, details.decodedPixels, 1});
    limits->max_number_of_tiles = std::max<std::uint64_t>(details.mostTiles, 1);
    limits->max_items =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(details.items + 1, UINT32_MAX));
    limits->max_children_per_box = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(details.mostChildren, 64), UINT32_MAX));
    if (limits->version >= 2)
        limits->max_total_memory =
            std::max(2 * details.memory, details.memory + (std::uint64_t {256} << 20));
#endif
}

bool succeeded(const heif_error &error, std::string &why)
{
    if (error.code == heif_error_Ok)
        return true;
    why = std::string("undecodable: libheif: ") + (error.message ? error.message : "an error");
    return false;
}

// The primary image as libheif shows it by default: rotation, mirroring and
// clean aperture applied, Exif orientation left aside, alpha dropped, deeper
// samples brought to 8 bits, a grey picture grey. libheif refuses any
// picture with a side above the largest the checks read.
Decoded decode(const DecodeRequest &request)
{
    Heif heif;
    std::string why;
    heif.context = libheif.contextAlloc();
    if (!heif.context)
        return Decoded::failed("undecodable: libheif cannot start");
    limit(heif.context, std::any_cast<const HeifDetails &>(request.assessment.details));
    heif.options = libheif.optionsAlloc();
    if (!heif.options)
        return Decoded::failed("undecodable: libheif cannot start");
    heif.options->convert_hdr_to_8bit = 1;
    if (!succeeded(libheif.readFromFile(heif.context, request.openPath.c_str(), nullptr), why) ||
        !succeeded(libheif.primaryImage(heif.context, &heif.handle), why) ||
        !succeeded(libheif.decodeImage(heif.handle, &heif.image, heif_colorspace_RGB,
                       heif_chroma_interleaved_RGB, heif.options),
            why))
        return Decoded::failed(why);
    int stride = 0;
    const std::uint8_t *pixels =
        libheif.planeReadonly(heif.image, heif_channel_interleaved, &stride);
    const int width = libheif.imageWidth(heif.image, heif_channel_interleaved);
    const int height = libheif.imageHeight(heif.image, heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0)
        return Decoded::failed("undecodable: libheif gave no picture");
    const cv::Mat rgb(height, width, CV_8UC3, const_cast<std::uint8_t *>(pixels),
        static_cast<std::size_t>(stride));
    Decoded decoded;
    cv::cvtColor(rgb, decoded.image, cv::COLOR_RGB2BGR);
    return decoded;
}

#else

bool loadLibheif(const Assessment &, std::string &why)
{
    why = "this build has no HEIF decoder (libheif)";
    return false;
}

Decoded decode(const DecodeRequest &)
{
    return Decoded::failed("this build has no HEIF decoder (libheif)");
}

#endif

} // namespace

extern const Format HeifFormat = {"HEIF", matches, inspect, loadLibheif, decode};
extern const Format OtherIsoMediaFormat = {
    "ISO media", isOtherIsoMedia, refuseOtherIsoMedia, nullptr, nullptr};
