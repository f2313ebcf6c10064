#pragma once

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <string>
#include <vector>

// What a format asks about one file when the OpenCV in use may decode files
// like it wrongly: read from the header before any codec is loaded, answered
// by the format's mend once the codec module is there. Its meaning is the
// format's own.
struct MendQuestion
{
    bool asked = false;
    std::uint32_t numbers[4] = {};
    std::string text;
};

// How to put right what this process's OpenCV decodes wrongly in one file:
// applied to the picture it decodes.
struct Mend
{
    bool swapRedBlue = false;
    int orientation = 1; // as an Exif tag counts: 1 leaves the picture as it is

    void apply(cv::Mat &image) const;
};

// OpenCV's codecs as the codec module gives them to the formats' mends, which
// find out how it decodes a tiny file built in memory.
class Codec
{
public:
    virtual ~Codec() = default;
    // Decoded in colour, as the viewer decodes files; empty when it cannot be.
    virtual cv::Mat decode(const std::vector<uchar> &file) const = 0;
    virtual std::vector<uchar> encode(const std::string &extension, const cv::Mat &picture,
        const std::vector<int> &parameters) const = 0;
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

// Turns or flips a picture decoded as stored into the orientation an Exif tag
// gives, as OpenCV does for a JPEG's first APP1 block.
void applyOrientation(cv::Mat &image, int orientation);
