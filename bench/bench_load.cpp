// How long a load keeps the window frozen, against the decoder alone.
#include "analysis/averagepanel.h"
#include "analysis/busywhileloading.h"
#include "analysis/channelaverage.h"
#include "analysis/loadpanels.h"
#include "analysis/panel.h"
#include "analysis/pipeline.h"
#include "decoding/decodefile.h"
#include "decoding/filebytes.h"
#include "decoding/sandbox.h"
#include "decoding/verdict.h"
#include "inputs.h"
#include "panels.h"
#include "support/libheifdecode.h"
#include "timing.h"

#include <QApplication>
#include <QTest>
#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

// Lives inside main's QApplication (see main).
Panels *panels = nullptr;

// The decoder's own decode: libheif's for HEIF, OpenCV's for the rest.
cv::Mat decodeAlone(const std::string &path)
{
    if (path.size() > 5 && path.substr(path.size() - 5) == ".heic")
        return libheifDecode(path);
    return cv::imread(path, cv::IMREAD_COLOR);
}

// Decode alone and the whole load as the slot runs it (the window drawn and
// the busy cursor shown first, the panels made in the decoding child and
// shown), one after the other in every iteration so that the machine's
// noise hits both alike. Reports the ratio of the medians, and the load's
// own work after the child has ended.
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
                benchmark::DoNotOptimize(decodeAlone(path));
                decode.push_back(millisecondsSince(start));
            } else {
                const auto start = Clock::now();
                {
                    const BusyWhileLoading busy(panels->window);
                    std::optional<PanelImages> loaded = loadPanels(path);
                    const auto decoded = Clock::now();
                    if (loaded)
                        panels->show(*loaded);
                    after.push_back(millisecondsSince(decoded));
                }
                whole.push_back(millisecondsSince(start));
            }
        }
        decodeFirst = !decodeFirst;
        state.SetIterationTime(whole.back() / 1e3);
    }
    state.counters["decode_ms"] = median(decode);
    state.counters["load_ms"] = median(whole);
    state.counters["after_ms"] = median(after);
    state.counters["load/decode"] = median(whole) / median(decode);
}

// The work after decoding on its own, the image decoded once.
void afterDecode(benchmark::State &state, const std::string &path)
{
    const cv::Mat picture = decodeFile(path);
    for (auto _ : state)
        panels->show(picture);
}

