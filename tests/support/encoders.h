#pragma once

#include <QString>
#include <opencv2/core/mat.hpp>

#include <vector>

// A picture as one encoder wrote it with one set of options.
struct EncodedFile
{
    QString name; // the encoder and its options
    QString path; // empty when the encoder failed
};

// Writes a BGR picture with every encoder here and every option the tests
// use: cjpeg, jpegtran (arithmetic and progressive), ImageMagick (JPEG, CMYK,
// PNG of every colour type and depth, BMP, TIFF), tiffcp, cwebp (lossy,
// lossless, alpha), opj_compress, libjpeg itself (CMYK and YCCK), OpenCV's
// libpng (8 and 16 bits, alpha), OpenEXR (B44, B44A) and PFM (grey), libtiff itself
// (LERC, JBIG, a short last strip, 16 x 16 JPEG tiles, big-endian BigTIFF)
// and OpenEXR's multi-part files. The files go to `folder`, their names
// starting with `tag`.
std::vector<EncodedFile> encodeWithEveryEncoder(
    const QString &folder, const QString &tag, const cv::Mat &colour);

// A four-component JPEG written by libjpeg from a BGR picture, its ink in
// Adobe's inverted form as Photoshop writes it: stored as CMYK, or as YCCK.
QByteArray adobeJpeg(const cv::Mat &colour, bool ycck);
