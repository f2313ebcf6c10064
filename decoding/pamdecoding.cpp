#include "decoding/pamdecoding.h"

#include <opencv2/core.hpp>

#include <charconv>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Longer header lines are taken as a broken or hostile file.
constexpr std::size_t MaxLineLength = std::size_t {64} * 1024;
// The decoder knows no tuple type this long; it is not probed either.
constexpr std::size_t MaxTupleTypeLength = 64;

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n\v\f");
    return text.substr(first, last - first + 1);
}

bool readLine(std::istream &in, std::string &line)
{
    line.clear();
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
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

// A 4 x 2 PAM with the header's depth and tuple type, and the colours that
// each of its pixels stands for, in BGR order.
struct Probe
{
    std::vector<uchar> file;
    cv::Mat expected;
};

Probe makeProbe(const PamHeader &header)
{
    const int width = 4;
    const int height = 2;
    // Black-and-white samples are 0 or 1; everything else is probed at 8 bits.
    const bool bilevel = header.tupleType.rfind("BLACKANDWHITE", 0) == 0;
    const int maxval = bilevel ? 1 : 255;
    std::string text = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
        "\nDEPTH " + std::to_string(header.depth) + "\nMAXVAL " + std::to_string(maxval) + "\n";
    if (!header.tupleType.empty())
        text += "TUPLTYPE " + header.tupleType + "\n";
    text += "ENDHDR\n";

    Probe probe {std::vector<uchar>(text.begin(), text.end()), cv::Mat(height, width, CV_8UC3)};
    for (int i = 0; i < width * height; ++i) {
        // Distinct samples, red never equal to blue, full scale where bilevel.
        int samples[4];
        for (int channel = 0; channel < 4; ++channel)
            samples[channel] = bilevel ? (i + channel) % 2 : (40 * i + 70 * channel + 15) % 256;
        for (int channel = 0; channel < header.depth; ++channel)
            probe.file.push_back(static_cast<uchar>(samples[channel]));
        const auto shade = [&](int channel) {
            return cv::saturate_cast<uchar>(samples[channel] * 255 / maxval);
        };
        cv::Vec3b &bgr = probe.expected.at<cv::Vec3b>(i / width, i % width);
        if (header.depth <= 2)
            bgr = cv::Vec3b(shade(0), shade(0), shade(0));
        else
            bgr = cv::Vec3b(shade(2), shade(1), shade(0));
    }
    return probe;
}

Decoding findDecoding(const PamHeader &header)
{
    // Depths without a meaning of their own are left to the decoder.
    if (header.depth < 1 || header.depth > 4)
        return Decoding::Correct;
    if (header.tupleType.size() > MaxTupleTypeLength)
        return Decoding::Wrong;
    const Probe probe = makeProbe(header);
    return probeDecoding(probe.file, probe.expected);
}

} // namespace

std::optional<PamHeader> readPamHeader(std::istream &in)
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
        else if (field == "TUPLTYPE")
            header.tupleType = std::string(value);
    }
    return std::nullopt;
}

Decoding pamDecoding(const PamHeader &header)
{
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, Decoding> found;
    const std::lock_guard<std::mutex> lock(mutex);
    const auto key = std::make_pair(header.tupleType, header.depth);
    const auto known = found.find(key);
    if (known != found.end())
        return known->second;
    return found[key] = findDecoding(header);
}
