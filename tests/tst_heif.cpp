// HEIC and AVIF files, written here with libheif's own encoder, open through
// the real window showing exactly what libheif decodes.
#include "support/libheifdecode.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <libheif/heif.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <memory>
#include <unistd.h>

namespace {

enum class Kind { Colour, Deep, Grey, Alpha };

struct Encoding
{
    heif_compression_format codec = heif_compression_HEVC;
    Kind kind = Kind::Colour;
    int orientation = 1; // as Exif counts: libheif writes irot and imir for it
};

// A picture in libheif's own terms, from a BGR one.
heif_image *heifImage(const cv::Mat &bgr, Kind kind)
{
    heif_image *image = nullptr;
    const int width = bgr.cols;
    const int height = bgr.rows;
    const auto plane = [&](heif_channel channel, int depth, int &stride) {
        heif_image_add_plane(image, channel, width, height, depth);
        return heif_image_get_plane(image, channel, &stride);
    };
    int stride = 0;
    if (kind == Kind::Grey) {
        heif_image_create(
            width, height, heif_colorspace_monochrome, heif_chroma_monochrome, &image);
        std::uint8_t *y = plane(heif_channel_Y, 8, stride);
        for (int row = 0; row < height; ++row)
            for (int column = 0; column < width; ++column)
                y[row * stride + column] = bgr.at<cv::Vec3b>(row, column)[1];
        return image;
    }
    const heif_chroma chroma = kind == Kind::Deep ? heif_chroma_interleaved_RRGGBB_LE
        : kind == Kind::Alpha                     ? heif_chroma_interleaved_RGBA
                                                  : heif_chroma_interleaved_RGB;
    heif_image_create(width, height, heif_colorspace_RGB, chroma, &image);
    std::uint8_t *pixels = plane(heif_channel_interleaved, kind == Kind::Deep ? 10 : 8, stride);
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(row, column);
            std::uint8_t *at = pixels + static_cast<std::ptrdiff_t>(row) * stride;
            if (kind == Kind::Deep) {
                for (int c = 0; c < 3; ++c) {
                    const int sample =
                        p[2 - c] * 4 + (row + column) % 4; // 10 bits, the low two varying
                    at[column * 6 + 2 * c] = std::uint8_t(sample & 0xff);
                    at[column * 6 + 2 * c + 1] = std::uint8_t(sample >> 8);
                }
            } else {
                const int samples = kind == Kind::Alpha ? 4 : 3;
                for (int c = 0; c < 3; ++c)
                    at[column * samples + c] = p[2 - c];
                if (kind == Kind::Alpha)
                    at[column * samples + 3] = std::uint8_t((row * 7 + column) % 256);
            }
        }
    }
    return image;
}

// Writes the picture with libheif's encoder; false when it cannot.
bool encode(const cv::Mat &bgr, const Encoding &encoding, const QString &path)
{
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
        heif_context_alloc(), heif_context_free);
    heif_encoder *encoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), encoding.codec, &encoder).code !=
        heif_error_Ok)
        return false;
    heif_encoder_set_lossy_quality(encoder, 75);
    heif_image *image = heifImage(bgr, encoding.kind);
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation(encoding.orientation);
    const heif_error encoded =
        heif_context_encode_image(context.get(), image, encoder, options, nullptr);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    return encoded.code == heif_error_Ok &&
        heif_context_write_to_file(context.get(), path.toLocal8Bit().constData()).code ==
        heif_error_Ok;
}

} // namespace

class HeifTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    cv::Mat picture;

    // The six panels after choosing the file, or none when it failed.
    std::vector<cv::Mat> panelsFor(const QString &file)
    {
        StdoutCapture out;
        chooseFile(*window, file);
        if (!out.text().empty())
            return {};
        std::vector<cv::Mat> shown;
        for (const char *name : PanelNames)
            shown.push_back(shownPixels(panel(*window, name)));
        return shown;
    }

    // The file shows all six panels as a lossless PNG of libheif's own
    // decode of it shows them.
    void expectLibheifPicture(const QString &file)
    {
        const cv::Mat expected = libheifDecode(file.toStdString());
        QVERIFY(!expected.empty());
        const QString reference = dir.filePath(QStringLiteral("reference.png"));
        QVERIFY(cv::imwrite(reference.toStdString(), expected));
        const std::vector<cv::Mat> wanted = panelsFor(reference);
        const std::vector<cv::Mat> shown = panelsFor(file);
        QCOMPARE(shown.size(), wanted.size());
        for (std::size_t i = 0; i < shown.size(); ++i)
            QVERIFY2(same(shown[i], wanted[i]), PanelNames[i]);
    }

