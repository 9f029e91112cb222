// SPDX-License-Identifier: MIT
// The engine's side of the still-image row exchange, reduced to what the tests need.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "contracts/common_library.h"
#include "contracts/still_image_library.h"
#include "tavrel/platform/gdi.h"
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

/// Delivered rows turned into 8-bit red-green-blue for comparisons across formats: palette
/// indices through the record's palette handle, 16-bit samples by their high byte.
inline std::vector<uint8_t> toRgb(const ImageFileData& d, const Pixels& px)
{
    const QfImageDescriptor& m = d.main;
    PALETTEENTRY palette[256] = {};
    if (m.colorType == QF_COLOR_PALETTE4 || m.colorType == QF_COLOR_PALETTE8)
        GetPaletteEntries(QfPaletteFromField(m.palette), 0, 256, palette);
    std::vector<uint8_t> out;
    out.reserve(size_t(px.width) * size_t(px.height) * 3);
    for (int y = 0; y < px.height; ++y) {
        const uint8_t* r = px.row(y);
        for (int x = 0; x < px.width; ++x) {
            uint8_t c[3] = {};
            switch (m.bitCount) {
            case 1:
            case 4:
            case 8: {
                const int bits = m.bitCount;
                const int v = (r[x * bits / 8] >> (8 - bits - (x * bits) % 8)) & ((1 << bits) - 1);
                if (m.colorType == QF_COLOR_PALETTE4 || m.colorType == QF_COLOR_PALETTE8) {
                    c[0] = palette[v].peRed, c[1] = palette[v].peGreen, c[2] = palette[v].peBlue;
                } else {
                    const uint8_t g = bits == 1 ? uint8_t(v ? 255 : 0) : uint8_t(v);
                    c[0] = c[1] = c[2] = g;
                }
                break;
            }
            case 16:
                if (m.colorType == QF_COLOR_GREY16) {
                    c[0] = c[1] = c[2] = r[2 * x + 1];
                } else {
                    const unsigned v = unsigned(r[2 * x] | r[2 * x + 1] << 8);
                    c[0] = uint8_t(((v >> 10) & 31) << 3 | ((v >> 12) & 7));
                    c[1] = uint8_t(((v >> 5) & 31) << 3 | ((v >> 7) & 7));
                    c[2] = uint8_t((v & 31) << 3 | ((v >> 2) & 7));
                }
                break;
            case 24:
            case 32:
                for (int k = 0; k < 3; ++k)
                    c[k] = r[(m.bitCount / 8) * x + k];
                break;
            case 48:
                for (int k = 0; k < 3; ++k)
                    c[k] = r[6 * x + 2 * k + 1];
                break;
            }
            out.insert(out.end(), c, c + 3);
        }
    }
    return out;
}

/// Mean absolute difference of two equally sized sample buffers.
inline double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size() || a.empty()) return 1e9;
    double total = 0;
    for (size_t i = 0; i < a.size(); ++i)
        total += std::abs(int(a[i]) - int(b[i]));
    return total / double(a.size());
}

/// Opens and reads the main image of a file as 8-bit red-green-blue.
inline std::vector<uint8_t> decodeRgb(const std::filesystem::path& p)
{
    Record rec = open(p);
    if (!rec.handle) return {};
    Pixels px;
    if (read(rec, Want::Main, px) <= 0) return {};
    return toRgb(rec.copy(), px);
}

} // namespace sitest
