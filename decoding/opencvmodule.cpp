#include "decoding/opencvmodule.h"

#include "decoding/opencvcodecs.h"

#ifdef MORVASTEL_OPENCV_MODULE
#include "decoding/opencvsettings.h"
#include "decoding/sharedlibrary.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#endif

namespace {

const OpenCvCodecs *codecs = nullptr; // set once the module is loaded

class OpenCvCodec : public Codec
{
public:
    cv::Mat decode(const std::vector<uchar> &file) const override { return codecs->decode(file); }
};

#ifdef MORVASTEL_OPENCV_MODULE
// Beside the program: "../lib/<multiarch triplet>/morvastel/" from its
// folder (where Debian keeps private libraries), in the build tree as where
// it is installed.
std::optional<std::filesystem::path> modulePath()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    return program.parent_path() / MORVASTEL_OPENCV_MODULE;
}

// An OpenCV setting that its codecs library could not read while loading:
// it would end the process there.
const char *unreadableSetting()
{
    for (const char *setting : CodecLoadSettings) {
        const char *value = std::getenv(setting);
        if (value && !openCvSizeSetting(value))
            return setting;
    }
    return nullptr;
}

bool loadModule(std::string &why)
{
    if (const char *setting = unreadableSetting()) {
        why = std::string(setting) + " is not a size OpenCV can read";
        return false;
    }
    const std::optional<std::filesystem::path> path = modulePath();
    if (!path) {
        why = "the program's own path is unknown";
        return false;
    }
    static SharedLibrary module;
    if (!module.open(path->string(), why))
        return false;
    const auto entry = module.function<const OpenCvCodecs *()>("morvastelOpenCvCodecs", why);
    if (!entry) {
        module.close();
        return false;
    }
    codecs = entry();
    return true;
}
#else
// Where the codecs are linked in (Windows: one OpenCV library, without GDAL).
bool loadModule(std::string &)
{
    codecs = morvastelOpenCvCodecs();
    return true;
}
#endif

} // namespace

bool loadOpenCv(const Assessment &, std::string &why)
{
    if (codecs)
        return true;
    std::string reason;
    if (loadModule(reason))
        return true;
    why = "cannot load OpenCV's image codecs: " + reason;
    return false;
}

Decoded decodeWithOpenCv(const DecodeRequest &request)
{
    Decoded decoded;
    decoded.image = codecs->read(request.openPath, decoded.failure);
    return decoded;
}

const Codec &openCvCodec()
{
    static const OpenCvCodec codec;
    return codec;
}
