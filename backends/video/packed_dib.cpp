// SPDX-License-Identifier: MIT
// Building packed DIBs from decoded pictures: scaling, colour conversion and rotation.
#include "packed_dib.h"

#include "contracts/common_library.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <vector>

namespace mio::video {

PackedDibBlock& PackedDibBlock::operator=(PackedDibBlock&& other) noexcept
{
    if (this != &other) {
        reset();
        m_header = other.m_header;
        other.m_header = nullptr;
    }
    return *this;
}

size_t PackedDibBlock::stride() const
{
    // rows are 24-bit and padded to 4 bytes
    return (static_cast<size_t>(width()) * 3 + 3) & ~size_t{3};
}

bool PackedDibBlock::create(int width, int height)
{
    reset();
    if (width <= 0 || height <= 0 || width > kMaxDibSide || height > kMaxDibSide ||
        int64_t{width} * height > kMaxDibPixels) {
        setLastError(kLibErrArgument, "Bitmap size out of range");
        return false;
    }
    // Sides are at most 16384, so the product fits easily in size_t.
    size_t rowBytes = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    size_t imageBytes = rowBytes * static_cast<size_t>(height);
    HGLOBAL block =
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(BITMAPINFOHEADER) + imageBytes);
    if (!block) {
        setLastError(kLibErrMemory, "Out of memory for the bitmap");
        return false;
    }
    auto* header = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    if (!header) {
        GlobalFree(block);
        setLastError(kLibErrMemory, "The bitmap memory cannot be locked");
        return false;
    }
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = width;
    header->biHeight = height; // positive: bottom-up
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = 0; // BI_RGB
    header->biSizeImage = static_cast<DWORD>(imageBytes);
    m_header = header;
    return true;
}

uint8_t* PackedDibBlock::rowFromTop(int y) const
{
    auto* pixels = reinterpret_cast<uint8_t*>(m_header + 1);
    return pixels + static_cast<size_t>(height() - 1 - y) * stride();
}

BITMAPINFOHEADER* PackedDibBlock::release()
{
    BITMAPINFOHEADER* header = m_header;
    m_header = nullptr;
    return header;
}

void PackedDibBlock::reset()
{
    freeDib(m_header);
    m_header = nullptr;
}

void freeDib(BITMAPINFOHEADER* header)
{
    if (!header) return;
    HGLOBAL block = GlobalHandle(header);
    if (!block) return;
    GlobalUnlock(block);
    GlobalFree(block);
}

bool renderPicture(const AVFrame* frame, int rotation, int width, int height, SwsPtr& scaler,
                   PackedDibBlock& out)
{
    // Scale in the stored orientation, then turn while copying into the bitmap.
    bool quarter = rotation == 90 || rotation == 270;
    int scaledW = quarter ? height : width;
    int scaledH = quarter ? width : height;
    if (frame->width <= 0 || frame->height <= 0 || scaledW <= 0 || scaledH <= 0) {
        setLastError(kLibErrCorrupt, "The decoded picture has no size");
        return false;
    }
    bool shrinking = scaledW < frame->width || scaledH < frame->height;
    int flags = (shrinking ? SWS_AREA : SWS_BICUBIC) | SWS_ACCURATE_RND;
    SwsContext* ctx = sws_getCachedContext(
        scaler.release(), frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
        scaledW, scaledH, AV_PIX_FMT_BGR24, flags, nullptr, nullptr, nullptr);
    scaler.reset(ctx);
    if (!ctx) {
        setLastError(kLibErrUnsupported, "The picture's pixel format cannot be converted");
        return false;
    }
    // Honour the stream's colour matrix and range; FFmpeg's default is BT.601 limited range.
    // Unmarked streams follow the usual guess: BT.709 for HD sizes, BT.601 below.
    int colorspace = frame->colorspace;
    if (colorspace == AVCOL_SPC_UNSPECIFIED || colorspace == AVCOL_SPC_RESERVED)
        colorspace = frame->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
    const int* coefficients = sws_getCoefficients(colorspace);
    int srcRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB)) srcRange = 1;
    sws_setColorspaceDetails(ctx, coefficients, srcRange, sws_getCoefficients(AVCOL_SPC_BT470BG), 1,
                             0, 1 << 16, 1 << 16);

    if (!out.create(width, height)) return false;
    // swscale's vector code may write past the end of a row, so it scales into a private
    // buffer with a padded stride and slack, never straight into the exactly sized bitmap.
    size_t tmpStride = (static_cast<size_t>(scaledW) * 3 + 63) & ~size_t{63};
    std::vector<uint8_t> tmp;
    try {
        tmp.resize(tmpStride * static_cast<size_t>(scaledH) + 256);
    } catch (const std::bad_alloc&) {
        out.reset();
        setLastError(kLibErrMemory, "Out of memory converting the picture");
        return false;
    }
    uint8_t* dst[4] = {tmp.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(tmpStride), 0, 0, 0};
    sws_scale(ctx, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    if (rotation == 0) {
        for (int y = 0; y < height; ++y)
            std::memcpy(out.rowFromTop(y), tmp.data() + static_cast<size_t>(y) * tmpStride,
                        static_cast<size_t>(width) * 3);
        return true;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = out.rowFromTop(y);
        for (int x = 0; x < width; ++x) {
            int sx, sy;
            if (rotation == 90) {
                sx = y;
                sy = scaledH - 1 - x;
            } else if (rotation == 270) {
                sx = scaledW - 1 - y;
                sy = x;
            } else {
                sx = scaledW - 1 - x;
                sy = scaledH - 1 - y;
            }
            const uint8_t* src =
                tmp.data() + static_cast<size_t>(sy) * tmpStride + static_cast<size_t>(sx) * 3;
            std::memcpy(row + static_cast<size_t>(x) * 3, src, 3);
        }
    }
    return true;
}

} // namespace mio::video
