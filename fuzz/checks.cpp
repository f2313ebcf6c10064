// libFuzzer's entry: a file's bytes through everything the program does with
// them before any decoder sees them. Decodes nothing and needs no window.
#include "decoding/verdict.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const FileBytes file = FileBytes::ofMemory(bytes);
    // The limits as the program has them, and with none, so that every model
    // runs to its end whatever the file declares.
    inspectFile(file, DecodeLimits());
    DecodeLimits unlimited;
    unlimited.pixels = ~std::uint64_t {0};
    unlimited.freeSeconds = 1e30;
    inspectFile(file, unlimited);
    return 0;
}
