// SPDX-License-Identifier: MIT
// Fuzz target: TIFF/EXIF IFD reading, and writing back what was read in both byte orders.
#include "mio/formats/tiff_ifd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace mio::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto tree = parseTiff(std::span<const uint8_t>(data, size));
    if (!tree) return 0;
    for (auto order : {ByteOrder::LittleEndian, ByteOrder::BigEndian}) {
        TiffWriteOptions options;
        options.order = order;
        options.exifPadding = 16;
        auto bytes = writeTiff(*tree, options);
        if (!bytes) continue;
        // What we write must read back.
        auto again = parseTiff(*bytes);
        if (!again) std::abort();
    }
    return 0;
}
