#include "support/heifbuilder.h"

#include "decoding/heifmeta.h"
#include "support/craftedfiles.h"

#include <string>

namespace {

// Bits most significant first, with HEVC's Exp-Golomb codes.
class BitWriter
{
public:
    void bits(quint64 value, int count)
    {
        for (int i = count - 1; i >= 0; --i)
            bit(int(value >> i & 1));
    }
    void expGolomb(quint64 value)
    {
        const quint64 coded = value + 1;
        int length = 0;
        while (coded >> length > 1)
            ++length;
        bits(0, length);
        bits(coded, length + 1);
    }
    // A stop bit, then zeros to the byte.
    QByteArray finished()
    {
        bit(1);
        while (used != 0)
            bit(0);
        return bytes;
    }

private:
    void bit(int value)
    {
        if (used == 0)
            bytes.append('\0');
        if (value)
            bytes[bytes.size() - 1] = char(quint8(bytes.back()) | 0x80 >> used);
        used = (used + 1) % 8;
    }

    QByteArray bytes;
    int used = 0;
};

// Emulation prevention: a 3 after two zero bytes followed by a byte below 4.
QByteArray escaped(const QByteArray &payload)
{
    QByteArray out;
    int zeros = 0;
    for (const char c : payload) {
        if (zeros >= 2 && quint8(c) <= 3) {
            out.append('\x03');
            zeros = 0;
        }
        out.append(c);
        zeros = c == 0 ? zeros + 1 : 0;
    }
    return out;
}

QByteArray av1Obu(int type, const QByteArray &payload)
{
    QByteArray size;
    quint64 left = quint64(payload.size());
    do {
        const int byte = int(left & 0x7f);
        left >>= 7;
        size.append(char(byte | (left ? 0x80 : 0)));
    } while (left);
    return QByteArray(1, char(type << 3 | 0x02)) + size + payload;
}

} // namespace

QByteArray isoBox(const QByteArray &type, const QByteArray &contents)
{
    return bigEndian(quint64(contents.size()) + 8, 4) + type + contents;
}

QByteArray fullBox(const QByteArray &type, int version, quint32 flags, const QByteArray &contents)
{
    return isoBox(type, bigEndian(quint64(version) << 24 | flags, 4) + contents);
}

CodedPicture codedPictureOf(const QByteArray &heif)
{
    const FileBytes file =
        FileBytes::ofMemory(std::string_view(heif.constData(), std::size_t(heif.size())));
    std::string why;
    const std::optional<HeifMeta> meta = readHeifMeta(file, why);
    if (!meta)
        return {};
    std::uint32_t id = meta->primary;
    for (const HeifReference &reference : meta->references) {
        if (reference.type == "dimg" && reference.from == id && meta->items.at(id).type == "grid")
            id = reference.to.front();
    }
    const HeifItem &item = meta->items.at(id);
    CodedPicture picture;
    picture.av1 = item.type == "av01";
    const IsoBox *config = meta->firstProperty(item, picture.av1 ? "av1C" : "hvcC");
    if (!config)
        return {};
    picture.configuration = isoBox(QByteArray::fromStdString(config->type),
        QByteArray::fromStdString(std::string(meta->contents(*config))));
    ByteReader bytes(file, 0, 0);
    HeifItemReader reader(bytes, *meta, item);
    std::string stream;
    reader.take(std::size_t(heif.size()), stream);
    picture.stream = QByteArray::fromStdString(stream);
    return picture;
}

CodedPicture hevcHeaderOnly(quint32 width, quint32 height)
{
    BitWriter sps;
    sps.bits(0, 4); // video parameter set
    sps.bits(0, 3); // one sub-layer
    sps.bits(1, 1);
    sps.bits(0x01, 8); // main profile
    sps.bits(0x60000000, 32);
    sps.bits(0x9, 4);
    sps.bits(0, 44);
    sps.bits(120, 8); // level 4
    sps.expGolomb(0);
    sps.expGolomb(1); // 4:2:0
    sps.expGolomb(width);
    sps.expGolomb(height);
    sps.bits(0, 1); // no conformance window
    sps.expGolomb(0); // 8-bit luma
    sps.expGolomb(0); // and chroma
    const QByteArray nal = QByteArray("\x42\x01", 2) + escaped(sps.finished());
    CodedPicture picture;
    const QByteArray config =
        QByteArray::fromHex("01016000000090000000000078f000fcfdf8f800000f01") + char(0x80 | 33) +
        bigEndian(1, 2) + bigEndian(quint64(nal.size()), 2) + nal;
    picture.configuration = isoBox("hvcC", config);
    picture.stream = bigEndian(quint64(nal.size()), 4) + nal;
    return picture;
}

