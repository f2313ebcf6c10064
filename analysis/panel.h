#pragma once

#include <QImage>
#include <opencv2/core/mat.hpp>

class MainWindowForm;
class QGraphicsView;
struct PanelImages;

// Scales an 8-bit image in place to PanelSize and shows it alone in the view:
// Format_RGB888 for three channels in RGB order, Format_Indexed8 for one
// (shown as grey levels). The view owns the new scene and frees the one it
// showed before.
void showPanel(cv::Mat &image, QImage::Format format, QGraphicsView *view);

// Shows the six pictures of one image in the form's six panels.
void showPanels(PanelImages &panels, const MainWindowForm &form);
