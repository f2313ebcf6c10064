// The checks before decoding read every format's header as its decoder reads
// it, and refuse what they cannot read.
#include "decoding/opencvsettings.h"
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"

#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <cstring>

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

// A BigTIFF with just the two sides in its first directory, and one strip.
QByteArray bigTiff(quint64 width, quint64 height)
{
    const auto entry = [](quint16 tag, quint16 type, quint64 value) {
        return littleEndian(tag, 2) + littleEndian(type, 2) + littleEndian(1, 8) +
            littleEndian(value, 8);
    };
    return QByteArray("II+\0", 4) + littleEndian(8, 2) + littleEndian(0, 2) + littleEndian(16, 8) +
        littleEndian(5, 8) + entry(256, 16, width) + entry(257, 16, height) + entry(258, 3, 8) +
        entry(273, 16, 0) + entry(279, 16, 1) + littleEndian(0, 8);
}

// The codestream inside a JP2 file.
QByteArray codestreamOf(const QByteArray &jp2)
{
    return jp2.mid(jp2.indexOf("jp2c") + 4);
}

bool readAs(const Verdict &verdict, std::uint64_t width, std::uint64_t height)
{
    return verdict.refusal.empty() && verdict.assessment.width == width &&
        verdict.assessment.height == height;
}

// The reason the refusal gives, for failure messages.
const char *why(const Verdict &verdict)
{
    return verdict.refusal.c_str();
}

} // namespace

class VerdictsTest : public QObject
{
    Q_OBJECT

