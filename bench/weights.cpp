// What each decoder's work costs on this machine: the weights of the cost
// models in decoding/. Every file is made here and decoded as the program
// decodes it, by its format's decoder but beyond the program's limits, in a
// child process of its own (so that its peak memory is its own), the best of
// three runs. A weight is the difference between two files over the
// difference of the units they hold: scans, blocks, pixels, bytes, precincts.
//
//   morvastel_weights [FILTER]   measures the weights whose name holds FILTER
#include "decoding/decodefile.h"
#include "support/craftedfiles.h"
#include "support/tiffwriter.h"
#include "support/windowdriver.h"

#include <QByteArray>
#include <QFile>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::filesystem::path Folder = MORVASTEL_BENCH_DIR "/weights";

struct Decode
{
    double seconds = 0;
    double peakMiB = 0; // what the decode adds to the child's resident memory
};

std::string save(const std::string &name, const QByteArray &bytes)
{
    const std::string path = (Folder / name).string();
    QFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

std::string save(
    const std::string &name, const cv::Mat &picture, const std::vector<int> &parameters = {})
{
    const std::string path = (Folder / name).string();
    if (!cv::imwrite(path, picture, parameters))
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return path;
}

// No limit on what a file may ask.
DecodeLimits beyondLimits()
{
    DecodeLimits limits = DecodeLimits::forThisProcess();
    limits.pixels = ~std::uint64_t {0};
    limits.freeSeconds = 1e30;
    return limits;
}

// One decode in a child of this process, which has its codecs loaded already.
Decode decodeOnce(const std::string &path)
{
    std::fflush(stdout);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        // The child starts with its parent's resident pages, and so does the
        // one it decodes in: that one's peak is what the decode adds to them.
        close(pipeFds[0]);
        rusage before {};
        getrusage(RUSAGE_SELF, &before);
        const auto start = std::chrono::steady_clock::now();
        const cv::Mat image = decodeFile(path, beyondLimits());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage after {};
        getrusage(RUSAGE_CHILDREN, &after);
        const double figures[2] = {
            seconds, static_cast<double>(after.ru_maxrss - before.ru_maxrss) / 1024};
        const ssize_t written = write(pipeFds[1], figures, sizeof figures);
        _exit(written == sizeof figures && !image.empty() ? 0 : 1);
    }
    close(pipeFds[1]);
    double figures[2] = {-1, 0};
    if (read(pipeFds[0], figures, sizeof figures) != sizeof figures)
        figures[0] = -1;
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {figures[0], figures[1]};
}

Decode decode(const std::string &path)
{
    Decode best {1e9, 0};
    for (int run = 0; run < 3; ++run) {
        const Decode once = decodeOnce(path);
        best.seconds = std::min(best.seconds, once.seconds);
        best.peakMiB = std::max(best.peakMiB, once.peakMiB);
    }
    return best;
}

// Prints a weight: the time two files' decodes differ by, per unit.
void weight(const char *name, const char *unit, const std::string &small, double smallUnits,
    const std::string &large, double largeUnits)
{
    const Decode a = decode(small);
    const Decode b = decode(large);
    const double perUnit = (b.seconds - a.seconds) / (largeUnits - smallUnits);
    const double bytesPerUnit = (b.peakMiB - a.peakMiB) * 1048576 / (largeUnits - smallUnits);
    std::printf("| %-32s | %10.3g s | %10.3g bytes | a %-16s | (%.3f s, %.0f MiB) |\n", name,
        perUnit, bytesPerUnit, unit, b.seconds, b.peakMiB);
    std::fflush(stdout);
}

// Prints the cost of one file per unit, with nothing to subtract.
void perUnit(const char *name, const char *unit, const std::string &path, double units)
{
    const Decode d = decode(path);
    std::printf("| %-32s | %10.3g s | %10.3g bytes | a %-16s | (%.3f s, %.0f MiB) |\n", name,
        d.seconds / units, d.peakMiB * 1048576 / units, unit, d.seconds, d.peakMiB);
    std::fflush(stdout);
}

cv::Mat noise(int width, int height, int type)
{
    cv::Mat picture(height, width, type);
    cv::randu(picture, 0, 256);
    return picture;
}

cv::Mat smooth(int width, int height)
{
    cv::Mat picture = noise(width / 8, height / 8, CV_8UC3);
    cv::resize(picture, picture, {width, height}, 0, 0, cv::INTER_CUBIC);
    return picture;
}

