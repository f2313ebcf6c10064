#include "decoding/mends.h"

#include "decoding/bmpmasks.h"
#include "decoding/declaredsize.h"
#include "decoding/exiforientation.h"
#include "decoding/pamdecoding.h"

#include <opencv2/imgproc.hpp>

namespace {

std::optional<Mend> mendFrom(Decoding decoding)
{
    if (decoding == Decoding::Wrong)
        return std::nullopt;
    Mend mend;
    mend.swapRedBlue = decoding == Decoding::RedBlueSwapped;
    return mend;
}

} // namespace

void Mend::apply(cv::Mat &image) const
{
    if (swapRedBlue)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
    applyOrientation(image, orientation);
}

std::optional<Mend> mendFor(std::istream &file, std::string_view start)
{
    const std::optional<ImageFormat> format = formatOf(start);
    if (format == ImageFormat::Pam) {
        file.clear();
        file.seekg(0);
        const std::optional<PamHeader> header = readPamHeader(file);
        return header ? mendFrom(pamDecoding(*header)) : std::nullopt;
    }
    if (format == ImageFormat::Bmp) {
        const std::optional<BmpMasks> masks = readBmpMasks(start);
        return masks ? mendFrom(bmpDecoding(*masks)) : Mend();
    }
    Mend mend;
    if (format == ImageFormat::Jpeg) {
        if (const std::optional<int> orientation = laterExifOrientation(file)) {
            const LaterExif handling = laterExifHandling();
            if (handling == LaterExif::Mishandled)
                return std::nullopt;
            if (handling == LaterExif::Ignored)
                mend.orientation = *orientation;
        }
    }
    return mend;
}
