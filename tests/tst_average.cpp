// The hand-made grey average, for every possible pixel.
#include "analysis/channelaverage.h"

#include <QTest>
#include <opencv2/core.hpp>

namespace {

// Each product and sum is stored before it is used, so no multiply can be
// fused with an add here, whatever the compiler flags.
unsigned char strictAverage(unsigned char blue, unsigned char green, unsigned char red)
{
    const volatile double redProduct = red * 0.33;
    const volatile double greenProduct = green * 0.33;
    const volatile double blueProduct = blue * 0.33;
    volatile double sum = redProduct;
    sum = sum + greenProduct;
    sum = sum + blueProduct;
    return static_cast<unsigned char>(static_cast<int>(sum));
}

} // namespace

class AverageTest : public QObject
{
    Q_OBJECT

private slots:
    void knownValues()
    {
        // Bytes in memory order: blue, green, red.
        QCOMPARE(averageOfChannels(255, 255, 255), 252);
        QCOMPARE(averageOfChannels(0, 0, 0), 0);
        QCOMPARE(averageOfChannels(97, 2, 1), 33); // blue added first would give 32
        QCOMPARE(averageOfChannels(2, 97, 1), 32); // although 0.33 * 100 is 33
    }

    void everyTripleInAnImage()
    {
        // 4096 x 4096 pixels hold all 2^24 byte triples once.
        cv::Mat bgr(4096, 4096, CV_8UC3);
        for (int y = 0; y < bgr.rows; ++y)
            for (int x = 0; x < bgr.cols; ++x) {
                const int index = y * bgr.cols + x;
                bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(index & 0xff, (index >> 8) & 0xff, index >> 16);
            }
        const cv::Mat grey = averageChannels(bgr);
        QCOMPARE(grey.type(), CV_8UC1);
        QCOMPARE(grey.size(), bgr.size());
        long mismatches = 0;
        for (int y = 0; y < bgr.rows; ++y)
            for (int x = 0; x < bgr.cols; ++x) {
                const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
                const unsigned char want = strictAverage(p[0], p[1], p[2]);
                mismatches += grey.at<uchar>(y, x) != want;
                mismatches += averageOfChannels(p[0], p[1], p[2]) != want;
            }
        QCOMPARE(mismatches, 0L);
    }

    void stridedAndOddSizedInput()
    {
        cv::Mat big(101, 77, CV_8UC3);
        cv::randu(big, 0, 256);
        const cv::Mat window = big(cv::Rect(3, 5, 61, 43)); // rows are not contiguous
        const cv::Mat grey = averageChannels(window);
        for (int y = 0; y < window.rows; ++y)
            for (int x = 0; x < window.cols; ++x) {
                const cv::Vec3b p = window.at<cv::Vec3b>(y, x);
                QCOMPARE(grey.at<uchar>(y, x), strictAverage(p[0], p[1], p[2]));
            }
        QVERIFY_THROWS_EXCEPTION(cv::Exception, averageChannels(cv::Mat(4, 4, CV_8UC1)));
    }
};

QTEST_APPLESS_MAIN(AverageTest)
#include "tst_average.moc"
