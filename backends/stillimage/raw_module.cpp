// SPDX-License-Identifier: MIT
// Camera raw through LibRaw: the developed picture as the main image and the camera's embedded
// preview as the preview. A module of its own, loaded on first use.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <libraw/libraw.h>

#include "codec.h"
#include "contracts/common_library.h"

namespace mio::stillimage {
namespace {

struct ImageDeleter {
    void operator()(libraw_processed_image_t* i) const { LibRaw::dcraw_clear_mem(i); }
};
using ProcessedImage = std::unique_ptr<libraw_processed_image_t, ImageDeleter>;

int rawFailure(int code)
{
    return fail(code == LIBRAW_FILE_UNSUPPORTED ? kLibErrUnsupported : kLibErrCorrupt,
                std::string("camera raw: ") + libraw_strerror(code));
}

// Opens the file from memory. LibRaw is large: one object per call, on the heap.
int openRaw(Bytes f, std::unique_ptr<LibRaw>& raw)
{
    // LibRaw would print data errors to stderr; failures become our codes instead.
    raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                   LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    raw->imgdata.params.use_camera_wb = 1;
    const int rc = raw->open_buffer(const_cast<uint8_t*>(f.data), f.size);
    if (rc != LIBRAW_SUCCESS) return rawFailure(rc);
    return 1;
}

// The embedded preview: a JPEG, or an 8-bit RGB bitmap.
bool previewDesc(LibRaw& raw, ImageDesc& out)
{
    if (raw.unpack_thumb() != LIBRAW_SUCCESS) return false;
    const libraw_thumbnail_t& t = raw.imgdata.thumbnail;
    if (!t.thumb || t.tlength == 0) return false;
    if (t.tformat == LIBRAW_THUMBNAIL_JPEG) {
        int32_t w = 0, h = 0, comps = 0;
        if (!jpegFrameSize(reinterpret_cast<const uint8_t*>(t.thumb), t.tlength, w, h, comps) ||
            (comps != 1 && comps != 3))
            return false;
        out = comps == 1 ? greyDesc(w, h) : rgbDesc(w, h);
        return true;
    }
    if (t.tformat == LIBRAW_THUMBNAIL_BITMAP && t.tcolors == 3 &&
        uint64_t{t.twidth} * t.theight * 3 <= t.tlength && sizeAcceptable(t.twidth, t.theight)) {
        out = rgbDesc(t.twidth, t.theight);
        return true;
    }
    return false;
}

int parseRaw(Bytes f, HeaderInfo& info)
{
    try {
        std::unique_ptr<LibRaw> raw;
        if (!openRaw(f, raw)) return 0;
        if (raw->adjust_sizes_info_only() != LIBRAW_SUCCESS)
            return fail(kLibErrCorrupt, "camera raw: cannot size the picture");
        const libraw_image_sizes_t& s = raw->imgdata.sizes;
        int32_t w = s.iwidth, h = s.iheight;
        if (s.flip & 4) std::swap(w, h);
        if (!sizeAcceptable(w, h)) return fail(kLibErrCorrupt, "image size out of range");
        if (raw->imgdata.idata.raw_count == 0)
            return fail(kLibErrUnsupported, "camera raw: no sensor data");
        info.main = rgbDesc(w, h);
        ImageDesc preview;
        if (previewDesc(*raw, preview)) {
            info.hasPreview = true;
            info.preview = preview;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return fail(kLibErrMemory, "out of memory");
    } catch (...) {
        return fail(kLibErrCorrupt, "camera raw: the decoder failed");
    }
}

int readRaw(Bytes f, const HeaderInfo&, Part part, RowSink& sink)
{
    if (part == Part::Mask) return fail(kLibErrArgument, "camera raw files have no mask");
    try {
        std::unique_ptr<LibRaw> raw;
        if (!openRaw(f, raw)) return 0;
        if (part == Part::Preview) {
            ImageDesc preview;
            if (!previewDesc(*raw, preview))
                return fail(kLibErrArgument, "the file has no preview image");
            const libraw_thumbnail_t& t = raw->imgdata.thumbnail;
            const auto* data = reinterpret_cast<const uint8_t*>(t.thumb);
            if (t.tformat == LIBRAW_THUMBNAIL_JPEG) return decodeJpegRows(data, t.tlength, sink);
            for (int32_t y = 0; y < sink.height(); ++y)
                if (!sink.put(y, data + size_t(y) * size_t(sink.width()) * 3))
                    return fail(kLibErrGeneric, "reading stopped");
            return 1;
        }
        int rc = raw->unpack();
        if (rc == LIBRAW_SUCCESS) rc = raw->dcraw_process();
        if (rc != LIBRAW_SUCCESS) return rawFailure(rc);
        ProcessedImage image(raw->dcraw_make_mem_image(&rc));
        if (!image) return rawFailure(rc);
        if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8 ||
            image->width != sink.width() || image->height != sink.height())
            return fail(kLibErrCorrupt, "camera raw: developed picture differs from its header");
        const size_t stride = size_t(image->width) * 3;
        for (int32_t y = 0; y < sink.height(); ++y)
            if (!sink.put(y, image->data + size_t(y) * stride))
                return fail(kLibErrGeneric, "reading stopped");
        return 1;
    } catch (const std::bad_alloc&) {
        return fail(kLibErrMemory, "out of memory");
    } catch (...) {
        return fail(kLibErrCorrupt, "camera raw: the decoder failed");
    }
}

const CodecOps kRawOps = {parseRaw, readRaw, nullptr};

} // namespace
} // namespace mio::stillimage

extern "C" __attribute__((visibility("default"))) const mio::stillimage::CodecOps*
mio_stillimage_codec()
{
    return &mio::stillimage::kRawOps;
}
