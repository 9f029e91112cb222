// SPDX-License-Identifier: MIT
// BMP: all header versions, 1 to 32 bits, bit fields, RLE4/RLE8, top-down; and the writer.
#include <cstring>
#include <vector>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct BmpLayout {
    uint32_t headerSize = 0, offBits = 0, compression = 0, bits = 0;
    int64_t width = 0, height = 0;
    bool topDown = false;
    uint32_t masks[4] = {}; // red, green, blue, alpha
    bool hasMasks = false;
    double dpiX = 0, dpiY = 0;
    PaletteColors palette;
    size_t stride = 0;
};

int maskShift(uint32_t m)
{
    int s = 0;
    while (m && !(m & 1)) {
        m >>= 1;
        ++s;
    }
    return s;
}

int maskBits(uint32_t m)
{
    m >>= maskShift(m);
    int n = 0;
    while (m & 1) {
        m >>= 1;
        ++n;
    }
    return n;
}

// A field scaled to 8 bits.
uint8_t maskValue(uint32_t pixel, uint32_t mask)
{
    if (!mask) return 0;
    const int bits = maskBits(mask);
    uint32_t v = (pixel & mask) >> maskShift(mask);
    if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
    // Replicate the high bits to fill the byte.
    uint32_t out = 0;
    for (int filled = 0; filled < 8; filled += bits)
        out = (out << bits) | v;
    return static_cast<uint8_t>(out >> (((8 + bits - 1) / bits) * bits - 8));
}

bool layoutOf(Bytes f, BmpLayout& b, std::string& why)
{
    ByteReader r(f.data, f.size);
    if (!r.u32(10, b.offBits) || !r.u32(14, b.headerSize)) return why = "header cut short", false;
    uint32_t v = 0;
    if (b.headerSize == 12) {
        uint32_t w = 0, h = 0;
        if (!r.u16(18, w) || !r.u16(20, h) || !r.u16(24, b.bits))
            return why = "header cut short", false;
        b.width = w;
        b.height = static_cast<int16_t>(h);
    } else {
        if (!r.has(14, b.headerSize)) return why = "header cut short", false;
        r.u32(18, v);
        b.width = static_cast<int32_t>(v);
        r.u32(22, v);
        b.height = static_cast<int32_t>(v);
        r.u16(28, b.bits);
        if (b.headerSize >= 20) r.u32(30, b.compression);
        if (b.headerSize >= 32) {
            uint32_t px = 0, py = 0;
            r.u32(38, px);
            r.u32(42, py);
            b.dpiX = static_cast<int32_t>(px) * 0.0254;
            b.dpiY = static_cast<int32_t>(py) * 0.0254;
        }
    }
    if (b.headerSize == 64 && b.compression >= 3) return why = "OS/2 compression", false;
    if (b.height < 0) {
        b.topDown = true;
        b.height = -b.height;
    }
    if (b.compression == 3 || b.compression == 6) {
        // Masks follow a 40-byte header, or sit inside larger ones.
        const size_t at = 14 + 40;
        const int n = b.compression == 6 ? 4 : 3;
        if (!r.has(at, size_t(n) * 4)) return why = "bit fields cut short", false;
        for (int i = 0; i < n; ++i)
            r.u32(at + size_t(i) * 4, b.masks[i]);
        if (b.headerSize >= 56) r.u32(14 + 52, b.masks[3]);
        b.hasMasks = true;
    } else if (b.headerSize >= 56 && b.compression == 0 && b.bits == 32) {
        r.u32(14 + 52, b.masks[3]);
    }
    switch (b.bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return why = "unsupported bit count " + std::to_string(b.bits), false;
    }
    const bool rle = b.compression == 1 || b.compression == 2;
    if ((b.compression == 1 && b.bits != 8) || (b.compression == 2 && b.bits != 4) ||
        (b.compression == 3 && b.bits != 16 && b.bits != 32) || b.compression > 6 ||
        b.compression == 4 || b.compression == 5 || (rle && b.topDown))
        return why = "unsupported compression " + std::to_string(b.compression), false;
    if (!sizeAcceptable(b.width, b.height)) return why = "image size out of range", false;
    if (b.bits <= 8) {
        uint32_t used = 0;
        if (b.headerSize >= 36) r.u32(46, used);
        const uint32_t max = 1u << b.bits;
        if (used == 0 || used > max) used = max;
        const size_t entry = b.headerSize == 12 ? 3 : 4;
        size_t at = 14 + b.headerSize + (b.compression == 3 && b.headerSize == 40 ? 12 : 0);
        // Some writers declare more colours than they store: take what lies before the pixels.
        while (used > 0 && !r.has(at, used * entry))
            --used;
        b.palette.count = static_cast<int>(used);
        for (uint32_t i = 0; i < used; ++i) {
            const uint8_t* p = f.data + at + i * entry;
            b.palette.entries[i] = {p[2], p[1], p[0]};
        }
        if (used == 0) return why = "palette missing", false;
    }
    b.stride = ((static_cast<size_t>(b.width) * b.bits + 31) / 32) * 4;
    if (!rle) {
        const uint64_t need = uint64_t{b.offBits} + uint64_t{b.stride} * uint64_t(b.height - 1) +
                              rowBytes(static_cast<int32_t>(b.width), static_cast<int32_t>(b.bits));
        if (need > f.size) return why = "truncated data", false;
    } else if (b.offBits >= f.size) {
        return why = "truncated data", false;
    }
    return true;
}

