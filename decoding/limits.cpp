#include "decoding/limits.h"

#include "decoding/memory.h"
#include "decoding/opencvsettings.h"

#include <cstdlib>
#include <optional>

DecodeLimits DecodeLimits::forThisProcess()
{
    DecodeLimits limits;
    if (const char *setting = std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS")) {
        if (const std::optional<std::uint64_t> pixels = openCvSizeSetting(setting))
            limits.pixels = *pixels;
    }
    if (const std::optional<std::uint64_t> memory = ::availableMemory())
        limits.availableMemory = *memory;
    return limits;
}
