// Files from anywhere: each one either fills all six panels or prints the
// failure line and changes nothing, and the window keeps working.
#include "support/craftedfiles.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QPointer>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

enum class Outcome { Shown, Failed };

QByteArray encode(const cv::Mat &image, const char *extension)
{
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// A JPEG with an EXIF block that says "rotate 90 degrees clockwise".
QByteArray jpegWithExifRotation()
{
    const QByteArray jpeg = encode(cv::Mat(60, 120, CV_8UC3, cv::Scalar(20, 120, 220)), ".jpg");
    const QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" // big-endian TIFF, IFD at 8
                                                "0001" // one entry
                                                "011200030000000100060000" // orientation = 6
                                                "00000000");
    const QByteArray exif = "Exif" + QByteArray(2, '\0') + tiff;
    const QByteArray segment = QByteArray::fromHex("ffe1") +
        QByteArray::fromHex(QByteArray::number(exif.size() + 2, 16).rightJustified(4, '0')) + exif;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

} // namespace

Q_DECLARE_METATYPE(Outcome)

class HostileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString goodFile;
    cv::Mat goodRgb;

    QString write(const QString &name, const QByteArray &bytes) const
    {
        return writeFile(dir, name, bytes);
    }

private slots:
    void initTestCase()
    {
        goodFile = write("good.png", encode(patternImage(11), ".png"));
        goodRgb = asRgb(patternImage(11));
    }

    void everyFileShowsOrFailsCleanly_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<Outcome>("outcome");
        const QByteArray png = encode(patternImage(3), ".png");
        const QByteArray jpeg = encode(patternImage(4), ".jpg");
        // libpng fails on a file cut anywhere, its last chunk's checksum
        // included; libjpeg shows what it has once the scan has begun, and
        // the checks refuse a JPEG cut before that.
        for (const auto &[name, bytes] : {std::pair {"png", png}, std::pair {"jpg", jpeg}}) {
            const qsizetype cuts[] = {1, 8, 33, 100, bytes.size() / 4, bytes.size() / 2,
                bytes.size() - 12, bytes.size() - 1};
            for (const qsizetype cut : cuts) {
                const QString file = QStringLiteral("cut%1.%2").arg(cut).arg(name);
                const bool inData = name == std::string("jpg") && cut > bytes.indexOf("\xff\xda");
                QTest::addRow("%s cut at %lld", name, qlonglong(cut))
                    << write(file, bytes.left(cut)) << (inData ? Outcome::Shown : Outcome::Failed);
            }
        }
        QByteArray noise(4096, '\0');
        cv::Mat noiseView(1, 4096, CV_8UC1, noise.data());
        cv::randu(noiseView, 0, 256);
        QTest::newRow("zero bytes") << write("zero.png", {}) << Outcome::Failed;
        QTest::newRow("noise .png") << write("noise.png", noise) << Outcome::Failed;
        QTest::newRow("noise .jpg") << write("noise.jpg", noise) << Outcome::Failed;
        QTest::newRow("text") << write("words.txt", "nothing to see\n") << Outcome::Failed;
        QTest::newRow("70000 x 70000 header")
            << write("huge.png", pngClaiming(70000, 70000)) << Outcome::Failed;
        QTest::newRow("zero-width header")
            << write("flat.png", pngClaiming(0, 10)) << Outcome::Failed;

        cv::Mat wide(1, 4000, CV_8UC3), tall(4000, 1, CV_8UC3), deep(50, 70, CV_16UC3);
        cv::randu(wide, 0, 256);
        cv::randu(tall, 0, 256);
        cv::randu(deep, 0, 65536);
        cv::Mat rgba(40, 30, CV_8UC4, cv::Scalar(10, 200, 30, 0));
        cv::Mat grey(33, 17, CV_8UC1, cv::Scalar(77));
        QImage palette(21, 13, QImage::Format_Indexed8);
        palette.setColorTable({qRgb(255, 0, 0), qRgb(0, 0, 255)});
        palette.fill(1);
        palette.save(dir.filePath("palette.png"));
        cv::imwritemulti(dir.filePath("pages.tiff").toStdString(),
            std::vector<cv::Mat> {patternImage(1), patternImage(2), patternImage(3)});
        QTest::newRow("1 x 1") << write("one.png", encode(cv::Mat(1, 1, CV_8UC3, 50), ".png"))
                               << Outcome::Shown;
        QTest::newRow("1 x 4000") << write("wide.png", encode(wide, ".png")) << Outcome::Shown;
        QTest::newRow("4000 x 1") << write("tall.png", encode(tall, ".png")) << Outcome::Shown;
        QTest::newRow("16-bit") << write("deep.png", encode(deep, ".png")) << Outcome::Shown;
        QTest::newRow("grey") << write("grey.png", encode(grey, ".png")) << Outcome::Shown;
        QTest::newRow("rgba") << write("rgba.png", encode(rgba, ".png")) << Outcome::Shown;
        QTest::newRow("palette") << dir.filePath("palette.png") << Outcome::Shown;
        QTest::newRow("bmp") << write("plain.bmp", encode(wide, ".bmp")) << Outcome::Shown;
        QTest::newRow("tiff pages") << dir.filePath("pages.tiff") << Outcome::Shown;
        QTest::newRow("exif rotation")
            << write("turned.jpg", jpegWithExifRotation()) << Outcome::Shown;
        QTest::newRow("png named .jpg") << write("liar.jpg", png) << Outcome::Shown;
    }

    void everyFileShowsOrFailsCleanly()
    {
        QFETCH(QString, file);
        QFETCH(Outcome, outcome);
        MainWindow window;
        window.show();
        chooseFile(window, goodFile);
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(window);

        StdoutCapture out;
        chooseFile(window, file);
        const std::string printed = out.text();
        qInfo("%s", printed.empty() ? "shown" : "failure line");
        if (printed.empty()) {
            QCOMPARE(outcome, Outcome::Shown);
            for (size_t i = 0; i < before.size(); ++i) {
                QVERIFY(before[i].isNull());
                QCOMPARE(shownPixels(panel(window, PanelNames[i])).size(), cv::Size(256, 192));
            }
        } else {
            QCOMPARE(printed, std::string("失敗\n"));
            QCOMPARE(outcome, Outcome::Failed);
            for (size_t i = 0; i < before.size(); ++i)
                QCOMPARE(panel(window, PanelNames[i])->scene(), before[i].data());
            // The spin box still blurs the earlier picture.
            window.findChild<QSpinBox *>("spinBox")->setValue(51);
            QVERIFY(same(shownPixels(panel(window, "gaussian")), mirroredBlur(goodRgb, 51)));
        }

        StdoutCapture again;
        chooseFile(window, goodFile);
        QCOMPARE(again.text(), std::string());
        QVERIFY(same(shownPixels(panel(window, "origin")), goodRgb));
    }
};

QTEST_MAIN(HostileTest)
#include "tst_hostile.moc"