// Data for each block of a grey scan where every block takes its own
// restart interval: a byte of zero bits, then the restart marker.
QByteArray restartEveryBlock(int blocks)
{
    QByteArray data;
    for (int block = 0; block < blocks; ++block)
        data += QByteArray("\x00\xff", 2) + char(0xd0 + block % 8);
    return data;
}

void jpegWeights()
{
    // Large enough that the coefficients (128 MiB) do not fit in a cache,
    // as at the pixel limit: a scan then costs its memory's bandwidth too.
    const quint16 side = 8192;
    const int blocks = 1024 * 1024;
    for (const JpegCoding coding : {JpegCoding::Huffman, JpegCoding::Arithmetic}) {
        const bool huffman = coding == JpegCoding::Huffman;
        const int many = huffman ? 20 : 10;
        const std::string label = huffman ? "JPEG Huffman" : "JPEG arithmetic";
        struct Scans
        {
            QList<JpegScan> first;
            JpegScan repeated;
            int count = 0;
            QByteArray data;
            int acSymbol = 0;
            int restart = 0;
        };
        const auto file = [&](const std::string &name, const Scans &scans) {
            JpegSpec spec;
            spec.width = side;
            spec.height = side;
            spec.coding = coding;
            spec.data = scans.data;
            spec.acSymbol = scans.acSymbol;
            spec.restartInterval = scans.restart;
            spec.scans = scans.first;
            for (int i = 0; i < scans.count; ++i)
                spec.scans.append(scans.repeated);
            return save(label + "-" + name + ".jpg", craftedJpeg(spec));
        };
        const std::string base = file("base", {{dcFirst({1})}, dcFirst({1}), 0, {}});
        const auto scans = [&](const std::string &kind, Scans spec) {
            spec.count = many;
            weight((label + " " + kind).c_str(), "block", base, 0, file(kind, spec),
                double(many) * blocks);
        };
        // Empty scans, the floor; then with the few bytes that make libjpeg
        // work hardest: a bit a block, or runs that end thousands of bands.
        scans("DC first, empty", {{dcFirst({1})}, dcFirst({1}), 0, {}});
        scans("DC refine, empty", {{dcFirst({1})}, dcRefine({1}), 0, {}});
        scans("AC first, empty", {{dcFirst({1})}, acFirst(1), 0, {}});
        scans("AC refine, empty", {{dcFirst({1}), acFirst(1)}, acRefine(1), 0, {}});
        if (huffman) {
            scans("DC first, a bit a block",
                {{dcFirst({1})}, dcFirst({1}), 0, QByteArray(blocks / 8, 0)});
            scans("AC first, band runs",
                {{dcFirst({1})}, acFirst(1), 0, jpegEndOfBandRuns(blocks), 0xe0});
            scans("AC refine, band runs",
                {{dcFirst({1}), acFirst(1)}, acRefine(1), 0, jpegEndOfBandRuns(blocks), 0xe0});
        }
        const int few = 4;
        weight((label + " restart, no markers").c_str(), "restart",
            file("dc", {{dcFirst({1})}, dcFirst({1}), few, {}}), 0,
            file("restarts", {{dcFirst({1})}, dcFirst({1}), few, {}, 0, 1}),
            (few + 1) * (blocks - 1.0));
        weight((label + " restart, markers").c_str(), "restart",
            file("dc-data", {{dcFirst({1})}, dcFirst({1}), few, QByteArray(blocks, 0)}), 0,
            file("restart-markers",
                {{dcFirst({1})}, dcFirst({1}), few, restartEveryBlock(blocks), 0, 1}),
            (few + 1) * (blocks - 1.0));
        // Sequential scans of one component each: the picture is kept whole.
        JpegSpec sequential;
        sequential.width = side;
        sequential.height = side;
        sequential.components = 3;
        sequential.coding = coding;
        sequential.progressive = false;
        sequential.data = huffman ? QByteArray(blocks / 4, 0) : QByteArray();
        sequential.scans = {{{1}, 0, 63, 0, 0}};
        const std::string one = save(label + "-sequential1.jpg", craftedJpeg(sequential));
        for (int i = 0; i < many; ++i)
            sequential.scans.append({{1 + i % 3}, 0, 63, 0, 0});
        weight((label + " sequential").c_str(), "block", one, 0,
            save(label + "-sequential.jpg", craftedJpeg(sequential)), double(many) * blocks);
    }

    // Block smoothing: the same scans, leaving the first AC coefficients a
    // bit short, or not.
    JpegSpec rough;
    rough.width = 4096;
    rough.height = 4096;
    rough.components = 3;
    rough.firstSampling = 0x22;
    rough.data.clear();
    rough.scans = {dcFirst({1, 2, 3}), acFirst(1), acFirst(2), acFirst(3)};
    JpegSpec exact = rough;
    for (int i = 1; i < 4; ++i)
        exact.scans[i].low = 0;
    weight("JPEG block smoothing", "pixel", save("exact.jpg", craftedJpeg(exact)), 0,
        save("smoothed.jpg", craftedJpeg(rough)), 4096.0 * 4096);

    // Pixels put out, from flat pictures of a few bytes a block; and the
    // data of a noisy picture, byte by byte, over a flat one of its size.
    const int width = 8192;
    const int height = 4096;
    const double pixels = double(width) * height;
    const cv::Mat flat(height, width, CV_8UC3, cv::Scalar(90, 120, 200));
    const cv::Mat flatGrey(height, width, CV_8UC1, cv::Scalar(120));
    perUnit("JPEG grey", "pixel", save("flat-grey.jpg", flatGrey, {cv::IMWRITE_JPEG_QUALITY, 90}),
        pixels);
    perUnit("JPEG colour 4:2:0", "pixel",
        save("flat-420.jpg", flat, {cv::IMWRITE_JPEG_QUALITY, 90}), pixels);
    // OpenCV 4.6 writes 4:2:0 only: cjpeg writes the rest.
    const std::string ppm = save("flat.ppm", flat);
    const std::string full = (Folder / "flat-444.jpg").string();
    if (std::system(("cjpeg -quality 90 -sample 1x1 -outfile " + full + " " + ppm).c_str()) == 0)
        perUnit("JPEG colour 4:4:4", "pixel", full, pixels);
    const std::string flatPath = save("flat-q100.jpg", flat, {cv::IMWRITE_JPEG_QUALITY, 100});
    const std::string noisyPath =
        save("noisy-q100.jpg", noise(width, height, CV_8UC3), {cv::IMWRITE_JPEG_QUALITY, 100});
    weight("JPEG coded data", "byte", flatPath, double(std::filesystem::file_size(flatPath)),
        noisyPath, double(std::filesystem::file_size(noisyPath)));
    // The same pictures coded arithmetically, and in CMYK, by the tools that write them.
    const auto run = [](const std::string &command) {
        return std::system((command + " 2>/dev/null").c_str()) == 0;
    };
    const std::string flatArithmetic = (Folder / "flat-arithmetic.jpg").string();
    const std::string noisyArithmetic = (Folder / "noisy-arithmetic.jpg").string();
    if (run("jpegtran -arithmetic -outfile " + flatArithmetic + " " + flatPath) &&
        run("jpegtran -arithmetic -outfile " + noisyArithmetic + " " + noisyPath))
        weight("JPEG arithmetic coded data", "byte", flatArithmetic,
            double(std::filesystem::file_size(flatArithmetic)), noisyArithmetic,
            double(std::filesystem::file_size(noisyArithmetic)));
    const std::string cmyk = (Folder / "flat-cmyk.jpg").string();
    if (run("convert " + ppm + " -colorspace CMYK -quality 90 " + cmyk))
        perUnit("JPEG CMYK", "pixel", cmyk, pixels);
    // Every block alike and every coefficient non-zero: arithmetic coding
    // learns the pattern, and the file takes a few bytes a block.
    cv::Mat tile(8, 8, CV_8UC1);
    cv::randu(tile, 0, 256);
    const std::string pattern = save("pattern.pgm", cv::repeat(tile, height / 8, width / 8));
    const std::string patternJpeg = (Folder / "pattern.jpg").string();
    const std::string patternArithmetic = (Folder / "pattern-arithmetic.jpg").string();
    if (run("cjpeg -quality 100 -outfile " + patternJpeg + " " + pattern) &&
        run("jpegtran -arithmetic -outfile " + patternArithmetic + " " + patternJpeg)) {
        const double size = double(std::filesystem::file_size(patternArithmetic));
        std::printf("| (patterned arithmetic picture: %.0f bytes, %.2f bits a block) | | | | |\n",
            size, size * 8 / (pixels / 64));
        perUnit("JPEG arithmetic, patterned", "block", patternArithmetic, pixels / 64);
    }
}

