#include "support/craftedfiles.h"

#include <algorithm>
#include <initializer_list>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int value : values)
        out.append(static_cast<char>(value));
    return out;
}

// A zlib stream of `size` zero bytes (qCompress puts the size in front).
QByteArray zlibZeros(qsizetype size)
{
    return qCompress(QByteArray(size, '\0'), 9).mid(4);
}

} // namespace

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    return bigEndian(quint64(data.size()), 4) + type + data + bigEndian(crc32(type + data), 4);
}

namespace {

QByteArray png(quint32 width, quint32 height, int depth, int colourType, const QByteArray &pixels)
{
    const QByteArray header =
        bigEndian(width, 4) + bigEndian(height, 4) + bytes({depth, colourType, 0, 0, 0});
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
        pngChunk("IDAT", pixels) + pngChunk("IEND", {});
}

QByteArray jpegSegment(int marker, const QByteArray &payload)
{
    return bytes({0xff, marker}) + bigEndian(quint64(payload.size() + 2), 2) + payload;
}

// DC and AC Huffman tables 0, each with one code of one bit: 0 for a DC
// difference of nothing, and the AC symbol given.
QByteArray jpegHuffmanTables(int acSymbol)
{
    const QByteArray oneCode = QByteArray(1, 1) + QByteArray(15, 0);
    return jpegSegment(0xc4, QByteArray(1, 0x00) + oneCode + QByteArray(1, 0)) +
        jpegSegment(0xc4, QByteArray(1, 0x10) + oneCode + QByteArray(1, char(acSymbol)));
}

// One element in explicit-VR little-endian form; values are padded to even length.
QByteArray dicomElement(quint16 group, quint16 element, const char *vr, QByteArray value)
{
    if (value.size() % 2)
        value.append(qstrcmp(vr, "UI") == 0 ? '\0' : ' ');
    QByteArray out = littleEndian(group, 2) + littleEndian(element, 2) + vr;
    if (qstrcmp(vr, "OB") == 0)
        out += QByteArray(2, '\0') + littleEndian(quint32(value.size()), 4);
    else
        out += littleEndian(quint32(value.size()), 2);
    return out + value;
}

} // namespace

QByteArray tiffEntry(quint16 tag, quint16 type, quint32 value)
{
    const QByteArray field =
        type == 3 ? littleEndian(value, 2) + QByteArray(2, 0) : littleEndian(value, 4);
    return littleEndian(tag, 2) + littleEndian(type, 2) + littleEndian(1, 4) + field;
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray littleEndian(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xff));
    return out;
}

QByteArray bigEndian(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xff));
    return out;
}

QByteArray pngClaiming(quint32 width, quint32 height)
{
    return png(width, height, 8, 2, zlibZeros(64));
}

QByteArray bilevelPngOfZeros(quint32 width, quint32 height)
{
    const qsizetype rowBytes = 1 + (qsizetype(width) + 7) / 8; // a filter byte, then the pixels
    return png(width, height, 1, 0, zlibZeros(rowBytes * height));
}

QByteArray craftedJpeg(const JpegSpec &spec)
{
    const bool arithmetic = spec.coding == JpegCoding::Arithmetic;
    const int marker =
        arithmetic ? (spec.progressive ? 0xca : 0xc9) : (spec.progressive ? 0xc2 : 0xc0);
    QByteArray frame = QByteArray(1, 8) + bigEndian(spec.height, 2) + bigEndian(spec.width, 2) +
        QByteArray(1, char(spec.components));
    for (int id = 1; id <= spec.components; ++id)
        frame += bytes({id, id == 1 ? spec.firstSampling : 0x11, 0});
    QByteArray file = QByteArray("\xff\xd8", 2) + spec.beforeFrame +
        jpegSegment(0xdb, QByteArray(1, 0) + QByteArray(64, 1)) + jpegSegment(marker, frame);
    if (!arithmetic)
        file += jpegHuffmanTables(spec.acSymbol);
    if (spec.restartInterval != 0)
        file += jpegSegment(0xdd, bigEndian(quint64(spec.restartInterval), 2));
    for (const JpegScan &scan : spec.scans) {
        QByteArray header(1, char(scan.components.size()));
        for (const int id : scan.components)
            header += bytes({id, 0});
        header += bytes({scan.start, scan.end, scan.high << 4 | scan.low});
        file += jpegSegment(0xda, header) + spec.data;
    }
    return file + "\xff\xd9";
}

