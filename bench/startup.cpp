// From process start to the mapped window, for the program and for a Qt-only
// program with the same widgets, turn about; then each one's memory at idle.
// Needs an X server: run it as "xvfb-run -a morvastel_startup".
#include "timing.h"

#include <X11/Xlib.h>
#include <benchmark/benchmark.h>

#include <csignal>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

Display *display = nullptr;

struct Start
{
    double milliseconds = -1;
    double idleMiB = -1;
};

// Resident memory of a process, in MiB.
double residentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string field; status >> field;) {
        if (field == "VmRSS:") {
            double kilobytes = 0;
            status >> kilobytes;
            return kilobytes / 1024;
        }
    }
    return -1;
}

// Starts the program with the xcb platform and waits for its window to be
// mapped; then, a second later, reads its memory and ends it.
Start start(const char *program)
{
    XSync(display, True); // drops earlier events
    const auto begin = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        execl(program, program, static_cast<char *>(nullptr));
        _exit(127);
    }
    Start result;
    for (XEvent event; result.milliseconds < 0;) {
        XNextEvent(display, &event);
        if (event.type == MapNotify)
            result.milliseconds = millisecondsSince(begin);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    result.idleMiB = residentMiB(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return result;
}

void startup(benchmark::State &state)
{
    std::vector<double> program[2];
    std::vector<double> memory[2];
    const char *programs[] = {MORVASTEL_PROGRAM, MORVASTEL_QT_ONLY};
    bool programFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (turn == 0) == programFirst ? 0 : 1;
            const Start run = start(programs[which]);
            program[which].push_back(run.milliseconds);
            memory[which].push_back(run.idleMiB);
        }
        programFirst = !programFirst;
    }
    state.counters["program_ms"] = median(program[0]);
    state.counters["qt_only_ms"] = median(program[1]);
    state.counters["ratio"] = median(program[0]) / median(program[1]);
    state.counters["program_MiB"] = median(memory[0]);
    state.counters["qt_only_MiB"] = median(memory[1]);
    state.counters["extra_MiB"] = median(memory[0]) - median(memory[1]);
}
BENCHMARK(startup)->Iterations(15)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char *argv[])
{
    display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X server: run it as \"xvfb-run -a %s\"\n", argv[0]);
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    XCloseDisplay(display);
    return 0;
}
