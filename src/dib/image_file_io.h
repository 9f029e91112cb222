// SPDX-License-Identifier: MIT
// Reading and writing image files as PackedDibs through the still-image library's row exchange.
#pragma once

#include <cstdint>
#include <mutex>

#include "dib/packed_dib.h"
#include "tavrel/platform/types.h"

namespace mio {

/// Pixel count above which a bilevel image is reduced (as 8-bit grey) on reading, so that a huge
/// fax or scan does not become a multi-gigabyte bitmap downstream.
inline constexpr int64_t kMaxBilevelPixels = 25'000'000;
/// Longer side of the preview that a write embeds.
inline constexpr int kWritePreviewSide = 96;
/// JPEG quality the library uses when its settings file holds none.
inline constexpr int kDefaultJpegQuality = 85;

/// Decodes the main image (or, with bUsePreview, the embedded preview) of a still-image record.
/// The preview is refused when the record has none or reports one larger than the main image.
/// CMYK comes back as 24-bit BGR, 16-bit grey as 8-bit grey, 48-bit RGB as 48-bit BGR, and a
/// bilevel image over kMaxBilevelPixels as 8-bit grey halved until it fits. pbAbort, when given,
/// is polled between rows (another thread may set it). Returns > 0 with a new bitmap in
/// *ppResult (the caller owns it, DibFree), or <= 0 (the library's result or 0) with *ppResult
/// null. The record stays the caller's; no library lock is taken here.
[[nodiscard]] int DibReadImageFile(HGLOBAL hFileData, bool bUsePreview, PackedDib* ppResult,
                                   const BOOL* pbAbort);

/// Decodes the mask of a record whose mask count is above 0 into a new 8-bit grey bitmap of the
/// main image's size (the caller owns it). Returns > 0 with the bitmap, or <= 0 with *ppResult
/// null.
[[nodiscard]] int DibReadMaskImage(HGLOBAL hFileData, PackedDib* ppResult);

/// A new 736-byte write record (movable, zero-filled) for writing pSource to pszPath in the
/// library format nFormatId. The caller owns it and frees it with q32FileFreeFileData. Null for
/// a missing argument, a path of 260 bytes or more (it would not fit and a cut path names another
/// file), or a failed allocation.
[[nodiscard]] HGLOBAL NewImageWriteRecord(const char* pszPath, int32_t nFormatId,
                                          const BITMAPINFOHEADER* pSource);

/// Writes pSource through a write record, with a preview of at most kWritePreviewSide pixels on
/// its longer side when bSavePreview is set. 8, 16, 24 and 32-bit bitmaps go as they are; 1 and
/// 4-bit ones are widened to 8 bits and 48-bit ones narrowed to 24 first. Bottom-up bitmaps only.
/// Returns the library's result (> 0 on success) or 0. pSource is read only; on failure the
/// record keeps the palette handle it was given, which q32FileFreeFileData deletes.
[[nodiscard]] int DibWriteImageFile(HGLOBAL hFileData, const BITMAPINFOHEADER* pSource,
                                    bool bSavePreview);

/// Stores nNewQuality as the library's JPEG quality (settings file, section "QF_IJPG", key
/// "Quality") and returns the quality stored before, kDefaultJpegQuality when there was none.
/// Writing the returned value back restores the setting. The setting is shared by every process
/// using the settings file.
int SwapJpegQuality(int nNewQuality);

/// The JPEG quality for one write: SwapJpegQuality on construction, the previous value put back on
/// destruction. Holds a process-wide mutex meanwhile, so that overlapping JPEG writes of this
/// process cannot put back each other's values out of order and leave a write's quality behind.
/// The mutex nests inside nothing of the engine's and no engine lock is taken under it.
class JpegQualityScope {
  public:
    explicit JpegQualityScope(int nQuality);
    ~JpegQualityScope();
    JpegQualityScope(const JpegQualityScope&) = delete;
    JpegQualityScope& operator=(const JpegQualityScope&) = delete;

  private:
    std::unique_lock<std::mutex> m_lock;
    int m_previous;
};

} // namespace mio
