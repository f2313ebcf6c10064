// PNG: libpng, called as OpenCV calls it, which reads every chunk to the
// end, inflating and keeping compressed text (zTXt, iTXt) and the colour
// profile (iCCP) on its way, and turns the picture as an eXIf chunk says.
#include "decoding/byteorder.h"
#include "decoding/exif.h"
#include "decoding/formats.h"
#include "decoding/report.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Measured by morvastel_weights: seconds a byte of inflated image rows, a
// pixel put out as BGR, a byte of inflated text, and a chunk passed.
constexpr double SecondsPerRowByte = 2.3e-9;
constexpr double SecondsPerPixel = 3.8e-9;
constexpr double SecondsPerTextByte = 4.5e-9;
constexpr double SecondsPerChunk = 0.12e-6;

// libpng's limits as Debian builds it: sides, the chunks it keeps, and the
// most a compressed chunk may inflate to.
constexpr std::uint64_t MaxSide = 1000000;
constexpr int ChunkCache = 1000;
constexpr std::uint64_t MaxInflated = 8000000;
// Deflate's best: 258 bytes from a 2-bit code, and some overhead.
constexpr std::uint64_t BestDeflateRatio = 1032;

bool matches(std::string_view start)
{
    return startsWith(start, "\x89PNG\r\n\x1a\n");
}

// The samples a pixel has in the file, by colour type, as libpng counts them.
int channelsOf(int colourType)
{
    switch (colourType) {
    case 2: // RGB
        return 3;
    case 4: // grey and alpha
        return 2;
    case 6: // RGBA
        return 4;
    default: // grey, palette
        return 1;
    }
}

// The bits a pixel takes, or 0 where the depth does not go with the colour type.
int bitsPerPixel(int depth, int colourType)
{
    const auto oneOf = [depth](std::initializer_list<int> depths) {
        return std::find(depths.begin(), depths.end(), depth) != depths.end();
    };
    switch (colourType) {
    case 0: // grey
        return oneOf({1, 2, 4, 8, 16}) ? depth : 0;
    case 3: // palette
        return oneOf({1, 2, 4, 8}) ? depth : 0;
    case 2: // RGB
        return oneOf({8, 16}) ? 3 * depth : 0;
    case 4: // grey and alpha
        return oneOf({8, 16}) ? 2 * depth : 0;
    case 6: // RGBA
        return oneOf({8, 16}) ? 4 * depth : 0;
    default:
        return 0;
    }
}

// Filtered rows as libpng inflates them: a filter byte, then the pixels;
// the seven passes of an interlaced picture each have their own rows.
std::uint64_t rowBytes(std::uint64_t width, std::uint64_t height, int bits, bool interlaced)
{
    const auto rows = [bits](std::uint64_t across, std::uint64_t down) {
        return across == 0 || down == 0
            ? 0
            : down * (1 + divideRoundingUp(across * static_cast<unsigned>(bits), 8));
    };
    if (!interlaced)
        return rows(width, height);
    // Adam7: starting column and row, and the step between them, of each pass.
    constexpr int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::uint64_t total = 0;
    for (const auto &pass : passes) {
        const auto count = [](std::uint64_t side, int first, int step) {
            return side > static_cast<unsigned>(first)
                ? divideRoundingUp(side - static_cast<unsigned>(first), static_cast<unsigned>(step))
                : 0;
        };
        total += rows(count(width, pass[0], pass[2]), count(height, pass[1], pass[3]));
    }
    return total;
}

