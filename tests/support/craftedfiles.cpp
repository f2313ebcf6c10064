#include "support/craftedfiles.h"

#include <initializer_list>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int value : values)
        out.append(static_cast<char>(value));
    return out;
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

// A zlib stream of `size` zero bytes (qCompress puts the size in front).
QByteArray zlibZeros(qsizetype size)
{
    return qCompress(QByteArray(size, '\0'), 9).mid(4);
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    return bigEndian(quint64(data.size()), 4) + type + data + bigEndian(crc32(type + data), 4);
}

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

// Start of image, one quantisation table and the frame header.
QByteArray jpegFrame(int marker, quint16 width, quint16 height, int components)
{
    QByteArray frame = QByteArray(1, 8) + bigEndian(height, 2) + bigEndian(width, 2) +
        QByteArray(1, char(components));
    for (int id = 1; id <= components; ++id)
        frame += bytes({id, 0x11, 0});
    return QByteArray("\xff\xd8", 2) + jpegSegment(0xdb, QByteArray(1, 0) + QByteArray(64, 1)) +
        jpegSegment(marker, frame);
}

// DC and AC Huffman tables 0, each with one code.
QByteArray jpegHuffmanTables()
{
    const QByteArray oneCode = QByteArray(1, 1) + QByteArray(15, 0) + QByteArray(1, 0);
    return jpegSegment(0xc4, QByteArray(1, 0x00) + oneCode) +
        jpegSegment(0xc4, QByteArray(1, 0x10) + oneCode);
}

// A first DC scan over components 1 to `components`.
QByteArray jpegDcScan(int components)
{
    QByteArray scan(1, char(components));
    for (int id = 1; id <= components; ++id)
        scan += bytes({id, 0});
    return jpegSegment(0xda, scan + QByteArray(3, 0));
}

QByteArray tiffEntry(quint16 tag, quint16 type, quint32 value)
{
    const QByteArray field =
        type == 3 ? littleEndian(value, 2) + QByteArray(2, 0) : littleEndian(value, 4);
    return littleEndian(tag, 2) + littleEndian(type, 2) + littleEndian(1, 4) + field;
}

} // namespace

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

QByteArray jpegScanBomb(quint16 width, quint16 height, int scans, JpegCoding coding, int components)
{
    const bool arithmetic = coding == JpegCoding::Arithmetic;
    QByteArray file = jpegFrame(arithmetic ? 0xca : 0xc2, width, height, components);
    if (!arithmetic)
        file += jpegHuffmanTables();
    const QByteArray scan = jpegDcScan(components);
    for (int i = 0; i < scans; ++i)
        file += scan;
    return file + "\xff\xd9";
}

QByteArray progressiveJpegHeader(quint16 width, quint16 height)
{
    return jpegFrame(0xc2, width, height, 3) + jpegHuffmanTables() + jpegDcScan(3) + "\xff\xd9";
}

QByteArray jpeg2000Codestream(quint32 width, quint32 height)
{
    // Reference grid and one tile of the picture's size, three 8-bit components.
    QByteArray siz = bigEndian(0, 2) + bigEndian(width, 4) + bigEndian(height, 4) +
        bigEndian(0, 8) + bigEndian(width, 4) + bigEndian(height, 4) + bigEndian(0, 8) +
        bigEndian(3, 2);
    for (int component = 0; component < 3; ++component)
        siz += bytes({7, 1, 1});
    const auto segment = [](int marker, const QByteArray &payload) {
        return bytes({0xff, marker}) + bigEndian(quint64(payload.size() + 2), 2) + payload;
    };
    // Five reversible wavelet levels, 64 x 64 code blocks, no quantisation,
    // then one tile of 18 empty packets: one layer, six resolutions, three
    // components.
    const QByteArray cod = bytes({0, 0, 0, 1, 0, 5, 4, 4, 0, 1});
    const QByteArray qcd = QByteArray(1, 0x40) + QByteArray(16, 0x40);
    const QByteArray tile = QByteArray("\xff\x93", 2) + QByteArray(18, 0);
    const QByteArray sot =
        bigEndian(0, 2) + bigEndian(quint64(12 + tile.size()), 4) + bytes({0, 1});
    return QByteArray("\xff\x4f", 2) + segment(0x51, siz) + segment(0x52, cod) +
        segment(0x5c, qcd) + segment(0x90, sot) + tile + QByteArray("\xff\xd9", 2);
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
