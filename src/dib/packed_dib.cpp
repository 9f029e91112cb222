// SPDX-License-Identifier: MIT
// The PackedDib model: layout computations, allocation, and conversions between depths.
#include "dib/packed_dib.h"

#include <algorithm>
#include <cstring>

#include "contracts/pixel_library.h"
#include "dib/checked_math.h"
#include "tavrel/platform/memory.h"

namespace mio {
namespace {

bool isDibDepth(int bitCount)
{
    switch (bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
    case 48:
        return true;
    default:
        return false;
    }
}

// Larger than any BITMAPINFOHEADER version (the V5 header has 124 bytes).
constexpr DWORD kMaxHeaderBytes = 1024;

bool usesExternalBits(const BITMAPINFOHEADER* h)
{
    return h->biBitCount == 24 && h->biClrImportant != 0 && h->biClrImportant != 1;
}

bool sameSize(const dib_detail::Layout& a, const dib_detail::Layout& b)
{
    return a.width == b.width && a.height == b.height;
}

// True unless the header sits in a global block too small for what it claims: an edited or
// corrupt header then cannot send a converter past the block. Headers outside the global heap
// (library-owned or external) cannot be checked. The caller's last error is left as it was.
bool fitsItsBlock(const BITMAPINFOHEADER* h, size_t needed)
{
    const DWORD saved = GetLastError();
    HGLOBAL block = GlobalHandle(h);
    const bool fits = !block || GlobalSize(block) >= needed;
    SetLastError(saved);
    return fits;
}

// GlobalAlloc + GlobalLock as one step; null leaves nothing allocated.
BYTE* allocLocked(size_t bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (!block) return nullptr;
    void* p = GlobalLock(block);
    if (!p) {
        GlobalFree(block);
        return nullptr;
    }
    return static_cast<BYTE*>(p);
}

} // namespace

size_t DibColorTableEntries(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return 0;
    switch (pHeader->biBitCount) {
    case 1:
    case 4:
    case 8:
        return pHeader->biClrUsed != 0 ? pHeader->biClrUsed : size_t{1} << pHeader->biBitCount;
    default:
        return 0;
    }
}

size_t DibBitsOffset(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return 0;
    return size_t{pHeader->biSize} + 4 * DibColorTableEntries(pHeader);
}

BYTE* DibBits(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return nullptr;
    if (usesExternalBits(pHeader))
        return static_cast<BYTE*>(
            vcLookupExternalBits(pHeader->biClrImportant, DibImageSize(pHeader)));
    return const_cast<BYTE*>(reinterpret_cast<const BYTE*>(pHeader)) + DibBitsOffset(pHeader);
}

size_t DibStride(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return 0;
    return checkedDibStride(pHeader->biWidth, pHeader->biBitCount).value_or(0);
}

size_t DibImageSize(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return 0;
    return checkedDibImageSize(pHeader->biWidth, pHeader->biHeight, pHeader->biBitCount)
        .value_or(0);
}

size_t DibTotalSize(const BITMAPINFOHEADER* pHeader)
{
    if (!pHeader) return 0;
    const auto image =
        checkedDibImageSize(pHeader->biWidth, pHeader->biHeight, pHeader->biBitCount);
    if (!image) return 0;
    return checkedAdd(DibBitsOffset(pHeader), *image).value_or(0);
}

void DibInitHeader(BITMAPINFOHEADER* pHeader, int nWidth, int nHeight, int nBitCount)
{
    if (!pHeader) return;
    *pHeader = BITMAPINFOHEADER{};
    pHeader->biSize = sizeof(BITMAPINFOHEADER);
    pHeader->biPlanes = 1;
    pHeader->biCompression = BI_RGB;
    pHeader->biWidth = nWidth;
    pHeader->biHeight = nHeight;
    pHeader->biBitCount = static_cast<WORD>(nBitCount);
    if (nBitCount == 8) pHeader->biClrUsed = 256;
    if (nWidth != 0 && nHeight != 0 && nBitCount != 0) {
        // A size that does not fit the 32-bit field is left 0; DibAlloc refuses such bitmaps.
        const auto image = checkedDibImageSize(nWidth, nHeight, static_cast<unsigned>(nBitCount));
        pHeader->biSizeImage = image ? checkedCast<DWORD>(*image).value_or(0) : 0;
    }
}

PackedDib DibAlloc(int nWidth, int nHeight, int nBitCount)
{
    if (nWidth < 0 || nHeight < 0 || !isDibDepth(nBitCount)) return nullptr;
    BITMAPINFOHEADER header;
    DibInitHeader(&header, nWidth, nHeight, nBitCount);
    const auto image = checkedDibImageSize(nWidth, nHeight, static_cast<unsigned>(nBitCount));
    if (!image || *image > kMaxDibImageBytes) return nullptr;
    BYTE* block = allocLocked(DibTotalSize(&header));
    if (!block) return nullptr;
    std::memcpy(block, &header, sizeof header);
    return reinterpret_cast<PackedDib>(block);
}

void DibFree(PackedDib pDib)
{
    if (!pDib) return;
    HGLOBAL block = GlobalHandle(pDib);
    if (!block) return;
    GlobalUnlock(block);
    GlobalFree(block);
}

namespace dib_detail {

bool describe(const BITMAPINFOHEADER* pHeader, Layout& out)
{
    if (!pHeader || pHeader->biSize < sizeof(BITMAPINFOHEADER) || pHeader->biCompression != BI_RGB)
        return false;
    if (!isDibDepth(pHeader->biBitCount) || pHeader->biWidth < 0 || pHeader->biHeight < 0)
        return false;
    if (DibColorTableEntries(pHeader) > 256 || pHeader->biSize > kMaxHeaderBytes) return false;
    const auto image =
        checkedDibImageSize(pHeader->biWidth, pHeader->biHeight, pHeader->biBitCount);
    if (!image || *image > kMaxDibImageBytes) return false;
    const size_t behind = usesExternalBits(pHeader) ? 0 : *image;
    if (!fitsItsBlock(pHeader, DibBitsOffset(pHeader) + behind)) return false;
    out.width = pHeader->biWidth;
    out.height = pHeader->biHeight;
    out.bitCount = pHeader->biBitCount;
    out.stride = DibStride(pHeader);
    out.bits = DibBits(pHeader);
    return out.bits != nullptr;
}

PackedDib allocLike(const BITMAPINFOHEADER* pSrc, int nWidth, int nHeight)
{
    if (!pSrc) return nullptr;
    PackedDib dib = DibAlloc(nWidth, nHeight, pSrc->biBitCount);
    if (!dib) return nullptr;
    // The source's colour table follows its own biSize; copy only as many entries as both hold,
    // so a source with a long table cannot overrun the new block.
    const size_t entries = std::min(DibColorTableEntries(pSrc), DibColorTableEntries(dib));
    std::memcpy(reinterpret_cast<BYTE*>(dib) + dib->biSize,
                reinterpret_cast<const BYTE*>(pSrc) + pSrc->biSize, 4 * entries);
    return dib;
}

} // namespace dib_detail

using dib_detail::describe;
using dib_detail::Layout;

int DibConvert(const BITMAPINFOHEADER* pSrc, PackedDib* ppDst, int nBitCount, bool bCmyk)
{
    if (!pSrc || !ppDst) return 0;
    if (!*ppDst) {
        *ppDst = DibAlloc(pSrc->biWidth, pSrc->biHeight, nBitCount);
        if (!*ppDst) return 0;
    }
    PackedDib dst = *ppDst;
    if (bCmyk) return DibCmykTo24(const_cast<PackedDib>(pSrc), dst);
    if (pSrc->biBitCount == 32 && dst->biBitCount == 24) return Dib32To24(pSrc, dst);
    if (pSrc->biBitCount == 48 && dst->biBitCount == 24) return Dib48To24(pSrc, dst);
    Layout src{}, out{};
    if (!describe(pSrc, src) || !describe(dst, out)) return 0;
    return vcConvert(src.bits, pSrc, out.bits, dst);
}

int Dib32To24(const BITMAPINFOHEADER* pSrc, PackedDib pDst)
{
    Layout src{}, dst{};
    if (!describe(pSrc, src) || src.bitCount != 32) return 0;
    if (!describe(pDst, dst) || dst.bitCount != 24 || !sameSize(src, dst)) return 0;
    for (int y = 0; y < src.height; ++y) {
        const BYTE* in = src.row(y);
        BYTE* out = dst.row(y);
        for (int x = 0; x < src.width; ++x, in += 4, out += 3) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        }
    }
    return 1;
}

