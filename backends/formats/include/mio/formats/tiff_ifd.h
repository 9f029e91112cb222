// SPDX-License-Identifier: MIT
// TIFF/EXIF image file directories: a bounded reader for both byte orders and a writer.
#pragma once

#include "mio/formats/common.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace mio::formats {

enum class FieldType : uint16_t {
    Byte = 1,
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    SByte = 6,
    Undefined = 7,
    SShort = 8,
    SLong = 9,
    SRational = 10,
    Float = 11,
    Double = 12,
    Ifd = 13,
};

// Bytes of one value of a field type; 0 for a type this reader does not know.
uint32_t fieldTypeSize(uint16_t type) noexcept;

// The value types of decoded fields. The numbers are those of the matching VARTYPEs, so a
// query layer maps them to PROPVARIANTs one to one (vectors add VT_VECTOR).
enum class ValueType : uint16_t {
    I2 = 2,
    I4 = 3,
    R4 = 4,
    R8 = 5,
    I1 = 16,
    UI1 = 17,
    UI2 = 18,
    UI4 = 19,
    I8 = 20,  // SRATIONAL: numerator in the low 32 bits, denominator in the high 32 bits
    UI8 = 21, // RATIONAL: numerator in the low 32 bits, denominator in the high 32 bits
    LpStr = 30,
    LpWStr = 31, // EXIF UserComment, decoded from its character-code prefix
    Blob = 65,
};

using ValueData = std::variant<std::vector<uint8_t>, std::vector<int8_t>, std::vector<uint16_t>,
                               std::vector<int16_t>, std::vector<uint32_t>, std::vector<int32_t>,
                               std::vector<uint64_t>, std::vector<int64_t>, std::vector<float>,
                               std::vector<double>, std::string, std::u16string>;

struct TagValue {
    ValueType type = ValueType::Blob;
    bool isVector = false; // count > 1 for numeric types; never for LpStr, LpWStr and Blob
    ValueData data;

    // Element count: numbers for numeric types, bytes for Blob, characters for strings.
    size_t size() const;

    static TagValue text(std::string s);
    static TagValue blob(std::vector<uint8_t> bytes);
    static TagValue u8(std::vector<uint8_t> v);
    static TagValue u16(std::vector<uint16_t> v);
    static TagValue u32(std::vector<uint32_t> v);
    static TagValue rational(std::vector<uint64_t> packed);
    static TagValue srational(std::vector<int64_t> packed);
};

inline constexpr uint64_t packRational(uint32_t numerator, uint32_t denominator)
{
    return uint64_t{numerator} | (uint64_t{denominator} << 32);
}

// The field type a value of this type is written as.
FieldType fieldTypeFor(ValueType type) noexcept;

inline constexpr uint16_t kTagExifIfd = 34665;
inline constexpr uint16_t kTagGpsIfd = 34853;
inline constexpr uint16_t kTagInteropIfd = 40965;
inline constexpr uint16_t kTagSubIfds = 330;
inline constexpr uint16_t kTagThumbnailOffset = 513;
inline constexpr uint16_t kTagThumbnailLength = 514;
inline constexpr uint16_t kTagUserComment = 37510;

struct IfdEntry {
    uint16_t tag = 0;
    uint16_t type = 0; // FieldType as stored in the file
    uint32_t count = 0;
    uint32_t valueOffset = 0; // TIFF-relative offset of the value bytes (inline ones too)
    TagValue value;
};

enum class IfdKind : uint8_t { Ifd0, Exif, Gps, Interop, Ifd1, SubIfd };

struct Ifd {
    IfdKind kind = IfdKind::Ifd0;
    uint32_t offset = 0;           // TIFF-relative offset of the entry count
    std::vector<IfdEntry> entries; // in file order
    uint32_t nextOffset = 0;       // link to the next IFD, 0 for none
    uint32_t endOffset = 0;        // one past the entry table and its next-IFD link

    const IfdEntry* find(uint16_t tag) const;
    IfdEntry* find(uint16_t tag);
};

// Something the reader skipped: an entry with a bad offset, an unreadable sub-IFD...
struct IfdProblem {
    IfdKind kind;
    uint16_t tag; // 0 for the IFD as a whole
    Error error;
};

struct TiffTree {
    ByteOrder order = ByteOrder::LittleEndian;
    Ifd ifd0;
    std::optional<Ifd> exif, gps, interop, ifd1;
    std::vector<Ifd> subIfds;
    // The IFD1 thumbnail (513/514): TIFF-relative range and a copy of its bytes.
    uint32_t thumbnailOffset = 0;
    std::vector<uint8_t> thumbnail;
    std::vector<IfdProblem> problems;
};

struct TiffOptions {
    uint32_t maxEntriesPerIfd = 1024;
    // Decoded value bytes over the whole tree; the reader also caps them at twice the input
    // size plus 64 KiB.
    uint64_t maxValueBytes = 64u << 20;
    uint32_t maxSubIfds = 16;
    bool readSubIfds = true;
};

// Parses a TIFF structure (the content of an EXIF APP1 after "Exif\0\0", or a TIFF file).
// Fails when the header or IFD0 cannot be read; a damaged sub-IFD or entry is left out and
// recorded in `problems`. Entries whose type is unknown are left out the same way.
Result<TiffTree> parseTiff(std::span<const uint8_t> tiff, const TiffOptions& options = {});

// One IFD at `offset`, on its own (used for IFD chains in TIFF files).
Result<Ifd> parseIfd(std::span<const uint8_t> tiff, ByteOrder order, uint32_t offset, IfdKind kind,
                     const TiffOptions& options = {});

struct TiffWriteOptions {
    ByteOrder order = ByteOrder::LittleEndian;
    // Zero bytes left after each IFD's values, room for later in-place growth.
    uint32_t ifd0Padding = 0;
    uint32_t exifPadding = 0;
    uint32_t gpsPadding = 0;
};

// Serialises the tree: IFD0 (then its values), Exif, Interop, GPS, IFD1 and the thumbnail.
// Pointer tags (34665, 34853, 40965, IFD1's 513/514) are set from the layout, added when a
// child exists and dropped when it does not; SubIFDs (330) and 513 outside IFD1 point at data
// the tree does not carry and are not written. Other values are copied as they are (maker
// note internal offsets are not rebased). Entries are written in
// ascending tag order as TIFF requires.
Result<std::vector<uint8_t>> writeTiff(const TiffTree& tree, const TiffWriteOptions& options = {});

} // namespace mio::formats
