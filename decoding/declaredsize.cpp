#include "decoding/declaredsize.h"

#include "decoding/bytes.h"
#include "decoding/jpegmarkers.h"
#include "decoding/pamdecoding.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

using Size = std::optional<DeclaredImage>;

// Enough of a file's start for every signature and fixed-place header below.
constexpr std::size_t StartLength = 64;

Size declared(std::uint64_t width, std::uint64_t height)
{
    DeclaredImage image;
    image.width = width;
    image.height = height;
    return image;
}

// Sides that OpenCV reads as signed 32-bit numbers and refuses unless positive.
Size declaredIfPositive(std::int64_t width, std::int64_t height)
{
    if (width <= 0 || height <= 0)
        return std::nullopt;
    return declared(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
}

std::int32_t signed32(std::uint64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

int nextByte(std::istream &in)
{
    return in.get();
}

// BMP: the info header, 12 bytes (OS/2, 16-bit sides) or 36 and more
// (Windows, signed 32-bit sides; a negative height means top-down rows).
Size readBmp(std::istream &, std::string_view start)
{
    if (start.size() < 26)
        return std::nullopt;
    const auto headerSize = signed32(unsignedAt(start, 14, 4, ByteOrder::Little));
    if (headerSize == 12)
        return declaredIfPositive(
            static_cast<std::int64_t>(unsignedAt(start, 18, 2, ByteOrder::Little)),
            static_cast<std::int64_t>(unsignedAt(start, 20, 2, ByteOrder::Little)));
    if (headerSize < 36)
        return std::nullopt;
    const std::int64_t height = signed32(unsignedAt(start, 22, 4, ByteOrder::Little));
    return declaredIfPositive(
        signed32(unsignedAt(start, 18, 4, ByteOrder::Little)), std::abs(height));
}

// One read of fgets(line, 128, file), as the Radiance reader makes them:
// through the first line feed, or 127 bytes.
std::optional<std::string> radianceChunk(std::istream &in)
{
    std::string chunk;
    while (chunk.size() < 127) {
        const int c = nextByte(in);
        if (c == EOF)
            break;
        chunk.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    if (chunk.empty())
        return std::nullopt;
    return chunk.substr(0, chunk.find('\0')); // read as a C string from here on
}

// scanf's %d: white space, a sign, digits; kept as a long and then cut to int.
std::optional<int> scanInt(std::string_view &text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    const std::string rest(text.substr(at));
    const char *begin = rest.c_str();
    char *end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin)
        return std::nullopt;
    text.remove_prefix(at + static_cast<std::size_t>(end - begin));
    return static_cast<int>(value);
}

void skipSpace(std::string_view &text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
}

bool skipLiteral(std::string_view &text, std::string_view literal)
{
    if (!startsWith(text, literal))
        return false;
    text.remove_prefix(literal.size());
    return true;
}

// Radiance HDR: header lines up to an empty one, then "-Y height +X width".
Size readRadiance(std::istream &file, std::string_view)
{
    file.clear();
    file.seekg(0);
    if (!radianceChunk(file))
        return std::nullopt;
    for (;;) {
        const std::optional<std::string> chunk = radianceChunk(file);
        if (!chunk)
            return std::nullopt;
        if (startsWith(*chunk, "\n"))
            break;
    }
    const std::optional<std::string> resolution = radianceChunk(file);
    if (!resolution)
        return std::nullopt;
    std::string_view text = *resolution; // as sscanf(line, "-Y %d +X %d", &height, &width)
    if (!skipLiteral(text, "-Y"))
        return std::nullopt;
    skipSpace(text);
    const std::optional<int> height = scanInt(text);
    skipSpace(text);
    if (!height || !skipLiteral(text, "+X"))
        return std::nullopt;
    skipSpace(text);
    const std::optional<int> width = scanInt(text);
    if (!width)
        return std::nullopt;
    return declaredIfPositive(*width, *height);
}

// JPEG: the first frame header, before any scan.
Size readJpeg(std::istream &file, std::string_view)
{
    JpegMarkers markers(file);
    for (int marker = markers.next(); marker != 0; marker = markers.next()) {
        if (marker == jpeg::Sos || marker == jpeg::Eoi)
            return std::nullopt;
        if (!jpeg::hasSegment(marker))
            continue;
        const std::optional<std::string> segment =
            markers.segment(jpeg::isFrame(marker) ? 0xffff : 0);
        if (!segment)
            return std::nullopt;
        if (jpeg::isFrame(marker)) {
            const std::optional<JpegFrame> frame = parseFrame(marker, *segment);
            return frame ? declared(frame->width, frame->height) : std::nullopt;
        }
    }
    return std::nullopt;
}

// WebP in its RIFF container: the first chunk is a lossy frame (14-bit sides),
// a lossless one (14-bit sides less one) or the extended header with the
// canvas (24-bit sides less one). Bare bitstreams, which the decoder takes
// too, cannot declare more than 16384 x 16384.
Size readWebP(std::istream &, std::string_view start)
{
    if (start.size() < 30 || start.substr(8, 4) != "WEBP")
        return std::nullopt;
    const std::string_view chunk = start.substr(12, 4);
    if (chunk == "VP8 " && start.substr(23, 3) == "\x9d\x01\x2a")
        return declared(unsignedAt(start, 26, 2, ByteOrder::Little) & 0x3fff,
            unsignedAt(start, 28, 2, ByteOrder::Little) & 0x3fff);
    if (chunk == "VP8L" && static_cast<unsigned char>(start[20]) == 0x2f) {
        const std::uint64_t bits = unsignedAt(start, 21, 4, ByteOrder::Little);
        return declared((bits & 0x3fff) + 1, (bits >> 14 & 0x3fff) + 1);
    }
    if (chunk == "VP8X")
        return declared(unsignedAt(start, 24, 3, ByteOrder::Little) + 1,
            unsignedAt(start, 27, 3, ByteOrder::Little) + 1);
    return std::nullopt;
}

Size readSunRaster(std::istream &, std::string_view start)
{
    if (start.size() < 12)
        return std::nullopt;
    return declaredIfPositive(signed32(unsignedAt(start, 4, 4, ByteOrder::Big)),
        signed32(unsignedAt(start, 8, 4, ByteOrder::Big)));
}

// A number in a PNM header: white space and '#' comments (to the end of the
// line) before it, then digits, at most INT_MAX, and one more byte: the
// decoder gives up at the end of the file.
std::optional<std::int64_t> pnmNumber(std::istream &in)
{
    int c = nextByte(in);
    while (!std::isdigit(c)) {
        if (c == '#') {
            do
                c = nextByte(in);
            while (c != '\n' && c != '\r' && c != EOF);
        } else if (!std::isspace(c)) {
            return std::nullopt;
        }
        c = nextByte(in);
    }
    std::int64_t value = 0;
    for (; std::isdigit(c); c = nextByte(in)) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX)
            return std::nullopt;
    }
    if (c == EOF)
        return std::nullopt;
    return value;
}

