// SPDX-License-Identifier: MIT
// Shows, for one file, what the engine's layers can already tell about it.
#include <cstdio>

#include "tavrel/platform/types.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: mio-demo FILE\n");
        return 2;
    }
    std::printf("TavrelMediaIO demo: %s\n", argv[1]);
    std::printf("HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) = 0x%08X\n",
                static_cast<unsigned>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    return 0;
}
