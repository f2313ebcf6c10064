#include "analysis/averagepanel.h"

#include "analysis/channelaverage.h"
#include "analysis/pipeline.h"

#include <opencv2/imgproc.hpp>

AveragePanel::AveragePanel(ReadRule rule) : rule(rule), trusted(readRuleHolds(rule, PanelSize)) { }

cv::Mat AveragePanel::grey(const cv::Mat &bgr) const
{
    const std::optional<ResizeReads> reads =
        trusted ? rule(bgr.size(), PanelSize) : std::optional<ResizeReads>();
    cv::Mat average;
    // Worth it when at most a quarter of the pixels are read.
    if (reads && reads->rows.size() * reads->columns.size() * 4 <= bgr.total()) {
        // Left uninitialised but for the pixels read: untouched pages of a
        // large buffer cost no memory.
        average.create(bgr.size(), CV_8UC1);
        averageChannelsAt(bgr, *reads, average);
    } else {
        average = averageChannels(bgr);
    }
    cv::resize(average, average, PanelSize, 0, 0, cv::INTER_LINEAR);
    return average;
}
