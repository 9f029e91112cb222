// SPDX-License-Identifier: MIT
// Bounds-checked integer loads in either byte order, used by every parser in this library.
#pragma once

#include "mio/formats/common.h"

#include <cstring>
#include <span>
#include <string>

namespace mio::formats::detail {

inline uint16_t load16(const uint8_t* p, ByteOrder order)
{
    return order == ByteOrder::BigEndian ? static_cast<uint16_t>((p[0] << 8) | p[1])
                                         : static_cast<uint16_t>((p[1] << 8) | p[0]);
}

inline uint32_t load32(const uint8_t* p, ByteOrder order)
{
    if (order == ByteOrder::BigEndian)
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

inline uint64_t load64(const uint8_t* p, ByteOrder order)
{
    const uint64_t a = load32(p, order);
    const uint64_t b = load32(p + 4, order);
    return order == ByteOrder::BigEndian ? (a << 32) | b : (b << 32) | a;
}

inline void store16(uint8_t* p, uint16_t v, ByteOrder order)
{
    if (order == ByteOrder::BigEndian) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}

inline void store32(uint8_t* p, uint32_t v, ByteOrder order)
{
    if (order == ByteOrder::BigEndian) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    } else {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// True when [offset, offset + size) lies inside a buffer of `total` bytes, without overflow.
inline bool inBounds(uint64_t offset, uint64_t size, uint64_t total)
{
    return offset <= total && size <= total - offset;
}

inline bool startsWith(std::span<const uint8_t> bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() &&
           std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// Appends big- or little-endian integers to a growing byte vector.
template <class Vec> void append16(Vec& out, uint16_t v, ByteOrder order)
{
    uint8_t b[2];
    store16(b, v, order);
    out.insert(out.end(), b, b + 2);
}

template <class Vec> void append32(Vec& out, uint32_t v, ByteOrder order)
{
    uint8_t b[4];
    store32(b, v, order);
    out.insert(out.end(), b, b + 4);
}

} // namespace mio::formats::detail
