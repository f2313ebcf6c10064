// The codec module is loaded at the first decode, from lib/.../morvastel/
// beside the program's folder, and a missing or broken one gives the failure line.
// Built without OpenCV's codecs, like the program, into a folder of its own
// whose module this test controls.
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

bool mapped(const char *library)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(library);
}

} // namespace

class CodecModuleTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString picture;
    QString module;
    std::unique_ptr<MainWindow> window;

    void putModule(const QString &from)
    {
        QFile::remove(module);
        QVERIFY(QFile::copy(from, module));
    }

    // Chooses the picture, which must fail: the failure line, no panel
    // changed, and one line on standard error that says why.
    void expectFailure(const char *why)
    {
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);
        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, picture);
        QCOMPARE(out.text(), std::string("失敗\n"));
        const std::string said = err.text();
        QVERIFY2(said.find("morvastel: cannot load the image codecs: ") == 0, said.c_str());
        QVERIFY2(said.find(why) != std::string::npos, said.c_str());
        QCOMPARE(std::count(said.begin(), said.end(), '\n'), 1);
        for (size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
        QVERIFY(!mapped("libopencv_imgcodecs"));
    }

private slots:
    void initTestCase()
    {
        // A picture written by Qt: OpenCV's codecs are not linked here.
        picture = dir.filePath(QStringLiteral("picture.png"));
        QImage image(256, 192, QImage::Format_RGB888);
        image.fill(QColor(200, 40, 90));
        QVERIFY(image.save(picture));
        module = QCoreApplication::applicationDirPath() + "/" + MORVASTEL_CODEC_MODULE;
        QVERIFY(QDir(QFileInfo(module).path()).removeRecursively());

        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanupTestCase() { window.reset(); }

    void reachesItsWindowWithoutTheCodecs()
    {
        QVERIFY(mapped("libopencv_core"));
        QVERIFY(!mapped("libopencv_imgcodecs"));
        QVERIFY(!mapped("libmorvastel_codecs"));
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
        expectFailure("morvastelDecode");

        // OpenCV's codecs would end the process while loading over a setting
        // they cannot read: the module is not loaded at all.
        putModule(QStringLiteral(MORVASTEL_CODEC_MODULE_BUILT));
        qputenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1GB");
        expectFailure("OPENCV_IO_MAX_IMAGE_PIXELS");
        qunsetenv("OPENCV_IO_MAX_IMAGE_PIXELS");
    }

    void loadsTheModuleAtTheFirstDecode()
    {
        StdoutCapture out;
        chooseFile(*window, picture);
        QCOMPARE(out.text(), std::string());
        const cv::Mat shown = shownPixels(panel(*window, "origin"));
        QCOMPARE(shown.size(), cv::Size(256, 192));
        QCOMPARE(shown.at<cv::Vec3b>(100, 100), cv::Vec3b(200, 40, 90));
        QVERIFY(mapped("libmorvastel_codecs"));
        QVERIFY(mapped("libopencv_imgcodecs"));
    }
};

QTEST_MAIN(CodecModuleTest)
#include "tst_codecmodule.moc"
