#include "support/libheifdecode.h"

#include <libheif/heif.h>
#include <opencv2/imgproc.hpp>

#include <memory>

cv::Mat libheifDecode(const std::string &path)
{
    heif_init(nullptr);
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
        heif_context_alloc(), heif_context_free);
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    heif_decoding_options *options = heif_decoding_options_alloc();
    options->convert_hdr_to_8bit = 1;
    cv::Mat bgr;
    if (heif_context_read_from_file(context.get(), path.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context.get(), &handle).code == heif_error_Ok &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options)
                .code == heif_error_Ok) {
        int stride = 0;
        const std::uint8_t *pixels =
            heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const cv::Mat rgb(heif_image_get_height(image, heif_channel_interleaved),
            heif_image_get_width(image, heif_channel_interleaved), CV_8UC3,
            const_cast<std::uint8_t *>(pixels), std::size_t(stride));
        cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    }
    heif_decoding_options_free(options);
    heif_image_release(image);
    heif_image_handle_release(handle);
    return bgr;
}
