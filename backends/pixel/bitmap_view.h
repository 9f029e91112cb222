// SPDX-License-Identifier: MIT
// A validated view of a header plus its pixel rows, shared by the pixel backend's operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tavrel/platform/types.h"

namespace mio::pixel {

// Largest image (stride x height) the backend agrees to touch; keeps every size product far from
// overflow even for hostile headers.
inline constexpr size_t kMaxImageBytes = size_t{1} << 36;

struct BitmapView {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    size_t stride = 0;
    const RGBQUAD* palette = nullptr; // null for depths without a table
    unsigned paletteCount = 0;        // entries usable as indices, at most 256
    uint8_t* bits = nullptr;

    // Rows are bottom-up: picture row y (from the top) is stored row height - 1 - y.
    uint8_t* row(int y) const { return bits + static_cast<size_t>(height - 1 - y) * stride; }
    bool hasPalette() const { return bitCount <= 8; }
};

inline bool isSupportedDepth(int bitCount)
{
    switch (bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
    case 48:
        return true;
    default:
        return false;
    }
}

// Row stride of the packed layout: whole bytes per pixel above 4 bits, packed bits below, each
// row padded to 4 bytes. nullopt when it does not fit.
inline std::optional<size_t> strideFor(int width, int bitCount)
{
    if (width < 0 || !isSupportedDepth(bitCount)) return std::nullopt;
    const uint64_t w = static_cast<uint64_t>(width);
    const uint64_t bytes = bitCount > 4 ? static_cast<uint64_t>(bitCount / 8) * w
                                        : (static_cast<uint64_t>(bitCount) * w + 7) / 8;
    return static_cast<size_t>((bytes + 3) & ~uint64_t{3});
}

// Describes the bitmap behind a header. pBits null locates the rows by the header (after the
// colour table, or through the external-bits table for a 24-bit header using that form).
std::optional<BitmapView> describeBitmap(const BITMAPINFOHEADER* header, const void* bits);

// True when entry i of the table is the grey (i, i, i) for every usable entry: indices are then
// grey levels and may be averaged.
bool isIdentityGreyRamp(const BitmapView& view);

} // namespace mio::pixel
