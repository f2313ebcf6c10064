// Honest pictures, as the encoders here write them at several sizes, load
// through the real window exactly as OpenCV decodes them: the checks before
// decoding refuse none of them.
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QGraphicsView>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

namespace {

// The origin panel that decoding the file with OpenCV itself gives.
cv::Mat originOf(const QString &file)
{
    const cv::Mat decoded = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    if (decoded.empty())
        return {};
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

    // Runs an encoder; the file it writes, or an empty name when it failed.
    QString run(const QString &program, const QStringList &arguments, const QString &output) const
    {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            qWarning(
                "%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
            return {};
        }
        return output;
    }

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
            const auto path = [&](const QString &name) { return dir.filePath(tag + '-' + name); };
            const cv::Mat colour = photoLike(size, size.width);
            cv::Mat grey;
            cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
            cv::Mat alpha;
            cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
            const QString ppm = path(QStringLiteral("source.ppm"));
            const QString pgm = path(QStringLiteral("source.pgm"));
            const QString png = path(QStringLiteral("alpha.png"));
            QVERIFY(cv::imwrite(ppm.toStdString(), colour));
            QVERIFY(cv::imwrite(pgm.toStdString(), grey));
            QVERIFY(cv::imwrite(png.toStdString(), alpha));
            QVERIFY(cv::imwrite(path(QStringLiteral("opencv.png")).toStdString(), colour));
            QVERIFY(cv::imwrite(
                path(QStringLiteral("opencv16.png")).toStdString(), colour * 257.0 / 255.0));

            const auto add = [&](const QString &name, const QString &file) {
                QTest::newRow(qPrintable(tag + ' ' + name)) << file;
            };
            const auto cjpeg = [&](const QString &name, QStringList options,
                                   const QString &source) {
                const QString out = path(name + QStringLiteral(".jpg"));
                add(QStringLiteral("cjpeg ") + name,
                    run(QStringLiteral("cjpeg"),
                        options << QStringLiteral("-outfile") << out << source, out));
            };
            cjpeg(QStringLiteral("baseline"), {}, ppm);
            cjpeg(QStringLiteral("4:4:4"), {QStringLiteral("-sample"), QStringLiteral("1x1")}, ppm);
            cjpeg(QStringLiteral("grey"), {}, pgm);
            cjpeg(QStringLiteral("progressive"), {QStringLiteral("-progressive")}, ppm);
            cjpeg(QStringLiteral("arithmetic"), {QStringLiteral("-arithmetic")}, ppm);
            cjpeg(QStringLiteral("restarts"), {QStringLiteral("-restart"), QStringLiteral("1B")},
                ppm);
            const QString baseline = path(QStringLiteral("baseline.jpg"));
            const auto jpegtran = [&](const QString &name, QStringList options) {
                const QString out = path(name + QStringLiteral(".jpg"));
                add(QStringLiteral("jpegtran ") + name,
                    run(QStringLiteral("jpegtran"),
                        options << QStringLiteral("-outfile") << out << baseline, out));
            };
            jpegtran(QStringLiteral("progressive"), {QStringLiteral("-progressive")});
            jpegtran(QStringLiteral("arithmetic progressive"),
                {QStringLiteral("-arithmetic"), QStringLiteral("-progressive")});
            jpegtran(QStringLiteral("optimized"), {QStringLiteral("-optimize")});

            const auto convert = [&](const QString &name, const QStringList &options,
                                     const QString &extension) {
                const QString out = path(name + extension);
                add(QStringLiteral("ImageMagick ") + name,
                    run(QStringLiteral("convert"), QStringList {ppm} << options << out, out));
            };
            convert(QStringLiteral("jpeg"), {}, QStringLiteral(".jpg"));
            convert(QStringLiteral("progressive"),
                {QStringLiteral("-interlace"), QStringLiteral("JPEG")}, QStringLiteral(".jpg"));
            convert(QStringLiteral("cmyk progressive"),
                {QStringLiteral("-colorspace"), QStringLiteral("CMYK"),
                    QStringLiteral("-interlace"), QStringLiteral("JPEG")},
                QStringLiteral(".jpg"));
            convert(QStringLiteral("interlaced png"),
                {QStringLiteral("-interlace"), QStringLiteral("PNG")}, QStringLiteral(".png"));
            convert(QStringLiteral("bmp"), {}, QStringLiteral(".bmp"));
            convert(QStringLiteral("tiled tiff"),
                {QStringLiteral("-define"), QStringLiteral("tiff:tile-geometry=128x128"),
                    QStringLiteral("-compress"), QStringLiteral("zip")},
                QStringLiteral(".tiff"));

            const QString tiff = path(QStringLiteral("plain.tiff"));
            add(QStringLiteral("ImageMagick tiff"),
                run(QStringLiteral("convert"),
                    {ppm, QStringLiteral("-compress"), QStringLiteral("none"), tiff}, tiff));
            const auto tiffcp = [&](const QString &name, const QStringList &options) {
                const QString out = path(name + QStringLiteral(".tiff"));
                add(QStringLiteral("tiffcp ") + name,
                    run(QStringLiteral("tiffcp"), QStringList(options) << tiff << out, out));
            };
            tiffcp(QStringLiteral("lzw"), {QStringLiteral("-c"), QStringLiteral("lzw")});
            tiffcp(QStringLiteral("zip"), {QStringLiteral("-c"), QStringLiteral("zip")});
            tiffcp(QStringLiteral("packbits"), {QStringLiteral("-c"), QStringLiteral("packbits")});
            tiffcp(QStringLiteral("jpeg"),
                {QStringLiteral("-c"), QStringLiteral("jpeg"), QStringLiteral("-r"),
                    QStringLiteral("16")});
            tiffcp(QStringLiteral("tiles"),
                {QStringLiteral("-t"), QStringLiteral("-w"), QStringLiteral("64"),
                    QStringLiteral("-l"), QStringLiteral("64")});
            tiffcp(
                QStringLiteral("strips of 16 rows"), {QStringLiteral("-r"), QStringLiteral("16")});

            const auto cwebp = [&](const QString &name, QStringList options,
                                   const QString &source) {
                const QString out = path(name + QStringLiteral(".webp"));
                add(QStringLiteral("cwebp ") + name,
                    run(QStringLiteral("cwebp"),
                        options << QStringLiteral("-quiet") << source << QStringLiteral("-o")
                                << out,
                        out));
            };
            cwebp(QStringLiteral("lossy"), {}, png);
            cwebp(QStringLiteral("lossless"), {QStringLiteral("-lossless")}, png);
            const QString opaque = path(QStringLiteral("opencv.png"));
            cwebp(QStringLiteral("opaque"), {}, opaque);

            const auto opj = [&](const QString &name, const QStringList &options,
                                 const QString &extension) {
                const QString out = path(name + extension);
                add(QStringLiteral("opj_compress ") + name,
                    run(QStringLiteral("opj_compress"),
                        QStringList {QStringLiteral("-i"), ppm, QStringLiteral("-o"), out}
                            << options,
                        out));
            };
            opj(QStringLiteral("jp2"), {}, QStringLiteral(".jp2"));
            opj(QStringLiteral("codestream"), {}, QStringLiteral(".j2k"));
            opj(QStringLiteral("small code-blocks"),
                {QStringLiteral("-b"), QStringLiteral("16,16")}, QStringLiteral(".jp2"));
            opj(QStringLiteral("precincts"),
                {QStringLiteral("-c"), QStringLiteral("[128,128],[64,64]")},
                QStringLiteral(".jp2"));
            opj(QStringLiteral("layers"), {QStringLiteral("-r"), QStringLiteral("40,20,10")},
                QStringLiteral(".jp2"));
            opj(QStringLiteral("tiles"), {QStringLiteral("-t"), QStringLiteral("256,256")},
                QStringLiteral(".jp2"));

            add(QStringLiteral("libpng"), opaque);
            add(QStringLiteral("libpng 16-bit"), path(QStringLiteral("opencv16.png")));
            add(QStringLiteral("libpng alpha"), png);
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
        QVERIFY2(said.find("morvastel: ") == std::string::npos, said.c_str());
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
