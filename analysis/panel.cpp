#include "analysis/panel.h"

#include "analysis/pipeline.h"

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
