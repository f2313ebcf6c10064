#include "decoding/memory.h"

#include "decoding/sanitizers.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::optional<std::uint64_t> numberIn(const std::string &path)
{
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (!(in >> value))
        return std::nullopt;
    return value;
}

// A "name value" line of a file such as memory.stat or /proc/meminfo.
std::optional<std::uint64_t> field(const std::string &path, const std::string &name)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        std::uint64_t value = 0;
        if (words >> key >> value && (key == name || key == name + ":"))
            return value;
    }
    return std::nullopt;
}

// Where a cgroup hierarchy keeps its memory figures.
struct Hierarchy
{
    const char *controller; // as /proc/self/cgroup names it; "" for cgroup v2
    const char *mount;
    const char *limit;
    const char *usage;
    const char *inactive; // in memory.stat
};

// cgroup v2, and cgroup v1's memory controller, which older systems mount.
constexpr Hierarchy Hierarchies[] = {
    {"", "/sys/fs/cgroup", "memory.max", "memory.current", "inactive_file"},
    {"memory", "/sys/fs/cgroup/memory", "memory.limit_in_bytes", "memory.usage_in_bytes",
        "total_inactive_file"},
};

// The process's path in a hierarchy, from its line of /proc/self/cgroup:
// "0::/path" for cgroup v2, "N:memory,...:/path" for v1.
std::optional<std::string> cgroupPath(const Hierarchy &hierarchy)
{
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const bool isV2 = line.compare(0, first, "0") == 0 && second == first + 1;
        const bool matches = *hierarchy.controller == '\0'
            ? isV2
            : controllers.find(std::string(",") + hierarchy.controller + ",") != std::string::npos;
        if (matches)
            return line.substr(second + 1);
    }
    return std::nullopt;
}

// The tightest limit of the process's cgroup and its parents, less what is
// used and cannot be reclaimed. Limits of 2^62 and more mean none.
std::optional<std::uint64_t> cgroupAvailable(const Hierarchy &hierarchy)
{
    const std::optional<std::string> path = cgroupPath(hierarchy);
    if (!path)
        return std::nullopt;
    std::optional<std::uint64_t> available;
    std::string group = *path;
    for (;;) {
        const std::string folder = hierarchy.mount + group;
        // "max" reads as no number: no limit at this level.
        const std::optional<std::uint64_t> limit = numberIn(folder + "/" + hierarchy.limit);
        const std::optional<std::uint64_t> used = numberIn(folder + "/" + hierarchy.usage);
        if (limit && used && *limit < std::uint64_t {1} << 62) {
            // Inactive page cache is given back before anything is refused.
            const std::uint64_t reclaimable =
                field(folder + "/memory.stat", hierarchy.inactive).value_or(0);
            const std::uint64_t held = *used > reclaimable ? *used - reclaimable : 0;
            const std::uint64_t left = *limit > held ? *limit - held : 0;
            available = std::min(available.value_or(left), left);
        }
        if (group.empty() || group == "/")
            break;
        group = group.substr(0, group.find_last_of('/'));
    }
    return available;
}

} // namespace

std::optional<std::uint64_t> availableMemory()
{
    std::optional<std::uint64_t> available;
    for (const Hierarchy &hierarchy : Hierarchies) {
        if (const std::optional<std::uint64_t> left = cgroupAvailable(hierarchy))
            available = std::min(available.value_or(*left), *left);
    }
    if (const std::optional<std::uint64_t> kib = field("/proc/meminfo", "MemAvailable"))
        available = std::min(available.value_or(*kib * 1024), *kib * 1024);
    return available;
}

#if defined(__linux__) && !MORVASTEL_SANITIZERS

namespace {

// The address space the process has mapped now, from /proc/self/statm.
std::optional<std::uint64_t> mappedNow()
{
    const std::optional<std::uint64_t> pages = numberIn("/proc/self/statm");
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!pages || pageSize <= 0)
        return std::nullopt;
    return *pages * static_cast<std::uint64_t>(pageSize);
}

} // namespace

bool capAddressSpace(std::uint64_t allowance)
{
    rlimit limit {};
    const std::optional<std::uint64_t> mapped = mappedNow();
    if (!mapped || getrlimit(RLIMIT_AS, &limit) != 0)
        return false;
    const std::uint64_t ceiling = *mapped + std::min(allowance, ~std::uint64_t {0} - *mapped);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= ceiling)
        return true; // a tighter ceiling is there already
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY ? ceiling : std::min<rlim_t>(ceiling, limit.rlim_max);
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

#else

bool capAddressSpace(std::uint64_t)
{
    return true;
}

#endif
