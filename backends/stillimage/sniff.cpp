// SPDX-License-Identifier: MIT
// Signature checks for every readable format, cheap enough to run on each parse.
#include "sniff.h"

#include <cstring>

namespace mio::stillimage {
namespace {

bool startsWith(Bytes f, const void* magic, size_t n, size_t at = 0)
{
    return f.size >= at + n && std::memcmp(f.data + at, magic, n) == 0;
}

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (uint32_t{p[3]} << 24);
}

bool isTiff(Bytes f)
{
    return startsWith(f, "II*\0", 4) || startsWith(f, "MM\0*", 4) || startsWith(f, "II+\0", 4) ||
           startsWith(f, "MM\0+", 4);
}

bool isoBrand(Bytes f, const char* const* brands)
{
    if (!startsWith(f, "ftyp", 4, 4) || f.size < 16) return false;
    uint32_t boxSize = (uint32_t{f.data[0]} << 24) | (uint32_t{f.data[1]} << 16) |
                       (uint32_t{f.data[2]} << 8) | f.data[3];
    if (boxSize < 16 || boxSize > f.size)
        boxSize = static_cast<uint32_t>(std::min<size_t>(f.size, 64));
    for (uint32_t at = 8; at + 4 <= boxSize; at += 4) {
        if (at == 12) continue; // minor version
        for (const char* const* b = brands; *b; ++b) {
            if (std::memcmp(f.data + at, *b, 4) == 0) return true;
        }
    }
    return false;
}

constexpr const char* kHeifBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                       "mif1", "msf1", "avif", "avis", nullptr};
constexpr const char* kAvifBrands[] = {"avif", "avis", nullptr};

} // namespace

bool sniffCodec(Codec codec, Bytes f)
{
    switch (codec) {
    case Codec::Bmp: {
        if (!startsWith(f, "BM", 2) || f.size < 18) return false;
        const uint32_t hs = le32(f.data + 14);
        return hs == 12 || hs == 16 || hs == 40 || hs == 52 || hs == 56 || hs == 64 || hs == 108 ||
               hs == 124;
    }
    case Codec::Jpeg:
        return startsWith(f, "\xFF\xD8\xFF", 3);
    case Codec::Png:
        return startsWith(f, "\x89PNG\r\n\x1A\n", 8);
    case Codec::Gif:
        return startsWith(f, "GIF87a", 6) || startsWith(f, "GIF89a", 6);
    case Codec::Tiff:
        return isTiff(f);
    case Codec::Ico:
        return f.size >= 6 && f.data[0] == 0 && f.data[1] == 0 &&
               (f.data[2] == 1 || f.data[2] == 2) && f.data[3] == 0 && (f.data[4] | f.data[5]) != 0;
    case Codec::Pcx:
        return f.size >= 128 && f.data[0] == 0x0A && f.data[1] <= 5 && f.data[2] <= 1 &&
               (f.data[3] == 1 || f.data[3] == 2 || f.data[3] == 4 || f.data[3] == 8);
    case Codec::Pnm:
        return f.size >= 3 && f.data[0] == 'P' && f.data[1] >= '1' && f.data[1] <= '7' &&
               (f.data[2] == ' ' || f.data[2] == '\n' || f.data[2] == '\r' || f.data[2] == '\t');
    case Codec::SunRaster:
        return startsWith(f, "\x59\xA6\x6A\x95", 4);
    case Codec::Psd:
        return startsWith(f, "8BPS\0\x01", 6);
    case Codec::WebP:
        return startsWith(f, "RIFF", 4) && startsWith(f, "WEBP", 4, 8);
    case Codec::Heif:
        return isoBrand(f, kHeifBrands);
    case Codec::Jpeg2000:
        return startsWith(f, "\0\0\0\x0CjP  \r\n\x87\n", 12) ||
               startsWith(f, "\xFF\x4F\xFF\x51", 4);
    case Codec::Raw:
        return sniffRaw(f);
    case Codec::Eps:
        return startsWith(f, "\xC5\xD0\xD3\xC6", 4);
    case Codec::Msp:
        return startsWith(f, "DanM", 4) || startsWith(f, "LinS", 4);
    case Codec::Iff:
        return startsWith(f, "FORM", 4) &&
               (startsWith(f, "ILBM", 4, 8) || startsWith(f, "PBM ", 4, 8));
    case Codec::Tga:
    case Codec::Wbmp:
    case Codec::MacPaint:
    case Codec::None:
        return false;
    }
    return false;
}

bool hasSignature(Codec codec)
{
    return codec != Codec::Tga && codec != Codec::Wbmp && codec != Codec::MacPaint;
}

bool sniffRaw(Bytes f)
{
    static constexpr const char* kCr3[] = {"crx ", nullptr};
    return isTiff(f) || startsWith(f, "IIRO", 4) || startsWith(f, "IIRS", 4) ||
           startsWith(f, "MMOR", 4) || startsWith(f, "IIU\0", 4) || startsWith(f, "FUJIFILM", 8) ||
           startsWith(f, "\0MRM", 4) || startsWith(f, "HEAPCCDR", 8, 6) ||
           startsWith(f, "FOVb", 4) || isoBrand(f, kCr3);
}

const FormatRow* refineRow(Codec codec, Bytes f, const FormatRow* chosen)
{
    auto rowFor = [](std::string_view ext) { return formatByExtension(ext); };
    switch (codec) {
    case Codec::Ico:
        return rowFor(f.data[2] == 2 ? "cur" : "ico");
    case Codec::Heif:
        return rowFor(isoBrand(f, kAvifBrands) && !startsWith(f, "heic", 4, 8) ? "avif" : "heic");
    case Codec::Jpeg2000:
        return rowFor(startsWith(f, "\xFF\x4F", 2) ? "jpc" : "jp2");
    default:
        return chosen;
    }
}

} // namespace mio::stillimage