QByteArray jpegEndOfBandRuns(qsizetype blocks)
{
    // Each run: the one-bit code, then 14 bits of ones, 2^14 + 2^14 - 1 blocks.
    QByteArray bits;
    for (qsizetype covered = 0; covered < blocks; covered += 32767)
        bits += "0" + QByteArray(14, '1');
    while (bits.size() % 8 != 0)
        bits += '1';
    QByteArray data;
    for (qsizetype at = 0; at < bits.size(); at += 8) {
        const char byte = char(bits.mid(at, 8).toUInt(nullptr, 2));
        data += byte;
        if (quint8(byte) == 0xff)
            data += '\0'; // stuffed, as in any entropy-coded data
    }
    return data;
}

JpegScan dcFirst(QList<int> components)
{
    return {std::move(components), 0, 0, 0, 1};
}

JpegScan dcRefine(QList<int> components)
{
    return {std::move(components), 0, 0, 1, 0};
}

JpegScan acFirst(int component)
{
    return {{component}, 1, 63, 0, 1};
}

JpegScan acRefine(int component)
{
    return {{component}, 1, 63, 1, 0};
}

QByteArray jpegScanBomb(quint16 width, quint16 height, int scans, JpegCoding coding, int components)
{
    JpegSpec spec;
    spec.width = width;
    spec.height = height;
    spec.components = components;
    spec.coding = coding;
    spec.data.clear();
    QList<int> all;
    for (int id = 1; id <= components; ++id)
        all.append(id);
    for (int i = 0; i < scans; ++i)
        spec.scans.append({all, 0, 0, 0, 0});
    return craftedJpeg(spec);
}

QByteArray progressiveJpegHeader(quint16 width, quint16 height)
{
    JpegSpec spec;
    spec.width = width;
    spec.height = height;
    spec.components = 3;
    spec.data.clear();
    spec.scans = {{{1, 2, 3}, 0, 0, 0, 0}};
    return craftedJpeg(spec);
}

QByteArray jpeg2000Codestream(quint32 width, quint32 height)
{
    Jpeg2000Spec spec;
    spec.width = width;
    spec.height = height;
    return craftedJpeg2000(spec);
}

