#include "decoding/imagefile.h"

#include "decoding/bytes.h"
#include "decoding/decodecost.h"
#include "decoding/mends.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

// The signature OpenCV's DICOM decoder looks for: "DICM" after a 128-byte preamble.
bool isDicom(std::string_view start)
{
    return start.size() >= 132 && start.substr(128, 4) == "DICM";
}

} // namespace

cv::Mat readImage(const std::string &path)
{
    // A pipe or a device could block the window for ever, or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return {};

    std::ifstream file(path, std::ios::binary);
    const std::string start = readAt(file, 0, 132);
    if (isDicom(start))
        return {};

    // Decoding runs on the GUI thread: a picture that would take gigabytes or
    // minutes is refused from what its header declares.
    if (const std::optional<std::string> refusal =
            costRefusal(file, DecodeLimits::fromEnvironment())) {
        std::cerr << "morvastel: " << path << ": " << *refusal << std::endl;
        return {};
    }

    // What this OpenCV would decode wrongly is put right, or not decoded.
    const std::optional<Mend> mend = mendFor(file, start);
    if (!mend)
        return {};
    file.close();

    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (!image.empty())
        mend->apply(image);
    return image;
}
