#include "decoding/verdict.h"

#include "decoding/formats.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

std::string mebibytes(std::uint64_t bytes)
{
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

// Why a readable file still must not be decoded, by the limits.
std::string overLimits(
    const Inspection &inspection, const FileBytes &file, const DecodeLimits &limits)
{
    const std::uint64_t pixelLimit = inspection.pixelLimit.value_or(limits.pixels);
    if (inspection.width > limits.width || inspection.height > limits.height)
        return "too costly: declares " + std::to_string(inspection.width) + " x " +
            std::to_string(inspection.height) + " pixels, a side longer than the " +
            std::to_string(limits.width) + " x " + std::to_string(limits.height) +
            " that are decoded";
    if (inspection.pixels() > pixelLimit)
        return "too costly: declares " + std::to_string(inspection.width) + " x " +
            std::to_string(inspection.height) + " pixels, more than the " +
            std::to_string(pixelLimit) + " that are decoded";
    if (inspection.seconds > limits.freeSeconds && file.size() < inspection.honestBytes)
        return "hollow: declares about " + seconds(inspection.seconds) +
            " of decoding, for which an honest file holds at least " +
            std::to_string(inspection.honestBytes) + " bytes, and it holds " +
            std::to_string(file.size());
    const double allowed =
        std::max(limits.freeSeconds, limits.honestFactor * inspection.plainSeconds);
    if (inspection.seconds > allowed)
        return "too costly: about " + seconds(inspection.seconds) +
            " of decoding, where an honest file of its picture needs at most " + seconds(allowed);
    if (inspection.memory > limits.availableMemory)
        return "would not fit in memory: needs about " + mebibytes(inspection.memory) +
            ", and the system can give " + mebibytes(limits.availableMemory);
    return {};
}

} // namespace

Verdict inspectFile(const FileBytes &file, const DecodeLimits &limits)
{
    Verdict verdict;
    verdict.format = formatFor(file.start());
    if (verdict.format < 0) {
        verdict.refusal = "unknown format";
        return verdict;
    }
    const Format &format = *formatsInDecoderOrder()[static_cast<std::size_t>(verdict.format)];
    verdict.inspection = format.inspect(file, limits);
    verdict.refusal = verdict.inspection.refusal.empty()
        ? overLimits(verdict.inspection, file, limits)
        : verdict.inspection.refusal;
    return verdict;
}
