// Preloaded into a test (LD_PRELOAD), this library makes the real codec
// libraries misbehave when they are asked to decode, as a bug or an exploit
// makes them behave: libjpeg, libpng, libwebp, libde265, dav1d and libtiff.
// MORVASTEL_TEST_FAULT=LIBRARY:FAULT picks the library and the fault:
//   abort      abort()
//   wild       write through a wild pointer
//   wait       wait for ever
//   loop       loop for ever
//   gigabytes  touch several gigabytes
//   file       write a file into $HOME
//   shell      start a shell that writes a file into $HOME
//   sockets    write into every socket the process holds
//   print      write a line to standard output
//   exit       end the process as if all had gone well
//   margin     take 100 MiB more than asked, then decode as usual
// Every fault but the last ends the decode with an abort, if it returns.
// Faults strike only in processes the test starts, where decodes run.
// MORVASTEL_TEST_SWAP=FROM:TO renames FROM over TO just before the next
// process is forked: between the checks of a file and its decode.
// Without them, every call goes to the real library.
#include <dlfcn.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

// The library's own function. Where libheif's codecs are plugins (Debian 13),
// they load their decoder libraries for themselves alone, out of the global
// scope: those are asked by name.
template<typename Function>
Function *real(const char *name, std::initializer_list<const char *> privateLibraries = {})
{
    void *function = dlsym(RTLD_NEXT, name);
    for (const char *library : privateLibraries) {
        if (function)
            break;
        if (void *handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD))
            function = dlsym(handle, name);
    }
    return reinterpret_cast<Function *>(function);
}

std::string inHome(const char *name)
{
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/" + name;
}

void touchGigabytes()
{
    const std::size_t gigabyte = std::size_t {1} << 30;
    for (int i = 0; i < 8; ++i) {
        auto *block = static_cast<char *>(std::malloc(gigabyte));
        if (!block)
            return;
        std::memset(block, 1, gigabyte);
    }
}

void writeIntoSockets()
{
    for (int fd = 0; fd < 1024; ++fd) {
        using FileStatus = struct stat;
        FileStatus status {};
        if (fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode))
            (void)!write(fd, "\xde\xad\xbe\xef", 4);
    }
}

void takeMargin()
{
    const std::size_t size = std::size_t {100} << 20;
    auto *block = static_cast<char *>(std::malloc(size));
    if (!block)
        std::abort();
    std::memset(block, 1, size);
    std::free(block);
}

// The process the library was loaded into: the test, whose own toolkit
// decodes pictures too (the file dialog's icons). Faults strike in the
// processes it starts.
const pid_t Test = getpid();

// Misbehaves as MORVASTEL_TEST_FAULT says, where it names this library.
void misbehave(const char *library)
{
    const char *setting = getpid() == Test ? nullptr : std::getenv("MORVASTEL_TEST_FAULT");
    const std::size_t length = std::strlen(library);
    if (!setting || std::strncmp(setting, library, length) != 0 || setting[length] != ':')
        return;
    const std::string fault = setting + length + 1;
    if (fault == "margin") {
        takeMargin();
        return;
    }
    if (fault == "wild") {
        *reinterpret_cast<volatile int *>(std::uintptr_t {0xdead0000}) = 1;
    } else if (fault == "wait") {
        sem_t never;
        sem_init(&never, 0, 0);
        for (;;)
            sem_wait(&never);
    } else if (fault == "loop") {
        for (volatile unsigned long turn = 0;; turn = turn + 1) { }
    } else if (fault == "gigabytes") {
        touchGigabytes();
    } else if (fault == "file") {
        const int fd = open(inHome("fault-file").c_str(), O_CREAT | O_WRONLY, 0600);
        (void)!write(fd, "hijacked\n", 9);
    } else if (fault == "shell") {
        (void)!std::system("echo hijacked > \"$HOME/shell-file\"");
    } else if (fault == "sockets") {
        writeIntoSockets();
    } else if (fault == "print") {
        std::printf("hijacked output\n");
        std::fflush(stdout);
    } else if (fault == "exit") {
        _exit(0);
    }
    std::abort();
}

} // namespace

// The libraries' own names, which the hooks must have.
// NOLINTBEGIN(readability-identifier-naming)
extern "C" {

// libjpeg
int jpeg_start_decompress(void *info)
{
    misbehave("libjpeg");
    return real<int(void *)>("jpeg_start_decompress")(info);
}

// libpng
void png_read_image(void *png, unsigned char **rows)
{
    misbehave("libpng");
    real<void(void *, unsigned char **)>("png_read_image")(png, rows);
}

// libwebp
int WebPDecode(const std::uint8_t *data, std::size_t size, void *config)
{
    misbehave("libwebp");
    return real<int(const std::uint8_t *, std::size_t, void *)>("WebPDecode")(data, size, config);
}

// libde265, for HEIC
int de265_decode(void *decoder, int *more)
{
    misbehave("libde265");
    return real<int(void *, int *)>("de265_decode", {"libde265.so.0"})(decoder, more);
}

// dav1d, for AVIF
int dav1d_get_picture(void *decoder, void *picture)
{
    misbehave("dav1d");
    return real<int(void *, void *)>("dav1d_get_picture", {"libdav1d.so.7", "libdav1d.so.6"})(
        decoder, picture);
}

// libtiff, as OpenCV reads a picture's strips: through libtiff's RGBA
// interface, or as they are coded
int TIFFReadRGBAStrip(void *tiff, std::uint32_t row, std::uint32_t *raster)
{
    misbehave("libtiff");
    return real<int(void *, std::uint32_t, std::uint32_t *)>("TIFFReadRGBAStrip")(
        tiff, row, raster);
}

std::int64_t TIFFReadEncodedStrip(void *tiff, std::uint32_t strip, void *into, std::int64_t size)
{
    misbehave("libtiff");
    return real<std::int64_t(void *, std::uint32_t, void *, std::int64_t)>("TIFFReadEncodedStrip")(
        tiff, strip, into, size);
}

// The C library's fork, where a file is swapped between its checks and its
// decode.
pid_t fork()
{
    if (const char *swap = std::getenv("MORVASTEL_TEST_SWAP")) {
        const std::string names = swap;
        const std::size_t colon = names.find(':');
        std::rename(names.substr(0, colon).c_str(), names.substr(colon + 1).c_str());
    }
    return real<pid_t()>("fork")();
}

} // extern "C"
// NOLINTEND(readability-identifier-naming)
