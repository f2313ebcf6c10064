// What each format's model counts, and where the limits cut: at each edge a
// file passes, and a hair beyond it is refused for the right reason.
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"
#include "support/heifbuilder.h"
#include "support/tiffwriter.h"

#include <QSize>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <tiffio.h>

#include <functional>

namespace {

QByteArray encode(const char *extension, const cv::Mat &image, const std::vector<int> &params = {})
{
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes, params);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// Nothing refused for its cost: the models' own figures.
DecodeLimits unlimited()
{
    DecodeLimits limits;
    limits.pixels = ~std::uint64_t {0};
    limits.freeSeconds = 1e30;
    return limits;
}

Assessment priced(const QByteArray &file)
{
    const Verdict verdict = inspectBytes(file, unlimited());
    if (!verdict.refusal.empty())
        qWarning("refused: %s", verdict.refusal.c_str());
    return verdict.assessment;
}

bool refusedFor(const QByteArray &file, const DecodeLimits &limits, const char *reason)
{
    return inspectBytes(file, limits).refusal.rfind(reason, 0) == 0;
}

bool passes(const QByteArray &file, const DecodeLimits &limits)
{
    return inspectBytes(file, limits).refusal.empty();
}

// The figures a reader gives, side by side; the seconds of a few more bytes
// read apart.
bool sameFigures(const Assessment &a, const Assessment &b)
{
    return a.refusal == b.refusal && a.width == b.width && a.height == b.height &&
        qAbs(a.seconds - b.seconds) < 1e-7 && qAbs(a.plainSeconds - b.plainSeconds) < 1e-7 &&
        a.honestBytes == b.honestBytes && a.memory == b.memory;
}

// A lossy WebP behind an extended header and chunks before its image.
QByteArray webpBehind(
    const QByteArray &simple, quint32 width, quint32 height, const QByteArray &before)
{
    const QByteArray vp8x =
        QByteArray(4, 0) + littleEndian(width - 1, 3) + littleEndian(height - 1, 3);
    const QByteArray chunks =
        QByteArray("WEBP") + "VP8X" + littleEndian(10, 4) + vp8x + before + simple.mid(12);
    return QByteArray("RIFF") + littleEndian(quint64(chunks.size()), 4) + chunks;
}

// Behind an odd-sized chunk, which is padded to an even size.
QByteArray webpBehindOddChunk(const QByteArray &simple, quint32 width, quint32 height)
{
    return webpBehind(
        simple, width, height, "XMP " + littleEndian(3, 4) + "abc" + QByteArray(1, 0));
}

JpegSpec greyProgressive(quint16 side)
{
    JpegSpec spec;
    spec.width = side;
    spec.height = side;
    spec.data.clear();
    spec.scans = {dcFirst({1})};
    return spec;
}

} // namespace

class CostModelsTest : public QObject
{
    Q_OBJECT

private slots:
    // Every limit, at its edge: the file passes, and a hair less refuses it.
    void limitsCutAtTheirEdges()
    {
        const QByteArray hollow = jpegRefinementScans(1024, 1024, 1, 40);
        const Assessment cost = priced(hollow);
        QVERIFY(cost.seconds > cost.plainSeconds);
        QVERIFY(std::uint64_t(hollow.size()) < cost.honestBytes);

        DecodeLimits limits = unlimited();
        limits.freeSeconds = cost.seconds;
        QVERIFY(passes(hollow, limits));
        limits.freeSeconds = cost.seconds * 0.999;
        QVERIFY(refusedFor(hollow, limits, "hollow"));

        // Big enough to be honest, the same scans are held to the plainest file's work.
        const QByteArray padded =
            hollow.chopped(2) + QByteArray(qsizetype(cost.honestBytes), 0) + "\xff\xd9";
        limits.honestFactor = cost.seconds / cost.plainSeconds * 1.001;
        QVERIFY(passes(padded, limits));
        limits.honestFactor = cost.seconds / cost.plainSeconds * 0.99;
        QVERIFY(refusedFor(padded, limits, "too costly: about"));

        limits = unlimited();
        limits.availableMemory = cost.memory;
        QVERIFY(passes(hollow, limits));
        limits.availableMemory = cost.memory - 1;
        QVERIFY(refusedFor(hollow, limits, "would not fit in memory"));

        limits = DecodeLimits();
        limits.pixels = std::uint64_t {1024} * 1024;
        limits.freeSeconds = 1e30;
        QVERIFY(passes(hollow, limits));
        limits.pixels -= 1;
        QVERIFY(refusedFor(hollow, limits, "too costly: declares 1024 x 1024"));
    }

