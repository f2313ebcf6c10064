#pragma once

#include "decoding/mend.h"

#include <cstdint>
#include <string>

// What the program hands the codec module for one file that passed its checks.
struct MorvastelDecodeRequest
{
    std::string path; // as the user chose it, for messages
    std::string openPath; // where the checked file itself is read
    int format = -1; // its place in formatsInDecoderOrder()
    MendQuestion mend;
    // What the header declares: the largest side of any picture the decoder
    // meets, and the most pixels that may be decoded.
    std::uint64_t largestSide = 0;
    std::uint64_t pixelLimit = 0;
};
