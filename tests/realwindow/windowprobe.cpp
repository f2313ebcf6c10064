// Reads what a user sees of a program on $DISPLAY:
//   windowprobe colour TITLE X Y      the colour of the pixel at X, Y in the
//                                     window titled TITLE, as "R G B"
//   windowprobe grab TITLE FILE       the screen where that window lies, as
//                                     raw pixels in FILE
//   windowprobe differ FILE FILE      the share of two grabs' pixels that
//                                     differ, from 0 to 1
//   windowprobe cursor                the cursor the server shows now
//   windowprobe waitcursor CURSOR S   waits up to S seconds for that cursor
// Cursors are printed as "WIDTH HEIGHT XHOT YHOT CHECKSUM". Exits 1 when no
// such window or cursor shows up.
#include "xwindows.h"

#include <X11/extensions/Xfixes.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

// What the screen shows where the window lies, whatever window drew it: the
// root window's pixels, not the window's own.
int grab(Display *display, const char *title, const char *file)
{
    const Window window = waitForWindow(display, title);
    XWindowAttributes attributes;
    if (!window || !XGetWindowAttributes(display, window, &attributes))
        return 1;
    const Window root = DefaultRootWindow(display);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
    XImage *image = XGetImage(display, root, x, y, static_cast<unsigned>(attributes.width),
        static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!image)
        return 1;
    std::vector<std::uint32_t> pixels;
    for (int row = 0; row < attributes.height; ++row) {
        for (int column = 0; column < attributes.width; ++column)
            pixels.push_back(static_cast<std::uint32_t>(XGetPixel(image, column, row) & 0xffffff));
    }
    XDestroyImage(image);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(pixels.data()),
        static_cast<std::streamsize>(pixels.size() * sizeof(std::uint32_t)));
    return out ? 0 : 1;
}

std::vector<std::uint32_t> grabbed(const char *file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint32_t> pixels;
    std::uint32_t pixel = 0;
    while (in.read(reinterpret_cast<char *>(&pixel), sizeof pixel))
        pixels.push_back(pixel);
    return pixels;
}

int printDifference(const char *first, const char *second)
{
    const std::vector<std::uint32_t> a = grabbed(first);
    const std::vector<std::uint32_t> b = grabbed(second);
    if (a.empty() || a.size() != b.size())
        return 1;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differing += a[i] != b[i] ? 1 : 0;
    std::printf("%.4f\n", static_cast<double>(differing) / static_cast<double>(a.size()));
    return 0;
}

// The cursor shown now: its size, hot spot and a checksum of its pixels.
std::string cursorShown(Display *display)
{
    XFixesCursorImage *cursor = XFixesGetCursorImage(display);
    if (!cursor)
        return {};
    std::uint64_t checksum = 1469598103934665603ULL; // FNV-1a
    for (int i = 0; i < cursor->width * cursor->height; ++i) {
        checksum ^= static_cast<std::uint32_t>(cursor->pixels[i]);
        checksum *= 1099511628211ULL;
    }
    const std::string shown = std::to_string(cursor->width) + ' ' + std::to_string(cursor->height) +
        ' ' + std::to_string(cursor->xhot) + ' ' + std::to_string(cursor->yhot) + ' ' +
        std::to_string(checksum);
    XFree(cursor);
    return shown;
}

int waitForCursor(Display *display, const std::string &wanted, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cursorShown(display) == wanted)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 1;
}

bool hasXfixes(Display *display)
{
    int event = 0, error = 0, major = 4, minor = 0;
    return XFixesQueryExtension(display, &event, &error) &&
        XFixesQueryVersion(display, &major, &minor);
}

} // namespace

int main(int argc, char *argv[])
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    const std::string command = argc > 1 ? argv[1] : "";
    const bool cursors = hasXfixes(display);
    int status = 2;
    if (command == "colour" && argc == 5)
        status = printColour(display, argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    else if (command == "grab" && argc == 4)
        status = grab(display, argv[2], argv[3]);
    else if (command == "differ" && argc == 4)
        status = printDifference(argv[2], argv[3]);
    else if (command == "cursor" && argc == 2 && cursors)
        status = std::printf("%s\n", cursorShown(display).c_str()) > 1 ? 0 : 1;
    else if (command == "waitcursor" && argc == 4 && cursors)
        status = waitForCursor(display, argv[2], std::atof(argv[3]));
    else
        std::fprintf(stderr, "usage: see the top of windowprobe.cpp\n");
    XCloseDisplay(display);
    return status;
}
