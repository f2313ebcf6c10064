#pragma once

#include <unistd.h>

// A POSIX file descriptor, closed with its owner.
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
