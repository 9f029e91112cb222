// SPDX-License-Identifier: MIT
// The engine's side of the still-image row exchange, reduced to what the tests need.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "contracts/common_library.h"
#include "contracts/still_image_library.h"
#include "tavrel/platform/memory.h"

namespace sitest {

/// A record handle freed with the library's own call.
struct Record {
    HGLOBAL handle = nullptr;
    explicit Record(HGLOBAL h) : handle(h) {}
    ~Record()
    {
        if (handle) q32FileFreeFileData(handle);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ImageFileData copy() const
    {
        ImageFileData d{};
        auto* p = static_cast<ImageFileData*>(GlobalLock(handle));
        if (p) {
            d = *p;
            GlobalUnlock(handle);
        }
        return d;
    }
};

inline Record open(const std::filesystem::path& p)
{
    return Record(qfFileGetFileData(p.string().c_str(), 0));
}

inline std::string lastError()
{
    char text[256] = {};
    c32GetDLLErrorInfo(text, sizeof(text), 0, 0, 0, 0);
    return text;
}

/// Rows as the library delivered them, top-down, `bytesPerRow` each.
struct Pixels {
    int32_t width = 0, height = 0;
    size_t bytesPerRow = 0;
    std::vector<uint8_t> data;
    int rowsSeen = 0;
    int stopAfter = -1; ///< the callback returns 0 after this many rows
    const uint8_t* row(int y) const { return data.data() + size_t(y) * bytesPerRow; }
};

inline int32_t collectRows(QfTransferBlock* block, int32_t, int32_t firstRow, int32_t,
                           int32_t rowCount, BYTE** rows, int32_t, int32_t, int32_t)
{
    auto* px = static_cast<Pixels*>(block->context);
    for (int32_t i = 0; i < rowCount; ++i) {
        if (px->stopAfter >= 0 && px->rowsSeen >= px->stopAfter) return 0;
        const int32_t y = firstRow + i;
        if (y >= px->height || !rows[i]) return 0;
        std::memcpy(px->data.data() + size_t(y) * px->bytesPerRow, rows[i], px->bytesPerRow);
        ++px->rowsSeen;
    }
    return 1;
}

enum class Want { Main, Preview, Mask };

/// Reads one part of a record; returns the library's result.
inline int32_t read(const Record& rec, Want want, Pixels& px, int stopAfter = -1)
{
    const ImageFileData d = rec.copy();
    const QfImageDescriptor& desc = want == Want::Preview ? d.preview : d.main;
    px.width = desc.width;
    px.height = desc.height;
    const int bits = want == Want::Mask ? 8 : desc.bitCount;
    px.bytesPerRow = (size_t(px.width) * size_t(bits) + 7) / 8;
    px.data.assign(px.bytesPerRow * size_t(px.height), 0xCD);
    px.stopAfter = stopAfter;
    QfTransferBlock block{};
    block.context = &px;
    if (want == Want::Preview) {
        block.previewWanted = 1;
        block.previewMode = QF_MODE_ROWS;
    } else {
        block.mainWanted = 1;
        block.mainMode = want == Want::Mask ? QF_MODE_MASK : QF_MODE_ROWS;
    }
    return qfFileRead(rec.handle, &block, collectRows);
}

/// Source of a write: top-down rows in the library's layout (24-bit red, green, blue).
struct Source {
    int32_t width = 0, height = 0, bitCount = 24;
    std::vector<std::vector<uint8_t>> rows;
    std::vector<BYTE*> pointers;
    std::vector<std::vector<uint8_t>> previewRows;
    std::vector<BYTE*> previewPointers;
};

inline BYTE** supplyRows(QfTransferBlock* block, int32_t, int32_t firstRow, int32_t,
                         int32_t rowCount, uint32_t flags, int32_t, uint32_t)
{
    auto* src = static_cast<Source*>(block->context);
    auto& ptrs = (flags & QF_WRITE_ROWS_MAIN) ? src->pointers : src->previewPointers;
    if (firstRow < 0 || size_t(firstRow) + size_t(rowCount) > ptrs.size()) return nullptr;
    return ptrs.data() + firstRow;
}

/// Writes `src` to `path` in format `formatId`; returns the library's result.
inline int32_t write(const std::string& path, int32_t formatId, Source& src, uint32_t palette = 0,
                     bool preview = false)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
    auto* d = static_cast<ImageFileData*>(GlobalLock(h));
    d->formatId = formatId;
    std::strncpy(d->path, path.c_str(), sizeof(d->path) - 1);
    d->main = {src.bitCount, src.width, src.height, 720000, 720000, 2, palette};
    d->preview = d->main;
    if (preview) {
        d->preview.width = src.previewRows.empty() ? 0 : int32_t(src.previewRows[0].size() / 3);
        d->preview.height = int32_t(src.previewRows.size());
    }
    d->writeMinusOne = -1;
    GlobalUnlock(h);
    src.pointers.clear();
    for (auto& r : src.rows)
        src.pointers.push_back(r.data());
    src.previewPointers.clear();
    for (auto& r : src.previewRows)
        src.previewPointers.push_back(r.data());
    QfTransferBlock block{};
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    block.previewWanted = preview ? 1 : 0;
    block.previewMode = QF_MODE_ROWS;
    block.context = &src;
    const int32_t result = qfFileWrite(h, &block, supplyRows);
    q32FileFreeFileData(h);
    return result;
}

/// A 24-bit gradient with a distinct colour per pixel position.
inline Source gradient(int32_t w, int32_t h)
{
    Source s;
    s.width = w;
    s.height = h;
    for (int32_t y = 0; y < h; ++y) {
        std::vector<uint8_t> row(size_t(w) * 3);
        for (int32_t x = 0; x < w; ++x) {
            row[3 * x] = uint8_t(x * 255 / std::max(1, w - 1));
            row[3 * x + 1] = uint8_t(y * 255 / std::max(1, h - 1));
            row[3 * x + 2] = uint8_t((x + y) * 7);
        }
        s.rows.push_back(std::move(row));
    }
    return s;
}

} // namespace sitest