QByteArray craftedJpeg2000(const Jpeg2000Spec &spec)
{
    const quint32 tileWidth = spec.tileWidth != 0 ? spec.tileWidth : spec.width;
    const quint32 tileHeight = spec.tileHeight != 0 ? spec.tileHeight : spec.height;
    // Reference grid and tiles, 8-bit components.
    QByteArray siz = bigEndian(0, 2) + bigEndian(spec.width, 4) + bigEndian(spec.height, 4) +
        bigEndian(0, 8) + bigEndian(tileWidth, 4) + bigEndian(tileHeight, 4) + bigEndian(0, 8) +
        bigEndian(quint64(spec.components), 2);
    for (int component = 0; component < spec.components; ++component)
        siz += bytes({7, 1, 1});
    const auto segment = [](int marker, const QByteArray &payload) {
        return bytes({0xff, marker}) + bigEndian(quint64(payload.size() + 2), 2) + payload;
    };
    // The reversible wavelet, no quantisation; precinct sizes where not the largest.
    const bool precincts = spec.precinct != 15;
    QByteArray cod = bytes({precincts ? 1 : 0, 0}) + bigEndian(quint64(spec.layers), 2) +
        bytes({0, spec.levels, spec.codeBlock - 2, spec.codeBlock - 2, 0, 1});
    if (precincts) {
        for (int r = 0; r <= spec.levels; ++r)
            cod += char(spec.precinct << 4 | spec.precinct);
    }
    const QByteArray qcd = QByteArray(1, 0x40) + QByteArray(3 * spec.levels + 1, 0x40);
    QByteArray file =
        QByteArray("\xff\x4f", 2) + segment(0x51, siz) + segment(0x52, cod) + segment(0x5c, qcd);

    // Empty packets, a byte each: enough for every precinct of every
    // resolution, layer and component of a tile, unless told otherwise.
    qsizetype packets = 0;
    for (int r = 0; r <= spec.levels; ++r) {
        const int shift = spec.levels - r + spec.precinct;
        const auto across = qsizetype((quint64(tileWidth) >> std::min(shift, 63)) + 2);
        const auto down = qsizetype((quint64(tileHeight) >> std::min(shift, 63)) + 2);
        packets += across * down;
    }
    packets *= qsizetype(spec.layers) * spec.components;
    const qsizetype dataBytes = spec.packetBytes >= 0 ? spec.packetBytes : packets;
    const quint64 tiles = quint64((spec.width + tileWidth - 1) / tileWidth) *
        ((spec.height + tileHeight - 1) / tileHeight);
    for (quint64 tile = 0; tile < tiles; ++tile) {
        const QByteArray data = QByteArray("\xff\x93", 2) + QByteArray(dataBytes, 0);
        const QByteArray sot =
            bigEndian(tile, 2) + bigEndian(quint64(12 + data.size()), 4) + bytes({0, 1});
        file += segment(0x90, sot) + data;
    }
    return file + QByteArray("\xff\xd9", 2);
}

QByteArray jp2Claiming(quint32 ihdrWidth, quint32 ihdrHeight, quint32 width, quint32 height)
{
    const auto box = [](const char *type, const QByteArray &contents) {
        return bigEndian(quint64(contents.size() + 8), 4) + type + contents;
    };
    const QByteArray ihdr =
        bigEndian(ihdrHeight, 4) + bigEndian(ihdrWidth, 4) + bigEndian(3, 2) + bytes({7, 7, 0, 0});
    return box("jP  ", "\r\n\x87\n") + box("ftyp", QByteArray("jp2 ") + bigEndian(0, 4) + "jp2 ") +
        box("jp2h", box("ihdr", ihdr)) + box("jp2c", jpeg2000Codestream(width, height));
}

QByteArray webpCanvas(quint32 width, quint32 height)
{
    const QByteArray vp8x =
        QByteArray(4, 0) + littleEndian(width - 1, 3) + littleEndian(height - 1, 3);
    const QByteArray chunks = QByteArray("WEBP") + "VP8X" + littleEndian(10, 4) + vp8x;
    return QByteArray("RIFF") + littleEndian(quint64(chunks.size()), 4) + chunks;
}

QByteArray tiffOfSharedStrips(quint32 width, quint32 height)
{
    const quint32 rows = 64;
    const quint32 strips = (height + rows - 1) / rows;
    const QByteArray block = zlibZeros(qsizetype(width) * rows);
    const int entries = 9;
    const quint32 ifdSize = 2 + entries * 12 + 4;
    const quint32 offsets = 8 + ifdSize;
    const quint32 counts = offsets + 4 * strips;
    const quint32 data = counts + 4 * strips;
    const auto array = [strips](quint16 tag, quint32 at) {
        return littleEndian(tag, 2) + littleEndian(4, 2) + littleEndian(strips, 4) +
            littleEndian(at, 4);
    };
    QByteArray file = QByteArray("II*\0", 4) + littleEndian(8, 4) + littleEndian(entries, 2) +
        tiffEntry(256, 4, width) + tiffEntry(257, 4, height) + tiffEntry(258, 3, 8) +
        tiffEntry(259, 3, 8) + tiffEntry(262, 3, 1) + array(273, offsets) + tiffEntry(277, 3, 1) +
        tiffEntry(278, 4, rows) + array(279, counts) + littleEndian(0, 4);
    for (quint32 strip = 0; strip < strips; ++strip)
        file += littleEndian(data, 4);
    for (quint32 strip = 0; strip < strips; ++strip)
        file += littleEndian(quint64(block.size()), 4);
    return file + block;
}

