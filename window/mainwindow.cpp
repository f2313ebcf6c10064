#include "window/mainwindow.h"

#include "window/mainwindowform.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), form(new MainWindowForm)
{
    form->setupUi(this);
    setWindowTitle(QStringLiteral("morvastel"));
}

MainWindow::~MainWindow() = default;