// What the cost check before decoding reads: the header, and all of a
// progressive JPEG's scans or of a TIFF's JPEG pieces. Its share of the
// decode it prices should stay about 1 % or less.
void costCheck(benchmark::State &state, const std::string &path)
{
    const DecodeLimits limits = DecodeLimits::forThisProcess();
    double modelled = 0;
    std::vector<double> checks;
    for (auto _ : state) {
        // As the program checks a file: through its descriptor.
        const auto start = Clock::now();
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const Verdict verdict =
            inspectFile(FileBytes::ofFile(fd, std::filesystem::file_size(path)), limits);
        close(fd);
        checks.push_back(millisecondsSince(start));
        modelled = verdict.assessment.seconds;
    }
    state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    state.counters["model_s"] = modelled;
    state.counters["check/model"] = modelled > 0 ? median(checks) / 1e3 / modelled : 0;
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

// What a load does before it decodes: the window drawn at once, the busy
// cursor shown.
void busyWhileLoading(benchmark::State &state)
{
    panels->show(cv::Mat(1200, 1600, CV_8UC3, cv::Scalar(40, 90, 160)));
    for (auto _ : state)
        const BusyWhileLoading busy(panels->window);
}
BENCHMARK(busyWhileLoading)->Unit(benchmark::kMillisecond);

// What confining a decode costs beside it, with the window open: the shared
// memory for six panels, the fork, the child's confinement, the wait and
// the reaping, for work that does nothing.
void confinement(benchmark::State &state)
{
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string path = "/dev/null";
    const Confinement confined {path, fd, path, std::uint64_t {256} << 20, 1.0};
    const std::size_t panelBytes = std::size_t {256} * 192 * 12;
    for (auto _ : state) {
        const std::string failure = runConfined(
            confined, panelBytes,
            [](unsigned char *result, std::size_t bytes) {
                result[bytes - 1] = 1;
                return std::string();
            },
            [](const unsigned char *, std::size_t) { return true; });
        if (!failure.empty())
            state.SkipWithError(failure.c_str());
    }
    close(fd);
}
BENCHMARK(confinement)->Unit(benchmark::kMillisecond);

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

// The peak memory of a fresh process that only decodes the file, with
// OpenCV's codecs linked in and the panels shown empty (this program,
// "--decode PATH").
double decodePeak(const char *self, const std::string &path)
{
    const std::vector<double> figures =
        commandFigures(std::string(self) + " --decode '" + path + "'");
    return figures.empty() ? -1 : figures[0];
}

// The figures of a fresh process that loads the file as the program does.
std::vector<double> childFigures(const char *what, const std::string &path)
{
    return commandFigures(std::string(MORVASTEL_BENCH_CHILD) + " " + what + " '" + path + "'");
}

// Peak resident memory of a fresh process that decodes, or loads, one file.
void peakMemory(benchmark::State &state, const char *self, const std::string &path)
{
    double decode = 0;
    double whole = 0;
    for (auto _ : state) {
        decode = decodePeak(self, path);
        const std::vector<double> load = childFigures("load", path);
        whole = load.size() >= 2 ? load[1] : -1;
    }
    state.counters["decode_MiB"] = decode / 1024.0;
    state.counters["load_MiB"] = whole / 1024.0;
    state.counters["extra_MiB"] = (whole - decode) / 1024.0;
}

// The first decode of fresh processes, what a user waits for the first time
// (with the libraries its format loads at its first use), against the
// second decode of the same file in the same process, and the six pictures
// with their one-off checks.
void firstLoad(benchmark::State &state, const std::string &path)
{
    std::vector<double> first;
    std::vector<double> second;
    std::vector<double> after;
    for (auto _ : state) {
        const std::vector<double> figures = childFigures("first", path);
        if (figures.size() != 3) {
            state.SkipWithError("the child failed");
            return;
        }
        first.push_back(figures[0]);
        second.push_back(figures[1]);
        after.push_back(figures[2]);
    }
    state.counters["first_ms"] = median(first);
    state.counters["second_ms"] = median(second);
    state.counters["first/second"] = median(first) / median(second);
    state.counters["after_ms"] = median(after);
}

// A load's time and its peak memory above the program's own (a load that
// fails at once), each in a fresh process: for files that must be refused
// at once, and for the costliest that each limit lets through.
void costlyLoad(benchmark::State &state, const std::string &path)
{
    std::vector<double> load;
    std::vector<double> own;
    for (auto _ : state) {
        load = childFigures("load", path);
        own = childFigures("load", "");
    }
    if (load.size() != 3 || own.size() != 3) {
        state.SkipWithError("the child failed");
        return;
    }
    state.counters["load_ms"] = load[0];
    state.counters["extra_MiB"] = (load[1] - own[1]) / 1024.0;
    state.counters["codecs_loaded"] = load[2];
}

} // namespace

int main(int argc, char *argv[])
{
    // Offscreen unless a window system is asked for: the redraw before a
    // load costs what it costs only in a real one (QT_QPA_PLATFORM=xcb).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Panels window;
    panels = &window;
    window.window.show();
    // Drawn once, as a user's window is before any load.
    if (!QTest::qWaitForWindowExposed(&window.window))
        std::fprintf(stderr, "the window was never shown\n");

    if (argc == 3 && std::strcmp(argv[1], "--decode") == 0) {
        benchmark::DoNotOptimize(cv::imread(argv[2], cv::IMREAD_COLOR));
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
        benchmark::RegisterBenchmark(("costCheck/" + input.label).c_str(), costCheck, input.path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("firstLoad/" + input.label).c_str(), firstLoad, input.path)
            ->Iterations(7)
            ->Unit(benchmark::kMillisecond);
        if (input.label == "24MP.jpg") {
            benchmark::RegisterBenchmark("afterDecode/24MP", afterDecode, input.path)
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
    for (const BenchInput &input : manyPieceInputs()) {
        benchmark::RegisterBenchmark(("costCheck/" + input.label).c_str(), costCheck, input.path)
            ->Unit(benchmark::kMillisecond);
    }
    for (const BenchInput &input : costlyInputs()) {
        benchmark::RegisterBenchmark(("costly/" + input.label).c_str(), costlyLoad, input.path)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
