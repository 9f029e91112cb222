// SPDX-License-Identifier: MIT
// Small uncompressed or run-length formats decoded by hand: PNM/PAM, Targa, Sun raster,
// WBMP and PCX, with writers for PNM, Targa and PCX.
#include <cstring>
#include <string>
#include <vector>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

// A whole picture in the layout its descriptor says, top-down, plus an optional alpha plane.
struct Decoded {
    ImageDesc desc;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> alpha;
    size_t stride = 0;
};

int corrupt(const char* what)
{
    return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + what);
}

int deliver(const Decoded& d, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "the file has no preview image");
    if (part == Part::Mask && d.alpha.empty())
        return fail(kLibErrArgument, "the image has no mask");
    const size_t w = static_cast<size_t>(d.desc.width);
    for (int32_t y = 0; y < d.desc.height; ++y) {
        const uint8_t* row = part == Part::Mask ? d.alpha.data() + size_t(y) * w
                                                : d.pixels.data() + size_t(y) * d.stride;
        if (!sink.put(y, row)) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

bool allocate(Decoded& d, size_t fileSize, uint64_t maxRatio)
{
    d.stride = rowBytes(d.desc.width, d.desc.bitCount);
    const uint64_t bytes = uint64_t{d.stride} * static_cast<uint64_t>(d.desc.height);
    if (!expansionPlausible(bytes, fileSize, maxRatio)) return false;
    d.pixels.assign(static_cast<size_t>(bytes), 0);
    return true;
}

// ---------------- PNM / PAM ----------------

struct PnmReader {
    Bytes f;
    size_t at = 2;
    bool token(std::string& out)
    {
        out.clear();
        while (at < f.size) {
            const char c = static_cast<char>(f.data[at]);
            if (c == '#') {
                while (at < f.size && f.data[at] != '\n')
                    ++at;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++at;
            } else {
                break;
            }
        }
        while (at < f.size && !std::isspace(f.data[at]) && f.data[at] != '#')
            out.push_back(static_cast<char>(f.data[at++]));
        return !out.empty();
    }
    bool number(uint32_t& v)
    {
        std::string t;
        if (!token(t) || t.size() > 9) return false;
        for (char c : t)
            if (c < '0' || c > '9') return false;
        v = static_cast<uint32_t>(std::stoul(t));
        return true;
    }
};

struct PnmHeader {
    char kind = 0;
    uint32_t width = 0, height = 0, maxval = 1, depth = 1;
    bool alpha = false;
    size_t dataAt = 0;
};

int pnmHeader(Bytes f, PnmHeader& h)
{
    PnmReader r{f};
    h.kind = static_cast<char>(f.data[1]);
    if (h.kind == '7') {
        std::string t, tuple;
        while (r.token(t) && t != "ENDHDR") {
            uint32_t v = 0;
            if (t == "WIDTH" && r.number(v))
                h.width = v;
            else if (t == "HEIGHT" && r.number(v))
                h.height = v;
            else if (t == "DEPTH" && r.number(v))
                h.depth = v;
            else if (t == "MAXVAL" && r.number(v))
                h.maxval = v;
            else if (t == "TUPLTYPE")
                r.token(tuple);
        }
        if (t != "ENDHDR") return corrupt("PAM header");
        h.alpha = tuple.find("_ALPHA") != std::string::npos;
        if (h.depth < 1 || h.depth > 4) return fail(kLibErrUnsupported, "unsupported PAM depth");
    } else {
        if (!r.number(h.width) || !r.number(h.height)) return corrupt("PNM header");
        if (h.kind != '1' && h.kind != '4' && !r.number(h.maxval)) return corrupt("PNM header");
        h.depth = (h.kind == '3' || h.kind == '6') ? 3 : 1;
    }
    if (h.maxval == 0 || h.maxval > 65535) return corrupt("PNM maximum value");
    if (!sizeAcceptable(h.width, h.height)) return corrupt("image size out of range");
    h.dataAt = r.at + 1; // one whitespace byte ends the header
    return 1;
}

ImageDesc pnmDesc(const PnmHeader& h)
{
    ImageDesc d;
    d.width = static_cast<int32_t>(h.width);
    d.height = static_cast<int32_t>(h.height);
    const bool wide = h.maxval > 255;
    const uint32_t colours = h.depth >= 3 ? 3 : 1;
    if (h.kind == '1' || h.kind == '4' || (h.kind == '7' && h.maxval == 1 && colours == 1)) {
        d.bitCount = 1;
        d.colorType = QF_COLOR_BILEVEL;
    } else if (colours == 1) {
        d.bitCount = wide ? 16 : 8;
        d.colorType = wide ? QF_COLOR_GREY16 : QF_COLOR_GREY8;
    } else {
        d.bitCount = wide ? 48 : 24;
        d.colorType = wide ? QF_COLOR_RGB48 : QF_COLOR_RGB;
    }
    return d;
}

int parsePnm(Bytes file, HeaderInfo& info)
{
    PnmHeader h;
    if (!pnmHeader(file, h)) return 0;
    info.main = pnmDesc(h);
    info.maskCount = h.alpha ? 1 : 0;
    return 1;
}

int readPnm(Bytes f, const HeaderInfo&, Part part, RowSink& sink)
{
    PnmHeader h;
    if (!pnmHeader(f, h)) return 0;
    Decoded d;
    d.desc = pnmDesc(h);
    const bool ascii = h.kind >= '1' && h.kind <= '3';
    if (!allocate(d, f.size, ascii ? 8 : 8)) return corrupt("image larger than the file");
    const size_t w = h.width, samples = h.depth;
    const bool wide = h.maxval > 255;
    if (h.alpha) d.alpha.assign(w * h.height, 255);
    PnmReader r{f, h.dataAt - 1};
    size_t at = h.dataAt;
    auto sample = [&](uint32_t& v) -> bool {
        if (ascii) {
            if (h.kind == '1') {
                while (r.at < f.size && (std::isspace(f.data[r.at]) || f.data[r.at] == '#')) {
                    if (f.data[r.at] == '#')
                        while (r.at < f.size && f.data[r.at] != '\n')
                            ++r.at;
                    else
                        ++r.at;
                }
                if (r.at >= f.size) return false;
                v = f.data[r.at++] == '1' ? 1 : 0;
                return true;
            }
            return r.number(v);
        }
        if (wide) {
            if (at + 2 > f.size) return false;
            v = uint32_t{f.data[at]} << 8 | f.data[at + 1];
            at += 2;
        } else {
            if (at >= f.size) return false;
            v = f.data[at++];
        }
        return true;
    };
    for (size_t y = 0; y < h.height; ++y) {
        uint8_t* out = d.pixels.data() + y * d.stride;
        if (h.kind == '4') {
            const size_t n = (w + 7) / 8;
            if (at + n > f.size) return corrupt("PBM data");
            for (size_t i = 0; i < n; ++i)
                out[i] = static_cast<uint8_t>(~f.data[at + i]); // PBM: 1 is black
            at += n;
            continue;
        }
        for (size_t x = 0; x < w; ++x) {
            uint32_t v[4] = {};
            for (size_t s = 0; s < samples; ++s)
                if (!sample(v[s])) return corrupt("PNM data");
            if (d.desc.bitCount == 1) {
                const bool white = h.kind == '1' ? v[0] == 0 : v[0] != 0;
                if (white) out[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                continue;
            }
            const size_t colours = d.desc.bitCount == 8 || d.desc.bitCount == 16 ? 1 : 3;
            for (size_t c = 0; c < colours; ++c) {
                if (wide) {
                    const uint32_t s = v[c] * 65535 / h.maxval;
                    out[(x * colours + c) * 2] = static_cast<uint8_t>(s);
                    out[(x * colours + c) * 2 + 1] = static_cast<uint8_t>(s >> 8);
                } else {
                    out[x * colours + c] = static_cast<uint8_t>(v[c] * 255 / h.maxval);
                }
            }
            if (h.alpha) d.alpha[y * w + x] = static_cast<uint8_t>(v[samples - 1] * 255 / h.maxval);
        }
    }
    return deliver(d, part, sink);
}

int writePnm(const WriteJob& job, RowSource& rows, RowSource*)
{
    OutputFile out;
    if (!out.open(job.path)) return 0;
    const ImageDesc& d = job.main;
    const std::string head =
        "P6\n" + std::to_string(d.width) + " " + std::to_string(d.height) + "\n255\n";
    std::fwrite(head.data(), 1, head.size(), out.stream());
    RgbRowReader rgb{rows, d};
    std::vector<uint8_t> line(static_cast<size_t>(d.width) * 3);
    for (int32_t y = 0; y < d.height; ++y) {
        if (!rgb.rgb(y, line.data()))
            return fail(kLibErrArgument, "the caller supplied no pixel rows");
        std::fwrite(line.data(), 1, line.size(), out.stream());
    }
    return out.commit();
}

// ---------------- Targa ----------------

struct TgaHeader {
    uint32_t idLength, mapType, type, mapFirst, mapLength, mapBits, width, height, bits, descriptor;
};

bool tgaHeader(Bytes f, TgaHeader& h)
{
    ByteReader r(f.data, f.size);
    if (f.size < 18) return false;
    h.idLength = f.data[0];
    h.mapType = f.data[1];
    h.type = f.data[2];
    r.u16(3, h.mapFirst);
    r.u16(5, h.mapLength);
    h.mapBits = f.data[7];
    r.u16(12, h.width);
    r.u16(14, h.height);
    h.bits = f.data[16];
    h.descriptor = f.data[17];
    const uint32_t base = h.type & ~8u;
    if (h.mapType > 1 || (base != 1 && base != 2 && base != 3) || h.type > 11) return false;
    if (base == 1 && (h.mapType != 1 || h.bits != 8)) return false;
    if (base == 2 && h.bits != 15 && h.bits != 16 && h.bits != 24 && h.bits != 32) return false;
    if (base == 3 && h.bits != 8) return false;
    return h.width > 0 && h.height > 0;
}

ImageDesc tgaDesc(const TgaHeader& h)
{
    ImageDesc d;
    d.width = static_cast<int32_t>(h.width);
    d.height = static_cast<int32_t>(h.height);
    switch (h.type & ~8u) {
    case 1:
        d.bitCount = 8;
        d.colorType = QF_COLOR_PALETTE8;
        break;
    case 3:
        d.bitCount = 8;
        d.colorType = QF_COLOR_GREY8;
        break;
    default:
        d.bitCount = h.bits == 32 ? 32 : h.bits == 24 ? 24 : 16;
        d.colorType = d.bitCount == 16 ? QF_COLOR_16BIT : QF_COLOR_RGB;
    }
    return d;
}

int parseTga(Bytes f, HeaderInfo& info)
{
    TgaHeader h{};
    if (!tgaHeader(f, h)) return fail(kLibErrFormat, "not a valid Targa file");
    info.main = tgaDesc(h);
    info.maskCount = (h.bits == 32 && (h.descriptor & 15) != 0) ? 1 : 0;
    if (info.main.colorType == QF_COLOR_PALETTE8) {
        const size_t entry = (h.mapBits + 7) / 8;
        const size_t at = 18 + h.idLength;
        if (at + entry * h.mapLength > f.size || entry < 2) return corrupt("Targa colour map");
        info.main.palette.count =
            static_cast<int>(std::min<uint32_t>(h.mapFirst + h.mapLength, 256));
        for (uint32_t i = 0; i < h.mapLength && h.mapFirst + i < 256; ++i) {
            const uint8_t* p = f.data + at + i * entry;
            Rgb c;
            if (entry == 2) {
                const unsigned v = static_cast<unsigned>(p[0] | p[1] << 8);
                c = {uint8_t(((v >> 10) & 31) << 3), uint8_t(((v >> 5) & 31) << 3),
                     uint8_t((v & 31) << 3)};
            } else {
                c = {p[2], p[1], p[0]};
            }
            info.main.palette.entries[h.mapFirst + i] = c;
        }
    }
    return 1;
}

int readTga(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    TgaHeader h{};
    if (!tgaHeader(f, h)) return fail(kLibErrFormat, "not a valid Targa file");
    const size_t bpp = (h.bits + 7) / 8, w = h.width, hgt = h.height;
    size_t at = 18 + h.idLength + (h.mapType ? ((h.mapBits + 7) / 8) * h.mapLength : 0);
    const uint64_t bytes = uint64_t{w} * hgt * bpp;
    if (!expansionPlausible(bytes, f.size, 128 * 4)) return corrupt("image larger than the file");
    std::vector<uint8_t> raw(static_cast<size_t>(bytes));
    if (h.type & 8) {
        size_t o = 0;
        while (o < raw.size()) {
            if (at >= f.size) return corrupt("Targa RLE data");
            const uint8_t c = f.data[at++];
            const size_t n = (c & 0x7F) + 1u;
            if (c & 0x80) {
                if (at + bpp > f.size) return corrupt("Targa RLE data");
                for (size_t i = 0; i < n && o < raw.size(); ++i, o += bpp)
                    std::memcpy(raw.data() + o, f.data + at, bpp);
                at += bpp;
            } else {
                const size_t len = std::min(n * bpp, raw.size() - o);
                if (at + len > f.size) return corrupt("Targa data");
                std::memcpy(raw.data() + o, f.data + at, len);
                at += n * bpp;
                o += len;
            }
        }
    } else {
        if (at + raw.size() > f.size) return corrupt("Targa data");
        std::memcpy(raw.data(), f.data + at, raw.size());
    }
    Decoded d;
    d.desc = info.main;
    d.stride = rowBytes(d.desc.width, d.desc.bitCount);
    d.pixels.assign(d.stride * hgt, 0);
    if (info.maskCount) d.alpha.assign(w * hgt, 0);
    const bool topDown = (h.descriptor & 0x20) != 0;
    for (size_t y = 0; y < hgt; ++y) {
        const uint8_t* in = raw.data() + (topDown ? y : hgt - 1 - y) * w * bpp;
        uint8_t* out = d.pixels.data() + y * d.stride;
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = in + x * bpp;
            if (bpp >= 3) {
                out[x * bpp] = p[2];
                out[x * bpp + 1] = p[1];
                out[x * bpp + 2] = p[0];
                if (bpp == 4) out[x * 4 + 3] = p[3];
                if (!d.alpha.empty()) d.alpha[y * w + x] = p[3];
            } else {
                std::memcpy(out + x * bpp, p, bpp);
                if (bpp == 2) out[x * 2 + 1] &= 0x7F;
            }
        }
    }
    return deliver(d, part, sink);
}

int writeTga(const WriteJob& job, RowSource& rows, RowSource*)
{
    const ImageDesc& d = job.main;
    const bool palette = d.bitCount == 8;
    uint8_t head[18] = {};
    head[1] = palette ? 1 : 0;
    head[2] = palette ? 1 : 2;
    head[5] = palette ? static_cast<uint8_t>(d.palette.count) : 0;
    head[6] = palette ? static_cast<uint8_t>(d.palette.count >> 8) : 0;
    head[7] = palette ? 24 : 0;
    head[12] = static_cast<uint8_t>(d.width);
    head[13] = static_cast<uint8_t>(d.width >> 8);
    head[14] = static_cast<uint8_t>(d.height);
    head[15] = static_cast<uint8_t>(d.height >> 8);
    head[16] = palette ? 8 : 24;
    head[17] = 0x20; // rows top-down
    if (d.width > 65535 || d.height > 65535)
        return fail(kLibErrArgument, "bitmap too large for Targa");
    OutputFile out;
    if (!out.open(job.path)) return 0;
    std::fwrite(head, 1, sizeof(head), out.stream());
    for (int i = 0; palette && i < d.palette.count; ++i) {
        const uint8_t bgr[3] = {d.palette.entries[i].b, d.palette.entries[i].g,
                                d.palette.entries[i].r};
        std::fwrite(bgr, 1, 3, out.stream());
    }
    RgbRowReader rgb{rows, d};
    std::vector<uint8_t> line(static_cast<size_t>(d.width) * 3);
    for (int32_t y = 0; y < d.height; ++y) {
        if (palette) {
            const uint8_t* in = rows.row(y);
            if (!in) return fail(kLibErrArgument, "the caller supplied no pixel rows");
            std::fwrite(in, 1, static_cast<size_t>(d.width), out.stream());
            continue;
        }
        if (!rgb.rgb(y, line.data()))
            return fail(kLibErrArgument, "the caller supplied no pixel rows");
        for (size_t x = 0; x < static_cast<size_t>(d.width); ++x)
            std::swap(line[3 * x], line[3 * x + 2]);
        std::fwrite(line.data(), 1, line.size(), out.stream());
    }
    return out.commit();
}

// ---------------- Sun raster ----------------

struct SunHeader {
    uint32_t width, height, depth, length, type, mapType, mapLength;
};

bool sunHeader(Bytes f, SunHeader& h)
{
    ByteReader r(f.data, f.size, true);
    return r.u32(4, h.width) && r.u32(8, h.height) && r.u32(12, h.depth) && r.u32(16, h.length) &&
           r.u32(20, h.type) && r.u32(24, h.mapType) && r.u32(28, h.mapLength) && h.type <= 3 &&
           h.mapType <= 1 && (h.depth == 1 || h.depth == 8 || h.depth == 24 || h.depth == 32);
}

int parseSun(Bytes f, HeaderInfo& info)
{
    SunHeader h{};
    if (!sunHeader(f, h)) return corrupt("Sun raster header");
    if (!sizeAcceptable(h.width, h.height)) return corrupt("image size out of range");
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(h.width);
    d.height = static_cast<int32_t>(h.height);
    if (h.depth == 1) {
        d.bitCount = 1;
        d.colorType = QF_COLOR_BILEVEL;
    } else if (h.depth == 8) {
        d.bitCount = 8;
        d.colorType = h.mapType ? QF_COLOR_PALETTE8 : QF_COLOR_GREY8;
        if (h.mapType) {
            const uint32_t n = std::min<uint32_t>(h.mapLength / 3, 256);
            if (32 + uint64_t{h.mapLength} > f.size) return corrupt("Sun raster colour map");
            d.palette.count = static_cast<int>(n);
            for (uint32_t i = 0; i < n; ++i)
                d.palette.entries[i] = {f.data[32 + i], f.data[32 + h.mapLength / 3 + i],
                                        f.data[32 + 2 * (h.mapLength / 3) + i]};
        }
    } else {
        d.bitCount = 24;
        d.colorType = QF_COLOR_RGB;
    }
    return 1;
}

int readSun(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    SunHeader h{};
    if (!sunHeader(f, h)) return corrupt("Sun raster header");
    const size_t w = h.width, inStride = ((w * h.depth + 15) / 16) * 2;
    const uint64_t bytes = uint64_t{inStride} * h.height;
    if (!expansionPlausible(bytes, f.size, 128)) return corrupt("image larger than the file");
    std::vector<uint8_t> raw(static_cast<size_t>(bytes));
    size_t at = 32 + uint64_t{h.mapLength};
    if (h.type == 2) {
        size_t o = 0;
        while (o < raw.size() && at < f.size) {
            const uint8_t c = f.data[at++];
            if (c != 0x80) {
                raw[o++] = c;
            } else {
                if (at >= f.size) break;
                const uint8_t n = f.data[at++];
                if (n == 0) {
                    raw[o++] = 0x80;
                } else {
                    if (at >= f.size) break;
                    const uint8_t v = f.data[at++];
                    for (size_t i = 0; i <= n && o < raw.size(); ++i)
                        raw[o++] = v;
                }
            }
        }
        if (o < raw.size()) return corrupt("Sun raster RLE data");
    } else {
        if (at + raw.size() > f.size) return corrupt("Sun raster data");
        std::memcpy(raw.data(), f.data + at, raw.size());
    }
    Decoded d;
    d.desc = info.main;
    d.stride = rowBytes(d.desc.width, d.desc.bitCount);
    d.pixels.assign(d.stride * h.height, 0);
    const size_t bpp = h.depth / 8;
    for (size_t y = 0; y < h.height; ++y) {
        const uint8_t* in = raw.data() + y * inStride;
        uint8_t* out = d.pixels.data() + y * d.stride;
        if (h.depth == 1) {
            for (size_t i = 0; i < d.stride; ++i)
                out[i] = static_cast<uint8_t>(~in[i]); // 1 is black
        } else if (h.depth == 8) {
            std::memcpy(out, in, w);
        } else {
            const size_t skip = bpp == 4 ? 1 : 0; // XBGR / XRGB
            for (size_t x = 0; x < w; ++x) {
                const uint8_t* p = in + x * bpp + skip;
                if (h.type == 3) {
                    out[3 * x] = p[0], out[3 * x + 1] = p[1], out[3 * x + 2] = p[2];
                } else {
                    out[3 * x] = p[2], out[3 * x + 1] = p[1], out[3 * x + 2] = p[0];
                }
            }
        }
    }
    return deliver(d, part, sink);
}

// ---------------- WBMP ----------------

bool wbmpHeader(Bytes f, uint32_t& w, uint32_t& h, size_t& at)
{
    if (f.size < 4 || f.data[0] != 0 || f.data[1] != 0) return false;
    at = 2;
    auto multiByte = [&](uint32_t& v) {
        v = 0;
        for (int i = 0; i < 4 && at < f.size; ++i) {
            const uint8_t b = f.data[at++];
            v = (v << 7) | (b & 0x7F);
            if (!(b & 0x80)) return true;
        }
        return false;
    };
    return multiByte(w) && multiByte(h) && w > 0 && h > 0;
}

int parseWbmp(Bytes f, HeaderInfo& info)
{
    uint32_t w = 0, h = 0;
    size_t at = 0;
    if (!wbmpHeader(f, w, h, at)) return fail(kLibErrFormat, "not a valid WBMP file");
    if (!sizeAcceptable(w, h)) return corrupt("image size out of range");
    // WBMP has no signature: the data must fill the file exactly.
    if (at + ((w + 7) / 8) * uint64_t{h} != f.size)
        return fail(kLibErrFormat, "not a valid WBMP file");
    info.main.width = static_cast<int32_t>(w);
    info.main.height = static_cast<int32_t>(h);
    info.main.bitCount = 1;
    info.main.colorType = QF_COLOR_BILEVEL;
    return 1;
}

int readWbmp(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    uint32_t w = 0, h = 0;
    size_t at = 0;
    if (!wbmpHeader(f, w, h, at)) return fail(kLibErrFormat, "not a valid WBMP file");
    Decoded d;
    d.desc = info.main;
    d.stride = (w + 7) / 8;
    d.pixels.assign(f.data + at, f.data + f.size);
    return deliver(d, part, sink);
}

// ---------------- PCX ----------------

struct PcxHeader {
    uint32_t bits, planes, bytesPerLine, width, height, dpiX, dpiY;
};

bool pcxHeader(Bytes f, PcxHeader& h)
{
    ByteReader r(f.data, f.size);
    uint32_t x0, y0, x1, y1;
    if (f.size < 128 || !r.u16(4, x0) || !r.u16(6, y0) || !r.u16(8, x1) || !r.u16(10, y1))
        return false;
    h.bits = f.data[3];
    h.planes = f.data[65];
    r.u16(66, h.bytesPerLine);
    r.u16(12, h.dpiX);
    r.u16(14, h.dpiY);
    if (x1 < x0 || y1 < y0) return false;
    h.width = x1 - x0 + 1;
    h.height = y1 - y0 + 1;
    const bool ok = (h.bits == 1 && (h.planes == 1 || h.planes == 4)) ||
                    (h.bits == 8 && (h.planes == 1 || h.planes == 3)) ||
                    (h.bits == 4 && h.planes == 1);
    return ok && h.bytesPerLine * 8 >= h.width * h.bits;
}

int parsePcx(Bytes f, HeaderInfo& info)
{
    PcxHeader h{};
    if (!pcxHeader(f, h)) return corrupt("PCX header");
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(h.width);
    d.height = static_cast<int32_t>(h.height);
    d.xDpi = h.dpiX;
    d.yDpi = h.dpiY;
    if (h.planes == 3) {
        d.bitCount = 24;
        d.colorType = QF_COLOR_RGB;
    } else if (h.bits == 8) {
        d.bitCount = 8;
        d.colorType = QF_COLOR_PALETTE8;
        // The 256-colour palette follows a 0x0C byte at the end of the file.
        if (f.size < 128 + 769 || f.data[f.size - 769] != 0x0C) {
            d.colorType = QF_COLOR_GREY8;
        } else {
            d.palette.count = 256;
            const uint8_t* p = f.data + f.size - 768;
            for (int i = 0; i < 256; ++i)
                d.palette.entries[i] = {p[3 * i], p[3 * i + 1], p[3 * i + 2]};
        }
    } else {
        d.bitCount = h.planes == 4 || h.bits == 4 ? 4 : 1;
        d.colorType = QF_COLOR_PALETTE4;
        d.palette.count = 1 << d.bitCount;
        for (int i = 0; i < d.palette.count; ++i)
            d.palette.entries[i] = {f.data[16 + 3 * i], f.data[17 + 3 * i], f.data[18 + 3 * i]};
        if (d.bitCount == 1)
            d.palette.entries[0] = {0, 0, 0}, d.palette.entries[1] = {255, 255, 255};
    }
    if (!sizeAcceptable(h.width, h.height)) return corrupt("image size out of range");
    return 1;
}

int readPcx(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    PcxHeader h{};
    if (!pcxHeader(f, h)) return corrupt("PCX header");
    Decoded d;
    d.desc = info.main;
    if (!allocate(d, f.size, 64)) return corrupt("image larger than the file");
    const size_t scan = size_t{h.bytesPerLine} * h.planes;
    std::vector<uint8_t> line(scan);
    size_t at = 128;
    const size_t w = h.width;
    for (size_t y = 0; y < h.height; ++y) {
        size_t o = 0;
        while (o < scan) {
            if (at >= f.size) return corrupt("PCX data");
            uint8_t c = f.data[at++];
            size_t n = 1;
            if ((c & 0xC0) == 0xC0) {
                n = c & 0x3F;
                if (at >= f.size) return corrupt("PCX data");
                c = f.data[at++];
            }
            for (size_t i = 0; i < n && o < scan; ++i)
                line[o++] = c;
        }
        uint8_t* out = d.pixels.data() + y * d.stride;
        if (h.planes == 3) {
            for (size_t x = 0; x < w; ++x)
                for (size_t c = 0; c < 3; ++c)
                    out[3 * x + c] = line[c * h.bytesPerLine + x];
        } else if (h.planes == 4) {
            for (size_t x = 0; x < w; ++x) {
                uint8_t v = 0;
                for (size_t p = 0; p < 4; ++p)
                    v |= static_cast<uint8_t>(
                        ((line[p * h.bytesPerLine + x / 8] >> (7 - x % 8)) & 1) << p);
                out[x / 2] |= static_cast<uint8_t>((x & 1) ? v : v << 4);
            }
        } else {
            std::memcpy(out, line.data(), d.stride);
        }
    }
    return deliver(d, part, sink);
}

int writePcx(const WriteJob& job, RowSource& rows, RowSource*)
{
    const ImageDesc& d = job.main;
    if (d.width > 65535 || d.height > 65535)
        return fail(kLibErrArgument, "bitmap too large for PCX");
    const bool palette = d.bitCount == 8;
    const size_t w = static_cast<size_t>(d.width), bpl = (w + 1) & ~size_t{1};
    uint8_t head[128] = {0x0A, 5, 1, 8};
    head[8] = static_cast<uint8_t>(w - 1), head[9] = static_cast<uint8_t>((w - 1) >> 8);
    head[10] = static_cast<uint8_t>(d.height - 1),
    head[11] = static_cast<uint8_t>((d.height - 1) >> 8);
    const auto dpi = static_cast<uint32_t>(d.xDpi + 0.5);
    head[12] = head[14] = static_cast<uint8_t>(dpi),
    head[13] = head[15] = static_cast<uint8_t>(dpi >> 8);
    head[65] = palette ? 1 : 3;
    head[66] = static_cast<uint8_t>(bpl), head[67] = static_cast<uint8_t>(bpl >> 8);
    head[68] = 1;
    OutputFile out;
    if (!out.open(job.path)) return 0;
    FILE* fp = out.stream();
    std::fwrite(head, 1, sizeof(head), fp);
    RgbRowReader rgb{rows, d};
    std::vector<uint8_t> line(w * 3), planes(bpl * 3), packed;
    for (int32_t y = 0; y < d.height; ++y) {
        size_t n = bpl;
        std::fill(planes.begin(), planes.end(), 0);
        if (palette) {
            const uint8_t* in = rows.row(y);
            if (!in) return fail(kLibErrArgument, "the caller supplied no pixel rows");
            std::memcpy(planes.data(), in, w);
        } else {
            if (!rgb.rgb(y, line.data()))
                return fail(kLibErrArgument, "the caller supplied no pixel rows");
            for (size_t x = 0; x < w; ++x)
                for (size_t c = 0; c < 3; ++c)
                    planes[c * bpl + x] = line[3 * x + c];
            n = bpl * 3;
        }
        packed.clear();
        for (size_t i = 0; i < n;) {
            size_t run = 1;
            while (i + run < n && run < 63 && planes[i + run] == planes[i])
                ++run;
            if (run > 1 || (planes[i] & 0xC0) == 0xC0)
                packed.push_back(static_cast<uint8_t>(0xC0 | run));
            packed.push_back(planes[i]);
            i += run;
        }
        std::fwrite(packed.data(), 1, packed.size(), fp);
    }
    if (palette) {
        std::fputc(0x0C, fp);
        for (int i = 0; i < 256; ++i) {
            const Rgb c = i < d.palette.count ? d.palette.entries[i] : Rgb{0, 0, 0};
            const uint8_t rgbBytes[3] = {c.r, c.g, c.b};
            std::fwrite(rgbBytes, 1, 3, fp);
        }
    }
    return out.commit();
}

} // namespace

extern const CodecOps kPnmOps = {parsePnm, readPnm, writePnm};
extern const CodecOps kTgaOps = {parseTga, readTga, writeTga};
extern const CodecOps kSunOps = {parseSun, readSun, nullptr};
extern const CodecOps kWbmpOps = {parseWbmp, readWbmp, nullptr};
extern const CodecOps kPcxOps = {parsePcx, readPcx, writePcx};

} // namespace mio::stillimage
