// SPDX-License-Identifier: MIT
// JPEG 2000 (JP2 boxes and bare codestreams) through OpenJPEG, as a module loaded on first use.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <openjpeg.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct MemoryStream {
    const uint8_t* data;
    size_t size;
    size_t at;
};

OPJ_SIZE_T readFn(void* out, OPJ_SIZE_T n, void* user)
{
    auto* m = static_cast<MemoryStream*>(user);
    if (m->at >= m->size) return static_cast<OPJ_SIZE_T>(-1);
    const size_t take = std::min<size_t>(n, m->size - m->at);
    std::memcpy(out, m->data + m->at, take);
    m->at += take;
    return take;
}
OPJ_OFF_T skipFn(OPJ_OFF_T n, void* user)
{
    auto* m = static_cast<MemoryStream*>(user);
    const int64_t target = static_cast<int64_t>(m->at) + n;
    if (target < 0) return -1;
    m->at = std::min<size_t>(static_cast<size_t>(target), m->size);
    return n;
}
OPJ_BOOL seekFn(OPJ_OFF_T pos, void* user)
{
    auto* m = static_cast<MemoryStream*>(user);
    if (pos < 0 || static_cast<uint64_t>(pos) > m->size) return OPJ_FALSE;
    m->at = static_cast<size_t>(pos);
    return OPJ_TRUE;
}

void onMessage(const char* msg, void* user)
{
    auto* text = static_cast<std::string*>(user);
    if (text->empty() && msg) {
        *text = msg;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
            text->pop_back();
    }
}
void onQuiet(const char*, void*) {}

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using Codec = std::unique_ptr<opj_codec_t, CodecDeleter>;
using Stream = std::unique_ptr<opj_stream_t, StreamDeleter>;
using Image = std::unique_ptr<opj_image_t, ImageDeleter>;

struct Decoder {
    MemoryStream input;
    std::string error;
    Codec codec;
    Stream stream;
    Image image;
};

