#include "analysis/busywhileloading.h"

#include <QBackingStore>
#include <QWindow>

BusyWhileLoading::DrawnAtOnce::DrawnAtOnce(QWidget &window)
{
    // What is not drawn yet is drawn, then the whole window is put on the
    // screen again, where the dialog was: the panels' views, unchanged, are
    // not part of a repaint. Qt sends it to the window system with the
    // cursor that follows; QGuiApplication::sync() would run the event loop,
    // and with it a click made meanwhile.
    window.repaint();
    if (QBackingStore *store = window.backingStore())
        store->flush(QRegion(window.rect()), window.windowHandle());
}
