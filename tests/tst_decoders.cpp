// Every file that the checks pass decodes to exactly what this machine's
// cv::imread gives in colour, byte for byte: pictures from every encoder, and
// those same files cut short and mutated one byte at a time. Where OpenCV
// gives nothing, the viewer gives nothing either.
#include "decoding/decodefile.h"
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"
#include "support/encoders.h"
#include "support/windowdriver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

namespace {

// What the viewer promises: cv::imread's picture in three channels; nothing
// where it throws (on sides it will not read).
cv::Mat openCvColour(const QString &path)
{
    cv::Mat image;
    try {
        image = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        return {};
    }
    if (!image.empty() && image.type() == CV_8UC1)
        cv::cvtColor(image, image, cv::COLOR_GRAY2BGR);
    return image;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray encoded(
    const char *extension, const cv::Mat &picture, const std::vector<int> &options = {})
{
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes, options);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// Where the first segment with this marker starts, at its 0xFF.
qsizetype segmentAt(const QByteArray &jpeg, char marker, qsizetype from = 2)
{
    return jpeg.indexOf(QByteArray("\xff", 1) + marker, from);
}

// A JPEG whose frame gives its components these ids, and whose scans name
// them by them: the n-th component of the frame's takes ids[n].
QByteArray withComponentIds(QByteArray jpeg, const QList<int> &ids)
{
    qsizetype frame = segmentAt(jpeg, char(0xc0));
    if (frame < 0)
        frame = segmentAt(jpeg, char(0xc2));
    QByteArray written;
    for (qsizetype n = 0; n < ids.size(); ++n) {
        written += jpeg[frame + 10 + 3 * n];
        jpeg[frame + 10 + 3 * n] = char(ids[n]);
    }
    qsizetype scan = segmentAt(jpeg, char(0xda));
    while (scan >= 0) {
        for (int n = 0; n < jpeg[scan + 4]; ++n) {
            char &id = jpeg[scan + 5 + 2 * qsizetype {n}];
            id = char(ids[written.indexOf(id)]);
        }
        scan = segmentAt(jpeg, char(0xda), scan + 2);
    }
    return jpeg;
}

// The JPEG cut `bytes` bytes before the end of its first scan header.
QByteArray cutInFirstScanHeader(const QByteArray &jpeg, int bytes)
{
    const qsizetype scan = segmentAt(jpeg, char(0xda));
    const qsizetype length = quint8(jpeg[scan + 2]) << 8 | quint8(jpeg[scan + 3]);
    return jpeg.left(scan + 2 + length - bytes);
}

QByteArray chunk(const QByteArray &fourcc, const QByteArray &payload)
{
    return fourcc + littleEndian(quint64(payload.size()), 4) + payload +
        QByteArray(payload.size() % 2, 0);
}

// A WebP of an extended header with these flags, these chunks and then the
// image chunk of a simple WebP.
QByteArray extendedWebp(
    const QByteArray &simple, quint32 width, quint32 height, quint8 flags, const QByteArray &chunks)
{
    const QByteArray vp8x =
        char(flags) + QByteArray(3, 0) + littleEndian(width - 1, 3) + littleEndian(height - 1, 3);
    const QByteArray body = "WEBP" + chunk("VP8X", vp8x) + chunks + simple.mid(12);
    return "RIFF" + littleEndian(quint64(body.size()), 4) + body;
}

QByteArray repeated(const QByteArray &piece, int times)
{
    QByteArray all;
    for (int i = 0; i < times; ++i)
        all += piece;
    return all;
}

bool decodedByItsOwnLibrary(const Verdict &verdict)
{
    const std::string format = formatName(verdict);
    return format == "JPEG" || format == "PNG" || format == "WebP";
}

} // namespace

class DecodersTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::vector<EncodedFile> small; // every encoder's, at a size whose mutants run quickly

    // The file decodes as cv::imread decodes it, or both give nothing. The
    // viewer says why on standard error whenever it gives nothing.
    void expectOpenCvsPicture(const QString &path, const QString &what)
    {
        OutputCapture err(STDERR_FILENO);
        const cv::Mat decoded = decodeFile(path.toStdString());
        const std::string said = err.text();
        const cv::Mat expected = openCvColour(path);
        QVERIFY2((decoded.empty() && expected.empty()) || same(decoded, expected),
            qPrintable(what +
                QStringLiteral(": %1 x %2 against OpenCV's %3 x %4 ")
                    .arg(decoded.cols)
                    .arg(decoded.rows)
                    .arg(expected.cols)
                    .arg(expected.rows) +
                QString::fromStdString(said)));
        if (decoded.empty())
            QVERIFY2(said.find("morvastel: ") == 0, qPrintable(what));
    }

