#include "decoding/assessment.h"

#include <limits>
#include <utility>

Assessment Assessment::refused(std::string why)
{
    Assessment assessment;
    assessment.refusal = std::move(why);
    return assessment;
}

std::uint64_t Assessment::pixels() const
{
    return saturatingProduct(width, height);
}

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b)
{
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
        return std::numeric_limits<std::uint64_t>::max();
    return a * b;
}

std::uint64_t saturatingCount(double value)
{
    if (!(value >= 0))
        return 0;
    // 2^64: every double below it fits.
    if (value >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

std::uint64_t bgrBytes(std::uint64_t width, std::uint64_t height)
{
    return saturatingProduct(saturatingProduct(width, height), 3);
}

bool positiveSides(std::int64_t width, std::int64_t height)
{
    return width > 0 && height > 0;
}

std::uint64_t divideRoundingUp(std::uint64_t value, std::uint64_t divisor)
{
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}
