// SPDX-License-Identifier: MIT
// GIF: header and frame count from the block structure, the first frame via giflib, and a
// writer (palette bitmaps as they are, others reduced to a 6x6x6 colour cube with dithering).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <gif_lib.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct GifLayout {
    uint32_t screenW = 0, screenH = 0;
    uint32_t frames = 0;
    int transparent = -1; // of the first frame
    uint8_t background = 0;
    PaletteColors palette; // the first frame's colours
    bool complete = false; // the first frame's data is all there
};

// Skips data sub-blocks from `at`; false when they run past the end.
bool skipSubBlocks(const ByteReader& r, size_t& at)
{
    uint32_t n = 0;
    while (r.u8(at, n)) {
        ++at;
        if (n == 0) return true;
        at += n;
    }
    return false;
}

void readColorTable(const uint8_t* p, int count, PaletteColors& out)
{
    out.count = count;
    for (int i = 0; i < count; ++i)
        out.entries[i] = {p[3 * i], p[3 * i + 1], p[3 * i + 2]};
}

bool scanGif(Bytes f, GifLayout& g)
{
    ByteReader r(f.data, f.size);
    uint32_t w = 0, h = 0, flags = 0, bg = 0;
    if (!r.u16(6, w) || !r.u16(8, h) || !r.u8(10, flags) || !r.u8(11, bg)) return false;
    g.screenW = w;
    g.screenH = h;
    g.background = static_cast<uint8_t>(bg);
    size_t at = 13;
    PaletteColors global;
    if (flags & 0x80) {
        const int n = 2 << (flags & 7);
        if (!r.has(at, size_t(n) * 3)) return false;
        readColorTable(f.data + at, n, global);
        at += size_t(n) * 3;
    }
    int pendingTransparent = -1;
    uint32_t kind = 0;
    while (r.u8(at, kind)) {
        if (kind == 0x3B) break;
        if (kind == 0x21) {
            uint32_t label = 0, size = 0, gceFlags = 0, index = 0;
            if (!r.u8(at + 1, label)) return g.frames > 0;
            if (label == 0xF9 && r.u8(at + 2, size) && size >= 4 && r.u8(at + 3, gceFlags) &&
                r.u8(at + 6, index))
                pendingTransparent = (gceFlags & 1) ? static_cast<int>(index) : -1;
            at += 2;
            if (!skipSubBlocks(r, at)) return g.frames > 0;
        } else if (kind == 0x2C) {
            uint32_t imgFlags = 0;
            if (!r.u8(at + 9, imgFlags)) return g.frames > 0;
            at += 10;
            PaletteColors local;
            if (imgFlags & 0x80) {
                const int n = 2 << (imgFlags & 7);
                if (!r.has(at, size_t(n) * 3)) return g.frames > 0;
                readColorTable(f.data + at, n, local);
                at += size_t(n) * 3;
            }
            ++at; // LZW minimum code size
            const bool whole = skipSubBlocks(r, at);
            if (g.frames == 0) {
                g.palette = (imgFlags & 0x80) ? local : global;
                g.transparent = pendingTransparent;
                g.complete = whole;
            }
            if (!whole) return true;
            ++g.frames;
            pendingTransparent = -1;
        } else {
            break; // stray byte: stop counting, keep what was found
        }
    }
    return true;
}

int parseGif(Bytes file, HeaderInfo& info)
{
    GifLayout g;
    if (!scanGif(file, g) || !g.complete)
        return fail(kLibErrCorrupt, "corrupt or truncated data: no complete GIF frame");
    if (!sizeAcceptable(g.screenW, g.screenH))
        return fail(kLibErrCorrupt, "image size out of range");
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(g.screenW);
    d.height = static_cast<int32_t>(g.screenH);
    d.bitCount = 8;
    d.colorType = QF_COLOR_PALETTE8;
    d.palette = g.palette;
    if (d.palette.count == 0) {
        // No colour table at all: the decoder's default is a grey ramp.
        d.palette.count = 256;
        for (int i = 0; i < 256; ++i)
            d.palette.entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    }
    info.maskCount = g.transparent >= 0 ? 1 : 0;
    info.frameCount = g.frames;
    return 1;
}

