// Each decode runs in a child process made with fork() for that one file, as
// image loaders trusted with hostile files run theirs: a codec library that a
// crafted file crashes, hangs or hijacks takes only the child with it. Before
// it reads the file the child keeps no descriptor but the file and its
// output, can gain no privilege, writes no file and no core, outlives no
// parent, takes no more address space than it is allowed, and installs a
// seccomp filter: the calls decoders need to read, map memory, run threads
// of their own and write their output, and none that opens, creates or
// removes a file, makes a socket, starts a process or runs a program. Opening
// the checked file by its name is answered with the checked file itself. The
// result comes back through memory shared before the fork, and is believed
// only from a child that exited normally and said it was done.
#include "decoding/sandbox.h"

#include "decoding/report.h"

#if MORVASTEL_SANDBOX
#include "decoding/memory.h"
#include "decoding/sanitizers.h"

#include <opencv2/core/utility.hpp>
#include <seccomp.h>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
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

class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd(fd) { }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd; }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd;
};

// --- In the child ---------------------------------------------------------

// What the handler of forbidden calls needs: the one file it answers opens
// of, by its one name, and where it says which call was stopped.
struct Broker
{
    int file = -1;
    const char *path = nullptr;
    Record *record = nullptr;
};
Broker broker;

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

// The checked file on 3, the output channel on 1 and 2, nothing else: the
// display connection, the program's own output and every other descriptor
// stay the program's.
bool keepOnly(int file, int output)
{
    const int movedFile = fcntl(file, F_DUPFD, 10);
    const int movedOutput = fcntl(output, F_DUPFD, 10);
    if (movedFile < 0 || movedOutput < 0 || dup2(movedOutput, STDOUT_FILENO) < 0 ||
        dup2(movedOutput, STDERR_FILENO) < 0 || dup2(movedFile, 3) < 0)
        return false;
    close(STDIN_FILENO);
    closeFrom(4);
    broker.file = 3;
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

#if defined(__x86_64__)
greg_t &callResult(ucontext_t &machine)
{
    return machine.uc_mcontext.gregs[REG_RAX];
}
// The registers a system call's arguments come in.
constexpr int ArgumentRegisters[] = {REG_RDI, REG_RSI, REG_RDX, REG_R10, REG_R8, REG_R9};
std::uint64_t callArgument(const ucontext_t &machine, int index)
{
    return static_cast<std::uint64_t>(machine.uc_mcontext.gregs[ArgumentRegisters[index]]);
}
#define MORVASTEL_BROKER 1
#elif defined(__aarch64__)
unsigned long long &callResult(ucontext_t &machine)
{
    return machine.uc_mcontext.regs[0];
}
std::uint64_t callArgument(const ucontext_t &machine, int index)
{
    return machine.uc_mcontext.regs[index];
}
#define MORVASTEL_BROKER 1
#endif

#ifdef MORVASTEL_BROKER
// An open of the checked file by its name, to read it: a descriptor of it,
// read from its start. Any other file cannot be opened.
long openChecked(const char *path, std::uint64_t flags)
{
    const std::uint64_t changes = O_CREAT | O_TRUNC | O_APPEND | O_TMPFILE;
    if (!path || std::strcmp(path, broker.path) != 0 || (flags & O_ACCMODE) != O_RDONLY ||
        (flags & changes) != 0)
        return -EACCES;
    const int fd = fcntl(broker.file, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A look at the checked file, by its descriptor or its name; no other file
// may be looked at.
long statChecked(long directory, const char *path, std::uint64_t into, std::uint64_t flags)
{
    auto *status = reinterpret_cast<struct stat *>(static_cast<std::uintptr_t>(into));
    long fd = -1;
    if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0)
        fd = directory;
    else if (path && std::strcmp(path, broker.path) == 0)
        fd = broker.file;
    else
        return -EACCES;
    return syscall(SYS_fstat, fd, status) == 0 ? 0 : -errno;
}

long accessChecked(const char *path)
{
    return path && std::strcmp(path, broker.path) == 0 ? 0 : -EACCES;
}

// The calls the handler answers itself, as the kernel would for a process
// that can see the checked file alone; false for every other.
bool answer(long call, ucontext_t &machine)
{
    const auto argument = [&machine](int index) { return callArgument(machine, index); };
    const auto pathIn = [&argument](int index) {
        return reinterpret_cast<const char *>(static_cast<std::uintptr_t>(argument(index)));
    };
    const auto directory = static_cast<long>(static_cast<int>(argument(0)));
    long result = 0;
    if (call == SYS_openat)
        result = openChecked(pathIn(1), argument(2));
    else if (call == SYS_newfstatat)
        result = statChecked(directory, pathIn(1), argument(2), argument(3));
    else if (call == SYS_faccessat || call == SYS_faccessat2)
        result = accessChecked(pathIn(1));
    else if (call == SYS_statx)
        result = -ENOSYS; // callers fall back on fstatat
#ifdef SYS_open
    else if (call == SYS_open)
        result = openChecked(pathIn(0), argument(1));
    else if (call == SYS_stat)
        result = statChecked(AT_FDCWD, pathIn(0), argument(1), 0);
    else if (call == SYS_access)
        result = accessChecked(pathIn(0));
#endif
    else
        return false;
    callResult(machine) =
        static_cast<std::remove_reference_t<decltype(callResult(machine))>>(result);
    return true;
}
#else
bool answer(long, ucontext_t &)
{
    return false;
}
#endif

// The filter's answer to every call outside its list: the broker's calls
// are answered, any other ends the child.
void onForbiddenCall(int, siginfo_t *info, void *context)
{
    if (answer(info->si_syscall, *static_cast<ucontext_t *>(context)))
        return;
    broker.record->forbiddenCall = info->si_syscall;
    _exit(ForbiddenCallExit);
}

// Signals as a new process has them: none held back (the program holds
// SIGPIPE back while it loads), none caught but by the sanitizers' runtime,
// whose reports are worth having.
void plainSignals()
{
#if !MORVASTEL_SANITIZERS
    struct sigaction plain
    { };
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &plain, nullptr); // SIGKILL and SIGSTOP refuse, as they should
#endif
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool trapForbiddenCalls(const Confinement &confinement, Record &record)
{
    plainSignals();
    broker.path = confinement.openPath.c_str();
    broker.record = &record;
    struct sigaction action
    { };
    action.sa_sigaction = onForbiddenCall;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGSYS, &action, nullptr) == 0;
}

// What decoders may do: read the file they have, map memory, start, run and
// end threads of their own, keep time, write their output and exit.
constexpr int AllowedCalls[] = {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64),
    SCMP_SYS(preadv), SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(fcntl),
    SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect), SCMP_SYS(brk),
    SCMP_SYS(madvise), SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq),
    SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(getpid), SCMP_SYS(gettid),
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
    SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack),
    SCMP_SYS(restart_syscall), SCMP_SYS(getrandom), SCMP_SYS(exit), SCMP_SYS(exit_group)};

