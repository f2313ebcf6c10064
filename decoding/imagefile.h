#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

// Decodes an image file in colour (8-bit BGR), as cv::imread does, but only
// what is safe to hand to the decoder: a regular file (after symlinks), not
// a DICOM file (whose decoder aborts the process on malformed input), no
// picture that would cost too much (said on standard error), and nothing
// that this OpenCV decodes wrongly beyond repair. What it gets wrong but can
// be put right (PAM and BMP colour orders, Exif orientations it misses) comes
// back as the file holds it. Empty when the file cannot be decoded.
cv::Mat readImage(const std::string &path);
