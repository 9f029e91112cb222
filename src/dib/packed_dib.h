// SPDX-License-Identifier: MIT
// The PackedDib model: layout computations, allocation, and conversions between depths.
#pragma once

#include <cstddef>
#include <memory>

#include "tavrel/platform/types.h"

namespace mio {

/// A device-independent bitmap in one movable global block that stays locked for its whole life:
/// BITMAPINFOHEADER, colour table (1, 4, 8 bits), bottom-up rows padded to 4 bytes. It is known by
/// its locked address, the address of its header; the holder of that address owns the block.
using PackedDib = BITMAPINFOHEADER*;

/// Largest pixel area DibAlloc agrees to make (stride x height); far above any thumbnail or
/// decoded photo, far below what would exhaust the machine.
inline constexpr size_t kMaxDibImageBytes = size_t{1} << 31;

/// Colour-table entries: biClrUsed when non-zero, else 2, 16, 256 for 1, 4, 8 bits; 0 for others.
[[nodiscard]] size_t DibColorTableEntries(const BITMAPINFOHEADER* pHeader);
/// biSize + 4 x colour-table entries: where the rows start behind the header.
[[nodiscard]] size_t DibBitsOffset(const BITMAPINFOHEADER* pHeader);
/// The pixel rows. For a 24-bit header whose biClrImportant is neither 0 nor 1 they live
/// elsewhere: biClrImportant is a token of the pixel library's external-bits table, and the
/// result is the registered address, or null when the token is unknown or its range is too
/// short for the header. Otherwise header + DibBitsOffset. Null for a null header.
[[nodiscard]] BYTE* DibBits(const BITMAPINFOHEADER* pHeader);
/// Bytes per row (padded to 4); 0 for a negative width or one too large to express.
[[nodiscard]] size_t DibStride(const BITMAPINFOHEADER* pHeader);
/// DibStride x biHeight; 0 when the height is negative or the product overflows.
[[nodiscard]] size_t DibImageSize(const BITMAPINFOHEADER* pHeader);
/// DibBitsOffset + DibImageSize: the bytes to allocate for the whole bitmap; 0 on overflow.
[[nodiscard]] size_t DibTotalSize(const BITMAPINFOHEADER* pHeader);

/// Clears the header, then sets biSize 40, biPlanes 1, BI_RGB, the three arguments, biClrUsed
/// 256 for 8 bits, and biSizeImage when width, height and bit count are all non-zero.
void DibInitHeader(BITMAPINFOHEADER* pHeader, int nWidth, int nHeight, int nBitCount);

/// A new zero-filled bitmap (colour table and pixels zero). The caller owns it and frees it with
/// DibFree. Null for a negative size, a depth other than 1, 4, 8, 16, 24, 32, 48, an image over
/// kMaxDibImageBytes, or a failed allocation or lock.
[[nodiscard]] PackedDib DibAlloc(int nWidth, int nHeight, int nBitCount);
/// Unlocks and frees the block behind a locked address. Null is accepted and ignored.
void DibFree(PackedDib pDib);

/// Frees a PackedDib when the owner goes away.
struct DibDeleter {
    void operator()(BITMAPINFOHEADER* pDib) const { DibFree(pDib); }
};
using UniquePackedDib = std::unique_ptr<BITMAPINFOHEADER, DibDeleter>;

/// Converts pSrc into *ppDst. An empty *ppDst gets a new bitmap of the source's size at
/// nBitCount (the caller owns it, and must free it even when the conversion fails); an existing
/// *ppDst keeps its own header, which then decides the target depth. bCmyk routes to
/// DibCmykTo24; 32 or 48 bits into 24 use the fixed converters; any other pair goes to the pixel
/// library (vcConvert), which also builds palettes. Returns 1 (or the library's positive result)
/// on success, 0 on failure.
[[nodiscard]] int DibConvert(const BITMAPINFOHEADER* pSrc, PackedDib* ppDst, int nBitCount,
                             bool bCmyk);

/// 32-bit BGRx into 24-bit BGR (fourth byte dropped). Returns 1, or 0 without writing when the
/// source is not 32-bit or the destination is not a 24-bit bitmap of the same size.
[[nodiscard]] int Dib32To24(const BITMAPINFOHEADER* pSrc, PackedDib pDst);
/// Inverted CMYK (32-bit, as files store it) into 24-bit BGR. The source rows are left inverted
/// (plain CMYK) afterwards. Returns 1, or 0 without touching either bitmap when the source is not
/// 32-bit or the destination is not a 24-bit bitmap of the same size.
[[nodiscard]] int DibCmykTo24(PackedDib pSrc, PackedDib pDst);
/// 48-bit (three 16-bit words) into 24-bit: each word v becomes (v + 128) / 257. Returns 1, or 0
/// without writing when the source is not 48-bit or the destination does not match it.
[[nodiscard]] int Dib48To24(const BITMAPINFOHEADER* pSrc, PackedDib pDst);

/// Composites pPicture over pBackground in place through pMask: weight 0 takes the background,
/// 255 keeps the picture, m otherwise gives (picture x m + background x (256 - m)) >> 8. Picture
/// and background are 24-bit, the mask 8-bit (its palette ignored), all the same size; anything
/// else returns 0 and changes nothing. Returns 1.
[[nodiscard]] int DibBlendMask(PackedDib pPicture, const BITMAPINFOHEADER* pBackground,
                               const BITMAPINFOHEADER* pMask);
/// A new 32-bit bitmap (owned by the caller) with the picture's blue, green, red and the mask
/// byte as the fourth byte. The picture is 24- or 32-bit, the mask 8-bit of the same size.
/// Returns 1 and the bitmap, or 0 with *ppResult null on mismatch or allocation failure.
[[nodiscard]] int DibAddAlpha(const BITMAPINFOHEADER* pPicture, const BITMAPINFOHEADER* pMask,
                              PackedDib* ppResult);

namespace dib_detail {
/// Validated facts about a bitmap whose rows are about to be touched; false when the header is
/// unusable (bad depth, negative or oversized dimensions, compression, unlocatable rows).
struct Layout {
    int width;
    int height;
    int bitCount;
    size_t stride;
    BYTE* bits;
    BYTE* row(int y) const { return bits + static_cast<size_t>(height - 1 - y) * stride; }
};
[[nodiscard]] bool describe(const BITMAPINFOHEADER* pHeader, Layout& out);
/// A new bitmap (nWidth x nHeight, the source's depth) carrying the source's colour table
/// behind a fresh header; null on failure or unusable size.
[[nodiscard]] PackedDib allocLike(const BITMAPINFOHEADER* pSrc, int nWidth, int nHeight);
} // namespace dib_detail

} // namespace mio
