#pragma once

#include "decoding/probe.h"

#include <istream>
#include <optional>
#include <string>

// What a PAM ("P7") header says about its picture, read as OpenCV's decoder
// reads it: lines end at a line feed or a carriage return, field names in
// capitals, values trimmed, the last TUPLTYPE wins. Numbers that are not
// plain digits read as 0.
struct PamHeader
{
    int width = 0;
    int height = 0;
    int depth = 0; // samples per pixel
    std::string tupleType; // empty when the header names none
};

// Reads a PAM header from its signature up to its ENDHDR line. Empty when the
// stream holds no complete header or a line is implausibly long.
std::optional<PamHeader> readPamHeader(std::istream &in);

// How this process's OpenCV decodes PAM files with such a header in colour
// mode, found out the first time it is asked.
Decoding pamDecoding(const PamHeader &header);
