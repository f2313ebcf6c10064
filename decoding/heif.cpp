// HEIF (HEIC) and AVIF: libheif, for neither OpenCV here decodes HEIC,
// loaded at the first decode (it takes 10 to 20 ms to load). The primary
// image is sized from its boxes before anything is decoded: its spatial
// extent (ispe), and for a grid, every tile's.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/sharedlibrary.h"

#if __has_include(<libheif/heif.h>) && defined(MORVASTEL_LIBHEIF)
#include <libheif/heif.h>
#include <opencv2/imgproc.hpp>
#define MORVASTEL_HAVE_LIBHEIF 1
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <set>
#include <vector>

namespace {

// What libheif is told: the largest side of any picture it decodes.
struct HeifDetails
{
    std::uint64_t largestSide = 0;
};

// Measured by morvastel_weights: seconds a pixel of a flat picture decoded
// by libde265 (HEVC) or the AV1 decoder and turned into 8-bit RGB, a byte of
// coded data on top, and a tile set up and placed into its grid.
constexpr double SecondsPerHevcPixel = 30e-9;
constexpr double SecondsPerHevcByte = 140e-9;
constexpr double SecondsPerAv1Pixel = 21.5e-9;
constexpr double SecondsPerAv1Byte = 103e-9;
constexpr double SecondsPerTile = 60e-6;
// Decoded planes (up to 16-bit 4:4:4), the interleaved RGB picture, one
// more while it is turned, and the BGR picture handed on.
constexpr std::uint64_t BytesPerPixel = 6 + 3 + 3 + 3;

// The brands of files libheif reads as HEIF still images, and as AVIF.
constexpr std::array<std::string_view, 10> Brands = {
    "heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"};

// Bounds of what is read: a meta box of 16 MiB holds grids of a million tiles.
constexpr std::uint64_t MaxMetaBox = std::uint64_t {16} << 20;
constexpr int MaxBoxes = 4096;

std::uint64_t big(std::string_view bytes, std::size_t at, std::size_t size)
{
    return unsignedAt(bytes, at, size, ByteOrder::Big);
}

// The ftyp box first, naming a HEIF brand as its major or compatible brand.
bool matches(std::string_view start)
{
    if (start.size() < 16 || start.substr(4, 4) != "ftyp")
        return false;
    const std::uint64_t size = big(start, 0, 4);
    if (size < 16)
        return false;
    const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(size, start.size()));
    for (std::size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) { // skipping the minor version
        if (std::find(Brands.begin(), Brands.end(), start.substr(at, 4)) != Brands.end())
            return true;
    }
    return false;
}

struct Box
{
    std::string type;
    std::size_t contents = 0; // where its contents begin, in the bytes read
    std::size_t end = 0;
};

// The boxes one after the other in bytes[begin, end); empty when one
// overruns the others.
std::optional<std::vector<Box>> boxes(std::string_view bytes, std::size_t begin, std::size_t end)
{
    std::vector<Box> found;
    for (std::size_t at = begin; at < end;) {
        if (end - at < 8 || found.size() == MaxBoxes)
            return std::nullopt;
        Box box;
        box.type = std::string(bytes.substr(at + 4, 4));
        std::uint64_t size = big(bytes, at, 4);
        box.contents = at + 8;
        if (size == 1) {
            if (end - at < 16)
                return std::nullopt;
            size = big(bytes, at + 8, 8);
            box.contents = at + 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < box.contents - at || size > end - at)
            return std::nullopt;
        box.end = at + static_cast<std::size_t>(size);
        found.push_back(box);
        at = box.end;
    }
    return found;
}

// What the meta box says about its items.
struct Items
{
    std::uint32_t primary = 0;
    std::map<std::uint32_t, std::string> types;
    std::vector<Box> properties; // ipco's, numbered from 1
    std::map<std::uint32_t, std::vector<int>> associations; // an item's property numbers
    std::map<std::uint32_t, std::vector<std::uint32_t>> tiles; // dimg: grid to tiles
    std::map<std::uint32_t, std::vector<std::uint32_t>>
        auxiliaries; // auxl: image to its aux images
};

bool readItemInfos(std::string_view meta, const Box &iinf, Items &items)
{
    const std::size_t header = meta[iinf.contents] == 0 ? 6 : 8; // FullBox, then a count
    if (iinf.end - iinf.contents < header)
        return false;
    const auto infes = boxes(meta, iinf.contents + header, iinf.end);
    if (!infes)
        return false;
    for (const Box &infe : *infes) {
        const std::size_t at = infe.contents;
        const int version = static_cast<unsigned char>(meta[at]);
        const std::size_t idSize = version >= 3 ? 4 : 2;
        if (infe.type != "infe" || version < 2 || infe.end - at < 4 + idSize + 2 + 4)
            return false;
        const auto id = static_cast<std::uint32_t>(big(meta, at + 4, idSize));
        items.types[id] = std::string(meta.substr(at + 4 + idSize + 2, 4));
    }
    return true;
}

