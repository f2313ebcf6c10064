#include "decoding/mend.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

void Mend::apply(cv::Mat &image) const
{
    if (swapRedBlue)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
    applyOrientation(image, orientation);
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

void applyOrientation(cv::Mat &image, int orientation)
{
    // Rows and columns swap first for the last four, as the tag counts them.
    if (orientation >= 5 && orientation <= 8)
        cv::transpose(image, image);
    switch (orientation) {
    case 2: // mirrored
    case 6: // turned 90 degrees clockwise
        cv::flip(image, image, 1);
        break;
    case 3: // turned 180 degrees
    case 7:
        cv::flip(image, image, -1);
        break;
    case 4: // upside down
    case 8: // turned 90 degrees anticlockwise
        cv::flip(image, image, 0);
        break;
    default: // 1 and 5 need no flip
        break;
    }
}
