#pragma once

#include <cstdint>
#include <optional>

// Memory this process may still take before the system refuses it or ends
// it: under a cgroup memory limit (containers, systemd slices; cgroup v2, or
// v1's memory controller), what the tightest limit of its cgroup and their
// parents leaves, less what cannot be reclaimed; and never more than the
// kernel's MemAvailable. Empty where neither can be read.
std::optional<std::uint64_t> availableMemory();

// While it lives, new mappings of address space beyond `allowance` bytes
// more than the process has now fail, so a decoder that takes far more than
// its file's model said gets an allocation failure rather than the machine's
// memory. Does nothing where address-space limits do not exist or cannot
// work: Windows, and sanitizer builds, whose shadow memory takes terabytes.
class AddressSpaceCeiling
{
public:
    explicit AddressSpaceCeiling(std::uint64_t allowance);
    ~AddressSpaceCeiling();
    AddressSpaceCeiling(const AddressSpaceCeiling &) = delete;
    AddressSpaceCeiling &operator=(const AddressSpaceCeiling &) = delete;

    // Whether a ceiling is in place.
    bool active() const { return set; }

private:
    bool set = false;
    [[maybe_unused]] std::uint64_t previousSoft = 0; // where the ceiling cannot be set, unused
};
