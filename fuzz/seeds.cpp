// Writes the fuzzer's seed corpus, one small file of every kind the checks
// read, as the encoders and the tests make them:
//   morvastel_fuzz_seeds FOLDER
#include "support/craftedfiles.h"
#include "support/exrwriter.h"
#include "support/heifbuilder.h"
#include "support/tiffwriter.h"

#include <QDir>
#include <QFile>
#include <libheif/heif.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <tiffio.h>

#include <cstdio>
#include <memory>

namespace {

QByteArray encoded(
    const char *extension, const cv::Mat &picture, const std::vector<int> &parameters = {})
{
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes, parameters);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// A small HEIC or AVIF by libheif's own encoder; empty where it has none.
QByteArray heif(const cv::Mat &bgr, heif_compression_format codec, const QString &scratch)
{
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
        heif_context_alloc(), heif_context_free);
    heif_encoder *encoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), codec, &encoder).code != heif_error_Ok)
        return {};
    heif_image *image = nullptr;
    heif_image_create(bgr.cols, bgr.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, bgr.cols, bgr.rows, 8);
    int stride = 0;
    std::uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    for (int row = 0; row < rgb.rows; ++row)
        std::copy(rgb.ptr(row), rgb.ptr(row) + 3 * rgb.cols, plane + row * stride);
    const bool written =
        heif_context_encode_image(context.get(), image, encoder, nullptr, nullptr).code ==
            heif_error_Ok &&
        heif_context_write_to_file(context.get(), scratch.toLocal8Bit().constData()).code ==
            heif_error_Ok;
    heif_image_release(image);
    heif_encoder_release(encoder);
    QFile file(scratch);
    const QByteArray bytes =
        written && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QFile::remove(scratch);
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2 || !QDir().mkpath(QString::fromLocal8Bit(argv[1])))
        return 2;
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    cv::Mat colour(48, 64, CV_8UC3);
    cv::randu(colour, 0, 256);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::Mat real;
    colour.convertTo(real, CV_32FC3, 1 / 255.0);
    cv::Mat alpha;
    cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
    JpegSpec restarts;
    restarts.restartInterval = 2;
    restarts.scans = {dcFirst({1}), acFirst(1), acRefine(1)};
    TiffSpec tiled;
    tiled.tileWidth = 16;
    tiled.tileHeight = 16;
    tiled.compression = 8;
    tiled.piece = qCompress(QByteArray(256, 0), 9).mid(4);
    Jpeg2000Spec jpeg2000;
    jpeg2000.precinct = 4;
    jpeg2000.tileWidth = 32;
    jpeg2000.tileHeight = 32;

    HeifBuilder grid;
    const quint32 tile = grid.addCoded(hevcHeaderOnly(32, 24), 32, 24, true);
    grid.setPrimary(grid.addGrid(2, 2, 64, 48, {tile, tile, tile, tile}));
    const QString multipart = folder.filePath(QStringLiteral("scratch.exr"));
    QFile multipartFile(multipart);
    const QByteArray multipartExr = writeMultipartExr(multipart.toStdString(), colour) &&
            multipartFile.open(QIODevice::ReadOnly)
        ? multipartFile.readAll()
        : QByteArray();
    multipartFile.remove();

    const std::vector<std::pair<const char *, QByteArray>> seeds = {
        {"encoded.bmp", encoded(".bmp", colour)},
        {"encoded.jpg", encoded(".jpg", colour)},
        {"progressive.jpg", encoded(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"restarts.jpg", craftedJpeg(restarts)},
        {"arithmetic.jpg", jpegScanBomb(64, 64, 3, JpegCoding::Arithmetic, 3)},
        {"lossy.webp", encoded(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80})},
        {"lossless.webp", encoded(".webp", alpha, {cv::IMWRITE_WEBP_QUALITY, 101})},
        {"encoded.ras", encoded(".ras", colour)},
        {"encoded.ppm", encoded(".ppm", colour)},
        {"encoded.pgm", encoded(".pgm", grey)},
        {"encoded.pam", encoded(".pam", colour)},
        {"encoded.pfm", encoded(".pfm", real)},
        {"encoded.hdr", encoded(".hdr", real)},
        {"encoded.exr", encoded(".exr", real)},
        {"encoded.tiff", encoded(".tiff", colour)},
        {"tiled.tiff", craftedTiff(tiled)},
        {"jpeg-strips.tiff", tiffOfJpegRefinements(64, 2)},
        {"long8.tiff", tiffWithLong8Sides(64, 64)},
        {"lerc.tiff", tiffOf(colour, {COMPRESSION_LERC, LERC_ADD_COMPRESSION_DEFLATE, 16})},
        {"jbig.tiff", tiffOf(grey, {COMPRESSION_JBIG, 0, 0xffffffff, 0, true})},
        {"jpeg-tiles.tiff", tiffOf(colour, {COMPRESSION_JPEG, 0, 0, 16})},
        {"big-endian.tiff", tiffOf(colour, {COMPRESSION_NONE, 0, 7, 0, false, true, true})},
        {"values-at-end.tiff",
            bigTiffWithValuesAt(
                tiffOf(colour, {COMPRESSION_NONE, 0, 7, 0, false, true}), ~std::uint64_t {0})},
        {"encoded.png", encoded(".png", colour)},
        {"texts.png", pngWithTexts(3, 100)},
        {"encoded.jp2", encoded(".jp2", colour)},
        {"tiles.j2k", craftedJpeg2000(jpeg2000)},
        {"claims.jp2", jp2Claiming(40, 24, 40, 24)},
        {"rle.bmp", rleBmpOfNothing(40, 24)},
        {"window.exr", exrClaiming(40, 24)},
        {"b44a.exr",
            encoded(".exr", real,
                {cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_HALF, cv::IMWRITE_EXR_COMPRESSION,
                    cv::IMWRITE_EXR_COMPRESSION_B44A})},
        {"multipart.exr", multipartExr},
        {"grid.heic", grid.build()},
        {"nitf", nitfFile()},
        {"dted", dtedFile()},
        {"photo.heic",
            heif(colour, heif_compression_HEVC, folder.filePath(QStringLiteral("scratch.heic")))},
        {"photo.avif",
            heif(colour, heif_compression_AV1, folder.filePath(QStringLiteral("scratch.avif")))},
    };
    int written = 0;
    for (const auto &[name, bytes] : seeds) {
        QFile file(folder.filePath(QString::fromLatin1(name)));
        if (!bytes.isEmpty() && file.open(QIODevice::WriteOnly) &&
            file.write(bytes) == bytes.size())
            ++written;
    }
    std::printf("%d seeds written\n", written);
    return written == int(seeds.size()) ? 0 : 1;
}
