// SPDX-License-Identifier: MIT
// Builders for small metadata byte layouts used across the formats tests.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace formats_test {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes& b, std::string_view s)
{
    b.insert(b.end(), s.begin(), s.end());
}
inline void put(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}
inline void be16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void be32(Bytes& b, uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
inline void le16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void le32(Bytes& b, uint32_t v)
{
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}

// A marker segment: FF, marker, 16-bit length (payload + 2), payload.
inline Bytes segment(uint8_t marker, const Bytes& payload)
{
    Bytes b{0xFF, marker};
    be16(b, static_cast<uint32_t>(payload.size() + 2));
    put(b, payload);
    return b;
}

inline Bytes text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

} // namespace formats_test
