// SPDX-License-Identifier: MIT
// A bitmap in plain memory for pixel-library tests, with a reference pixel reader and writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tavrel/platform/types.h"

namespace pixeltest {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

class TestBitmap {
  public:
    TestBitmap(int width, int height, int bitCount, unsigned clrUsed = 0)
    {
        const unsigned entries = bitCount <= 8 ? (clrUsed ? clrUsed : 1u << bitCount) : 0;
        const size_t bytesPerRow = bitCount > 4 ? static_cast<size_t>(width) * (bitCount / 8)
                                                : (static_cast<size_t>(width) * bitCount + 7) / 8;
        m_stride = (bytesPerRow + 3) & ~size_t{3};
        m_mem.assign(40 + 4 * size_t{entries} + m_stride * height, 0);
        auto* h = header();
        h->biSize = 40;
        h->biWidth = width;
        h->biHeight = height;
        h->biPlanes = 1;
        h->biBitCount = static_cast<WORD>(bitCount);
        h->biClrUsed = clrUsed;
        m_entries = entries;
    }
    BITMAPINFOHEADER* header() { return reinterpret_cast<BITMAPINFOHEADER*>(m_mem.data()); }
    RGBQUAD* table() { return reinterpret_cast<RGBQUAD*>(m_mem.data() + 40); }
    uint8_t* bits() { return m_mem.data() + 40 + 4 * size_t{m_entries}; }
    size_t stride() const { return m_stride; }
    int width() { return header()->biWidth; }
    int height() { return header()->biHeight; }
    int bitCount() { return header()->biBitCount; }
    uint8_t* row(int y) { return bits() + (height() - 1 - y) * m_stride; }

    void setEntry(unsigned i, Rgb c)
    {
        table()[i] =
            RGBQUAD{static_cast<BYTE>(c.b), static_cast<BYTE>(c.g), static_cast<BYTE>(c.r), 0};
    }
    unsigned index(int x, int y)
    {
        const uint8_t* p = row(y);
        switch (bitCount()) {
        case 1:
            return (p[x / 8] >> (7 - x % 8)) & 1;
        case 4:
            return (p[x / 2] >> (x % 2 ? 0 : 4)) & 15;
        default:
            return p[x];
        }
    }
    void setIndex(int x, int y, unsigned v)
    {
        uint8_t* p = row(y);
        switch (bitCount()) {
        case 1:
            p[x / 8] = static_cast<uint8_t>((p[x / 8] & ~(0x80 >> x % 8)) | (v << (7 - x % 8)));
            break;
        case 4: {
            const int s = x % 2 ? 0 : 4;
            p[x / 2] = static_cast<uint8_t>((p[x / 2] & ~(15 << s)) | (v << s));
            break;
        }
        default:
            p[x] = static_cast<uint8_t>(v);
        }
    }
    // Colour in 8-bit channels (48-bit words narrowed by their high byte with rounding).
    Rgb pixel(int x, int y)
    {
        const uint8_t* p = row(y);
        switch (bitCount()) {
        case 1:
        case 4:
        case 8: {
            const RGBQUAD e = table()[index(x, y)];
            return {e.rgbRed, e.rgbGreen, e.rgbBlue};
        }
        case 16: {
            const unsigned v = p[2 * x] | (p[2 * x + 1] << 8);
            auto ex = [](unsigned f) { return static_cast<int>((f << 3) | (f >> 2)); };
            return {ex((v >> 10) & 31), ex((v >> 5) & 31), ex(v & 31)};
        }
        case 24:
            return {p[3 * x + 2], p[3 * x + 1], p[3 * x]};
        case 32:
            return {p[4 * x + 2], p[4 * x + 1], p[4 * x]};
        default: {
            auto w = [&](int c) { return static_cast<int>((word(x, y, c) + 128) / 257); };
            return {w(2), w(1), w(0)};
        }
        }
    }
    unsigned word(int x, int y, int c)
    {
        const uint8_t* p = row(y) + 6 * x + 2 * c;
        return p[0] | (p[1] << 8);
    }
    // Writes a truecolour pixel; 16-bit keeps the top 5 bits, 48-bit stores v x 257.
    void setPixel(int x, int y, Rgb c)
    {
        uint8_t* p = row(y);
        switch (bitCount()) {
        case 16: {
            const unsigned v = ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3);
            p[2 * x] = static_cast<uint8_t>(v);
            p[2 * x + 1] = static_cast<uint8_t>(v >> 8);
            break;
        }
        case 24:
        case 32: {
            const int bpp = bitCount() / 8;
            p[bpp * x] = static_cast<uint8_t>(c.b);
            p[bpp * x + 1] = static_cast<uint8_t>(c.g);
            p[bpp * x + 2] = static_cast<uint8_t>(c.r);
            break;
        }
        case 48: {
            const int v[3] = {c.b * 257, c.g * 257, c.r * 257};
            for (int k = 0; k < 3; ++k) {
                p[6 * x + 2 * k] = static_cast<uint8_t>(v[k]);
                p[6 * x + 2 * k + 1] = static_cast<uint8_t>(v[k] >> 8);
            }
            break;
        }
        }
    }

  private:
    std::vector<uint8_t> m_mem;
    size_t m_stride = 0;
    unsigned m_entries = 0;
};

} // namespace pixeltest
