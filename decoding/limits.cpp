#include "decoding/limits.h"

#include "decoding/memory.h"
#include "decoding/opencvsettings.h"

#include <cstdlib>
#include <optional>

namespace {

// An OpenCV size setting from the environment, where it is set and readable.
void readSetting(const char *name, std::uint64_t &value)
{
    if (const char *setting = std::getenv(name)) {
        if (const std::optional<std::uint64_t> read = openCvSizeSetting(setting))
            value = *read;
    }
}

} // namespace

DecodeLimits DecodeLimits::forThisProcess()
{
    DecodeLimits limits;
    readSetting("OPENCV_IO_MAX_IMAGE_PIXELS", limits.pixels);
    readSetting("OPENCV_IO_MAX_IMAGE_WIDTH", limits.width);
    readSetting("OPENCV_IO_MAX_IMAGE_HEIGHT", limits.height);
    if (const std::optional<std::uint64_t> memory = ::availableMemory())
        limits.availableMemory = *memory;
    return limits;
}
