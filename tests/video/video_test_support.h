// SPDX-License-Identifier: MIT
// Shared helpers of the video library suites: records, bitmaps and last-error checks.
#pragma once

#include "contracts/common_library.h"
#include "contracts/video_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace videotest {

// A record prepared as the engine prepares it, released by the library when it dies.
struct Record {
    VideoFileInfo info{};
    Record(const std::filesystem::path& path, int32_t mode)
    {
        info.recordSize = kVideoFileInfoSize;
        info.parseMode = mode;
        std::strncpy(info.ansiPath, path.c_str(), sizeof info.ansiPath - 1);
    }
    ~Record() { qVideoFreeFileInfo(&info); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    int32_t parse() { return qVideoGetFileInfo(&info); }
};

// The reader handle, closed when it dies.
struct Reader {
    HVIDEOREADER handle = nullptr;
    ~Reader() { qVideoReadVideoEnd(handle); }
};

inline size_t dibStride(const BITMAPINFOHEADER* dib)
{
    return (static_cast<size_t>(dib->biWidth) * 3 + 3) & ~size_t{3};
}

// Blue, green, red of the pixel at x and y counted from the top (rows are bottom-up).
inline const uint8_t* dibPixel(const BITMAPINFOHEADER* dib, int x, int yFromTop)
{
    const auto* bits = reinterpret_cast<const uint8_t*>(dib + 1);
    return bits + static_cast<size_t>(dib->biHeight - 1 - yFromTop) * dibStride(dib) +
           static_cast<size_t>(x) * 3;
}

inline int centreGrey(const BITMAPINFOHEADER* dib)
{
    const uint8_t* p = dibPixel(dib, dib->biWidth / 2, dib->biHeight / 2);
    return (p[0] + p[1] + p[2]) / 3;
}

// The text of the library's last error; the test fails when nothing was recorded.
inline std::string lastErrorText()
{
    char text[256] = {};
    int code = c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, 5200);
    EXPECT_NE(text[0], '\0');
    return text;
}

} // namespace videotest
