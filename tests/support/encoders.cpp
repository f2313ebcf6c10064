#include "support/encoders.h"
#include "support/exrwriter.h"
#include "support/tiffwriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

// An encoder's command line: {in} and {out} stand for the files; {in} names
// one of the sources written before it.
struct Recipe
{
    const char *name;
    const char *command;
    const char *source;
    const char *extension;
};

// Sources are written first; "baseline" and "tiff" are outputs that later
// recipes take as their input.
const Recipe Recipes[] = {
    {"cjpeg baseline", "cjpeg -outfile {out} {in}", "ppm", ".jpg"},
    {"cjpeg 4:4:4", "cjpeg -sample 1x1 -outfile {out} {in}", "ppm", ".jpg"},
    {"cjpeg grey", "cjpeg -outfile {out} {in}", "pgm", ".jpg"},
    {"cjpeg progressive", "cjpeg -progressive -outfile {out} {in}", "ppm", ".jpg"},
    {"cjpeg arithmetic", "cjpeg -arithmetic -outfile {out} {in}", "ppm", ".jpg"},
    {"cjpeg restarts", "cjpeg -restart 1B -outfile {out} {in}", "ppm", ".jpg"},
    {"jpegtran progressive", "jpegtran -progressive -outfile {out} {in}", "cjpeg baseline", ".jpg"},
    {"jpegtran arithmetic progressive", "jpegtran -arithmetic -progressive -outfile {out} {in}",
        "cjpeg baseline", ".jpg"},
    {"jpegtran optimized", "jpegtran -optimize -outfile {out} {in}", "cjpeg baseline", ".jpg"},
    {"ImageMagick jpeg", "convert {in} {out}", "ppm", ".jpg"},
    {"ImageMagick progressive", "convert {in} -interlace JPEG {out}", "ppm", ".jpg"},
    {"ImageMagick cmyk", "convert {in} -colorspace CMYK {out}", "ppm", ".jpg"},
    {"ImageMagick cmyk progressive", "convert {in} -colorspace CMYK -interlace JPEG {out}", "ppm",
        ".jpg"},
    {"ImageMagick interlaced png", "convert {in} -interlace PNG {out}", "ppm", ".png"},
    {"ImageMagick palette png", "convert {in} PNG8:{out}", "ppm", ".png"},
    {"ImageMagick palette png with transparency", "convert {in} PNG8:{out}", "alpha", ".png"},
    {"ImageMagick grey png 1-bit", "convert {in} -depth 1 {out}", "pgm", ".png"},
    {"ImageMagick grey png 2-bit", "convert {in} -depth 2 {out}", "pgm", ".png"},
    {"ImageMagick grey png 4-bit", "convert {in} -depth 4 {out}", "pgm", ".png"},
    {"ImageMagick grey png 16-bit", "convert {in} -depth 16 {out}", "pgm", ".png"},
    {"ImageMagick grey png with transparency",
        "convert {in} -transparent gray50 -define png:color-type=0 {out}", "pgm", ".png"},
    {"ImageMagick grey and alpha png", "convert {in} -colorspace Gray PNG32:{out}", "alpha",
        ".png"},
    {"ImageMagick rgb png with transparency", "convert {in} -transparent gray50 PNG24:{out}", "ppm",
        ".png"},
    {"ImageMagick rgba png 16-bit", "convert {in} -depth 16 PNG64:{out}", "alpha", ".png"},
    {"ImageMagick bmp", "convert {in} {out}", "ppm", ".bmp"},
    {"ImageMagick tiled tiff",
        "convert {in} -define tiff:tile-geometry=128x128 -compress zip {out}", "ppm", ".tiff"},
    {"ImageMagick tiff", "convert {in} -compress none {out}", "ppm", ".tiff"},
    {"tiffcp lzw", "tiffcp -c lzw {in} {out}", "ImageMagick tiff", ".tiff"},
    {"tiffcp zip", "tiffcp -c zip {in} {out}", "ImageMagick tiff", ".tiff"},
    {"tiffcp packbits", "tiffcp -c packbits {in} {out}", "ImageMagick tiff", ".tiff"},
    {"tiffcp jpeg", "tiffcp -c jpeg -r 16 {in} {out}", "ImageMagick tiff", ".tiff"},
    {"tiffcp tiles", "tiffcp -t -w 64 -l 64 {in} {out}", "ImageMagick tiff", ".tiff"},
    {"tiffcp strips of 16 rows", "tiffcp -r 16 {in} {out}", "ImageMagick tiff", ".tiff"},
    {"cwebp lossy", "cwebp -quiet {in} -o {out}", "alpha", ".webp"},
    {"cwebp lossless", "cwebp -lossless -quiet {in} -o {out}", "alpha", ".webp"},
    {"cwebp opaque", "cwebp -quiet {in} -o {out}", "libpng", ".webp"},
    {"cwebp opaque lossless", "cwebp -lossless -quiet {in} -o {out}", "libpng", ".webp"},
    {"cwebp alpha kept exactly", "cwebp -exact -alpha_q 50 -quiet {in} -o {out}", "alpha", ".webp"},
    {"opj_compress jp2", "opj_compress -i {in} -o {out}", "ppm", ".jp2"},
    {"opj_compress codestream", "opj_compress -i {in} -o {out}", "ppm", ".j2k"},
    {"opj_compress small code-blocks", "opj_compress -i {in} -o {out} -b 16,16", "ppm", ".jp2"},
    {"opj_compress precincts", "opj_compress -i {in} -o {out} -c [128,128],[64,64]", "ppm", ".jp2"},
    {"opj_compress layers", "opj_compress -i {in} -o {out} -r 40,20,10", "ppm", ".jp2"},
    {"opj_compress tiles", "opj_compress -i {in} -o {out} -t 256,256", "ppm", ".jp2"},
};

