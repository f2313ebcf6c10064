// Decodes a file as the program does, COUNT times in this one process,
// without a window, and prints each picture's size:
//   morvastel_decoderepeatedly FILE COUNT
// Exits 0 when every decode gave a picture.
#include "decoding/decodefile.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        const cv::Mat picture = decodeFile(argv[1]);
        std::printf("%d x %d\n", picture.cols, picture.rows);
        std::fflush(stdout);
        if (picture.empty())
            return 1;
    }
    return 0;
}
