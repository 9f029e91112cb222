// SPDX-License-Identifier: MIT
// Scaling and thumbnail fitting of PackedDibs.
#include "dib/thumbnail_fit.h"

#include <algorithm>
#include <cstring>

#include "contracts/pixel_library.h"

namespace mio {

using dib_detail::describe;
using dib_detail::Layout;

int DibFitSize(int nWidth, int nHeight, int nWidthLimit, int nHeightLimit, int* pnFitWidth,
               int* pnFitHeight)
{
    if (nWidth <= nWidthLimit && nHeight <= nHeightLimit) return 0;
    if (!pnFitWidth || !pnFitHeight) return 0;
    const double rW = static_cast<double>(nWidthLimit) / nWidth;
    const double rH = static_cast<double>(nHeightLimit) / nHeight;
    if (rH < rW) {
        *pnFitHeight = nHeightLimit;
        *pnFitWidth = std::max(1, static_cast<int>(nWidth * rH));
    } else {
        *pnFitWidth = nWidthLimit;
        *pnFitHeight = std::max(1, static_cast<int>(nHeight * rW));
    }
    return 1;
}

int DibResample(const BITMAPINFOHEADER* pSrc, PackedDib* ppDst, int nNewWidth, int nNewHeight)
{
    if (!ppDst) return 0;
    Layout src{};
    if (!describe(pSrc, src) || nNewWidth <= 0 || nNewHeight <= 0) return 0;
    UniquePackedDib created;
    PackedDib dst = *ppDst;
    if (!dst) {
        created.reset(dib_detail::allocLike(pSrc, nNewWidth, nNewHeight));
        if (!created) return 0;
        dst = created.get();
    }
    Layout out{};
    // vcResample lays rows out by the new size and the source depth: a caller's bitmap that
    // differs would be overrun.
    if (!describe(dst, out) || out.width != nNewWidth || out.height != nNewHeight ||
        out.bitCount != src.bitCount)
        return 0;
    const int mode = src.bitCount == 8    ? VC_RESAMPLE_PALETTE
                     : src.bitCount == 16 ? VC_RESAMPLE_RGB555
                                          : VC_RESAMPLE_OTHER;
    const int result =
        vcResample(mode, src.bits, pSrc, out.bits, nNewWidth, nNewHeight, VC_RESAMPLE_FILTERED);
    if (result > 0 && created) *ppDst = created.release();
    return result;
}

int DibFitThumbnail(const BITMAPINFOHEADER* pSrc, PackedDib* ppResult, int nWidthLimit,
                    int nHeightLimit, bool bConvertTo24)
{
    if (!ppResult) return 0;
    *ppResult = nullptr;
    if (!pSrc) return 0;
    if (nWidthLimit == 0) nWidthLimit = pSrc->biWidth;
    if (nHeightLimit == 0) nHeightLimit = pSrc->biHeight;

    UniquePackedDib converted;
    if (bConvertTo24 && pSrc->biBitCount != 24) {
        PackedDib dst = nullptr;
        const int result = DibConvert(pSrc, &dst, 24, false);
        UniquePackedDib made(dst); // freed here unless the conversion worked
        if (result > 0) converted = std::move(made);
    }
    const BITMAPINFOHEADER* current = converted ? converted.get() : pSrc;

    int fitWidth = 0, fitHeight = 0;
    if (DibFitSize(pSrc->biWidth, pSrc->biHeight, nWidthLimit, nHeightLimit, &fitWidth,
                   &fitHeight) > 0) {
        PackedDib resampled = nullptr;
        if (DibResample(current, &resampled, fitWidth, fitHeight) > 0) {
            *ppResult = resampled;
            return 1;
        }
    }
    if (converted) {
        *ppResult = converted.release();
        return 1;
    }
    return 0;
}

namespace {

// Copies bitCount-bit pixels [from, from + count) of one row into another row at pixel `to`.
// Whole-byte depths move bytes; 1- and 4-bit pixels are moved one by one so that a start that is
// not on a byte boundary does not shift the picture.
void copyPixels(const BYTE* in, int from, BYTE* out, int to, int count, int bitCount)
{
    if (bitCount >= 8) {
        const size_t bpp = static_cast<size_t>(bitCount / 8);
        std::memcpy(out + to * bpp, in + from * bpp, count * bpp);
        return;
    }
    const unsigned perByte = 8u / static_cast<unsigned>(bitCount);
    const unsigned mask = (1u << bitCount) - 1;
    for (int i = 0; i < count; ++i) {
        const auto s = static_cast<unsigned>(from + i), d = static_cast<unsigned>(to + i);
        const unsigned shiftIn = (perByte - 1 - s % perByte) * static_cast<unsigned>(bitCount);
        const unsigned shiftOut = (perByte - 1 - d % perByte) * static_cast<unsigned>(bitCount);
        const unsigned v = (in[s / perByte] >> shiftIn) & mask;
        out[d / perByte] =
            static_cast<BYTE>((out[d / perByte] & ~(mask << shiftOut)) | (v << shiftOut));
    }
}

} // namespace

int DibCenterOnCanvas(const BITMAPINFOHEADER* pSrc, PackedDib* ppResult, int nCanvasWidth,
                      int nCanvasHeight)
{
    if (!ppResult) return 0;
    *ppResult = nullptr;
    Layout src{};
    if (!describe(pSrc, src)) return 0;
    if (nCanvasWidth == src.width && nCanvasHeight == src.height) return 0;
    UniquePackedDib canvas(dib_detail::allocLike(pSrc, nCanvasWidth, nCanvasHeight));
    Layout out{};
    if (!canvas || !describe(canvas.get(), out)) return 0;
    // The block is zero-filled: black, or colour-table entry 0. Only the pixels of each source
    // row are copied (not its padding), and only where they land on the canvas.
    const int dx = (nCanvasWidth - src.width) / 2;
    const int dy = (nCanvasHeight - src.height) / 2;
    const int firstX = std::max(0, -dx);
    const int lastX = std::min(src.width, nCanvasWidth - dx);
    for (int r = std::max(0, -dy); r < src.height && dy + r < nCanvasHeight; ++r) {
        if (lastX > firstX)
            copyPixels(src.row(r), firstX, out.row(dy + r), dx + firstX, lastX - firstX,
                       src.bitCount);
    }
    *ppResult = canvas.release();
    return 1;
}

} // namespace mio
