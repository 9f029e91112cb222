// SPDX-License-Identifier: MIT
// Fuzz target: IPTC-IIM parsing, grouping, text decoding and writing back.
#include "mio/formats/iptc.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace mio::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto iptc = parseIptc(std::span<const uint8_t>(data, size));
    if (!iptc) return 0;
    for (const IptcItem& item : groupIptc(*iptc))
        for (const std::string& v : item.values)
            (void)iptcTextToUtf8(v, iptc->utf8);
    auto bytes = writeIptc(iptc->datasets, iptc->utf8);
    if (!bytes) return 0;
    auto again = parseIptc(*bytes);
    if (!again || again->damaged) std::abort();
    return 0;
}
