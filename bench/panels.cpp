#include "panels.h"

#include "analysis/panel.h"
#include "analysis/pipeline.h"

void Panels::show(const cv::Mat &loaded)
{
    PanelImages images = analyseImage(loaded);
    showPanels(images, form);
}
