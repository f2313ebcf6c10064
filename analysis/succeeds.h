#pragma once

#include <exception>

// Runs work (which returns whether it succeeded) and reports false when it
// throws instead: the slots run inside Qt's event loop, which no exception may
// reach.
template<typename Work> bool succeeds(Work &&work) noexcept
{
    try {
        return work();
    } catch (const std::exception &) {
        return false;
    }
}
