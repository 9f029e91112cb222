// SPDX-License-Identifier: MIT
// Fuzz target: JPEG segment walk, chunk reassembly, Photoshop resources and head rewrite.
#include "mio/formats/jpeg_segments.h"
#include "mio/formats/photoshop.h"

#include <cstddef>
#include <cstdint>

using namespace mio::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    // Through the callback path too, reading in small pieces.
    ByteSource chunked([&](uint64_t offset, std::span<uint8_t> out) -> size_t {
        if (offset >= size) return 0;
        size_t n = out.size() < 7 ? out.size() : 7;
        if (n > size - offset) n = static_cast<size_t>(size - offset);
        for (size_t i = 0; i < n; ++i)
            out[i] = data[offset + i];
        return n;
    });
    (void)walkJpeg(chunked);

    ByteSource source(bytes);
    auto layout = walkJpeg(source);
    if (!layout) return 0;
    (void)assembleIccProfile(source, *layout);
    (void)assembleExtendedXmp(source, *layout);
    if (auto block = assemblePhotoshop(source, *layout)) {
        if (auto resources = parseImageResources(*block)) {
            if (const ImageResource* r = findResource(*resources, kResourceResolution))
                (void)parseResolutionInfo(r->data);
            const std::vector<uint8_t> iptc{0x1C, 2, 25, 0, 1, 'k'};
            (void)replaceResource(*block, kResourceIptc, &iptc);
        }
    }
    if (layout->end == WalkEnd::StartOfScan && layout->segments.size() > 1) {
        std::vector<SegmentChange> changes{
            {SegmentChange::Action::Replace, 0, 0, std::vector<uint8_t>(3, 'x')},
            {SegmentChange::Action::InsertBefore, layout->segments.size() - 1, 0xFE, {}}};
        (void)rebuildHead(source, *layout, changes);
        (void)planInPlace(*layout, std::span(changes).first(1));
    }
    return 0;
}
