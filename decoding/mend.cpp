#include "decoding/mend.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

void Mend::apply(cv::Mat &image) const
{
    if (swapRedBlue)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
}

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() &&
        (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

Decoding probeDecoding(const Codec &codec, const std::vector<uchar> &file, const cv::Mat &expected)
{
    const cv::Mat decoded = codec.decode(file);
    if (decoded.empty())
        return Decoding::Wrong;
    if (samePixels(decoded, expected))
        return Decoding::Correct;
    cv::Mat swapped;
    cv::cvtColor(expected, swapped, cv::COLOR_BGR2RGB);
    return samePixels(decoded, swapped) ? Decoding::RedBlueSwapped : Decoding::Wrong;
}
