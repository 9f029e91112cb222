// SPDX-License-Identifier: MIT
// TIFF via libtiff over the mapped file: common layouts row by row in their own depth, all
// others through libtiff's RGBA conversion; page count; and the writer.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

#include <tiffio.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct MemoryFile {
    const uint8_t* data;
    size_t size;
    size_t at;
    char message[256];
};

tmsize_t readProc(thandle_t h, void* out, tmsize_t n)
{
    auto* m = static_cast<MemoryFile*>(h);
    if (n <= 0 || m->at >= m->size) return 0;
    const size_t take = std::min(static_cast<size_t>(n), m->size - m->at);
    std::memcpy(out, m->data + m->at, take);
    m->at += take;
    return static_cast<tmsize_t>(take);
}
tmsize_t writeProc(thandle_t, void*, tmsize_t)
{
    return 0;
}
toff_t seekProc(thandle_t h, toff_t off, int whence)
{
    auto* m = static_cast<MemoryFile*>(h);
    uint64_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? m->size : 0;
    const uint64_t pos = base + off;
    m->at = static_cast<size_t>(std::min<uint64_t>(pos, SIZE_MAX));
    return pos;
}
int closeProc(thandle_t)
{
    return 0;
}
toff_t sizeProc(thandle_t h)
{
    return static_cast<MemoryFile*>(h)->size;
}
int mapProc(thandle_t h, void** base, toff_t* size)
{
    auto* m = static_cast<MemoryFile*>(h);
    *base = const_cast<uint8_t*>(m->data);
    *size = m->size;
    return 1;
}
void unmapProc(thandle_t, void*, toff_t) {}

int onError(TIFF*, void* user, const char*, const char* fmt, va_list args)
{
    auto* m = static_cast<MemoryFile*>(user);
    if (!m->message[0]) std::vsnprintf(m->message, sizeof(m->message), fmt, args);
    return 1;
}
int onWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr openTiff(MemoryFile& m)
{
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts, onError, &m);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, onWarning, &m);
    // No single allocation beyond 1 GiB, whatever the file declares.
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t{1} << 30);
    TIFF* t = TIFFClientOpenExt("memory", "rm", &m, readProc, writeProc, seekProc, closeProc,
                                sizeProc, mapProc, unmapProc, opts);
    TIFFOpenOptionsFree(opts);
    return TiffPtr(t);
}

enum class Path {
    Bilevel,
    Grey8,
    Grey16,
    GreyPacked,
    GreyFloat,
    Palette,
    Rgb8,
    Rgba8,
    Rgb16,
    Cmyk8,
    Rgba
};

struct TiffLayout {
    uint32_t width = 0, height = 0;
    uint16_t bps = 0, spp = 0, photometric = 0, planar = 1, sampleFormat = 1, inkset = 1;
    bool tiled = false, alpha = false, whiteIsZero = false;
    Path path = Path::Rgba;
    PaletteColors palette;
    double xDpi = 0, yDpi = 0;
};

bool describe(TIFF* t, TiffLayout& l, std::string& why)
{
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &l.bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &l.spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &l.sampleFormat);
    TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &l.inkset);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &l.photometric))
        l.photometric = l.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    l.tiled = TIFFIsTiled(t) != 0;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount > 0)
        l.alpha = extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA;
    float xr = 0, yr = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &yr) &&
        unit != RESUNIT_NONE) {
        const double scale = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        l.xDpi = xr * scale;
        l.yDpi = yr * scale;
    }
    if (!sizeAcceptable(l.width, l.height)) return why = "image size out of range", false;
    // Tiles are assembled into bands of rows for whole-byte samples.
    const bool rows = (!l.tiled || l.bps % 8 == 0) &&
                      (l.planar == PLANARCONFIG_CONTIG || l.spp == 1) &&
                      l.sampleFormat == SAMPLEFORMAT_UINT;
    const bool grey =
        l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
    l.whiteIsZero = l.photometric == PHOTOMETRIC_MINISWHITE;
    if (!l.tiled && grey && l.spp == 1 && l.bps == 32 && l.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        l.path = Path::GreyFloat; // measured data: stretched to 16 bits over its own range
    } else if (rows && grey && l.spp == 1) {
        if (l.bps == 1)
            l.path = Path::Bilevel;
        else if (l.bps == 8)
            l.path = Path::Grey8;
        else if (l.bps == 16)
            l.path = Path::Grey16;
        else if (l.bps < 16)
            l.path = Path::GreyPacked;
        else
            l.path = Path::Rgba;
    } else if (rows && l.photometric == PHOTOMETRIC_PALETTE && l.spp == 1 &&
               (l.bps == 1 || l.bps == 4 || l.bps == 8)) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b))
            return why = "colour map missing", false;
        const int n = 1 << l.bps;
        // Some writers store 8-bit values in the 16-bit map.
        bool eightBit = true;
        for (int i = 0; i < n; ++i)
            eightBit = eightBit && r[i] < 256 && g[i] < 256 && b[i] < 256;
        const int shift = eightBit ? 0 : 8;
        l.palette.count = n;
        for (int i = 0; i < n; ++i)
            l.palette.entries[i] = {uint8_t(r[i] >> shift), uint8_t(g[i] >> shift),
                                    uint8_t(b[i] >> shift)};
        l.path = Path::Palette;
    } else if (rows && l.photometric == PHOTOMETRIC_RGB && l.bps == 8 && l.spp == 3) {
        l.path = Path::Rgb8;
    } else if (rows && l.photometric == PHOTOMETRIC_RGB && l.bps == 8 && l.spp == 4 && l.alpha) {
        l.path = Path::Rgba8;
    } else if (rows && l.photometric == PHOTOMETRIC_RGB && l.bps == 16 && l.spp == 3) {
        l.path = Path::Rgb16;
    } else if (rows && l.photometric == PHOTOMETRIC_SEPARATED && l.inkset == INKSET_CMYK &&
               l.bps == 8 && l.spp == 4) {
        l.path = Path::Cmyk8;
    } else {
        char message[1024] = {};
        if (!TIFFRGBAImageOK(t, message)) return why = message, false;
        l.path = Path::Rgba;
    }
    return true;
}