bool readProperties(std::string_view meta, const Box &iprp, Items &items)
{
    const auto children = boxes(meta, iprp.contents, iprp.end);
    if (!children)
        return false;
    for (const Box &child : *children) {
        if (child.type == "ipco") {
            const auto properties = boxes(meta, child.contents, child.end);
            if (!properties)
                return false;
            items.properties.insert(items.properties.end(), properties->begin(), properties->end());
        } else if (child.type == "ipma") {
            std::size_t at = child.contents;
            if (child.end - at < 8)
                return false;
            const int version = static_cast<unsigned char>(meta[at]);
            const bool wide = (big(meta, at + 1, 3) & 1) != 0;
            const std::uint64_t entries = big(meta, at + 4, 4);
            at += 8;
            for (std::uint64_t e = 0; e < entries; ++e) {
                const std::size_t idSize = version < 1 ? 2 : 4;
                if (child.end - at < idSize + 1)
                    return false;
                const auto id = static_cast<std::uint32_t>(big(meta, at, idSize));
                const std::size_t count = static_cast<unsigned char>(meta[at + idSize]);
                at += idSize + 1;
                const std::size_t entrySize = wide ? 2 : 1;
                if (child.end - at < count * entrySize)
                    return false;
                for (std::size_t a = 0; a < count; ++a, at += entrySize)
                    items.associations[id].push_back(
                        static_cast<int>(big(meta, at, entrySize) & (wide ? 0x7fff : 0x7f)));
            }
        }
    }
    return true;
}

bool readReferences(std::string_view meta, const Box &iref, Items &items)
{
    if (iref.end - iref.contents < 4)
        return false;
    const std::size_t idSize = meta[iref.contents] == 0 ? 2 : 4;
    const auto references = boxes(meta, iref.contents + 4, iref.end);
    if (!references)
        return false;
    for (const Box &reference : *references) {
        std::size_t at = reference.contents;
        if (reference.end - at < idSize + 2)
            return false;
        const auto from = static_cast<std::uint32_t>(big(meta, at, idSize));
        const std::uint64_t count = big(meta, at + idSize, 2);
        at += idSize + 2;
        if (reference.end - at < count * idSize)
            return false;
        for (std::uint64_t i = 0; i < count; ++i, at += idSize) {
            const auto to = static_cast<std::uint32_t>(big(meta, at, idSize));
            if (reference.type == "dimg")
                items.tiles[from].push_back(to);
            else if (reference.type == "auxl")
                items.auxiliaries[to].push_back(from);
        }
    }
    return true;
}

// A property of an item: its box, or none.
const Box *property(const Items &items, std::uint32_t id, const char *type)
{
    const auto found = items.associations.find(id);
    if (found == items.associations.end())
        return nullptr;
    for (const int index : found->second) {
        if (index >= 1 && static_cast<std::size_t>(index) <= items.properties.size() &&
            items.properties[static_cast<std::size_t>(index) - 1].type == type)
            return &items.properties[static_cast<std::size_t>(index) - 1];
    }
    return nullptr;
}

// The spatial extent of an item, from its ispe property.
std::optional<std::pair<std::uint64_t, std::uint64_t>> extent(
    std::string_view meta, const Items &items, std::uint32_t id)
{
    const Box *ispe = property(items, id, "ispe");
    if (!ispe || ispe->end - ispe->contents < 12)
        return std::nullopt;
    const std::uint64_t width = big(meta, ispe->contents + 4, 4);
    const std::uint64_t height = big(meta, ispe->contents + 8, 4);
    if (width == 0 || height == 0)
        return std::nullopt;
    return std::make_pair(width, height);
}

bool coded(const std::string &type)
{
    return type == "hvc1" || type == "av01";
}