// Runs an encoder; false, with what it said, when it failed.
bool run(const QString &command)
{
    QStringList arguments = command.split(' ');
    const QString program = arguments.takeFirst();
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(command), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

QString fileName(const QString &tag, const QString &name)
{
    return tag + '-' + QString(name).replace(' ', '-');
}

} // namespace

QByteArray adobeJpeg(const cv::Mat &colour, bool ycck)
{
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(colour.cols);
    info.image_height = static_cast<JDIMENSION>(colour.rows);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, ycck ? JCS_YCCK : JCS_CMYK);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(colour.cols) * 4);
    while (info.next_scanline < info.image_height) {
        const auto *bgr = colour.ptr<cv::Vec3b>(static_cast<int>(info.next_scanline));
        for (int x = 0; x < colour.cols; ++x) {
            // Inverted ink, as Adobe stores it: 255 is no ink.
            const int k = 255 - std::max({bgr[x][0], bgr[x][1], bgr[x][2]});
            unsigned char *ink = &row[static_cast<std::size_t>(x) * 4];
            ink[0] = static_cast<unsigned char>(255 - (255 - bgr[x][2] - k));
            ink[1] = static_cast<unsigned char>(255 - (255 - bgr[x][1] - k));
            ink[2] = static_cast<unsigned char>(255 - (255 - bgr[x][0] - k));
            ink[3] = static_cast<unsigned char>(255 - k);
        }
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    const QByteArray file(reinterpret_cast<const char *>(buffer), static_cast<qsizetype>(size));
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return file;
}

