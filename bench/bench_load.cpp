// How long a load keeps the window frozen, against the decoder alone.
#include "analysis/channelaverage.h"
#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "inputs.h"
#include "window/mainwindowform.h"

#include <QApplication>
#include <QMainWindow>
#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The panels a load fills, as in the program's window.
struct Panels
{
    QMainWindow window;
    MainWindowForm form;
    Panels() { form.setupUi(&window); }
};
// Lives inside main's QApplication (see main): widgets must die before it.
Panels *panels = nullptr;

void load(const std::string &path)
{
    const cv::Mat loaded = cv::imread(path, cv::IMREAD_COLOR);
    PanelImages images = analyseImage(loaded);
    showPanels(images, panels->form);
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Decode alone and the whole load, one after the other in every iteration so
// that the machine's noise hits both alike. Reports the ratio of the medians.
void loadAgainstDecode(benchmark::State &state, const std::string &path)
{
    std::vector<double> decode;
    std::vector<double> whole;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_COLOR));
        decode.push_back(seconds(start));
        start = std::chrono::steady_clock::now();
        load(path);
        whole.push_back(seconds(start));
        state.SetIterationTime(whole.back());
    }
    state.counters["decode_ms"] = median(decode) * 1e3;
    state.counters["load_ms"] = median(whole) * 1e3;
    state.counters["load/decode"] = median(whole) / median(decode);
}

void channelAverage(benchmark::State &state, const std::string &path)
{
    const cv::Mat loaded = cv::imread(path, cv::IMREAD_COLOR);
    for (auto _ : state)
        benchmark::DoNotOptimize(averageChannels(loaded));
}

void spinChange(benchmark::State &state)
{
    cv::Mat rgb(PanelSize, CV_8UC3);
    cv::randu(rgb, 0, 256);
    const int side = static_cast<int>(state.range(0));
    for (auto _ : state) {
        cv::Mat blurred = blurForKernel(rgb, side);
        showPanel(blurred, QImage::Format_RGB888, panels->form.gaussian);
    }
}
BENCHMARK(spinChange)->Arg(1)->Arg(7)->Arg(51)->Unit(benchmark::kMillisecond);

// Peak resident memory of a fresh process that decodes, or loads, one file.
long peakKilobytes(const char *self, const char *what, const std::string &path)
{
    const std::string command = std::string(self) + " --peak " + what + " '" + path + "'";
    std::FILE *pipe = popen(command.c_str(), "r");
    long kilobytes = -1;
    if (pipe) {
        if (std::fscanf(pipe, "%ld", &kilobytes) != 1)
            kilobytes = -1;
        pclose(pipe);
    }
    return kilobytes;
}

void peakMemory(benchmark::State &state, const char *self, const std::string &path)
{
    double decode = 0;
    double whole = 0;
    for (auto _ : state) {
        decode = static_cast<double>(peakKilobytes(self, "decode", path));
        whole = static_cast<double>(peakKilobytes(self, "load", path));
    }
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    const double imageKilobytes = static_cast<double>(image.total() * image.elemSize()) / 1024;
    state.counters["decode_MiB"] = decode / 1024.0;
    state.counters["load_MiB"] = whole / 1024.0;
    state.counters["extra/image"] = (whole - decode) / imageKilobytes;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Panels window;
    panels = &window;

    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) {
        if (std::strcmp(argv[2], "load") == 0)
            load(argv[3]);
        else
            benchmark::DoNotOptimize(cv::imread(argv[3], cv::IMREAD_COLOR));
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld\n", usage.ru_maxrss);
        return 0;
    }

    for (const BenchInput &input : benchInputs()) {
        benchmark::RegisterBenchmark(("load/" + input.label).c_str(), loadAgainstDecode, input.path)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(3);
        if (input.label == "24MP.jpg") {
            benchmark::RegisterBenchmark("channelAverage/24MP", channelAverage, input.path)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("peakMemory/24MP.jpg", peakMemory, argv[0], input.path)
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
