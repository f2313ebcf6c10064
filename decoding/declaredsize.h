#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string_view>

// The image formats this program's OpenCV decodes. OpenCV tells them apart by
// their first bytes, whatever the file's name.
enum class ImageFormat {
    Bmp,
    Radiance,
    Jpeg,
    WebP,
    SunRaster,
    Pnm,
    Pam,
    Pfm,
    Tiff,
    Png,
    Jpeg2000,
    OpenExr,
};

// What a file's header says the picture measures.
struct DeclaredImage
{
    ImageFormat format = ImageFormat::Bmp;
    std::uint64_t width = 0;
    std::uint64_t height = 0;

    // width * height, or the largest number where that does not fit.
    std::uint64_t pixels() const;
};

// The format whose decoder OpenCV picks for a file that starts with these
// bytes (64 are enough), if it is one of these.
std::optional<ImageFormat> formatOf(std::string_view start);

// The size that the header of `file` declares, read from its own bytes as the
// decoder that OpenCV picks for it reads it. Empty when no decoder of these
// formats would take the file, or its header cannot be read: the decoder then
// has the last word, as for any file.
std::optional<DeclaredImage> readDeclaredImage(std::istream &file);
