// What a file's header declares, read as its decoder reads it, and the
// limits on what that may cost.
#include "decoding/declaredsize.h"
#include "decoding/decodecost.h"
#include "decoding/opencvsettings.h"
#include "support/craftedfiles.h"

#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <sstream>

Q_DECLARE_METATYPE(ImageFormat)

namespace {

// Every picture here measures this much, so that a swapped or misread side shows.
constexpr int Width = 97;
constexpr int Height = 65;

QByteArray encode(const char *extension, const cv::Mat &image, const std::vector<int> &params = {})
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes, params))
        return {};
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

std::optional<DeclaredImage> declared(const QByteArray &file)
{
    std::istringstream in(file.toStdString());
    return readDeclaredImage(in);
}

std::optional<std::string> refusal(const QByteArray &file, std::uint64_t pixels)
{
    std::istringstream in(file.toStdString());
    DecodeLimits limits;
    limits.pixels = pixels;
    return costRefusal(in, limits);
}

std::uint64_t scanWork(const QByteArray &file, std::uint64_t enough = ~std::uint64_t {0})
{
    std::istringstream in(file.toStdString());
    return jpegScanWork(in, enough);
}

// A BigTIFF with just the two sides in its first directory.
QByteArray bigTiff(quint64 width, quint64 height)
{
    const auto entry = [](quint16 tag, quint64 value) {
        return littleEndian(tag, 2) + littleEndian(16, 2) + littleEndian(1, 8) +
            littleEndian(value, 8);
    };
    return QByteArray("II+\0", 4) + littleEndian(8, 2) + littleEndian(0, 2) + littleEndian(16, 8) +
        littleEndian(2, 8) + entry(256, width) + entry(257, height) + littleEndian(0, 8);
}

// The codestream inside a JP2 file.
QByteArray codestreamOf(const QByteArray &jp2)
{
    return jp2.mid(jp2.indexOf("jp2c") + 4);
}

} // namespace

class DeclaredSizeTest : public QObject
{
    Q_OBJECT