CodedPicture av1HeaderOnly(quint32 width, quint32 height)
{
    BitWriter header;
    header.bits(0, 3); // profile 0
    header.bits(1, 1); // a still picture
    header.bits(1, 1); // with the reduced header
    header.bits(31, 5); // level
    header.bits(15, 4); // 16 bits for each side
    header.bits(15, 4);
    header.bits(width - 1, 16);
    header.bits(height - 1, 16);
    header.bits(0, 12); // superblocks, tools
    const QByteArray sequence = av1Obu(1, header.finished());
    CodedPicture picture;
    picture.av1 = true;
    picture.configuration = isoBox("av1C", QByteArray::fromHex("811f0c00") + sequence);
    picture.stream = sequence + av1Obu(6, QByteArray(4, '\0'));
    return picture;
}

quint32 HeifBuilder::add(Item item)
{
    items.push_back(std::move(item));
    return quint32(items.size());
}

int HeifBuilder::property(const QByteArray &box)
{
    const int index = int(properties.indexOf(box));
    if (index >= 0)
        return index;
    properties.append(box);
    return int(properties.size()) - 1;
}

quint32 HeifBuilder::addCoded(
    const CodedPicture &picture, quint32 width, quint32 height, bool hidden)
{
    av1 = av1 || picture.av1;
    Item item;
    item.type = picture.av1 ? "av01" : "hvc1";
    item.hidden = hidden;
    item.data = picture.stream;
    item.properties = {property(picture.configuration),
        property(fullBox("ispe", 0, 0, bigEndian(width, 4) + bigEndian(height, 4)))};
    return add(item);
}

quint32 HeifBuilder::addGrid(
    int rows, int columns, quint32 width, quint32 height, const QList<quint32> &tiles, bool hidden)
{
    const bool wide = width > 0xffff || height > 0xffff;
    Item item;
    item.type = "grid";
    item.hidden = hidden;
    item.inIdat = true;
    item.data = QByteArray(1, '\0') + char(wide ? 1 : 0) + char(rows - 1) + char(columns - 1) +
        bigEndian(width, wide ? 4 : 2) + bigEndian(height, wide ? 4 : 2);
    item.properties = {property(fullBox("ispe", 0, 0, bigEndian(width, 4) + bigEndian(height, 4)))};
    const quint32 id = add(item);
    addReference("dimg", id, tiles);
    return id;
}

void HeifBuilder::addProperty(quint32 item, const QByteArray &type, const QByteArray &contents)
{
    items[item - 1].properties.append(property(isoBox(type, contents)));
}

void HeifBuilder::addReference(const QByteArray &type, quint32 from, const QList<quint32> &to)
{
    references.append({type, from, to});
}

void HeifBuilder::addAuxiliary(quint32 image, quint32 master, bool alpha)
{
    const QByteArray kind = items[image - 1].type == "av01"
        ? (alpha ? "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"
                 : "urn:mpeg:mpegB:cicp:systems:auxiliary:depth")
        : (alpha ? "urn:mpeg:hevc:2015:auxid:1" : "urn:mpeg:hevc:2015:auxid:2");
    items[image - 1].properties.append(property(fullBox("auxC", 0, 0, kind + '\0')));
    addReference("auxl", image, {master});
}

QByteArray HeifBuilder::build() const
{
    const QByteArray brand = av1 ? "avif" : "heic";
    const QByteArray ftyp = isoBox("ftyp", brand + bigEndian(0, 4) + "mif1" + brand + "miaf");
    const bool wide = properties.size() > 127;
    const auto meta = [&](quint64 mdatAt) {
        QByteArray infos = bigEndian(quint64(items.size()), 2);
        QByteArray locations = bigEndian(0x4400, 2) + bigEndian(quint64(items.size()), 2);
        QByteArray associations = bigEndian(quint64(items.size()), 4);
        QByteArray idat;
        quint64 inMdat = mdatAt;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Item &item = items[i];
            const quint64 id = i + 1;
            infos += fullBox("infe", 2, item.hidden ? 1 : 0,
                bigEndian(id, 2) + bigEndian(0, 2) + item.type + '\0');
            const quint64 offset = item.inIdat ? quint64(idat.size()) : inMdat;
            locations += bigEndian(id, 2) + bigEndian(item.inIdat ? 1 : 0, 2) + bigEndian(0, 2) +
                bigEndian(1, 2) + bigEndian(offset, 4) + bigEndian(quint64(item.data.size()), 4);
            if (item.inIdat)
                idat += item.data;
            else
                inMdat += quint64(item.data.size());
            associations += bigEndian(id, 2) + char(item.properties.size());
            for (const int index : item.properties)
                associations += bigEndian(quint64(index) + 1, wide ? 2 : 1);
        }
        QByteArray links;
        for (const Reference &reference : references) {
            QByteArray to;
            for (const quint32 id : reference.to)
                to += bigEndian(id, 2);
            links += isoBox(reference.type,
                bigEndian(reference.from, 2) + bigEndian(quint64(reference.to.size()), 2) + to);
        }
        QByteArray boxes;
        for (const QByteArray &box : properties)
            boxes += box;
        return fullBox("meta", 0, 0,
            fullBox("hdlr", 0, 0, bigEndian(0, 4) + "pict" + QByteArray(13, '\0')) +
                fullBox("pitm", 0, 0, bigEndian(primary, 2)) + fullBox("iloc", 1, 0, locations) +
                fullBox("iinf", 0, 0, infos) +
                isoBox("iprp",
                    isoBox("ipco", boxes) + fullBox("ipma", 0, wide ? 1 : 0, associations)) +
                (links.isEmpty() ? QByteArray() : fullBox("iref", 0, 0, links)) +
                (idat.isEmpty() ? QByteArray() : isoBox("idat", idat)));
    };
    QByteArray stream;
    for (const Item &item : items) {
        if (!item.inIdat)
            stream += item.data;
    }
    const quint64 mdatAt = quint64(ftyp.size() + meta(0).size()) + 8;
    return ftyp + meta(mdatAt) + isoBox("mdat", stream);
}

