// The fewest bytes a check asks of an honest file are the fewest that the
// format's own encoder writes: a flat picture, which each encoder stores in
// the least room it can, holds what is asked and no more than its headers
// beyond that.
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"
#include "support/tiffwriter.h"

#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <tiffio.h>

namespace {

QByteArray encode(const char *extension, const cv::Mat &image, const std::vector<int> &params = {})
{
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes, params);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

cv::Mat flatHalves(cv::Size size, int channels)
{
    return cv::Mat(size, CV_32FC(channels), cv::Scalar(0.25, 0.5, 0.75, 1.0));
}

std::vector<int> exrHalf(int compression)
{
    return {
        cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_HALF, cv::IMWRITE_EXR_COMPRESSION, compression};
}

} // namespace

class HonestBoundsTest : public QObject
{
    Q_OBJECT

private slots:
    void flatFilesHoldWhatIsAskedAndLittleMore_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("headers"); // the most the file may hold beyond the bound

        const cv::Mat colour(48, 37, CV_8UC3, cv::Scalar(10, 20, 30));
        const cv::Mat grey(48, 37, CV_8UC1, cv::Scalar(90));
        cv::Mat real;
        colour.convertTo(real, CV_32FC3, 1 / 255.0);
        QTest::newRow("ppm") << encode(".ppm", colour) << qint64(20);
        QTest::newRow("pgm") << encode(".pgm", grey) << qint64(20);
        QTest::newRow("pbm, rows of whole bytes") << encode(".pbm", grey) << qint64(20);
        QTest::newRow("pam") << encode(".pam", colour) << qint64(80);
        QTest::newRow("pfm") << encode(".pfm", real) << qint64(30);
        QTest::newRow("bmp, rows of whole words") << encode(".bmp", colour) << qint64(54);
        QTest::newRow("sun raster, rows of whole 16-bit words")
            << encode(".ras", grey) << qint64(32);
        QTest::newRow("radiance, run lengths")
            << encode(".hdr", flatHalves({300, 40}, 3)) << qint64(120);
        QTest::newRow("radiance, 8 wide") << encode(".hdr", flatHalves({8, 40}, 3)) << qint64(120);
        QTest::newRow("radiance, 7 wide: no run lengths")
            << encode(".hdr", flatHalves({7, 40}, 3)) << qint64(120);
        QTest::newRow("png") << encode(".png", cv::Mat(4096, 4096, CV_8UC1, cv::Scalar(0)),
                                    {cv::IMWRITE_PNG_COMPRESSION, 9})
                             << qint64(200);
        QTest::newRow("tiff, a short last strip")
            << tiffOf(colour, {COMPRESSION_NONE, 0, 7}) << qint64(400);
        QTest::newRow("tiff, packbits")
            << tiffOf(cv::Mat(64, 1024, CV_8UC1, cv::Scalar(0)), {COMPRESSION_PACKBITS, 0, 8})
            << qint64(400);
        for (const auto &[name, compression] :
            {std::pair("exr b44", cv::IMWRITE_EXR_COMPRESSION_B44),
                {"exr b44a", cv::IMWRITE_EXR_COMPRESSION_B44A},
                {"exr none", cv::IMWRITE_EXR_COMPRESSION_NO}}) {
            QTest::newRow(name) << encode(".exr", flatHalves({64, 64}, 4), exrHalf(compression))
                                << qint64(400);
        }
        // One run throughout, but for the first byte of each line, which
        // OpenEXR's differences keep apart.
        QTest::newRow("exr rle") << encode(".exr", cv::Mat(64, 1024, CV_32FC4, cv::Scalar::all(0)),
                                        exrHalf(cv::IMWRITE_EXR_COMPRESSION_RLE))
                                 << qint64(400 + 64 * 2);
        QTest::newRow("exr b44, floats stored as they are")
            << encode(".exr", flatHalves({64, 64}, 3),
                   {cv::IMWRITE_EXR_COMPRESSION, cv::IMWRITE_EXR_COMPRESSION_B44})
            << qint64(400);

        // A progressive JPEG of DC scans alone, a bit a block; a JPEG 2000
        // codestream of empty packets, a byte each.
        JpegSpec dcOnly;
        dcOnly.width = 512;
        dcOnly.height = 512;
        dcOnly.scans = {dcFirst({1})};
        dcOnly.data = QByteArray(512 / 8 * 512 / 8 / 8, 0);
        QTest::newRow("jpeg") << craftedJpeg(dcOnly) << qint64(200);
        QTest::newRow("jpeg 2000") << craftedJpeg2000(Jpeg2000Spec()) << qint64(200);
    }

    void flatFilesHoldWhatIsAskedAndLittleMore()
    {
        QFETCH(QByteArray, file);
        QFETCH(qint64, headers);
        QVERIFY(!file.isEmpty());
        const Verdict verdict = inspectBytes(file);
        QVERIFY2(verdict.refusal.empty(), verdict.refusal.c_str());
        const auto honest = qint64(verdict.assessment.honestBytes);
        qInfo("%lld bytes, %lld asked", qint64(file.size()), honest);
        QVERIFY(honest > 0);
        QVERIFY(file.size() >= honest);
        QVERIFY(file.size() - honest <= headers);
    }
};

QTEST_GUILESS_MAIN(HonestBoundsTest)
#include "tst_honestbounds.moc"
