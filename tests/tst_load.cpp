// Loading through the real button and file dialog.
#include "analysis/pipeline.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class LoadTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString patternPng;
    QString otherPng;
    std::unique_ptr<MainWindow> window;

    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    void write(const char *name, const QByteArray &bytes) const
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    std::vector<cv::Mat> panels()
    {
        std::vector<cv::Mat> shown;
        for (const char *name : PanelNames)
            shown.push_back(shownPixels(panel(*window, name)));
        return shown;
    }

    std::vector<QPointer<QGraphicsScene>> scenes() { return panelScenes(*window); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        patternPng = path("pattern.png");
        otherPng = path("other.png");
        QVERIFY(cv::imwrite(patternPng.toStdString(), patternImage(0)));
        QVERIFY(cv::imwrite(otherPng.toStdString(), patternImage(77)));
    }

    void init()
    {
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() { window.reset(); }

    void panelSizePngIsShownAsIs()
    {
        StdoutCapture out;
        chooseFile(*window, patternPng);
        QCOMPARE(out.text(), std::string());
        const std::vector<cv::Mat> shown = panels();
        QVERIFY(same(shown[0], asRgb(patternImage(0))));
        QVERIFY(same(shown[3], shown[0]));
        for (const cv::Mat &picture : shown)
            QCOMPARE(picture.size(), cv::Size(256, 192));
        // Grey panels show each byte v as (v, v, v).
        cv::Mat greyShown;
        cv::extractChannel(shown[2], greyShown, 0);
        QVERIFY(same(greyShown, analyseImage(patternImage(0)).gray));
        for (int i : {1, 2, 4, 5}) {
            cv::Mat channels[3];
            cv::split(shown[i], channels);
            QVERIFY(same(channels[0], channels[1]) && same(channels[1], channels[2]));
        }
        QCOMPARE(liveScenes(*window), 6);
    }

    void jpegIsStretched()
    {
        cv::Mat wide(90, 500, CV_8UC3);
        cv::randu(wide, 0, 256);
        QVERIFY(cv::imwrite(path("wide.jpg").toStdString(), wide));
        StdoutCapture out;
        chooseFile(*window, path("wide.jpg"));
        QCOMPARE(out.text(), std::string());
        for (const cv::Mat &picture : panels())
            QCOMPARE(picture.size(), cv::Size(256, 192));
    }

    void failuresChangeNothing_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<std::string>("output");
        const QByteArray png = fileBytes(otherPng);
        const QByteArray gif = QByteArray::fromHex("47494638396101000100800000000000ffffff21f904010"
                                                   "00000002c00000000010001000002024401003b");
        write("notes.txt", "not a picture\n");
        write("truncated.png", png.left(png.size() / 2));
        write("empty.png", QByteArray());
        write("photo.HEIC", QByteArray::fromHex("0000001c667479706865696300000000") + png.left(64));
        write("tiny.gif", gif);
        QTest::newRow("cancel") << QString() << std::string();
        QTest::newRow("text") << path("notes.txt") << std::string("失敗\n");
        QTest::newRow("truncated") << path("truncated.png") << std::string("失敗\n");
        QTest::newRow("empty") << path("empty.png") << std::string("失敗\n");
        QTest::newRow("heic") << path("photo.HEIC") << std::string("失敗\n");
        QTest::newRow("gif") << path("tiny.gif") << std::string("失敗\n");
    }

    void failuresChangeNothing()
    {
        QFETCH(QString, file);
        QFETCH(std::string, output);
        chooseFile(*window, patternPng);
        const std::vector<cv::Mat> before = panels();
        const auto scenesBefore = scenes();
        {
            StdoutCapture out;
            chooseFile(*window, file);
            QCOMPARE(out.text(), output);
        }
        QVERIFY(scenes() == scenesBefore);
        const std::vector<cv::Mat> after = panels();
        for (size_t i = 0; i < after.size(); ++i)
            QVERIFY(same(after[i], before[i]));

        // The kept image is still the earlier one: the spin box blurs it.
        window->findChild<QSpinBox *>("spinBox")->setValue(3);
        QVERIFY(
            same(shownPixels(panel(*window, "gaussian")), mirroredBlur(asRgb(patternImage(0)), 3)));

        chooseFile(*window, otherPng);
        QVERIFY(same(shownPixels(panel(*window, "origin")), asRgb(patternImage(77))));
    }

    void failureBeforeAnyLoadLeavesPanelsEmpty()
    {
        write("before.txt", "plain text\n");
        StdoutCapture out;
        chooseFile(*window, path("before.txt"));
        QCOMPARE(out.text(), std::string("失敗\n"));
        for (const char *name : PanelNames)
            QVERIFY(!panel(*window, name)->scene());
    }

    void secondLoadReplacesEverything()
    {
        chooseFile(*window, patternPng);
        const std::vector<cv::Mat> first = panels();
        const auto firstScenes = scenes();
        chooseFile(*window, otherPng);
        const std::vector<cv::Mat> second = panels();
        for (size_t i = 0; i < first.size(); ++i) {
            QVERIFY(!same(first[i], second[i]));
            QVERIFY(firstScenes[i].isNull());
        }
        QVERIFY(same(second[0], asRgb(patternImage(77))));
    }

    void manyLoadsKeepSixScenes()
    {
        for (int i = 0; i < 200; ++i)
            chooseFile(*window, i % 2 ? patternPng : otherPng);
        QCOMPARE(liveScenes(*window), 6);
    }
};

QTEST_MAIN(LoadTest)
#include "tst_load.moc"
