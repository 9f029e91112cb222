// SPDX-License-Identifier: MIT
// Scaling and thumbnail fitting of PackedDibs: fit arithmetic, resampling, fitting, centring.
#pragma once

#include "dib/packed_dib.h"

namespace mio {

/// Fits width x height into the limits keeping the aspect ratio. Returns 1 with the fitted size
/// when the picture exceeds either limit (one side then equals its limit, the other is truncated
/// toward zero and at least 1), or 0 with the outputs untouched when it already fits.
[[nodiscard]] int DibFitSize(int nWidth, int nHeight, int nWidthLimit, int nHeightLimit,
                             int* pnFitWidth, int* pnFitHeight);

/// Resamples pSrc to nNewWidth x nNewHeight in the source's depth (palette indices by nearest
/// neighbour, other depths filtered). An empty *ppDst gets a new bitmap with the source's colour
/// table, owned by the caller; on failure that bitmap is freed again and *ppDst is left empty. An
/// existing *ppDst must already have the new size and the source's depth, else 0 and nothing is
/// written. Returns the resampler's result (> 0 on success).
[[nodiscard]] int DibResample(const BITMAPINFOHEADER* pSrc, PackedDib* ppDst, int nNewWidth,
                              int nNewHeight);

/// Fits a thumbnail into the limits (0 means the source's own size), converting to 24 bits first
/// when bConvertTo24 is set and the source is not 24-bit. Returns 1 with a new bitmap in
/// *ppResult (owned by the caller), or 0 with *ppResult empty meaning the source itself is the
/// answer. The source is never changed or freed.
[[nodiscard]] int DibFitThumbnail(const BITMAPINFOHEADER* pSrc, PackedDib* ppResult,
                                  int nWidthLimit, int nHeightLimit, bool bConvertTo24);

/// Centres pSrc on a black canvas (colour-table entry 0 for palette depths) of exactly
/// nCanvasWidth x nCanvasHeight in the source's depth; an odd surplus goes right and down. A
/// canvas smaller than the source shows the source's centre. Returns 1 with the new bitmap
/// (owned by the caller), or 0 with *ppResult empty when the sizes are already equal or
/// allocation fails.
[[nodiscard]] int DibCenterOnCanvas(const BITMAPINFOHEADER* pSrc, PackedDib* ppResult,
                                    int nCanvasWidth, int nCanvasHeight);

} // namespace mio
