#include "decoding/exif.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <map>

namespace {

constexpr std::uint32_t OrientationTag = 0x112;

// The tags whose values OpenCV reads while it walks the directory: reading
// one that lies outside the block ends the walk.
enum class Value { String, Short, Rational, Ignored };

Value valueOf(std::uint32_t tag)
{
    static const std::map<std::uint32_t, Value> read = {{0x10e, Value::String},
        {0x10f, Value::String}, {0x110, Value::String}, {0x112, Value::Short},
        {0x11a, Value::Rational}, {0x11b, Value::Rational}, {0x128, Value::Short},
        {0x131, Value::String}, {0x132, Value::String}, {0x13e, Value::Rational},
        {0x13f, Value::Rational}, {0x211, Value::Rational}, {0x213, Value::Short},
        {0x214, Value::Rational}, {0x8298, Value::String}};
    const auto found = read.find(tag);
    return found == read.end() ? Value::Ignored : found->second;
}

// How many rationals each rational tag holds.
int rationalsOf(std::uint32_t tag)
{
    switch (tag) {
    case 0x13e: // white point
        return 2;
    case 0x13f: // primary chromaticities
    case 0x214: // reference black and white
        return 6;
    case 0x211: // YCbCr coefficients
        return 3;
    default: // resolutions
        return 1;
    }
}

// The block's numbers as OpenCV reads them: Intel order only where it starts
// "II", big-endian otherwise; a read past the end stops the walk.
class Block
{
public:
    explicit Block(std::string_view bytes) : bytes(bytes)
    {
        const bool alike = bytes.size() < 2 || bytes[0] == bytes[1];
        intel = alike && !bytes.empty() && bytes[0] == 'I';
    }

    bool number(std::size_t at, std::size_t size, std::uint32_t &value) const
    {
        if (at + size - 1 >= bytes.size())
            return false;
        value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t index = intel ? at + size - 1 - i : at + i;
            value = value << 8 | static_cast<unsigned char>(bytes[index]);
        }
        return true;
    }

    // Whether the value of an entry at `entry` can be read as OpenCV reads it.
    bool valueReadable(std::size_t entry, Value kind, std::uint32_t tag) const
    {
        std::uint32_t value = 0;
        switch (kind) {
        case Value::String: {
            std::uint32_t count = 0;
            if (!number(entry + 4, 4, count))
                return false;
            std::size_t at = 8; // where OpenCV looks for a short string
            if (count > 4) {
                if (!number(entry + 8, 4, value))
                    return false;
                at = value;
            }
            return at <= bytes.size() && at + count <= bytes.size();
        }
        case Value::Rational: {
            std::uint32_t at = 0;
            if (!number(entry + 8, 4, at))
                return false;
            for (int i = 0; i < rationalsOf(tag); ++i, at += 8) { // wraps as OpenCV's does
                if (!number(at, 4, value) || !number(std::size_t {at} + 4, 4, value))
                    return false;
            }
            return true;
        }
        case Value::Short:
            return number(entry + 8, 2, value);
        case Value::Ignored:
            return true;
        }
        return true;
    }

private:
    std::string_view bytes;
    bool intel = false;
};

} // namespace

std::optional<int> exifOrientation(std::string_view tiff)
{
    const Block block(tiff);
    std::uint32_t mark = 0;
    std::uint32_t directory = 0;
    std::uint32_t entries = 0;
    if (!block.number(2, 2, mark) || mark != 0x2a || !block.number(4, 4, directory) ||
        !block.number(directory, 2, entries))
        return std::nullopt;
    std::size_t entry = std::size_t {directory} + 2;
    for (std::uint32_t i = 0; i < entries; ++i, entry += 12) {
        std::uint32_t tag = 0;
        if (!block.number(entry, 2, tag))
            return std::nullopt;
        const Value kind = valueOf(tag);
        if (!block.valueReadable(entry, kind, tag))
            return std::nullopt;
        // The first entry of a tag counts; later ones are ignored.
        std::uint32_t orientation = 0;
        if (tag == OrientationTag && block.number(entry + 8, 2, orientation))
            return static_cast<int>(orientation);
    }
    return std::nullopt;
}

void turnAsExifSays(cv::Mat &image, int orientation)
{
    // Rows and columns swap first for the last four, as the tag counts them.
    if (orientation >= 5 && orientation <= 8)
        cv::transpose(image, image);
    switch (orientation) {
    case 2: // mirrored
    case 6: // turned 90 degrees clockwise
        cv::flip(image, image, 1);
        break;
    case 3: // turned 180 degrees
    case 7:
        cv::flip(image, image, -1);
        break;
    case 4: // upside down
    case 8: // turned 90 degrees anticlockwise
        cv::flip(image, image, 0);
        break;
    default: // 1 and 5 need no flip
        break;
    }
}
