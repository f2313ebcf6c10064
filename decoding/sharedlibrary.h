#pragma once

#include <string>

// A shared library opened at its first use and kept until the process ends:
// decoders whose libraries would slow the program's start are loaded so.
class SharedLibrary
{
public:
    SharedLibrary() = default;
    SharedLibrary(const SharedLibrary &) = delete;
    SharedLibrary &operator=(const SharedLibrary &) = delete;

    // Opens the library at `path` (a file, or a name the system looks up),
    // unless it is open already; false, with the system's reason, when it
    // cannot be opened. A later call tries again.
    bool open(const std::string &path, std::string &why);
    bool isOpen() const { return handle != nullptr; }
    // Closes it, so that the next open() opens the file anew: for a library
    // that turned out not to be the one wanted.
    void close();

    // The address of a function the library exports, as that function's type;
    // null, with the system's reason, where it exports none of that name.
    template<typename Function> Function *function(const char *name, std::string &why) const
    {
        return reinterpret_cast<Function *>(address(name, why));
    }

private:
    void *address(const char *name, std::string &why) const;

    void *handle = nullptr;
};