    void defaultLimitsHoldAtTheirEdge()
    {
        const DecodeLimits limits;
        QCOMPARE(limits.pixels, std::uint64_t {1} << 28);
        QVERIFY(passes(pngClaiming(16384, 16384), limits) ||
            !refusedFor(pngClaiming(16384, 16384), limits, "too costly: declares"));
        QVERIFY(refusedFor(pngClaiming(16384, 16385), limits, "too costly: declares"));
        // JPEG 2000's limit is an eighth of the others.
        QVERIFY(!refusedFor(jpeg2000Codestream(8192, 4096), limits, "too costly: declares"));
        QVERIFY(refusedFor(jpeg2000Codestream(8192, 4097), limits, "too costly: declares"));
    }

    // Each JPEG scan costs its blocks at its kind's weight; restarts cost
    // more and need two bytes each; only Huffman coding needs a bit a block.
    void jpegScansAreCountedByKind()
    {
        // Every coefficient known to its last bit from the start, so that no
        // scan changes whether the picture is put out through block smoothing.
        const JpegScan exactDc {{1}, 0, 0, 0, 0};
        const JpegScan exactAc {{1}, 1, 63, 0, 0};
        JpegSpec spec = greyProgressive(512); // 4096 blocks
        spec.scans = {exactDc, exactAc};
        const double one = priced(craftedJpeg(spec)).seconds;
        spec.scans.append(exactDc);
        const double dc = priced(craftedJpeg(spec)).seconds - one;
        spec.scans.append(exactAc);
        const double ac = priced(craftedJpeg(spec)).seconds - one - dc;
        spec.scans.append(acRefine(1));
        const double refine = priced(craftedJpeg(spec)).seconds - one - dc - ac;
        QVERIFY(dc > 0 && ac > 0);
        QVERIFY(refine > 3 * ac); // refining every band of every block is the costliest
        spec.scans.append(acRefine(1));
        QCOMPARE(qRound(1e9 * (priced(craftedJpeg(spec)).seconds - one - dc - ac - 2 * refine)), 0);

        // Coefficients left imprecise are guessed from the neighbours.
        JpegSpec rough = greyProgressive(512);
        rough.scans = {exactDc, acFirst(1)};
        QVERIFY(priced(craftedJpeg(rough)).seconds > one + 4096 * 64 * 1e-9);

        JpegSpec restarts = greyProgressive(512);
        const Assessment plain = priced(craftedJpeg(restarts));
        restarts.restartInterval = 1;
        const Assessment everyBlock = priced(craftedJpeg(restarts));
        QVERIFY(everyBlock.seconds > plain.seconds);
        QCOMPARE(everyBlock.honestBytes - plain.honestBytes, std::uint64_t {2} * 4095);
        QCOMPARE(plain.honestBytes, std::uint64_t {4096} / 8);

        restarts.restartInterval = 0;
        restarts.coding = JpegCoding::Arithmetic;
        QCOMPARE(priced(craftedJpeg(restarts)).honestBytes, std::uint64_t {0});

        // Refining the DC coefficients costs less than coding them first,
        // with the same coefficients known at the end.
        JpegSpec refined = greyProgressive(512);
        refined.scans = {dcFirst({1}), exactAc, dcRefine({1})};
        JpegSpec again = greyProgressive(512);
        again.scans = {exactDc, exactAc, exactDc};
        QVERIFY(priced(craftedJpeg(refined)).seconds < priced(craftedJpeg(again)).seconds);
    }