QByteArray rleBmpOfNothing(qint32 width, qint32 height)
{
    const quint32 paletteSize = 256 * 4;
    const quint32 dataAt = 14 + 40 + paletteSize;
    const QByteArray data("\x00\x01", 2); // end of bitmap
    const QByteArray info = littleEndian(40, 4) + littleEndian(quint32(width), 4) +
        littleEndian(quint32(height), 4) + littleEndian(1, 2) + littleEndian(8, 2) +
        littleEndian(1, 4) /* RLE8 */ + littleEndian(quint64(data.size()), 4) + littleEndian(0, 8) +
        littleEndian(256, 4) + littleEndian(0, 4);
    return QByteArray("BM") + littleEndian(dataAt + quint32(data.size()), 4) + littleEndian(0, 4) +
        littleEndian(dataAt, 4) + info + QByteArray(int(paletteSize), 0) + data;
}

QByteArray craftedTiff(const TiffSpec &spec)
{
    const bool tiled = spec.tileWidth != 0;
    const quint32 across = tiled ? (spec.width + spec.tileWidth - 1) / spec.tileWidth : 1;
    const quint32 rows =
        tiled ? spec.tileHeight : (spec.rowsPerStrip != 0 ? spec.rowsPerStrip : spec.height);
    const quint32 pieces = across * ((spec.height + rows - 1) / rows);
    const auto side = [&spec](quint16 tag, quint32 value, quint32 at) {
        if (spec.sideType == 16) // LONG8 does not fit the classic entry: it stands at an offset
            return littleEndian(tag, 2) + littleEndian(16, 2) + littleEndian(1, 4) +
                littleEndian(at, 4);
        return tiffEntry(tag, quint16(spec.sideType), value);
    };
    const int entries = 9 + int(tiled ? 1 : 0) + int(spec.extraEntries.size());
    const quint32 ifdSize = 2 + quint32(entries) * 12 + 4;
    const quint32 sides = 8 + ifdSize;
    const quint32 offsets = sides + 16;
    const quint32 counts = offsets + 4 * pieces;
    const quint32 data = counts + 4 * pieces;
    const auto array = [pieces](quint16 tag, quint32 at) {
        return littleEndian(tag, 2) + littleEndian(4, 2) + littleEndian(pieces, 4) +
            (pieces == 1 ? QByteArray() : littleEndian(at, 4));
    };
    QByteArray directory;
    QList<QByteArray> fields = {side(256, spec.width, sides), side(257, spec.height, sides + 8),
        tiffEntry(258, 3, 8), tiffEntry(259, 3, quint32(spec.compression)), tiffEntry(262, 3, 1)};
    if (tiled) {
        fields += {tiffEntry(322, 4, spec.tileWidth), tiffEntry(323, 4, spec.tileHeight),
            array(324, offsets) + (pieces == 1 ? littleEndian(data, 4) : QByteArray()),
            array(325, counts) +
                (pieces == 1 ? littleEndian(quint64(spec.piece.size()), 4) : QByteArray())};
        fields += tiffEntry(277, 3, 1);
    } else {
        fields += {array(273, offsets) + (pieces == 1 ? littleEndian(data, 4) : QByteArray()),
            tiffEntry(277, 3, 1), tiffEntry(278, 4, rows),
            array(279, counts) +
                (pieces == 1 ? littleEndian(quint64(spec.piece.size()), 4) : QByteArray())};
    }
    fields += spec.extraEntries;
    std::sort(fields.begin(), fields.end(), [](const QByteArray &a, const QByteArray &b) {
        return (quint8(a[1]) << 8 | quint8(a[0])) < (quint8(b[1]) << 8 | quint8(b[0]));
    });
    for (const QByteArray &field : fields)
        directory += field;
    QByteArray file = QByteArray("II*\0", 4) + littleEndian(8, 4) +
        littleEndian(quint64(fields.size()), 2) + directory + littleEndian(0, 4);
    file.resize(sides, '\0');
    file += littleEndian(spec.width, 8) + littleEndian(spec.height, 8);
    for (quint32 piece = 0; piece < pieces; ++piece)
        file += littleEndian(data, 4);
    for (quint32 piece = 0; piece < pieces; ++piece)
        file += littleEndian(quint64(spec.piece.size()), 4);
    return file + spec.piece;
}

