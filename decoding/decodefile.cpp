#include "decoding/decodefile.h"

#include "decoding/checkedfile.h"
#include "decoding/formats.h"
#include "decoding/memory.h"
#include "decoding/report.h"
#include "decoding/verdict.h"

#include <algorithm>
#include <optional>

namespace {

// Room for the decode beyond what its model expects: decoders keep some
// buffers of their own, and the model is not exact.
std::uint64_t allowanceFor(std::uint64_t expected)
{
    const std::uint64_t margin = std::uint64_t {256} << 20;
    return std::max(2 * expected, expected + margin);
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

Decoded decodeChecked(const std::string &path, const CheckedFile &file, const DecodeLimits &limits)
{
    const Verdict verdict = inspectFile(file.bytes(), limits);
    if (!verdict.refusal.empty())
        return Decoded::failed(verdict.refusal);
    const Format &format = *formatsInDecoderOrder()[static_cast<std::size_t>(verdict.format)];
    std::string why;
    if (format.load && !format.load(why))
        return Decoded::failed(why);

    const std::string openPath = file.pathForDecoder(path);
    Decoded decoded;
    {
        // A decoder that takes far more than its model said fails its
        // allocation rather than taking the machine's memory.
        const std::optional<AddressSpaceCeiling> ceiling = format.startsThreads
            ? std::nullopt
            : std::optional<AddressSpaceCeiling>(
                  std::in_place, allowanceFor(verdict.assessment.memory));
        decoded = format.decode({path, openPath, verdict.assessment});
    }
    if (!decoded.image.empty() && !asChecked(decoded.image, verdict.assessment))
        return Decoded::failed("undecodable: the decoder gave a " +
            sides(static_cast<std::uint64_t>(decoded.image.cols),
                static_cast<std::uint64_t>(decoded.image.rows)) +
            " picture where the header declares " +
            sides(verdict.assessment.width, verdict.assessment.height));
    return decoded;
}

} // namespace

cv::Mat decodeFile(const std::string &path)
{
    return decodeFile(path, DecodeLimits::forThisProcess());
}

cv::Mat decodeFile(const std::string &path, const DecodeLimits &limits)
{
    Decoded decoded;
    const CheckedFile file(path);
    try {
        decoded = file.isOpen() ? decodeChecked(path, file, limits) : Decoded::failed(file.why());
    } catch (const std::exception &error) {
        decoded = Decoded::failed(std::string("undecodable: ") + error.what());
    }
    if (decoded.image.empty())
        report(path, decoded.failure.empty() ? "undecodable" : decoded.failure);
    return decoded.image;
}
