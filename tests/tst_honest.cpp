// Honest pictures, as the encoders here write them at several sizes, load
// through the real window exactly as OpenCV decodes them: the checks before
// decoding refuse none of them.
#include "support/encoders.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QGraphicsView>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

namespace {

// Whether the viewer said why it refused a file or could not decode it, as
// opposed to passing on what a decoder said of its own.
bool givesAReason(const std::string &said)
{
    for (const char *reason :
        {"no such file", "not a regular file", "unknown format", "unreadable", "DICOM",
            "too costly", "hollow", "would not fit in memory", "unmendable", "undecodable"}) {
        if (said.find(std::string(": ") + reason) != std::string::npos)
            return true;
    }
    return false;
}

// The origin panel that decoding the file with OpenCV itself gives.
cv::Mat originOf(const QString &file)
{
    cv::Mat decoded = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    if (decoded.empty())
        return {};
    // As IMREAD_COLOR promises, which OpenCV 4.6's grey PFM forgets.
    if (decoded.channels() == 1)
        cv::cvtColor(decoded, decoded, cv::COLOR_GRAY2BGR);
    cv::Mat scaled;
    cv::resize(decoded, scaled, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
    return asRgb(scaled);
}

} // namespace

class HonestTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

private slots:
    void initTestCase()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }

    void cleanupTestCase() { window.reset(); }

    void everyEncodersPicturesLoadExactly_data()
    {
        QTest::addColumn<QString>("file");
        const cv::Size sizes[] = {{64, 48}, {640, 480}, {1201, 801}};
        for (const cv::Size &size : sizes) {
            const QString tag = QStringLiteral("%1x%2").arg(size.width).arg(size.height);
            for (const EncodedFile &file :
                encodeWithEveryEncoder(dir.path(), tag, photoLike(size, size.width)))
                QTest::newRow(qPrintable(tag + ' ' + file.name)) << file.path;
        }
    }

    // Shown exactly as OpenCV decodes it, or failing as OpenCV fails on it.
    void everyEncodersPicturesLoadExactly()
    {
        QFETCH(QString, file);
        QVERIFY2(!file.isEmpty(), "the encoder failed");
        const cv::Mat expected = originOf(file);
        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, file);
        const std::string said = err.text();
        QVERIFY2(!givesAReason(said), said.c_str());
        if (expected.empty()) {
            QCOMPARE(out.text(), std::string("失敗\n"));
            return;
        }
        QCOMPARE(out.text(), std::string());
        QVERIFY(same(shownPixels(panel(*window, "origin")), expected));
    }
};

QTEST_MAIN(HonestTest)
#include "tst_honest.moc"
