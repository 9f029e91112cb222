// SPDX-License-Identifier: MIT
// Fuzz target: the video library's file parse, preview and first-frame read on a file written
// from the input (FFmpeg demuxes; our code turns its answers into records and bitmaps).
#include "contracts/video_library.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Frames larger than this cost time, not coverage: the parse still sees the declared size.
constexpr int64_t kMaxFramePixels = int64_t{1} << 22;

struct TempFile {
    std::string path;
    TempFile()
    {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(dir) + "/mio-fuzz-XXXXXX.mp4";
        const int fd = mkstemps(pattern.data(), 4);
        if (fd < 0) std::abort();
        close(fd);
        path = pattern;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

bool writeAll(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// A delivered bitmap must be as large as its header says: read every byte of it.
void touchDib(const BITMAPINFOHEADER* dib)
{
    if (!dib || dib->biWidth <= 0 || dib->biHeight == 0 || dib->biBitCount != 24) std::abort();
    const int64_t height = dib->biHeight < 0 ? -int64_t{dib->biHeight} : dib->biHeight;
    const size_t stride = (static_cast<size_t>(dib->biWidth) * 3 + 3) & ~size_t{3};
    const auto* bits = reinterpret_cast<const volatile uint8_t*>(dib + 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < stride * static_cast<size_t>(height); ++i)
        sum += bits[i];
    (void)sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (qVideoInit() <= 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempFile file;
    if (!writeAll(file.path, data, size)) std::abort();
    VideoFileInfo info{};
    info.recordSize = kVideoFileInfoSize;
    // Both parse modes: the quick one trusts headers, the full one scans every packet.
    info.parseMode = (size & 1) ? kVideoParseQuick : kVideoParseFull;
    std::strncpy(info.ansiPath, file.path.c_str(), sizeof info.ansiPath - 1);
    if (qVideoGetFileInfo(&info) == 1) {
        char text[64];
        (void)qVideoGetMiscData(&info, kVideoMiscVideoCodecName, text, sizeof text);
        BITMAPINFOHEADER* preview = nullptr;
        if (qVideoGetPreview(&info, &preview) > 0) touchDib(preview);
        if (info.hasVideo && int64_t{info.width} * info.height <= kMaxFramePixels) {
            HVIDEOREADER reader = nullptr;
            if (qVideoReadVideoBegin(&info, kVideoReadExact, &reader, nullptr) > 0) {
                BITMAPINFOHEADER* frame = nullptr;
                if (qVideoReadVideo(&info, 0, &frame, 0, reader) > 0) touchDib(frame);
                qVideoReadVideoEnd(reader);
            }
        }
    }
    qVideoFreeFileInfo(&info);
    return 0;
}
