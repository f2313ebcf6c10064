#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

// Decodes an image file in colour (8-bit BGR), as cv::imread does, but only
// what is safe to hand to the decoder: a regular file (after symlinks), not
// a DICOM file (whose decoder aborts the process on malformed input), and no
// PAM file that this OpenCV decodes wrongly. PAM files that it gives in RGB
// order come back in BGR order like every other format. Empty when the file
// cannot be decoded.
cv::Mat readImage(const std::string &path);
