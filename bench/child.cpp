// One load in a fresh process linked as the program is, without OpenCV's
// codecs until the module brings them: what a user waits for and what it
// costs in memory. Prints its figures on standard output:
//   load PATH   the whole load's milliseconds, the peak memory in KiB, and
//               whether the codec module was loaded (1) or not (0)
//   first PATH  the module's loading, the decode, and the six pictures, in ms
#include "decoding/decodedpicture.h"
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
        const auto start = Clock::now();
        const bool loaded = loadCodecModule();
        const double module = millisecondsSince(start);
        const auto decodeStart = Clock::now();
        const DecodedPicture picture = decodePicture(argv[2]);
        const double decode = millisecondsSince(decodeStart);
        const auto showStart = Clock::now();
        if (!picture.image().empty())
            panels.show(picture.image());
        std::printf("%f %f %f\n", module, decode, millisecondsSince(showStart));
        return loaded ? 0 : 1;
    }

    // As the program loads a file: the module only if the checks pass it.
    const auto start = Clock::now();
    {
        const DecodedPicture picture = decodePicture(argv[2]);
        if (!picture.image().empty())
            panels.show(picture.image());
    }
    const double load = millisecondsSince(start);
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%f %ld %d\n", load, usage.ru_maxrss, codecsLoaded() ? 1 : 0);
    return 0;
}
