// SPDX-License-Identifier: MIT
// Header validation and row location for the pixel backend.
#include "bitmap_view.h"

#include "contracts/pixel_library.h"

namespace mio::pixel {

std::optional<BitmapView> describeBitmap(const BITMAPINFOHEADER* header, const void* bits)
{
    if (!header) return std::nullopt;
    if (header->biSize < sizeof(BITMAPINFOHEADER) || header->biCompression != BI_RGB)
        return std::nullopt;
    const int bitCount = header->biBitCount;
    if (header->biWidth < 0 || header->biHeight < 0) return std::nullopt;
    const auto stride = strideFor(header->biWidth, bitCount);
    if (!stride) return std::nullopt;
    const uint64_t imageBytes =
        static_cast<uint64_t>(*stride) * static_cast<uint64_t>(header->biHeight);
    if (imageBytes > kMaxImageBytes) return std::nullopt;

    BitmapView view;
    view.width = header->biWidth;
    view.height = header->biHeight;
    view.bitCount = bitCount;
    view.stride = *stride;

    const auto* base = reinterpret_cast<const uint8_t*>(header);
    size_t tableEntries = 0;
    if (bitCount <= 8) {
        tableEntries = header->biClrUsed != 0 ? header->biClrUsed : (size_t{1} << bitCount);
        view.palette = reinterpret_cast<const RGBQUAD*>(base + header->biSize);
        const size_t indexable = size_t{1} << bitCount;
        view.paletteCount =
            static_cast<unsigned>(tableEntries < indexable ? tableEntries : indexable);
    }

    if (bits) {
        view.bits = static_cast<uint8_t*>(const_cast<void*>(bits));
    } else if (bitCount == 24 && header->biClrImportant > 1) {
        view.bits = static_cast<uint8_t*>(
            vcLookupExternalBits(header->biClrImportant, static_cast<size_t>(imageBytes)));
        if (!view.bits) return std::nullopt;
    } else {
        if (tableEntries > (size_t{1} << 16)) return std::nullopt;
        view.bits = const_cast<uint8_t*>(base) + header->biSize + 4 * tableEntries;
    }
    return view;
}

bool isIdentityGreyRamp(const BitmapView& view)
{
    if (!view.palette || view.paletteCount == 0) return false;
    for (unsigned i = 0; i < view.paletteCount; ++i) {
        const RGBQUAD& e = view.palette[i];
        if (e.rgbBlue != i || e.rgbGreen != i || e.rgbRed != i) return false;
    }
    return true;
}

} // namespace mio::pixel
