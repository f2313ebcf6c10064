#include "decoding/heifmeta.h"

#include "decoding/byteorder.h"

#include <algorithm>

namespace {

// Bounds of what is read: a meta box of 16 MiB holds grids of a million
// tiles; more top-level boxes than any picture has before its meta box.
constexpr std::uint64_t MaxMetaBox = std::uint64_t {16} << 20;
constexpr int MaxTopLevelBoxes = 4096;
// libheif's own: at most 32 extents an item.
constexpr std::uint64_t MaxExtents = 32;

// Reads the fields of one box's contents in order; a read past its end
// fails, and every read after it.
class Fields
{
public:
    Fields(std::string_view bytes, const IsoBox &box)
        : bytes(bytes.substr(static_cast<std::size_t>(box.contents),
              static_cast<std::size_t>(box.end - box.contents)))
    { }

    std::uint64_t number(std::size_t size)
    {
        if (size > bytes.size() - std::min(at, bytes.size())) {
            fault = true;
            at = bytes.size();
            return 0;
        }
        const std::uint64_t value = size == 0 ? 0 : bigEndianAt(bytes, at, size);
        at += size;
        return value;
    }
    std::string fourcc()
    {
        const std::size_t start = at;
        number(4);
        return fault ? std::string() : std::string(bytes.substr(start, 4));
    }
    // A FullBox's version; its flags are left in `flags`.
    int fullBox(std::uint32_t &flags)
    {
        const std::uint64_t word = number(4);
        flags = static_cast<std::uint32_t>(word & 0xffffff);
        return static_cast<int>(word >> 24);
    }
    std::size_t offset() const { return at; }
    bool failed() const { return fault; }

private:
    std::string_view bytes;
    std::size_t at = 0;
    bool fault = false;
};

std::optional<std::vector<IsoBox>> children(
    const std::string &meta, const IsoBox &box, std::size_t skip, HeifMeta &found)
{
    const auto begin = static_cast<std::size_t>(box.contents) + skip;
    if (begin > box.end)
        return std::nullopt;
    auto boxes = isoBoxesIn(meta, begin, static_cast<std::size_t>(box.end), meta.size());
    if (boxes)
        found.mostChildren = std::max(found.mostChildren, boxes->size());
    return boxes;
}

// infe boxes of version 2 and 3: the item's number, its protection index,
// and its type.
bool readItemInfos(const IsoBox &iinf, HeifMeta &meta)
{
    std::uint32_t flags = 0;
    Fields header(meta.bytes, iinf);
    const int version = header.fullBox(flags);
    header.number(version == 0 ? 2 : 4); // the entry count
    const auto infes = children(meta.bytes, iinf, header.offset(), meta);
    if (header.failed() || !infes)
        return false;
    for (const IsoBox &infe : *infes) {
        Fields fields(meta.bytes, infe);
        const int entryVersion = fields.fullBox(flags);
        if (infe.type != "infe" || entryVersion < 2)
            return false;
        const auto id = static_cast<std::uint32_t>(fields.number(entryVersion == 2 ? 2 : 4));
        fields.number(2); // protection index
        const std::string type = fields.fourcc();
        if (fields.failed())
            return false;
        meta.items[id].type = type;
    }
    return true;
}

// The first ipma box's associations: each item's first entry counts.
bool readAssociations(const IsoBox &ipma, HeifMeta &meta)
{
    std::uint32_t flags = 0;
    Fields fields(meta.bytes, ipma);
    const int version = fields.fullBox(flags);
    const std::uint64_t entries = fields.number(4);
    const bool wide = (flags & 1) != 0;
    for (std::uint64_t e = 0; e < entries && !fields.failed(); ++e) {
        const auto id = static_cast<std::uint32_t>(fields.number(version < 1 ? 2 : 4));
        const auto count = static_cast<std::size_t>(fields.number(1));
        HeifItem &item = meta.items[id];
        const bool first = item.properties.empty();
        for (std::size_t a = 0; a < count && !fields.failed(); ++a) {
            const std::uint64_t value = fields.number(wide ? 2 : 1);
            const std::uint64_t index = value & (wide ? 0x7fff : 0x7f);
            if (first && index != 0)
                item.properties.push_back(static_cast<std::size_t>(index - 1));
        }
        meta.mostChildren = std::max(meta.mostChildren, count);
    }
    return !fields.failed();
}

bool readProperties(const IsoBox &iprp, HeifMeta &meta)
{
    const auto boxes = children(meta.bytes, iprp, 0, meta);
    if (!boxes)
        return false;
    bool ipco = false;
    bool ipma = false;
    for (const IsoBox &child : *boxes) {
        if (child.type == "ipco" && !ipco) {
            const auto properties = children(meta.bytes, child, 0, meta);
            if (!properties)
                return false;
            meta.properties = *properties;
            ipco = true;
        } else if (child.type == "ipma" && !ipma) {
            if (!readAssociations(child, meta))
                return false;
            ipma = true;
        }
    }
    // Associations to properties that are not there.
    for (const auto &[id, item] : meta.items) {
        for (const std::size_t index : item.properties) {
            if (index >= meta.properties.size())
                return false;
        }
    }
    return true;
}

bool readReferences(const IsoBox &iref, HeifMeta &meta)
{
    std::uint32_t flags = 0;
    Fields header(meta.bytes, iref);
    const std::size_t idSize = header.fullBox(flags) == 0 ? 2 : 4;
    const auto references = children(meta.bytes, iref, header.offset(), meta);
    if (header.failed() || !references)
        return false;
    for (const IsoBox &box : *references) {
        Fields fields(meta.bytes, box);
        HeifReference reference;
        reference.type = box.type;
        reference.from = static_cast<std::uint32_t>(fields.number(idSize));
        const auto count = static_cast<std::size_t>(fields.number(2));
        for (std::size_t i = 0; i < count && !fields.failed(); ++i)
            reference.to.push_back(static_cast<std::uint32_t>(fields.number(idSize)));
        if (fields.failed())
            return false;
        meta.mostChildren = std::max(meta.mostChildren, count);
        meta.references.push_back(std::move(reference));
    }
    return true;
}

bool readLocations(const IsoBox &iloc, HeifMeta &meta)
{
    std::uint32_t flags = 0;
    Fields fields(meta.bytes, iloc);
    const int version = fields.fullBox(flags);
    const std::uint64_t sizes = fields.number(2);
    const std::size_t offsetSize = sizes >> 12 & 0xf;
    const std::size_t lengthSize = sizes >> 8 & 0xf;
    const std::size_t baseSize = sizes >> 4 & 0xf;
    const std::size_t indexSize = version == 2 ? sizes & 0xf : 0;
    // Version 1's index size, which libheif has read or not by its version.
    if (version > 2 || (version == 1 && (sizes & 0xf) != 0))
        return false;
    for (const std::size_t size : {offsetSize, lengthSize, baseSize, indexSize}) {
        if (size != 0 && size != 4 && size != 8)
            return false;
    }
    const std::uint64_t count = fields.number(version < 2 ? 2 : 4);
    for (std::uint64_t i = 0; i < count && !fields.failed(); ++i) {
        const auto id = static_cast<std::uint32_t>(fields.number(version < 2 ? 2 : 4));
        HeifItem &item = meta.items[id];
        item.construction = version >= 1 ? static_cast<int>(fields.number(2) & 0xf) : 0;
        fields.number(2); // data reference index
        item.baseOffset = fields.number(baseSize);
        const std::uint64_t extents = fields.number(2);
        if (extents > MaxExtents)
            return false;
        item.extents.clear();
        for (std::uint64_t e = 0; e < extents && !fields.failed(); ++e) {
            fields.number(indexSize);
            HeifExtent extent;
            extent.offset = fields.number(offsetSize);
            extent.length = fields.number(lengthSize);
            item.extents.push_back(extent);
        }
        item.located = true;
    }
    return !fields.failed();
}

bool readChild(const IsoBox &child, HeifMeta &meta)
{
    std::uint32_t flags = 0;
    Fields fields(meta.bytes, child);
    if (child.type == "hdlr") {
        fields.fullBox(flags);
        fields.number(4); // pre_defined
        meta.pictures = fields.fourcc() == "pict";
    } else if (child.type == "pitm") {
        meta.primary =
            static_cast<std::uint32_t>(fields.number(fields.fullBox(flags) == 0 ? 2 : 4));
    } else if (child.type == "iinf") {
        return readItemInfos(child, meta);
    } else if (child.type == "iprp") {
        return readProperties(child, meta);
    } else if (child.type == "iref") {
        return readReferences(child, meta);
    } else if (child.type == "iloc") {
        return readLocations(child, meta);
    } else if (child.type == "idat") {
        meta.idat = child;
    }
    return !fields.failed();
}

// The top-level boxes up to the meta box, which is read whole.
std::optional<std::string> metaBox(const FileBytes &file, std::string &why)
{
    std::uint64_t at = 0;
    for (int boxes = 0; boxes < MaxTopLevelBoxes && at < file.size(); ++boxes) {
        const std::optional<IsoBox> box = isoBoxAt(file.read(at, 16), at, file.size());
        if (!box) {
            why = "a box larger than the file";
            return std::nullopt;
        }
        if (box->type == "meta") {
            if (box->end - at > MaxMetaBox) {
                why = "a meta box larger than any picture needs";
                return std::nullopt;
            }
            std::string bytes = file.read(at, static_cast<std::size_t>(box->end - at));
            if (bytes.size() != box->end - at) {
                why = "a meta box cut short";
                return std::nullopt;
            }
            return bytes;
        }
        at = box->end;
    }
    why = "no meta box";
    return std::nullopt;
}

} // namespace

