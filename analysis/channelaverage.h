#pragma once

#include <opencv2/core/mat.hpp>

struct ResizeReads;

// Grey level of one pixel given its bytes in memory order (blue, green, red):
// red * 0.33 + green * 0.33 + blue * 0.33 in double precision, added in that
// order and truncated. 0.33 rather than a third, so white gives 252.
unsigned char averageOfChannels(unsigned char blue, unsigned char green, unsigned char red);

// The same for every pixel of an 8-bit BGR image, at its own size; one channel out.
cv::Mat averageChannels(const cv::Mat &bgr);

// The same, into an 8-bit grey image of the BGR image's size, only where the
// rows and columns listed meet. Every other pixel of `grey` is left as it is.
void averageChannelsAt(const cv::Mat &bgr, const ResizeReads &where, cv::Mat &grey);
