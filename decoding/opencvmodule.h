#pragma once

#include "decoding/formats.h"
#include "decoding/mend.h"

#include <string>

// Loads OpenCV's codecs, through the codec module, unless that is done: the
// first decode of a format that OpenCV decodes does it, so that starting the
// program, refusing a file or decoding one with its format's own library
// costs nothing for them. False, with why, when the module cannot be loaded;
// the next call tries again. Every format that OpenCV decodes loads it so.
bool loadOpenCv(const Assessment &assessment, std::string &why);

// The file of the request as cv::imread decodes it in colour. OpenCV must
// be loaded.
Decoded decodeWithOpenCv(const DecodeRequest &request);

// OpenCV's codecs for the mends' probes. OpenCV must be loaded.
const Codec &openCvCodec();
