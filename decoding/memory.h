#pragma once

#include <cstdint>
#include <optional>

// Memory this process may still take before the system refuses it or ends
// it: under a cgroup memory limit (containers, systemd slices; cgroup v2, or
// v1's memory controller), what the tightest limit of its cgroup and their
// parents leaves, less what cannot be reclaimed; and never more than the
// kernel's MemAvailable. Empty where neither can be read.
std::optional<std::uint64_t> availableMemory();

// From now on, new mappings of address space beyond `allowance` bytes more
// than the process has now fail, so that a decoder taking far more than its
// file's model said gets an allocation failure rather than the machine's
// memory. For a process that decodes and ends: nothing lifts it. False where
// it cannot be set; does nothing where address-space limits cannot work:
// Windows, and sanitizer builds, whose shadow memory takes terabytes.
bool capAddressSpace(std::uint64_t allowance);
