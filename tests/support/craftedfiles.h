#pragma once

#include <QByteArray>
#include <QtGlobal>

// Unsigned numbers in `bytes` bytes, most significant first or last.
QByteArray bigEndian(quint64 value, int bytes);
QByteArray littleEndian(quint64 value, int bytes);

// Files made byte by byte that declare far more than they hold, or that make
// a decoder work far beyond their size; the sizes are the caller's.

// An 8-bit RGB PNG whose header claims this size, with valid checksums.
QByteArray pngClaiming(quint32 width, quint32 height);

// A 1-bit grey PNG whose pixels are one zlib stream of zeros.
QByteArray bilevelPngOfZeros(quint32 width, quint32 height);

enum class JpegCoding { Huffman, Arithmetic };

// A progressive JPEG of one (grey) or three components that repeats one empty
// DC scan over all of them.
QByteArray jpegScanBomb(quint16 width, quint16 height, int scans,
    JpegCoding coding = JpegCoding::Huffman, int components = 1);

// A progressive colour JPEG with its tables and first scan header, but no data.
QByteArray progressiveJpegHeader(quint16 width, quint16 height);

// A JPEG 2000 codestream: main header and one tile of empty packets.
QByteArray jpeg2000Codestream(quint32 width, quint32 height);

// A JP2 file whose image header box and codestream declare these sizes.
QByteArray jp2Claiming(quint32 ihdrWidth, quint32 ihdrHeight, quint32 width, quint32 height);

// A WebP file with an extended header whose canvas has this size.
QByteArray webpCanvas(quint32 width, quint32 height);

// An 8-bit grey TIFF whose strips all point at one Deflate block of zeros.
QByteArray tiffOfSharedStrips(quint32 width, quint32 height);

// An 8-bit RLE BMP whose data is only "end of bitmap".
QByteArray rleBmpOfNothing(qint32 width, qint32 height);
