// Reads what a user sees of a program on $DISPLAY:
//   windowprobe colour TITLE X Y   the colour of the pixel at X, Y in the
//                                  window titled TITLE, as "R G B"
// Exits 1 when no such window shows up.
#include "xwindows.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int printColour(Display *display, const char *title, int x, int y)
{
    const Window window = waitForWindow(display, title);
    if (!window)
        return 1;
    XImage *image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return 1;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    // TrueColor at 24 bits, as xvfb-run's screens are.
    std::printf("%lu %lu %lu\n", pixel >> 16 & 0xff, pixel >> 8 & 0xff, pixel & 0xff);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    int status = 2;
    if (argc == 5 && std::strcmp(argv[1], "colour") == 0)
        status = printColour(display, argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    else
        std::fprintf(stderr, "usage: %s colour TITLE X Y\n", argv[0]);
    XCloseDisplay(display);
    return status;
}
