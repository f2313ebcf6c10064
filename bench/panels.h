#pragma once

#include "analysis/pipeline.h"
#include "window/mainwindowform.h"

#include <QMainWindow>
#include <opencv2/core/mat.hpp>

// The panels a load fills, as in the program's window. Must die before the
// QApplication, like every widget.
struct Panels
{
    QMainWindow window;
    MainWindowForm form;
    Panels() { form.setupUi(&window); }

    // What the window does with a decoded picture: six pictures made and shown.
    void show(const cv::Mat &loaded);
    // What it does after a load: the six pictures shown.
    void show(PanelImages &loaded);
};
