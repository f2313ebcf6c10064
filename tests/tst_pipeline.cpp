// The six pictures as plain images, without a window.
#include "analysis/channelaverage.h"
#include "analysis/pipeline.h"
#include "support/windowdriver.h"

#include <QTest>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

Q_DECLARE_METATYPE(cv::Size)

namespace {

cv::Mat swapRedBlue(const cv::Mat &image)
{
    cv::Mat channels[3];
    cv::split(image, channels);
    std::swap(channels[0], channels[2]);
    cv::Mat swapped;
    cv::merge(channels, 3, swapped);
    return swapped;
}

// The pictures made one step after another at full size, exactly as the
// viewer describes them, to hold the faster arrangement to.
PanelImages literalSteps(const cv::Mat &loaded)
{
    PanelImages p;
    cv::cvtColor(loaded, p.origin, cv::COLOR_BGR2RGB, 0);
    cv::resize(p.origin, p.origin, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
    p.mygray = loaded.clone();
    for (int y = 0; y < p.mygray.rows; ++y)
        for (int x = 0; x < p.mygray.cols; ++x) {
            cv::Vec3b &px = p.mygray.at<cv::Vec3b>(y, x);
            double s = px[2] * 0.33;
            s = s + px[1] * 0.33;
            s = s + px[0] * 0.33;
            const auto v = static_cast<uchar>(static_cast<int>(s));
            px = cv::Vec3b(v, v, v);
        }
    cv::resize(p.mygray, p.mygray, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(p.origin, p.gray, cv::COLOR_RGB2GRAY, 0);
    cv::GaussianBlur(p.origin, p.gaussian, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);
    cv::Mat gx, gy;
    cv::Sobel(p.gray, gx, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(p.gray, gy, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(gx, 0.5, gy, 0.5, 0.0, p.sobel, -1);
    const cv::Mat grayCopy = p.gray.clone();
    cv::Laplacian(grayCopy, p.laplacian, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);
    return p;
}

cv::Mat greyImage(int width, int height, const std::function<uchar(int, int)> &value)
{
    cv::Mat grey(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            grey.at<uchar>(y, x) = value(x, y);
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

} // namespace

class PipelineTest : public QObject
{
    Q_OBJECT

private slots:
    void panelSizeImageIsShownAsIs()
    {
        cv::Mat bgr(192, 256, CV_8UC3);
        cv::randu(bgr, 0, 256);
        const PanelImages p = analyseImage(bgr);
        QVERIFY(same(p.origin, swapRedBlue(bgr)));
        QVERIFY(same(p.gaussian, p.origin));
    }

    void everySourceIsStretchedToPanelSize_data()
    {
        QTest::addColumn<cv::Size>("size");
        QTest::newRow("1x1") << cv::Size(1, 1);
        QTest::newRow("1x4000") << cv::Size(1, 4000);
        QTest::newRow("4000x1") << cv::Size(4000, 1);
        QTest::newRow("odd") << cv::Size(333, 77);
        QTest::newRow("upscaled") << cv::Size(64, 48);
    }

    void everySourceIsStretchedToPanelSize()
    {
        QFETCH(cv::Size, size);
        cv::Mat bgr(size, CV_8UC3);
        cv::randu(bgr, 0, 256);
        const PanelImages p = analyseImage(bgr);
        const cv::Mat *all[] = {&p.origin, &p.mygray, &p.gray, &p.gaussian, &p.sobel, &p.laplacian};
        const int types[] = {CV_8UC3, CV_8UC3, CV_8UC1, CV_8UC3, CV_8UC1, CV_8UC1};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(all[i]->size(), cv::Size(256, 192));
            QCOMPARE(all[i]->type(), types[i]);
            QVERIFY(all[i]->isContinuous());
        }
        cv::Mat grey[3];
        cv::split(p.mygray, grey);
        QVERIFY(same(grey[0], grey[1]) && same(grey[1], grey[2]));
    }

    void blocksScaleDownExactly()
    {
        // 2 x 2 blocks of one colour halve without mixing.
        cv::Mat small(192, 256, CV_8UC3);
        cv::randu(small, 0, 256);
        cv::Mat big;
        cv::resize(small, big, cv::Size(512, 384), 0, 0, cv::INTER_NEAREST);
        const PanelImages p = analyseImage(big);
        QVERIFY(same(p.origin, swapRedBlue(small)));
        for (int y = 0; y < 192; ++y)
            for (int x = 0; x < 256; ++x) {
                const cv::Vec3b c = small.at<cv::Vec3b>(y, x);
                const uchar v = averageOfChannels(c[0], c[1], c[2]);
                QCOMPARE(p.mygray.at<cv::Vec3b>(y, x), cv::Vec3b(v, v, v));
            }
    }

    void matchesLiteralSteps_data()
    {
        QTest::addColumn<cv::Size>("size");
        QTest::addColumn<int>("seed");
        QTest::newRow("1x1") << cv::Size(1, 1) << 1;
        QTest::newRow("3x7") << cv::Size(3, 7) << 2;
        QTest::newRow("257x193") << cv::Size(257, 193) << 3;
        QTest::newRow("1001x333") << cv::Size(1001, 333) << 4;
        QTest::newRow("97x1013") << cv::Size(97, 1013) << 5;
        QTest::newRow("1921x1079") << cv::Size(1921, 1079) << 6;
        QTest::newRow("2x2") << cv::Size(2, 2) << 7;
        QTest::newRow("512x384") << cv::Size(512, 384) << 8;
        QTest::newRow("513x385") << cv::Size(513, 385) << 9;
        QTest::newRow("768x576") << cv::Size(768, 576) << 10;
        QTest::newRow("1x5000") << cv::Size(1, 5000) << 11;
        QTest::newRow("5000x1") << cv::Size(5000, 1) << 12;
        QTest::newRow("4001x2999") << cv::Size(4001, 2999) << 13;
        QTest::newRow("6000x4000") << cv::Size(6000, 4000) << 14;
    }

    void matchesLiteralSteps()
    {
        QFETCH(cv::Size, size);
        QFETCH(int, seed);
        cv::RNG rng(seed);
        cv::Mat bgr(size, CV_8UC3);
        rng.fill(bgr, cv::RNG::UNIFORM, 0, 256);
        const PanelImages want = literalSteps(bgr);
        const PanelImages got = analyseImage(bgr);
        QVERIFY(same(got.origin, want.origin));
        QVERIFY(same(got.mygray, want.mygray));
        QVERIFY(same(got.gray, want.gray));
        QVERIFY(same(got.gaussian, want.gaussian));
        QVERIFY(same(got.sobel, want.sobel));
        QVERIFY(same(got.laplacian, want.laplacian));
    }

    void averageComesBeforeScaling()
    {
        // Columns of 0 and 202 halve to 101 (average 99) when scaled first, but
        // average to 0 and 199 (halving to 100) when averaged first.
        const cv::Mat bgr = greyImage(512, 192, [](int x, int) { return x % 2 ? 202 : 0; });
        const PanelImages p = analyseImage(bgr);
        QCOMPARE(p.mygray.at<cv::Vec3b>(10, 10), cv::Vec3b(100, 100, 100));
        QCOMPARE(p.gray.at<uchar>(10, 10), 101);
    }

    void sobelShowsOnlyDarkToLightSteps()
    {
        const cv::Mat rising = greyImage(256, 192, [](int x, int) { return x < 128 ? 0 : 200; });
        const cv::Mat falling = greyImage(256, 192, [](int x, int) { return x < 128 ? 200 : 0; });
        const cv::Mat down = greyImage(256, 192, [](int, int y) { return y < 96 ? 10 : 250; });
        // 4 * 200 clips to 255, half of it rounds to 128; the other direction clips to 0.
        const cv::Mat expectRising =
            greyImage(256, 192, [](int x, int) { return x == 127 || x == 128 ? 128 : 0; });
        const cv::Mat expectDown =
            greyImage(256, 192, [](int, int y) { return y == 95 || y == 96 ? 128 : 0; });
        cv::Mat one;
        cv::cvtColor(expectRising, one, cv::COLOR_BGR2GRAY);
        QVERIFY(same(analyseImage(rising).sobel, one));
        QCOMPARE(cv::countNonZero(analyseImage(falling).sobel), 0);
        cv::cvtColor(expectDown, one, cv::COLOR_BGR2GRAY);
        QVERIFY(same(analyseImage(down).sobel, one));
    }

    void laplacianClipsToByteRange()
    {
        const cv::Mat dots = greyImage(256, 192,
            [](int x, int y) { return (x / 16 + y / 16) % 2 ? 255 : (x % 7 == 0 ? 90 : 30); });
        const PanelImages p = analyseImage(dots);
        cv::Mat exact;
        cv::Laplacian(p.gray, exact, CV_32F, 9, 1.0, 0.0, cv::BORDER_REFLECT_101);
        double lowest = 0, highest = 0;
        cv::minMaxLoc(exact, &lowest, &highest);
        QVERIFY(lowest < 0 && highest > 255);
        cv::Mat clipped;
        exact.convertTo(clipped, CV_8U);
        QVERIFY(same(p.laplacian, clipped));
    }

    void blurUsesOddSidesAndMirroredEdges()
    {
        cv::Mat rgb(192, 256, CV_8UC3);
        cv::randu(rgb, 0, 256);
        for (int side : {1, 3, 7, 51}) {
            const cv::Mat want = mirroredBlur(rgb, side);
            QVERIFY(same(blurForKernel(rgb, side), want));
            if (side > 1)
                QVERIFY(same(blurForKernel(rgb, side - 1), want));
        }
        const cv::Mat bright(192, 256, CV_8UC3, cv::Scalar(240, 200, 250));
        QVERIFY(same(blurForKernel(bright, 51), bright));
    }

    void rejectsWhatTheDecoderNeverGives()
    {
        QVERIFY_THROWS_EXCEPTION(cv::Exception, analyseImage(cv::Mat()));
        QVERIFY_THROWS_EXCEPTION(cv::Exception, analyseImage(cv::Mat(10, 10, CV_8UC1)));
    }
};

QTEST_APPLESS_MAIN(PipelineTest)
#include "tst_pipeline.moc"