// PBM, PGM and PPM, plain or raw: "Pn", then width and height.
Size readPnm(std::istream &file, std::string_view)
{
    file.clear();
    file.seekg(2);
    const std::optional<std::int64_t> width = pnmNumber(file);
    const std::optional<std::int64_t> height = width ? pnmNumber(file) : std::nullopt;
    if (!height)
        return std::nullopt;
    return declaredIfPositive(*width, *height);
}

Size readPam(std::istream &file, std::string_view)
{
    file.clear();
    file.seekg(0);
    const std::optional<PamHeader> header = readPamHeader(file);
    if (!header)
        return std::nullopt;
    return declaredIfPositive(header->width, header->height);
}

// A number in a PFM header: the bytes up to the next white space (2048 at
// most), read as atoi reads them.
std::optional<int> pfmNumber(std::istream &in)
{
    std::string token;
    for (int i = 0; i < 2048; ++i) {
        const int c = nextByte(in);
        if (c == EOF || c >= 128)
            return std::nullopt;
        if (std::isspace(c))
            break;
        token.push_back(static_cast<char>(c));
    }
    return static_cast<int>(std::strtol(token.c_str(), nullptr, 10));
}

// PFM: "PF" or "Pf" and a line feed, then width and height.
Size readPfm(std::istream &file, std::string_view start)
{
    if (start.size() < 3 || start[2] != '\n')
        return std::nullopt;
    file.clear();
    file.seekg(3);
    const std::optional<int> width = pfmNumber(file);
    const std::optional<int> height = width ? pfmNumber(file) : std::nullopt;
    if (!height)
        return std::nullopt;
    return declaredIfPositive(*width, *height);
}

