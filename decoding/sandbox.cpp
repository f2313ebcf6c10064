// Each decode runs in a child process made with fork() for that one file, as
// image loaders trusted with hostile files run theirs: a codec library that a
// crafted file crashes, hangs or hijacks takes only the child with it. Before
// it reads the file the child keeps no descriptor but the file and its
// output, can gain no privilege, writes no file and no core, outlives no
// parent, takes no more address space than it is allowed, and installs a
// seccomp filter (syscallfilter.cpp). The result comes back through memory
// shared before the fork, and is believed only from a child that exited
// normally and said it was done.
#include "decoding/sandbox.h"

#include "decoding/report.h"

#if MORVASTEL_SANDBOX
#include "decoding/descriptor.h"
#include "decoding/memory.h"
#include "decoding/sanitizers.h"
#include "decoding/syscallfilter.h"

#include <opencv2/core/utility.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#else
#include <vector>
#endif

#if MORVASTEL_SANDBOX

namespace {

enum class State : std::uint32_t { Nothing, Done, Failed };

// What the child writes beside its result. The program reads each field
// within its bounds, and believes none but from a child that exited normally.
struct Record
{
    State state;
    std::int32_t forbiddenCall; // the call the filter stopped, or -1
    std::uint32_t reasonLength;
    char reason[2048];
};

// The result starts on a page of its own, after the record.
constexpr std::size_t ResultOffset = 4096;
static_assert(sizeof(Record) <= ResultOffset);

// How a child that ends itself says why.
constexpr int ForbiddenCallExit = 121;
constexpr int UnconfinedExit = 122;

// What a child may write on its standard output and error that reaches the
// program's standard error.
constexpr std::size_t MostOutput = std::size_t {16} * 1024;

// Shared with the child before the fork, and gone with the program's
// mapping once the child has ended.
class SharedMemory
{
public:
    explicit SharedMemory(std::size_t size)
        : size(size),
          memory(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
    { }
    ~SharedMemory()
    {
        if (mapped())
            munmap(memory, size);
    }
    SharedMemory(const SharedMemory &) = delete;
    SharedMemory &operator=(const SharedMemory &) = delete;

    bool mapped() const { return memory != MAP_FAILED; }
    Record &record() const { return *static_cast<Record *>(memory); }
    unsigned char *result() const { return static_cast<unsigned char *>(memory) + ResultOffset; }

private:
    std::size_t size;
    void *memory;
};

// --- In the child ---------------------------------------------------------

// Closes every descriptor from `first` on.
void closeFrom(int first)
{
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return;
    // Kernels before 5.9: every descriptor the process may have.
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t last = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd)
        close(static_cast<int>(fd));
}

// Where the child keeps the checked file.
constexpr int CheckedFileKept = 3;

// The checked file on 3, the output channel on 1 and 2, nothing else: the
// display connection, the program's own output and every other descriptor
// stay the program's.
bool keepOnly(int file, int output)
{
    const int movedFile = fcntl(file, F_DUPFD, 10);
    const int movedOutput = fcntl(output, F_DUPFD, 10);
    if (movedFile < 0 || movedOutput < 0 || dup2(movedOutput, STDOUT_FILENO) < 0 ||
        dup2(movedOutput, STDERR_FILENO) < 0 || dup2(movedFile, CheckedFileKept) < 0)
        return false;
    close(STDIN_FILENO);
    closeFrom(CheckedFileKept + 1);
    // Whatever the program's streams held unwritten is the program's.
    __fpurge(stdout);
    __fpurge(stderr);
    return true;
}

// No privilege to gain, no core to write, no file to grow, and no life
// beyond the program's.
bool lockDown(pid_t parent)
{
    const rlimit none {0, 0};
    return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent &&
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_DUMPABLE, 0) == 0 &&
        setrlimit(RLIMIT_CORE, &none) == 0 && setrlimit(RLIMIT_FSIZE, &none) == 0;
}

// Signals as a new process has them: none held back (the program holds
// SIGPIPE back while it loads), none caught but by the sanitizers' runtime,
// whose reports are worth having.
void plainSignals()
{
#if !MORVASTEL_SANITIZERS
    using SignalAction = struct sigaction;
    SignalAction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &plain, nullptr); // SIGKILL and SIGSTOP refuse, as they should
#endif
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Every thread of the C library's allocator takes an arena of its own, which
// reserves 64 MiB of address space: decoders that start threads would spend
// their allowance on reservations. One arena keeps the ceiling on what is
// used. (The sanitizers' allocator is their own, and has no ceiling.)
bool oneArena()
{
    return MORVASTEL_SANITIZERS || mallopt(M_ARENA_MAX, 1) == 1;
}

bool confine(const Confinement &confinement, int output, pid_t parent, Record &record)
{
    if (!keepOnly(confinement.file, output) || !lockDown(parent) || !oneArena() ||
        !capAddressSpace(confinement.memory))
        return false;
    plainSignals();
    return filterSystemCalls(
        confinement.openPath.c_str(), CheckedFileKept, &record.forbiddenCall, ForbiddenCallExit);
}

[[noreturn]] void runChild(const Confinement &confinement, const SharedMemory &shared,
    std::size_t bytes, int output, pid_t parent, const ConfinedWork &work)
{
    Record &record = shared.record();
    record.state = State::Nothing;
    record.forbiddenCall = -1;
    if (!confine(confinement, output, parent, record))
        _exit(UnconfinedExit);
    std::string failure;
    try {
        failure = work(shared.result(), bytes);
    } catch (const std::exception &error) {
        failure = std::string("undecodable: ") + error.what();
    } catch (...) {
        failure = "undecodable";
    }
    std::fflush(nullptr);
    record.reasonLength =
        static_cast<std::uint32_t>(std::min(failure.size(), sizeof record.reason));
    std::memcpy(record.reason, failure.data(), record.reasonLength);
    record.state = failure.empty() ? State::Done : State::Failed;
    _exit(0);
}