QByteArray pngWithTexts(int chunks, qsizetype inflated)
{
    const QByteArray header = bigEndian(1, 4) + bigEndian(1, 4) + bytes({8, 0, 0, 0, 0});
    QByteArray file = QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header);
    const QByteArray text = QByteArray("Comment\0", 8) + '\0' + zlibZeros(inflated);
    for (int i = 0; i < chunks; ++i)
        file += pngChunk("zTXt", text);
    return file + pngChunk("IDAT", zlibZeros(2)) + pngChunk("IEND", {});
}

QByteArray exrClaiming(qint32 width, qint32 height, qint32 sizeField)
{
    const auto attribute = [](const char *name, const char *type, const QByteArray &value,
                               qint32 size) {
        return QByteArray(name) + '\0' + type + '\0' + littleEndian(quint32(size), 4) + value;
    };
    const auto box = [](qint32 right, qint32 bottom) {
        return littleEndian(0, 8) + littleEndian(quint32(right), 4) +
            littleEndian(quint32(bottom), 4);
    };
    QByteArray channels;
    for (const char *name : {"B", "G", "R"})
        channels += QByteArray(name) + '\0' + littleEndian(1, 4) + littleEndian(0, 4) +
            littleEndian(1, 4) + littleEndian(1, 4);
    channels += '\0';
    QByteArray file = QByteArray("\x76\x2f\x31\x01", 4) + littleEndian(2, 4) +
        attribute("channels", "chlist", channels, qint32(channels.size())) +
        attribute("compression", "compression", QByteArray(1, 3), 1) +
        attribute("dataWindow", "box2i", box(width - 1, height - 1), sizeField) +
        attribute("displayWindow", "box2i", box(width - 1, height - 1), 16) +
        attribute("lineOrder", "lineOrder", QByteArray(1, 0), 1) +
        attribute("pixelAspectRatio", "float", littleEndian(0x3f800000, 4), 4) +
        attribute("screenWindowCenter", "v2f", littleEndian(0, 8), 8) +
        attribute("screenWindowWidth", "float", littleEndian(0x3f800000, 4), 4) + '\0';
    // One offset for every 16 lines, all pointing past the end.
    for (qint32 chunk = 0; chunk < (height + 15) / 16; ++chunk)
        file += littleEndian(quint64(1) << 40, 8);
    return file;
}

QByteArray nitfFile()
{
    return "NITF02.10" + QByteArray(400, ' ');
}

QByteArray dtedFile()
{
    return "UHL1" + QByteArray(136, ' ') + "DTED" + QByteArray(200, ' ');
}

QByteArray behindEmptyApp0(const QByteArray &jpeg)
{
    return jpeg.left(2) + QByteArray::fromHex("ffe00000") + jpeg.mid(2);
}

