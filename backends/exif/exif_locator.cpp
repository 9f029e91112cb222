// SPDX-License-Identifier: MIT
// Container walks that find the EXIF block: JPEG APP1, PNG eXIf, WebP EXIF, or a TIFF file itself.
#include "exif_locator.h"

#include "mio/formats/jpeg_segments.h"

#include <cstring>
#include <string_view>

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
    }
    if (!location.tiff.empty() && !isTiffHeader(location.tiff)) location.tiff = {};
    return location;
}

} // namespace mio::exif
