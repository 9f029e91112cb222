// SPDX-License-Identifier: MIT
// Photoshop documents: the merged composite that follows the layers, row by row.
#include <cstring>
#include <vector>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"

namespace mio::stillimage {
namespace {

struct PsdLayout {
    uint32_t channels = 0, width = 0, height = 0, depth = 0, mode = 0, compression = 0;
    size_t dataAt = 0;   // first byte of channel data
    size_t countsAt = 0; // RLE row byte counts (compression 1)
    PaletteColors palette;
    double dpi = 0;
    uint32_t colourChannels = 0;
};

bool skipSection(const ByteReader& r, size_t& at)
{
    uint32_t len = 0;
    if (!r.u32(at, len) || !r.has(at + 4, len)) return false;
    at += 4 + size_t{len};
    return true;
}

int layoutOf(Bytes f, PsdLayout& p)
{
    ByteReader r(f.data, f.size, true);
    if (!r.u16(12, p.channels) || !r.u32(14, p.height) || !r.u32(18, p.width) ||
        !r.u16(22, p.depth) || !r.u16(24, p.mode))
        return fail(kLibErrCorrupt, "corrupt or truncated data: PSD header");
    switch (p.mode) {
    case 1:
        p.colourChannels = 1;
        break;
    case 2:
        p.colourChannels = 1;
        break;
    case 3:
        p.colourChannels = 3;
        break;
    case 4:
        p.colourChannels = 4;
        break;
    default:
        return fail(kLibErrUnsupported, "unsupported PSD colour mode " + std::to_string(p.mode));
    }
    if (p.depth != 8 && p.depth != 16)
        return fail(kLibErrUnsupported, "unsupported PSD depth " + std::to_string(p.depth));
    if (p.channels < p.colourChannels || p.channels > 56)
        return fail(kLibErrCorrupt, "corrupt data: PSD channel count");
    if (!sizeAcceptable(p.width, p.height)) return fail(kLibErrCorrupt, "image size out of range");
    size_t at = 26;
    uint32_t modeLen = 0;
    if (!r.u32(at, modeLen) || !r.has(at + 4, modeLen))
        return fail(kLibErrCorrupt, "corrupt or truncated data: PSD");
    if (p.mode == 2 && modeLen >= 768) {
        p.palette.count = 256;
        for (int i = 0; i < 256; ++i)
            p.palette.entries[i] = {f.data[at + 4 + i], f.data[at + 4 + 256 + i],
                                    f.data[at + 4 + 512 + i]};
    }
    at += 4 + size_t{modeLen};
    // Image resources: resolution info (0x03ED) gives the horizontal dpi as 16.16 fixed point.
    uint32_t resLen = 0;
    if (!r.u32(at, resLen) || !r.has(at + 4, resLen))
        return fail(kLibErrCorrupt, "corrupt or truncated data: PSD");
    for (size_t q = at + 4, end = at + 4 + resLen; q + 12 <= end;) {
        uint32_t id = 0, nameLen = 0, size = 0;
        if (std::memcmp(f.data + q, "8BIM", 4) != 0 || !r.u16(q + 4, id) || !r.u8(q + 6, nameLen))
            break;
        const size_t nameField = (nameLen + 2) & ~size_t{1};
        if (!r.u32(q + 6 + nameField, size)) break;
        const size_t body = q + 10 + nameField;
        if (id == 0x03ED && size >= 4 && r.has(body, 4)) {
            uint32_t fixed = 0;
            r.u32(body, fixed);
            p.dpi = fixed / 65536.0;
        }
        q = body + ((size + 1) & ~uint32_t{1});
    }
    at += 4 + size_t{resLen};
    if (!skipSection(r, at) || !r.u16(at, p.compression))
        return fail(kLibErrCorrupt, "corrupt or truncated data: PSD sections");
    at += 2;
    if (p.compression == 1) {
        p.countsAt = at;
        const uint64_t counts = uint64_t{p.channels} * p.height * 2;
        if (!r.has(at, counts)) return fail(kLibErrCorrupt, "corrupt or truncated data: PSD");
        p.dataAt = at + counts;
    } else if (p.compression == 0) {
        p.dataAt = at;
        const uint64_t need = uint64_t{p.colourChannels} * p.height * p.width * (p.depth / 8);
        if (!r.has(at, need)) return fail(kLibErrCorrupt, "corrupt or truncated data: PSD");
    } else {
        return fail(kLibErrUnsupported,
                    "unsupported PSD compression " + std::to_string(p.compression));
    }
    return 1;
}

int parsePsd(Bytes f, HeaderInfo& info)
{
    PsdLayout p;
    if (!layoutOf(f, p)) return 0;
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(p.width);
    d.height = static_cast<int32_t>(p.height);
    d.xDpi = d.yDpi = p.dpi;
    switch (p.mode) {
    case 1:
        d.bitCount = 8;
        d.colorType = QF_COLOR_GREY8;
        break;
    case 2:
        d.bitCount = 8;
        d.colorType = QF_COLOR_PALETTE8;
        d.palette = p.palette;
        break;
    case 3:
        d.bitCount = 24;
        d.colorType = QF_COLOR_RGB;
        break;
    default:
        d.bitCount = 32;
        d.colorType = QF_COLOR_CMYK32;
        break;
    }
    return 1;
}

// Expands one PackBits row; false when the data runs out or overflows the row.
bool unpackBits(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize)
{
    size_t i = 0, o = 0;
    while (o < outSize) {
        if (i >= inSize) return false;
        const int8_t n = static_cast<int8_t>(in[i++]);
        if (n >= 0) {
            const size_t len = size_t(n) + 1;
            if (i + len > inSize || o + len > outSize) return false;
            std::memcpy(out + o, in + i, len);
            i += len;
            o += len;
        } else if (n != -128) {
            const size_t len = size_t(1 - n);
            if (i >= inSize || o + len > outSize) return false;
            std::memset(out + o, in[i++], len);
            o += len;
        }
    }
    return true;
}

int readPsd(Bytes f, const HeaderInfo&, Part part, RowSink& sink)
{
    if (part != Part::Main) return fail(kLibErrArgument, "PSD files have no preview or mask here");
    PsdLayout p;
    if (!layoutOf(f, p)) return 0;
    ByteReader r(f.data, f.size, true);
    const size_t w = p.width, h = p.height, bytes = p.depth / 8, rowLen = w * bytes;
    // Offsets of every (channel, row) run, so rows stream without a whole-image buffer.
    std::vector<size_t> rowStart;
    std::vector<uint32_t> rowSize;
    if (p.compression == 1) {
        const size_t runs = size_t{p.colourChannels} * h;
        rowStart.resize(runs);
        rowSize.resize(runs);
        size_t at = p.dataAt;
        for (size_t i = 0; i < runs; ++i) {
            uint32_t n = 0;
            r.u16(p.countsAt + 2 * i, n);
            rowStart[i] = at;
            rowSize[i] = n;
            at += n;
        }
        if (at > f.size) return fail(kLibErrCorrupt, "corrupt or truncated data: PSD image data");
    }
    std::vector<uint8_t> plane(rowLen), out(w * p.colourChannels);
    for (size_t y = 0; y < h; ++y) {
        for (size_t c = 0; c < p.colourChannels; ++c) {
            const uint8_t* src;
            if (p.compression == 1) {
                const size_t run = c * h + y;
                if (!unpackBits(f.data + rowStart[run], rowSize[run], plane.data(), rowLen))
                    return fail(kLibErrCorrupt, "corrupt or truncated data: PSD image data");
                src = plane.data();
            } else {
                src = f.data + p.dataAt + (c * h + y) * rowLen;
            }
            // 16-bit samples are big-endian: keep the high byte.
            for (size_t x = 0; x < w; ++x)
                out[x * p.colourChannels + c] = src[x * bytes];
        }
        if (!sink.put(static_cast<int32_t>(y), out.data()))
            return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

} // namespace

extern const CodecOps kPsdOps = {parsePsd, readPsd, nullptr};

} // namespace mio::stillimage
