#include "support/bytesverdict.h"

#include "decoding/formats.h"

#include <string_view>

Verdict inspectBytes(const QByteArray &file, const DecodeLimits &limits)
{
    const std::string_view bytes(file.constData(), static_cast<std::size_t>(file.size()));
    return inspectFile(FileBytes::ofMemory(bytes), limits);
}

const char *formatName(const Verdict &verdict)
{
    return verdict.format < 0
        ? ""
        : formatsInDecoderOrder()[static_cast<std::size_t>(verdict.format)]->name;
}
