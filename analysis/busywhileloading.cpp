#include "analysis/busywhileloading.h"

#include <QBackingStore>
#include <QWindow>

BusyWhileLoading::BusyWhileLoading(QWidget &window)
{
    // What is not drawn yet is drawn, then the whole window is put on the
    // screen again, where the dialog was: the panels' views, unchanged, are
    // not part of a repaint. Qt sends both, and the cursor, to the window
    // system at once; QGuiApplication::sync() would run the event loop, and
    // with it a click made meanwhile.
    window.repaint();
    if (QBackingStore *store = window.backingStore())
        store->flush(QRegion(window.rect()), window.windowHandle());
}
