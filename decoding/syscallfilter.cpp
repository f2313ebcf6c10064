// The system calls a decoding child may make (see sandbox.cpp), as a seccomp
// filter: those decoders need to read the file they have, map memory, start,
// run and end threads of their own, keep time, name their threads, signal
// themselves, write their output and exit; none that opens, creates or
// removes a file, makes a socket, starts a process or runs a program. Any
// other call traps, and the trap's handler answers the few that concern the
// checked file (opening it by its name, looking at it) from its descriptor,
// and ends the process on every other.
#include "decoding/syscallfilter.h"

#include "decoding/descriptor.h"
#include "decoding/sanitizers.h"

#include <seccomp.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

// What the handler of forbidden calls needs: the one file it answers opens
// of, by its one name, and where it says which call was stopped.
struct Broker
{
    int file = -1;
    const char *path = nullptr;
    std::int32_t *forbiddenCall = nullptr;
    int exitStatus = 1;
};
Broker broker;

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
    *broker.forbiddenCall = info->si_syscall;
    _exit(broker.exitStatus);
}

// Allowed whatever their arguments.
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

} // namespace

void prepareSystemCallFilter()
{
    // Built and written out once, here, its library does not look its own
    // functions up again in every child.
    const Descriptor nowhere(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const Filter filter = buildFilter();
    if (filter && nowhere.get() >= 0)
        seccomp_export_bpf(filter.get(), nowhere.get());
}

bool filterSystemCalls(const char *path, int file, std::int32_t *forbiddenCall, int exitStatus)
{
    broker = {file, path, forbiddenCall, exitStatus};
    using SignalAction = struct sigaction;
    SignalAction action {};
    action.sa_sigaction = onForbiddenCall;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    const Filter filter = buildFilter();
    return filter && sigaction(SIGSYS, &action, nullptr) == 0 && seccomp_load(filter.get()) == 0;
}

std::string systemCallName(int call)
{
    const std::unique_ptr<char, void (*)(void *)> name(
        seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, call), std::free);
    return name ? name.get() : std::to_string(call);
}
