// SPDX-License-Identifier: MIT
// WebP via libwebp: features without decoding, the first frame of animations, lossless writer.
#include <cstring>
#include <memory>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include "byte_io.h"
#include "codec.h"
#include "contracts/common_library.h"
#include "write_file.h"

namespace mio::stillimage {
namespace {

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

struct WebPInfo {
    int width = 0, height = 0;
    bool alpha = false;
    uint32_t frames = 1;
};

int probe(Bytes f, WebPInfo& out)
{
    WebPData data{f.data, f.size};
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
    if (!demux) return fail(kLibErrCorrupt, "corrupt or truncated data: WebP container");
    out.width = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    out.height = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    out.frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    out.alpha = (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ALPHA_FLAG) != 0;
    if (out.frames == 0)
        return fail(kLibErrCorrupt, "corrupt or truncated data: WebP has no frame");
    if (!sizeAcceptable(out.width, out.height))
        return fail(kLibErrCorrupt, "image size out of range");
    return 1;
}

int parseWebP(Bytes f, HeaderInfo& info)
{
    WebPInfo w;
    if (!probe(f, w)) return 0;
    info.main = rgbDesc(w.width, w.height);
    if (w.alpha) info.main.bitCount = 32;
    info.maskCount = w.alpha ? 1 : 0;
    info.frameCount = w.frames;
    return 1;
}

int readWebP(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    if (part == Part::Preview) return fail(kLibErrArgument, "WebP files have no preview image");
    WebPData data{f.data, f.size};
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
    WebPIterator it{};
    if (!demux || !WebPDemuxGetFrame(demux.get(), 1, &it))
        return fail(kLibErrCorrupt, "corrupt or truncated data: WebP frame");
    const int fw = it.width, fh = it.height, fx = it.x_offset, fy = it.y_offset;
    const uint8_t* frameData = it.fragment.bytes;
    const size_t frameSize = it.fragment.size;
    WebPDemuxReleaseIterator(&it);
    const size_t w = static_cast<size_t>(info.main.width);
    const uint64_t bytes = uint64_t(fw) * uint64_t(fh) * 4;
    if (fw <= 0 || fh <= 0 || !expansionPlausible(bytes, f.size, 4096))
        return fail(kLibErrCorrupt, "corrupt data: image size out of proportion to the file");
    std::vector<uint8_t> rgba(static_cast<size_t>(bytes));
    if (!WebPDecodeRGBAInto(frameData, frameSize, rgba.data(), rgba.size(), fw * 4))
        return fail(kLibErrCorrupt, "corrupt or truncated data: WebP image");
    // The first frame sits on a transparent canvas.
    const size_t channels = part == Part::Mask ? 1 : static_cast<size_t>(info.main.bitCount / 8);
    std::vector<uint8_t> row(w * channels);
    for (int32_t y = 0; y < info.main.height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        const int sy = y - fy;
        for (size_t x = 0; sy >= 0 && sy < fh && x < w; ++x) {
            const int sx = static_cast<int>(x) - fx;
            if (sx < 0 || sx >= fw) continue;
            const uint8_t* p = rgba.data() + (size_t(sy) * size_t(fw) + size_t(sx)) * 4;
            if (part == Part::Mask)
                row[x] = p[3];
            else
                std::memcpy(row.data() + x * channels, p, channels);
        }
        if (!sink.put(y, row.data())) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

int writeWebP(const WriteJob& job, RowSource& rows, RowSource*)
{
    const ImageDesc& d = job.main;
    if (d.width > WEBP_MAX_DIMENSION || d.height > WEBP_MAX_DIMENSION)
        return fail(kLibErrArgument, "bitmap too large for WebP");
    const size_t stride = static_cast<size_t>(d.width) * 3;
    std::vector<uint8_t> rgbImage(stride * static_cast<size_t>(d.height));
    RgbRowReader rgb{rows, d};
    for (int32_t y = 0; y < d.height; ++y) {
        if (!rgb.rgb(y, rgbImage.data() + size_t(y) * stride))
            return fail(kLibErrArgument, "the caller supplied no pixel rows");
    }
    uint8_t* encoded = nullptr;
    // Lossless: a written bitmap reads back unchanged.
    const size_t size = WebPEncodeLosslessRGB(rgbImage.data(), d.width, d.height,
                                              static_cast<int>(stride), &encoded);
    std::unique_ptr<uint8_t, void (*)(void*)> owner(encoded, WebPFree);
    if (size == 0) return fail(kLibErrGeneric, "cannot encode WebP");
    OutputFile out;
    if (!out.open(job.path)) return 0;
    if (std::fwrite(encoded, 1, size, out.stream()) != size)
        return fail(kLibErrGeneric, "cannot write WebP");
    return out.commit();
}

} // namespace

extern const CodecOps kWebPOps = {parseWebP, readWebP, writeWebP};

} // namespace mio::stillimage
