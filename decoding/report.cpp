#include "decoding/report.h"

#include <algorithm>
#include <iostream>

void report(const std::string &path, const std::string &why)
{
    reportLine("morvastel: " + path + ": " + why);
}

void reportLine(const std::string &text)
{
    // One line, whatever the path or a decoder's message holds.
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::cerr << line << std::endl;
    // A failed write (nobody reads standard error) leaves the stream failed;
    // the next line should be tried.
    std::cerr.clear();
}
