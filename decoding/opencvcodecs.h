#pragma once

// The OpenCV codec module's one entry. OpenCV's image codecs library brings,
// on Debian, 140 more libraries (GDAL, GDCM, poppler, ...): the program does
// not link it, but opens this module, the only part linked with it, at the
// first decode that needs OpenCV. The program and the module are built
// together from one source, so they agree on these types.

#include <opencv2/core/mat.hpp>

#include <string>
#include <vector>

#if defined(__GNUC__)
#define MORVASTEL_OPENCV_ENTRY __attribute__((visibility("default")))
#else
#define MORVASTEL_OPENCV_ENTRY
#endif

// OpenCV's codecs as the module hands them to the program. None of them throws.
struct OpenCvCodecs
{
    // cv::imread in colour, with three channels where OpenCV gives one (its
    // PFM decoder does, for grey files); empty, with why, when OpenCV gives
    // nothing or throws.
    cv::Mat (*read)(const std::string &path, std::string &why);
    // cv::imdecode of bytes in memory, in colour; empty when it fails.
    cv::Mat (*decode)(const std::vector<uchar> &file);
};

extern "C" MORVASTEL_OPENCV_ENTRY const OpenCvCodecs *morvastelOpenCvCodecs();
