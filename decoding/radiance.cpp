// Radiance HDR: OpenCV's own decoder, which reads the header with fgets and
// sscanf and decodes into a float picture before converting it.
#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvmodule.h"

#include <cctype>
#include <cstdlib>

namespace {

// Measured by morvastel_weights: seconds a pixel, run lengths decoded to
// floats and converted to 8-bit BGR.
constexpr double SecondsPerPixel = 19e-9;
// The float picture it decodes into, and the 8-bit one it returns.
constexpr std::uint64_t BytesPerPixel = 12 + 3;

// The longest header this reader follows; real ones take a few hundred bytes.
constexpr std::uint64_t MaxHeader = std::uint64_t {64} * 1024;

bool matches(std::string_view start)
{
    return startsWith(start, "#?RGBE") || startsWith(start, "#?RADIANCE");
}

// One read of fgets(line, 128, file), as the decoder makes them: through the
// first line feed, or 127 bytes.
std::optional<std::string> chunk(ByteReader &in)
{
    std::string line;
    while (line.size() < 127) {
        const int c = in.next();
        if (c < 0)
            break;
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    if (line.empty())
        return std::nullopt;
    return line.substr(0, line.find('\0')); // read as a C string from here on
}

// scanf's %d: white space, a sign, digits; kept as a long and then cut to int.
std::optional<int> scanInt(std::string_view &text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    const std::string rest(text.substr(at));
    const char *begin = rest.c_str();
    char *end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin)
        return std::nullopt;
    text.remove_prefix(at + static_cast<std::size_t>(end - begin));
    return static_cast<int>(value);
}

void skipSpace(std::string_view &text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
}

bool skipLiteral(std::string_view &text, std::string_view literal)
{
    if (!startsWith(text, literal))
        return false;
    text.remove_prefix(literal.size());
    return true;
}

// Header lines up to an empty one, then "-Y height +X width".
Assessment inspect(const FileBytes &file, const DecodeLimits &)
{
    const Assessment unreadable = Assessment::refused("unreadable Radiance header");
    ByteReader in(file, 0, MaxHeader);
    if (!chunk(in))
        return unreadable;
    for (;;) {
        const std::optional<std::string> line = chunk(in);
        if (!line)
            return unreadable;
        if (startsWith(*line, "\n"))
            break;
    }
    const std::optional<std::string> resolution = chunk(in);
    if (!resolution)
        return unreadable;
    std::string_view text = *resolution; // as sscanf(line, "-Y %d +X %d", &height, &width)
    if (!skipLiteral(text, "-Y"))
        return unreadable;
    skipSpace(text);
    const std::optional<int> height = scanInt(text);
    skipSpace(text);
    if (!height || !skipLiteral(text, "+X"))
        return unreadable;
    skipSpace(text);
    const std::optional<int> width = scanInt(text);
    if (!width || !positiveSides(*width, *height))
        return unreadable;

    Assessment assessment;
    assessment.width = static_cast<std::uint64_t>(*width);
    assessment.height = static_cast<std::uint64_t>(*height);
    assessment.seconds = static_cast<double>(assessment.pixels()) * SecondsPerPixel;
    assessment.plainSeconds = assessment.seconds;
    // Rows between 8 and 32767 pixels wide are run-length coded channel by
    // channel, at best 2 bytes for 127 samples, after a 4-byte row header;
    // others are 4 bytes a pixel.
    const bool runLengths = *width >= 8 && *width <= 0x7fff;
    const std::uint64_t rowBytes = runLengths
        ? 4 + std::uint64_t {8} * divideRoundingUp(assessment.width, 127)
        : 4 * assessment.width;
    assessment.honestBytes = saturatingProduct(rowBytes, assessment.height);
    assessment.memory = saturatingProduct(assessment.pixels(), BytesPerPixel);
    return assessment;
}

} // namespace

extern const Format RadianceFormat = {
    "Radiance HDR", matches, inspect, loadOpenCv, decodeWithOpenCv};