ImageDesc descOf(const TiffLayout& l)
{
    ImageDesc d;
    d.width = static_cast<int32_t>(l.width);
    d.height = static_cast<int32_t>(l.height);
    d.xDpi = l.xDpi;
    d.yDpi = l.yDpi;
    switch (l.path) {
    case Path::Bilevel:
        d.bitCount = 1;
        d.colorType = QF_COLOR_BILEVEL;
        break;
    case Path::Grey8:
        d.bitCount = 8;
        d.colorType = QF_COLOR_GREY8;
        break;
    case Path::GreyPacked:
        d.bitCount = l.bps > 8 ? 16 : 8;
        d.colorType = l.bps > 8 ? QF_COLOR_GREY16 : QF_COLOR_GREY8;
        break;
    case Path::Grey16:
    case Path::GreyFloat:
        d.bitCount = 16;
        d.colorType = QF_COLOR_GREY16;
        break;
    case Path::Palette:
        d.bitCount = l.bps;
        d.colorType = l.bps <= 4 ? QF_COLOR_PALETTE4 : QF_COLOR_PALETTE8;
        d.palette = l.palette;
        break;
    case Path::Rgb8:
        d.bitCount = 24;
        d.colorType = QF_COLOR_RGB;
        break;
    case Path::Rgba8:
        d.bitCount = 32;
        d.colorType = QF_COLOR_RGB;
        break;
    case Path::Rgb16:
        d.bitCount = 48;
        d.colorType = QF_COLOR_RGB48;
        break;
    case Path::Cmyk8:
        d.bitCount = 32;
        d.colorType = QF_COLOR_CMYK32;
        break;
    case Path::Rgba:
        d.bitCount = l.alpha ? 32 : 24;
        d.colorType = QF_COLOR_RGB;
        break;
    }
    return d;
}

int parseTiff(Bytes file, HeaderInfo& info)
{
    MemoryFile m{file.data, file.size, 0, {}};
    TiffPtr t = openTiff(m);
    if (!t) return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + m.message);
    TiffLayout l;
    std::string why;
    if (!describe(t.get(), l, why)) return fail(kLibErrUnsupported, "unsupported TIFF: " + why);
    info.main = descOf(l);
    info.maskCount = l.alpha ? 1 : 0;
    info.frameCount = TIFFNumberOfDirectories(t.get());
    if (info.frameCount == 0) info.frameCount = 1;
    return 1;
}

