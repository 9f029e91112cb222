// SPDX-License-Identifier: MIT
// The engine's side of a still-image read, as the benchmark and the timing tool need it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "contracts/still_image_library.h"
#include "tavrel/platform/memory.h"

namespace sibench {

struct Target {
    std::vector<uint8_t> pixels;
    size_t rowBytes = 0;
    bool oneRow = false; ///< keep only the latest row, as a command writing to /dev/null does
};

inline int32_t copyRows(QfTransferBlock* block, int32_t, int32_t firstRow, int32_t, int32_t count,
                        BYTE** rows, int32_t, int32_t, int32_t)
{
    auto* t = static_cast<Target*>(block->context);
    for (int32_t i = 0; i < count; ++i) {
        const size_t at = t->oneRow ? 0 : size_t(firstRow + i) * t->rowBytes;
        std::memcpy(t->pixels.data() + at, rows[i], t->rowBytes);
    }
    return 1;
}

/// Parses and fully decodes a file; returns the decoded bytes, 0 on failure.
inline size_t decodeFile(const std::string& path, Target& target)
{
    HGLOBAL h = qfFileGetFileData(path.c_str(), 0);
    if (!h) return 0;
    auto* d = static_cast<ImageFileData*>(GlobalLock(h));
    target.rowBytes = (size_t(d->main.width) * size_t(d->main.bitCount) + 7) / 8;
    target.pixels.resize(target.rowBytes * (target.oneRow ? 1 : size_t(d->main.height)));
    GlobalUnlock(h);
    QfTransferBlock block{};
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    block.context = &target;
    const int32_t rc = qfFileRead(h, &block, copyRows);
    q32FileFreeFileData(h);
    return rc > 0 ? target.pixels.size() : 0;
}

} // namespace sibench