// Where a compressed chunk's deflate stream starts, after its keyword and
// flags; 0 when it is stored uncompressed or malformed.
std::size_t compressedStart(const std::string &type, std::string_view data)
{
    const std::size_t keyword = data.find('\0');
    if (keyword == std::string_view::npos || keyword == 0 || keyword > 79)
        return 0;
    if (type == "zTXt" || type == "iCCP")
        return keyword + 2; // then the compression method
    // iTXt: compression flag and method, language tag, translated keyword.
    if (data.size() < keyword + 3 || data[keyword + 1] == 0)
        return 0;
    const std::size_t language = data.find('\0', keyword + 3);
    const std::size_t translated =
        language == std::string_view::npos ? language : data.find('\0', language + 1);
    return translated == std::string_view::npos ? 0 : translated + 1;
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const auto unreadable = [](const std::string &why) {
        return Assessment::refused("unreadable PNG: " + why);
    };
    const std::string_view start = file.start();
    if (start.size() < 33 || start.substr(8, 8) != std::string_view("\0\0\0\x0dIHDR", 8))
        return unreadable("no image header first");
    const std::uint64_t width = unsignedAt(start, 16, 4, ByteOrder::Big);
    const std::uint64_t height = unsignedAt(start, 20, 4, ByteOrder::Big);
    const int depth = static_cast<unsigned char>(start[24]);
    const int colourType = static_cast<unsigned char>(start[25]);
    const int interlace = static_cast<unsigned char>(start[28]);
    const int bits = bitsPerPixel(depth, colourType);
    if (width == 0 || height == 0 || width > MaxSide || height > MaxSide || bits == 0 ||
        start[26] != 0 || start[27] != 0 || interlace > 1)
        return unreadable("an image header libpng refuses");

    // Every chunk to the end, as libpng reads them.
    std::uint64_t idat = 0;
    std::uint64_t chunks = 0;
    std::uint64_t inflatedText = 0;
    bool profileSeen = false;
    bool exif = false;
    int cached = 0;
    ByteReader in(file, 8, file.size());
    std::string header;
    std::string data;
    for (;;) {
        if (!in.take(8, header))
            break; // libpng fails at the end of the file, whatever it has read
        const std::uint64_t length = unsignedAt(header, 0, 4, ByteOrder::Big);
        const std::string type = header.substr(4, 4);
        if (length > 0x7fffffff)
            return unreadable("a chunk longer than libpng takes");
        for (const char c : type) {
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                return unreadable("a chunk whose name is not letters");
        }
        ++chunks;
        if (type == "IEND")
            break;
        const bool compressed =
            type == "zTXt" || type == "iTXt" || (type == "iCCP" && !profileSeen);
        const bool kept = compressed || type == "tEXt" || type == "sPLT";
        if (type == "IDAT") {
            idat += length;
        } else if (compressed && ++cached < ChunkCache - 1) {
            if (!in.take(static_cast<std::size_t>(std::min<std::uint64_t>(length, 80 + 2 * 80 + 4)),
                    data))
                break;
            const std::size_t at = compressedStart(type, data);
            if (at != 0 && at < length)
                inflatedText += std::min(MaxInflated, (length - at) * BestDeflateRatio);
            profileSeen = profileSeen || type == "iCCP";
            if (!in.skip(length - data.size() + 4))
                break;
            continue;
        } else if (kept) {
            ++cached;
        }
        exif = exif || type == "eXIf";
        if (!in.skip(length + 4))
            break;
    }
    if (idat == 0)
        return unreadable("no image data");

    Assessment assessment;
    assessment.width = width;
    assessment.height = height;
    assessment.components = channelsOf(colourType);
    const std::uint64_t rows = rowBytes(width, height, bits, interlace == 1);
    const double image =
        double(rows) * SecondsPerRowByte + double(width) * double(height) * SecondsPerPixel;
    assessment.seconds =
        image + double(inflatedText) * SecondsPerTextByte + double(chunks) * SecondsPerChunk;
    assessment.plainSeconds = image;
    // Deflate cannot do better than about 1032:1; a flat picture's rows are
    // as small as they can be, and no smaller.
    assessment.honestBytes = rows / BestDeflateRatio;
    // The picture, once more while an Exif orientation turns it, and the text kept.
    assessment.memory = bgrBytes(width, height) * (exif ? 2 : 1) + inflatedText;
    return assessment;
}

// libpng's errors come back through longjmp, with their message; its first
// warning is kept.
struct Messages
{
    std::string error;
    std::string warning;
};

