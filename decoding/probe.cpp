#include "decoding/probe.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

Decoding probeDecoding(const std::vector<uchar> &file, const cv::Mat &expected)
{
    cv::Mat decoded;
    try {
        decoded = cv::imdecode(file, cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        return Decoding::Wrong;
    }
    if (samePixels(decoded, expected))
        return Decoding::Correct;
    cv::Mat swapped;
    cv::cvtColor(expected, swapped, cv::COLOR_BGR2RGB);
    return samePixels(decoded, swapped) ? Decoding::RedBlueSwapped : Decoding::Wrong;
}
