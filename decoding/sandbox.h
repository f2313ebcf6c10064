#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// A decode that runs apart from the program. On Linux it runs in a child
// process made for it alone, which can read the one checked file, write its
// result and say why it failed, and nothing else: no other file, no socket,
// no process, no program. It is ended at its deadline, and can take no more
// address space than it is allowed. Elsewhere it runs in the program itself.
struct Confinement
{
    const std::string &path; // as the user chose it, for messages
    int file; // the checked file, open for reading
    const std::string &openPath; // the name its decoder opens it by
    std::uint64_t memory; // address space it may take beyond what it starts with
    double seconds; // how long it may take
};

// The confined work: writes its result, at most `bytes` of it, and returns ""
// when it is done, or why not. It may throw.
using ConfinedWork = std::function<std::string(unsigned char *result, std::size_t bytes)>;
// Reads, in the program, the result of work that was done; false where it
// cannot.
using ResultReader = std::function<bool(const unsigned char *result, std::size_t bytes)>;

// Runs the work confined and hands its result to `read`: "" when the work was
// done, else why not, however it ended. What the work writes on standard
// output or error reaches the program's standard error, one
// "morvastel: PATH: ..." line each.
std::string runConfined(const Confinement &confinement, std::size_t resultBytes,
    const ConfinedWork &work, const ResultReader &read);
