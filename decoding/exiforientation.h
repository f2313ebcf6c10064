#pragma once

#include <opencv2/core/mat.hpp>

#include <istream>
#include <optional>

// The orientation (2 to 8; 1 needs nothing) in a JPEG's Exif block when that
// block is not the file's first APP1 segment, the only one OpenCV reads:
// after an XMP block, say. Empty when there is nothing to turn or OpenCV
// sees the block itself.
std::optional<int> laterExifOrientation(std::istream &file);

enum class LaterExif {
    Honoured, // this OpenCV finds the block and turns the picture itself
    Ignored, // it decodes the picture as stored
    Mishandled, // anything else
};

// What this process's OpenCV does with an Exif block behind another APP1
// segment, found out once from a tiny JPEG built in memory.
LaterExif laterExifHandling();

// Turns or flips a picture decoded as stored into the orientation its Exif
// tag gives, as OpenCV does for a first APP1 block.
void applyOrientation(cv::Mat &image, int orientation);
