#pragma once

#include <string>
#include <vector>

struct BenchInput
{
    std::string label; // for example "24MP.jpg"
    std::string path;
};

// Photo-like pictures (smooth shapes, texture and sensor noise) written once
// into the build folder and reused by later runs.
std::vector<BenchInput> benchInputs();

// Files a load refuses at once, and the costliest each limit lets through,
// written once into the build folder. Labels say which is which.
std::vector<BenchInput> costlyInputs();

// Files of a million pieces, whose check before decoding must stay a small
// part of their decode: a 16384 x 16384 TIFF in 16 x 16 JPEG tiles, as
// libvips writes on request, and one in a million one-row strips.
std::vector<BenchInput> manyPieceInputs();