// libtiff refuses directories with more entries.
constexpr std::uint64_t MaxTiffEntries = 4096;

// TIFF and BigTIFF: ImageWidth and ImageLength in the first directory, the
// page that imread shows.
Size readTiff(std::istream &file, std::string_view start)
{
    const ByteOrder order = start[0] == 'I' ? ByteOrder::Little : ByteOrder::Big;
    const bool big = unsignedAt(start, 2, 2, order) == 43;
    if (start.size() < (big ? 16U : 8U))
        return std::nullopt;
    const std::size_t countSize = big ? 8 : 2;
    const std::size_t entrySize = big ? 20 : 12;
    const std::size_t valueAt = big ? 12 : 8;
    const std::uint64_t directory = unsignedAt(start, big ? 8 : 4, big ? 8 : 4, order);
    const std::string countBytes = readAt(file, directory, countSize);
    if (countBytes.size() < countSize)
        return std::nullopt;
    const std::uint64_t count = unsignedAt(countBytes, 0, countSize, order);
    if (count > MaxTiffEntries)
        return std::nullopt;
    const std::size_t length = static_cast<std::size_t>(count) * entrySize;
    const std::string entries = readAt(file, directory + countSize, length);
    if (entries.size() < length)
        return std::nullopt;
    std::uint64_t sides[2] = {0, 0};
    for (std::size_t entry = 0; entry < length; entry += entrySize) {
        const std::uint64_t tag = unsignedAt(entries, entry, 2, order);
        const std::uint64_t type = unsignedAt(entries, entry + 2, 2, order);
        const std::uint64_t values = unsignedAt(entries, entry + 4, big ? 8 : 4, order);
        if ((tag != 256 && tag != 257) || values != 1)
            continue;
        // BYTE, SHORT, LONG, their signed kinds, and BigTIFF's LONG8.
        std::size_t size = 0;
        if (type == 1 || type == 6)
            size = 1;
        else if (type == 3 || type == 8)
            size = 2;
        else if (type == 4 || type == 9)
            size = 4;
        else if (big && (type == 16 || type == 17))
            size = 8;
        if (size == 0)
            continue;
        // A repeated tag counts at its largest.
        std::uint64_t &side = sides[tag - 256];
        side = std::max(side, unsignedAt(entries, entry + valueAt, size, order));
    }
    if (sides[0] == 0 || sides[1] == 0)
        return std::nullopt;
    return declared(sides[0], sides[1]);
}

Size readPng(std::istream &, std::string_view start)
{
    if (start.size() < 24 || start.substr(12, 4) != "IHDR")
        return std::nullopt;
    return declared(
        unsignedAt(start, 16, 4, ByteOrder::Big), unsignedAt(start, 20, 4, ByteOrder::Big));
}

// A JPEG 2000 codestream's SIZ segment: the reference grid less its offset.
Size readCodestream(std::string_view bytes)
{
    if (bytes.size() < 24 || !startsWith(bytes, "\xff\x4f\xff\x51"))
        return std::nullopt;
    const std::uint64_t right = unsignedAt(bytes, 8, 4, ByteOrder::Big);
    const std::uint64_t bottom = unsignedAt(bytes, 12, 4, ByteOrder::Big);
    const std::uint64_t left = unsignedAt(bytes, 16, 4, ByteOrder::Big);
    const std::uint64_t top = unsignedAt(bytes, 20, 4, ByteOrder::Big);
    if (right <= left || bottom <= top)
        return std::nullopt;
    return declared(right - left, bottom - top);
}

