#pragma once

#include <QByteArray>
#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <string>

// How libtiff is asked to store a picture.
struct TiffLayout
{
    std::uint16_t compression = 1; // COMPRESSION_NONE
    int lercLayer = 0; // LERC_ADD_COMPRESSION_*: none, Deflate or Zstandard
    std::uint32_t rowsPerStrip = 0; // 0: libtiff's default; 2^32 - 1: one strip
    std::uint32_t tileSide = 0; // non-zero: square tiles instead of strips, of 8-bit samples
    bool bilevel = false; // one bit a pixel, white where the grey picture is not 0
    bool bigTiff = false;
    bool bigEndian = false;
};

// Writes an 8-bit grey or BGR picture through libtiff's own API; JPEG colour
// as YCbCr 4:2:0, as tiffcp and libvips write it. False where this libtiff
// lacks the codec or fails.
bool writeTiff(const std::string &path, const cv::Mat &picture, const TiffLayout &layout);

// The same file's bytes; empty where it could not be written.
QByteArray tiffOf(const cv::Mat &picture, const TiffLayout &layout);

// A little-endian BigTIFF whose entries that keep their values out of line
// all point them at `offset` instead.
QByteArray bigTiffWithValuesAt(QByteArray tiff, std::uint64_t offset);
