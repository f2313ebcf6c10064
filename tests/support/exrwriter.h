#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

// A render's passes as a multi-part OpenEXR, written by OpenEXR's own API:
// part 0 the BGR picture as half RGB, part 1 a float depth pass of the same
// size. False, with nothing thrown, where OpenEXR fails.
bool writeMultipartExr(const std::string &path, const cv::Mat &bgr);
