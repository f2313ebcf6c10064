#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <vector>

// HEIF files made box by box from coded pictures: grids of tiles (libheif's
// encoder writes none before 1.18), collections, auxiliary images, and files
// whose boxes and streams disagree.

// A coded picture: its codec's configuration box (hvcC or av1C, whole) and
// its stream.
struct CodedPicture
{
    QByteArray configuration;
    QByteArray stream;
    bool av1 = false;
};

// The primary image of a file libheif's encoder wrote, which must be a
// coded image (or a one-tile grid of one, as libheif 1.15 writes turned
// pictures).
CodedPicture codedPictureOf(const QByteArray &heif);

// A HEVC sequence parameter set, or an AV1 sequence header OBU, of a
// picture of this size, and a stream that is only that: enough for the
// checks, which read the headers, not the pictures.
CodedPicture hevcHeaderOnly(quint32 width, quint32 height);
CodedPicture av1HeaderOnly(quint32 width, quint32 height);

class HeifBuilder
{
public:
    // A coded image of the picture, declaring this size; its number.
    quint32 addCoded(
        const CodedPicture &picture, quint32 width, quint32 height, bool hidden = false);
    // A grid of rows x columns tiles, declaring and putting out this size.
    quint32 addGrid(int rows, int columns, quint32 width, quint32 height,
        const QList<quint32> &tiles, bool hidden = false);
    // A property box (type and contents) for an item, after its others.
    void addProperty(quint32 item, const QByteArray &type, const QByteArray &contents);
    void addReference(const QByteArray &type, quint32 from, const QList<quint32> &to);
    // An auxiliary image of `master`: alpha or depth.
    void addAuxiliary(quint32 image, quint32 master, bool alpha);
    void setPrimary(quint32 item) { primary = item; }

    QByteArray build() const;

private:
    struct Item
    {
        QByteArray type;
        bool hidden = false;
        QByteArray data;
        bool inIdat = false;
        QList<int> properties;
    };
    struct Reference
    {
        QByteArray type;
        quint32 from;
        QList<quint32> to;
    };

    quint32 add(Item item);
    int property(const QByteArray &box);

    std::vector<Item> items; // numbered from 1
    QList<QByteArray> properties;
    QList<Reference> references;
    quint32 primary = 1;
    bool av1 = false;
};

// An ISO box of this type, and a FullBox of this version and flags.
QByteArray isoBox(const QByteArray &type, const QByteArray &contents);
QByteArray fullBox(const QByteArray &type, int version, quint32 flags, const QByteArray &contents);

// HEIF files that would have libheif decode far more than they show, or
// another picture than their boxes declare, in a few kilobytes.

// A 64 x 64 picture whose alpha image, named `references` times, is a 64 x 64
// grid of `references` tiles naming one tile (rows x 160 of them).
QByteArray heifManyTimesNamed(int rows);
// A 64 x 64 grid of 255 x 256 tiles naming one tile, which has 200
// properties.
QByteArray heifManyAssociations();
// A 2 x 2 grid whose tiles declare 1 x 1 and code side x side.
QByteArray heifTilesCodedLarger(bool av1, quint32 side);
// A picture that declares width x height and codes coded x coded.
QByteArray heifCodedLarger(
    bool av1, quint32 width, quint32 height, quint32 codedWidth, quint32 codedHeight);
// A grid of one 2048 x 2048 tile whose own alpha image declares 2048 x 2048
// and codes 4096 x 4096.
QByteArray heifTileWithLargerAlpha();
// A 64 x 64 grid of `items` tiles, each an item of its own, about a hundred
// bytes each.
QByteArray heifManyItems(int items);
// A side x side picture of `pictures` coded pictures.
QByteArray heifPictures(int pictures, quint32 side);
