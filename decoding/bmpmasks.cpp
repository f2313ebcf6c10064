#include "decoding/bmpmasks.h"

#include "decoding/bytes.h"

#include <opencv2/core.hpp>

#include <map>
#include <mutex>
#include <tuple>

namespace {

constexpr std::uint32_t BitFields = 3;

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
Decoding probe(const BmpMasks &masks, int red, int green, int blue)
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
    return probeDecoding(file, expected);
}

Decoding findDecoding(const BmpMasks &masks)
{
    if (masks.red == 0xff0000 && masks.green == 0xff00 && masks.blue == 0xff)
        return Decoding::Correct;
    const std::optional<int> red = maskedByte(masks.red);
    const std::optional<int> green = maskedByte(masks.green);
    const std::optional<int> blue = maskedByte(masks.blue);
    if (!red || !green || !blue || *red == *green || *green == *blue || *red == *blue)
        return Decoding::Wrong;
    return probe(masks, *red, *green, *blue);
}

} // namespace

bool BmpMasks::operator<(const BmpMasks &other) const
{
    return std::tie(headerSize, red, green, blue) <
        std::tie(other.headerSize, other.red, other.green, other.blue);
}

std::optional<BmpMasks> readBmpMasks(std::string_view start)
{
    if (start.size() < 66 || !startsWith(start, "BM"))
        return std::nullopt;
    const auto at = [start](std::size_t offset, std::size_t size) {
        return static_cast<std::uint32_t>(unsignedAt(start, offset, size, ByteOrder::Little));
    };
    BmpMasks masks;
    masks.headerSize = at(14, 4);
    const bool knownHeader =
        masks.headerSize == 40 || (masks.headerSize >= 52 && masks.headerSize <= 124);
    if (!knownHeader || at(28, 2) != 32 || at(30, 4) != BitFields)
        return std::nullopt;
    masks.red = at(54, 4);
    masks.green = at(58, 4);
    masks.blue = at(62, 4);
    return masks;
}

Decoding bmpDecoding(const BmpMasks &masks)
{
    static std::mutex mutex;
    static std::map<BmpMasks, Decoding> found;
    const std::lock_guard<std::mutex> lock(mutex);
    const auto known = found.find(masks);
    if (known != found.end())
        return known->second;
    return found[masks] = findDecoding(masks);
}
