#include "decoding/filebytes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#endif

namespace {

constexpr std::size_t FirstPiece = std::size_t {4} * 1024;
constexpr std::size_t LargestPiece = std::size_t {64} * 1024;

// pread where there is one; elsewhere the file is read through a seek.
long long readFd(int fd, char *into, std::size_t length, std::uint64_t offset)
{
#ifndef _WIN32
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return -1;
    for (;;) {
        const ssize_t got = ::pread(fd, into, length, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
#else
    if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0)
        return -1;
    return _read(fd, into, static_cast<unsigned>(std::min<std::size_t>(length, 1 << 30)));
#endif
}

} // namespace

FileBytes FileBytes::ofFile(int fd, std::uint64_t size)
{
    FileBytes bytes;
    bytes.fd = fd;
    bytes.total = size;
    bytes.first = bytes.read(0, StartLength);
    return bytes;
}

FileBytes FileBytes::ofMemory(std::string_view memory)
{
    FileBytes bytes;
    bytes.memory = memory;
    bytes.total = memory.size();
    bytes.first = std::string(memory.substr(0, StartLength));
    return bytes;
}

std::string_view FileBytes::held(std::uint64_t offset, std::uint64_t length) const
{
    const std::string_view inMemory = fd < 0 ? memory : std::string_view(first);
    if (offset >= inMemory.size())
        return {};
    return inMemory.substr(static_cast<std::size_t>(offset),
        static_cast<std::size_t>(std::min<std::uint64_t>(length, inMemory.size() - offset)));
}

std::string FileBytes::read(std::uint64_t offset, std::size_t length) const
{
    if (offset >= total)
        return {};
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, total - offset));
    const std::string_view inMemory = held(offset, length);
    if (inMemory.size() == length)
        return std::string(inMemory);
    std::string bytes(length, '\0');
    bytes.resize(readInto(offset, bytes.data(), length));
    return bytes;
}

std::size_t FileBytes::readInto(std::uint64_t offset, char *into, std::size_t length) const
{
    if (offset >= total)
        return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, total - offset));
    const std::string_view inMemory = held(offset, length);
    if (inMemory.size() == length) {
        std::memcpy(into, inMemory.data(), length);
        return length;
    }
    std::size_t filled = 0;
    while (filled < length) {
        const long long got = readFd(fd, into + filled, length - filled, offset + filled);
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

ByteReader::ByteReader(const FileBytes &file, std::uint64_t begin, std::uint64_t end) : file(file)
{
    moveTo(begin, end);
}

void ByteReader::moveTo(std::uint64_t begin, std::uint64_t rangeEnd)
{
    end = std::min(rangeEnd, file.size());
    begin = std::min(begin, end);
    if (data && begin >= bufferAt && begin - bufferAt <= filled) {
        position = static_cast<std::size_t>(begin - bufferAt);
        return;
    }
    bufferAt = begin;
    data = nullptr;
    filled = 0;
    position = 0;
    piece = FirstPiece;
}

// Reads on from where the range has got to, into the buffer or where the
// bytes already are.
bool ByteReader::refill()
{
    const std::uint64_t from = offset();
    if (from >= end)
        return false;
    bufferAt = from;
    position = 0;
    filled = 0;
    const std::string_view inMemory = file.held(from, file.size() - from);
    if (!inMemory.empty()) {
        data = inMemory.data();
        filled = inMemory.size();
        return true;
    }
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece, file.size() - from));
    if (bufferSize < length) {
        // Sized by what is read, and never filled with anything but the file.
        bufferSize = static_cast<std::size_t>(
            std::min<std::uint64_t>(std::max(length, bufferSize * 2), LargestPiece));
        buffer.reset(new char[bufferSize]);
    }
    filled = file.readInto(from, buffer.get(), length);
    data = buffer.get();
    piece = std::min(2 * piece, LargestPiece);
    return filled > 0;
}

int ByteReader::next()
{
    if (position >= usable() && !refill())
        return -1;
    return static_cast<unsigned char>(data[position++]);
}

bool ByteReader::skip(std::uint64_t count)
{
    const std::uint64_t left = end - std::min(offset(), end);
    if (count > left) {
        moveTo(end, end);
        return false;
    }
    // Within what is buffered, or past it without reading what lies between.
    moveTo(offset() + count, end);
    return true;
}

bool ByteReader::take(std::size_t count, std::string &out)
{
    out.clear();
    while (out.size() < count) {
        if (position >= usable() && !refill())
            return false;
        const std::size_t step = std::min(count - out.size(), usable() - position);
        out.append(data + position, step);
        position += step;
    }
    return true;
}

bool ByteReader::skipPast(unsigned char value)
{
    for (;;) {
        const std::size_t limit = usable();
        const void *found =
            position < limit ? std::memchr(data + position, value, limit - position) : nullptr;
        if (found) {
            position = static_cast<std::size_t>(static_cast<const char *>(found) - data) + 1;
            return true;
        }
        position = std::max(position, limit);
        if (!refill())
            return false;
    }
}

bool ByteReader::startsWith(std::string_view bytes)
{
    if (position >= usable() && !refill())
        return bytes.empty();
    if (usable() - position >= bytes.size())
        return std::memcmp(data + position, bytes.data(), bytes.size()) == 0;
    const std::uint64_t at = offset();
    std::string read;
    const bool same = take(bytes.size(), read) && read == bytes;
    moveTo(at, end);
    return same;
}
