#include "decoding/jpegmarkers.h"

#include "decoding/bytes.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint64_t divideRoundingUp(std::uint64_t value, std::uint64_t divisor)
{
    return (value + divisor - 1) / divisor;
}

} // namespace

bool jpeg::hasSegment(int marker)
{
    // SOI, EOI, RSTn and TEM stand alone.
    return marker != Soi && marker != Eoi && (marker < 0xd0 || marker > 0xd7) && marker != 0x01;
}

bool jpeg::isFrame(int marker)
{
    // 0xc4 (DHT), 0xc8 (JPG) and 0xcc (DAC) share the range but are no frames.
    return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
}

bool JpegFrame::progressive() const
{
    return marker == 0xc2 || marker == 0xc6 || marker == 0xca || marker == 0xce;
}

bool JpegFrame::arithmetic() const
{
    return marker >= 0xc9;
}

std::uint64_t JpegFrame::blocks(const Component &component) const
{
    int widest = 1;
    int tallest = 1;
    for (const Component &other : components) {
        widest = std::max(widest, other.horizontal);
        tallest = std::max(tallest, other.vertical);
    }
    // As libjpeg sizes a component: ceil(side * factor / (largest factor * 8)).
    const auto across = divideRoundingUp(std::uint64_t {width} * component.horizontal,
        std::uint64_t {8} * static_cast<unsigned>(widest));
    const auto down = divideRoundingUp(std::uint64_t {height} * component.vertical,
        std::uint64_t {8} * static_cast<unsigned>(tallest));
    return across * down;
}

std::optional<JpegFrame> parseFrame(int marker, std::string_view segment)
{
    // Precision, height, width, component count, then three bytes a component.
    if (segment.size() < 6)
        return std::nullopt;
    JpegFrame frame;
    frame.marker = marker;
    frame.height = static_cast<std::uint32_t>(unsignedAt(segment, 1, 2, ByteOrder::Big));
    frame.width = static_cast<std::uint32_t>(unsignedAt(segment, 3, 2, ByteOrder::Big));
    const auto count = static_cast<std::size_t>(static_cast<unsigned char>(segment[5]));
    if (segment.size() < 6 + 3 * count)
        return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
        const auto factors = static_cast<unsigned char>(segment[6 + 3 * i + 1]);
        JpegFrame::Component component;
        component.id = static_cast<unsigned char>(segment[6 + 3 * i]);
        component.horizontal = std::max(1, factors >> 4);
        component.vertical = std::max(1, factors & 0x0f);
        frame.components.push_back(component);
    }
    return frame;
}

JpegMarkers::JpegMarkers(std::istream &in) : in(in), buffer(std::size_t {64} * 1024)
{
    in.clear();
    in.seekg(0);
}

bool JpegMarkers::refill()
{
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    filled = static_cast<std::size_t>(in.gcount());
    position = 0;
    return filled > 0;
}

int JpegMarkers::byte()
{
    if (position == filled && !refill())
        return -1;
    return static_cast<unsigned char>(buffer[position++]);
}

int JpegMarkers::next()
{
    for (;;) {
        // Most of a large file is entropy-coded data: find each 0xFF at memchr's pace.
        const void *found = nullptr;
        while (!(found = std::memchr(buffer.data() + position, 0xff, filled - position))) {
            if (!refill())
                return 0;
        }
        position = static_cast<std::size_t>(static_cast<const char *>(found) - buffer.data()) + 1;
        int code = 0;
        do
            code = byte();
        while (code == 0xff);
        if (code < 0)
            return 0;
        if (code != 0)
            return code;
    }
}

std::optional<std::string> JpegMarkers::segment(std::size_t keep)
{
    const int high = byte();
    const int low = byte();
    if (low < 0)
        return std::nullopt;
    const auto length = static_cast<std::size_t>(high << 8 | low);
    if (length < 2)
        return std::nullopt;
    std::string kept;
    std::size_t left = length - 2;
    while (left > 0) {
        if (position == filled && !refill())
            return std::nullopt;
        const std::size_t take = std::min(left, filled - position);
        kept.append(buffer.data() + position, std::min(take, keep - std::min(keep, kept.size())));
        position += take;
        left -= take;
    }
    return kept;
}
