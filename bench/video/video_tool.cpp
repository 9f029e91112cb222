// SPDX-License-Identifier: MIT
// Command-line driver of the video library for timing whole commands against peer tools.
#include "contracts/common_library.h"
#include "contracts/video_library.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: mio_video_tool info FILE\n"
                         "       mio_video_tool thumb FILE SECONDS WIDTH HEIGHT OUT.bmp\n");
    return 2;
}

int fail(const char* what)
{
    char text[256] = {};
    c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    std::fprintf(stderr, "%s: %s\n", what, text);
    return 1;
}

bool writeBmp(const char* path, const BITMAPINFOHEADER* dib)
{
    FILE* out = std::fopen(path, "wb");
    if (!out) return false;
    const uint32_t bits = dib->biSizeImage;
    const uint32_t offset = 14 + sizeof(BITMAPINFOHEADER);
    uint8_t fileHeader[14] = {'B', 'M'};
    uint32_t total = offset + bits;
    std::memcpy(fileHeader + 2, &total, 4);
    std::memcpy(fileHeader + 10, &offset, 4);
    bool ok = std::fwrite(fileHeader, 1, sizeof fileHeader, out) == sizeof fileHeader &&
              std::fwrite(dib, 1, offset - 14 + bits, out) == offset - 14 + bits;
    return std::fclose(out) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return usage();
    VideoFileInfo info{};
    info.recordSize = kVideoFileInfoSize;
    info.parseMode = kVideoParseQuick;
    std::strncpy(info.ansiPath, argv[2], sizeof info.ansiPath - 1);
    if (qVideoGetFileInfo(&info) <= 0) return fail("parse");
    int rc = 0;
    if (std::strcmp(argv[1], "info") == 0) {
        std::printf("frames=%d size=%ux%u rate=%.3f audio=%uHz/%u\n", info.totalFrames, info.width,
                    info.height, info.frameRate / 1000.0, info.audioSampleRate, info.audioChannels);
    } else if (std::strcmp(argv[1], "thumb") == 0 && argc == 7) {
        double seconds = std::atof(argv[3]);
        int limitW = std::atoi(argv[4]), limitH = std::atoi(argv[5]);
        // Fit the frame into the limits keeping its shape, as the engine does.
        double scale = std::min(static_cast<double>(limitW) / info.width,
                                static_cast<double>(limitH) / info.height);
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = std::max(1, static_cast<int>(info.width * scale));
        header.biHeight = std::max(1, static_cast<int>(info.height * scale));
        header.biPlanes = 1;
        header.biBitCount = 24;
        HVIDEOREADER reader = nullptr;
        if (qVideoReadVideoBegin(&info, kVideoReadRough, &reader, &header) <= 0) {
            rc = fail("reader");
        } else {
            BITMAPINFOHEADER* dib = nullptr;
            int frame = static_cast<int>(seconds * info.frameRate / 1000.0);
            if (qVideoReadVideo(&info, frame, &dib, 0, reader) <= 0)
                rc = fail("frame");
            else if (!writeBmp(argv[6], dib))
                rc = fail("write");
            qVideoReadVideoEnd(reader);
        }
    } else {
        rc = usage();
    }
    qVideoFreeFileInfo(&info);
    return rc;
}
