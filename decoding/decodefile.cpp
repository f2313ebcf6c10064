#include "decoding/decodefile.h"

#include "decoding/checkedfile.h"
#include "decoding/formats.h"
#include "decoding/report.h"
#include "decoding/sandbox.h"
#include "decoding/sanitizers.h"
#include "decoding/verdict.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Room for the decode beyond what its model expects: decoders keep some
// buffers of their own, and the model is not exact.
std::uint64_t allowanceFor(std::uint64_t expected)
{
    const std::uint64_t margin = std::uint64_t {256} << 20;
    return std::max(2 * expected, expected + margin);
}

// The models price a plain build; under the sanitizers the code runs
// several times slower, and each fork copies a larger process.
constexpr double SanitizerSlowdown = MORVASTEL_SANITIZERS ? 5.0 : 1.0;

// How long a decode may take: three times what its model prices, and never
// less than a second, so that every honest file finishes on a busy machine
// and a decoder that hangs costs the window a second.
double deadlineFor(const Assessment &assessment)
{
    return SanitizerSlowdown * std::max(1.0, 3 * assessment.seconds);
}

// The picture the checks read, upright or turned by the file's orientation.
bool asChecked(const cv::Mat &image, const Assessment &assessment)
{
    const auto columns = static_cast<std::uint64_t>(image.cols);
    const auto rows = static_cast<std::uint64_t>(image.rows);
    return (columns == assessment.width && rows == assessment.height) ||
        (columns == assessment.height && rows == assessment.width);
}

std::string sides(std::uint64_t width, std::uint64_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

// The decode itself, and what is made of its picture: where it runs confined.
std::string decodeAndUse(const Format &format, const DecodeRequest &request, const PictureUse &use,
    unsigned char *into, std::size_t bytes)
{
    const Decoded decoded = format.decode(request);
    if (decoded.image.empty())
        return decoded.failure.empty() ? "undecodable" : decoded.failure;
    const Assessment &checked = request.assessment;
    if (!asChecked(decoded.image, checked))
        return "undecodable: the decoder gave a " +
            sides(static_cast<std::uint64_t>(decoded.image.cols),
                static_cast<std::uint64_t>(decoded.image.rows)) +
            " picture where the header declares " + sides(checked.width, checked.height);
    use.make(decoded.image, into, bytes);
    return {};
}

// Why the file is not decoded and used; empty when it is.
std::string decodeChecked(const std::string &path, const CheckedFile &file,
    const DecodeLimits &limits, const PictureUse &use)
{
    const Verdict verdict = inspectFile(file.bytes(), limits);
    if (!verdict.refusal.empty())
        return verdict.refusal;
    const Format &format = *formatsInDecoderOrder()[static_cast<std::size_t>(verdict.format)];
    std::string why;
    if (format.prepare && !format.prepare(verdict.assessment, why))
        return why;
    if (use.prepare)
        use.prepare();

    const std::string openPath = file.pathForDecoder(path);
    const DecodeRequest request {path, openPath, verdict.assessment};
    const Confinement confinement {path, file.descriptor(), openPath,
        allowanceFor(verdict.assessment.memory), deadlineFor(verdict.assessment)};
    return runConfined(
        confinement, use.bytes(verdict.assessment.width, verdict.assessment.height),
        [&](unsigned char *into, std::size_t bytes) {
            return decodeAndUse(format, request, use, into, bytes);
        },
        use.take);
}

// The whole picture: its rows and columns, then its pixels row by row.
constexpr std::size_t SidesBytes = 2 * sizeof(std::uint64_t);

PictureUse wholePicture(cv::Mat &picture)
{
    PictureUse use;
    use.bytes = [](std::uint64_t width, std::uint64_t height) {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(bgrBytes(width, height), ~std::size_t {0} - SidesBytes) +
            SidesBytes);
    };
    use.make = [](const cv::Mat &bgr, unsigned char *into, std::size_t bytes) {
        const std::uint64_t sides[2] = {
            static_cast<std::uint64_t>(bgr.rows), static_cast<std::uint64_t>(bgr.cols)};
        const std::size_t row = static_cast<std::size_t>(bgr.cols) * 3;
        CV_Assert(bgr.type() == CV_8UC3 && SidesBytes + row * sides[0] <= bytes);
        std::memcpy(into, sides, SidesBytes);
        for (int y = 0; y < bgr.rows; ++y)
            std::memcpy(into + SidesBytes + row * static_cast<std::size_t>(y), bgr.ptr(y), row);
    };
    // The sides are the child's word: believed only where they fit.
    use.take = [&picture](const unsigned char *made, std::size_t bytes) {
        std::uint64_t sides[2];
        std::memcpy(sides, made, SidesBytes);
        const bool fits = sides[0] > 0 && sides[1] > 0 && sides[0] <= INT_MAX &&
            sides[1] <= INT_MAX && sides[1] * 3 <= (bytes - SidesBytes) / sides[0];
        if (!fits)
            return false;
        picture.create(static_cast<int>(sides[0]), static_cast<int>(sides[1]), CV_8UC3);
        std::memcpy(picture.data, made + SidesBytes, picture.total() * 3);
        return true;
    };
    return use;
}

} // namespace

bool decodeFile(const std::string &path, const PictureUse &use)
{
    return decodeFile(path, DecodeLimits::forThisProcess(), use);
}

bool decodeFile(const std::string &path, const DecodeLimits &limits, const PictureUse &use)
{
    std::string failure;
    const CheckedFile file(path);
    try {
        failure = file.isOpen() ? decodeChecked(path, file, limits, use) : file.why();
    } catch (const std::exception &error) {
        failure = std::string("undecodable: ") + error.what();
    }
    if (!failure.empty())
        report(path, failure);
    return failure.empty();
}

cv::Mat decodeFile(const std::string &path)
{
    return decodeFile(path, DecodeLimits::forThisProcess());
}

cv::Mat decodeFile(const std::string &path, const DecodeLimits &limits)
{
    cv::Mat picture;
    if (!decodeFile(path, limits, wholePicture(picture)))
        return {};
    return picture;
}
