// SPDX-License-Identifier: MIT
// Fuzz target: the read-only XMP reader, and merging its listing into itself as an extension.
#include "mio/formats/xmp_reader.h"

#include <cstddef>
#include <cstdint>

using namespace mio::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto props = readXmpProperties(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!props) return 0;
    for (const XmpProperty& p : *props)
        if (p.path.empty()) __builtin_trap(); // every node has a path
    auto merged = *props;
    mergeXmpProperties(merged, *props);
    return 0;
}