QByteArray jpegRefinementScans(quint16 width, quint16 height, int components, int scans)
{
    JpegSpec spec;
    spec.width = width;
    spec.height = height;
    spec.components = components;
    spec.acSymbol = 0xe0;
    spec.data = jpegEndOfBandRuns(qsizetype(width / 8 + 1) * (height / 8 + 1));
    QList<int> all;
    for (int id = 1; id <= components; ++id)
        all.append(id);
    spec.scans = {dcFirst(all)};
    for (int id = 1; id <= components; ++id)
        spec.scans.append(acFirst(id));
    for (int i = 0; i < scans; ++i)
        spec.scans.append(acRefine(1 + i % components));
    return craftedJpeg(spec);
}

QByteArray tiffWithLong8Sides(quint32 width, quint32 height)
{
    TiffSpec spec;
    spec.width = width;
    spec.height = height;
    spec.compression = 8;
    spec.rowsPerStrip = 64;
    spec.piece = zlibZeros(qsizetype(width) * 64);
    spec.sideType = 16;
    return craftedTiff(spec);
}

QByteArray tiffOfJpegRefinements(quint32 side, int scans)
{
    TiffSpec spec;
    spec.width = side;
    spec.height = side;
    spec.compression = 7;
    spec.rowsPerStrip = 1024;
    spec.piece = jpegRefinementScans(quint16(side), 1024, 1, scans);
    return craftedTiff(spec);
}

QByteArray tiffOfOneHugeTile(quint32 side, quint32 tile)
{
    TiffSpec spec;
    spec.width = side;
    spec.height = side;
    spec.compression = 8;
    spec.tileWidth = tile;
    spec.tileHeight = tile;
    spec.piece = zlibZeros(qsizetype(tile) * tile);
    return craftedTiff(spec);
}

QByteArray jpeg2000TinyPrecincts(quint32 side)
{
    Jpeg2000Spec spec;
    spec.width = side;
    spec.height = side;
    spec.precinct = 1;
    spec.packetBytes = 8;
    return craftedJpeg2000(spec);
}

QByteArray jpeg2000TinyCodeBlocks(quint32 side)
{
    Jpeg2000Spec spec;
    spec.width = side;
    spec.height = side;
    spec.codeBlock = 2;
    spec.packetBytes = 8;
    return craftedJpeg2000(spec);
}

QByteArray greyDicom(int rows, int columns)
{
    const QByteArray sopClass = "1.2.840.10008.5.1.4.1.1.7"; // secondary capture
    const QByteArray meta = dicomElement(2, 1, "OB", QByteArray::fromHex("0001")) +
        dicomElement(2, 2, "UI", sopClass) + dicomElement(2, 3, "UI", "1.2.3.4.5") +
        dicomElement(2, 0x10, "UI", "1.2.840.10008.1.2.1"); // explicit VR little endian
    const auto us = [](int value) { return littleEndian(quint32(value), 2); };
    QByteArray pixels(qsizetype {rows} * columns, '\0');
    for (int i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<char>(i * 7);
    return QByteArray(128, '\0') + "DICM" +
        dicomElement(2, 0, "UL", littleEndian(quint32(meta.size()), 4)) + meta +
        dicomElement(8, 0x16, "UI", sopClass) + dicomElement(8, 0x18, "UI", "1.2.3.4.5") +
        dicomElement(0x28, 2, "US", us(1)) + dicomElement(0x28, 4, "CS", "MONOCHROME2") +
        dicomElement(0x28, 0x10, "US", us(rows)) + dicomElement(0x28, 0x11, "US", us(columns)) +
        dicomElement(0x28, 0x100, "US", us(8)) + dicomElement(0x28, 0x101, "US", us(8)) +
        dicomElement(0x28, 0x102, "US", us(7)) + dicomElement(0x28, 0x103, "US", us(0)) +
        dicomElement(0x7fe0, 0x10, "OB", pixels);
}

QByteArray dicomBehind(const QByteArray &start)
{
    const QByteArray dicom = greyDicom(8, 8);
    return start.left(128).leftJustified(128, '\0') + dicom.mid(128);
}
