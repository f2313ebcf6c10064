#include "analysis/pipeline.h"

#include "analysis/averagepanel.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Checked once per process, before its first use.
const AveragePanel &averagePanel()
{
    static const AveragePanel panel;
    return panel;
}

} // namespace

void prepareAnalysis()
{
    averagePanel();
}

PanelImages analyseImage(const cv::Mat &bgr)
{
    CV_Assert(!bgr.empty() && bgr.type() == CV_8UC3);
    PanelImages panels;

    // Resizing works on each channel alone, so scaling before the channel swap
    // gives the same pixels while swapping 256 x 192 pixels instead of all.
    cv::Mat scaled;
    cv::resize(bgr, scaled, PanelSize, 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(scaled, panels.origin, cv::COLOR_BGR2RGB);

    // The average is taken at full resolution, then scaled; its three channels
    // are equal, so one is averaged and scaled and then repeated.
    cv::cvtColor(averagePanel().grey(bgr), panels.mygray, cv::COLOR_GRAY2RGB);

    cv::cvtColor(panels.origin, panels.gray, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(panels.origin, panels.gaussian, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);

    cv::Mat gradientX;
    cv::Mat gradientY;
    cv::Sobel(panels.gray, gradientX, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(panels.gray, gradientY, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(gradientX, 0.5, gradientY, 0.5, 0.0, panels.sobel, -1);

    cv::Laplacian(panels.gray, panels.laplacian, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);
    return panels;
}

cv::Mat blurForKernel(const cv::Mat &rgb, int side)
{
    const int oddSide = side % 2 == 0 ? side + 1 : side;
    cv::Mat blurred;
    cv::GaussianBlur(rgb, blurred, cv::Size(oddSide, oddSide), 0, 0, cv::BORDER_DEFAULT);
    return blurred;
}
