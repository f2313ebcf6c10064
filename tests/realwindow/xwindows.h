#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <string>
#include <thread>

// A top-level window by its title, for the helpers that drive and read the
// real program on an X server.

inline std::string titleOf(Display *display, Window window)
{
    XTextProperty property;
    if (!XGetWMName(display, window, &property) || !property.value)
        return {};
    std::string title(reinterpret_cast<const char *>(property.value), property.nitems);
    XFree(property.value);
    return title;
}

inline Window findMapped(Display *display, Window parent, const std::string &title)
{
    Window root = 0, ignored = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root, &ignored, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable && titleOf(display, children[i]) == title)
            found = children[i];
    }
    if (children)
        XFree(children);
    return found;
}

// The mapped window with this title, waiting up to 30 s for it; 0 if none.
inline Window waitForWindow(Display *display, const std::string &title)
{
    Window window = 0;
    for (int attempt = 0; attempt < 300 && !window; ++attempt) {
        window = findMapped(display, DefaultRootWindow(display), title);
        if (!window)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return window;
}