const IsoBox *HeifMeta::property(const HeifItem &item, const char *type) const
{
    const IsoBox *found = nullptr;
    for (const std::size_t index : item.properties) {
        if (properties[index].type == type)
            found = &properties[index];
    }
    return found;
}

const IsoBox *HeifMeta::firstProperty(const HeifItem &item, const char *type) const
{
    for (const std::size_t index : item.properties) {
        if (properties[index].type == type)
            return &properties[index];
    }
    return nullptr;
}

std::string_view HeifMeta::contents(const IsoBox &box) const
{
    return std::string_view(bytes).substr(
        static_cast<std::size_t>(box.contents), static_cast<std::size_t>(box.end - box.contents));
}

std::optional<HeifMeta> readHeifMeta(const FileBytes &file, std::string &why)
{
    HeifMeta meta;
    std::optional<std::string> bytes = metaBox(file, why);
    if (!bytes)
        return std::nullopt;
    meta.bytes = std::move(*bytes);
    const std::optional<IsoBox> box = isoBoxAt(meta.bytes.substr(0, 16), 0, meta.bytes.size());
    const auto boxes = box ? children(meta.bytes, *box, 4, meta) : std::nullopt; // a FullBox
    if (!boxes) {
        why = "a meta box whose boxes overrun it";
        return std::nullopt;
    }
    for (const IsoBox &child : *boxes) {
        if (!readChild(child, meta)) {
            why = "a " + child.type + " box it cannot read";
            return std::nullopt;
        }
    }
    return meta;
}

