#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A box as HEIF (the ISO base media file format) and JPEG 2000's JP2 files
// both lay them out: a 32-bit size that counts the header, a four-letter
// type, and where the size is 1 a 64-bit size after the type; a size of 0
// runs to the end of whatever holds the box.
struct IsoBox
{
    std::string type;
    std::uint64_t contents = 0; // where its contents begin
    std::uint64_t end = 0; // just past it
};

// The box whose header starts `header` (16 bytes, or fewer at the end), at
// `offset` inside something that ends at `limit`: empty when the header is
// cut short or the box overruns the limit.
std::optional<IsoBox> isoBoxAt(std::string_view header, std::uint64_t offset, std::uint64_t limit);

// The boxes one after the other in bytes[begin, end), at most `most` of
// them; empty when one overruns the others or there are more.
std::optional<std::vector<IsoBox>> isoBoxesIn(
    std::string_view bytes, std::size_t begin, std::size_t end, std::size_t most);