void pngWeights()
{
    const int side = 4096;
    const double pixels = double(side) * side;
    const std::string grey = save("flat-grey.png", cv::Mat(side, side, CV_8UC1, cv::Scalar(7)));
    const std::string colour =
        save("flat-colour.png", cv::Mat(side, side, CV_8UC3, cv::Scalar(7, 8, 9)));
    // The same pixels, three times the row bytes.
    weight("PNG row byte", "byte", grey, pixels + side, colour, 3 * pixels + side);
    perUnit("PNG grey, all told", "pixel", grey, pixels);
    weight("PNG text", "inflated byte", save("text0.png", pngWithTexts(0, 0)), 0,
        save("texts.png", pngWithTexts(60, 8000000 - 100)), 60 * 8e6);
    QByteArray chunks = pngWithTexts(0, 0);
    const QByteArray empty =
        QByteArray::fromHex("00000000") + "abCd" + QByteArray::fromHex("5e8e3c7f");
    const int count = 400000;
    chunks.insert(33, empty.repeated(count));
    weight("PNG chunk", "chunk", save("chunks0.png", pngWithTexts(0, 0)), 0,
        save("chunks.png", chunks), count);
}

void tiffWeights()
{
    const int side = 4096;
    const double pixels = double(side) * side;
    const cv::Mat picture = smooth(side, side);
    struct Kind
    {
        const char *name;
        int code;
    };
    const Kind kinds[] = {{"none", 1}, {"LZW", 5}, {"Deflate", 8}, {"PackBits", 32773},
        {"LZMA", 34925}, {"Zstandard", 50000}, {"WebP", 50001}};
    for (const Kind &kind : kinds) {
        const std::string path = save(std::string("tiff-") + kind.name + ".tiff", picture,
            {cv::IMWRITE_TIFF_COMPRESSION, kind.code});
        perUnit((std::string("TIFF ") + kind.name + ", all told").c_str(), "pixel", path, pixels);
    }
    // libtiff's own encoders for what OpenCV does not write (alike in every
    // version): JPEG, LERC with each of its layers, in strips, and JBIG in
    // one strip of bits.
    const std::string jpeg = (Folder / "tiff-JPEG.tiff").string();
    writeTiff(jpeg, picture, {COMPRESSION_JPEG, 0, 16});
    perUnit("TIFF JPEG, all told", "pixel", jpeg, pixels);
    const std::pair<const char *, int> lercLayers[] = {{"LERC", LERC_ADD_COMPRESSION_NONE},
        {"LERC+Deflate", LERC_ADD_COMPRESSION_DEFLATE},
        {"LERC+Zstandard", LERC_ADD_COMPRESSION_ZSTD}};
    for (const auto &[name, layer] : lercLayers) {
        const std::string path = (Folder / (std::string("tiff-") + name + ".tiff")).string();
        writeTiff(path, picture, {COMPRESSION_LERC, layer});
        perUnit((std::string("TIFF ") + name + ", all told").c_str(), "pixel", path, pixels);
    }
    cv::Mat grey;
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    grey = grey > 128;
    for (const auto &[name, code] :
        {std::pair("none", COMPRESSION_NONE), {"JBIG", COMPRESSION_JBIG}}) {
        const std::string path = (Folder / (std::string("tiff-bits-") + name + ".tiff")).string();
        writeTiff(path, grey, {static_cast<std::uint16_t>(code), 0, 0xffffffff, 0, true});
        perUnit((std::string("TIFF bits, ") + name + ", all told").c_str(), "pixel", path, pixels);
    }
    // Tiles far larger than the picture decode whole.
    TiffSpec small;
    small.width = 64;
    small.height = 64;
    small.tileWidth = 64;
    small.tileHeight = 64;
    small.compression = 8;
    small.piece = qCompress(QByteArray(qsizetype {64} * 64, 0), 9).mid(4);
    TiffSpec large = small;
    large.tileWidth = 4096;
    large.tileHeight = 4096;
    large.piece = qCompress(QByteArray(qsizetype {4096} * 4096, 0), 9).mid(4);
    weight("TIFF tile area (Deflate, grey)", "tile pixel",
        save("tile-small.tiff", craftedTiff(small)), 64 * 64,
        save("tile-large.tiff", craftedTiff(large)), 4096.0 * 4096);
    // Strips of one row against one strip.
    TiffSpec one;
    one.width = 1024;
    one.height = 16384;
    one.compression = 1;
    one.piece = QByteArray(qsizetype {1024} * 16384, 0);
    TiffSpec rows = one;
    rows.rowsPerStrip = 1;
    rows.piece = QByteArray(1024, 0);
    weight("TIFF strip", "strip", save("strips-one.tiff", craftedTiff(one)), 1,
        save("strips-rows.tiff", craftedTiff(rows)), 16384);
}

