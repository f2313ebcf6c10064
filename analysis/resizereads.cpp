#include "analysis/resizereads.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The source positions that `count` target positions read from `size` source
// positions: cv::resize maps target position d to (d + 0.5) * scale - 0.5,
// computed in double, rounded to float, floored and clamped at 0, and reads
// it and the next position, clipped at the last one.
std::vector<int> linearTaps(int size, int count)
{
    const double inverseScale = static_cast<double>(count) / size;
    const double scale = 1.0 / inverseScale;
    std::vector<int> taps;
    taps.reserve(static_cast<std::size_t>(count) * 2 + 8);
    const auto add = [&](int position) { taps.push_back(std::clamp(position, 0, size - 1)); };
    for (int d = 0; d < count; ++d) {
        const double exact = (d + 0.5) * scale - 0.5;
        const auto rounded = static_cast<float>(exact);
        const int first = static_cast<int>(std::floor(rounded));
        add(first);
        add(first + 1);
        // Another float rounding (or a fused multiply-add) may floor to the
        // neighbour when the mapping lands on a whole position.
        const double whole = std::round(exact);
        const double slack = 4.0 *
            (std::nextafter(std::abs(rounded), std::numeric_limits<float>::infinity()) -
                std::abs(rounded));
        if (std::abs(exact - whole) <= std::max(slack, 1e-6)) {
            add(static_cast<int>(whole) - 1);
            add(static_cast<int>(whole) + 1);
        }
    }
    std::sort(taps.begin(), taps.end());
    taps.erase(std::unique(taps.begin(), taps.end()), taps.end());
    return taps;
}

} // namespace

std::optional<ResizeReads> linearResizeReads(cv::Size source, cv::Size target)
{
    if (source.empty() || target.empty() || source == target)
        return std::nullopt;
    if (source.width == 2 * target.width && source.height == 2 * target.height)
        return std::nullopt;
    return ResizeReads {
        linearTaps(source.height, target.height), linearTaps(source.width, target.width)};
}

bool readRuleHolds(ReadRule rule, cv::Size target)
{
    // Odd sizes, with scale factors far from whole numbers.
    for (const cv::Size probe : {cv::Size(1001, 667), cv::Size(769, 577)}) {
        const std::optional<ResizeReads> reads = rule(probe, target);
        if (!reads)
            return false;
        cv::Mat image(probe, CV_8UC1);
        cv::Mat resized[2];
        const uchar outside[2] = {0, 255};
        for (int pass = 0; pass < 2; ++pass) {
            image.setTo(outside[pass]);
            cv::RNG random(static_cast<uint64>(probe.area())); // the same pixels read each pass
            for (const int row : reads->rows)
                for (const int column : reads->columns)
                    image.at<uchar>(row, column) = static_cast<uchar>(random.uniform(0, 256));
            cv::resize(image, resized[pass], target, 0, 0, cv::INTER_LINEAR);
        }
        if (cv::norm(resized[0], resized[1], cv::NORM_INF) != 0)
            return false;
    }
    return true;
}
