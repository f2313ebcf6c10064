#pragma once

#include <string>

// What a PAM ("P7") header says, read as OpenCV's decoder reads it: lines
// end at a line feed or a carriage return, field names in capitals, values
// trimmed, the last TUPLTYPE wins. Numbers that are not plain digits read as
// 0. The colours OpenCV gives depend on the depth and the tuple type; a PAM
// file's assessment holds its header in its details.
struct PamHeader
{
    int width = 0;
    int height = 0;
    int depth = 0; // samples per pixel
    int maxval = 0;
    std::string tupleType; // empty when the header names none
};
