// One load in a fresh process linked as the program is, without OpenCV's
// codecs until the module brings them: what a user waits for and what it
// costs in memory. Prints its figures on standard output:
//   load PATH   the whole load's milliseconds, then the peak memory in KiB
//   first PATH  the module's loading, the decode, and the six pictures, in ms
#include "decoding/decodedpicture.h"
#include "panels.h"
#include "timing.h"

#include <QApplication>

#include <sys/resource.h>

#include <cstring>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    Panels panels;
    panels.window.show();

    const auto start = Clock::now();
    const bool loaded = loadCodecModule();
    const double module = millisecondsSince(start);
    const auto decodeStart = Clock::now();
    const DecodedPicture picture = decodePicture(argv[2]);
    const double decode = millisecondsSince(decodeStart);
    const auto showStart = Clock::now();
    if (!picture.image().empty())
        panels.show(picture.image());
    const double shown = millisecondsSince(showStart);

    if (std::strcmp(argv[1], "first") == 0) {
        std::printf("%f %f %f\n", module, decode, shown);
    } else {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%f %ld\n", millisecondsSince(start), usage.ru_maxrss);
    }
    return loaded ? 0 : 1;
}
