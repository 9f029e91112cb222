// SPDX-License-Identifier: MIT
// qfFileGetProperty / qfFileFreeProperty: the EXIF and IPTC fields of a JPEG or TIFF file as one
// movable block of 80-byte property entries followed by their texts and byte blocks.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codec.h"
#include "contracts/common_library.h"
#include "contracts/still_image_library.h"
#include "mapped_file.h"
#include "mio/formats/iptc.h"
#include "mio/formats/jpeg_segments.h"
#include "mio/formats/photoshop.h"
#include "mio/formats/tiff_ifd.h"

#include "tavrel/platform/memory.h"

using namespace mio;
using namespace mio::stillimage;
namespace fmt = mio::formats;

namespace {

constexpr uint16_t kExifBase = 5200;
constexpr uint16_t kIptcBase = 5600;
constexpr uint16_t kTypeText = 1, kTypeInt32 = 2, kTypeBlock = 5, kTypeInt16 = 15;
constexpr size_t kHeaderSize = 8;
// Where a field lives: the EXIF sub-IFD (IFD0 as a fallback, as TIFF writers sometimes put
// them there) or the interoperability IFD.
enum class Where : uint8_t { Exif, Interop };

struct ExifField {
    uint16_t index; // the id is kExifBase + index, as the engine's EXIF catalogue numbers it
    uint16_t tag;
    Where where;
    const char* name; // the engine catalogue's display name, spelling as published
};

constexpr ExifField kExifFields[] = {
    {0, 36864, Where::Exif, "EXIF version"},
    {1, 40960, Where::Exif, "Flashpix version"},
    {2, 40961, Where::Exif, "Color space information"},
    {3, 37121, Where::Exif, "Components configuration"},
    {4, 37122, Where::Exif, "Compressed bits per pixel"},
    {5, 40962, Where::Exif, "Pixel X dimension"},
    {6, 40963, Where::Exif, "Pixel Y dimension"},
    {7, 37500, Where::Exif, "Maker note"},
    {8, 37510, Where::Exif, "User comment"},
    {9, 40964, Where::Exif, "Related sound file"},
    {10, 36867, Where::Exif, "Date and time of original generation"},
    {11, 36868, Where::Exif, "Date and time of digitized generation"},
    {12, 37520, Where::Exif, "DateTime subseconds"},
    {13, 37521, Where::Exif, "Date/Time original subseconds"},
    {14, 37522, Where::Exif, "Date/Time digitized subseconds"},
    {15, 33434, Where::Exif, "Exposure time"},
    {16, 33437, Where::Exif, "F number"},
    {17, 34850, Where::Exif, "Exposure program"},
    {18, 34852, Where::Exif, "Spectral sensitivity"},
    {19, 34855, Where::Exif, "ISO speed ratings"},
    {20, 34856, Where::Exif, "OECF"},
    {21, 37377, Where::Exif, "Shutter speed (APEX)"},
    {22, 37378, Where::Exif, "Aperture (APEX)"},
    {23, 37379, Where::Exif, "Brightness (APEX)"},
    {24, 37380, Where::Exif, "Exposure bias (APEX)"},
    {25, 37381, Where::Exif, "Maximum lens aperture (APEX)"},
    {26, 37382, Where::Exif, "Subject distance"},
    {27, 37383, Where::Exif, "Metering mode"},
    {28, 37384, Where::Exif, "Light source"},
    {29, 37385, Where::Exif, "Flash"},
    {30, 37386, Where::Exif, "Focal length"},
    {31, 37396, Where::Exif, "Subject area"},
    {32, 41483, Where::Exif, "Flash energy"},
    {33, 41484, Where::Exif, "Spatial frequency response"},
    {34, 41486, Where::Exif, "Focal plane X resolution"},
    {35, 41487, Where::Exif, "Focal plane Y resolution"},
    {36, 41488, Where::Exif, "Focal plane resolution unit"},
    {37, 41492, Where::Exif, "Subject location"},
    {38, 41493, Where::Exif, "Exposure ondex"},
    {39, 41495, Where::Exif, "Sensing method"},
    {40, 41728, Where::Exif, "File source"},
    {41, 41729, Where::Exif, "Scene type"},
    {42, 41730, Where::Exif, "CFA pattern"},
    {43, 40965, Where::Exif, "Interoperability IFD"},
    {44, 1, Where::Interop, "Interoperability Index"},
    {45, 2, Where::Interop, "R98 version"},
    {46, 41985, Where::Exif, "Custom rendered"},
    {47, 41986, Where::Exif, "Exposure mode"},
    {48, 41987, Where::Exif, "White balance"},
    {49, 41988, Where::Exif, "Digital zoom ratio"},
    {50, 41989, Where::Exif, "Focal length 35mm"},
    {51, 41990, Where::Exif, "Scene capture type"},
    {52, 41991, Where::Exif, "Gain control"},
    {53, 41992, Where::Exif, "Contrast"},
    {54, 41993, Where::Exif, "Satuatio"},
    {55, 41994, Where::Exif, "Sharpness"},
    {56, 41995, Where::Exif, "Device setting description"},
    {57, 41996, Where::Exif, "Subject distance range"},
};

struct IptcField {
    uint16_t index;
    uint8_t dataset; // of record 2
    const char* name;
};

constexpr IptcField kIptcFields[] = {
    {0, 0, "Record version"},
    {1, 5, "Object name"},
    {2, 10, "Urgency"},
    {3, 15, "Category"},
    {4, 20, "Supplemental categories"},
    {5, 25, "Keywords"},
    {6, 40, "Special instructions"},
    {7, 55, "Date created"},
    {8, 80, "By-line"},
    {9, 85, "By-line title"},
    {10, 90, "City"},
    {11, 95, "Province-state"},
    {12, 101, "Country-primary location name"},
    {13, 103, "Original transmission reference"},
    {14, 105, "Headline"},
    {15, 110, "Credit"},
    {16, 115, "Source"},
    {17, 116, "Copyright notice"},
    {18, 120, "Caption-abstract"},
    {19, 122, "Writer-editor"},
};

// The block under construction: entries first, their values appended after them.
class BlockBuilder {
  public:
    void text(uint16_t id, const char* name, std::string_view value)
    {
        QfPropertyEntry& e = add(id, name, kTypeText);
        std::string bytes(value);
        bytes.push_back('\0');
        e.length = static_cast<int32_t>(value.size());
        e.value = static_cast<uint32_t>(m_data.size());
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
    }
    void number(uint16_t id, const char* name, uint16_t type, uint32_t value)
    {
        QfPropertyEntry& e = add(id, name, type);
        e.length = type == kTypeInt16 ? 2 : 4;
        e.value = value;
    }
    // A byte block: a 4-byte lead holding the element count, then the value bytes.
    void block(uint16_t id, const char* name, uint16_t subType, uint32_t count,
               std::span<const uint8_t> bytes)
    {
        QfPropertyEntry& e = add(id, name, kTypeBlock);
        e.blockType = subType;
        e.length = static_cast<int32_t>(bytes.size() + 4);
        e.value = static_cast<uint32_t>(m_data.size());
        const auto* lead = reinterpret_cast<const uint8_t*>(&count);
        m_data.insert(m_data.end(), lead, lead + 4);
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
    }

