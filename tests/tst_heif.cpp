// HEIC and AVIF files, written here with libheif's own encoder, open through
// the real window showing exactly what libheif decodes.
#include "decoding/decodefile.h"
#include "support/heifbuilder.h"
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
    // Chroma at full resolution, where turning the planes before turning
    // them into RGB (libheif 1.23) or after (1.15) must give the same.
    bool fullChroma = false;
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
    if (encoding.fullChroma)
        heif_encoder_set_parameter_string(encoder, "chroma", "444");
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

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// libheif's decode as RGBA, its transformations applied or not: a
// reference that shares none of the viewer's choices. The test drops the
// alpha itself and puts the colours in BGR order.
cv::Mat libheifRgbaAsBgr(const QString &path, bool transformed = true)
{
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
        heif_context_alloc(), heif_context_free);
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    heif_decoding_options *options = heif_decoding_options_alloc();
    options->convert_hdr_to_8bit = 1;
    options->ignore_transformations = transformed ? 0 : 1;
    cv::Mat bgr;
    if (heif_context_read_from_file(context.get(), path.toLocal8Bit().constData(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(context.get(), &handle).code == heif_error_Ok &&
        heif_decode_image(
            handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, options)
                .code == heif_error_Ok) {
        int stride = 0;
        const std::uint8_t *rgba =
            heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const int width = heif_image_get_width(image, heif_channel_interleaved);
        const int height = heif_image_get_height(image, heif_channel_interleaved);
        bgr.create(height, width, CV_8UC3);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const std::uint8_t *pixel =
                    rgba + std::ptrdiff_t(y) * stride + 4 * std::ptrdiff_t(x);
                bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(pixel[2], pixel[1], pixel[0]);
            }
    }
    heif_decoding_options_free(options);
    heif_image_release(image);
    heif_image_handle_release(handle);
    return bgr;
}

// A tile as libheif's encoder codes it.
CodedPicture tileOf(const cv::Mat &bgr, Kind kind, const QTemporaryDir &dir)
{
    const QString file = dir.filePath(QStringLiteral("tile.heic"));
    return encode(bgr, {heif_compression_HEVC, kind}, file) ? codedPictureOf(contents(file))
                                                            : CodedPicture();
}

// A grid as phones write it: rows x columns tiles of 512 x 512, each its own
// item holding its own copy of the stream, and an alpha grid beside it when
// asked.
QByteArray phoneGrid(int rows, int columns, const QTemporaryDir &dir, bool alpha)
{
    const int side = 512;
    const CodedPicture colour = tileOf(photoLike(cv::Size(side, side), 7), Kind::Colour, dir);
    const CodedPicture grey = tileOf(photoLike(cv::Size(side, side), 8), Kind::Grey, dir);
    HeifBuilder file;
    const auto grid = [&](const CodedPicture &tile, bool hidden) {
        QList<quint32> tiles;
        for (int i = 0; i < rows * columns; ++i)
            tiles.append(file.addCoded(tile, side, side, true));
        // Cut short on the right, as a photo's grid covers it with room to spare.
        return file.addGrid(
            rows, columns, quint32(columns * side - 100), quint32(rows * side), tiles, hidden);
    };
    const quint32 picture = grid(colour, false);
    file.setPrimary(picture);
    if (alpha)
        file.addAuxiliary(grid(grey, true), picture, true);
    return file.build();
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

    // The file decodes to libheif's own picture, and shows all six panels
    // as a lossless PNG of that picture shows them.
    void expectLibheifPicture(const QString &file)
    {
        const cv::Mat expected = libheifRgbaAsBgr(file);
        QVERIFY(!expected.empty());
        QVERIFY(same(decodeFile(file.toStdString()), expected));
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

    // Phones write their photos as grids of tiles, with alpha grids beside
    // them where there is alpha; made here box by box, from tiles libheif's
    // encoder wrote, on every libheif.
    void gridShowsWhatLibheifDecodes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("2 x 3") << writeFile(dir, "grid23.HEIC", phoneGrid(2, 3, dir, false));
        QTest::newRow("2 x 3, alpha") << writeFile(dir, "alpha23.HEIC", phoneGrid(2, 3, dir, true));
    }

    void gridShowsWhatLibheifDecodes()
    {
        QFETCH(QString, file);
        expectLibheifPicture(file);
    }

    // Albums and bursts hold several pictures, the primary among them not
    // always the largest: it opens, whatever the others' sizes.
    void collectionShowsItsPrimary()
    {
        // Even sides, which libheif's encoder codes as they are.
        const CodedPicture small = tileOf(photoLike(cv::Size(320, 200), 8), Kind::Colour, dir);
        const CodedPicture large = tileOf(photoLike(cv::Size(640, 480), 9), Kind::Colour, dir);
        HeifBuilder file;
        file.setPrimary(file.addCoded(small, 320, 200));
        file.addCoded(large, 640, 480);
        expectLibheifPicture(writeFile(dir, QStringLiteral("album.HEIC"), file.build()));
    }

    // Each orientation shows the stored picture turned and mirrored as the
    // file says, and only so.
    void turnsAsTheFileSays_data()
    {
        QTest::addColumn<int>("orientation");
        for (int orientation = 1; orientation <= 8; ++orientation)
            QTest::addRow("%d", orientation) << orientation;
    }

    void turnsAsTheFileSays()
    {
        QFETCH(int, orientation);
        const QString file = dir.filePath(QStringLiteral("turned%1.HEIC").arg(orientation));
        QVERIFY(encode(picture, {heif_compression_HEVC, Kind::Colour, orientation, true}, file));
        // As stored, turned here as an Exif orientation turns it.
        cv::Mat expected =
            libheifRgbaAsBgr(file, false)(cv::Rect(0, 0, picture.cols, picture.rows));
        if (orientation >= 5)
            cv::transpose(expected, expected);
        const int flips[] = {2, 1, -1, 0, 2, 1, -1, 0}; // 2: none
        if (flips[orientation - 1] != 2)
            cv::flip(expected, expected, flips[orientation - 1]);
        QVERIFY(same(decodeFile(file.toStdString()), expected));
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

    // A HEIC whose boxes declare a picture far larger than its stream codes
    // is refused from its boxes and its stream's header, before libheif
    // sees it.
    void extentsItsStreamDoesNotCodeAreRefused()
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
        QVERIFY2(said.find(": unreadable HEIF: ") != std::string::npos &&
                said.find(" declares 20000 x 20000") != std::string::npos,
            said.c_str());
        for (std::size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
    }
};

QTEST_MAIN(HeifTest)
#include "tst_heif.moc"
