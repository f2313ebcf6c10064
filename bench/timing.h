#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Runs a command and reads the numbers it prints; an empty list when it fails.
inline std::vector<double> commandFigures(const std::string &command)
{
    std::vector<double> figures;
    std::FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return figures;
    for (double figure = 0; std::fscanf(pipe, "%lf", &figure) == 1;)
        figures.push_back(figure);
    if (pclose(pipe) != 0)
        figures.clear();
    return figures;
}