    // The finished movable block with value offsets made relative to its start; null on
    // allocation failure or when it would not be addressable with 32-bit offsets.
    HGLOBAL finish()
    {
        const size_t valuesAt = kHeaderSize + m_entries.size() * sizeof(QfPropertyEntry);
        const size_t total = valuesAt + m_data.size();
        if (total > std::numeric_limits<uint32_t>::max()) return nullptr;
        HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, total);
        if (!h) return nullptr;
        auto* base = static_cast<uint8_t*>(GlobalLock(h));
        if (!base) {
            GlobalFree(h);
            return nullptr;
        }
        const auto count = static_cast<uint32_t>(m_entries.size());
        std::memcpy(base + 4, &count, 4);
        for (size_t i = 0; i < m_entries.size(); ++i) {
            QfPropertyEntry e = m_entries[i];
            if (e.valueType == kTypeText || e.valueType == kTypeBlock)
                e.value += static_cast<uint32_t>(valuesAt);
            std::memcpy(base + kHeaderSize + i * sizeof e, &e, sizeof e);
        }
        if (!m_data.empty()) std::memcpy(base + valuesAt, m_data.data(), m_data.size());
        GlobalUnlock(h);
        return h;
    }

  private:
    QfPropertyEntry& add(uint16_t id, const char* name, uint16_t type)
    {
        QfPropertyEntry& e = m_entries.emplace_back();
        std::memset(&e, 0, sizeof e);
        e.valueType = type;
        e.propertyId = id;
        std::strncpy(e.name, name, sizeof e.name - 1);
        return e;
    }

