// Formats that OpenCV's decoders take but this viewer refuses outright: their
// decoders end the program or cannot be bounded. They take a file before any
// other format does, whatever it starts as: OpenCV turns to them when the
// decoder of the format a file starts as turns it down.
#include "decoding/byteorder.h"
#include "decoding/formats.h"

#include <algorithm>

namespace {

// DICOM: "DICM" after a 128-byte preamble, the signature OpenCV's decoder
// (GDCM) looks for.
bool isDicom(std::string_view start)
{
    return start.size() >= 132 && start.substr(128, 4) == "DICM";
}

Assessment refuseDicom(const FileBytes &, const DecodeLimits &)
{
    return Assessment::refused("DICOM, whose decoder ends the program on malformed files");
}

// GDAL's two routes in OpenCV: "NITF" within the first four bytes, or "DTED"
// at byte 140 of a signature of more than 144 bytes.
bool isGdal(std::string_view start)
{
    return start.substr(0, 4).find("NITF") != std::string_view::npos ||
        (start.size() > 144 && start.substr(140, 4) == "DTED");
}

Assessment refuseGdal(const FileBytes &, const DecodeLimits &)
{
    return Assessment::refused(
        "unknown format: NITF or DTED, which only GDAL decodes, at a cost nothing here can bound");
}

} // namespace

extern const Format DicomFormat = {"DICOM", isDicom, refuseDicom, nullptr, nullptr};
extern const Format GdalFormat = {"GDAL", isGdal, refuseGdal, nullptr, nullptr};
