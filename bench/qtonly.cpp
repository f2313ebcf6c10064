// The window's widgets and nothing else: Qt alone, for comparing start-up
// and memory with the program.
#include "window/mainwindowform.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    MainWindowForm form;
    form.setupUi(&window);
    window.setWindowTitle(QStringLiteral("morvastel"));
    window.show();
    return app.exec();
}
