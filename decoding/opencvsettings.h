#pragma once

#include <cctype>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A size setting read from the environment as OpenCV reads it: digits, then
// nothing, KB or MB (or Kb, kb, Mb, mb). Empty where OpenCV refuses it.
inline std::optional<std::uint64_t> openCvSizeSetting(std::string_view value)
{
    std::size_t digits = 0;
    while (digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits])))
        ++digits;
    std::uint64_t number = 0;
    try {
        number = std::stoull(std::string(value.substr(0, digits)));
    } catch (const std::logic_error &) { // no digits, or too many
        return std::nullopt;
    }
    const std::string_view suffix = value.substr(digits);
    if (suffix.empty())
        return number;
    if (suffix == "MB" || suffix == "Mb" || suffix == "mb")
        return number * 1024 * 1024;
    if (suffix == "KB" || suffix == "Kb" || suffix == "kb")
        return number * 1024;
    return std::nullopt;
}

// The size settings that OpenCV's codecs library reads from the environment
// while it is being loaded. One it cannot read throws an exception there,
// which nothing can catch: the process ends.
inline const char *const CodecLoadSettings[] = {
    "OPENCV_IO_MAX_IMAGE_PARAMS",
    "OPENCV_IO_MAX_IMAGE_WIDTH",
    "OPENCV_IO_MAX_IMAGE_HEIGHT",
    "OPENCV_IO_MAX_IMAGE_PIXELS",
    "OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE",
};
