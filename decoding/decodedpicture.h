#pragma once

#include "decoding/codecmodule.h"

#include <opencv2/core/mat.hpp>

#include <string>

// A picture decoded by the codec module, whose pixels the module keeps until
// this object dies.
class DecodedPicture
{
public:
    DecodedPicture() = default;
    explicit DecodedPicture(const MorvastelPicture &picture);
    ~DecodedPicture();
    DecodedPicture(const DecodedPicture &) = delete;
    DecodedPicture &operator=(const DecodedPicture &) = delete;

    // 8-bit BGR, borrowing the module's pixels; empty when nothing was decoded.
    const cv::Mat &image() const { return view; }

private:
    MorvastelPicture picture {};
    cv::Mat view;
};

// Loads the codec module, unless that is done: the first decode that passes
// the checks does it, so that starting the program, or refusing a file,
// costs nothing for OpenCV's codecs and the 140 libraries they bring. When
// it cannot be loaded, one line on standard error says why, and the next
// call tries again.
bool loadCodecModule();

// Decodes an image file in colour (8-bit BGR), as cv::imread does, but only
// what the checks pass: a regular file (after symlinks) whose format is
// known, whose header is read and whose cost is bounded and fits in memory.
// Anything else is refused with one line on standard error,
// "morvastel: PATH: REASON". What the decoder gets wrong but can be put
// right comes back as the file holds it. Empty when the file is refused or
// cannot be decoded.
DecodedPicture decodePicture(const std::string &path);
