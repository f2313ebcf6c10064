#include "analysis/panel.h"

#include "analysis/pipeline.h"
#include "window/mainwindowform.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPixmap>
#include <opencv2/imgproc.hpp>

void showPanel(cv::Mat &image, QImage::Format format, QGraphicsView *view)
{
    cv::resize(image, image, PanelSize, 0, 0, cv::INTER_LINEAR);

    // Borrows the pixels; rows are 256 or 768 bytes, already 4-byte multiples.
    const QImage wrapper(static_cast<const uchar *>(image.data), image.cols, image.rows, format);

    auto *scene = new QGraphicsScene(view);
    scene->addPixmap(QPixmap::fromImage(wrapper, Qt::AutoColor));

    QGraphicsScene *const previous = view->scene();
    view->setScene(scene);
    if (previous && previous->parent() == view)
        delete previous;
    view->show();
}

void showPanels(PanelImages &panels, const MainWindowForm &form)
{
    showPanel(panels.origin, QImage::Format_RGB888, form.origin);
    showPanel(panels.mygray, QImage::Format_RGB888, form.mygray);
    showPanel(panels.gray, QImage::Format_Indexed8, form.gray);
    showPanel(panels.gaussian, QImage::Format_RGB888, form.gaussian);
    showPanel(panels.sobel, QImage::Format_Indexed8, form.sobel);
    showPanel(panels.laplacian, QImage::Format_Indexed8, form.laplacian);
}
