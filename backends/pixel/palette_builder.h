// SPDX-License-Identifier: MIT
// Palette building for palette targets: exact colours when few, a grey ramp for grey pictures,
// otherwise median cut; and the nearest-entry lookup used to map pixels onto a palette.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "tavrel/platform/types.h"

namespace mio::pixel {

// Gathers the colours of a picture in one pass. Colours are tracked exactly up to a small limit,
// and always in a 5-bit-per-channel histogram for median cut.
class ColourCollector {
  public:
    explicit ColourCollector(unsigned exactLimit);
    void add(uint8_t r, uint8_t g, uint8_t b);
    // A palette of at most maxColours entries for the colours seen.
    std::vector<RGBQUAD> buildPalette(unsigned maxColours) const;

  private:
    struct Bin {
        uint32_t count = 0;
        uint64_t sumR = 0, sumG = 0, sumB = 0;
    };
    std::vector<Bin> m_bins;
    std::vector<uint32_t> m_exact; // distinct 0xRRGGBB colours, in first-seen order
    unsigned m_exactLimit;
    bool m_exactOverflow = false;
    bool m_allGrey = true;
    uint32_t m_lastColour = 0xFFFFFFFFu;
    std::vector<int32_t> m_exactSlots; // open addressing over m_exact, -1 empty
};

// Maps colours to the nearest entry of a fixed palette (weighted RGB distance). Exact entries
// always win; other colours go through a 6-bit-per-channel cache.
class PaletteMapper {
  public:
    explicit PaletteMapper(std::span<const RGBQUAD> palette);
    uint8_t nearest(int r, int g, int b);
    const RGBQUAD& entry(uint8_t index) const { return m_palette[index]; }

  private:
    uint8_t search(int r, int g, int b) const;
    std::vector<RGBQUAD> m_palette;
    std::vector<int64_t> m_exactSlots; // (colour << 8 | index), -1 empty
    std::vector<int16_t> m_cache;
};

} // namespace mio::pixel
