// SPDX-License-Identifier: MIT
// Reading and writing image files as PackedDibs through the still-image library's row exchange.
#include "dib/image_file_io.h"

#include <contracts/common_library.h>
#include <contracts/still_image_library.h>
#include <tavrel/platform/gdi.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/profile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "dib/checked_math.h"
#include "dib/thumbnail_fit.h"

namespace mio {

namespace {

constexpr size_t kWriteChunkBytes = 65'536;
constexpr size_t kIniPathBytes = 260;

// What the read-rows callback needs; reached through word 12 of the transfer block.
struct ReadContext {
    dib_detail::Layout layout;
    int32_t colorType;
    const BOOL* abort; // may be set by another thread while the read runs
};

// What the write-rows callback needs. The row-pointer arrays have two halves: rows top-down,
// then the run handed to the library (shifted by the x offset it asks for).
struct WriteContext {
    BYTE** mainRows;
    BYTE** previewRows;
    int height;
    int previewHeight;
    size_t bytesPerPixel;
    size_t stride;
};

bool abortRequested(const BOOL* flag)
{
    return flag && __atomic_load_n(flag, __ATOMIC_RELAXED) != 0;
}

RGBQUAD* colorTable(PackedDib dib)
{
    return reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(dib) + dib->biSize);
}

// Grey ramp over the whole table; a table shorter than 256 entries still spans black to white.
void fillGreyRamp(PackedDib dib, size_t entries)
{
    RGBQUAD* table = colorTable(dib);
    for (size_t i = 0; i < entries; ++i) {
        const auto v = static_cast<BYTE>(entries >= 256 ? i : i * 255 / (entries - 1));
        table[i] = {v, v, v, 0};
    }
    dib->biClrUsed = static_cast<DWORD>(entries);
}

// The table only ever receives as many entries as the bitmap's depth leaves room for.
void fillColorTable(PackedDib dib, int32_t colorType, uint32_t paletteField)
{
    const size_t capacity = dib->biBitCount <= 8 ? DibColorTableEntries(dib) : 0;
    if (capacity < 2) return;
    switch (colorType) {
    case QF_COLOR_PALETTE4:
    case QF_COLOR_PALETTE8:
        if (paletteField != 0) {
            PALETTEENTRY entries[256] = {};
            const UINT got =
                GetPaletteEntries(QfPaletteFromField(paletteField), 0,
                                  static_cast<UINT>(std::min<size_t>(capacity, 256)), entries);
            if (got > 0) {
                RGBQUAD* table = colorTable(dib);
                for (UINT i = 0; i < got; ++i)
                    table[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
                dib->biClrUsed = got;
                return;
            }
        }
        fillGreyRamp(dib, capacity);
        return;
    case QF_COLOR_GREY8:
    case QF_COLOR_GREY16:
        fillGreyRamp(dib, capacity);
        return;
    case QF_COLOR_BILEVEL: {
        RGBQUAD* table = colorTable(dib);
        table[0] = {0, 0, 0, 0};
        table[1] = {255, 255, 255, 0};
        dib->biClrUsed = 2;
        return;
    }
    default:
        return;
    }
}

// One delivered row into picture row y. Everything is bounded by the bitmap's own row, whatever
// offset and pixel count the library passes.
void storeRow(const ReadContext& ctx, const BYTE* src, int64_t xOffset, int64_t pixelCount, int y)
{
    const dib_detail::Layout& l = ctx.layout;
    const auto bitCount = static_cast<int64_t>(l.bitCount);
    const int64_t start = xOffset * bitCount / 8;
    const auto stride = static_cast<int64_t>(l.stride);
    if (start >= stride) return;
    BYTE* dst = l.row(y) + start;
    const int64_t pixelsLeft = std::max<int64_t>(0, l.width - xOffset);
    const int64_t pixels = std::min(pixelCount, pixelsLeft);
    if (ctx.colorType == QF_COLOR_RGB && (l.bitCount == 24 || l.bitCount == 32)) {
        const int64_t bpp = bitCount / 8;
        for (int64_t x = 0; x < pixels; ++x, src += bpp, dst += bpp) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
            if (bpp == 4) dst[3] = src[3];
        }
    } else if (ctx.colorType == QF_COLOR_GREY16 && l.bitCount == 8) {
        // Little-endian samples: byte 1 is the high byte.
        for (int64_t x = 0; x < pixels; ++x)
            dst[x] = src[2 * x + 1];
    } else if (ctx.colorType == QF_COLOR_RGB48 && l.bitCount == 48) {
        for (int64_t x = 0; x < pixels; ++x, src += 6, dst += 6) {
            const BYTE r0 = src[0], r1 = src[1], g0 = src[2], g1 = src[3];
            dst[0] = src[4];
            dst[1] = src[5];
            dst[2] = g0;
            dst[3] = g1;
            dst[4] = r0;
            dst[5] = r1;
        }
    } else {
        // Round up: a 1- or 4-bit row whose width is not a whole number of bytes ends in a
        // partial byte that holds real pixels.
        const int64_t bytes = std::min((pixels * bitCount + 7) / 8, stride - start);
        if (bytes > 0) std::memcpy(dst, src, static_cast<size_t>(bytes));
    }
}

int32_t readRowsCallback(QfTransferBlock* block, int32_t xOffset, int32_t firstRow,
                         int32_t pixelCount, int32_t rowCount, BYTE** rows, int32_t, int32_t,
                         int32_t)
{
    if (!block || !block->context) return 0;
    const auto& ctx = *static_cast<const ReadContext*>(block->context);
    if (xOffset < 0 || firstRow < 0 || pixelCount < 0 || rowCount < 0) return 0;
    if (rowCount > 0 && !rows) return 0;
    const int64_t end = int64_t{firstRow} + rowCount;
    for (int64_t i = firstRow; i < end; ++i) {
        if (abortRequested(ctx.abort)) return 0;
        if (i >= ctx.layout.height) break;
        const BYTE* src = rows[i - firstRow];
        if (!src) return 0;
        storeRow(ctx, src, xOffset, pixelCount, static_cast<int>(i));
    }
    return 1;
}

// Runs one library read into `dib` (already sized and with its colour table).
int readInto(HGLOBAL hFileData, PackedDib dib, int32_t colorType, const BOOL* abort,
             bool wantPreview, bool merged, bool mask)
{
    ReadContext ctx{};
    if (!dib_detail::describe(dib, ctx.layout)) return 0;
    ctx.colorType = colorType;
    ctx.abort = abort;
    QfTransferBlock block{};
    block.mainWanted = wantPreview ? 0u : 1u;
    block.mainMode = mask ? QF_MODE_MASK : QF_MODE_ROWS;
    block.previewWanted = wantPreview ? 1u : 0u;
    block.previewMode = mask ? 0u : QF_MODE_ROWS;
    block.context = &ctx;
    return merged ? qfFileReadMerged(hFileData, &block, readRowsCallback)
                  : qfFileRead(hFileData, &block, readRowsCallback);
}

bool isMergedFormat(int32_t formatId)
{
    if (formatId <= 0) return false;
    return formatId == qfFileGetFormatID("qfo") || formatId == qfFileGetFormatID("qfp");
}

// A bilevel picture too large to handle whole becomes 8-bit grey at half size (repeatedly).
int reduceHugeBilevel(UniquePackedDib& dib)
{
    int width = dib->biWidth;
    int height = dib->biHeight;
    PackedDib grey = nullptr;
    if (DibConvert(dib.get(), &grey, 8, false) > 0)
        dib.reset(grey);
    else
        DibFree(grey);
    while (int64_t{width} * height > kMaxBilevelPixels) {
        width = std::max(1, width / 2);
        height = std::max(1, height / 2);
    }
    PackedDib resized = nullptr;
    const int result = DibResample(dib.get(), &resized, width, height);
    if (result <= 0) {
        DibFree(resized);
        return result;
    }
    dib.reset(resized);
    return result;
}

int colorTypeForDepth(int bitCount)
{
    switch (bitCount) {
    case 8:
        return QF_COLOR_PALETTE4;
    case 16:
        return QF_COLOR_16BIT;
    case 24:
    case 32:
        return QF_COLOR_RGB;
    default:
        return 0;
    }
}

int displayResolution()
{
    int dpi = 72;
    if (HDC dc = CreateICA("DISPLAY", nullptr, nullptr, nullptr)) {
        dpi = GetDeviceCaps(dc, LOGPIXELSX);
        DeleteDC(dc);
    }
    return dpi;
}

// MulDiv for the positive sizes used here: rounded to nearest.
int scaleSide(int value, int numerator, int denominator)
{
    const int64_t scaled = (int64_t{value} * numerator + denominator / 2) / denominator;
    return static_cast<int>(std::max<int64_t>(1, scaled));
}

void fitPreviewSize(int& width, int& height)
{
    if (width <= kWritePreviewSide && height <= kWritePreviewSide) return;
    if (width > height) {
        height = scaleSide(height, kWritePreviewSide, width);
        width = kWritePreviewSide;
    } else if (height > width) {
        width = scaleSide(width, kWritePreviewSide, height);
        height = kWritePreviewSide;
    } else {
        width = height = kWritePreviewSide;
    }
}

void swapRedBlue24(BYTE* row, int width)
{
    for (int x = 0; x < width; ++x, row += 3)
        std::swap(row[0], row[2]);
}

BYTE** writeRowsCallback(QfTransferBlock* block, int32_t xOffset, int32_t firstRow, int32_t,
                         int32_t rowCount, uint32_t flags, int32_t, uint32_t)
{
    if (!block || !block->context) return nullptr;
    const auto& ctx = *static_cast<const WriteContext*>(block->context);
    if (xOffset < 0 || firstRow < 0 || rowCount < 0) return nullptr;
    const int64_t end = int64_t{firstRow} + rowCount;
    if ((flags & QF_WRITE_ROWS_MAIN) == 0) {
        if (!ctx.previewRows || end > ctx.previewHeight) return nullptr;
        return ctx.previewRows + firstRow;
    }
    if (end > ctx.height) return nullptr;
    const size_t shift = static_cast<size_t>(xOffset) * ctx.bytesPerPixel;
    if (shift >= ctx.stride) return nullptr;
    BYTE** run = ctx.mainRows + ctx.height + firstRow;
    for (int32_t k = 0; k < rowCount; ++k)
        run[k] = ctx.mainRows[firstRow + k] + shift;
    return run;
}

struct PaletteDeleter {
    void operator()(HPALETTE palette) const { DeleteObject(palette); }
};
using UniquePalette = std::unique_ptr<std::remove_pointer_t<HPALETTE>, PaletteDeleter>;

UniquePalette paletteOf(const BITMAPINFOHEADER* dib)
{
    // LOGPALETTE with room for 256 entries: 4 + 256 x 4 = 1,032 bytes.
    alignas(LOGPALETTE) BYTE storage[sizeof(WORD) * 2 + 256 * sizeof(PALETTEENTRY)] = {};
    auto* logical = reinterpret_cast<LOGPALETTE*>(storage);
    const size_t count = std::min<size_t>(dib->biClrUsed ? dib->biClrUsed : 256, 256);
    const auto* table =
        reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const BYTE*>(dib) + dib->biSize);
    logical->palVersion = 0x300;
    logical->palNumEntries = static_cast<WORD>(count);
    for (size_t i = 0; i < count; ++i)
        logical->palPalEntry[i] = {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
    return UniquePalette(CreatePalette(logical));
}

// The depths the library writes; others are brought to the nearest of them first.
UniquePackedDib writableCopy(const BITMAPINFOHEADER* source)
{
    const int depth = source->biBitCount;
    PackedDib converted = nullptr;
    int result = 0;
    if (depth == 1 || depth == 4)
        result = DibConvert(source, &converted, 8, false);
    else if (depth == 48)
        result = DibConvert(source, &converted, 24, false);
    else
        return nullptr;
    if (result <= 0) {
        DibFree(converted);
        return nullptr;
    }
    return UniquePackedDib(converted);
}

struct WriteBuffers {
    std::unique_ptr<BYTE*[]> mainRows;
    std::unique_ptr<BYTE*[]> previewRows;
    std::vector<std::unique_ptr<BYTE[]>> chunks;
    UniquePackedDib preview;
};

} // namespace

