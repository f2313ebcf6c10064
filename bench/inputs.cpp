#include "inputs.h"

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