Inspection inspect(const FileBytes &file, const DecodeLimits &)
{
    const auto unreadable = [](const std::string &why) {
        return Inspection::refused("unreadable HEIF: " + why);
    };

    // The top-level boxes, up to and including meta.
    std::optional<Box> metaBox;
    std::uint64_t metaAt = 0;
    for (std::uint64_t at = 0; at < file.size() && !metaBox;) {
        const std::string header = file.read(at, 16);
        if (header.size() < 8)
            return unreadable("a box cut short");
        std::uint64_t size = big(header, 0, 4);
        std::uint64_t contents = 8;
        if (size == 1) {
            if (header.size() < 16)
                return unreadable("a box cut short");
            size = big(header, 8, 8);
            contents = 16;
        } else if (size == 0) {
            size = file.size() - at;
        }
        if (size < contents || size > file.size() - at)
            return unreadable("a box larger than the file");
        if (header.substr(4, 4) == "meta") {
            if (size > MaxMetaBox)
                return unreadable("a meta box larger than any picture needs");
            metaAt = at;
            metaBox =
                Box {"meta", static_cast<std::size_t>(contents), static_cast<std::size_t>(size)};
        }
        at += size;
    }
    if (!metaBox)
        return unreadable("no meta box");
    const std::string meta = file.read(metaAt, metaBox->end);
    if (meta.size() != metaBox->end || metaBox->end < metaBox->contents + 4)
        return unreadable("a meta box cut short");

    Items items;
    const auto children = boxes(meta, metaBox->contents + 4, metaBox->end); // a FullBox
    if (!children)
        return unreadable("a meta box whose boxes overrun it");
    bool pictures = false;
    for (const Box &child : *children) {
        bool read = true;
        if (child.type == "hdlr")
            pictures =
                child.end - child.contents >= 12 && meta.substr(child.contents + 8, 4) == "pict";
        else if (child.type == "pitm" && child.end - child.contents >= 6)
            items.primary = static_cast<std::uint32_t>(
                big(meta, child.contents + 4, meta[child.contents] == 0 ? 2 : 4));
        else if (child.type == "iinf")
            read = readItemInfos(meta, child, items);
        else if (child.type == "iprp")
            read = readProperties(meta, child, items);
        else if (child.type == "iref")
            read = readReferences(meta, child, items);
        if (!read)
            return unreadable("a " + child.type + " box it cannot read");
    }
    if (!pictures || items.types.count(items.primary) == 0)
        return unreadable("no primary picture");

    // The primary image, one coded image or a grid of them, and its
    // auxiliary images (alpha, depth), which libheif decodes with it.
    const std::string &type = items.types[items.primary];
    const auto size = extent(meta, items, items.primary);
    if (!size)
        return unreadable("a primary picture of no size it can read");
    if (!coded(type) && type != "grid")
        return Inspection::refused("unknown format: a HEIF picture of type " + type);
    const auto codedImages = [&items](std::uint32_t id) {
        const std::string &itemType = items.types[id];
        return itemType == "grid" ? items.tiles[id] : std::vector<std::uint32_t> {id};
    };
    std::vector<std::uint32_t> decoded = codedImages(items.primary);
    if (decoded.empty())
        return unreadable("a grid without tiles");
    for (const std::uint32_t aux : items.auxiliaries[items.primary]) {
        const std::vector<std::uint32_t> images = codedImages(aux);
        decoded.insert(decoded.end(), images.begin(), images.end());
    }

    Inspection inspection;
    inspection.width = size->first;
    inspection.height = size->second;
    const bool av1 = items.types[decoded.front()] == "av01";
    const double data = double(file.size()) * (av1 ? SecondsPerAv1Byte : SecondsPerHevcByte);
    inspection.seconds = data;
    double largestSide = double(std::max(size->first, size->second));
    for (const std::uint32_t id : decoded) {
        const auto tile = extent(meta, items, id);
        const auto tileType = items.types.find(id);
        if (!tile || tileType == items.types.end() || !coded(tileType->second))
            return unreadable("a tile or auxiliary picture it cannot size");
        const double pixels = double(tile->first) * double(tile->second);
        inspection.seconds +=
            pixels * (tileType->second == "av01" ? SecondsPerAv1Pixel : SecondsPerHevcPixel);
        if (decoded.size() > 1)
            inspection.seconds += SecondsPerTile;
        largestSide = std::max(largestSide, double(std::max(tile->first, tile->second)));
    }
    // A flat picture codes in a few bytes in either codec: pixels alone bound it.
    inspection.plainSeconds =
        double(inspection.pixels()) * (av1 ? SecondsPerAv1Pixel : SecondsPerHevcPixel) + data;
    inspection.memory = saturatingProduct(inspection.pixels(), BytesPerPixel);
    // Coded pictures are padded to whole blocks, up to 64 pixels a side.
    inspection.details = HeifDetails {static_cast<std::uint64_t>(largestSide) + 64};
    return inspection;
}

// A file that starts as an ISO media file (an "ftyp" box) but is no HEIF
// picture: OpenCV 4.10 may hand such files to its AVIF decoder before any
// other, so none is decoded as anything else.
bool isOtherIsoMedia(std::string_view start)
{
    return start.size() >= 8 && start.substr(4, 4) == "ftyp" && !matches(start);
}

Inspection refuseOtherIsoMedia(const FileBytes &, const DecodeLimits &)
{
    return Inspection::refused("unknown format: an ISO media file that is no HEIF picture");
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
};

Libheif libheif;

template<typename Function>
bool find(const SharedLibrary &library, const char *name, Function *&function, std::string &why)
{
    function = library.function<Function>(name, why);
    return function != nullptr;
}

bool loadLibheif(std::string &why)
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
    const auto &details = std::any_cast<const HeifDetails &>(request.inspection.details);
    Heif heif;
    std::string why;
    heif.context = libheif.contextAlloc();
    if (!heif.context)
        return Decoded::failed("undecodable: libheif cannot start");
    libheif.setMaximumImageSize(
        heif.context, static_cast<int>(std::min<std::uint64_t>(details.largestSide, INT_MAX)));
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

bool loadLibheif(std::string &why)
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
