#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "analysis/succeeds.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QSpinBox>

void MainWindow::on_spinBox_valueChanged(int)
{
    // Nothing to blur before the first successful load.
    if (rgbImage.empty())
        return;
    // When the blur fails (out of memory) the panel keeps its last picture.
    succeeds([this] {
        blurImage = blurForKernel(rgbImage, form->spinBox->value());
        showPanel(blurImage, QImage::Format_RGB888, form->gaussian);
        return true;
    });
}
