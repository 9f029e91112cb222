// SPDX-License-Identifier: MIT
// Container walks that find the EXIF block: JPEG APP1, PNG eXIf, WebP EXIF, the Exif item of a
// HEIF/AVIF file, or a TIFF file itself.
#include "exif_locator.h"

#include "mio/formats/jpeg_segments.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace mio::exif {
namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool startsWith(std::span<const uint8_t> bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() &&
           std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

uint32_t readBe32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t readLe32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool isTiffHeader(std::span<const uint8_t> bytes)
{
    return startsWith(bytes, std::string_view("II*\0", 4)) ||
           startsWith(bytes, std::string_view("MM\0*", 4));
}

// Some writers put the JPEG APP1 signature in front of the TIFF header in PNG and WebP too.
std::span<const uint8_t> stripExifSignature(std::span<const uint8_t> block)
{
    if (startsWith(block, formats::kExifSignature))
        return block.subspan(formats::kExifSignature.size());
    return block;
}

std::span<const uint8_t> jpegExif(std::span<const uint8_t> file)
{
    const formats::ByteSource source(file);
    auto layout = formats::walkJpeg(source);
    if (!layout) return {};
    const formats::Segment* segment = formats::findSegment(*layout, formats::SegmentKind::Exif);
    if (!segment || segment->endOffset() > file.size()) return {};
    return file.subspan(static_cast<size_t>(segment->contentOffset()), segment->contentSize());
}

std::span<const uint8_t> pngExif(std::span<const uint8_t> file)
{
    size_t pos = sizeof(kPngSignature);
    while (file.size() - pos >= 12) {
        const uint32_t length = readBe32(file.data() + pos);
        const uint8_t* type = file.data() + pos + 4;
        if (length > file.size() - pos - 12) return {};
        if (std::memcmp(type, "eXIf", 4) == 0) return file.subspan(pos + 8, length);
        if (std::memcmp(type, "IEND", 4) == 0) return {};
        pos += size_t{length} + 12;
    }
    return {};
}

std::span<const uint8_t> webpExif(std::span<const uint8_t> file)
{
    size_t pos = 12;
    while (file.size() - pos >= 8) {
        const uint8_t* fourcc = file.data() + pos;
        const uint32_t length = readLe32(file.data() + pos + 4);
        if (length > file.size() - pos - 8) return {};
        if (std::memcmp(fourcc, "EXIF", 4) == 0) return file.subspan(pos + 8, length);
        pos += size_t{length} + 8 + (length & 1u);
        if (pos > file.size()) return {};
    }
    return {};
}

// --- HEIF / AVIF (ISO base media boxes) ------------------------------------------------------

struct Box {
    uint32_t type = 0;
    std::span<const uint8_t> body;
};

constexpr uint32_t fourcc(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// Reads big-endian unsigned numbers of 0, 2, 4 or 8 bytes from a bounded cursor.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    size_t left() const { return m_bytes.size() - m_at; }
    uint64_t number(size_t size)
    {
        if (size > 8 || left() < size) {
            m_ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < size; ++i)
            value = (value << 8) | m_bytes[m_at++];
        return value;
    }
    std::span<const uint8_t> rest() const { return m_bytes.subspan(m_at); }
    void skip(size_t size)
    {
        if (left() < size)
            m_ok = false;
        else
            m_at += size;
    }

  private:
    std::span<const uint8_t> m_bytes;
    size_t m_at = 0;
    bool m_ok = true;
};

// The next box of a box sequence, or nothing at its end or on a bad size.
std::optional<Box> nextBox(Reader& reader)
{
    if (reader.left() < 8) return std::nullopt;
    uint64_t size = reader.number(4);
    const auto type = static_cast<uint32_t>(reader.number(4));
    size_t header = 8;
    if (size == 1) {
        size = reader.number(8);
        header = 16;
    } else if (size == 0) {
        size = reader.left() + header;
    }
    if (!reader.ok() || size < header || size - header > reader.left()) return std::nullopt;
    Box box{type, reader.rest().first(static_cast<size_t>(size - header))};
    reader.skip(static_cast<size_t>(size - header));
    return box;
}

std::optional<Box> findBox(std::span<const uint8_t> sequence, uint32_t type)
{
    Reader reader(sequence);
    for (int count = 0; count < 4096; ++count) {
        auto box = nextBox(reader);
        if (!box) return std::nullopt;
        if (box->type == type) return box;
    }
    return std::nullopt;
}

bool isHeif(std::span<const uint8_t> file)
{
    if (file.size() < 16 || std::memcmp(file.data() + 4, "ftyp", 4) != 0) return false;
    Reader reader(file);
    auto ftyp = nextBox(reader);
    if (!ftyp || ftyp->body.size() < 8) return false;
    for (size_t at = 0; at + 4 <= ftyp->body.size(); at += 4) {
        if (at == 4) continue; // minor version
        const uint8_t* brand = ftyp->body.data() + at;
        for (const char* known : {"mif1", "msf1", "heic", "heix", "avif", "avis"})
            if (std::memcmp(brand, known, 4) == 0) return true;
    }
    return false;
}

std::optional<uint32_t> exifItemId(std::span<const uint8_t> iinf)
{
    Reader reader(iinf);
    const auto version = reader.number(1);
    reader.skip(3);
    const uint64_t count = reader.number(version == 0 ? 2 : 4);
    if (!reader.ok()) return std::nullopt;
    Reader entries(reader.rest());
    for (uint64_t i = 0; i < count && i < 65536; ++i) {
        auto infe = nextBox(entries);
        if (!infe) return std::nullopt;
        if (infe->type != fourcc("infe")) continue;
        Reader entry(infe->body);
        const auto infeVersion = entry.number(1);
        entry.skip(3);
        if (infeVersion < 2) continue;
        const auto id = static_cast<uint32_t>(entry.number(infeVersion == 2 ? 2 : 4));
        entry.skip(2); // protection index
        const auto type = static_cast<uint32_t>(entry.number(4));
        if (entry.ok() && type == fourcc("Exif")) return id;
    }
    return std::nullopt;
}

// The file range of an item stored as one extent in the file itself.
std::optional<std::pair<uint64_t, uint64_t>> itemExtent(std::span<const uint8_t> iloc,
                                                        uint32_t item)
{
    Reader reader(iloc);
    const auto version = reader.number(1);
    reader.skip(3);
    const auto sizes = reader.number(1);
    const auto more = reader.number(1);
    const size_t offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
    const size_t indexSize = version == 1 || version == 2 ? (more & 15) : 0;
    const uint64_t count = reader.number(version < 2 ? 2 : 4);
    for (uint64_t i = 0; reader.ok() && i < count && i < 65536; ++i) {
        const auto id = static_cast<uint32_t>(reader.number(version < 2 ? 2 : 4));
        uint64_t method = 0;
        if (version == 1 || version == 2) method = reader.number(2) & 15;
        reader.skip(2); // data reference index
        const uint64_t base = reader.number(baseSize);
        const uint64_t extents = reader.number(2);
        uint64_t offset = 0, length = 0;
        for (uint64_t e = 0; reader.ok() && e < extents; ++e) {
            reader.skip(indexSize);
            offset = reader.number(offsetSize);
            length = reader.number(lengthSize);
        }
        if (!reader.ok()) return std::nullopt;
        if (id != item) continue;
        if (method != 0 || extents != 1 || base > UINT64_MAX - offset) return std::nullopt;
        return std::make_pair(base + offset, length);
    }
    return std::nullopt;
}

std::span<const uint8_t> heifExif(std::span<const uint8_t> file)
{
    auto meta = findBox(file, fourcc("meta"));
    if (!meta || meta->body.size() < 4) return {};
    const auto children = meta->body.subspan(4); // full box: version and flags first
    auto iinf = findBox(children, fourcc("iinf"));
    auto iloc = findBox(children, fourcc("iloc"));
    if (!iinf || !iloc) return {};
    const auto id = exifItemId(iinf->body);
    if (!id) return {};
    const auto extent = itemExtent(iloc->body, *id);
    if (!extent || extent->first > file.size() || extent->second > file.size() - extent->first)
        return {};
    auto payload =
        file.subspan(static_cast<size_t>(extent->first), static_cast<size_t>(extent->second));
    // The item starts with the offset of the TIFF header from the end of that field.
    if (payload.size() < 4) return {};
    const uint32_t skip = readBe32(payload.data());
    if (skip > payload.size() - 4) return {};
    return payload.subspan(4 + skip);
}

} // namespace

ExifLocation locateExif(std::span<const uint8_t> file)
{
    ExifLocation location;
    if (file.size() >= 3 && file[0] == 0xFF && file[1] == formats::kMarkerSoi && file[2] == 0xFF) {
        location.container = Container::Jpeg;
        location.tiff = jpegExif(file);
    } else if (isTiffHeader(file)) {
        location.container = Container::Tiff;
        location.tiff = file;
    } else if (file.size() >= sizeof(kPngSignature) &&
               std::memcmp(file.data(), kPngSignature, sizeof(kPngSignature)) == 0) {
        location.container = Container::Png;
        location.tiff = stripExifSignature(pngExif(file));
    } else if (file.size() >= 12 && startsWith(file, "RIFF") &&
               std::memcmp(file.data() + 8, "WEBP", 4) == 0) {
        location.container = Container::WebP;
        location.tiff = stripExifSignature(webpExif(file));
    } else if (isHeif(file)) {
        location.container = Container::Heif;
        location.tiff = stripExifSignature(heifExif(file));
    }
    if (!location.tiff.empty() && !isTiffHeader(location.tiff)) location.tiff = {};
    return location;
}

} // namespace mio::exif
