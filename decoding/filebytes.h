#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The bytes of one file as the checks read them: an open regular file, read
// with pread so that nothing else moves its offset, or bytes in memory. Its
// start is read once, when it is made, and every later read that falls inside
// it is served from that copy; the rest is read on demand.
class FileBytes
{
public:
    // Enough for every decoder's signature (OpenCV reads 161 bytes, 500 with
    // AVIF) and for the fixed headers behind them.
    static constexpr std::size_t StartLength = 4096;

    // The file open at `fd`, which stays the caller's.
    static FileBytes ofFile(int fd, std::uint64_t size);
    // Bytes in memory, which must outlive this object.
    static FileBytes ofMemory(std::string_view bytes);

    std::uint64_t size() const { return total; }
    std::string_view start() const { return first; }

    // Up to `length` bytes from `offset` on: fewer at the end of the file or
    // where it cannot be read.
    std::string read(std::uint64_t offset, std::size_t length) const;
    // The same into `into`; returns how many bytes it holds.
    std::size_t readInto(std::uint64_t offset, char *into, std::size_t length) const;
    // The bytes from `offset` on that are already in memory, at most `length`
    // of them: none where they would have to be read.
    std::string_view held(std::uint64_t offset, std::uint64_t length) const;

private:
    FileBytes() = default;

    int fd = -1;
    std::string_view memory;
    std::uint64_t total = 0;
    std::string first;
};

// Reads a range of a file front to back: the JPEG marker walk, chunk walks
// and the like. Bytes already in memory are read where they are; the rest in
// pieces that grow from 4 KiB to 64 KiB as reading goes on, and start small
// again after a skip, so that walking headers across a large file reads
// little of it. A piece may run past the range's end, within the file: a
// reader moved to the next range (the next tile of a TIFF) finds it already
// read. Its buffer is no larger than the pieces it reads, and filled with
// nothing but the file.
class ByteReader
{
public:
    ByteReader(const FileBytes &file, std::uint64_t begin, std::uint64_t end);

    // Reads [begin, end) from now on, keeping what is buffered.
    void moveTo(std::uint64_t begin, std::uint64_t end);

    // The next byte, or -1 at the end.
    int next();
    // Moves on `count` bytes; false when the range ends first.
    bool skip(std::uint64_t count);
    // The next `count` bytes; false, with what there was, when the range ends first.
    bool take(std::size_t count, std::string &out);
    // Moves to the next byte equal to `value` (memchr's pace) and past it;
    // false at the end.
    bool skipPast(unsigned char value);
    // Whether the next bytes are these; reads nothing past them, and stays
    // where it is.
    bool startsWith(std::string_view bytes);

    // Where the next byte comes from, from the start of the file.
    std::uint64_t offset() const { return bufferAt + position; }
    std::uint64_t fileSize() const { return file.size(); }

private:
    // How many of the buffered bytes lie in the range.
    std::size_t usable() const
    {
        return end <= bufferAt
            ? 0
            : static_cast<std::size_t>(std::min<std::uint64_t>(filled, end - bufferAt));
    }
    bool refill();

    const FileBytes &file;
    std::uint64_t end = 0;
    std::uint64_t bufferAt = 0; // where the bytes in `data` begin
    const char *data = nullptr;
    std::size_t filled = 0;
    std::size_t position = 0;
    std::size_t piece = 0;
    std::unique_ptr<char[]> buffer;
    std::size_t bufferSize = 0;
};