    std::vector<QfPropertyEntry> m_entries;
    std::vector<uint8_t> m_data;
};

// Values at most this large are taken; a longer field (a huge maker note) is left out rather
// than copied whole into every property block.
constexpr uint64_t kMaxValueBytes = 1u << 20;

uint32_t readU32(const uint8_t* p, fmt::ByteOrder order)
{
    return order == fmt::ByteOrder::BigEndian
               ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
               : (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

uint16_t readU16(const uint8_t* p, fmt::ByteOrder order)
{
    return static_cast<uint16_t>(order == fmt::ByteOrder::BigEndian ? (p[0] << 8) | p[1]
                                                                    : (p[1] << 8) | p[0]);
}

// Adds one EXIF field from its raw bytes in the TIFF block, numbers in host order.
void addExifField(BlockBuilder& out, const ExifField& field, const fmt::IfdEntry& entry,
                  std::span<const uint8_t> tiff, fmt::ByteOrder order)
{
    const uint32_t unit = fmt::fieldTypeSize(entry.type);
    const uint64_t total = uint64_t{entry.count} * unit;
    if (unit == 0 || entry.count == 0 || total > kMaxValueBytes) return;
    if (entry.valueOffset > tiff.size() || total > tiff.size() - entry.valueOffset) return;
    const uint8_t* bytes = tiff.data() + entry.valueOffset;
    const auto id = static_cast<uint16_t>(kExifBase + field.index);
    const auto type = static_cast<fmt::FieldType>(entry.type);

    if (type == fmt::FieldType::Ascii) {
        const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, total));
        const size_t length = end ? static_cast<size_t>(end - bytes) : static_cast<size_t>(total);
        out.text(id, field.name, {reinterpret_cast<const char*>(bytes), length});
        return;
    }
    if (entry.count == 1 && (type == fmt::FieldType::Short || type == fmt::FieldType::SShort)) {
        out.number(id, field.name, kTypeInt16, readU16(bytes, order));
        return;
    }
    if (entry.count == 1 && (type == fmt::FieldType::Long || type == fmt::FieldType::SLong)) {
        out.number(id, field.name, kTypeInt32, readU32(bytes, order));
        return;
    }
    // Everything else as a byte block typed by its field type; multi-byte numbers are turned
    // into host order so that the reader can take rationals as two 32-bit integers.
    std::vector<uint8_t> host(bytes, bytes + total);
    if (unit == 2 || unit == 4 || unit == 8) {
        const size_t swap = unit == 8 && type != fmt::FieldType::Double ? 4 : unit;
        for (size_t at = 0; at + swap <= host.size(); at += swap) {
            if (swap == 2) {
                const uint16_t v = readU16(bytes + at, order);
                std::memcpy(host.data() + at, &v, 2);
            } else if (swap == 4) {
                const uint32_t v = readU32(bytes + at, order);
                std::memcpy(host.data() + at, &v, 4);
            } else if (order == fmt::ByteOrder::BigEndian) {
                std::reverse(host.begin() + static_cast<std::ptrdiff_t>(at),
                             host.begin() + static_cast<std::ptrdiff_t>(at + 8));
            }
        }
    }
    out.block(id, field.name, entry.type, entry.count, host);
}

void addExif(BlockBuilder& out, std::span<const uint8_t> tiff)
{
    fmt::TiffOptions options;
    options.readSubIfds = false;
    auto tree = fmt::parseTiff(tiff, options);
    if (!tree) return;
    for (const ExifField& field : kExifFields) {
        const fmt::IfdEntry* entry = nullptr;
        if (field.where == Where::Interop) {
            if (tree->interop) entry = tree->interop->find(field.tag);
        } else {
            if (tree->exif) entry = tree->exif->find(field.tag);
            if (!entry) entry = tree->ifd0.find(field.tag);
        }
        if (entry) addExifField(out, field, *entry, tiff, tree->order);
    }
}

