#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QSpinBox>

#include <exception>

void MainWindow::on_spinBox_valueChanged(int)
{
    // Nothing to blur before the first successful load.
    if (rgbImage.empty())
        return;
    try {
        blurImage = blurForKernel(rgbImage, form->spinBox->value());
        showPanel(blurImage, QImage::Format_RGB888, form->gaussian);
    } catch (const std::exception &) {
        // An exception must not reach Qt's event loop; the panel keeps its last blur.
    }
}