void jpeg2000Weights()
{
    Jpeg2000Spec base;
    base.width = 4096;
    base.height = 4096;
    base.components = 3;
    const double samples = 3.0 * 4096 * 4096;
    perUnit("JPEG 2000 empty, all told", "sample", save("j2k-base.j2k", craftedJpeg2000(base)),
        samples);
    Jpeg2000Spec precincts = base;
    precincts.width = 1024;
    precincts.height = 1024;
    Jpeg2000Spec small = precincts;
    small.precinct = 2;
    // Precincts of 4 at every level: about (1024 / 4)^2 * 4/3 of them a component, each with
    // three bands of one code-block but at the lowest level.
    const double count = 3.0 * 256 * 256 * 4 / 3;
    weight("JPEG 2000 precinct (and its blocks)", "precinct",
        save("j2k-precinct-base.j2k", craftedJpeg2000(precincts)), 0,
        save("j2k-precincts.j2k", craftedJpeg2000(small)), count);
    Jpeg2000Spec blocks = precincts;
    blocks.codeBlock = 2;
    weight("JPEG 2000 code-block", "code-block",
        save("j2k-block-base.j2k", craftedJpeg2000(precincts)), 3.0 * 256,
        save("j2k-blocks.j2k", craftedJpeg2000(blocks)), 3.0 * 1024 * 1024 / 16);
    Jpeg2000Spec layers = precincts;
    layers.layers = 60000;
    weight("JPEG 2000 packet", "packet", save("j2k-layer-base.j2k", craftedJpeg2000(precincts)), 18,
        save("j2k-layers.j2k", craftedJpeg2000(layers)), 18.0 * 60000);
    Jpeg2000Spec tiles = precincts;
    tiles.tileWidth = 16;
    tiles.tileHeight = 16;
    tiles.levels = 1;
    weight("JPEG 2000 tile", "tile", save("j2k-tile-base.j2k", craftedJpeg2000(precincts)), 1,
        save("j2k-tiles.j2k", craftedJpeg2000(tiles)), 64.0 * 64);
    const cv::Mat flat(2048, 2048, CV_8UC3, cv::Scalar(30, 60, 90));
    const std::string flatPath = save("j2k-flat.jp2", flat);
    const std::string noisyPath = save("j2k-noisy.jp2", noise(2048, 2048, CV_8UC3));
    weight("JPEG 2000 coded data", "byte", flatPath, double(std::filesystem::file_size(flatPath)),
        noisyPath, double(std::filesystem::file_size(noisyPath)));
}

