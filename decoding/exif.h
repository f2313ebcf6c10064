#pragma once

#include <opencv2/core/mat.hpp>

#include <optional>
#include <string_view>

// The orientation tag of an Exif block (from its TIFF header on), read as
// OpenCV's own reader reads it for a JPEG's first APP1 segment and a PNG's
// eXIf chunk: the first directory entry by entry, up to the first entry it
// cannot read. Empty when it finds none.
std::optional<int> exifOrientation(std::string_view tiff);

// Turns or flips a picture decoded as stored into the orientation an Exif tag
// gives, as OpenCV does after decoding; values other than 1 to 8 leave it.
void turnAsExifSays(cv::Mat &image, int orientation);