void addIptc(BlockBuilder& out, std::span<const uint8_t> block)
{
    auto data = fmt::parseIptc(block);
    if (!data) return;
    for (const IptcField& field : kIptcFields) {
        std::string joined;
        bool found = false;
        for (const fmt::IptcDataset& set : data->datasets) {
            if (set.record != 2 || set.dataset != field.dataset) continue;
            if (field.dataset == 0) { // the record version is a binary number
                if (set.value.size() < 2) break;
                const auto version = static_cast<uint16_t>(
                    (static_cast<uint8_t>(set.value[0]) << 8) | static_cast<uint8_t>(set.value[1]));
                out.number(static_cast<uint16_t>(kIptcBase + field.index), field.name, kTypeInt16,
                           version);
                break;
            }
            // Repeated datasets (keywords) become one text, comma-separated.
            if (found) joined += ", ";
            joined += fmt::iptcTextToUtf8(set.value, data->utf8);
            found = true;
        }
        if (found && joined.size() <= kMaxValueBytes)
            out.text(static_cast<uint16_t>(kIptcBase + field.index), field.name, joined);
    }
}

// The IPTC block inside Photoshop image resources (resource 0x0404).
void addIptcFromResources(BlockBuilder& out, std::span<const uint8_t> resources)
{
    auto parsed = fmt::parseImageResources(resources);
    if (!parsed) return;
    if (const auto* iptc = fmt::findResource(*parsed, 0x0404)) addIptc(out, iptc->data);
}

void collectJpeg(BlockBuilder& out, Bytes file)
{
    const fmt::ByteSource source(std::span<const uint8_t>(file.data, file.size));
    auto layout = fmt::walkJpeg(source);
    if (!layout) return;
    if (const auto* exif = fmt::findSegment(*layout, fmt::SegmentKind::Exif)) {
        auto content = fmt::readContent(source, *exif);
        if (content) addExif(out, *content);
    }
    auto photoshop = fmt::assemblePhotoshop(source, *layout);
    if (photoshop && !photoshop->empty()) addIptcFromResources(out, *photoshop);
}

void collectTiff(BlockBuilder& out, Bytes file)
{
    const std::span<const uint8_t> tiff(file.data, file.size);
    addExif(out, tiff);
    fmt::TiffOptions options;
    options.readSubIfds = false;
    auto tree = fmt::parseTiff(tiff, options);
    if (!tree) return;
    constexpr uint16_t kTagIptc = 33723;
    if (const auto* entry = tree->ifd0.find(kTagIptc)) {
        const uint64_t size = uint64_t{entry->count} * fmt::fieldTypeSize(entry->type);
        if (entry->valueOffset <= tiff.size() && size <= tiff.size() - entry->valueOffset)
            addIptc(out, tiff.subspan(entry->valueOffset, static_cast<size_t>(size)));
    }
}

} // namespace

QF_API int32_t qfFileGetProperty(HGLOBAL hFileData, HGLOBAL* phProperty)
{
    if (phProperty) *phProperty = nullptr;
    if (!hFileData || !phProperty) return fail(kLibErrArgument, "invalid property arguments");
    char path[sizeof(ImageFileData::path)];
    {
        auto* rec = static_cast<ImageFileData*>(GlobalLock(hFileData));
        if (!rec) return fail(kLibErrArgument, "invalid file record");
        std::memcpy(path, rec->path, sizeof path);
        GlobalUnlock(hFileData);
    }
    path[sizeof path - 1] = '\0';
    try {
        MappedFile file;
        if (!file.open(path)) return 0;
        const Bytes bytes = file.bytes();
        BlockBuilder builder;
        if (bytes.size >= 2 && bytes.data[0] == 0xFF && bytes.data[1] == 0xD8) {
            collectJpeg(builder, bytes);
        } else if (bytes.size >= 4 && ((bytes.data[0] == 'I' && bytes.data[1] == 'I') ||
                                       (bytes.data[0] == 'M' && bytes.data[1] == 'M'))) {
            collectTiff(builder, bytes);
        } else {
            return fail(kLibErrUnsupported, "no properties are read from files of this format");
        }
        HGLOBAL h = builder.finish();
        if (!h) return fail(kLibErrMemory, "out of memory");
        *phProperty = h;
        return 1;
    } catch (const std::bad_alloc&) {
        return fail(kLibErrMemory, "out of memory");
    }
}

QF_API int32_t qfFileFreeProperty(HGLOBAL /*hFileData*/, HGLOBAL hProperty)
{
    if (!hProperty) return 0;
    return GlobalFree(hProperty) == nullptr ? 1 : 0;
}
