// BMP: OpenCV's own decoder, in the OpenCV codec module, loaded at the first
// decode. Its header, the cost of a picture, and the channel masks of 32-bit
// files, which OpenCV does not read in colour mode.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvmodule.h"

#include <opencv2/core.hpp>

#include <map>
#include <mutex>
#include <tuple>

namespace {

// Measured by morvastel_weights: seconds a pixel, decoded and stored as BGR.
constexpr double SecondsPerPixel = 2.6e-9;

constexpr std::uint32_t Rgb = 0;
constexpr std::uint32_t Rle8 = 1;
constexpr std::uint32_t Rle4 = 2;
constexpr std::uint32_t BitFields = 3;

bool matches(std::string_view start)
{
    return startsWith(start, "BM");
}

std::int32_t signed32(std::uint64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// The bits and compressions the decoder takes, as it checks them.
bool decodable(std::uint32_t bits, std::uint32_t compression)
{
    switch (compression) {
    case Rgb:
        return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    case Rle8:
        return bits == 8;
    case Rle4:
        return bits == 4;
    case BitFields:
        return bits == 16 || bits == 32;
    default:
        return false;
    }
}

// Where a 32-bit BI_BITFIELDS BMP keeps its colours: a mask for each channel,
// after a 40-byte info header or inside a longer one. OpenCV's own layout is
// blue, green, red (and alpha) from the lowest byte.
struct Masks
{
    std::uint32_t headerSize = 0;
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;

    bool operator<(const Masks &other) const
    {
        return std::tie(headerSize, red, green, blue) <
            std::tie(other.headerSize, other.red, other.green, other.blue);
    }
};

// The masks of a 32-bit BI_BITFIELDS file, which OpenCV reads as blue,
// green, red (and alpha) whatever they say; none for other files.
std::optional<Masks> masksOf(std::string_view start)
{
    if (start.size() < 66)
        return std::nullopt;
    const auto at = [start](std::size_t offset, std::size_t size) {
        return static_cast<std::uint32_t>(unsignedAt(start, offset, size, ByteOrder::Little));
    };
    const std::uint32_t headerSize = at(14, 4);
    const bool knownHeader = headerSize == 40 || (headerSize >= 52 && headerSize <= 124);
    if (!knownHeader || at(28, 2) != 32 || at(30, 4) != BitFields)
        return std::nullopt;
    return Masks {headerSize, at(54, 4), at(58, 4), at(62, 4)};
}

Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const std::string_view start = file.start();
    if (start.size() < 26)
        return Assessment::refused("unreadable BMP header: the file ends inside it");
    const auto at = [start](std::size_t offset, std::size_t size) {
        return unsignedAt(start, offset, size, ByteOrder::Little);
    };
    const std::int32_t headerSize = signed32(at(14, 4));
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint32_t bits = 0;
    std::uint32_t compression = Rgb;
    if (headerSize == 12) { // OS/2: 16-bit sides
        width = static_cast<std::int64_t>(at(18, 2));
        height = static_cast<std::int64_t>(at(20, 2));
        bits = static_cast<std::uint32_t>(at(24, 2));
    } else if (headerSize >= 36 && start.size() >= 34) { // Windows: signed 32-bit sides
        width = signed32(at(18, 4));
        height = signed32(at(22, 4));
        bits = static_cast<std::uint32_t>(at(28, 2));
        compression = static_cast<std::uint32_t>(at(30, 4));
    } else {
        return Assessment::refused("unreadable BMP header: an info header of " +
            std::to_string(headerSize) + " bytes, which no BMP has");
    }
    height = height < 0 ? -height : height; // negative: rows top down
    if (!positiveSides(width, height) || !decodable(bits, compression))
        return Assessment::refused("unreadable BMP header: a picture the decoder does not take");

    Assessment assessment;
    assessment.width = static_cast<std::uint64_t>(width);
    assessment.height = static_cast<std::uint64_t>(height);
    assessment.seconds = static_cast<double>(assessment.pixels()) * SecondsPerPixel;
    assessment.plainSeconds = assessment.seconds;
    // Uncompressed rows are all there in an honest file; run lengths may end
    // the picture at any pixel.
    if (compression == Rgb || compression == BitFields) {
        const std::uint64_t rowBytes = divideRoundingUp(assessment.width * bits, 32) * 4;
        assessment.honestBytes = saturatingProduct(rowBytes, assessment.height);
    }
    assessment.memory = bgrBytes(assessment.width, assessment.height);
    if (const std::optional<Masks> masks = masksOf(start))
        assessment.details = *masks;
    return assessment;
}

// Which byte of a pixel the mask takes, when it takes exactly one.
std::optional<int> maskedByte(std::uint32_t mask)
{
    for (int byte = 0; byte < 4; ++byte) {
        if (mask == std::uint32_t {0xff} << (8 * byte))
            return byte;
    }
    return std::nullopt;
}

void append(std::vector<uchar> &file, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        file.push_back(static_cast<uchar>(value >> (8 * i)));
}

// A 4 x 2 BMP with these masks and its pixels in BGR order, rows stored
// bottom up. Each pixel's channels differ, red never equal to blue.
Decoding probe(const Codec &codec, const Masks &masks, int red, int green, int blue)
{
    const int width = 4;
    const int height = 2;
    const std::uint32_t masksAfterHeader = masks.headerSize == 40 ? 12 : 0;
    const std::uint32_t dataAt = 14 + masks.headerSize + masksAfterHeader;
    const std::uint32_t dataSize = width * height * 4;
    std::vector<uchar> file = {'B', 'M'};
    append(file, dataAt + dataSize, 4);
    append(file, 0, 4);
    append(file, dataAt, 4);
    append(file, masks.headerSize, 4);
    append(file, width, 4);
    append(file, height, 4);
    append(file, 1, 2); // planes
    append(file, 32, 2);
    append(file, BitFields, 4);
    append(file, dataSize, 4);
    file.insert(file.end(), 16, 0); // resolution, colours used and important
    append(file, masks.red, 4);
    append(file, masks.green, 4);
    append(file, masks.blue, 4);
    file.resize(dataAt, 0); // the rest of a longer header: no alpha mask, calibrated RGB

    const int alpha = 6 - red - green - blue; // the byte left over
    cv::Mat expected(height, width, CV_8UC3);
    for (int row = height - 1; row >= 0; --row) {
        for (int column = 0; column < width; ++column) {
            const int i = row * width + column;
            const auto sample = [i](int channel) {
                return static_cast<uchar>((40 * i + 70 * channel + 15) % 256);
            };
            std::uint32_t pixel = std::uint32_t {0xff} << (8 * alpha);
            pixel |= std::uint32_t {sample(0)} << (8 * red);
            pixel |= std::uint32_t {sample(1)} << (8 * green);
            pixel |= std::uint32_t {sample(2)} << (8 * blue);
            append(file, pixel, 4);
            expected.at<cv::Vec3b>(row, column) = cv::Vec3b(sample(2), sample(1), sample(0));
        }
    }
    return probeDecoding(codec, file, expected);
}

Decoding findDecoding(const Codec &codec, const Masks &masks)
{
    if (masks.red == 0xff0000 && masks.green == 0xff00 && masks.blue == 0xff)
        return Decoding::Correct;
    const std::optional<int> red = maskedByte(masks.red);
    const std::optional<int> green = maskedByte(masks.green);
    const std::optional<int> blue = maskedByte(masks.blue);
    if (!red || !green || !blue || *red == *green || *green == *blue || *red == *blue)
        return Decoding::Wrong;
    return probe(codec, masks, *red, *green, *blue);
}

// Found out once per layout: swapped channels are swapped back; masks that do
// not each take a whole byte, or bytes OpenCV gets wrong, cannot be put right.
Decoding decodingOf(const Masks &masks)
{
    static std::mutex mutex;
    static std::map<Masks, Decoding> found;
    const std::lock_guard<std::mutex> lock(mutex);
    auto known = found.find(masks);
    if (known == found.end())
        known = found.emplace(masks, findDecoding(openCvCodec(), masks)).first;
    return known->second;
}

// OpenCV's codecs, and how they decode this file's channel masks: found out
// in the program, once, rather than in every decode.
bool prepare(const Assessment &assessment, std::string &why)
{
    if (!loadOpenCv(assessment, why))
        return false;
    if (const auto *masks = std::any_cast<Masks>(&assessment.details))
        decodingOf(*masks);
    return true;
}

Decoded decode(const DecodeRequest &request)
{
    Mend mend;
    if (const auto *masks = std::any_cast<Masks>(&request.assessment.details)) {
        const Decoding decoding = decodingOf(*masks);
        if (decoding == Decoding::Wrong)
            return Decoded::failed(
                "unmendable: the OpenCV in use decodes BMP files like this one wrongly");
        mend.swapRedBlue = decoding == Decoding::RedBlueSwapped;
    }
    Decoded decoded = decodeWithOpenCv(request);
    if (!decoded.image.empty())
        mend.apply(decoded.image);
    return decoded;
}

} // namespace

extern const Format BmpFormat = {"BMP", matches, inspect, prepare, decode};
