// SPDX-License-Identifier: MIT
// Command-line driver for timing the still-image library next to djpeg and vips:
// "info FILE" parses the header only, "decode FILE" decodes every row and keeps none, as
// djpeg -outfile /dev/null does.
#include <cstdio>
#include <cstring>
#include <string>

#include "contracts/common_library.h"
#include "stillimage_io.h"

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "info") != 0 && std::strcmp(argv[1], "decode") != 0)) {
        std::fprintf(stderr, "usage: %s info|decode FILE\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "info") == 0) {
        HGLOBAL h = qfFileGetFileData(argv[2], 0);
        if (!h) {
            char text[256] = {};
            c32GetDLLErrorInfo(text, sizeof(text), 0, 0, 0, 0);
            std::fprintf(stderr, "%s\n", text);
            return 1;
        }
        auto* d = static_cast<ImageFileData*>(GlobalLock(h));
        std::printf("%dx%d %d bits\n", d->main.width, d->main.height, d->main.bitCount);
        GlobalUnlock(h);
        q32FileFreeFileData(h);
        return 0;
    }
    sibench::Target target;
    target.oneRow = true;
    if (!sibench::decodeFile(argv[2], target)) {
        char text[256] = {};
        c32GetDLLErrorInfo(text, sizeof(text), 0, 0, 0, 0);
        std::fprintf(stderr, "%s\n", text);
        return 1;
    }
    return 0;
}
