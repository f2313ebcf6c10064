#pragma once

#include "decoding/limits.h"

#include <opencv2/core/mat.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What is made of a decoded picture where it is decoded, so that only that
// comes back to the program: so many bytes at most for a picture of the
// sides the checks read, written by `make`, which may throw; then, in the
// program, handed to `take`, which says whether it could read it. `prepare`,
// where there is one, runs in the program once the checks have passed the
// file, before it is decoded.
struct PictureUse
{
    std::function<void()> prepare;
    std::function<std::size_t(std::uint64_t width, std::uint64_t height)> bytes;
    std::function<void(const cv::Mat &bgr, unsigned char *into, std::size_t bytes)> make;
    std::function<bool(const unsigned char *made, std::size_t bytes)> take;
};

// Decodes an image file in colour (8-bit BGR), as cv::imread does, but only
// what the checks pass: a regular file (after symlinks) whose format is
// known, whose header is read and whose cost is bounded and fits in memory.
// It is decoded by the decoder of that format alone, the one the checks
// priced, apart from the program (see decoding/sandbox.h); what the OpenCV in
// use gets wrong but can be put right comes out as the file holds it. The
// picture is made into what `use` asks there. False when the file is refused
// or cannot be decoded: one line on standard error, "morvastel: PATH:
// REASON", says why.
bool decodeFile(const std::string &path, const PictureUse &use);

// The same within the limits given, where the one above takes this process's
// own: for measuring the decoders beyond them.
bool decodeFile(const std::string &path, const DecodeLimits &limits, const PictureUse &use);

// The whole picture, brought back as it is; empty when there is none.
cv::Mat decodeFile(const std::string &path);
cv::Mat decodeFile(const std::string &path, const DecodeLimits &limits);