int openHeader(Bytes f, Decoder& d)
{
    d.input = {f.data, f.size, 0};
    const bool box = f.size >= 12 && std::memcmp(f.data + 4, "jP  ", 4) == 0;
    d.codec.reset(opj_create_decompress(box ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    d.stream.reset(opj_stream_create(64 * 1024, OPJ_TRUE));
    if (!d.codec || !d.stream) return fail(kLibErrMemory, "out of memory");
    opj_stream_set_user_data(d.stream.get(), &d.input, nullptr);
    opj_stream_set_user_data_length(d.stream.get(), f.size);
    opj_stream_set_read_function(d.stream.get(), readFn);
    opj_stream_set_skip_function(d.stream.get(), skipFn);
    opj_stream_set_seek_function(d.stream.get(), seekFn);
    opj_set_error_handler(d.codec.get(), onMessage, &d.error);
    opj_set_warning_handler(d.codec.get(), onQuiet, nullptr);
    opj_set_info_handler(d.codec.get(), onQuiet, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    opj_image_t* raw = nullptr;
    if (!opj_setup_decoder(d.codec.get(), &params) ||
        !opj_read_header(d.stream.get(), d.codec.get(), &raw)) {
        if (raw) opj_image_destroy(raw);
        return fail(kLibErrCorrupt, "corrupt or truncated data: JPEG 2000 header: " + d.error);
    }
    d.image.reset(raw);
    const opj_image_t& img = *raw;
    if (img.numcomps == 0 || img.numcomps > 4 || img.numcomps == 2)
        return fail(kLibErrUnsupported,
                    "unsupported JPEG 2000 component count " + std::to_string(img.numcomps));
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c) {
        if (img.comps[c].prec == 0 || img.comps[c].prec > 16 || img.comps[c].dx == 0 ||
            img.comps[c].dy == 0)
            return fail(kLibErrUnsupported, "unsupported JPEG 2000 sample layout");
    }
    return 1;
}

ImageDesc describe(const opj_image_t& img)
{
    const int32_t w = static_cast<int32_t>(img.x1 - img.x0),
                  h = static_cast<int32_t>(img.y1 - img.y0);
    const bool wide = img.comps[0].prec > 8;
    ImageDesc d;
    if (img.numcomps == 1) {
        d = greyDesc(w, h);
        if (wide) {
            d.bitCount = 16;
            d.colorType = QF_COLOR_GREY16;
        }
    } else {
        d = rgbDesc(w, h);
        if (wide && img.numcomps == 3) {
            d.bitCount = 48;
            d.colorType = QF_COLOR_RGB48;
        } else if (img.numcomps == 4) {
            d.bitCount = 32;
        }
    }
    return d;
}

int parseJ2k(Bytes f, HeaderInfo& info)
{
    Decoder d;
    if (!openHeader(f, d)) return 0;
    info.main = describe(*d.image);
    if (!sizeAcceptable(info.main.width, info.main.height))
        return fail(kLibErrCorrupt, "image size out of range");
    info.maskCount = d.image->numcomps == 4 ? 1 : 0;
    return 1;
}

int readJ2k(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part == Part::Preview)
        return fail(kLibErrArgument, "JPEG 2000 files have no preview image");
    Decoder d;
    if (!openHeader(f, d)) return 0;
    const uint64_t samples =
        uint64_t(info.main.width) * uint64_t(info.main.height) * d.image->numcomps;
    if (!expansionPlausible(samples * 4, f.size, 2000))
        return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
    if (!opj_decode(d.codec.get(), d.stream.get(), d.image.get()) ||
        !opj_end_decompress(d.codec.get(), d.stream.get()))
        return fail(kLibErrCorrupt, "corrupt or truncated data: JPEG 2000: " + d.error);
    const opj_image_t& img = *d.image;
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c)
        if (!img.comps[c].data) return fail(kLibErrCorrupt, "corrupt or truncated data: JPEG 2000");
    const size_t w = static_cast<size_t>(info.main.width);
    const bool wide = info.main.bitCount == 16 || info.main.bitCount == 48;
    const size_t colours =
        part == Part::Mask
            ? 1
            : (img.numcomps == 1
                   ? 1
                   : std::min<size_t>(img.numcomps, info.main.bitCount == 32 ? 4 : 3));
    std::vector<uint8_t> row(w * colours * (wide ? 2 : 1));
    for (int32_t y = 0; y < info.main.height; ++y) {
        for (size_t x = 0; x < w; ++x) {
            for (size_t k = 0; k < colours; ++k) {
                const size_t c = part == Part::Mask ? 3 : k;
                const opj_image_comp_t& comp = img.comps[c];
                // Subsampled components are spread over their block of pixels.
                const size_t cx = x / comp.dx, cy = static_cast<size_t>(y) / comp.dy;
                if (cx >= comp.w || cy >= comp.h) continue;
                int32_t v = comp.data[cy * comp.w + cx];
                if (comp.sgnd) v += 1 << (comp.prec - 1);
                const uint32_t max = (1u << comp.prec) - 1;
                const uint32_t u =
                    static_cast<uint32_t>(std::clamp<int32_t>(v, 0, static_cast<int32_t>(max)));
                if (wide) {
                    const uint32_t s = u * 65535u / max;
                    row[2 * (x * colours + k)] = static_cast<uint8_t>(s);
                    row[2 * (x * colours + k) + 1] = static_cast<uint8_t>(s >> 8);
                } else {
                    row[x * colours + k] = static_cast<uint8_t>(u * 255u / max);
                }
            }
        }
        if (!sink.put(y, row.data())) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

OPJ_SIZE_T writeFn(void* data, OPJ_SIZE_T n, void* user)
{
    return std::fwrite(data, 1, n, static_cast<FILE*>(user));
}
OPJ_OFF_T writeSkipFn(OPJ_OFF_T n, void* user)
{
    return std::fseek(static_cast<FILE*>(user), static_cast<long>(n), SEEK_CUR) == 0 ? n : -1;
}
OPJ_BOOL writeSeekFn(OPJ_OFF_T pos, void* user)
{
    return std::fseek(static_cast<FILE*>(user), static_cast<long>(pos), SEEK_SET) == 0;
}

// Lossless, three 8-bit components.
int writeJ2k(const WriteJob& job, RowSource& rows, RowSource*)
{
    const ImageDesc& d = job.main;
    opj_image_cmptparm_t comps[3];
    std::memset(comps, 0, sizeof(comps));
    for (auto& c : comps) {
        c.dx = c.dy = 1;
        c.w = static_cast<OPJ_UINT32>(d.width);
        c.h = static_cast<OPJ_UINT32>(d.height);
        c.prec = 8;
    }
    Image image(opj_image_create(3, comps, OPJ_CLRSPC_SRGB));
    if (!image) return fail(kLibErrMemory, "out of memory");
    image->x1 = static_cast<OPJ_UINT32>(d.width);
    image->y1 = static_cast<OPJ_UINT32>(d.height);
    RgbRowReader rgb{rows, d};
    std::vector<uint8_t> line(static_cast<size_t>(d.width) * 3);
    for (int32_t y = 0; y < d.height; ++y) {
        if (!rgb.rgb(y, line.data()))
            return fail(kLibErrArgument, "the caller supplied no pixel rows");
        for (size_t x = 0; x < static_cast<size_t>(d.width); ++x)
            for (int c = 0; c < 3; ++c)
                image->comps[c].data[size_t(y) * size_t(d.width) + x] = line[3 * x + size_t(c)];
    }
    const bool box = job.format && std::strcmp(job.format->extensions, "jp2;jpx;jpf") == 0;
    Codec codec(opj_create_compress(box ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    std::string error;
    if (!codec) return fail(kLibErrMemory, "out of memory");
    opj_set_error_handler(codec.get(), onMessage, &error);
    opj_set_warning_handler(codec.get(), onQuiet, nullptr);
    opj_set_info_handler(codec.get(), onQuiet, nullptr);
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0; // lossless
    params.cp_disto_alloc = 1;
    // Each resolution level halves the picture: small bitmaps get fewer levels.
    int levels = 1;
    while (levels < 6 && (std::min(d.width, d.height) >> levels) > 0)
        ++levels;
    params.numresolution = levels;
    if (!opj_setup_encoder(codec.get(), &params, image.get()))
        return fail(kLibErrGeneric, "cannot write JPEG 2000: " + error);
    OutputFile out;
    if (!out.open(job.path)) return 0;
    Stream stream(opj_stream_create(64 * 1024, OPJ_FALSE));
    if (!stream) return fail(kLibErrMemory, "out of memory");
    opj_stream_set_user_data(stream.get(), out.stream(), nullptr);
    opj_stream_set_write_function(stream.get(), writeFn);
    opj_stream_set_skip_function(stream.get(), writeSkipFn);
    opj_stream_set_seek_function(stream.get(), writeSeekFn);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        return fail(kLibErrGeneric, "cannot write JPEG 2000: " + error);
    stream.reset(); // flushes
    return out.commit();
}

const CodecOps kJ2kOps = {parseJ2k, readJ2k, writeJ2k};

} // namespace
} // namespace mio::stillimage

extern "C" __attribute__((visibility("default"))) const mio::stillimage::CodecOps*
mio_stillimage_codec()
{
    return &mio::stillimage::kJ2kOps;
}
