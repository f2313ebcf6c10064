// Small files that declare huge pictures or endless scans are refused from
// their headers through the real window; real progressive JPEGs still load.
#include "support/craftedfiles.h"
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
        // Between this viewer's limit and OpenCV's own.
        const quint32 side = 20000;
        QTest::newRow("jpeg") << write("huge.jpg", progressiveJpegHeader(side, side));
        QTest::newRow("png") << write("huge.png", bilevelPngOfZeros(side, side));
        QTest::newRow("webp") << write("huge.webp", webpCanvas(side, side));
        QTest::newRow("tiff") << write("huge.tiff", tiffOfSharedStrips(side, side));
        QTest::newRow("bmp") << write("huge.bmp", rleBmpOfNothing(int(side), int(side)));
        // JPEG 2000's limit is an eighth of the others.
        QTest::newRow("j2k") << write("big.j2k", jpeg2000Codestream(8192, 8192));
        QTest::newRow("jp2") << write("big.jp2", jp2Claiming(8192, 8192, 8192, 8192));
        // A picture that loads, but whose scans would take the decoder over
        // its blocks hundreds of times.
        QTest::newRow("scan bomb") << write("bomb.jpg", jpegScanBomb(4096, 4096, 400));
        QTest::newRow("arithmetic scan bomb")
            << write("abomb.jpg", jpegScanBomb(4096, 4096, 400, JpegCoding::Arithmetic));
        // The decoder is chosen by content: the name does not matter.
        QTest::newRow("png named .jpg") << write("liar.jpg", bilevelPngOfZeros(side, side));
    }

    void refusedFromTheirHeaders()
    {
        QFETCH(QString, file);
        const QString good = dir.filePath(QStringLiteral("good.png"));
        QVERIFY(cv::imwrite(good.toStdString(), patternImage(31)));
        chooseFile(*window, good);
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);

        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, file);
        QCOMPARE(out.text(), std::string("失敗\n"));
        // The viewer says why, before any decoder has run.
        const std::string reason = err.text();
        QVERIFY2(reason.find("morvastel: " + file.toStdString() + ": ") == 0, reason.c_str());
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

        // libjpeg's standard ten scans, and a script of 38.
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
