#include "support/tiffwriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct TiffCloser
{
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};

// The picture as libtiff takes its samples: RGB, grey, or rows of bits.
cv::Mat samplesOf(const cv::Mat &picture, bool bilevel)
{
    cv::Mat samples;
    if (picture.channels() == 3) {
        cv::cvtColor(picture, samples, cv::COLOR_BGR2RGB);
        return samples;
    }
    if (!bilevel)
        return picture;
    samples = cv::Mat::zeros(picture.rows, (picture.cols + 7) / 8, CV_8UC1);
    for (int y = 0; y < picture.rows; ++y) {
        for (int x = 0; x < picture.cols; ++x) {
            if (picture.at<uchar>(y, x) != 0)
                samples.at<uchar>(y, x / 8) |= static_cast<uchar>(0x80 >> (x % 8));
        }
    }
    return samples;
}

void setFields(TIFF *tiff, const cv::Mat &picture, const TiffLayout &layout)
{
    const bool colour = picture.channels() == 3;
    const bool ycbcr = colour && layout.compression == COMPRESSION_JPEG;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(picture.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(picture.rows));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(colour ? 3 : 1));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(layout.bilevel ? 1 : 8));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
        ycbcr        ? PHOTOMETRIC_YCBCR
            : colour ? PHOTOMETRIC_RGB
                     : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression);
    if (ycbcr)
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    if (layout.compression == COMPRESSION_LERC)
        TIFFSetField(tiff, TIFFTAG_LERC_ADD_COMPRESSION, layout.lercLayer);
    if (layout.tileSide != 0) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tileSide);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tileSide);
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP,
            layout.rowsPerStrip != 0 ? layout.rowsPerStrip : TIFFDefaultStripSize(tiff, 0));
    }
}

// Strip by strip: some codecs (JBIG) take no scanlines.
bool writeStrips(TIFF *tiff, const cv::Mat &samples)
{
    std::uint32_t stored = 0;
    TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &stored);
    const auto rows = std::min(stored, static_cast<std::uint32_t>(samples.rows));
    const std::size_t rowBytes = static_cast<std::size_t>(samples.cols) * samples.elemSize();
    std::vector<uchar> strip;
    for (int y = 0, index = 0; y < samples.rows; y += static_cast<int>(rows), ++index) {
        const int count = std::min(static_cast<int>(rows), samples.rows - y);
        strip.clear();
        for (int row = y; row < y + count; ++row)
            strip.insert(strip.end(), samples.ptr(row), samples.ptr(row) + rowBytes);
        if (TIFFWriteEncodedStrip(tiff, static_cast<std::uint32_t>(index), strip.data(),
                static_cast<tmsize_t>(strip.size())) < 0)
            return false;
    }
    return true;
}

// Each tile whole, zeros where it overhangs the picture.
bool writeTiles(TIFF *tiff, const cv::Mat &samples, int side)
{
    cv::Mat tile(side, side, samples.type());
    for (int y = 0; y < samples.rows; y += side) {
        for (int x = 0; x < samples.cols; x += side) {
            tile.setTo(cv::Scalar::all(0));
            const cv::Rect inside =
                cv::Rect(x, y, side, side) & cv::Rect(0, 0, samples.cols, samples.rows);
            samples(inside).copyTo(tile(cv::Rect(0, 0, inside.width, inside.height)));
            if (TIFFWriteTile(tiff, tile.data, static_cast<std::uint32_t>(x),
                    static_cast<std::uint32_t>(y), 0, 0) < 0)
                return false;
        }
    }
    return true;
}

} // namespace

bool writeTiff(const std::string &path, const cv::Mat &picture, const TiffLayout &layout)
{
    if (!TIFFIsCODECConfigured(layout.compression))
        return false;
    std::string mode = "w";
    if (layout.bigTiff)
        mode += '8';
    mode += layout.bigEndian ? 'b' : 'l';
    const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), mode.c_str()));
    if (!tiff)
        return false;
    setFields(tiff.get(), picture, layout);
    const cv::Mat samples = samplesOf(picture, layout.bilevel);
    return layout.tileSide != 0 ? writeTiles(tiff.get(), samples, static_cast<int>(layout.tileSide))
                                : writeStrips(tiff.get(), samples);
}

QByteArray tiffOf(const cv::Mat &picture, const TiffLayout &layout)
{
    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("written.tiff"));
    QFile file(path);
    if (!writeTiff(path.toStdString(), picture, layout) || !file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray bigTiffWithValuesAt(QByteArray tiff, std::uint64_t offset)
{
    const auto number = [&tiff](qsizetype at, int size) {
        std::uint64_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | quint8(tiff.at(at + i));
        return value;
    };
    QByteArray field(8, '\0');
    for (int i = 0; i < 8; ++i)
        field[i] = char(offset >> (8 * i));
    const auto directory = qsizetype(number(8, 8));
    const auto entries = qsizetype(number(directory, 8));
    for (qsizetype i = 0; i < entries; ++i) {
        const qsizetype entry = directory + 8 + 20 * i;
        const int type = int(number(entry + 2, 2));
        const std::uint64_t valueSize = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
        if (valueSize * number(entry + 4, 8) > 8)
            tiff.replace(entry + 12, 8, field);
    }
    return tiff;
}
