#include "decoding/decodedpicture.h"

#include "decoding/decoderequest.h"
#include "decoding/filebytes.h"
#include "decoding/memory.h"
#include "decoding/verdict.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifdef MORVASTEL_CODEC_MODULE
#include "decoding/opencvsettings.h"

#include <dlfcn.h>

#include <cstdlib>
#endif

namespace {

MorvastelDecode decoder = nullptr; // set once the module is loaded

void refuse(const std::string &path, const std::string &why)
{
    std::cerr << "morvastel: " << path << ": " << why << std::endl;
}

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

// A file opened for the checks and kept open until the decoder has read it,
// so that both read the same file whatever happens to its name meanwhile.
class CheckedFile
{
public:
    explicit CheckedFile(const std::string &path)
    {
        // A pipe or a device could block the window for ever, or never end:
        // only regular files are opened, and without waiting.
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(path, error);
        missing = status.type() == std::filesystem::file_type::not_found;
        if (status.type() == std::filesystem::file_type::regular)
            fd = openRegular(path, size);
    }
    ~CheckedFile()
    {
        if (fd >= 0)
            closeFile(fd);
    }
    CheckedFile(const CheckedFile &) = delete;
    CheckedFile &operator=(const CheckedFile &) = delete;

    bool isOpen() const { return fd >= 0; }
    // Why it is not open.
    std::string why() const { return missing ? "no such file" : "not a regular file"; }
    FileBytes bytes() const { return FileBytes::ofFile(fd, size); }

    // Where the decoder reads the same file: through the open descriptor
    // where the system names one.
    std::string pathForDecoder(const std::string &path) const
    {
#ifdef __linux__
        const std::string own = "/proc/self/fd/" + std::to_string(fd);
        std::error_code error;
        if (std::filesystem::exists(own, error))
            return own;
#endif
        return path;
    }

private:
    int fd = -1;
    std::uint64_t size = 0;
    bool missing = false;
};

#ifdef MORVASTEL_CODEC_MODULE
// Beside the program: "../lib/<multiarch triplet>/morvastel/" from its
// folder (where Debian keeps private libraries), in the build tree as where
// it is installed.
std::optional<std::filesystem::path> modulePath()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    return program.parent_path() / MORVASTEL_CODEC_MODULE;
}

// An OpenCV setting that its codecs library could not read while loading.
const char *unreadableSetting()
{
    for (const char *setting : CodecLoadSettings) {
        const char *value = std::getenv(setting);
        if (value && !openCvSizeSetting(value))
            return setting;
    }
    return nullptr;
}

void reportUnloaded(const std::string &why)
{
    std::cerr << "morvastel: cannot load the image codecs: " << why << std::endl;
}
#endif

// Room for the decode beyond what its model expects: decoders keep some
// buffers of their own, and the model is not exact.
std::uint64_t allowanceFor(std::uint64_t expected)
{
    const std::uint64_t margin = std::uint64_t {256} << 20;
    return std::max(2 * expected, expected + margin);
}

} // namespace

DecodedPicture::DecodedPicture(const MorvastelPicture &picture)
    : picture(picture), view(picture.rows, picture.columns, CV_8UC3, picture.pixels, picture.step)
{ }

DecodedPicture::~DecodedPicture()
{
    view.release();
    if (picture.release)
        picture.release(&picture);
}

bool loadCodecModule()
{
    if (decoder)
        return true;
#ifdef MORVASTEL_CODEC_MODULE
    if (const char *setting = unreadableSetting()) {
        reportUnloaded(std::string(setting) + " is not a size OpenCV can read");
        return false;
    }
    const std::optional<std::filesystem::path> path = modulePath();
    if (!path) {
        reportUnloaded("the program's own path is unknown");
        return false;
    }
    void *module = dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        reportUnloaded(dlerror());
        return false;
    }
    void *entry = dlsym(module, "morvastelDecode");
    if (!entry) {
        reportUnloaded(dlerror());
        dlclose(module);
        return false;
    }
    decoder = reinterpret_cast<MorvastelDecode>(entry);
#else
    decoder = morvastelDecode;
#endif
    return true;
}

DecodedPicture decodePicture(const std::string &path)
{
    const CheckedFile file(path);
    if (!file.isOpen()) {
        refuse(path, file.why());
        return {};
    }
    const DecodeLimits limits = DecodeLimits::forThisProcess();
    const Verdict verdict = inspectFile(file.bytes(), limits);
    if (!verdict.refusal.empty()) {
        refuse(path, verdict.refusal);
        return {};
    }
    if (!loadCodecModule())
        return {};

    MorvastelDecodeRequest request;
    request.path = path;
    request.openPath = file.pathForDecoder(path);
    request.format = verdict.format;
    request.mend = verdict.inspection.mend;
    const Inspection &inspection = verdict.inspection;
    request.largestSide = inspection.largestSide != 0
        ? inspection.largestSide
        : std::max(inspection.width, inspection.height);
    request.pixelLimit = verdict.inspection.pixelLimit.value_or(limits.pixels);

    MorvastelPicture picture {};
    int decoded = 0;
    {
        // A decoder that takes far more than its model said fails its
        // allocation rather than taking the machine's memory.
        const AddressSpaceCeiling ceiling(allowanceFor(verdict.inspection.memory));
        decoded = decoder(&request, &picture);
    }
    if (!decoded)
        return {};
    return DecodedPicture(picture);
}