namespace {

// Files written through the libraries' own APIs: libtiff's codecs that its
// tools cannot be asked for alike on every system, OpenCV's OpenEXR
// compressions and grey PFM, and OpenEXR's multi-part files.
std::vector<EncodedFile> encodeWithLibraries(
    const QDir &dir, const QString &tag, const cv::Mat &colour, const cv::Mat &grey)
{
    struct TiffRecipe
    {
        const char *name;
        bool colour;
        TiffLayout layout;
    };
    const TiffRecipe tiffs[] = {
        {"libtiff lerc", true, {COMPRESSION_LERC, LERC_ADD_COMPRESSION_NONE}},
        {"libtiff lerc deflate", true, {COMPRESSION_LERC, LERC_ADD_COMPRESSION_DEFLATE}},
        {"libtiff lerc zstd grey", false, {COMPRESSION_LERC, LERC_ADD_COMPRESSION_ZSTD}},
        {"libtiff jbig", false,
            {COMPRESSION_JBIG, 0, 0xffffffff, 0, true}}, // in one strip, as it must be
        {"libtiff short last strip", true, {COMPRESSION_NONE, 0, 7}},
        {"libtiff jpeg 16x16 tiles", true, {COMPRESSION_JPEG, 0, 0, 16}},
        {"libtiff big-endian bigtiff", true,
            {COMPRESSION_ADOBE_DEFLATE, 0, 0, 0, false, true, true}},
    };
    std::vector<EncodedFile> files;
    for (const TiffRecipe &recipe : tiffs) {
        const QString path = dir.filePath(fileName(tag, recipe.name) + ".tiff");
        cv::Mat picture = recipe.colour ? colour : grey;
        if (recipe.layout.bilevel)
            picture = grey > 128;
        const bool written = writeTiff(path.toStdString(), picture, recipe.layout);
        files.push_back({recipe.name, written ? path : QString()});
    }
    cv::Mat linear;
    colour.convertTo(linear, CV_32FC3, 1 / 255.0);
    cv::Mat withAlpha;
    cv::cvtColor(linear, withAlpha, cv::COLOR_BGR2BGRA);
    const std::pair<const char *, int> exrs[] = {
        {"OpenCV exr b44", cv::IMWRITE_EXR_COMPRESSION_B44},
        {"OpenCV exr b44a", cv::IMWRITE_EXR_COMPRESSION_B44A}};
    for (const auto &[name, compression] : exrs) {
        const QString path = dir.filePath(fileName(tag, name) + ".exr");
        const bool written = cv::imwrite(path.toStdString(), withAlpha,
            {cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_HALF, cv::IMWRITE_EXR_COMPRESSION,
                compression});
        files.push_back({name, written ? path : QString()});
    }
    cv::Mat greyLinear;
    grey.convertTo(greyLinear, CV_32FC1, 1 / 255.0);
    const QString pfm = dir.filePath(fileName(tag, "OpenCV pfm grey") + ".pfm");
    files.push_back(
        {"OpenCV pfm grey", cv::imwrite(pfm.toStdString(), greyLinear) ? pfm : QString()});
    const QString multipart = dir.filePath(fileName(tag, "OpenEXR multipart") + ".exr");
    files.push_back({"OpenEXR multipart",
        writeMultipartExr(multipart.toStdString(), colour) ? multipart : QString()});
    return files;
}

} // namespace

std::vector<EncodedFile> encodeWithEveryEncoder(
    const QString &folder, const QString &tag, const cv::Mat &colour)
{
    const QDir dir(folder);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::Mat alpha;
    cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
    for (int y = 0; y < alpha.rows; ++y)
        for (int x = 0; x < alpha.cols; ++x)
            alpha.at<cv::Vec4b>(y, x)[3] = static_cast<uchar>((x * 5 + y * 3) % 256);
    std::map<QString, QString> written = {{"ppm", dir.filePath(fileName(tag, "source.ppm"))},
        {"pgm", dir.filePath(fileName(tag, "source.pgm"))},
        {"alpha", dir.filePath(fileName(tag, "alpha.png"))},
        {"libpng", dir.filePath(fileName(tag, "opencv.png"))},
        {"libpng 16-bit", dir.filePath(fileName(tag, "opencv16.png"))}};
    const bool sources = cv::imwrite(written["ppm"].toStdString(), colour) &&
        cv::imwrite(written["pgm"].toStdString(), grey) &&
        cv::imwrite(written["alpha"].toStdString(), alpha) &&
        cv::imwrite(written["libpng"].toStdString(), colour) &&
        cv::imwrite(written["libpng 16-bit"].toStdString(), colour * 257.0 / 255.0);
    std::vector<EncodedFile> files = {{"libpng", written["libpng"]},
        {"libpng 16-bit", written["libpng 16-bit"]}, {"libpng alpha", written["alpha"]}};
    if (!sources)
        return {};
    for (const Recipe &recipe : Recipes) {
        const QString out = dir.filePath(fileName(tag, recipe.name) + recipe.extension);
        const QString command = QString::fromLatin1(recipe.command)
                                    .replace(QStringLiteral("{in}"), written[recipe.source])
                                    .replace(QStringLiteral("{out}"), out);
        const QString path = run(command) ? out : QString();
        written[recipe.name] = path;
        files.push_back({recipe.name, path});
    }
    for (const bool ycck : {false, true}) {
        const QString name = ycck ? QStringLiteral("libjpeg ycck") : QStringLiteral("libjpeg cmyk");
        QFile file(dir.filePath(fileName(tag, name) + ".jpg"));
        const bool saved =
            file.open(QIODevice::WriteOnly) && file.write(adobeJpeg(colour, ycck)) > 0;
        files.push_back({name, saved ? file.fileName() : QString()});
    }
    const std::vector<EncodedFile> fromLibraries = encodeWithLibraries(dir, tag, colour, grey);
    files.insert(files.end(), fromLibraries.begin(), fromLibraries.end());
    return files;
}