int DibCmykTo24(PackedDib pSrc, PackedDib pDst)
{
    Layout src{}, dst{};
    if (!describe(pSrc, src) || src.bitCount != 32) return 0;
    if (!describe(pDst, dst) || dst.bitCount != 24 || !sameSize(src, dst)) return 0;
    for (int y = 0; y < src.height; ++y) {
        BYTE* in = src.row(y);
        BYTE* out = dst.row(y);
        mem32ByteInvert(0, in, static_cast<DWORD>(src.stride));
        for (int x = 0; x < src.width; ++x)
            qfdClrCmykToRgb(in + 4 * x, out + 3 * x);
        RGBToBGR(out, out, src.width);
    }
    return 1;
}

int Dib48To24(const BITMAPINFOHEADER* pSrc, PackedDib pDst)
{
    Layout src{}, dst{};
    if (!describe(pSrc, src) || src.bitCount != 48) return 0;
    if (!describe(pDst, dst) || dst.bitCount != 24 || !sameSize(src, dst)) return 0;
    const size_t channels = static_cast<size_t>(src.width) * 3;
    for (int y = 0; y < src.height; ++y) {
        const BYTE* in = src.row(y);
        BYTE* out = dst.row(y);
        for (size_t i = 0; i < channels; ++i) {
            const unsigned v = in[2 * i] | (unsigned{in[2 * i + 1]} << 8);
            out[i] = static_cast<BYTE>((v + 128u) / 257u);
        }
    }
    return 1;
}

