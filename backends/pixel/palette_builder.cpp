// SPDX-License-Identifier: MIT
// Median-cut palette construction and nearest-colour mapping.
#include "palette_builder.h"

#include <algorithm>
#include <limits>

namespace mio::pixel {
namespace {

constexpr unsigned kExactSlots = 1024; // power of two, > 4 x the 256-colour limit

uint32_t hashColour(uint32_t c)
{
    return (c * 2654435761u) >> 22;
} // 10 bits

RGBQUAD makeEntry(uint32_t r, uint32_t g, uint32_t b)
{
    return RGBQUAD{static_cast<BYTE>(b), static_cast<BYTE>(g), static_cast<BYTE>(r), 0};
}

struct Cell {
    uint8_t c[3]; // 5-bit r, g, b
    uint32_t count;
    uint64_t sum[3];
};

struct Box {
    size_t begin, end;
    uint64_t count;
    int splitAxis;
    double error; // weighted squared error of the box's pixels around their mean
};

Box describeBox(const std::vector<Cell>& cells, size_t begin, size_t end)
{
    // Green weighs most in perceived difference, blue least.
    static constexpr double kWeight[3] = {3, 4, 2};
    double s1[3] = {0, 0, 0}, s2[3] = {0, 0, 0};
    uint64_t count = 0;
    for (size_t i = begin; i < end; ++i) {
        const Cell& cell = cells[i];
        count += cell.count;
        for (int a = 0; a < 3; ++a) {
            const double sum = static_cast<double>(cell.sum[a]);
            s1[a] += sum;
            s2[a] += sum * sum / cell.count; // a cell's pixels taken at the cell's mean
        }
    }
    Box box{begin, end, count, 0, 0.0};
    double worst = -1;
    for (int a = 0; a < 3; ++a) {
        const double axisError = kWeight[a] * (s2[a] - s1[a] * s1[a] / static_cast<double>(count));
        box.error += axisError;
        if (axisError > worst) {
            worst = axisError;
            box.splitAxis = a;
        }
    }
    return box;
}

} // namespace

ColourCollector::ColourCollector(unsigned exactLimit)
    : m_bins(32 * 32 * 32), m_exactLimit(exactLimit), m_exactSlots(kExactSlots, -1)
{
    m_exact.reserve(exactLimit + 1);
}

void ColourCollector::add(uint8_t r, uint8_t g, uint8_t b)
{
    Bin& bin = m_bins[(static_cast<unsigned>(r >> 3) << 10) | (static_cast<unsigned>(g >> 3) << 5) |
                      (b >> 3)];
    ++bin.count;
    bin.sumR += r;
    bin.sumG += g;
    bin.sumB += b;
    if (r != g || g != b) m_allGrey = false;

    const uint32_t colour = (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
    if (m_exactOverflow || colour == m_lastColour) return;
    m_lastColour = colour;
    for (uint32_t slot = hashColour(colour);; slot = (slot + 1) & (kExactSlots - 1)) {
        const int32_t at = m_exactSlots[slot];
        if (at < 0) {
            if (m_exact.size() >= m_exactLimit) {
                m_exactOverflow = true;
                return;
            }
            m_exactSlots[slot] = static_cast<int32_t>(m_exact.size());
            m_exact.push_back(colour);
            return;
        }
        if (m_exact[static_cast<size_t>(at)] == colour) return;
    }
}

std::vector<RGBQUAD> ColourCollector::buildPalette(unsigned maxColours) const
{
    std::vector<RGBQUAD> palette;
    if (maxColours == 0) return palette;
    // Grey pictures into 256 entries get the identity ramp, even when fewer levels occur: index
    // equals level, which lets the resampler average them.
    const bool identityRamp = m_allGrey && maxColours == 256;
    if (!identityRamp && !m_exactOverflow && m_exact.size() <= maxColours) {
        std::vector<uint32_t> sorted = m_exact;
        std::sort(sorted.begin(), sorted.end());
        for (uint32_t c : sorted)
            palette.push_back(makeEntry(c >> 16, (c >> 8) & 0xFF, c & 0xFF));
        return palette;
    }
    if (m_allGrey || maxColours == 2) {
        // Evenly spaced greys; with two entries this is black and white for any picture.
        for (unsigned i = 0; i < maxColours; ++i) {
            const unsigned v =
                maxColours == 1 ? 0 : (i * 255 + (maxColours - 1) / 2) / (maxColours - 1);
            palette.push_back(makeEntry(v, v, v));
        }
        return palette;
    }

    std::vector<Cell> cells;
    for (unsigned i = 0; i < m_bins.size(); ++i) {
        const Bin& bin = m_bins[i];
        if (!bin.count) continue;
        cells.push_back(Cell{{static_cast<uint8_t>(i >> 10), static_cast<uint8_t>((i >> 5) & 31),
                              static_cast<uint8_t>(i & 31)},
                             bin.count,
                             {bin.sumR, bin.sumG, bin.sumB}});
    }
    std::vector<Box> boxes{describeBox(cells, 0, cells.size())};
    while (boxes.size() < maxColours) {
        // Split the box with the largest error; a single-cell box cannot split.
        size_t pick = boxes.size();
        double best = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin < 2) continue;
            const double score = boxes[i].error;
            if (score > best) {
                best = score;
                pick = i;
            }
        }
        if (pick == boxes.size()) break;
        const Box box = boxes[pick];
        const int axis = box.splitAxis;
        std::sort(cells.begin() + static_cast<std::ptrdiff_t>(box.begin),
                  cells.begin() + static_cast<std::ptrdiff_t>(box.end),
                  [axis](const Cell& a, const Cell& b) { return a.c[axis] < b.c[axis]; });
        uint64_t running = 0;
        size_t split = box.begin + 1;
        for (size_t i = box.begin; i < box.end - 1; ++i) {
            running += cells[i].count;
            split = i + 1;
            if (running * 2 >= box.count) break;
        }
        boxes[pick] = describeBox(cells, box.begin, split);
        boxes.push_back(describeBox(cells, split, box.end));
    }
    for (const Box& box : boxes) {
        uint64_t sum[3] = {0, 0, 0};
        for (size_t i = box.begin; i < box.end; ++i)
            for (int a = 0; a < 3; ++a)
                sum[a] += cells[i].sum[a];
        const uint64_t half = box.count / 2;
        palette.push_back(makeEntry(static_cast<uint32_t>((sum[0] + half) / box.count),
                                    static_cast<uint32_t>((sum[1] + half) / box.count),
                                    static_cast<uint32_t>((sum[2] + half) / box.count)));
    }
    return palette;
}

