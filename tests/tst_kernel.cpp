// The spin box re-blurs the kept image into the Gaussian panel.
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QGraphicsView>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

class KernelTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    QSpinBox *spin = nullptr;

    cv::Mat gaussian() { return shownPixels(panel(*window, "gaussian")); }
    cv::Mat origin() { return shownPixels(panel(*window, "origin")); }

    void load(const cv::Mat &bgr)
    {
        const QString file = dir.filePath(QStringLiteral("image.png"));
        QVERIFY(cv::imwrite(file.toStdString(), bgr));
        chooseFile(*window, file);
    }

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        spin = window->findChild<QSpinBox *>("spinBox");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() { window.reset(); }

    void changesBeforeAnyLoadDoNothing()
    {
        StdoutCapture out;
        spin->setValue(7);
        spin->setValue(8);
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_Up);
        spin->selectAll();
        QTest::keyClicks(spin, "21");
        QCOMPARE(out.text(), std::string());
        QVERIFY(!panel(*window, "gaussian")->scene());
    }

    void sideOneShowsTheImageUnchanged()
    {
        load(patternImage(5));
        spin->setValue(9);
        spin->setValue(1);
        QVERIFY(same(gaussian(), origin()));
    }

    void largestKernelMirrorsTheEdges()
    {
        load(cv::Mat(300, 200, CV_8UC3, cv::Scalar(230, 240, 250)));
        spin->setValue(51);
        const cv::Mat uniform(192, 256, CV_8UC3, cv::Scalar(250, 240, 230));
        QVERIFY(same(gaussian(), uniform));
    }

    void everyBlurStartsFromTheLoadedImage()
    {
        load(patternImage(9));
        const cv::Mat rgb = origin();
        spin->setValue(5);
        const cv::Mat five = gaussian();
        QVERIFY(same(five, mirroredBlur(rgb, 5)));
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_Up);
        QCOMPARE(spin->value(), 7);
        QVERIFY(same(gaussian(), mirroredBlur(rgb, 7)));
        QTest::keyClick(spin, Qt::Key_Down);
        QVERIFY(same(gaussian(), five));
    }

    void typedEvenValuesUseTheNextOddSide()
    {
        load(patternImage(3));
        const cv::Mat rgb = origin();
        std::vector<cv::Mat> seen;
        // Connected after the window's own slot, so it sees each refreshed panel.
        connect(spin, &QSpinBox::valueChanged, this, [&] { seen.push_back(gaussian()); });
        spin->setFocus();
        spin->selectAll();
        QTest::keyClick(spin, Qt::Key_Backspace);
        QTest::keyClicks(spin, "21");
        QCOMPARE(spin->value(), 21);
        QCOMPARE(spin->text(), QStringLiteral("21"));
        QCOMPARE(seen.size(), size_t(2));
        QVERIFY(same(seen[0], mirroredBlur(rgb, 3)));
        QVERIFY(same(seen[1], mirroredBlur(rgb, 21)));

        spin->setValue(50);
        QCOMPARE(spin->value(), 50);
        QVERIFY(same(gaussian(), mirroredBlur(rgb, 51)));
    }

    void newLoadShowsTheNewImageUnblurred()
    {
        load(patternImage(1));
        spin->setValue(9);
        load(patternImage(2));
        QCOMPARE(spin->value(), 9);
        const cv::Mat rgb = origin();
        QVERIFY(same(gaussian(), rgb));
        spin->setValue(11);
        QVERIFY(same(gaussian(), mirroredBlur(rgb, 11)));
    }
};

QTEST_MAIN(KernelTest)
#include "tst_kernel.moc"
