#pragma once

#include <opencv2/core/mat.hpp>

#include <vector>

// How this process's OpenCV decodes some kind of file in colour mode.
enum class Decoding {
    Correct, // BGR pixels, as for every other format
    RedBlueSwapped, // the right pixels in RGB order
    Wrong, // anything else, or nothing
};

// Decodes a tiny file built in memory whose pixels are known (in BGR order):
// how this OpenCV decodes files like it. Finding out at run time, rather than
// assuming, means an OpenCV that gets it right is not "corrected".
Decoding probeDecoding(const std::vector<uchar> &file, const cv::Mat &expected);

// Whether two pictures have the same size, type and pixels.
bool samePixels(const cv::Mat &a, const cv::Mat &b);