PaletteMapper::PaletteMapper(std::span<const RGBQUAD> palette)
    : m_palette(palette.begin(), palette.end()), m_exactSlots(kExactSlots, -1),
      m_cache(size_t{1} << 18, -1)
{
    if (m_palette.empty()) m_palette.push_back(RGBQUAD{0, 0, 0, 0});
    if (m_palette.size() > 256) m_palette.resize(256);
    for (size_t i = 0; i < m_palette.size(); ++i) {
        const RGBQUAD& e = m_palette[i];
        const uint32_t colour =
            (uint32_t{e.rgbRed} << 16) | (uint32_t{e.rgbGreen} << 8) | e.rgbBlue;
        for (uint32_t slot = hashColour(colour);; slot = (slot + 1) & (kExactSlots - 1)) {
            if (m_exactSlots[slot] < 0) {
                m_exactSlots[slot] = static_cast<int64_t>((uint64_t{colour} << 8) | i);
                break;
            }
            if ((m_exactSlots[slot] >> 8) == colour) break; // first entry of a colour wins
        }
    }
}

uint8_t PaletteMapper::search(int r, int g, int b) const
{
    int best = std::numeric_limits<int>::max();
    uint8_t bestIndex = 0;
    for (size_t i = 0; i < m_palette.size(); ++i) {
        const int dr = r - m_palette[i].rgbRed;
        const int dg = g - m_palette[i].rgbGreen;
        const int db = b - m_palette[i].rgbBlue;
        const int d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
        if (d < best) {
            best = d;
            bestIndex = static_cast<uint8_t>(i);
        }
    }
    return bestIndex;
}

uint8_t PaletteMapper::nearest(int r, int g, int b)
{
    const uint32_t colour = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) |
                            static_cast<uint32_t>(b);
    for (uint32_t slot = hashColour(colour);; slot = (slot + 1) & (kExactSlots - 1)) {
        const int64_t v = m_exactSlots[slot];
        if (v < 0) break;
        if ((v >> 8) == colour) return static_cast<uint8_t>(v & 0xFF);
    }
    const size_t key = (static_cast<size_t>(r >> 2) << 12) | (static_cast<size_t>(g >> 2) << 6) |
                       static_cast<size_t>(b >> 2);
    if (m_cache[key] < 0) {
        // Search from the cell's centre so the cached answer does not depend on visiting order.
        m_cache[key] = search(((r >> 2) << 2) + 2, ((g >> 2) << 2) + 2, ((b >> 2) << 2) + 2);
    }
    return static_cast<uint8_t>(m_cache[key]);
}

} // namespace mio::pixel
