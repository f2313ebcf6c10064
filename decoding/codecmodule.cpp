#include "decoding/codecmodule.h"

#include "decoding/imagefile.h"

#include <opencv2/core.hpp>

#include <memory>

namespace {

void releasePicture(MorvastelPicture *picture)
{
    const std::unique_ptr<cv::Mat> owner(static_cast<cv::Mat *>(picture->owner));
    picture->owner = nullptr;
    picture->pixels = nullptr;
}

} // namespace

int morvastelDecodePicture(const char *path, MorvastelPicture *picture)
{
    // Nothing may be thrown across the C boundary into the program.
    try {
        auto image = std::make_unique<cv::Mat>(readImage(path));
        if (image->empty())
            return 0;
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