    // Files as their encoders write them, by name, with their format's name.
    std::vector<std::tuple<const char *, const char *, QByteArray>> encoded;

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
            {"bmp", "BMP", encode(".bmp", colour)},
            {"hdr", "Radiance HDR", encode(".hdr", real)},
            {"jpeg", "JPEG", encode(".jpg", colour)},
            {"progressive jpeg", "JPEG", encode(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
            {"lossy webp", "WebP", encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80})},
            {"lossless webp", "WebP", encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 101})},
            {"extended webp", "WebP", encode(".webp", alpha, {cv::IMWRITE_WEBP_QUALITY, 80})},
            {"sun raster", "Sun raster", encode(".ras", colour)},
            {"ppm", "PNM", encode(".ppm", colour)},
            {"pgm", "PNM", encode(".pgm", grey)},
            {"pbm", "PNM", encode(".pbm", grey)},
            {"pam", "PAM", encode(".pam", colour)},
            {"pfm", "PFM", encode(".pfm", real)},
            {"tiff", "TIFF", encode(".tiff", colour)},
            {"bigtiff", "TIFF", bigTiff(Width, Height)},
            {"png", "PNG", encode(".png", colour)},
            {"jp2", "JPEG 2000", jp2},
            {"j2k", "JPEG 2000 codestream", codestreamOf(jp2)},
            {"exr", "OpenEXR", encode(".exr", real)},
        };
        for (const auto &[name, format, file] : encoded)
            QVERIFY2(!file.isEmpty(), name);
    }

    void readsWhatEncodersWrite()
    {
        for (const auto &[name, format, file] : encoded) {
            const Verdict verdict = inspectBytes(file);
            QVERIFY2(
                readAs(verdict, Width, Height), (std::string(name) + ": " + why(verdict)).c_str());
            QCOMPARE(formatName(verdict), format);
        }
    }

    // A header cut anywhere is refused or read as what it said in full,
    // never as another size. (A Radiance resolution line cut inside a number
    // reads shorter, for its decoder too, so it is left out.)
    void cutHeadersAreRefusedOrReadInFull()
    {
        for (const auto &[name, format, file] : encoded) {
            if (std::strcmp(format, "Radiance HDR") == 0)
                continue;
            for (qsizetype cut = 0; cut < std::min<qsizetype>(file.size(), 400); ++cut) {
                const Verdict verdict = inspectBytes(file.left(cut));
                if (verdict.refusal.empty() && !readAs(verdict, Width, Height))
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
        // libjpeg skips nothing after an APPn or COM length below 2, and reads on.
        QTest::newRow("jpeg, APP0 of length 0")
            << "\xff\xd8\xff\xe0" + QByteArray(2, 0) + progressiveJpegHeader(Width, Height).mid(2)
            << Width << Height;
        // Restart markers and TEM stand alone, the last restart marker too.
        QTest::newRow("jpeg, RST0 to RST7 and TEM before the frame") << "\xff\xd8" +
                QByteArray::fromHex("ffd0ffd1ffd2ffd3ffd4ffd5ffd6ffd7ff01") +
                progressiveJpegHeader(Width, Height).mid(2) << Width << Height;
        // The codestream decides; OpenJPEG checks the image header box against it.
        QTest::newRow("jp2, image header disagrees")
            << jp2Claiming(10, 10, Width, Height) << Width << Height;
        // The top two bits of each side of a lossy WebP frame are a scale.
        QByteArray scaled = encode(".webp", cv::Mat(Height, Width, CV_8UC3, cv::Scalar::all(9)));
        scaled[27] = char(quint8(scaled[27]) | 0xc0);
        scaled[29] = char(quint8(scaled[29]) | 0x40);
        QTest::newRow("webp, scale bits") << scaled << Width << Height;
        // libtiff keeps the first of a repeated tag.
        TiffSpec repeated;
        repeated.width = Width;
        repeated.height = Height;
        repeated.piece = QByteArray(qsizetype {Width} * Height, 0);
        repeated.extraEntries = {tiffEntry(256, 4, 100000), tiffEntry(257, 4, 1)};
        QTest::newRow("tiff, repeated sides") << craftedTiff(repeated) << Width << Height;
        // libtiff reads LONG8 sides in classic TIFF too, from where the entry points.
        TiffSpec long8 = repeated;
        long8.extraEntries.clear();
        long8.sideType = 16;
        QTest::newRow("tiff, LONG8 sides") << craftedTiff(long8) << Width << Height;
        QTest::newRow("pnm, the largest side")
            << QByteArray("P5\n2147483647 1\n255\n") << 2147483647 << 1;
    }

    void oddHeadersAreReadAsTheirDecodersReadThem()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, width);
        QFETCH(int, height);
        // The sides alone: no limit on sides, pixels or work.
        DecodeLimits limits;
        limits.width = ~std::uint64_t {0};
        limits.height = ~std::uint64_t {0};
        limits.pixels = ~std::uint64_t {0};
        limits.freeSeconds = 1e30;
        const Verdict verdict = inspectBytes(file, limits);
        QVERIFY2(readAs(verdict, std::uint64_t(width), std::uint64_t(height)), why(verdict));
    }

    // What a decoder would refuse or read otherwise than these checks is
    // refused here, with a reason.
    void unreadableHeadersAreRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing") << QByteArray() << "unknown format";
        QTest::newRow("text") << QByteArray("nothing to see\n") << "unknown format";
        QTest::newRow("gif") << QByteArray("GIF89a\1\0\1\0\0\0\0;") << "unknown format";
        QTest::newRow("nitf") << nitfFile() << "unknown format: NITF or DTED";
        QTest::newRow("dted") << dtedFile() << "unknown format: NITF or DTED";
        QTest::newRow("dicom") << QByteArray(128, 0) + "DICM" + QByteArray(100, 0) << "DICOM";
        // A scan before any frame stops libjpeg; so it stops the checks.
        QTest::newRow("jpeg, scan before frame")
            << "\xff\xd8" + jpegScanBomb(64, 64, 1).mid(jpegScanBomb(64, 64, 1).indexOf("\xff\xda"))
            << "a scan before the frame";
        QTest::newRow("jpeg, DQT of length 1")
            << QByteArray::fromHex("ffd8ffdb0001") + progressiveJpegHeader(8, 8).mid(2)
            << "shorter than its length field";
        QTest::newRow("jpeg, lossless")
            << QByteArray::fromHex("ffd8ffc3000b08000800080101110000ffd9") << "0xC3";
        QTest::newRow("jpeg, 12-bit") << QByteArray::fromHex("ffd8ffc0000b0c000800080101110000ffd9")
                                      << "does not decode in colour";
        QTest::newRow("png, no image header")
            << QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 0) << "no image header first";
        QTest::newRow("png, no data")
            << pngClaiming(10, 10).replace("IDAT", "IDAX") << "no image data";
        QTest::newRow("tiff, two million entries") << QByteArray("II*\0", 4) + littleEndian(8, 4) +
                littleEndian(65535, 2) << "a directory of 65535";
        QTest::newRow("exr, box of size 0")
            << exrClaiming(64, 64, 0) << "dataWindow of type box2i with a size of 0";
        QTest::newRow("exr, box of size 20") << exrClaiming(64, 64, 20) << "with a size of 20";
        QTest::newRow("bmp, header of 20 bytes")
            << QByteArray("BM") + QByteArray(12, 0) + littleEndian(20, 4) + QByteArray(40, 0)
            << "of 20 bytes";
        QTest::newRow("pnm, side past INT_MAX")
            << QByteArray("P5\n2147483648 1\n255\n") << "unreadable PNM";
        QTest::newRow("webp, animated")
            << QByteArray(webpCanvas(10, 10) + QByteArray(8, 0)).replace(20, 1, QByteArray(1, 0x02))
            << "animated WebP";
    }

    void unreadableHeadersAreRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        const Verdict verdict = inspectBytes(file);
        QVERIFY2(QString::fromStdString(verdict.refusal).contains(reason), why(verdict));
    }

    // SOF9 and SOF10 are arithmetic-coded: priced as such, far above Huffman.
    void arithmeticFramesArePricedAsArithmetic()
    {
        for (const bool progressive : {true, false}) {
            JpegSpec spec;
            spec.width = 1024;
            spec.height = 1024;
            spec.progressive = progressive;
            spec.scans = {progressive ? dcFirst({1}) : JpegScan {{1}, 0, 63, 0, 0}};
            const Verdict huffman = inspectBytes(craftedJpeg(spec));
            spec.coding = JpegCoding::Arithmetic;
            const Verdict arithmetic = inspectBytes(craftedJpeg(spec));
            QVERIFY2(huffman.refusal.empty() && arithmetic.refusal.empty(), why(arithmetic));
            QVERIFY(arithmetic.assessment.honestBytes < huffman.assessment.honestBytes);
            QVERIFY(arithmetic.assessment.plainSeconds > huffman.assessment.plainSeconds);
        }
    }

    void theUsersPixelLimitStands()
    {
        const QByteArray saved = qgetenv("OPENCV_IO_MAX_IMAGE_PIXELS");
        const bool wasSet = qEnvironmentVariableIsSet("OPENCV_IO_MAX_IMAGE_PIXELS");
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "4000000000");
        QCOMPARE(DecodeLimits::forThisProcess().pixels, std::uint64_t {4000000000});
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "64Kb");
        QCOMPARE(DecodeLimits::forThisProcess().pixels, std::uint64_t {65536});
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "lots");
        QCOMPARE(DecodeLimits::forThisProcess().pixels, DecodeLimits().pixels);
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
};

QTEST_GUILESS_MAIN(VerdictsTest)
#include "tst_verdicts.moc"
