// The grey panel averages only the pixels that scaling reads: whatever the
// other pixels hold, the panel must be the scaled full average.
#include "analysis/averagepanel.h"
#include "analysis/channelaverage.h"
#include "analysis/pipeline.h"
#include "analysis/resizereads.h"
#include "support/windowdriver.h"

#include <QTest>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Size Largest(8000, 6000);

// Shrinks, stretches and the sizes where resize changes its ways.
std::vector<cv::Size> sizesToTry()
{
    std::vector<cv::Size> sizes = {{1, 1}, {2, 2}, {3, 2}, {255, 191}, {256, 192}, {257, 193},
        {256, 191}, {255, 192}, {511, 383}, {512, 384}, {513, 385}, {512, 385}, {513, 384},
        {768, 576}, {767, 577}, {1024, 768}, {1280, 960}, {2560, 1920}, {1, 6000}, {8000, 1},
        {1, 193}, {257, 1}, {8000, 6000}, {7999, 5999}, {6000, 4000}, {4000, 3000}, {4032, 3024},
        {1920, 1080}, {3840, 2160}, {100, 5000}, {5000, 100}};
    for (int k = 2; k <= 31; ++k)
        for (const int dw : {-1, 0, 1})
            for (const int dh : {-1, 0, 1})
                sizes.emplace_back(256 * k + dw, std::min(192 * k + dh, Largest.height));
    cv::RNG random(2024);
    while (sizes.size() < 600) {
        // Spread over every scale, from a few pixels to the largest.
        const auto logUniform = [&](int top) {
            return std::max(1, static_cast<int>(std::exp(random.uniform(0.0, std::log(top)))));
        };
        sizes.emplace_back(logUniform(Largest.width), logUniform(Largest.height));
    }
    return sizes;
}

// The rule with the second source column of every pair dropped.
std::optional<ResizeReads> everyOtherColumn(cv::Size source, cv::Size target)
{
    std::optional<ResizeReads> reads = linearResizeReads(source, target);
    if (reads) {
        std::vector<int> kept;
        for (std::size_t i = 0; i < reads->columns.size(); i += 2)
            kept.push_back(reads->columns[i]);
        reads->columns = kept;
    }
    return reads;
}

cv::Mat scaled(const cv::Mat &image)
{
    cv::Mat out;
    cv::resize(image, out, PanelSize, 0, 0, cv::INTER_LINEAR);
    return out;
}

} // namespace

class SparseAverageTest : public QObject
{
    Q_OBJECT

private slots:
    void readPixelsAloneMakeThePanel()
    {
        // Every size is a corner of one large image, so each is made once.
        cv::Mat bgr(Largest, CV_8UC3);
        cv::randu(bgr, 0, 256);
        const cv::Mat fullAverage = averageChannels(bgr);
        cv::Mat noise(Largest, CV_8UC1);
        cv::randu(noise, 0, 256);
        // What the pixels that are not averaged hold: 0, 255, random bytes.
        cv::Mat fills[] = {cv::Mat(Largest, CV_8UC1, cv::Scalar(0)),
            cv::Mat(Largest, CV_8UC1, cv::Scalar(255)), noise.clone()};

        int checked = 0;
        for (const cv::Size size : sizesToTry()) {
            const cv::Rect corner({0, 0}, size);
            const std::optional<ResizeReads> reads = linearResizeReads(size, PanelSize);
            if (!reads) {
                QVERIFY(size == PanelSize || size == cv::Size(512, 384));
                continue;
            }
            const cv::Mat expected = scaled(fullAverage(corner));
            for (int f = 0; f < 3; ++f) {
                cv::Mat grey = fills[f](corner);
                averageChannelsAt(bgr(corner), *reads, grey);
                const cv::Mat shown = scaled(grey);
                // Undo the averages, so that the next size meets only the fill.
                for (const int row : reads->rows) {
                    if (f == 2)
                        noise(corner).row(row).copyTo(grey.row(row));
                    else
                        grey.row(row).setTo(f == 0 ? 0 : 255);
                }
                const QString what = QStringLiteral("%1 x %2, fill %3");
                QVERIFY2(same(shown, expected),
                    qPrintable(what.arg(size.width).arg(size.height).arg(f)));
            }
            ++checked;
        }
        QVERIFY(checked >= 500);
    }

    void selfCheckTrustsTheRuleHere()
    {
        // Otherwise every load averages every pixel, and nothing else shows it.
        QVERIFY(AveragePanel().averagesOnlyWhatIsRead());
    }

    void selfCheckFallsBackOnAWrongRule()
    {
        QVERIFY(!readRuleHolds(everyOtherColumn, PanelSize));
        const AveragePanel wrong(everyOtherColumn);
        QVERIFY(!wrong.averagesOnlyWhatIsRead());
        for (const cv::Size size : {cv::Size(6000, 4000), cv::Size(1001, 667)}) {
            cv::Mat bgr(size, CV_8UC3);
            cv::randu(bgr, 0, 256);
            QVERIFY(same(wrong.grey(bgr), scaled(averageChannels(bgr))));
        }
    }
};

QTEST_APPLESS_MAIN(SparseAverageTest)
#include "tst_sparseaverage.moc"
