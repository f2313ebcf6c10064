// How long a load keeps the window frozen, against the decoder alone.
#include "analysis/averagepanel.h"
#include "analysis/channelaverage.h"
#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "decoding/decodecost.h"
#include "decoding/imagefile.h"
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
#include <filesystem>
#include <fstream>
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

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// What the window does with a decoded image: six pictures made and shown.
void showImage(const cv::Mat &loaded)
{
    PanelImages images = analyseImage(loaded);
    showPanels(images, panels->form);
}

// Decode alone and the whole load, one after the other in every iteration so
// that the machine's noise hits both alike. Reports the ratio of the medians,
// and the load's own work after decoding.
void loadAgainstDecode(benchmark::State &state, const std::string &path)
{
    std::vector<double> decode;
    std::vector<double> whole;
    std::vector<double> after;
    bool decodeFirst = true;
    for (auto _ : state) {
        // Turn about, so that neither gains from running second.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == decodeFirst) {
                const auto start = Clock::now();
                benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_COLOR));
                decode.push_back(secondsSince(start));
            } else {
                const auto start = Clock::now();
                const cv::Mat loaded = readImage(path);
                const auto decoded = Clock::now();
                showImage(loaded);
                whole.push_back(secondsSince(start));
                after.push_back(secondsSince(decoded));
            }
        }
        decodeFirst = !decodeFirst;
        state.SetIterationTime(whole.back());
    }
    state.counters["decode_ms"] = median(decode) * 1e3;
    state.counters["load_ms"] = median(whole) * 1e3;
    state.counters["after_ms"] = median(after) * 1e3;
    state.counters["load/decode"] = median(whole) / median(decode);
}

// The work after decoding on its own, the image decoded once.
void afterDecode(benchmark::State &state, const std::string &path)
{
    const cv::Mat loaded = readImage(path);
    for (auto _ : state)
        showImage(loaded);
}

// What the cost check before decoding reads: the header, and all of a
// progressive JPEG's scans.
void costCheck(benchmark::State &state, const std::string &path)
{
    const DecodeLimits limits = DecodeLimits::fromEnvironment();
    for (auto _ : state) {
        std::ifstream file(path, std::ios::binary);
        benchmark::DoNotOptimize(costRefusal(file, limits));
    }
    state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
}

void channelAverage(benchmark::State &state, const std::string &path)
{
    const cv::Mat loaded = cv::imread(path, cv::IMREAD_COLOR);
    for (auto _ : state)
        benchmark::DoNotOptimize(averageChannels(loaded));
}

void averagePanel(benchmark::State &state, const std::string &path)
{
    const cv::Mat loaded = cv::imread(path, cv::IMREAD_COLOR);
    const AveragePanel panel;
    for (auto _ : state)
        benchmark::DoNotOptimize(panel.grey(loaded));
    state.counters["sparse"] = panel.averagesOnlyWhatIsRead() ? 1 : 0;
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

// Runs this program once more as "--child <what> <path>" and reads the
// number it prints.
double childFigure(const char *self, const char *what, const std::string &path)
{
    const std::string command =
        std::string(self) + " --child " + what + " '" + path + "' 2>/dev/null";
    std::FILE *pipe = popen(command.c_str(), "r");
    double figure = -1;
    if (pipe) {
        if (std::fscanf(pipe, "%lf", &figure) != 1)
            figure = -1;
        pclose(pipe);
    }
    return figure;
}

// Peak resident memory of a fresh process that decodes, or loads, one file.
void peakMemory(benchmark::State &state, const char *self, const std::string &path)
{
    double decode = 0;
    double whole = 0;
    for (auto _ : state) {
        decode = childFigure(self, "decode", path);
        whole = childFigure(self, "load", path);
    }
    state.counters["decode_MiB"] = decode / 1024.0;
    state.counters["load_MiB"] = whole / 1024.0;
    state.counters["extra_MiB"] = (whole - decode) / 1024.0;
}

// The work after decoding in the first load of fresh processes: what a user
// waits for the first time, one-off checks included.
void firstLoad(benchmark::State &state, const char *self, const std::string &path)
{
    std::vector<double> after;
    for (auto _ : state)
        after.push_back(childFigure(self, "first", path));
    state.counters["after_ms"] = median(after);
    state.counters["worst_ms"] = *std::max_element(after.begin(), after.end());
}

// A load's time and its peak memory above the program's own (a load that
// fails at once), each in a fresh process: for files that must be refused
// at once, and for the costliest that each limit lets through.
void costlyLoad(benchmark::State &state, const char *self, const std::string &path)
{
    double milliseconds = 0;
    double peak = 0;
    double own = 0;
    for (auto _ : state) {
        milliseconds = childFigure(self, "whole", path);
        peak = childFigure(self, "load", path);
        own = childFigure(self, "load", "");
    }
    state.counters["load_ms"] = milliseconds;
    state.counters["extra_MiB"] = (peak - own) / 1024.0;
}

// The child's side of childFigure. "first" prints the milliseconds after
// decoding, "whole" those of the whole load, the others peak KiB.
int child(const char *what, const char *path)
{
    if (std::strcmp(what, "decode") == 0) {
        benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_COLOR));
    } else {
        const auto start = Clock::now();
        const cv::Mat loaded = readImage(path);
        const auto decoded = Clock::now();
        if (!loaded.empty())
            showImage(loaded);
        if (std::strcmp(what, "first") == 0 || std::strcmp(what, "whole") == 0) {
            const auto from = std::strcmp(what, "first") == 0 ? decoded : start;
            std::printf("%f\n", secondsSince(from) * 1e3);
            return 0;
        }
    }
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld\n", usage.ru_maxrss);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Panels window;
    panels = &window;
    window.window.show();

    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return child(argv[2], argv[3]);

    for (const BenchInput &input : benchInputs()) {
        benchmark::RegisterBenchmark(("load/" + input.label).c_str(), loadAgainstDecode, input.path)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(3);
        benchmark::RegisterBenchmark(("costCheck/" + input.label).c_str(), costCheck, input.path)
            ->Unit(benchmark::kMillisecond);
        if (input.label == "24MP.jpg") {
            benchmark::RegisterBenchmark("afterDecode/24MP", afterDecode, input.path)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("firstLoad/24MP.jpg", firstLoad, argv[0], input.path)
                ->Iterations(7)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("averagePanel/24MP", averagePanel, input.path)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("channelAverage/24MP", channelAverage, input.path)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("peakMemory/24MP.jpg", peakMemory, argv[0], input.path)
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const BenchInput &input : costlyInputs()) {
        benchmark::RegisterBenchmark(
            ("costly/" + input.label).c_str(), costlyLoad, argv[0], input.path)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