// The sanitizers' runtime tells whether memory can be read by writing it
// into a pipe of its own: sanitizer builds let the child make pipes and
// write anywhere.
bool allowSanitizerCalls(scmp_filter_ctx filter)
{
    for (const int call : {SCMP_SYS(pipe2), SCMP_SYS(write)}) {
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    }
    return true;
}

bool allowCalls(scmp_filter_ctx filter)
{
    const auto allow = [filter](int call, unsigned count, const scmp_arg_cmp *conditions) {
        return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, count, conditions) == 0;
    };
    for (const int call : AllowedCalls) {
        if (!allow(call, 0, nullptr))
            return false;
    }
    // Output on standard output and error only; threads, never processes
    // (clone3's flags cannot be read, so the C library falls back to clone);
    // signals to itself; its limits read, never changed; its threads named.
    const scmp_arg_cmp toStdout[] = {SCMP_A0(SCMP_CMP_EQ, STDOUT_FILENO)};
    const scmp_arg_cmp toStderr[] = {SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO)};
    const scmp_arg_cmp thread[] = {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)};
    const scmp_arg_cmp itself[] = {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid()))};
    const scmp_arg_cmp readLimits[] = {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)};
    const scmp_arg_cmp nameThread[] = {SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)};
    if (MORVASTEL_SANITIZERS && !allowSanitizerCalls(filter))
        return false;
    return allow(SCMP_SYS(write), 1, toStdout) && allow(SCMP_SYS(write), 1, toStderr) &&
        allow(SCMP_SYS(writev), 1, toStdout) && allow(SCMP_SYS(writev), 1, toStderr) &&
        allow(SCMP_SYS(clone), 1, thread) && allow(SCMP_SYS(tgkill), 1, itself) &&
        allow(SCMP_SYS(prlimit64), 2, readLimits) && allow(SCMP_SYS(prctl), 1, nameThread) &&
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
}

using Filter = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

// Empty where it cannot be built.
Filter buildFilter()
{
    Filter filter(seccomp_init(SCMP_ACT_TRAP), seccomp_release);
    if (!filter ||
        seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) != 0 ||
        !allowCalls(filter.get()))
        return Filter(nullptr, seccomp_release);
    return filter;
}

bool filterCalls()
{
    const Filter filter = buildFilter();
    return filter && seccomp_load(filter.get()) == 0;
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
    return keepOnly(confinement.file, output) && lockDown(parent) && oneArena() &&
        capAddressSpace(confinement.memory) && trapForbiddenCalls(confinement, record) &&
        filterCalls();
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

std::string callName(int call)
{
    const std::unique_ptr<char, void (*)(void *)> name(
        seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, call), std::free);
    return name ? name.get() : std::to_string(call);
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
            callName(record.forbiddenCall) + ")";
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
    // The filter's library finds its own functions at their first call:
    // built and written out once here, it does not look them up in every
    // child.
    const Descriptor nowhere(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const Filter filter = buildFilter();
    if (filter && nowhere.get() >= 0)
        seccomp_export_bpf(filter.get(), nowhere.get());
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
