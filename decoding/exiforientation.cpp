#include "decoding/exiforientation.h"

#include "decoding/bytes.h"
#include "decoding/jpegmarkers.h"
#include "decoding/probe.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;
constexpr std::string_view ExifSignature = "Exif\0\0"sv;
constexpr int OrientationTag = 0x112;

// The orientation tag of the first directory of an Exif block.
std::optional<int> orientationIn(std::string_view exif)
{
    const std::string_view tiff = exif.substr(ExifSignature.size());
    if (tiff.size() < 8 || (!startsWith(tiff, "II") && !startsWith(tiff, "MM")))
        return std::nullopt;
    const ByteOrder order = tiff[0] == 'I' ? ByteOrder::Little : ByteOrder::Big;
    const std::uint64_t directory = unsignedAt(tiff, 4, 4, order);
    if (directory + 2 > tiff.size())
        return std::nullopt;
    const std::uint64_t count = unsignedAt(tiff, directory, 2, order);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = directory + 2 + 12 * i;
        if (entry + 12 > tiff.size())
            break;
        if (unsignedAt(tiff, entry, 2, order) == OrientationTag)
            return static_cast<int>(unsignedAt(tiff, entry + 8, 2, order));
    }
    return std::nullopt;
}

// A tiny JPEG whose XMP block comes before its Exif block, which says
// "turn 90 degrees clockwise"; and the picture it stores.
struct Probe
{
    std::vector<uchar> file;
    cv::Mat stored;
};

std::vector<uchar> app1(std::string_view payload)
{
    const std::size_t length = payload.size() + 2;
    std::vector<uchar> segment(payload.size() + 4);
    segment[0] = 0xff;
    segment[1] = static_cast<uchar>(jpeg::App1);
    segment[2] = static_cast<uchar>(length >> 8);
    segment[3] = static_cast<uchar>(length);
    std::copy(payload.begin(), payload.end(), segment.begin() + 4);
    return segment;
}

Probe makeProbe()
{
    // Wide, with no two columns or rows alike, so that every turn shows.
    cv::Mat picture(8, 16, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x)
            picture.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 16), uchar(y * 32), uchar(128));
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
    Probe probe {{}, cv::imdecode(jpeg, cv::IMREAD_COLOR)};

    const std::string exif = std::string(ExifSignature) +
        std::string("MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"sv);
    const std::vector<uchar> xmp = app1("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"sv);
    const std::vector<uchar> turn = app1(exif);
    probe.file.assign(jpeg.begin(), jpeg.begin() + 2);
    probe.file.insert(probe.file.end(), xmp.begin(), xmp.end());
    probe.file.insert(probe.file.end(), turn.begin(), turn.end());
    probe.file.insert(probe.file.end(), jpeg.begin() + 2, jpeg.end());
    return probe;
}

LaterExif findHandling()
{
    const Probe probe = makeProbe();
    cv::Mat decoded;
    try {
        decoded = cv::imdecode(probe.file, cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        return LaterExif::Mishandled;
    }
    cv::Mat turned = probe.stored.clone();
    applyOrientation(turned, 6);
    if (samePixels(decoded, turned))
        return LaterExif::Honoured;
    return samePixels(decoded, probe.stored) ? LaterExif::Ignored : LaterExif::Mishandled;
}

} // namespace

std::optional<int> laterExifOrientation(std::istream &file)
{
    JpegMarkers markers(file);
    bool firstApp1 = true;
    for (int marker = markers.next(); marker != 0; marker = markers.next()) {
        if (marker == jpeg::Sos || marker == jpeg::Eoi)
            break;
        if (!jpeg::hasSegment(marker))
            continue;
        const std::optional<std::string> segment =
            markers.segment(marker == jpeg::App1 ? 0xffff : 0);
        if (!segment)
            break;
        if (marker != jpeg::App1)
            continue;
        const bool isExif = startsWith(*segment, ExifSignature);
        if (isExif && firstApp1)
            return std::nullopt; // OpenCV reads this one itself
        firstApp1 = false;
        if (isExif) {
            const std::optional<int> orientation = orientationIn(*segment);
            if (orientation && *orientation >= 2 && *orientation <= 8)
                return orientation;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

LaterExif laterExifHandling()
{
    static const LaterExif handling = findHandling();
    return handling;
}

void applyOrientation(cv::Mat &image, int orientation)
{
    // Rows and columns swap first for the last four, as the tag counts them.
    if (orientation >= 5 && orientation <= 8)
        cv::transpose(image, image);
    switch (orientation) {
    case 2: // mirrored
    case 6: // turned 90 degrees clockwise
        cv::flip(image, image, 1);
        break;
    case 3: // turned 180 degrees
    case 7:
        cv::flip(image, image, -1);
        break;
    case 4: // upside down
    case 8: // turned 90 degrees anticlockwise
        cv::flip(image, image, 0);
        break;
    default: // 1 and 5 need no flip
        break;
    }
}