QByteArray heifManyTimesNamed(int rows)
{
    HeifBuilder file;
    const CodedPicture small = hevcHeaderOnly(64, 64);
    const quint32 tile = file.addCoded(small, 64, 64, true);
    const int references = rows * 160;
    const quint32 grid = file.addGrid(rows, 160, 64, 64, QList<quint32>(references, tile), true);
    const quint32 picture = file.addCoded(small, 64, 64);
    file.addAuxiliary(grid, picture, true);
    for (int i = 1; i < references; ++i)
        file.addReference("auxl", grid, {picture});
    file.setPrimary(picture);
    return file.build();
}

QByteArray heifManyAssociations()
{
    HeifBuilder file;
    const quint32 tile = file.addCoded(hevcHeaderOnly(64, 64), 64, 64, true);
    for (int i = 0; i < 200; ++i)
        file.addProperty(tile, "abcd", bigEndian(quint64(i), 4));
    file.setPrimary(file.addGrid(255, 256, 64, 64, QList<quint32>(qsizetype {255} * 256, tile)));
    return file.build();
}

QByteArray heifTilesCodedLarger(bool av1, quint32 side)
{
    HeifBuilder file;
    const quint32 tile =
        file.addCoded(av1 ? av1HeaderOnly(side, side) : hevcHeaderOnly(side, side), 1, 1, true);
    file.setPrimary(file.addGrid(2, 2, 2, 2, {tile, tile, tile, tile}));
    return file.build();
}

QByteArray heifCodedLarger(
    bool av1, quint32 width, quint32 height, quint32 codedWidth, quint32 codedHeight)
{
    HeifBuilder file;
    file.setPrimary(file.addCoded(
        av1 ? av1HeaderOnly(codedWidth, codedHeight) : hevcHeaderOnly(codedWidth, codedHeight),
        width, height));
    return file.build();
}

QByteArray heifTileWithLargerAlpha()
{
    HeifBuilder file;
    const quint32 tile = file.addCoded(hevcHeaderOnly(2048, 2048), 2048, 2048, true);
    file.addAuxiliary(file.addCoded(hevcHeaderOnly(4096, 4096), 2048, 2048, true), tile, true);
    file.setPrimary(file.addGrid(1, 1, 2048, 2048, {tile}));
    return file.build();
}

QByteArray heifPictures(int pictures, quint32 side)
{
    CodedPicture picture = hevcHeaderOnly(side, side);
    // Slices of an IDR picture, each the first of its picture.
    const QByteArray slice = QByteArray::fromHex("26018000");
    for (int i = 0; i < pictures; ++i)
        picture.stream += bigEndian(quint64(slice.size()), 4) + slice;
    HeifBuilder file;
    file.setPrimary(file.addCoded(picture, side, side));
    return file.build();
}

QByteArray heifManyItems(int items)
{
    HeifBuilder file;
    QList<quint32> tiles;
    const CodedPicture tile = hevcHeaderOnly(64, 64);
    for (int i = 0; i < items; ++i)
        tiles.append(file.addCoded(tile, 64, 64, true));
    const int columns = 256;
    file.setPrimary(file.addGrid((items + columns - 1) / columns, columns, 64, 64,
        tiles + QList<quint32>((columns - items % columns) % columns, tiles.front())));
    return file.build();
}