bool hasAlpha(const BmpLayout& b)
{
    return b.bits == 32 && b.masks[3] != 0;
}

int parseBmp(Bytes file, HeaderInfo& info)
{
    BmpLayout b;
    std::string why;
    if (!layoutOf(file, b, why))
        return fail(kLibErrCorrupt, "corrupt or truncated data: BMP " + why);
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(b.width);
    d.height = static_cast<int32_t>(b.height);
    d.xDpi = b.dpiX;
    d.yDpi = b.dpiY;
    d.bitCount = static_cast<int32_t>(b.bits);
    if (b.bits <= 8) {
        d.colorType = b.bits <= 4 ? QF_COLOR_PALETTE4 : QF_COLOR_PALETTE8;
        d.palette = b.palette;
    } else if (b.bits == 16) {
        d.colorType = QF_COLOR_16BIT;
    } else {
        d.colorType = QF_COLOR_RGB;
    }
    info.maskCount = hasAlpha(b) ? 1 : 0;
    return 1;
}

// Expands RLE4/RLE8 data into one index byte per pixel, bottom-up rows.
bool decodeRle(Bytes f, const BmpLayout& b, std::vector<uint8_t>& out)
{
    const size_t w = static_cast<size_t>(b.width), h = static_cast<size_t>(b.height);
    out.assign(w * h, 0);
    size_t x = 0, y = 0, at = b.offBits;
    const bool four = b.compression == 2;
    auto put = [&](uint8_t v) {
        if (x < w && y < h) out[y * w + x] = v;
        ++x;
    };
    while (at + 1 < f.size) {
        const uint8_t n = f.data[at], v = f.data[at + 1];
        at += 2;
        if (n > 0) {
            for (int i = 0; i < n; ++i)
                put(four ? static_cast<uint8_t>((i & 1) ? (v & 15) : (v >> 4)) : v);
        } else if (v == 0) {
            x = 0;
            ++y;
        } else if (v == 1) {
            return true;
        } else if (v == 2) {
            if (at + 1 >= f.size) return false;
            x += f.data[at];
            y += f.data[at + 1];
            at += 2;
        } else {
            const size_t bytes = four ? (v + 1u) / 2 : v;
            if (at + bytes > f.size) return false;
            for (int i = 0; i < v; ++i)
                put(four ? static_cast<uint8_t>((i & 1) ? (f.data[at + i / 2] & 15)
                                                        : (f.data[at + i / 2] >> 4))
                         : f.data[at + i]);
            at += (bytes + 1) & ~size_t{1};
        }
        if (y >= h) return true;
    }
    return false;
}

int readBmp(Bytes file, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "BMP files have no preview image");
    BmpLayout b;
    std::string why;
    if (!layoutOf(file, b, why))
        return fail(kLibErrCorrupt, "corrupt or truncated data: BMP " + why);
    const size_t w = static_cast<size_t>(b.width), h = static_cast<size_t>(b.height);
    std::vector<uint8_t> rle;
    if (b.compression == 1 || b.compression == 2) {
        if (!expansionPlausible(uint64_t{w} * h, file.size, 256))
            return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
        if (!decodeRle(file, b, rle))
            return fail(kLibErrCorrupt, "corrupt or truncated data: BMP RLE");
    }
    std::vector<uint8_t> row(w * 4 + 4);
    const uint32_t* m = b.masks;
    const bool f555 = !b.hasMasks || (m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F);
    for (size_t y = 0; y < h; ++y) {
        const size_t stored = b.topDown ? y : h - 1 - y;
        const uint8_t* in = rle.empty() ? file.data + b.offBits + stored * b.stride : nullptr;
        uint8_t* out = row.data();
        if (!in) {
            const uint8_t* idx = rle.data() + stored * w;
            if (b.bits == 8) {
                std::memcpy(out, idx, w);
            } else {
                std::memset(out, 0, (w + 1) / 2);
                for (size_t x = 0; x < w; ++x)
                    out[x / 2] |= static_cast<uint8_t>((x & 1) ? idx[x] & 15 : idx[x] << 4);
            }
        } else if (part == Part::Mask) {
            for (size_t x = 0; x < w; ++x) {
                uint32_t px = 0;
                std::memcpy(&px, in + 4 * x, 4);
                out[x] = maskValue(px, m[3]);
            }
        } else if (b.bits <= 8) {
            std::memcpy(out, in, rowBytes(static_cast<int32_t>(w), static_cast<int32_t>(b.bits)));
        } else if (b.bits == 16) {
            for (size_t x = 0; x < w; ++x) {
                uint32_t px = static_cast<uint32_t>(in[2 * x] | (in[2 * x + 1] << 8));
                if (!f555) {
                    px = static_cast<uint32_t>((maskValue(px, m[0]) >> 3) << 10 |
                                               (maskValue(px, m[1]) >> 3) << 5 |
                                               (maskValue(px, m[2]) >> 3));
                }
                out[2 * x] = static_cast<uint8_t>(px);
                out[2 * x + 1] = static_cast<uint8_t>(px >> 8);
            }
        } else if (b.bits == 24) {
            for (size_t x = 0; x < w; ++x) {
                out[3 * x] = in[3 * x + 2];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x];
            }
        } else {
            for (size_t x = 0; x < w; ++x) {
                uint32_t px = 0;
                std::memcpy(&px, in + 4 * x, 4);
                if (b.hasMasks) {
                    out[4 * x] = maskValue(px, m[0]);
                    out[4 * x + 1] = maskValue(px, m[1]);
                    out[4 * x + 2] = maskValue(px, m[2]);
                } else {
                    out[4 * x] = in[4 * x + 2];
                    out[4 * x + 1] = in[4 * x + 1];
                    out[4 * x + 2] = in[4 * x];
                }
                out[4 * x + 3] = m[3] ? maskValue(px, m[3]) : 0;
            }
        }
        if (!sink.put(static_cast<int32_t>(y), out)) return fail(kLibErrGeneric, "reading stopped");
    }
    (void)info;
    return 1;
}

