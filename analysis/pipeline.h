#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

// Every picture is shown at this size, stretched whatever the source's aspect
// ratio. The width must stay a multiple of four: panels wrap the pixels
// without a row stride.
inline const cv::Size PanelSize(256, 192);

// The six pictures of one loaded image, each PanelSize, 8 bits a sample.
struct PanelImages
{
    cv::Mat origin; // RGB
    cv::Mat mygray; // RGB, three equal channels: the channel average, taken before scaling
    cv::Mat gray; // one channel, converted from the scaled RGB picture
    cv::Mat gaussian; // RGB, blurred with a 1 x 1 kernel
    cv::Mat sobel; // one channel
    cv::Mat laplacian; // one channel
};

// All six from an image as decoded (8-bit BGR, any size). Throws cv::Exception
// on anything else.
PanelImages analyseImage(const cv::Mat &bgr);

// Makes, in this process, what analyseImage finds out at its first use: a
// process that analyses one image only (a decoding child) need not find it
// out again.
void prepareAnalysis();

// The Gaussian blur of a panel-size RGB picture for a kernel side from the spin
// box. The blur takes odd sides only, so an even side uses the next odd one.
cv::Mat blurForKernel(const cv::Mat &rgb, int side);
