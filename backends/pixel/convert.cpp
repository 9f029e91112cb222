// SPDX-License-Identifier: MIT
// Depth conversion among 1, 4, 8, 16 (5-5-5), 24, 32 and 48-bit bitmaps.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bitmap_view.h"
#include "contracts/pixel_library.h"
#include "palette_builder.h"

namespace mio::pixel {
namespace {

// Every source row is first widened to 16-bit blue, green, red triplets; 8-bit channels v become
// v x 257 so that narrowing with (v + 128) / 257 gives them back exactly.
using Wide = uint16_t;

inline uint8_t narrow(Wide v)
{
    return static_cast<uint8_t>((v + 128u) / 257u);
}
inline uint8_t expand5(unsigned v)
{
    return static_cast<uint8_t>((v << 3) | (v >> 2));
}
inline unsigned reduceTo5(uint8_t v)
{
    return (v * 31u + 127u) / 255u;
}

inline unsigned indexAt(const uint8_t* row, int x, int bitCount)
{
    switch (bitCount) {
    case 1:
        return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4:
        return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
    default:
        return row[x];
    }
}

inline void putIndex(uint8_t* row, int x, int bitCount, unsigned index)
{
    switch (bitCount) {
    case 1: {
        const uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>(index ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit));
        break;
    }
    case 4: {
        const int shift = (x & 1) ? 0 : 4;
        row[x >> 1] =
            static_cast<uint8_t>((row[x >> 1] & ~(0xF << shift)) | ((index & 0xF) << shift));
        break;
    }
    default:
        row[x] = static_cast<uint8_t>(index);
    }
}

void decodeRow(const BitmapView& src, int y, Wide* out)
{
    const uint8_t* row = src.row(y);
    const int w = src.width;
    switch (src.bitCount) {
    case 1:
    case 4:
    case 8:
        for (int x = 0; x < w; ++x, out += 3) {
            const unsigned i = indexAt(row, x, src.bitCount);
            const RGBQUAD e = i < src.paletteCount ? src.palette[i] : RGBQUAD{0, 0, 0, 0};
            out[0] = static_cast<Wide>(e.rgbBlue * 257u);
            out[1] = static_cast<Wide>(e.rgbGreen * 257u);
            out[2] = static_cast<Wide>(e.rgbRed * 257u);
        }
        break;
    case 16:
        for (int x = 0; x < w; ++x, out += 3) {
            const unsigned v = row[2 * x] | (unsigned{row[2 * x + 1]} << 8);
            out[0] = static_cast<Wide>(expand5(v & 31u) * 257u);
            out[1] = static_cast<Wide>(expand5((v >> 5) & 31u) * 257u);
            out[2] = static_cast<Wide>(expand5((v >> 10) & 31u) * 257u);
        }
        break;
    case 24:
    case 32: {
        const int bpp = src.bitCount / 8;
        for (int x = 0; x < w; ++x, out += 3) {
            const uint8_t* p = row + x * bpp;
            out[0] = static_cast<Wide>(p[0] * 257u);
            out[1] = static_cast<Wide>(p[1] * 257u);
            out[2] = static_cast<Wide>(p[2] * 257u);
        }
        break;
    }
    case 48:
        for (int x = 0; x < 3 * w; ++x)
            out[x] = static_cast<Wide>(row[2 * x] | (row[2 * x + 1] << 8));
        break;
    }
}

void encodeTrueColourRow(const Wide* in, const BitmapView& dst, int y)
{
    uint8_t* row = dst.row(y);
    const int w = dst.width;
    switch (dst.bitCount) {
    case 16:
        for (int x = 0; x < w; ++x, in += 3) {
            const unsigned v = reduceTo5(narrow(in[0])) | (reduceTo5(narrow(in[1])) << 5) |
                               (reduceTo5(narrow(in[2])) << 10);
            row[2 * x] = static_cast<uint8_t>(v);
            row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case 24:
        for (int x = 0; x < 3 * w; ++x)
            row[x] = narrow(in[x]);
        break;
    case 32:
        for (int x = 0; x < w; ++x, in += 3) {
            row[4 * x] = narrow(in[0]);
            row[4 * x + 1] = narrow(in[1]);
            row[4 * x + 2] = narrow(in[2]);
            row[4 * x + 3] = 0xFF;
        }
        break;
    case 48:
        for (int x = 0; x < 3 * w; ++x) {
            row[2 * x] = static_cast<uint8_t>(in[x]);
            row[2 * x + 1] = static_cast<uint8_t>(in[x] >> 8);
        }
        break;
    }
}

size_t rowBytes(int width, int bitCount)
{
    return bitCount > 4 ? static_cast<size_t>(width) * static_cast<size_t>(bitCount / 8)
                        : (static_cast<size_t>(width) * static_cast<size_t>(bitCount) + 7) / 8;
}

// Maps widened rows onto the destination palette, diffusing the error (Floyd-Steinberg) when
// asked. Errors are kept in 8-bit units and the dithered value is clamped, so a palette that
// cannot express a hue (a grey ramp for a colour picture) does not build up error forever.
void mapRows(const BitmapView& src, const BitmapView& dst, PaletteMapper& mapper, bool dither)
{
    const int w = src.width;
    std::vector<Wide> line(static_cast<size_t>(w) * 3);
    std::vector<int> errThis, errNext;
    if (dither) {
        errThis.assign(static_cast<size_t>(w + 2) * 3, 0);
        errNext.assign(static_cast<size_t>(w + 2) * 3, 0);
    }
    for (int y = 0; y < src.height; ++y) {
        decodeRow(src, y, line.data());
        uint8_t* out = dst.row(y);
        for (int x = 0; x < w; ++x) {
            int c[3] = {narrow(line[3 * x + 2]), narrow(line[3 * x + 1]),
                        narrow(line[3 * x])}; // r, g, b
            if (dither) {
                for (int a = 0; a < 3; ++a)
                    c[a] =
                        std::clamp(c[a] + errThis[static_cast<size_t>(x + 1) * 3 + a] / 16, 0, 255);
            }
            const uint8_t index = mapper.nearest(c[0], c[1], c[2]);
            putIndex(out, x, dst.bitCount, index);
            if (dither) {
                const RGBQUAD& e = mapper.entry(index);
                const int got[3] = {e.rgbRed, e.rgbGreen, e.rgbBlue};
                for (int a = 0; a < 3; ++a) {
                    const int err = c[a] - got[a];
                    const size_t at = static_cast<size_t>(x + 1) * 3 + a;
                    errThis[at + 3] += err * 7;
                    errNext[at - 3] += err * 3;
                    errNext[at] += err * 5;
                    errNext[at + 3] += err;
                }
            }
        }
        if (dither) {
            std::swap(errThis, errNext);
            std::fill(errNext.begin(), errNext.end(), 0);
        }
    }
}

bool tableIsEmpty(const RGBQUAD* table, unsigned count)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(table);
    return std::all_of(bytes, bytes + 4 * size_t{count}, [](uint8_t b) { return b == 0; });
}

bool paletteIsGrey(const BitmapView& view)
{
    for (unsigned i = 0; i < view.paletteCount; ++i) {
        const RGBQUAD& e = view.palette[i];
        if (e.rgbRed != e.rgbGreen || e.rgbGreen != e.rgbBlue) return false;
    }
    return true;
}

int convertToPalette(const BitmapView& src, const BitmapView& dst, bool dither)
{
    auto* table = const_cast<RGBQUAD*>(dst.palette);
    const unsigned capacity = dst.paletteCount;
    if (capacity == 0) return 0;
    if (tableIsEmpty(table, capacity)) {
        if (src.hasPalette() && capacity == 256 && paletteIsGrey(src)) {
            // Grey levels as indices into the identity ramp: the resampler may then average them,
            // which keeps scaled-down bilevel and grey scans legible.
            for (unsigned i = 0; i < 256; ++i)
                table[i] =
                    RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
            for (int y = 0; y < src.height; ++y) {
                const uint8_t* in = src.row(y);
                uint8_t* out = dst.row(y);
                for (int x = 0; x < src.width; ++x) {
                    const unsigned i = indexAt(in, x, src.bitCount);
                    out[x] = i < src.paletteCount ? src.palette[i].rgbRed : 0;
                }
            }
            return 1;
        }
        if (src.hasPalette() && src.paletteCount <= capacity) {
            // The source's own palette fits: keep it and the indices.
            std::memcpy(table, src.palette, 4 * size_t{src.paletteCount});
            for (int y = 0; y < src.height; ++y) {
                const uint8_t* in = src.row(y);
                uint8_t* out = dst.row(y);
                for (int x = 0; x < src.width; ++x)
                    putIndex(out, x, dst.bitCount, indexAt(in, x, src.bitCount));
            }
            return 1;
        }
        ColourCollector collector(capacity);
        std::vector<Wide> line(static_cast<size_t>(src.width) * 3);
        for (int y = 0; y < src.height; ++y) {
            decodeRow(src, y, line.data());
            for (int x = 0; x < src.width; ++x)
                collector.add(narrow(line[3 * x + 2]), narrow(line[3 * x + 1]),
                              narrow(line[3 * x]));
        }
        const std::vector<RGBQUAD> built = collector.buildPalette(capacity);
        std::memset(table, 0, 4 * size_t{capacity});
        std::copy(built.begin(), built.end(), table);
        PaletteMapper mapper(built);
        mapRows(src, dst, mapper, dither);
        return 1;
    }
    PaletteMapper mapper(std::span<const RGBQUAD>(table, capacity));
    mapRows(src, dst, mapper, dither);
    return 1;
}

int convert(const BitmapView& src, const BitmapView& dst, bool dither)
{
    if (src.width != dst.width || src.height != dst.height) return 0;
    if (src.width == 0 || src.height == 0) return 1;
    if (src.bitCount == dst.bitCount && !src.hasPalette()) {
        const size_t bytes = rowBytes(src.width, src.bitCount);
        for (int y = 0; y < src.height; ++y)
            std::memmove(dst.row(y), src.row(y), bytes);
        return 1;
    }
    if (dst.hasPalette()) return convertToPalette(src, dst, dither);
    std::vector<Wide> line(static_cast<size_t>(src.width) * 3);
    for (int y = 0; y < src.height; ++y) {
        decodeRow(src, y, line.data());
        encodeTrueColourRow(line.data(), dst, y);
    }
    return 1;
}

} // namespace
} // namespace mio::pixel

extern "C" int vcConvertEx(const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader, void* pDstBits,
                           BITMAPINFOHEADER* pDstHeader, DWORD dwFlags)
{
    using namespace mio::pixel;
    const auto src = describeBitmap(pSrcHeader, pSrcBits);
    const auto dst = describeBitmap(pDstHeader, pDstBits);
    if (!src || !dst) return 0;
    try {
        return convert(*src, *dst, (dwFlags & VC_CONVERT_DITHER) != 0);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

extern "C" int vcConvert(const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader, void* pDstBits,
                         BITMAPINFOHEADER* pDstHeader)
{
    return vcConvertEx(pSrcBits, pSrcHeader, pDstBits, pDstHeader, VC_CONVERT_DITHER);
}