    // Headers read as the decoders read them: what they skip is skipped,
    // and the same picture gives the same figures.
    void headersAreReadAsTheDecodersReadThem()
    {
        // libjpeg passes over a DNL segment before the frame.
        JpegSpec plain = greyProgressive(64);
        plain.scans = {dcFirst({1})};
        JpegSpec dnl = plain;
        dnl.beforeFrame = QByteArray::fromHex("ffdc00040040");
        QVERIFY(sameFigures(priced(craftedJpeg(dnl)), priced(craftedJpeg(plain))));

        // A big-endian BigTIFF is a BigTIFF.
        const cv::Mat colour(48, 37, CV_8UC3, cv::Scalar(1, 2, 3));
        const Assessment little = priced(tiffOf(colour, {COMPRESSION_NONE, 0, 16}));
        const Assessment big =
            priced(tiffOf(colour, {COMPRESSION_NONE, 0, 16, 0, false, true, true}));
        QCOMPARE(big.width, std::uint64_t {37});
        QCOMPARE(big.height, std::uint64_t {48});
        QCOMPARE(big.honestBytes, little.honestBytes);

        // Strip offsets stored past the file's end, or from inside it to past
        // it, are unreadable wherever they lie, not read as zeros.
        const QByteArray bigTiff = tiffOf(colour, {COMPRESSION_NONE, 0, 7, 0, false, true});
        QVERIFY(passes(bigTiff, unlimited()));
        for (const std::uint64_t offset :
            {~std::uint64_t {0}, ~std::uint64_t {0} - 8, std::uint64_t(bigTiff.size() - 4)}) {
            const std::string refusal =
                inspectBytes(bigTiffWithValuesAt(bigTiff, offset), unlimited()).refusal;
            QCOMPARE(refusal, std::string("unreadable TIFF: strip or tile offsets it cannot read"));
        }

        // A JP2 box of length 0 runs to the end of the file; one whose length
        // runs past it is no box, however its sum wraps.
        const QByteArray jp2 = encode(".jp2", colour);
        const qsizetype codestream = jp2.indexOf("jp2c") - 4;
        QByteArray toTheEnd = jp2;
        toTheEnd.replace(codestream, 4, QByteArray(4, 0));
        QVERIFY(sameFigures(priced(toTheEnd), priced(jp2)));
        QByteArray wrapping = jp2;
        wrapping.replace(codestream, 8,
            bigEndian(1, 4) + "jp2c" + bigEndian(~quint64 {0} - quint64(codestream) + 16, 8));
        QCOMPARE(
            inspectBytes(wrapping).refusal, std::string("unreadable JPEG 2000: no codestream box"));

        // A WebP chunk of odd size is followed by a pad byte.
        const QByteArray simple = encode(".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80});
        const Assessment padded = priced(webpBehindOddChunk(simple, 37, 48));
        QCOMPARE(padded.width, std::uint64_t {37});
        QCOMPARE(padded.height, std::uint64_t {48});
        QVERIFY(padded.seconds > priced(simple).seconds);
    }

    // The fewest bytes of an honest file, counted as its layout has them.
    void honestBytesCountTheLayout()
    {
        // Each PNG row starts with its filter byte: 1031 bytes of grey and
        // one, 1032 rows, at Deflate's best of 1032 to 1.
        QCOMPARE(priced(encode(".png", cv::Mat(1032, 1031, CV_8UC1, cv::Scalar(0)))).honestBytes,
            std::uint64_t {1032});
        // PIZ stores 32 lines a chunk, each with its offset and header: 33
        // lines take two chunks.
        const auto piz = [](int height) {
            return priced(encode(".exr", cv::Mat(height, 4, CV_32FC3, cv::Scalar::all(0)),
                {cv::IMWRITE_EXR_COMPRESSION, cv::IMWRITE_EXR_COMPRESSION_PIZ}));
        };
        QCOMPARE(piz(32).honestBytes, std::uint64_t {16});
        QCOMPARE(piz(33).honestBytes, std::uint64_t {32});
        // libtiff reads the last strip as short as the picture leaves it.
        const cv::Mat grey(10, 100, CV_8UC1, cv::Scalar(5));
        QCOMPARE(priced(tiffOf(grey, {COMPRESSION_NONE, 0, 4})).honestBytes, std::uint64_t {1000});
    }

    // A file is hollow below the bound, not at it.
    void hollowMeansBelowTheBound()
    {
        const QByteArray ppm = encode(".ppm", cv::Mat(100, 100, CV_8UC3, cv::Scalar(1, 2, 3)));
        const Assessment cost = priced(ppm);
        DecodeLimits limits;
        limits.freeSeconds = 0;
        const QByteArray atTheBound = ppm.left(qsizetype(cost.honestBytes));
        QVERIFY(passes(atTheBound, limits));
        QVERIFY(refusedFor(atTheBound.chopped(1), limits, "hollow"));
    }

    // The readers without rows above, on a picture and the same picture
    // twice as wide and high: their sides, and four times the work.
    void picturesFourTimesLargerCostFourTimesMore_data()
    {
        QTest::addColumn<QByteArray>("small");
        QTest::addColumn<QByteArray>("large");
        QTest::addColumn<QSize>("size");
        const QSize size(300, 200);
        const auto both = [&size](const std::function<QByteArray(const QSize &)> &make) {
            return std::pair(make(size), make(size * 2));
        };
        const auto add = [&](const char *name, const std::pair<QByteArray, QByteArray> &files) {
            QTest::newRow(name) << files.first << files.second << size;
        };
        const auto mat = [](const QSize &s, int type) {
            return cv::Mat(s.height(), s.width(), type, cv::Scalar(0.1, 0.2, 0.3));
        };
        add("radiance", both([&](const QSize &s) { return encode(".hdr", mat(s, CV_32FC3)); }));
        add("openexr", both([&](const QSize &s) { return encode(".exr", mat(s, CV_32FC3)); }));
        add("webp", both([&](const QSize &s) { return encode(".webp", mat(s, CV_8UC3)); }));
        add("pbm", both([&](const QSize &s) { return encode(".pbm", mat(s, CV_8UC1)); }));
        add("heif", both([](const QSize &s) {
            HeifBuilder builder;
            const auto w = quint32(s.width());
            const auto h = quint32(s.height());
            builder.addCoded(hevcHeaderOnly(w, h), w, h);
            return builder.build();
        }));
    }

    void picturesFourTimesLargerCostFourTimesMore()
    {
        QFETCH(QByteArray, small);
        QFETCH(QByteArray, large);
        QFETCH(QSize, size);
        const Assessment one = priced(small);
        const Assessment four = priced(large);
        QCOMPARE(one.width, std::uint64_t(size.width()));
        QCOMPARE(one.height, std::uint64_t(size.height()));
        QCOMPARE(four.width, std::uint64_t(2 * size.width()));
        QCOMPARE(four.height, std::uint64_t(2 * size.height()));
        QVERIFY(one.seconds > 0);
        QVERIFY(qAbs(four.seconds / one.seconds - 4) < 0.05);
        QVERIFY(four.honestBytes >= one.honestBytes);
    }

    // Blocks as libjpeg walks them: interleaved scans walk whole MCUs,
    // padding blocks included; one component's scan walks its own blocks.
    void jpegBlocksAreWalkedAsLibjpegWalksThem()
    {
        JpegSpec spec;
        spec.width = 2040; // 4:2:0: 128 x 128 MCUs of 16 x 16, 255 x 255 luma blocks
        spec.height = 2040;
        spec.components = 3;
        spec.firstSampling = 0x22;
        spec.data.clear();
        spec.scans = {dcFirst({1, 2, 3})};
        const double interleaved = priced(craftedJpeg(spec)).seconds;
        spec.scans.append(dcFirst({1, 2, 3}));
        const double twice = priced(craftedJpeg(spec)).seconds;
        spec.scans.append(dcFirst({1}));
        const double luma = priced(craftedJpeg(spec)).seconds - twice;
        const double expected = 128.0 * 128 * 6 / (255 * 255);
        QVERIFY(qAbs((twice - interleaved) / luma - expected) < 0.001);

        // A stream read in one sequential scan is priced for that scan alone.
        const QByteArray baseline = encode(".jpg", cv::Mat(64, 64, CV_8UC3, cv::Scalar(1, 2, 3)));
        const QByteArray scan =
            jpegScanBomb(64, 64, 1).chopped(2).mid(jpegScanBomb(64, 64, 0).size() - 2);
        QCOMPARE(priced(baseline.chopped(2) + scan.repeated(1000) + "\xff\xd9").seconds,
            priced(baseline).seconds +
                1000 * scan.size() * (priced(baseline + "x").seconds - priced(baseline).seconds));
        // It keeps no coefficients; progressive ones keep all of them.
        QVERIFY(priced(encode(".jpg", cv::Mat(64, 64, CV_8UC3, cv::Scalar(1, 2, 3)),
                           {cv::IMWRITE_JPEG_PROGRESSIVE, 1}))
                    .memory > priced(baseline).memory);
    }

    // A TIFF's strips or tiles decode whole, whatever the picture's size;
    // JPEG strips are priced as JPEG streams.
    void tiffPiecesAreCountedWhole()
    {
        TiffSpec small;
        small.width = 64;
        small.height = 64;
        small.compression = 8;
        small.tileWidth = 64;
        small.tileHeight = 64;
        small.piece = qCompress(QByteArray(qsizetype {64} * 64, 0), 9).mid(4);
        TiffSpec large = small;
        large.tileWidth = 1024;
        large.tileHeight = 1024;
        const Assessment fits = priced(craftedTiff(small));
        const Assessment overhangs = priced(craftedTiff(large));
        QVERIFY(overhangs.seconds > 100 * fits.seconds);
        QVERIFY(overhangs.memory > std::uint64_t {1024} * 1024 * 4);
        QCOMPARE(overhangs.plainSeconds, fits.plainSeconds);

        QVERIFY(priced(tiffOfJpegRefinements(1024, 20)).seconds >
            priced(tiffOfJpegRefinements(1024, 10)).seconds);
        TiffSpec unknown = small;
        unknown.compression = 6; // old-style JPEG
        QVERIFY(refusedFor(craftedTiff(unknown), DecodeLimits(),
            "unknown format: a TIFF compressed with scheme 6"));
        // Deflate cannot beat about 1032:1.
        QCOMPARE(
            priced(tiffOfOneHugeTile(1024, 1024)).honestBytes, std::uint64_t {1024} * 1024 / 1032);
    }

    // libpng inflates every compressed text chunk, at most 8 MB each, and
    // keeps at most 998 chunks.
    void pngTextIsCountedAsLibpngInflatesIt()
    {
        const Assessment none = priced(pngWithTexts(0, 0));
        const Assessment one = priced(pngWithTexts(1, 1000000));
        const Assessment two = priced(pngWithTexts(2, 1000000));
        QVERIFY(two.seconds - one.seconds > 0);
        QCOMPARE(qRound((two.seconds - none.seconds) / (one.seconds - none.seconds)), 2);
        const Assessment huge = priced(pngWithTexts(1, 20000000));
        QCOMPARE(huge.memory - none.memory, std::uint64_t {8000000});
        const Assessment many = priced(pngWithTexts(1200, 1000));
        const Assessment most = priced(pngWithTexts(998, 1000));
        QVERIFY(many.memory - most.memory < 1000);
    }

    // libwebp walks every chunk before the image, however many there are:
    // each is priced, and a file of a million is not refused for their number.
    void webpChunksArePricedEach()
    {
        const QByteArray simple = encode(
            ".webp", cv::Mat(48, 37, CV_8UC3, cv::Scalar(1, 2, 3)), {cv::IMWRITE_WEBP_QUALITY, 80});
        const auto behind = [&simple](int chunks) {
            QByteArray before;
            for (int i = 0; i < chunks; ++i)
                before += QByteArray("EMPT") + littleEndian(0, 4);
            return webpBehind(simple, 37, 48, before);
        };
        const Assessment none = priced(behind(0));
        const Assessment thousand = priced(behind(1000));
        QVERIFY(thousand.seconds > none.seconds);
        const QByteArray million = behind(1000000);
        QVERIFY(passes(million, DecodeLimits()));
        QCOMPARE(
            qRound((priced(million).seconds - none.seconds) / (thousand.seconds - none.seconds)),
            1000);
    }

    // LERC's Deflate layer costs more to undo than its Zstandard layer.
    void lercLayersArePricedOnTop()
    {
        cv::Mat grey(256, 256, CV_8UC1);
        cv::randu(grey, 0, 256);
        const auto lerc = [&grey](int layer) {
            return priced(tiffOf(grey, {COMPRESSION_LERC, layer})).seconds;
        };
        const double alone = lerc(LERC_ADD_COMPRESSION_NONE);
        const double deflate = lerc(LERC_ADD_COMPRESSION_DEFLATE);
        const double zstd = lerc(LERC_ADD_COMPRESSION_ZSTD);
        QVERIFY(alone > 0);
        QVERIFY(zstd > alone);
        QVERIFY(deflate > zstd);
    }

    // A HEIF stream codes its extent side for side, and grids nest as deep
    // as honest files do, never naming themselves.
    void heifPicturesAreReadWhole()
    {
        for (const bool av1 : {false, true}) {
            QVERIFY(passes(heifCodedLarger(av1, 64, 32, 64, 32), unlimited()));
            QVERIFY(refusedFor(heifCodedLarger(av1, 64, 32, 32, 64), unlimited(),
                "unreadable HEIF: a picture whose stream codes 32 x 64 where its extent declares "
                "64 x 32"));
        }
        const auto nested = [](int grids) {
            HeifBuilder file;
            quint32 image = file.addCoded(hevcHeaderOnly(64, 64), 64, 64, true);
            for (int grid = 1; grid <= grids; ++grid)
                image = file.addGrid(1, 1, 64, 64, {image}, grid < grids);
            file.setPrimary(image);
            return file.build();
        };
        const char *tooDeep =
            "unreadable HEIF: pictures that refer to each other in a circle, or nest too deep";
        QVERIFY(passes(nested(8), unlimited()));
        QVERIFY(refusedFor(nested(9), unlimited(), tooDeep));
        HeifBuilder cycle;
        cycle.addGrid(1, 1, 64, 64, {2});
        cycle.addGrid(1, 1, 64, 64, {1}, true);
        cycle.setPrimary(1);
        QVERIFY(refusedFor(cycle.build(), unlimited(), tooDeep));
    }

    // OpenJPEG's structures: smaller code-blocks, smaller precincts, more
    // layers and more tiles all cost more, for the same picture.
    void jpeg2000StructuresAreCounted()
    {
        Jpeg2000Spec spec;
        spec.width = 512;
        spec.height = 512;
        spec.packetBytes = 16; // no coded data: the structures alone
        const Assessment plain = priced(craftedJpeg2000(spec));
        QCOMPARE(plain.seconds, plain.plainSeconds);
        for (const auto &change : std::initializer_list<std::function<void(Jpeg2000Spec &)>> {
                 [](Jpeg2000Spec &s) { s.codeBlock = 3; }, [](Jpeg2000Spec &s) { s.precinct = 4; },
                 [](Jpeg2000Spec &s) { s.layers = 1000; },
                 [](Jpeg2000Spec &s) {
                     s.tileWidth = 16;
                     s.tileHeight = 16;
                 }}) {
            Jpeg2000Spec costlier = spec;
            change(costlier);
            const Assessment cost = priced(craftedJpeg2000(costlier));
            QVERIFY(cost.seconds > 1.05 * cost.plainSeconds);
        }
    }

    // Formats whose rows are stored whole need them all in an honest file;
    // run lengths may end a picture anywhere.
    void rawFormatsNeedTheirRows()
    {
        const cv::Mat colour(20, 30, CV_8UC3, cv::Scalar(1, 2, 3));
        for (const char *extension : {".ppm", ".pam", ".ras"})
            QCOMPARE(priced(encode(extension, colour)).honestBytes, std::uint64_t {20} * 30 * 3);
        // BMP rows take whole 32-bit words.
        QCOMPARE(priced(encode(".bmp", colour)).honestBytes, std::uint64_t {20} * 92);
        QCOMPARE(priced(rleBmpOfNothing(30, 20)).honestBytes, std::uint64_t {0});
        cv::Mat real;
        colour.convertTo(real, CV_32FC3);
        QCOMPARE(priced(encode(".pfm", real)).honestBytes, std::uint64_t {20} * 30 * 12);
    }
};

QTEST_GUILESS_MAIN(CostModelsTest)
#include "tst_costmodels.moc"