// --- In the program -------------------------------------------------------

// Text from the child, which may hold anything: one printable line.
std::string printable(std::string text)
{
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; },
        '?');
    return text;
}

struct Ending
{
    int status = 0;
    bool timedOut = false;
};

enum class Output { More, NoneYet, Ended };

// Keeps what the child writes, up to a bound, and passes over the rest.
Output keepOutput(int output, std::string &said)
{
    char piece[4096];
    const ssize_t got = read(output, piece, sizeof piece);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN ? Output::NoneYet : Output::Ended;
    if (got == 0)
        return Output::Ended;
    const std::size_t room = MostOutput - std::min(MostOutput, said.size());
    said.append(piece, std::min(static_cast<std::size_t>(got), room));
    return Output::More;
}

// Waits for the child until its deadline, keeping its output, and kills it
// there; reaps it either way.
Ending awaitChild(pid_t child, int output, double seconds, std::string &said)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    // Wakes the wait when the child ends; without it (kernels before 5.3)
    // the child is asked after every 10 ms.
    const Descriptor ended(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    bool writing = true;
    Ending ending;
    while (waitpid(child, &ending.status, WNOHANG) != child) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            kill(child, SIGKILL);
            waitpid(child, &ending.status, 0);
            ending.timedOut = true;
            break;
        }
        pollfd watched[2] = {{output, POLLIN, 0}, {ended.get(), POLLIN, 0}};
        const int timeout = static_cast<int>(std::min(left, ended.get() >= 0 ? left : 10LL));
        const int ready = poll(writing ? watched : watched + 1, writing ? 2 : 1, timeout);
        if (ready > 0 && writing && watched[0].revents != 0)
            writing = keepOutput(output, said) != Output::Ended;
    }
    // What it wrote before it ended.
    fcntl(output, F_SETFL, O_NONBLOCK);
    while (writing && keepOutput(output, said) == Output::More) { }
    return ending;
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// Why a child that ended otherwise than done ended so.
std::string whyEnded(const Ending &ending, const Record &record, double seconds)
{
    if (ending.timedOut)
        return "too costly: the decoder was still at work after " + secondsText(seconds) +
            " s, and was stopped";
    if (WIFSIGNALED(ending.status)) {
        const int signal = WTERMSIG(ending.status);
        if (signal == SIGSYS)
            return "undecodable: the decoder made a system call that the sandbox forbids";
        return std::string("undecodable: the decoder was ended by signal ") +
            std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    const int status = WEXITSTATUS(ending.status);
    if (status == ForbiddenCallExit)
        return "undecodable: the decoder made a system call that the sandbox forbids (" +
            systemCallName(record.forbiddenCall) + ")";
    if (status == UnconfinedExit)
        return "undecodable: the decoder's process could not be confined";
    if (status != 0)
        return "undecodable: the decoder's process exited with status " + std::to_string(status);
    if (record.state == State::Failed && record.reasonLength > 0)
        return printable(std::string(
            record.reason, std::min<std::size_t>(record.reasonLength, sizeof record.reason)));
    return "undecodable";
}

// What the child wrote, one line each on standard error; lines of the
// viewer's own as they are.
void reportOutput(const std::string &path, const std::string &said)
{
    std::size_t start = 0;
    while (start < said.size()) {
        const std::size_t end = std::min(said.find('\n', start), said.size());
        const std::string line = printable(said.substr(start, end - start));
        if (line.rfind("morvastel: ", 0) == 0)
            reportLine(line);
        else if (!line.empty())
            report(path, line);
        start = end + 1;
    }
}

// Done once in the program, so that no child does it again.
bool prepareChildren()
{
    // A child has none of the program's threads: OpenCV's loops must not
    // wait for the workers of a pool the program started.
    cv::setNumThreads(1);
    prepareSystemCallFilter();
    return true;
}

} // namespace

std::string runConfined(const Confinement &confinement, std::size_t resultBytes,
    const ConfinedWork &work, const ResultReader &read)
{
    static const bool prepared = prepareChildren();
    (void)prepared;
    const SharedMemory shared(ResultOffset + resultBytes);
    int fds[2];
    if (!shared.mapped() || pipe2(fds, O_CLOEXEC) != 0)
        return "would not fit in memory: no room to hand the picture back";
    const Descriptor output(fds[0]);
    Descriptor input(fds[1]);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0)
        return "undecodable: no process to decode in can be started";
    if (child == 0)
        runChild(confinement, shared, resultBytes, input.get(), parent, work);
    input.reset();
    std::string said;
    const Ending ending = awaitChild(child, output.get(), confinement.seconds, said);
    reportOutput(confinement.path, said);
    const Record &record = shared.record();
    const bool done = !ending.timedOut && WIFEXITED(ending.status) &&
        WEXITSTATUS(ending.status) == 0 && record.state == State::Done;
    if (!done)
        return whyEnded(ending, record, confinement.seconds);
    if (!read(shared.result(), resultBytes))
        return "undecodable: the decoder handed back a result that cannot be read";
    return {};
}

#else

// Where no child can be made so, the decode runs in the program.
std::string runConfined(const Confinement &, std::size_t resultBytes, const ConfinedWork &work,
    const ResultReader &read)
{
    std::vector<unsigned char> result(resultBytes);
    const std::string failure = work(result.data(), result.size());
    if (failure.empty() && !read(result.data(), result.size()))
        return "undecodable: the decoder handed back a result that cannot be read";
    return failure;
}

#endif