int DibReadImageFile(HGLOBAL hFileData, bool bUsePreview, PackedDib* ppResult, const BOOL* pbAbort)
{
    if (!ppResult) return 0;
    *ppResult = nullptr;
    if (!hFileData) return 0;
    QfImageDescriptor desc{};
    int32_t formatId = 0;
    {
        tavrel::GlobalLockGuard lock(hFileData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return 0;
        if (bUsePreview) {
            if (data->hasPreview == 0 || data->preview.width > data->main.width ||
                data->preview.height > data->main.height)
                return 0;
            desc = data->preview;
        } else {
            desc = data->main;
        }
        formatId = data->formatId;
    }
    const bool merged = !bUsePreview && isMergedFormat(formatId);
    const int bitCount = desc.colorType == QF_COLOR_GREY16 ? 8 : desc.bitCount;
    UniquePackedDib dib(DibAlloc(desc.width, desc.height, bitCount));
    if (!dib) return 0;
    fillColorTable(dib.get(), desc.colorType, desc.palette);

    int result =
        readInto(hFileData, dib.get(), desc.colorType, pbAbort, bUsePreview, merged, false);
    if (result <= 0) return result;

    if (desc.colorType == QF_COLOR_CMYK32) {
        // A CMYK picture handed out as BGRx would show wrong colours, so failure here fails the
        // read.
        UniquePackedDib rgb(DibAlloc(desc.width, desc.height, 24));
        if (!rgb || DibCmykTo24(dib.get(), rgb.get()) <= 0) return 0;
        dib = std::move(rgb);
    }
    if (desc.colorType == QF_COLOR_BILEVEL &&
        int64_t{dib->biWidth} * dib->biHeight > kMaxBilevelPixels) {
        result = reduceHugeBilevel(dib);
        if (result <= 0) return result;
    }
    *ppResult = dib.release();
    return result;
}

int DibReadMaskImage(HGLOBAL hFileData, PackedDib* ppResult)
{
    if (!ppResult) return 0;
    *ppResult = nullptr;
    if (!hFileData) return 0;
    int32_t maskCount = 0;
    QfImageDescriptor main{};
    {
        tavrel::GlobalLockGuard lock(hFileData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return 0;
        maskCount = data->maskCount;
        main = data->main;
    }
    if (maskCount <= 0) return 0;
    UniquePackedDib dib(DibAlloc(main.width, main.height, 8));
    if (!dib) return 0;
    fillGreyRamp(dib.get(), 256);
    const int result =
        readInto(hFileData, dib.get(), QF_COLOR_PALETTE8, nullptr, false, false, true);
    if (result <= 0) return result;
    *ppResult = dib.release();
    return result;
}

HGLOBAL NewImageWriteRecord(const char* pszPath, int32_t nFormatId, const BITMAPINFOHEADER* pSource)
{
    if (!pszPath || !pSource) return nullptr;
    const size_t pathLength = strnlen(pszPath, sizeof(ImageFileData::path));
    if (pathLength >= sizeof(ImageFileData::path)) return nullptr;
    tavrel::GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData)));
    if (!block.get()) return nullptr;
    {
        tavrel::GlobalLockGuard lock(block.get());
        auto* data = static_cast<ImageFileData*>(lock.data());
        if (!data) return nullptr;
        const int resolution = displayResolution() * 10000;
        data->main.bitCount = pSource->biBitCount;
        data->main.width = pSource->biWidth;
        data->main.height = pSource->biHeight;
        data->main.xResolution = resolution;
        data->main.yResolution = resolution;
        data->main.colorType = colorTypeForDepth(pSource->biBitCount);
        data->preview = data->main;
        data->writeZero = 0;
        data->writeMinusOne = -1;
        std::memcpy(data->path, pszPath, pathLength);
        data->formatId = nFormatId;
        data->hasPreview = 0;
    }
    return block.release();
}

