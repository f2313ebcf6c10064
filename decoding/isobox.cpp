#include "decoding/isobox.h"

#include "decoding/byteorder.h"

#include <algorithm>

std::optional<IsoBox> isoBoxAt(std::string_view header, std::uint64_t offset, std::uint64_t limit)
{
    if (header.size() < 8 || offset > limit)
        return std::nullopt;
    IsoBox box;
    box.type = std::string(header.substr(4, 4));
    std::uint64_t size = bigEndianAt(header, 0, 4);
    std::uint64_t headerSize = 8;
    if (size == 1) {
        if (header.size() < 16)
            return std::nullopt;
        size = bigEndianAt(header, 8, 8);
        headerSize = 16;
    } else if (size == 0) {
        size = limit - offset;
    }
    // Compared with what is left, so that no sum can wrap.
    if (size < headerSize || size > limit - offset)
        return std::nullopt;
    box.contents = offset + headerSize;
    box.end = offset + size;
    return box;
}

std::optional<std::vector<IsoBox>> isoBoxesIn(
    std::string_view bytes, std::size_t begin, std::size_t end, std::size_t most)
{
    std::vector<IsoBox> found;
    for (std::size_t at = begin; at < end;) {
        const std::optional<IsoBox> box = found.size() == most
            ? std::nullopt
            : isoBoxAt(bytes.substr(at, std::min<std::size_t>(16, end - at)), at, end);
        if (!box)
            return std::nullopt;
        found.push_back(*box);
        at = static_cast<std::size_t>(box->end);
    }
    return found;
}
