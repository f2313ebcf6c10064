#pragma once

#include "decoding/format.h"

#include <string_view>
#include <vector>

// Every format a file may be decoded as, and those refused outright, in the
// order OpenCV asks its decoders: the first whose signature matches is the
// decoder that would take the file.
const std::vector<const Format *> &formatsInDecoderOrder();

// The format whose decoder takes a file that starts with these bytes, as
// its place in that order; -1 when none does.
int formatFor(std::string_view start);
