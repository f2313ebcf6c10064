// One load in a fresh process linked as the program is, loading libraries
// at the first decode that needs them, as the program does: what a user
// waits for and what it costs in memory. Prints its figures on standard
// output:
//   load PATH   the whole load's milliseconds, the peak memory in KiB (of
//               this process or of the child it decoded in, whichever is
//               larger), and whether OpenCV's codecs were loaded (1) or not (0)
//   first PATH  the first load in the process and the second of the same
//               file, and showing the six pictures after the first, in ms
#include "analysis/loadpanels.h"
#include "panels.h"
#include "timing.h"

#include <QApplication>
#include <QFile>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

bool codecsLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libopencv_imgcodecs");
}

// A load's milliseconds, and its panels.
double timedLoad(const char *path, std::optional<PanelImages> &loaded)
{
    const auto start = Clock::now();
    loaded = loadPanels(path);
    return millisecondsSince(start);
}

// The larger peak of this process and the children it decoded in: each
// child starts with this process's pages.
long peakKiB()
{
    rusage self {};
    rusage children {};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return std::max(self.ru_maxrss, children.ru_maxrss);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    Panels panels;
    panels.window.show();

    if (std::strcmp(argv[1], "first") == 0) {
        std::optional<PanelImages> loaded;
        const double first = timedLoad(argv[2], loaded);
        const auto showStart = Clock::now();
        if (loaded)
            panels.show(*loaded);
        const double show = millisecondsSince(showStart);
        const double second = timedLoad(argv[2], loaded);
        std::printf("%f %f %f\n", first, second, show);
        return loaded ? 0 : 1;
    }

    // As the program loads a file: libraries loaded only if the checks pass it.
    const auto start = Clock::now();
    {
        std::optional<PanelImages> loaded = loadPanels(argv[2]);
        if (loaded)
            panels.show(*loaded);
    }
    const double load = millisecondsSince(start);
    std::printf("%f %ld %d\n", load, peakKiB(), codecsLoaded() ? 1 : 0);
    return 0;
}