Size readJpeg2000Codestream(std::istream &, std::string_view start)
{
    return readCodestream(start);
}

// More boxes than any JP2 file has; a longer chain is not followed.
constexpr int MaxJp2Boxes = 1024;

struct Jp2Box
{
    std::string type;
    std::uint64_t contents = 0; // offset of its contents
    std::uint64_t end = 0; // 0: to the end of the file
};

std::optional<Jp2Box> readBox(std::istream &file, std::uint64_t offset)
{
    const std::string header = readAt(file, offset, 16);
    if (header.size() < 8)
        return std::nullopt;
    Jp2Box box;
    box.type = header.substr(4, 4);
    std::uint64_t length = unsignedAt(header, 0, 4, ByteOrder::Big);
    box.contents = offset + 8;
    if (length == 1) {
        if (header.size() < 16)
            return std::nullopt;
        length = unsignedAt(header, 8, 8, ByteOrder::Big);
        box.contents = offset + 16;
    }
    if (length != 0 && (length < box.contents - offset || offset + length < offset))
        return std::nullopt;
    box.end = length == 0 ? 0 : offset + length;
    return box;
}

// A JP2 file: the image header box inside the header box, and the codestream
// box's SIZ. The larger one counts.
Size readJp2(std::istream &file, std::string_view)
{
    Size found;
    const auto consider = [&found](const Size &size) {
        if (size && (!found || size->pixels() > found->pixels()))
            found = size;
    };
    std::uint64_t offset = 0;
    for (int boxes = 0; boxes < MaxJp2Boxes; ++boxes) {
        const std::optional<Jp2Box> box = readBox(file, offset);
        if (!box)
            break;
        if (box->type == "jp2h") {
            std::uint64_t inner = box->contents;
            for (int children = 0; children < MaxJp2Boxes; ++children) {
                const std::optional<Jp2Box> child = readBox(file, inner);
                if (!child || (box->end != 0 && inner >= box->end))
                    break;
                if (child->type == "ihdr") {
                    const std::string ihdr = readAt(file, child->contents, 8);
                    if (ihdr.size() == 8)
                        consider(declared(unsignedAt(ihdr, 4, 4, ByteOrder::Big),
                            unsignedAt(ihdr, 0, 4, ByteOrder::Big)));
                }
                if (child->end == 0)
                    break;
                inner = child->end;
            }
        } else if (box->type == "jp2c") {
            consider(readCodestream(readAt(file, box->contents, 24)));
            break; // the decoder reads no further
        }
        if (box->end == 0)
            break;
        offset = box->end;
    }
    if (found && (found->width == 0 || found->height == 0))
        return std::nullopt;
    return found;
}

// A NUL-terminated name in an OpenEXR header, at most 255 bytes.
std::optional<std::string> exrName(std::istream &in)
{
    std::string name;
    for (int c = nextByte(in); c != 0; c = nextByte(in)) {
        if (c == EOF || name.size() == 255)
            return std::nullopt;
        name.push_back(static_cast<char>(c));
    }
    return name;
}

// More attributes than any OpenEXR header has.
constexpr int MaxExrAttributes = 1024;

// OpenEXR: the header's dataWindow attribute, inclusive corners.
Size readOpenExr(std::istream &file, std::string_view)
{
    file.clear();
    file.seekg(8);
    for (int attributes = 0; attributes < MaxExrAttributes; ++attributes) {
        const std::optional<std::string> name = exrName(file);
        if (!name || name->empty())
            return std::nullopt;
        const std::optional<std::string> type = exrName(file);
        std::string sizeBytes(4, '\0');
        if (!type || !file.read(sizeBytes.data(), 4))
            return std::nullopt;
        const std::uint64_t size = unsignedAt(sizeBytes, 0, 4, ByteOrder::Little);
        if (*name == "dataWindow" && *type == "box2i" && size == 16) {
            std::string box(16, '\0');
            if (!file.read(box.data(), 16))
                return std::nullopt;
            const auto corner = [&box](std::size_t at) {
                return std::int64_t {signed32(unsignedAt(box, at, 4, ByteOrder::Little))};
            };
            return declaredIfPositive(corner(8) - corner(0) + 1, corner(12) - corner(4) + 1);
        }
        file.seekg(static_cast<std::streamoff>(size), std::ios::cur);
    }
    return std::nullopt;
}

