#pragma once

#include <opencv2/core/mat.hpp>

#include <string>
#include <vector>

// How to put right what the OpenCV in use decodes wrongly in one file:
// applied to the picture it decodes.
struct Mend
{
    bool swapRedBlue = false;

    void apply(cv::Mat &image) const;
};

// OpenCV's codecs as the formats' mends use them, to find out how the OpenCV
// in use decodes a tiny file built in memory.
class Codec
{
public:
    virtual ~Codec() = default;
    // Decoded in colour, as the viewer decodes files; empty when it cannot be.
    virtual cv::Mat decode(const std::vector<uchar> &file) const = 0;
};

// How the OpenCV in use decodes some kind of file in colour mode.
enum class Decoding {
    Correct, // BGR pixels, as for every other format
    RedBlueSwapped, // the right pixels in RGB order
    Wrong, // anything else, or nothing
};

// Decodes a tiny file whose pixels are known (BGR): how this OpenCV decodes
// files like it. Finding out at run time, rather than assuming, means an
// OpenCV that gets it right is not "corrected".
Decoding probeDecoding(const Codec &codec, const std::vector<uchar> &file, const cv::Mat &expected);

// Whether two pictures have the same size, type and pixels.
bool samePixels(const cv::Mat &a, const cv::Mat &b);
