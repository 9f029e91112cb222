// SPDX-License-Identifier: MIT
// Older formats read by hand: EPS (through its TIFF preview), MacPaint, Microsoft Paint and
// IFF ILBM/PBM.
#include <cstring>
#include <string>
#include <vector>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"

namespace mio::stillimage {

extern const CodecOps kTiffOps;

namespace {

int corrupt(const char* what)
{
    return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + what);
}

// Expands PackBits (also IFF's ByteRun1) into exactly `n` bytes; false when the input ends.
bool unpackBits(const uint8_t*& in, const uint8_t* end, uint8_t* out, size_t n)
{
    size_t o = 0;
    while (o < n) {
        if (in >= end) return false;
        const int8_t c = static_cast<int8_t>(*in++);
        if (c >= 0) {
            const size_t len = size_t(c) + 1;
            if (size_t(end - in) < len) return false;
            for (size_t i = 0; i < len; ++i, ++in)
                if (o < n) out[o++] = *in;
        } else if (c != -128) {
            if (in >= end) return false;
            const uint8_t v = *in++;
            for (int i = 0; i < 1 - c; ++i)
                if (o < n) out[o++] = v;
        }
    }
    return true;
}

// ---------------- EPS: the DOS binary header's TIFF preview ----------------

bool epsTiff(Bytes f, Bytes& tiff)
{
    ByteReader r(f.data, f.size);
    uint32_t at = 0, len = 0;
    if (!r.u32(20, at) || !r.u32(24, len) || at == 0 || len == 0 || !r.has(at, len)) return false;
    tiff = {f.data + at, len};
    return true;
}

int parseEps(Bytes f, HeaderInfo& info)
{
    Bytes tiff;
    if (!epsTiff(f, tiff))
        return fail(kLibErrUnsupported,
                    "unsupported EPS: PostScript is not rendered and the file has no TIFF preview");
    return kTiffOps.parse(tiff, info);
}

int readEps(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    Bytes tiff;
    if (!epsTiff(f, tiff)) return fail(kLibErrUnsupported, "unsupported EPS");
    return kTiffOps.read(tiff, info, part, sink);
}

// ---------------- MacPaint: 576 x 720, PackBits rows, 1 is black ----------------

constexpr int32_t kMacWidth = 576, kMacHeight = 720;

size_t macPaintData(Bytes f)
{
    // A MacBinary wrapper adds 128 bytes in front, with the file type "PNTG" at 65.
    const bool wrapped = f.size > 128 + 512 && f.data[0] == 0 && f.data[1] > 0 && f.data[1] < 64 &&
                         std::memcmp(f.data + 65, "PNTG", 4) == 0;
    return (wrapped ? 128 : 0) + 512;
}

int parseMacPaint(Bytes f, HeaderInfo& info)
{
    const size_t at = macPaintData(f);
    if (f.size <= at) return corrupt("MacPaint file too short");
    // Without a signature the first row must unpack cleanly.
    const uint8_t* in = f.data + at;
    uint8_t row[72];
    if (!unpackBits(in, f.data + f.size, row, sizeof(row)))
        return fail(kLibErrFormat, "not a valid MacPaint file");
    info.main.width = kMacWidth;
    info.main.height = kMacHeight;
    info.main.bitCount = 1;
    info.main.colorType = QF_COLOR_BILEVEL;
    info.main.xDpi = info.main.yDpi = 72;
    return 1;
}

int readMacPaint(Bytes f, const HeaderInfo&, Part part, RowSink& sink)
{
    if (part != Part::Main) return fail(kLibErrArgument, "MacPaint files have no preview or mask");
    const uint8_t* in = f.data + macPaintData(f);
    const uint8_t* end = f.data + f.size;
    uint8_t row[72];
    for (int32_t y = 0; y < kMacHeight; ++y) {
        if (!unpackBits(in, end, row, sizeof(row))) return corrupt("MacPaint data");
        for (uint8_t& b : row)
            b = static_cast<uint8_t>(~b);
        if (!sink.put(y, row)) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

// ---------------- Microsoft Paint 1.x ("DanM", raw) and 2.0 ("LinS", run-length) ----------

int parseMsp(Bytes f, HeaderInfo& info)
{
    ByteReader r(f.data, f.size);
    uint32_t w = 0, h = 0;
    if (!r.u16(4, w) || !r.u16(6, h) || f.size < 32) return corrupt("Microsoft Paint header");
    if (!sizeAcceptable(w, h)) return corrupt("image size out of range");
    const bool v1 = std::memcmp(f.data, "DanM", 4) == 0;
    if (v1 && 32 + uint64_t{(w + 7) / 8} * h > f.size) return corrupt("Microsoft Paint data");
    if (!v1 && 32 + uint64_t{h} * 2 > f.size) return corrupt("Microsoft Paint row table");
    info.main.width = static_cast<int32_t>(w);
    info.main.height = static_cast<int32_t>(h);
    info.main.bitCount = 1;
    info.main.colorType = QF_COLOR_BILEVEL;
    return 1;
}

int readMsp(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part != Part::Main)
        return fail(kLibErrArgument, "Microsoft Paint files have no preview or mask");
    const size_t w = static_cast<size_t>(info.main.width),
                 h = static_cast<size_t>(info.main.height);
    const size_t bytes = (w + 7) / 8;
    std::vector<uint8_t> row(bytes);
    if (std::memcmp(f.data, "DanM", 4) == 0) {
        for (size_t y = 0; y < h; ++y)
            if (!sink.put(static_cast<int32_t>(y), f.data + 32 + y * bytes))
                return fail(kLibErrGeneric, "reading stopped");
        return 1;
    }
    ByteReader r(f.data, f.size);
    size_t at = 32 + h * 2;
    for (size_t y = 0; y < h; ++y) {
        uint32_t len = 0;
        r.u16(32 + y * 2, len);
        if (at + len > f.size) return corrupt("Microsoft Paint data");
        std::fill(row.begin(), row.end(), 0xFF);
        // Runs: 0, count, value repeats a byte; n > 0 copies n bytes.
        size_t o = 0, i = at;
        while (i < at + len && o < bytes) {
            const uint8_t n = f.data[i++];
            if (n == 0) {
                if (i + 2 > at + len) return corrupt("Microsoft Paint data");
                const uint8_t count = f.data[i], value = f.data[i + 1];
                i += 2;
                for (int k = 0; k < count && o < bytes; ++k)
                    row[o++] = value;
            } else {
                if (i + n > at + len) return corrupt("Microsoft Paint data");
                for (int k = 0; k < n && o < bytes; ++k)
                    row[o++] = f.data[i + size_t(k)];
                i += n;
            }
        }
        at += len;
        if (!sink.put(static_cast<int32_t>(y), row.data()))
            return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

// ---------------- IFF ILBM (bit planes) and PBM (chunky) ----------------

struct IffLayout {
    bool chunky = false;
    uint32_t width = 0, height = 0, planes = 0, masking = 0, compression = 0, camg = 0;
    PaletteColors palette;
    size_t body = 0, bodySize = 0;
};

int iffLayout(Bytes f, IffLayout& l)
{
    ByteReader r(f.data, f.size, true);
    l.chunky = std::memcmp(f.data + 8, "PBM ", 4) == 0;
    bool header = false;
    for (size_t at = 12; at + 8 <= f.size;) {
        uint32_t len = 0;
        r.u32(at + 4, len);
        const uint8_t* id = f.data + at;
        const size_t body = at + 8;
        if (!r.has(body, len)) {
            if (std::memcmp(id, "BODY", 4) == 0 && header) {
                l.body = body;
                l.bodySize = f.size - body; // cut short: rows will tell
                break;
            }
            return corrupt("IFF chunk");
        }
        if (std::memcmp(id, "BMHD", 4) == 0 && len >= 20) {
            r.u16(body, l.width);
            r.u16(body + 2, l.height);
            l.planes = f.data[body + 8];
            l.masking = f.data[body + 9];
            l.compression = f.data[body + 10];
            header = true;
        } else if (std::memcmp(id, "CMAP", 4) == 0) {
            l.palette.count = static_cast<int>(std::min<uint32_t>(len / 3, 256));
            for (int i = 0; i < l.palette.count; ++i)
                l.palette.entries[i] = {f.data[body + 3 * size_t(i)],
                                        f.data[body + 3 * size_t(i) + 1],
                                        f.data[body + 3 * size_t(i) + 2]};
        } else if (std::memcmp(id, "CAMG", 4) == 0 && len >= 4) {
            r.u32(body, l.camg);
        } else if (std::memcmp(id, "BODY", 4) == 0) {
            l.body = body;
            l.bodySize = len;
        }
        at = body + len + (len & 1);
    }
    if (!header || !l.body) return corrupt("IFF image header or body missing");
    if (!sizeAcceptable(l.width, l.height)) return corrupt("image size out of range");
    if (l.compression > 1) return fail(kLibErrUnsupported, "unsupported IFF compression");
    if (l.camg & 0x800) return fail(kLibErrUnsupported, "unsupported IFF hold-and-modify picture");
    if (l.chunky ? l.planes != 8 : (l.planes == 0 || (l.planes > 8 && l.planes != 24)))
        return fail(kLibErrUnsupported, "unsupported IFF plane count " + std::to_string(l.planes));
    if (l.planes <= 8 && l.palette.count == 0) {
        l.palette.count = 1 << l.planes;
        for (int i = 0; i < l.palette.count; ++i) {
            const auto v = static_cast<uint8_t>(i * 255 / (l.palette.count - 1));
            l.palette.entries[i] = {v, v, v};
        }
    }
    if ((l.camg & 0x80) && l.planes == 6) { // extra half-brite: 32 darker copies
        for (int i = 0; i < 32; ++i) {
            const Rgb c = l.palette.entries[i];
            l.palette.entries[32 + i] = {uint8_t(c.r / 2), uint8_t(c.g / 2), uint8_t(c.b / 2)};
        }
        l.palette.count = 64;
    }
    return 1;
}

int parseIff(Bytes f, HeaderInfo& info)
{
    IffLayout l;
    if (!iffLayout(f, l)) return 0;
    if (l.planes == 24) {
        info.main = rgbDesc(static_cast<int32_t>(l.width), static_cast<int32_t>(l.height));
    } else {
        info.main.width = static_cast<int32_t>(l.width);
        info.main.height = static_cast<int32_t>(l.height);
        info.main.bitCount = 8;
        info.main.colorType = QF_COLOR_PALETTE8;
        info.main.palette = l.palette;
    }
    return 1;
}

int readIff(Bytes f, const HeaderInfo&, Part part, RowSink& sink)
{
    if (part != Part::Main) return fail(kLibErrArgument, "IFF files have no preview or mask here");
    IffLayout l;
    if (!iffLayout(f, l)) return 0;
    const size_t w = l.width;
    const size_t planeBytes = l.chunky ? (w + 1) & ~size_t{1} : ((w + 15) / 16) * 2;
    const size_t planes = l.chunky ? 1 : l.planes + (l.masking == 1 ? 1 : 0);
    std::vector<uint8_t> line(planeBytes * planes), out(w * 3);
    const uint8_t* in = f.data + l.body;
    const uint8_t* end = in + l.bodySize;
    for (uint32_t y = 0; y < l.height; ++y) {
        if (l.compression == 1) {
            for (size_t p = 0; p < planes; ++p)
                if (!unpackBits(in, end, line.data() + p * planeBytes, planeBytes))
                    return corrupt("IFF body");
        } else {
            if (size_t(end - in) < line.size()) return corrupt("IFF body");
            std::memcpy(line.data(), in, line.size());
            in += line.size();
        }
        if (l.chunky) {
            std::memcpy(out.data(), line.data(), w);
        } else {
            for (size_t x = 0; x < w; ++x) {
                uint32_t v = 0;
                for (size_t p = 0; p < l.planes; ++p)
                    v |= uint32_t((line[p * planeBytes + x / 8] >> (7 - x % 8)) & 1) << p;
                if (l.planes == 24) {
                    out[3 * x] = uint8_t(v), out[3 * x + 1] = uint8_t(v >> 8),
                            out[3 * x + 2] = uint8_t(v >> 16);
                } else {
                    out[x] = uint8_t(v);
                }
            }
        }
        if (!sink.put(static_cast<int32_t>(y), out.data()))
            return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

} // namespace

extern const CodecOps kEpsOps = {parseEps, readEps, nullptr};
extern const CodecOps kMacPaintOps = {parseMacPaint, readMacPaint, nullptr};
extern const CodecOps kMspOps = {parseMsp, readMsp, nullptr};
extern const CodecOps kIffOps = {parseIff, readIff, nullptr};

} // namespace mio::stillimage