// "P" and a kind letter, then white space.
bool isNetpbm(std::string_view start, std::string_view kinds)
{
    return start.size() >= 3 && start[0] == 'P' && kinds.find(start[1]) != std::string_view::npos &&
        std::isspace(static_cast<unsigned char>(start[2]));
}

struct FormatReader
{
    ImageFormat format;
    bool (*matches)(std::string_view start);
    Size (*read)(std::istream &file, std::string_view start);
};

using namespace std::string_view_literals;

// In the order OpenCV asks its decoders: the first whose signature matches
// decodes the file.
const FormatReader Readers[] = {
    {ImageFormat::Bmp, [](std::string_view s) { return startsWith(s, "BM"); }, readBmp},
    {ImageFormat::Radiance,
        [](std::string_view s) { return startsWith(s, "#?RGBE") || startsWith(s, "#?RADIANCE"); },
        readRadiance},
    {ImageFormat::Jpeg, [](std::string_view s) { return startsWith(s, "\xff\xd8\xff"); }, readJpeg},
    {ImageFormat::WebP, [](std::string_view s) { return startsWith(s, "RIFF"); }, readWebP},
    {ImageFormat::SunRaster, [](std::string_view s) { return startsWith(s, "\x59\xa6\x6a\x95"); },
        readSunRaster},
    {ImageFormat::Pnm, [](std::string_view s) { return isNetpbm(s, "123456"); }, readPnm},
    {ImageFormat::Pam, [](std::string_view s) { return isNetpbm(s, "7"); }, readPam},
    {ImageFormat::Pfm, [](std::string_view s) { return isNetpbm(s, "Ff"); }, readPfm},
    {ImageFormat::Tiff,
        [](std::string_view s) {
            return startsWith(s, "II\x2a\0"sv) || startsWith(s, "MM\0\x2a"sv) ||
                startsWith(s, "II\x2b\0"sv) || startsWith(s, "MM\0\x2b"sv);
        },
        readTiff},
    {ImageFormat::Png, [](std::string_view s) { return startsWith(s, "\x89PNG\r\n\x1a\n"); },
        readPng},
    {ImageFormat::Jpeg2000,
        [](std::string_view s) { return startsWith(s, "\0\0\0\x0cjP  \r\n\x87\n"sv); }, readJp2},
    {ImageFormat::Jpeg2000, [](std::string_view s) { return startsWith(s, "\xff\x4f\xff\x51"); },
        readJpeg2000Codestream},
    {ImageFormat::OpenExr, [](std::string_view s) { return startsWith(s, "\x76\x2f\x31\x01"); },
        readOpenExr},
};

} // namespace

std::uint64_t DeclaredImage::pixels() const
{
    if (width != 0 && height > std::numeric_limits<std::uint64_t>::max() / width)
        return std::numeric_limits<std::uint64_t>::max();
    return width * height;
}

namespace {

const FormatReader *readerFor(std::string_view start)
{
    for (const FormatReader &reader : Readers) {
        if (reader.matches(start))
            return &reader;
    }
    return nullptr;
}

} // namespace

std::optional<ImageFormat> formatOf(std::string_view start)
{
    const FormatReader *reader = readerFor(start);
    return reader ? std::optional<ImageFormat>(reader->format) : std::nullopt;
}

std::optional<DeclaredImage> readDeclaredImage(std::istream &file)
{
    const std::string start = readAt(file, 0, StartLength);
    const FormatReader *reader = readerFor(start);
    if (!reader)
        return std::nullopt;
    Size size = reader->read(file, start);
    if (size)
        size->format = reader->format;
    return size;
}
