#pragma once

#include <QCursor>
#include <QGuiApplication>

// Shows the busy cursor over the program's windows while it lives: a load
// runs on the GUI thread, and this is all the user sees of it meanwhile.
// The cursor before comes back however the load ends.
class BusyCursor
{
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }

    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};