// HEIF through libheif, as the viewer decodes it: HEVC and AV1, flat
// pictures of several sizes (the cost of pixels, which grows with the
// picture once it leaves the caches) and photo-like ones (of coded bytes).
void heifWeights()
{
    const auto encode = [](const std::string &png, const std::string &out, const char *options) {
        const std::string path = (Folder / out).string();
        const std::string command =
            std::string("heif-enc ") + options + " -o " + path + " " + png + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0 ? path : std::string();
    };
    const auto flatPng = [](int side) {
        cv::Mat flat(side, side, CV_8UC3, cv::Scalar(160, 110, 60));
        cv::Mat grain(side, side, CV_8UC3);
        cv::randu(grain, 0, 3);
        return save("heif-flat-" + std::to_string(side) + ".png", flat + grain);
    };
    const int photoSide = 2048;
    const std::string photoPng = save(
        "heif-photo.png", smooth(photoSide, photoSide) + noise(photoSide, photoSide, CV_8UC3) / 8);
    const char *sides = std::getenv("MORVASTEL_HEIF_SIDES");
    const std::vector<int> flatSides = sides && std::string(sides) == "all"
        ? std::vector<int> {1024, 2048, 4096, 8192, 16384}
        : std::vector<int> {1024, 2048, 4096};
    for (const auto &[codec, options, extension] :
        {std::tuple {"HEVC", "-q 80", ".heic"}, std::tuple {"AV1", "-A -q 60", ".avif"}}) {
        for (const int side : flatSides) {
            const std::string flat =
                encode(flatPng(side), "flat-" + std::to_string(side) + extension, options);
            if (!flat.empty())
                perUnit((std::string("HEIF ") + codec + ", flat " + std::to_string(side)).c_str(),
                    "pixel", flat, double(side) * side);
        }
        const std::string flatFile =
            encode(flatPng(photoSide), std::string("flat") + extension, options);
        const std::string photoFile = encode(photoPng, std::string("photo") + extension, options);
        if (flatFile.empty() || photoFile.empty())
            continue;
        weight((std::string("HEIF ") + codec + " coded data").c_str(), "byte", flatFile,
            double(std::filesystem::file_size(flatFile)), photoFile,
            double(std::filesystem::file_size(photoFile)));
    }
}

