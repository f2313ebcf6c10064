#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jpeg {

constexpr int Soi = 0xd8;
constexpr int Eoi = 0xd9;
constexpr int Sos = 0xda;
constexpr int App1 = 0xe1;

// Whether a length and a segment follow the marker.
bool hasSegment(int marker);

// A start-of-frame marker, of any coding process.
bool isFrame(int marker);

} // namespace jpeg

// The frame header (SOFn) of a JPEG stream.
struct JpegFrame
{
    struct Component
    {
        int id = 0;
        int horizontal = 1; // sampling factors
        int vertical = 1;
    };

    int marker = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<Component> components;

    bool progressive() const;
    bool arithmetic() const;
    // The 8 x 8 blocks that the decoder walks for one component in a scan.
    std::uint64_t blocks(const Component &component) const;
};

// Reads the frame header that follows a SOFn marker; empty when it is malformed.
std::optional<JpegFrame> parseFrame(int marker, std::string_view segment);

// Walks a JPEG stream marker by marker, finding them as libjpeg does: 0xFF,
// any number of fill bytes 0xFF, then a code other than 0. Everything else
// (entropy-coded data with its stuffed 0xFF 0x00, stray bytes) is passed over
// in one buffered pass.
class JpegMarkers
{
public:
    explicit JpegMarkers(std::istream &in);

    // The code of the next marker, or 0 at the end of the stream.
    int next();

    // The segment that follows the marker just read, without its length field;
    // at most `keep` bytes of it are returned, the rest is passed over. Empty
    // when the marker has no segment or the stream ends inside it.
    std::optional<std::string> segment(std::size_t keep = 0xffff);

private:
    bool refill();
    int byte();

    std::istream &in;
    std::vector<char> buffer;
    std::size_t position = 0;
    std::size_t filled = 0;
};
