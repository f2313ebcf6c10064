// One-byte mutants of every format's header are read as their decoder reads
// them or refused: never let through with a size the decoder does not see.
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"

#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <cmath>

namespace {

QByteArray encode(const char *extension, const cv::Mat &image, const std::vector<int> &params = {})
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes, params))
        return {};
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// A hostile sender mends a PNG chunk's checksum after changing it.
void mendPngChecksum(QByteArray &png, int changed)
{
    for (int at = 8; at + 12 <= png.size();) {
        const int length = int(quint32(quint8(png[at])) << 24 | quint8(png[at + 1]) << 16 |
            quint8(png[at + 2]) << 8 | quint8(png[at + 3]));
        if (length < 0 || at + 12 + length > png.size())
            return;
        if (changed >= at + 4 && changed < at + 8 + length) {
            png.replace(at + 8 + length, 4, bigEndian(crc32(png.mid(at + 4, 4 + length)), 4));
            return;
        }
        at += 12 + length;
    }
}

cv::Mat decode(const QByteArray &file)
{
    try {
        return cv::imdecode(std::vector<uchar>(file.begin(), file.end()), cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        return {};
    }
}

} // namespace

class MutantsTest : public QObject
{
    Q_OBJECT

private slots:
    void mutantsAreReadAsDecodedOrRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("from"); // where the header's bytes start
        QTest::addColumn<int>("length");
        cv::Mat colour(13, 21, CV_8UC3);
        cv::randu(colour, 0, 256);
        cv::Mat grey;
        cv::extractChannel(colour, grey, 0);
        cv::Mat real;
        colour.convertTo(real, CV_32FC3, 1 / 255.0);
        const QByteArray jpeg = encode(".jpg", colour);
        // Room behind the pixels, so that a mutant declaring a larger
        // picture still decodes and shows the size its decoder read.
        const QByteArray room(qsizetype {256} * 1024, '\x55');
        QTest::newRow("bmp") << encode(".bmp", colour) + room << 0 << 54;
        QTest::newRow("jpeg frame") << jpeg << int(jpeg.indexOf("\xff\xc0")) << 19;
        QTest::newRow("progressive jpeg")
            << encode(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}) << 0 << 64;
        QTest::newRow("lossy webp")
            << encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80}) << 0 << 32;
        QTest::newRow("lossless webp")
            << encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 101}) << 0 << 32;
        QTest::newRow("sun raster") << encode(".ras", colour) + room << 0 << 32;
        QTest::newRow("ppm") << encode(".ppm", colour) + room << 0 << 16;
        QTest::newRow("pgm") << encode(".pgm", grey) + room << 0 << 16;
        QTest::newRow("pam") << encode(".pam", colour) + room << 0 << 64;
        QTest::newRow("pfm") << encode(".pfm", real) + room << 0 << 16;
        QTest::newRow("hdr") << encode(".hdr", real) + room << 0 << 64;
        QTest::newRow("png") << encode(".png", colour) << 0 << 33;
        TiffSpec tiff;
        tiff.width = 21;
        tiff.height = 13;
        tiff.rowsPerStrip = 4;
        tiff.piece = QByteArray(qsizetype {21} * 4, 7);
        QTest::newRow("tiff") << craftedTiff(tiff) << 0 << 130;
        Jpeg2000Spec jpeg2000;
        jpeg2000.width = 21;
        jpeg2000.height = 13;
        QTest::newRow("j2k") << craftedJpeg2000(jpeg2000) << 0 << 80;
        QTest::newRow("exr") << encode(".exr", real) << 0 << 200;
    }

    // Each byte of the header turned into four others. What the checks let
    // through must decode, if it decodes at all, at the size they read.
    void mutantsAreReadAsDecodedOrRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, from);
        QFETCH(int, length);
        QVERIFY(!file.isEmpty());
        DecodeLimits limits;
        limits.pixels = 1 << 22; // what passes decodes in a moment
        int passed = 0;
        for (int at = from; at < std::min<int>(from + length, int(file.size())); ++at) {
            const auto original = quint8(file[at]);
            for (const int value : {original ^ 0x01, original ^ 0x80, 0x00, 0xff}) {
                if (value == original)
                    continue;
                QByteArray mutant = file;
                mutant[at] = char(value);
                if (mutant.startsWith("\x89PNG"))
                    mendPngChecksum(mutant, at);
                const Verdict verdict = inspectBytes(mutant, limits);
                if (!verdict.refusal.empty())
                    continue;
                ++passed;
                const Assessment &assessment = verdict.assessment;
                QVERIFY(std::isfinite(assessment.seconds));
                QVERIFY(assessment.seconds <=
                    std::max(limits.freeSeconds, limits.honestFactor * assessment.plainSeconds));
                const cv::Mat decoded = decode(mutant);
                if (decoded.empty())
                    continue;
                const bool asRead = std::uint64_t(decoded.cols) == assessment.width &&
                    std::uint64_t(decoded.rows) == assessment.height;
                const QString what =
                    QStringLiteral("byte %1 as 0x%2: read %3 x %4, decoded %5 x %6");
                QVERIFY2(asRead,
                    qPrintable(what.arg(QString::number(at), QString::number(value, 16),
                        QString::number(assessment.width), QString::number(assessment.height),
                        QString::number(decoded.cols), QString::number(decoded.rows))));
            }
        }
        QVERIFY(passed > 0); // the sweep saw mutants through, not only refusals
    }
};

QTEST_GUILESS_MAIN(MutantsTest)
#include "tst_mutants.moc"
