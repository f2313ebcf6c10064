#include "inputs.h"

#include "support/craftedfiles.h"

#include <QFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace {

cv::Mat photoLike(cv::Size size, int seed)
{
    cv::RNG rng(seed);
    // Large soft shapes: low-resolution noise scaled up smoothly.
    cv::Mat coarse(24, 32, CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 30, 230);
    cv::Mat image;
    cv::resize(coarse, image, size, 0, 0, cv::INTER_CUBIC);
    // Finer texture and edges, then per-pixel noise as a camera sensor adds.
    cv::Mat texture(size.height / 16, size.width / 16, CV_8UC3);
    rng.fill(texture, cv::RNG::NORMAL, 0, 20);
    cv::resize(texture, texture, size, 0, 0, cv::INTER_LINEAR);
    image += texture;
    for (int i = 0; i < 60; ++i)
        cv::circle(image, {rng.uniform(0, size.width), rng.uniform(0, size.height)},
            rng.uniform(size.width / 80, size.width / 10),
            cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)),
            rng.uniform(2, 30), cv::LINE_AA);
    cv::Mat noise(size, CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    cv::Mat noisy;
    image.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(image, CV_8UC3);
    return image;
}

} // namespace

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
    return inputs;
}

std::vector<BenchInput> costlyInputs()
{
    const std::filesystem::path dir = std::filesystem::path(MORVASTEL_BENCH_DIR) / "costly";
    std::filesystem::create_directories(dir);
    struct Spec
    {
        const char *label;
        QByteArray (*make)();
    };
    const Spec specs[] = {
        // Refused: each kind of file that froze the window or took gigabytes.
        {"refused/scans2000_8192.jpg", [] { return jpegScanBomb(8192, 8192, 2000); }},
        {"refused/arithmetic_scans2000_8192.jpg",
            [] { return jpegScanBomb(8192, 8192, 2000, JpegCoding::Arithmetic); }},
        {"refused/scans100000_4096.jpg", [] { return jpegScanBomb(4096, 4096, 100000); }},
        {"refused/empty_16384.j2k", [] { return jpeg2000Codestream(16384, 16384); }},
        {"refused/empty_8192.j2k", [] { return jpeg2000Codestream(8192, 8192); }},
        {"refused/progressive_header_32768.jpg",
            [] { return progressiveJpegHeader(32768, 32768); }},
        {"refused/zeros_32768.png", [] { return bilevelPngOfZeros(32768, 32768); }},
        {"refused/shared_strips_32768.tiff", [] { return tiffOfSharedStrips(32768, 32768); }},
        {"refused/rle_nothing_18000.bmp", [] { return rleBmpOfNothing(18000, 18000); }},
        {"refused/photo_22500x33300.jpg", [] { return progressiveJpegHeader(22500, 33300); }},
        {"refused/photo_25200x33300.png", [] { return pngClaiming(25200, 33300); }},
        // Let through: the worst just under each limit.
        {"limit/progressive_header_16384.jpg", [] { return progressiveJpegHeader(16384, 16384); }},
        {"limit/zeros_16384.png", [] { return bilevelPngOfZeros(16384, 16384); }},
        {"limit/shared_strips_16384.tiff", [] { return tiffOfSharedStrips(16384, 16384); }},
        {"limit/rle_nothing_16384.bmp", [] { return rleBmpOfNothing(16384, 16384); }},
        {"limit/empty_8192x4096.j2k", [] { return jpeg2000Codestream(8192, 4096); }},
        {"limit/scans64_8192.jpg", [] { return jpegScanBomb(8192, 8192, 64); }},
        {"limit/arithmetic_scans6_8192.jpg",
            [] { return jpegScanBomb(8192, 8192, 6, JpegCoding::Arithmetic); }},
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
