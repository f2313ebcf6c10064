#pragma once

#include <opencv2/core/mat.hpp>

#include <istream>
#include <optional>
#include <string_view>

// How to put right what this process's OpenCV decodes wrongly in one file:
// found before decoding, applied after.
struct Mend
{
    bool swapRedBlue = false;
    int orientation = 1; // as an Exif tag counts: 1 leaves the picture as it is

    void apply(cv::Mat &image) const;
};

// The mend that a file needs, from its first bytes (64 or more) and its
// header: PAM tuple types and BMP channel masks that come out in the wrong
// order, and Exif orientations that OpenCV does not see. Empty when the file
// would come out wrong in a way that cannot be put right: it must not be
// decoded.
std::optional<Mend> mendFor(std::istream &file, std::string_view start);
