// The OpenCV codec module: cv::imread and cv::imdecode, loaded by the program
// at the first decode that needs them (decoding/opencvmodule.cpp).
#include "decoding/opencvcodecs.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace {

cv::Mat read(const std::string &path, std::string &why)
{
    try {
        cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        if (image.empty()) {
            why = "undecodable: OpenCV's decoder gave no picture";
            return {};
        }
        // IMREAD_COLOR promises three channels, which the PFM decoder forgets.
        if (image.type() == CV_8UC1)
            cv::cvtColor(image, image, cv::COLOR_GRAY2BGR);
        if (image.type() != CV_8UC3) {
            char text[96];
            std::snprintf(text, sizeof text,
                "undecodable: OpenCV gave a picture of %d channels of %zu bytes", image.channels(),
                image.elemSize1());
            why = text;
            return {};
        }
        return image;
    } catch (const cv::Exception &error) {
        why = "undecodable: " + error.err;
        return {};
    } catch (const std::exception &error) {
        why = std::string("undecodable: ") + error.what();
        return {};
    }
}

cv::Mat decode(const std::vector<uchar> &file)
{
    try {
        return cv::imdecode(file, cv::IMREAD_COLOR);
    } catch (const std::exception &) {
        return {};
    }
}

} // namespace

const OpenCvCodecs *morvastelOpenCvCodecs()
{
    // Decoders run under an address-space ceiling, where a parallel loop could
    // fail to start its threads: OpenCV's loops run on the calling thread. The
    // viewer's own work on them, at panel size, gains nothing from threads.
    cv::setNumThreads(1);
    // OpenCV makes its list of decoders at its first decode (GDAL's reads
    // its configuration then): here, in the program, not again in every child.
    decode({0});
    static const OpenCvCodecs codecs = {read, decode};
    return &codecs;
}