private slots:
    void initTestCase()
    {
        window = std::make_unique<MainWindow>();
        window->show();
        // Wide, so that every turn and mirror shows; odd, so that chroma
        // subsampling meets an edge.
        picture = photoLike(cv::Size(321, 199), 3);
    }

    void cleanupTestCase() { window.reset(); }

    void showsWhatLibheifDecodes_data()
    {
        QTest::addColumn<QString>("file");
        const auto add = [&](const char *name, const Encoding &encoding) {
            const QString path = dir.filePath(QString::fromLatin1(name));
            QVERIFY2(encode(picture, encoding, path), name);
            QTest::newRow(name) << path;
        };
        add("8-bit.HEIC", {});
        add("10-bit.HEIC", {heif_compression_HEVC, Kind::Deep});
        add("grey.HEIC", {heif_compression_HEVC, Kind::Grey});
        add("alpha.HEIC", {heif_compression_HEVC, Kind::Alpha});
        add("turned.HEIC", {heif_compression_HEVC, Kind::Colour, 6});
        add("mirrored.HEIC", {heif_compression_HEVC, Kind::Colour, 2});
        add("turned-mirrored.HEIC", {heif_compression_HEVC, Kind::Colour, 7});
        add("photo.avif", {heif_compression_AV1});
        add("alpha.avif", {heif_compression_AV1, Kind::Alpha});
        // The decoder is chosen by content: a HEIC named .jpg opens.
        add("heic-named.jpg", {});
    }

    // All six panels as a lossless PNG of libheif's own decode shows them.
    void showsWhatLibheifDecodes()
    {
        QFETCH(QString, file);
        expectLibheifPicture(file);
    }

    // Phones write their photos as grids of tiles; libheif writes them from
    // version 1.18 on.
    void gridShowsWhatLibheifDecodes()
    {
#if LIBHEIF_NUMERIC_VERSION >= ((1 << 24) | (18 << 16))
        const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
            heif_context_alloc(), heif_context_free);
        heif_encoder *encoder = nullptr;
        QCOMPARE(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &encoder)
                     .code,
            heif_error_Ok);
        std::vector<heif_image *> tiles;
        for (int row = 0; row < 2; ++row)
            for (int column = 0; column < 3; ++column)
                tiles.push_back(heifImage(
                    picture(cv::Rect(column * 96, row * 64, 96, 64)).clone(), Kind::Colour));
        heif_image_handle *grid = nullptr;
        QCOMPARE(
            heif_context_encode_grid(context.get(), tiles.data(), 2, 3, encoder, nullptr, &grid)
                .code,
            heif_error_Ok);
        for (heif_image *tile : tiles)
            heif_image_release(tile);
        heif_image_handle_release(grid);
        heif_encoder_release(encoder);
        const QString file = dir.filePath(QStringLiteral("grid.HEIC"));
        QCOMPARE(heif_context_write_to_file(context.get(), file.toLocal8Bit().constData()).code,
            heif_error_Ok);
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().contains("grid"));
        expectLibheifPicture(file);
#else
        QSKIP("libheif writes grids from version 1.18 on");
#endif
    }

    // The picture is turned and mirrored as the file says, and only so.
    void turnsAsTheFileSays()
    {
        const QString file = dir.filePath(QStringLiteral("turned-again.HEIC"));
        QVERIFY(encode(picture, {heif_compression_HEVC, Kind::Colour, 6}, file));
        const cv::Mat decoded = libheifDecode(file.toStdString());
        QCOMPARE(decoded.size(), cv::Size(picture.rows, picture.cols));
    }

    // A JPEG named .HEIC opens as the JPEG it is.
    void jpegNamedHeicOpensAsJpeg()
    {
        const QString jpeg = dir.filePath(QStringLiteral("photo.jpg"));
        const QString file = dir.filePath(QStringLiteral("IMG_0002.HEIC"));
        QVERIFY(cv::imwrite(jpeg.toStdString(), picture));
        QVERIFY(QFile::copy(jpeg, file));
        const std::vector<cv::Mat> shown = panelsFor(file);
        QVERIFY(!shown.empty());
        cv::Mat scaled;
        cv::resize(
            cv::imread(file.toStdString()), scaled, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
        QVERIFY(same(shown[0], asRgb(scaled)));
    }

    // Cut anywhere, a HEIC shows a picture or gives the failure line; the
    // window never crashes or hangs.
    void cutFilesShowOrFail()
    {
        const QString whole = dir.filePath(QStringLiteral("whole.HEIC"));
        QVERIFY(encode(picture, {}, whole));
        QFile file(whole);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        for (int tenth = 1; tenth < 10; ++tenth) {
            const QString cut = writeFile(dir, QStringLiteral("cut%1.HEIC").arg(tenth),
                bytes.left(bytes.size() * tenth / 10));
            StdoutCapture out;
            chooseFile(*window, cut);
            const std::string said = out.text();
            QVERIFY2(said.empty() || said == "失敗\n", qPrintable(cut));
        }
        QVERIFY(!panelsFor(whole).empty());
    }

    // A HEIC whose primary image declares more than the pixel limit is
    // refused from its boxes, before libheif sees it.
    void hugeDeclaredPictureIsRefused()
    {
        const QString whole = dir.filePath(QStringLiteral("small.HEIC"));
        QVERIFY(encode(picture, {}, whole));
        QFile file(whole);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        // Every extent, the grid's and its tile's alike: 20000 x 20000.
        int extents = 0;
        qsizetype ispe = bytes.indexOf("ispe");
        while (ispe > 0) {
            bytes.replace(ispe + 8, 8, QByteArray::fromHex("00004e2000004e20"));
            ispe = bytes.indexOf("ispe", ispe + 1);
            ++extents;
        }
        QVERIFY(extents > 0);
        const QString huge = writeFile(dir, QStringLiteral("huge.HEIC"), bytes);
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);
        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(*window, huge);
        QCOMPARE(out.text(), std::string("失敗\n"));
        const std::string said = err.text();
        QVERIFY2(said.find(": too costly: declares 20000 x 20000 pixels") != std::string::npos,
            said.c_str());
        for (std::size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
    }
};

QTEST_MAIN(HeifTest)
#include "tst_heif.moc"
