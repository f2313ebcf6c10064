// Shows a 200 x 200 window titled "cursor" whose cursor is Qt's busy one:
// what this Qt shows for it on this X server, for the real-window test to
// tell it from others.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("cursor"));
    window.setCursor(Qt::WaitCursor);
    window.resize(200, 200);
    window.show();
    return QApplication::exec();
}