HeifItemReader::HeifItemReader(ByteReader &reader, const HeifMeta &meta, const HeifItem &item)
    : item(item), fileSize(reader.fileSize()),
      idat(meta.idat ? meta.contents(*meta.idat) : std::string_view()), fromFile(reader)
{ }

// Moves to the next byte of data, through empty extents; notes one that lies
// outside what holds it. False at the end.
bool HeifItemReader::toData()
{
    while (!beyond && left == 0) {
        if (started)
            ++extent;
        started = true;
        if (extent >= item.extents.size())
            return false;
        const HeifExtent &current = item.extents[extent];
        const bool inFile = item.construction == 0;
        const std::uint64_t size = inFile ? fileSize : idat.size();
        // Compared with what is left, so that no sum can wrap.
        beyond = item.construction > 1 || item.baseOffset > size ||
            current.offset > size - item.baseOffset ||
            current.length > size - item.baseOffset - current.offset;
        if (beyond)
            return false;
        at = item.baseOffset + current.offset;
        if (inFile)
            fromFile.moveTo(at, at + current.length);
        left = current.length;
    }
    return !beyond;
}

bool HeifItemReader::atEnd()
{
    return !toData();
}

int HeifItemReader::next()
{
    if (!toData())
        return -1;
    int byte = -1;
    if (item.construction == 0)
        byte = fromFile.next();
    else
        byte = static_cast<unsigned char>(idat[static_cast<std::size_t>(at++)]);
    if (byte < 0) {
        beyond = true; // past the end of the file
        return -1;
    }
    --left;
    return byte;
}

bool HeifItemReader::take(std::size_t count, std::string &out)
{
    out.clear();
    std::string piece;
    while (out.size() < count) {
        if (!toData())
            return false;
        const auto step =
            static_cast<std::size_t>(std::min<std::uint64_t>(count - out.size(), left));
        if (item.construction == 0) {
            const bool whole = fromFile.take(step, piece);
            out += piece;
            left -= piece.size();
            if (!whole) {
                beyond = true; // past the end of the file
                return false;
            }
        } else {
            out += idat.substr(static_cast<std::size_t>(at), step);
            at += step;
            left -= step;
        }
    }
    return true;
}

bool HeifItemReader::skip(std::uint64_t count)
{
    while (count > 0) {
        if (!toData())
            return false;
        const std::uint64_t step = std::min(count, left);
        if (item.construction == 0 && !fromFile.skip(step)) {
            beyond = true;
            return false;
        }
        at += step;
        left -= step;
        count -= step;
    }
    return true;
}
