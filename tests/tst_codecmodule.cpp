// JPEG, PNG and WebP are decoded by their own libraries, and OpenCV's codecs
// come only at the first picture that needs them, from the OpenCV module in
// lib/.../morvastel/ beside the program's folder; a missing or broken module
// gives the failure line. Built without OpenCV's codecs, like the program,
// into a folder of its own whose module this test controls.
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

bool mapped(const char *library)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(library);
}

// OpenCV's image codecs and the libraries only they bring.
bool openCvCodecsMapped()
{
    return mapped("libopencv_imgcodecs") || mapped("libgdal") || mapped("libgdcm");
}

} // namespace

class CodecModuleTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString bmp; // a picture only OpenCV decodes here
    QString module;
    std::unique_ptr<MainWindow> window;

    void putModule(const QString &from)
    {
        QFile::remove(module);
        QVERIFY(QFile::copy(from, module));
    }

    // A 256 x 192 picture of one colour, written by Qt in this format.
    QString picture(const char *format)
    {
        const QString path = dir.filePath(QStringLiteral("picture.") + format);
        QImage image(256, 192, QImage::Format_RGB888);
        image.fill(QColor(200, 40, 90));
        return image.save(path, format, 100) ? path : QString();
    }

    void expectShown(const QString &file)
    {
        StdoutCapture out;
        chooseFile(*window, file);
        const std::string said = out.text();
        QVERIFY2(said.empty(), said.c_str());
        const cv::Mat shown = shownPixels(panel(*window, "origin"));
        QCOMPARE(shown.size(), cv::Size(256, 192));
        const cv::Vec3b colour = shown.at<cv::Vec3b>(100, 100);
        QVERIFY2(
            std::abs(colour[0] - 200) + std::abs(colour[1] - 40) + std::abs(colour[2] - 90) < 8,
            qPrintable(file));
    }

    // Chooses the BMP, which must fail: the failure line, no panel changed,
    // and one line on standard error that says why.
    void expectFailure(const char *why)
    {
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);
        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, bmp);
        const std::string printed = out.text();
        QVERIFY2(printed == "失敗\n", printed.c_str());
        const std::string said = err.text();
        const std::string reason =
            "morvastel: " + bmp.toStdString() + ": cannot load OpenCV's image codecs: ";
        QVERIFY2(said.find(reason) == 0, said.c_str());
        QVERIFY2(said.find(why) != std::string::npos, said.c_str());
        QCOMPARE(std::count(said.begin(), said.end(), '\n'), 1);
        for (size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
        QVERIFY(!openCvCodecsMapped());
    }

private slots:
    void initTestCase()
    {
        bmp = picture("bmp");
        QVERIFY(!bmp.isEmpty());
        module = QCoreApplication::applicationDirPath() + "/" + MORVASTEL_OPENCV_MODULE;
        QVERIFY(QDir(QFileInfo(module).path()).removeRecursively());

        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanupTestCase() { window.reset(); }

    void reachesItsWindowWithoutTheCodecs()
    {
        QVERIFY(mapped("libopencv_core"));
        QVERIFY(!openCvCodecsMapped());
        QVERIFY(!mapped("libmorvastel_opencv"));
        QVERIFY(!mapped("libheif"));
    }

    // With no module at all, JPEG, PNG and WebP load by their own libraries.
    void everydayFormatsNeedNoOpenCvCodecs()
    {
        const QString png = picture("png");
        const QString jpeg = picture("jpg");
        const QString webp = dir.filePath(QStringLiteral("picture.webp"));
        QProcess cwebp;
        cwebp.start(QStringLiteral("cwebp"),
            {QStringLiteral("-quiet"), QStringLiteral("-lossless"), png, QStringLiteral("-o"),
                webp});
        QVERIFY(cwebp.waitForFinished() && cwebp.exitCode() == 0);
        for (const QString &file : {png, jpeg, webp})
            expectShown(file);
        QVERIFY(!openCvCodecsMapped());
        QVERIFY(!mapped("libmorvastel_opencv"));
    }

    void missingOrBrokenModuleGivesTheFailureLine()
    {
        expectFailure("No such file or directory");
        QVERIFY(QDir().mkpath(QFileInfo(module).path()));
        QFile garbage(module);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
        garbage.close();
        expectFailure("invalid ELF header");
        putModule(QStringLiteral(MORVASTEL_BROKEN_MODULE));
        expectFailure("morvastelOpenCvCodecs");

        // OpenCV's codecs would end the process while loading over a setting
        // they cannot read: the module is not loaded at all.
        putModule(QStringLiteral(MORVASTEL_OPENCV_MODULE_BUILT));
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1GB");
        expectFailure("OPENCV_IO_MAX_IMAGE_PIXELS");
        qunsetenv("OPENCV_IO_MAX_IMAGE_PIXELS");
    }

    void loadsTheModuleAtTheFirstPictureThatNeedsIt()
    {
        expectShown(bmp);
        QVERIFY(mapped("libmorvastel_opencv"));
        QVERIFY(mapped("libopencv_imgcodecs"));
    }
};

QTEST_MAIN(CodecModuleTest)
#include "tst_codecmodule.moc"
