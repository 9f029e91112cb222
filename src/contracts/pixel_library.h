// SPDX-License-Identifier: MIT
// The pixel libraries' operations that bitmap code calls: depth conversion, resampling, colour
// helpers and the table behind the external-pixels form of 24-bit headers.
#pragma once

#include <cstddef>

#include "tavrel/platform/types.h"

extern "C" {

/// Flags of vcConvertEx.
#define VC_CONVERT_DITHER 0x0001u ///< error-diffuse when a palette target cannot hold every colour

/// Resampling modes of vcResample, chosen by the source depth.
#define VC_RESAMPLE_PALETTE 1 ///< 8-bit: palette indices (nearest), grey ramps are averaged
#define VC_RESAMPLE_RGB555 2  ///< 16-bit 5-5-5
#define VC_RESAMPLE_OTHER 3   ///< 1, 4, 24, 32 and 48 bits
/// Quality argument of vcResample.
#define VC_RESAMPLE_NEAREST 0
#define VC_RESAMPLE_FILTERED 1

/// Converts the pixels of one bitmap into another of the same width and height. Source and
/// destination depths may be any of 1, 4, 8, 16 (5-5-5), 24, 32 and 48 bits.
///
/// The headers describe the bitmaps; a colour table, where the depth has one, follows each header
/// at header + biSize. A null pixel address means "locate by the header": the rows follow the
/// colour table, or for a 24-bit header under the external-pixels rule they are the rows
/// registered under its biClrImportant token.
///
/// Palette targets (1, 4, 8 bits): a destination colour table that is entirely zero is built here.
/// An 8-bit target of a grey picture gets the identity grey ramp (index = level); otherwise the
/// source's own palette when it fits, the exact colours when few enough, evenly spaced greys for
/// grey pictures, black and white for 1 bit, else a median-cut palette. A non-zero table is kept
/// and each pixel takes its nearest entry. VC_CONVERT_DITHER diffuses the error of inexact
/// mappings. biClrUsed of the destination is left as the caller set it.
/// 32-bit targets get 255 in the fourth byte unless the source is 32-bit too (copied).
///
/// Returns 1 on success; 0 for a null header, an unsupported depth, compressed input, differing
/// width or height, a row that cannot be located, or an allocation failure. Writes nothing on 0
/// except for a failed allocation half-way through a palette build.
int vcConvert(const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader, void* pDstBits,
              BITMAPINFOHEADER* pDstHeader);

/// vcConvert with explicit flags (VC_CONVERT_*); vcConvert uses VC_CONVERT_DITHER.
int vcConvertEx(const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader, void* pDstBits,
                BITMAPINFOHEADER* pDstHeader, DWORD dwFlags);

/// Scales the source bitmap into the destination rows, which must be laid out for the source's
/// depth at nNewWidth x nNewHeight (bottom-up, rows padded to 4 bytes). The colour table, if any,
/// is the caller's business: indices are never remapped.
///
/// nMode must match the source depth (VC_RESAMPLE_PALETTE for 8 bits, VC_RESAMPLE_RGB555 for 16,
/// VC_RESAMPLE_OTHER otherwise). With nQuality VC_RESAMPLE_FILTERED, shrinking averages the area
/// each destination pixel covers and enlarging uses a Catmull-Rom cubic; palette indices (1, 4
/// and 8 bits, unless the 8-bit table is the identity grey ramp) are always taken by nearest
/// neighbour. VC_RESAMPLE_NEAREST samples every depth by nearest neighbour.
///
/// Returns 1 on success, 0 for a null argument, a mode that does not match the depth, a zero or
/// negative size, or an allocation failure. pSrcBits may be null to locate the rows by the header.
int vcResample(int nMode, const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader, void* pDstBits,
               int nNewWidth, int nNewHeight, int nQuality);

/// Replaces each of the cbCount bytes at pData by its inverse (255 - value). nReserved must be 0.
/// Returns 1, or 0 for a null address with a non-zero count.
int mem32ByteInvert(int nReserved, void* pData, DWORD cbCount);

/// Converts one CMYK pixel (four ink bytes, 0 = no ink) to red, green and blue bytes written in
/// that order: each channel is (255 - ink) x (255 - K) / 255, rounded.
void qfdClrCmykToRgb(const BYTE* pCmyk, BYTE* pRgb);

/// Swaps the first and third byte of each of nPixels 3-byte pixels from pSrc into pDst. The two
/// may be the same address (in place); partially overlapping ranges are not supported.
void RGBToBGR(const BYTE* pSrc, BYTE* pDst, int nPixels);

/// External pixel rows. A 24-bit header whose biClrImportant is neither 0 nor 1 has no rows of
/// its own; the value names rows held elsewhere. A 32-bit field cannot hold an address on a
/// 64-bit process, so the value is a token from this process-wide table.
///
/// Registers cbBits bytes at pBits (still owned by the caller, who must unregister before freeing
/// them). Returns a token of at least 2, or 0 when pBits is null or no token is free.
DWORD vcRegisterExternalBits(void* pBits, size_t cbBits);
/// The rows registered under dwToken, or null when the token is unknown or its range is shorter
/// than cbNeeded bytes. Safe to call from any thread.
void* vcLookupExternalBits(DWORD dwToken, size_t cbNeeded);
/// Forgets a token. Returns TRUE when it was registered.
BOOL vcUnregisterExternalBits(DWORD dwToken);

} // extern "C"
