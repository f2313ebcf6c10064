#include "inputs.h"

#include "support/craftedfiles.h"
#include "support/heifbuilder.h"
#include "support/tiffwriter.h"
#include "support/windowdriver.h"

#include <QFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

std::vector<BenchInput> benchInputs()
{
    const std::filesystem::path dir = MORVASTEL_BENCH_DIR;
    std::filesystem::create_directories(dir);
    struct Spec
    {
        const char *label;
        cv::Size size;
        std::vector<int> parameters;
    };
    const Spec specs[] = {
        {"2MP.jpg", {1600, 1200}, {cv::IMWRITE_JPEG_QUALITY, 90}},
        {"2MP.png", {1600, 1200}, {cv::IMWRITE_PNG_COMPRESSION, 3}},
        {"2MP.webp", {1600, 1200}, {cv::IMWRITE_WEBP_QUALITY, 90}},
        {"24MP.jpg", {6000, 4000}, {cv::IMWRITE_JPEG_QUALITY, 90}},
        {"12MP.jpg", {4000, 3000}, {cv::IMWRITE_JPEG_QUALITY, 90}},
        {"24MP-progressive.jpg", {6000, 4000},
            {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
        {"24MP.png", {6000, 4000}, {cv::IMWRITE_PNG_COMPRESSION, 3}},
    };
    std::vector<BenchInput> inputs;
    int seed = 1;
    for (const Spec &spec : specs) {
        const std::string path = (dir / spec.label).string();
        if (!std::filesystem::exists(path))
            cv::imwrite(path, photoLike(spec.size, seed), spec.parameters);
        inputs.push_back({spec.label, path});
        ++seed;
    }
    // A phone photo: 12 MP as HEIC, written by libheif's heif-enc.
    const std::string heic = (dir / "12MP.heic").string();
    const std::string source = (dir / "12MP-source.png").string();
    if (!std::filesystem::exists(heic) && cv::imwrite(source, photoLike({4032, 3024}, seed)) &&
        std::system(("heif-enc -q 80 -o " + heic + " " + source + " >/dev/null").c_str()) == 0)
        std::filesystem::remove(source);
    if (std::filesystem::exists(heic))
        inputs.push_back({"12MP.heic", heic});
    return inputs;
}

namespace {

// A flat picture written by OpenCV's own encoder: the smallest honest file
// of its size.
QByteArray flatPicture(cv::Size size, const char *extension, const std::vector<int> &parameters)
{
    cv::Mat picture(size, CV_8UC3, cv::Scalar(40, 90, 160));
    if (std::string(extension) == ".exr")
        picture.convertTo(picture, CV_32FC3, 1 / 255.0);
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes, parameters);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

QByteArray flatLosslessWebP()
{
    return flatPicture({16383, 16383}, ".webp", {cv::IMWRITE_WEBP_QUALITY, 101});
}

QByteArray flatPizExr()
{
    return flatPicture({8192, 8192}, ".exr",
        {cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_HALF, cv::IMWRITE_EXR_COMPRESSION,
            cv::IMWRITE_EXR_COMPRESSION_PIZ});
}

// A TIFF of 8-bit grey zeros in strips of 64 rows, compressed with Zstandard
// by tiffcp: a flat picture takes a few bytes a strip.
QByteArray zstdTiffOfZeros(quint32 side, const std::filesystem::path &dir)
{
    TiffSpec spec;
    spec.width = side;
    spec.height = side;
    spec.rowsPerStrip = 64;
    spec.piece = QByteArray(qsizetype(side) * 64, 0);
    const std::string raw = (dir / "zeros.tiff").string();
    const std::string packed = (dir / "zeros-zstd.tiff").string();
    QFile file(QString::fromStdString(raw));
    if (!file.open(QIODevice::WriteOnly) || file.write(craftedTiff(spec)) < 0)
        return {};
    file.close();
    if (std::system(("tiffcp -c zstd " + raw + " " + packed).c_str()) != 0)
        return {};
    QFile result(QString::fromStdString(packed));
    return result.open(QIODevice::ReadOnly) ? result.readAll() : QByteArray();
}

// Arithmetic-coded progressive 4:2:0 colour: a first DC scan, the first AC
// scans, then refinements of the luma, all empty: no minimum of bytes bounds
// arithmetic coding, only its pixels and its plainest encoding.
QByteArray arithmeticRefinements(quint16 side, int scans)
{
    JpegSpec spec;
    spec.width = side;
    spec.height = side;
    spec.components = 3;
    spec.firstSampling = 0x22;
    spec.coding = JpegCoding::Arithmetic;
    spec.data.clear();
    spec.scans = {dcFirst({1, 2, 3}), acFirst(1), acFirst(2), acFirst(3)};
    for (int i = 0; i < scans; ++i)
        spec.scans.append(acRefine(1));
    return craftedJpeg(spec);
}

// A WebP whose RIFF size says 0 in front of a DICOM body: a file that
// OpenCV would hand on to its DICOM decoder once libwebp turns it down.
QByteArray dicomBehindEmptyRiff()
{
    std::vector<uchar> webp;
    cv::imencode(".webp", photoLike({64, 64}, 3), webp);
    QByteArray start(reinterpret_cast<const char *>(webp.data()), qsizetype(webp.size()));
    start.replace(4, 4, QByteArray(4, '\0'));
    return dicomBehind(start);
}

} // namespace

std::vector<BenchInput> costlyInputs()
{
    const std::filesystem::path dir = std::filesystem::path(MORVASTEL_BENCH_DIR) / "costly";
    std::filesystem::create_directories(dir);
    struct Spec
    {
        const char *label;
        std::function<QByteArray()> make;
    };
    const Spec specs[] = {
        // Refused: every kind of file that froze the window or took gigabytes.
        {"refused/app0_32768.jpg",
            [] { return behindEmptyApp0(progressiveJpegHeader(32768, 32768)); }},
        {"refused/app0_scans2000_8192.jpg",
            [] { return behindEmptyApp0(jpegScanBomb(8192, 8192, 2000)); }},
        {"refused/nitf.jpg", [] { return nitfFile(); }},
        {"refused/dted.jpg", [] { return dtedFile(); }},
        {"refused/long8_32768.tiff", [] { return tiffWithLong8Sides(32768, 32768); }},
        {"refused/exr_box_size0.exr", [] { return exrClaiming(32768, 16384, 0); }},
        {"refused/precincts2_2048.j2k", [] { return jpeg2000TinyPrecincts(2048); }},
        {"refused/codeblocks4_5792.j2k", [] { return jpeg2000TinyCodeBlocks(5792); }},
        {"refused/jpeg_strips_99refinements_16384.tiff",
            [] { return tiffOfJpegRefinements(16384, 99); }},
        {"refused/ztxt120x8MB.png", [] { return pngWithTexts(120, 8000000 - 100); }},
        {"refused/tile16384_on_64.tiff", [] { return tiffOfOneHugeTile(64, 16384); }},
        {"refused/refinements256_4096.jpg", [] { return jpegRefinementScans(4096, 4096, 1, 256); }},
        {"refused/refinements16_16384.jpg",
            [] { return jpegRefinementScans(16384, 16384, 3, 16); }},
        {"refused/scans2000_8192.jpg", [] { return jpegScanBomb(8192, 8192, 2000); }},
        {"refused/arithmetic_scans2000_8192.jpg",
            [] { return jpegScanBomb(8192, 8192, 2000, JpegCoding::Arithmetic); }},
        {"refused/progressive_header_16384.jpg",
            [] { return progressiveJpegHeader(16384, 16384); }},
        {"refused/shared_strips_16384.tiff", [] { return tiffOfSharedStrips(16384, 16384); }},
        {"refused/empty_8192.j2k", [] { return jpeg2000Codestream(8192, 8192); }},
        {"refused/photo_22500x33300.jpg", [] { return progressiveJpegHeader(22500, 33300); }},
        {"refused/named20000.heic", [] { return heifManyTimesNamed(125); }},
        {"refused/associations65280.heic", [] { return heifManyAssociations(); }},
        {"refused/items10000.heic", [] { return heifManyItems(10000); }},
        {"refused/tiles1_coded16384.avif", [] { return heifTilesCodedLarger(true, 16384); }},
        {"refused/tiles1_coded4096.heic", [] { return heifTilesCodedLarger(false, 4096); }},
        {"refused/8192x4096_coded8256.avif",
            [] { return heifCodedLarger(true, 8192, 4096, 8256, 8256); }},
        {"refused/4096x1_coded4096.heic",
            [] { return heifCodedLarger(false, 4096, 1, 4096, 4096); }},
        {"refused/tile_alpha_coded4096.heic", heifTileWithLargerAlpha},
        {"refused/pictures8_4096.heic", [] { return heifPictures(8, 4096); }},
        {"refused/dicom_behind_webp_riff0.jpg", dicomBehindEmptyRiff},
        // Let through: the costliest small file of each format found.
        {"limit/refinements55_4096.jpg", [] { return jpegRefinementScans(4096, 4096, 1, 55); }},
        {"limit/arithmetic_progressive_16384.jpg", [] { return arithmeticRefinements(16384, 0); }},
        {"limit/zeros_16384.png", [] { return bilevelPngOfZeros(16384, 16384); }},
        {"limit/zstd_zeros_16384.tiff", [&dir] { return zstdTiffOfZeros(16384, dir); }},
        {"limit/rle_nothing_16384.bmp", [] { return rleBmpOfNothing(16384, 16384); }},
        {"limit/empty_8192x4096.j2k", [] { return jpeg2000Codestream(8192, 4096); }},
        {"limit/flat_lossless_16383.webp", flatLosslessWebP},
        {"limit/flat_piz_8192.exr", flatPizExr},
    };
    std::vector<BenchInput> inputs;
    for (const Spec &spec : specs) {
        const std::string name = spec.label;
        const std::string path = (dir / name.substr(name.find('/') + 1)).string();
        if (!std::filesystem::exists(path)) {
            QFile file(QString::fromStdString(path));
            if (file.open(QIODevice::WriteOnly))
                file.write(spec.make());
        }
        inputs.push_back({spec.label, path});
    }
    return inputs;
}

std::vector<BenchInput> manyPieceInputs()
{
    const std::filesystem::path dir = MORVASTEL_BENCH_DIR;
    std::filesystem::create_directories(dir);
    const std::string tiles = (dir / "tiles16_jpeg_16384.tiff").string();
    if (!std::filesystem::exists(tiles))
        writeTiff(tiles, photoLike({16384, 16384}, 11), {COMPRESSION_JPEG, 0, 0, 16});
    const std::string strips = (dir / "strips1M.tiff").string();
    if (!std::filesystem::exists(strips))
        writeTiff(strips, cv::Mat(1 << 20, 64, CV_8UC1, cv::Scalar(90)), {COMPRESSION_NONE, 0, 1});
    return {{"tiles16_jpeg_16384.tiff", tiles}, {"strips1M.tiff", strips}};
}
