// Valid but unusual files show the picture they really hold, through the real
// window: BMP channel masks, Exif orientations behind an XMP block or after a
// PNG's data, and 16-bit PNG samples.
#include "support/craftedfiles.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsView>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// A 32-bit BI_BITFIELDS BMP of a BGR picture, its channels where the masks
// say, with the 40-byte info header and the masks after it, or a V5 header.
QByteArray bmpWithMasks(
    const cv::Mat &bgr, quint32 red, quint32 green, quint32 blue, int headerSize)
{
    const quint32 dataAt = 14 + headerSize + (headerSize == 40 ? 12 : 0);
    const quint32 dataSize = quint32(bgr.total()) * 4;
    QByteArray info = littleEndian(headerSize, 4) + littleEndian(bgr.cols, 4) +
        littleEndian(quint32(-bgr.rows), 4) /* top down */ + littleEndian(1, 2) +
        littleEndian(32, 2) + littleEndian(3, 4) + littleEndian(dataSize, 4) + QByteArray(16, 0) +
        littleEndian(red, 4) + littleEndian(green, 4) + littleEndian(blue, 4);
    info.append(QByteArray(int(dataAt) - 14 - info.size(), 0));
    QByteArray file = "BM" + littleEndian(dataAt + dataSize, 4) + littleEndian(0, 4) +
        littleEndian(dataAt, 4) + info;
    const auto shift = [](quint32 mask) { return qCountTrailingZeroBits(mask); };
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
            file += littleEndian(quint32(p[2]) << shift(red) | quint32(p[1]) << shift(green) |
                    quint32(p[0]) << shift(blue),
                4);
        }
    return file;
}

// An APP1 segment holding a big-endian Exif block with this orientation.
QByteArray exifSegment(int orientation)
{
    // One directory entry: tag 0x112, SHORT, one value.
    const QByteArray tiff = QByteArray::fromHex("4d4d002a000000080001011200030000000100") +
        char(orientation) + QByteArray(6, 0);
    const QByteArray block = QByteArray("Exif\0\0", 6) + tiff;
    return QByteArray("\xff\xe1", 2) + bigEndian(quint64(block.size()) + 2, 2) + block;
}

QByteArray xmpSegment()
{
    const QByteArray block = QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    return QByteArray("\xff\xe1", 2) + bigEndian(quint64(block.size()) + 2, 2) + block;
}

} // namespace

class TrueColoursTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    QString write(const QString &name, const QByteArray &bytes) const
    {
        return writeFile(dir, name, bytes);
    }

    // The first panel after choosing the file, or empty when it failed.
    cv::Mat shown(const QString &file)
    {
        StdoutCapture out;
        chooseFile(*window, file);
        if (!out.text().empty())
            return {};
        return shownPixels(panel(*window, "origin"));
    }

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }

    void cleanup() { window.reset(); }

    void bmpChannelMasks()
    {
        const cv::Mat picture = patternImage(41);
        const cv::Mat rgb = asRgb(picture);
        for (const int header : {40, 124}) {
            const QString name = QStringLiteral("%1-%2.bmp").arg(header);
            // OpenCV's own order, blue in the lowest byte.
            QVERIFY(same(
                shown(write("bgra" + name, bmpWithMasks(picture, 0xff0000, 0xff00, 0xff, header))),
                rgb));
            // Red in the lowest byte: shown in its true colours.
            QVERIFY(same(
                shown(write("rgba" + name, bmpWithMasks(picture, 0xff, 0xff00, 0xff0000, header))),
                rgb));
        }
        // Masks in other byte orders show their true colours where OpenCV
        // honours them (OpenCV 4.10 does, for the longer headers), else get
        // the failure line; never wrong colours.
        for (const int header : {40, 124}) {
            for (const auto &[name, red, green, blue] :
                {std::tuple {"argb", 0xff000000u, 0xff0000u, 0xff00u},
                    std::tuple {"gbr", 0xff00u, 0xffu, 0xff0000u}}) {
                const cv::Mat before = shownPixels(panel(*window, "origin"));
                const QString file = QStringLiteral("%1-%2.bmp").arg(name).arg(header);
                const cv::Mat colours =
                    shown(write(file, bmpWithMasks(picture, red, green, blue, header)));
                QVERIFY2(colours.empty() ? same(shownPixels(panel(*window, "origin")), before)
                                         : same(colours, rgb),
                    qPrintable(file));
            }
        }
        // 10 bits a channel: no swap puts that right.
        const cv::Mat before = shownPixels(panel(*window, "origin"));
        const QByteArray tenBits = bmpWithMasks(picture, 0x3ff00000, 0xffc00, 0x3ff, 124);
        QVERIFY(shown(write("rgb10.bmp", tenBits)).empty());
        QVERIFY(same(shownPixels(panel(*window, "origin")), before));
    }

    // Each of the eight orientations shows the same behind an XMP block as
    // in a first Exif block, which OpenCV reads itself.
    void exifOrientationBehindXmp()
    {
        cv::Mat picture(120, 200, CV_8UC3);
        for (int y = 0; y < picture.rows; ++y)
            for (int x = 0; x < picture.cols; ++x)
                picture.at<cv::Vec3b>(y, x) =
                    cv::Vec3b(uchar(x), uchar(2 * y), uchar(x < 100 ? 40 : 220));
        std::vector<uchar> encoded;
        QVERIFY(cv::imencode(".jpg", picture, encoded, {cv::IMWRITE_JPEG_QUALITY, 95}));
        const QByteArray jpeg(
            reinterpret_cast<const char *>(encoded.data()), qsizetype(encoded.size()));
        const QByteArray start = jpeg.left(2);
        const QByteArray rest = jpeg.mid(2);

        const cv::Mat upright = shown(write("plain.jpg", jpeg));
        QVERIFY(!upright.empty());
        for (int orientation = 1; orientation <= 8; ++orientation) {
            const QString number = QString::number(orientation);
            const cv::Mat first = shown(write(
                "exif" + number + ".jpg", start + exifSegment(orientation) + xmpSegment() + rest));
            const cv::Mat behind = shown(write(
                "xmp" + number + ".jpg", start + xmpSegment() + exifSegment(orientation) + rest));
            QVERIFY(!first.empty());
            QVERIFY2(same(behind, first), qPrintable(number));
            // Only the upright ones show the stored picture.
            QCOMPARE(same(first, upright), orientation == 1);
        }
    }

    // OpenCV cuts 16-bit samples to their high byte; rounding them instead
    // would change every sample whose low byte is not about its high byte.
    void sixteenBitPngShowsItsHighBytes()
    {
        cv::Mat samples(192, 256, CV_16UC3);
        cv::Mat highBytes(192, 256, CV_8UC3);
        for (int y = 0; y < samples.rows; ++y)
            for (int x = 0; x < samples.cols; ++x)
                for (int c = 0; c < 3; ++c) {
                    const int high = (x + 85 * c) % 256;
                    samples.at<cv::Vec3w>(y, x)[c] = ushort(high << 8 | (y * 5 + 200) % 256);
                    highBytes.at<cv::Vec3b>(y, x)[c] = uchar(high);
                }
        std::vector<uchar> png;
        QVERIFY(cv::imencode(".png", samples, png));
        const cv::Mat shownPicture = shown(write("sixteen.png",
            QByteArray(reinterpret_cast<const char *>(png.data()), qsizetype(png.size()))));
        QVERIFY(same(shownPicture, asRgb(highBytes)));
    }

    // An eXIf chunk may come after the image data, and still turns the
    // picture, as a first one does.
    void pngExifAfterTheDataTurnsThePicture()
    {
        cv::Mat picture(120, 200, CV_8UC3);
        cv::randu(picture, 0, 256);
        std::vector<uchar> encoded;
        QVERIFY(cv::imencode(".png", picture, encoded));
        const QByteArray png(
            reinterpret_cast<const char *>(encoded.data()), qsizetype(encoded.size()));
        // Orientation 6: the stored picture is turned a quarter clockwise.
        const QByteArray exif = pngChunk(
            "eXIf", QByteArray::fromHex("4d4d002a00000008000101120003000000010006000000000000"));
        const qsizetype end = png.lastIndexOf("IEND") - 4;
        cv::Mat turned;
        cv::rotate(picture, turned, cv::ROTATE_90_CLOCKWISE);
        QVERIFY(cv::imencode(".png", turned, encoded));
        const cv::Mat expected = shown(write("turned.png",
            QByteArray(reinterpret_cast<const char *>(encoded.data()), qsizetype(encoded.size()))));
        QVERIFY(!expected.empty());
        QVERIFY(
            same(shown(write("exif-after.png", png.left(end) + exif + png.mid(end))), expected));
    }
};

QTEST_MAIN(TrueColoursTest)
#include "tst_truecolours.moc"
