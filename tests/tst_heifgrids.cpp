// HEIC photos as phones tile them, 8 x 8 and 8 x 6 tiles of 512 x 512, and
// 8 x 8 with an alpha grid: they load, again and again, in a bare process
// (where little else is mapped) and in the window, and under a memory
// cgroup; nothing hangs or aborts.
#include "support/cgroup.h"
#include "support/heifbuilder.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <libheif/heif.h>

#include <memory>

namespace {

// One 512 x 512 tile as libheif's encoder codes it: colour, or grey for an
// alpha plane.
CodedPicture codedTile(bool grey, const QTemporaryDir &dir)
{
    const int side = 512;
    const cv::Mat bgr = photoLike(cv::Size(side, side), grey ? 2 : 1);
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(
        heif_context_alloc(), heif_context_free);
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &encoder).code !=
        heif_error_Ok)
        return {};
    heif_encoder_set_lossy_quality(encoder, 60);
    heif_image_create(side, side, grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
        grey ? heif_chroma_monochrome : heif_chroma_interleaved_RGB, &image);
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    heif_image_add_plane(image, channel, side, side, 8);
    int stride = 0;
    std::uint8_t *plane = heif_image_get_plane(image, channel, &stride);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const cv::Vec3b pixel = bgr.at<cv::Vec3b>(y, x);
            for (int c = 0; c < (grey ? 1 : 3); ++c)
                plane[std::ptrdiff_t(y) * stride + (grey ? x : 3 * x + c)] = pixel[2 - c];
        }
    const bool encoded =
        heif_context_encode_image(context.get(), image, encoder, nullptr, nullptr).code ==
        heif_error_Ok;
    heif_image_release(image);
    heif_encoder_release(encoder);
    const QString file = dir.filePath(QStringLiteral("tile.heic"));
    if (!encoded ||
        heif_context_write_to_file(context.get(), file.toLocal8Bit().constData()).code !=
            heif_error_Ok)
        return {};
    QFile written(file);
    return written.open(QIODevice::ReadOnly) ? codedPictureOf(written.readAll()) : CodedPicture();
}

// rows x columns tiles, each an item of its own with its own copy of the
// stream, as phones write them; the alpha grid likewise.
QByteArray phoneGrid(int rows, int columns, const CodedPicture &colour, const CodedPicture *alpha)
{
    HeifBuilder file;
    const auto grid = [&](const CodedPicture &tile, bool hidden) {
        QList<quint32> tiles;
        for (int i = 0; i < rows * columns; ++i)
            tiles.append(file.addCoded(tile, 512, 512, true));
        return file.addGrid(
            rows, columns, quint32(512 * columns - 64), quint32(512 * rows - 32), tiles, hidden);
    };
    const quint32 picture = grid(colour, false);
    file.setPrimary(picture);
    if (alpha)
        file.addAuxiliary(grid(*alpha, true), picture, true);
    return file.build();
}

// Loads of each grid: enough for a decode that hangs now and then to show
// (libde265's threads once hung 12 of 13 decodes under an address-space
// ceiling). Sanitizer builds run slower and have no ceiling, so a few loads
// there look for memory errors alone.
#if defined(__SANITIZE_ADDRESS__)
constexpr int LoadsOfEach = 3;
#else
constexpr int LoadsOfEach = 20;
#endif

} // namespace

class HeifGridsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QStringList grids;

    // Decodes the file `count` times in a process of its own.
    void expectBareProcessLoads(const QString &file, int count)
    {
        QProcess process;
        process.start(QStringLiteral(MORVASTEL_DECODE_REPEATEDLY), {file, QString::number(count)});
        // Far longer than the loads take: a hang fails, and is ended.
        QVERIFY2(process.waitForFinished(120000), "the loads hung");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        QCOMPARE(process.readAllStandardOutput().count('\n'), count);
    }

private slots:
    void initTestCase()
    {
        const CodedPicture colour = codedTile(false, dir);
        const CodedPicture grey = codedTile(true, dir);
        QVERIFY(!colour.stream.isEmpty() && !grey.stream.isEmpty());
        grids = {writeFile(dir, "8x8.HEIC", phoneGrid(8, 8, colour, nullptr)),
            writeFile(dir, "8x6.HEIC", phoneGrid(6, 8, colour, nullptr)),
            writeFile(dir, "8x8-alpha.HEIC", phoneGrid(8, 8, colour, &grey))};
    }

    void loadInABareProcess()
    {
        for (const QString &file : grids)
            expectBareProcessLoads(file, LoadsOfEach);
    }

    void loadInTheWindow()
    {
        MainWindow window;
        window.show();
        for (const QString &file : grids)
            for (int load = 0; load < LoadsOfEach; ++load) {
                StdoutCapture out;
                chooseFile(window, file);
                QCOMPARE(out.text(), std::string());
                QCOMPARE(shownPixels(panel(window, "origin")).size(), cv::Size(256, 192));
            }
    }

    // Where the machine lets a test make a memory cgroup: a limit the load
    // fits in, which a thread's failure to start under it would hang.
    void loadUnderAMemoryLimit()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the sanitizers' shadow memory counts against the limit");
#endif
        const LimitedCgroup cgroup(std::uint64_t {768} << 20);
        if (!cgroup.joined())
            QSKIP("cannot make a memory cgroup here");
        expectBareProcessLoads(grids.front(), 1);
    }
};

QTEST_MAIN(HeifGridsTest)
#include "tst_heifgrids.moc"
