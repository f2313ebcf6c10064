#include "decoding/imagefile.h"

#include "decoding/bytes.h"
#include "decoding/decodecost.h"
#include "decoding/pamdecoding.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cctype>
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

// The signature OpenCV's PAM decoder looks for.
bool isPam(std::string_view start)
{
    return start.size() > 3 && start[0] == 'P' && start[1] == '7' &&
        std::isspace(static_cast<unsigned char>(start[2]));
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

    std::optional<PamDecoding> pam;
    if (isPam(start)) {
        file.clear();
        file.seekg(0);
        const std::optional<PamHeader> header = readPamHeader(file);
        pam = header ? pamDecoding(*header) : PamDecoding::Wrong;
        if (pam == PamDecoding::Wrong)
            return {};
    }
    file.close();

    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (pam == PamDecoding::RedBlueSwapped && !image.empty())
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
    return image;
}
