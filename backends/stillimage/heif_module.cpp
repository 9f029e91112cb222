// SPDX-License-Identifier: MIT
// HEIF and AVIF through libheif, built as its own module so that only processes that meet such
// a file load libheif and its codecs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <libheif/heif.h>

#include "codec.h"
#include "contracts/common_library.h"

namespace mio::stillimage {
namespace {

struct ContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;

int heifFailure(const heif_error& e)
{
    return fail(kLibErrCorrupt, std::string("corrupt or unsupported HEIF data: ") +
                                    (e.message ? e.message : "error"));
}

// The primary image and, when asked, its first thumbnail.
int openImage(Bytes f, Context& ctx, Handle& primary, Handle* thumb)
{
    ctx.reset(heif_context_alloc());
    if (!ctx) return fail(kLibErrMemory, "out of memory");
    heif_error e = heif_context_read_from_memory_without_copy(ctx.get(), f.data, f.size, nullptr);
    if (e.code != heif_error_Ok) return heifFailure(e);
    heif_image_handle* h = nullptr;
    e = heif_context_get_primary_image_handle(ctx.get(), &h);
    if (e.code != heif_error_Ok) return heifFailure(e);
    primary.reset(h);
    if (thumb && heif_image_handle_get_number_of_thumbnails(h) > 0) {
        heif_item_id id = 0;
        heif_image_handle* t = nullptr;
        if (heif_image_handle_get_list_of_thumbnail_IDs(h, &id, 1) == 1 &&
            heif_image_handle_get_thumbnail(h, id, &t).code == heif_error_Ok)
            thumb->reset(t);
    }
    return 1;
}

ImageDesc describe(const heif_image_handle* h)
{
    ImageDesc d = rgbDesc(heif_image_handle_get_width(h), heif_image_handle_get_height(h));
    if (heif_image_handle_has_alpha_channel(h)) d.bitCount = 32;
    return d;
}

int parseHeif(Bytes f, HeaderInfo& info)
{
    Context ctx;
    Handle primary, thumb;
    if (!openImage(f, ctx, primary, &thumb)) return 0;
    info.main = describe(primary.get());
    if (!sizeAcceptable(info.main.width, info.main.height))
        return fail(kLibErrCorrupt, "image size out of range");
    info.maskCount = info.main.bitCount == 32 ? 1 : 0;
    const int top = heif_context_get_number_of_top_level_images(ctx.get());
    info.frameCount = top > 0 ? static_cast<uint32_t>(top) : 1;
    if (thumb) {
        const ImageDesc t = describe(thumb.get());
        if (sizeAcceptable(t.width, t.height)) {
            info.hasPreview = true;
            info.preview = rgbDesc(t.width, t.height);
        }
    }
    return 1;
}

// True when the image's alpha plane is coded in limited range (16 to 235): libheif hands such
// alpha over unexpanded, so opaque pixels would come out at 235 instead of 255.
bool alphaIsLimitedRange(const heif_image_handle* h)
{
    heif_item_id ids[8];
    const int n = heif_image_handle_get_list_of_auxiliary_image_IDs(h, 0, ids, 8);
    for (int i = 0; i < n && i < 8; ++i) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(h, ids[i], &raw).code != heif_error_Ok)
            continue;
        const Handle aux(raw);
        const char* type = nullptr;
        if (heif_image_handle_get_auxiliary_type(aux.get(), &type).code != heif_error_Ok) continue;
        const bool isAlpha =
            type && (std::strstr(type, "auxiliary:alpha") || std::strstr(type, "auxid:1"));
        heif_image_handle_free_auxiliary_types(aux.get(), &type);
        if (!isAlpha) continue;
        heif_color_profile_nclx* nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(aux.get(), &nclx).code != heif_error_Ok) {
            // No colour box: the range is the coded stream's, known after decoding it.
            heif_image* decoded = nullptr;
            if (heif_decode_image(aux.get(), &decoded, heif_colorspace_undefined,
                                  heif_chroma_undefined, nullptr)
                    .code != heif_error_Ok)
                return false;
            const Image img(decoded);
            if (heif_image_get_nclx_color_profile(img.get(), &nclx).code != heif_error_Ok)
                return false;
        }
        const bool limited = nclx && nclx->full_range_flag == 0;
        heif_nclx_color_profile_free(nclx);
        return limited;
    }
    return false;
}

int readHeif(Bytes f, const HeaderInfo& info, Part part, RowSink& sink)
{
    Context ctx;
    Handle primary, thumb;
    if (!openImage(f, ctx, primary, part == Part::Preview ? &thumb : nullptr)) return 0;
    if (part == Part::Preview && !thumb)
        return fail(kLibErrArgument, "the file has no preview image");
    heif_image_handle* h = part == Part::Preview ? thumb.get() : primary.get();
    const bool alpha = part != Part::Preview && info.main.bitCount == 32;
    heif_image* raw = nullptr;
    const heif_error e = heif_decode_image(
        h, &raw, heif_colorspace_RGB,
        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr);
    if (e.code != heif_error_Ok) return heifFailure(e);
    Image img(raw);
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(img.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(img.get(), heif_channel_interleaved);
    const int hgt = heif_image_get_height(img.get(), heif_channel_interleaved);
    if (!plane || w != sink.width() || hgt != sink.height())
        return fail(kLibErrCorrupt, "decoded HEIF picture differs from its header");
    // Limited-range alpha comes from libheif as coded; opaque must be 255.
    const bool expandAlpha = alpha && alphaIsLimitedRange(h);
    std::vector<uint8_t> mask(static_cast<size_t>(w));
    std::vector<uint8_t> expanded(expandAlpha ? 4 * static_cast<size_t>(w) : 0);
    for (int y = 0; y < hgt; ++y) {
        const uint8_t* row = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
        if (expandAlpha) {
            std::memcpy(expanded.data(), row, expanded.size());
            for (int x = 0; x < w; ++x) {
                const int a = (std::max(0, row[4 * x + 3] - 16) * 255 + 109) / 219;
                expanded[4 * size_t(x) + 3] = static_cast<uint8_t>(std::min(255, a));
            }
            row = expanded.data();
        }
        if (part == Part::Mask) {
            for (int x = 0; x < w; ++x)
                mask[size_t(x)] = row[4 * x + 3];
            row = mask.data();
        }
        if (!sink.put(y, row)) return fail(kLibErrGeneric, "reading stopped");
    }
    return 1;
}

const CodecOps kHeifOps = {parseHeif, readHeif, nullptr};

} // namespace
} // namespace mio::stillimage

extern "C" __attribute__((visibility("default"))) const mio::stillimage::CodecOps*
mio_stillimage_codec()
{
    return &mio::stillimage::kHeifOps;
}
