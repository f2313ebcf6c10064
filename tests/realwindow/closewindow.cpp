// Waits for a top-level window with the given title on $DISPLAY, prints its
// size, then asks it to close the way a window manager's close button does
// (a WM_DELETE_WINDOW message). Exits 1 when no such window shows up.
#include "xwindows.h"

#include <X11/Xatom.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TITLE\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    const Window window = waitForWindow(display, argv[1]);
    if (!window) {
        std::fprintf(stderr, "no window titled '%s' appeared\n", argv[1]);
        XCloseDisplay(display);
        return 1;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    std::printf("%dx%d\n", attributes.width, attributes.height);

    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
    return 0;
}
