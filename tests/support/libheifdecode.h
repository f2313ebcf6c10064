#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

// libheif's own decode of a HEIF or AVIF file's primary image, with its
// defaults, as 8-bit BGR: what the viewer is measured and checked against.
// Empty when libheif cannot decode it.
cv::Mat libheifDecode(const std::string &path);