struct GifInput {
    const uint8_t* data;
    size_t size;
    size_t at;
};

int readFromMemory(GifFileType* gif, GifByteType* out, int n)
{
    auto* in = static_cast<GifInput*>(gif->UserData);
    const size_t take = std::min<size_t>(static_cast<size_t>(n), in->size - in->at);
    std::memcpy(out, in->data + in->at, take);
    in->at += take;
    return static_cast<int>(take);
}

struct GifCloser {
    void operator()(GifFileType* g) const
    {
        int err = 0;
        DGifCloseFile(g, &err);
    }
};

int readGif(Bytes file, const HeaderInfo& hdr, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "GIF files have no preview image");
    GifLayout layout;
    scanGif(file, layout);
    GifInput input{file.data, file.size, 0};
    int err = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&input, readFromMemory, &err));
    if (!gif) return fail(kLibErrCorrupt, std::string("corrupt data: ") + GifErrorString(err));
    GifRecordType type;
    do {
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
            return fail(kLibErrCorrupt, "corrupt or truncated data in GIF");
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif.get(), &code, &ext) == GIF_ERROR)
                return fail(kLibErrCorrupt, "corrupt or truncated data in GIF");
            while (ext) {
                if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR)
                    return fail(kLibErrCorrupt, "corrupt or truncated data in GIF");
            }
        }
    } while (type != IMAGE_DESC_RECORD_TYPE && type != TERMINATE_RECORD_TYPE);
    if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif.get()) == GIF_ERROR)
        return fail(kLibErrCorrupt, "corrupt or truncated data: no GIF frame");
    const GifImageDesc& desc = gif->Image;
    const int64_t fw = desc.Width, fh = desc.Height;
    if (fw <= 0 || fh <= 0 || !sizeAcceptable(fw, fh))
        return fail(kLibErrCorrupt, "corrupt data: bad GIF frame size");
    const size_t width = static_cast<size_t>(hdr.main.width);
    // The frame in full (it is interlaced or may be); bounded by LZW's best ratio.
    const uint64_t frameBytes = static_cast<uint64_t>(fw) * static_cast<uint64_t>(fh);
    if (!expansionPlausible(frameBytes, file.size, 4200))
        return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
    std::vector<uint8_t> frame(frameBytes);
    if (desc.Interlace) {
        static const int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int64_t y = kStart[pass]; y < fh; y += kStep[pass]) {
                if (DGifGetLine(gif.get(), frame.data() + y * fw, static_cast<int>(fw)) ==
                    GIF_ERROR)
                    return fail(kLibErrCorrupt, "corrupt or truncated data in GIF");
            }
        }
    } else {
        for (int64_t y = 0; y < fh; ++y) {
            if (DGifGetLine(gif.get(), frame.data() + y * fw, static_cast<int>(fw)) == GIF_ERROR)
                return fail(kLibErrCorrupt, "corrupt or truncated data in GIF");
        }
    }
    // Outside the first frame the canvas shows the background (transparent where the frame
    // has a transparent colour).
    const int transparent = layout.transparent;
    const uint8_t fill = transparent >= 0 ? static_cast<uint8_t>(transparent) : layout.background;
    std::vector<uint8_t> row(width);
    for (int32_t y = 0; y < hdr.main.height; ++y) {
        std::fill(row.begin(), row.end(), fill);
        const int64_t fy = y - desc.Top;
        if (fy >= 0 && fy < fh) {
            for (int64_t fx = 0; fx < fw; ++fx) {
                const int64_t x = desc.Left + fx;
                if (x >= 0 && x < static_cast<int64_t>(width))
                    row[static_cast<size_t>(x)] = frame[static_cast<size_t>(fy * fw + fx)];
            }
        }
        if (part == Part::Mask) {
            for (uint8_t& v : row)
                v = (transparent >= 0 && v == transparent) ? 0 : 255;
        }
        if (!sink.put(y, row.data())) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

// ---- writing ----

struct GifWriterCloser {
    void operator()(GifFileType* g) const
    {
        int err = 0;
        EGifCloseFile(g, &err);
    }
};

int writeToFile(GifFileType* gif, const GifByteType* data, int n)
{
    return static_cast<int>(
        std::fwrite(data, 1, static_cast<size_t>(n), static_cast<FILE*>(gif->UserData)));
}

int writeGif(const WriteJob& job, RowSource& mainRows, RowSource*)
{
    const ImageDesc& d = job.main;
    const size_t w = static_cast<size_t>(d.width);
    std::vector<GifColorType> colors(256);
    int colorCount = 256;
    std::vector<uint8_t> indices(w * static_cast<size_t>(d.height));
    if (d.bitCount == 8) {
        for (int i = 0; i < d.palette.count; ++i)
            colors[i] = {d.palette.entries[i].r, d.palette.entries[i].g, d.palette.entries[i].b};
        for (int32_t y = 0; y < d.height; ++y) {
            const uint8_t* in = mainRows.row(y);
            if (!in) return fail(kLibErrArgument, "the caller supplied no pixel rows");
            std::memcpy(indices.data() + y * w, in, w);
        }
    } else {
        // A fixed 6x6x6 cube with ordered dithering: predictable and streaming.
        colorCount = 216;
        for (int i = 0; i < 216; ++i)
            colors[i] = {uint8_t(i / 36 * 51), uint8_t(i / 6 % 6 * 51), uint8_t(i % 6 * 51)};
        static const int kBayer[4][4] = {
            {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
        RgbRowReader rgb{mainRows, d};
        std::vector<uint8_t> line(w * 3);
        for (int32_t y = 0; y < d.height; ++y) {
            if (!rgb.rgb(y, line.data()))
                return fail(kLibErrArgument, "the caller supplied no pixel rows");
            for (size_t x = 0; x < w; ++x) {
                const int t = kBayer[y & 3][x & 3] * 51 / 16 - 25;
                int q[3];
                for (int c = 0; c < 3; ++c)
                    q[c] = std::clamp((line[3 * x + c] + t + 25) / 51, 0, 5);
                indices[y * w + x] = static_cast<uint8_t>(q[0] * 36 + q[1] * 6 + q[2]);
            }
        }
    }
    int bits = 1;
    while ((1 << bits) < colorCount)
        ++bits;
    OutputFile out;
    if (!out.open(job.path)) return 0;
    int err = 0;
    {
        std::unique_ptr<GifFileType, GifWriterCloser> gif(
            EGifOpen(out.stream(), writeToFile, &err));
        if (!gif)
            return fail(kLibErrGeneric, std::string("cannot write GIF: ") + GifErrorString(err));
        ColorMapObject* map = GifMakeMapObject(1 << bits, colors.data());
        if (!map) return fail(kLibErrMemory, "out of memory");
        EGifSetGifVersion(gif.get(), true);
        const bool ok =
            EGifPutScreenDesc(gif.get(), d.width, d.height, bits, 0, map) != GIF_ERROR &&
            EGifPutImageDesc(gif.get(), 0, 0, d.width, d.height, false, nullptr) != GIF_ERROR;
        GifFreeMapObject(map);
        if (!ok) return fail(kLibErrGeneric, "cannot write GIF header");
        for (int32_t y = 0; y < d.height; ++y) {
            if (EGifPutLine(gif.get(), indices.data() + y * w, d.width) == GIF_ERROR)
                return fail(kLibErrGeneric, "cannot write GIF data");
        }
        GifFileType* raw = gif.release();
        if (EGifCloseFile(raw, &err) == GIF_ERROR)
            return fail(kLibErrGeneric, std::string("cannot write GIF: ") + GifErrorString(err));
    }
    return out.commit();
}

} // namespace

extern const CodecOps kGifOps = {parseGif, readGif, writeGif};

} // namespace mio::stillimage
