#pragma once

class QGraphicsView;
class QLabel;
class QMainWindow;
class QMenuBar;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QWidget;

// The window's widget tree, placed absolutely. It only points at the widgets:
// each one belongs to its Qt parent.
class MainWindowForm
{
public:
    QWidget *centralwidget = nullptr;
    QGraphicsView *origin = nullptr;
    QLabel *label = nullptr;
    QLabel *label_2 = nullptr;
    QLabel *label_3 = nullptr;
    QGraphicsView *mygray = nullptr;
    QGraphicsView *gray = nullptr;
    QGraphicsView *gaussian = nullptr;
    QGraphicsView *sobel = nullptr;
    QGraphicsView *laplacian = nullptr;
    QLabel *label_4 = nullptr;
    QLabel *label_5 = nullptr;
    QLabel *label_6 = nullptr;
    QPushButton *pushButton = nullptr;
    QSpinBox *spinBox = nullptr;
    QMenuBar *menubar = nullptr;
    QStatusBar *statusbar = nullptr;

    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);
};
