// The Netpbm family, each read by a decoder of OpenCV's own, in the OpenCV
// codec module, loaded at the first decode: PBM, PGM and PPM ("P1" to "P6"),
// PAM ("P7"), whose colour order depends on its tuple type, and PFM ("PF" and
// "Pf").
#include "decoding/netpbm.h"

#include "decoding/byteorder.h"
#include "decoding/formats.h"
#include "decoding/opencvmodule.h"

#include <opencv2/core.hpp>

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace {

// Measured by morvastel_weights: seconds a pixel for binary rows (read and
// stored as BGR), for text samples, and for PFM's floats.
constexpr double SecondsPerBinaryPixel = 3.8e-9;
constexpr double SecondsPerTextSample = 12e-9;
constexpr double SecondsPerFloatPixel = 20.5e-9;

// Longer header lines are taken as a broken or hostile file.
constexpr std::size_t MaxLineLength = std::size_t {64} * 1024;
// The decoder knows no tuple type this long; it is not probed either.
constexpr std::size_t MaxTupleTypeLength = 64;

// "P" and a kind letter, then white space.
bool isNetpbm(std::string_view start, std::string_view kinds)
{
    return start.size() >= 3 && start[0] == 'P' && kinds.find(start[1]) != std::string_view::npos &&
        std::isspace(static_cast<unsigned char>(start[2]));
}

// Work and memory for a picture whose rows hold `rowBytes` bytes in an honest
// file, decoded at `secondsPerPixel`, through a buffer of `bufferPerPixel`.
Assessment picture(std::int64_t width, std::int64_t height, std::uint64_t rowBytes,
    double secondsPerPixel, std::uint64_t bufferPerPixel)
{
    Assessment assessment;
    assessment.width = static_cast<std::uint64_t>(width);
    assessment.height = static_cast<std::uint64_t>(height);
    assessment.seconds = static_cast<double>(assessment.pixels()) * secondsPerPixel;
    assessment.plainSeconds = assessment.seconds;
    assessment.honestBytes = saturatingProduct(rowBytes, assessment.height);
    assessment.memory = bgrBytes(assessment.width, assessment.height) +
        saturatingProduct(assessment.pixels(), bufferPerPixel);
    return assessment;
}

// A number in a PNM header: white space and '#' comments (to the end of the
// line) before it, then digits, at most INT_MAX, and one more byte: the
// decoder gives up at the end of the file.
std::optional<std::int64_t> pnmNumber(ByteReader &in)
{
    int c = in.next();
    while (c < 0 || !std::isdigit(c)) {
        if (c == '#') {
            do
                c = in.next();
            while (c != '\n' && c != '\r' && c >= 0);
        } else if (c < 0 || !std::isspace(c)) {
            return std::nullopt;
        }
        c = in.next();
    }
    std::int64_t value = 0;
    for (; c >= 0 && std::isdigit(c); c = in.next()) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX)
            return std::nullopt;
    }
    if (c < 0)
        return std::nullopt;
    return value;
}

// PBM, PGM and PPM, plain or raw: "Pn", then width, height and (but for
// PBM) the largest sample value.
Assessment inspectPnm(const FileBytes &file, const DecodeLimits &)
{
    const Assessment unreadable = Assessment::refused("unreadable PNM header");
    const char kind = file.start()[1];
    ByteReader in(file, 2, file.size());
    const std::optional<std::int64_t> width = pnmNumber(in);
    const std::optional<std::int64_t> height = width ? pnmNumber(in) : std::nullopt;
    if (!height || !positiveSides(*width, *height))
        return unreadable;
    const bool bilevel = kind == '1' || kind == '4';
    std::int64_t maxval = 1;
    if (!bilevel) {
        const std::optional<std::int64_t> read = pnmNumber(in);
        if (!read || *read < 1 || *read > 65535)
            return unreadable;
        maxval = *read;
    }
    const std::uint64_t samples = kind == '3' || kind == '6' ? 3 : 1;
    const std::uint64_t sampleBytes = maxval > 255 ? 2 : 1;
    const auto columns = static_cast<std::uint64_t>(*width);
    if (kind >= '4') {
        const std::uint64_t rowBytes =
            bilevel ? divideRoundingUp(columns, 8) : columns * samples * sampleBytes;
        return picture(*width, *height, rowBytes, SecondsPerBinaryPixel, 3 * sampleBytes);
    }
    // Text: a digit a pixel for PBM, a digit and a space a sample otherwise.
    const std::uint64_t rowBytes = bilevel ? columns : 2 * columns * samples;
    return picture(*width, *height, rowBytes, SecondsPerTextSample * static_cast<double>(samples),
        3 * sampleBytes);
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n\v\f");
    return text.substr(first, last - first + 1);
}

