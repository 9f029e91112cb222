// SPDX-License-Identifier: MIT
// ICO and CUR: the largest entry of the directory, as a PNG or as a DIB with its AND mask.
#include <cstring>
#include <vector>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"

namespace mio::stillimage {

extern const CodecOps kPngOps;

namespace {

struct IconEntry {
    size_t offset = 0, size = 0;
    bool png = false;
};

// Picks the largest picture (then the deepest) whose data lies inside the file.
bool pickEntry(Bytes f, IconEntry& out)
{
    ByteReader r(f.data, f.size);
    uint32_t count = 0;
    if (!r.u16(4, count) || count == 0) return false;
    uint64_t bestScore = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = 6 + size_t{i} * 16;
        uint32_t w = 0, h = 0, bits = 0, size = 0, offset = 0;
        if (!r.u8(e, w) || !r.u8(e + 1, h) || !r.u16(e + 6, bits) || !r.u32(e + 8, size) ||
            !r.u32(e + 12, offset))
            return bestScore > 0;
        if (!r.has(offset, size) || size < 16) continue;
        const uint64_t score = (uint64_t{w ? w : 256} * (h ? h : 256)) << 8 | (bits & 0xFF);
        if (score > bestScore) {
            bestScore = score;
            out.offset = offset;
            out.size = size;
            out.png = std::memcmp(f.data + offset, "\x89PNG", 4) == 0;
        }
    }
    return bestScore > 0;
}

struct IconDib {
    int32_t width = 0, height = 0;
    uint32_t bits = 0, colors = 0;
    size_t xorAt = 0, andAt = 0, xorStride = 0, andStride = 0;
    PaletteColors palette;
};

bool dibLayout(Bytes f, const IconEntry& e, IconDib& d)
{
    ByteReader r(f.data + e.offset, e.size);
    uint32_t headerSize = 0, w = 0, h = 0, compression = 0, used = 0;
    if (!r.u32(0, headerSize) || headerSize < 40 || !r.u32(4, w) || !r.u32(8, h) ||
        !r.u16(14, d.bits) || !r.u32(16, compression) || !r.u32(32, used) || compression != 0)
        return false;
    d.width = static_cast<int32_t>(w);
    d.height = static_cast<int32_t>(h) / 2; // the XOR and AND bitmaps stacked
    if (d.bits != 1 && d.bits != 4 && d.bits != 8 && d.bits != 24 && d.bits != 32) return false;
    if (!sizeAcceptable(d.width, d.height)) return false;
    size_t at = headerSize;
    if (d.bits <= 8) {
        d.colors = used && used <= (1u << d.bits) ? used : 1u << d.bits;
        if (!r.has(at, d.colors * 4)) return false;
        d.palette.count = static_cast<int>(d.colors);
        for (uint32_t i = 0; i < d.colors; ++i) {
            const uint8_t* p = f.data + e.offset + at + i * 4;
            d.palette.entries[i] = {p[2], p[1], p[0]};
        }
        at += d.colors * 4;
    }
    d.xorStride = ((size_t(d.width) * d.bits + 31) / 32) * 4;
    d.andStride = ((size_t(d.width) + 31) / 32) * 4;
    d.xorAt = e.offset + at;
    d.andAt = d.xorAt + d.xorStride * size_t(d.height);
    // Some 32-bit icons leave the AND mask out; the alpha channel then stands alone.
    if (d.xorAt + d.xorStride * size_t(d.height) > f.size) return false;
    if (d.andAt + d.andStride * size_t(d.height) > f.size) d.andAt = 0;
    return true;
}

int parseIco(Bytes f, HeaderInfo& info)
{
    IconEntry e;
    if (!pickEntry(f, e)) return fail(kLibErrCorrupt, "corrupt or truncated data: icon directory");
    if (e.png) {
        if (!kPngOps.parse({f.data + e.offset, e.size}, info)) return 0;
        info.frameCount = 1;
        return 1;
    }
    IconDib d;
    if (!dibLayout(f, e, d)) return fail(kLibErrCorrupt, "corrupt or truncated data: icon bitmap");
    ImageDesc& m = info.main;
    m.width = d.width;
    m.height = d.height;
    m.bitCount = static_cast<int32_t>(d.bits);
    m.colorType = d.bits <= 4 ? QF_COLOR_PALETTE4 : d.bits == 8 ? QF_COLOR_PALETTE8 : QF_COLOR_RGB;
    m.palette = d.palette;
    info.maskCount = (d.andAt || d.bits == 32) ? 1 : 0;
    return 1;
}

int readIco(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "icons have no preview image");
    IconEntry e;
    if (!pickEntry(f, e)) return fail(kLibErrCorrupt, "corrupt or truncated data: icon directory");
    if (e.png) return kPngOps.read({f.data + e.offset, e.size}, info, part, sink);
    IconDib d;
    if (!dibLayout(f, e, d)) return fail(kLibErrCorrupt, "corrupt or truncated data: icon bitmap");
    const size_t w = static_cast<size_t>(d.width);
    // A 32-bit icon whose alpha is all zero relies on its AND mask (older icons).
    bool alphaUsed = false;
    if (d.bits == 32) {
        for (size_t i = 0; i < w * size_t(d.height) && !alphaUsed; ++i)
            alphaUsed = f.data[d.xorAt + (i / w) * d.xorStride + (i % w) * 4 + 3] != 0;
    }
    std::vector<uint8_t> row(w * 4 + 4);
    for (int32_t y = 0; y < d.height; ++y) {
        const size_t stored = size_t(d.height - 1 - y);
        const uint8_t* in = f.data + d.xorAt + stored * d.xorStride;
        const uint8_t* andRow = d.andAt ? f.data + d.andAt + stored * d.andStride : nullptr;
        if (part == Part::Mask) {
            for (size_t x = 0; x < w; ++x) {
                if (d.bits == 32 && alphaUsed)
                    row[x] = in[4 * x + 3];
                else
                    row[x] = (andRow && (andRow[x / 8] >> (7 - x % 8)) & 1) ? 0 : 255;
            }
        } else if (d.bits <= 8) {
            std::memcpy(row.data(), in, rowBytes(d.width, static_cast<int32_t>(d.bits)));
        } else {
            const size_t bpp = d.bits / 8;
            for (size_t x = 0; x < w; ++x) {
                row[bpp * x] = in[bpp * x + 2];
                row[bpp * x + 1] = in[bpp * x + 1];
                row[bpp * x + 2] = in[bpp * x];
                if (bpp == 4) row[4 * x + 3] = in[4 * x + 3];
            }
        }
        if (!sink.put(y, row.data())) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

} // namespace

extern const CodecOps kIcoOps = {parseIco, readIco, nullptr};

} // namespace mio::stillimage
