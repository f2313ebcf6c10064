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
    const Assessment &assessment, const FileBytes &file, const DecodeLimits &limits)
{
    const std::uint64_t pixelLimit = assessment.pixelLimit.value_or(limits.pixels);
    if (assessment.width > limits.width || assessment.height > limits.height)
        return "too costly: declares " + std::to_string(assessment.width) + " x " +
            std::to_string(assessment.height) + " pixels, a side longer than the " +
            std::to_string(limits.width) + " x " + std::to_string(limits.height) +
            " that are decoded";
    if (assessment.pixels() > pixelLimit)
        return "too costly: declares " + std::to_string(assessment.width) + " x " +
            std::to_string(assessment.height) + " pixels, more than the " +
            std::to_string(pixelLimit) + " that are decoded";
    if (assessment.seconds > limits.freeSeconds && file.size() < assessment.honestBytes)
        return "hollow: declares about " + seconds(assessment.seconds) +
            " of decoding, for which an honest file holds at least " +
            std::to_string(assessment.honestBytes) + " bytes, and it holds " +
            std::to_string(file.size());
    const double allowed =
        std::max(limits.freeSeconds, limits.honestFactor * assessment.plainSeconds);
    if (assessment.seconds > allowed)
        return "too costly: about " + seconds(assessment.seconds) +
            " of decoding, where an honest file of its picture needs at most " + seconds(allowed);
    if (assessment.memory > limits.availableMemory)
        return "would not fit in memory: needs about " + mebibytes(assessment.memory) +
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
    verdict.assessment = format.inspect(file, limits);
    verdict.refusal = verdict.assessment.refusal.empty()
        ? overLimits(verdict.assessment, file, limits)
        : verdict.assessment.refusal;
    return verdict;
}
