#pragma once

#include "decoding/limits.h"

#include <opencv2/core/mat.hpp>

#include <string>

// Decodes an image file in colour (8-bit BGR), as cv::imread does, but only
// what the checks pass: a regular file (after symlinks) whose format is
// known, whose header is read and whose cost is bounded and fits in memory.
// It is decoded by the decoder of that format alone, the one the checks
// priced; what the OpenCV in use gets wrong but can be put right comes back
// as the file holds it. Empty when the file is refused or cannot be
// decoded: one line on standard error, "morvastel: PATH: REASON", says why.
cv::Mat decodeFile(const std::string &path);

// The same within the limits given, where the one above takes this process's
// own: for measuring the decoders beyond them.
cv::Mat decodeFile(const std::string &path, const DecodeLimits &limits);