void putLe(std::vector<uint8_t>& b, size_t at, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        b[at + size_t(i)] = static_cast<uint8_t>(v >> (8 * i));
}

int writeBmp(const WriteJob& job, RowSource& rows, RowSource*)
{
    const ImageDesc& d = job.main;
    const size_t w = static_cast<size_t>(d.width), h = static_cast<size_t>(d.height);
    const size_t stride = ((w * static_cast<size_t>(d.bitCount) + 31) / 32) * 4;
    const size_t colors = d.bitCount == 8 ? static_cast<size_t>(d.palette.count) : 0;
    const size_t offBits = 14 + 40 + colors * 4;
    const uint64_t fileSize = offBits + uint64_t{stride} * h;
    if (fileSize > 0xFFFFFFFFu) return fail(kLibErrArgument, "bitmap too large for BMP");
    std::vector<uint8_t> head(offBits, 0);
    head[0] = 'B';
    head[1] = 'M';
    putLe(head, 2, static_cast<uint32_t>(fileSize), 4);
    putLe(head, 10, static_cast<uint32_t>(offBits), 4);
    putLe(head, 14, 40, 4);
    putLe(head, 18, static_cast<uint32_t>(w), 4);
    putLe(head, 22, static_cast<uint32_t>(h), 4);
    putLe(head, 26, 1, 2);
    putLe(head, 28, static_cast<uint32_t>(d.bitCount), 2);
    putLe(head, 34, static_cast<uint32_t>(stride * h), 4);
    const auto ppm = static_cast<uint32_t>(d.xDpi / 0.0254 + 0.5);
    putLe(head, 38, ppm, 4);
    putLe(head, 42, static_cast<uint32_t>(d.yDpi / 0.0254 + 0.5), 4);
    putLe(head, 46, static_cast<uint32_t>(colors), 4);
    for (size_t i = 0; i < colors; ++i) {
        head[54 + 4 * i] = d.palette.entries[i].b;
        head[55 + 4 * i] = d.palette.entries[i].g;
        head[56 + 4 * i] = d.palette.entries[i].r;
    }
    OutputFile out;
    if (!out.open(job.path)) return 0;
    FILE* fp = out.stream();
    if (std::fwrite(head.data(), 1, head.size(), fp) != head.size())
        return fail(kLibErrGeneric, "cannot write BMP");
    std::vector<uint8_t> line(stride, 0);
    // Rows are stored bottom-up; take them top-down and place each at its offset.
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* in = rows.row(static_cast<int32_t>(y));
        if (!in) return fail(kLibErrArgument, "the caller supplied no pixel rows");
        const size_t n = rowBytes(d.width, d.bitCount);
        std::memcpy(line.data(), in, n);
        if (d.bitCount == 24) {
            for (size_t x = 0; x < w; ++x)
                std::swap(line[3 * x], line[3 * x + 2]);
        }
        if (std::fseek(fp, static_cast<long>(offBits + (h - 1 - y) * stride), SEEK_SET) != 0 ||
            std::fwrite(line.data(), 1, stride, fp) != stride)
            return fail(kLibErrGeneric, "cannot write BMP");
    }
    return out.commit();
}

} // namespace

extern const CodecOps kBmpOps = {parseBmp, readBmp, writeBmp};

} // namespace mio::stillimage