void exitWithError(png_structp png, png_const_charp message)
{
    static_cast<Messages *>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void keepFirstWarning(png_structp png, png_const_charp message)
{
    auto *messages = static_cast<Messages *>(png_get_error_ptr(png));
    if (messages->warning.empty())
        messages->warning = message;
}

// libpng's state for one file; the functions that call libpng hold no C++
// object that its longjmp could pass over.
struct Reading
{
    explicit Reading(Messages &messages)
        : png(png_create_read_struct(
              PNG_LIBPNG_VER_STRING, &messages, exitWithError, keepFirstWarning)),
          info(png ? png_create_info_struct(png) : nullptr),
          end(png ? png_create_info_struct(png) : nullptr)
    { }
    ~Reading() { png_destroy_read_struct(&png, &info, &end); }
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;

    png_structp png;
    png_infop info;
    png_infop end;
};

bool readHeader(Reading &reading, std::FILE *file)
{
    if (setjmp(png_jmpbuf(reading.png)) != 0)
        return false;
    png_init_io(reading.png, file);
    png_read_info(reading.png, reading.info);
    return true;
}

// As OpenCV reads a picture into three 8-bit channels: 16-bit samples cut to
// their high byte, alpha and transparency dropped, palettes and grey
// expanded, colour in BGR order, interlaced passes combined.
bool readPixels(Reading &reading, unsigned char **rows)
{
    if (setjmp(png_jmpbuf(reading.png)) != 0)
        return false;
    png_structp png = reading.png;
    const int depth = png_get_bit_depth(png, reading.info);
    const int colourType = png_get_color_type(png, reading.info);
    if (depth == 16)
        png_set_strip_16(png);
    else
        png_set_swap(png);
    png_set_strip_alpha(png);
    if (colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && depth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if ((colourType & PNG_COLOR_MASK_COLOR) != 0)
        png_set_bgr(png);
    else
        png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, reading.info);
    png_read_image(png, rows);
    png_read_end(png, reading.end);
    return true;
}

// The eXIf chunk before or after the pixels, as OpenCV looks for it.
int orientationOf(const Reading &reading)
{
    png_uint_32 length = 0;
    png_bytep exif = nullptr;
    for (png_inforp info : {reading.info, reading.end}) {
        if (png_get_valid(reading.png, info, PNG_INFO_eXIf) != 0) {
            png_get_eXIf_1(reading.png, info, &length, &exif);
            break;
        }
    }
    if (!exif || length == 0)
        return 1;
    return exifOrientation(std::string_view(reinterpret_cast<const char *>(exif), length))
        .value_or(1);
}

Decoded decodePng(
    const DecodeRequest &request, std::FILE *file, Reading &reading, const Messages &messages)
{
    const auto failure = [&messages] {
        return Decoded::failed("undecodable: libpng: " + messages.error);
    };
    if (!reading.png || !reading.info || !reading.end)
        return Decoded::failed("undecodable: libpng cannot start");
    if (!readHeader(reading, file))
        return failure();
    const Assessment &checked = request.assessment;
    const png_uint_32 width = png_get_image_width(reading.png, reading.info);
    const png_uint_32 height = png_get_image_height(reading.png, reading.info);
    const int channels = png_get_channels(reading.png, reading.info);
    if (width != checked.width || height != checked.height || channels != checked.components)
        return readOtherwise("PNG", "libpng", width, height, channels, checked);
    Decoded decoded;
    decoded.image.create(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
    std::vector<unsigned char *> rows(height);
    for (int row = 0; row < decoded.image.rows; ++row)
        rows[static_cast<std::size_t>(row)] = decoded.image.ptr<unsigned char>(row);
    if (!readPixels(reading, rows.data()))
        return failure();
    turnAsExifSays(decoded.image, orientationOf(reading));
    return decoded;
}

Decoded decode(const DecodeRequest &request)
{
    const OpenFile file = openForDecoding(request);
    if (!file)
        return Decoded::failed("unreadable: the file cannot be opened again");
    Messages messages;
    Decoded decoded;
    {
        Reading reading(messages);
        decoded = decodePng(request, file.get(), reading, messages);
    }
    if (!messages.warning.empty())
        report(request.path, "warning: libpng: " + messages.warning);
    return decoded;
}

} // namespace

extern const Format PngFormat = {"PNG", matches, inspect, nullptr, decode};