int DibWriteImageFile(HGLOBAL hFileData, const BITMAPINFOHEADER* pSource, bool bSavePreview)
{
    if (!hFileData || !pSource) return 0;
    UniquePackedDib widened;
    const BITMAPINFOHEADER* source = pSource;
    if (pSource->biBitCount != 8 && pSource->biBitCount != 16 && pSource->biBitCount != 24 &&
        pSource->biBitCount != 32) {
        widened = writableCopy(pSource);
        if (!widened) return 0;
        source = widened.get();
    }
    dib_detail::Layout layout{};
    if (!dib_detail::describe(source, layout) || layout.width <= 0 || layout.height <= 0) return 0;

    const size_t bytesPerPixel = static_cast<size_t>(layout.bitCount) / 8;
    const size_t stride = layout.stride; // width x bytes per pixel, padded to 4
    const int rowsPerChunk = static_cast<int>(
        std::clamp<size_t>(kWriteChunkBytes / stride, 1, static_cast<size_t>(layout.height)));
    int previewWidth = 0;
    int previewHeight = 0;
    {
        tavrel::GlobalLockGuard lock(hFileData);
        auto* data = static_cast<ImageFileData*>(lock.data());
        if (!data) return 0;
        data->main.height = layout.height;
        data->main.width = layout.width;
        data->main.bitCount = layout.bitCount;
        data->main.colorType = colorTypeForDepth(layout.bitCount);
        data->maskCount = 0;
        previewWidth = data->preview.width > 0 ? data->preview.width : layout.width;
        previewHeight = data->preview.height > 0 ? data->preview.height : layout.height;
        fitPreviewSize(previewWidth, previewHeight);
        data->preview.width = previewWidth;
        data->preview.height = previewHeight;
        data->preview.bitCount = layout.bitCount;
        data->preview.colorType = data->main.colorType;
    }

    WriteBuffers buffers;
    const auto height = static_cast<size_t>(layout.height);
    buffers.mainRows.reset(new (std::nothrow) BYTE*[height * 2 + 1]());
    if (!buffers.mainRows) return 0;
    if (bSavePreview) {
        buffers.previewRows.reset(new (std::nothrow)
                                      BYTE*[static_cast<size_t>(previewHeight) * 2 + 1]());
        if (!buffers.previewRows) return 0;
    }
    const size_t chunkBytes = static_cast<size_t>(rowsPerChunk) * stride + 4;
    try {
        buffers.chunks.reserve(height / static_cast<size_t>(rowsPerChunk) + 1);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (size_t i = 0; i < height; ++i) {
        if (i % static_cast<size_t>(rowsPerChunk) == 0) {
            buffers.chunks.emplace_back(new (std::nothrow) BYTE[chunkBytes]());
            if (!buffers.chunks.back()) return 0;
            buffers.mainRows[i] = buffers.chunks.back().get();
        } else {
            buffers.mainRows[i] = buffers.mainRows[i - 1] + stride;
        }
    }

    if (bSavePreview) {
        PackedDib resampled = nullptr;
        if (DibResample(source, &resampled, previewWidth, previewHeight) <= 0) {
            DibFree(resampled);
            return 0;
        }
        buffers.preview.reset(resampled);
        dib_detail::Layout small{};
        if (!dib_detail::describe(resampled, small)) return 0;
        for (int i = 0; i < previewHeight; ++i) {
            buffers.previewRows[static_cast<size_t>(i)] = small.row(i);
            if (layout.bitCount == 24) swapRedBlue24(small.row(i), previewWidth);
        }
    }

    if (layout.bitCount == 8) {
        UniquePalette palette = paletteOf(source);
        if (!palette) return 0;
        // From here the record owns the handle: freeing the record deletes it.
        tavrel::GlobalLockGuard lock(hFileData);
        auto* data = static_cast<ImageFileData*>(lock.data());
        if (!data) return 0;
        const uint32_t field = QfPaletteToField(palette.release());
        data->main.palette = field;
        if (bSavePreview) data->preview.palette = field;
    }

    for (int i = 0; i < layout.height; ++i) {
        BYTE* row = buffers.mainRows[static_cast<size_t>(i)];
        std::memcpy(row, layout.row(i), stride);
        if (layout.bitCount == 24) swapRedBlue24(row, layout.width);
    }

    WriteContext ctx{buffers.mainRows.get(), buffers.previewRows.get(),
                     layout.height,          bSavePreview ? previewHeight : 0,
                     bytesPerPixel,          stride};
    QfTransferBlock block{};
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    block.previewWanted = bSavePreview ? 1u : 0u;
    block.previewMode = QF_MODE_ROWS;
    block.context = &ctx;
    const int result = qfFileWrite(hFileData, &block, writeRowsCallback);
    if (result > 0) {
        tavrel::GlobalLockGuard lock(hFileData);
        if (auto* data = static_cast<ImageFileData*>(lock.data())) {
            if (data->main.palette != 0) DeleteObject(QfPaletteFromField(data->main.palette));
            if (data->preview.palette != 0 && data->preview.palette != data->main.palette)
                DeleteObject(QfPaletteFromField(data->preview.palette));
            data->main.palette = 0;
            data->preview.palette = 0;
        }
    }
    return result;
}

int SwapJpegQuality(int nNewQuality)
{
    char ini[kIniPathBytes] = {};
    if (q32GetKelvraIniFileName(ini, static_cast<int>(sizeof ini)) <= 0) return kDefaultJpegQuality;
    const auto previous =
        static_cast<int>(GetPrivateProfileIntA("QF_IJPG", "Quality", kDefaultJpegQuality, ini));
    char text[16];
    std::snprintf(text, sizeof text, "%d", nNewQuality);
    WritePrivateProfileStringA("QF_IJPG", "Quality", text, ini);
    return previous;
}

namespace {
std::mutex& jpegQualityMutex()
{
    static std::mutex mutex;
    return mutex;
}
} // namespace

JpegQualityScope::JpegQualityScope(int nQuality)
    : m_lock(jpegQualityMutex()), m_previous(SwapJpegQuality(nQuality))
{
}

JpegQualityScope::~JpegQualityScope()
{
    SwapJpegQuality(m_previous);
}

} // namespace mio
