#include "decoding/decodedpicture.h"

#include <iostream>

#ifdef MORVASTEL_CODEC_MODULE
#include "decoding/opencvsettings.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#endif

namespace {

MorvastelDecodePicture decoder = nullptr; // set once the module is loaded

#ifdef MORVASTEL_CODEC_MODULE
// Beside the program: "../lib/morvastel/" from its folder, in the build tree
// as where it is installed.
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
    void *entry = dlsym(module, "morvastelDecodePicture");
    if (!entry) {
        reportUnloaded(dlerror());
        dlclose(module);
        return false;
    }
    decoder = reinterpret_cast<MorvastelDecodePicture>(entry);
#else
    decoder = morvastelDecodePicture;
#endif
    return true;
}

DecodedPicture decodePicture(const std::string &path)
{
    MorvastelPicture picture {};
    if (!loadCodecModule() || !decoder(path.c_str(), &picture))
        return {};
    return DecodedPicture(picture);
}
