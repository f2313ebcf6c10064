#pragma once

#include "decoding/assessment.h"
#include "decoding/filebytes.h"
#include "decoding/limits.h"

#include <opencv2/core/mat.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a format's decoder is handed: the file the checks read, and what they
// made of it.
struct DecodeRequest
{
    const std::string &path; // as the user chose it, for messages
    const std::string &openPath; // where the checked file itself is read
    const Assessment &assessment;
};

// An 8-bit BGR picture, as cv::imread gives it in colour; or, when it is
// empty, why there is none.
struct Decoded
{
    cv::Mat image;
    std::string failure;

    static Decoded failed(std::string why);
};

// The checked file, opened again for its decoder; null when it cannot be.
using OpenFile = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;
OpenFile openForDecoding(const DecodeRequest &request);

// Why a file is refused when its decoder, having read the header, finds
// another picture than the checks read and priced.
Decoded readOtherwise(const char *format, const char *library, std::uint64_t width,
    std::uint64_t height, int components, const Assessment &checked);

// One image format: one file of decoding/ holds each, with everything known
// about it.
struct Format
{
    const char *name;
    // Whether the file starts as this format's files do, as its decoder checks.
    bool (*matches)(std::string_view start);
    // Reads the header, as the decoder will, and prices the decode.
    Assessment (*inspect)(const FileBytes &file, const DecodeLimits &limits);
    // Makes ready, in the program, what decoding this file needs and the
    // program does not have yet: the decoder's library at the format's first
    // decode, and what the mends find out about the OpenCV in use. False,
    // with why, when it cannot. Null where nothing is needed.
    bool (*prepare)(const Assessment &assessment, std::string &why);
    // Decodes a file that the checks passed, with the decoder they priced.
    Decoded (*decode)(const DecodeRequest &request);
};

// Every format a file may be decoded as, and those refused outright, in the
// order OpenCV asks its decoders: the first whose signature matches is the
// decoder that would take the file.
const std::vector<const Format *> &formatsInDecoderOrder();

// The format whose decoder takes a file that starts with these bytes, as
// its place in that order; -1 when none does.
int formatFor(std::string_view start);
