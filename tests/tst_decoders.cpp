// Every file that the checks pass decodes to exactly what this machine's
// cv::imread gives in colour, byte for byte: pictures from every encoder, and
// those same files cut short and mutated one byte at a time. Where OpenCV
// gives nothing, the viewer gives nothing either.
#include "decoding/decodefile.h"
#include "support/bytesverdict.h"
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

    // Cut anywhere, a JPEG, PNG or WebP that the checks pass shows what
    // OpenCV shows of it, or nothing where OpenCV shows nothing.
    void cutFilesDecodeAsOpenCvDecodesThem()
    {
        int compared = 0;
        const QString cut = dir.filePath(QStringLiteral("cut"));
        for (const EncodedFile &file : small) {
            const QByteArray whole = contents(file.path);
            if (!decodedByItsOwnLibrary(inspectBytes(whole)))
                continue;
            const qsizetype step = std::max<qsizetype>(1, whole.size() / 23);
            for (qsizetype length = 1; length < whole.size(); length += step) {
                if (!passesToItsOwnLibrary(whole.left(length), cut))
                    continue;
                expectOpenCvsPicture(cut, file.name + QStringLiteral(" cut at %1").arg(length));
                ++compared;
            }
        }
        QVERIFY(compared > 50);
    }

    // So do one-byte mutants, throughout the headers and here and there in
    // the rest.
    void mutantsDecodeAsOpenCvDecodesThem()
    {
        int compared = 0;
        const QString mutant = dir.filePath(QStringLiteral("mutant"));
        for (const EncodedFile &file : small) {
            const QByteArray whole = contents(file.path);
            if (!decodedByItsOwnLibrary(inspectBytes(whole)))
                continue;
            for (qsizetype at = 0; at < whole.size(); at += at < 160 ? 1 : whole.size() / 31 + 1) {
                for (const char value : {char(0x00), char(0xff), char(whole[at] ^ 0x10)}) {
                    QByteArray bytes = whole;
                    bytes[at] = value;
                    if (bytes == whole || !passesToItsOwnLibrary(bytes, mutant))
                        continue;
                    expectOpenCvsPicture(mutant, file.name + QStringLiteral(" byte %1").arg(at));
                    ++compared;
                }
            }
        }
        QVERIFY(compared > 500);
    }
};

QTEST_MAIN(DecodersTest)
#include "tst_decoders.moc"