    // The bytes as a file, checked: whether the checks pass it, and decode it
    // with JPEG, PNG or WebP's own library.
    bool passesToItsOwnLibrary(const QByteArray &bytes, const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        const Verdict verdict = inspectBytes(bytes, DecodeLimits::forThisProcess());
        return verdict.refusal.empty() && decodedByItsOwnLibrary(verdict);
    }

    // One row per encoder's file, so that each has the test watchdog's whole
    // budget: every mutant is decoded in a child process of its own, slowly
    // under the sanitizers.
    void addEverySmallFile()
    {
        QTest::addColumn<QString>("file");
        for (const EncodedFile &file : small)
            if (decodedByItsOwnLibrary(inspectBytes(contents(file.path))))
                QTest::newRow(qPrintable(file.name)) << file.path;
    }

private slots:
    void initTestCase()
    {
        small = encodeWithEveryEncoder(
            dir.path(), QStringLiteral("small"), photoLike(cv::Size(64, 48), 5));
        QVERIFY(!small.empty());
    }

    void everyEncodersPictureDecodesAsOpenCvDecodesIt_data()
    {
        QTest::addColumn<QString>("file");
        for (const EncodedFile &file : small)
            QTest::newRow(qPrintable("64x48 " + file.name)) << file.path;
        for (const EncodedFile &file : encodeWithEveryEncoder(
                 dir.path(), QStringLiteral("large"), photoLike(cv::Size(1203, 801), 7)))
            QTest::newRow(qPrintable("1203x801 " + file.name)) << file.path;
    }

    void everyEncodersPictureDecodesAsOpenCvDecodesIt()
    {
        QFETCH(QString, file);
        QVERIFY2(!file.isEmpty(), "the encoder failed");
        QVERIFY(!openCvColour(file).empty());
        expectOpenCvsPicture(file, file);
    }

    // Files that encoders and damaged downloads make, which libjpeg and
    // libwebp read: components that share an id, a scan header cut a few
    // bytes short, an alpha chunk before a lossless image, a thousand chunks
    // before the image, and bitstreams without their container.
    void oddFilesShowWhatOpenCvShows_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("shown"); // by cv::imread
        const cv::Mat picture = photoLike(cv::Size(67, 45), 3);
        const QByteArray baseline = encoded(".jpg", picture);
        const QByteArray progressive = encoded(".jpg", picture, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
        for (const QList<int> &ids : {QList<int> {1, 1, 1}, {0, 0, 0}, {1, 2, 1}, {2, 2, 3}}) {
            const QString named =
                QStringLiteral("ids %1,%2,%3").arg(ids[0]).arg(ids[1]).arg(ids[2]);
            QTest::newRow(qPrintable("baseline, " + named))
                << withComponentIds(baseline, ids) << true;
            QTest::newRow(qPrintable("progressive, " + named))
                << withComponentIds(progressive, ids) << true;
        }
        QTest::newRow("cmyk, ids 1,1,1,1")
            << withComponentIds(adobeJpeg(picture, false), {1, 1, 1, 1}) << true;

        cv::Mat grey;
        cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
        JpegSpec arithmetic;
        arithmetic.components = 3;
        arithmetic.coding = JpegCoding::Arithmetic;
        arithmetic.progressive = false;
        arithmetic.scans = {JpegScan {{1, 2, 3}, 0, 63, 0, 0}};
        // libjpeg's colour JPEG is 4:2:0.
        const std::pair<const char *, QByteArray> cut[] = {{"baseline", baseline},
            {"grey", encoded(".jpg", grey)}, {"cmyk", adobeJpeg(picture, false)},
            {"arithmetic", craftedJpeg(arithmetic)}, {"progressive", progressive}};
        // The bytes libjpeg puts in are 0xFF 0xD9 again and again: cut four
        // bytes short, a Huffman scan names table 15, which there is not, and
        // a progressive one's bit positions are those no scan may have.
        for (const auto &[name, jpeg] : cut) {
            for (int bytes = 1; bytes <= 4; ++bytes) {
                const QString row = QStringLiteral("%1, cut %2 bytes into its scan header");
                QTest::newRow(qPrintable(row.arg(name).arg(bytes)))
                    << cutInFirstScanHeader(jpeg, bytes)
                    << (name != std::string_view("progressive") &&
                           (bytes < 4 || name == std::string_view("arithmetic")));
            }
        }

        const QByteArray lossless = encoded(".webp", picture, {cv::IMWRITE_WEBP_QUALITY, 101});
        const QByteArray lossy = encoded(".webp", picture, {cv::IMWRITE_WEBP_QUALITY, 80});
        const QByteArray alpha = chunk("ALPH", QByteArray(5, 0));
        QTest::newRow("webp, alpha chunk before a lossless image")
            << extendedWebp(lossless, 67, 45, 0, alpha) << true;
        QTest::newRow("webp, alpha chunk and flag before a lossless image")
            << extendedWebp(lossless, 67, 45, 0x10, alpha) << true;
        const QByteArray empty = chunk("EMPT", {});
        QTest::newRow("webp, 1024 chunks before a lossy image")
            << extendedWebp(lossy, 67, 45, 0, repeated(empty, 1024)) << true;
        QTest::newRow("webp, 5000 chunks before a lossless image")
            << extendedWebp(lossless, 67, 45, 0, repeated(empty, 5000)) << true;
        QTest::newRow("webp, bare lossless chunk") << lossless.mid(12) << true;
        QTest::newRow("webp, bare lossless bitstream") << lossless.mid(20) << true;
        QTest::newRow("webp, bare lossy chunk") << lossy.mid(12) << true;
        // A bare lossy bitstream is taken only where its first partition
        // fits in the 32 bytes OpenCV asks libwebp about: a flat picture's.
        const QByteArray flat = encoded(".webp", cv::Mat(16, 16, CV_8UC3, cv::Scalar(10, 90, 200)),
            {cv::IMWRITE_WEBP_QUALITY, 1});
        QTest::newRow("webp, bare lossy bitstream") << flat.mid(20) << true;
    }

