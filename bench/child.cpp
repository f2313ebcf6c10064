// One load in a fresh process linked as the program is, loading libraries
// at the first decode that needs them, as the program does: what a user
// waits for and what it costs in memory. Prints its figures on standard
// output:
//   load PATH   the whole load's milliseconds, the peak memory in KiB, and
//               whether OpenCV's codecs were loaded (1) or not (0)
//   first PATH  the first decode in the process and the second of the same
//               file, and the six pictures after the first, in ms
#include "decoding/decodefile.h"
#include "panels.h"
#include "timing.h"

#include <QApplication>
#include <QFile>

#include <sys/resource.h>

#include <cstring>

namespace {

bool codecsLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libopencv_imgcodecs");
}

// A decode's milliseconds, and the picture.
double timedDecode(const char *path, cv::Mat &picture)
{
    const auto start = Clock::now();
    picture = decodeFile(path);
    return millisecondsSince(start);
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
        cv::Mat picture;
        const double first = timedDecode(argv[2], picture);
        const auto showStart = Clock::now();
        if (!picture.empty())
            panels.show(picture);
        const double show = millisecondsSince(showStart);
        const double second = timedDecode(argv[2], picture);
        std::printf("%f %f %f\n", first, second, show);
        return picture.empty() ? 1 : 0;
    }

    // As the program loads a file: libraries loaded only if the checks pass it.
    const auto start = Clock::now();
    {
        const cv::Mat picture = decodeFile(argv[2]);
        if (!picture.empty())
            panels.show(picture);
    }
    const double load = millisecondsSince(start);
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%f %ld %d\n", load, usage.ru_maxrss, codecsLoaded() ? 1 : 0);
    return 0;
}
