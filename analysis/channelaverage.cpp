#include "analysis/channelaverage.h"

#include "analysis/resizereads.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <array>

namespace {

// Every product byte * 0.33 that the average can need. Looking them up leaves
// no multiply next to an add, so no compiler can fuse the two and round once
// instead of twice.
const std::array<double, 256> &productTable()
{
    static const std::array<double, 256> table = [] {
        std::array<double, 256> products {};
        for (int value = 0; value < 256; ++value)
            products[value] = value * 0.33;
        return products;
    }();
    return table;
}

inline unsigned char average(const std::array<double, 256> &products, unsigned char blue,
    unsigned char green, unsigned char red)
{
    double sum = products[red];
    sum += products[green];
    sum += products[blue];
    return static_cast<unsigned char>(sum); // truncates; sum lies in [0, 252.45]
}

} // namespace

unsigned char averageOfChannels(unsigned char blue, unsigned char green, unsigned char red)
{
    return average(productTable(), blue, green, red);
}

cv::Mat averageChannels(const cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    cv::Mat grey(bgr.size(), CV_8UC1);
    const auto &products = productTable();
    cv::parallel_for_(cv::Range(0, bgr.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const unsigned char *in = bgr.ptr<unsigned char>(y);
            unsigned char *out = grey.ptr<unsigned char>(y);
            for (int x = 0; x < bgr.cols; ++x, in += 3)
                out[x] = average(products, in[0], in[1], in[2]);
        }
    });
    return grey;
}

void averageChannelsAt(const cv::Mat &bgr, const ResizeReads &where, cv::Mat &grey)
{
    CV_Assert(bgr.type() == CV_8UC3 && grey.type() == CV_8UC1 && grey.size() == bgr.size());
    const auto &products = productTable();
    for (const int y : where.rows) {
        const cv::Vec3b *in = bgr.ptr<cv::Vec3b>(y);
        unsigned char *out = grey.ptr<unsigned char>(y);
        for (const int x : where.columns)
            out[x] = average(products, in[x][0], in[x][1], in[x][2]);
    }
}
