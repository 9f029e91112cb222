// SPDX-License-Identifier: MIT
// PNG: header from the chunks (no inflate), rows and alpha mask via libpng, and the writer.
#include <csetjmp>
#include <cstring>
#include <vector>

#include <png.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct PngHeader {
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, colorType = 0, interlace = 0;
    bool trns = false;
    uint32_t frames = 1;
    double dpi = 0;
    PaletteColors palette;
};

bool parseChunks(Bytes f, PngHeader& h)
{
    ByteReader r(f.data, f.size, true);
    uint32_t len = 0;
    if (!r.u32(8, len) || len != 13 || std::memcmp(f.data + 12, "IHDR", 4) != 0) return false;
    if (!r.u32(16, h.width) || !r.u32(20, h.height) || !r.has(24, 5)) return false;
    h.depth = f.data[24];
    h.colorType = f.data[25];
    h.interlace = f.data[28];
    size_t at = 8 + 12 + 13;
    while (r.u32(at, len) && r.has(at + 8, size_t{len} + 4)) {
        const uint8_t* type = f.data + at + 4;
        const uint8_t* body = f.data + at + 8;
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) break;
        if (std::memcmp(type, "PLTE", 4) == 0) {
            h.palette.count = static_cast<int>(std::min<uint32_t>(len / 3, 256));
            for (int i = 0; i < h.palette.count; ++i)
                h.palette.entries[i] = {body[3 * i], body[3 * i + 1], body[3 * i + 2]};
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            h.trns = true;
        } else if (std::memcmp(type, "acTL", 4) == 0 && len >= 8) {
            ByteReader(body, len, true).u32(0, h.frames);
        } else if (std::memcmp(type, "pHYs", 4) == 0 && len >= 9 && body[8] == 1) {
            uint32_t ppm = 0;
            ByteReader(body, len, true).u32(0, ppm);
            h.dpi = ppm * 0.0254;
        }
        at += 12 + size_t{len};
    }
    return true;
}

bool validHeader(const PngHeader& h)
{
    switch (h.colorType) {
    case 0:
        return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8 || h.depth == 16;
    case 3:
        return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8;
    case 2:
    case 4:
    case 6:
        return h.depth == 8 || h.depth == 16;
    default:
        return false;
    }
}

int parsePng(Bytes file, HeaderInfo& info)
{
    PngHeader h;
    if (!parseChunks(file, h) || !validHeader(h))
        return fail(kLibErrCorrupt, "corrupt or truncated data: bad PNG header");
    if (!sizeAcceptable(h.width, h.height)) return fail(kLibErrCorrupt, "image size out of range");
    ImageDesc& d = info.main;
    d.width = static_cast<int32_t>(h.width);
    d.height = static_cast<int32_t>(h.height);
    d.xDpi = d.yDpi = h.dpi;
    const bool wide = h.depth == 16;
    switch (h.colorType) {
    case 0:
    case 4:
        if (h.depth == 1 && h.colorType == 0) {
            d.bitCount = 1;
            d.colorType = QF_COLOR_BILEVEL;
        } else {
            d.bitCount = wide ? 16 : 8;
            d.colorType = wide ? QF_COLOR_GREY16 : QF_COLOR_GREY8;
        }
        break;
    case 2:
        d.bitCount = wide ? 48 : 24;
        d.colorType = wide ? QF_COLOR_RGB48 : QF_COLOR_RGB;
        break;
    case 6:
        d.bitCount = wide ? 48 : 32;
        d.colorType = wide ? QF_COLOR_RGB48 : QF_COLOR_RGB;
        break;
    case 3:
        if (h.palette.count == 0) return fail(kLibErrCorrupt, "corrupt data: PNG palette missing");
        d.bitCount = 8;
        d.colorType = QF_COLOR_PALETTE8;
        d.palette = h.palette;
        break;
    }
    info.maskCount = (h.colorType == 4 || h.colorType == 6 || h.trns) ? 1 : 0;
    info.frameCount = h.frames == 0 ? 1 : h.frames;
    return 1;
}

struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t at;
};

void readFromMemory(png_structp png, png_bytep out, size_t n)
{
    auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (n > in->size - in->at) png_error(png, "unexpected end of data");
    std::memcpy(out, in->data + in->at, n);
    in->at += n;
}

struct PngErrorState {
    jmp_buf jump;
    char message[200];
};

