#include "analysis/failureline.h"
#include "decoding/imagefile.h"
#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "analysis/succeeds.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QFileDialog>

void MainWindow::on_pushButton_clicked()
{
    imagePath = QFileDialog::getOpenFileName(
        this, tr("開啟圖片"), QString(), tr("圖片 (*.jpg *.png *.HEIC *.txt *.jpeg)"));
    if (imagePath.isEmpty())
        return;

    // All six pictures are made before any panel changes, so a file that fails
    // anywhere (decoder, size limit, memory) leaves the window as it was.
    PanelImages panels;
    const bool decoded = succeeds([&] {
        const cv::Mat loaded = readImage(imagePath.toLocal8Bit().toStdString());
        if (loaded.empty())
            return false;
        panels = analyseImage(loaded);
        return true;
    });
    if (!decoded) {
        printFailureLine();
        return;
    }

    showPanels(panels, *form);
    rgbImage = panels.origin;
}
