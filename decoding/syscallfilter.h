#pragma once

#include <cstdint>
#include <string>

// The system calls a decoding child may make, as a seccomp filter (Linux).

// Makes the filter once in the program, so that no child looks up the
// filter library's functions again.
void prepareSystemCallFilter();

// From now on, this process may make only the calls decoders need. Opening
// or looking at the file named `path` is answered with `file`, read from its
// start; no other file can be opened or looked at. Any call outside the list
// is written to `forbiddenCall` and ends the process with `exitStatus`.
// False where the filter cannot be installed.
bool filterSystemCalls(const char *path, int file, std::int32_t *forbiddenCall, int exitStatus);

// The name of a system call, for messages.
std::string systemCallName(int call);
