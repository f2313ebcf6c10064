#pragma once

#include "decoding/filebytes.h"

#include <cstdint>
#include <string>

// A file opened for the checks and kept open until the decoder has read it,
// so that both read the same file whatever happens to its name meanwhile.
// Only regular files (after symlinks) are opened, and without waiting: a
// pipe or a device could block the window for ever, or never end.
class CheckedFile
{
public:
    explicit CheckedFile(const std::string &path);
    ~CheckedFile();
    CheckedFile(const CheckedFile &) = delete;
    CheckedFile &operator=(const CheckedFile &) = delete;

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }
    // Why it is not open.
    std::string why() const { return missing ? "no such file" : "not a regular file"; }
    FileBytes bytes() const { return FileBytes::ofFile(fd, size); }

    // Where the decoder reads the same file: through the open descriptor
    // where the system names one.
    std::string pathForDecoder(const std::string &path) const;

private:
    int fd = -1;
    std::uint64_t size = 0;
    bool missing = false;
};