void onPngError(png_structp png, png_const_charp text)
{
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    std::strncpy(state->message, text ? text : "error", sizeof(state->message) - 1);
    longjmp(state->jump, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

enum DecodeResult { kDecodeOk = 1, kDecodeLibError = 0, kDecodeStopped = -1 };

// Output layout of each part: main rows in the descriptor's layout, mask rows as the alpha
// byte of an RGBA expansion. libpng reports errors by longjmp: locals stay trivial here.
DecodeResult decodePng(MemoryInput* input, Part part, RowSink& sink, uint8_t* rowBuffer,
                       size_t rowSize, uint8_t* image, PngErrorState* state)
{
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, state, onPngError, onPngWarning);
    if (!png) return kDecodeLibError;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return kDecodeLibError;
    }
    volatile DecodeResult result = kDecodeOk;
    if (setjmp(state->jump)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return kDecodeLibError;
    }
    png_set_read_fn(png, input, readFromMemory);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    const int colorType = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    if (part == Part::Mask) {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    } else {
        if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8 && depth > 1)
            png_set_expand_gray_1_2_4_to_8(png);
        if (colorType == PNG_COLOR_TYPE_PALETTE && depth < 8) png_set_packing(png);
        if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA ||
            (colorType == PNG_COLOR_TYPE_RGB_ALPHA && depth == 16))
            png_set_strip_alpha(png);
        if (depth == 16) png_set_swap(png); // samples go out little-endian
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t libRow = png_get_rowbytes(png, info);
    const size_t width = static_cast<size_t>(sink.width());
    if (libRow > rowSize) png_error(png, "row larger than expected");
    for (int pass = 0; pass < passes; ++pass) {
        for (int32_t y = 0; y < sink.height(); ++y) {
            uint8_t* row = image ? image + static_cast<size_t>(y) * rowSize : rowBuffer;
            png_read_row(png, row, nullptr);
            if (image && pass + 1 < passes) continue;
            if (part == Part::Mask) {
                for (size_t x = 0; x < width; ++x)
                    rowBuffer[x] = row[4 * x + 3];
                row = rowBuffer;
            }
            if (!sink.put(y, row)) {
                result = kDecodeStopped;
                break;
            }
        }
        if (result != kDecodeOk) break;
    }
    if (result == kDecodeOk) png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return result;
}

int readPng(Bytes file, const HeaderInfo& hdr, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "PNG files have no preview image");
    PngHeader h;
    parseChunks(file, h);
    const size_t width = static_cast<size_t>(hdr.main.width);
    // Room for the widest layout libpng may produce: 8 bytes a pixel.
    const size_t rowSize = width * 8;
    std::vector<uint8_t> rowBuffer(rowSize);
    std::vector<uint8_t> image;
    if (h.interlace) {
        const uint64_t bytes = uint64_t{rowSize} * static_cast<uint64_t>(hdr.main.height);
        // Deflate expands at most about 1032:1.
        if (!expansionPlausible(bytes / 2, file.size, 1100))
            return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
        image.resize(bytes);
    }
    MemoryInput input{file.data, file.size, 0};
    PngErrorState state{};
    switch (decodePng(&input, part, sink, rowBuffer.data(), rowSize,
                      image.empty() ? nullptr : image.data(), &state)) {
    case kDecodeOk:
        return 1;
    case kDecodeStopped:
        return fail(kLibErrGeneric, "reading stopped");
    default:
        return fail(kLibErrCorrupt, std::string("corrupt or truncated data: ") + state.message);
    }
}

// ---- writing ----

struct PngOutput {
    RowSource* source;
    const ImageDesc* desc;
    uint8_t* row;
};

int encodePng(FILE* out, PngOutput* o, PngErrorState* state)
{
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, state, onPngError, onPngWarning);
    if (!png) return 0;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return 0;
    }
    if (setjmp(state->jump)) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_init_io(png, out);
    const ImageDesc& d = *o->desc;
    const auto w = static_cast<png_uint_32>(d.width), h = static_cast<png_uint_32>(d.height);
    const bool palette = d.bitCount == 8;
    png_set_IHDR(png, info, w, h, 8, palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_color colors[256];
        for (int i = 0; i < d.palette.count; ++i)
            colors[i] = {d.palette.entries[i].r, d.palette.entries[i].g, d.palette.entries[i].b};
        png_set_PLTE(png, info, colors, d.palette.count);
    }
    if (d.xDpi > 0)
        png_set_pHYs(png, info, static_cast<png_uint_32>(d.xDpi / 0.0254 + 0.5),
                     static_cast<png_uint_32>(d.yDpi / 0.0254 + 0.5), PNG_RESOLUTION_METER);
    png_write_info(png, info);
    RgbRowReader rgb{*o->source, d};
    for (int32_t y = 0; y < d.height; ++y) {
        const uint8_t* row = nullptr;
        if (palette)
            row = o->source->row(y);
        else if (rgb.rgb(y, o->row))
            row = o->row;
        if (!row) {
            std::strcpy(state->message, "the caller supplied no pixel rows");
            png_destroy_write_struct(&png, &info);
            return 0;
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 1;
}

int writePng(const WriteJob& job, RowSource& mainRows, RowSource*)
{
    OutputFile out;
    if (!out.open(job.path)) return 0;
    std::vector<uint8_t> row(static_cast<size_t>(job.main.width) * 3);
    PngOutput o{&mainRows, &job.main, row.data()};
    PngErrorState state{};
    if (!encodePng(out.stream(), &o, &state))
        return fail(kLibErrGeneric, std::string("cannot write PNG: ") + state.message);
    return out.commit();
}

} // namespace

extern const CodecOps kPngOps = {parsePng, readPng, writePng};

} // namespace mio::stillimage
