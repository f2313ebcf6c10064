#pragma once

#include "decoding/assessment.h"
#include "decoding/filebytes.h"
#include "decoding/limits.h"

#include <string>

// What the checks before decoding make of a file.
struct Verdict
{
    // Why it must not be decoded, for standard error; empty when it may be.
    std::string refusal;
    // Its format's place in formatsInDecoderOrder(), when one takes it.
    int format = -1;
    Assessment assessment;
};

// Decides whether a file may be decoded, from its own bytes alone and with
// no codec loaded: the format whose decoder OpenCV would pick by content,
// whether that format can read the header, and whether what the header
// declares fits the limits. Only what is recognised, read and bounded passes.
Verdict inspectFile(const FileBytes &file, const DecodeLimits &limits);
