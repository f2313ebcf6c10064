// Small files that declare huge pictures or endless scans are refused from
// their headers through the real window; real progressive JPEGs still load.
#include "support/craftedfiles.h"
#include "support/heifbuilder.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

class CostlyFilesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    QString write(const QString &name, const QByteArray &bytes) const
    {
        return writeFile(dir, name, bytes);
    }

    // jpegtran's output, with these arguments, for a JPEG.
    QString jpegtran(const QString &name, const QString &source, QStringList arguments) const
    {
        const QString output = dir.filePath(name);
        arguments << QStringLiteral("-outfile") << output << source;
        QProcess process;
        process.start(QStringLiteral("jpegtran"), arguments);
        if (!process.waitForFinished() || process.exitCode() != 0)
            return {};
        return output;
    }

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }

    void cleanup() { window.reset(); }

    void refusedFromTheirHeaders_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        // Between this viewer's limit and OpenCV's own.
        const quint32 side = 20000;
        const QString declares = QStringLiteral("too costly: declares");
        QTest::newRow("jpeg") << write("huge.jpg", progressiveJpegHeader(side, side)) << declares;
        QTest::newRow("png") << write("huge.png", bilevelPngOfZeros(side, side)) << declares;
        // A canvas larger than any WebP image chunk can fill.
        QTest::newRow("webp") << write("huge.webp", webpCanvas(side, side) + QByteArray(8, 0))
                              << "unreadable WebP header";
        QTest::newRow("tiff") << write("huge.tiff", tiffOfSharedStrips(side, side)) << declares;
        QTest::newRow("bmp") << write("huge.bmp", rleBmpOfNothing(int(side), int(side)))
                             << declares;
        // JPEG 2000's limit is an eighth of the others.
        QTest::newRow("j2k") << write("big.j2k", jpeg2000Codestream(8192, 8192)) << declares;
        QTest::newRow("jp2") << write("big.jp2", jp2Claiming(8192, 8192, 8192, 8192)) << declares;
        // Pictures that would load, but whose scans would take the decoder
        // over their blocks hundreds of times, in a few bytes.
        QTest::newRow("scan bomb") << write("bomb.jpg", jpegScanBomb(4096, 4096, 400)) << "hollow";
        QTest::newRow("arithmetic scan bomb")
            << write("abomb.jpg", jpegScanBomb(4096, 4096, 400, JpegCoding::Arithmetic))
            << "too costly: about";
        // The decoder is chosen by content: the name does not matter.
        QTest::newRow("png named .jpg")
            << write("liar.jpg", bilevelPngOfZeros(side, side)) << declares;

        // Every kind that froze the window for seconds to a minute, or took
        // gigabytes, while the checks left to the decoders what they could
        // not read or price. All named .jpg, as the dialog lists them.
        QTest::newRow("jpeg behind an APP0 of length 0")
            << write("app0.jpg", behindEmptyApp0(progressiveJpegHeader(32768, 32768))) << declares;
        QTest::newRow("scan bomb behind an APP0 of length 0")
            << write("app0bomb.jpg", behindEmptyApp0(jpegScanBomb(8192, 8192, 2000))) << "hollow";
        QTest::newRow("nitf") << write("nitf.jpg", nitfFile()) << "unknown format: NITF";
        QTest::newRow("dted") << write("dted.jpg", dtedFile()) << "unknown format: NITF or DTED";
        QTest::newRow("tiff with LONG8 sides")
            << write("long8.jpg", tiffWithLong8Sides(32768, 32768)) << declares;
        QTest::newRow("openexr with a box of size 0")
            << write("exr.jpg", exrClaiming(32768, 16384, 0)) << "unreadable OpenEXR";
        QTest::newRow("jpeg 2000 with 2 x 2 precincts")
            << write("precincts.jpg", jpeg2000TinyPrecincts(2048)) << "hollow";
        QTest::newRow("jpeg 2000 with 4 x 4 code-blocks")
            << write("codeblocks.jpg", jpeg2000TinyCodeBlocks(5792)) << "too costly: about";
        QTest::newRow("tiff of refining JPEG strips")
            << write("strips.jpg", tiffOfJpegRefinements(16384, 99)) << "hollow";
        QTest::newRow("png with 120 zTXt of 8 MB")
            << write("text.jpg", pngWithTexts(120, 8000000 - 100)) << "too costly: about";
        QTest::newRow("tiff of one huge tile")
            << write("tile.jpg", tiffOfOneHugeTile(64, 16384)) << "too costly: about";
        QTest::newRow("256 refinement scans")
            << write("refine.jpg", jpegRefinementScans(4096, 4096, 1, 256)) << "hollow";
        QTest::newRow("refinement scans at the limits")
            << write("limits.jpg", jpegRefinementScans(16384, 16384, 3, 16)) << "hollow";

        // HEIF files that name one picture thousands of times, or whose
        // boxes declare another picture than their streams code.
        QTest::newRow("heif, a grid naming one tile 20000 times, its primary's alpha as often")
            << write("named.jpg", heifManyTimesNamed(125)) << "too costly: about";
        QTest::newRow("heif, a tile of 200 properties named 65280 times")
            << write("associations.jpg", heifManyAssociations()) << "too costly: about";
        QTest::newRow("avif, 1 x 1 tiles coded 16384 x 16384")
            << write("avifgrid.jpg", heifTilesCodedLarger(true, 16384))
            << "unreadable HEIF: a picture whose stream codes 16384 x 16384 where its extent "
               "declares 1 x 1";
        QTest::newRow("heic, 1 x 1 tiles coded 4096 x 4096")
            << write("heicgrid.jpg", heifTilesCodedLarger(false, 4096))
            << "unreadable HEIF: a picture whose stream codes 4096 x 4096";
        QTest::newRow("avif, 8192 x 4096 coded 8256 x 8256")
            << write("avifsize.jpg", heifCodedLarger(true, 8192, 4096, 8256, 8256))
            << "unreadable HEIF: a picture whose stream codes 8256 x 8256";
        for (const bool av1 : {false, true})
            QTest::addRow("%s, 4096 x 1 coded 4096 x 4096", av1 ? "avif" : "heic")
                << write(av1 ? "avifrow.jpg" : "heicrow.jpg",
                       heifCodedLarger(av1, 4096, 1, 4096, 4096))
                << "unreadable HEIF: a picture whose stream codes 4096 x 4096 where its extent "
                   "declares 4096 x 1";
        QTest::newRow("heic, a tile's own alpha coded larger than it declares")
            << write("tilealpha.jpg", heifTileWithLargerAlpha())
            << "unreadable HEIF: a picture whose stream codes 4096 x 4096 where its extent "
               "declares 2048 x 2048";
        QTest::newRow("heic, eight coded pictures")
            << write("eight.jpg", heifPictures(8, 4096)) << "too costly: about";
        QTest::newRow("heic, nine coded pictures")
            << write("nine.jpg", heifPictures(9, 64))
            << "unreadable HEIF: more than eight coded pictures";

        // Files that are two formats at once, whatever their first bytes
        // say: OpenCV would hand them to its DICOM decoder once the first
        // format's turned them down, or at once.
        const cv::Mat picture = patternImage(9);
        const auto encoded = [&picture](const char *extension) {
            std::vector<uchar> bytes;
            cv::imencode(extension, picture, bytes);
            return QByteArray(
                reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
        };
        QByteArray riffSizeZero = encoded(".webp");
        riffSizeZero.replace(4, 4, QByteArray(4, '\0'));
        QTest::newRow("dicom behind a webp header whose riff size is 0")
            << write("webp0.jpg", dicomBehind(riffSizeZero)) << "DICOM";
        for (const char *extension : {".webp", ".jpg", ".png", ".bmp", ".tiff", ".ppm", ".pam"})
            QTest::addRow("dicom behind a %s header", extension + 1)
                << write(QStringLiteral("dicom%1.jpg").arg(extension + 1),
                       dicomBehind(encoded(extension)))
                << "DICOM";
    }

    void refusedFromTheirHeaders()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        const QString good = dir.filePath(QStringLiteral("good.png"));
        QVERIFY(cv::imwrite(good.toStdString(), patternImage(31)));
        chooseFile(*window, good);
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);

        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, file);
        QCOMPARE(out.text(), std::string("失敗\n"));
        // The viewer says why, in one line, before any decoder has run.
        const std::string said = err.text();
        const std::string expected =
            "morvastel: " + file.toStdString() + ": " + reason.toStdString();
        QVERIFY2(said.rfind(expected, 0) == 0, said.c_str());
        QCOMPARE(std::count(said.begin(), said.end(), '\n'), 1);
        for (size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
    }

    void progressiveJpegsLoadExactly()
    {
        cv::Mat picture(480, 640, CV_8UC3);
        cv::randu(picture, 0, 256);
        cv::GaussianBlur(picture, picture, cv::Size(9, 9), 0);
        const QString baseline = dir.filePath(QStringLiteral("baseline.jpg"));
        QVERIFY(cv::imwrite(baseline.toStdString(), picture, {cv::IMWRITE_JPEG_QUALITY, 95}));

        // libjpeg's standard ten scans, a script of 38, and the ten coded
        // arithmetically: all the same coefficients, so the same pixels.
        QString script;
        const char *bands[] = {"1-2", "3-5", "6-9", "10-14", "15-27", "28-63"};
        for (const char *bits : {"0, 1", "1, 0"}) {
            script += QStringLiteral("0,1,2: 0-0, %1;\n").arg(QLatin1String(bits));
            for (int component = 0; component < 3; ++component)
                for (const char *band : bands)
                    script += QStringLiteral("%1: %2, %3;\n").arg(component).arg(band).arg(bits);
        }
        const QString scans = write(QStringLiteral("scans.txt"), script.toLatin1());
        const QString files[] = {
            jpegtran(QStringLiteral("ten.jpg"), baseline, {QStringLiteral("-progressive")}),
            jpegtran(QStringLiteral("many.jpg"), baseline, {QStringLiteral("-scans"), scans}),
            jpegtran(QStringLiteral("arithmetic.jpg"), baseline,
                {QStringLiteral("-arithmetic"), QStringLiteral("-progressive")}),
        };

        chooseFile(*window, baseline);
        const cv::Mat expected = shownPixels(panel(*window, "origin"));
        for (const QString &file : files) {
            QVERIFY2(!file.isEmpty(), "jpegtran failed");
            const QPointer<QGraphicsScene> before = panel(*window, "origin")->scene();
            StdoutCapture out;
            chooseFile(*window, file);
            QCOMPARE(out.text(), std::string());
            QVERIFY(before.isNull()); // replaced by the new picture's
            QVERIFY(same(shownPixels(panel(*window, "origin")), expected));
        }
    }
};

QTEST_MAIN(CostlyFilesTest)
#include "tst_costly.moc"
