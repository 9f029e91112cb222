// SPDX-License-Identifier: MIT
// Bounds-checked little- and big-endian reads over a byte span.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mio::stillimage {

/// Reads integers at offsets, reporting failure instead of reading past the end.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size, bool bigEndian = false)
        : m_data(data), m_size(size), m_big(bigEndian)
    {
    }
    bool has(size_t at, size_t n) const { return at <= m_size && n <= m_size - at; }
    bool u8(size_t at, uint32_t& v) const
    {
        if (!has(at, 1)) return false;
        v = m_data[at];
        return true;
    }
    bool u16(size_t at, uint32_t& v) const
    {
        if (!has(at, 2)) return false;
        const uint8_t* p = m_data + at;
        v = m_big ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
        return true;
    }
    bool u32(size_t at, uint32_t& v) const
    {
        if (!has(at, 4)) return false;
        const uint8_t* p = m_data + at;
        v = m_big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                  : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
        return true;
    }
    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool bigEndian() const { return m_big; }
    void setBigEndian(bool big) { m_big = big; }

  private:
    const uint8_t* m_data;
    size_t m_size;
    bool m_big;
};

/// Whole-image buffer sizes a compressed file of `fileSize` bytes can plausibly expand to:
/// at most `maxRatio` times its size plus 16 MiB. Guards against tiny files declaring huge
/// pictures before any buffer is allocated.
inline bool expansionPlausible(uint64_t bytes, size_t fileSize, uint64_t maxRatio)
{
    return bytes <= static_cast<uint64_t>(fileSize) * maxRatio + (uint64_t{16} << 20);
}

} // namespace mio::stillimage
