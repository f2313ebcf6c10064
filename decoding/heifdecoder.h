#pragma once

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <string>

// Decodes a HEIF or AVIF file's primary image with libheif, as libheif shows
// it by default: rotation, mirroring and clean aperture applied, Exif
// orientation left aside, alpha dropped, deeper samples brought to 8 bits, a
// grey picture grey. 8-bit BGR; empty when it cannot be decoded. libheif
// refuses any picture with a side above `largestSide`.
cv::Mat decodeHeif(const std::string &path, std::uint64_t largestSide);
