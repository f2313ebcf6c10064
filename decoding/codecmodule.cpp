#include "decoding/codecmodule.h"

#include "decoding/decoderequest.h"
#include "decoding/formats.h"
#include "decoding/heifdecoder.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <memory>

namespace {

// OpenCV's codecs, as the formats' mends use them.
class OpenCvCodec : public Codec
{
public:
    cv::Mat decode(const std::vector<uchar> &file) const override
    {
        try {
            return cv::imdecode(file, cv::IMREAD_COLOR);
        } catch (const cv::Exception &) {
            return {};
        }
    }

    std::vector<uchar> encode(const std::string &extension, const cv::Mat &picture,
        const std::vector<int> &parameters) const override
    {
        std::vector<uchar> file;
        try {
            cv::imencode(extension, picture, file, parameters);
        } catch (const cv::Exception &) {
            file.clear();
        }
        return file;
    }
};

void releasePicture(MorvastelPicture *picture)
{
    const std::unique_ptr<cv::Mat> owner(static_cast<cv::Mat *>(picture->owner));
    picture->owner = nullptr;
    picture->pixels = nullptr;
}

} // namespace

int morvastelDecode(const MorvastelDecodeRequest *request, MorvastelPicture *picture)
{
    // Nothing may be thrown across the C boundary into the program.
    try {
        const Format &format =
            *formatsInDecoderOrder().at(static_cast<std::size_t>(request->format));
        Mend mend;
        if (format.mend && request->mend.asked) {
            const std::optional<Mend> found = format.mend(request->mend, OpenCvCodec());
            if (!found) {
                std::cerr << "morvastel: " << request->path
                          << ": unmendable: the OpenCV in use decodes " << format.name
                          << " files like this one wrongly" << std::endl;
                return 0;
            }
            mend = *found;
        }
        auto image = std::make_unique<cv::Mat>(format.decoder == Decoder::Libheif
                ? decodeHeif(request->openPath, request->largestSide)
                : cv::imread(request->openPath, cv::IMREAD_COLOR));
        if (image->empty())
            return 0;
        mend.apply(*image);
        CV_Assert(image->type() == CV_8UC3);
        picture->rows = image->rows;
        picture->columns = image->cols;
        picture->step = image->step;
        picture->pixels = image->data;
        picture->release = releasePicture;
        picture->owner = image.release();
        return 1;
    } catch (...) {
        return 0;
    }
}
