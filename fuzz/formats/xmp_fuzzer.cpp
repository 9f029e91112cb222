// SPDX-License-Identifier: MIT
// Fuzz target: XMP packet parsing, enumeration and padded serialisation.
#include "mio/formats/xmp_packet.h"

#include <cstddef>
#include <cstdint>

using namespace mio::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto xmp = XmpPacket::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!xmp) return 0;
    (void)xmp->properties();
    (void)xmp->arrayItems(kNsDublinCore, "dc:subject");
    (void)xmp->localizedText(kNsDublinCore, "dc:title");
    XmpSerializeOptions options;
    options.padding = 64;
    (void)xmp->serialize(options);
    return 0;
}
