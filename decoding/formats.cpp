#include "decoding/formats.h"

#include <utility>

// Each defined in the format's own file.
extern const Format HeifFormat;
extern const Format OtherIsoMediaFormat;
extern const Format BmpFormat;
extern const Format RadianceFormat;
extern const Format JpegFormat;
extern const Format WebPFormat;
extern const Format SunRasterFormat;
extern const Format PnmFormat;
extern const Format PamFormat;
extern const Format PfmFormat;
extern const Format TiffFormat;
extern const Format PngFormat;
extern const Format DicomFormat;
extern const Format Jp2Format;
extern const Format J2kFormat;
extern const Format OpenExrFormat;
extern const Format GdalFormat;

Decoded Decoded::failed(std::string why)
{
    Decoded decoded;
    decoded.failure = std::move(why);
    return decoded;
}

OpenFile openForDecoding(const DecodeRequest &request)
{
    return OpenFile(std::fopen(request.openPath.c_str(), "rb"), std::fclose);
}

Decoded readOtherwise(const char *format, const char *library, std::uint64_t width,
    std::uint64_t height, int components, const Assessment &checked)
{
    const auto picture = [](std::uint64_t across, std::uint64_t down, int samples) {
        return std::to_string(across) + " x " + std::to_string(down) + " picture of " +
            std::to_string(samples) + " samples a pixel";
    };
    return Decoded::failed(std::string("unreadable ") + format + ": " + library + " reads a " +
        picture(width, height, components) + ", where the checks read a " +
        picture(checked.width, checked.height, checked.components));
}

const std::vector<const Format *> &formatsInDecoderOrder()
{
    // HEIF comes first, where OpenCV 4.10's AVIF decoder stands: libheif
    // decodes AVIF files too, whichever OpenCV is in use.
    static const std::vector<const Format *> formats = {&HeifFormat, &OtherIsoMediaFormat,
        &BmpFormat, &RadianceFormat, &JpegFormat, &WebPFormat, &SunRasterFormat, &PnmFormat,
        &PamFormat, &PfmFormat, &TiffFormat, &PngFormat, &DicomFormat, &Jp2Format, &J2kFormat,
        &OpenExrFormat, &GdalFormat};
    return formats;
}

int formatFor(std::string_view start)
{
    // A format that nothing here decodes takes the file first, whatever else
    // it starts as: a file that is two formats at once could otherwise reach
    // its decoder through another's (OpenCV falls through to later decoders
    // when one turns a file down).
    const std::vector<const Format *> &formats = formatsInDecoderOrder();
    for (const bool decodable : {false, true}) {
        for (std::size_t i = 0; i < formats.size(); ++i) {
            if ((formats[i]->decode != nullptr) == decodable && formats[i]->matches(start))
                return static_cast<int>(i);
        }
    }
    return -1;
}
