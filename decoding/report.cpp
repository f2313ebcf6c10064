#include "decoding/report.h"

#include <algorithm>
#include <iostream>

void report(const std::string &path, const std::string &why)
{
    // One line, whatever the path or a decoder's message holds.
    std::string line = "morvastel: " + path + ": " + why;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::cerr << line << std::endl;
    // A failed write (nobody reads standard error) leaves the stream failed;
    // the next line should be tried.
    std::cerr.clear();
}
