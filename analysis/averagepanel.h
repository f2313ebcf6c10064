#pragma once

#include "analysis/resizereads.h"

#include <opencv2/core/mat.hpp>

// Makes the average-grey panel: the hand-made channel average of the full
// image, scaled to PanelSize. Scaling reads only a few rows and columns of a
// large image, so only those pixels are averaged, once a self-check (made
// when this object is built) has shown that this OpenCV's resize reads no
// others. Without that, or where it would save little, every pixel is.
class AveragePanel
{
public:
    explicit AveragePanel(ReadRule rule = linearResizeReads);

    // One channel, PanelSize; `bgr` is 8-bit BGR of any size.
    cv::Mat grey(const cv::Mat &bgr) const;

    // Whether the self-check trusted the rule.
    bool averagesOnlyWhatIsRead() const { return trusted; }

private:
    ReadRule rule;
    bool trusted;
};
