// SPDX-License-Identifier: MIT
// JPEG marker walk from SOI to SOS, metadata segment classification and reassembly, and the
// header rewrite used when metadata segments change.
#pragma once

#include "mio/formats/common.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mio::formats {

enum class SegmentKind : uint8_t {
    Other,
    Jfif,          // APP0 "JFIF\0"
    JfifExtension, // APP0 "JFXX\0"
    Exif,          // APP1 "Exif\0\0"
    Xmp,           // APP1 "http://ns.adobe.com/xap/1.0/\0"
    ExtendedXmp,   // APP1 "http://ns.adobe.com/xmp/extension/\0"
    Icc,           // APP2 "ICC_PROFILE\0"
    Photoshop,     // APP13 "Photoshop 3.0\0"
    Adobe,         // APP14 "Adobe"
    Comment,       // COM
    StartOfScan,   // SOS: the last segment of a complete walk; its payload is the scan header
};

inline constexpr uint8_t kMarkerSoi = 0xD8;
inline constexpr uint8_t kMarkerEoi = 0xD9;
inline constexpr uint8_t kMarkerSos = 0xDA;
inline constexpr uint8_t kMarkerApp0 = 0xE0;
inline constexpr uint8_t kMarkerApp1 = 0xE1;
inline constexpr uint8_t kMarkerApp2 = 0xE2;
inline constexpr uint8_t kMarkerApp13 = 0xED;
inline constexpr uint8_t kMarkerApp14 = 0xEE;
inline constexpr uint8_t kMarkerCom = 0xFE;

// Largest payload one segment can carry: the 16-bit length counts itself.
inline constexpr uint32_t kMaxSegmentPayload = 65533;

inline constexpr std::string_view kExifSignature{"Exif\0\0", 6};
inline constexpr std::string_view kXmpSignature{"http://ns.adobe.com/xap/1.0/\0", 29};
inline constexpr std::string_view kExtendedXmpSignature{"http://ns.adobe.com/xmp/extension/\0", 35};
inline constexpr std::string_view kIccSignature{"ICC_PROFILE\0", 12};
inline constexpr std::string_view kPhotoshopSignature{"Photoshop 3.0\0", 14};

struct Segment {
    uint8_t marker = 0; // the byte after 0xFF (0xE1 for APP1)
    SegmentKind kind = SegmentKind::Other;
    uint64_t offset = 0;        // file offset of the 0xFF of the marker
    uint64_t payloadOffset = 0; // offset + 4: first byte after the length field
    uint32_t payloadSize = 0;   // the length field minus its own 2 bytes
    uint32_t signatureSize = 0; // identifying prefix of the payload (e.g. 6 for "Exif\0\0")

    // The data after the signature: the TIFF header of EXIF, the packet of XMP...
    uint64_t contentOffset() const { return payloadOffset + signatureSize; }
    uint32_t contentSize() const { return payloadSize - signatureSize; }
    uint64_t endOffset() const { return payloadOffset + payloadSize; }
};

enum class WalkEnd : uint8_t {
    StartOfScan,     // reached SOS; the scan data starts after its header
    EndOfImage,      // EOI before any SOS (a tables-only or empty image)
    Truncated,       // the data ended inside a segment or before SOS
    BadMarker,       // bytes where a marker should be are not one
    TooManySegments, // more segments than WalkOptions::maxSegments
};

struct JpegLayout {
    std::vector<Segment> segments; // in file order; ends with the SOS segment when complete
    WalkEnd end = WalkEnd::Truncated;
    uint64_t stopOffset = 0; // offset of the SOS marker, or where the walk stopped
};

struct WalkOptions {
    uint32_t maxSegments = 16384;
};

// Walks the markers from SOI. Fails with NotRecognised when the data does not start with SOI;
// otherwise returns every complete segment it found and why it stopped. Scan data is never read.
Result<JpegLayout> walkJpeg(const ByteSource& source, const WalkOptions& options = {});

// The payload of one segment (copied), or its whole content after the signature.
Result<std::vector<uint8_t>> readPayload(const ByteSource& source, const Segment& segment);
Result<std::vector<uint8_t>> readContent(const ByteSource& source, const Segment& segment);

// First segment of a kind, or nullptr.
const Segment* findSegment(const JpegLayout& layout, SegmentKind kind);

// The ICC profile from all APP2 chunks, ordered by their sequence numbers. NotFound when there
// is none; Malformed for missing, repeated or inconsistent chunk numbers.
Result<std::vector<uint8_t>> assembleIccProfile(const ByteSource& source, const JpegLayout& layout);

// The extended XMP packet with the given GUID (32 hex digits, as named by xmpNote:HasExtendedXMP
// in the main packet); with an empty GUID, the GUID of the first extended chunk. Every byte of the
// announced length must be covered by chunks.
Result<std::string> assembleExtendedXmp(const ByteSource& source, const JpegLayout& layout,
                                        std::string_view guid = {});

// The Photoshop image resource block: the contents of all "Photoshop 3.0" APP13 segments joined.
Result<std::vector<uint8_t>> assemblePhotoshop(const ByteSource& source, const JpegLayout& layout);

// JFIF APP0 content (after "JFIF\0"): version, density and the optional RGB thumbnail.
struct JfifHeader {
    uint16_t version = 0; // major in the high byte: 0x0102 for 1.02
    uint8_t units = 0;    // 0 aspect ratio only, 1 dots per inch, 2 dots per cm
    uint16_t xDensity = 0;
    uint16_t yDensity = 0;
    uint8_t thumbWidth = 0;
    uint8_t thumbHeight = 0;
    std::vector<uint8_t> thumbnail; // thumbWidth * thumbHeight * 3 bytes of RGB
};
Result<JfifHeader> parseJfif(std::span<const uint8_t> content);

// APP13 payloads ("Photoshop 3.0\0" + a piece of the block) for a resource block, split so
// each fits one segment; readers join them again in order.
Result<std::vector<std::vector<uint8_t>>> photoshopSegmentPayloads(std::span<const uint8_t> block);

// One change to the segment list; `index` refers to JpegLayout::segments.
struct SegmentChange {
    enum class Action : uint8_t { Replace, Remove, InsertBefore };
    Action action = Action::Replace;
    size_t index = 0;
    uint8_t marker = 0; // for InsertBefore; Replace keeps the old marker
    std::vector<uint8_t> payload;
};

// The new file head: SOI and every segment with the changes applied, up to but not including
// the SOS marker; the caller appends the bytes from JpegLayout::stopOffset on unchanged.
// Requires a complete walk (WalkEnd::StartOfScan). A payload over 65533 bytes is TooLarge.
Result<std::vector<uint8_t>> rebuildHead(const ByteSource& source, const JpegLayout& layout,
                                         std::span<const SegmentChange> changes);

// Whether a new payload of `size` bytes fits the room of an existing segment.
inline bool fitsInRoom(const Segment& segment, size_t size)
{
    return size <= segment.payloadSize;
}

// For an in-place commit: the writes that replace segment payloads without moving any other
// byte. Only Replace changes whose payload is exactly the old payload size are accepted (pad
// first); anything else fails with TooLarge, and nothing is to be written.
struct InPlaceWrite {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};
Result<std::vector<InPlaceWrite>> planInPlace(const JpegLayout& layout,
                                              std::span<const SegmentChange> changes);

} // namespace mio::formats
