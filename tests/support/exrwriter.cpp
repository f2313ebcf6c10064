#include "support/exrwriter.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <exception>
#include <vector>

namespace {

Imf::Header partHeader(
    const cv::Mat &picture, const char *name, const char *const *channels, Imf::PixelType type)
{
    Imf::Header header(picture.cols, picture.rows);
    header.setName(name);
    header.setType(Imf::SCANLINEIMAGE);
    header.compression() = Imf::ZIP_COMPRESSION;
    for (const char *const *channel = channels; *channel; ++channel)
        header.channels().insert(*channel, Imf::Channel(type));
    return header;
}

} // namespace

bool writeMultipartExr(const std::string &path, const cv::Mat &bgr)
{
    static const char *const colour[] = {"B", "G", "R", nullptr};
    static const char *const depth[] = {"Z", nullptr};
    cv::Mat linear;
    bgr.convertTo(linear, CV_32FC3, 1 / 255.0);
    std::vector<half> halves(linear.total() * 3);
    std::transform(linear.ptr<float>(), linear.ptr<float>() + halves.size(), halves.begin(),
        [](float value) { return half(value); });
    cv::Mat distance(bgr.size(), CV_32FC1);
    cv::randu(distance, 1.0, 100.0);
    try {
        const Imf::Header headers[] = {partHeader(bgr, "beauty", colour, Imf::HALF),
            partHeader(bgr, "depth", depth, Imf::FLOAT)};
        Imf::MultiPartOutputFile file(path.c_str(), headers, 2);
        Imf::FrameBuffer beauty;
        const std::size_t row = sizeof(half) * 3 * static_cast<std::size_t>(bgr.cols);
        for (int c = 0; c < 3; ++c)
            beauty.insert(colour[c],
                Imf::Slice(
                    Imf::HALF, reinterpret_cast<char *>(halves.data() + c), 3 * sizeof(half), row));
        Imf::OutputPart beautyPart(file, 0);
        beautyPart.setFrameBuffer(beauty);
        beautyPart.writePixels(bgr.rows);
        Imf::FrameBuffer z;
        z.insert("Z",
            Imf::Slice(
                Imf::FLOAT, reinterpret_cast<char *>(distance.data), sizeof(float), distance.step));
        Imf::OutputPart depthPart(file, 1);
        depthPart.setFrameBuffer(z);
        depthPart.writePixels(bgr.rows);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}