    // Files as their encoders write them, by name.
    std::vector<std::tuple<const char *, ImageFormat, QByteArray>> encoded;

private slots:
    void initTestCase()
    {
        cv::Mat colour(Height, Width, CV_8UC3);
        cv::randu(colour, 0, 256);
        cv::Mat grey;
        cv::extractChannel(colour, grey, 0);
        cv::Mat alpha(Height, Width, CV_8UC4, cv::Scalar(20, 90, 160, 128));
        cv::Mat real;
        colour.convertTo(real, CV_32FC3, 1 / 255.0);
        const QByteArray jp2 = encode(".jp2", colour);
        encoded = {
            {"bmp", ImageFormat::Bmp, encode(".bmp", colour)},
            {"hdr", ImageFormat::Radiance, encode(".hdr", real)},
            {"jpeg", ImageFormat::Jpeg, encode(".jpg", colour)},
            {"progressive jpeg", ImageFormat::Jpeg,
                encode(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
            {"lossy webp", ImageFormat::WebP,
                encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80})},
            {"lossless webp", ImageFormat::WebP,
                encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 101})},
            {"extended webp", ImageFormat::WebP,
                encode(".webp", alpha, {cv::IMWRITE_WEBP_QUALITY, 80})},
            {"sun raster", ImageFormat::SunRaster, encode(".ras", colour)},
            {"ppm", ImageFormat::Pnm, encode(".ppm", colour)},
            {"pgm", ImageFormat::Pnm, encode(".pgm", grey)},
            {"pbm", ImageFormat::Pnm, encode(".pbm", grey)},
            {"pam", ImageFormat::Pam, encode(".pam", colour)},
            {"pfm", ImageFormat::Pfm, encode(".pfm", real)},
            {"tiff", ImageFormat::Tiff, encode(".tiff", colour)},
            {"bigtiff", ImageFormat::Tiff, bigTiff(Width, Height)},
            {"png", ImageFormat::Png, encode(".png", colour)},
            {"jp2", ImageFormat::Jpeg2000, jp2},
            {"j2k", ImageFormat::Jpeg2000, codestreamOf(jp2)},
            {"exr", ImageFormat::OpenExr, encode(".exr", real)},
        };
        for (const auto &[name, format, file] : encoded)
            QVERIFY2(!file.isEmpty(), name);
    }

    void readsWhatEncodersWrite()
    {
        for (const auto &[name, format, file] : encoded) {
            const std::optional<DeclaredImage> image = declared(file);
            if (!image)
                QFAIL(name);
            QVERIFY2(image->format == format, name);
            QCOMPARE(image->width, std::uint64_t {Width});
            QCOMPARE(image->height, std::uint64_t {Height});
        }
    }

    // A header cut anywhere reads as unknown or as what it said in full, never
    // as another size. (A Radiance resolution line cut inside a number reads
    // shorter, for its decoder too, so it is left out.)
    void cutHeadersAreLeftToTheDecoder()
    {
        for (const auto &[name, format, file] : encoded) {
            if (format == ImageFormat::Radiance)
                continue;
            for (qsizetype cut = 0; cut < std::min<qsizetype>(file.size(), 400); ++cut) {
                const std::optional<DeclaredImage> image = declared(file.left(cut));
                if (image && (image->width != Width || image->height != Height))
                    QFAIL(qPrintable(QStringLiteral("%1 cut at %2").arg(name).arg(cut)));
            }
        }
    }

    void oddHeadersAreReadAsTheirDecodersReadThem_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        const QByteArray sides = littleEndian(Width, 4) + littleEndian(quint32(-Height), 4);
        const QByteArray bmp = encode(".bmp", cv::Mat(Height, Width, CV_8UC3, cv::Scalar::all(9)));
        QTest::newRow("bmp, rows top down")
            << bmp.left(18) + sides + bmp.mid(26) << Width << Height;
        QTest::newRow("bmp, OS/2 header")
            << QByteArray("BM") + QByteArray(12, 0) + littleEndian(12, 4) + littleEndian(Width, 2) +
                littleEndian(Height, 2) + littleEndian(1, 2) + littleEndian(24, 2)
            << Width << Height;
        QTest::newRow("pnm, comments")
            << QByteArray("P6\n# made by hand\n97 # wide\r65\n255\n") << Width << Height;
        QTest::newRow("pam, carriage returns")
            << QByteArray("P7\rWIDTH 97\rHEIGHT 65\rDEPTH 3\rMAXVAL 255\rENDHDR\r") << Width
            << Height;
        // fgets reads a 127-byte line in two: the lone line feed ends the header.
        QTest::newRow("radiance, 127-byte line") << "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n" +
                QByteArray(127, 'x') + "\n-Y 65 +X 97\n\n-Y 1 +X 1\n"
                                                 << Width << Height;
        QTest::newRow("jpeg, segments and fill bytes before the frame") << "\xff\xd8\xff\xe1" +
                QByteArray("\xff\xff", 2) + QByteArray(65533, '\xff') + "junk\xff\xff\xff" +
                progressiveJpegHeader(Width, Height).mid(2) << Width << Height;
        QTest::newRow("jp2, larger codestream")
            << jp2Claiming(10, 10, Width, Height) << Width << Height;
        QTest::newRow("jp2, larger image header")
            << jp2Claiming(Width, Height, 1, 1) << Width << Height;
    }

    void oddHeadersAreReadAsTheirDecodersReadThem()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, width);
        QFETCH(int, height);
        const std::optional<DeclaredImage> image = declared(file);
        if (!image)
            QFAIL("no size read");
        QCOMPARE(image->width, std::uint64_t(width));
        QCOMPARE(image->height, std::uint64_t(height));
    }

    void limitsHoldAtTheirEdge()
    {
        const std::uint64_t pixels = std::uint64_t {Width} * Height;
        for (const auto &[name, format, file] : encoded) {
            // JPEG 2000 gets an eighth of the limit.
            const std::uint64_t limit = format == ImageFormat::Jpeg2000 ? 8 * pixels : pixels;
            QVERIFY2(!refusal(file, limit), name);
            QVERIFY2(refusal(file, limit - 1), name);
        }

        const std::uint64_t defaultLimit = DecodeLimits().pixels;
        QCOMPARE(defaultLimit, std::uint64_t {1} << 28);
        QVERIFY(!refusal(pngClaiming(16384, 16384), defaultLimit));
        QVERIFY(refusal(pngClaiming(16384, 16385), defaultLimit));
        QVERIFY(!refusal(jpeg2000Codestream(8192, 4096), defaultLimit));
        QVERIFY(refusal(jpeg2000Codestream(8192, 4097), defaultLimit));
        // Sides beyond 32 bits multiply without wrapping round.
        QVERIFY(refusal(bigTiff(std::uint64_t {1} << 33, std::uint64_t {1} << 33), defaultLimit));

        // Files with no known header cost nothing to look at.
        QVERIFY(!refusal("GIF89a", 0));
        QVERIFY(!refusal("", 0));
    }

    void theUsersPixelLimitStands()
    {
        const QByteArray saved = qgetenv("OPENCV_IO_MAX_IMAGE_PIXELS");
        const bool wasSet = qEnvironmentVariableIsSet("OPENCV_IO_MAX_IMAGE_PIXELS");
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "4000000000");
        QCOMPARE(DecodeLimits::fromEnvironment().pixels, std::uint64_t {4000000000});
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "64Kb");
        QCOMPARE(DecodeLimits::fromEnvironment().pixels, std::uint64_t {65536});
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "lots");
        QCOMPARE(DecodeLimits::fromEnvironment().pixels, DecodeLimits().pixels);
        if (wasSet)
            qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", saved);
        else
            qunsetenv("OPENCV_IO_MAX_IMAGE_PIXELS");

        // Read as OpenCV reads its size settings; it refuses what is empty here.
        QCOMPARE(openCvSizeSetting("0"), std::optional<std::uint64_t>(0));
        QCOMPARE(openCvSizeSetting("3MB"), std::optional<std::uint64_t>(3 << 20));
        QCOMPARE(openCvSizeSetting("3mb"), std::optional<std::uint64_t>(3 << 20));
        QCOMPARE(openCvSizeSetting("5kb"), std::optional<std::uint64_t>(5 << 10));
        for (const char *refused : {"", "MB", "1GB", "-1", " 1", "1 ", "99999999999999999999999"})
            QVERIFY2(!openCvSizeSetting(refused), refused);
    }

    void scanWorkCountsTheBlocksLibjpegWalks()
    {
        // 64 x 64: 64 blocks a component.
        QCOMPARE(scanWork(jpegScanBomb(64, 64, 5)), std::uint64_t {5} * 64);
        QCOMPARE(
            scanWork(jpegScanBomb(64, 64, 5, JpegCoding::Huffman, 3)), std::uint64_t {5} * 192);
        QCOMPARE(
            scanWork(jpegScanBomb(64, 64, 5, JpegCoding::Arithmetic)), std::uint64_t {5} * 640);
        // Counting stops soon after enough.
        QCOMPARE(scanWork(jpegScanBomb(64, 64, 1000), 640), std::uint64_t {11} * 64);

        // libjpeg's progression over 4:2:0 colour: two DC scans over every
        // component, four luma and four chroma AC scans.
        cv::Mat colour(Height, Width, CV_8UC3);
        cv::randu(colour, 0, 256);
        const std::uint64_t luma = std::uint64_t {13} * 9;
        const std::uint64_t chroma = std::uint64_t {7} * 5;
        const QByteArray baseline = encode(".jpg", colour);
        QCOMPARE(scanWork(baseline), luma + 2 * chroma);
        QCOMPARE(scanWork(encode(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})),
            6 * luma + 8 * chroma);
        // Scans after the one scan of a sequential file are never decoded.
        const QByteArray scan =
            jpegScanBomb(64, 64, 1).chopped(2).mid(jpegScanBomb(64, 64, 0).size() - 2);
        QCOMPARE(scanWork(baseline.chopped(2) + scan.repeated(1000)), luma + 2 * chroma);
    }
};

QTEST_MAIN(DeclaredSizeTest)
#include "tst_declaredsize.moc"
