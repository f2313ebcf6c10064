#include "decoding/checkedfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void closeFile(int fd)
{
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
}

// Opens a regular file for reading without waiting, and gives its size;
// -1 when it cannot, or it is no regular file once open.
int openRegular(const std::string &path, std::uint64_t &size)
{
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
    if (fd < 0)
        return -1;
    using FileStatus = struct stat;
    FileStatus opened {};
    if (fstat(fd, &opened) == 0 && (opened.st_mode & S_IFMT) == S_IFREG) {
        size = static_cast<std::uint64_t>(opened.st_size);
        return fd;
    }
    closeFile(fd);
    return -1;
}

} // namespace

CheckedFile::CheckedFile(const std::string &path)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    missing = status.type() == std::filesystem::file_type::not_found;
    if (status.type() == std::filesystem::file_type::regular)
        fd = openRegular(path, size);
}

CheckedFile::~CheckedFile()
{
    if (fd >= 0)
        closeFile(fd);
}

std::string CheckedFile::pathForDecoder(const std::string &path) const
{
#ifdef __linux__
    const std::string own = "/proc/self/fd/" + std::to_string(fd);
    std::error_code error;
    if (std::filesystem::exists(own, error))
        return own;
#endif
    return path;
}