int DibBlendMask(PackedDib pPicture, const BITMAPINFOHEADER* pBackground,
                 const BITMAPINFOHEADER* pMask)
{
    Layout pic{}, back{}, mask{};
    if (!describe(pPicture, pic) || !describe(pBackground, back) || !describe(pMask, mask))
        return 0;
    if (pic.bitCount != 24 || back.bitCount != 24 || mask.bitCount != 8) return 0;
    if (!sameSize(pic, back) || !sameSize(pic, mask)) return 0;
    for (int y = 0; y < pic.height; ++y) {
        BYTE* p = pic.row(y);
        const BYTE* b = back.row(y);
        const BYTE* m = mask.row(y);
        for (int x = 0; x < pic.width; ++x, p += 3, b += 3) {
            const unsigned w = m[x];
            if (w == 255) continue;
            if (w == 0) {
                std::memcpy(p, b, 3);
                continue;
            }
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<BYTE>((p[c] * w + b[c] * (256u - w)) >> 8);
        }
    }
    return 1;
}

int DibAddAlpha(const BITMAPINFOHEADER* pPicture, const BITMAPINFOHEADER* pMask,
                PackedDib* ppResult)
{
    if (!ppResult) return 0;
    *ppResult = nullptr;
    Layout pic{}, mask{};
    if (!describe(pPicture, pic) || !describe(pMask, mask)) return 0;
    if ((pic.bitCount != 24 && pic.bitCount != 32) || mask.bitCount != 8 || !sameSize(pic, mask))
        return 0;
    UniquePackedDib result(DibAlloc(pic.width, pic.height, 32));
    Layout out{};
    if (!result || !describe(result.get(), out)) return 0;
    const int bpp = pic.bitCount / 8;
    for (int y = 0; y < pic.height; ++y) {
        const BYTE* p = pic.row(y);
        const BYTE* m = mask.row(y);
        BYTE* o = out.row(y);
        for (int x = 0; x < pic.width; ++x, p += bpp, o += 4) {
            o[0] = p[0];
            o[1] = p[1];
            o[2] = p[2];
            o[3] = m[x];
        }
    }
    *ppResult = result.release();
    return 1;
}

} // namespace mio
