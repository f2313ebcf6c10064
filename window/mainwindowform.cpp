#include "window/mainwindowform.h"

#include <QCoreApplication>
#include <QGraphicsView>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaObject>
#include <QPushButton>
#include <QRect>
#include <QSpinBox>
#include <QStatusBar>

namespace {

template<typename Widget>
Widget *createChild(QWidget *parent, const char *objectName, const QRect &geometry)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QString::fromUtf8(objectName));
    widget->setGeometry(geometry);
    return widget;
}

} // namespace

void MainWindowForm::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("MainWindow"));
    window->resize(800, 600);
    window->setToolTipDuration(-1);

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QString::fromUtf8("centralwidget"));

    origin = createChild<QGraphicsView>(centralwidget, "origin", QRect(10, 40, 241, 191));
    label = createChild<QLabel>(centralwidget, "label", QRect(110, 20, 40, 12));
    label_2 = createChild<QLabel>(centralwidget, "label_2", QRect(380, 10, 81, 21));
    label_3 = createChild<QLabel>(centralwidget, "label_3", QRect(660, 20, 40, 12));
    mygray = createChild<QGraphicsView>(centralwidget, "mygray", QRect(280, 40, 241, 191));
    gray = createChild<QGraphicsView>(centralwidget, "gray", QRect(550, 40, 241, 191));
    gaussian = createChild<QGraphicsView>(centralwidget, "gaussian", QRect(10, 290, 241, 191));
    sobel = createChild<QGraphicsView>(centralwidget, "sobel", QRect(280, 290, 241, 191));
    laplacian = createChild<QGraphicsView>(centralwidget, "laplacian", QRect(550, 290, 241, 191));
    label_4 = createChild<QLabel>(centralwidget, "label_4", QRect(650, 270, 101, 20));
    label_5 = createChild<QLabel>(centralwidget, "label_5", QRect(380, 270, 61, 16));
    label_6 = createChild<QLabel>(centralwidget, "label_6", QRect(110, 270, 91, 16));
    pushButton = createChild<QPushButton>(centralwidget, "pushButton", QRect(339, 510, 101, 20));
    spinBox = createChild<QSpinBox>(centralwidget, "spinBox", QRect(100, 500, 42, 22));
    spinBox->setMinimum(1);
    spinBox->setMaximum(51);
    spinBox->setSingleStep(2);
    spinBox->setStepType(QAbstractSpinBox::DefaultStepType);
    spinBox->setValue(1);
    window->setCentralWidget(centralwidget);

    menubar = new QMenuBar(window);
    menubar->setObjectName(QString::fromUtf8("menubar"));
    menubar->setGeometry(QRect(0, 0, 800, 24));
    window->setMenuBar(menubar);

    statusbar = new QStatusBar(window);
    statusbar->setObjectName(QString::fromUtf8("statusbar"));
    window->setStatusBar(statusbar);

    retranslateUi(window);

    // Last, so that setting the spin box's value above runs no slot.
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr, -1));
    label->setText(QCoreApplication::translate("MainWindow", "原圖", nullptr, -1));
    label_2->setText(QCoreApplication::translate("MainWindow", "平均灰階", nullptr, -1));
    label_3->setText(QCoreApplication::translate("MainWindow", "灰階", nullptr, -1));
    label_4->setText(QCoreApplication::translate("MainWindow", "laplacian ", nullptr, -1));
    label_5->setText(QCoreApplication::translate("MainWindow", "sobel", nullptr, -1));
    label_6->setText(QCoreApplication::translate("MainWindow", "Gaussian", nullptr, -1));
    pushButton->setText(QCoreApplication::translate("MainWindow", "select image", nullptr, -1));
}
