#include "panels.h"

#include "analysis/panel.h"

void Panels::show(const cv::Mat &loaded)
{
    PanelImages images = analyseImage(loaded);
    showPanels(images, form);
}

void Panels::show(PanelImages &loaded)
{
    showPanels(loaded, form);
}
