#include "analysis/busywhileloading.h"
#include "analysis/failureline.h"
#include "analysis/loadpanels.h"
#include "analysis/panel.h"
#include "analysis/sigpipeheldback.h"
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

    const BusyWhileLoading busy(*this);

    // All six pictures are made before any panel changes, so a file that fails
    // anywhere (decoder, size limit, memory) leaves the window as it was.
    std::optional<PanelImages> panels;
    {
        // Decoders warn on standard error, and so does the viewer: a pipe that
        // nobody reads any more must not end the program.
        const SigpipeHeldBack heldBack;
        succeeds([&] {
            panels = loadPanels(imagePath.toLocal8Bit().toStdString());
            return panels.has_value();
        });
    }
    if (!panels) {
        printFailureLine();
        return;
    }

    showPanels(*panels, *form);
    rgbImage = panels->origin;
}
