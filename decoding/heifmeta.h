#pragma once

#include "decoding/filebytes.h"
#include "decoding/isobox.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The meta box of a HEIF file, read as libheif reads it: its items, their
// properties and references, and where their data lies. Every box is read
// once, and each list holds what the file holds, never more: reading it
// takes time in proportion to the box.

struct HeifExtent
{
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct HeifItem
{
    std::string type;
    // Indices into HeifMeta::properties, in the order of the item's first
    // association entry; none where the property index is 0.
    std::vector<std::size_t> properties;
    // Where the item's data lies: in the file (construction method 0) or in
    // the idat box (1), extent after extent.
    int construction = 0;
    std::uint64_t baseOffset = 0;
    std::vector<HeifExtent> extents;
    bool located = false;
};

struct HeifReference
{
    std::string type;
    std::uint32_t from = 0;
    std::vector<std::uint32_t> to;
};

struct HeifMeta
{
    std::string bytes; // the meta box, which the properties' boxes point into
    bool pictures = false; // a "pict" handler
    std::uint32_t primary = 0;
    std::map<std::uint32_t, HeifItem> items;
    std::vector<IsoBox> properties; // the ipco box's children
    std::vector<HeifReference> references; // in the order of the iref box
    std::optional<IsoBox> idat;
    // The most children any box read here holds, and the most items one
    // reference names: what libheif is allowed, and no more.
    std::size_t mostChildren = 0;

    // A property of an item by its type: the last one it has, as libheif
    // reads extents and auxiliary types, or the first, as it reads codec
    // configurations; none where it has none.
    const IsoBox *property(const HeifItem &item, const char *type) const;
    const IsoBox *firstProperty(const HeifItem &item, const char *type) const;
    // The contents of a box that the meta box holds.
    std::string_view contents(const IsoBox &box) const;
};

// The file's meta box; empty, with why, when libheif would read it otherwise
// or not at all.
std::optional<HeifMeta> readHeifMeta(const FileBytes &file, std::string &why);

// Reads an item's data front to back, as libheif puts it together: its
// extents one after the other, from the file or the idat box.
class HeifItemReader
{
public:
    // Reads through `reader`, which the items of one file share: data that
    // lies together is read from the file once.
    HeifItemReader(ByteReader &reader, const HeifMeta &meta, const HeifItem &item);

    // The next byte, or -1 at the end.
    int next();
    // The next `count` bytes; false, with what there was, at the end.
    bool take(std::size_t count, std::string &out);
    // Moves on `count` bytes; false when the data ends first.
    bool skip(std::uint64_t count);
    bool atEnd();
    // Whether an extent lies outside the file or the idat box, which
    // libheif refuses.
    bool outside() const { return beyond; }

private:
    bool toData();

    const HeifItem &item;
    const std::uint64_t fileSize;
    const std::string_view idat; // where idat's data lies
    ByteReader &fromFile;
    std::size_t extent = 0;
    std::uint64_t at = 0; // within the current extent, where it is in idat
    std::uint64_t left = 0; // in the current extent
    bool started = false;
    bool beyond = false;
};
