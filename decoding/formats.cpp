#include "decoding/formats.h"

// Each defined in the format's own file.
extern const Format HeifFormat;
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

const std::vector<const Format *> &formatsInDecoderOrder()
{
    // HEIF comes first, where OpenCV 4.10's AVIF decoder stands: libheif
    // decodes AVIF files too, whichever OpenCV is in use.
    static const std::vector<const Format *> formats = {&HeifFormat, &BmpFormat, &RadianceFormat,
        &JpegFormat, &WebPFormat, &SunRasterFormat, &PnmFormat, &PamFormat, &PfmFormat, &TiffFormat,
        &PngFormat, &DicomFormat, &Jp2Format, &J2kFormat, &OpenExrFormat, &GdalFormat};
    return formats;
}

int formatFor(std::string_view start)
{
    const std::vector<const Format *> &formats = formatsInDecoderOrder();
    for (std::size_t i = 0; i < formats.size(); ++i) {
        if (formats[i]->matches(start))
            return static_cast<int>(i);
    }
    return -1;
}
