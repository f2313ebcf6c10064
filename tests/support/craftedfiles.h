#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Unsigned numbers in `bytes` bytes, most significant first or last.
QByteArray bigEndian(quint64 value, int bytes);
QByteArray littleEndian(quint64 value, int bytes);

// The CRC-32 that PNG chunks and zlib streams carry.
quint32 crc32(const QByteArray &bytes);

// A PNG chunk: its length, type, data and checksum.
QByteArray pngChunk(const QByteArray &type, const QByteArray &data);

// Files made byte by byte that declare far more than they hold, or that make
// a decoder work far beyond their size; the sizes are the caller's.

// An 8-bit RGB PNG whose header claims this size, with valid checksums.
QByteArray pngClaiming(quint32 width, quint32 height);

// A 1-bit grey PNG whose pixels are one zlib stream of zeros.
QByteArray bilevelPngOfZeros(quint32 width, quint32 height);

enum class JpegCoding { Huffman, Arithmetic };

// One scan of a JPEG: its components (ids from 1), spectral band and
// successive approximation bits.
struct JpegScan
{
    QList<int> components;
    int start = 0;
    int end = 0;
    int high = 0;
    int low = 0;
};

// A JPEG made byte by byte: tables with one code each, so that zero bits
// decode as the smallest symbol, and each scan followed by `data`.
struct JpegSpec
{
    quint16 width = 64;
    quint16 height = 64;
    int components = 1; // ids 1 to n
    int firstSampling = 0x11; // the first component's factors; the others' are 1
    JpegCoding coding = JpegCoding::Huffman;
    bool progressive = true;
    int restartInterval = 0; // in MCUs; 0 for none
    QList<JpegScan> scans;
    QByteArray data = QByteArray(3, 0);
    QByteArray beforeFrame; // segments between SOI and the tables
    int acSymbol = 0x00; // the AC table's one symbol: 0x00 ends a block, 0xE0 a run of blocks
};
QByteArray craftedJpeg(const JpegSpec &spec);

// Scan data that ends the bands of `blocks` blocks in runs of 32767, when
// the AC table's symbol is 0xE0: a few bytes for a whole picture.
QByteArray jpegEndOfBandRuns(qsizetype blocks);

// Scans of the kinds libjpeg walks: a first DC scan over these components,
// its refinement, and first and refining AC scans of one component.
JpegScan dcFirst(QList<int> components);
JpegScan dcRefine(QList<int> components);
JpegScan acFirst(int component);
JpegScan acRefine(int component);

// A progressive JPEG of one (grey) or three components that repeats one empty
// DC scan over all of them.
QByteArray jpegScanBomb(quint16 width, quint16 height, int scans,
    JpegCoding coding = JpegCoding::Huffman, int components = 1);

// A progressive colour JPEG with its tables and first scan header, but no data.
QByteArray progressiveJpegHeader(quint16 width, quint16 height);

// A JPEG 2000 codestream: main header and one tile of empty packets.
QByteArray jpeg2000Codestream(quint32 width, quint32 height);

// A JPEG 2000 codestream of 8-bit components whose packets are all empty,
// with these coding parameters (exponents of two for sizes).
struct Jpeg2000Spec
{
    quint32 width = 64;
    quint32 height = 64;
    int components = 3;
    int levels = 5;
    int codeBlock = 6; // code-block sides, 2^codeBlock
    int precinct = 15; // precinct sides at every resolution
    int layers = 1;
    quint32 tileWidth = 0; // 0: one tile
    quint32 tileHeight = 0;
    qsizetype packetBytes = -1; // empty-packet bytes each tile holds; -1 for one a packet
};
QByteArray craftedJpeg2000(const Jpeg2000Spec &spec);

// A JP2 file whose image header box and codestream declare these sizes.
QByteArray jp2Claiming(quint32 ihdrWidth, quint32 ihdrHeight, quint32 width, quint32 height);

// A WebP file with an extended header whose canvas has this size.
QByteArray webpCanvas(quint32 width, quint32 height);

// An 8-bit grey TIFF whose strips all point at one Deflate block of zeros.
QByteArray tiffOfSharedStrips(quint32 width, quint32 height);

// An 8-bit RLE BMP whose data is only "end of bitmap".
QByteArray rleBmpOfNothing(qint32 width, qint32 height);

// A grey TIFF made byte by byte whose strips or tiles all hold `piece`.
struct TiffSpec
{
    quint32 width = 64;
    quint32 height = 64;
    int compression = 1;
    quint32 rowsPerStrip = 0; // 0: the whole picture
    quint32 tileWidth = 0; // non-zero: tiled
    quint32 tileHeight = 0;
    QByteArray piece;
    int sideType = 4; // the field type of width and height: 3 SHORT, 4 LONG, 16 LONG8
    QList<QByteArray> extraEntries; // more directory entries, as written
};
QByteArray craftedTiff(const TiffSpec &spec);
QByteArray tiffEntry(quint16 tag, quint16 type, quint32 value);

// A 1 x 1 PNG with `chunks` zTXt chunks that each inflate to `inflated` bytes.
QByteArray pngWithTexts(int chunks, qsizetype inflated);

// A minimal OpenEXR header with R, G and B half channels, ZIP compression
// and this data window, whose size field says `sizeField`, then an offset
// table and nothing else.
QByteArray exrClaiming(qint32 width, qint32 height, qint32 sizeField = 16);

// The starts of the two files OpenCV hands to GDAL: NITF and DTED.
QByteArray nitfFile();
QByteArray dtedFile();

// Files that froze the window or took gigabytes while the checks left what
// they could not read or price to the decoders.

// A JPEG with an APP0 segment of length 0 in front, which libjpeg reads past.
QByteArray behindEmptyApp0(const QByteArray &jpeg);

// A progressive JPEG whose scans refine every band of every block, each scan
// in a few bytes of runs of ended bands, after a first DC and AC scan.
QByteArray jpegRefinementScans(quint16 width, quint16 height, int components, int scans);

// A classic TIFF whose sides are typed LONG8, which libtiff reads.
QByteArray tiffWithLong8Sides(quint32 width, quint32 height);

// A grey TIFF whose JPEG-compressed strips of 1024 rows each hold `scans`
// refinement scans.
QByteArray tiffOfJpegRefinements(quint32 side, int scans);

// A grey TIFF of this size in one Deflate tile of `tile` x `tile` zeros.
QByteArray tiffOfOneHugeTile(quint32 side, quint32 tile);

// JPEG 2000 codestreams of empty packets with precincts of 2 x 2, or with
// code-blocks of 4 x 4, in a few bytes.
QByteArray jpeg2000TinyPrecincts(quint32 side);
QByteArray jpeg2000TinyCodeBlocks(quint32 side);

// A small but complete 8-bit grey DICOM file, made by hand.
QByteArray greyDicom(int rows, int columns);

// A DICOM file whose 128-byte preamble, free for any use, starts as another
// format's file does: the first 128 bytes of `start`.
QByteArray dicomBehind(const QByteArray &start);
