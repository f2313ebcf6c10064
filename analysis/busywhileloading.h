#pragma once

#include <QCursor>
#include <QGuiApplication>
#include <QWidget>

// Shows that the program is working while a load runs on the GUI thread and
// holds the event loop: the window drawn at once as it is (where the file
// dialog was), then the busy cursor over it until the load ends, however it
// ends.
class BusyWhileLoading
{
public:
    explicit BusyWhileLoading(QWidget &window) : drawn(window) { }

private:
    struct DrawnAtOnce
    {
        explicit DrawnAtOnce(QWidget &window);
    };
    struct BusyCursor
    {
        BusyCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
        ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
        BusyCursor(const BusyCursor &) = delete;
        BusyCursor &operator=(const BusyCursor &) = delete;
    };
    // In this order: the window system gets the drawing before the cursor,
    // so that the busy cursor never shows over the dialog's last image.
    DrawnAtOnce drawn;
    BusyCursor cursor;
};
