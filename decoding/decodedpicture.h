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

// Loads the codec module, unless that is done: the first decode does it, so
// that starting the program costs nothing for OpenCV's codecs and the 140
// libraries they bring. When it cannot be loaded, one line on standard error
// says why, and the next call tries again.
bool loadCodecModule();

// Decodes a file as readImage does, through the codec module. Empty when the
// file cannot be decoded or the module cannot be loaded.
DecodedPicture decodePicture(const std::string &path);
