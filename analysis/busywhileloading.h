#pragma once

#include <QCursor>
#include <QGuiApplication>
#include <QWidget>

// Shows that the program is working while a load runs on the GUI thread and
// holds the event loop: the window drawn at once as it is (where the file
// dialog was), and the busy cursor over it until the load ends, however it
// ends.
class BusyWhileLoading
{
public:
    explicit BusyWhileLoading(QWidget &window);

private:
    struct BusyCursor
    {
        BusyCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
        ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
        BusyCursor(const BusyCursor &) = delete;
        BusyCursor &operator=(const BusyCursor &) = delete;
    };
    BusyCursor cursor; // set before the window is drawn, and sent with it
};