int readTiff(Bytes file, const HeaderInfo&, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "TIFF files have no preview image");
    MemoryFile m{file.data, file.size, 0, {}};
    TiffPtr t = openTiff(m);
    if (!t) return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + m.message);
    TiffLayout l;
    std::string why;
    if (!describe(t.get(), l, why)) return fail(kLibErrUnsupported, "unsupported TIFF: " + why);
    const size_t w = l.width;
    auto corrupt = [&] {
        return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") +
                                        (m.message[0] ? m.message : "TIFF"));
    };
    if (l.path == Path::Rgba) {
        const uint64_t bytes = uint64_t{w} * l.height * 4;
        if (!expansionPlausible(bytes, file.size, 1100))
            return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
        std::vector<uint32_t> image(static_cast<size_t>(w) * l.height);
        if (!TIFFReadRGBAImageOriented(t.get(), l.width, l.height, image.data(),
                                       ORIENTATION_TOPLEFT, 0))
            return corrupt();
        std::vector<uint8_t> row(w * 4);
        const int channels = l.alpha ? 4 : 3;
        for (uint32_t y = 0; y < l.height; ++y) {
            const uint32_t* in = image.data() + size_t{y} * w;
            for (size_t x = 0; x < w; ++x) {
                if (part == Part::Mask) {
                    row[x] = static_cast<uint8_t>(TIFFGetA(in[x]));
                    continue;
                }
                row[channels * x] = static_cast<uint8_t>(TIFFGetR(in[x]));
                row[channels * x + 1] = static_cast<uint8_t>(TIFFGetG(in[x]));
                row[channels * x + 2] = static_cast<uint8_t>(TIFFGetB(in[x]));
                if (channels == 4) row[4 * x + 3] = static_cast<uint8_t>(TIFFGetA(in[x]));
            }
            if (!sink.put(static_cast<int32_t>(y), row.data()))
                return fail(kLibErrGeneric, "reading stopped");
        }
        return 1;
    }
    const tmsize_t scan = TIFFScanlineSize(t.get());
    if (scan <= 0) return corrupt();
    std::vector<uint8_t> in(static_cast<size_t>(scan));
    std::vector<uint8_t> out(w * 6 + 8);
    // Tiled files: one band of tile-high rows at a time.
    uint32_t tileW = 0, tileH = 0;
    std::vector<uint8_t> band, tile;
    const size_t pixelBytes = size_t{l.spp} * l.bps / 8;
    if (l.tiled) {
        TIFFGetField(t.get(), TIFFTAG_TILEWIDTH, &tileW);
        TIFFGetField(t.get(), TIFFTAG_TILELENGTH, &tileH);
        const tmsize_t tileSize = TIFFTileSize(t.get());
        if (tileW == 0 || tileH == 0 || tileSize <= 0 ||
            size_t(tileSize) < size_t{tileW} * tileH * pixelBytes)
            return corrupt();
        tile.resize(static_cast<size_t>(tileSize));
        band.resize(size_t{tileH} * in.size());
    }
    float low = 0, high = 0;
    if (l.path == Path::GreyFloat) {
        bool any = false;
        for (uint32_t y = 0; y < l.height; ++y) {
            if (TIFFReadScanline(t.get(), in.data(), y, 0) < 0) return corrupt();
            for (size_t x = 0; x < w; ++x) {
                float v;
                std::memcpy(&v, in.data() + 4 * x, 4);
                if (!std::isfinite(v)) continue;
                low = any ? std::min(low, v) : v;
                high = any ? std::max(high, v) : v;
                any = true;
            }
        }
    }
    for (uint32_t y = 0; y < l.height; ++y) {
        if (l.tiled) {
            if (y % tileH == 0) {
                for (uint32_t x = 0; x < l.width; x += tileW) {
                    if (TIFFReadTile(t.get(), tile.data(), x, y, 0, 0) < 0) return corrupt();
                    const size_t span = std::min<size_t>(tileW, l.width - x) * pixelBytes;
                    for (uint32_t r = 0; r < tileH && y + r < l.height; ++r)
                        std::memcpy(band.data() + r * in.size() + x * pixelBytes,
                                    tile.data() + size_t{r} * tileW * pixelBytes, span);
                }
            }
            std::memcpy(in.data(), band.data() + (y % tileH) * in.size(), in.size());
        } else if (TIFFReadScanline(t.get(), in.data(), y, 0) < 0) {
            return corrupt();
        }
        const uint8_t* row = in.data();
        switch (l.path) {
        case Path::Bilevel:
        case Path::Grey8:
            if (l.whiteIsZero) {
                for (size_t i = 0; i < in.size(); ++i)
                    out[i] = static_cast<uint8_t>(~in[i]);
                row = out.data();
            }
            break;
        case Path::Grey16:
            if (l.whiteIsZero) {
                for (size_t i = 0; i < in.size(); ++i)
                    out[i] = static_cast<uint8_t>(~in[i]);
                row = out.data();
            }
            break;
        case Path::GreyPacked: {
            // Unpack MSB-first samples and scale them to the output depth.
            const unsigned bps = l.bps, outBits = bps > 8 ? 16 : 8;
            const unsigned max = (1u << bps) - 1;
            for (size_t x = 0; x < w; ++x) {
                unsigned v = 0;
                const size_t bit = x * bps;
                for (unsigned k = 0; k < bps; ++k) {
                    const size_t b = bit + k;
                    v = (v << 1) | ((in[b / 8] >> (7 - b % 8)) & 1u);
                }
                if (l.whiteIsZero) v = max - v;
                const unsigned scaled = v * ((1u << outBits) - 1) / max;
                if (outBits == 16) {
                    out[2 * x] = static_cast<uint8_t>(scaled);
                    out[2 * x + 1] = static_cast<uint8_t>(scaled >> 8);
                } else {
                    out[x] = static_cast<uint8_t>(scaled);
                }
            }
            row = out.data();
            break;
        }
        case Path::GreyFloat:
            for (size_t x = 0; x < w; ++x) {
                float v;
                std::memcpy(&v, in.data() + 4 * x, 4);
                const double span = double(high) - double(low);
                const double unit = !std::isfinite(v) || span <= 0 ? 0.0 : (double(v) - low) / span;
                auto s16 = static_cast<uint16_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 65535.0));
                if (l.whiteIsZero) s16 = static_cast<uint16_t>(65535 - s16);
                out[2 * x] = static_cast<uint8_t>(s16);
                out[2 * x + 1] = static_cast<uint8_t>(s16 >> 8);
            }
            row = out.data();
            break;
        case Path::Rgba8:
            if (part == Part::Mask) {
                for (size_t x = 0; x < w; ++x)
                    out[x] = in[4 * x + 3];
                row = out.data();
            }
            break;
        case Path::Cmyk8:
            // Handed over inverted (255 = no ink).
            for (size_t i = 0; i < w * 4; ++i)
                out[i] = static_cast<uint8_t>(255 - in[i]);
            row = out.data();
            break;
        default:
            break;
        }
        if (!sink.put(static_cast<int32_t>(y), row)) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

