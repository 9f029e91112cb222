// SPDX-License-Identifier: MIT
// Row delivery to the engine, row supply from it, and the small helpers the codecs share.
#include "codec.h"

#include <cmath>

#include "contracts/common_library.h"

namespace mio::stillimage {

int fail(int code, const std::string& text)
{
    mioCommonSetLastError(code, text.c_str());
    return 0;
}

bool sizeAcceptable(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && static_cast<uint64_t>(width) <= kMaxPixels &&
           static_cast<uint64_t>(height) <= kMaxPixels &&
           static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= kMaxPixels;
}

int32_t resolutionField(double dpi)
{
    if (!(dpi > 0) || dpi > 200000.0) return 0;
    return static_cast<int32_t>(std::lround(dpi * 10000.0));
}

size_t rowBytes(int32_t width, int32_t bitCount)
{
    return (static_cast<size_t>(width) * static_cast<size_t>(bitCount) + 7) / 8;
}

ImageDesc rgbDesc(int32_t width, int32_t height)
{
    ImageDesc d;
    d.bitCount = 24;
    d.width = width;
    d.height = height;
    d.colorType = QF_COLOR_RGB;
    return d;
}

ImageDesc greyDesc(int32_t width, int32_t height)
{
    ImageDesc d;
    d.bitCount = 8;
    d.width = width;
    d.height = height;
    d.colorType = QF_COLOR_GREY8;
    return d;
}

bool RowSink::put(int32_t y, const uint8_t* row)
{
    if (y < 0 || y >= m_height) return false;
    BYTE* rows[1] = {const_cast<BYTE*>(row)};
    return m_proc(m_block, 0, y, m_width, 1, rows, 0, 0, 0) != 0;
}

const uint8_t* RowSource::row(int32_t y)
{
    if (y < 0 || y >= m_height) return nullptr;
    if (!m_rows || y < m_first || y >= m_first + m_count) {
        // Ask for a run of rows at a time; the engine hands out pointers into its own buffers.
        const int32_t count = std::min<int32_t>(64, m_height - y);
        const uint32_t flags = m_preview ? 0u : QF_WRITE_ROWS_MAIN;
        m_rows = m_proc(m_block, 0, y, 0, count, flags, 0, QF_MODE_ROWS);
        if (!m_rows) return nullptr;
        m_first = y;
        m_count = count;
    }
    return m_rows[y - m_first];
}

bool RgbRowReader::rgb(int32_t y, uint8_t* out)
{
    const uint8_t* in = source.row(y);
    if (!in) return false;
    const int32_t w = desc.width;
    switch (desc.bitCount) {
    case 8:
        for (int32_t x = 0; x < w; ++x) {
            const Rgb& c = desc.palette.entries[in[x]];
            out[3 * x] = c.r;
            out[3 * x + 1] = c.g;
            out[3 * x + 2] = c.b;
        }
        return true;
    case 16:
        for (int32_t x = 0; x < w; ++x) {
            const unsigned v = static_cast<unsigned>(in[2 * x] | (in[2 * x + 1] << 8));
            const unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
            out[3 * x] = static_cast<uint8_t>((r << 3) | (r >> 2));
            out[3 * x + 1] = static_cast<uint8_t>((g << 3) | (g >> 2));
            out[3 * x + 2] = static_cast<uint8_t>((b << 3) | (b >> 2));
        }
        return true;
    case 24:
        std::copy(in, in + 3 * static_cast<size_t>(w), out);
        return true;
    case 32:
        for (int32_t x = 0; x < w; ++x) {
            out[3 * x] = in[4 * x + 2];
            out[3 * x + 1] = in[4 * x + 1];
            out[3 * x + 2] = in[4 * x];
        }
        return true;
    default:
        return false;
    }
}

} // namespace mio::stillimage
