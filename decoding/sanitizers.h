#pragma once

// Whether this build runs under AddressSanitizer or its kin, whose shadow
// memory takes terabytes of address space and whose runtime catches signals
// of its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVASTEL_SANITIZERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define MORVASTEL_SANITIZERS 1
#endif
#endif
#ifndef MORVASTEL_SANITIZERS
#define MORVASTEL_SANITIZERS 0
#endif