// A 16 x 16 lossless WebP behind an extended header and `chunks` empty chunks.
QByteArray webpBehindChunks(int chunks)
{
    std::vector<uchar> simple;
    cv::imencode(".webp", cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(9)), simple,
        {cv::IMWRITE_WEBP_QUALITY, 101});
    QByteArray body = QByteArray("WEBP") + "VP8X" + littleEndian(10, 4) + QByteArray(4, 0) +
        littleEndian(15, 3) + littleEndian(15, 3);
    for (int i = 0; i < chunks; ++i)
        body += QByteArray("EMPT") + littleEndian(0, 4);
    body += QByteArray(reinterpret_cast<const char *>(simple.data()) + 12,
        static_cast<qsizetype>(simple.size()) - 12);
    return "RIFF" + littleEndian(quint64(body.size()), 4) + body;
}

void otherWeights()
{
    const int side = 4096;
    const double pixels = double(side) * side;
    const cv::Mat picture = smooth(side, side);
    cv::Mat real;
    picture.convertTo(real, CV_32FC3, 1 / 255.0);
    perUnit("BMP", "pixel", save("bmp.bmp", picture), pixels);
    perUnit("Sun raster", "pixel", save("sun.ras", picture), pixels);
    perUnit("PPM", "pixel", save("ppm.ppm", picture), pixels);
    perUnit("PFM", "pixel", save("pfm.pfm", real), pixels);
    perUnit("Radiance HDR", "pixel", save("hdr.hdr", real), pixels);
    perUnit(
        "WebP lossy", "pixel", save("lossy.webp", picture, {cv::IMWRITE_WEBP_QUALITY, 90}), pixels);
    perUnit("WebP lossless", "pixel",
        save("lossless.webp", picture, {cv::IMWRITE_WEBP_QUALITY, 101}), pixels);
    cv::Mat alpha;
    cv::cvtColor(picture, alpha, cv::COLOR_BGR2BGRA);
    perUnit("WebP lossy with alpha", "pixel",
        save("alpha.webp", alpha, {cv::IMWRITE_WEBP_QUALITY, 90}), pixels);
    const int chunks = 4000000;
    weight("WebP chunk before the image", "chunk", save("chunks0.webp", webpBehindChunks(0)), 0,
        save("chunks.webp", webpBehindChunks(chunks)), chunks);
    const char *compressions[] = {
        "none", "RLE", "ZIPS", "ZIP", "PIZ", "PXR24", "B44", "B44A", "DWAA", "DWAB"};
    for (int code = 0; code < 10; ++code) {
        const std::string path = save(std::string("exr-") + compressions[code] + ".exr", real,
            {cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_HALF, cv::IMWRITE_EXR_COMPRESSION, code});
        perUnit((std::string("OpenEXR ") + compressions[code]).c_str(), "sample", path, 3 * pixels);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    std::filesystem::create_directories(Folder);
    const std::string filter = argc > 1 ? argv[1] : "";
    // Decoders loaded and warm before any child is forked.
    const cv::Mat tiny(16, 16, CV_8UC3, cv::Scalar::all(1));
    for (const char *name : {"tiny.png", "tiny.jpg", "tiny.webp", "tiny.bmp"})
        decodeFile(save(name, tiny), beyondLimits());
    const std::string encodeHeic = "heif-enc -o " + (Folder / "tiny.heic").string() + " " +
        (Folder / "tiny.png").string() + " >/dev/null 2>&1";
    if (std::system(encodeHeic.c_str()) == 0)
        decodeFile((Folder / "tiny.heic").string(), beyondLimits());
    std::printf("| weight | seconds | memory | per | (larger file: decode, peak) "
                "|\n|---|---|---|---|---|\n");
    const std::pair<const char *, std::function<void()>> groups[] = {{"jpeg", jpegWeights},
        {"png", pngWeights}, {"tiff", tiffWeights}, {"jpeg2000", jpeg2000Weights},
        {"heif", heifWeights}, {"other", otherWeights}};
    for (const auto &[name, measure] : groups) {
        if (filter.empty() || filter == name)
            measure();
    }
    return 0;
}
