#include "decoding/heifdecoder.h"

#include <iostream>

#if __has_include(<libheif/heif.h>)
#include <libheif/heif.h>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <memory>
#include <mutex>

namespace {

struct ContextFree
{
    void operator()(heif_context *context) const { heif_context_free(context); }
};
struct HandleRelease
{
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease
{
    void operator()(heif_image *image) const { heif_image_release(image); }
};
struct OptionsFree
{
    void operator()(heif_decoding_options *options) const { heif_decoding_options_free(options); }
};

bool succeeded(const heif_error &error)
{
    if (error.code == heif_error_Ok)
        return true;
    std::cerr << "libheif: " << (error.message ? error.message : "error") << std::endl;
    return false;
}

} // namespace

cv::Mat decodeHeif(const std::string &path, std::uint64_t largestSide)
{
    // Where the codecs are plugins (libheif 1.16 and later), this loads them.
    static std::once_flag initialised;
    std::call_once(initialised, [] { heif_init(nullptr); });

    const std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context)
        return {};
    heif_context_set_maximum_image_size_limit(
        context.get(), static_cast<int>(std::min<std::uint64_t>(largestSide, INT_MAX)));
    if (!succeeded(heif_context_read_from_file(context.get(), path.c_str(), nullptr)))
        return {};
    heif_image_handle *primary = nullptr;
    if (!succeeded(heif_context_get_primary_image_handle(context.get(), &primary)))
        return {};
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(primary);

    const std::unique_ptr<heif_decoding_options, OptionsFree> options(
        heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    heif_image *decoded = nullptr;
    if (!succeeded(heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
            heif_chroma_interleaved_RGB, options.get())))
        return {};
    const std::unique_ptr<heif_image, ImageRelease> image(decoded);
    int stride = 0;
    const std::uint8_t *pixels =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0)
        return {};
    const cv::Mat rgb(height, width, CV_8UC3, const_cast<std::uint8_t *>(pixels),
        static_cast<std::size_t>(stride));
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

#else

cv::Mat decodeHeif(const std::string &path, std::uint64_t)
{
    std::cerr << "morvastel: " << path << ": this build has no HEIF decoder (libheif)" << std::endl;
    return {};
}

#endif