bool readLine(ByteReader &in, std::string &line)
{
    line.clear();
    for (int c; (c = in.next()) >= 0;) {
        if (c == '\n' || c == '\r')
            return true;
        if (line.size() == MaxLineLength)
            return false;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

// The value as a plain decimal number, or 0.
int plainNumber(std::string_view value)
{
    int number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    return error == std::errc() && end == value.data() + value.size() ? number : 0;
}

std::optional<PamHeader> readPamHeader(ByteReader &in)
{
    std::string line;
    if (!readLine(in, line) || trimmed(line) != "P7")
        return std::nullopt;
    PamHeader header;
    while (readLine(in, line)) {
        const std::string_view content = trimmed(line);
        if (content.empty() || content.front() == '#')
            continue;
        if (content == "ENDHDR")
            return header;
        const auto space = content.find_first_of(" \t\r\n\v\f");
        const std::string_view field = content.substr(0, space);
        const std::string_view value =
            space == std::string_view::npos ? std::string_view() : trimmed(content.substr(space));
        if (field == "WIDTH")
            header.width = plainNumber(value);
        else if (field == "HEIGHT")
            header.height = plainNumber(value);
        else if (field == "DEPTH")
            header.depth = plainNumber(value);
        else if (field == "MAXVAL")
            header.maxval = plainNumber(value);
        else if (field == "TUPLTYPE")
            header.tupleType = std::string(value);
    }
    return std::nullopt;
}

Assessment inspectPam(const FileBytes &file, const DecodeLimits &)
{
    ByteReader in(file, 0, file.size());
    const std::optional<PamHeader> header = readPamHeader(in);
    if (!header || !positiveSides(header->width, header->height) || header->depth < 1 ||
        header->depth > 4 || header->maxval < 1 || header->maxval > 65535)
        return Assessment::refused("unreadable PAM header");
    const std::uint64_t sampleBytes = header->maxval > 255 ? 2 : 1;
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(header->width) *
        static_cast<std::uint64_t>(header->depth) * sampleBytes;
    Assessment assessment =
        picture(header->width, header->height, rowBytes, SecondsPerBinaryPixel, 4 * sampleBytes);
    assessment.details = *header;
    return assessment;
}

// A 4 x 2 PAM with the header's depth and tuple type, and the colours that
// each of its pixels stands for, in BGR order.
struct Probe
{
    std::vector<uchar> file;
    cv::Mat expected;
};

Probe makeProbe(int depth, const std::string &tupleType)
{
    const int width = 4;
    const int height = 2;
    // Black-and-white samples are 0 or 1; everything else is probed at 8 bits.
    const bool bilevel = tupleType.rfind("BLACKANDWHITE", 0) == 0;
    const int maxval = bilevel ? 1 : 255;
    std::string text = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
        "\nDEPTH " + std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\n";
    if (!tupleType.empty())
        text += "TUPLTYPE " + tupleType + "\n";
    text += "ENDHDR\n";

    Probe probe {std::vector<uchar>(text.begin(), text.end()), cv::Mat(height, width, CV_8UC3)};
    for (int i = 0; i < width * height; ++i) {
        // Distinct samples, red never equal to blue, full scale where bilevel.
        int samples[4];
        for (int channel = 0; channel < 4; ++channel)
            samples[channel] = bilevel ? (i + channel) % 2 : (40 * i + 70 * channel + 15) % 256;
        for (int channel = 0; channel < depth; ++channel)
            probe.file.push_back(static_cast<uchar>(samples[channel]));
        const auto shade = [&](int channel) {
            return cv::saturate_cast<uchar>(samples[channel] * 255 / maxval);
        };
        cv::Vec3b &bgr = probe.expected.at<cv::Vec3b>(i / width, i % width);
        if (depth <= 2)
            bgr = cv::Vec3b(shade(0), shade(0), shade(0));
        else
            bgr = cv::Vec3b(shade(2), shade(1), shade(0));
    }
    return probe;
}

Decoding findDecoding(const Codec &codec, int depth, const std::string &tupleType)
{
    if (tupleType.size() > MaxTupleTypeLength)
        return Decoding::Wrong;
    const Probe probe = makeProbe(depth, tupleType);
    return probeDecoding(codec, probe.file, probe.expected);
}

// Found out the first time each tuple type and depth is met: swapped files
// are put right, broken ones are not decoded.
Decoding decodingOf(const PamHeader &header)
{
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, Decoding> found;
    const auto key = std::make_pair(header.tupleType, header.depth);
    const std::lock_guard<std::mutex> lock(mutex);
    auto known = found.find(key);
    if (known == found.end())
        known = found.emplace(key, findDecoding(openCvCodec(), key.second, key.first)).first;
    return known->second;
}

// OpenCV's codecs, and how they decode this tuple type: found out in the
// program, once, rather than in every decode.
bool preparePam(const Assessment &assessment, std::string &why)
{
    if (!loadOpenCv(assessment, why))
        return false;
    decodingOf(std::any_cast<const PamHeader &>(assessment.details));
    return true;
}

Decoded decodePam(const DecodeRequest &request)
{
    const auto &header = std::any_cast<const PamHeader &>(request.assessment.details);
    const Decoding decoding = decodingOf(header);
    if (decoding == Decoding::Wrong)
        return Decoded::failed(
            "unmendable: the OpenCV in use decodes PAM files like this one wrongly");
    Decoded decoded = decodeWithOpenCv(request);
    if (!decoded.image.empty() && decoding == Decoding::RedBlueSwapped)
        Mend {true}.apply(decoded.image);
    return decoded;
}

// A number in a PFM header: the bytes up to the next white space (2048 at
// most), read as atoi reads them.
std::optional<int> pfmNumber(ByteReader &in)
{
    std::string token;
    for (int i = 0; i < 2048; ++i) {
        const int c = in.next();
        if (c < 0 || c >= 128)
            return std::nullopt;
        if (std::isspace(c))
            break;
        token.push_back(static_cast<char>(c));
    }
    return static_cast<int>(std::strtol(token.c_str(), nullptr, 10));
}

// PFM: "PF" (colour) or "Pf" (grey) and a line feed, then width and height.
Assessment inspectPfm(const FileBytes &file, const DecodeLimits &)
{
    const std::string_view start = file.start();
    ByteReader in(file, 3, file.size());
    const std::optional<int> width = start[2] == '\n' ? pfmNumber(in) : std::nullopt;
    const std::optional<int> height = width ? pfmNumber(in) : std::nullopt;
    if (!height || !positiveSides(*width, *height))
        return Assessment::refused("unreadable PFM header");
    const std::uint64_t samples = start[1] == 'F' ? 3 : 1;
    // The floats are read, turned and scaled in buffers of their own.
    return picture(*width, *height, 4 * samples * static_cast<std::uint64_t>(*width),
        SecondsPerFloatPixel, 7 * samples);
}

} // namespace

extern const Format PnmFormat = {"PNM", [](std::string_view s) { return isNetpbm(s, "123456"); },
    inspectPnm, loadOpenCv, decodeWithOpenCv};
extern const Format PamFormat = {
    "PAM", [](std::string_view s) { return isNetpbm(s, "7"); }, inspectPam, preparePam, decodePam};
extern const Format PfmFormat = {"PFM", [](std::string_view s) { return isNetpbm(s, "Ff"); },
    inspectPfm, loadOpenCv, decodeWithOpenCv};