int writeTiff(const WriteJob& job, RowSource& rows, RowSource*)
{
    OutputFile out;
    if (!out.open(job.path)) return 0;
    const int fd = ::dup(::fileno(out.stream()));
    if (fd < 0) return fail(kLibErrGeneric, "cannot write TIFF");
    TiffPtr t(TIFFFdOpen(fd, job.path.c_str(), "w"));
    if (!t) {
        ::close(fd);
        return fail(kLibErrGeneric, "cannot write TIFF");
    }
    const ImageDesc& d = job.main;
    const bool palette = d.bitCount == 8;
    TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(d.width));
    TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(d.height));
    TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, palette ? 1 : 3);
    TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, palette ? PHOTOMETRIC_PALETTE : PHOTOMETRIC_RGB);
    TIFFSetField(t.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t.get(), 0));
    if (d.xDpi > 0) {
        TIFFSetField(t.get(), TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t.get(), TIFFTAG_XRESOLUTION, static_cast<float>(d.xDpi));
        TIFFSetField(t.get(), TIFFTAG_YRESOLUTION, static_cast<float>(d.yDpi));
    }
    if (palette) {
        std::vector<uint16_t> map(3 * 256, 0);
        for (int i = 0; i < d.palette.count; ++i) {
            map[size_t(i)] = static_cast<uint16_t>(d.palette.entries[i].r * 257);
            map[256 + size_t(i)] = static_cast<uint16_t>(d.palette.entries[i].g * 257);
            map[512 + size_t(i)] = static_cast<uint16_t>(d.palette.entries[i].b * 257);
        }
        TIFFSetField(t.get(), TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    }
    RgbRowReader rgb{rows, d};
    std::vector<uint8_t> line(static_cast<size_t>(d.width) * 3);
    for (int32_t y = 0; y < d.height; ++y) {
        const uint8_t* in =
            palette ? rows.row(y) : (rgb.rgb(y, line.data()) ? line.data() : nullptr);
        if (!in) return fail(kLibErrArgument, "the caller supplied no pixel rows");
        if (!palette && in != line.data()) std::memcpy(line.data(), in, line.size());
        if (palette) std::memcpy(line.data(), in, static_cast<size_t>(d.width));
        if (TIFFWriteScanline(t.get(), line.data(), static_cast<uint32_t>(y), 0) < 0)
            return fail(kLibErrGeneric, "cannot write TIFF data");
    }
    // TIFFClose writes the last strip and the directory but cannot report a failed write, so
    // flush first: a file cut short must never replace the original.
    if (TIFFFlush(t.get()) != 1) return fail(kLibErrGeneric, "cannot write TIFF data");
    TIFF* raw = t.release();
    TIFFClose(raw);
    return out.commit();
}

} // namespace

extern const CodecOps kTiffOps = {parseTiff, readTiff, writeTiff};

} // namespace mio::stillimage