    void oddFilesShowWhatOpenCvShows()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, shown);
        const QString path = dir.filePath(QStringLiteral("odd"));
        QCOMPARE(passesToItsOwnLibrary(bytes, path) && !openCvColour(path).empty(), shown);
        expectOpenCvsPicture(path, QString::fromLatin1(QTest::currentDataTag()));
    }

    // Cut anywhere, a JPEG, PNG or WebP that the checks pass shows what
    // OpenCV shows of it, or nothing where OpenCV shows nothing.
    void cutFilesDecodeAsOpenCvDecodesThem_data() { addEverySmallFile(); }
    void cutFilesDecodeAsOpenCvDecodesThem()
    {
        QFETCH(QString, file);
        const QByteArray whole = contents(file);
        const QString cut = dir.filePath(QStringLiteral("cut"));
        const qsizetype step = std::max<qsizetype>(1, whole.size() / 23);
        int compared = 0;
        for (qsizetype length = 1; length < whole.size(); length += step) {
            if (!passesToItsOwnLibrary(whole.left(length), cut))
                continue;
            expectOpenCvsPicture(cut, QStringLiteral("cut at %1").arg(length));
            ++compared;
        }
        QVERIFY(compared > 0);
    }

    // So do one-byte mutants, throughout the headers and here and there in
    // the rest.
    void mutantsDecodeAsOpenCvDecodesThem_data() { addEverySmallFile(); }
    void mutantsDecodeAsOpenCvDecodesThem()
    {
        QFETCH(QString, file);
        const QByteArray whole = contents(file);
        const QString mutant = dir.filePath(QStringLiteral("mutant"));
        int compared = 0;
        for (qsizetype at = 0; at < whole.size(); at += at < 160 ? 1 : whole.size() / 31 + 1) {
            for (const char value : {char(0x00), char(0xff), char(whole[at] ^ 0x10)}) {
                QByteArray bytes = whole;
                bytes[at] = value;
                if (bytes == whole || !passesToItsOwnLibrary(bytes, mutant))
                    continue;
                expectOpenCvsPicture(mutant, QStringLiteral("byte %1").arg(at));
                ++compared;
            }
        }
        QVERIFY(compared > 20);
    }
};

QTEST_MAIN(DecodersTest)
#include "tst_decoders.moc"
